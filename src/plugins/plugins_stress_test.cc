// Both plug-ins under concurrent load: several threads add, delete and
// modify entries below shared holders while one thread changes a holder's
// own members; afterwards every counter must equal a recount from the
// directory.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "plugins/plugin_test_env.h"

namespace hv::plugins::testing {
namespace {

constexpr int kThreads = 4;
constexpr int kOpsPerThread = 80;
constexpr int kLeavesPerThread = 6;

const char kH1[] = "ou=h1,dc=example,dc=com";
const char kH2[] = "ou=h2,ou=h1,dc=example,dc=com";
const char kH3[] = "ou=h3,ou=h1,dc=example,dc=com";

std::string LeafDn(int thread, int leaf) {
    return "cn=t" + std::to_string(thread) + "-" + std::to_string(leaf) + "," + (leaf % 2 == 0 ? kH2 : kH3);
}

std::string Member(int thread, int n) { return "uid=m" + std::to_string(thread) + "-" + std::to_string(n); }

bool Has(const std::string &dn, const std::string &cls) {
    Slapi_Entry *e = hv_dir_get_entry(dn.c_str());
    bool has = e != nullptr && slapi_entry_attr_hasvalue(e, "objectclass", cls.c_str());
    slapi_entry_free(e);
    return has;
}

class StressTest : public PluginHostTest {
  protected:
    // One thread's work on its own leaves; every choice is valid for the
    // leaf's current state, which only this thread changes.
    void Work(int thread) {
        std::mt19937 rng(1234 + thread);
        auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
        int nextMember = 0;
        for (int op = 0; op < kOpsPerThread; ++op) {
            const int leaf = pick(kLeavesPerThread);
            const std::string dn = LeafDn(thread, leaf);
            Slapi_Entry *e = hv_dir_get_entry(dn.c_str());
            const bool exists = e != nullptr;
            slapi_entry_free(e);
            if (!exists) {
                std::string ldif = "dn: " + dn + "\nobjectclass: top\ncn: x\n";
                if (pick(2) == 0) ldif += "objectclass: person\nsn: x\n";
                if (pick(2) == 0) ldif += "objectclass: groupOfNames\n";
                for (int i = pick(4); i > 0; --i) ldif += "member: " + Member(thread, nextMember++) + "\n";
                EXPECT_EQ(Add(ldif), 0) << dn;
                continue;
            }
            const std::string cls = pick(2) == 0 ? "person" : "groupOfNames";
            switch (pick(6)) {
            case 0:
                EXPECT_EQ(Delete(dn), 0) << dn;
                break;
            case 1:
                EXPECT_EQ(Modify(dn, {{LDAP_MOD_ADD, "member", {Member(thread, nextMember++), Member(thread, nextMember++)}}}), 0);
                break;
            case 2:
                if (NumValues(dn, "member") > 0) {
                    EXPECT_EQ(Modify(dn, {{LDAP_MOD_DELETE, "member", {}}}), 0);
                }
                break;
            case 3:
                EXPECT_EQ(Modify(dn, {{Has(dn, cls) ? LDAP_MOD_DELETE : LDAP_MOD_ADD, "objectclass", {cls}}}), 0);
                break;
            case 4:
                EXPECT_EQ(Modify(dn, {{LDAP_MOD_REPLACE, "objectclass",
                                       pick(2) == 0 ? std::vector<std::string>{"top", cls}
                                                    : std::vector<std::string>{"top", "person", "groupOfNames"}}}),
                          0);
                break;
            default:
                EXPECT_EQ(Modify(dn, {{LDAP_MOD_REPLACE, "description", {std::to_string(op)}}}), 0);
                break;
            }
        }
    }

    // A holder's own members change while entries below it change.
    void ChurnHolderMembers() {
        for (int i = 0; i < kOpsPerThread / 2; ++i) {
            const std::string m = "uid=holder-" + std::to_string(i);
            EXPECT_EQ(Modify(kH2, {{LDAP_MOD_ADD, "member", {m, m + "b"}}}), 0);
            EXPECT_EQ(Modify(kH2, {{LDAP_MOD_DELETE, "member", {m}}}), 0);
        }
    }
};

TEST_F(StressTest, CountersMatchARecountAfterConcurrentChanges) {
    Load("nodetally", kNodetallyInit,
         {"counterAttribute=entryCount", "counterObjectClass=counterHolder", "requiredObjectClass=person"});
    Load("attrtally", kAttrtallyInit,
         {"memberAttribute=member", "counterAttribute=memberCount", "requiredObjectClass=groupOfNames",
          "updateParents=true"});
    ASSERT_EQ(hv_dir_add_suffix("dc=example,dc=com"), 0);
    ASSERT_EQ(Add("dn: dc=example,dc=com\nobjectclass: domain\ndc: example\n"), 0);
    const std::string holder = "objectclass: organizationalUnit\nobjectclass: counterHolder\nobjectclass: groupOfNames\n";
    ASSERT_EQ(Add(std::string("dn: ") + kH1 + "\n" + holder + "ou: h1\nmember: a\n"), 0);
    ASSERT_EQ(Add(std::string("dn: ") + kH2 + "\n" + holder + "ou: h2\nmember: a\nmember: b\n"), 0);
    ASSERT_EQ(Add(std::string("dn: ") + kH3 + "\n" + holder + "ou: h3\n"), 0);

    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) threads.emplace_back([this, t] { Work(t); });
    threads.emplace_back([this] { ChurnHolderMembers(); });
    for (std::thread &th : threads) th.join();

