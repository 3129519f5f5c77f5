// Loading the directory from a configuration file and writing changes back.
#include <gtest/gtest.h>
#include <unistd.h>

#include "host/directory_test_util.h"
#include "support/server_root.h"
#include "support/users.h"

namespace {

using hvtest::Mods;
using hvtest::StoredValues;

const char kDse[] =
    "version: 1\n"
    "# the server's configuration\n"
    "dn: cn=config\n"
    "objectclass: top\n"
    "cn: config\n"
    "\n"
    "dn: cn=encryption,cn=config\n"
    "objectclass: top\n"
    "cn: encryption\n"
    "hvCertfile: alias/slapd-a-cert7.db\n"
    "\n"
    "dn: cn=hvplugins,cn=config\n"
    "objectclass: top\n"
    "description: a long description that goes on and on so that the printer has to fold it "
    "onto a second line of the file\n"
    "\n"
    "dn: cn=schema,cn=missing\n"
    "objectclass: top\n";

class DseTest : public ::testing::Test {
  protected:
    void SetUp() override {
        hv_host_reset();
        hvtest::MakeDirs(tmp_.Join("config"));
        path_ = tmp_.Join("config/dse.ldif");
        log_ = tmp_.Join("errors");
        ASSERT_EQ(hv_log_open(log_.c_str()), 0);
    }
    void TearDown() override {
        hv_host_reset();
        hv_log_open(nullptr);
    }
    int ReplaceCertfile(const char *value) {
        Mods m;
        m.Add(LDAP_MOD_REPLACE, "hvCertfile", {value});
        char dn[] = "cn=encryption,cn=config";
        Slapi_PBlock *pb = slapi_modify_internal(dn, m.get(), nullptr, 1);
        int rc = -1;
        slapi_pblock_get(pb, SLAPI_PLUGIN_INTOP_RESULT, &rc);
        slapi_pblock_destroy(pb);
        return rc;
    }
    std::vector<std::string> DnsInFile() {
        std::vector<std::string> dns;
        std::string text = hvtest::ReadFile(path_);
        for (std::size_t at = text.find("dn: "); at != std::string::npos; at = text.find("\ndn: ", at + 1)) {
            std::size_t s = text[at] == '\n' ? at + 5 : at + 4;
            dns.push_back(text.substr(s, text.find('\n', s) - s));
        }
        return dns;
    }
    hvtest::TempDir tmp_;
    std::string path_, log_;
};

TEST_F(DseTest, ChangesAreWrittenBackKeepingOwnerAndMode) {
    hvtest::SystemUser owner;
    ASSERT_TRUE(hvtest::EnsureSystemUser("hvdirowner", &owner));
    ASSERT_NE(owner.uid, 0u);
    hvtest::WriteFile(path_, kDse, 0640);
    ASSERT_EQ(chown(path_.c_str(), owner.uid, owner.gid), 0);
    ASSERT_EQ(hv_dir_load_dse(path_.c_str()), 0) << hvtest::ReadFile(log_);
    EXPECT_EQ(hv_dir_entry_count(), 4);

    ASSERT_EQ(ReplaceCertfile("alias/slapd-a-cert8.db"), 0);
    hvtest::PathInfo info = hvtest::Inspect(path_);
    EXPECT_EQ(info.mode, 0640u);
    EXPECT_EQ(info.uid, owner.uid);
    EXPECT_EQ(info.gid, owner.gid);
    EXPECT_EQ(hvtest::ListDir(tmp_.Join("config")), (std::vector<std::string>{"dse.ldif", "dse.ldif.bak"}));
    EXPECT_EQ(hvtest::ReadFile(path_ + ".bak"), kDse);
    EXPECT_EQ(hvtest::Inspect(path_ + ".bak").uid, owner.uid);
    EXPECT_EQ(DnsInFile(), (std::vector<std::string>{"cn=config", "cn=encryption,cn=config",
                                                     "cn=hvplugins,cn=config", "cn=schema,cn=missing"}));

    // The file alone gives the same directory back.
    hv_host_reset();
    ASSERT_EQ(hv_dir_load_dse(path_.c_str()), 0) << hvtest::ReadFile(log_);
    EXPECT_EQ(hv_dir_entry_count(), 4);
    EXPECT_EQ(StoredValues("cn=encryption,cn=config", "hvCertfile"),
              (std::vector<std::string>{"alias/slapd-a-cert8.db"}));
    EXPECT_EQ(StoredValues("cn=hvplugins,cn=config", "description").at(0),
              "a long description that goes on and on so that the printer has to fold it onto a "
              "second line of the file");
}

TEST_F(DseTest, TopEntriesBecomeSuffixesAndOrderIsKept) {
    hvtest::WriteFile(path_, kDse, 0600);
    ASSERT_EQ(hv_dir_load_dse(path_.c_str()), 0);
    // cn=schema,cn=missing has no parent here: it is a naming context.
    ASSERT_EQ(hv_op_add_ldif("dn: cn=a,cn=schema,cn=missing\nobjectclass: top\n", 0, nullptr), 0);
    ASSERT_EQ(hv_op_add_ldif("dn: cn=b,cn=config\nobjectclass: top\n", 0, nullptr), 0);
    EXPECT_EQ(DnsInFile(), (std::vector<std::string>{"cn=config", "cn=encryption,cn=config",
                                                     "cn=hvplugins,cn=config", "cn=schema,cn=missing",
                                                     "cn=a,cn=schema,cn=missing", "cn=b,cn=config"}));
    ASSERT_EQ(hv_op_delete("cn=a,cn=schema,cn=missing", 0, nullptr), 0);
    EXPECT_EQ(DnsInFile().size(), 5u);
}

TEST_F(DseTest, FailedOperationsLeaveTheFileAlone) {
    std::string text = std::string(kDse) + "\n# kept by hand\n";
    hvtest::WriteFile(path_, text, 0600);
    ASSERT_EQ(hv_dir_load_dse(path_.c_str()), 0);
    EXPECT_EQ(hv_op_delete("cn=config", 0, nullptr), LDAP_NOT_ALLOWED_ON_NONLEAF);
    EXPECT_EQ(hv_op_add_ldif("dn: cn=config\nobjectclass: top\n", 0, nullptr), LDAP_ALREADY_EXISTS);
    EXPECT_EQ(hvtest::ReadFile(path_), text);
}

TEST_F(DseTest, BadFilesAreRefusedWithTheirFaultNamed) {
    hvtest::WriteFile(path_, std::string(kDse) + "\nthis line is no attribute\n", 0600);
    EXPECT_EQ(hv_dir_load_dse(path_.c_str()), -1);
    std::string log = hvtest::ReadFile(log_);
    EXPECT_NE(log.find(path_), std::string::npos) << log;
    EXPECT_NE(log.find("line 19 (this line is no attribute)"), std::string::npos) << log;
    EXPECT_EQ(hv_dir_entry_count(), 0);

    hvtest::WriteFile(path_, std::string(kDse) + "\ndn: CN=Encryption, cn=config\nobjectclass: top\n", 0600);
    EXPECT_EQ(hv_dir_load_dse(path_.c_str()), -1);
    EXPECT_NE(hvtest::ReadFile(log_).find("CN=Encryption, cn=config"), std::string::npos);
    EXPECT_EQ(hv_dir_entry_count(), 0);  // all or nothing

    EXPECT_EQ(hv_dir_load_dse(tmp_.Join("config/none.ldif").c_str()), -1);
    EXPECT_NE(hvtest::ReadFile(log_).find("none.ldif: No such file or directory"), std::string::npos);
    EXPECT_EQ(hv_dir_save_dse(), -1);  // nothing loaded
}

// What the administrator wrote stays byte for byte where nothing changed.
TEST_F(DseTest, WriteBackRewritesOnlyChangedBlocks) {
    const std::string text =
        "\n# leading comment\n"
        "version: 1\n"
        "dn: cn=config\n"
        "objectclass: top\n"
        "cn: config\n"
        "\n\n"
        "# the certificate database, changed by the upgrade\n"
        "dn: cn=encryption,cn=config\n"
        "objectclass: top\n"
        "hvCertfile: alias/slapd-a-cert7.db\n"
        "\n"
        "# a comment block alone\n"
        "\n"
        "dn: cn=hvplugins,cn=config\n"
        "description: folded by hand\n"
        "  at an odd place\n"
        "\n"
        "dn: cn=gone,cn=config\n"
        "objectclass: top\n"
        "\n"
        "dn: cn=last,cn=config\r\n"
        "cn: last\r\n";
    hvtest::WriteFile(path_, text, 0600);
    ASSERT_EQ(hv_dir_load_dse(path_.c_str()), 0) << hvtest::ReadFile(log_);
    ASSERT_EQ(ReplaceCertfile("alias/slapd-a-cert8.db"), 0);
    ASSERT_EQ(hv_op_delete("cn=gone,cn=config", 0, nullptr), 0);
    ASSERT_EQ(hv_op_add_ldif("dn: cn=new,cn=config\nobjectclass: top\n", 0, nullptr), 0);
    // Only the changed entry's block, the deleted one's and the added one differ.
    std::string want = text;
    want.replace(want.find("cert7"), 5, "cert8");
    const std::string gone = "dn: cn=gone,cn=config\nobjectclass: top\n\n";
    want.erase(want.find(gone), gone.size());
    want += "\ndn: cn=new,cn=config\nobjectclass: top\n";
    EXPECT_EQ(hvtest::ReadFile(path_), want);
    // The copy is the file as it was before the first change of the run.
    EXPECT_EQ(hvtest::ReadFile(path_ + ".bak"), text);
    ASSERT_EQ(hv_op_delete("cn=new,cn=config", 0, nullptr), 0);
    EXPECT_EQ(hvtest::ReadFile(path_ + ".bak"), text);

    // Loaded again, a change is made to the file as it is now.
    hv_host_reset();
    ASSERT_EQ(hv_dir_load_dse(path_.c_str()), 0);
    ASSERT_EQ(ReplaceCertfile("alias/slapd-a-cert7.db"), 0);
    EXPECT_EQ(hvtest::ReadFile(path_ + ".bak").find("cn=new"), std::string::npos);
    EXPECT_NE(hvtest::ReadFile(path_ + ".bak").find("cert8"), std::string::npos);
}

// A change the file cannot take is refused and undone, so that the
// directory never holds what a restart would lose.
TEST_F(DseTest, FailedWriteBackFailsTheChangeAndUndoesIt) {
    hvtest::WriteFile(path_, kDse, 0600);
    ASSERT_EQ(hv_dir_load_dse(path_.c_str()), 0);
    hvtest::RemoveTree(tmp_.Join("config"));
    EXPECT_EQ(ReplaceCertfile("alias/slapd-a-cert8.db"), LDAP_OPERATIONS_ERROR);
    EXPECT_EQ(StoredValues("cn=encryption,cn=config", "hvCertfile"),
              (std::vector<std::string>{"alias/slapd-a-cert7.db"}));
    EXPECT_EQ(hv_op_add_ldif("dn: cn=b,cn=config\nobjectclass: top\n", 0, nullptr), LDAP_OPERATIONS_ERROR);
    EXPECT_EQ(hv_dir_get_entry("cn=b,cn=config"), nullptr);
    EXPECT_EQ(hv_op_delete("cn=schema,cn=missing", 0, nullptr), LDAP_OPERATIONS_ERROR);
    Slapi_Entry *kept = hv_dir_get_entry("cn=schema,cn=missing");
    EXPECT_NE(kept, nullptr);
    slapi_entry_free(kept);
    std::string log = hvtest::ReadFile(log_);
    EXPECT_NE(log.find(path_), std::string::npos) << log;
    EXPECT_NE(log.find("No such file or directory"), std::string::npos) << log;
    EXPECT_EQ(hv_dir_save_dse(), -1);

    hvtest::MakeDirs(tmp_.Join("config"));
    hvtest::WriteFile(path_, kDse, 0600);
    EXPECT_EQ(ReplaceCertfile("alias/slapd-a-cert8.db"), 0);
    EXPECT_NE(hvtest::ReadFile(path_).find("cert8"), std::string::npos);
    EXPECT_EQ(hvtest::ReadFile(path_ + ".bak"), kDse);
}

// Without its copy of the file as it was, the first change is refused.
TEST_F(DseTest, ChangeIsRefusedWhenTheCopyCannotBeKept) {
    hvtest::WriteFile(path_, kDse, 0600);
    hvtest::MakeDirs(path_ + ".bak");  // in the copy's way
    ASSERT_EQ(hv_dir_load_dse(path_.c_str()), 0);
    EXPECT_EQ(ReplaceCertfile("alias/slapd-a-cert8.db"), LDAP_OPERATIONS_ERROR);
    EXPECT_EQ(hvtest::ReadFile(path_), kDse);
    EXPECT_NE(hvtest::ReadFile(log_).find("cannot keep a copy of configuration file " + path_),
              std::string::npos);
}

}  // namespace
