#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "migrate/script_templates.h"
#include "migrate/scripts.h"
#include "support/server_root.h"

namespace {

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

std::vector<std::string> ScriptNames() {
    std::vector<std::string> names;
    for (const auto &t : hv::ScriptTemplates()) names.push_back(t.name);
    return names;
}

std::string ReplaceAll(std::string s, const std::string &from, const std::string &to) {
    for (std::size_t pos = 0; (pos = s.find(from, pos)) != std::string::npos; pos += to.size()) {
        s.replace(pos, from.size(), to);
    }
    return s;
}

class Regeneration : public ::testing::Test {
protected:
    void SetUp() override {
        instance_ = root_.AddInstance("slapd-a");
        old_mask_ = umask(077);  // the scripts' mode must not depend on it
    }
    void TearDown() override { umask(old_mask_); }

    std::string Script(const std::string &name) const { return instance_ + "/" + name; }
    std::string Saved(const std::string &name) const {
        return root_.BackupDir("slapd-a") + "/" + name;
    }
    std::string Expected(const std::string &name) const {
        std::string text = hvtest::ReadFile(std::string(HV_SOURCE_DIR) +
                                            "/src/migrate/testdata/scripts/" + name);
        return ReplaceAll(text, "/srv/ds", root_.path());
    }
    void AddPrePatchScripts() {
        for (const auto &n : ScriptNames()) hvtest::WriteFile(Script(n), "pre-patch " + n + "\n", 0755);
    }

