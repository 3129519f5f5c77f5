// A run that finds what an interrupted one left finishes or cleans up that
// work, and the same command run again after a kill at any file system call
// completes the job.  The real dshost and dsmigrate on sample server roots,
// as root over a non-root owner's instance when run as root.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <regex>
#include <string>
#include <vector>

#include "support/run_program.h"
#include "upgrade/sample_root.h"

namespace {

using hvtest::Inspect;
using hvtest::ProgramResult;
using hvtest::ReadFile;

constexpr char kInst[] = "slapd-a";

std::string Bin(const std::string &name) { return std::string(HV_BUILD_DIR) + "/bin/" + name; }

// extra_env for a run killed just before its kill_at-th file system change
// (kill_at 0: counted into count_file instead).
std::vector<std::string> KillEnv(long kill_at, const std::string &count_file = "") {
    return {"LD_PRELOAD=" + std::string(HV_KILL_SHIM), "HV_KILL_AT=" + std::to_string(kill_at),
            "HV_KILL_COUNT=" + count_file, "ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0"};
}

ProgramResult Upgrade(const hvtest::ServerRoot &root, const std::vector<std::string> &env = {}) {
    return hvtest::RunProgram(Bin("dshost"), {"upgrade", root.InstancePath(kInst)}, env);
}
ProgramResult Downgrade(const hvtest::ServerRoot &root, const std::vector<std::string> &env = {}) {
    return hvtest::RunProgram(Bin("dsmigrate"), {"-downgrade", "-s", root.path(), "-i", kInst}, env);
}

// Files named as Dir::ReplaceFile names its temporaries, anywhere in the
// server root.
std::vector<std::string> Temporaries(const hvtest::ServerRoot &root) {
    static const std::regex name(R"(.*\.tmp[0-9a-f]{6})");
    std::vector<std::string> found;
    for (const auto &e : std::filesystem::recursive_directory_iterator(root.path()))
        if (std::regex_match(e.path().filename().string(), name)) found.push_back(e.path().string());
    return found;
}

// Copies the whole tree of from into to, ids and modes kept.
void CopyRoot(const hvtest::ServerRoot &from, const hvtest::ServerRoot &to) {
    ProgramResult r = hvtest::RunProgram("/bin/cp", {"-a", from.path() + "/.", to.path()});
    ASSERT_EQ(r.exit_status, 0) << r.err;
}

// Runs run (a copy of from, extra_env) killed just before each stride-th
// file system change it makes, then again on the same copy; check(copy,
// second run's result, trial) judges the outcome.  Stops at the first
// trial that fails.
template <typename Run, typename Check>
void KillAtEachChange(const hvtest::ServerRoot &from, long stride, Run run, Check check) {
    hvtest::TempDir scratch;
    {
        hvtest::SampleRoot counted;
        CopyRoot(from, counted);
        ASSERT_EQ(run(counted, KillEnv(0, scratch.Join("count"))).exit_status, 0);
    }
    const long points = std::stol(ReadFile(scratch.Join("count")));
    ASSERT_GT(points, 5);
    for (long at = 1; at <= points; at += stride) {
        const std::string trial = " (killed at change " + std::to_string(at) + " of " + std::to_string(points) + ")";
        hvtest::SampleRoot t;
        CopyRoot(from, t);
        // Killed itself, or (as root over an owner's instance) its worker
        // was killed and it reports the failure.
        ProgramResult killed = run(t, KillEnv(at));
        EXPECT_TRUE(killed.term_signal == SIGKILL || (killed.exit_status != 0 && killed.err.find("by signal 9") !=
                                                                                      std::string::npos))
            << trial << killed.out << killed.err;
        ProgramResult r = run(t, {});
        ASSERT_EQ(r.exit_status, 0) << trial << r.out << r.err;
        check(t, trial);
        if (::testing::Test::HasFailure()) return;
    }
}

class Recovery : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(root_.Make({"a"})); }
    std::string Inst(const std::string &rel) const { return root_.InstancePath(kInst) + "/" + rel; }
    // A file of the owner's, as the owner could leave it.
    void OwnersFile(const std::string &path, const std::string &content) {
        hvtest::WriteFile(path, content, 0600);
        if (root_.has_owner()) hvtest::ChownTree(path, root_.owner().uid, root_.owner().gid, false);
    }
    // Every script in place, non-empty and executable.
    void ExpectScripts(const hvtest::ServerRoot &root, const std::string &trial) {
        for (const std::string &n : hvtest::RestoredScripts()) {
            hvtest::PathInfo info = Inspect(root.InstancePath(kInst) + "/" + n);
            EXPECT_TRUE(info.is_regular) << n << trial;
            EXPECT_NE(info.mode & 0100, 0u) << n << trial;
            EXPECT_FALSE(info.is_regular && ReadFile(root.InstancePath(kInst) + "/" + n).empty()) << n << trial;
        }
    }
    hvtest::SampleRoot root_;
};

