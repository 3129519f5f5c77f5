// The command line of dsmigrate: argument rules, usage text, messages and
// exit status, on real server roots.
#include <gtest/gtest.h>

#include <string>

#include "migrate/dsmigrate_run.h"
#include "support/server_root.h"

namespace hvtest {
namespace {

std::string Usage() {
    return "\n\nUsage: " + DsmigratePath() +
           " -downgrade -s <server_root> [-i <instancename>]\n"
           "Performs the directory server data downgrade \n"
           "where:\n"
           "\t-s <server_root>:\tSpecify the server root. (mandatory)\n"
           "\t-i <instancename>:\tSpecify a particular instance name (i-e slapd-<instance>).\n"
           "\t\t\t\tIf omitted, all product instances available under server_root are taken\n"
           "\t\t\t\tinto account.(optional)\n"
           "Exit code:\n"
           "\t0: The data downgrade has been successfully performed on (all) product instance(s)\n"
           "\t1: An error occured during the data downgrade of (at least one) product instance\n"
           "\n";
}

TEST(DsmigrateCommandLine, WrongArgumentCountsLogAndPrintUsage) {
    for (const auto &args : std::vector<std::vector<std::string>>{
             {},
             {"-downgrade"},
             {"-downgrade", "-s"},
             {"-downgrade", "-s", "/tmp", "-i"},
             {"-downgrade", "-s", "/tmp", "-i", "x", "y"},
         }) {
        ProgramResult r = RunDsmigrate(args);
        EXPECT_EQ(r.exit_status, 1);
        EXPECT_EQ(r.out, "\n<ERROR> - Parameters missing" + Usage());
        EXPECT_EQ(r.err, "");
    }
}

// Alone, --help and --version answer and succeed; anywhere else they are
// words of the downgrade's command line.
TEST(DsmigrateCommandLine, HelpAndVersion) {
    ProgramResult r = RunDsmigrate({"--help"});
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.out, Usage());
    EXPECT_EQ(r.err, "");
    r = RunDsmigrate({"--version"});
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.out, "dsmigrate (hvds) " HV_VERSION "\n");
    r = RunDsmigrate({"--help", "-s", "/tmp"});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.out, Usage());
}

TEST(DsmigrateCommandLine, BadOptionsPrintUsageOnly) {
    ServerRoot root;
    const std::string &s = root.path();
    const struct {
        std::vector<std::string> args;
        std::string err;
    } cases[] = {
        {{"downgrade", "-s", s}, ""},
        {{"-upgrade", "-s", s}, ""},
        {{"-downgrade", "-s", s, "-s", s}, ""},
        {{"-downgrade", "-i", "slapd-a", "-i", "slapd-b"}, ""},
        {{"-downgrade", "-i", "slapd-a"}, ""},
        // Parsing ends at the first word that is not an option, so this has
        // no server root.
        {{"-downgrade", "x", "-s", s, "y"}, ""},
        // getopt's own message names the program.
        {{"-downgrade", "-x", "-s", s, "y"}, DsmigratePath() + ": invalid option -- 'x'\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        ProgramResult r = RunDsmigrate(c.args);
        EXPECT_EQ(r.exit_status, 1);
        EXPECT_EQ(r.out, Usage());
        EXPECT_EQ(r.err, c.err);
    }
}

class DsmigrateRun : public ::testing::Test {
  protected:
    // An instance at the patched level with its scripts regenerated.
    void Patched(const std::string &dir) {
        root_.AddInstance(dir);
        root_.SetVersions(dir, "1\t2");
        root_.AddScript(dir, "db2bak", "new\n", "old\n");
    }
    ServerRoot root_;
};

TEST_F(DsmigrateRun, DowngradesEveryInstanceAndIgnoresTrailingWords) {
    Patched("slapd-a");
    Patched("slapd-b");
    ProgramResult r = RunDsmigrate({"-DownGrade", "-s", root_.path(), "extra", "words"});
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    for (const char *dir : {"slapd-a", "slapd-b"}) {
        EXPECT_FALSE(Inspect(root_.UpgradeDir(dir)).exists);
        EXPECT_EQ(ReadFile(root_.Join(std::string(dir) + "/db2bak")), "old\n");
    }
}

TEST_F(DsmigrateRun, OneNamedInstanceOnly) {
    Patched("slapd-a");
    Patched("slapd-b");
    ProgramResult r = RunDsmigrate({"-downgrade", "-i", "slapd-b", "-s", root_.path()});
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(Inspect(root_.UpgradeDir("slapd-a")).exists);
    EXPECT_FALSE(Inspect(root_.UpgradeDir("slapd-b")).exists);
}

TEST_F(DsmigrateRun, AnInstanceAtTheBaselineIsNothingToDo) {
    root_.AddInstance("slapd-a");
    ProgramResult r = RunDsmigrate({"-downgrade", "-s", root_.path()});
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(ReadFile(root_.VersionsFile("slapd-a")), "1");
}

TEST_F(DsmigrateRun, AFailingInstanceDoesNotStopTheOthers) {
    Patched("slapd-a");
    Patched("slapd-b");
    MakeDirs(root_.Join("alias"));
    WriteFile(root_.Cert8Path("slapd-a"), "db");
    ProgramResult r = RunDsmigrate({"-downgrade", "-s", root_.path()});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_NE(r.err.find("Reverting to prepatch certificate database for " + root_.Cert8Path("slapd-a")),
              std::string::npos);
    // The failed instance keeps its level; its scripts are back all the same.
    EXPECT_EQ(ReadFile(root_.VersionsFile("slapd-a")), "1\t2");
    EXPECT_EQ(ReadFile(root_.Join("slapd-a/db2bak")), "old\n");
    EXPECT_FALSE(Inspect(root_.UpgradeDir("slapd-b")).exists);
}

TEST_F(DsmigrateRun, ServerRootsWithoutInstancesFail) {
    ProgramResult r = RunDsmigrate({"-downgrade", "-s", root_.path()});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");

    r = RunDsmigrate({"-downgrade", "-s", root_.path(), "-i", "slapd-none"});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.err, root_.Join("slapd-none") + " could not be accessed, error -1\n");

    // An instance without its configuration file cannot be worked on.
    MakeDirs(root_.Join("slapd-empty"));
    r = RunDsmigrate({"-downgrade", "-s", root_.path()});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.err, "");
    EXPECT_FALSE(Inspect(root_.UpgradeDir("slapd-empty")).exists);

    std::string long_root = "/" + std::string(1100, 'r');
    r = RunDsmigrate({"-downgrade", "-s", long_root});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.err, long_root + ": path too long, at most 1023 bytes\n");
}

}  // namespace
}  // namespace hvtest
