#include "migrate/gates.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "migrate/version_repository.h"
#include "support/server_root.h"
#include "support/users.h"

namespace {

using hvtest::Inspect;
using hvtest::ReadFile;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

class GatesTest : public ::testing::Test {
  protected:
    void SetUp() override { inst_ = root_.AddInstance("slapd-a"); }
    hvtest::ServerRoot root_;
    std::string inst_;
};

TEST_F(GatesTest, FirstUseBringsTheRepositoryIntoBeingForTheInstanceOwner) {
    if (geteuid() == 0) {
        ASSERT_EQ(chown(inst_.c_str(), 4321, 4322), 0);
    }
    int level = -1;
    EXPECT_EQ(is_downgrade_possible(2, inst_.c_str(), &level), 1);
    EXPECT_EQ(level, 1);
    hvtest::PathInfo dir = Inspect(root_.UpgradeDir("slapd-a"));
    hvtest::PathInfo file = Inspect(root_.VersionsFile("slapd-a"));
    ASSERT_TRUE(dir.is_dir);
    EXPECT_EQ(dir.mode, 0755u);
    EXPECT_EQ(file.mode, 0600u);
    EXPECT_EQ(ReadFile(root_.VersionsFile("slapd-a")), "1");
    if (geteuid() == 0) {
        EXPECT_EQ(dir.uid, 4321u);
        EXPECT_EQ(dir.gid, 4322u);
        EXPECT_EQ(file.uid, 4321u);
        EXPECT_EQ(file.gid, 4322u);
    }
}

TEST_F(GatesTest, GatesAnswerFromTheStoredLevels) {
    const struct {
        const char *content;
        int upgrade_rc, current, downgrade_rc, back_to;
    } cases[] = {
        {"1", 0, 1, 1, 1},
        {"1\t2", 1, 2, 0, 1},
        {"1\t", 0, 1, 1, 1},
        {"1\t2\t2", 1, 2, 1, 2},
        {"1\t3", 2, 3, 2, 0},
        {"1\t3\t2", 1, 2, 2, 0},
        {"1\t0", 2, 0, 2, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::string(c.content)));
        root_.SetVersions("slapd-a", c.content);
        int current = -1, back_to = -1;
        EXPECT_EQ(is_upgrade_needed(2, inst_.c_str(), &current), c.upgrade_rc);
        EXPECT_EQ(current, c.current);
        EXPECT_EQ(is_downgrade_possible(2, inst_.c_str(), &back_to), c.downgrade_rc);
        EXPECT_EQ(back_to, c.back_to);
        EXPECT_EQ(ReadFile(root_.VersionsFile("slapd-a")), c.content);
    }
}

TEST_F(GatesTest, RecordingTheUpgradeThenTheDowngradeRemovesTheUpgradeTree) {
    root_.SetVersions("slapd-a", "1");
    EXPECT_EQ(upgradeVersionRepository(2, inst_.c_str()), 0);
    EXPECT_EQ(ReadFile(root_.VersionsFile("slapd-a")), "1\t2");
    EXPECT_EQ(upgradeVersionRepository(2, inst_.c_str()), 1);
    EXPECT_EQ(ReadFile(root_.VersionsFile("slapd-a")), "1\t2");

    // A saved script not put back keeps the directory, and says so.
    root_.AddScript("slapd-a", "db2bak", "", "saved\n");
    CaptureStderr();
    EXPECT_EQ(downgradeVersionRepository(inst_.c_str()), 4);
    EXPECT_EQ(GetCapturedStderr(), root_.BackupDir("slapd-a") +
                                       "/db2bak was saved by the upgrade and is not back in the instance: it is "
                                       "kept, and the level\n");
    EXPECT_EQ(ReadFile(root_.BackupDir("slapd-a") + "/db2bak"), "saved\n");
    // Once it is back, the tree goes.
    ASSERT_EQ(rename((root_.BackupDir("slapd-a") + "/db2bak").c_str(), (inst_ + "/db2bak").c_str()), 0);
    EXPECT_EQ(downgradeVersionRepository(inst_.c_str()), 0);
    EXPECT_FALSE(Inspect(root_.UpgradeDir("slapd-a")).exists);

    // More than the baseline left: the repository stays.
    root_.SetVersions("slapd-a", "1\t2\t2");
    EXPECT_EQ(downgradeVersionRepository(inst_.c_str()), 0);
    EXPECT_EQ(ReadFile(root_.VersionsFile("slapd-a")), "1\t2\t");
}