TEST_F(Recovery, TemporariesOfAnInterruptedRewriteAreRemoved) {
    const std::vector<std::string> stale = {Inst("db2bak.tmp0a1b2c"), Inst("config/dse.ldif.tmpabcdef"),
                                            Inst("config/schema/00core.ldif.tmp000001"),
                                            root_.Join("alias/slapd-a-key3.db_bak0.tmp123456")};
    for (const std::string &f : stale) OwnersFile(f, "half written");
    // Not ours: another name, another instance's database, a link.
    const std::vector<std::string> kept = {Inst("notes.tmp"), Inst("db2bak.tmp12345"),
                                           root_.Join("alias/slapd-b-cert7.db.tmp654321")};
    for (const std::string &f : kept) OwnersFile(f, "keep");
    ASSERT_EQ(symlink("/etc/passwd", Inst("link.tmp999999").c_str()), 0);

    ProgramResult r = Upgrade(root_);
    ASSERT_EQ(r.exit_status, 0) << r.out << r.err;
    for (const std::string &f : stale) {
        EXPECT_FALSE(Inspect(f).exists) << f;
        EXPECT_NE(r.err.find(f + ": removed, a temporary file left by an interrupted run"), std::string::npos)
            << r.err;
    }
    for (const std::string &f : kept) EXPECT_EQ(ReadFile(f), "keep") << f;
    EXPECT_TRUE(Inspect(Inst("link.tmp999999")).is_link);

    // The downgrade cleans up the same way.
    root_.RevertCertificates(kInst);
    OwnersFile(Inst("upgrade/versions.conf.tmpfedcba"), "1");
    r = Downgrade(root_);
    EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
    EXPECT_FALSE(Inspect(root_.UpgradeDir(kInst)).exists);
    EXPECT_NE(r.err.find("versions.conf.tmpfedcba: removed"), std::string::npos) << r.err;
}

// A downgrade that stopped after its repository went back to "1\t" but
// before the upgrade directory was removed: the next downgrade removes it;
// an upgrade from there records level 2 after the baseline.
TEST_F(Recovery, ARepositoryLeftAtTheBaselineIsFinished) {
    ProgramResult r = Upgrade(root_);
    ASSERT_EQ(r.exit_status, 0) << r.out << r.err;
    root_.RevertCertificates(kInst);
    hvtest::SampleRoot again;
    CopyRoot(root_, again);

    // The scripts are still in the backup directory (as a power loss could
    // leave them where the level reached the disk first): put back before
    // the directory goes.
    const std::string saved_db2bak = ReadFile(root_.BackupDir(kInst) + "/db2bak");
    OwnersFile(root_.VersionsFile(kInst), "1\t");
    r = Downgrade(root_);
    EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
    EXPECT_FALSE(Inspect(root_.UpgradeDir(kInst)).exists);
    EXPECT_EQ(ReadFile(Inst("db2bak")), saved_db2bak);
    EXPECT_NE(r.err.find(root_.UpgradeDir(kInst) + ": a downgrade stopped before removing it; removing it now"),
              std::string::npos) << r.err;

    // "1" alone was not written by a downgrade (an upgrade that never got
    // its level recorded): its saved scripts stay.
    OwnersFile(again.VersionsFile(kInst), "1");
    r = Downgrade(again);
    EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
    EXPECT_TRUE(Inspect(again.BackupDir(kInst) + "/db2bak").is_regular);

    OwnersFile(again.VersionsFile(kInst), "1\t");
    r = Upgrade(again);
    EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
    r = hvtest::RunProgram(Bin("dshost"), {"status", again.path()});
    EXPECT_NE(r.out.find("level 2 (recorded: 1 2)\n  repository: consistent\n"), std::string::npos) << r.out;
}

