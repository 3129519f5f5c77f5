// The upgrade run by root on an instance whose owner is not trusted: each
// thing the owner could plant in the instance is refused or harmless, and
// nothing outside the instance is created or changed.  Needs root and a real
// non-root owner (the sample root is handed to "hvdsowner").
#include <gtest/gtest.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>
#include <string>

#include "common/string_format.h"
#include "hv/dsmigrate.h"
#include "hv/slapi-host.h"
#include "support/run_program.h"
#include "upgrade/sample_root.h"

namespace {

using hvtest::Inspect;
using hvtest::ReadFile;
using hvtest::WriteFile;

constexpr char kInst[] = "slapd-a";

// The result of fn run in a child that is killed after 30 seconds, so that
// a run that blocks fails the test instead of hanging it; -1 for a child
// that did not exit.
template <typename Fn>
int InChild(Fn fn) {
    pid_t pid = fork();
    if (pid == 0) {
        alarm(30);
        _exit(fn());
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

class UpgradeTrust : public ::testing::Test {
  protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "needs root to work as the instance owner";
        ASSERT_TRUE(root_.Make({"a"}));
        owner_ = root_.owner();
        inst_ = root_.InstancePath(kInst);
        hv_host_reset();
        ASSERT_EQ(hv_log_open(log_.c_str()), 0);
        // A file of root's, outside the instance, that no run may touch.
        WriteFile(precious_, "root's own\n", 0644);
    }
    void TearDown() override {
        hv_log_open(nullptr);
        hv_host_reset();
    }
    std::string Log() {
        hv_log_open(nullptr);
        std::string text = Inspect(log_).exists ? ReadFile(log_) : "";
        hv_log_open(log_.c_str());
        return text;
    }
    // Planted by the owner: a link in the instance.
    void Plant(const std::string &target, const std::string &rel) {
        std::string at = inst_ + "/" + rel;
        ASSERT_EQ(symlink(target.c_str(), at.c_str()), 0) << at;
        ASSERT_EQ(lchown(at.c_str(), owner_.uid, owner_.gid), 0);
    }
    void PlantFifo(const std::string &path) {
        hvtest::RemoveTree(path);
        ASSERT_EQ(mkfifo(path.c_str(), 0600), 0) << path;
        ASSERT_EQ(lchown(path.c_str(), owner_.uid, owner_.gid), 0);
    }
    void ExpectPreciousUntouched() {
        EXPECT_EQ(ReadFile(precious_), "root's own\n");
        hvtest::PathInfo info = Inspect(precious_);
        EXPECT_EQ(info.mode, 0644u);
        EXPECT_EQ(info.uid, 0u);
    }
    hvtest::SampleRoot root_;
    hvtest::SystemUser owner_;
    std::string inst_;
    std::string log_ = root_.Join("errors");
    hvtest::TempDir outside_{"hvoutside"};
    std::string precious_ = outside_.Join("precious");
};

// "id" in the push script: real and effective ids and the group list are the
// owner's, not root's, although the script is started by a root process.
TEST_F(UpgradeTrust, TheSchemaPushRunsWithTheOwnersIdsAndGroups) {
    const std::string ids = inst_ + "/ids";
    WriteFile(inst_ + "/schema_push.pl",
              "#!/bin/sh\n{ id -u; id -g; id -ru; id -rg; id -G; } > " + ids + "\n", 0755);
    hvtest::ChownTree(inst_ + "/schema_push.pl", owner_.uid, owner_.gid, false);
    ASSERT_EQ(upgrade_instance(0, inst_.c_str()), 0) << Log();
    std::string u = std::to_string(owner_.uid), g = std::to_string(owner_.gid);
    std::string groups;
    int n = 64;
    std::vector<gid_t> list(64);
    ASSERT_GE(getgrouplist(owner_.name.c_str(), owner_.gid, list.data(), &n), 0);
    list.resize(static_cast<std::size_t>(n));
    std::sort(list.begin(), list.end());
    list.erase(std::unique(list.begin(), list.end()), list.end());
    std::istringstream in(ReadFile(ids));
    std::string line[5];
    for (std::string &l : line) std::getline(in, l);
    EXPECT_EQ(line[0], u);
    EXPECT_EQ(line[1], g);
    EXPECT_EQ(line[2], u);
    EXPECT_EQ(line[3], g);
    std::istringstream gs(line[4]);
    std::vector<gid_t> seen;
    for (long id; gs >> id;) seen.push_back(static_cast<gid_t>(id));
    std::sort(seen.begin(), seen.end());
    seen.erase(std::unique(seen.begin(), seen.end()), seen.end());
    EXPECT_EQ(seen, list) << line[4];
    EXPECT_EQ(geteuid(), 0u);
}

// dse.ldif a link to a root-owned file: its owner would be root, and the
// run would keep root's ids.  Refused; nothing of the instance changes.
TEST_F(UpgradeTrust, ALinkedConfigurationFileIsRefused) {
    const std::string script = ReadFile(inst_ + "/db2bak");
    hvtest::RemoveTree(root_.Dse(kInst));
    Plant(precious_, "config/dse.ldif");
    EXPECT_EQ(upgrade_instance(0, inst_.c_str()), 4);
    EXPECT_NE(Log().find(root_.Dse(kInst) + ": refused"), std::string::npos) << Log();
    EXPECT_FALSE(Inspect(root_.UpgradeDir(kInst)).exists);
    EXPECT_EQ(ReadFile(inst_ + "/db2bak"), script);
    ExpectPreciousUntouched();
}

// "upgrade" a link to a directory of the owner's choice: nothing is created
// there, and nothing is handed over.
TEST_F(UpgradeTrust, ALinkedUpgradeDirectoryIsRefused) {
    hvtest::ChownTree(outside_.path(), owner_.uid, owner_.gid, false);
    Plant(outside_.path(), "upgrade");
    testing::internal::CaptureStderr();
    EXPECT_EQ(upgrade_instance(0, inst_.c_str()), 5);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find(root_.UpgradeDir(kInst) + ": refused"), std::string::npos) << err;
    EXPECT_EQ(hvtest::ListDir(outside_.path()), std::vector<std::string>{"precious"});
    ExpectPreciousUntouched();
}

// A link planted at a script name, pointing at a root-owned file: the file
// is neither written nor made executable.
TEST_F(UpgradeTrust, ALinkAtAScriptNameIsNotWrittenThrough) {
    hvtest::RemoveTree(inst_ + "/db2bak");
    Plant(precious_, "db2bak");
    Plant(precious_, "bak2db-planted");
    testing::internal::CaptureStderr();
    EXPECT_EQ(upgrade_instance(0, inst_.c_str()), 5);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find(inst_ + "/db2bak: refused"), std::string::npos) << err;
    ExpectPreciousUntouched();
    EXPECT_TRUE(Inspect(inst_ + "/db2bak").is_link);
}

