// hvtally on files of our host: the counting rule itself, and the real
// program run on a dse file that the real plug-ins kept, after drift made on
// purpose (a counter replaced by a client, a holder class added late, a
// replicated add).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "hv/slapi-host.h"
#include "plugins/plugin_test_env.h"
#include "support/run_program.h"
#include "support/server_root.h"
#include "support/users.h"
#include "tools/tally_count.h"

namespace hv::tally {
namespace {

using hv::plugins::testing::kAttrtallyInit;
using hv::plugins::testing::kNodetallyInit;
using hv::plugins::testing::Mod;
using hv::plugins::testing::PluginHostTest;

const std::vector<std::string> kNodeArgs = {"counterAttribute=entryCount",
                                            "counterObjectClass=counterHolder",
                                            "requiredObjectClass=person"};
const std::vector<std::string> kAttrArgs = {"memberAttribute=member", "counterAttribute=memberCount",
                                            "requiredObjectClass=groupOfNames",
                                            "updateParents=true"};

Rule MustParse(const char *plugin, const std::vector<std::string> &args) {
    Rule r;
    std::string error;
    EXPECT_TRUE(ParseRule(plugin, args, &r, &error)) << error;
    return r;
}

EntryView View(const std::string &ndn, std::vector<std::string> classes, int members = 0,
               std::vector<std::string> counter = {}) {
    return {ndn, ndn, std::move(classes), members, std::move(counter)};
}

TEST(TallyRule, NodetallyCountsEveryClassEntryBelowEachHolderButNotTheHolderItself) {
    Recount r(MustParse("nodetally", kNodeArgs));
    r.Add(View("ou=east,ou=org,dc=x", {"counterHolder", "PERSON"}, 0, {"1"}));
    r.Add(View("cn=a,ou=east,ou=org,dc=x", {"person"}));
    r.Add(View("cn=b,ou=mid,ou=east,ou=org,dc=x", {"person"}));  // parent not held
    r.Add(View("ou=org,dc=x", {"CounterHolder"}));
    r.Add(View("cn=c\\,d,ou=org,dc=x", {"person"}));
    r.Add(View("cn=other,dc=x", {"person"}));
    std::vector<CounterState> c = r.Finish();
    ASSERT_EQ(c.size(), 2u);
    EXPECT_EQ(c[0].computed, 2);  // the holder of class person counts only below
    EXPECT_EQ(c[1].computed, 4);
    EXPECT_FALSE(c[0].Right(MustParse("nodetally", kNodeArgs)));
    EXPECT_EQ(c[1].StoredText(), "absent");
}

TEST(TallyRule, AbsentCounterIsZeroForHoldersButWrongForCountedGroups) {
    Rule node = MustParse("nodetally", kNodeArgs);
    Rule attr = MustParse("attrtally", kAttrArgs);
    CounterState absent;
    EXPECT_TRUE(absent.Right(node));
    EXPECT_FALSE(absent.Right(attr));
    CounterState two{"x", "x", std::string("0"), 2, 0};
    EXPECT_FALSE(two.Right(node));
    EXPECT_EQ(two.StoredText(), "0 (and 1 more values)");
    CounterState padded{"x", "x", std::string("03"), 1, 3};
    EXPECT_FALSE(padded.Right(node));
}

TEST(TallyRule, AttrtallySumsCountedEntriesBelowOnlyWithUpdateParents) {
    for (bool up : {true, false}) {
        std::vector<std::string> args = {"memberAttribute=member", "counterAttribute=memberCount",
                                         "requiredObjectClass=groupOfNames"};
        if (up) args.push_back("updateParents=TRUE");
        Recount r(MustParse("attrtally", args));
        r.Add(View("cn=all,dc=x", {"groupOfNames"}, 2));
        r.Add(View("ou=plain,cn=all,dc=x", {"organizationalUnit"}, 7));  // not counted anywhere
        r.Add(View("cn=team,ou=plain,cn=all,dc=x", {"groupofnames"}, 3));
        std::vector<CounterState> c = r.Finish();
        ASSERT_EQ(c.size(), 2u);
        EXPECT_EQ(c[0].computed, up ? 5 : 2);
        EXPECT_EQ(c[1].computed, 3);
    }
}

TEST(TallyRule, ArgumentsReadAsThePluginsReadThem) {
    Rule r = MustParse("nodetally", {"counter=n", "counterObjectClass=h", "req=c", "bogus=1"});
    EXPECT_EQ(r.counterAttribute, "n");
    EXPECT_EQ(r.requiredObjectClass, "c");
    EXPECT_FALSE(MustParse("attrtally", {"m=a", "c=n", "r=g", "updateParents=yes"}).updateParents);
    std::string error;
    EXPECT_FALSE(ParseRule("nodetally", {"counterAttribute=n", "noequals"}, &r, &error));
    EXPECT_FALSE(ParseRule("nodetally", {"counterAttribute=n"}, &r, &error));
    EXPECT_FALSE(ParseRule("othertally", kNodeArgs, &r, &error));
    EXPECT_EQ(ParentOf("cn=a\\,b,dc=x"), "dc=x");
    EXPECT_EQ(ParentOf("dc=x"), "");
}

std::string Hvtally() { return std::string(HV_BUILD_DIR) + "/bin/hvtally"; }

hvtest::ProgramResult RunTally(const std::string &mode, const std::string &plugin,
                          const std::vector<std::string> &args, const std::string &file) {
    std::vector<std::string> all = {mode, plugin};
    all.insert(all.end(), args.begin(), args.end());
    all.push_back("-f");
    all.push_back(file);
    return hvtest::RunProgram(Hvtally(), all);
}

// The real plug-ins keep counters in a dse file; drift is then made by what
// they do not see.
class HvtallyOnFile : public PluginHostTest {
  protected:
    void SetUp() override {
        PluginHostTest::SetUp();
        file_ = dir_ + "/dse.ldif";
        hvtest::WriteFile(file_,
                          "dn: dc=x\nobjectClass: top\ndc: x\n\n"
                          "dn: ou=org,dc=x\nobjectClass: counterHolder\nou: org\n\n"
                          "dn: ou=east,ou=org,dc=x\nobjectClass: counterHolder\nou: east\n\n"
                          "dn: ou=west,ou=org,dc=x\nobjectClass: organizationalUnit\nou: west\n\n"
                          "dn: cn=all,dc=x\nobjectClass: groupOfNames\ncn: all\nmember: a\n"
                          "memberCount: 1\n\n",
                          0640);
        ASSERT_EQ(hv_dir_load_dse(file_.c_str()), 0);
        Load("nodetally", kNodetallyInit, kNodeArgs);
        Load("attrtally", kAttrtallyInit, kAttrArgs);
        for (const char *dn : {"cn=a,ou=east,ou=org,dc=x", "cn=b,ou=east,ou=org,dc=x",
                               "cn=c,ou=west,ou=org,dc=x", "cn=d,ou=west,ou=org,dc=x"}) {
            ASSERT_EQ(Add(std::string("dn: ") + dn + "\nobjectClass: person\n"), 0);
        }
        ASSERT_EQ(Add("dn: cn=team,cn=all,dc=x\nobjectClass: groupOfNames\nmember: p\nmember: q\n"), 0);
        ASSERT_EQ(Value("ou=org,dc=x", "entryCount"), "4");
        ASSERT_EQ(Value("cn=all,dc=x", "memberCount"), "3");
    }