    // Recount from what the directory holds now.
    int persons[2] = {0, 0};   // below h2, below h3
    int members[2] = {0, 0};   // of counted leaves below h2, h3
    for (int t = 0; t < kThreads; ++t) {
        for (int leaf = 0; leaf < kLeavesPerThread; ++leaf) {
            const std::string dn = LeafDn(t, leaf);
            if (Has(dn, "person")) ++persons[leaf % 2];
            if (Has(dn, "groupOfNames")) {
                const int n = NumValues(dn, "member");
                members[leaf % 2] += n;
                EXPECT_EQ(Value(dn, "memberCount"), std::to_string(n)) << dn;
            }
        }
    }
    EXPECT_EQ(Value(kH2, "entryCount"), std::to_string(persons[0]));
    EXPECT_EQ(Value(kH3, "entryCount"), std::to_string(persons[1]));
    EXPECT_EQ(Value(kH1, "entryCount"), std::to_string(persons[0] + persons[1]));
    const int own2 = NumValues(kH2, "member");
    const int own3 = NumValues(kH3, "member");
    EXPECT_EQ(Value(kH2, "memberCount"), std::to_string(own2 + members[0]));
    EXPECT_EQ(Value(kH3, "memberCount"), std::to_string(own3 + members[1]));
    EXPECT_EQ(Value(kH1, "memberCount"),
              std::to_string(NumValues(kH1, "member") + own2 + own3 + members[0] + members[1]));
    for (const char *code : {"20", "21", "23", "33", "34"}) {
        EXPECT_EQ(CountLogged(std::string("utils - Internal error: ") + code), 0) << code;
    }
}

// The handlers of an add are held up (by the probe, loaded before nodetally)
// while a delete of the same entry comes in.  The delete must wait until
// they are done; run before them, its handlers would take the entry off a
// holder that does not count it yet, and the add's handlers would then
// leave the holder counting an entry that is gone.
TEST_F(StressTest, HandlersOfAnAddAndADeleteOfOneEntryRunInTheirOrder) {
    const std::string leaf = std::string("cn=x,") + kH1;
    ASSERT_NE(Load("probe_plugin", "probe_init", {"name=G", "hold=" + leaf, "holdms=5000"}), nullptr);
    Load("nodetally", kNodetallyInit,
         {"counterAttribute=entryCount", "counterObjectClass=counterHolder", "requiredObjectClass=person"});
    void *probe = dlopen(PluginPath("probe_plugin").c_str(), RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(probe, nullptr);
    auto clear = reinterpret_cast<void (*)()>(dlsym(probe, "probe_clear"));
    auto count = reinterpret_cast<int (*)()>(dlsym(probe, "probe_event_count"));
    auto release = reinterpret_cast<void (*)()>(dlsym(probe, "probe_release"));
    clear();
    ASSERT_EQ(hv_dir_add_suffix("dc=example,dc=com"), 0);
    ASSERT_EQ(Add("dn: dc=example,dc=com\nobjectclass: domain\ndc: example\n"), 0);
    ASSERT_EQ(Add(std::string("dn: ") + kH1 + "\nobjectclass: organizationalUnit\nobjectclass: counterHolder\nou: h1\n"), 0);
    const int before = count();

    std::thread adder([&] { EXPECT_EQ(Add("dn: " + leaf + "\nobjectclass: person\ncn: x\nsn: x\n"), 0); });
    // The add is in the directory and its handlers are held.
    for (int i = 0; i < 500 && count() == before; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_GT(count(), before);
    std::atomic<bool> deleted{false};
    std::thread deleter([&] {
        EXPECT_EQ(Delete(leaf), 0);
        deleted = true;
    });
    // Give the delete time to overtake, as it would without the ordering.
    for (int i = 0; i < 30 && !deleted; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_FALSE(deleted) << "the delete finished while the add's handlers were held";
    release();
    adder.join();
    deleter.join();
    dlclose(probe);
    EXPECT_EQ(Value(kH1, "entryCount"), "0");
}

}  // namespace
}  // namespace hv::plugins::testing
