#include "common/dir.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/server_root.h"

namespace hv {
namespace {

using hvtest::Inspect;
using hvtest::ReadFile;
using hvtest::WriteFile;

class DirTest : public ::testing::Test {
  protected:
    void SetUp() override {
        hvtest::MakeDirs(tmp_.Join("inst/upgrade"));
        hvtest::MakeDirs(tmp_.Join("outside"));
        WriteFile(tmp_.Join("outside/root-file"), "root's");
        int err = 0;
        dir_ = Dir::Open(Env::Default(), tmp_.Join("inst"), &err);
        ASSERT_NE(dir_, nullptr) << err;
    }
    void Link(const std::string &target, const std::string &rel) {
        ASSERT_EQ(symlink(target.c_str(), tmp_.Join("inst/" + rel).c_str()), 0);
    }
    hvtest::TempDir tmp_{"dirtest"};
    std::unique_ptr<Dir> dir_;
};

// Links at the last name or on the way there, and a FIFO where a file is to
// be read: each is refused, and nothing outside the directory changes.
TEST_F(DirTest, LinksAndFifosAreRefusedAndNothingIsDoneThroughThem) {
    Link(tmp_.Join("outside/root-file"), "file-link");
    Link(tmp_.Join("outside"), "dir-link");
    ASSERT_EQ(mkfifo(tmp_.Join("inst/fifo").c_str(), 0600), 0);
    std::string content;
    struct stat st {};
    EXPECT_EQ(dir_->ReadFile("file-link", &content), ELOOP);
    EXPECT_TRUE(IsRefusal(dir_->ReadFile("dir-link/root-file", &content)));
    EXPECT_EQ(dir_->ReadFile("fifo", &content), kWrongType);  // would block without O_NONBLOCK
    EXPECT_TRUE(IsRefusal(dir_->ReplaceFile("file-link", "x", 0755, -1, -1)));
    EXPECT_TRUE(IsRefusal(dir_->ReplaceFile("fifo", "x", 0755, -1, -1)));
    EXPECT_NE(dir_->CreateFile("file-link", "x", 0600, -1, -1), 0);
    EXPECT_TRUE(IsRefusal(dir_->CreateFile("dir-link/new", "x", 0600, -1, -1)));
    EXPECT_TRUE(IsRefusal(dir_->MakeDir("dir-link/new", 0755, -1, -1)));
    EXPECT_TRUE(IsRefusal(dir_->Rename("file-link", "dir-link/moved")));
    EXPECT_TRUE(IsRefusal(dir_->Lstat("dir-link/root-file", &st)));
    EXPECT_EQ(dir_->Lstat("file-link", &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(dir_->ReadFile("../outside/root-file", &content), EINVAL);
    EXPECT_EQ(dir_->ReadFile("/etc/passwd", &content), EINVAL);
    EXPECT_EQ(ReadFile(tmp_.Join("outside/root-file")), "root's");
    EXPECT_EQ(hvtest::ListDir(tmp_.Join("outside")), std::vector<std::string>{"root-file"});
}

TEST_F(DirTest, RemoveTreeRemovesLinksAsLinks) {
    WriteFile(tmp_.Join("inst/upgrade/versions.conf"), "1");
    Link(tmp_.Join("outside"), "upgrade/dir-link");
    Link(tmp_.Join("outside/root-file"), "upgrade/file-link");
    std::string failed;
    EXPECT_EQ(dir_->RemoveTree("upgrade", &failed), 0) << failed;
    EXPECT_FALSE(Inspect(tmp_.Join("inst/upgrade")).exists);
    EXPECT_EQ(ReadFile(tmp_.Join("outside/root-file")), "root's");
    Link(tmp_.Join("outside"), "upgrade");
    EXPECT_EQ(dir_->RemoveTree("upgrade", &failed), 0);
    EXPECT_FALSE(Inspect(tmp_.Join("inst/upgrade")).exists);
    EXPECT_TRUE(Inspect(tmp_.Join("outside/root-file")).exists);
}

// Each call of a replacement that the Env can fail, failed in turn: the old
// content stays whole and no temporary file is left beside it.
TEST_F(DirTest, AReplacementFailingAtAnyCallKeepsTheOldFile) {
    WriteFile(tmp_.Join("inst/upgrade/versions.conf"), "1", 0600);
    FaultEnv counting;
    int err = 0;
    auto counted = Dir::Open(&counting, tmp_.Join("inst"), &err);
    ASSERT_EQ(counted->ReplaceFile("upgrade/versions.conf", "1\t2", 0600, -1, -1), 0);
    ASSERT_GE(counting.calls(), 5);  // create, write, sync, mode, rename (+ directory sync)
    WriteFile(tmp_.Join("inst/upgrade/versions.conf"), "1", 0600);
    for (int n = 1; n <= counting.calls(); ++n) {
        FaultEnv env(n);
        auto dir = Dir::Open(&env, tmp_.Join("inst"), &err);
        Dir::Step step;
        int rc = dir->ReplaceFile("upgrade/versions.conf", "1\t2", 0600, -1, -1, &step);
        SCOPED_TRACE(env.failed());
        EXPECT_NE(rc, 0);
        std::string now = ReadFile(tmp_.Join("inst/upgrade/versions.conf"));
        EXPECT_TRUE(now == "1" || now == "1\t2") << now;
        EXPECT_EQ(hvtest::ListDir(tmp_.Join("inst/upgrade")), std::vector<std::string>{"versions.conf"});
        WriteFile(tmp_.Join("inst/upgrade/versions.conf"), "1", 0600);
    }
}

// A content made piece by piece: every piece lands in order, and a producer
// that fails after writing some leaves the old file and no temporary one.
TEST_F(DirTest, AReplacementFromAProducerIsWholeOrNotAtAll) {
    WriteFile(tmp_.Join("inst/data"), "old", 0640);
    auto pieces = [](int failAfter) {
        return [failAfter](const std::function<int(std::string_view)> &write) {
            for (int i = 0; i < 3; ++i) {
                if (i == failAfter) return EINVAL;
                if (int err = write(std::string(1, static_cast<char>('a' + i)))) return err;
            }
            return 0;
        };
    };
    Dir::Step step = Dir::Step::kCreate;
    EXPECT_EQ(dir_->ReplaceFileWith("data", pieces(1), 0640, -1, -1, &step), EINVAL);
    EXPECT_EQ(step, Dir::Step::kWrite);
    EXPECT_EQ(ReadFile(tmp_.Join("inst/data")), "old");
    ASSERT_EQ(dir_->ReplaceFileWith("data", pieces(-1), 0640, -1, -1), 0);
    EXPECT_EQ(ReadFile(tmp_.Join("inst/data")), "abc");
    EXPECT_EQ(hvtest::ListDir(tmp_.Join("inst")), (std::vector<std::string>{"data", "upgrade"}));
}

// With a backup name, the old file moves there only once the new one is
// complete; whichever call fails, the old file is in its place or in the
// backup, whole, and never both gone.
TEST_F(DirTest, AReplacementWithABackupKeepsTheOldFileSomewhereWhole) {
    const std::string file = tmp_.Join("inst/db2bak"), saved = tmp_.Join("inst/upgrade/db2bak");
    FaultEnv counting;
    int err = 0;
    auto counted = Dir::Open(&counting, tmp_.Join("inst"), &err);
    WriteFile(file, "old", 0755);
    ASSERT_EQ(counted->ReplaceFile("db2bak", "new", 0755, -1, -1, nullptr, "upgrade/db2bak"), 0);
    EXPECT_EQ(ReadFile(file), "new");
    EXPECT_EQ(ReadFile(saved), "old");
    for (int n = 1; n <= counting.calls(); ++n) {
        hvtest::RemoveTree(saved);
        WriteFile(file, "old", 0755);
        FaultEnv env(n);
        auto dir = Dir::Open(&env, tmp_.Join("inst"), &err);
        Dir::Step step = Dir::Step::kCreate;
        int rc = dir->ReplaceFile("db2bak", "new", 0755, -1, -1, &step, "upgrade/db2bak");
        SCOPED_TRACE(env.failed());
        EXPECT_NE(rc, 0);
        if (step != Dir::Step::kRename || ReadFile(file) != "new") {
            EXPECT_EQ(ReadFile(file), "old");
            EXPECT_FALSE(Inspect(saved).exists);
        }
        EXPECT_EQ(hvtest::ListDir(tmp_.Join("inst")), (std::vector<std::string>{"db2bak", "upgrade"}));
    }
}

// A new file takes its name only whole: whichever call fails, the name is
// absent or holds the whole content, never an empty or cut file, and an
// existing file is never replaced.
TEST_F(DirTest, ANewFileTakesItsNameOnlyWhole) {
    const std::string file = tmp_.Join("inst/upgrade/versions.conf");
    FaultEnv counting;
    int err = 0;
    auto counted = Dir::Open(&counting, tmp_.Join("inst"), &err);
    ASSERT_EQ(counted->CreateFile("upgrade/versions.conf", "1", 0600, -1, -1), 0);
    EXPECT_EQ(counted->CreateFile("upgrade/versions.conf", "2", 0600, -1, -1), EEXIST);
    EXPECT_EQ(ReadFile(file), "1");
    const int calls = counting.calls();
    for (int n = 1; n <= calls; ++n) {
        hvtest::RemoveTree(file);
        FaultEnv env(n);
        auto dir = Dir::Open(&env, tmp_.Join("inst"), &err);
        int rc = dir->CreateFile("upgrade/versions.conf", "1", 0600, -1, -1);
        SCOPED_TRACE(env.failed());
        EXPECT_NE(rc, 0);
        if (Inspect(file).exists) {
            EXPECT_EQ(ReadFile(file), "1");
        }
        std::vector<std::string> left = hvtest::ListDir(tmp_.Join("inst/upgrade"));
        EXPECT_TRUE(left.empty() || left == std::vector<std::string>{"versions.conf"});
    }
}

}  // namespace
}  // namespace hv
