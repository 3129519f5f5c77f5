// hvtally against OpenLDAP slapd with both counter plug-ins loaded: drift
// that the plug-ins cannot see (entries loaded with slapadd, a counter
// replaced by a client, a holder class added late, a move) is reported exactly and
// repaired, also while counted operations run concurrently.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "openldap/slapd_harness.h"
#include "support/run_program.h"

namespace hvtest {
namespace {

const std::vector<std::string> kNodeArgs = {"counterAttribute=hvEntryCount",
                                            "counterObjectClass=hvCounterHolder",
                                            "requiredObjectClass=hvCounted"};
const std::vector<std::string> kAttrArgs = {"memberAttribute=hvMember", "counterAttribute=hvMemberCount",
                                            "requiredObjectClass=hvGroup", "updateParents=true"};

std::string Holder(const std::string &dn, const std::string &ou, bool holder = true) {
    return "dn: " + dn + "\nobjectClass: organizationalUnit\n" +
           (holder ? "objectClass: hvCounterHolder\n" : "") + "ou: " + ou + "\n\n";
}

std::string Counted(const std::string &cn, const std::string &parent) {
    return "dn: cn=" + cn + "," + parent + "\nobjectClass: organizationalRole\nobjectClass: hvCounted\ncn: " +
           cn + "\n\n";
}

std::string Group(const std::string &dn, const std::string &cn, int members) {
    std::string s = "dn: " + dn + "\nobjectClass: organizationalRole\nobjectClass: hvGroup\ncn: " + cn + "\n";
    for (int i = 0; i < members; i++) s += "hvMember: m" + std::to_string(i) + "\n";
    return s + "\n";
}

std::vector<std::string> SortedLines(const std::string &text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    std::sort(lines.begin(), lines.end());
    return lines;
}

class HvtallyOnSlapd : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!SlapdInstalled()) GTEST_SKIP() << kSlapdPath << " is not installed";
    }

    // attrtally also follows moves: slapd accepts its post-modify-RDN
    // handler, but hands it no entries, so a move still goes uncounted.
    void Start(const std::string &offline) {
        report_ = server_.dir() + "/report.txt";
        server_.set_offline_ldif(offline);
        std::vector<std::string> attr = kAttrArgs;
        attr.push_back("countMoves=true");
        ASSERT_TRUE(server_.Start(
            {{HV_NODETALLY_PLUGIN, "HVSubtreeEntryCounterPostOp_Init", kNodeArgs},
             {HV_ATTRTALLY_PLUGIN, "HVAttrtallyPostOp_Init", attr},
             {HV_PROBE_PLUGIN, "probe_init", {"report=" + report_}}}))
            << server_.error();
    }

    // Runs a client operation and waits until every plug-in has handled it
    // (slapd answers before it runs post-operation plug-ins).
    void Settled(const CommandResult &r, int ops) {
        ASSERT_EQ(r.status, 0) << r.output;
        ops_ += ops;
        ASSERT_TRUE(WaitForProbeOperations(report_, ops_));
    }

    ProgramResult Tally(const std::string &mode, const std::string &plugin,
                        const std::string &password = kRootPw) {
        std::vector<std::string> args = {mode, plugin};
        const auto &pa = plugin == "nodetally" ? kNodeArgs : kAttrArgs;
        args.insert(args.end(), pa.begin(), pa.end());
        args.insert(args.end(), {"-H", server_.url(), "-D", kRootDn, "-w", password, "-b", kSuffix});
        return RunProgram(std::string(HV_BUILD_DIR) + "/bin/hvtally", args);
    }

    SlapdServer server_;
    std::string report_;
    int ops_ = 0;
};

const std::string kBase = "dn: dc=example,dc=com\nobjectClass: dcObject\nobjectClass: organization\n"
                          "o: Example\ndc: example\n\n";

