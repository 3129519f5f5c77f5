// Entry, attribute and value calls as the schema rewriter, the certificate
// step and the counter plug-ins use them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "hv/slapi-plugin.h"

namespace {

struct Entry {
    Entry() : e(slapi_entry_alloc()) { slapi_entry_set_dn(e, slapi_ch_strdup("cn=Test,dc=Example")); }
    ~Entry() { slapi_entry_free(e); }
    Slapi_Entry *e;
};

std::vector<std::string> Strings(Slapi_Entry *e, const char *type) {
    std::vector<std::string> out;
    Slapi_Attr *a = nullptr;
    if (slapi_entry_attr_find(e, type, &a) != 0) return out;
    Slapi_Value *v = nullptr;
    for (int i = slapi_attr_first_value(a, &v); i != -1; i = slapi_attr_next_value(a, i, &v)) {
        out.emplace_back(slapi_value_get_string(v));
    }
    return out;
}

// A list of new values ended by none; frees them when done.
struct ValueList {
    explicit ValueList(std::vector<const char *> strings) {
        for (const char *s : strings) vals.push_back(slapi_value_new_string(s));
        vals.push_back(nullptr);
    }
    ~ValueList() {
        for (Slapi_Value *&v : vals) slapi_value_free(&v);
    }
    Slapi_Value **get() { return vals.data(); }
    std::vector<Slapi_Value *> vals;
};

TEST(Values, OwnCopiesAndBervals) {
    std::string text = "hello";
    Slapi_Value *v = slapi_value_new();
    EXPECT_STREQ(slapi_value_get_string(v), "");
    EXPECT_EQ(slapi_value_init_string(v, text.c_str()), v);
    text[0] = 'J';
    EXPECT_STREQ(slapi_value_get_string(v), "hello");
    const struct berval *bv = slapi_value_get_berval(v);
    ASSERT_NE(bv, nullptr);
    EXPECT_EQ(bv->bv_len, 5u);
    EXPECT_EQ(std::string(bv->bv_val, bv->bv_len), "hello");
    slapi_value_init_string(v, "a longer value than before, to move the bytes");
    bv = slapi_value_get_berval(v);
    EXPECT_EQ(std::string(bv->bv_val, bv->bv_len), "a longer value than before, to move the bytes");
    slapi_value_free(&v);
    EXPECT_EQ(v, nullptr);
    slapi_value_free(&v);
}

TEST(Entries, AttributesInOrderTypesWithoutCase) {
    Entry t;
    EXPECT_EQ(slapi_entry_add_string(t.e, "objectClass", "top"), 0);
    EXPECT_EQ(slapi_entry_add_string(t.e, "cn", "Test"), 0);
    EXPECT_EQ(slapi_entry_add_string(t.e, "OBJECTCLASS", "person"), 0);
    EXPECT_EQ(slapi_entry_add_string(t.e, "objectclass", "PERSON"), LDAP_TYPE_OR_VALUE_EXISTS);
    EXPECT_EQ(Strings(t.e, "objectclass"), (std::vector<std::string>{"top", "person"}));
    Slapi_Attr *a = nullptr;
    ASSERT_EQ(slapi_entry_first_attr(t.e, &a), 0);
    char *type = nullptr;
    slapi_attr_get_type(a, &type);
    EXPECT_STREQ(type, "objectClass");
    ASSERT_EQ(slapi_entry_next_attr(t.e, a, &a), 0);
    slapi_attr_get_type(a, &type);
    EXPECT_STREQ(type, "cn");
    EXPECT_NE(slapi_entry_next_attr(t.e, a, &a), 0);
    EXPECT_EQ(a, nullptr);
    EXPECT_NE(slapi_entry_attr_find(t.e, "sn", &a), 0);
    EXPECT_EQ(slapi_entry_attr_hasvalue(t.e, "CN", "test"), 1);
    EXPECT_EQ(slapi_entry_attr_hasvalue(t.e, "cn", "tes"), 0);
    char *first = slapi_entry_attr_get_charptr(t.e, "objectclass");
    EXPECT_STREQ(first, "top");
    slapi_ch_free_string(&first);
    EXPECT_EQ(slapi_entry_attr_get_charptr(t.e, "sn"), nullptr);
    int n = -1;
    slapi_entry_attr_find(t.e, "objectclass", &a);
    EXPECT_EQ(slapi_attr_get_numvalues(a, &n), 0);
    EXPECT_EQ(n, 2);
}

TEST(Entries, ValueChangesAreAllOrNothing) {
    Entry t;
    ValueList three({"a", "b", "c"});
    ASSERT_EQ(slapi_entry_add_values_sv(t.e, "member", three.get()), 0);
    ValueList again({"d", "B"});
    EXPECT_EQ(slapi_entry_add_values_sv(t.e, "member", again.get()), LDAP_TYPE_OR_VALUE_EXISTS);
    EXPECT_EQ(Strings(t.e, "member"), (std::vector<std::string>{"a", "b", "c"}));

    ValueList missing({"a", "zz"});
    EXPECT_EQ(slapi_entry_delete_values_sv(t.e, "member", missing.get()), LDAP_NO_SUCH_ATTRIBUTE);
    EXPECT_EQ(Strings(t.e, "member").size(), 3u);
    ValueList some({"A", "c"});
    EXPECT_EQ(slapi_entry_delete_values_sv(t.e, "member", some.get()), 0);
    EXPECT_EQ(Strings(t.e, "member"), std::vector<std::string>{"b"});
    EXPECT_EQ(slapi_entry_delete_values_sv(t.e, "absent", some.get()), LDAP_NO_SUCH_ATTRIBUTE);
    ValueList last({"b"});
    EXPECT_EQ(slapi_entry_delete_values_sv(t.e, "member", last.get()), 0);
    Slapi_Attr *a = nullptr;
    EXPECT_NE(slapi_entry_attr_find(t.e, "member", &a), 0);  // no empty attribute is left

    ValueList one({"alias/slapd-x-cert8.db"});
    EXPECT_EQ(slapi_entry_attr_replace_sv(t.e, "hvCertfile", one.get()), 0);
    ValueList two({"x", "y"});
    EXPECT_EQ(slapi_entry_attr_replace_sv(t.e, "hvcertfile", two.get()), 0);
    EXPECT_EQ(Strings(t.e, "hvCertfile"), (std::vector<std::string>{"x", "y"}));
    ValueList none({});
    EXPECT_EQ(slapi_entry_attr_replace_sv(t.e, "hvCertfile", none.get()), 0);
    EXPECT_NE(slapi_entry_attr_find(t.e, "hvCertfile", &a), 0);
    EXPECT_EQ(slapi_entry_attr_replace_sv(t.e, "hvCertfile", nullptr), 0);
    EXPECT_EQ(slapi_entry_attr_delete(t.e, "hvCertfile"), 1);
}

TEST(Entries, AttrAddValueCopiesAndDupIsDeep) {
    Entry t;
    slapi_entry_add_string(t.e, "attributeTypes", "( 1.1 NAME 'one' )");
    Slapi_Attr *a = nullptr;
    ASSERT_EQ(slapi_entry_attr_find(t.e, "attributetypes", &a), 0);
    Slapi_Value *v = slapi_value_new();
    slapi_value_init_string(v, "( 1.2 NAME 'two' )");
    EXPECT_EQ(slapi_attr_add_value(a, v), 0);
    slapi_value_free(&v);
    EXPECT_EQ(Strings(t.e, "attributeTypes"),
              (std::vector<std::string>{"( 1.1 NAME 'one' )", "( 1.2 NAME 'two' )"}));
    Slapi_Entry *copy = slapi_entry_dup(t.e);
    slapi_entry_attr_delete(t.e, "attributeTypes");
    EXPECT_EQ(Strings(copy, "attributeTypes").size(), 2u);
    EXPECT_STREQ(slapi_entry_get_ndn(copy), "cn=test,dc=example");
    slapi_entry_free(copy);
    Slapi_Value *end = nullptr;
    EXPECT_EQ(slapi_attr_next_value(a = nullptr, 0, &end), -1);
}

TEST(AttrTypes, ComparisonModes) {
    EXPECT_EQ(slapi_attr_type_cmp("cn", "CN", SLAPI_TYPE_CMP_EXACT), 0);
    EXPECT_NE(slapi_attr_type_cmp("cn;lang-en", "cn", SLAPI_TYPE_CMP_EXACT), 0);
    EXPECT_EQ(slapi_attr_type_cmp("cn;lang-en", "CN;binary", SLAPI_TYPE_CMP_BASE), 0);
    EXPECT_NE(slapi_attr_type_cmp("cn", "cname", SLAPI_TYPE_CMP_BASE), 0);
    EXPECT_EQ(slapi_attr_type_cmp("cn;lang-en;x", "cn;LANG-EN", SLAPI_TYPE_CMP_SUBTYPE), 0);
    EXPECT_NE(slapi_attr_type_cmp("cn", "cn;lang-en", SLAPI_TYPE_CMP_SUBTYPE), 0);
}

TEST(Mutexes, LockAndUnlockAcrossThreads) {
    Slapi_Mutex *m = slapi_new_mutex();
    ASSERT_NE(m, nullptr);
    slapi_lock_mutex(m);
    EXPECT_EQ(slapi_unlock_mutex(m), 1);
    EXPECT_EQ(slapi_unlock_mutex(nullptr), 0);
    slapi_destroy_mutex(m);
}

}  // namespace
