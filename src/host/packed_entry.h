// A stored entry in one allocation: its DN as spelled and its attributes'
// types and values, each behind its length.  The directory keeps most
// entries this way, at about the size of their LDIF, and unpacks one when
// it is read or changed; an entry with many values in an attribute (a large
// group) stays unpacked, with an index of its values, so that a change to
// it costs what it changes.
//
// Thread-safety: a packed entry is immutable; any number of threads may
// unpack it at once.
#ifndef HV_HOST_PACKED_ENTRY_H
#define HV_HOST_PACKED_ENTRY_H

#include <memory>
#include <string_view>
#include <vector>

#include "host/host_impl.h"

namespace hv {

class PackedEntry {
  public:
    PackedEntry() = default;
    // e's DN and attributes; its normalized DN is the caller's to keep.
    explicit PackedEntry(const Slapi_Entry &e);

    bool empty() const { return data_ == nullptr; }
    std::string_view dn() const;
    // A new entry, its normalized DN ndn, holding the attributes whose
    // types are listed (none: all).  Attributes keep their order.
    std::unique_ptr<Slapi_Entry> Unpack(std::string_view ndn,
                                        const std::vector<std::string_view> *types = nullptr) const;

  private:
    std::unique_ptr<char[]> data_;
};

// Whether the directory keeps e packed: no attribute of it holds as many
// values as an index is kept for.
bool Packable(const Slapi_Entry &e);

}  // namespace hv

#endif  // HV_HOST_PACKED_ENTRY_H
