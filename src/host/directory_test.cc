// Directory operation semantics and their LDAP result codes, through the
// client operations a user of the server would send.
#include <gtest/gtest.h>

#include "host/directory_test_util.h"

namespace {

using hvtest::AddLdif;
using hvtest::Ldif;
using hvtest::Mods;
using hvtest::StoredValues;

class DirectoryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        hv_host_reset();
        ASSERT_EQ(hv_dir_add_suffix("dc=example,dc=com"), 0);
        ASSERT_EQ(AddLdif(Ldif("dc=example,dc=com")), 0);
        ASSERT_EQ(AddLdif(Ldif("ou=people,dc=example,dc=com", "description: Staff\n")), 0);
    }
    void TearDown() override { hv_host_reset(); }
    int Modify(const char *dn, Mods &m) { return hv_op_modify(dn, m.get(), 0, nullptr); }
};

TEST_F(DirectoryTest, AddNeedsParentOrSuffixAndRefusesDuplicates) {
    EXPECT_EQ(AddLdif(Ldif("dc=other,dc=org")), LDAP_NO_SUCH_OBJECT);
    EXPECT_EQ(AddLdif(Ldif("cn=a,ou=missing,dc=example,dc=com")), LDAP_NO_SUCH_OBJECT);
    // Same DN in other letter case and spacing.
    EXPECT_EQ(AddLdif(Ldif("OU=People, DC=Example,dc=COM")), LDAP_ALREADY_EXISTS);
    Slapi_Entry *bad = slapi_entry_alloc();
    slapi_entry_set_dn(bad, slapi_ch_strdup("this is no dn"));
    EXPECT_EQ(hv_op_add(bad, 0, nullptr), LDAP_INVALID_DN_SYNTAX);
    EXPECT_EQ(AddLdif("no dn line at all\n"), LDAP_PROTOCOL_ERROR);
    EXPECT_EQ(AddLdif(Ldif("cn=a,ou=people,dc=example,dc=com")), 0);
    EXPECT_EQ(hv_dir_entry_count(), 3);
    EXPECT_EQ(hv_op_add(nullptr, 0, nullptr), LDAP_PROTOCOL_ERROR);
}

TEST_F(DirectoryTest, DeleteTakesLeavesOnly) {
    ASSERT_EQ(AddLdif(Ldif("cn=a,ou=people,dc=example,dc=com")), 0);
    EXPECT_EQ(hv_op_delete("ou=people,dc=example,dc=com", 0, nullptr), LDAP_NOT_ALLOWED_ON_NONLEAF);
    EXPECT_EQ(hv_op_delete("cn=b,ou=people,dc=example,dc=com", 0, nullptr), LDAP_NO_SUCH_OBJECT);
    EXPECT_EQ(hv_op_delete("cn=A, ou=People,dc=example,dc=com", 0, nullptr), 0);
    EXPECT_EQ(hv_op_delete("ou=people,dc=example,dc=com", 0, nullptr), 0);
    EXPECT_EQ(hv_dir_entry_count(), 1);
    // The name is free again.
    EXPECT_EQ(AddLdif(Ldif("ou=people,dc=example,dc=com")), 0);
}

TEST_F(DirectoryTest, SuffixDeclaredAboveStoredSuffixAdoptsIt) {
    ASSERT_EQ(hv_dir_add_suffix("dc=com"), 0);
    ASSERT_EQ(AddLdif(Ldif("dc=com")), 0);
    EXPECT_EQ(hv_op_delete("dc=com", 0, nullptr), LDAP_NOT_ALLOWED_ON_NONLEAF);
}

TEST_F(DirectoryTest, ModifyAddAndDeleteValues) {
    const char *dn = "ou=people,dc=example,dc=com";
    Mods dup;
    dup.Add(LDAP_MOD_ADD, "description", {"STAFF"});
    EXPECT_EQ(Modify(dn, dup), LDAP_TYPE_OR_VALUE_EXISTS);
    Mods twice;
    twice.Add(LDAP_MOD_ADD, "seeAlso", {"x", "X"});
    EXPECT_EQ(Modify(dn, twice), LDAP_TYPE_OR_VALUE_EXISTS);
    Mods add;
    add.Add(LDAP_MOD_ADD, "description", {"Second"});
    EXPECT_EQ(Modify(dn, add), 0);
    EXPECT_EQ(StoredValues(dn, "description"), (std::vector<std::string>{"Staff", "Second"}));

    Mods missing_value;
    missing_value.Add(LDAP_MOD_DELETE, "description", {"third"});
    EXPECT_EQ(Modify(dn, missing_value), LDAP_NO_SUCH_ATTRIBUTE);
    Mods missing_attr;
    missing_attr.Add(LDAP_MOD_DELETE, "telephoneNumber", {});
    EXPECT_EQ(Modify(dn, missing_attr), LDAP_NO_SUCH_ATTRIBUTE);
    Mods del_one;
    del_one.Add(LDAP_MOD_DELETE, "Description", {"staff"});
    EXPECT_EQ(Modify(dn, del_one), 0);
    EXPECT_EQ(StoredValues(dn, "description"), (std::vector<std::string>{"Second"}));
    Mods del_last;
    del_last.Add(LDAP_MOD_DELETE, "description", {"second"});
    EXPECT_EQ(Modify(dn, del_last), 0);
    EXPECT_TRUE(StoredValues(dn, "description").empty());
    // Deleting a value that removed the attribute leaves nothing to delete.
    EXPECT_EQ(Modify(dn, del_last), LDAP_NO_SUCH_ATTRIBUTE);
}

