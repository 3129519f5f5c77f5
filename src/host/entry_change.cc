#include "host/entry_change.h"

#include <unordered_set>

#include "host/entry_internal.h"
#include "host/filter.h"

namespace hv {
namespace {

std::vector<std::string> ModValues(const LDAPMod &m) {
    std::vector<std::string> out;
    if ((m.mod_op & LDAP_MOD_BVALUES) != 0) {
        for (berval **bv = m.mod_bvalues; bv != nullptr && *bv != nullptr; ++bv)
            out.emplace_back((*bv)->bv_val == nullptr ? "" : std::string((*bv)->bv_val, (*bv)->bv_len));
    } else {
        for (char **v = m.mod_values; v != nullptr && *v != nullptr; ++v) out.emplace_back(*v);
    }
    return out;
}

// Attributes of a modify are named with their options: "cn;lang-de" is not "cn".
std::size_t FindExact(const Slapi_Entry &e, std::string_view type) {
    for (std::size_t i = 0; i < e.attrs.size(); ++i)
        if (EqualFold(e.attrs[i]->type, type)) return i;
    return std::string::npos;
}

// FNV-1a of the bytes folded as EqualFold folds them (ASCII letters only).
std::uint64_t FoldHash(std::string_view v) {
    std::uint64_t h = 14695981039346656037ull;
    for (char c : v) {
        unsigned char b = static_cast<unsigned char>(c);
        if (b >= 'A' && b <= 'Z') b = static_cast<unsigned char>(b + 32);
        h = (h ^ b) * 1099511628211ull;
    }
    return h;
}

// Position of the first value of a matching v, scanning.
std::size_t Scan(const slapi_attr &a, std::string_view v) {
    std::size_t i = 0;
    for (const slapi_value *have : a.values) {
        if (EqualFold(have->data, v)) return i;
        ++i;
    }
    return ValueList::npos;
}

bool HasDuplicates(const std::vector<std::string> &vals) {
    if (vals.size() < 2) return false;
    std::unordered_set<std::string> seen;
    for (const std::string &v : vals)
        if (!seen.insert(AsciiLower(v)).second) return true;
    return false;
}

}  // namespace

ValueIndex::Counts *ValueIndex::CountsOf(const slapi_attr &a) const {
    if (sets_ == nullptr) return nullptr;
    auto it = sets_->find(&a);
    return it == sets_->end() ? nullptr : &it->second;
}

ValueIndex::Counts *ValueIndex::Build(const slapi_attr &a) {
    if (Counts *counts = CountsOf(a)) return counts;
    if (a.values.size() < kMinValues) return nullptr;
    if (sets_ == nullptr) sets_ = std::make_unique<std::unordered_map<const slapi_attr *, Counts>>();
    Counts *counts = &(*sets_)[&a];
    counts->reserve(a.values.size());
    for (auto v = a.values.begin(); v != a.values.end(); ++v) {
        Held &h = (*counts)[FoldHash((*v)->data)];
        h.keyed = ++h.count == 1;
        h.key = v.key();
    }
    return counts;
}

bool ValueIndex::Contains(const slapi_attr &a, std::string_view v) { return Find(a, v) != ValueList::npos; }

std::size_t ValueIndex::Find(const slapi_attr &a, std::string_view v) {
    if (Counts *counts = Build(a)) {
        auto h = counts->find(FoldHash(v));
        if (h == counts->end()) return ValueList::npos;
        if (h->second.keyed) {
            std::size_t at = a.values.Find(h->second.key);
            if (at != ValueList::npos && EqualFold(a.values[at]->data, v)) return at;
        }
    }
    // A small attribute, a hash shared, or values folding alike (a rare
    // load): scan.
    return Scan(a, v);
}

void ValueIndex::Added(const slapi_attr &a, std::string_view v, ValueList::Key k) {
    Counts *counts = CountsOf(a);
    if (counts == nullptr) return;
    Held &h = (*counts)[FoldHash(v)];
    h.keyed = ++h.count == 1;
    h.key = k;
}

void ValueIndex::Removed(const slapi_attr &a, std::string_view v) {
    Counts *counts = CountsOf(a);
    if (counts == nullptr) return;
    auto h = counts->find(FoldHash(v));
    if (h == counts->end()) return;
    if (--h->second.count == 0) {
        counts->erase(h);
    } else {
        h->second.keyed = false;  // which one is left is not known
    }
}

void ValueIndex::Forget(const slapi_attr &a) {
    if (sets_ != nullptr) sets_->erase(&a);
}

EntryChange::~EntryChange() {
    if (steps_.empty()) return;
    for (auto s = steps_.rbegin(); s != steps_.rend(); ++s) {
        switch (s->kind) {
        case Step::kAppended:
            for (std::size_t n = 0; n < s->pos; ++n) s->attr->values.pop_back();
            break;
        case Step::kRemovedValue:
            s->attr->values.Insert(s->key, std::move(s->value));
            break;
        case Step::kReplaced:
            s->attr->values = std::move(s->values);
            break;
        case Step::kAddedAttr:
            e_->attrs.pop_back();
            break;
        case Step::kRemovedAttr:
            e_->attrs.insert(e_->attrs.begin() + static_cast<long>(s->pos), std::move(s->removed));
            break;
        }
    }
    index_->Clear();  // rare: rebuilt when next needed
}

slapi_attr *EntryChange::AddAttr(std::string_view type) {
    slapi_attr *a = AppendAttr(e_, type);
    steps_.emplace_back(Step::kAddedAttr);
    return a;
}

void EntryChange::RemoveAttr(std::size_t pos) {
    index_->Forget(*e_->attrs[pos]);
    Step step(Step::kRemovedAttr);
    step.pos = pos;
    step.removed = std::move(e_->attrs[pos]);
    e_->attrs.erase(e_->attrs.begin() + static_cast<long>(pos));
    steps_.push_back(std::move(step));
}

int EntryChange::Apply(const LDAPMod &m) {
    if (m.mod_type == nullptr || m.mod_type[0] == '\0') return LDAP_PROTOCOL_ERROR;
    std::string_view type = m.mod_type;
    std::vector<std::string> vals = ModValues(m);
    std::size_t pos = FindExact(*e_, type);
    switch (m.mod_op & ~LDAP_MOD_BVALUES) {
    case LDAP_MOD_ADD: {
        if (vals.empty()) return LDAP_PROTOCOL_ERROR;
        if (HasDuplicates(vals)) return LDAP_TYPE_OR_VALUE_EXISTS;
        if (pos != std::string::npos)
            for (const std::string &v : vals)
                if (index_->Contains(*e_->attrs[pos], v)) return LDAP_TYPE_OR_VALUE_EXISTS;
        slapi_attr *a = pos != std::string::npos ? e_->attrs[pos].get() : AddAttr(type);
        for (const std::string &v : vals) index_->Added(*a, v, a->values.push_back(NewValue(v)));
        Step step(Step::kAppended);
        step.attr = a;
        step.pos = vals.size();
        steps_.push_back(std::move(step));
        return LDAP_SUCCESS;
    }
    case LDAP_MOD_DELETE: {
        if (pos == std::string::npos) return LDAP_NO_SUCH_ATTRIBUTE;
        if (vals.empty()) {
            RemoveAttr(pos);
            return LDAP_SUCCESS;
        }
        slapi_attr *a = e_->attrs[pos].get();
        for (const std::string &v : vals) {
            std::size_t i = index_->Find(*a, v);
            if (i == ValueList::npos) return LDAP_NO_SUCH_ATTRIBUTE;
            Step step(Step::kRemovedValue);
            step.attr = a;
            step.key = a->values.KeyAt(i);
            step.value = a->values.erase(i);
            index_->Removed(*a, v);
            steps_.push_back(std::move(step));
        }
        if (a->values.empty()) RemoveAttr(pos);
        return LDAP_SUCCESS;
    }
    case LDAP_MOD_REPLACE: {
        if (vals.empty()) {
            if (pos != std::string::npos) RemoveAttr(pos);
            return LDAP_SUCCESS;
        }
        if (HasDuplicates(vals)) return LDAP_TYPE_OR_VALUE_EXISTS;
        slapi_attr *a = pos != std::string::npos ? e_->attrs[pos].get() : AddAttr(type);
        index_->Forget(*a);
        Step step(Step::kReplaced);
        step.attr = a;
        step.values = std::move(a->values);
        for (const std::string &v : vals) a->values.push_back(NewValue(v));
        steps_.push_back(std::move(step));
        return LDAP_SUCCESS;
    }
    default:
        return LDAP_PROTOCOL_ERROR;
    }
}

}  // namespace hv
