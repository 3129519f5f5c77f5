// Helpers for the directory and plug-in tests: building modification lists
// that own their texts, adding entries from LDIF, and reading what the probe
// plug-in recorded.  Not thread-safe unless stated.
#ifndef HV_HOST_DIRECTORY_TEST_UTIL_H
#define HV_HOST_DIRECTORY_TEST_UTIL_H

#include <dlfcn.h>

#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "hv/slapi-host.h"

namespace hvtest {

// A modification list; each Add* appends one LDAPMod.  The list stays valid
// while the object lives.
class Mods {
  public:
    Mods &Add(int op, const std::string &type, const std::vector<std::string> &values) {
        Item &it = items_.emplace_back();
        it.type = type;
        it.values = values;
        for (std::string &v : it.values) it.ptrs.push_back(v.data());
        it.ptrs.push_back(nullptr);
        it.mod.mod_op = op;
        it.mod.mod_type = it.type.data();
        it.mod.mod_values = values.empty() ? nullptr : it.ptrs.data();
        return *this;
    }
    // Values given as bervals (LDAP_MOD_BVALUES), so they may hold NULs.
    Mods &AddBinary(int op, const std::string &type, const std::vector<std::string> &values) {
        Item &it = items_.emplace_back();
        it.type = type;
        it.values = values;
        for (std::string &v : it.values) it.bvs.push_back(berval{static_cast<ber_len_t>(v.size()), v.data()});
        for (berval &b : it.bvs) it.bvptrs.push_back(&b);
        it.bvptrs.push_back(nullptr);
        it.mod.mod_op = op | LDAP_MOD_BVALUES;
        it.mod.mod_type = it.type.data();
        it.mod.mod_bvalues = it.bvptrs.data();
        return *this;
    }
    LDAPMod **get() {
        list_.clear();
        for (Item &it : items_) list_.push_back(&it.mod);
        list_.push_back(nullptr);
        return list_.data();
    }

  private:
    struct Item {
        std::string type;
        std::vector<std::string> values;
        std::vector<char *> ptrs;
        std::vector<berval> bvs;
        std::vector<berval *> bvptrs;
        LDAPMod mod{};
    };
    std::deque<Item> items_;
    std::vector<LDAPMod *> list_;
};

inline int AddLdif(const std::string &ldif, int flags = 0, hv_op_result *res = nullptr) {
    return hv_op_add_ldif(ldif.c_str(), flags, res);
}

// "dn: <dn>\nobjectclass: top\n..." with extra lines appended.
inline std::string Ldif(const std::string &dn, const std::string &extra = "") {
    return "dn: " + dn + "\nobjectclass: top\n" + extra;
}

// Values of type in the stored entry at dn, in order; empty when absent.
inline std::vector<std::string> StoredValues(const std::string &dn, const std::string &type) {
    std::vector<std::string> out;
    Slapi_Entry *e = hv_dir_get_entry(dn.c_str());
    if (e == nullptr) return out;
    Slapi_Attr *a = nullptr;
    if (slapi_entry_attr_find(e, type.c_str(), &a) == 0) {
        Slapi_Value *v = nullptr;
        for (int i = slapi_attr_first_value(a, &v); i != -1; i = slapi_attr_next_value(a, i, &v)) {
            const berval *bv = slapi_value_get_berval(v);
            out.emplace_back(bv->bv_val, bv->bv_len);
        }
    }
    slapi_entry_free(e);
    return out;
}

inline std::string ProbePath() { return std::string(HV_BUILD_DIR) + "/lib/probe_plugin.so"; }

// The probe plug-in's recorded lines.  The plug-in must be loaded.
inline std::vector<std::string> ProbeEvents() {
    std::vector<std::string> out;
    void *h = dlopen(ProbePath().c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (h == nullptr) return out;
    auto count = reinterpret_cast<int (*)()>(dlsym(h, "probe_event_count"));
    auto event = reinterpret_cast<int (*)(int, char *, int)>(dlsym(h, "probe_event"));
    int n = count();
    for (int i = 0; i < n; ++i) {
        char buf[2048];
        if (event(i, buf, sizeof buf) == 0) out.emplace_back(buf);
    }
    dlclose(h);
    return out;
}

inline void ProbeClear() {
    void *h = dlopen(ProbePath().c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (h == nullptr) return;
    reinterpret_cast<void (*)()>(dlsym(h, "probe_clear"))();
    dlclose(h);
}

// Loads the probe with the given arguments; none on failure.
inline hv_plugin *LoadProbe(std::vector<std::string> args) {
    std::vector<char *> argv;
    for (std::string &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    hv_plugin *p = nullptr;
    if (hv_plugin_load(ProbePath().c_str(), "probe_init", static_cast<int>(args.size()),
                       argv.data(), 0, &p) != 0)
        return nullptr;
    return p;
}

}  // namespace hvtest

#endif  // HV_HOST_DIRECTORY_TEST_UTIL_H
