// The counter utilities as a plug-in file exports them, called through the
// loaded nodetally.so against the host's directory.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <string>

#include "plugins/counter_utils.h"
#include "plugins/plugin_test_env.h"

namespace hv::plugins::testing {
namespace {

const char kC[] = "cn=c,dc=example,dc=com";

struct Utils {
    decltype(&::op_error) op_error;
    decltype(&::initCounterLock) initCounterLock;
    decltype(&::entryHasObjectClass) entryHasObjectClass;
    decltype(&::dnHasObjectClass) dnHasObjectClass;
    decltype(&::dnHasAttribute) dnHasAttribute;
    decltype(&::readPblockAndEntry) readPblockAndEntry;
    decltype(&::setCounter) setCounter;
    decltype(&::updateCounter) updateCounter;
    decltype(&::updateCounterByDN) updateCounterByDN;
    decltype(&::cacheInit) cacheInit;
    decltype(&::cacheAdd) cacheAdd;
    decltype(&::cacheRemove) cacheRemove;
    decltype(&::cacheDelete) cacheDelete;
    decltype(&::cacheFind) cacheFind;
};

template <class F>
void Bind(void *handle, const char *name, F *out) {
    *out = reinterpret_cast<F>(dlsym(handle, name));
    ASSERT_NE(*out, nullptr) << name;
}

void ReleaseBlock(Slapi_PBlock *pb) {
    slapi_free_search_results_internal(pb);
    slapi_pblock_destroy(pb);
}

class CounterUtilsTest : public PluginHostTest {
  protected:
    void SetUp() override {
        PluginHostTest::SetUp();
        Load("nodetally", kNodetallyInit, {"counterAttribute=c", "counterObjectClass=x", "requiredObjectClass=y"});
        handle_ = dlopen(PluginPath("nodetally").c_str(), RTLD_NOW | RTLD_NOLOAD);
        ASSERT_NE(handle_, nullptr);
        Bind(handle_, "op_error", &u.op_error);
        Bind(handle_, "initCounterLock", &u.initCounterLock);
        Bind(handle_, "entryHasObjectClass", &u.entryHasObjectClass);
        Bind(handle_, "dnHasObjectClass", &u.dnHasObjectClass);
        Bind(handle_, "dnHasAttribute", &u.dnHasAttribute);
        Bind(handle_, "readPblockAndEntry", &u.readPblockAndEntry);
        Bind(handle_, "setCounter", &u.setCounter);
        Bind(handle_, "updateCounter", &u.updateCounter);
        Bind(handle_, "updateCounterByDN", &u.updateCounterByDN);
        Bind(handle_, "cacheInit", &u.cacheInit);
        Bind(handle_, "cacheAdd", &u.cacheAdd);
        Bind(handle_, "cacheRemove", &u.cacheRemove);
        Bind(handle_, "cacheDelete", &u.cacheDelete);
        Bind(handle_, "cacheFind", &u.cacheFind);
        ASSERT_EQ(hv_dir_add_suffix("dc=example,dc=com"), 0);
        ASSERT_EQ(Add("dn: dc=example,dc=com\nobjectclass: domain\ndc: example\n"), 0);
        ClearLog();
    }
    void TearDown() override {
        if (handle_ != nullptr) dlclose(handle_);
        PluginHostTest::TearDown();
    }
    // Stores cn=c with the given counter values and updates it from the
    // stored entry, as the callers do.
    std::string Update(const std::vector<std::string> &stored, int increment, int expect_rc = 0) {
        Delete(kC);
        std::string ldif = std::string("dn: ") + kC + "\nobjectclass: device\ncn: c\n";
        for (const std::string &v : stored) ldif += "cnt: " + v + "\n";
        EXPECT_EQ(Add(ldif), 0);
        Slapi_Entry *e = hv_dir_get_entry(kC);
        EXPECT_EQ(u.updateCounter(e, "cnt", increment), expect_rc);
        slapi_entry_free(e);
        return Value(kC, "cnt");
    }

