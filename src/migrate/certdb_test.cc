// The certificate step against the real NSS library and the host's
// directory.  The fixture database is made at test time with certutil.
#include "migrate/certdb.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <regex>
#include <string>
#include <vector>

#include "hv/slapi-host.h"
#include "hv/slapi-plugin.h"
#include "support/run_program.h"
#include "support/server_root.h"
#include "support/users.h"

#if defined(__SANITIZE_ADDRESS__)
#include <dlfcn.h>

// NSS's old-format database module leaks its handle when it fails to open a
// damaged file (DamagedCert7IsNotConverted): not ours to free.  NSS unloads
// the module at shutdown, after which the leak report cannot name it; kept
// loaded, it can be named and suppressed.
extern "C" const char *__lsan_default_suppressions() { return "leak:libnssdbm3.so\n"; }
namespace {
[[maybe_unused]] void *const kKeepNssDbm = dlopen("libnssdbm3.so", RTLD_NOW | RTLD_NODELETE);
}  // namespace
#endif

namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

class CertDb : public ::testing::Test {
protected:
    void SetUp() override {
        root_.AddInstance("slapd-a");
        alias_ = root_.Join("alias");
        hvtest::MakeDirs(alias_);
        cert7_ = alias_ + "/slapd-a-cert7.db";
        cert8_ = root_.Cert8Path("slapd-a");
    }

    // A baseline database: key and module databases, and a cert7 file that
    // holds a self-signed certificate "test".
    void MakeCert7() {
        std::string noise = root_.Join("noise");
        hvtest::WriteFile(noise, std::string(256, 'x') + "0123456789abcdef");
        Certutil({"-N", "--empty-password"});
        Certutil({"-S", "-s", "CN=test", "-n", "test", "-x", "-t", "CT,,", "-z", noise});
        ASSERT_EQ(rename(cert8_.c_str(), cert7_.c_str()), 0);
    }
    hvtest::ProgramResult Certutil(std::vector<std::string> args) {
        args.insert(args.end(), {"-d", "dbm:" + alias_, "-P", "slapd-a-"});
        hvtest::ProgramResult r = hvtest::RunProgram("/usr/bin/certutil", args);
        EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
        return r;
    }
    void ExpectCert8ListsTheCertificate() {
        ASSERT_TRUE(hvtest::Inspect(cert8_).is_regular);
        hvtest::ProgramResult r = Certutil({"-L"});
        EXPECT_TRUE(std::regex_search(r.out, std::regex("\ntest +CTu,u,u\n"))) << r.out;
    }
    int Phase(int phase) { return upgrade_NSS334_to_NSS336(phase, root_.path().c_str(), "slapd-a"); }

    hvtest::ServerRoot root_;
    std::string alias_, cert7_, cert8_;
};

TEST_F(CertDb, NothingToConvertWithoutCert7) {
    hvtest::WriteFile(cert8_, "kept as it is");
    EXPECT_EQ(Phase(0), 0);
    EXPECT_EQ(hvtest::ReadFile(cert8_), "kept as it is");
    EXPECT_EQ(hvtest::ListDir(alias_), (std::vector<std::string>{"slapd-a-cert8.db"}));
}

TEST_F(CertDb, ConvertsCert7WithItsCertificates) {
    MakeCert7();
    EXPECT_EQ(Phase(0), 0);
    ExpectCert8ListsTheCertificate();
    EXPECT_TRUE(hvtest::Inspect(cert7_).is_regular);
    EXPECT_FALSE(hvtest::Inspect(cert8_ + "_bak0").exists);
}

TEST_F(CertDb, ExistingCert8IsMovedToTheNextFreeBackup) {
    MakeCert7();
    hvtest::WriteFile(cert8_, "older cert8");
    hvtest::WriteFile(cert8_ + "_bak0", "oldest cert8");
    EXPECT_EQ(Phase(0), 0);
    EXPECT_EQ(hvtest::ReadFile(cert8_ + "_bak0"), "oldest cert8");
    EXPECT_EQ(hvtest::ReadFile(cert8_ + "_bak1"), "older cert8");
    ExpectCert8ListsTheCertificate();

    // Again in the same process: the library is opened afresh.
    EXPECT_EQ(Phase(0), 0);
    EXPECT_TRUE(hvtest::Inspect(cert8_ + "_bak2").is_regular);
    ExpectCert8ListsTheCertificate();
}

