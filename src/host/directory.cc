#include "host/directory.h"

#include <algorithm>
#include <mutex>
#include <unordered_set>

#include "host/dn.h"

namespace hv {
namespace {

bool HasValue(const slapi_attr &a, std::string_view v) {
    for (const auto &have : a.values)
        if (EqualFold(have->data, v)) return true;
    return false;
}

// The values of the entry's RDN that it holds now (binary ones aside): a
// modify must not take them away.  Naming values the entry never held (an
// entry added without them) are not asked for.
std::vector<DnAva> HeldNamingValues(const Slapi_Entry &e) {
    std::vector<DnAva> avas;
    if (!ParseDn(e.dn, &avas)) return {};
    std::vector<DnAva> held;
    for (DnAva &ava : avas) {
        if (ava.rdn != 0) break;
        if (ava.binary) continue;
        for (const auto &a : e.attrs) {
            if (TypeEquals(a->type, ava.type) && HasValue(*a, ava.value)) {
                held.push_back(std::move(ava));
                break;
            }
        }
    }
    return held;
}

bool HoldsAll(const Slapi_Entry &e, const std::vector<DnAva> &naming) {
    for (const DnAva &ava : naming) {
        bool found = false;
        for (const auto &a : e.attrs) found = found || (TypeEquals(a->type, ava.type) && HasValue(*a, ava.value));
        if (!found) return false;
    }
    return true;
}

// attrs none, empty or asking for "*" means every attribute.
char **EffectiveAttrs(char **attrs) {
    if (attrs == nullptr || attrs[0] == nullptr) return nullptr;
    for (char **a = attrs; *a != nullptr; ++a)
        if (std::string_view(*a) == "*") return nullptr;
    return attrs;
}

std::unique_ptr<Slapi_Entry> Project(const Slapi_Entry &e, char **attrs, int attrsonly) {
    char **wanted = EffectiveAttrs(attrs);
    std::unique_ptr<Slapi_Entry> copy = wanted == nullptr ? CopyEntry(e) : CopyEntryWith(e, wanted);
    if (attrsonly != 0)
        for (auto &a : copy->attrs) a->values.clear();
    return copy;
}

}  // namespace

void Directory::Node::Link(Node *child) {
    child->prev = last;
    child->next = nullptr;
    (last != nullptr ? last->next : first) = child;
    last = child;
}

void Directory::Node::Unlink(Node *child) {
    (child->prev != nullptr ? child->prev->next : first) = child->next;
    (child->next != nullptr ? child->next->prev : last) = child->prev;
    child->prev = child->next = nullptr;
}

void Directory::Node::Keep(std::unique_ptr<Slapi_Entry> e) {
    index.Clear();
    if (Packable(*e)) {
        packed = PackedEntry(*e);
        entry.reset();
    } else {
        entry = std::move(e);
        packed = PackedEntry();
    }
}

Slapi_Entry &Directory::Node::Full(std::string_view ndn) {
    if (entry == nullptr) {
        entry = packed.Unpack(ndn);
        packed = PackedEntry();
    }
    return *entry;
}

void Directory::Node::Settle() {
    if (entry != nullptr && Packable(*entry)) Keep(std::move(entry));
}

void Directory::Shard::Settle(Node *n) {
    if (n->entry == nullptr || !Packable(*n->entry) || std::find(hot.begin(), hot.end(), n) != hot.end()) return;
    // An entry changed once is packed again at once, by the thread that
    // unpacked it; only one changed again since joins the unpacked few.
    if (!n->changed) {
        n->changed = true;
        n->Settle();
        return;
    }
    if (hot.size() == kHot) {
        hot.front()->changed = false;
        hot.front()->Settle();
        hot.erase(hot.begin());
    }
    hot.push_back(n);
}

std::unique_ptr<Slapi_Entry> Directory::Node::Shown(std::string_view ndn) const {
    return entry != nullptr ? SnapshotEntry(*entry) : packed.Unpack(ndn);
}

std::unique_ptr<Slapi_Entry> Directory::Node::Read(std::string_view ndn, const Filter *filter, char **attrs,
                                                   int attrsonly) const {
    if (entry != nullptr) {
        if (filter != nullptr && !filter->Matches(*entry)) return nullptr;
        return Project(*entry, attrs, attrsonly);
    }
    // Unpacked once: the requested attributes and those the filter tests.
    char **wanted = EffectiveAttrs(attrs);
    std::vector<std::string_view> types;
    if (wanted != nullptr) {
        for (char **a = wanted; *a != nullptr; ++a) types.emplace_back(*a);
        if (filter != nullptr) filter->Types(&types);
    }
    std::unique_ptr<Slapi_Entry> e = packed.Unpack(ndn, wanted != nullptr ? &types : nullptr);
    if (filter != nullptr && !filter->Matches(*e)) return nullptr;
    if (wanted != nullptr) {
        std::erase_if(e->attrs, [&](const std::unique_ptr<slapi_attr> &a) {
            for (char **w = wanted; *w != nullptr; ++w)
                if (TypeEquals(a->type, *w)) return false;
            return true;
        });
    }
    if (attrsonly != 0)
        for (auto &a : e->attrs) a->values.clear();
    return e;
}

std::string_view ParentNdn(std::string_view ndn) {
    bool quoted = false;
    for (std::size_t i = 0; i < ndn.size(); ++i) {
        char c = ndn[i];
        if (c == '\\') {
            ++i;
        } else if (c == '"') {
            quoted = !quoted;
        } else if (!quoted && c == ',') {
            std::size_t start = i + 1;
            while (start < ndn.size() && ndn[start] == ' ') ++start;
            return ndn.substr(start);
        }
    }
    return {};
}

class Directory::PairLock {
  public:
    PairLock(const Directory &dir, std::string_view parent, std::string_view ndn) {
        const std::size_t mine = dir.ShardOf(ndn), up = dir.ShardOf(parent);
        if (up == mine) {
            mine_ = std::unique_lock(dir.shards_[mine].mu);
        } else if (up < mine) {
            up_ = std::shared_lock(dir.shards_[up].mu);
            mine_ = std::unique_lock(dir.shards_[mine].mu);
        } else {
            mine_ = std::unique_lock(dir.shards_[mine].mu);
            up_ = std::shared_lock(dir.shards_[up].mu);
        }
    }

