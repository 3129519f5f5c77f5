// Entries: a DN with its normalized form and attributes in the order read.
// Value lists given to the *_sv calls are checked in full before anything
// changes, so a refused call leaves the entry as it was.
#include <algorithm>
#include <cstring>

#include "common/export.h"
#include "host/entry_internal.h"

namespace {

// Attributes the server keeps for itself: "*" does not return them.
bool IsOperational(std::string_view type) {
    static constexpr std::string_view kOperational[] = {
        "createTimestamp", "modifyTimestamp",   "creatorsName",    "modifiersName",
        "entryDN",         "entryUUID",         "entryCSN",        "subschemaSubentry",
        "hasSubordinates", "structuralObjectClass",
    };
    for (std::string_view op : kOperational) {
        if (hv::TypeEquals(type, op)) return true;
    }
    return false;
}

bool Requested(std::string_view type, char **attrs) {
    for (char **a = attrs; *a != nullptr; ++a) {
        std::string_view want(*a);
        if (want == "*" && !IsOperational(type)) return true;
        if (want == "+" && IsOperational(type)) return true;
        if (hv::TypeEquals(type, want)) return true;
    }
    return false;
}

std::size_t CountValues(Slapi_Value **vals) {
    std::size_t n = 0;
    if (vals != nullptr) {
        while (vals[n] != nullptr) ++n;
    }
    return n;
}

bool HasValue(const slapi_attr *a, std::string_view bytes) {
    if (a == nullptr) return false;
    return std::any_of(a->values.begin(), a->values.end(),
                       [&](const auto &v) { return hv::ValueMatches(*v, bytes); });
}

// True when some value of vals is present in a, or twice in vals.
bool AnyPresentOrRepeated(const slapi_attr *a, Slapi_Value **vals, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        if (HasValue(a, vals[i]->data)) return true;
        for (std::size_t j = 0; j < i; ++j) {
            if (hv::ValueMatches(*vals[j], vals[i]->data)) return true;
        }
    }
    return false;
}

void RemoveAttr(Slapi_Entry *e, const slapi_attr *a) {
    auto &attrs = e->attrs;
    attrs.erase(std::remove_if(attrs.begin(), attrs.end(), [&](const auto &p) { return p.get() == a; }),
                attrs.end());
}

}  // namespace

namespace hv {

void SetEntryDn(Slapi_Entry *e, std::string_view dn) {
    e->dn.assign(dn.data(), dn.size());
    if (!NormalizeDn(dn, &e->ndn)) {
        // Unparsable DNs still get a stable, comparable form.
        std::size_t b = dn.find_first_not_of(' ');
        std::size_t last = dn.find_last_not_of(' ');
        e->ndn = b == std::string_view::npos ? std::string() : AsciiLower(dn.substr(b, last - b + 1));
    }
}

slapi_attr *FindAttr(const Slapi_Entry *e, std::string_view type) {
    if (e == nullptr) return nullptr;
    for (const auto &a : e->attrs) {
        if (AsciiIEquals(a->type, type)) return a.get();
    }
    return nullptr;
}

slapi_attr *AppendAttr(Slapi_Entry *e, std::string_view type) {
    auto a = std::make_unique<slapi_attr>();
    a->type.assign(type.data(), type.size());
    e->attrs.push_back(std::move(a));
    return e->attrs.back().get();
}

void ShareEntry(Slapi_Entry *e) {
    e->shared = true;
    for (const auto &a : e->attrs) {
        a->shared = true;
        a->values.Freeze();
    }
}

std::unique_ptr<Slapi_Entry> CopyEntry(const Slapi_Entry &e) { return CopyEntryWith(e, nullptr); }

std::unique_ptr<Slapi_Entry> CopyEntryWith(const Slapi_Entry &e, char **attrs) {
    auto copy = std::make_unique<Slapi_Entry>();
    copy->dn = e.dn;
    copy->ndn = e.ndn;
    bool all = attrs == nullptr || attrs[0] == nullptr;
    for (const auto &a : e.attrs) {
        if (!all && !Requested(a->type, attrs)) continue;
        slapi_attr *na = AppendAttr(copy.get(), a->type);
        for (const slapi_value *v : a->values) na->values.push_back(NewValue(v->data));
    }
    return copy;
}

std::unique_ptr<Slapi_Entry> SnapshotEntry(const Slapi_Entry &e) {
    auto copy = std::make_unique<Slapi_Entry>();
    copy->dn = e.dn;
    copy->ndn = e.ndn;
    copy->attrs.reserve(e.attrs.size());
    for (const auto &a : e.attrs) AppendAttr(copy.get(), a->type)->values = a->values.Share();
    return copy;
}

}  // namespace hv

