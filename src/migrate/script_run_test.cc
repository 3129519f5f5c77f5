// The generated scripts run under the real /bin/sh against a stand-in server
// program that records its working directory and arguments, and stand-in
// cluster commands found through PATH.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <regex>
#include <string>
#include <vector>

#include "migrate/scripts.h"
#include "support/run_program.h"
#include "support/server_root.h"

namespace {

using hvtest::ProgramResult;

const char kRecorder[] =
    "#!/bin/sh\n"
    "{ echo \"cwd=`pwd`\"; echo \"root=$PELORIN_ROOT\"; for a in \"$@\"; do echo \"arg=$a\"; "
    "done; } > \"$HV_RECORD\"\n"
    "exit ${HV_SLAPD_STATUS:-0}\n";

class ScriptRun : public ::testing::Test {
protected:
    void SetUp() override { Generate(root_.path()); }

    void Generate(const std::string &serverroot) {
        instance_ = root_.Join("slapd-a");
        hvtest::MakeDirs(instance_);
        bindir_ = root_.Join("bin/slapd/server");
        hvtest::MakeDirs(bindir_ + "/64");
        hvtest::WriteFile(bindir_ + "/hv-slapd", kRecorder, 0755);
        ASSERT_EQ(regenerate_scripts(serverroot.c_str(), "slapd-a"), 0);
        hvtest::MakeDirs(stubs_.path());
    }

    // Runs a script of the instance with a PATH that starts with the stubs.
    ProgramResult Run(const std::string &script, const std::vector<std::string> &args,
                      const std::string &slapd_status = "0") {
        std::vector<std::string> argv = {"PATH=" + stubs_.path() + ":/usr/bin:/bin",
                                         "HV_RECORD=" + record(), "HV_SLAPD_STATUS=" + slapd_status,
                                         instance_ + "/" + script};
        argv.insert(argv.end(), args.begin(), args.end());
        unlink(record().c_str());
        return hvtest::RunProgram("/usr/bin/env", argv);
    }

    std::string record() const { return root_.Join("record"); }
    bool Ran() const { return hvtest::Inspect(record()).exists; }
    // Lines the stand-in server program wrote: cwd=, root=, then arg= each.
    std::vector<std::string> Recorded() const {
        std::vector<std::string> lines;
        std::string text = hvtest::ReadFile(record());
        std::size_t start = 0;
        for (std::size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1) {
            lines.push_back(text.substr(start, nl - start));
        }
        return lines;
    }
    std::vector<std::string> Args() const {
        std::vector<std::string> args;
        for (const auto &l : Recorded()) {
            if (l.rfind("arg=", 0) == 0) args.push_back(l.substr(4));
        }
        return args;
    }

    // A cluster installation below the stubs: the package query on PATH
    // prints its directory, which holds bin/hvclu-status and bin/hvclu-res.
    void InstallCluster(const std::string &status_lines, const std::string &resource_props,
                        int query_status = 0) {
        std::string croot = stubs_.Join("cluster");
        hvtest::MakeDirs(croot + "/bin");
        hvtest::WriteFile(stubs_.Join("hvclu-pkginfo"),
                          "#!/bin/sh\n[ \"$1 $2\" = \"-d hvcluster\" ] || exit 2\necho " + croot +
                              "\nexit " + std::to_string(query_status) + "\n",
                          0755);
        hvtest::WriteFile(croot + "/bin/hvclu-status",
                          "#!/bin/sh\ncat <<'EOF'\n" + status_lines + "EOF\n", 0755);
        hvtest::WriteFile(croot + "/bin/hvclu-res",
                          "#!/bin/sh\n"
                          "case \"$1\" in\n"
                          "-l) echo 'Resource Name: other-rs'; echo 'Resource Name: ds-rs';;\n"
                          "-p) case \"$2\" in\n"
                          "    other-rs) echo 'other-rs property Confdir_list value /elsewhere/slapd-a';;\n"
                          "    ds-rs) echo 'ds-rs property Type value hv.ds'; " +
                              resource_props +
                              ";;\n"
                              "    esac;;\n"
                              "esac\n",
                          0755);
    }
    void InstallClusterWithInstance(const std::string &status_lines) {
        InstallCluster(status_lines, "echo 'ds-rs property Confdir_list value " + root_.path() +
                                         "//slapd-a'");
    }