TEST_F(GatesTest, InstancePathsThatCannotHoldARepositoryAreRefused) {
    int level = 0;
    std::string missing = root_.Join("slapd-none");
    CaptureStderr();
    EXPECT_EQ(is_upgrade_needed(2, missing.c_str(), &level), 4);
    EXPECT_EQ(GetCapturedStderr(), missing + " could not be accessed, error -1\n");

    std::string file = root_.Join("slapd-file");
    hvtest::WriteFile(file, "x");
    CaptureStderr();
    EXPECT_EQ(is_downgrade_possible(2, file.c_str(), &level), 4);
    EXPECT_EQ(GetCapturedStderr(), file + " is not a directory.\n");

    hvtest::WriteFile(root_.UpgradeDir("slapd-a"), "not a directory");
    CaptureStderr();
    EXPECT_EQ(is_downgrade_possible(2, inst_.c_str(), &level), 4);
    EXPECT_EQ(GetCapturedStderr(), root_.VersionsFile("slapd-a") + " could not be created\n");

    EXPECT_EQ(common_checks(0, inst_.c_str(), &level), 2);
    EXPECT_EQ(common_checks(2, inst_.c_str(), nullptr), 3);
    EXPECT_EQ(is_upgrade_needed(2, inst_.c_str(), nullptr), 3);
    EXPECT_EQ(is_downgrade_possible(2, inst_.c_str(), nullptr), 3);

    // The instance path fits the buffer; its "upgrade" directory does not.
    std::string deep = inst_;
    while (deep.size() < 1010) deep += "/" + std::string(std::min<std::size_t>(200, 1012 - deep.size()), 'x');
    hvtest::MakeDirs(deep);
    CaptureStderr();
    EXPECT_EQ(common_checks(2, deep.c_str(), &level), 4);
    EXPECT_NE(GetCapturedStderr().find("path too long"), std::string::npos);
}

// The tool runs as root with the owner's effective ids: the write check must
// go by those, not by the real ids that can write anything.
TEST_F(GatesTest, AReadOnlyRepositoryIsRefusedUnderTheOwnersEffectiveIds) {
    root_.SetVersions("slapd-a", "1\t2");
    chmod(root_.VersionsFile("slapd-a").c_str(), 0400);
    if (geteuid() != 0) {
        int level = 0;
        CaptureStderr();
        EXPECT_EQ(is_downgrade_possible(2, inst_.c_str(), &level), 4);
        EXPECT_EQ(GetCapturedStderr(), "Could not write to " + root_.VersionsFile("slapd-a") + "\n");
        return;
    }
    hvtest::SystemUser owner;
    ASSERT_TRUE(hvtest::EnsureSystemUser("hvdsowner", &owner));
    hvtest::ChownTree(inst_, owner.uid, owner.gid);
    hvtest::ScopedEffectiveIds as_owner(owner.uid, owner.gid);
    ASSERT_TRUE(as_owner.ok());
    int level = 0;
    CaptureStderr();
    EXPECT_EQ(is_downgrade_possible(2, inst_.c_str(), &level), 4);
    EXPECT_EQ(upgradeVersionRepository(2, inst_.c_str()), 4);
    std::string line = "Could not write to " + root_.VersionsFile("slapd-a") + "\n";
    EXPECT_EQ(GetCapturedStderr(), line + line);
}

TEST_F(GatesTest, RemovingTheUpgradeTreeNeverFollowsLinks) {
    hvtest::TempDir outside("hvoutside");
    hvtest::WriteFile(outside.Join("keep"), "precious");
    hvtest::MakeDirs(outside.Join("sub"));
    hvtest::WriteFile(outside.Join("sub/keep"), "precious");

    std::string up = root_.UpgradeDir("slapd-a");
    root_.SetVersions("slapd-a", "1");
    hvtest::MakeDirs(up + "/bak_patch2");
    hvtest::MakeDirs(up + "/other/deeper");
    hvtest::WriteFile(up + "/other/deeper/db2bak", "x");
    ASSERT_EQ(symlink(outside.path().c_str(), (up + "/other/link").c_str()), 0);
    ASSERT_EQ(symlink(outside.Join("keep").c_str(), (up + "/filelink").c_str()), 0);

    EXPECT_EQ(remove_upgradeDirectory(up.c_str()), 0);
    EXPECT_FALSE(Inspect(up).exists);
    EXPECT_EQ(ReadFile(outside.Join("keep")), "precious");
    EXPECT_EQ(ReadFile(outside.Join("sub/keep")), "precious");

    // "upgrade" itself a link to an outside directory: only the link goes.
    ASSERT_EQ(symlink(outside.path().c_str(), up.c_str()), 0);
    EXPECT_EQ(remove_upgradeDirectory(up.c_str()), 0);
    EXPECT_FALSE(Inspect(up).exists);
    EXPECT_EQ(hvtest::ListDir(outside.path()).size(), 2u);

    CaptureStderr();
    EXPECT_EQ(remove_upgradeDirectory(up.c_str()), 4);
    EXPECT_EQ(GetCapturedStderr(), up + " could not be read.\n");
}

}  // namespace