TEST_F(CertDb, RenameFileAsBackupNumbering) {
    std::string f = root_.Join("file");
    EXPECT_EQ(renameFileAsBackup(f.c_str()), -1);
    for (int i = 0; i < 3; ++i) {
        hvtest::WriteFile(f, std::to_string(i));
        EXPECT_EQ(renameFileAsBackup(f.c_str()), 0);
        EXPECT_FALSE(hvtest::Inspect(f).exists);
        EXPECT_EQ(hvtest::ReadFile(f + "_bak" + std::to_string(i)), std::to_string(i));
    }
}

TEST_F(CertDb, OtherPhasesDoNothing) {
    MakeCert7();
    EXPECT_EQ(Phase(2), 0);
    EXPECT_EQ(Phase(-1), 0);
    EXPECT_FALSE(hvtest::Inspect(cert8_).exists);
}

// As an instance owner who may not change the alias directory.
TEST_F(CertDb, Cert8ThatCannotBeMovedAside) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to switch to another user";
    struct passwd *nobody = getpwnam("nobody");
    ASSERT_NE(nobody, nullptr);
    MakeCert7();
    hvtest::WriteFile(cert8_, "older cert8");
    // Readable by the owner: only the directory refuses the move.
    for (const std::string &f : {cert7_, alias_ + "/slapd-a-key3.db"}) ASSERT_EQ(chmod(f.c_str(), 0644), 0);
    std::string out = root_.Join("out");
    std::fflush(stdout);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0 || dup2(fd, 1) < 0) _exit(100);
        if (setegid(nobody->pw_gid) != 0 || seteuid(nobody->pw_uid) != 0) _exit(101);
        int rc = Phase(0);
        std::fflush(stdout);
        _exit(rc);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 4);
    EXPECT_EQ(hvtest::ReadFile(out), "Couldn't rename old " + cert8_ +
                                         " certificate database, so won't be able to upgrade " +
                                         cert7_ + ".\n");
    EXPECT_EQ(hvtest::ReadFile(cert8_), "older cert8");
}

TEST_F(CertDb, DatabaseThatCannotBeOpened) {
    // A cert7 file, but the alias directory holds no key or module database
    // and cannot take new ones: the path is not a directory.
    hvtest::ServerRoot other;
    hvtest::WriteFile(other.Join("alias"), "not a directory");
    CaptureStdout();
    EXPECT_EQ(upgrade_certdb(other.path().c_str(), "slapd-a"), 3);
    EXPECT_EQ(GetCapturedStdout().rfind("Couldn't initialize security databases. - Error Code: ", 0),
              0u);
}

TEST_F(CertDb, PathsThatDoNotFitAreRefused) {
    std::string longname(1100, 'n');
    testing::internal::CaptureStderr();
    EXPECT_EQ(upgrade_NSS334_to_NSS336(0, root_.path().c_str(), longname.c_str()), 4);
    EXPECT_EQ(upgrade_NSS334_to_NSS336(1, root_.path().c_str(), longname.c_str()), 4);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("path too long, at most 1023 bytes"), std::string::npos);
}

// The conversion as the instance owner, checked against what the old
// database held.
class CertDbAsOwner : public CertDb {
protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "needs root to switch to the owner";
        CertDb::SetUp();
        ASSERT_TRUE(hvtest::EnsureSystemUser("hvdsowner", &owner_));
        MakeCert7();
        key3_ = alias_ + "/slapd-a-key3.db";
        hvtest::ChownTree(alias_, owner_.uid, owner_.gid);
    }
    // Phase 0 under the owner's effective ids, with what it printed to
    // standard error.
    int PhaseZeroAsOwner(std::string *err) {
        testing::internal::CaptureStderr();
        int rc;
        {
            hvtest::ScopedEffectiveIds ids(owner_.uid, owner_.gid);
            EXPECT_TRUE(ids.ok());
            rc = Phase(0);
        }
        *err = testing::internal::GetCapturedStderr();
        return rc;
    }
    hvtest::SystemUser owner_;
    std::string key3_;
};

