#include "migrate/version_repository.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "common/dir.h"
#include "migrate/instance.h"
#include "support/server_root.h"

namespace {

using hvtest::Inspect;
using hvtest::ReadFile;
using hvtest::WriteFile;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

class VersionRepositoryTest : public ::testing::Test {
  protected:
    void SetUp() override { file_ = dir_.Join("versions.conf"); }
    void Seed(const std::string &content) { WriteFile(file_, content, 0600); }
    hvtest::TempDir dir_{"hvrepo"};
    std::string file_;
};

TEST_F(VersionRepositoryTest, ReadsLevelsWhateverTheDelimiters) {
    const struct {
        const char *content;
        int insync_rc, level, count, previous_rc, previous;
    } cases[] = {
        {"1", 0, 1, 1, 0, 1},
        {"1\t2", 0, 2, 2, 0, 1},
        {"", 0, 1, 0, 0, 1},
        {"\n1\r\n  2 \t\n", 0, 2, 2, 0, 1},
        {"1\t2\t3", 0, 3, 3, 0, 2},
        {"1\t0", 2, -7, 2, 0, 1},
        {"1\tx2", 2, -7, 2, 0, 1},
        {"0\t2", 0, 2, 2, 2, -7},
        {"1\t\t2", 0, 2, 2, 0, 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::string(c.content)));
        Seed(c.content);
        int level = -7, count = -7, previous = -7;
        EXPECT_EQ(getInSyncVersion_versionRepository(file_.c_str(), &level, &count), c.insync_rc);
        EXPECT_EQ(level, c.level);
        EXPECT_EQ(count, c.count);
        EXPECT_EQ(getPreviousSyncVersion_versionRepository(file_.c_str(), &previous), c.previous_rc);
        EXPECT_EQ(previous, c.previous);
    }
}

TEST_F(VersionRepositoryTest, AMissingFileIsReportedByName) {
    char *buffer = reinterpret_cast<char *>(1);
    CaptureStderr();
    EXPECT_EQ(getVersions_versionRepository(file_.c_str(), &buffer), 4);
    EXPECT_EQ(GetCapturedStderr(), "Could not access the configuration file " + file_ + "\n");
    EXPECT_EQ(buffer, nullptr);
    int level = 0;
    CaptureStderr();
    EXPECT_EQ(removeVersion_versionRepository(file_.c_str()), 4);
    EXPECT_EQ(getInSyncVersion_versionRepository(file_.c_str(), &level, nullptr), 4);
    GetCapturedStderr();
}

TEST_F(VersionRepositoryTest, AddingAndRemovingLevelsWritesTheStoredForms) {
    const struct {
        const char *before;
        bool add;
        int rc;
        const char *after;
    } cases[] = {
        {"1", true, 0, "1\t2"},
        {"1\t", true, 0, "1\t\t2"},
        {"1\t2", false, 0, "1\t"},
        {"1\t2\t3", false, 0, "1\t2\t"},
        {"1\n2\r\n", false, 0, "1\t"},
        {"1", false, 0, "1"},
        {"", false, 2, ""},
        {"1\t0", false, 2, "1\t0"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::string(c.before)));
        Seed(c.before);
        chmod(file_.c_str(), 0644);
        int rc = c.add ? addVersion_versionRepository(file_.c_str(), 2)
                       : removeVersion_versionRepository(file_.c_str());
        EXPECT_EQ(rc, c.rc);
        EXPECT_EQ(ReadFile(file_), c.after);
        if (rc == 0) {
            EXPECT_EQ(Inspect(file_).mode, 0600u);
        }
        EXPECT_EQ(hvtest::ListDir(dir_.path()).size(), 1u);
    }
}

TEST_F(VersionRepositoryTest, ARewriteKeepsTheOwner) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to hand the file to another owner";
    Seed("1");
    ASSERT_EQ(chown(file_.c_str(), 4321, 4322), 0);
    EXPECT_EQ(addVersion_versionRepository(file_.c_str(), 2), 0);
    EXPECT_EQ(Inspect(file_).uid, 4321u);
    EXPECT_EQ(Inspect(file_).gid, 4322u);
}

TEST_F(VersionRepositoryTest, CreationWritesTheBaselineForTheInstanceOwner) {
    instancepath_userid = geteuid();
    instancepath_groupid = getegid();
    int level = 0;
    EXPECT_EQ(create_versionRepository(file_.c_str(), &level), 0);
    EXPECT_EQ(level, 1);
    EXPECT_EQ(ReadFile(file_), "1");
    EXPECT_EQ(Inspect(file_).mode, 0600u);

    // A dangling link in the file's place is not followed out of the tree.
    std::string link = dir_.Join("dangling.conf");
    std::string target = dir_.Join("elsewhere");
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
    CaptureStderr();
    EXPECT_EQ(create_versionRepository(link.c_str(), &level), 4);
    EXPECT_EQ(GetCapturedStderr(), link + " could not be created\n");
    EXPECT_FALSE(Inspect(target).exists);
}

// A repository left empty (by hand, or by a failure of another program)
// still stands on the baseline: the level is recorded after it.
TEST_F(VersionRepositoryTest, AddingToAnEmptyRepositoryKeepsTheBaseline) {
    for (const char *empty : {"", "\n", " \t"}) {
        Seed(empty);
        EXPECT_EQ(addVersion_versionRepository(file_.c_str(), 2), 0);
        EXPECT_EQ(ReadFile(file_), "1\t2");
    }
}

// Whatever call of a rewrite fails, the repository holds the old content,
// whole (or, when only the final flush of the directory failed, the new
// one), and the failure is reported; once the fault is gone it holds the new
// content.
TEST_F(VersionRepositoryTest, AFailedRewriteLeavesTheOldContent) {
    const struct {
        int rc;
        const char *message;  // the file name follows or precedes
        const char *content;
    } cases[] = {
        {4, "Could not open %s for writing\n", "1"},  // create the temporary file
        {5, "%s could not be updated\n", "1"},        // write
        {5, "%s could not be updated\n", "1"},        // flush
        {4, "", "1"},                                  // mode
        {4, "", "1"},                                  // owner
        {4, "%s could not be replaced\n", "1"},       // rename
        {4, "%s could not be replaced\n", "1\t2"},    // flush of the directory
    };
    int fail_at = 0;
    for (const auto &c : cases) {
        Seed("1");
        hv::FaultEnv env(++fail_at);
        int err = 0;
        auto instance = hv::migrate::Instance::OpenPath(&env, dir_.path(), &err);
        ASSERT_NE(instance, nullptr);
        hv::migrate::ScopedInstance current(instance.get());
        CaptureStderr();
        EXPECT_EQ(addVersion_versionRepository(file_.c_str(), 2), c.rc);
        SCOPED_TRACE(env.failed());
        std::string expected = c.message;
        if (auto pos = expected.find("%s"); pos != std::string::npos) expected.replace(pos, 2, file_);
        EXPECT_EQ(GetCapturedStderr(), expected);
        EXPECT_EQ(ReadFile(file_), c.content);
        EXPECT_EQ(hvtest::ListDir(dir_.path()).size(), 1u);
    }
    Seed("1");
    EXPECT_EQ(addVersion_versionRepository(file_.c_str(), 2), 0);
    EXPECT_EQ(ReadFile(file_), "1\t2");
}

}  // namespace