    hvtest::ServerRoot root_;
    std::string instance_;
    mode_t old_mask_ = 0;
};

TEST_F(Regeneration, WritesNineScriptsAndSavesThePrePatchOnes) {
    AddPrePatchScripts();
    EXPECT_EQ(upgrade_scripts(0, root_.path().c_str(), "slapd-a"), 0);
    for (const auto &n : ScriptNames()) {
        EXPECT_EQ(hvtest::ReadFile(Script(n)), Expected(n)) << n;
        EXPECT_EQ(hvtest::Inspect(Script(n)).mode, 0755u) << n;
        EXPECT_EQ(hvtest::ReadFile(Saved(n)), "pre-patch " + n + "\n") << n;
    }
    EXPECT_EQ(hvtest::ListDir(root_.BackupDir("slapd-a")).size(), 9u);
    EXPECT_TRUE(hvtest::Inspect(root_.UpgradeDir("slapd-a")).is_dir);
}

TEST_F(Regeneration, OtherPhasesTouchNothing) {
    AddPrePatchScripts();
    for (int phase : {1, 2, -1}) EXPECT_EQ(upgrade_scripts(phase, root_.path().c_str(), "slapd-a"), 0);
    EXPECT_FALSE(hvtest::Inspect(root_.UpgradeDir("slapd-a")).exists);
    EXPECT_EQ(hvtest::ReadFile(Script("db2bak")), "pre-patch db2bak\n");
}

TEST_F(Regeneration, SecondRunKeepsTheSavedCopies) {
    AddPrePatchScripts();
    ASSERT_EQ(regenerate_scripts(root_.path().c_str(), "slapd-a"), 0);
    hvtest::WriteFile(Script("bak2db"), "edited by hand\n", 0700);
    ASSERT_EQ(regenerate_scripts(root_.path().c_str(), "slapd-a"), 0);
    for (const auto &n : ScriptNames()) {
        EXPECT_EQ(hvtest::ReadFile(Saved(n)), "pre-patch " + n + "\n") << n;
        EXPECT_EQ(hvtest::ReadFile(Script(n)), Expected(n)) << n;
    }
    EXPECT_EQ(hvtest::Inspect(Script("bak2db")).mode, 0755u);
}

TEST_F(Regeneration, MissingScriptIsCreatedWithoutASavedCopy) {
    AddPrePatchScripts();
    unlink(Script("get-clusterinfo-slapd").c_str());
    unlink(Script("vlvindex").c_str());
    ASSERT_EQ(regenerate_scripts(root_.path().c_str(), "slapd-a"), 0);
    EXPECT_EQ(hvtest::ReadFile(Script("vlvindex")), Expected("vlvindex"));
    EXPECT_FALSE(hvtest::Inspect(Saved("vlvindex")).exists);
    EXPECT_FALSE(hvtest::Inspect(Saved("get-clusterinfo-slapd")).exists);
    EXPECT_TRUE(hvtest::Inspect(Saved("db2ldif")).exists);

    // No script at all: no backup directory is needed either.
    hvtest::ServerRoot bare;
    bare.AddInstance("slapd-b");
    ASSERT_EQ(regenerate_scripts(bare.path().c_str(), "slapd-b"), 0);
    EXPECT_FALSE(hvtest::Inspect(bare.UpgradeDir("slapd-b")).exists);
    EXPECT_EQ(hvtest::ListDir(bare.InstancePath("slapd-b")).size(), 10u);  // nine and config
}

TEST_F(Regeneration, UnwritableScriptStopsTheStep) {
    AddPrePatchScripts();
    // db2ldif, fourth in order, is a directory with a saved copy already
    // there: it is not moved, and it cannot be opened for writing.
    hvtest::MakeDirs(root_.BackupDir("slapd-a"));
    hvtest::WriteFile(Saved("db2ldif"), "saved before\n");
    unlink(Script("db2ldif").c_str());
    hvtest::MakeDirs(Script("db2ldif"));
    CaptureStderr();
    EXPECT_EQ(regenerate_scripts(root_.path().c_str(), "slapd-a"), 5);
    EXPECT_EQ(GetCapturedStderr(), Script("db2ldif") + ": refused, a symbolic link or not the kind of file expected\n" +
                                       "Could not write to " + Script("db2ldif") + ".");
    EXPECT_EQ(hvtest::ReadFile(Script("ldif2db")), Expected("ldif2db"));
    EXPECT_EQ(hvtest::ReadFile(Script("vlvindex")), "pre-patch vlvindex\n");
    EXPECT_FALSE(hvtest::Inspect(Saved("vlvindex")).exists);
}

constexpr char kRefused[] = ": refused, a symbolic link or not the kind of file expected\n";

// A link, dangling or not, is never created or moved through.
TEST_F(Regeneration, BackupDirectoriesThatCannotBeCreated) {
    AddPrePatchScripts();
    ASSERT_EQ(symlink("/nonexistent/upgrade", root_.UpgradeDir("slapd-a").c_str()), 0);
    CaptureStderr();
    EXPECT_EQ(regenerate_scripts(root_.path().c_str(), "slapd-a"), 5);
    EXPECT_EQ(GetCapturedStderr(), root_.UpgradeDir("slapd-a") + kRefused + root_.UpgradeDir("slapd-a") +
                                       " cannot be created\n");
    EXPECT_EQ(hvtest::ReadFile(Script("saveconfig")), "pre-patch saveconfig\n");

    unlink(root_.UpgradeDir("slapd-a").c_str());
    hvtest::MakeDirs(root_.UpgradeDir("slapd-a"));
    ASSERT_EQ(symlink("/nonexistent/bak", root_.BackupDir("slapd-a").c_str()), 0);
    CaptureStderr();
    EXPECT_EQ(check_backup_context(instance_.c_str()), 5);
    EXPECT_EQ(GetCapturedStderr(), root_.BackupDir("slapd-a") + kRefused + root_.BackupDir("slapd-a") +
                                       " cannot be created\n");
}

TEST_F(Regeneration, BackupDirectoryThatIsAFile) {
    AddPrePatchScripts();
    hvtest::MakeDirs(root_.UpgradeDir("slapd-a"));
    hvtest::WriteFile(root_.BackupDir("slapd-a"), "not a directory\n");
    EXPECT_EQ(regenerate_scripts(root_.path().c_str(), "slapd-a"), 3);
    EXPECT_EQ(hvtest::ReadFile(Script("saveconfig")), "pre-patch saveconfig\n");
}

TEST_F(Regeneration, OneScriptFromATemplate) {
    EXPECT_EQ(regenerate_script(instance_.c_str(), "probe", "echo %s %s at 100%%\n", "one", "two"),
              0);
    EXPECT_EQ(hvtest::ReadFile(Script("probe")),
              "#!/bin/sh\n\nunset LD_LIBRARY_PATH\necho one two at 100%\n");
    EXPECT_EQ(hvtest::Inspect(Script("probe")).mode, 0755u);
}

// A write that fails half-way (here the file size limit) must not leave a
// cut-off script that passes for a complete one: the script stays as it
// was, and nothing is moved into the backup directory.
TEST_F(Regeneration, FailedWriteLeavesNoTruncatedScript) {
    hvtest::WriteFile(Script("saveconfig"), "pre-patch saveconfig\n", 0755);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit lim = {64, 64};
        setrlimit(RLIMIT_FSIZE, &lim);
        const hv::ScriptTemplate &t = hv::ScriptTemplates()[0];
        _exit(regenerate_script(instance_.c_str(), t.name, t.text, "a", "b", "c", "d", "e", "f"));
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 5);
    EXPECT_EQ(hvtest::ReadFile(Script("saveconfig")), "pre-patch saveconfig\n");
    EXPECT_EQ(hvtest::Inspect(Script("saveconfig")).mode, 0755u);
    EXPECT_FALSE(hvtest::Inspect(Saved("saveconfig")).exists);
    for (const std::string &n : hvtest::ListDir(instance_)) EXPECT_EQ(n.find(".tmp"), std::string::npos) << n;
}

TEST_F(Regeneration, PathsThatDoNotFitAreRefused) {
    std::string longname(1100, 'n');
    CaptureStderr();
    EXPECT_EQ(regenerate_scripts(root_.path().c_str(), longname.c_str()), 5);
    EXPECT_NE(GetCapturedStderr().find("path too long, at most 1023 bytes"), std::string::npos);
    // The script path fits, the backup paths do not.
    std::string deep = instance_;
    while (deep.size() < 1018 - 201) deep += "/" + std::string(200, 'd');
    deep += "/" + std::string(1018 - deep.size() - 1, 'e');
    ASSERT_EQ(deep.size(), 1018u);
    hvtest::MakeDirs(deep);
    std::string name = "sc";
    hvtest::WriteFile(deep + "/" + name, "x\n");
    CaptureStderr();
    EXPECT_EQ(regenerate_script(deep.c_str(), name.c_str(), "y\n"), 5);
    EXPECT_NE(GetCapturedStderr().find("path too long, at most 1023 bytes"), std::string::npos);
    EXPECT_EQ(hvtest::ReadFile(deep + "/" + name), "x\n");
}

}  // namespace