TEST_F(DirectoryTest, ModifyReplaceAndWholeAttributeDelete) {
    const char *dn = "ou=people,dc=example,dc=com";
    Mods rep;
    rep.Add(LDAP_MOD_REPLACE, "description", {"one", "two"});
    EXPECT_EQ(Modify(dn, rep), 0);
    EXPECT_EQ(StoredValues(dn, "description"), (std::vector<std::string>{"one", "two"}));
    Mods rep_none;
    rep_none.Add(LDAP_MOD_REPLACE, "description", {});
    EXPECT_EQ(Modify(dn, rep_none), 0);
    EXPECT_TRUE(StoredValues(dn, "description").empty());
    EXPECT_EQ(Modify(dn, rep_none), 0);  // absent already: still fine
    Mods rep_new;
    rep_new.Add(LDAP_MOD_REPLACE, "counter", {"5"});
    EXPECT_EQ(Modify(dn, rep_new), 0);
    Mods del_all;
    del_all.Add(LDAP_MOD_DELETE, "COUNTER", {});
    EXPECT_EQ(Modify(dn, del_all), 0);
    EXPECT_TRUE(StoredValues(dn, "counter").empty());
}

TEST_F(DirectoryTest, BinaryValuesKeepEveryByte) {
    const char *dn = "ou=people,dc=example,dc=com";
    std::string raw("a\0b\xff", 4);
    Mods m;
    m.AddBinary(LDAP_MOD_ADD, "jpegPhoto", {raw});
    EXPECT_EQ(Modify(dn, m), 0);
    EXPECT_EQ(StoredValues(dn, "jpegPhoto"), (std::vector<std::string>{raw}));
    Mods del;
    del.AddBinary(LDAP_MOD_DELETE, "jpegPhoto", {std::string("a\0c\xff", 4)});
    EXPECT_EQ(Modify(dn, del), LDAP_NO_SUCH_ATTRIBUTE);  // NUL does not end the comparison
}

TEST_F(DirectoryTest, ModifyIsAllOrNothing) {
    const char *dn = "ou=people,dc=example,dc=com";
    Mods m;
    m.Add(LDAP_MOD_REPLACE, "description", {"changed"})
        .Add(LDAP_MOD_ADD, "seeAlso", {"cn=x"})
        .Add(LDAP_MOD_DELETE, "telephoneNumber", {"1"});
    EXPECT_EQ(Modify(dn, m), LDAP_NO_SUCH_ATTRIBUTE);
    EXPECT_EQ(StoredValues(dn, "description"), (std::vector<std::string>{"Staff"}));
    EXPECT_TRUE(StoredValues(dn, "seeAlso").empty());

    Mods bad_op;
    bad_op.Add(LDAP_MOD_REPLACE, "description", {"x"}).Add(77, "description", {"y"});
    EXPECT_EQ(Modify(dn, bad_op), LDAP_PROTOCOL_ERROR);
    EXPECT_EQ(StoredValues(dn, "description"), (std::vector<std::string>{"Staff"}));
    Mods no_values;
    no_values.Add(LDAP_MOD_ADD, "description", {});
    EXPECT_EQ(Modify(dn, no_values), LDAP_PROTOCOL_ERROR);

    Mods ok;
    ok.Add(LDAP_MOD_ADD, "seeAlso", {"cn=x"});
    EXPECT_EQ(Modify("cn=nobody,dc=example,dc=com", ok), LDAP_NO_SUCH_OBJECT);
    EXPECT_EQ(Modify("not a dn", ok), LDAP_INVALID_DN_SYNTAX);
}

