// Test environment for the counter plug-ins: the host's directory reset for
// each test, its log in a temporary file, the real plug-in files loaded from
// the build tree, and small helpers to run client operations and read
// counters and log lines back.
//
// Not thread-safe except Add/Modify/Delete/Counter, which the stress test
// calls from several threads.
#ifndef HV_PLUGINS_PLUGIN_TEST_ENV_H
#define HV_PLUGINS_PLUGIN_TEST_ENV_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "hv/slapi-host.h"

namespace hv::plugins::testing {

constexpr char kNodetallyInit[] = "HVSubtreeEntryCounterPostOp_Init";
constexpr char kAttrtallyInit[] = "HVAttrtallyPostOp_Init";

// HV_BUILD_DIR "/lib/<name>.so".
std::string PluginPath(const std::string &name);

// One modification with string values.
struct Mod {
    int op;  // LDAP_MOD_ADD, LDAP_MOD_DELETE, LDAP_MOD_REPLACE
    std::string type;
    std::vector<std::string> values;
};

class PluginHostTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // Loads a plug-in file of the build tree; fails the test on error.
    hv_plugin *Load(const std::string &name, const char *initfn,
                    const std::vector<std::string> &args, int rtld_flags = 0);
    // Runs a client operation; returns its LDAP result code.
    static int Add(const std::string &ldif, int flags = 0, hv_op_result *res = nullptr);
    static int Modify(const std::string &dn, const std::vector<Mod> &mods, int flags = 0,
                      hv_op_result *res = nullptr);
    static int Delete(const std::string &dn, int flags = 0, hv_op_result *res = nullptr);
    // First value of attr in the stored entry; "<absent>" or "<no entry>".
    static std::string Value(const std::string &dn, const std::string &attr);
    static int NumValues(const std::string &dn, const std::string &attr);

    // Log lines written since the last ClearLog, each "subsystem - text"
    // without the time stamp and the newline.
    std::vector<std::string> LogLines() const;
    bool Logged(const std::string &line) const;
    int CountLogged(const std::string &line) const;
    // Lines whose text contains part.
    int CountContaining(const std::string &part) const;
    void ClearLog() const;
    std::string LogText() const;

    std::string dir_;
    std::string log_path_;
};

}  // namespace hv::plugins::testing

#endif  // HV_PLUGINS_PLUGIN_TEST_ENV_H
