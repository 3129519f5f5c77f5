// The power fails before each call that changes the disk, in an upgrade
// (both phases) and in a downgrade of a sample instance with a real
// certificate database.  What the disk could hold afterwards is rebuilt
// under an ordered journal and under the least POSIX promises (CrashEnv),
// then checked: every file is its old or its new content, no saved script
// is lost, the level the repository records has its work on the disk, and
// the same command run again completes the job.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "common/dir.h"
#include "hv/slapi-host.h"
#include "migrate/certdb_listing.h"
#include "migrate/downgrade.h"
#include "migrate/owner.h"
#include "migrate/result_codes.h"
#include "migrate/upgrade.h"
#include "support/crash_env.h"
#include "support/run_program.h"
#include "upgrade/sample_root.h"

namespace {

using hvtest::CrashEnv;
using hvtest::Tree;

constexpr char kInst[] = "slapd-a";
const std::string kI = std::string(kInst) + "/";

// The upgrade as dshost runs it: phase 1 only after a phase 0 that
// succeeded, with the configuration loaded.  Every change, the host's
// configuration file included, goes through env.
bool Upgrade(hv::Env *env, const std::string &root) {
    hv::Env *old = hv::Env::SetDefaultForTesting(env);
    const std::string inst = root + "/" + kInst;
    int rc0 = UpgradeInstanceWith(env, 0, inst.c_str());
    int load = IsSuccess(rc0) ? hv_dir_load_dse((inst + "/config/dse.ldif").c_str()) : -1;
    int rc1 = load == 0 ? UpgradeInstanceWith(env, 1, inst.c_str()) : -1;
    bool ok = IsSuccess(rc0) && load == 0 && IsSuccess(rc1);
    if (!ok) std::fprintf(stderr, "upgrade: phase 0 %d, load %d, phase 1 %d\n", rc0, load, rc1);
    hv_host_reset();
    hv::Env::SetDefaultForTesting(old);
    return ok;
}

bool Downgrade(hv::Env *env, const std::string &root) {
    hv::Env *old = hv::Env::SetDefaultForTesting(env);
    bool ok = IsSuccess(DowngradeInstanceWith(env, root.c_str(), kInst));
    hv::Env::SetDefaultForTesting(old);
    return ok;
}

void Copy(const std::string &from, const std::string &to) {
    hvtest::ProgramResult r = hvtest::RunProgram("/bin/cp", {"-a", from + "/.", to});
    ASSERT_EQ(r.exit_status, 0) << r.err;
}

// The tree with every mention of root (the scripts carry it) as "@ROOT@",
// so that trees of different server roots compare.
std::string Normalize(std::string text, const std::vector<std::string> &roots) {
    for (const std::string &root : roots) {
        for (std::string::size_type at = 0; (at = text.find(root, at)) != std::string::npos;)
            text.replace(at, root.size(), "@ROOT@");
    }
    return text;
}

Tree Normalized(Tree t, const std::vector<std::string> &roots) {
    for (auto &[rel, node] : t) node.content = Normalize(std::move(node.content), roots);
    return t;
}

std::string Content(const Tree &t, const std::string &rel) {
    auto it = t.find(rel);
    return it == t.end() || it->second.dir ? "(absent)" : it->second.content;
}

// The last level the repository text records; 0 when there is none.
int RecordedLevel(const Tree &t) {
    std::string v = Content(t, kI + "upgrade/versions.conf");
    std::string::size_type end = v.find_last_not_of("\t\n\r ");
    if (v == "(absent)" || end == std::string::npos) return 0;
    return v[end] - '0';
}

// Files whose content the check of old-or-new does not cover: temporaries
// (the next run removes them) and what NSS writes in place, which is
// judged by whether the recorded level can use it.
bool Uncovered(const std::string &rel) {
    static const std::regex re(R"(.*\.tmp[0-9a-f]{6}|alias/.*)");
    return std::regex_match(rel, re);
}

hv::migrate::NssListing Listing(const std::string &root) {
    hv::migrate::NssListing listing;
    std::string why;
    EXPECT_TRUE(hv::migrate::ListNssDatabase("dbm:" + root + "/alias", std::string(kInst) + "-", true, &listing, &why))
        << why;
    return listing;
}

class PowerLoss : public ::testing::Test {
  protected:
    void SetUp() override {
        // The certificate step's scratch directories of runs the power
        // loss cut short stay here, not in /tmp.
        ::chmod(scratch_.path().c_str(), 01777);  // like /tmp: the owner's runs write there
        ::setenv("TMPDIR", scratch_.path().c_str(), 1);
        ASSERT_TRUE(base_.Make({"a"}));
        // Run by root over an owner, the tools would fork a worker that the
        // test's Env does not follow; working as the owner here keeps the
        // runs in this process, as an owner's own run is.
        if (base_.has_owner())
            as_owner_ = std::make_unique<hv::migrate::ScopedOwner>(
                base_.owner().uid, base_.owner().gid,
                [](const char *call, long id, int err) { ADD_FAILURE() << call << "(" << id << "): " << err; });
        for (const std::string &n : hvtest::RestoredScripts()) scripts_.push_back(kI + n);
    }
    void TearDown() override {
        as_owner_.reset();
        hv_host_reset();
        ::unsetenv("TMPDIR");
    }

