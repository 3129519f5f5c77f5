// Running the built dsmigrate program in the tests of this directory.
#ifndef HV_TESTS_MIGRATE_DSMIGRATE_RUN_H
#define HV_TESTS_MIGRATE_DSMIGRATE_RUN_H

#include <string>
#include <vector>

#include "support/run_program.h"

namespace hvtest {

inline const std::string &DsmigratePath() {
    static const std::string path = std::string(HV_BUILD_DIR) + "/bin/dsmigrate";
    return path;
}

inline ProgramResult RunDsmigrate(const std::vector<std::string> &args, const std::vector<std::string> &env = {}) {
    return RunProgram(DsmigratePath(), args, env);
}

}  // namespace hvtest

#endif  // HV_TESTS_MIGRATE_DSMIGRATE_RUN_H
