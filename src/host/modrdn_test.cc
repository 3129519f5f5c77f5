// Modify-RDN in the host: renames and subtree moves, their result codes,
// what searches and the dse file see afterwards, and what the
// post-modify-RDN handlers are handed.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <string>
#include <vector>

#include "host/directory_test_util.h"
#include "support/server_root.h"

namespace {

using hvtest::AddLdif;
using hvtest::Ldif;
using hvtest::StoredValues;

// DNs of a subtree search below base, in the order returned.
std::vector<std::string> Below(const char *base) {
    char filter[] = "(objectclass=*)";
    Slapi_PBlock *pb = slapi_search_internal(const_cast<char *>(base), LDAP_SCOPE_SUBTREE, filter,
                                             nullptr, nullptr, 0);
    Slapi_Entry **found = nullptr;
    slapi_pblock_get(pb, SLAPI_PLUGIN_INTOP_SEARCH_ENTRIES, &found);
    std::vector<std::string> dns;
    for (int i = 0; found != nullptr && found[i] != nullptr; ++i) dns.emplace_back(slapi_entry_get_dn(found[i]));
    slapi_free_search_results_internal(pb);
    slapi_pblock_destroy(pb);
    return dns;
}

class ModRdnTest : public ::testing::Test {
  protected:
    void SetUp() override {
        hv_host_reset();
        ASSERT_EQ(hv_dir_add_suffix("dc=example,dc=com"), 0);
        for (const char *dn : {"dc=example,dc=com", "ou=a,dc=example,dc=com", "ou=b,dc=example,dc=com",
                               "cn=x,ou=a,dc=example,dc=com", "cn=y,cn=x,ou=a,dc=example,dc=com"}) {
            std::string rdn = std::string(dn).substr(0, std::string(dn).find(','));
            std::string type = rdn.substr(0, rdn.find('=')), value = rdn.substr(rdn.find('=') + 1);
            ASSERT_EQ(AddLdif(Ldif(dn, type + ": " + value + "\n")), 0) << dn;
        }
    }
    void TearDown() override { hv_host_reset(); }
};

TEST_F(ModRdnTest, RenameInPlaceKeepsOrDropsTheOldNamingValue) {
    EXPECT_EQ(hv_op_modrdn("cn=y,cn=x,ou=a,dc=example,dc=com", "cn=z", 0, nullptr, 0, nullptr), 0);
    EXPECT_EQ(StoredValues("cn=z,cn=x,ou=a,dc=example,dc=com", "cn"), (std::vector<std::string>{"y", "z"}));
    EXPECT_EQ(hv_dir_get_entry("cn=y,cn=x,ou=a,dc=example,dc=com"), nullptr);
    EXPECT_EQ(hv_op_modrdn("cn=z,cn=x,ou=a,dc=example,dc=com", "cn=w", 1, nullptr, 0, nullptr), 0);
    EXPECT_EQ(StoredValues("cn=w,cn=x,ou=a,dc=example,dc=com", "cn"), (std::vector<std::string>{"y", "w"}));
    // A rename to the same name in other letter case is allowed.
    EXPECT_EQ(hv_op_modrdn("cn=w,cn=x,ou=a,dc=example,dc=com", "CN=w", 1, nullptr, 0, nullptr), 0);
}

TEST_F(ModRdnTest, MovesAWholeSubtreeBelowTheNewSuperior) {
    // The new names take the stored superior's spelling.
    ASSERT_EQ(hv_op_modrdn("CN=X,ou=A,dc=example,dc=com", "cn=x2", 1, "OU=b,dc=example,dc=com", 0, nullptr), 0);
    EXPECT_EQ(Below("ou=a,dc=example,dc=com"), (std::vector<std::string>{"ou=a,dc=example,dc=com"}));
    EXPECT_EQ(Below("ou=b,dc=example,dc=com"),
              (std::vector<std::string>{"ou=b,dc=example,dc=com", "cn=x2,ou=b,dc=example,dc=com",
                                        "cn=y,cn=x2,ou=b,dc=example,dc=com"}));
    // The moved entries answer to their new names only, and can be deleted
    // leaf first, as anywhere else.
    EXPECT_EQ(hv_op_delete("cn=x2,ou=b,dc=example,dc=com", 0, nullptr), LDAP_NOT_ALLOWED_ON_NONLEAF);
    EXPECT_EQ(hv_op_delete("cn=y,cn=x,ou=a,dc=example,dc=com", 0, nullptr), LDAP_NO_SUCH_OBJECT);
    EXPECT_EQ(hv_op_delete("cn=y,cn=x2,ou=b,dc=example,dc=com", 0, nullptr), 0);
    EXPECT_EQ(hv_op_delete("cn=x2,ou=b,dc=example,dc=com", 0, nullptr), 0);
    EXPECT_EQ(hv_op_delete("ou=a,dc=example,dc=com", 0, nullptr), 0);
    EXPECT_EQ(hv_dir_entry_count(), 2);
}

TEST_F(ModRdnTest, ResultCodesLeaveTheDirectoryUnchanged) {
    const std::vector<std::string> before = Below("dc=example,dc=com");
    struct Case {
        const char *dn, *newrdn, *superior;
        int rc;
    } cases[] = {
        {"cn=none,ou=a,dc=example,dc=com", "cn=q", nullptr, LDAP_NO_SUCH_OBJECT},
        {"cn=x,ou=a,dc=example,dc=com", "cn=q", "ou=none,dc=example,dc=com", LDAP_NO_SUCH_OBJECT},
        {"cn=x,ou=a,dc=example,dc=com", "ou=b", "dc=example,dc=com", LDAP_ALREADY_EXISTS},
        {"ou=a,dc=example,dc=com", "ou=b", nullptr, LDAP_ALREADY_EXISTS},
        {"cn=x,ou=a,dc=example,dc=com", "not an rdn", nullptr, LDAP_INVALID_DN_SYNTAX},
        {"cn=x,ou=a,dc=example,dc=com", "cn=q,cn=r", nullptr, LDAP_INVALID_DN_SYNTAX},
        {"ou=a,dc=example,dc=com", "ou=q", "cn=y,cn=x,ou=a,dc=example,dc=com", LDAP_UNWILLING_TO_PERFORM},
        {"ou=a,dc=example,dc=com", "ou=q", "ou=a,dc=example,dc=com", LDAP_UNWILLING_TO_PERFORM},
        {"dc=example,dc=com", "dc=other", nullptr, LDAP_UNWILLING_TO_PERFORM},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(hv_op_modrdn(c.dn, c.newrdn, 1, c.superior, 0, nullptr), c.rc) << c.dn << " " << c.newrdn;
    }
    hv_dir_refuse_attribute("uid", 1);
    EXPECT_EQ(hv_op_modrdn("cn=x,ou=a,dc=example,dc=com", "uid=x", 0, nullptr, 0, nullptr),
              LDAP_OBJECT_CLASS_VIOLATION);
    EXPECT_EQ(Below("dc=example,dc=com"), before);
}

TEST_F(ModRdnTest, HandlersSeeTheEntryBeforeAndAfterAndTheRequest) {
    ASSERT_NE(hvtest::LoadProbe({"name=P"}), nullptr);
    ASSERT_EQ(hv_op_modrdn("cn=x,ou=a,dc=example,dc=com", "cn=x", 0, "ou=b,dc=example,dc=com", HV_OP_REPLICATED,
                           nullptr),
              0);
    EXPECT_EQ(hv_op_modrdn("cn=x,ou=a,dc=example,dc=com", "cn=q", 1, nullptr, 0, nullptr), LDAP_NO_SUCH_OBJECT);
    char olddn[] = "cn=x,ou=b,dc=example,dc=com";
    Slapi_PBlock *pb = slapi_rename_internal(olddn, "cn=r", nullptr, 1, nullptr, 0);
    int rc = -1;
    slapi_pblock_get(pb, SLAPI_PLUGIN_INTOP_RESULT, &rc);
    slapi_pblock_destroy(pb);
    EXPECT_EQ(rc, 0);
    Slapi_Entry *renamed = hv_dir_get_entry("cn=r,ou=b,dc=example,dc=com");
    EXPECT_NE(renamed, nullptr);
    slapi_entry_free(renamed);
    // The internal rename runs no handlers, as no internal operation does.
    auto ev = hvtest::ProbeEvents();
    ASSERT_EQ(ev.size(), 2u);
    EXPECT_EQ(ev[0], "P modrdn rc=0 repl=1 dn=cn=x,ou=a,dc=example,dc=com add=- pre=cn=x,ou=a,dc=example,dc=com "
                     "post=cn=x,ou=b,dc=example,dc=com mods=0 argc=1 newrdn=cn=x deleteold=0 "
                     "newsuperior=ou=b,dc=example,dc=com");
    EXPECT_EQ(ev[1], "P modrdn rc=32 repl=0 dn=cn=x,ou=a,dc=example,dc=com add=- pre=- post=- mods=0 argc=1 "
                     "newrdn=cn=q deleteold=1 newsuperior=-");
}

TEST_F(ModRdnTest, AMoveIsWrittenBackToTheDseFile) {
    hvtest::TempDir dir;
    const std::string file = dir.Join("dse.ldif");
    hv_host_reset();
    hvtest::WriteFile(file, "dn: dc=x\nobjectclass: top\n\ndn: ou=a,dc=x\nobjectclass: top\n\n"
                            "dn: ou=b,dc=x\nobjectclass: top\n\ndn: cn=k,ou=a,dc=x\nobjectclass: top\n\n"
                            "dn: cn=l,cn=k,ou=a,dc=x\nobjectclass: top\n\n");
    ASSERT_EQ(hv_dir_load_dse(file.c_str()), 0);
    ASSERT_EQ(hv_op_modrdn("cn=k,ou=a,dc=x", "cn=k", 0, "ou=b,dc=x", 0, nullptr), 0);
    hv_host_reset();
    ASSERT_EQ(hv_dir_load_ldif(file.c_str()), 0);
    EXPECT_EQ(Below("ou=b,dc=x"), (std::vector<std::string>{"ou=b,dc=x", "cn=k,ou=b,dc=x", "cn=l,cn=k,ou=b,dc=x"}));
}

}  // namespace
