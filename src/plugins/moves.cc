#include "plugins/moves.h"

#include <set>
#include <string>

#include "plugins/ancestors.h"
#include "plugins/counter_utils.h"

namespace hv::plugins {

namespace {

std::string Folded(const char *dn) {
    std::string copy = dn == nullptr ? "" : dn;
    slapi_dn_normalize_case(copy.data());
    return std::string(copy.c_str());
}

std::set<std::string> Ancestors(const char *dn) {
    std::set<std::string> out;
    for (char *up = slapi_dn_parent(dn); up != nullptr;) {
        out.insert(Folded(up));
        char *next = slapi_dn_parent(up);
        slapi_ch_free_string(&up);
        up = next;
    }
    return out;
}

}  // namespace

bool CountSubtree(const char *dn, const char *objectClass, const char *memberAttribute,
                  long *total) {
    *total = 0;
    char filter[] = "(objectclass=*)";
    char oc[] = "objectclass";
    char *attrs[] = {oc, const_cast<char *>(memberAttribute), nullptr};
    Slapi_PBlock *pb = slapi_search_internal(const_cast<char *>(dn), LDAP_SCOPE_SUBTREE, filter,
                                             nullptr, attrs, 0);
    if (pb == nullptr) {
        op_error(20);
        return false;
    }
    int rc = -1;
    Slapi_Entry **found = nullptr;
    bool ok = slapi_pblock_get(pb, SLAPI_PLUGIN_INTOP_RESULT, &rc) == 0 && rc == 0 &&
              slapi_pblock_get(pb, SLAPI_PLUGIN_INTOP_SEARCH_ENTRIES, &found) == 0;
    if (!ok) op_error(22);
    for (int i = 0; ok && found != nullptr && found[i] != nullptr; ++i) {
        if (!entryHasObjectClass(nullptr, found[i], objectClass)) continue;
        if (memberAttribute == nullptr) {
            ++*total;
            continue;
        }
        Slapi_Attr *attr = nullptr;
        int n = 0;
        if (slapi_entry_attr_find(found[i], memberAttribute, &attr) == 0 && attr != nullptr) {
            slapi_attr_get_numvalues(attr, &n);
        }
        *total += n;
    }
    slapi_free_search_results_internal(pb);
    slapi_pblock_destroy(pb);
    return ok;
}

void ForEachMovedAncestor(const char *oldDn, const char *newDn, const char *objectClass,
                          const std::function<void(const char *dn, bool has_class, int side)> &visit) {
    const std::set<std::string> above_old = Ancestors(oldDn);
    const std::set<std::string> above_new = Ancestors(newDn);
    ForEachAncestor(oldDn, objectClass, [&](const char *dn, bool has_class) {
        if (above_new.count(Folded(dn)) == 0) visit(dn, has_class, -1);
    });
    ForEachAncestor(newDn, objectClass, [&](const char *dn, bool has_class) {
        visit(dn, has_class, above_old.count(Folded(dn)) == 0 ? +1 : 0);
    });
}

bool MovedEntry(Slapi_PBlock *pb, Slapi_Entry **pre, Slapi_Entry **post) {
    *pre = *post = nullptr;
    if (slapi_pblock_get(pb, SLAPI_ENTRY_PRE_OP, pre) != 0 ||
        slapi_pblock_get(pb, SLAPI_ENTRY_POST_OP, post) != 0) {
        op_error(53);
        return false;
    }
    return true;
}

bool SameParent(const char *oldDn, const char *newDn) {
    char *a = slapi_dn_parent(oldDn);
    char *b = slapi_dn_parent(newDn);
    const bool same = Folded(a) == Folded(b);
    slapi_ch_free_string(&a);
    slapi_ch_free_string(&b);
    return same;
}

}  // namespace hv::plugins
