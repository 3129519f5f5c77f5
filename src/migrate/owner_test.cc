// The owner of an instance as the migration takes it, and the switch to the
// owner's ids and groups, with a real non-root user (needs root).
#include "migrate/owner.h"

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/server_root.h"
#include "support/users.h"

namespace {

std::vector<gid_t> Groups() {
    int n = getgroups(0, nullptr);
    std::vector<gid_t> g(n > 0 ? static_cast<std::size_t>(n) : 0);
    if (n > 0) g.resize(static_cast<std::size_t>(getgroups(n, g.data())));
    std::sort(g.begin(), g.end());
    return g;
}

std::string g_reported;
void Record(const char *call, long id, int) { g_reported += std::string(call) + "(" + std::to_string(id) + ") "; }

TEST(Owner, DseLdifGivesTheOwnerOnlyAsARegularFile) {
    hvtest::ServerRoot root;
    std::string inst = root.AddInstance("slapd-a");
    int err = 0;
    auto dir = hv::Dir::Open(hv::Env::Default(), inst, &err);
    ASSERT_NE(dir, nullptr);
    uid_t uid = 7;
    gid_t gid = 7;
    EXPECT_EQ(hv::migrate::OwnerOfInstance(*dir, &uid, &gid), 0);
    EXPECT_EQ(uid, geteuid());
    hvtest::RemoveTree(inst + "/config/dse.ldif");
    EXPECT_EQ(hv::migrate::OwnerOfInstance(*dir, &uid, &gid), ENOENT);
    ASSERT_EQ(symlink(root.Join("elsewhere").c_str(), (inst + "/config/dse.ldif").c_str()), 0);
    EXPECT_EQ(hv::migrate::OwnerOfInstance(*dir, &uid, &gid), ELOOP);
    hvtest::RemoveTree(inst + "/config/dse.ldif");
    ASSERT_EQ(mkfifo((inst + "/config/dse.ldif").c_str(), 0600), 0);
    EXPECT_EQ(hv::migrate::OwnerOfInstance(*dir, &uid, &gid), hv::kWrongType);
}

// Root's own groups do not follow it into the owner's work, and come back
// afterwards with root's ids.
TEST(Owner, TheSwitchTakesTheOwnersGroupsAndGivesRootsBack) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root";
    hvtest::SystemUser owner;
    ASSERT_TRUE(hvtest::EnsureSystemUser("hvdsowner", &owner));
    gid_t extra = 4242;  // a group root is in and the owner is not
    std::vector<gid_t> before = Groups();
    std::vector<gid_t> with_extra = before;
    with_extra.push_back(extra);
    ASSERT_EQ(setgroups(with_extra.size(), with_extra.data()), 0);
    std::vector<gid_t> roots = Groups();
    {
        hv::migrate::ScopedOwner as_owner(owner.uid, owner.gid, Record);
        ASSERT_TRUE(as_owner.ok()) << g_reported;
        EXPECT_EQ(geteuid(), owner.uid);
        EXPECT_EQ(getegid(), owner.gid);
        std::vector<gid_t> expected = hv::migrate::GroupsOf(owner.uid, owner.gid);
        std::sort(expected.begin(), expected.end());
        std::vector<gid_t> now = Groups();
        EXPECT_EQ(now, expected);
        EXPECT_EQ(std::count(now.begin(), now.end(), extra), 0);
        EXPECT_TRUE(as_owner.Restore());
    }
    EXPECT_EQ(geteuid(), 0u);
    EXPECT_EQ(getegid(), 0u);
    EXPECT_EQ(Groups(), roots);
    ASSERT_EQ(setgroups(before.size(), before.data()), 0);
    EXPECT_EQ(g_reported, "");
}

}  // namespace
