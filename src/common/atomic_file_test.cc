#include "common/atomic_file.h"
#include "support/server_root.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

namespace hv {
namespace {

std::string ReadFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

int CountEntries(const std::string &dir) {
    int n = 0;
    DIR *d = opendir(dir.c_str());
    while (dirent *e = readdir(d)) n += e->d_name[0] != '.';
    closedir(d);
    return n;
}

class RewriteFileTest : public ::testing::Test {
  protected:
    void SetUp() override { std::ofstream(path_) << "1"; }
    hvtest::TempDir tmp_{"atomic_file_test"};
    std::string dir_ = tmp_.path();
    std::string path_ = tmp_.Join("versions.conf");
};

TEST_F(RewriteFileTest, ReplacesContentWithModeAndLeavesNoTemporaryFile) {
    chmod(path_.c_str(), 0644);
    ASSERT_EQ(RewriteFile(path_.c_str(), "1\t2", 0600, -1, -1), RewriteStatus::kOk);
    EXPECT_EQ(ReadFile(path_), "1\t2");
    struct stat st {};
    ASSERT_EQ(stat(path_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(CountEntries(dir_), 1);
}

TEST_F(RewriteFileTest, ALinkUnderTheNameIsRefusedAndLeftAlone) {
    std::string target = tmp_.Join("target");
    std::ofstream(target) << "root's";
    ASSERT_EQ(unlink(path_.c_str()), 0);
    ASSERT_EQ(symlink(target.c_str(), path_.c_str()), 0);
    EXPECT_EQ(RewriteFile(path_.c_str(), "1\t2", 0600, -1, -1), RewriteStatus::kCreateFailed);
    EXPECT_EQ(ReadFile(target), "root's");
}

TEST_F(RewriteFileTest, ADirectoryThatCannotTakeFilesFailsAtCreate) {
    std::string missing = dir_ + "/no/such/file";
    EXPECT_EQ(RewriteFile(missing.c_str(), "x", 0600, -1, -1), RewriteStatus::kCreateFailed);
}

}  // namespace
}  // namespace hv