    // Runs run on copies of from with the power failing before each call
    // in turn; judge(image, model) checks each image, then run is repeated
    // on it with the real disk and must succeed; finished(tree) checks the
    // result.
    template <typename Run, typename Judge, typename Finished>
    void CutAtEachCall(const hvtest::ServerRoot &from, Run run, Judge judge, Finished finished) {
        int calls = 0;
        {
            hvtest::ServerRoot counted;
            Copy(from.path(), counted.path());
            CrashEnv env(counted.path(), 0);
            env.RecordHistory();
            ASSERT_TRUE(run(&env, counted.path()));
            env.AddToHistory();
            calls = env.calls();
            for (const auto &[rel, contents] : env.history())
                for (const std::string &c : contents) history_[rel].insert(Normalize(c, {counted.path(), base_.path()}));
        }
        ASSERT_GT(calls, 20);
        for (int at = 1; at <= calls; ++at) {
            hvtest::ServerRoot t;
            Copy(from.path(), t.path());
            CrashEnv env(t.path(), at);
            // The host library writes the configuration file through its
            // own copy of the default Env, and syncs it.
            env.TrustWrittenElsewhere(R"(slapd-a/config/dse\.ldif(\.bak)?)");
            testing::internal::CaptureStderr();
            testing::internal::CaptureStdout();
            run(&env, t.path());
            testing::internal::GetCapturedStdout();
            testing::internal::GetCapturedStderr();
            ASSERT_TRUE(env.crashed());
            for (CrashEnv::Model m : {CrashEnv::Model::kOrdered, CrashEnv::Model::kPosix}) {
                const std::string trial = std::string(m == CrashEnv::Model::kOrdered ? "ordered" : "POSIX") +
                                          " power loss before call " + std::to_string(at) + " of " +
                                          std::to_string(calls);
                SCOPED_TRACE(trial);
                const Tree &image = env.image(m);
                const Tree seen = Normalized(image, {t.path(), base_.path()});
                // The same state again (a call that changed nothing the
                // models keep) is judged and run again once.
                std::string key;
                for (const auto &[rel, node] : seen) key += rel + '\0' + node.content + '\0';
                if (!tried_.insert(std::hash<std::string>()(key)).second) continue;
                judge(seen);
                hvtest::ServerRoot after;
                hvtest::WriteTree(image, after.path());
                testing::internal::CaptureStderr();
                testing::internal::CaptureStdout();
                CrashEnv again(after.path(), 0);  // the real calls, without waiting for the disk
                bool ok = run(&again, after.path());
                std::string out = testing::internal::GetCapturedStdout() + testing::internal::GetCapturedStderr();
                EXPECT_TRUE(ok) << out;
                finished(Normalized(hvtest::ReadTree(after.path()), {t.path(), after.path(), base_.path()}), after.path());
                if (HasFailure()) {
                    std::string listing;
                    for (const auto &[rel, node] : image)
                        if (rel.find("alias/") != 0)
                            listing += rel + (node.dir ? "/" : " [" + node.content.substr(0, 12) + "]") + "\n";
                    ADD_FAILURE() << trial << ": what the power loss left:\n" << listing << "the run again:\n" << out;
                }
                if (HasFailure()) return;
            }
        }
    }

    // Each file holds what it held at some call of the uncut run: its old
    // content, its new one, or that of a complete step between.
    void ExpectOldOrNew(const Tree &image) {
        for (const auto &[rel, node] : image) {
            auto seen = history_.find(rel);
            if (node.dir || Uncovered(rel) || seen == history_.end()) continue;
            EXPECT_TRUE(seen->second.count(node.content))
                << rel << " holds what no complete step left there: [" << node.content.substr(0, 200) << "]";
        }
    }

    // A repository is never seen empty: it is created whole.
    void ExpectRepositoryNotEmpty(const Tree &image) {
        EXPECT_NE(Content(image, kI + "upgrade/versions.conf"), "") << "an empty versions.conf";
    }

    // Every pre-patch script is somewhere: in place or saved.
    void ExpectNoScriptLost(const Tree &image, const Tree &prepatch) {
        for (const std::string &s : scripts_) {
            const std::string name = s.substr(kI.size()), old = Content(prepatch, s);
            bool found = false;
            for (const std::string &at : {s, kI + "upgrade/bak_patch2/" + name, kI + "upgrade.removed/bak_patch2/" + name})
                found = found || Content(image, at) == old;
            EXPECT_TRUE(found) << "the pre-patch " << name << " is lost";
        }
    }