TEST_F(CertDbAsOwner, ConvertedDatabaseMatchesAndOldFilesStayByteForByte) {
    const std::string cert7 = hvtest::ReadFile(cert7_), key3 = hvtest::ReadFile(key3_);
    std::string err;
    EXPECT_EQ(PhaseZeroAsOwner(&err), 0) << err;
    ExpectCert8ListsTheCertificate();
    EXPECT_EQ(hvtest::ReadFile(cert7_), cert7);
    EXPECT_EQ(hvtest::ReadFile(key3_), key3);
    // The copies made before NSS opened anything.
    EXPECT_EQ(hvtest::ReadFile(cert7_ + "_bak0"), cert7);
    EXPECT_EQ(hvtest::ReadFile(key3_ + "_bak0"), key3);
    EXPECT_EQ(hvtest::Inspect(key3_ + "_bak0").uid, owner_.uid);
    EXPECT_EQ(hvtest::Inspect(key3_ + "_bak0").mode, 0600u);
}

// What the owner plants in the alias directory is examined, never followed
// or waited on: a link where a copy would go is passed over, a FIFO in place
// of the key database is refused.
TEST_F(CertDbAsOwner, PlantedLinksAndFifosAreNotFollowed) {
    const std::string elsewhere = root_.Join("elsewhere");
    ASSERT_EQ(symlink(elsewhere.c_str(), (key3_ + "_bak0").c_str()), 0);
    std::string err;
    EXPECT_EQ(PhaseZeroAsOwner(&err), 0) << err;
    EXPECT_FALSE(hvtest::Inspect(elsewhere).exists);
    EXPECT_EQ(hvtest::ReadFile(key3_ + "_bak1"), hvtest::ReadFile(key3_));

    hvtest::ServerRoot other;
    other.AddInstance("slapd-a");
    hvtest::MakeDirs(other.Join("alias"));
    hvtest::WriteFile(other.Join("alias/slapd-a-cert7.db"), hvtest::ReadFile(cert7_), 0600);
    ASSERT_EQ(mkfifo(other.Join("alias/slapd-a-key3.db").c_str(), 0600), 0);
    hvtest::ChownTree(other.Join("alias"), owner_.uid, owner_.gid);
    testing::internal::CaptureStderr();
    {
        hvtest::ScopedEffectiveIds ids(owner_.uid, owner_.gid);
        EXPECT_EQ(upgrade_NSS334_to_NSS336(0, other.path().c_str(), "slapd-a"), 4);
    }
    err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("slapd-a-key3.db cannot be read: a symbolic link or not a regular file"), std::string::npos)
        << err;
}

TEST_F(CertDbAsOwner, Cert7TheOwnerCannotReadChangesNothing) {
    hvtest::ChownTree(cert7_, 0, 0, false);
    const std::vector<std::string> before = hvtest::ListDir(alias_);
    std::string err;
    EXPECT_EQ(PhaseZeroAsOwner(&err), 4);
    EXPECT_NE(err.find("upgrade_NSS334_to_NSS336: " + cert7_ + " cannot be read: Permission denied"),
              std::string::npos) << err;
    EXPECT_EQ(hvtest::ListDir(alias_), before);
}

