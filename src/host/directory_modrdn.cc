// The modify-RDN operation of the host's directory: a rename in place, or a
// move of an entry with its whole subtree below a new superior, made under
// the directory's lock so that no search sees half of it.
#include <vector>

#include "host/directory.h"

namespace hv {
namespace {

// The AVAs of a one-RDN text; false when it is not exactly one RDN.
bool ParseRdn(std::string_view rdn, std::vector<std::pair<std::string, std::string>> *avas) {
    std::string text(rdn);
    LDAPDN dn = nullptr;
    if (ldap_str2dn(text.c_str(), &dn, LDAP_DN_FORMAT_LDAP) != LDAP_SUCCESS || dn == nullptr) return false;
    bool one = dn[0] != nullptr && dn[1] == nullptr;
    for (LDAPAVA **ava = one ? dn[0] : nullptr; ava != nullptr && *ava != nullptr; ++ava) {
        if (((*ava)->la_flags & LDAP_AVA_BINARY) != 0) continue;
        avas->emplace_back(std::string((*ava)->la_attr.bv_val, (*ava)->la_attr.bv_len),
                           std::string((*ava)->la_value.bv_val, (*ava)->la_value.bv_len));
    }
    ldap_dnfree(dn);
    return one;
}

// The first RDN of a DN text, as spelled (escapes and quotes respected).
std::string_view RdnText(std::string_view dn) {
    bool quoted = false;
    for (std::size_t i = 0; i < dn.size(); ++i) {
        if (dn[i] == '\\') {
            ++i;
        } else if (dn[i] == '"') {
            quoted = !quoted;
        } else if (!quoted && dn[i] == ',') {
            return dn.substr(0, i);
        }
    }
    return dn;
}

slapi_attr *AttrOf(Slapi_Entry *e, std::string_view type) {
    for (auto &a : e->attrs)
        if (TypeEquals(a->type, type)) return a.get();
    return nullptr;
}

bool Holds(const slapi_attr *a, std::string_view value) {
    if (a == nullptr) return false;
    for (const auto &v : a->values)
        if (EqualFold(v->data, value)) return true;
    return false;
}

// The entry's attribute values for its new RDN: the new naming values
// added, and with deleteoldrdn the old ones the new RDN lacks removed.
void RenameValues(Slapi_Entry *e, const std::vector<std::pair<std::string, std::string>> &oldRdn,
                  const std::vector<std::pair<std::string, std::string>> &newRdn, bool deleteoldrdn) {
    if (deleteoldrdn) {
        for (const auto &[type, value] : oldRdn) {
            bool kept = false;
            for (const auto &[t, v] : newRdn) kept = kept || (TypeEquals(t, type) && EqualFold(v, value));
            slapi_attr *a = AttrOf(e, type);
            if (kept || a == nullptr) continue;
            for (auto it = a->values.begin(); it != a->values.end(); ++it) {
                if (EqualFold((*it)->data, value)) {
                    a->values.erase(it);
                    break;
                }
            }
            if (a->values.empty()) {
                for (auto it = e->attrs.begin(); it != e->attrs.end(); ++it) {
                    if (it->get() == a) {
                        e->attrs.erase(it);
                        break;
                    }
                }
            }
        }
    }
    for (const auto &[type, value] : newRdn) {
        slapi_attr *a = AttrOf(e, type);
        if (Holds(a, value)) continue;
        if (a == nullptr) {
            e->attrs.push_back(std::make_unique<slapi_attr>());
            a = e->attrs.back().get();
            a->type = type;
        }
        auto v = std::make_unique<slapi_value>();
        v->data = value;
        v->Sync();
        a->values.push_back(std::move(v));
    }
}

// ndn lies at or below top.
bool AtOrBelow(std::string_view ndn, std::string_view top) {
    for (std::string_view up = ndn; !up.empty(); up = ParentNdn(up))
        if (up == top) return true;
    return false;
}

}  // namespace

int Directory::ModRdn(std::string_view dn, std::string_view newrdn, bool deleteoldrdn,
                      const char *newsuperior, std::unique_ptr<Slapi_Entry> *pre,
                      std::unique_ptr<Slapi_Entry> *post) {
    std::string ndn;
    if (!NormalizeDn(dn, &ndn) || ndn.empty()) return LDAP_INVALID_DN_SYNTAX;
    std::vector<std::pair<std::string, std::string>> newAvas, oldAvas;
    if (!ParseRdn(newrdn, &newAvas) || newAvas.empty()) return LDAP_INVALID_DN_SYNTAX;
    std::string superiorNdn;
    if (newsuperior != nullptr && !NormalizeDn(newsuperior, &superiorNdn)) return LDAP_INVALID_DN_SYNTAX;

    // Keys change all through the subtree: nothing else may look meanwhile.
    std::unique_lock moving(move_mu_);
    AllShards<std::unique_lock<RwLock>> all(*this);
    Node *found = Find(ndn);
    if (found == nullptr) return LDAP_NO_SUCH_OBJECT;
    Node &node = *found;
    const std::string_view oldParent = ParentNdn(ndn);
    // The new parent, and its DN as spelled.
    std::string parentNdn, parentDn;
    if (newsuperior != nullptr) {
        const Node *sup = Find(superiorNdn);
        if (sup == nullptr) return LDAP_NO_SUCH_OBJECT;
        if (AtOrBelow(superiorNdn, ndn)) return LDAP_UNWILLING_TO_PERFORM;
        parentNdn = superiorNdn;
        parentDn = sup->Dn();
    } else {
        const Node *up = oldParent.empty() ? nullptr : Find(oldParent);
        if (up == nullptr) return LDAP_UNWILLING_TO_PERFORM;
        parentNdn = oldParent;
        parentDn = up->Dn();
    }
    const std::string newDn = std::string(newrdn) + "," + parentDn;
    std::string newNdn;
    if (!NormalizeDn(newDn, &newNdn)) return LDAP_INVALID_DN_SYNTAX;
    if (newNdn != ndn && Find(newNdn) != nullptr) return LDAP_ALREADY_EXISTS;
    ParseRdn(RdnText(node.Dn()), &oldAvas);
    std::unique_ptr<Slapi_Entry> work = CopyEntry(node.Full(ndn));
    RenameValues(work.get(), oldAvas, newAvas, deleteoldrdn);
    if (RefusedLocked(*work)) return LDAP_OBJECT_CLASS_VIOLATION;
    SetEntryDn(work.get(), newDn);

    // Nothing can fail from here on.  Unlink the entry from its old parent,
    // re-key it and everything below it, and link it below the new parent.
    Node *oldUp = oldParent.empty() ? nullptr : Find(oldParent);
    if (oldUp != nullptr)
        oldUp->Unlink(&node);
    else
        roots_.erase(node.seq);
    if (pre != nullptr) *pre = std::move(node.entry);
    if (post != nullptr) *post = SnapshotEntry(*work);
    node.Keep(std::move(work));  // the index, which knew the attributes replaced, starts anew
    // (old ndn, new ndn) top-down, so a parent is re-keyed before its
    // children.  A node keeps its place in memory and its key object, so
    // the lists that link it stay right.
    std::vector<std::pair<std::string, std::string>> moves = {{ndn, newNdn}};
    for (std::size_t i = 0; i < moves.size(); ++i) {
        const std::string from = moves[i].first, to = moves[i].second;  // moves grows below
        Shard &shard = ShardFor(from);
        auto nh = shard.nodes.extract(from);
        Node &n = nh.mapped();
        shard.Forget(&n);  // packed below, or replaced above
        if (i > 0) {
            Slapi_Entry &moved = n.Full(from);
            SetEntryDn(&moved, std::string(RdnText(moved.dn)) + "," + std::string(Find(ParentNdn(to))->Dn()));
            n.Settle();
        }
        for (const Node *c = n.first; c != nullptr; c = c->next)
            moves.emplace_back(*c->key, c->key->substr(0, c->key->size() - from.size()) + to);
        nh.key() = to;
        ShardFor(to).nodes.insert(std::move(nh));
    }
    Find(parentNdn)->Link(&node);
    return LDAP_SUCCESS;
}

}  // namespace hv
