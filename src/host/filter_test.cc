// String filters: what parses, what does not, and how entries match.
#include <gtest/gtest.h>

#include <string>

#include "hv/slapi-host.h"

namespace {

// Filters are tested the way plug-ins use them: base searches of one entry.
class FilterTest : public ::testing::Test {
  protected:
    void SetUp() override {
        hv_host_reset();
        ASSERT_EQ(hv_dir_add_suffix("dc=example,dc=com"), 0);
        ASSERT_EQ(hv_op_add_ldif("dn: dc=example,dc=com\nobjectclass: top\n", 0, nullptr), 0);
        ASSERT_EQ(hv_op_add_ldif("dn: cn=Counter Holder,dc=example,dc=com\n"
                                 "objectClass: top\n"
                                 "objectClass: HVCounterHolder\n"
                                 "cn: Counter Holder\n"
                                 "entryCount: 12\n"
                                 "description: a*b(c)\n",
                                 0, nullptr),
                  0);
    }
    void TearDown() override { hv_host_reset(); }
    // 1 match, 0 no match, -1 does not parse.
    int Match(const char *text) {
        char base[] = "cn=counter holder,dc=example,dc=com";
        Slapi_PBlock *pb = slapi_search_internal(base, LDAP_SCOPE_BASE, const_cast<char *>(text),
                                                 nullptr, nullptr, 0);
        int rc = -1;
        Slapi_Entry **entries = nullptr;
        slapi_pblock_get(pb, SLAPI_PLUGIN_INTOP_RESULT, &rc);
        slapi_pblock_get(pb, SLAPI_PLUGIN_INTOP_SEARCH_ENTRIES, &entries);
        int found = entries != nullptr && entries[0] != nullptr ? 1 : 0;
        slapi_free_search_results_internal(pb);
        slapi_pblock_destroy(pb);
        if (rc == 87) return -1;  // filter error
        EXPECT_EQ(rc, 0) << text;
        return found;
    }
};

TEST_F(FilterTest, EqualityIgnoresCaseOfTypesAndValues) {
    EXPECT_EQ(Match("objectclass=hvcounterholder"), 1);
    EXPECT_EQ(Match("(OBJECTCLASS=HVCOUNTERHOLDER)"), 1);
    EXPECT_EQ(Match("  (cn=counter holder) "), 1);
    EXPECT_EQ(Match("objectclass=person"), 0);
    EXPECT_EQ(Match("cn=counter"), 0);
}

TEST_F(FilterTest, PresenceNeedsAValue) {
    EXPECT_EQ(Match("entrycount=*"), 1);
    EXPECT_EQ(Match("(objectclass=*)"), 1);
    EXPECT_EQ(Match("member=*"), 0);
}

TEST_F(FilterTest, Substrings) {
    EXPECT_EQ(Match("cn=count*"), 1);
    EXPECT_EQ(Match("cn=*HOLDER"), 1);
    EXPECT_EQ(Match("cn=c*t*r h*r"), 1);
    EXPECT_EQ(Match("cn=*ter*hol*"), 1);
    EXPECT_EQ(Match("cn=holder*"), 0);
    // Initial and final must not share characters.
    EXPECT_EQ(Match("entrycount=12*2"), 0);
    EXPECT_EQ(Match("entrycount=1*2"), 1);
    EXPECT_EQ(Match("cn=*r*r*r*"), 0);
}

TEST_F(FilterTest, EscapedValuesAreLiteral) {
    EXPECT_EQ(Match("description=a\\2ab\\28c\\29"), 1);
    EXPECT_EQ(Match("description=a\\2A*"), 1);
    EXPECT_EQ(Match("description=a\\2ax*"), 0);
}

TEST_F(FilterTest, BooleanCombinations) {
    EXPECT_EQ(Match("(&(objectclass=top)(cn=counter holder))"), 1);
    EXPECT_EQ(Match("&(objectclass=top)(cn=other)"), 0);
    EXPECT_EQ(Match("(|(cn=other)(entrycount=12))"), 1);
    EXPECT_EQ(Match("(!(cn=other))"), 1);
    EXPECT_EQ(Match("(&(|(cn=x)(cn=y))(!(cn=z)))"), 0);
    EXPECT_EQ(Match("(&)"), 1);
    EXPECT_EQ(Match("(|)"), 0);
}

TEST_F(FilterTest, OrderingComparesNumbersAsNumbers) {
    EXPECT_EQ(Match("entrycount>=9"), 1);  // as text "12" < "9"
    EXPECT_EQ(Match("entrycount<=9"), 0);
    EXPECT_EQ(Match("entrycount<=12"), 1);
    EXPECT_EQ(Match("cn>=COUNTER"), 1);
    EXPECT_EQ(Match("cn~=counter holder"), 1);
}

TEST_F(FilterTest, MalformedFiltersDoNotParse) {
    for (const char *bad : {"", "   ", "(cn=a", "cn=a)", "((cn=a))", "(&(cn=a)", "(cn=\\zz)",
                            "(cn=\\2)", "(=a)", "(cn=a(b)", "(!(cn=a)(cn=b))", "(cn)", "(cn=a)(cn=b)",
                            "(cn:dn:=a)"}) {
        EXPECT_EQ(Match(bad), -1) << bad;
    }
    std::string deep(100000, '(');
    EXPECT_EQ(Match(deep.c_str()), -1);  // refused, without exhausting the stack
}

}  // namespace