    static std::string NodeName() {
        struct utsname u;
        uname(&u);
        return u.nodename;
    }

    hvtest::ServerRoot root_;
    hvtest::TempDir stubs_{"hvstubs"};
    std::string instance_, bindir_;
};

TEST_F(ScriptRun, SaveconfigExportsToADatedFile) {
    ProgramResult r = Run("saveconfig", {});
    EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
    EXPECT_EQ(r.out, "saving configuration ...\n");
    std::vector<std::string> rec = Recorded();
    ASSERT_GE(rec.size(), 2u);
    EXPECT_EQ(rec[0], "cwd=" + bindir_);
    EXPECT_EQ(rec[1], "root=" + root_.path());
    std::vector<std::string> args = Args();
    ASSERT_EQ(args.size(), 10u);
    EXPECT_EQ(std::vector<std::string>(args.begin(), args.begin() + 6),
              (std::vector<std::string>{"db2ldif", "-N", "-D", instance_, "-s", "o=HalvoranRoot"}));
    EXPECT_EQ(args[6], "-a");
    EXPECT_TRUE(std::regex_match(
        args[7], std::regex(instance_ + "/confbak/20[0-9]{2}_[01][0-9]_[0-3][0-9]_[0-9]{6}\\.ldif")))
        << args[7];
    EXPECT_EQ(args[9], "HalvoranRoot");

    r = Run("saveconfig", {}, "1");
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.out, "saving configuration ...\nError occurred while saving configuration\n");
}

TEST_F(ScriptRun, RestoreconfigTakesTheNewestFile) {
    ProgramResult r = Run("restoreconfig", {});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_NE(r.out.find("No configuration to restore in " + instance_ + "/confbak\n"),
              std::string::npos)
        << r.out;
    EXPECT_FALSE(Ran());

    hvtest::MakeDirs(instance_ + "/confbak");
    r = Run("restoreconfig", {});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_NE(r.out.find("No configuration to restore in " + instance_ + "/confbak\n"),
              std::string::npos);

    std::string older = instance_ + "/confbak/2020_01_01_000000.ldif";
    std::string newer = instance_ + "/confbak/2021_01_01_000000.ldif";
    hvtest::WriteFile(newer, "dn: o=x\n");
    hvtest::WriteFile(older, "dn: o=x\n");
    ASSERT_EQ(hvtest::RunProgram("/usr/bin/touch", {"-d", "2020-01-01", older}).exit_status, 0);
    r = Run("restoreconfig", {}, "3");
    EXPECT_EQ(r.exit_status, 3);
    EXPECT_EQ(r.out, "Restoring " + newer + "\n");
    EXPECT_EQ(Args(), (std::vector<std::string>{"ldif2db", "-D", instance_, "-i", newer, "-n",
                                                "HalvoranRoot"}));
}

TEST_F(ScriptRun, ArgumentCountsAndUsage) {
    struct Case {
        const char *script;
        std::vector<std::string> too_few;
        int status;
        const char *usage_start;
        std::size_t usage_lines;
    };
    const Case cases[] = {
        {"ldif2db", {"-n", "hvdata", "-i"}, 1, "Usage: ldif2db -n backend_instance", 3},
        {"db2ldif", {"-n"}, 1, "Usage: db2ldif {-n backend_instance}*", 4},
        {"vlvindex", {"-n", "hvdata", "-T"}, 1, "Usage: vlvindex -n backend_instance", 2},
        {"suffix2instance", {"-s"}, 1, "Usage: suffix2instance {-s includesuffix}*", 1},
        {"bak2db", {}, 2, "Usage: bak2db backup_directory", 1},
        {"bak2db", {"a", "b"}, 2, "Usage: bak2db backup_directory", 1},
        {"bak2db", {"-h"}, 2, "Usage: bak2db backup_directory", 1},
        {"db2bak", {"a", "b"}, 2, "Usage: db2bak [backup_directory]", 1},
        {"db2bak", {"-h"}, 2, "Usage: db2bak [backup_directory]", 1},
    };
    for (const Case &c : cases) {
        // The leading cluster marker is removed before the count.
        for (bool marked : {false, true}) {
            std::vector<std::string> args = c.too_few;
            if (marked) args.insert(args.begin(), "STARTED_FROM_KEL_CLUSTER");
            ProgramResult r = Run(c.script, args);
            EXPECT_EQ(r.exit_status, c.status) << c.script << " " << marked;
            EXPECT_EQ(r.out.rfind(c.usage_start, 0), 0u) << c.script << ": " << r.out;
            std::size_t lines = 0;
            for (char ch : r.out) lines += ch == '\n';
            EXPECT_EQ(lines, c.usage_lines) << c.script << ": " << r.out;
            EXPECT_FALSE(Ran()) << c.script;
        }
    }
    ProgramResult r = Run("ldif2db", {"STARTED_FROM_KEL_CLUSTER"});
    EXPECT_NE(r.out.find("Note: either \"-n backend_instance\" or \"-s includesuffix\" and \"-i "
                         "ldiffile\" are required.\n"),
              std::string::npos)
        << r.out;
    r = Run("db2bak", {"-x"});
    EXPECT_EQ(r.exit_status, 2);
    EXPECT_NE(r.out.find("Usage: db2bak [backup_directory]\n"), std::string::npos);
}

