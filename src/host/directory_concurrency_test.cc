// Many threads changing and searching the directory at once, with a plug-in
// whose handlers run internal operations of their own: no change is lost,
// the tree stays consistent, every operation reaches the handlers.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <thread>
#include <vector>

#include "host/directory_test_util.h"
#include "support/server_root.h"

namespace {

using hvtest::Mods;

constexpr int kThreads = 4;
constexpr int kRounds = 150;

class ConcurrencyTest : public ::testing::Test {
  protected:
    void SetUp() override {
        hv_host_reset();
        hvtest::ProbeClear();
        ASSERT_EQ(hv_dir_add_suffix("dc=example,dc=com"), 0);
        ASSERT_EQ(hv_op_add_ldif("dn: dc=example,dc=com\nobjectclass: top\n", 0, nullptr), 0);
        ASSERT_EQ(hv_op_add_ldif("dn: ou=shared,dc=example,dc=com\nobjectclass: top\n", 0, nullptr), 0);
    }
    void TearDown() override { hv_host_reset(); }
};

int SearchCount(const char *base, int scope, const char *filter) {
    Slapi_PBlock *pb = slapi_search_internal(const_cast<char *>(base), scope, const_cast<char *>(filter),
                                             nullptr, nullptr, 0);
    Slapi_Entry **entries = nullptr;
    slapi_pblock_get(pb, SLAPI_PLUGIN_INTOP_SEARCH_ENTRIES, &entries);
    int n = 0;
    for (Slapi_Entry **e = entries; e != nullptr && *e != nullptr; ++e) ++n;
    slapi_free_search_results_internal(pb);
    slapi_pblock_destroy(pb);
    return n;
}

TEST_F(ConcurrencyTest, NoOperationIsLost) {
    ASSERT_NE(hvtest::LoadProbe({"name=C", "touch=ou=shared,dc=example,dc=com"}), nullptr);
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &failures] {
            for (int r = 0; r < kRounds; ++r) {
                std::string dn = "cn=t" + std::to_string(t) + "-" + std::to_string(r) +
                                 ",ou=shared,dc=example,dc=com";
                if (hv_op_add_ldif(("dn: " + dn + "\nobjectclass: person\n").c_str(), 0, nullptr) != 0)
                    ++failures;
                Mods own;
                own.Add(LDAP_MOD_REPLACE, "description", {"round " + std::to_string(r)});
                if (hv_op_modify(dn.c_str(), own.get(), 0, nullptr) != 0) ++failures;
                Mods shared;
                shared.Add(LDAP_MOD_ADD, "member", {"v" + std::to_string(t) + "-" + std::to_string(r)});
                if (hv_op_modify("ou=shared,dc=example,dc=com", shared.get(), 0, nullptr) != 0) ++failures;
                if (SearchCount("dc=example,dc=com", LDAP_SCOPE_SUBTREE, "objectclass=person") < 1)
                    ++failures;
                if (r % 2 == 0 && hv_op_delete(dn.c_str(), 0, nullptr) != 0) ++failures;
            }
        });
    }
    for (std::thread &th : threads) th.join();
    EXPECT_EQ(failures.load(), 0);

    EXPECT_EQ(hvtest::StoredValues("ou=shared,dc=example,dc=com", "member").size(),
              static_cast<std::size_t>(kThreads * kRounds));
    int kept = kThreads * kRounds / 2;
    EXPECT_EQ(hv_dir_entry_count(), 2 + kept);
    EXPECT_EQ(SearchCount("ou=shared,dc=example,dc=com", LDAP_SCOPE_ONELEVEL, "objectclass=*"), kept);
    // The shared entry now has children: not a leaf.
    EXPECT_EQ(hv_op_delete("ou=shared,dc=example,dc=com", 0, nullptr), LDAP_NOT_ALLOWED_ON_NONLEAF);

    // Each add also ran the handler's own internal modify, which runs no
    // handlers itself.
    int adds = 0, modifies = 0, deletes = 0, touched = 0;
    for (const std::string &ev : hvtest::ProbeEvents()) {
        if (ev.rfind("C add rc=0", 0) == 0) ++adds;
        if (ev.rfind("C modify rc=0", 0) == 0) ++modifies;
        if (ev.rfind("C delete rc=0", 0) == 0) ++deletes;
        if (ev == "C touched rc=0") ++touched;
    }
    EXPECT_EQ(adds, kThreads * kRounds);
    EXPECT_EQ(touched, kThreads * kRounds);
    EXPECT_EQ(modifies, 2 * kThreads * kRounds);
    EXPECT_EQ(deletes, kThreads * kRounds / 2);
}