// A group large enough for its members to be indexed: a refused modify
// leaves every value in its place, and value tests after it still see the
// values as they are.
TEST_F(DirectoryTest, ModifyOfALargeGroupIsAllOrNothing) {
    const char *dn = "cn=g,dc=example,dc=com";
    std::string ldif = "dn: cn=g,dc=example,dc=com\nobjectclass: groupOfNames\ncn: g\nseeAlso: cn=s\n";
    for (int i = 0; i < 100; ++i) ldif += "member: m" + std::to_string(i) + "\n";
    ASSERT_EQ(AddLdif(ldif), 0);
    auto text = [&] {
        Slapi_Entry *e = hv_dir_get_entry(dn);
        int len = 0;
        char *t = slapi_entry2str(e, &len);
        std::string out(t, static_cast<std::size_t>(len));
        slapi_ch_free_string(&t);
        slapi_entry_free(e);
        return out;
    };
    const std::string before = text();
    Mods m;
    m.Add(LDAP_MOD_ADD, "member", {"new1", "new2"})
        .Add(LDAP_MOD_DELETE, "member", {"M5", "m99"})
        .Add(LDAP_MOD_DELETE, "seeAlso", {})
        .Add(LDAP_MOD_ADD, "description", {"d"})
        .Add(LDAP_MOD_DELETE, "member", {"absent"});
    EXPECT_EQ(Modify(dn, m), LDAP_NO_SUCH_ATTRIBUTE);
    EXPECT_EQ(text(), before);
    Mods replaced;
    replaced.Add(LDAP_MOD_DELETE, "member", {"m3"})
        .Add(LDAP_MOD_REPLACE, "member", {"only"})
        .Add(LDAP_MOD_DELETE, "member", {"m1"});  // gone with the replace
    EXPECT_EQ(Modify(dn, replaced), LDAP_NO_SUCH_ATTRIBUTE);
    EXPECT_EQ(text(), before);

    Mods again;
    again.Add(LDAP_MOD_ADD, "member", {"new1"}).Add(LDAP_MOD_DELETE, "member", {"m5"});
    EXPECT_EQ(Modify(dn, again), 0);
    Mods dup;
    dup.Add(LDAP_MOD_ADD, "member", {"M7"});
    EXPECT_EQ(Modify(dn, dup), LDAP_TYPE_OR_VALUE_EXISTS);
    Mods gone;
    gone.Add(LDAP_MOD_DELETE, "member", {"M5"});
    EXPECT_EQ(Modify(dn, gone), LDAP_NO_SUCH_ATTRIBUTE);
    Mods back;
    back.Add(LDAP_MOD_ADD, "member", {"m5"}).Add(LDAP_MOD_DELETE, "member", {"NEW1", "m0"});
    EXPECT_EQ(Modify(dn, back), 0);
    std::vector<std::string> members = StoredValues(dn, "member");
    ASSERT_EQ(members.size(), 99u);
    EXPECT_EQ(members.front(), "m1");
    EXPECT_EQ(members.back(), "m5");
    Mods twice;
    twice.Add(LDAP_MOD_DELETE, "member", {"m2", "m2"});
    EXPECT_EQ(Modify(dn, twice), LDAP_NO_SUCH_ATTRIBUTE);
    EXPECT_EQ(StoredValues(dn, "member").size(), 99u);
}

// Entries are stored packed until an attribute grows many values, and
// packed again when it shrinks; changes land alike either way.
TEST_F(DirectoryTest, EntriesKeepTheirValuesAcrossPackedAndIndexedForms) {
    const char *dn = "cn=g,ou=people,dc=example,dc=com";
    ASSERT_EQ(AddLdif(Ldif(dn, "cn: g\n")), 0);
    std::vector<std::string> want;
    for (int i = 0; i < 40; ++i) {
        Mods m;
        m.Add(LDAP_MOD_ADD, "member", {"uid=" + std::to_string(i)});
        ASSERT_EQ(Modify(dn, m), 0);
        want.push_back("uid=" + std::to_string(i));
        Mods again;
        again.Add(LDAP_MOD_ADD, "member", {"UID=" + std::to_string(i / 2)});
        ASSERT_EQ(Modify(dn, again), LDAP_TYPE_OR_VALUE_EXISTS) << i;
    }
    EXPECT_EQ(StoredValues(dn, "member"), want);
    for (int i = 39; i >= 3; --i) {
        Mods m;
        m.Add(LDAP_MOD_DELETE, "member", {"uid=" + std::to_string(i)});
        ASSERT_EQ(Modify(dn, m), 0);
        want.pop_back();
        Mods gone;
        gone.Add(LDAP_MOD_DELETE, "member", {"uid=" + std::to_string(i)});
        ASSERT_EQ(Modify(dn, gone), LDAP_NO_SUCH_ATTRIBUTE) << i;
    }
    EXPECT_EQ(StoredValues(dn, "member"), want);
    EXPECT_EQ(StoredValues(dn, "cn"), (std::vector<std::string>{"g"}));
}

