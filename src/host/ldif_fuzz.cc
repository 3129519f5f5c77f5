// Fuzzes the LDIF record parser: any input must parse or be refused without
// a fault, and an entry that comes out must print and parse back to itself.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "hv/slapi-plugin.h"

namespace {

// The whole content as one comparable text: DN, then types and values in
// order, each length-prefixed so that no two contents collide.
std::string Content(Slapi_Entry *e) {
    std::string out = slapi_entry_get_dn(e);
    out += '\0';
    Slapi_Attr *a = nullptr;
    for (int rc = slapi_entry_first_attr(e, &a); rc == 0; rc = slapi_entry_next_attr(e, a, &a)) {
        char *type = nullptr;
        slapi_attr_get_type(a, &type);
        out += "T" + std::to_string(std::strlen(type)) + ":" + type;
        Slapi_Value *v = nullptr;
        for (int i = slapi_attr_first_value(a, &v); i != -1; i = slapi_attr_next_value(a, i, &v)) {
            const struct berval *bv = slapi_value_get_berval(v);
            out += "V" + std::to_string(bv->bv_len) + ":";
            out.append(bv->bv_val, bv->bv_len);
        }
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string text(reinterpret_cast<const char *>(data), size);  // NUL-terminated copy
    Slapi_Entry *e = slapi_str2entry(text.data(), SLAPI_STR2ENTRY_NO_ENTRYDN);
    if (e == nullptr) return 0;
    int len = 0;
    char *printed = slapi_entry2str(e, &len);
    if (printed == nullptr || static_cast<size_t>(len) != std::strlen(printed)) std::abort();
    Slapi_Entry *again = slapi_str2entry(printed, SLAPI_STR2ENTRY_NO_ENTRYDN);
    if (again == nullptr || Content(again) != Content(e) ||
        std::strcmp(slapi_entry_get_ndn(again), slapi_entry_get_ndn(e)) != 0) {
        std::abort();
    }
    slapi_entry_free(again);
    slapi_ch_free_string(&printed);
    slapi_entry_free(e);
    return 0;
}
