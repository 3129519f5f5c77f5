// Internal operations of the plug-in interface: searches with their scopes,
// filters and attribute lists, and the internal changes with their results.
#include <gtest/gtest.h>

#include <set>

#include "host/directory_test_util.h"

namespace {

using hvtest::AddLdif;
using hvtest::Ldif;
using hvtest::Mods;
using hvtest::StoredValues;

struct Found {
    int rc = -1;
    std::vector<std::string> dns;
    std::vector<std::set<std::string>> types;  // attribute types per entry, lower case
    bool array = false;                        // an entry array came back
};

Found Search(const char *base, int scope, const char *filter, std::vector<std::string> attrs = {},
             bool all = true, int attrsonly = 0) {
    std::vector<char *> list;
    for (std::string &a : attrs) list.push_back(a.data());
    list.push_back(nullptr);
    Slapi_PBlock *pb = slapi_search_internal(const_cast<char *>(base), scope, const_cast<char *>(filter),
                                             nullptr, all ? nullptr : list.data(), attrsonly);
    Found out;
    EXPECT_NE(pb, nullptr);
    EXPECT_EQ(slapi_pblock_get(pb, SLAPI_PLUGIN_INTOP_RESULT, &out.rc), 0);
    Slapi_Entry **entries = nullptr;
    EXPECT_EQ(slapi_pblock_get(pb, SLAPI_PLUGIN_INTOP_SEARCH_ENTRIES, &entries), 0);
    out.array = entries != nullptr;
    for (Slapi_Entry **e = entries; e != nullptr && *e != nullptr; ++e) {
        out.dns.emplace_back(slapi_entry_get_ndn(*e));
        std::set<std::string> types;
        Slapi_Attr *a = nullptr;
        for (int r = slapi_entry_first_attr(*e, &a); r == 0 && a != nullptr;
             r = slapi_entry_next_attr(*e, a, &a)) {
            char *t = nullptr;
            slapi_attr_get_type(a, &t);
            std::string lower = t;
            for (char &c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            int n = -1;
            slapi_attr_get_numvalues(a, &n);
            types.insert(lower + (n == 0 ? "(no values)" : ""));
        }
        out.types.push_back(types);
    }
    slapi_free_search_results_internal(pb);
    Slapi_Entry **after = reinterpret_cast<Slapi_Entry **>(1);
    slapi_pblock_get(pb, SLAPI_PLUGIN_INTOP_SEARCH_ENTRIES, &after);
    EXPECT_EQ(after, nullptr);  // released results are not left dangling
    slapi_pblock_destroy(pb);
    return out;
}

class SearchTest : public ::testing::Test {
  protected:
    void SetUp() override {
        hv_host_reset();
        ASSERT_EQ(hv_dir_add_suffix("dc=example,dc=com"), 0);
        ASSERT_EQ(AddLdif(Ldif("dc=example,dc=com", "objectclass: domain\n")), 0);
        ASSERT_EQ(AddLdif(Ldif("ou=a,dc=example,dc=com", "objectclass: holder\ncount: 2\n")), 0);
        ASSERT_EQ(AddLdif(Ldif("cn=x,ou=a,dc=example,dc=com", "objectclass: person\ncn: x\nsn: X\n")), 0);
        ASSERT_EQ(AddLdif(Ldif("cn=y,cn=x,ou=a,dc=example,dc=com", "objectclass: person\ncn: y\n")), 0);
        ASSERT_EQ(AddLdif(Ldif("ou=b,dc=example,dc=com", "objectclass: holder\n")), 0);
    }
    void TearDown() override { hv_host_reset(); }
};

TEST_F(SearchTest, Scopes) {
    Found base = Search("OU=A,dc=example,dc=com", LDAP_SCOPE_BASE, "objectclass=*");
    EXPECT_EQ(base.rc, 0);
    EXPECT_EQ(base.dns, (std::vector<std::string>{"ou=a,dc=example,dc=com"}));
    Found one = Search("dc=example,dc=com", LDAP_SCOPE_ONELEVEL, "(objectclass=*)");
    EXPECT_EQ(one.dns, (std::vector<std::string>{"ou=a,dc=example,dc=com", "ou=b,dc=example,dc=com"}));
    Found sub = Search("ou=a,dc=example,dc=com", LDAP_SCOPE_SUBTREE, "objectclass=person");
    EXPECT_EQ(sub.dns, (std::vector<std::string>{"cn=x,ou=a,dc=example,dc=com",
                                                 "cn=y,cn=x,ou=a,dc=example,dc=com"}));
    Found all = Search("dc=example,dc=com", LDAP_SCOPE_SUBTREE, "objectclass=*");
    EXPECT_EQ(all.dns.size(), 5u);
    EXPECT_EQ(all.dns.front(), "dc=example,dc=com");  // parents come first
    Found none = Search("ou=b,dc=example,dc=com", LDAP_SCOPE_BASE, "objectclass=person");
    EXPECT_EQ(none.rc, 0);
    EXPECT_TRUE(none.dns.empty());
    EXPECT_TRUE(none.array);
}

TEST_F(SearchTest, MissingBaseBadFilterAndBadScope) {
    Found missing = Search("ou=zz,dc=example,dc=com", LDAP_SCOPE_BASE, "objectclass=*");
    EXPECT_EQ(missing.rc, LDAP_NO_SUCH_OBJECT);
    EXPECT_TRUE(missing.dns.empty());
    // Above the naming context, as the counter plug-ins' ancestor walks go.
    EXPECT_EQ(Search("dc=com", LDAP_SCOPE_BASE, "objectclass=holder").rc, LDAP_NO_SUCH_OBJECT);
    // The server's result code for a bad filter (87), not the client
    // library's negative LDAP_FILTER_ERROR.
    EXPECT_EQ(Search("dc=example,dc=com", LDAP_SCOPE_SUBTREE, "(objectclass=*").rc, 87);
    EXPECT_EQ(Search("dc=example,dc=com", LDAP_SCOPE_SUBTREE, nullptr).rc, 87);
    EXPECT_EQ(Search("not a dn", LDAP_SCOPE_BASE, "objectclass=*").rc, LDAP_INVALID_DN_SYNTAX);
    EXPECT_EQ(Search("dc=example,dc=com", 9, "objectclass=*").rc, LDAP_PROTOCOL_ERROR);
}

TEST_F(SearchTest, RequestedAttributesOnly) {
    Found some = Search("cn=x,ou=a,dc=example,dc=com", LDAP_SCOPE_BASE, "objectclass=*", {"CN", "count"}, false);
    ASSERT_EQ(some.types.size(), 1u);
    EXPECT_EQ(some.types[0], (std::set<std::string>{"cn"}));
    Found all = Search("cn=x,ou=a,dc=example,dc=com", LDAP_SCOPE_BASE, "objectclass=*");
    EXPECT_EQ(all.types[0], (std::set<std::string>{"objectclass", "cn", "sn"}));
    Found star = Search("cn=x,ou=a,dc=example,dc=com", LDAP_SCOPE_BASE, "objectclass=*", {"*"}, false);
    EXPECT_EQ(star.types[0], all.types[0]);
    Found empty = Search("cn=x,ou=a,dc=example,dc=com", LDAP_SCOPE_BASE, "objectclass=*", {}, false);
    EXPECT_EQ(empty.types[0], all.types[0]);
    Found noattrs = Search("cn=x,ou=a,dc=example,dc=com", LDAP_SCOPE_BASE, "objectclass=*", {"1.1"}, false);
    EXPECT_TRUE(noattrs.types[0].empty());
    Found typesonly = Search("ou=a,dc=example,dc=com", LDAP_SCOPE_BASE, "objectclass=*", {"count"}, false, 1);
    EXPECT_EQ(typesonly.types[0], (std::set<std::string>{"count(no values)"}));
    // The filter is matched against the whole stored entry, not the copy.
    Found filtered = Search("ou=a,dc=example,dc=com", LDAP_SCOPE_BASE, "objectclass=holder", {"count"}, false);
    EXPECT_EQ(filtered.dns.size(), 1u);
}

TEST_F(SearchTest, GetEntry) {
    Slapi_DN *sdn = slapi_sdn_new_dn_byval("cn=x, ou=a,dc=example,dc=com");
    Slapi_Entry *e = nullptr;
    char sn[] = "sn";
    char *attrs[] = {sn, nullptr};
    EXPECT_EQ(slapi_search_internal_get_entry(sdn, attrs, &e, plugin_get_default_component_id()), 0);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(slapi_entry_attr_find(e, "sn", nullptr), 0);
    EXPECT_NE(slapi_entry_attr_find(e, "cn", nullptr), 0);
    slapi_entry_free(e);
    slapi_sdn_free(&sdn);
    Slapi_DN *gone = slapi_sdn_new_dn_byval("cn=gone,dc=example,dc=com");
    e = reinterpret_cast<Slapi_Entry *>(1);
    EXPECT_EQ(slapi_search_internal_get_entry(gone, nullptr, &e, nullptr), LDAP_NO_SUCH_OBJECT);
    EXPECT_EQ(e, nullptr);
    slapi_sdn_free(&gone);
}

TEST_F(SearchTest, InternalChangesReportTheirResult) {
    Mods m;
    m.Add(LDAP_MOD_REPLACE, "count", {"7"});
    char dn[] = "ou=a,dc=example,dc=com";
    Slapi_PBlock *pb = slapi_modify_internal(dn, m.get(), nullptr, 1);
    int rc = -1;
    EXPECT_EQ(slapi_pblock_get(pb, SLAPI_PLUGIN_INTOP_RESULT, &rc), 0);
    EXPECT_EQ(rc, 0);
    slapi_pblock_destroy(pb);
    EXPECT_EQ(StoredValues(dn, "count"), (std::vector<std::string>{"7"}));

    char missing[] = "ou=zz,dc=example,dc=com";
    pb = slapi_modify_internal(missing, m.get(), nullptr, 1);
    slapi_pblock_get(pb, SLAPI_PLUGIN_INTOP_RESULT, &rc);
    EXPECT_EQ(rc, LDAP_NO_SUCH_OBJECT);
    slapi_pblock_destroy(pb);

    // The set-up form on a block the caller holds; the DN is copied.
    Slapi_PBlock held;
    pblock_init(&held);
    std::string target = "ou=b,dc=example,dc=com";
    Mods m2;
    m2.Add(LDAP_MOD_ADD, "count", {"1"});
    slapi_modify_internal_set_pb(&held, target.c_str(), m2.get(), nullptr, nullptr,
                                 plugin_get_default_component_id(), 0);
    target.assign("garbage garbage garbage");
    EXPECT_EQ(slapi_modify_internal_pb(&held), 0);
    EXPECT_EQ(slapi_pblock_get(&held, SLAPI_PLUGIN_INTOP_RESULT, &rc), 0);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(slapi_modify_internal_pb(&held), 0);  // again: the value is there now
    slapi_pblock_get(&held, SLAPI_PLUGIN_INTOP_RESULT, &rc);
    EXPECT_EQ(rc, LDAP_TYPE_OR_VALUE_EXISTS);
    pblock_done(&held);

    std::string ldif = Ldif("cn=new,ou=b,dc=example,dc=com");
    pb = slapi_add_entry_internal(slapi_str2entry(ldif.data(), 0), nullptr, 1);
    slapi_pblock_get(pb, SLAPI_PLUGIN_INTOP_RESULT, &rc);
    EXPECT_EQ(rc, 0);
    slapi_pblock_destroy(pb);
    char del[] = "ou=b,dc=example,dc=com";
    pb = slapi_delete_internal(del, nullptr, 1);
    slapi_pblock_get(pb, SLAPI_PLUGIN_INTOP_RESULT, &rc);
    EXPECT_EQ(rc, LDAP_NOT_ALLOWED_ON_NONLEAF);
    slapi_pblock_destroy(pb);
}

}  // namespace
