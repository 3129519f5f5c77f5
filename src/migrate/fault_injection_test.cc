// Every call that changes the file system during a downgrade and an upgrade
// is made to fail in turn (FaultEnv): each failure is reported, and no file
// that was there before is lost or cut short.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/dir.h"
#include "hv/slapi-host.h"
#include "hv/dsmigrate.h"
#include "migrate/downgrade.h"
#include "migrate/instance.h"
#include "migrate/result_codes.h"
#include "migrate/script_templates.h"
#include "migrate/upgrade.h"
#include "support/server_root.h"

namespace {

using hvtest::Inspect;
using hvtest::ReadFile;

constexpr char kInst[] = "slapd-a";
constexpr char kSchema[] =
    "dn: cn=schema\n"
    "objectclass: top\n"
    "cn: schema\n"
    "attributeTypes: ( 2.5.4.41 NAME 'name' SYNTAX 1.3.6.1.4.1.1466.115.121.1.15 )\n\n";

std::vector<std::string> ScriptNames() {
    std::vector<std::string> names;
    for (const hv::ScriptTemplate &t : hv::ScriptTemplates()) names.push_back(t.name);
    return names;
}

std::string Old(const std::string &name) { return "#!/bin/sh\necho pre-patch " + name + "\n"; }

class FaultInjection : public ::testing::Test {
  protected:
    void TearDown() override { hv_host_reset(); }
    // A patched instance: level 2 recorded, every script regenerated with
    // its pre-patch copy saved.
    void MakePatched(hvtest::ServerRoot *root) {
        root->AddInstance(kInst);
        root->SetVersions(kInst, "1\t2");
        for (const std::string &n : ScriptNames()) root->AddScript(kInst, n, "new " + n + "\n", Old(n));
    }
    // A baseline instance with a core schema file, a push script and the
    // pre-patch scripts.
    void MakeBaseline(hvtest::ServerRoot *root) {
        std::string inst = root->AddInstance(kInst);
        hvtest::MakeDirs(inst + "/config/schema");
        hvtest::WriteFile(inst + "/config/schema/00core.ldif", kSchema, 0600);
        hvtest::WriteFile(inst + "/schema_push.pl", "#!/bin/sh\nexit 0\n", 0755);
        for (const std::string &n : ScriptNames()) root->AddScript(kInst, n, Old(n), "");
    }
    // Each script is whole: the pre-patch one in place, or a new one in
    // place with the pre-patch one saved.
    void ExpectScriptsWhole(const hvtest::ServerRoot &root) {
        for (const std::string &n : ScriptNames()) {
            std::string path = root.Join(std::string(kInst) + "/" + n);
            std::string saved = root.BackupDir(kInst) + "/" + n;
            ASSERT_TRUE(Inspect(path).exists || Inspect(saved).exists) << n << " lost";
            if (!Inspect(path).exists) continue;
            std::string now = ReadFile(path);
            if (now == Old(n)) continue;
            EXPECT_EQ(ReadFile(saved), Old(n)) << n;
            EXPECT_EQ(now.rfind("#!/bin/sh\n\nunset LD_LIBRARY_PATH\n", 0) == 0 || now == "new " + n + "\n", true)
                << n << ": " << now;
        }
    }
};

TEST_F(FaultInjection, EveryFailedCallOfADowngradeIsReportedAndLosesNothing) {
    int total = 0;
    {
        hvtest::ServerRoot root;
        MakePatched(&root);
        hv::FaultEnv counting;
        ASSERT_EQ(DowngradeInstanceWith(&counting, root.path().c_str(), kInst), 0);
        total = counting.calls();
        EXPECT_FALSE(Inspect(root.UpgradeDir(kInst)).exists);
    }
    ASSERT_GE(total, 9 + 7);  // a rename per script, the repository rewrite, the removals
    for (int n = 1; n <= total; ++n) {
        hvtest::ServerRoot root;
        MakePatched(&root);
        hv::FaultEnv env(n);
        testing::internal::CaptureStderr();
        int rc = DowngradeInstanceWith(&env, root.path().c_str(), kInst);
        testing::internal::GetCapturedStderr();
        SCOPED_TRACE("call " + std::to_string(n) + ": " + env.failed());
        EXPECT_FALSE(IsSuccess(rc)) << rc;
        ExpectScriptsWhole(root);
        if (Inspect(root.VersionsFile(kInst)).exists) {
            std::string v = ReadFile(root.VersionsFile(kInst));
            EXPECT_TRUE(v == "1\t2" || v == "1\t") << v;
        }
    }
}

TEST_F(FaultInjection, EveryFailedCallOfAnUpgradeIsReportedAndLosesNothing) {
    int phase0 = 0, phase1 = 0;
    {
        hvtest::ServerRoot root;
        MakeBaseline(&root);
        hv::FaultEnv counting;
        std::string inst = root.InstancePath(kInst);
        ASSERT_EQ(UpgradeInstanceWith(&counting, 0, inst.c_str()), 0);
        phase0 = counting.calls();
        ASSERT_EQ(UpgradeInstanceWith(&counting, 1, inst.c_str()), 0);
        phase1 = counting.calls() - phase0;
        EXPECT_EQ(ReadFile(root.VersionsFile(kInst)), "1\t2");
    }
    ASSERT_GE(phase0, 9 * 5);  // at least create, write, sync, mode, rename per script
    ASSERT_GE(phase1, 5);
    for (int n = 1; n <= phase0 + phase1; ++n) {
        hvtest::ServerRoot root;
        MakeBaseline(&root);
        std::string inst = root.InstancePath(kInst);
        hv::FaultEnv env(n);
        testing::internal::CaptureStderr();
        int rc0 = UpgradeInstanceWith(&env, 0, inst.c_str());
        // Phase 1 follows only a phase 0 that succeeded, as the server runs it.
        int rc1 = n > phase0 ? UpgradeInstanceWith(&env, 1, inst.c_str()) : kResultOk;
        testing::internal::GetCapturedStderr();
        SCOPED_TRACE("call " + std::to_string(n) + ": " + env.failed());
        EXPECT_FALSE(IsSuccess(n <= phase0 ? rc0 : rc1)) << rc0 << " " << rc1;
        ExpectScriptsWhole(root);
        std::string schema = ReadFile(inst + "/config/schema/00core.ldif");
        EXPECT_EQ(schema.rfind(std::string(kSchema, sizeof kSchema - 3), 0), 0u) << schema;
        if (Inspect(root.VersionsFile(kInst)).exists) {
            std::string v = ReadFile(root.VersionsFile(kInst));
            EXPECT_TRUE(v == "1" || n == phase0 + phase1) << v;  // the last: flushing the directory
        }
    }
}

// A server root where dse.ldif fits the path buffer but the backup of a
// script would not: refused before anything is created.
TEST(Preflight, APathThatWouldNotFitIsFoundBeforeTheFirstChange) {
    hvtest::TempDir tmp("hvpreflight");
    std::string root = tmp.path();
    const std::size_t target = 1023 - std::string("/slapd-a/upgrade/bak_patch2/get-clusterinfo-slapd").size() + 5;
    while (root.size() + 201 < target) root += "/" + std::string(200, 'd');
    root += "/" + std::string(target - root.size() - 1, 'e');
    hvtest::MakeDirs(root + "/slapd-a/config");
    hvtest::WriteFile(root + "/slapd-a/config/dse.ldif", "dn: cn=config\n\n", 0600);
    std::string inst = root + "/slapd-a";
    testing::internal::CaptureStderr();
    EXPECT_EQ(downgrade_instance(root.c_str(), kInst), kResultNotPossible);
    EXPECT_EQ(upgrade_instance(0, inst.c_str()), kResultNotPossible);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("/bak_patch2/get-clusterinfo-slapd: path too long"), std::string::npos) << err;
    EXPECT_EQ(hvtest::ListDir(inst), std::vector<std::string>{"config"});
}

// One run per instance: while another holds the instance, a run waits a
// bounded time, then refuses and changes nothing.
TEST(OneRunPerInstance, ARunWaitsThenRefusesWhileAnotherHoldsTheInstance) {
    hvtest::ServerRoot root;
    std::string inst = root.AddInstance(kInst);
    root.SetVersions(kInst, "1\t2");
    hv::migrate::SetLockWaitMillisForTesting(200);
    {
        int err = 0;
        auto other = hv::migrate::Instance::Open(hv::Env::Default(), root.path(), kInst, &err);
        ASSERT_EQ(other->Lock(), 0);
        testing::internal::CaptureStderr();
        EXPECT_EQ(downgrade_instance(root.path().c_str(), kInst), kResultNotPossible);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), inst + " is being migrated by another run; nothing done\n");
        EXPECT_EQ(upgrade_instance(0, inst.c_str()), kResultNotPossible);
        EXPECT_EQ(ReadFile(root.VersionsFile(kInst)), "1\t2");
    }
    EXPECT_EQ(downgrade_instance(root.path().c_str(), kInst), kResultOk);
    hv::migrate::SetLockWaitMillisForTesting(10 * 1000);
}

}  // namespace