TEST_F(HvtallyOnSlapd, ReportsEachDriftedCounterExactlyAndRepairsIt) {
    const std::string org = "ou=org,dc=example,dc=com";
    const std::string people = "ou=people," + org;
    const std::string plain = "ou=plain,dc=example,dc=com";
    const std::string top = "cn=top,dc=example,dc=com";
    const std::string sub = "cn=sub," + top;
    // Loaded offline: no plug-in sees these.
    Start(kBase + Holder(org, "org") + Holder(people, "people") + Counted("a", people) +
          Counted("b", people) + Counted("c", people) + Holder(plain, "plain", false) +
          Counted("d", plain) + Counted("e", plain) + Group(top, "top", 2));
    if (HasFatalFailure()) return;
    // Seen by the plug-ins.
    Settled(server_.Add(Counted("f", people)), 1);
    Settled(server_.Add(Group(sub, "sub", 3)), 1);
    // Unseen: a client's counter value, a move (of a counted entry and of a
    // group), and a holder class added late.
    Settled(server_.Modify("dn: " + sub + "\nchangetype: modify\nreplace: hvMemberCount\nhvMemberCount: 9\n\n"), 1);
    CommandResult moved = server_.Modify("dn: cn=a," + people + "\nchangetype: modrdn\nnewrdn: cn=a\n"
                                         "deleteoldrdn: 1\nnewsuperior: " + plain + "\n\n");
    ASSERT_EQ(moved.status, 0) << moved.output;
    moved = server_.Modify("dn: " + sub + "\nchangetype: modrdn\nnewrdn: cn=sub\ndeleteoldrdn: 1\n"
                           "newsuperior: " + plain + "\n\n");
    ASSERT_EQ(moved.status, 0) << moved.output;
    Settled(server_.Modify("dn: " + plain + "\nchangetype: modify\nadd: objectClass\nobjectClass: hvCounterHolder\n\n"), 1);

    ProgramResult r = Tally("check", "nodetally");
    EXPECT_EQ(r.exit_status, 1) << r.err;
    EXPECT_EQ(SortedLines(r.out), SortedLines("ou=org,dc=example,dc=com: stored 1, computed 3\n"
                                              "ou=people,ou=org,dc=example,dc=com: stored 1, computed 3\n"
                                              "ou=plain,dc=example,dc=com: stored absent, computed 3\n"
                                              "checked 3 counters, 3 wrong\n"));
    r = Tally("check", "attrtally");
    EXPECT_EQ(r.exit_status, 1) << r.err;
    EXPECT_EQ(SortedLines(r.out), SortedLines("cn=top,dc=example,dc=com: stored 3, computed 2\n"
                                              "cn=sub,ou=plain,dc=example,dc=com: stored 9, computed 3\n"
                                              "checked 2 counters, 2 wrong\n"));

    for (const char *plugin : {"nodetally", "attrtally"}) {
        r = Tally("repair", plugin);
        EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
        r = Tally("check", plugin);
        EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
    }
    EXPECT_EQ(server_.Counter(org, "hvEntryCount"), 3);
    EXPECT_EQ(server_.Counter("cn=sub," + plain, "hvMemberCount"), 3);
    // The plug-ins go on from the repaired values.
    Settled(server_.Add(Counted("g", plain)), 1);
    EXPECT_EQ(Tally("check", "nodetally").exit_status, 0);

    r = Tally("check", "nodetally", "wrong");
    EXPECT_EQ(r.exit_status, 2);
    EXPECT_NE(r.err.find("Invalid credentials"), std::string::npos) << r.err;
}

TEST_F(HvtallyOnSlapd, RepairRacingWithCountedAddsLeavesEveryCounterRight) {
    // Nested holders over more entries than one page holds, all loaded
    // offline, so that every counter starts wrong.
    const std::string org = "ou=org,dc=example,dc=com";
    const std::vector<std::string> holders = {org, "ou=a," + org, "ou=b," + org, "ou=c,ou=a," + org};
    std::string offline = kBase + Holder(holders[0], "org") + Holder(holders[1], "a") +
                          Holder(holders[2], "b") + Holder(holders[3], "c");
    for (int i = 0; i < 1500; i++) offline += Counted("o" + std::to_string(i), holders[i % holders.size()]);
    Start(offline);
    if (HasFatalFailure()) return;

    constexpr int kThreads = 3;
    constexpr int kAddsPerThread = 25;
    std::atomic<int> failed{0};
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; t++) {
        writers.emplace_back([&, t] {
            for (int i = 0; i < kAddsPerThread; i++) {
                const std::string &parent = holders[(t + i) % holders.size()];
                if (server_.Add(Counted("t" + std::to_string(t) + "-" + std::to_string(i), parent)).status != 0) {
                    failed++;
                }
            }
        });
    }
    ProgramResult first = Tally("repair", "nodetally");
    ProgramResult second = Tally("repair", "nodetally");
    for (auto &w : writers) w.join();
    ASSERT_EQ(failed.load(), 0);
    ASSERT_TRUE(WaitForProbeOperations(report_, kThreads * kAddsPerThread));
    EXPECT_NE(first.exit_status, 2) << first.err;
    EXPECT_NE(second.exit_status, 2) << second.err;
    ProgramResult r = Tally("check", "nodetally");
    EXPECT_EQ(r.exit_status, 0) << r.out << "\nfirst repair:\n" << first.out << first.err
                                << "\nsecond repair:\n" << second.out << second.err;
    EXPECT_EQ(server_.Counter(org, "hvEntryCount"), 1500 + kThreads * kAddsPerThread);
}

}  // namespace
}  // namespace hvtest
