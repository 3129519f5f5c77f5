#include <gtest/gtest.h>

#include <string>

#include "migrate/downgrade.h"
#include "support/server_root.h"

namespace {

using hvtest::Inspect;
using hvtest::ReadFile;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

class DowngradeStepsTest : public ::testing::Test {
  protected:
    void SetUp() override { root_.AddInstance("slapd-a"); }
    std::string Script(const std::string &name) { return root_.Join("slapd-a/" + name); }
    std::string Saved(const std::string &name) { return root_.BackupDir("slapd-a") + "/" + name; }
    // Every restorable script regenerated, plus get-clusterinfo-slapd.
    void Regenerated() {
        for (const char *const *n = scripts; *n != nullptr; ++n)
            root_.AddScript("slapd-a", *n, "new\n", std::string("old ") + *n + "\n");
        root_.AddScript("slapd-a", "get-clusterinfo-slapd", "new\n", "old\n");
    }
    int Run() { return downgrade_DS_to_TB1(root_.path().c_str(), "slapd-a"); }
    hvtest::ServerRoot root_;
};

TEST_F(DowngradeStepsTest, TheTableNamesTheEightRestoredScripts) {
    std::vector<std::string> names;
    for (const char *const *n = scripts; *n != nullptr; ++n) names.emplace_back(*n);
    EXPECT_EQ(names, (std::vector<std::string>{"db2ldif", "ldif2db", "db2bak", "bak2db", "saveconfig",
                                               "restoreconfig", "vlvindex", "suffix2instance"}));
}

TEST_F(DowngradeStepsTest, SavedScriptsAreRestored) {
    Regenerated();
    CaptureStderr();
    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(GetCapturedStderr(), "");
    for (const char *const *n = scripts; *n != nullptr; ++n) {
        EXPECT_EQ(ReadFile(Script(*n)), std::string("old ") + *n + "\n");
        EXPECT_EQ(Inspect(Script(*n)).mode, 0755u);
    }
    // The saved get-clusterinfo-slapd would be lost with the upgrade
    // directory: it is put back too.
    EXPECT_EQ(hvtest::ListDir(root_.BackupDir("slapd-a")), std::vector<std::string>{});
    EXPECT_EQ(ReadFile(Script("get-clusterinfo-slapd")), "old\n");
}

TEST_F(DowngradeStepsTest, ACert8DatabaseNeedsManualWorkButScriptsAreRestored) {
    Regenerated();
    hvtest::MakeDirs(root_.Join("alias"));
    hvtest::WriteFile(root_.Cert8Path("slapd-a"), "db");
    CaptureStderr();
    EXPECT_EQ(Run(), 3);
    EXPECT_EQ(GetCapturedStderr(),
              "Reverting to prepatch certificate database for " + root_.Cert8Path("slapd-a") +
                  ".\n"
                  "  CAUTION:\n"
                  "\tCertificates added after patching the server must be downgraded manually.\n"
                  "\tSee the 'Installation and Migration' guide or the README file of the patch for "
                  "instructions\n");
    EXPECT_EQ(ReadFile(Script("db2bak")), "old db2bak\n");
    EXPECT_EQ(ReadFile(root_.Cert8Path("slapd-a")), "db");
    // The instance named with the slash that shell completion adds is the
    // same instance, and its database is found all the same.
    CaptureStderr();
    EXPECT_EQ(downgrade_NSS336_to_NSS334(root_.path().c_str(), "slapd-a//"), 3);
    EXPECT_NE(GetCapturedStderr().find(root_.Cert8Path("slapd-a") + ".\n"), std::string::npos);
}

TEST_F(DowngradeStepsTest, ScriptsThatCannotBeRestoredKeepTheirSavedCopy) {
    root_.AddScript("slapd-a", "db2bak", "", "old\n");   // removed by hand
    root_.AddScript("slapd-a", "bak2db", "", "old\n");   // removed by hand
    root_.AddScript("slapd-a", "vlvindex", "", "old\n");  // replaced by a directory
    hvtest::MakeDirs(Script("vlvindex") + "/busy");
    root_.AddScript("slapd-a", "db2ldif", "new\n", "old\n");
    CaptureStderr();
    EXPECT_EQ(Run(), 3);
    EXPECT_EQ(GetCapturedStderr(), Script("db2bak") + " cannot be backout-ed" + Script("bak2db") +
                                       " cannot be backout-ed" + Script("vlvindex") + " cannot be backout-ed");
    EXPECT_FALSE(Inspect(Script("db2bak")).exists);
    EXPECT_EQ(ReadFile(Saved("db2bak")), "old\n");
    EXPECT_TRUE(Inspect(Script("vlvindex") + "/busy").is_dir);
    EXPECT_EQ(ReadFile(Saved("vlvindex")), "old\n");
    EXPECT_EQ(ReadFile(Script("db2ldif")), "old\n");
}

TEST_F(DowngradeStepsTest, NothingSavedChangesNothing) {
    root_.AddScript("slapd-a", "db2bak", "current\n", "");
    CaptureStderr();
    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(backout_scripts(root_.path().c_str(), "slapd-a", nullptr), 0);
    EXPECT_EQ(GetCapturedStderr(), "");
    EXPECT_EQ(ReadFile(Script("db2bak")), "current\n");
    CaptureStderr();
    EXPECT_EQ(downgrade_DS_to_TB1(root_.path().c_str(), std::string(1100, 'n').c_str()), 3);
    EXPECT_NE(GetCapturedStderr().find("path too long"), std::string::npos);
}

}  // namespace
