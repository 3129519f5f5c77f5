// dsmigrate run by root on instances owned by real non-root users: the work
// on each instance is done under its owner's effective ids, and the ids are
// switched back before the next instance.
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "migrate/dsmigrate_run.h"
#include "support/server_root.h"
#include "support/users.h"

namespace hvtest {
namespace {

class DsmigrateOwners : public ::testing::Test {
  protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "needs root to switch to the instance owners";
        ASSERT_TRUE(EnsureSystemUser("hvdsowner", &owner_));
        ASSERT_TRUE(EnsureSystemUser("hvdsowner2", &other_));
    }
    void ExpectOwnedBy(const std::string &path, const SystemUser &user, mode_t mode) {
        PathInfo info = Inspect(path);
        ASSERT_TRUE(info.exists) << path;
        EXPECT_EQ(info.uid, user.uid) << path;
        EXPECT_EQ(info.gid, user.gid) << path;
        EXPECT_EQ(info.mode, mode) << path;
    }
    ServerRoot root_;
    SystemUser owner_, other_;
};

// Both instances get their repository, each under its own owner: switching
// to the second owner only works if the ids went back to root in between.
TEST_F(DsmigrateOwners, EachInstanceIsWorkedOnAsItsOwner) {
    root_.AddInstance("slapd-a", owner_.uid, owner_.gid);
    root_.AddInstance("slapd-b", other_.uid, other_.gid);
    root_.AddInstance("slapd-c");  // root's own
    ProgramResult r = RunDsmigrate({"-downgrade", "-s", root_.path()});
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.exit_status, 0);
    ExpectOwnedBy(root_.UpgradeDir("slapd-a"), owner_, 0755);
    ExpectOwnedBy(root_.VersionsFile("slapd-a"), owner_, 0600);
    ExpectOwnedBy(root_.UpgradeDir("slapd-b"), other_, 0755);
    ExpectOwnedBy(root_.VersionsFile("slapd-b"), other_, 0600);
    EXPECT_EQ(Inspect(root_.VersionsFile("slapd-c")).uid, 0u);
}

TEST_F(DsmigrateOwners, ADowngradeRestoresScriptsAndRemovesTheTreeAsTheOwner) {
    root_.AddInstance("slapd-a", owner_.uid, owner_.gid);
    root_.AddInstance("slapd-b", other_.uid, other_.gid);
    for (const char *dir : {"slapd-a", "slapd-b"}) {
        root_.SetVersions(dir, "1\t2");
        root_.AddScript(dir, "db2bak", "new\n", "old\n");
    }
    ChownTree(root_.InstancePath("slapd-a"), owner_.uid, owner_.gid);
    ChownTree(root_.InstancePath("slapd-b"), other_.uid, other_.gid);
    ProgramResult r = RunDsmigrate({"-downgrade", "-s", root_.path()});
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.exit_status, 0);
    ExpectOwnedBy(root_.Join("slapd-a/db2bak"), owner_, 0755);
    EXPECT_EQ(ReadFile(root_.Join("slapd-a/db2bak")), "old\n");
    EXPECT_FALSE(Inspect(root_.UpgradeDir("slapd-a")).exists);
    EXPECT_FALSE(Inspect(root_.UpgradeDir("slapd-b")).exists);
}

// Root could write these files; the owner cannot, and the tool goes by the
// owner.  The next instance is still worked on.
TEST_F(DsmigrateOwners, AnInstanceItsOwnerCannotWriteFailsCleanly) {
    root_.AddInstance("slapd-a", owner_.uid, owner_.gid);
    root_.SetVersions("slapd-a", "1\t2");
    ChownTree(root_.InstancePath("slapd-a"), owner_.uid, owner_.gid);
    chmod(root_.VersionsFile("slapd-a").c_str(), 0400);

    root_.AddInstance("slapd-b", other_.uid, other_.gid);
    MakeDirs(root_.UpgradeDir("slapd-b"));  // left behind by root

    root_.AddInstance("slapd-c", owner_.uid, owner_.gid);
    root_.SetVersions("slapd-c", "1\t2");
    ChownTree(root_.InstancePath("slapd-c"), owner_.uid, owner_.gid);

    ProgramResult r = RunDsmigrate({"-downgrade", "-s", root_.path()});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_NE(r.err.find("Could not write to " + root_.VersionsFile("slapd-a") + "\n"), std::string::npos);
    EXPECT_NE(r.err.find(root_.VersionsFile("slapd-b") + " could not be created\n"), std::string::npos);
    EXPECT_EQ(ReadFile(root_.VersionsFile("slapd-a")), "1\t2");
    EXPECT_FALSE(Inspect(root_.UpgradeDir("slapd-c")).exists);
}

}  // namespace
}  // namespace hvtest
