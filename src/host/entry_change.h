// A modify applied to a stored entry in place: each change is remembered so
// that a later failure of the same modify takes them all back, and a modify
// costs what it changes rather than a copy of the whole entry.  Attributes
// with many values (the members of a large group) get an index of their
// values, so that neither a value test nor a value's removal scans them all.
//
// Thread-compatible: the directory's lock guards an entry, its index and a
// change in progress.
#ifndef HV_HOST_ENTRY_CHANGE_H
#define HV_HOST_ENTRY_CHANGE_H

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "host/host_impl.h"

namespace hv {

// Values of an entry's many-valued attributes, by a hash of their ASCII
// case-folded bytes and the key of the value (see ValueList), built on first
// use.  A lookup checks the value it is led to, so a hash two values share
// costs a scan, never a wrong answer.  Knows nothing of changes made around
// it: the entry's owner reports them (Added, Removed, Forget) or clears it.
class ValueIndex {
  public:
    // True when a holds v, compared as directory strings.
    bool Contains(const slapi_attr &a, std::string_view v);
    // Position in a of the first value matching v, or ValueList::npos.
    std::size_t Find(const slapi_attr &a, std::string_view v);
    // v was appended to a under key k.
    void Added(const slapi_attr &a, std::string_view v, ValueList::Key k);
    void Removed(const slapi_attr &a, std::string_view v);
    // a is gone or has all new values.
    void Forget(const slapi_attr &a);
    void Clear() { sets_.reset(); }

    // Fewer values are scanned: an index would cost more than it saves.
    static constexpr std::size_t kMinValues = 32;

  private:
    struct Held {
        int count = 0;  // values hashing to it
        // The key of the one value, while there is exactly one and it is known.
        bool keyed = false;
        ValueList::Key key = 0;
    };
    using Counts = std::unordered_map<std::uint64_t, Held>;  // by hash of the folded value
    // Made with the first indexed attribute: most entries never need one.
    std::unique_ptr<std::unordered_map<const slapi_attr *, Counts>> sets_;
    Counts *CountsOf(const slapi_attr &a) const;
    // a's counts, built when a has enough values; none for a small a.
    Counts *Build(const slapi_attr &a);
};

class EntryChange {
  public:
    EntryChange(Slapi_Entry *e, ValueIndex *index) : e_(e), index_(index) {}
    // Takes back every change unless committed.
    ~EntryChange();
    EntryChange(const EntryChange &) = delete;
    EntryChange &operator=(const EntryChange &) = delete;

    // One modification: 0, or the LDAP result code that refuses it (20, 16,
    // 2), the entry then as before this call.
    int Apply(const LDAPMod &m);
    void Commit() { steps_.clear(); }

  private:
    // How to take one change back; undone in reverse order, each sees the
    // entry as it was just after that change.
    struct Step {
        enum Kind { kAppended, kRemovedValue, kReplaced, kAddedAttr, kRemovedAttr };
        explicit Step(Kind k) : kind(k) {}
        Kind kind;
        slapi_attr *attr = nullptr;
        std::size_t pos = 0;  // appended count, or position of the removed attribute
        ValueList::Key key = 0;  // of the removed value
        std::unique_ptr<slapi_value> value;
        ValueList values;
        std::unique_ptr<slapi_attr> removed;
    };

    slapi_attr *AddAttr(std::string_view type);
    void RemoveAttr(std::size_t pos);

    Slapi_Entry *e_;
    ValueIndex *index_;
    std::vector<Step> steps_;
};

}  // namespace hv

#endif  // HV_HOST_ENTRY_CHANGE_H
