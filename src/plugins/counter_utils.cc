// Entry tests, counter writes, locks and the string-keyed list of the counter
// plug-ins.  Every plug-in file compiles its own copy, so the module state
// below (the three locks) is per plug-in.
#include "plugins/counter_utils.h"

#include <climits>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "common/string_format.h"
#include "plugins/c_boundary.h"
#include "plugins/plugin_log.h"

namespace {

constexpr char kUtils[] = "utils";

// Filters are limited to what the server's 1024-byte filter buffer held.
constexpr std::size_t kMaxFilterLength = 1023;

Slapi_Mutex *counterLock = nullptr;
Slapi_Mutex *counterDnLock = nullptr;
Slapi_Mutex *cacheLock = nullptr;
std::once_flag cacheLockOnce;

// Holds a host mutex from construction until Release() or destruction.
class MutexHold {
  public:
    explicit MutexHold(Slapi_Mutex *m) : m_(m) { slapi_lock_mutex(m_); }
    ~MutexHold() { Release(); }
    MutexHold(const MutexHold &) = delete;
    MutexHold &operator=(const MutexHold &) = delete;
    void Release() {
        if (m_ != nullptr) slapi_unlock_mutex(m_);
        m_ = nullptr;
    }

  private:
    Slapi_Mutex *m_;
};

// Search results and block of an internal search, released together.
void ReleaseSearch(Slapi_PBlock *pb) {
    if (pb == nullptr) return;
    slapi_free_search_results_internal(pb);
    slapi_pblock_destroy(pb);
}

bool BuildFilter(std::string *out, const char *fmt, const char *name) {
    if (name == nullptr) return false;
    *out = hv::Format(fmt, name);
    if (out->size() <= kMaxFilterLength) return true;
    hv::plugins::Log(kUtils, "name of %zu bytes is too long for a filter; test refused\n",
                     std::strlen(name));
    return false;
}

Slapi_PBlock *SearchBase(const char *dn, const std::string &filter, char **attrs) {
    return slapi_search_internal(const_cast<char *>(dn), LDAP_SCOPE_BASE,
                                 const_cast<char *>(filter.c_str()), nullptr, attrs, 0);
}

// atoi's reading of a counter text, bounded by the value's length and
// clamped to int instead of overflowing.
int ParseCounterText(const char *s, std::size_t len) {
    std::size_t i = 0;
    while (i < len && (s[i] == ' ' || (s[i] >= '\t' && s[i] <= '\r'))) ++i;
    bool negative = false;
    if (i < len && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
    long long v = 0;
    for (; i < len && s[i] >= '0' && s[i] <= '9'; ++i) {
        v = v * 10 + (s[i] - '0');
        if (v > static_cast<long long>(INT_MAX) + 1) break;
    }
    if (negative) v = -v;
    if (v > INT_MAX) return INT_MAX;
    if (v < INT_MIN) return INT_MIN;
    return static_cast<int>(v);
}

// The counter as the entry holds it: its first value, 0 when there is none.
int ReadCounter(Slapi_Entry *e, const char *attrName) {
    Slapi_Attr *attr = nullptr;
    if (slapi_entry_attr_find(e, attrName, &attr) != 0 || attr == nullptr) return 0;
    Slapi_Value *v = nullptr;
    if (slapi_attr_first_value(attr, &v) == -1 || v == nullptr) return 0;
    const struct berval *bv = slapi_value_get_berval(v);
    if (bv == nullptr || bv->bv_val == nullptr) return 0;
    return ParseCounterText(bv->bv_val, bv->bv_len);
}

// Replaces the counter attribute of dn by the one decimal text of value.
// 0 on success, else the op_error result (33 or 34 logged).
int WriteCounter(const char *dn, const char *attrName, int value) {
    char text[16];
    std::snprintf(text, sizeof text, "%d", value);
    char *values[] = {text, nullptr};
    LDAPMod mod{};
    mod.mod_op = LDAP_MOD_REPLACE;
    mod.mod_type = const_cast<char *>(attrName);
    mod.mod_values = values;
    LDAPMod *mods[] = {&mod, nullptr};
    Slapi_PBlock *pb = slapi_modify_internal(const_cast<char *>(dn), mods, nullptr, 1);
    int rc = 0;
    int result = 0;
    if (pb == nullptr || slapi_pblock_get(pb, SLAPI_PLUGIN_INTOP_RESULT, &rc) != 0) {
        result = op_error(33);
    } else if (rc != 0) {
        result = op_error(34);
    }
    if (pb != nullptr) slapi_pblock_destroy(pb);
    return result;
}

// Common part of dnHasObjectClass and dnHasAttribute once the search ran:
// the block when it holds an entry, else none (block released).
Slapi_PBlock *KeepIfEntryFound(Slapi_PBlock *pb) {
    Slapi_Entry **entries = nullptr;
    if (slapi_pblock_get(pb, SLAPI_PLUGIN_INTOP_SEARCH_ENTRIES, &entries) != 0) {
        op_error(23);
        entries = nullptr;
    }
    if (entries == nullptr || entries[0] == nullptr) {
        ReleaseSearch(pb);
        return nullptr;
    }
    return pb;
}

// Runs fn on the entry at dn as stored now, re-read under counterDnLock with
// the counter attribute alone, and holds the lock until fn returns.  1 when
// the entry cannot be read (codes 20 to 23 logged), else fn's result.
template <typename Fn>
int WithStoredCounter(const char *dn, const char *attrName, Fn fn) {
    if (counterDnLock == nullptr) {
        hv::plugins::Log(kUtils, "counter locks are not initialised\n");
        return 1;
    }
    MutexHold hold(counterDnLock);
    char *attrs[] = {const_cast<char *>(attrName), nullptr};
    Slapi_PBlock *pb = SearchBase(dn, "objectclass=*", attrs);
    int result = 1;
    int rc = 0;
    Slapi_Entry **entries = nullptr;
    if (pb == nullptr) {
        op_error(20);
    } else if (slapi_pblock_get(pb, SLAPI_PLUGIN_INTOP_RESULT, &rc) != 0) {
        op_error(21);
    } else if (rc != 0) {
        op_error(22);
    } else if (slapi_pblock_get(pb, SLAPI_PLUGIN_INTOP_SEARCH_ENTRIES, &entries) != 0 ||
               entries == nullptr || entries[0] == nullptr) {
        op_error(23);
    } else {
        result = fn(entries[0]);
    }
    hold.Release();
    ReleaseSearch(pb);
    return result;
}

Slapi_Mutex *CacheLock() {
    // call_once may throw; the callers treat no lock as failure.
    return hv::plugins::CallFromC<Slapi_Mutex *>(kUtils, nullptr, [] {
        std::call_once(cacheLockOnce, [] { cacheLock = slapi_new_mutex(); });
        return cacheLock;
    });
}

}  // namespace

extern "C" {

int op_error(int code) {
    hv::plugins::Log(kUtils, "Internal error: %d\n", code);
    return 1;
}

int initCounterLock(void) {
    if (counterLock == nullptr) {
        counterLock = slapi_new_mutex();
        if (counterLock == nullptr) return 200;
    }
    if (counterDnLock == nullptr) {
        counterDnLock = slapi_new_mutex();
        if (counterDnLock == nullptr) return 200;
    }
    return 0;
}

Slapi_PBlock *readPblockAndEntry(const char *baseDN, const char *filter, char *attrs[]) {
    Slapi_PBlock *pb = slapi_search_internal(const_cast<char *>(baseDN), LDAP_SCOPE_BASE,
                                             const_cast<char *>(filter), nullptr, attrs, 0);
    if (pb == nullptr) {
        op_error(20);
        return nullptr;
    }
    int rc = 0;
    if (slapi_pblock_get(pb, SLAPI_PLUGIN_INTOP_RESULT, &rc) != 0) {
        op_error(21);
    } else if (rc != 0) {
        op_error(22);
    }
    return pb;
}

int entryHasObjectClass(Slapi_PBlock * /*pb*/, Slapi_Entry *e, const char *objectClass) {
    if (e == nullptr || objectClass == nullptr) return 0;
    Slapi_Attr *attr = nullptr;
    if (slapi_entry_attr_find(e, "objectclass", &attr) != 0 || attr == nullptr) return 0;
    const std::size_t want = std::strlen(objectClass);
    Slapi_Value *v = nullptr;
    for (int i = slapi_attr_first_value(attr, &v); i != -1; i = slapi_attr_next_value(attr, i, &v)) {
        const struct berval *bv = v != nullptr ? slapi_value_get_berval(v) : nullptr;
        if (bv == nullptr || bv->bv_val == nullptr) continue;
        if (bv->bv_len == want && strncasecmp(bv->bv_val, objectClass, want) == 0) return 1;
    }
    return 0;
}

Slapi_PBlock *dnHasObjectClass(const char *baseDN, const char *objectClass) {
    return hv::plugins::CallFromC<Slapi_PBlock *>(kUtils, nullptr, [&]() -> Slapi_PBlock * {
        std::string filter;
        if (!BuildFilter(&filter, "objectclass=%s", objectClass)) return nullptr;
        char objectclassAttr[] = "objectclass";
        char *attrs[] = {objectclassAttr, nullptr};
        Slapi_PBlock *pb = readPblockAndEntry(baseDN, filter.c_str(), attrs);
        if (pb == nullptr) return nullptr;
        return KeepIfEntryFound(pb);
    });
}

Slapi_PBlock *dnHasAttribute(const char *baseDN, const char *attrName) {
    return hv::plugins::CallFromC<Slapi_PBlock *>(kUtils, nullptr, [&]() -> Slapi_PBlock * {
        std::string filter;
        if (!BuildFilter(&filter, "%s=*", attrName)) return nullptr;
        char *attrs[] = {const_cast<char *>(attrName), nullptr};
        Slapi_PBlock *pb = SearchBase(baseDN, filter, attrs);
        if (pb == nullptr) {
            op_error(20);
            return nullptr;
        }
        int rc = 0;
        if (slapi_pblock_get(pb, SLAPI_PLUGIN_INTOP_RESULT, &rc) != 0 || rc != 0) {
            op_error(rc != 0 ? 22 : 21);
            ReleaseSearch(pb);
            return nullptr;
        }
        return KeepIfEntryFound(pb);
    });
}

int setCounter(Slapi_Entry *e, const char *attrName, int value) {
    return WriteCounter(slapi_entry_get_dn(e), attrName, value) == 0 ? 0 : 1;
}

int updateCounter(Slapi_Entry *e, const char *attrName, int increment) {
    if (counterLock == nullptr) {
        hv::plugins::Log(kUtils, "counter locks are not initialised\n");
        return 1;
    }
    MutexHold hold(counterLock);
    const long long sum = static_cast<long long>(ReadCounter(e, attrName)) + increment;
    const int value = sum < 0 ? 0 : (sum > INT_MAX ? INT_MAX : static_cast<int>(sum));
    const char *dn = slapi_entry_get_dn(e);
    if (WriteCounter(dn, attrName, value) != 0) return 1;
    hold.Release();
    hv::plugins::Log(kUtils, "adjusted %s in %s by %d to %d\n", attrName, dn,
                    increment, value);
    return 0;
}


int updateCounterByDN(const char *dn, const char *attrName, int increment) {
    return hv::plugins::CallFromC(kUtils, 1, [&] {
        return WithStoredCounter(dn, attrName,
                                 [&](Slapi_Entry *stored) { return updateCounter(stored, attrName, increment); });
    });
}

CacheNode *cacheInit(void) {
    Slapi_Mutex *lock = CacheLock();
    if (lock == nullptr) return nullptr;
    MutexHold hold(lock);
    auto *head = reinterpret_cast<CacheNode *>(slapi_ch_malloc(sizeof(CacheNode)));
    head->key = slapi_ch_strdup("");
    head->value = 0;
    head->next = nullptr;
    return head;
}

CacheNode *cacheAdd(CacheNode *head, char *key, intptr_t value) {
    if (head == nullptr) return nullptr;
    Slapi_Mutex *lock = CacheLock();
    if (lock == nullptr) return nullptr;
    MutexHold hold(lock);
    CacheNode *last = head;
    while (last->next != nullptr) last = last->next;
    auto *node = reinterpret_cast<CacheNode *>(slapi_ch_malloc(sizeof(CacheNode)));
    node->key = key;
    node->value = value;
    node->next = nullptr;
    last->next = node;
    return node;
}

char *cacheRemove(CacheNode *head, const char *key) {
    if (head == nullptr || key == nullptr) return nullptr;
    Slapi_Mutex *lock = CacheLock();
    if (lock == nullptr) return nullptr;
    MutexHold hold(lock);
    for (CacheNode *prev = head; prev->next != nullptr; prev = prev->next) {
        CacheNode *node = prev->next;
        if (std::strcmp(node->key, key) != 0) continue;
        prev->next = node->next;
        char *removed = node->key;
        slapi_ch_free(reinterpret_cast<void **>(&node));
        return removed;
    }
    return nullptr;
}

int cacheDelete(CacheNode *head, const char *key) {
    char *removed = cacheRemove(head, key);
    if (removed == nullptr) return 1;
    slapi_ch_free_string(&removed);
    return 0;
}

CacheNode *cacheFind(CacheNode *head, const char *key) {
    if (head == nullptr || key == nullptr) return nullptr;
    Slapi_Mutex *lock = CacheLock();
    if (lock == nullptr) return nullptr;
    MutexHold hold(lock);
    for (CacheNode *node = head; node != nullptr; node = node->next) {
        if (std::strcmp(node->key, key) == 0) return node;
    }
    return nullptr;
}

}  // extern "C"

namespace hv::plugins {

int SetOwnCounter(Slapi_Entry *asLeft, const char *attrName, int value,
                  std::optional<int> adjustedBy) {
    const char *dn = slapi_entry_get_dn(asLeft);
    const int baseline = ReadCounter(asLeft, attrName);
    int written = 0;
    const int result = WithStoredCounter(dn, attrName, [&](Slapi_Entry *stored) {
        MutexHold hold(counterLock);
        const long long sum = static_cast<long long>(value) + ReadCounter(stored, attrName) - baseline;
        written = sum < 0 ? 0 : (sum > INT_MAX ? INT_MAX : static_cast<int>(sum));
        return WriteCounter(dn, attrName, written) == 0 ? 0 : 1;
    });
    // Written, like updateCounter's line, once the locks are free.
    if (result == 0 && adjustedBy.has_value()) {
        hv::plugins::Log(kUtils, "adjusted %s in %s by %d to %d\n", attrName, dn, *adjustedBy,
                         written);
    }
    return result;
}

}  // namespace hv::plugins
