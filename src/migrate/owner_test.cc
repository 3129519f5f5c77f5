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

// The ids come from the instance directory; dse.ldif must be a regular
// file of that owner with one link, and a root-owned instance needs the
// administrator's consent.  Each case starts from a good instance and
// changes one thing.
TEST(Owner, TheInstanceDirectoryGivesTheIdsAndDseLdifMustBeTheOwnersOwn) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to hand the instance to another user";
    hvtest::SystemUser owner;
    ASSERT_TRUE(hvtest::EnsureSystemUser("hvdsowner", &owner));
    struct Case {
        const char *what;
        void (*change)(const std::string &inst, const hvtest::SystemUser &owner);
        bool allow_root;
        int expected;
    };
    const Case cases[] = {
        {"the owner's instance", [](const std::string &, const hvtest::SystemUser &) {}, false, 0},
        {"dse.ldif missing", [](const std::string &i, const hvtest::SystemUser &) { hvtest::RemoveTree(i + "/config/dse.ldif"); },
         false, ENOENT},
        {"dse.ldif a link",
         [](const std::string &i, const hvtest::SystemUser &) {
             hvtest::RemoveTree(i + "/config/dse.ldif");
             ASSERT_EQ(symlink("/etc/passwd", (i + "/config/dse.ldif").c_str()), 0);
         },
         false, ELOOP},
        {"dse.ldif a FIFO",
         [](const std::string &i, const hvtest::SystemUser &) {
             hvtest::RemoveTree(i + "/config/dse.ldif");
             ASSERT_EQ(mkfifo((i + "/config/dse.ldif").c_str(), 0600), 0);
         },
         false, hv::kWrongType},
        {"dse.ldif left root's",
         [](const std::string &i, const hvtest::SystemUser &) { ASSERT_EQ(chown((i + "/config/dse.ldif").c_str(), 0, 0), 0); },
         false, EPERM},
        {"dse.ldif hard-linked elsewhere",
         [](const std::string &i, const hvtest::SystemUser &) {
             ASSERT_EQ(link((i + "/config/dse.ldif").c_str(), (i + "/other").c_str()), 0);
         },
         false, EPERM},
        {"a root-owned instance", [](const std::string &i, const hvtest::SystemUser &) { hvtest::ChownTree(i, 0, 0); },
         false, EPERM},
        {"a root-owned instance, allowed", [](const std::string &i, const hvtest::SystemUser &) { hvtest::ChownTree(i, 0, 0); },
         true, 0},
    };
    for (const Case &c : cases) {
        hvtest::ServerRoot root;
        std::string inst = root.AddInstance("slapd-a", owner.uid, owner.gid);
        c.change(inst, owner);
        int err = 0;
        auto dir = hv::Dir::Open(hv::Env::Default(), inst, &err);
        ASSERT_NE(dir, nullptr);
        uid_t uid = 7;
        gid_t gid = 7;
        std::string why;
        EXPECT_EQ(hv::migrate::OwnerOfInstance(*dir, c.allow_root, &uid, &gid, &why), c.expected) << c.what;
        if (c.expected == 0) {
            hvtest::PathInfo info = hvtest::Inspect(inst);
            EXPECT_EQ(uid, info.uid) << c.what;
            EXPECT_EQ(gid, info.gid) << c.what;
        } else {
            EXPECT_NE(why.find(inst), std::string::npos) << c.what << ": " << why;
        }
    }
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