TEST_F(ScriptRun, ArgumentsArePassedOnWithTheInstance) {
    ProgramResult r = Run("ldif2db", {"-n", "hvdata", "-i", "/data/a b.ldif"}, "5");
    EXPECT_EQ(r.exit_status, 5);
    EXPECT_EQ(r.out, "importing data ...\n");
    EXPECT_EQ(Args(), (std::vector<std::string>{"ldif2db", "-D", instance_, "-n", "hvdata", "-i",
                                                "/data/a b.ldif"}));
    EXPECT_EQ(Recorded()[0], "cwd=" + bindir_);

    r = Run("vlvindex", {"STARTED_FROM_KEL_CLUSTER", "-n", "hvdata", "-T", "cn"});
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(Args(), (std::vector<std::string>{"db2index", "-D", instance_, "-n", "hvdata",
                                                "-T", "cn"}));

    r = Run("suffix2instance", {"-s", "o=x"}, "2");
    EXPECT_EQ(r.exit_status, 2);
    EXPECT_EQ(Args(), (std::vector<std::string>{"suffix2instance", "-D", instance_, "-s", "o=x"}));

    r = Run("bak2db", {"/backups/one"});
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(Args(), (std::vector<std::string>{"archive2db", "-D", instance_, "-a", "/backups/one"}));
}

TEST_F(ScriptRun, Db2ldifScansForItsOutputFile) {
    ProgramResult r = Run("db2ldif", {"-n", "hvdata", "-a", "/out/x.ldif", "-N"});
    EXPECT_EQ(r.exit_status, 0) << r.out;
    EXPECT_EQ(Args(), (std::vector<std::string>{"db2ldif", "-D", instance_, "-n", "hvdata", "-a",
                                                "/out/x.ldif", "-N"}));

    r = Run("db2ldif", {"-n", "hvdata"});
    EXPECT_EQ(r.exit_status, 0);
    std::vector<std::string> args = Args();
    ASSERT_EQ(args.size(), 7u);
    EXPECT_EQ(args[3], "-a");
    EXPECT_TRUE(std::regex_match(
        args[4], std::regex(instance_ + "/ldif/20[0-9]{2}_[01][0-9]_[0-3][0-9]_[0-9]{6}\\.ldif")))
        << args[4];
    EXPECT_EQ(args[5], "-n");

    // "-a" as the last argument arms the scan but names no file.
    r = Run("db2ldif", {"-n", "hvdata", "-a"});
    args = Args();
    ASSERT_EQ(args.size(), 8u);
    EXPECT_EQ(args[3], "-a");
    EXPECT_EQ(args[7], "-a");
}

TEST_F(ScriptRun, Db2bakDefaultsToADatedDirectory) {
    ProgramResult r = Run("db2bak", {"STARTED_FROM_KEL_CLUSTER"});
    EXPECT_EQ(r.exit_status, 0) << r.out;
    std::vector<std::string> args = Args();
    ASSERT_EQ(args.size(), 5u);
    EXPECT_EQ(args[0], "db2archive");
    EXPECT_TRUE(std::regex_match(
        args[4],
        std::regex(instance_ + "/bak/20[0-9]{2}_[01][0-9]_[0-3][0-9]_[0-9]{2}_[0-9]{2}_[0-9]{2}")))
        << args[4];
    EXPECT_EQ(r.out, "Backup to " + args[4] + "\n");

    r = Run("db2bak", {"/backups/two"});
    EXPECT_EQ(Args(), (std::vector<std::string>{"db2archive", "-D", instance_, "-a", "/backups/two"}));
}