  private:
    std::unique_lock<RwLock> mine_;
    std::shared_lock<RwLock> up_;
};

Directory &Directory::Instance() {
    static Directory *dir = new Directory;  // lives until exit; handlers may run late
    return *dir;
}

std::size_t Directory::ShardOf(std::string_view ndn) const { return KeyHash()(ndn) % kShards; }

Directory::Node *Directory::Find(std::string_view ndn) const {
    Shard &shard = ShardFor(ndn);
    auto it = shard.nodes.find(ndn);
    return it == shard.nodes.end() ? nullptr : &it->second;
}

int Directory::AddSuffix(std::string_view dn) {
    std::string ndn;
    if (!NormalizeDn(dn, &ndn) || ndn.empty()) return LDAP_INVALID_DN_SYNTAX;
    AllShards<std::unique_lock<RwLock>> all(*this);
    suffixes_.insert(std::move(ndn));
    return LDAP_SUCCESS;
}

void Directory::RefuseAttribute(std::string_view type, bool on) {
    AllShards<std::unique_lock<RwLock>> all(*this);
    for (auto it = refused_.begin(); it != refused_.end(); ++it) {
        if (TypeEquals(*it, type)) {
            if (!on) refused_.erase(it);
            return;
        }
    }
    if (on) refused_.emplace_back(type);
}

bool Directory::RefusedLocked(const Slapi_Entry &e) const {
    for (const auto &a : e.attrs) {
        if (a->values.empty()) continue;
        for (const std::string &r : refused_)
            if (TypeEquals(a->type, r)) return true;
    }
    return false;
}

bool Directory::AdoptsRoots(std::string_view ndn) const {
    for (const auto &[seq, root] : roots_)
        if (ParentNdn(*root->key) == ndn) return true;
    return false;
}

Directory::Node &Directory::Emplace(std::string ndn, std::unique_ptr<Slapi_Entry> e) {
    Shard &shard = ShardFor(ndn);
    auto it = shard.nodes.try_emplace(std::move(ndn)).first;
    Node &node = it->second;
    node.key = &it->first;
    node.Keep(std::move(e));
    node.seq = next_seq_++;
    return node;
}

void Directory::InsertAlone(std::string ndn, std::unique_ptr<Slapi_Entry> e) {
    Node &node = Emplace(std::move(ndn), std::move(e));
    // A suffix added below an already stored entry, or above stored suffixes,
    // joins the tree so that leaf tests and subtree searches see it.
    for (auto r = roots_.begin(); r != roots_.end();) {
        if (ParentNdn(*r->second->key) == *node.key) {
            node.Link(r->second);
            r = roots_.erase(r);
        } else {
            ++r;
        }
    }
    std::string_view parent = ParentNdn(*node.key);
    Node *up = parent.empty() ? nullptr : Find(parent);
    if (up != nullptr)
        up->Link(&node);
    else
        roots_.emplace(node.seq, &node);
}

int Directory::AddAlone(std::string ndn, std::unique_ptr<Slapi_Entry> e) {
    if (RefusedLocked(*e)) return LDAP_OBJECT_CLASS_VIOLATION;
    if (Find(ndn) != nullptr) return LDAP_ALREADY_EXISTS;
    std::string_view parent = ParentNdn(ndn);
    if (suffixes_.count(ndn) == 0 && (parent.empty() || Find(parent) == nullptr)) return LDAP_NO_SUCH_OBJECT;
    InsertAlone(std::move(ndn), std::move(e));
    return LDAP_SUCCESS;
}

int Directory::Add(std::unique_ptr<Slapi_Entry> e) {
    if (e == nullptr) return LDAP_PROTOCOL_ERROR;
    std::string ndn;
    if (!NormalizeDn(e->dn, &ndn)) return LDAP_INVALID_DN_SYNTAX;
    if (ndn.empty()) return LDAP_UNWILLING_TO_PERFORM;
    {
        // The common case: an entry below a stored parent, which only the
        // two entries' shards see.
        const std::string_view parent = ParentNdn(ndn);
        if (!parent.empty()) {
            PairLock lock(*this, parent, ndn);
            if (RefusedLocked(*e)) return LDAP_OBJECT_CLASS_VIOLATION;
            Node *up = AdoptsRoots(ndn) ? nullptr : Find(parent);
            if (up != nullptr) {
                if (Find(ndn) != nullptr) return LDAP_ALREADY_EXISTS;
                Node &node = Emplace(std::move(ndn), std::move(e));
                std::lock_guard kids(up->kids_mu);
                up->Link(&node);
                return LDAP_SUCCESS;
            }
        }
    }
    // A root of the tree, or a parent of roots: rearranges the tree.
    AllShards<std::unique_lock<RwLock>> all(*this);
    return AddAlone(std::move(ndn), std::move(e));
}

int Directory::DeleteLocked(const std::string &ndn, bool alone, std::unique_ptr<Slapi_Entry> *pre) {
    Shard &shard = ShardFor(ndn);
    auto it = shard.nodes.find(ndn);
    if (it == shard.nodes.end()) return LDAP_NO_SUCH_OBJECT;
    Node &node = it->second;
    if (node.first != nullptr) {
        if (pre != nullptr) *pre = node.Shown(ndn);
        return LDAP_NOT_ALLOWED_ON_NONLEAF;
    }
    std::string_view parent = ParentNdn(ndn);
    Node *up = parent.empty() ? nullptr : Find(parent);
    if (up != nullptr) {
        std::lock_guard kids(up->kids_mu);
        up->Unlink(&node);
    } else {
        if (!alone) return kNeedsEveryShard;
        roots_.erase(node.seq);
    }
    if (pre != nullptr) {
        node.Full(ndn);
        *pre = std::move(node.entry);
    }
    shard.Forget(&node);
    shard.nodes.erase(it);
    return LDAP_SUCCESS;
}

int Directory::Delete(std::string_view dn, std::unique_ptr<Slapi_Entry> *pre) {
    std::string ndn;
    if (!NormalizeDn(dn, &ndn)) return LDAP_INVALID_DN_SYNTAX;
    const std::string_view parent = ParentNdn(ndn);
    if (!parent.empty()) {
        PairLock lock(*this, parent, ndn);
        int rc = DeleteLocked(ndn, false, pre);
        if (rc != kNeedsEveryShard) return rc;
    }
    // A root of the tree.
    AllShards<std::unique_lock<RwLock>> all(*this);
    return DeleteLocked(ndn, true, pre);
}

int Directory::Modify(std::string_view dn, LDAPMod **mods, std::unique_ptr<Slapi_Entry> *pre,
                      std::unique_ptr<Slapi_Entry> *post) {
    std::string ndn;
    if (!NormalizeDn(dn, &ndn)) return LDAP_INVALID_DN_SYNTAX;
    std::unique_lock lock(ShardFor(ndn).mu);
    Node *found = Find(ndn);
    if (found == nullptr) return LDAP_NO_SUCH_OBJECT;
    Node &node = *found;
    // Copies only for the handlers that asked to see the entry; the change
    // itself is made in place and taken back when refused.
    Slapi_Entry &entry = node.Full(ndn);
    if (pre != nullptr) *pre = SnapshotEntry(entry);
    const std::vector<DnAva> naming = HeldNamingValues(entry);
    int rc = LDAP_SUCCESS;
    {
        EntryChange change(&entry, &node.index);
        for (LDAPMod **m = mods; rc == LDAP_SUCCESS && m != nullptr && *m != nullptr; ++m)
            rc = change.Apply(**m);
        if (rc == LDAP_SUCCESS && !HoldsAll(entry, naming)) rc = LDAP_NOT_ALLOWED_ON_RDN;
        if (rc == LDAP_SUCCESS && RefusedLocked(entry)) rc = LDAP_OBJECT_CLASS_VIOLATION;
        if (rc == LDAP_SUCCESS) change.Commit();
    }
    if (post != nullptr) *post = SnapshotEntry(entry);
    ShardFor(ndn).Settle(&node);
    return rc;
}

int Directory::Collect(const std::string &ndn, int scope, const Filter &filter, char **attrs, int attrsonly,
                       std::vector<std::unique_ptr<Slapi_Entry>> *out) const {
    // Each entry is read under its shard's lock; the keys of its children
    // are copied out, since a child may be deleted once the lock is let go.
    std::vector<std::string> kids;
    auto visit = [&](const std::string &key, bool consider, bool descend) {
        std::shared_lock lock(ShardFor(key).mu);
        const Node *n = Find(key);
        if (n == nullptr) return false;
        if (consider) {
            std::unique_ptr<Slapi_Entry> e = n->Read(key, &filter, attrs, attrsonly);
            if (e != nullptr) out->push_back(std::move(e));
        }
        kids.clear();
        if (descend) {
            std::lock_guard hold(n->kids_mu);
            for (const Node *kid = n->first; kid != nullptr; kid = kid->next) kids.push_back(*kid->key);
        }
        return true;
    };
    if (!ndn.empty()) {
        if (!visit(ndn, scope == LDAP_SCOPE_BASE || scope == LDAP_SCOPE_SUBTREE, scope != LDAP_SCOPE_BASE))
            return LDAP_NO_SUCH_OBJECT;
        if (scope == LDAP_SCOPE_BASE) return LDAP_SUCCESS;
    } else if (scope == LDAP_SCOPE_BASE) {
        return LDAP_SUCCESS;  // no root entry is kept
    } else {
        std::shared_lock lock(shards_[0].mu);  // any shard's lock keeps the roots
        kids.clear();
        for (const auto &root : roots_) kids.push_back(*root.second->key);
    }
    if (scope == LDAP_SCOPE_ONELEVEL) {
        std::vector<std::string> level = std::move(kids);
        for (const std::string &kid : level) visit(kid, true, false);
        return LDAP_SUCCESS;
    }
    // Subtree and subordinates: pre-order, children in the order added, with
    // an explicit stack so that deep trees cannot exhaust the thread's stack.
    std::vector<std::string> stack(std::make_move_iterator(kids.rbegin()), std::make_move_iterator(kids.rend()));
    while (!stack.empty()) {
        std::string key = std::move(stack.back());
        stack.pop_back();
        if (!visit(key, true, true)) continue;
        for (auto k = kids.rbegin(); k != kids.rend(); ++k) stack.push_back(std::move(*k));
    }
    return LDAP_SUCCESS;
}

int Directory::Search(std::string_view base, int scope, const Filter &filter, char **attrs,
                      int attrsonly, std::vector<std::unique_ptr<Slapi_Entry>> *out) const {
    if (scope != LDAP_SCOPE_BASE && scope != LDAP_SCOPE_ONELEVEL && scope != LDAP_SCOPE_SUBTREE &&
        scope != LDAP_SCOPE_SUBORDINATE)
        return LDAP_PROTOCOL_ERROR;
    std::string ndn;
    if (!NormalizeDn(base, &ndn)) return LDAP_INVALID_DN_SYNTAX;
    // A moved subtree is seen whole, before or after the move.
    std::shared_lock moves(move_mu_, std::defer_lock);
    if (scope != LDAP_SCOPE_BASE) moves.lock();
    return Collect(ndn, scope, filter, attrs, attrsonly, out);
}

std::unique_ptr<Slapi_Entry> Directory::Get(std::string_view dn, char **attrs) const {
    std::string ndn;
    if (!NormalizeDn(dn, &ndn)) return nullptr;
    std::shared_lock lock(ShardFor(ndn).mu);
    const Node *n = Find(ndn);
    return n == nullptr ? nullptr : n->Read(ndn, nullptr, attrs, 0);
}

int Directory::Count() const {
    std::size_t n = 0;
    for (const Shard &shard : shards_) {
        std::shared_lock lock(shard.mu);
        n += shard.nodes.size();
    }
    return static_cast<int>(n);
}

int Directory::Load(std::vector<std::unique_ptr<Slapi_Entry>> entries, std::string *fault_dn) {
    std::vector<std::string> keys;
    keys.reserve(entries.size());
    std::unique_lock moves(move_mu_);
    AllShards<std::unique_lock<RwLock>> all(*this);
    std::unordered_set<std::string_view> batch;
    for (const auto &e : entries) {
        std::string ndn;
        if (!NormalizeDn(e->dn, &ndn) || ndn.empty()) {
            *fault_dn = e->dn;
            return LDAP_INVALID_DN_SYNTAX;
        }
        keys.push_back(std::move(ndn));
    }
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (Find(keys[i]) != nullptr || !batch.insert(keys[i]).second) {
            *fault_dn = entries[i]->dn;
            return LDAP_ALREADY_EXISTS;
        }
    }
    for (std::size_t i = 0; i < entries.size(); ++i) {
        std::string_view parent = ParentNdn(keys[i]);
        if (parent.empty() || Find(parent) == nullptr) suffixes_.insert(keys[i]);
        InsertAlone(std::move(keys[i]), std::move(entries[i]));
    }
    return LDAP_SUCCESS;
}