// Killed just before each file system change it makes (every third one, to
// keep the run short), then run again: the job is completed.
TEST_F(Recovery, AnUpgradeKilledAnywhereIsCompletedByTheNextRun) {
    const std::string cert7 = ReadFile(root_.Cert7Path(kInst));
    KillAtEachChange(root_, 3, Upgrade, [&](const hvtest::ServerRoot &t, const std::string &trial) {
        EXPECT_EQ(ReadFile(t.VersionsFile(kInst)), "1\t2") << trial;
        EXPECT_NE(ReadFile(t.Join(std::string(kInst) + "/config/dse.ldif")).find("hvCertfile: alias/slapd-a-cert8.db"),
                  std::string::npos) << trial;
        EXPECT_EQ(ReadFile(t.Join(std::string("alias/") + kInst + "-cert7.db")), cert7) << trial;
        EXPECT_FALSE(Inspect(t.UpgradeDir(kInst) + "/schema_push.pending").exists) << trial;
        ExpectScripts(t, trial);
        EXPECT_EQ(Temporaries(t), std::vector<std::string>()) << trial;
    });
}

TEST_F(Recovery, ADowngradeKilledAnywhereIsCompletedByTheNextRun) {
    std::vector<std::string> before;
    for (const std::string &n : hvtest::RestoredScripts()) before.push_back(ReadFile(Inst(n)));
    ProgramResult r = Upgrade(root_);
    ASSERT_EQ(r.exit_status, 0) << r.out << r.err;
    root_.RevertCertificates(kInst);
    KillAtEachChange(root_, 1, Downgrade, [&](const hvtest::ServerRoot &t, const std::string &trial) {
        // At the baseline: no upgrade directory, or (made afresh by the
        // gates of the second run) one with a repository at level 1 only.
        if (Inspect(t.UpgradeDir(kInst)).exists) {
            EXPECT_EQ(hvtest::ListDir(t.UpgradeDir(kInst)), std::vector<std::string>{"versions.conf"}) << trial;
            EXPECT_EQ(ReadFile(t.VersionsFile(kInst)), "1") << trial;
        }
        EXPECT_FALSE(Inspect(t.InstancePath(kInst) + "/upgrade.removed").exists) << trial;
        for (std::size_t i = 0; i < before.size(); ++i)
            EXPECT_EQ(ReadFile(t.InstancePath(kInst) + "/" + hvtest::RestoredScripts()[i]), before[i]) << trial;
        EXPECT_EQ(Temporaries(t), std::vector<std::string>()) << trial;
    });
}

