#include "host/directory.h"

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

std::string ParentNdn(const std::string &ndn) {
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
    return std::string();
}

Directory &Directory::Instance() {
    static Directory *dir = new Directory;  // lives until exit; handlers may run late
    return *dir;
}

int Directory::AddSuffix(std::string_view dn) {
    std::string ndn;
    if (!NormalizeDn(dn, &ndn) || ndn.empty()) return LDAP_INVALID_DN_SYNTAX;
    std::unique_lock lock(mu_);
    suffixes_.insert(std::move(ndn));
    return LDAP_SUCCESS;
}

void Directory::RefuseAttribute(std::string_view type, bool on) {
    std::unique_lock lock(mu_);
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

void Directory::InsertLocked(std::string ndn, std::string parent, std::unique_ptr<Slapi_Entry> e) {
    std::uint64_t seq = next_seq_++;
    // A suffix added below an already stored entry, or above stored suffixes,
    // joins the tree so that leaf tests and subtree searches see it.
    for (auto it = roots_.begin(); it != roots_.end();) {
        Node &root = nodes_.at(it->second);
        if (root.parent == ndn) {
            Node &self = nodes_[ndn];
            self.children.emplace(it->first, it->second);
            it = roots_.erase(it);
        } else {
            ++it;
        }
    }
    Node &node = nodes_[ndn];
    node.entry = std::move(e);
    node.seq = seq;
    node.parent = parent;
    auto p = nodes_.find(parent);
    if (!parent.empty() && p != nodes_.end())
        p->second.children.emplace(seq, ndn);
    else
        roots_.emplace(seq, ndn);
    order_.emplace(seq, std::move(ndn));
}

int Directory::Add(std::unique_ptr<Slapi_Entry> e) {
    if (e == nullptr) return LDAP_PROTOCOL_ERROR;
    std::string ndn;
    if (!NormalizeDn(e->dn, &ndn)) return LDAP_INVALID_DN_SYNTAX;
    if (ndn.empty()) return LDAP_UNWILLING_TO_PERFORM;
    std::string parent = ParentNdn(ndn);
    std::unique_lock lock(mu_);
    if (RefusedLocked(*e)) return LDAP_OBJECT_CLASS_VIOLATION;
    if (nodes_.count(ndn) != 0) return LDAP_ALREADY_EXISTS;
    if (suffixes_.count(ndn) == 0 && (parent.empty() || nodes_.count(parent) == 0))
        return LDAP_NO_SUCH_OBJECT;
    InsertLocked(std::move(ndn), std::move(parent), std::move(e));
    return LDAP_SUCCESS;
}

int Directory::Delete(std::string_view dn, std::unique_ptr<Slapi_Entry> *pre) {
    std::string ndn;
    if (!NormalizeDn(dn, &ndn)) return LDAP_INVALID_DN_SYNTAX;
    std::unique_lock lock(mu_);
    auto it = nodes_.find(ndn);
    if (it == nodes_.end()) return LDAP_NO_SUCH_OBJECT;
    Node &node = it->second;
    if (!node.children.empty()) {
        if (pre != nullptr) *pre = SnapshotEntry(*node.entry);
        return LDAP_NOT_ALLOWED_ON_NONLEAF;
    }
    auto p = nodes_.find(node.parent);
    bool linked = p != nodes_.end() && p->second.children.erase(node.seq) != 0;
    if (!linked) roots_.erase(node.seq);
    order_.erase(node.seq);
    if (pre != nullptr) *pre = std::move(node.entry);
    nodes_.erase(it);
    return LDAP_SUCCESS;
}

int Directory::Modify(std::string_view dn, LDAPMod **mods, std::unique_ptr<Slapi_Entry> *pre,
                      std::unique_ptr<Slapi_Entry> *post) {
    std::string ndn;
    if (!NormalizeDn(dn, &ndn)) return LDAP_INVALID_DN_SYNTAX;
    std::unique_lock lock(mu_);
    auto it = nodes_.find(ndn);
    if (it == nodes_.end()) return LDAP_NO_SUCH_OBJECT;
    Node &node = it->second;
    // Copies only for the handlers that asked to see the entry; the change
    // itself is made in place and taken back when refused.
    if (pre != nullptr) *pre = SnapshotEntry(*node.entry);
    const std::vector<DnAva> naming = HeldNamingValues(*node.entry);
    int rc = LDAP_SUCCESS;
    {
        EntryChange change(node.entry.get(), &node.index);
        for (LDAPMod **m = mods; rc == LDAP_SUCCESS && m != nullptr && *m != nullptr; ++m)
            rc = change.Apply(**m);
        if (rc == LDAP_SUCCESS && !HoldsAll(*node.entry, naming)) rc = LDAP_NOT_ALLOWED_ON_RDN;
        if (rc == LDAP_SUCCESS && RefusedLocked(*node.entry)) rc = LDAP_OBJECT_CLASS_VIOLATION;
        if (rc == LDAP_SUCCESS) change.Commit();
    }
    if (post != nullptr) *post = SnapshotEntry(*node.entry);
    return rc;
}

void Directory::CollectLocked(const std::string &ndn, int scope, const Filter &filter, char **attrs,
                              int attrsonly, std::vector<std::unique_ptr<Slapi_Entry>> *out) const {
    auto consider = [&](const Node &n) {
        if (filter.Matches(*n.entry)) out->push_back(Project(*n.entry, attrs, attrsonly));
    };
    const std::map<std::uint64_t, std::string> *kids = &roots_;
    if (!ndn.empty()) {
        const Node &base = nodes_.at(ndn);
        if (scope == LDAP_SCOPE_BASE || scope == LDAP_SCOPE_SUBTREE) consider(base);
        if (scope == LDAP_SCOPE_BASE) return;
        kids = &base.children;
    } else if (scope == LDAP_SCOPE_BASE) {
        return;  // no root entry is kept
    }
    if (scope == LDAP_SCOPE_ONELEVEL) {
        for (const auto &kid : *kids) consider(nodes_.at(kid.second));
        return;
    }
    // Subtree and subordinates: pre-order, children in the order added, with
    // an explicit stack so that deep trees cannot exhaust the thread's stack.
    std::vector<const std::string *> stack;
    for (auto k = kids->rbegin(); k != kids->rend(); ++k) stack.push_back(&k->second);
    while (!stack.empty()) {
        const Node &n = nodes_.at(*stack.back());
        stack.pop_back();
        consider(n);
        for (auto k = n.children.rbegin(); k != n.children.rend(); ++k) stack.push_back(&k->second);
    }
}

int Directory::Search(std::string_view base, int scope, const Filter &filter, char **attrs,
                      int attrsonly, std::vector<std::unique_ptr<Slapi_Entry>> *out) const {
    if (scope != LDAP_SCOPE_BASE && scope != LDAP_SCOPE_ONELEVEL && scope != LDAP_SCOPE_SUBTREE &&
        scope != LDAP_SCOPE_SUBORDINATE)
        return LDAP_PROTOCOL_ERROR;
    std::string ndn;
    if (!NormalizeDn(base, &ndn)) return LDAP_INVALID_DN_SYNTAX;
    std::shared_lock lock(mu_);
    if (!ndn.empty() && nodes_.count(ndn) == 0) return LDAP_NO_SUCH_OBJECT;
    CollectLocked(ndn, scope, filter, attrs, attrsonly, out);
    return LDAP_SUCCESS;
}

std::unique_ptr<Slapi_Entry> Directory::Get(std::string_view dn, char **attrs) const {
    std::string ndn;
    if (!NormalizeDn(dn, &ndn)) return nullptr;
    std::shared_lock lock(mu_);
    auto it = nodes_.find(ndn);
    if (it == nodes_.end()) return nullptr;
    return Project(*it->second.entry, attrs, 0);
}

int Directory::Count() const {
    std::shared_lock lock(mu_);
    return static_cast<int>(nodes_.size());
}

int Directory::Load(std::vector<std::unique_ptr<Slapi_Entry>> entries, std::string *fault_dn) {
    std::vector<std::pair<std::string, std::string>> keys;  // ndn, parent
    keys.reserve(entries.size());
    std::unique_lock lock(mu_);
    std::unordered_set<std::string> batch;
    for (const auto &e : entries) {
        std::string ndn;
        if (!NormalizeDn(e->dn, &ndn) || ndn.empty()) {
            *fault_dn = e->dn;
            return LDAP_INVALID_DN_SYNTAX;
        }
        if (nodes_.count(ndn) != 0 || !batch.insert(ndn).second) {
            *fault_dn = e->dn;
            return LDAP_ALREADY_EXISTS;
        }
        std::string parent = ParentNdn(ndn);
        keys.emplace_back(std::move(ndn), std::move(parent));
    }
    for (std::size_t i = 0; i < entries.size(); ++i) {
        auto &[ndn, parent] = keys[i];
        if (parent.empty() || nodes_.count(parent) == 0) suffixes_.insert(ndn);
        InsertLocked(std::move(ndn), std::move(parent), std::move(entries[i]));
    }
    return LDAP_SUCCESS;
}

std::vector<Directory::Printed> Directory::PrintAll() const {
    std::shared_lock lock(mu_);
    std::vector<Printed> out;
    std::unordered_set<std::string> done;
    std::vector<const std::string *> chain;
    for (const auto &[seq, ndn] : order_) {
        if (done.count(ndn) != 0) continue;
        // Unwritten stored ancestors first (a suffix added after entries below it).
        chain.clear();
        for (std::string at = ndn; !at.empty() && done.count(at) == 0;) {
            auto it = nodes_.find(at);
            if (it == nodes_.end()) break;
            chain.push_back(&it->first);
            done.insert(at);
            at = it->second.parent;
        }
        for (auto n = chain.rbegin(); n != chain.rend(); ++n) {
            int len = 0;
            char *text = slapi_entry2str(nodes_.at(**n).entry.get(), &len);
            if (text == nullptr) continue;
            Printed p{**n, std::string(text, static_cast<std::size_t>(len))};
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
    std::unique_lock lock(mu_);
    auto it = nodes_.find(ndn);
    if (it == nodes_.end()) return LDAP_NO_SUCH_OBJECT;
    it->second.entry = std::move(e);
    it->second.index.Clear();  // it knew the attributes of the entry replaced
    return LDAP_SUCCESS;
}

void Directory::Clear() {
    std::unique_lock lock(mu_);
    nodes_.clear();
    roots_.clear();
    order_.clear();
    suffixes_.clear();
    refused_.clear();
}

}  // namespace hv