TEST_F(CertDbAsOwner, DamagedCert7IsNotConverted) {
    const std::string whole = hvtest::ReadFile(cert7_);
    const std::vector<std::string> before = hvtest::ListDir(alias_);
    // Cut short: NSS cannot open it.
    hvtest::WriteFile(cert7_, whole.substr(0, 20000), 0600);
    hvtest::ChownTree(cert7_, owner_.uid, owner_.gid, false);
    std::string err;
    EXPECT_EQ(PhaseZeroAsOwner(&err), 3);
    EXPECT_NE(err.find(cert7_ + " cannot be read through NSS"), std::string::npos) << err;
    EXPECT_EQ(hvtest::ListDir(alias_), before);

    // Overwritten with noise: NSS reads no certificate, but the key database
    // holds the server's private key.
    std::string noise(whole.size(), '\0');
    for (std::size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<char>((i * 7919u + 13u) >> 3);
    hvtest::WriteFile(cert7_, noise, 0600);
    hvtest::ChownTree(cert7_, owner_.uid, owner_.gid, false);
    EXPECT_EQ(PhaseZeroAsOwner(&err), 3);
    EXPECT_NE(err.find("holds no certificate for 1 private key(s) of " + key3_), std::string::npos) << err;
    EXPECT_EQ(hvtest::ListDir(alias_), before);
}

// NSS rewrites a key database it cannot read; the step puts it back.
TEST_F(CertDbAsOwner, KeyDatabaseRewrittenByNssIsPutBack) {
    std::string noise(16384, '\0');
    for (std::size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<char>((i * 104729u + 7u) >> 5);
    hvtest::WriteFile(key3_, noise, 0600);
    hvtest::ChownTree(key3_, owner_.uid, owner_.gid, false);
    std::string err;
    PhaseZeroAsOwner(&err);
    EXPECT_EQ(hvtest::ReadFile(key3_), noise);
    EXPECT_NE(err.find("NSS changed " + key3_ + "; it was put back as it was"), std::string::npos) << err;
}

class CertDbConfig : public CertDb {
protected:
    void SetUp() override {
        CertDb::SetUp();
        hv_host_reset();
        log_ = root_.Join("errors");
        ASSERT_EQ(hv_log_open(log_.c_str()), 0);
        ASSERT_EQ(hv_dir_add_suffix("cn=config"), 0);
        ASSERT_EQ(hv_op_add_ldif("dn: cn=config\nobjectClass: top\ncn: config\n", 0, nullptr), 0);
    }
    void TearDown() override {
        hv_dir_refuse_attribute("hvCertfile", 0);
        hv_host_reset();
        hv_log_open(nullptr);
    }
    void AddEncryption(const std::string &attrs) {
        ASSERT_EQ(hv_op_add_ldif(("dn: cn=encryption,cn=config\nobjectClass: top\ncn: encryption\n" +
                                  attrs)
                                     .c_str(),
                                 0, nullptr),
                  0);
    }
    std::vector<std::string> Certfiles() {
        std::vector<std::string> vals;
        Slapi_Entry *e = hv_dir_get_entry("cn=encryption,cn=config");
        if (e == nullptr) return {"<no entry>"};
        Slapi_Attr *a = nullptr;
        if (slapi_entry_attr_find(e, "hvCertfile", &a) == 0) {
            Slapi_Value *v = nullptr;
            for (int i = slapi_attr_first_value(a, &v); i != -1; i = slapi_attr_next_value(a, i, &v)) {
                vals.push_back(slapi_value_get_string(v));
            }
        }
        slapi_entry_free(e);
        return vals;
    }
    void MakeCert8() { hvtest::WriteFile(cert8_, "cert8"); }

    std::string log_;
};

TEST_F(CertDbConfig, ReplacesTheCert7Name) {
    MakeCert8();
    AddEncryption("hvCertfile: alias/slapd-a-cert7.db\nhvCertfile: alias/other.db\n");
    EXPECT_EQ(Phase(1), 0);
    EXPECT_EQ(Certfiles(), (std::vector<std::string>{"alias/slapd-a-cert8.db"}));
}

TEST_F(CertDbConfig, LeavesTheEntryAloneWhenNothingIsToBeDone) {
    AddEncryption("hvCertfile: alias/slapd-a-cert7.db\n");
    EXPECT_EQ(Phase(1), 0);  // no cert8 file
    EXPECT_EQ(Certfiles(), (std::vector<std::string>{"alias/slapd-a-cert7.db"}));

    MakeCert8();
    EXPECT_EQ(Phase(0 + 2), 0);
    EXPECT_EQ(Certfiles(), (std::vector<std::string>{"alias/slapd-a-cert7.db"}));

    ASSERT_EQ(hv_op_delete("cn=encryption,cn=config", 0, nullptr), 0);
    AddEncryption("hvCertfile: alias/x.db\nhvCertfile: alias/slapd-a-cert8.db\n");
    EXPECT_EQ(Phase(1), 0);
    EXPECT_EQ(Certfiles(), (std::vector<std::string>{"alias/x.db", "alias/slapd-a-cert8.db"}));

    ASSERT_EQ(hv_op_delete("cn=encryption,cn=config", 0, nullptr), 0);
    AddEncryption("");
    EXPECT_EQ(Phase(1), 0);
    EXPECT_EQ(Certfiles(), std::vector<std::string>{});
}

TEST_F(CertDbConfig, MissingEntryGivesFour) {
    MakeCert8();
    EXPECT_EQ(Phase(1), 4);
}

TEST_F(CertDbConfig, RefusedModifyGivesThreeAndAWarning) {
    MakeCert8();
    AddEncryption("hvCertfile: alias/slapd-a-cert7.db\n");
    hv_dir_refuse_attribute("hvCertfile", 1);
    EXPECT_EQ(Phase(1), 3);
    EXPECT_EQ(Certfiles(), (std::vector<std::string>{"alias/slapd-a-cert7.db"}));
    std::string log = hvtest::ReadFile(log_);
    EXPECT_NE(log.find("Cannot upgrade encryption, error 65 on entry 'cn=encryption,cn=config'"),
              std::string::npos)
        << log;
}

}  // namespace
