// The counters in replicated slapd set-ups, configured as docs/openldap.md
// says:
//   - one provider with the plug-ins (their lines before the database) and
//     two consumers without any: the counters replicate as data;
//   - the hvtally overlay on every server (provider and consumers, or two
//     providers taking writes at once): each server computes its counters
//     from its own entries.
// Writers change the tree concurrently (adds, deletes, class changes, member
// changes, moves); once every server has the provider's contextCSN,
// `hvtally check` for both counters exits 0 on every server, and every
// server serves the same entries and counters.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "openldap/compat_env.h"
#include "openldap/move_sequence.h"
#include "support/run_program.h"

namespace hvtest {
namespace {

const char kNodeRule[] =
    "nodetally counterAttribute=hvEntryCount counterObjectClass=hvCounterHolder requiredObjectClass=hvCounted";
const char kAttrRule[] =
    "attrtally memberAttribute=hvMember counterAttribute=hvMemberCount requiredObjectClass=hvGroup "
    "updateParents=true";

std::vector<std::string> Words(const std::string &s) {
    std::vector<std::string> out;
    std::istringstream in(s);
    for (std::string w; in >> w;) out.push_back(w);
    return out;
}

std::string TailOf(const std::string &log) { return log.size() > 3000 ? log.substr(log.size() - 3000) : log; }

bool OverlayBuilt() { return std::string(HV_OVERLAY_MODULE).size() > 0; }

// What every server of a set-up loads; syncprov serves the others.
std::string Global(bool overlay, int server_id) {
    std::string g = "moduleload syncprov\n";
    if (overlay) g += std::string("moduleload ") + HV_OVERLAY_MODULE + "\n";
    if (server_id > 0) g += "serverID " + std::to_string(server_id) + "\n";
    return g;
}

std::string Syncrepl(int rid, const std::string &provider_url) {
    return "syncrepl rid=" + std::to_string(100 + rid) + " provider=" + provider_url +
           " type=refreshAndPersist retry=\"1 +\" searchbase=\"" + kSuffix +
           "\" bindmethod=simple binddn=\"" + kRootDn + "\" credentials=" + kRootPw + "\n";
}

std::string Provider(bool overlay) {
    std::string d = "index objectClass,entryCSN,entryUUID eq\noverlay syncprov\nsyncprov-checkpoint 100 1\n";
    if (overlay) d += std::string("overlay hvtally\nhvtally ") + kNodeRule + "\nhvtally " + kAttrRule + "\n";
    return d;
}

class ReplicatedSlapd : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!SlapdInstalled()) GTEST_SKIP() << kSlapdPath << " is not installed";
    }

    // Provider 0 with the plug-ins before its database (the probe last, so
    // that the test knows when their handlers are done), or with the overlay;
    // consumers 1.. replicate from it (with the overlay, or with nothing).
    void StartProviderAndConsumers(bool overlay, int consumers) {
        for (int i = 0; i <= consumers; ++i) servers_.push_back(std::make_unique<SlapdServer>());
        SlapdServer &p = *servers_[0];
        report_ = p.dir() + "/report.txt";
        std::string global = Global(overlay, 0);
        if (!overlay) {
            std::vector<PluginLine> lines = CountersAfterCompat(report_);
            lines[1].args.push_back("countMoves=true");
            lines[2].args.push_back("countMoves=true");
            lines[3].args.push_back("modrdn=1");
            for (const PluginLine &l : lines) {
                global += "plugin postoperation " + l.path + " " + l.init;
                for (const std::string &a : l.args) global += " " + a;
                global += "\n";
            }
        }
        p.set_extra_config(global, Provider(overlay));
        ASSERT_TRUE(p.Start({})) << p.error();
        for (int i = 1; i <= consumers; ++i) {
            SlapdServer &c = *servers_[i];
            std::string db = "index entryCSN,entryUUID eq\n" + Syncrepl(i, p.url());
            if (overlay) db += std::string("overlay hvtally\nhvtally ") + kNodeRule + "\nhvtally " + kAttrRule + "\n";
            c.set_extra_config(Global(overlay, 0), db);
            ASSERT_TRUE(c.Start({})) << c.error();
        }
        plugins_ = !overlay;
    }

    // Two providers, each replicating from the other, with the overlay.
    void StartTwoProviders() {
        for (int i = 0; i < 2; ++i) {
            servers_.push_back(std::make_unique<SlapdServer>());
            ASSERT_TRUE(servers_.back()->ReservePort());
        }
        // delta-syncrepl: each server logs its changes in cn=accesslog and
        // replays the other's log in order.
        for (int i = 0; i < 2; ++i) {
            SlapdServer &s = *servers_[i];
            const std::string log =
                "moduleload accesslog\n"
                "database mdb\nmaxsize 10485760\nsuffix cn=accesslog\ndirectory " + s.dir() + "/db/log\n"
                "rootdn cn=accesslog\nindex entryCSN,objectClass,reqEnd,reqResult,reqStart,reqDN eq\n"
                "overlay syncprov\nsyncprov-nopresent TRUE\nsyncprov-reloadhint TRUE\n";
            std::string repl = Syncrepl(1, servers_[1 - i]->url());
            repl.pop_back();
            repl += " logbase=\"cn=accesslog\" logfilter=\"(&(objectClass=auditWriteObject)(reqResult=0))\""
                    " syncdata=accesslog\n";
            const std::string db = repl + "multiprovider on\n" + Provider(true) +
                                   "overlay accesslog\nlogdb cn=accesslog\nlogops writes\nlogsuccess TRUE\n"
                                   "logpurge 24:00 01+00:00\n";
            std::filesystem::create_directories(s.dir() + "/db/log");
            s.set_extra_config(Global(true, i + 1) + log, db);
        }
        for (auto &s : servers_) ASSERT_TRUE(s->Start({})) << s->error();
    }

    // Runs each batch of changes from its own client, batches[i] against
    // server at[i], all at once.
    void RunWriters(const std::vector<std::string> &batches, const std::vector<int> &at) {
        std::vector<std::thread> threads;
        std::vector<CommandResult> results(batches.size());
        for (size_t i = 0; i < batches.size(); ++i)
            threads.emplace_back([&, i] { results[i] = servers_[at[i]]->Changes(batches[i], 120); });
        for (auto &t : threads) t.join();
        for (size_t i = 0; i < results.size(); ++i)
            ASSERT_EQ(results[i].status, 0) << "writer " << i << ":\n" << results[i].output;
    }

    // The tree, then the plug-ins' handlers done (with the plug-ins).
    void LoadTree() {
        CommandResult r = servers_[0]->Changes(std::string(kTree) + kMoreTree);
        ASSERT_EQ(r.status, 0) << r.output;
        ops_ = kTreeOps + kMoreTreeOps;
        WaitForHandlers();
    }
    void WaitForHandlers() {
        if (plugins_) {
            ASSERT_TRUE(WaitForProbeOperations(report_, ops_, 120000)) << "handlers did not finish";
        }
    }

    // Waits (at most 120 s) until every server holds the same contextCSN
    // values, that is until every change has reached every server.
    void WaitForConvergence() {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
        std::string last;
        for (;;) {
            std::vector<std::vector<std::string>> csns;
            for (size_t i = 0; i < servers_.size(); ++i) {
                ASSERT_TRUE(servers_[i]->Running())
                    << "server " << i << " ended:\n" << ReadFile(servers_[i]->server_log_path())
                    << TailOf(ReadFile(servers_[i]->server_log_path()));
            }
            for (auto &s : servers_) {
                auto v = s->Values(kSuffix, "contextCSN");
                std::sort(v.begin(), v.end());
                csns.push_back(v);
            }
            bool same = !csns[0].empty();
            for (const auto &c : csns) same = same && c == csns[0];
            if (same) return;
            last.clear();
            for (const auto &c : csns) {
                for (const auto &v : c) last += v + " ";
                last += "| ";
            }
            ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "contextCSN never agreed: " << last;
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
    }

    // hvtally check for both counters on every server exits 0; every
    // server returns the same entries with the same counters.
    void ExpectCountersRightEverywhere() {
        std::string first;
        for (size_t i = 0; i < servers_.size(); ++i) {
            SlapdServer &s = *servers_[i];
            EXPECT_TRUE(s.Running()) << "server " << i << " ended:\n" << TailOf(ReadFile(s.server_log_path()));
            for (const char *rule : {kNodeRule, kAttrRule}) {
                std::vector<std::string> args = Words(rule);
                args.insert(args.begin(), "check");
                args.insert(args.end(), {"-H", s.url(), "-D", kRootDn, "-w", kRootPw, "-b", kSuffix});
                ProgramResult r = RunProgram(std::string(HV_BUILD_DIR) + "/bin/hvtally", args);
                EXPECT_EQ(r.exit_status, 0) << "server " << i << ", " << rule << ":\n" << r.out << r.err;
            }
            CommandResult tree = s.Subtree(kSuffix, {"objectClass", "hvMember", "hvEntryCount", "hvMemberCount"});
            ASSERT_EQ(tree.status, 0) << tree.output;
            std::map<std::string, Entry> parsed = ParseTree(tree.output);
            std::string text;
            for (const auto &[dn, e] : parsed)
                text += dn + " " + std::to_string(e.entryCount) + " " + std::to_string(e.memberCount) + "\n";
            if (i == 0) {
                first = text;
                EXPECT_GT(parsed.size(), 5u);
            } else {
                EXPECT_EQ(text, first) << "server " << i << " differs from server 0";
            }
        }
    }

    // One batch of `steps` changes per writer, each writer with its own
    // entries (prefix w<i>u) below the shared holders and groups.
    static std::vector<std::string> Batches(unsigned seed, int writers, int steps, int *moves) {
        std::vector<std::string> out;
        for (int w = 0; w < writers; ++w) {
            MoveSequence sequence(seed * 100 + w, "w" + std::to_string(w) + "u");
            out.emplace_back();
            for (int i = 0; i < steps; ++i) {
                bool move = false;
                out.back() += sequence.Next(&move);
                *moves += move;
            }
        }
        return out;
    }

    std::vector<std::unique_ptr<SlapdServer>> servers_;
    std::string report_;
    int ops_ = 0;
    bool plugins_ = false;
};