    hvtest::TempDir scratch_{"hvpowerloss"};
    hvtest::SampleRoot base_;
    std::unique_ptr<hv::migrate::ScopedOwner> as_owner_;
    std::vector<std::string> scripts_;
    std::map<std::string, std::set<std::string>> history_;
    std::set<std::size_t> tried_;
};

TEST_F(PowerLoss, AnUpgradeLosesNothingAndClaimsNothingBeforeItIsOnTheDisk) {
    const Tree before = Normalized(hvtest::ReadTree(base_.path()), {base_.path()});
    hvtest::ServerRoot done;
    Copy(base_.path(), done.path());
    ASSERT_TRUE(Upgrade(hv::Env::Default(), done.path()));
    const Tree after = Normalized(hvtest::ReadTree(done.path()), {base_.path(), done.path()});
    const auto listing = Listing(done.path());
    ASSERT_EQ(Content(after, kI + "upgrade/versions.conf"), "1\t2");

    // The work level 2 stands for, as the uncut run left it.
    auto level2_work = [&](const Tree &t, const std::string &root) {
        for (const std::string &rel : scripts_) EXPECT_EQ(Content(t, rel), Content(after, rel)) << rel;
        EXPECT_EQ(Content(t, kI + "config/schema/00core.ldif"), Content(after, kI + "config/schema/00core.ldif"));
        EXPECT_NE(Content(t, kI + "config/dse.ldif").find("hvCertfile: alias/slapd-a-cert8.db"), std::string::npos);
        EXPECT_EQ(hv::migrate::CompareListings(listing, Listing(root)), "") << "the cert8 database";
    };
    CutAtEachCall(
        base_, Upgrade,
        [&](const Tree &image) {
            ExpectOldOrNew(image);
            ExpectRepositoryNotEmpty(image);
            ExpectNoScriptLost(image, before);
            // A script being replaced is never missing from its place.
            for (const std::string &s : scripts_) EXPECT_TRUE(image.count(s)) << s << " is missing";
            // Level 2, or a configuration naming cert8, only with the
            // certificate database on the disk.
            if (RecordedLevel(image) == 2 ||
                Content(image, kI + "config/dse.ldif").find("cert8.db") != std::string::npos) {
                hvtest::ServerRoot look;
                hvtest::WriteTree(image, look.path());
                if (RecordedLevel(image) == 2) level2_work(image, look.path());
                EXPECT_EQ(hv::migrate::CompareListings(listing, Listing(look.path())), "") << "the cert8 database";
            }
        },
        [&](const Tree &t, const std::string &root) {
            EXPECT_EQ(Content(t, kI + "upgrade/versions.conf"), "1\t2");
            level2_work(t, root);
        });
}

TEST_F(PowerLoss, ADowngradeLosesNoSavedScriptAndRecordsTheBaselineOnlyWithTheScriptsBack) {
    // A patched instance whose certificates the administrator has taken
    // back by hand, so that the downgrade can go.
    ASSERT_TRUE(Upgrade(hv::Env::Default(), base_.path()));
    base_.RevertCertificates(kInst);
    const Tree before = Normalized(hvtest::ReadTree(base_.path()), {base_.path()});
    Tree prepatch;
    for (const std::string &s : scripts_)
        prepatch[s].content = Content(before, kI + "upgrade/bak_patch2/" + s.substr(kI.size()));
    hvtest::ServerRoot done;
    Copy(base_.path(), done.path());
    ASSERT_TRUE(Downgrade(hv::Env::Default(), done.path()));
    const Tree after = Normalized(hvtest::ReadTree(done.path()), {base_.path(), done.path()});
    ASSERT_FALSE(after.count(kI + "upgrade"));

    auto baseline_work = [&](const Tree &t) {
        for (const std::string &s : scripts_) EXPECT_EQ(Content(t, s), Content(prepatch, s)) << s;
    };
    CutAtEachCall(
        base_, Downgrade,
        [&](const Tree &image) {
            ExpectOldOrNew(image);
            ExpectRepositoryNotEmpty(image);
            ExpectNoScriptLost(image, prepatch);
            // Back at the baseline (the repository says so, or is gone):
            // every script must be back.
            if (!image.count(kI + "upgrade") || Content(image, kI + "upgrade/versions.conf") == "1\t")
                baseline_work(image);
        },
        [&](const Tree &t, const std::string &) {
            // A downgrade run on an instance at the baseline makes a fresh
            // repository, and so does the run after one that had finished.
            if (t.count(kI + "upgrade")) {
                EXPECT_EQ(Content(t, kI + "upgrade/versions.conf"), "1");
                EXPECT_EQ(std::count_if(t.begin(), t.end(), [](const auto &e) { return e.first.rfind(kI + "upgrade/", 0) == 0; }), 1);
            }
            EXPECT_FALSE(t.count(kI + "upgrade.removed"));
            baseline_work(t);
        });
}

}  // namespace
