// Both plug-ins loaded into one process with RTLD_GLOBAL: each keeps its own
// utilities and locks.  This binary interposes the host's mutex calls (it
// exports them, so the plug-ins bind to these first) to see which plug-in's
// locks every counter update takes.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "common/export.h"
#include "plugins/plugin_test_env.h"

namespace {

std::mutex recordMu;
std::string creatingFor;                         // plug-in being loaded
std::map<Slapi_Mutex *, std::string> mutexOwner;  // by the plug-in that made it
std::vector<Slapi_Mutex *> locked;               // in lock order

template <class F>
F Next(const char *name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

std::vector<std::string> OwnersLockedSince(std::size_t from) {
    std::lock_guard<std::mutex> hold(recordMu);
    std::vector<std::string> owners;
    for (std::size_t i = from; i < locked.size(); ++i) {
        auto it = mutexOwner.find(locked[i]);
        owners.push_back(it == mutexOwner.end() ? "?" : it->second);
    }
    return owners;
}

std::size_t LockCount() {
    std::lock_guard<std::mutex> hold(recordMu);
    return locked.size();
}

}  // namespace

extern "C" HV_EXPORT Slapi_Mutex *slapi_new_mutex(void) {
    static auto next = Next<Slapi_Mutex *(*)(void)>("slapi_new_mutex");
    Slapi_Mutex *m = next();
    std::lock_guard<std::mutex> hold(recordMu);
    mutexOwner[m] = creatingFor;
    return m;
}

extern "C" HV_EXPORT void slapi_lock_mutex(Slapi_Mutex *m) {
    static auto next = Next<void (*)(Slapi_Mutex *)>("slapi_lock_mutex");
    {
        std::lock_guard<std::mutex> hold(recordMu);
        locked.push_back(m);
    }
    next(m);
}

namespace hv::plugins::testing {
namespace {

class IsolationTest : public PluginHostTest {
  protected:
    void LoadAs(const std::string &name, const char *initfn, const std::vector<std::string> &args) {
        {
            std::lock_guard<std::mutex> hold(recordMu);
            creatingFor = name;
        }
        Load(name, initfn, args, RTLD_GLOBAL);
        std::lock_guard<std::mutex> hold(recordMu);
        creatingFor.clear();
    }
    static void *Handle(const std::string &name) { return dlopen(PluginPath(name).c_str(), RTLD_NOW | RTLD_NOLOAD); }
};

TEST_F(IsolationTest, EachPluginKeepsItsOwnUtilitiesAndLocks) {
    LoadAs("nodetally", kNodetallyInit,
           {"counterAttribute=entryCount", "counterObjectClass=counterHolder", "requiredObjectClass=person"});
    LoadAs("attrtally", kAttrtallyInit,
           {"memberAttribute=member", "counterAttribute=memberCount", "requiredObjectClass=groupOfNames",
            "updateParents=true"});
    void *node = Handle("nodetally");
    void *attr = Handle("attrtally");
    ASSERT_NE(node, nullptr);
    ASSERT_NE(attr, nullptr);

    for (const char *name : {"initCounterLock", "op_error", "updateCounter", "updateCounterByDN", "cacheFind"}) {
        void *a = dlsym(node, name);
        void *b = dlsym(attr, name);
        ASSERT_NE(a, nullptr) << name;
        ASSERT_NE(b, nullptr) << name;
        EXPECT_NE(a, b) << name;
    }
    // Loaded globally, the first plug-in's copies are what a plain lookup of
    // the names finds: exactly what attrtally must not bind to.
    EXPECT_EQ(dlsym(RTLD_DEFAULT, "updateCounterByDN"), dlsym(node, "updateCounterByDN"));

    ASSERT_EQ(hv_dir_add_suffix("dc=example,dc=com"), 0);
    ASSERT_EQ(Add("dn: dc=example,dc=com\nobjectclass: domain\ndc: example\n"), 0);
    ASSERT_EQ(Add("dn: ou=h,dc=example,dc=com\nobjectclass: counterHolder\nou: h\n"), 0);
    ASSERT_EQ(Add("dn: cn=g,dc=example,dc=com\nobjectclass: groupOfNames\ncn: g\nmember: a\n"), 0);

    // Only nodetally updates counters for this add.
    std::size_t from = LockCount();
    ASSERT_EQ(Add("dn: cn=p,ou=h,dc=example,dc=com\nobjectclass: person\ncn: p\nsn: p\n"), 0);
    std::vector<std::string> owners = OwnersLockedSince(from);
    EXPECT_FALSE(owners.empty());
    EXPECT_EQ(std::count(owners.begin(), owners.end(), "nodetally"), static_cast<long>(owners.size()));
    EXPECT_EQ(Value("ou=h,dc=example,dc=com", "entryCount"), "1");

    // Only attrtally updates counters for this one.
    from = LockCount();
    ASSERT_EQ(Add("dn: cn=s,cn=g,dc=example,dc=com\nobjectclass: groupOfNames\ncn: s\nmember: b\nmember: c\n"), 0);
    owners = OwnersLockedSince(from);
    EXPECT_FALSE(owners.empty());
    EXPECT_EQ(std::count(owners.begin(), owners.end(), "attrtally"), static_cast<long>(owners.size()));
    EXPECT_EQ(Value("cn=g,dc=example,dc=com", "memberCount"), "3");
    EXPECT_EQ(Value("cn=s,cn=g,dc=example,dc=com", "memberCount"), "2");

    // A utility called through a plug-in's handle uses that plug-in's locks.
    for (const std::string name : {"nodetally", "attrtally"}) {
        auto update = reinterpret_cast<int (*)(const char *, const char *, int)>(dlsym(Handle(name), "updateCounterByDN"));
        ASSERT_NE(update, nullptr);
        from = LockCount();
        EXPECT_EQ(update("cn=g,dc=example,dc=com", "memberCount", 1), 0);
        owners = OwnersLockedSince(from);
        ASSERT_EQ(owners.size(), 2u) << name;  // counterDnLock, then counterLock
        EXPECT_EQ(owners[0], name);
        EXPECT_EQ(owners[1], name);
    }
    EXPECT_EQ(Value("cn=g,dc=example,dc=com", "memberCount"), "5");
    // The handles taken with RTLD_NOLOAD add references of their own.
    for (int i = 0; i < 4; ++i) dlclose(i % 2 == 0 ? node : attr);
}

}  // namespace
}  // namespace hv::plugins::testing
