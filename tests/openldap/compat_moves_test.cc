// Moves with countMoves=true in OpenLDAP slapd: slapdcompat.so first, then
// nodetally and attrtally following moved subtrees.  Random sequences of
// adds, deletes, modifies and modify-RDN moves of subtrees between nested
// holders and groups; after every step each counter equals the recount of
// the real `hvtally check` (exit 0 for both plug-ins).
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "openldap/compat_env.h"
#include "support/run_program.h"

namespace hvtest {
namespace {

const std::vector<std::string> kNodeArgs = {"counterAttribute=hvEntryCount", "counterObjectClass=hvCounterHolder",
                                            "requiredObjectClass=hvCounted"};
const std::vector<std::string> kAttrArgs = {"memberAttribute=hvMember", "counterAttribute=hvMemberCount",
                                            "requiredObjectClass=hvGroup", "updateParents=true"};

// Below the tree of compat_env.h: two more nested holders under ou=org and a
// plain container outside it.
const char kMoreTree[] =
    "dn: ou=h0,ou=org,dc=example,dc=com\nchangetype: add\nobjectClass: organizationalUnit\n"
    "objectClass: hvCounterHolder\nou: h0\n\n"
    "dn: ou=h1,ou=h0,ou=org,dc=example,dc=com\nchangetype: add\nobjectClass: organizationalUnit\n"
    "objectClass: hvCounterHolder\nou: h1\n\n"
    "dn: ou=plain,dc=example,dc=com\nchangetype: add\nobjectClass: organizationalUnit\nou: plain\n\n";
constexpr int kMoreTreeOps = 3;

// A model of the entries the sequence makes, so that every change it sends
// is valid.  Fixed containers are never moved or deleted; the entries it
// adds (cn=<prefix><n>) are, with everything below them.  Sequences with
// different prefixes touch only the fixed containers in common.
class MoveSequence {
  public:
    explicit MoveSequence(unsigned seed, std::string prefix = "u") : rng_(seed), prefix_(std::move(prefix)) {
        for (const char *dn : {kOrg, kPeople, kG0, kG1, "ou=h0,ou=org,dc=example,dc=com",
                               "ou=h1,ou=h0,ou=org,dc=example,dc=com", "ou=plain,dc=example,dc=com"}) {
            Node n;
            n.fixedDn = dn;
            nodes_[next_++] = n;
        }
    }

    // The next change as an LDIF change record; *move tells whether it is
    // a modify-RDN.
    std::string Next(bool *move) {
        *move = false;
        const std::vector<int> movable = Movable();
        const int what = movable.empty() ? 0 : Pick(20);
        if (what < 7) return Add();
        const int id = movable[Pick(static_cast<int>(movable.size()))];
        Node &n = nodes_[id];
        if (what < 9) {
            if (HasChildren(id)) return Add();
            const std::string s = "dn: " + Dn(id) + "\nchangetype: delete\n\n";
            nodes_.erase(id);
            return s;
        }
        if (what < 11) {
            n.counted = !n.counted;
            return "dn: " + Dn(id) + "\nchangetype: modify\n" + (n.counted ? "add" : "delete") +
                   ": objectClass\nobjectClass: hvCounted\n-\n\n";
        }
        if (what < 13 && n.group) {
            const std::string m = "m" + std::to_string(Pick(4));
            const bool add = n.members.insert(m).second;
            if (!add) n.members.erase(m);
            return "dn: " + Dn(id) + "\nchangetype: modify\n" + (add ? "add" : "delete") + ": hvMember\nhvMember: " +
                   m + "\n-\n\n";
        }
        *move = true;
        return Move(id);
    }

  private:
    struct Node {
        std::string fixedDn;  // set for the fixed containers
        std::string cn;
        int parent = -1;
        bool counted = false, group = false, holder = false;
        std::set<std::string> members;
    };

    int Pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }

    std::string Dn(int id) const {
        const Node &n = nodes_.at(id);
        return n.fixedDn.empty() ? "cn=" + n.cn + "," + Dn(n.parent) : n.fixedDn;
    }
    bool Within(int id, int top) const {
        for (; id >= 0; id = nodes_.at(id).parent)
            if (id == top) return true;
        return false;
    }
    bool HasChildren(int id) const {
        for (const auto &[other, n] : nodes_)
            if (n.parent == id) return true;
        return false;
    }
    std::vector<int> Movable() const {
        std::vector<int> out;
        for (const auto &[id, n] : nodes_)
            if (n.fixedDn.empty()) out.push_back(id);
        return out;
    }
    // Half the time below an added entry, so that subtrees grow.
    int AnyParent() {
        const std::vector<int> movable = Movable();
        if (!movable.empty() && Pick(2) == 0) return movable[Pick(static_cast<int>(movable.size()))];
        return Pick(7);
    }

    std::string Add() {
        Node n;
        n.cn = prefix_ + std::to_string(names_++);
        n.parent = AnyParent();
        n.counted = Pick(2) == 0;
        n.group = Pick(5) < 2;
        n.holder = Pick(4) == 0;
        std::string s = "dn: " + std::string("cn=") + n.cn + "," + Dn(n.parent) +
                        "\nchangetype: add\nobjectClass: organizationalRole\n";
        if (n.counted) s += "objectClass: hvCounted\n";
        if (n.group) s += "objectClass: hvGroup\n";
        if (n.holder) s += "objectClass: hvCounterHolder\n";
        s += "cn: " + n.cn + "\n";
        if (n.group)
            for (int i = 1 + Pick(2); i > 0; --i) n.members.insert("m" + std::to_string(Pick(4)));
        for (const std::string &m : n.members) s += "hvMember: " + m + "\n";
        nodes_[next_++] = n;
        return s + "\n";
    }