// Internal operations take no operation order lock: only the directory's
// own locking keeps their changes to one entry from losing each other.
TEST_F(ConcurrencyTest, InternalModifiesOfOneEntryLoseNoValue) {
    std::atomic<int> failures{0};
    std::atomic<bool> done{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &failures] {
            for (int r = 0; r < 10 * kRounds; ++r) {
                Mods mods;
                mods.Add(LDAP_MOD_ADD, "member", {"v" + std::to_string(t) + "-" + std::to_string(r)});
                Slapi_PBlock *pb = slapi_modify_internal(const_cast<char *>("ou=shared,dc=example,dc=com"),
                                                         mods.get(), nullptr, 0);
                int rc = -1;
                slapi_pblock_get(pb, SLAPI_PLUGIN_INTOP_RESULT, &rc);
                slapi_pblock_destroy(pb);
                if (rc != 0) ++failures;
            }
        });
    }
    std::thread reader([&] {
        while (!done)
            if (SearchCount("ou=shared,dc=example,dc=com", LDAP_SCOPE_BASE, "objectclass=*") != 1) ++failures;
    });
    for (std::thread &th : threads) th.join();
    done = true;
    reader.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(hvtest::StoredValues("ou=shared,dc=example,dc=com", "member").size(),
              static_cast<std::size_t>(10 * kThreads * kRounds));
}

// Adds and deletes below one parent change its list of children and the
// shards of the children at once.
TEST_F(ConcurrencyTest, AddsAndDeletesBelowOneParentKeepTheTree) {
    constexpr int kEach = 10 * kRounds;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &failures] {
            for (int r = 0; r < kEach; ++r) {
                std::string dn = "cn=a" + std::to_string(t) + "-" + std::to_string(r) + ",ou=shared,dc=example,dc=com";
                if (hv_op_add_ldif(("dn: " + dn + "\nobjectclass: top\n").c_str(), 0, nullptr) != 0) ++failures;
                if (r % 3 != 0 && hv_op_delete(dn.c_str(), 0, nullptr) != 0) ++failures;
                if (r % 50 == 0 && SearchCount("ou=shared,dc=example,dc=com", LDAP_SCOPE_ONELEVEL, "objectclass=*") < 1)
                    ++failures;
            }
        });
    }
    for (std::thread &th : threads) th.join();
    EXPECT_EQ(failures.load(), 0);
    const int kept = kThreads * ((kEach + 2) / 3);
    EXPECT_EQ(SearchCount("ou=shared,dc=example,dc=com", LDAP_SCOPE_ONELEVEL, "objectclass=*"), kept);
    EXPECT_EQ(hv_dir_entry_count(), 2 + kept);
}

// Handlers read every member of a group's entries before and after while
// other threads change the group: each sees the change it was shown, whole.
TEST_F(ConcurrencyTest, HandlersReadGroupsWhileTheyChange) {
    ASSERT_NE(hvtest::LoadProbe({"name=V", "values=member"}), nullptr);
    const char *group = "cn=g,dc=example,dc=com";
    std::string ldif = std::string("dn: ") + group + "\nobjectclass: groupOfNames\n";
    constexpr int kMembers = kThreads * kRounds;
    for (int i = 0; i < kMembers; ++i) ldif += "member: uid=m" + std::to_string(i) + "\n";
    ASSERT_EQ(hv_op_add_ldif(ldif.c_str(), 0, nullptr), 0);
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, group, &failures] {
            for (int r = 0; r < kRounds; ++r) {
                // A value of its own comes and goes with one of the group's,
                // which comes back at the end.
                std::string own = "uid=t" + std::to_string(t) + "-" + std::to_string(r);
                std::string old = "uid=m" + std::to_string(t * kRounds + r);
                Mods add, del, back;
                add.Add(LDAP_MOD_ADD, "member", {own});
                del.Add(LDAP_MOD_DELETE, "member", {own, old});
                back.Add(LDAP_MOD_ADD, "member", {old});
                for (Mods *m : {&add, &del, &back})
                    if (hv_op_modify(group, m->get(), 0, nullptr) != 0) ++failures;
            }
        });
    }
    for (std::thread &th : threads) th.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(hvtest::StoredValues(group, "member").size(), static_cast<std::size_t>(kMembers));
    int seen = 0;
    for (const std::string &ev : hvtest::ProbeEvents()) {
        if (ev.rfind("V modify ", 0) != 0) continue;
        ++seen;
        int pre = -1, post = -1;
        ASSERT_EQ(std::sscanf(ev.c_str() + ev.rfind(" values="), " values=%d/%d", &pre, &post), 2) << ev;
        EXPECT_TRUE(post - pre == 1 || post - pre == -2) << ev;
    }
    EXPECT_EQ(seen, 3 * kThreads * kRounds);
}