    std::string file_;
};

TEST_F(HvtallyOnFile, ReportsEachDriftedCounterRepairsItAndThenChecksClean) {
    // Right after the plug-ins' own work nothing is wrong.
    hvtest::ProgramResult r = RunTally("check", "nodetally", kNodeArgs, file_);
    EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
    EXPECT_EQ(r.out, "checked 2 counters, 0 wrong\n");

    // A client replaces a counter; a holder class arrives late; a replicated
    // add and a client's member counter write go unseen.
    ASSERT_EQ(Modify("ou=org,dc=x", {{LDAP_MOD_REPLACE, "entryCount", {"17"}}}), 0);
    ASSERT_EQ(Modify("ou=west,ou=org,dc=x", {{LDAP_MOD_ADD, "objectClass", {"counterHolder"}}}), 0);
    ASSERT_EQ(Add("dn: cn=e,ou=east,ou=org,dc=x\nobjectClass: person\n", HV_OP_REPLICATED), 0);
    ASSERT_EQ(Add("dn: cn=x,cn=team,cn=all,dc=x\nobjectClass: groupOfNames\nmember: z\n",
                  HV_OP_REPLICATED),
              0);
    ASSERT_EQ(Modify("cn=team,cn=all,dc=x", {{LDAP_MOD_REPLACE, "memberCount", {"9"}}}), 0);

    r = RunTally("check", "nodetally", kNodeArgs, file_);
    EXPECT_EQ(r.exit_status, 1) << r.err;
    EXPECT_EQ(r.out,
              "ou=org,dc=x: stored 17, computed 5\n"
              "ou=east,ou=org,dc=x: stored 2, computed 3\n"
              "ou=west,ou=org,dc=x: stored absent, computed 2\n"
              "checked 3 counters, 3 wrong\n");
    r = RunTally("check", "attrtally", kAttrArgs, file_);
    EXPECT_EQ(r.exit_status, 1) << r.err;
    EXPECT_EQ(r.out,
              "cn=all,dc=x: stored 3, computed 4\n"
              "cn=team,cn=all,dc=x: stored 9, computed 3\n"
              "cn=x,cn=team,cn=all,dc=x: stored absent, computed 1\n"
              "checked 3 counters, 3 wrong\n");

    const hvtest::PathInfo before = hvtest::Inspect(file_);
    r = RunTally("repair", "nodetally", kNodeArgs, file_);
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(r.out,
              "checked 3 counters, 3 wrong\n"
              "ou=org,dc=x: stored 17, set to 5\n"
              "ou=east,ou=org,dc=x: stored 2, set to 3\n"
              "ou=west,ou=org,dc=x: stored absent, set to 2\n");
    r = RunTally("repair", "attrtally", kAttrArgs, file_);
    EXPECT_EQ(r.exit_status, 0) << r.err;
    const hvtest::PathInfo after = hvtest::Inspect(file_);
    EXPECT_EQ(after.mode, before.mode);
    EXPECT_EQ(after.uid, before.uid);
    for (const auto *args : {&kNodeArgs, &kAttrArgs}) {
        r = RunTally("check", args == &kNodeArgs ? "nodetally" : "attrtally", *args, file_);
        EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
    }
    // Nothing but the counters changed: the host reads the file back whole.
    hv_host_reset();
    ASSERT_EQ(hv_dir_load_ldif(file_.c_str()), 0);
    EXPECT_EQ(hv_dir_entry_count(), 12);
    EXPECT_EQ(Value("ou=west,ou=org,dc=x", "entryCount"), "2");

    // A repair of a file with nothing wrong leaves it alone.
    struct stat st1 {}, st2 {};
    ASSERT_EQ(::stat(file_.c_str(), &st1), 0);
    r = RunTally("repair", "nodetally", kNodeArgs, file_);
    EXPECT_EQ(r.exit_status, 0);
    ASSERT_EQ(::stat(file_.c_str(), &st2), 0);
    EXPECT_EQ(st1.st_ino, st2.st_ino);
}

TEST_F(HvtallyOnFile, RepairAsRootKeepsTheOwnersFileAndRefusesWhatTheOwnerCouldPlant) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root";
    hvtest::SystemUser owner;
    ASSERT_TRUE(hvtest::EnsureSystemUser("hvtestowner", &owner));
    ASSERT_EQ(Modify("ou=org,dc=x", {{LDAP_MOD_REPLACE, "entryCount", {"0"}}}), 0);
    hvtest::ChownTree(dir_, owner.uid, owner.gid);
    ASSERT_EQ(::chmod(file_.c_str(), 0604), 0);

