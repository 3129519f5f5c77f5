// hvtally -f on files written by hand: every byte it does not repair stays,
// every file it refuses stays as it was and the refusal names the line, and
// as root it works as the file's owner inside the directory it opened.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/run_program.h"
#include "support/server_root.h"
#include "support/users.h"
#include "tools/tally_count.h"
#include "tools/tally_source.h"

namespace hv::tally {
namespace {

const std::vector<std::string> kNodeArgs = {"counterAttribute=entryCount",
                                            "counterObjectClass=counterHolder",
                                            "requiredObjectClass=person"};

hvtest::ProgramResult Tally(const std::string &mode, const std::string &file) {
    std::vector<std::string> args = {mode, "nodetally"};
    args.insert(args.end(), kNodeArgs.begin(), kNodeArgs.end());
    args.push_back("-f");
    args.push_back(file);
    return hvtest::RunProgram(std::string(HV_BUILD_DIR) + "/bin/hvtally", args);
}

using namespace std::string_literals;

TEST(HvtallyFile, RepairRewritesOnlyCounterLinesAndKeepsEveryOtherByte) {
    hvtest::TempDir dir;
    const std::string file = dir.Join("data.ldif");
    // Comments (folded too), a folded counter, CRLF lines, two values of a
    // counter, raw and base64 NUL bytes, no line end at the very end.
    const std::string head = "version: 1\n# a comment\n#  folded\n on\n\n";
    const std::string before =
        head +
        "dn: dc=x\nobjectClass: top\nobjectClass: counterHolder\nentryCount: 7\n 0\ndescription: long\n  value\n"
        "\n\n# between\ndn: ou=a,dc=x\r\nobjectClass: counterHolder\r\n# inside\r\nentryCount: 5\r\n"
        "entryCount: 6\r\nou: a\r\n\r\n"
        "dn: cn=p,ou=a,dc=x\nobjectClass: person\ndescription: raw\0nul\n\n"s
        "dn:: Y249cSxvdT1hLGRjPXg=\nobjectClass: person\ndescription:: AGI=\n\n"
        "dn: cn=r,ou=b,dc=x\nobjectClass: person\n\n"
        "dn: ou=b,dc=x\nobjectClass: counterHolder";
    const std::string after =
        head +
        "dn: dc=x\nobjectClass: top\nobjectClass: counterHolder\nentryCount: 3\ndescription: long\n  value\n"
        "\n\n# between\ndn: ou=a,dc=x\r\nobjectClass: counterHolder\r\n# inside\r\nentryCount: 2\r\n"
        "ou: a\r\n\r\n"
        "dn: cn=p,ou=a,dc=x\nobjectClass: person\ndescription: raw\0nul\n\n"s
        "dn:: Y249cSxvdT1hLGRjPXg=\nobjectClass: person\ndescription:: AGI=\n\n"
        "dn: cn=r,ou=b,dc=x\nobjectClass: person\n\n"
        "dn: ou=b,dc=x\nobjectClass: counterHolder\nentryCount: 1";
    hvtest::WriteFile(file, before, 0640);

    hvtest::ProgramResult r = Tally("check", file);
    EXPECT_EQ(r.exit_status, 1) << r.err;
    EXPECT_EQ(r.out,
              "dc=x: stored 70, computed 3\n"
              "ou=a,dc=x: stored 5 (and 1 more values), computed 2\n"
              "ou=b,dc=x: stored absent, computed 1\n"
              "checked 3 counters, 3 wrong\n");
    r = Tally("repair", file);
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(hvtest::ReadFile(file), after);
    EXPECT_EQ(hvtest::Inspect(file).mode, 0640u);
    r = Tally("check", file);
    EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
    EXPECT_EQ(hvtest::ListDir(dir.path()), std::vector<std::string>{"data.ldif"});
}

TEST(HvtallyFile, RefusesWhatAClientWouldRefuseNamingTheLineAndLeavesTheFileAlone) {
    const std::string ok = "dn: dc=x\nobjectClass: counterHolder\nentryCount: 9\n\n";  // lines 1-4
    struct Case {
        std::string text;
        std::string message;  // after "FILE:"
    } cases[] = {
        {ok + "dn: cn=a,dc=x\nobjectClass: person\ndescription:: aMOpbG\n", "7: \"description::\": base64 of 6"},
        {ok + "dn: cn=a,dc=x\nobjectClass: person\ndescription:: aM\n", "7: \"description::\": base64 of 2"},
        {ok + "dn: cn=a,dc=x\ndescription:: aGk=\n aGk=\nobjectClass: person\n", "7: \"description::\": base64 after '='"},
        {ok + "dn: cn=a,dc=x\ndescription:: aGk\n *\n", "7: \"description::\": a byte that is not base64"},
        {ok + "dn: cn=a,dc=x\ndescription:: a===\n", "6: \"description::\": more than two '='"},
        {ok + "dn: cn=a,dc=x\nobjectClass: person\n\ndn: CN=A, DC=X\nobjectClass: person\n",
         "8: the entry of line 5 again (\"CN=A, DC=X\"); a server takes each DN once"},
        {ok + "dn:\nobjectClass: top\n", "5: an entry with the empty DN (the root DSE)"},
        {ok + "dn: cn=a,dc=x\nchangetype: modify\nreplace: entryCount\n", "6: \"changetype: modify\": a change record"},
        {ok + "dn: cn=a,dc=x\nobjectClass: person\ndn: cn=b,dc=x\n", "7: a second \"dn:\" in the entry of line 5"},
        {ok + " continued\n", "5: a continued line"},
        {ok + "dn: cn=a,dc=x\ncn:< file:///etc/passwd\n", "6: \"cn:<\": values are not fetched from URLs"},
        {ok + "dn: cn=a,dc=x\nno colon here\n", "6: not an attribute line"},
        {ok + "dn: cn=a,dc=x\nc n: a\n", "6: \"c n\" is not an attribute type"},
        {ok + "dn: cn=a,dc=x,\nobjectClass: person\n", "5: \"cn=a,dc=x,\" is not a DN"},
        {ok + "dn: cn=a\0b,dc=x\nobjectClass: person\n"s, "5: \"cn=a\\x00b,dc=x\" is not a DN"},
        {ok + "objectClass: person\n", "5: an entry must begin with \"dn:\""},
        {"version: 2\n" + ok, "1: version \"2\""},
    };
    hvtest::TempDir dir;
    const std::string file = dir.Join("data.ldif");
    for (const Case &c : cases) {
        hvtest::WriteFile(file, c.text, 0600);
        hvtest::ProgramResult r = Tally("repair", file);
        EXPECT_EQ(r.exit_status, 2) << c.text;
        EXPECT_NE(r.err.find(file + ":" + c.message), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(hvtest::ReadFile(file), c.text);
    }
    EXPECT_EQ(hvtest::ListDir(dir.path()), std::vector<std::string>{"data.ldif"});
}

TEST(HvtallyFile, ControlBytesFromTheFileReachNoTerminal) {
    hvtest::TempDir dir;
    const std::string file = dir.Join("data.ldif");
    // "ou=\x1b[2J,dc=x": a terminal's clear-screen sequence in a DN.
    hvtest::WriteFile(file, "dn:: b3U9G1sySixkYz14\nobjectClass: counterHolder\nentryCount: 1\n");
    hvtest::ProgramResult r = Tally("check", file);
    EXPECT_EQ(r.exit_status, 1) << r.err;
    EXPECT_EQ(r.out, "ou=\\x1b[2J,dc=x: stored 1, computed 0\nchecked 1 counters, 1 wrong\n");
}

TEST(HvtallyFile, ReadsOverTheirBoundAreRefusedNamingTheFile) {
    hvtest::TempDir dir;
    const std::string file = dir.Join("huge.ldif");
    hvtest::WriteFile(file, "dn: dc=x\nobjectClass: top\ndescription: ");
    ASSERT_EQ(::truncate(file.c_str(), off_t{300} << 20), 0);  // sparse: NUL bytes
    hvtest::ProgramResult r = Tally("check", file);
    EXPECT_EQ(r.exit_status, 2);
    EXPECT_NE(r.err.find(file + ":3: a line longer than 256 MiB"), std::string::npos) << r.err;

    const std::string password = dir.Join("password");
    hvtest::WriteFile(password, std::string(65 * 1024, 'p'), 0600);
    r = hvtest::RunProgram(std::string(HV_BUILD_DIR) + "/bin/hvtally",
                           {"check", "nodetally", kNodeArgs[0], kNodeArgs[1], kNodeArgs[2], "-H",
                            "ldap://127.0.0.1:1", "-b", "dc=x", "-D", "cn=a", "-y", password});
    EXPECT_EQ(r.exit_status, 2);
    EXPECT_NE(r.err.find("the password file " + password + " is larger than 64 KiB"), std::string::npos) << r.err;
}

// As root on an owner's file: the owner swaps the file's directory for a
// link to another of its directories between the scan and the repair.
TEST(HvtallyFile, AsRootWorksAsTheOwnerAndWritesOnlyInTheDirectoryItRead) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root";
    hvtest::SystemUser owner;
    ASSERT_TRUE(hvtest::EnsureSystemUser("hvtestowner", &owner));
    hvtest::TempDir root;
    hvtest::MakeDirs(root.Join("inst/config"), 0755);
    hvtest::MakeDirs(root.Join("other/config"), 0755);
    const std::string content = "dn: dc=x\nobjectClass: counterHolder\nentryCount: 4\n";
    hvtest::WriteFile(root.Join("inst/config/dse.ldif"), content, 0600);
    hvtest::WriteFile(root.Join("other/config/dse.ldif"), content, 0600);
    hvtest::ChownTree(root.Join("inst"), owner.uid, owner.gid);
    hvtest::ChownTree(root.Join("other"), owner.uid, owner.gid);

    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        Rule rule;
        std::string error;
        if (!ParseRule("nodetally", kNodeArgs, &rule, &error)) _exit(10);
        std::unique_ptr<Source> source = OpenFileSource(rule, root.Join("inst/config/dse.ldif"), &error);
        if (source == nullptr) _exit(11);
        Recount recount(rule);
        if (!source->Scan(&recount, {}, &error)) _exit(12);
        uid_t r = 0, e = 0, s = 0;
        if (::getresuid(&r, &e, &s) != 0 || r != owner.uid || e != owner.uid || s != owner.uid) _exit(13);
        // What the owner can do meanwhile.
        if (::rename(root.Join("inst/config").c_str(), root.Join("inst/config.old").c_str()) != 0 ||
            ::symlink(root.Join("other/config").c_str(), root.Join("inst/config").c_str()) != 0) {
            _exit(14);
        }
        if (!source->Repair(recount.Finish(), [](const std::string &, const std::string &, long) {}, &error)) {
            _exit(15);
        }
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(hvtest::ReadFile(root.Join("other/config/dse.ldif")), content);
    EXPECT_EQ(hvtest::ListDir(root.Join("other/config")), std::vector<std::string>{"dse.ldif"});
    EXPECT_EQ(hvtest::ReadFile(root.Join("inst/config.old/dse.ldif")),
              "dn: dc=x\nobjectClass: counterHolder\nentryCount: 0\n");
    const hvtest::PathInfo info = hvtest::Inspect(root.Join("inst/config.old/dse.ldif"));
    EXPECT_EQ(info.uid, owner.uid);
    EXPECT_EQ(info.mode, 0600u);

    // A second name of the file is refused: it could be anyone's file.
    ASSERT_EQ(::link(root.Join("other/config/dse.ldif").c_str(), root.Join("other/config/second").c_str()), 0);
    hvtest::ProgramResult r = Tally("check", root.Join("other/config/dse.ldif"));
    EXPECT_EQ(r.exit_status, 2);
    EXPECT_NE(r.err.find("has 2 names"), std::string::npos) << r.err;
}

}  // namespace
}  // namespace hv::tally