// Entries changed again and again stay unpacked, a few a shard; the oldest
// are packed as others take their place.
TEST_F(DirectoryTest, ManyEntriesChangedInTurnKeepEveryChange) {
    constexpr int kEntries = 3000;
    for (int i = 0; i < kEntries; ++i)
        ASSERT_EQ(AddLdif(Ldif("cn=e" + std::to_string(i) + ",ou=people,dc=example,dc=com")), 0);
    for (int round = 0; round < 3; ++round) {
        for (int i = 0; i < kEntries; ++i) {
            Mods m;
            m.Add(LDAP_MOD_ADD, "description", {"r" + std::to_string(round)});
            ASSERT_EQ(Modify(("cn=e" + std::to_string(i) + ",ou=people,dc=example,dc=com").c_str(), m), 0);
        }
    }
    for (int i = 0; i < kEntries; i += 7)
        EXPECT_EQ(StoredValues("cn=e" + std::to_string(i) + ",ou=people,dc=example,dc=com", "description"),
                  (std::vector<std::string>{"r0", "r1", "r2"}));
}

TEST_F(DirectoryTest, ModifyKeepsTheNamingValue) {
    const char *dn = "cn=Ann,ou=people,dc=example,dc=com";
    ASSERT_EQ(AddLdif(Ldif(dn, "cn: ann\ncn: Annie\n")), 0);
    Mods del;
    del.Add(LDAP_MOD_DELETE, "cn", {"ANN"});
    EXPECT_EQ(Modify(dn, del), LDAP_NOT_ALLOWED_ON_RDN);
    Mods del_all;
    del_all.Add(LDAP_MOD_DELETE, "CN", {});
    EXPECT_EQ(Modify(dn, del_all), LDAP_NOT_ALLOWED_ON_RDN);
    Mods rep;
    rep.Add(LDAP_MOD_REPLACE, "cn", {"Annie"});
    EXPECT_EQ(Modify(dn, rep), LDAP_NOT_ALLOWED_ON_RDN);
    EXPECT_EQ(StoredValues(dn, "cn"), (std::vector<std::string>{"ann", "Annie"}));
    // Other values of the naming attribute may go; so may a naming value
    // that is put back in the same modify.
    Mods other;
    other.Add(LDAP_MOD_DELETE, "cn", {"annie"});
    EXPECT_EQ(Modify(dn, other), 0);
    Mods back;
    back.Add(LDAP_MOD_REPLACE, "cn", {"Ann", "A."});
    EXPECT_EQ(Modify(dn, back), 0);
    EXPECT_EQ(StoredValues(dn, "cn"), (std::vector<std::string>{"Ann", "A."}));
}

TEST_F(DirectoryTest, RefusedAttributeFailsAddsAndModifiesThatKeepIt) {
    const char *dn = "ou=people,dc=example,dc=com";
    Mods set;
    set.Add(LDAP_MOD_REPLACE, "entryCount", {"3"});
    ASSERT_EQ(Modify(dn, set), 0);
    hv_dir_refuse_attribute("EntryCount", 1);
    Mods again;
    again.Add(LDAP_MOD_REPLACE, "entrycount", {"4"});
    EXPECT_EQ(Modify(dn, again), LDAP_OBJECT_CLASS_VIOLATION);
    EXPECT_EQ(StoredValues(dn, "entryCount"), (std::vector<std::string>{"3"}));
    EXPECT_EQ(AddLdif(Ldif("cn=c,dc=example,dc=com", "entryCount: 1\n")), LDAP_OBJECT_CLASS_VIOLATION);
    EXPECT_EQ(hv_dir_get_entry("cn=c,dc=example,dc=com"), nullptr);
    // Taking the value away is what a schema would ask for: allowed.
    Mods drop;
    drop.Add(LDAP_MOD_DELETE, "entryCount", {});
    EXPECT_EQ(Modify(dn, drop), 0);
    hv_dir_refuse_attribute("entryCount", 0);
    EXPECT_EQ(Modify(dn, again), 0);
}

TEST_F(DirectoryTest, EntriesHandedOutAreCopies) {
    Slapi_Entry *e = hv_dir_get_entry("OU=PEOPLE,DC=EXAMPLE,DC=COM");
    ASSERT_NE(e, nullptr);
    EXPECT_STREQ(slapi_entry_get_dn(e), "ou=people,dc=example,dc=com");
    slapi_entry_attr_delete(e, "description");
    slapi_entry_free(e);
    EXPECT_EQ(StoredValues("ou=people,dc=example,dc=com", "description"),
              (std::vector<std::string>{"Staff"}));
}

}  // namespace
