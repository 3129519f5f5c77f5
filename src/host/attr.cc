// Attributes: a type and its values in the order added; type comparison.
#include <climits>
#include <cstring>

#include "common/export.h"
#include "host/entry_internal.h"

namespace {

std::string_view BaseType(std::string_view t) { return t.substr(0, t.find(';')); }

// Options after the base type, each without its ';'.
bool HasOption(std::string_view type, std::string_view option) {
    std::size_t pos = type.find(';');
    while (pos != std::string_view::npos) {
        std::size_t next = type.find(';', pos + 1);
        std::string_view opt = type.substr(pos + 1, next == std::string_view::npos ? next : next - pos - 1);
        if (hv::AsciiIEquals(opt, option)) return true;
        pos = next;
    }
    return false;
}

}  // namespace

namespace hv {

bool TypeEquals(std::string_view a, std::string_view b) {
    return AsciiIEquals(BaseType(a), BaseType(b));
}

}  // namespace hv

extern "C" {

HV_EXPORT int slapi_attr_get_type(Slapi_Attr *attr, char **type) {
    if (type == nullptr) return -1;
    if (attr == nullptr) {
        *type = nullptr;
        return -1;
    }
    *type = attr->type.data();
    return 0;
}

HV_EXPORT int slapi_attr_first_value(Slapi_Attr *a, Slapi_Value **v) {
    return slapi_attr_next_value(a, -1, v);
}

HV_EXPORT int slapi_attr_next_value(Slapi_Attr *a, int hint, Slapi_Value **v) {
    if (v != nullptr) *v = nullptr;
    if (a == nullptr || hint < -1 || hint == INT_MAX) return -1;
    std::size_t i = static_cast<std::size_t>(hint + 1);
    if (i >= a->values.size()) return -1;
    if (v != nullptr) *v = a->values[i];
    return static_cast<int>(i);
}

HV_EXPORT int slapi_attr_add_value(Slapi_Attr *a, const Slapi_Value *v) {
    if (a == nullptr || a->shared || v == nullptr) return -1;
    a->values.push_back(hv::NewValue(v->data));
    return 0;
}

HV_EXPORT int slapi_attr_get_numvalues(const Slapi_Attr *a, int *numValues) {
    if (numValues == nullptr) return -1;
    *numValues = a == nullptr ? 0 : static_cast<int>(a->values.size());
    return a == nullptr ? -1 : 0;
}

// 0 when the types match under opt: EXACT compares whole descriptions,
// BASE the part before the first ';', SUBTYPE asks whether t1 is t2 or a
// subtype of it (same base, every option of t2 present in t1).  Letter case
// never counts.
HV_EXPORT int slapi_attr_type_cmp(const char *t1, const char *t2, int opt) {
    if (t1 == nullptr || t2 == nullptr) return t1 == t2 ? 0 : 1;
    std::string_view a(t1), b(t2);
    switch (opt) {
    case SLAPI_TYPE_CMP_BASE:
        return hv::TypeEquals(a, b) ? 0 : 1;
    case SLAPI_TYPE_CMP_SUBTYPE: {
        if (!hv::TypeEquals(a, b)) return 1;
        std::size_t pos = b.find(';');
        while (pos != std::string_view::npos) {
            std::size_t next = b.find(';', pos + 1);
            std::string_view opt2 = b.substr(pos + 1, next == std::string_view::npos ? next : next - pos - 1);
            if (!HasOption(a, opt2)) return 1;
            pos = next;
        }
        return 0;
    }
    default:
        return hv::AsciiIEquals(a, b) ? 0 : 1;
    }
}

}  // extern "C"
