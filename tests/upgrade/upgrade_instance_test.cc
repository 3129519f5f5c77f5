// upgrade_instance through libdsmigrate.so on a sample server root, with
// the host directory playing the server for the configuration phase.
#include <gtest/gtest.h>
#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "hv/dsmigrate.h"
#include "hv/slapi-host.h"
#include "hv/slapi-plugin.h"
#include "support/run_program.h"
#include "upgrade/sample_root.h"

namespace {

using hvtest::Inspect;
using hvtest::ReadFile;
using hvtest::WriteFile;

constexpr char kInst[] = "slapd-a";

class UpgradeInstance : public ::testing::Test {
  protected:
    hvtest::SampleRoot root_;
    std::string inst_ = root_.InstancePath(kInst);
    std::string log_ = root_.Join("errors");

    void SetUp() override {
        ASSERT_TRUE(root_.Make({"a"}));
        hv_host_reset();
        ASSERT_EQ(hv_log_open(log_.c_str()), 0);
    }
    void TearDown() override {
        hv_log_open(nullptr);
        hv_host_reset();
    }
    std::string Versions() {
        return Inspect(root_.VersionsFile(kInst)).exists ? ReadFile(root_.VersionsFile(kInst)) : "(none)";
    }
    int Phase(int phase) { return upgrade_instance(phase, inst_.c_str()); }
    // Phase 1 needs the instance configuration in the host directory.
    int LoadAndPhase1() {
        if (hv_dir_load_dse(root_.Dse(kInst).c_str()) != 0) {
            ADD_FAILURE() << "dse.ldif does not load";
            return -1;
        }
        return Phase(1);
    }
    void ExpectOwnedByInstanceOwner(const std::string &path) {
        if (!root_.has_owner()) return;
        hvtest::PathInfo info = Inspect(path);
        EXPECT_EQ(info.uid, root_.owner().uid) << path;
        EXPECT_EQ(info.gid, root_.owner().gid) << path;
    }
};

TEST_F(UpgradeInstance, PhaseZeroThenOneThenNothingToDo) {
    const std::string dse_before = ReadFile(root_.Dse(kInst));
    const std::string db2ldif_before = ReadFile(inst_ + "/db2ldif");

    const uid_t euid = geteuid();
    const gid_t egid = getegid();
    ASSERT_EQ(Phase(0), 0);
    EXPECT_EQ(geteuid(), euid);
    EXPECT_EQ(getegid(), egid);
    EXPECT_EQ(Versions(), "1");
    EXPECT_TRUE(Inspect(root_.Cert8Path(kInst)).exists);
    std::string schema = hvtest::Unfold(ReadFile(root_.Schema(kInst)));
    for (const char *name : {"'deletedEntryAttrs'", "'targetUniqueId'", "'pwdChangedTime'", "'usePwdChangedTime'"})
        EXPECT_NE(schema.find(name), std::string::npos) << name;
    EXPECT_EQ(Inspect(root_.Schema(kInst)).mode, 0600u);
    EXPECT_EQ(ReadFile(root_.BackupDir(kInst) + "/db2ldif"), db2ldif_before);
    EXPECT_NE(ReadFile(inst_ + "/db2ldif"), db2ldif_before);
    EXPECT_EQ(ReadFile(root_.Dse(kInst)), dse_before);  // phase 0 leaves the configuration
    for (const std::string &p : {root_.Schema(kInst), root_.Cert8Path(kInst), root_.VersionsFile(kInst),
                                 inst_ + "/db2ldif", root_.BackupDir(kInst)})
        ExpectOwnedByInstanceOwner(p);

    ASSERT_EQ(LoadAndPhase1(), 0);
    EXPECT_EQ(Versions(), "1\t2");
    std::string dse = ReadFile(root_.Dse(kInst));
    EXPECT_NE(dse.find("alias/slapd-a-cert8.db"), std::string::npos) << dse;
    EXPECT_EQ(dse.find("alias/slapd-a-cert7.db"), std::string::npos) << dse;
    ExpectOwnedByInstanceOwner(root_.Dse(kInst));
    EXPECT_EQ(Inspect(root_.Dse(kInst)).mode, 0600u);

    // Nothing left to do, whatever the phase: no step runs.
    const std::string schema_after = ReadFile(root_.Schema(kInst));
    const std::string script_after = ReadFile(inst_ + "/db2ldif");
    for (int phase : {0, 1}) {
        EXPECT_EQ(Phase(phase), 8);
        EXPECT_EQ(Versions(), "1\t2");
    }
    EXPECT_EQ(ReadFile(root_.Schema(kInst)), schema_after);
    EXPECT_EQ(ReadFile(inst_ + "/db2ldif"), script_after);
    EXPECT_EQ(hvtest::ListDir(root_.Join("alias")).size(), 6u);  // no cert8 moved aside, one copy each of cert7 and key3
}

TEST_F(UpgradeInstance, OtherPhasesDoNothing) {
    const std::string schema = ReadFile(root_.Schema(kInst));
    const std::string script = ReadFile(inst_ + "/db2ldif");
    EXPECT_EQ(Phase(2), 0);
    EXPECT_EQ(Phase(-1), 0);
    EXPECT_EQ(ReadFile(root_.Schema(kInst)), schema);
    EXPECT_EQ(ReadFile(inst_ + "/db2ldif"), script);
    EXPECT_FALSE(Inspect(root_.Cert8Path(kInst)).exists);
    EXPECT_EQ(Versions(), "1");
}

TEST_F(UpgradeInstance, FailingStepsAreReportedAndNoLevelRecorded) {
    // The push script fails: both schema steps give 3, the other steps still
    // run.
    WriteFile(inst_ + "/schema_push.pl", "#!/bin/sh\nexit 1\n", 0755);
    EXPECT_EQ(Phase(0), 3);
    EXPECT_TRUE(Inspect(root_.BackupDir(kInst) + "/db2ldif").exists);
    EXPECT_TRUE(Inspect(root_.Cert8Path(kInst)).exists);
    EXPECT_EQ(Versions(), "1");

    // Phase 1 cannot read the configuration entry (nothing loaded): 4, and
    // the level stays unrecorded so a later run tries again.
    EXPECT_EQ(Phase(1), 4);
    EXPECT_EQ(Versions(), "1");
    // The push is still owed: phase 1 does its work but records no level.
    EXPECT_EQ(LoadAndPhase1(), 3);
    EXPECT_EQ(Versions(), "1");
    // The next phase 0 pushes again, although nothing is left to add.
    WriteFile(inst_ + "/schema_push.pl", "#!/bin/sh\nexit 0\n", 0755);
    if (root_.has_owner()) hvtest::ChownTree(inst_ + "/schema_push.pl", root_.owner().uid, root_.owner().gid, false);
    EXPECT_EQ(Phase(0), 0);
    EXPECT_FALSE(Inspect(root_.UpgradeDir(kInst) + "/schema_push.pending").exists);
    EXPECT_EQ(Phase(1), 0);
    EXPECT_EQ(Versions(), "1\t2");
}

// What a step would stop at half-way is found before the first change: a
// file where the scripts' backup directory belongs refuses the upgrade,
// and the schema and the scripts stay as they were.
TEST_F(UpgradeInstance, ABackupDirectoryInTheWayIsFoundBeforeAnyChange) {
    const std::string schema = ReadFile(root_.Schema(kInst)), db2bak = ReadFile(inst_ + "/db2bak");
    hvtest::MakeDirs(root_.UpgradeDir(kInst));
    WriteFile(root_.BackupDir(kInst), "in the way\n");
    if (root_.has_owner()) hvtest::ChownTree(root_.UpgradeDir(kInst), root_.owner().uid, root_.owner().gid);
    testing::internal::CaptureStderr();
    EXPECT_EQ(Phase(0), 5);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find(root_.BackupDir(kInst) + " is not a writable directory"), std::string::npos) << err;
    EXPECT_EQ(ReadFile(root_.Schema(kInst)), schema);
    EXPECT_EQ(ReadFile(inst_ + "/db2bak"), db2bak);
    EXPECT_FALSE(Inspect(root_.VersionsFile(kInst)).exists);
}

