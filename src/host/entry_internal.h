// Small helpers shared by the entry, attribute, value and LDIF code of the
// host library.  Pure functions on caller-owned data; thread-compatible.
#ifndef HV_HOST_ENTRY_INTERNAL_H
#define HV_HOST_ENTRY_INTERNAL_H

#include <memory>
#include <string>
#include <string_view>

#include "host/host_impl.h"

namespace hv {

// A value holding a copy of bytes, its berval in step.
std::unique_ptr<slapi_value> NewValue(std::string_view bytes);

// ASCII-only case folding: directory strings compare this way here, and no
// locale is consulted.
bool AsciiIEquals(std::string_view a, std::string_view b);
std::string AsciiLower(std::string_view s);

// Value equality for the entry calls: directory string matching, that is
// bytes equal without regard to ASCII case.
inline bool ValueMatches(const slapi_value &v, std::string_view bytes) {
    return AsciiIEquals(v.data, bytes);
}

// Appends a new attribute named type to e (no check for an existing one).
slapi_attr *AppendAttr(Slapi_Entry *e, std::string_view type);

}  // namespace hv

#endif  // HV_HOST_ENTRY_INTERNAL_H
