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
#include "openldap/move_sequence.h"
#include "support/run_program.h"

namespace hvtest {
namespace {

const std::vector<std::string> kNodeArgs = {"counterAttribute=hvEntryCount", "counterObjectClass=hvCounterHolder",
                                            "requiredObjectClass=hvCounted"};
const std::vector<std::string> kAttrArgs = {"memberAttribute=hvMember", "counterAttribute=hvMemberCount",
                                            "requiredObjectClass=hvGroup", "updateParents=true"};

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
