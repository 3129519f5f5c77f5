// Value lists sharing chunks, snapshots of entries and modifies made in
// place on large attributes: what a snapshot shows never changes, what it
// shares refuses change, and order survives changes and their undoing.
#include "host/value_list.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "host/entry_change.h"
#include "host/entry_internal.h"

namespace hv {
namespace {

std::vector<std::string> Texts(const ValueList &l) {
    std::vector<std::string> out;
    for (const slapi_value *v : l) out.push_back(v->data);
    return out;
}

// Every way to read the list agrees with the expected texts: iteration,
// position, key lookup, and the berval of each value.
void ExpectHolds(const ValueList &l, const std::vector<std::string> &want) {
    ASSERT_EQ(l.size(), want.size());
    EXPECT_EQ(l.empty(), want.empty());
    EXPECT_EQ(Texts(l), want);
    ValueList::Key last = 0;
    for (std::size_t i = 0; i < want.size(); ++i) {
        ASSERT_EQ(l[i]->data, want[i]) << i;
        EXPECT_EQ(std::string(l[i]->bv.bv_val, l[i]->bv.bv_len), want[i]);
        ValueList::Key k = l.KeyAt(i);
        if (i > 0) {
            EXPECT_GT(k, last) << i;
        }
        last = k;
        EXPECT_EQ(l.Find(k), i);
    }
}

TEST(ValueList, ModelledChangesWithSnapshotsTakenOnTheWay) {
    std::mt19937 rng(13);
    ValueList list;
    std::vector<std::string> model;
    std::vector<std::pair<ValueList, std::vector<std::string>>> snaps;
    int serial = 0;
    for (int step = 0; step < 6000; ++step) {
        unsigned op = rng() % 10;
        if (op < 5 || model.empty()) {
            std::string text = "uid=user" + std::to_string(serial++) + ",ou=people,dc=example,dc=com";
            list.push_back(NewValue(text));
            model.push_back(text);
        } else if (op < 8) {
            std::size_t i = rng() % model.size();
            ValueList::Key k = list.KeyAt(i);
            std::unique_ptr<slapi_value> v = list.erase(i);
            EXPECT_EQ(v->data, model[i]);
            if (rng() % 4 == 0) {
                list.Insert(k, std::move(v));  // as an undo puts it back
            } else {
                model.erase(model.begin() + static_cast<long>(i));
            }
        } else if (op < 9) {
            if (snaps.size() < 20) snaps.emplace_back(list.Share(), model);
        } else if (!snaps.empty()) {
            snaps.erase(snaps.begin() + static_cast<long>(rng() % snaps.size()));
        }
        if (step % 500 == 0) ExpectHolds(list, model);
    }
    ExpectHolds(list, model);
    for (auto &[snap, want] : snaps) {
        ExpectHolds(snap, want);
        for (const slapi_value *v : snap) EXPECT_TRUE(v->shared);
    }
    while (!model.empty()) {
        list.pop_back();
        model.pop_back();
    }
    ExpectHolds(list, model);
}

TEST(ValueList, ChangeToASharedChunkCopiesItOnly) {
    ValueList list;
    for (int i = 0; i < 3 * static_cast<int>(ValueList::kChunk); ++i) list.push_back(NewValue(std::to_string(i)));
    EXPECT_FALSE(list[0]->shared);
    ValueList snap = list.Share();
    const slapi_value *first = list[0], *last = list[list.size() - 1];
    EXPECT_TRUE(first->shared);
    EXPECT_EQ(snap[0], first);
    // A removal from the first chunk gives the list its own copy of that
    // chunk, with values free to change; the last chunk stays shared.
    std::unique_ptr<slapi_value> gone = list.erase(1);
    EXPECT_EQ(gone->data, "1");
    EXPECT_FALSE(gone->shared);
    EXPECT_NE(list[0], first);
    EXPECT_FALSE(list[0]->shared);
    EXPECT_EQ(list[list.size() - 1], last);
    EXPECT_EQ(snap[1]->data, "1");
    EXPECT_EQ(snap.size(), 3 * ValueList::kChunk);
    // Once the snapshot is gone the list changes its chunks in place.
    snap.clear();
    list.push_back(NewValue("new"));
    EXPECT_EQ(list[list.size() - 2], last);
    // A list shared again marks what it shares, new values too.
    ValueList again = list.Share();
    EXPECT_TRUE(list.back()->shared);
    EXPECT_TRUE(list[0]->shared);
}

// An entry with a group's members, as the directory stores it.
struct Group {
    explicit Group(int n) : e(std::make_unique<Slapi_Entry>()) {
        SetEntryDn(e.get(), "cn=group,dc=example,dc=com");
        AppendAttr(e.get(), "cn")->values.push_back(NewValue("group"));
        slapi_attr *m = AppendAttr(e.get(), "member");
        for (int i = 0; i < n; ++i) {
            members.push_back(Member(i));
            m->values.push_back(NewValue(members.back()));
        }
    }
    static std::string Member(int i) { return "uid=u" + std::to_string(i) + ",dc=example,dc=com"; }
    slapi_attr *member() { return FindAttr(e.get(), "member"); }
    int Apply(std::vector<LDAPMod> mods) {
        EntryChange change(e.get(), &index);
        for (const LDAPMod &m : mods) {
            int rc = change.Apply(m);
            if (rc != LDAP_SUCCESS) return rc;
        }
        change.Commit();
        return LDAP_SUCCESS;
    }
    std::unique_ptr<Slapi_Entry> e;
    ValueIndex index;
    std::vector<std::string> members;
};

// One modification of member with the given values (kept by the caller).
LDAPMod Mod(int op, std::vector<char *> &vals) {
    vals.push_back(nullptr);
    LDAPMod m{};
    m.mod_op = op;
    m.mod_type = const_cast<char *>("member");
    m.mod_values = vals.data();
    return m;
}

char *Text(std::string &s) { return s.data(); }

TEST(Snapshot, StaysAsTakenAndRefusesChange) {
    Group g(1000);
    std::unique_ptr<Slapi_Entry> snap = SnapshotEntry(*g.e);
    ShareEntry(snap.get());
    std::string first = Group::Member(0), mid = Group::Member(500), fresh = "uid=new,dc=example,dc=com";
    std::vector<char *> del{Text(first), Text(mid)}, add{Text(fresh)};
    ASSERT_EQ(g.Apply({Mod(LDAP_MOD_DELETE, del), Mod(LDAP_MOD_ADD, add)}), LDAP_SUCCESS);
    ExpectHolds(FindAttr(snap.get(), "member")->values, g.members);
    EXPECT_EQ(g.member()->values.size(), 999u);
    EXPECT_EQ(g.member()->values.back()->data, fresh);

    // The snapshot's values refuse change through the value calls; a
    // replace of the stored attribute leaves them too.
    Slapi_Attr *a = nullptr;
    Slapi_Value *v = nullptr;
    ASSERT_EQ(slapi_entry_attr_find(snap.get(), "member", &a), 0);
    ASSERT_EQ(slapi_attr_next_value(a, 499, &v), 500);
    EXPECT_EQ(slapi_value_init_string(v, "scribbled"), nullptr);
    EXPECT_EQ(slapi_value_get_string(v), mid);
    EXPECT_EQ(slapi_entry_add_string(snap.get(), "member", "uid=x"), -1);
    std::vector<char *> one{Text(fresh)};
    ASSERT_EQ(g.Apply({Mod(LDAP_MOD_REPLACE, one)}), LDAP_SUCCESS);
    ExpectHolds(FindAttr(snap.get(), "member")->values, g.members);

    // A copy for a plug-in to keep has values of its own, free to change,
    // and the stored entry does not see the change.
    Slapi_Entry *dup = slapi_entry_dup(snap.get());
    ASSERT_EQ(slapi_entry_attr_find(dup, "member", &a), 0);
    ASSERT_EQ(slapi_attr_first_value(a, &v), 0);
    EXPECT_EQ(slapi_value_init_string(v, "changed"), v);
    EXPECT_EQ(slapi_entry_add_string(dup, "member", "uid=x"), 0);
    slapi_entry_free(dup);
    EXPECT_EQ(FindAttr(snap.get(), "member")->values[0]->data, first);
    EXPECT_EQ(Texts(g.member()->values), std::vector<std::string>{fresh});
}

TEST(Snapshot, RefusedModifyOfManyValuesRestoresOrder) {
    for (bool snapshot : {false, true}) {
        SCOPED_TRACE(snapshot ? "with a snapshot held" : "alone");
        Group g(10000);
        std::unique_ptr<Slapi_Entry> pre = snapshot ? SnapshotEntry(*g.e) : nullptr;
        // Values from the first, a middle and the last chunk, removed out
        // of order, values added, then a value that is not there.
        std::vector<std::string> gone = {Group::Member(9999), Group::Member(0), Group::Member(4321),
                                         Group::Member(4322), Group::Member(64)};
        std::vector<char *> del;
        for (std::string &s : gone) del.push_back(Text(s));
        std::string n1 = "uid=n1", n2 = "uid=n2", missing = "uid=nobody";
        std::vector<char *> add{Text(n1), Text(n2)}, del2{Text(n1), Text(missing)};
        EXPECT_EQ(g.Apply({Mod(LDAP_MOD_DELETE, del), Mod(LDAP_MOD_ADD, add), Mod(LDAP_MOD_DELETE, del2)}),
                  LDAP_NO_SUCH_ATTRIBUTE);
        ExpectHolds(g.member()->values, g.members);
        if (pre != nullptr) ExpectHolds(FindAttr(pre.get(), "member")->values, g.members);
        // The index answers as before the refused modify: each value is
        // found at its place and removed.
        std::vector<char *> del3{Text(gone[2]), Text(gone[0])};
        ASSERT_EQ(g.Apply({Mod(LDAP_MOD_DELETE, del3)}), LDAP_SUCCESS);
        std::vector<std::string> want = g.members;
        want.erase(want.begin() + 9999);
        want.erase(want.begin() + 4321);
        ExpectHolds(g.member()->values, want);
        std::vector<char *> again{Text(gone[2])};
        EXPECT_EQ(g.Apply({Mod(LDAP_MOD_DELETE, again)}), LDAP_NO_SUCH_ATTRIBUTE);
        EXPECT_EQ(g.Apply({Mod(LDAP_MOD_ADD, again)}), LDAP_SUCCESS);
        want.push_back(gone[2]);
        ExpectHolds(g.member()->values, want);
    }
}

// Values that fold alike (a file may hold them) are removed first one first,
// and each modify's test sees the ones left.
TEST(Snapshot, ValuesFoldingAlikeGoInOrder) {
    Group g(100);
    for (const char *dup : {"uid=Dup", "UID=DUP"}) {
        g.member()->values.push_back(NewValue(dup));
        g.members.push_back(dup);
    }
    std::string text = "uid=dup";
    std::vector<char *> one{Text(text)};
    for (int round = 0; round < 2; ++round) {
        ASSERT_EQ(g.Apply({Mod(LDAP_MOD_ADD, one)}), LDAP_TYPE_OR_VALUE_EXISTS) << round;
        ASSERT_EQ(g.Apply({Mod(LDAP_MOD_DELETE, one)}), LDAP_SUCCESS) << round;
        g.members.erase(g.members.begin() + 100);
        ExpectHolds(g.member()->values, g.members);
    }
    EXPECT_EQ(g.Apply({Mod(LDAP_MOD_DELETE, one)}), LDAP_NO_SUCH_ATTRIBUTE);
    EXPECT_EQ(g.Apply({Mod(LDAP_MOD_ADD, one)}), LDAP_SUCCESS);
}

}  // namespace
}  // namespace hv