    void *handle_ = nullptr;
    Utils u{};
};

TEST_F(CounterUtilsTest, UpdateCounterReadsLikeAtoiAndClampsAtZero) {
    EXPECT_EQ(Update({}, 1), "1");
    EXPECT_EQ(Update({}, -1), "0");
    EXPECT_EQ(Update({"12abc"}, 0), "12");
    EXPECT_EQ(Update({"abc"}, 1), "1");
    EXPECT_EQ(Update({" -3"}, 5), "2");
    EXPECT_EQ(Update({"99999999999999"}, 1), "2147483647");
    EXPECT_EQ(Update({"2147483647"}, 10), "2147483647");
    ClearLog();
    EXPECT_EQ(Update({"5"}, -7), "0");
    EXPECT_TRUE(Logged("utils - adjusted cnt in cn=c,dc=example,dc=com by -7 to 0")) << LogText();
    EXPECT_EQ(Update({"7", "9"}, 1), "8");
    EXPECT_EQ(NumValues(kC, "cnt"), 1);
}

TEST_F(CounterUtilsTest, RefusedWriteFailsWithCode34AndFreesTheLock) {
    hv_dir_refuse_attribute("cnt", 1);
    ASSERT_EQ(Add(std::string("dn: ") + kC + "\nobjectclass: device\ncn: c\n"), 0);
    Slapi_Entry *e = hv_dir_get_entry(kC);
    EXPECT_EQ(u.updateCounter(e, "cnt", 1), 1);
    EXPECT_EQ(u.setCounter(e, "cnt", 4), 1);
    EXPECT_EQ(CountLogged("utils - Internal error: 34"), 2);
    EXPECT_EQ(CountContaining("adjusted"), 0);
    hv_dir_refuse_attribute("cnt", 0);
    EXPECT_EQ(u.updateCounter(e, "cnt", 1), 0);  // would hang on a held lock
    EXPECT_EQ(u.setCounter(e, "cnt", 4), 0);
    slapi_entry_free(e);
    EXPECT_EQ(Value(kC, "cnt"), "4");
}

TEST_F(CounterUtilsTest, UpdateCounterByDnStartsFromTheStoredValue) {
    ASSERT_EQ(Add(std::string("dn: ") + kC + "\nobjectclass: device\ncn: c\ncnt: 41\n"), 0);
    EXPECT_EQ(u.updateCounterByDN(kC, "cnt", 1), 0);
    EXPECT_EQ(Value(kC, "cnt"), "42");
    ClearLog();
    EXPECT_EQ(u.updateCounterByDN("cn=gone,dc=example,dc=com", "cnt", 1), 1);
    EXPECT_TRUE(Logged("utils - Internal error: 22"));
}

TEST_F(CounterUtilsTest, DnTests) {
    ASSERT_EQ(Add(std::string("dn: ") + kC + "\nobjectclass: device\ncn: c\n"), 0);
    Slapi_PBlock *pb = u.dnHasObjectClass(kC, "DEVICE");
    ASSERT_NE(pb, nullptr);
    Slapi_Entry **entries = nullptr;
    ASSERT_EQ(slapi_pblock_get(pb, SLAPI_PLUGIN_INTOP_SEARCH_ENTRIES, &entries), 0);
    ASSERT_NE(entries[0], nullptr);
    EXPECT_EQ(u.entryHasObjectClass(nullptr, entries[0], "Device"), 1);
    EXPECT_EQ(u.entryHasObjectClass(nullptr, entries[0], "devic"), 0);
    ReleaseBlock(pb);

    EXPECT_EQ(u.dnHasObjectClass(kC, "person"), nullptr);
    EXPECT_EQ(CountContaining("Internal error"), 0);
    EXPECT_EQ(u.dnHasObjectClass("cn=gone,dc=example,dc=com", "device"), nullptr);
    EXPECT_TRUE(Logged("utils - Internal error: 22"));

    pb = u.dnHasAttribute(kC, "cn");
    ASSERT_NE(pb, nullptr);
    ReleaseBlock(pb);
    EXPECT_EQ(u.dnHasAttribute(kC, "cnt"), nullptr);
    ClearLog();
    EXPECT_EQ(u.dnHasAttribute("cn=gone,dc=example,dc=com", "cn"), nullptr);
    EXPECT_TRUE(Logged("utils - Internal error: 22"));

    // The block of a failed search still comes back, without entries.
    ClearLog();
    char attr[] = "cn";
    char *attrs[] = {attr, nullptr};
    pb = u.readPblockAndEntry("cn=gone,dc=example,dc=com", "objectclass=*", attrs);
    ASSERT_NE(pb, nullptr);
    EXPECT_TRUE(Logged("utils - Internal error: 22"));
    ReleaseBlock(pb);
}

TEST_F(CounterUtilsTest, NamesTooLongForAFilterAreRefused) {
    ASSERT_EQ(Add(std::string("dn: ") + kC + "\nobjectclass: device\ncn: c\n"), 0);
    const std::string longName(1011, 'a');  // "objectclass=" makes 1023
    EXPECT_EQ(u.dnHasObjectClass(kC, longName.c_str()), nullptr);
    EXPECT_EQ(CountContaining("too long"), 0);
    const std::string tooLong(1012, 'a');
    EXPECT_EQ(u.dnHasObjectClass(kC, tooLong.c_str()), nullptr);
    EXPECT_EQ(u.dnHasAttribute(kC, std::string(5000, 'b').c_str()), nullptr);
    EXPECT_EQ(CountContaining("too long for a filter"), 2) << LogText();
}

// Lines longer than a short buffer come out whole; with the plug-in level
// off nothing is written.
TEST_F(CounterUtilsTest, LogLinesFollowThePluginLevel) {
    const std::string longDn = "cn=" + std::string(700, 'q') + ",dc=example,dc=com";
    ASSERT_EQ(Add("dn: " + longDn + "\nobjectclass: device\n"), 0);
    EXPECT_EQ(CountContaining("POSTOP PROLOG target=" + longDn), 1) << LogText();
    const std::string tooLong(3000, 'z');
    EXPECT_EQ(u.op_error(42), 1);
    EXPECT_EQ(CountLogged("utils - Internal error: 42"), 1) << LogText();
    ClearLog();
    hv_log_enable(SLAPI_LOG_PLUGIN, 0);
    EXPECT_EQ(u.op_error(42), 1);
    EXPECT_EQ(u.dnHasAttribute(kC, tooLong.c_str()), nullptr);
    EXPECT_EQ(LogText(), "");
}

TEST_F(CounterUtilsTest, CacheListKeepsInsertionOrder) {
    CacheNode *head = u.cacheInit();
    ASSERT_NE(head, nullptr);
    EXPECT_EQ(u.cacheFind(head, ""), head);
    char *unowned = slapi_ch_strdup("k");
    EXPECT_EQ(u.cacheAdd(nullptr, unowned, 1), nullptr);  // without a head the key stays the caller's
    slapi_ch_free_string(&unowned);
    CacheNode *first = u.cacheAdd(head, slapi_ch_strdup("k"), 1);
    CacheNode *second = u.cacheAdd(head, slapi_ch_strdup("k"), 2);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(u.cacheFind(head, "k"), first);
    EXPECT_EQ(u.cacheFind(head, "K"), nullptr);
    EXPECT_EQ(u.cacheDelete(head, "absent"), 1);
    char *key = u.cacheRemove(head, "k");
    ASSERT_NE(key, nullptr);
    EXPECT_STREQ(key, "k");
    slapi_ch_free_string(&key);
    ASSERT_EQ(u.cacheFind(head, "k"), second);
    EXPECT_EQ(u.cacheFind(head, "k")->value, 2);
    EXPECT_EQ(u.cacheDelete(head, "k"), 0);
    EXPECT_EQ(u.cacheFind(head, "k"), nullptr);
    EXPECT_EQ(head->next, nullptr);
    EXPECT_EQ(u.cacheRemove(head, ""), nullptr);  // the head stays
    slapi_ch_free_string(&head->key);
    slapi_ch_free(reinterpret_cast<void **>(&head));
}

}  // namespace
}  // namespace hv::plugins::testing