TEST_F(ScriptRun, SixtyFourBitProgramIsPreferred) {
    ProgramResult width = hvtest::RunProgram("/usr/bin/getconf", {"LONG_BIT"});
    hvtest::WriteFile(bindir_ + "/64/hv-slapd", kRecorder, 0755);
    Run("suffix2instance", {"-s", "o=x"});
    std::string expected = width.out == "64\n" ? bindir_ + "/64" : bindir_;
    EXPECT_EQ(Recorded()[0], "cwd=" + expected);

    // Not executable: stays with the default program.
    chmod((bindir_ + "/64/hv-slapd").c_str(), 0644);
    Run("suffix2instance", {"-s", "o=x"});
    EXPECT_EQ(Recorded()[0], "cwd=" + bindir_);
}

TEST_F(ScriptRun, ClusterInfoWithoutClusterSoftware) {
    ProgramResult r = Run("get-clusterinfo-slapd", {});
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");

    // The package query says "absent" (1) although the commands are there.
    InstallCluster("", "echo 'ds-rs property Confdir_list value " + instance_ + "'", 1);
    r = Run("get-clusterinfo-slapd", {});
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.out, "");
}

TEST_F(ScriptRun, ClusterInfoFindsTheResource) {
    InstallClusterWithInstance("");
    ProgramResult r = Run("get-clusterinfo-slapd", {});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.out, "ds-rs\n");

    InstallCluster("", "echo 'ds-rs property Confdir_list value /elsewhere/slapd-b'");
    r = Run("get-clusterinfo-slapd", {});
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.out, "");
}

TEST_F(ScriptRun, ClusterInfoMatchesAServerRootWithTrailingSlash) {
    hvtest::RemoveTree(instance_);
    Generate(root_.path() + "/");
    EXPECT_NE(hvtest::ReadFile(instance_ + "/get-clusterinfo-slapd")
                  .find("instance=\"" + root_.path() + "//slapd-a\""),
              std::string::npos);
    InstallCluster("", "echo 'ds-rs property Confdir_list value " + instance_ + "'");
    ProgramResult r = Run("get-clusterinfo-slapd", {});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.out, "ds-rs\n");
}

TEST_F(ScriptRun, GuardRefusesAnotherNode) {
    InstallClusterWithInstance("Resource ds-rs node-b Online\nResource other-rs node-c Online\n");
    for (const char *script : {"saveconfig", "restoreconfig", "ldif2db", "db2ldif", "vlvindex",
                               "db2bak", "bak2db", "suffix2instance"}) {
        ProgramResult r = Run(script, {"-n", "hvdata", "-i", "x"});
        EXPECT_EQ(r.exit_status, 4) << script;
        EXPECT_EQ(r.out, "Please run this command on the current active node: node-b\n") << script;
        EXPECT_FALSE(Ran()) << script;
    }
    // The cluster agent itself skips the check.
    ProgramResult r = Run("suffix2instance", {"STARTED_FROM_KEL_CLUSTER", "-s", "o=x"});
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(Args(), (std::vector<std::string>{"suffix2instance", "-D", instance_, "-s", "o=x"}));
}

TEST_F(ScriptRun, GuardLetsTheActiveNodeAndOfflineResourcesThrough) {
    InstallClusterWithInstance("Resource ds-rs " + NodeName() + " Online\n");
    ProgramResult r = Run("suffix2instance", {"-s", "o=x"});
    EXPECT_EQ(r.exit_status, 0) << r.out;
    EXPECT_TRUE(Ran());

    InstallClusterWithInstance("Resource ds-rs node-b Offline\n");
    r = Run("bak2db", {"/backups/one"});
    EXPECT_EQ(r.exit_status, 0) << r.out;
    EXPECT_EQ(Args(), (std::vector<std::string>{"archive2db", "-D", instance_, "-a", "/backups/one"}));
}

}  // namespace
