// DN normalization, parents and suffix tests on real DNs.
#include <gtest/gtest.h>

#include <string>

#include "hv/slapi-host.h"
#include "hv/slapi-plugin.h"

namespace {

std::string Normalized(const char *dn) {
    std::string buf(dn);
    slapi_dn_normalize(buf.data());
    return buf.c_str();
}

std::string Folded(const char *dn) {
    std::string buf(dn);
    slapi_dn_normalize_case(buf.data());
    return buf.c_str();
}

std::string Parent(const char *dn) {
    char *p = slapi_dn_parent(dn);
    if (p == nullptr) return "<none>";
    std::string s(p);
    slapi_ch_free_string(&p);
    return s;
}

TEST(DnNormalize, BlanksAndTypeCase) {
    EXPECT_EQ(Normalized("cn=Foo , O=Example"), "cn=Foo,o=Example");
    EXPECT_EQ(Folded("cn=Foo , O=Example"), "cn=foo,o=example");
    EXPECT_EQ(Normalized("  CN = Directory Manager  "), "cn=Directory Manager");
    EXPECT_EQ(Normalized("cn=schema"), "cn=schema");
    EXPECT_EQ(Normalized("cn=encryption,cn=config"), "cn=encryption,cn=config");
    EXPECT_EQ(Folded("CN=Encryption, CN=Config"), "cn=encryption,cn=config");
    EXPECT_EQ(Normalized(""), "");
}

TEST(DnNormalize, EscapesQuotesAndMultiValuedRdns) {
    EXPECT_EQ(Normalized("cn=Smith\\, John,ou=People,dc=example,dc=com"),
              "cn=Smith\\, John,ou=People,dc=example,dc=com");
    // A quoted value comes out escaped instead, never longer.
    std::string quoted = Normalized("cn=\"Smith, John\",dc=example");
    EXPECT_EQ(quoted, "cn=Smith\\, John,dc=example");
    EXPECT_EQ(Normalized("CN=Jim + UID=jim , DC=example"), "cn=Jim+uid=jim,dc=example");
    EXPECT_EQ(Folded("uid=Jim+CN=Jim Smith,dc=Example"), "uid=jim+cn=jim smith,dc=example");
}

TEST(DnNormalize, UnparsableDnIsOnlyTrimmed) {
    EXPECT_EQ(Normalized("  not a dn  "), "not a dn");
    EXPECT_EQ(Normalized("cn=a,,o=b"), "cn=a,,o=b");
    EXPECT_EQ(Folded(" Not A DN "), "not a dn");
    EXPECT_EQ(slapi_dn_normalize(nullptr), nullptr);
}

// The length-counted form: exactly the bytes given, and a refusal instead
// of a trimmed copy for a DN that does not parse (a raw NUL among them).
TEST(DnNormalize, CountedFormTakesTheBytesGivenAndRefusesWhatDoesNotParse) {
    char *n = nullptr;
    std::size_t len = 0;
    ASSERT_EQ(hv_dn_normalize("CN=Foo , O=X and more", 12, &n, &len), 0);
    EXPECT_EQ(std::string(n, len), "cn=foo,o=x");
    slapi_ch_free_string(&n);
    ASSERT_EQ(hv_dn_normalize("", 0, &n, &len), 0);
    EXPECT_EQ(len, 0u);
    slapi_ch_free_string(&n);
    const std::string withNul("cn=a\0b,o=x", 11);
    EXPECT_EQ(hv_dn_normalize(withNul.data(), withNul.size(), &n, &len), -1);
    EXPECT_EQ(n, nullptr);
    EXPECT_EQ(hv_dn_normalize("cn=a,,o=b", 9, &n, &len), -1);
}

TEST(DnNormalize, EntryKeepsNormalizedDnBeside) {
    Slapi_Entry *e = slapi_entry_alloc();
    slapi_entry_set_dn(e, slapi_ch_strdup("CN=Foo , O=Example"));
    EXPECT_STREQ(slapi_entry_get_dn(e), "CN=Foo , O=Example");
    EXPECT_STREQ(slapi_entry_get_ndn(e), "cn=foo,o=example");
    slapi_entry_free(e);
}

TEST(DnParent, WalksUpRespectingEscapesAndQuotes) {
    EXPECT_EQ(Parent("cn=a,ou=b,dc=example,dc=com"), "ou=b,dc=example,dc=com");
    EXPECT_EQ(Parent("dc=com"), "<none>");
    EXPECT_EQ(Parent(""), "<none>");
    EXPECT_EQ(Parent("cn=Smith\\, John,ou=People"), "ou=People");
    EXPECT_EQ(Parent("cn=\"Smith, John\",ou=People"), "ou=People");
    EXPECT_EQ(Parent("cn=a\\\\,ou=b"), "ou=b");  // an escaped backslash, then a separator
    EXPECT_EQ(Parent("cn=encryption, cn=config"), "cn=config");
    EXPECT_EQ(Parent(nullptr), "<none>");
    // The older ';' separator, which normalization accepts too.
    EXPECT_EQ(Parent("cn=a;ou=b"), "ou=b");
    EXPECT_EQ(Parent("cn=a\\;b,ou=c"), "ou=c");
    // The ancestor walk of the counter plug-ins ends.
    int steps = 0;
    char *dn = slapi_ch_strdup("cn=x,ou=y,o=z");
    while (dn != nullptr) {
        char *up = slapi_dn_parent(dn);
        slapi_ch_free_string(&dn);
        dn = up;
        ++steps;
    }
    EXPECT_EQ(steps, 3);
}

TEST(DnSuffix, ComparesNormalizedOnRdnBoundaries) {
    EXPECT_TRUE(slapi_dn_issuffix("cn=a,dc=Example,dc=com", "DC=example, dc=com"));
    EXPECT_TRUE(slapi_dn_issuffix("dc=example,dc=com", "dc=example,dc=com"));
    EXPECT_FALSE(slapi_dn_issuffix("cn=a,dc=myexample,dc=com", "dc=example,dc=com"));
    EXPECT_FALSE(slapi_dn_issuffix("cn=x\\,dc=com", "dc=com"));
    EXPECT_FALSE(slapi_dn_issuffix("dc=com", "dc=example,dc=com"));
    EXPECT_TRUE(slapi_dn_issuffix("cn=config", ""));
}

TEST(SlapiDn, ValueCopiesAndComparison) {
    std::string dn = "CN=Encryption,CN=Config";
    Slapi_DN *a = slapi_sdn_new_dn_byval(dn.c_str());
    Slapi_DN *b = slapi_sdn_new_dn_byref("cn=encryption, cn=config");
    dn.assign("overwritten");
    EXPECT_STREQ(slapi_sdn_get_dn(a), "CN=Encryption,CN=Config");
    EXPECT_STREQ(slapi_sdn_get_ndn(a), "cn=encryption,cn=config");
    EXPECT_EQ(slapi_sdn_compare(a, b), 0);
    Slapi_DN *c = slapi_sdn_new_dn_byval("cn=config");
    EXPECT_NE(slapi_sdn_compare(a, c), 0);
    Slapi_DN *empty = slapi_sdn_new();
    EXPECT_STREQ(slapi_sdn_get_dn(empty), "");
    slapi_sdn_free(&a);
    slapi_sdn_free(&b);
    slapi_sdn_free(&c);
    slapi_sdn_free(&empty);
    EXPECT_EQ(a, nullptr);
    slapi_sdn_free(nullptr);
}

}  // namespace

