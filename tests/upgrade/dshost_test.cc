// The dshost command run as an administrator would run it.
#include <gtest/gtest.h>

#include <string>

#include "support/run_program.h"
#include "upgrade/sample_root.h"

namespace {

using hvtest::Inspect;
using hvtest::ProgramResult;
using hvtest::ReadFile;

ProgramResult RunDshost(const std::vector<std::string> &args) {
    return hvtest::RunProgram(std::string(HV_BUILD_DIR) + "/bin/dshost", args);
}

class Dshost : public ::testing::Test {
  protected:
    hvtest::SampleRoot root_;
    void SetUp() override { ASSERT_TRUE(root_.Make({"a", "b"})); }
    std::string Versions(const std::string &dir) {
        std::string f = root_.VersionsFile(dir);
        return Inspect(f).exists ? ReadFile(f) : "(none)";
    }
};

TEST_F(Dshost, UpgradesAnInstanceAndReportsTheLevel) {
    ProgramResult r = RunDshost({"upgrade", root_.InstancePath("slapd-a")});
    ASSERT_EQ(r.exit_status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("phase 0 (certificate database, schema, scripts): result 0"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("phase 1 (configuration entry, level): result 0"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("hvCertfile: alias/slapd-a-cert8.db"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("level 2 (recorded: 1 2)"), std::string::npos) << r.out;
    EXPECT_EQ(Versions("slapd-a"), "1\t2");
    EXPECT_NE(ReadFile(root_.Dse("slapd-a")).find("hvCertfile: alias/slapd-a-cert8.db"), std::string::npos);
    EXPECT_EQ(Versions("slapd-b"), "(none)");

    // Trailing slash, second run: nothing to do, still success.
    r = RunDshost({"upgrade", root_.InstancePath("slapd-a") + "/"});
    EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("nothing to do"), std::string::npos) << r.out;

    r = RunDshost({"status", root_.path()});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_NE(r.out.find("slapd-a: level 2 (recorded: 1 2), hvCertfile alias/slapd-a-cert8.db, cert8 database present"),
              std::string::npos) << r.out;
    EXPECT_NE(r.out.find("slapd-b: level 1 (baseline, no version repository), hvCertfile alias/slapd-b-cert7.db, "
                         "cert8 database absent"),
              std::string::npos) << r.out;
}

// An administrator in the server root names the instance relatively; the
// scripts written must still work from anywhere.
TEST_F(Dshost, RelativeInstancePathGivesScriptsWithAbsolutePaths) {
    const std::string dshost = std::string(HV_BUILD_DIR) + "/bin/dshost";
    ProgramResult r = hvtest::RunProgram("/bin/sh", {"-c", "cd \"$0\" && exec \"$1\" upgrade ./slapd-a",
                                                     root_.path(), dshost});
    ASSERT_EQ(r.exit_status, 0) << r.out << r.err;
    EXPECT_EQ(Versions("slapd-a"), "1\t2");
    const std::string script = ReadFile(root_.InstancePath("slapd-a") + "/db2bak");
    EXPECT_NE(script.find("\ncd " + root_.path() + "/bin/slapd/server\n"), std::string::npos) << script;
    EXPECT_NE(script.find("`" + root_.InstancePath("slapd-a") + "/get-clusterinfo-slapd`"), std::string::npos)
        << script;
}

TEST_F(Dshost, FailedFileWorkStopsBeforeTheConfiguration) {
    hvtest::WriteFile(root_.InstancePath("slapd-a") + "/schema_push.pl", "#!/bin/sh\nexit 2\n", 0755);
    if (root_.has_owner())
        hvtest::ChownTree(root_.InstancePath("slapd-a") + "/schema_push.pl", root_.owner().uid, root_.owner().gid);
    const std::string dse = ReadFile(root_.Dse("slapd-a"));
    ProgramResult r = RunDshost({"upgrade", root_.InstancePath("slapd-a")});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_NE(r.out.find("result 3"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("phase 1 not run"), std::string::npos) << r.out;
    EXPECT_EQ(Versions("slapd-a"), "1");
    EXPECT_EQ(ReadFile(root_.Dse("slapd-a")), dse);
}

TEST_F(Dshost, UsageAndBadArguments) {
    ProgramResult r = RunDshost({});
    EXPECT_EQ(r.exit_status, 2);
    EXPECT_NE(r.err.find("usage:"), std::string::npos);
    // Asked for, the usage text is an answer, not an error.
    r = RunDshost({"--help"});
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.out.rfind("usage: ", 0), 0u) << r.out;
    EXPECT_EQ(r.err, "");
    r = RunDshost({"--version"});
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.out, "dshost (hvds) " HV_VERSION "\n");
    r = RunDshost({"--help", root_.path()});
    EXPECT_EQ(r.exit_status, 2);
    r = RunDshost({"frobnicate", root_.path()});
    EXPECT_EQ(r.exit_status, 2);
    EXPECT_NE(r.err.find("unknown command 'frobnicate'"), std::string::npos) << r.err;

    const std::string missing = root_.Join("slapd-none");
    r = RunDshost({"upgrade", missing});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_NE(r.err.find(missing), std::string::npos) << r.err;

    hvtest::RemoveTree(root_.Dse("slapd-b"));
    r = RunDshost({"upgrade", root_.InstancePath("slapd-b")});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_NE(r.err.find(root_.Dse("slapd-b") + " is missing"), std::string::npos) << r.err;

    r = RunDshost({"status", root_.Join("nowhere")});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_NE(r.err.find("nowhere"), std::string::npos);
}

}  // namespace