TEST_F(UpgradeInstance, MissingConfigurationFile) {
    hvtest::RemoveTree(root_.Dse(kInst));
    EXPECT_EQ(Phase(0), 4);
    EXPECT_EQ(Phase(1), 4);
    EXPECT_EQ(upgrade_instance(0, root_.Join("slapd-none").c_str()), 4);
    EXPECT_FALSE(Inspect(root_.UpgradeDir(kInst)).exists);
    hv_log_open(nullptr);
    EXPECT_EQ(Inspect(log_).exists ? ReadFile(log_) : "", "");
}

TEST_F(UpgradeInstance, TooLongPathIsRefused) {
    std::string longpath = inst_ + "/" + std::string(1100, 'x');
    EXPECT_EQ(upgrade_instance(0, longpath.c_str()), 4);
    hv_log_open(nullptr);
    EXPECT_NE(ReadFile(log_).find("too long"), std::string::npos);
}

// A caller that may not take the owner's ids gets 4 and a log line naming
// the id; nothing of the instance is touched.
TEST_F(UpgradeInstance, OwnerIdsCannotBeTaken) {
    if (!root_.has_owner()) GTEST_SKIP() << "needs root to run as another user";
    hvtest::SystemUser other;
    ASSERT_TRUE(hvtest::EnsureSystemUser("hvdsowner2", &other));
    hv_log_open(nullptr);
    WriteFile(log_, "", 0600);
    hvtest::ChownTree(log_, other.uid, other.gid, false);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        // For good: real, effective and saved ids of the other user.
        if (setgroups(0, nullptr) != 0 || setgid(other.gid) != 0 || setuid(other.uid) != 0) _exit(100);
        if (hv_log_open(log_.c_str()) != 0) _exit(101);
        _exit(upgrade_instance(0, inst_.c_str()));
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 4);
    EXPECT_NE(ReadFile(log_).find("setegid(" + std::to_string(root_.owner().gid) + ") failed. error 1 ("),
              std::string::npos)
        << ReadFile(log_);
    EXPECT_FALSE(Inspect(root_.UpgradeDir(kInst)).exists);
    EXPECT_FALSE(Inspect(root_.Cert8Path(kInst)).exists);
}

