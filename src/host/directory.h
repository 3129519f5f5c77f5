// The host's in-memory directory: a tree of entries keyed by normalized DN
// under one or more suffixes.  Each operation is atomic (all of a modify or
// none of it) and answers with an LDAP result code.
//
// Thread-safety: every member may be called from many threads at once; one
// shared_mutex guards the tree, searches share it.  Nothing here calls out
// to plug-ins, so no lock is held while a handler runs.
//
// Ownership: entries passed in become the directory's; entries handed out
// are fresh copies that belong to the caller.
#ifndef HV_HOST_DIRECTORY_H
#define HV_HOST_DIRECTORY_H

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "host/entry_change.h"
#include "host/filter.h"
#include "host/host_impl.h"

namespace hv {

class Directory {
  public:
    static Directory &Instance();

    // Declares a naming context.  0, or 34 for a DN that does not parse.
    int AddSuffix(std::string_view dn);
    void RefuseAttribute(std::string_view type, bool on);

    // 0, 34 (bad DN), 53 (empty DN), 65 (refused attribute), 68 (exists) or
    // 32 (parent missing and not a suffix).
    int Add(std::unique_ptr<Slapi_Entry> e);
    // Leaves only: 0, 34, 32 (missing) or 66 (has children).  *pre (may be
    // none) receives the entry as it was whenever it exists.
    int Delete(std::string_view dn, std::unique_ptr<Slapi_Entry> *pre);
    // Applies every modification or none: 0, 34, 32, 20 (value exists),
    // 16 (no such attribute or value), 67 (a value of the RDN removed), 65
    // (refused attribute), 2 (malformed modification).  *pre and *post (may be none) receive copies of the
    // entry before and after; for a refused modify *post equals *pre.
    int Modify(std::string_view dn, LDAPMod **mods, std::unique_ptr<Slapi_Entry> *pre,
               std::unique_ptr<Slapi_Entry> *post);
    // Renames the entry at dn to newrdn, below newsuperior when that is not
    // none (else below its parent), moving everything below it along; with
    // deleteoldrdn the values of the old RDN that the new one lacks are
    // removed.  All or nothing: 0, 34 (bad DN or RDN), 32 (no entry, or no
    // new superior), 68 (the new DN exists), 53 (a move below itself, or a
    // rename of an entry without a stored parent), 65 (refused attribute).
    // *pre and *post (may be none) receive the entry before and after.
    int ModRdn(std::string_view dn, std::string_view newrdn, bool deleteoldrdn,
               const char *newsuperior, std::unique_ptr<Slapi_Entry> *pre,
               std::unique_ptr<Slapi_Entry> *post);
    // Entries under base in scope that match filter, each a copy holding the
    // requested attributes (attrs none, empty or holding "*": all).  An
    // empty base stands for the top above all suffixes.  0, 34, 32, 2.
    int Search(std::string_view base, int scope, const Filter &filter, char **attrs, int attrsonly,
               std::vector<std::unique_ptr<Slapi_Entry>> *out) const;
    // Copy of the entry with the requested attributes, or none.
    std::unique_ptr<Slapi_Entry> Get(std::string_view dn, char **attrs) const;
    int Count() const;

    // Adds a whole file's entries, parents before children: an entry whose
    // parent is neither stored nor earlier in the list becomes a suffix.
    // All or nothing: on failure *fault_dn names the entry at fault.
    int Load(std::vector<std::unique_ptr<Slapi_Entry>> entries, std::string *fault_dn);
    // One entry printed as LDIF (ending in a line end), under its
    // normalized DN.
    struct Printed {
        std::string ndn;
        std::string ldif;
    };
    // Every entry, in the order added, a parent always before its children.
    std::vector<Printed> PrintAll() const;
    // The same as one LDIF text, entries separated by blank lines.
    std::string ToLdif() const;
    // Puts e back in place of the stored entry of its DN, as it was before
    // a change that could not be kept: 0, 34 or 32.
    int Restore(std::unique_ptr<Slapi_Entry> e);

    // Forgets entries, suffixes and refused attributes.
    void Clear();

  private:
    struct Node {
        std::unique_ptr<Slapi_Entry> entry;
        std::uint64_t seq = 0;
        std::string parent;  // normalized DN of the parent, even when absent
        std::map<std::uint64_t, std::string> children;  // by seq
        ValueIndex index;  // of the entry's many-valued attributes
    };

    bool RefusedLocked(const Slapi_Entry &e) const;
    void InsertLocked(std::string ndn, std::string parent, std::unique_ptr<Slapi_Entry> e);
    void CollectLocked(const std::string &ndn, int scope, const Filter &filter, char **attrs,
                       int attrsonly, std::vector<std::unique_ptr<Slapi_Entry>> *out) const;

    mutable std::shared_mutex mu_;
    std::unordered_map<std::string, Node> nodes_;
    std::map<std::uint64_t, std::string> roots_;  // entries without a stored parent
    std::map<std::uint64_t, std::string> order_;  // every entry, by seq
    std::set<std::string> suffixes_;
    std::vector<std::string> refused_;
    std::uint64_t next_seq_ = 1;
};

// Normalized parent of a normalized DN; "" at the top.
std::string ParentNdn(const std::string &ndn);

}  // namespace hv

#endif  // HV_HOST_DIRECTORY_H