namespace {

TEST(DnNormalize, EverySpellingOfAValueComesOutTheSame) {
    std::string want = "cn=smith\\, john,dc=example";
    EXPECT_EQ(Folded("cn=Smith\\, John,dc=example"), want);
    EXPECT_EQ(Folded("cn=\"Smith, John\",dc=example"), want);
    EXPECT_EQ(Folded("cn=Smith\\2C John,dc=example"), want);
    EXPECT_EQ(Folded("cn=\\ lead\\ ,dc=x"), "cn=\\ lead\\ ,dc=x");
    EXPECT_EQ(Folded("cn=a\\+b,dc=x"), "cn=a\\+b,dc=x");
    EXPECT_EQ(Folded("cn=a=b,dc=x"), "cn=a=b,dc=x");
    EXPECT_EQ(Folded("CN=#04024869,dc=x"), "cn=#04024869,dc=x");
    EXPECT_EQ(Normalized("cn=Caf\xc3\xa9,dc=x"), "cn=Caf\xc3\xa9,dc=x");
}

}  // namespace

namespace {

// Faults a fuzzer found in the earlier normalization.
// The normalized, case-folded form, which may be longer than the input.
std::string Ndn(const char *dn) {
    Slapi_DN *sdn = slapi_sdn_new_dn_byval(dn);
    std::string ndn = slapi_sdn_get_ndn(sdn);
    slapi_sdn_free(&sdn);
    return ndn;
}

TEST(DnNormalize, SharpWithoutHexPairsIsText) {
    // Two different values must not meet in one normalized form.
    EXPECT_EQ(Ndn("cn=# 4024968,o=x"), "cn=\\# 4024968,o=x");
    EXPECT_EQ(Ndn("cn=#  anything else,o=x"), "cn=\\#  anything else,o=x");
    EXPECT_EQ(Ndn("cn=#"), "cn=\\#");
    EXPECT_EQ(Ndn("cn=#4,o=x"), "cn=\\#4,o=x");  // an odd digit count is not hex
    EXPECT_EQ(Folded("cn=#0A0b ,o=x"), "cn=#0a0b,o=x");
    EXPECT_NE(Folded("cn=#41,o=x"), Folded("cn=\\#41,o=x"));
}

TEST(DnNormalize, NormalizingTwiceChangesNothing) {
    for (const char *dn : {"cn=a;o=b\\ ", "cn=\"a \\\" b\" ; o = c", "cn=a\\0Ab,o=x", "cn=\\#x+sn=\\ y\\ ,o=x",
                           "2.5.4.3=a,o=x", "cn=,o=x"}) {
        std::string once = Normalized(dn);
        EXPECT_EQ(Normalized(once.c_str()), once) << dn;
        std::string folded = Folded(dn);
        EXPECT_EQ(Folded(folded.c_str()), folded) << dn;
    }
    EXPECT_EQ(Normalized("cn=a;o=b\\ "), "cn=a,o=b\\ ");
}

TEST(DnParent, AgreesWithNormalization) {
    // A type with options is no DN type; the parent and the normalized
    // form both see the text as it is instead of dropping the option.
    EXPECT_EQ(Normalized("cn;lang-de=foo,o=x"), "cn;lang-de=foo,o=x");
    EXPECT_EQ(Parent("cn;lang-de=foo,o=x"), "lang-de=foo,o=x");
    for (const char *dn : {"cn=\"a,b\" , o=x", "cn=a\\,b;O=X", "cn=a+sn=b,o=x", "cn=#41,o=x"}) {
        std::string normalized = Folded(dn);
        EXPECT_EQ(Parent(normalized.c_str()), Folded(Parent(dn).c_str())) << dn;
    }
    EXPECT_EQ(Parent("cn=\"a;b\";o=x"), "o=x");
}

}  // namespace
