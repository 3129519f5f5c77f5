// Values: a byte string with a berval that always points into it.
#include <cstring>

#include "common/export.h"
#include "host/entry_internal.h"

namespace hv {

std::unique_ptr<slapi_value> NewValue(std::string_view bytes) {
    auto v = std::make_unique<slapi_value>();
    v->data.assign(bytes.data(), bytes.size());
    v->Sync();
    return v;
}

bool AsciiIEquals(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]);
        unsigned char y = static_cast<unsigned char>(b[i]);
        if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x + 32);
        if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y + 32);
        if (x != y) return false;
    }
    return true;
}

std::string AsciiLower(std::string_view s) {
    std::string out(s);
    for (char &c : out) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    }
    return out;
}

}  // namespace hv

extern "C" {

HV_EXPORT Slapi_Value *slapi_value_new(void) { return hv::NewValue({}).release(); }

HV_EXPORT Slapi_Value *slapi_value_new_string(const char *s) {
    return hv::NewValue(s == nullptr ? std::string_view() : std::string_view(s)).release();
}

HV_EXPORT Slapi_Value *slapi_value_init_string(Slapi_Value *v, const char *s) {
    if (v == nullptr || v->shared) return nullptr;
    if (s == nullptr) {
        v->data.clear();
    } else {
        v->data.assign(s);
    }
    v->Sync();
    return v;
}

HV_EXPORT void slapi_value_free(Slapi_Value **value) {
    if (value == nullptr) return;
    delete *value;
    *value = nullptr;
}

HV_EXPORT const char *slapi_value_get_string(const Slapi_Value *value) {
    return value == nullptr ? nullptr : value->data.c_str();
}

HV_EXPORT const struct berval *slapi_value_get_berval(const Slapi_Value *value) {
    return value == nullptr ? nullptr : &value->bv;
}

}  // extern "C"