class ProviderAndConsumers : public ReplicatedSlapd, public ::testing::WithParamInterface<bool> {};

// Four writers on the provider; the consumers end with the provider's
// counters, all right.  With the plug-ins' lines inside the database
// instead, slapd crashed on the consumers' first replicated change.
TEST_P(ProviderAndConsumers, EveryServerEndsWithEveryCounterRight) {
    const bool overlay = GetParam();
    if (overlay && !OverlayBuilt()) GTEST_SKIP() << "the hvtally overlay is not built (HV_OPENLDAP_SOURCE)";
    StartProviderAndConsumers(overlay, 2);
    if (HasFatalFailure()) return;
    LoadTree();
    if (HasFatalFailure()) return;
    int moves = 0;
    const std::vector<std::string> batches = Batches(7, 4, 40, &moves);
    RunWriters(batches, {0, 0, 0, 0});
    if (HasFatalFailure()) return;
    ops_ += 4 * 40;
    WaitForHandlers();
    if (HasFatalFailure()) return;
    WaitForConvergence();
    if (HasFatalFailure()) return;
    EXPECT_GE(moves, 20);
    ExpectCountersRightEverywhere();
    if (!overlay) {
        EXPECT_EQ(servers_[0]->PluginLog().find("no lock on"), std::string::npos) << servers_[0]->PluginLog();
    }
}

