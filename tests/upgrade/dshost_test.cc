// The dshost command run as an administrator would run it.
#include <gtest/gtest.h>
#include <sys/stat.h>

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
    EXPECT_NE(r.out.find("hvCertfile in " + root_.Dse("slapd-a") + ": alias/slapd-a-cert8.db"), std::string::npos)
        << r.out;
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
    EXPECT_NE(r.out.find("slapd-a:\n  level 2 (recorded: 1 2)\n  repository: consistent\n"
                         "  schema push pending: no\n  certificate database: alias/slapd-a-cert8.db\n"
                         "  saved scripts: bak2db db2bak db2ldif get-clusterinfo-slapd ldif2db restoreconfig saveconfig "
                         "suffix2instance vlvindex\n"),
              std::string::npos) << r.out;
    EXPECT_NE(r.out.find("slapd-b:\n  level 1 (baseline, no version repository)\n  repository: consistent\n"
                         "  schema push pending: no\n  certificate database: alias/slapd-b-cert7.db\n"
                         "  saved scripts: (none)\n"),
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

// The owner may not write config/: phase 1 cannot write dse.ldif back, so
// it fails, no level is recorded, and what is printed is the file's value.
// Once the directory is writable again, the same command finishes the job.
TEST_F(Dshost, ConfigurationThatCannotBeWrittenBackFailsPhaseOne) {
    if (!root_.has_owner()) GTEST_SKIP() << "needs root and a non-root owner";
    const std::string config = root_.InstancePath("slapd-a") + "/config";
    const std::string dse = ReadFile(root_.Dse("slapd-a"));
    ASSERT_EQ(chmod(config.c_str(), 0555), 0);
    ProgramResult r = RunDshost({"upgrade", root_.InstancePath("slapd-a")});
    EXPECT_EQ(r.exit_status, 1) << r.out << r.err;
    EXPECT_NE(r.out.find("phase 1 (configuration entry, level): result 3"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("hvCertfile in " + root_.Dse("slapd-a") + ": alias/slapd-a-cert7.db"), std::string::npos)
        << r.out;
    EXPECT_EQ(r.out.find("cert8.db\n"), std::string::npos) << r.out;
    // The log names the step, the file and the reason.
    EXPECT_NE(r.err.find("upgrade_NSS334_to_NSS336"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(root_.Dse("slapd-a") + ".bak: Permission denied"), std::string::npos) << r.err;
    EXPECT_EQ(Versions("slapd-a"), "1");
    EXPECT_EQ(ReadFile(root_.Dse("slapd-a")), dse);

    ASSERT_EQ(chmod(config.c_str(), 0755), 0);
    r = RunDshost({"upgrade", root_.InstancePath("slapd-a")});
    EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
    EXPECT_EQ(Versions("slapd-a"), "1\t2");
    EXPECT_NE(ReadFile(root_.Dse("slapd-a")).find("hvCertfile: alias/slapd-a-cert8.db"), std::string::npos);
    EXPECT_EQ(ReadFile(root_.Dse("slapd-a") + ".bak"), dse);
}

// A cert7 database the owner cannot read: the upgrade fails and names it,
// no cert8 database appears and the configuration keeps naming cert7.
TEST_F(Dshost, UnreadableCertificateDatabaseIsReportedAndNothingSwitched) {
    if (!root_.has_owner()) GTEST_SKIP() << "needs root and a non-root owner";
    hvtest::ChownTree(root_.Cert7Path("slapd-a"), 0, 0, false);
    ASSERT_EQ(chmod(root_.Cert7Path("slapd-a").c_str(), 0600), 0);
    ProgramResult r = RunDshost({"upgrade", root_.InstancePath("slapd-a")});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_NE(r.out.find("phase 0 (certificate database, schema, scripts): result 4"), std::string::npos) << r.out;
    EXPECT_NE(r.err.find(root_.Cert7Path("slapd-a") + " cannot be read: Permission denied"), std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("nothing done"), std::string::npos) << r.err;
    EXPECT_FALSE(Inspect(root_.Cert8Path("slapd-a")).exists);
    EXPECT_NE(ReadFile(root_.Dse("slapd-a")).find("alias/slapd-a-cert7.db"), std::string::npos);
    EXPECT_EQ(Versions("slapd-a"), "(none)");  // refused before the first change
}

// No byte can be written (file size limit 0): the repository cannot be
// created; none is left behind, and the next run records "1\t2".
TEST_F(Dshost, FailedFirstWriteOfTheRepositoryLeavesNoEmptyFile) {
    const std::string dshost = std::string(HV_BUILD_DIR) + "/bin/dshost";
    ProgramResult r = hvtest::RunProgram(
        "/bin/sh", {"-c", "ulimit -f 0; trap '' XFSZ; exec \"$0\" upgrade \"$1\"", dshost,
                    root_.InstancePath("slapd-a")});
    EXPECT_EQ(r.exit_status, 1) << r.out << r.err;
    EXPECT_NE(r.err.find(root_.VersionsFile("slapd-a") + " could not be initialized"), std::string::npos) << r.err;
    EXPECT_FALSE(Inspect(root_.VersionsFile("slapd-a")).exists);
    r = RunDshost({"upgrade", root_.InstancePath("slapd-a")});
    EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
    EXPECT_EQ(Versions("slapd-a"), "1\t2");
}

// The status names what an administrator has to look at, in text and JSON.
TEST_F(Dshost, StatusReportsProblemsAndPendingWork) {
    const std::string a = root_.InstancePath("slapd-a"), b = root_.InstancePath("slapd-b");
    hvtest::MakeDirs(a + "/upgrade/bak_patch2");
    hvtest::WriteFile(a + "/upgrade/versions.conf", "1\t2\t");
    hvtest::WriteFile(a + "/upgrade/schema_push.pending", "");
    hvtest::WriteFile(a + "/upgrade/bak_patch2/db2bak", "#!/bin/sh\n");
    hvtest::MakeDirs(b + "/upgrade");
    hvtest::WriteFile(b + "/upgrade/versions.conf", "1\t");
    ProgramResult r = RunDshost({"status", root_.path()});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_NE(r.out.find("slapd-a:\n  level 2 (recorded: 1 2)\n  repository: level 2 recorded but hvCertfile "
                         "does not name the cert8 database; level 2 recorded but alias/slapd-a-cert8.db is "
                         "missing\n  schema push pending: yes\n"
                         "  certificate database: alias/slapd-a-cert7.db\n  saved scripts: db2bak\n"),
              std::string::npos) << r.out;
    EXPECT_NE(r.out.find("slapd-b:\n  level 1 (recorded: 1)\n  repository: back at the baseline but the upgrade "
                         "directory is left (interrupted downgrade)\n"),
              std::string::npos) << r.out;

    hvtest::WriteFile(b + "/upgrade/versions.conf", "");
    hvtest::WriteFile(root_.Dse("slapd-b"), "dn: cn=encryption,cn=config\nhvCertfile: \"odd\\name\n");
    r = RunDshost({"status", "--json", root_.path()});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(r.out,
              "{\"server_root\": \"" + root_.path() + "\", \"instances\": ["
              "{\"name\": \"slapd-a\", \"level\": 2, \"recorded\": [1, 2], \"problems\": [\"level 2 recorded but "
              "hvCertfile does not name the cert8 database\", \"level 2 recorded but alias/slapd-a-cert8.db is "
              "missing\"], \"schema_push_pending\": true, "
              "\"certificate_database\": \"alias/slapd-a-cert7.db\", \"saved_scripts\": [\"db2bak\"]}, "
              "{\"name\": \"slapd-b\", \"level\": 1, \"recorded\": [], \"problems\": [\"versions.conf records "
              "no level\"], \"schema_push_pending\": false, \"certificate_database\": \"\\\"odd\\\\name\", "
              "\"saved_scripts\": []}]}\n");
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
    r = RunDshost({"status", root_.path(), "--help"});
    EXPECT_EQ(r.exit_status, 0);
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