// Server roots whose names a shell would split or interpret: the upgrade
// writes no script for them and touches nothing; the downgrade, which
// writes no script, still works.
TEST_F(UpgradeTrust, PathsTheScriptsCannotCarryAreRefusedBeforeAnyChange) {
    const std::string marker = outside_.Join("ran");
    for (const std::string &name : std::vector<std::string>{"a b", "it's", "say\"so", "$(touch " + marker + ")", "back`touch " + marker + "`",
                             "semi;colon", "and&", "pipe|", "in<out>", "paren(", "back\\slash", "star*",
                             "what?", "br[acket", "hash#", "~tilde", "new\nline", "tab\there", "del\x7f"}) {
        SCOPED_TRACE(name);
        std::string odd = root_.Join(name);
        hvtest::MakeDirs(odd);
        ASSERT_EQ(rename(inst_.c_str(), (odd + "/" + kInst).c_str()), 0);
        std::string moved = odd + "/" + kInst;
        const std::string schema = ReadFile(moved + "/config/schema/00core.ldif");
        EXPECT_EQ(upgrade_instance(0, moved.c_str()), 4);
        // Named with its control bytes escaped: the log may be a terminal.
        EXPECT_NE(Log().find("The instance path " + hv::EscapeControl(moved) + " holds a blank"), std::string::npos);
        EXPECT_FALSE(Inspect(moved + "/upgrade").exists);
        EXPECT_EQ(ReadFile(moved + "/config/schema/00core.ldif"), schema);

        hvtest::ProgramResult r =
            hvtest::RunProgram(std::string(HV_BUILD_DIR) + "/bin/dsmigrate", {"-downgrade", "-s", odd});
        EXPECT_EQ(r.exit_status, 0) << r.err;
        hvtest::RemoveTree(moved + "/upgrade");
        ASSERT_EQ(rename(moved.c_str(), inst_.c_str()), 0);
    }
    EXPECT_FALSE(Inspect(marker).exists);
    // An ordinary path still gets the scripts, byte for byte as always.
    EXPECT_EQ(upgrade_instance(0, inst_.c_str()), 0) << Log();
}

// A FIFO wherever the upgrade reads a file: refused at once, not waited on.
TEST_F(UpgradeTrust, AFifoInAnyReadPositionIsRefusedWithoutHanging) {
    const struct {
        std::string path;
        int rc;
    } cases[] = {
        {root_.Dse(kInst), 4},
        {root_.VersionsFile(kInst), 5},
        {root_.Schema(kInst), 5},
        {inst_ + "/db2bak", 5},
        {inst_ + "/schema_push.pl", 3},
        {root_.Cert7Path(kInst), 4},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.path);
        hvtest::SampleRoot fresh;
        ASSERT_TRUE(fresh.Make({"a"}));
        std::string inst = fresh.InstancePath(kInst);
        std::string path = fresh.path() + c.path.substr(root_.path().size());
        if (path == fresh.VersionsFile(kInst)) {
            hvtest::MakeDirs(fresh.UpgradeDir(kInst));
            hvtest::ChownTree(fresh.UpgradeDir(kInst), owner_.uid, owner_.gid);
        }
        PlantFifo(path);
        testing::internal::CaptureStderr();
        testing::internal::CaptureStdout();
        int rc = InChild([&] { return upgrade_instance(0, inst.c_str()); });
        std::string err = testing::internal::GetCapturedStderr();
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(rc, c.rc) << err << Log();
    }
}

}  // namespace