extern "C" {

HV_EXPORT Slapi_Entry *slapi_entry_alloc(void) { return new slapi_entry(); }

HV_EXPORT Slapi_Entry *slapi_entry_dup(const Slapi_Entry *e) {
    return e == nullptr ? nullptr : hv::CopyEntry(*e).release();
}

HV_EXPORT void slapi_entry_free(Slapi_Entry *e) { delete e; }

HV_EXPORT char *slapi_entry_get_dn(Slapi_Entry *e) { return e == nullptr ? nullptr : e->dn.data(); }

HV_EXPORT const char *slapi_entry_get_ndn(Slapi_Entry *e) {
    return e == nullptr ? nullptr : e->ndn.c_str();
}

HV_EXPORT void slapi_entry_set_dn(Slapi_Entry *e, char *dn) {
    if (e != nullptr && !e->shared) hv::SetEntryDn(e, dn == nullptr ? std::string_view() : std::string_view(dn));
    slapi_ch_free_string(&dn);
}

HV_EXPORT int slapi_entry_attr_find(const Slapi_Entry *e, const char *type, Slapi_Attr **attr) {
    slapi_attr *a = type == nullptr ? nullptr : hv::FindAttr(e, type);
    if (attr != nullptr) *attr = a;
    return a == nullptr ? -1 : 0;
}

HV_EXPORT int slapi_entry_first_attr(const Slapi_Entry *e, Slapi_Attr **attr) {
    return slapi_entry_next_attr(e, nullptr, attr);
}

HV_EXPORT int slapi_entry_next_attr(const Slapi_Entry *e, Slapi_Attr *prevattr, Slapi_Attr **attr) {
    if (attr != nullptr) *attr = nullptr;
    if (e == nullptr || attr == nullptr) return -1;
    std::size_t i = 0;
    if (prevattr != nullptr) {
        while (i < e->attrs.size() && e->attrs[i].get() != prevattr) ++i;
        if (i == e->attrs.size()) return -1;
        ++i;
    }
    if (i >= e->attrs.size()) return -1;
    *attr = e->attrs[i].get();
    return 0;
}

HV_EXPORT int slapi_entry_attr_hasvalue(Slapi_Entry *e, const char *type, const char *value) {
    if (type == nullptr || value == nullptr) return 0;
    return HasValue(hv::FindAttr(e, type), value) ? 1 : 0;
}

HV_EXPORT char *slapi_entry_attr_get_charptr(const Slapi_Entry *e, const char *type) {
    slapi_attr *a = type == nullptr ? nullptr : hv::FindAttr(e, type);
    if (a == nullptr || a->values.empty()) return nullptr;
    return slapi_ch_strdup(a->values.front()->data.c_str());
}

HV_EXPORT int slapi_entry_add_string(Slapi_Entry *e, const char *type, const char *value) {
    if (e == nullptr || e->shared || type == nullptr || value == nullptr) return -1;
    slapi_attr *a = hv::FindAttr(e, type);
    if (HasValue(a, value)) return LDAP_TYPE_OR_VALUE_EXISTS;
    if (a == nullptr) a = hv::AppendAttr(e, type);
    a->values.push_back(hv::NewValue(value));
    return 0;
}

HV_EXPORT int slapi_entry_add_values_sv(Slapi_Entry *e, const char *type, Slapi_Value **vals) {
    if (e == nullptr || e->shared || type == nullptr) return -1;
    std::size_t n = CountValues(vals);
    if (n == 0) return 0;
    slapi_attr *a = hv::FindAttr(e, type);
    if (AnyPresentOrRepeated(a, vals, n)) return LDAP_TYPE_OR_VALUE_EXISTS;
    if (a == nullptr) a = hv::AppendAttr(e, type);
    for (std::size_t i = 0; i < n; ++i) a->values.push_back(hv::NewValue(vals[i]->data));
    return 0;
}

HV_EXPORT int slapi_entry_attr_replace_sv(Slapi_Entry *e, const char *type, Slapi_Value **vals) {
    if (e == nullptr || e->shared || type == nullptr) return -1;
    std::size_t n = CountValues(vals);
    slapi_attr *a = hv::FindAttr(e, type);
    if (n == 0) {
        if (a != nullptr) RemoveAttr(e, a);
        return 0;
    }
    if (AnyPresentOrRepeated(nullptr, vals, n)) return LDAP_TYPE_OR_VALUE_EXISTS;
    hv::ValueList fresh;
    for (std::size_t i = 0; i < n; ++i) fresh.push_back(hv::NewValue(vals[i]->data));
    if (a == nullptr) a = hv::AppendAttr(e, type);
    a->values = std::move(fresh);
    return 0;
}

// None or an empty list removes the whole attribute, as an LDAP delete
// modification without values does.
HV_EXPORT int slapi_entry_delete_values_sv(Slapi_Entry *e, const char *type, Slapi_Value **vals) {
    if (e == nullptr || e->shared || type == nullptr) return -1;
    slapi_attr *a = hv::FindAttr(e, type);
    if (a == nullptr) return LDAP_NO_SUCH_ATTRIBUTE;
    std::size_t n = CountValues(vals);
    if (n == 0) {
        RemoveAttr(e, a);
        return 0;
    }
    for (std::size_t i = 0; i < n; ++i) {
        if (!HasValue(a, vals[i]->data)) return LDAP_NO_SUCH_ATTRIBUTE;
    }
    for (std::size_t i = 0; i < n; ++i) {
        auto it = std::find_if(a->values.begin(), a->values.end(),
                               [&](const auto &v) { return hv::ValueMatches(*v, vals[i]->data); });
        // A value named twice in vals was removed already.
        if (it != a->values.end()) a->values.erase(it);
    }
    if (a->values.empty()) RemoveAttr(e, a);
    return 0;
}

HV_EXPORT int slapi_entry_attr_delete(Slapi_Entry *e, const char *type) {
    if (e == nullptr || e->shared || type == nullptr) return -1;
    slapi_attr *a = hv::FindAttr(e, type);
    if (a == nullptr) return 1;
    RemoveAttr(e, a);
    return 0;
}

}  // extern "C"
