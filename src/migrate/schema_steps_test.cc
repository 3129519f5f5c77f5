// The schema steps on a real instance directory with a real schema push
// script run through /bin/sh, and cmdExec with hostile paths.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "hv/slapi-host.h"
#include "migrate/schema.h"
#include "support/server_root.h"
#include "upgrade/sample_root.h"

namespace {

using hvtest::ReadFile;
using hvtest::WriteFile;

constexpr char kSchema[] =
    "dn: cn=schema\n"
    "objectclass: top\n"
    "cn: schema\n"
    "attributeTypes: ( 2.5.4.41 NAME 'name' SYNTAX 1.3.6.1.4.1.1466.115.121.1.15 )\n";

using hvtest::Unfold;

class SchemaSteps : public ::testing::Test {
  protected:
    hvtest::ServerRoot root_;
    std::string inst_ = root_.AddInstance("slapd-a");
    std::string schema_ = inst_ + "/config/schema/00core.ldif";
    std::string pushes_ = root_.Join("pushes");

    void SetUp() override {
        hvtest::MakeDirs(inst_ + "/config/schema");
        WriteFile(schema_, kSchema);
        PushScript(0);
    }
    // A push script that counts its runs and exits with status.
    void PushScript(int status) {
        WriteFile(inst_ + "/schema_push.pl",
                  "#!/bin/sh\necho pushed >> '" + pushes_ + "'\necho noise\necho noise >&2\nexit " +
                      std::to_string(status) + "\n",
                  0755);
    }
    int Pushes() {
        if (!hvtest::Inspect(pushes_).exists) return 0;
        std::string s = ReadFile(pushes_);
        int n = 0;
        for (std::string::size_type i = 0; (i = s.find("pushed", i)) != std::string::npos; ++i) ++n;
        return n;
    }
    int Retro(int phase = 0) { return upgrade_RetroChangeLog(phase, root_.path().c_str(), "slapd-a"); }
    int Policy(int phase = 0) { return upgrade_Password_Policy(phase, root_.path().c_str(), "slapd-a"); }
};

TEST_F(SchemaSteps, OtherPhasesDoNothing) {
    for (int phase : {1, 2, -1}) {
        EXPECT_EQ(Retro(phase), 0);
        EXPECT_EQ(Policy(phase), 0);
    }
    EXPECT_EQ(ReadFile(schema_), kSchema);
    EXPECT_EQ(Pushes(), 0);
}

TEST_F(SchemaSteps, AddsEachPairOncePushingOnce) {
    EXPECT_EQ(Retro(), 0);
    EXPECT_EQ(Pushes(), 1);
    EXPECT_EQ(Policy(), 0);
    EXPECT_EQ(Pushes(), 2);
    std::string text = ReadFile(schema_);
    std::string unfolded = Unfold(text);
    for (const char *name : {"'deletedEntryAttrs'", "'targetUniqueId'", "'pwdChangedTime'", "'usePwdChangedTime'"})
        EXPECT_NE(unfolded.find(name), std::string::npos) << name;
    EXPECT_NE(unfolded.find("( 1.3.6.1.4.1.63299.2.27.9.1.597 NAME 'usePwdChangedTime' DESC 'Directory Server "
                        "defined attribute type' SYNTAX 1.3.6.1.4.1.1466.115.121.1.15 SINGLE-VALUE "
                        "X-DS-USE 'internal' X-ORIGIN 'Kel Directory Server' )"),
              std::string::npos);

    EXPECT_EQ(Retro(), 8);
    EXPECT_EQ(Policy(), 8);
    EXPECT_EQ(Pushes(), 2);
    EXPECT_EQ(ReadFile(schema_), text);
}

TEST_F(SchemaSteps, OnlyTheMissingSecondDefinitionIsAdded) {
    WriteFile(schema_, std::string(kSchema) + "attributeTypes: ( 1.1 NAME 'PWDCHANGEDTIME' )\n");
    EXPECT_EQ(Policy(), 0);
    EXPECT_EQ(Pushes(), 1);
    std::string text = Unfold(ReadFile(schema_));
    EXPECT_EQ(text.find("'pwdChangedTime'"), std::string::npos);
    EXPECT_NE(text.find("'usePwdChangedTime'"), std::string::npos);
}

TEST_F(SchemaSteps, FailuresPassOn) {
    hvtest::RemoveTree(schema_);
    testing::internal::CaptureStderr();
    EXPECT_EQ(Retro(), 5);
    EXPECT_NE(testing::internal::GetCapturedStderr().find(schema_), std::string::npos);
    EXPECT_EQ(Pushes(), 0);

    // A failing script leaves the schema changed and the push owed: later
    // runs have nothing left to add but push again until a push succeeds.
    const std::string pending = inst_ + "/upgrade/schema_push.pending";
    WriteFile(schema_, kSchema);
    PushScript(3);
    EXPECT_EQ(Retro(), 3);
    EXPECT_NE(Unfold(ReadFile(schema_)).find("'targetUniqueId'"), std::string::npos);
    EXPECT_TRUE(hvtest::Inspect(pending).is_regular);
    EXPECT_EQ(Retro(), 3);
    EXPECT_EQ(Pushes(), 2);
    PushScript(0);
    EXPECT_EQ(Retro(), 0);
    EXPECT_EQ(Pushes(), 3);
    EXPECT_FALSE(hvtest::Inspect(pending).exists);
    EXPECT_EQ(Retro(), 8);
    EXPECT_EQ(Pushes(), 3);

    hvtest::RemoveTree(inst_ + "/schema_push.pl");
    EXPECT_EQ(Policy(), 3);

    testing::internal::CaptureStderr();
    EXPECT_EQ(upgrade_RetroChangeLog(0, root_.path().c_str(), std::string(1100, 'n').c_str()), 5);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("path too long"), std::string::npos);
}