// The round trip: upgraded, then downgraded with dsmigrate once the
// administrator has reverted the certificate database; the scripts are the
// originals byte for byte and the repository is gone.
TEST_F(UpgradeInstance, UpgradeThenDowngradeRestoresTheScripts) {
    std::vector<std::string> originals;
    for (const std::string &s : hvtest::RestoredScripts()) originals.push_back(ReadFile(inst_ + "/" + s));
    ASSERT_EQ(Phase(0), 0);
    ASSERT_EQ(LoadAndPhase1(), 0);
    hv_host_reset();

    const std::string dsmigrate = std::string(HV_BUILD_DIR) + "/bin/dsmigrate";
    hvtest::ProgramResult r = hvtest::RunProgram(dsmigrate, {"-downgrade", "-s", root_.path()});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_NE(r.err.find("CAUTION"), std::string::npos) << r.err;
    EXPECT_EQ(Versions(), "1\t2");

    root_.RevertCertificates(kInst);
    r = hvtest::RunProgram(dsmigrate, {"-downgrade", "-s", root_.path()});
    EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
    EXPECT_FALSE(Inspect(root_.UpgradeDir(kInst)).exists);
    for (std::size_t i = 0; i < originals.size(); ++i) {
        const std::string path = inst_ + "/" + hvtest::RestoredScripts()[i];
        EXPECT_EQ(ReadFile(path), originals[i]) << path;
        EXPECT_EQ(Inspect(path).mode, 0755u) << path;
    }
    // At the baseline again: the next upgrade starts over (a trailing slash
    // names the same instance).
    EXPECT_EQ(upgrade_instance(0, (inst_ + "/").c_str()), 0);
    EXPECT_EQ(Versions(), "1");
    EXPECT_TRUE(Inspect(root_.BackupDir(kInst) + "/db2ldif").exists);
    EXPECT_TRUE(Inspect(root_.Cert8Path(kInst)).exists);
}

}  // namespace