// What the tool cannot look at, or what the level would claim without it,
// fails the run and keeps the level and every saved copy; the message
// names the path.  Each case is a state an owner, a disk or a power loss
// can leave.
TEST_F(Recovery, WhatCannotBeLookedAtFailsTheRunAndKeepsEverything) {
    ASSERT_EQ(Upgrade(root_).exit_status, 0);
    root_.RevertCertificates(kInst);
    hvtest::SampleRoot patched;
    CopyRoot(root_, patched);
    const std::string saved_db2bak = ReadFile(patched.BackupDir(kInst) + "/db2bak");
    hvtest::TempDir outside("hvoutside");
    struct Case {
        const char *name;
        bool needs_owner;
        std::function<void(hvtest::ServerRoot &)> spoil, mend;
        std::string message;  // relative to the instance
    };
    const std::vector<Case> cases = {
        {"backup directory closed to its owner", true,
         [](hvtest::ServerRoot &t) { ASSERT_EQ(chmod(t.BackupDir(kInst).c_str(), 0), 0); },
         [](hvtest::ServerRoot &t) { ASSERT_EQ(chmod(t.BackupDir(kInst).c_str(), 0755), 0); },
         "/upgrade/bak_patch2/db2ldif cannot be examined (Permission denied): it is kept, and the level"},
        {"backup directory replaced by a link", false,
         [&](hvtest::ServerRoot &t) {
             ASSERT_EQ(rename(t.BackupDir(kInst).c_str(), outside.Join("bak").c_str()), 0);
             ASSERT_EQ(symlink(outside.Join("bak").c_str(), t.BackupDir(kInst).c_str()), 0);
         },
         [&](hvtest::ServerRoot &t) {
             ASSERT_EQ(unlink(t.BackupDir(kInst).c_str()), 0);
             ASSERT_EQ(rename(outside.Join("bak").c_str(), t.BackupDir(kInst).c_str()), 0);
         },
         "/upgrade/bak_patch2/db2ldif cannot be examined (Not a directory): it is kept, and the level"},
        {"a saved script the downgrade cannot account for", false,
         [](hvtest::ServerRoot &t) { hvtest::WriteFile(t.BackupDir(kInst) + "/notes", "mine", 0600); },
         [](hvtest::ServerRoot &t) { ASSERT_EQ(unlink((t.BackupDir(kInst) + "/notes").c_str()), 0); },
         "/upgrade/bak_patch2/notes was saved by the upgrade and is not back in the instance: it is kept"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        if (c.needs_owner && !root_.has_owner()) continue;
        hvtest::SampleRoot t;
        CopyRoot(patched, t);
        c.spoil(t);
        ProgramResult r = Downgrade(t);
        EXPECT_EQ(r.exit_status, 1) << r.out << r.err;
        EXPECT_NE(r.err.find(t.InstancePath(kInst) + c.message), std::string::npos) << r.err;
        EXPECT_EQ(ReadFile(t.VersionsFile(kInst)), "1\t2");
        c.mend(t);
        // Saved, or put back: never lost.
        const std::string back = t.InstancePath(kInst) + "/db2bak", saved = t.BackupDir(kInst) + "/db2bak";
        EXPECT_EQ(ReadFile(Inspect(saved).exists ? saved : back), saved_db2bak);
        // Mended, the same command completes the job.
        r = Downgrade(t);
        EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
        EXPECT_EQ(ReadFile(back), saved_db2bak);
    }
}

// An upgrade that could not finish is refused before its first change:
// nothing is touched, and the reason names the path.
TEST_F(Recovery, AnUpgradeThatCouldNotFinishIsRefusedBeforeAnyChange) {
    struct Case {
        const char *name;
        bool needs_owner;
        std::function<void(hvtest::ServerRoot &)> spoil;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"certificate directory closed to the owner", true,
         [](hvtest::ServerRoot &t) { ASSERT_EQ(chmod(t.Join("alias").c_str(), 0), 0); },
         "alias/slapd-a-cert7.db cannot be examined: Permission denied; nothing done"},
        {"configuration without the encryption entry", false,
         [](hvtest::ServerRoot &t) {
             const std::string dse = t.Join(std::string(kInst) + "/config/dse.ldif");
             std::string text = ReadFile(dse);
             std::string::size_type at = text.find("dn: cn=encryption,cn=config");
             ASSERT_NE(at, std::string::npos);
             text.replace(at, 4, "dn: cn=elsewhere,");
             hvtest::PathInfo info = Inspect(dse);
             hvtest::WriteFile(dse, text, info.mode);
             hvtest::ChownTree(dse, info.uid, info.gid, false);
         },
         "slapd-a/config/dse.ldif does not hold the entry cn=encryption,cn=config"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        if (c.needs_owner && !root_.has_owner()) continue;
        hvtest::SampleRoot t;
        CopyRoot(root_, t);
        c.spoil(t);
        const std::string db2bak = ReadFile(t.InstancePath(kInst) + "/db2bak");
        const std::string schema = ReadFile(t.InstancePath(kInst) + "/config/schema/00core.ldif");
        ProgramResult r = Upgrade(t);
        EXPECT_EQ(r.exit_status, 1) << r.out << r.err;
        EXPECT_NE(r.err.find(t.path() + "/" + c.message), std::string::npos) << r.err;
        EXPECT_FALSE(Inspect(t.UpgradeDir(kInst)).exists);
        EXPECT_EQ(ReadFile(t.InstancePath(kInst) + "/db2bak"), db2bak);
        EXPECT_EQ(ReadFile(t.InstancePath(kInst) + "/config/schema/00core.ldif"), schema);
        EXPECT_FALSE(Inspect(t.Cert8Path(kInst)).exists);
    }
}

// A downgrade cut short in its last act (the removal of the renamed upgrade
// directory) is finished by the next run, which leaves no fresh repository.
TEST_F(Recovery, ADowngradeStoppedInItsLastActLeavesNoRepository) {
    hvtest::MakeDirs(Inst("upgrade.removed/bak_patch2"));
    OwnersFile(Inst("upgrade.removed/versions.conf"), "1\t");
    if (root_.has_owner()) hvtest::ChownTree(Inst("upgrade.removed"), root_.owner().uid, root_.owner().gid);
    ProgramResult r = Downgrade(root_);
    EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
    EXPECT_FALSE(Inspect(Inst("upgrade.removed")).exists);
    EXPECT_FALSE(Inspect(Inst("upgrade")).exists);
}

// dshost status tells when the recorded level claims work that is not on
// the disk.
TEST_F(Recovery, StatusReportsALevelWhoseWorkIsNotOnTheDisk) {
    ASSERT_EQ(Upgrade(root_).exit_status, 0);
    hvtest::SampleRoot t;
    CopyRoot(root_, t);
    ASSERT_EQ(unlink(root_.Cert8Path(kInst).c_str()), 0);
    OwnersFile(t.VersionsFile(kInst), "1");
    ProgramResult r = hvtest::RunProgram(Bin("dshost"), {"status", root_.path()});
    EXPECT_NE(r.out.find("level 2 recorded but alias/slapd-a-cert8.db is missing"), std::string::npos) << r.out;
    r = hvtest::RunProgram(Bin("dshost"), {"status", t.path()});
    EXPECT_NE(r.out.find("level 1 but saved scripts are left in upgrade/bak_patch2"), std::string::npos) << r.out;
}

// The certificate step's scratch directories that runs killed meanwhile
// left behind are removed by the next conversion: only the tool's own
// (by name, pid of a finished process and owner).
TEST_F(Recovery, ScratchDirectoriesOfKilledRunsAreRemoved) {
    hvtest::TempDir tmp("hvscratch");
    ASSERT_EQ(chmod(tmp.path().c_str(), 01777), 0);
    pid_t gone = fork();
    if (gone == 0) _exit(0);
    ASSERT_EQ(waitpid(gone, nullptr, 0), gone);
    const std::string stale = tmp.Join("hvcertdb." + std::to_string(gone) + ".a1B2c3");
    const std::string running = tmp.Join("hvcertdb." + std::to_string(getpid()) + ".a1B2c3");
    const std::string other = tmp.Join("hvcertdb.a1B2c3");
    for (const std::string &d : {stale, running, other}) {
        hvtest::MakeDirs(d, 0700);
        hvtest::WriteFile(d + "/slapd-a-key3.db", "copy", 0600);
        if (root_.has_owner()) hvtest::ChownTree(d, root_.owner().uid, root_.owner().gid);
    }
    ProgramResult r = Upgrade(root_, {"TMPDIR=" + tmp.path()});
    ASSERT_EQ(r.exit_status, 0) << r.out << r.err;
    EXPECT_NE(r.err.find(stale + ": removed, a scratch directory left by an earlier run"), std::string::npos) << r.err;
    EXPECT_EQ(hvtest::ListDir(tmp.path()),
              (std::vector<std::string>{"hvcertdb." + std::to_string(getpid()) + ".a1B2c3", "hvcertdb.a1B2c3"}));
}

}  // namespace
