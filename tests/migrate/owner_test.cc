// dsmigrate run by root on instances owned by real non-root users: the work
// on each instance is done under its owner's effective ids, and the ids are
// switched back before the next instance.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

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
    root_.AddInstance("slapd-c");  // root's own: only when the administrator allows it
    ProgramResult r = RunDsmigrate({"-downgrade", "-s", root_.path()});
    EXPECT_EQ(r.err, root_.InstancePath("slapd-c") +
                         ": refused, the instance directory belongs to root (set HVDS_ALLOW_ROOT_OWNED=1 to work on "
                         "it as root); nothing done\n");
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_FALSE(Inspect(root_.UpgradeDir("slapd-c")).exists);
    r = RunDsmigrate({"-downgrade", "-s", root_.path()}, {"HVDS_ALLOW_ROOT_OWNED=1"});
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

// What an owner can plant in its instance to lead a root run elsewhere:
// each is refused, and nothing outside the instance is created or changed.
class DsmigrateUntrustedOwner : public DsmigrateOwners {
  protected:
    void SetUp() override {
        DsmigrateOwners::SetUp();
        if (IsSkipped()) return;
        inst_ = root_.AddInstance("slapd-a", owner_.uid, owner_.gid);
        WriteFile(precious_, "root's own\n", 0644);
    }
    void Plant(const std::string &target, const std::string &rel) {
        std::string at = inst_ + "/" + rel;
        ASSERT_EQ(symlink(target.c_str(), at.c_str()), 0);
        ASSERT_EQ(lchown(at.c_str(), owner_.uid, owner_.gid), 0);
    }
    // dsmigrate killed after 30 seconds: a run that blocks fails the test.
    ProgramResult Run(const std::vector<std::string> &args) {
        std::vector<std::string> all = {"30", DsmigratePath()};
        all.insert(all.end(), args.begin(), args.end());
        return RunProgram("/usr/bin/timeout", all);
    }
    std::string inst_;
    TempDir outside_{"hvoutside"};
    std::string precious_ = outside_.Join("precious");
};

// "upgrade" a link to a directory the owner may write: before, the
// downgrade created versions.conf there and handed it to the owner.
TEST_F(DsmigrateUntrustedOwner, ALinkedUpgradeDirectoryIsRefused) {
    ChownTree(outside_.path(), owner_.uid, owner_.gid, false);
    Plant(outside_.path(), "upgrade");
    ProgramResult r = Run({"-downgrade", "-s", root_.path()});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_NE(r.err.find(root_.UpgradeDir("slapd-a") + ": refused"), std::string::npos) << r.err;
    EXPECT_EQ(ListDir(outside_.path()), std::vector<std::string>{"precious"});
}

// dse.ldif a link to a root-owned file would keep root's ids for the run.
TEST_F(DsmigrateUntrustedOwner, ALinkedConfigurationFileIsRefused) {
    RemoveTree(inst_ + "/config/dse.ldif");
    Plant(precious_, "config/dse.ldif");
    ProgramResult r = Run({"-downgrade", "-s", root_.path()});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_NE(r.err.find(inst_ + "/config/dse.ldif: refused"), std::string::npos) << r.err;
    EXPECT_FALSE(Inspect(root_.UpgradeDir("slapd-a")).exists);
    EXPECT_EQ(ReadFile(precious_), "root's own\n");
}

// Saved scripts that are links, and links under script names: moved as
// links at most, never written through.
TEST_F(DsmigrateUntrustedOwner, LinksAmongTheScriptsAreNotFollowed) {
    root_.SetVersions("slapd-a", "1\t2");
    root_.AddScript("slapd-a", "db2bak", "new\n", "old\n");
    ChownTree(inst_, owner_.uid, owner_.gid);
    Plant(precious_, "upgrade/bak_patch2/bak2db");
    Plant(precious_, "ldif2db");
    root_.AddScript("slapd-a", "ldif2db", "", "old ldif2db\n");
    ChownTree(root_.BackupDir("slapd-a") + "/ldif2db", owner_.uid, owner_.gid, false);
    ProgramResult r = Run({"-downgrade", "-s", root_.path()});
    EXPECT_NE(r.err.find(inst_ + "/upgrade/bak_patch2/bak2db: refused"), std::string::npos) << r.err;
    EXPECT_EQ(ReadFile(precious_), "root's own\n");
    EXPECT_EQ(Inspect(precious_).mode, 0644u);
    EXPECT_EQ(ReadFile(inst_ + "/db2bak"), "old\n");
}

// A FIFO where the repository or the configuration file is read.
TEST_F(DsmigrateUntrustedOwner, AFifoIsRefusedWithoutHanging) {
    for (const std::string &rel : {std::string("upgrade/versions.conf"), std::string("config/dse.ldif")}) {
        SCOPED_TRACE(rel);
        RemoveTree(root_.UpgradeDir("slapd-a"));
        MakeDirs(root_.UpgradeDir("slapd-a"));
        ChownTree(root_.UpgradeDir("slapd-a"), owner_.uid, owner_.gid);
        RemoveTree(inst_ + "/" + rel);
        ASSERT_EQ(mkfifo((inst_ + "/" + rel).c_str(), 0600), 0);
        ProgramResult r = Run({"-downgrade", "-s", root_.path()});
        EXPECT_EQ(r.exit_status, 1) << r.err;  // 124 when it blocked
        EXPECT_NE(r.err.find(inst_ + "/" + rel + ": refused"), std::string::npos) << r.err;
        RemoveTree(inst_ + "/" + rel);
        WriteFile(inst_ + "/config/dse.ldif", "dn: cn=config\n\n", 0600);
        ChownTree(inst_ + "/config/dse.ldif", owner_.uid, owner_.gid, false);
    }
}

// "-i" names an instance directory of the server root and nothing else;
// "slapd-a/." is slapd-a, so its cert8 database is found.
TEST_F(DsmigrateUntrustedOwner, InstanceNamesAreReducedToTheDirectorysOwnName) {
    root_.SetVersions("slapd-a", "1\t2");
    ChownTree(inst_, owner_.uid, owner_.gid);
    MakeDirs(root_.Join("alias"));
    WriteFile(root_.Cert8Path("slapd-a"), "cert8", 0600);
    for (const char *name : {"slapd-a/.", "slapd-a/", "slapd-a/./"}) {
        ProgramResult r = Run({"-downgrade", "-s", root_.path(), "-i", name});
        EXPECT_EQ(r.exit_status, 1) << name;
        EXPECT_NE(r.err.find("Reverting to prepatch certificate database for " + root_.Cert8Path("slapd-a")),
                  std::string::npos)
            << name << ": " << r.err;
        EXPECT_EQ(ReadFile(root_.VersionsFile("slapd-a")), "1\t2");
    }
    MakeDirs(outside_.Join("slapd-x/config"));
    for (const std::string &name : {std::string(".."), std::string("slapd-a/.."), std::string("../") +
                                    outside_.path().substr(outside_.path().rfind('/') + 1) + "/slapd-x"}) {
        ProgramResult r = Run({"-downgrade", "-s", root_.path(), "-i", name});
        EXPECT_EQ(r.exit_status, 1) << name;
        EXPECT_NE(r.err.find(name + " does not name an instance directory of " + root_.path()), std::string::npos)
            << r.err;
    }
    EXPECT_EQ(ListDir(outside_.Join("slapd-x")), std::vector<std::string>{"config"});
}

}  // namespace
}  // namespace hvtest
