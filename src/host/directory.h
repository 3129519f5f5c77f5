// The host's in-memory directory: a tree of entries keyed by normalized DN
// under one or more suffixes.  Each operation is atomic (all of a modify or
// none of it) and answers with an LDAP result code.
//
// Thread-safety: every member may be called from many threads at once.
// Entries live in shards, each under its own lock: an operation locks the
// shard of its entry and, for an add or delete, holds the parent's shared,
// so that operations on entries of different shards run in parallel and
// adds below one parent meet only on its list of children.  What
// rearranges the tree (a modify-RDN, a root entry added or deleted,
// loading, clearing) locks every shard; modify-RDN also takes the move lock
// alone, which one-level and subtree searches hold shared, so that they see
// a moved subtree whole in one place.  Lock order: the move lock, then
// shards in ascending index.  Nothing here calls out to plug-ins, so no
// lock is held while a handler runs.
//
// Ownership: entries passed in become the directory's; entries handed out
// are fresh copies that belong to the caller.
#ifndef HV_HOST_DIRECTORY_H
#define HV_HOST_DIRECTORY_H

#include <atomic>
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
#include "host/packed_entry.h"
#include "host/locks.h"

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
        // The entry: packed, or in full while an attribute of it has many
        // values (then with an index of them) or a change is being made.
        PackedEntry packed;
        std::unique_ptr<Slapi_Entry> entry;
        std::uint64_t seq = 0;  // order added: a parent's is below its children's
        const std::string *key = nullptr;  // its key in the map, which stays in place
        // Its children in the order added, a list through their own links.
        // Adds and deletes below the entry change it with the entry's shard
        // held shared, so that they run side by side; they and readers of the
        // list take kids_mu too.
        Node *first = nullptr, *last = nullptr;  // children
        Node *prev = nullptr, *next = nullptr;   // siblings
        mutable SpinLock kids_mu;
        bool changed = false;  // changed before, since it last left the shard's unpacked few
        ValueIndex index;  // of the entry's many-valued attributes

        // Appends child to the children, or takes it out; kids_mu held.
        void Link(Node *child);
        void Unlink(Node *child);
        // Stores e, packed when it suits.
        void Keep(std::unique_ptr<Slapi_Entry> e);
        // The entry in full, to be changed; Settle packs it again if it suits.
        Slapi_Entry &Full(std::string_view ndn);
        void Settle();
        std::string_view Dn() const { return entry != nullptr ? std::string_view(entry->dn) : packed.dn(); }
        // A read-only copy for handlers.
        std::unique_ptr<Slapi_Entry> Shown(std::string_view ndn) const;
        // A copy with the requested attributes when the entry matches
        // filter (none: always), else none.
        std::unique_ptr<Slapi_Entry> Read(std::string_view ndn, const Filter *filter, char **attrs,
                                          int attrsonly) const;
    };
    struct KeyHash {
        using is_transparent = void;
        std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>()(s); }
    };
    using NodeMap = std::unordered_map<std::string, Node, KeyHash, std::equal_to<>>;
    // Two threads meet in one shard one time in kShards.  ThreadSanitizer
    // follows at most 64 locks held by one thread, fewer than locking every
    // shard takes: its builds use fewer shards.
#if defined(__SANITIZE_THREAD__)
    static constexpr std::size_t kShards = 32;
#else
    static constexpr std::size_t kShards = 256;
#endif
    struct alignas(64) Shard {  // a cache line of its own: no false sharing
        mutable RwLock mu;  // guards the map, its nodes and hot
        NodeMap nodes;
        // Entries left in full after a change, oldest first: an entry changed
        // again and again (a counter holder) is not unpacked and packed each
        // time.  Bounded, so that memory stays near the packed size.  An
        // entry joins at its second change.
        static constexpr std::size_t kHot = 8;
        std::vector<Node *> hot;

        // After a change to n: n joins hot, the oldest there is packed.
        void Settle(Node *n);
        // n leaves hot (it is packed, replaced or deleted).
        void Forget(const Node *n) { std::erase(hot, n); }
    };
    // The shard of ndn held alone and its parent's held shared, in lock
    // order (alone when both are one).
    class PairLock;
    // Every shard, in lock order: Lock is std::unique_lock or std::shared_lock.
    template <typename Lock>
    class AllShards;

    std::size_t ShardOf(std::string_view ndn) const;
    Shard &ShardFor(std::string_view ndn) const { return shards_[ShardOf(ndn)]; }
    // The stored node at ndn, or none; its shard's lock held by the caller.
    Node *Find(std::string_view ndn) const;
    bool RefusedLocked(const Slapi_Entry &e) const;
    // A new node at ndn holding e, linked nowhere yet; its shard's lock held.
    Node &Emplace(std::string ndn, std::unique_ptr<Slapi_Entry> e);
    // Under every shard's lock held alone.
    int AddAlone(std::string ndn, std::unique_ptr<Slapi_Entry> e);
    void InsertAlone(std::string ndn, std::unique_ptr<Slapi_Entry> e);
    // Deletes the entry at ndn under the locks of its and its parent's
    // shards, or (alone) of every shard; kNeedsEveryShard when not alone and
    // the entry is a root.
    static constexpr int kNeedsEveryShard = -1;
    int DeleteLocked(const std::string &ndn, bool alone, std::unique_ptr<Slapi_Entry> *pre);
    // Whether an entry at ndn would take roots below it: its add must then
    // lock every shard.  Some shard's lock held.
    bool AdoptsRoots(std::string_view ndn) const;
    // The search below a checked scope: 0, or 32 when the base (ndn, none
    // for the top) is not stored.  Takes each entry's shard lock in turn.
    int Collect(const std::string &ndn, int scope, const Filter &filter, char **attrs, int attrsonly,
                std::vector<std::unique_ptr<Slapi_Entry>> *out) const;

    mutable RwLock move_mu_;
    mutable Shard shards_[kShards];
    // Changed only with every shard locked alone, so read under any one
    // shard's lock.
    std::map<std::uint64_t, Node *> roots_;  // entries without a stored parent, by seq
    std::set<std::string> suffixes_;
    std::vector<std::string> refused_;
    alignas(64) std::atomic<std::uint64_t> next_seq_{1};
};

template <typename Lock>
class Directory::AllShards {
  public:
    explicit AllShards(const Directory &dir) {
        locks_.reserve(kShards);
        for (Shard &shard : dir.shards_) locks_.emplace_back(shard.mu);
    }

  private:
    std::vector<Lock> locks_;
};

// Normalized parent of a normalized DN (a view into it); empty at the top.
std::string_view ParentNdn(std::string_view ndn);

}  // namespace hv

#endif  // HV_HOST_DIRECTORY_H
