#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "hv/dsmigrate.h"
#include "migrate/downgrade.h"
#include "support/server_root.h"

namespace {

using hvtest::Inspect;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

int RunMain(std::vector<std::string> args) {
    std::vector<char *> argv;
    for (std::string &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    return dsmigrate_main(static_cast<int>(args.size()), argv.data());
}

// The option parser starts afresh on every call, as a library entry must.
TEST(DowngradeDriver, MainCanRunMoreThanOnceInAProcess) {
    hvtest::ServerRoot first, second;
    for (hvtest::ServerRoot *root : {&first, &second}) {
        root->AddInstance("slapd-a");
        root->SetVersions("slapd-a", "1\t2");
    }
    EXPECT_EQ(RunMain({"dsmigrate", "-downgrade", "-s", first.path()}), 0);
    EXPECT_EQ(RunMain({"dsmigrate", "-downgrade", "-i", "slapd-a", "-s", second.path()}), 0);
    EXPECT_FALSE(Inspect(first.UpgradeDir("slapd-a")).exists);
    EXPECT_FALSE(Inspect(second.UpgradeDir("slapd-a")).exists);
    CaptureStdout();
    EXPECT_EQ(RunMain({"dsmigrate", "-downgrade", "-s", first.path(), "-s", first.path()}), 1);
    EXPECT_NE(GetCapturedStdout().find("Usage: dsmigrate -downgrade"), std::string::npos);
}

TEST(DowngradeDriver, ResultsOfOneInstance) {
    hvtest::ServerRoot root;
    root.AddInstance("slapd-a");
    hvtest::MakeDirs(root.Join("slapd-noconfig"));
    EXPECT_EQ(downgrade_instance(root.path().c_str(), "slapd-noconfig"), 4);
    EXPECT_EQ(downgrade_instance(root.path().c_str(), "slapd-a"), 8);
    root.SetVersions("slapd-a", "1\t3");
    EXPECT_EQ(downgrade_instance(root.path().c_str(), "slapd-a"), 4);
    EXPECT_EQ(downgrade_DS_instance(root.path().c_str(), "slapd-a", 2), 4);
    EXPECT_EQ(downgrade_instances(root.path().c_str(), "slapd-a"), 4);
}

}  // namespace