INSTANTIATE_TEST_SUITE_P(Setups, ProviderAndConsumers, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool> &p) { return p.param ? "Overlay" : "PlugIns"; });

// With the overlay a stored counter value (written by hand, or by the
// plug-ins before) is kept in the database but never served.
TEST_F(ReplicatedSlapd, TheOverlayServesTheCountNotAStoredValue) {
    if (!OverlayBuilt()) GTEST_SKIP() << "the hvtally overlay is not built (HV_OPENLDAP_SOURCE)";
    StartProviderAndConsumers(true, 0);
    if (HasFatalFailure()) return;
    LoadTree();
    if (HasFatalFailure()) return;
    SlapdServer &s = *servers_[0];
    CommandResult r = s.Modify(std::string("dn: ") + kPeople + "\nchangetype: modify\nreplace: hvEntryCount\n"
                               "hvEntryCount: 99\n-\n\n"
                               "dn: cn=p1," + kPeople + "\nchangetype: add\nobjectClass: organizationalRole\n"
                               "objectClass: hvCounted\ncn: p1\n\n");
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(s.Values(kPeople, "hvEntryCount"), std::vector<std::string>{"1"});
    EXPECT_EQ(s.Values(kOrg, "hvEntryCount"), std::vector<std::string>{"1"});
    ExpectCountersRightEverywhere();
}

class TwoProviders : public ReplicatedSlapd, public ::testing::WithParamInterface<unsigned> {
  protected:
    void SetUp() override {
        ReplicatedSlapd::SetUp();
        if (IsSkipped()) return;
        if (!OverlayBuilt()) GTEST_SKIP() << "the hvtally overlay is not built (HV_OPENLDAP_SOURCE)";
        StartTwoProviders();
        if (HasFatalFailure()) return;
        LoadTree();
        if (HasFatalFailure()) return;
        WaitForConvergence();
    }
};