    hvtest::ProgramResult r = RunTally("repair", "nodetally", kNodeArgs, file_);
    EXPECT_EQ(r.exit_status, 0) << r.err;
    hvtest::PathInfo info = hvtest::Inspect(file_);
    EXPECT_EQ(info.uid, owner.uid);
    EXPECT_EQ(info.gid, owner.gid);
    EXPECT_EQ(info.mode, 0604u);

    // A link to a file the owner may not write, and a FIFO that would block.
    const std::string secret = dir_ + "/secret";
    hvtest::WriteFile(secret, hvtest::ReadFile(file_), 0600);
    ASSERT_EQ(::unlink(file_.c_str()), 0);
    ASSERT_EQ(::symlink(secret.c_str(), file_.c_str()), 0);
    r = RunTally("repair", "nodetally", kNodeArgs, file_);
    EXPECT_EQ(r.exit_status, 2);
    EXPECT_EQ(r.err, "hvtally: " + file_ + ": a symbolic link, refused\n");
    EXPECT_TRUE(hvtest::Inspect(file_).is_link);
    ASSERT_EQ(::unlink(file_.c_str()), 0);
    ASSERT_EQ(::mkfifo(file_.c_str(), 0600), 0);
    r = RunTally("check", "nodetally", kNodeArgs, file_);
    EXPECT_EQ(r.exit_status, 2);
}

TEST(HvtallyCommandLine, UsageAndInputErrorsExitTwoWithAMessage) {
    hvtest::TempDir dir;
    const std::string bad = dir.Join("bad.ldif");
    hvtest::WriteFile(bad, "dn: dc=x\nobjectClass: top\n\ndn: not a dn\nobjectClass: top\n\n");
    struct Case {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{}, "a mode and a plug-in are needed"},
        {{"count", "nodetally"}, "unknown mode"},
        {{"check", "nodetally", "counterAttribute=a", "-f", bad}, "nodetally needs"},
        {{"check", "attrtally", "memberAttribute=m", "counterAttribute=a", "requiredObjectClass=g",
          "oops", "-f", bad},
         "has no '='"},
        {{"check", "nodetally", "c=a", "counterO=h", "r=p"}, "exactly one source"},
        {{"check", "nodetally", "c=a", "counterO=h", "r=p", "-f", bad, "-H", "ldap://x"},
         "exactly one source"},
        {{"check", "nodetally", "c=a", "counterO=h", "r=p", "-H", "http://x", "-b", "dc=x"},
         "ldap:// or ldapi://"},
        {{"check", "nodetally", "c=a", "counterO=h", "r=p", "-H", "ldap://127.0.0.1:1"}, "needs -b"},
        {{"check", "nodetally", "c=a", "counterO=h", "r=p", "-H", "ldap://127.0.0.1:1", "-b", "dc=x"},
         "cannot bind to ldap://127.0.0.1:1"},
        {{"check", "nodetally", "c=a", "counterO=h", "r=p", "-f", bad}, bad + ":4: \"not a dn\" is not a DN"},
        {{"check", "nodetally", "c=a", "counterO=h", "r=p", "-f", dir.Join("none")},
         "No such file"},
        {{"check", "nodetally", "c=a", "counterO=h", "r=p", "-H", "ldap://127.0.0.1:1", "-b", "dc=x",
          "-D", "cn=a", "-y", dir.Join("none")},
         "cannot read the password file"},
    };
    for (const Case &c : cases) {
        hvtest::ProgramResult r = hvtest::RunProgram(Hvtally(), c.args);
        EXPECT_EQ(r.exit_status, 2) << c.message;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "");
    }
    hvtest::ProgramResult help = hvtest::RunProgram(Hvtally(), {"--help"});
    EXPECT_EQ(help.exit_status, 0);
    EXPECT_NE(help.out.find("usage: hvtally check|repair"), std::string::npos);
}

}  // namespace
}  // namespace hv::tally