TEST_F(SchemaSteps, SchemaWithoutTargetStillPushes) {
    WriteFile(schema_, "dn: cn=config\ncn: config\n");
    EXPECT_EQ(Retro(), 0);
    EXPECT_EQ(Pushes(), 1);
}

// A server root with blanks, a quote and shell syntax is one path to the
// shell: the script runs, nothing else does.
TEST(CmdExec, PathIsNeitherSplitNorExecuted) {
    hvtest::TempDir dir("cmdexec");
    const std::string marker = dir.Join("injected");
    const std::string ran = dir.Join("ran");
    ASSERT_EQ(setenv("HV_INJECTED", marker.c_str(), 1), 0);
    const std::string weird = dir.Join("it's a root;touch $HV_INJECTED;`touch $HV_INJECTED`");
    hvtest::MakeDirs(weird);
    const std::string script = weird + "/schema_push.pl";
    // The script also lists the descriptors it was given: only 0, 1 and 2
    // (and the one ls itself opens to read the list).
    WriteFile(script, "#!/bin/sh\ntouch '" + ran + "'\necho out; echo err >&2\nls /proc/self/fd | tr '\\n' ' ' >&2\n",
              0755);

    // What the script writes goes to the log, so an administrator can see
    // why a push failed.
    const std::string log = dir.Join("errors");
    ASSERT_EQ(hv_log_open(log.c_str()), 0);
    // A descriptor the tool holds without close-on-exec, as a library may.
    int held = open(log.c_str(), O_WRONLY | O_APPEND);
    ASSERT_GE(held, 0);
    testing::internal::CaptureStdout();
    EXPECT_EQ(cmdExec(script.c_str()), 0);
    close(held);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_TRUE(hvtest::Inspect(ran).exists);
    EXPECT_FALSE(hvtest::Inspect(marker).exists);

    EXPECT_EQ(cmdExec((weird + "/missing").c_str()), 3);
    EXPECT_EQ(cmdExec("/bin/false"), 3);
    EXPECT_EQ(cmdExec(std::string(1100, 'x').c_str()), 3);
    EXPECT_FALSE(hvtest::Inspect(marker).exists);
    hv_host_reset();
    std::string logged = ReadFile(log);
    EXPECT_NE(logged.find(script + ": err\n"), std::string::npos) << logged;
    EXPECT_NE(logged.find(script + ": 0 1 2 3 \n"), std::string::npos) << logged;
    EXPECT_NE(logged.find(script + ": out\n"), std::string::npos) << logged;
    EXPECT_NE(logged.find("/missing: No such file or directory"), std::string::npos) << logged;
    EXPECT_NE(logged.find("/bin/false ended with status 1"), std::string::npos) << logged;
    unsetenv("HV_INJECTED");
}

}  // namespace