TEST_F(ConcurrencyTest, WriteBacksAreSerializedAndTheLastOneWins) {
    hvtest::TempDir tmp;
    std::string path = tmp.Join("dse.ldif");
    hvtest::WriteFile(path, "dn: cn=config\nobjectclass: top\n", 0600);
    ASSERT_EQ(hv_dir_load_dse(path.c_str()), 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int r = 0; r < 10; ++r) {
                std::string ldif = "dn: cn=w" + std::to_string(t) + "-" + std::to_string(r) +
                                   ",cn=config\nobjectclass: top\n";
                EXPECT_EQ(hv_op_add_ldif(ldif.c_str(), 0, nullptr), 0);
            }
        });
    }
    for (std::thread &th : threads) th.join();
    int count = hv_dir_entry_count();
    hv_host_reset();
    ASSERT_EQ(hv_dir_load_dse(path.c_str()), 0);
    EXPECT_EQ(hv_dir_entry_count(), count);
    EXPECT_EQ(count, 3 + kThreads * 10);  // the two set-up entries, cn=config, the adds
    EXPECT_EQ(hvtest::ListDir(tmp.path()), (std::vector<std::string>{"dse.ldif", "dse.ldif.bak"}));
    EXPECT_EQ(hvtest::ReadFile(path + ".bak"), "dn: cn=config\nobjectclass: top\n");
}

TEST_F(ConcurrencyTest, SubtreeMovesAreAtomicForSearchesAndAdds) {
    const char *const sides[] = {"ou=l,dc=example,dc=com", "ou=r,dc=example,dc=com"};
    for (const char *dn : sides) ASSERT_EQ(hv_op_add_ldif((std::string("dn: ") + dn + "\nobjectclass: top\n").c_str(), 0, nullptr), 0);
    ASSERT_EQ(hv_op_add_ldif("dn: cn=s,ou=l,dc=example,dc=com\nobjectclass: top\ncn: s\n", 0, nullptr), 0);
    std::atomic<bool> done{false};
    std::atomic<int> failures{0};
    std::atomic<int> added{0};
    std::thread mover([&] {
        for (int r = 0; r < kRounds; ++r) {
            std::string from = std::string("cn=s,") + sides[r % 2];
            if (hv_op_modrdn(from.c_str(), "cn=s", 1, sides[(r + 1) % 2], 0, nullptr) != 0) ++failures;
        }
        done = true;
    });
    std::vector<std::thread> others;
    for (int t = 0; t < 2; ++t) {
        others.emplace_back([&, t] {
            // Bounded: adds do not wait for a move that waits for a search,
            // so unbounded adds would grow the searched subtree without end.
            for (int r = 0; !done && r < 20 * kRounds; ++r) {
                // Wherever the subtree is now, the add lands in it or fails with 32.
                std::string ldif = "dn: cn=c" + std::to_string(t) + "-" + std::to_string(r) + ",cn=s," +
                                   sides[r % 2] + "\nobjectclass: person\n";
                int rc = hv_op_add_ldif(ldif.c_str(), 0, nullptr);
                if (rc == 0) ++added;
                else if (rc != LDAP_NO_SUCH_OBJECT) ++failures;
            }
        });
    }
    others.emplace_back([&] {
        while (!done) {
            // The subtree is always in exactly one place, whole.
            if (SearchCount("dc=example,dc=com", LDAP_SCOPE_SUBTREE, "cn=s") != 1) ++failures;
        }
    });
    mover.join();
    for (std::thread &th : others) th.join();
    EXPECT_EQ(failures.load(), 0);
    const char *home = sides[kRounds % 2];
    EXPECT_EQ(SearchCount(home, LDAP_SCOPE_SUBTREE, "objectclass=person"), added.load());
    EXPECT_EQ(hv_dir_entry_count(), 5 + added.load());
}

}  // namespace