    // To another parent outside its own subtree, sometimes with a new RDN;
    // one in six a rename in place.
    std::string Move(int id) {
        Node &n = nodes_[id];
        const std::string from = Dn(id);
        int to = n.parent;
        if (Pick(6) != 0) {
            for (int tries = 0; tries < 20 && (to == n.parent || Within(to, id)); ++tries) to = AnyParent();
        }
        const bool rename = to == n.parent || Pick(3) == 0;
        if (rename) n.cn = prefix_ + std::to_string(names_++);
        std::string s = "dn: " + from + "\nchangetype: modrdn\nnewrdn: cn=" + n.cn + "\ndeleteoldrdn: 1\n";
        if (to != n.parent) s += "newsuperior: " + Dn(to) + "\n";
        n.parent = to;
        return s + "\n";
    }

    std::mt19937 rng_;
    std::string prefix_;
    std::map<int, Node> nodes_;
    int next_ = 0;
    int names_ = 0;
};

class MovesOnSlapd : public CompatOnSlapd {
  protected:
    void StartCountingMoves() {
        report_ = server_.dir() + "/report.txt";
        std::vector<PluginLine> plugins = CountersAfterCompat(report_);
        plugins[1].args.push_back("countMoves=true");
        plugins[2].args.push_back("countMoves=true");
        plugins[3].args.push_back("modrdn=1");  // the probe waits for moves too
        ASSERT_TRUE(server_.Start(plugins)) << server_.error();
        Apply(kTree, kTreeOps);
        Apply(kMoreTree, kMoreTreeOps);
    }

    void Apply(const std::string &ldif, int ops) {
        CommandResult r = server_.Changes(ldif);
        ASSERT_EQ(r.status, 0) << ldif << r.output;
        ops_ += ops;
        ASSERT_TRUE(WaitForProbeOperations(report_, ops_)) << "handlers of " << ldif << " did not finish";
    }

    ProgramResult Check(const std::string &plugin) {
        std::vector<std::string> args = {"check", plugin};
        const auto &pa = plugin == "nodetally" ? kNodeArgs : kAttrArgs;
        args.insert(args.end(), pa.begin(), pa.end());
        args.insert(args.end(), {"-H", server_.url(), "-D", kRootDn, "-w", kRootPw, "-b", kSuffix});
        return RunProgram(std::string(HV_BUILD_DIR) + "/bin/hvtally", args);
    }

    // Both plug-ins' counters against hvtally's recount; false, after a
    // failure naming the wrong counters, when one is wrong.
    bool CountersRight(const std::string &context) {
        for (const char *plugin : {"nodetally", "attrtally"}) {
            ProgramResult r = Check(plugin);
            if (r.exit_status != 0) {
                ADD_FAILURE() << plugin << " " << context << ":\n" << r.out << r.err;
                return false;
            }
        }
        return true;
    }
};

class SeededMoves : public MovesOnSlapd, public ::testing::WithParamInterface<unsigned> {};

TEST_P(SeededMoves, EveryCounterEqualsTheRecountAfterEachStep) {
    constexpr int kSteps = 40;
    StartCountingMoves();
    if (HasFatalFailure()) return;
    MoveSequence sequence(GetParam());
    std::string done;
    int moves = 0;
    for (int step = 0; step < kSteps; ++step) {
        bool move = false;
        const std::string change = sequence.Next(&move);
        moves += move;
        done += change;
        Apply(change, 1);
        if (HasFatalFailure()) return;
        ASSERT_TRUE(CountersRight("after step " + std::to_string(step) + ", changes so far:\n" + done));
    }
    EXPECT_GE(moves, 10);
    RecordProperty("moves", moves);
    EXPECT_TRUE(NoLockTimedOut()) << server_.PluginLog();
}

// The same sequences from one ldapmodify without a pause: slapd answers
// each change before its handlers run, so the next change (an add below an
// entry just moved, a move of an entry just added) meets the handlers of
// the one before.
TEST_P(SeededMoves, EveryCounterEqualsTheRecountAfterChangesWithoutPause) {
    constexpr int kSteps = 60;
    StartCountingMoves();
    if (HasFatalFailure()) return;
    MoveSequence sequence(GetParam());
    std::string all;
    for (int step = 0; step < kSteps; ++step) {
        bool move = false;
        all += sequence.Next(&move);
    }
    Apply(all, kSteps);
    if (HasFatalFailure()) return;
    EXPECT_TRUE(CountersRight("after the changes:\n" + all));
    EXPECT_TRUE(NoLockTimedOut()) << server_.PluginLog();
}

// Four clients at once, each with its own sequence below the shared
// holders: moves meet the other clients' changes in the holders above them.
TEST_P(SeededMoves, EveryCounterEqualsTheRecountAfterConcurrentClients) {
    constexpr int kClients = 4;
    constexpr int kSteps = 40;
    StartCountingMoves();
    if (HasFatalFailure()) return;
    std::vector<std::string> batches;
    for (int c = 0; c < kClients; ++c) {
        MoveSequence sequence(GetParam() * 10 + c, "c" + std::to_string(c) + "u");
        batches.emplace_back();
        bool move = false;
        for (int step = 0; step < kSteps; ++step) batches.back() += sequence.Next(&move);
    }
    RunClients(batches, kClients * kSteps);
    if (HasFatalFailure()) return;
    EXPECT_EQ(RefusedInReport(ReadFile(report_)), 0);
    EXPECT_TRUE(CountersRight("after the clients"));
    EXPECT_TRUE(NoLockTimedOut()) << server_.PluginLog();
}

INSTANTIATE_TEST_SUITE_P(Seeds, SeededMoves, ::testing::Values(1u, 2u, 3u));

}  // namespace
}  // namespace hvtest