std::vector<Directory::Printed> Directory::PrintAll() const {
    std::shared_lock moves(move_mu_);
    AllShards<std::shared_lock<RwLock>> all(*this);
    std::vector<std::pair<std::uint64_t, const NodeMap::value_type *>> order;
    for (const Shard &shard : shards_)
        for (const auto &kv : shard.nodes) order.emplace_back(kv.second.seq, &kv);
    std::sort(order.begin(), order.end(), [](const auto &a, const auto &b) { return a.first < b.first; });
    std::vector<Printed> out;
    out.reserve(order.size());
    std::unordered_set<const Node *> done;
    std::vector<const NodeMap::value_type *> chain;
    for (const auto &[seq, kv] : order) {
        // Unwritten stored ancestors first (a suffix added after entries below it).
        chain.clear();
        for (const NodeMap::value_type *at = kv; at != nullptr && done.insert(&at->second).second;) {
            chain.push_back(at);
            std::string_view parent = ParentNdn(at->first);
            if (parent.empty()) break;
            Shard &shard = ShardFor(parent);
            auto it = shard.nodes.find(parent);
            at = it == shard.nodes.end() ? nullptr : &*it;
        }
        for (auto n = chain.rbegin(); n != chain.rend(); ++n) {
            const Node &node = (*n)->second;
            std::unique_ptr<Slapi_Entry> unpacked = node.entry == nullptr ? node.packed.Unpack((*n)->first) : nullptr;
            int len = 0;
            char *text = slapi_entry2str(unpacked != nullptr ? unpacked.get() : node.entry.get(), &len);
            if (text == nullptr) continue;
            Printed p{(*n)->first, std::string(text, static_cast<std::size_t>(len))};
            slapi_ch_free_string(&text);
            if (!p.ldif.empty() && p.ldif.back() != '\n') p.ldif += '\n';
            out.push_back(std::move(p));
        }
    }
    return out;
}

std::string Directory::ToLdif() const {
    std::string out;
    for (const Printed &p : PrintAll()) {
        if (!out.empty()) out += '\n';
        out += p.ldif;
    }
    return out;
}

int Directory::Restore(std::unique_ptr<Slapi_Entry> e) {
    std::string ndn;
    if (e == nullptr || !NormalizeDn(e->dn, &ndn)) return LDAP_INVALID_DN_SYNTAX;
    std::unique_lock lock(ShardFor(ndn).mu);
    Node *n = Find(ndn);
    if (n == nullptr) return LDAP_NO_SUCH_OBJECT;
    ShardFor(ndn).Forget(n);
    n->Keep(std::move(e));  // the index, which knew the attributes replaced, starts anew
    return LDAP_SUCCESS;
}

void Directory::Clear() {
    std::unique_lock moves(move_mu_);
    AllShards<std::unique_lock<RwLock>> all(*this);
    for (Shard &shard : shards_) {
        shard.hot.clear();
        shard.nodes.clear();
    }
    roots_.clear();
    suffixes_.clear();
    refused_.clear();
}

}  // namespace hv
