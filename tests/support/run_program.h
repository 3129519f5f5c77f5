// Running a built program as a user would: fork and exec with the given
// arguments, standard input from /dev/null, and standard output and standard
// error captured separately (both are drained together, so a chatty program
// cannot block on a full pipe).  Thread-compatible.
#ifndef HV_TESTS_SUPPORT_RUN_PROGRAM_H
#define HV_TESTS_SUPPORT_RUN_PROGRAM_H

#include <string>
#include <vector>

namespace hvtest {

struct ProgramResult {
    int exit_status = -1;  // -1 when the program did not exit normally
    int term_signal = 0;   // the signal that ended it, else 0
    std::string out;       // standard output
    std::string err;       // standard error
};

// Runs program with args (argv[1] on); argv[0] is the program path.  extra_env
// entries ("NAME=value") are added to the current environment, replacing
// inherited entries of the same name.  A program that
// cannot be started exits with 127 and says why on standard error.
ProgramResult RunProgram(const std::string &program, const std::vector<std::string> &args,
                         const std::vector<std::string> &extra_env = {});

}  // namespace hvtest

#endif  // HV_TESTS_SUPPORT_RUN_PROGRAM_H