// Two writers on each provider at once.  Counters written as values kept
// only the last writer's view here (about half the adds were lost); counted
// from each server's entries they are all right.
TEST_P(TwoProviders, WritersOnBothEndWithEveryCounterRight) {
    if (HasFatalFailure()) return;
    int moves = 0;
    RunWriters(Batches(GetParam(), 4, 40, &moves), {0, 1, 0, 1});
    if (HasFatalFailure()) return;
    WaitForConvergence();
    if (HasFatalFailure()) return;
    EXPECT_GE(moves, 20);
    ExpectCountersRightEverywhere();
}

// The second provider stops while the first takes writes (moves included)
// and starts again on the database it had: it catches up, takes writes
// itself, and both end right.  (With plain syncrepl instead of delta,
// catching up on a subtree moved meanwhile could put a glue entry where the
// moved entry was to go and then retry for ever: `do_syncrepl: rid=101 rc
// 68 retrying`.)
TEST_P(TwoProviders, AProviderRestartedDuringWritesCatchesUp) {
    if (HasFatalFailure()) return;
    int moves = 0;
    const std::vector<std::string> missed = Batches(GetParam() + 50, 2, 60, &moves);
    // The writers run in a thread of their own: the server's start must be
    // in this one, since a started server ends with the thread that
    // started it.
    std::thread writers([&] { RunWriters(missed, {0, 0}); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    servers_[1]->Stop();
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    const bool restarted = servers_[1]->Start({});
    writers.join();
    ASSERT_TRUE(restarted) << servers_[1]->error();
    if (HasFatalFailure()) return;
    WaitForConvergence();
    if (HasFatalFailure()) return;
    // Different writer names (w0u.., w1u..) than those above: offset seeds.
    std::vector<std::string> after = Batches(GetParam() + 90, 4, 40, &moves);
    RunWriters({after[2], after[3]}, {1, 0});
    if (HasFatalFailure()) return;
    WaitForConvergence();
    if (HasFatalFailure()) return;
    EXPECT_GE(moves, 10);
    ExpectCountersRightEverywhere();
}

INSTANTIATE_TEST_SUITE_P(Seeds, TwoProviders, ::testing::Values(1u, 2u, 3u));

// The shipped example configurations, with the installed paths replaced by
// the build's and temporary ones, are accepted by slapd (slaptest -u): the
// plug-ins and the overlay load and take their arguments.
TEST(ReplicationExamples, SlapdAcceptsEachShippedConfiguration) {
    if (!SlapdInstalled()) GTEST_SKIP() << kSlapdPath << " is not installed";
    // Sanitized modules need their runtime preloaded, and slaptest then
    // hangs at exit; the plain build checks the files.
    if (std::string(HV_SLAPD_PRELOAD).size() > 0) GTEST_SKIP() << "not in sanitizer builds";
    const std::string lib = std::filesystem::path(HV_NODETALLY_PLUGIN).parent_path().string() + "/";
    SlapdServer scratch;  // for its temporary directory
    const std::vector<std::pair<std::string, std::string>> paths = {
        {"/usr/lib/hvds/plugins/", lib},
        {"/usr/lib/hvds/slapd/", std::filesystem::path(OverlayBuilt() ? HV_OVERLAY_MODULE : HV_NODETALLY_PLUGIN)
                                     .parent_path()
                                     .string() +
                                     "/"},
        {"/usr/share/hvds/", std::string(HV_SOURCE_DIR) + "/tests/openldap/"},
        {"/var/lib/ldap", scratch.dir() + "/db"},
        {"/var/run/slapd/", scratch.dir() + "/"},
        {"/var/log/", scratch.dir() + "/"}};
    std::filesystem::create_directories(scratch.dir() + "/db/accesslog");
    for (const char *name : {"provider-plugins.conf", "consumer.conf", "hvtally-provider1.conf",
                             "hvtally-provider2.conf"}) {
        SCOPED_TRACE(name);
        std::string conf = ReadFile(std::string(HV_SOURCE_DIR) + "/examples/openldap/" + name);
        ASSERT_FALSE(conf.empty());
        if (!OverlayBuilt() && conf.find("hvtally_overlay") != std::string::npos) continue;
        for (const auto &[from, to] : paths)
            for (size_t at = conf.find(from); at != std::string::npos; at = conf.find(from, at + to.size()))
                conf.replace(at, from.size(), to);
        const std::string file = scratch.dir() + "/" + name;
        ASSERT_TRUE(WriteFile(file, conf));
        CommandResult r = RunCommand({"/usr/sbin/slaptest", "-u", "-f", file});
        EXPECT_EQ(r.status, 0) << conf << r.output;
    }
}

}  // namespace
}  // namespace hvtest
