// Plug-in loading through dlopen and the post-operation handler calls, with
// the probe plug-in, which records what each handler call was given.
#include <gtest/gtest.h>

#include "host/directory_test_util.h"
#include "support/server_root.h"

namespace {

using hvtest::AddLdif;
using hvtest::Ldif;
using hvtest::LoadProbe;
using hvtest::Mods;
using hvtest::ProbeEvents;

class PluginTest : public ::testing::Test {
  protected:
    void SetUp() override {
        hv_host_reset();
        hvtest::ProbeClear();
        log_ = tmp_.Join("errors");
        ASSERT_EQ(hv_log_open(log_.c_str()), 0);
        ASSERT_EQ(hv_dir_add_suffix("dc=example,dc=com"), 0);
        ASSERT_EQ(AddLdif(Ldif("dc=example,dc=com")), 0);
    }
    void TearDown() override {
        hv_host_reset();
        hv_log_open(nullptr);
    }
    std::string Log() { return hvtest::ReadFile(log_); }
    hvtest::TempDir tmp_;
    std::string log_;
};

TEST_F(PluginTest, LoadRecordsDescriptionVersionAndArguments) {
    hv_plugin *p = LoadProbe({"name=A", "other=1"});
    ASSERT_NE(p, nullptr) << Log();
    ASSERT_NE(hv_plugin_description(p), nullptr);
    EXPECT_STREQ(hv_plugin_description(p)->spd_id, "probe");
    EXPECT_STREQ(hv_plugin_version(p), "01");
    ASSERT_EQ(AddLdif(Ldif("ou=x,dc=example,dc=com")), 0);
    auto ev = ProbeEvents();
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_NE(ev[0].find("argc=2"), std::string::npos) << ev[0];
}

TEST_F(PluginTest, LoadFailuresNameFileAndFunction) {
    hv_plugin *p = reinterpret_cast<hv_plugin *>(1);
    EXPECT_EQ(hv_plugin_load("/nonexistent/probe.so", "probe_init", 0, nullptr, 0, &p), -1);
    EXPECT_EQ(p, nullptr);
    EXPECT_NE(Log().find("/nonexistent/probe.so"), std::string::npos);
    EXPECT_EQ(hv_plugin_load(hvtest::ProbePath().c_str(), "no_such_init", 0, nullptr, 0, &p), -1);
    EXPECT_NE(Log().find("no_such_init"), std::string::npos);
    EXPECT_EQ(LoadProbe({"init=fail"}), nullptr);
    std::string log = Log();
    EXPECT_NE(log.find("probe_init"), std::string::npos) << log;
    EXPECT_NE(log.find(hvtest::ProbePath()), std::string::npos) << log;
    // A plug-in whose initialisation failed gets no calls.
    ASSERT_EQ(AddLdif(Ldif("ou=x,dc=example,dc=com")), 0);
    EXPECT_TRUE(ProbeEvents().empty());
}

TEST_F(PluginTest, LoadFromConfigurationEntry) {
    std::string ldif = "dn: cn=probe,cn=hvplugins,cn=config\nobjectclass: hvPlugin\n"
                       "hvPluginPath: " + hvtest::ProbePath() +
                       "\nhvPluginInitFunction: probe_init\n"
                       "hvPluginArg0: name=E\nhvPluginArg1: send=53\n";
    Slapi_Entry *cfg = slapi_str2entry(ldif.data(), 0);
    ASSERT_NE(cfg, nullptr);
    hv_plugin *p = nullptr;
    ASSERT_EQ(hv_plugin_load_entry(cfg, &p), 0) << Log();
    slapi_entry_free(cfg);
    hv_op_result res{};
    EXPECT_EQ(AddLdif(Ldif("ou=x,dc=example,dc=com"), 0, &res), 0);
    EXPECT_EQ(res.rc, 53);
    EXPECT_EQ(res.sent, 1);
    EXPECT_STREQ(res.text, "probe refused");
    auto ev = ProbeEvents();
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].rfind("E add ", 0), 0u) << ev[0];

    std::string bad = "dn: cn=broken,cn=hvplugins,cn=config\nhvPluginInitFunction: probe_init\n";
    Slapi_Entry *broken = slapi_str2entry(bad.data(), 0);
    EXPECT_EQ(hv_plugin_load_entry(broken, &p), -1);
    EXPECT_NE(Log().find("cn=broken,cn=hvplugins,cn=config"), std::string::npos);
    slapi_entry_free(broken);
}

TEST_F(PluginTest, HandlersSeeEachOperation) {
    ASSERT_NE(LoadProbe({"name=P"}), nullptr);
    ASSERT_EQ(AddLdif(Ldif("ou=X, dc=example,dc=com", "description: first\n")), 0);
    Mods m;
    m.Add(LDAP_MOD_REPLACE, "description", {"second"}).Add(LDAP_MOD_ADD, "seeAlso", {"a"});
    ASSERT_EQ(hv_op_modify("ou=x,dc=example,dc=com", m.get(), 0, nullptr), 0);
    ASSERT_EQ(hv_op_delete("OU=X,DC=EXAMPLE,DC=COM", HV_OP_REPLICATED, nullptr), 0);
    auto ev = ProbeEvents();
    ASSERT_EQ(ev.size(), 3u);
    EXPECT_EQ(ev[0], "P add rc=0 repl=0 dn=ou=X, dc=example,dc=com add=ou=X, dc=example,dc=com[first] "
                     "pre=- post=- mods=0 argc=1");
    EXPECT_EQ(ev[1], "P modify rc=0 repl=0 dn=ou=x,dc=example,dc=com add=- "
                     "pre=ou=X, dc=example,dc=com[first] post=ou=X, dc=example,dc=com[second] mods=2 argc=1");
    EXPECT_EQ(ev[2], "P delete rc=0 repl=1 dn=OU=X,DC=EXAMPLE,DC=COM add=- "
                     "pre=ou=X, dc=example,dc=com[second] post=- mods=0 argc=1");
}

// All plug-ins share one copy of the entries; one that tries to change them
// is refused and the next sees them as they were.
TEST_F(PluginTest, HandlersCannotChangeTheEntriesOthersSee) {
    ASSERT_NE(LoadProbe({"name=S", "scribble=1"}), nullptr);
    ASSERT_NE(LoadProbe({"name=P"}), nullptr);
    ASSERT_EQ(AddLdif(Ldif("ou=X, dc=example,dc=com", "description: first\n")), 0);
    Mods m;
    m.Add(LDAP_MOD_REPLACE, "description", {"second"});
    ASSERT_EQ(hv_op_modify("ou=x,dc=example,dc=com", m.get(), 0, nullptr), 0);
    auto ev = ProbeEvents();
    ASSERT_EQ(ev.size(), 6u);
    const std::string refused = "[-1 -1 -1 -1 -1 -1 none dup=0]";
    EXPECT_EQ(ev[1], "S scribbled " + refused);
    EXPECT_EQ(ev[2], "P add rc=0 repl=0 dn=ou=X, dc=example,dc=com add=ou=X, dc=example,dc=com[first] "
                     "pre=- post=- mods=0 argc=1");
    EXPECT_EQ(ev[4], "S scribbled " + refused + " " + refused);
    EXPECT_EQ(ev[5], "P modify rc=0 repl=0 dn=ou=x,dc=example,dc=com add=- "
                     "pre=ou=X, dc=example,dc=com[first] post=ou=X, dc=example,dc=com[second] mods=1 argc=1");
    // Nor did the change reach the directory.
    EXPECT_EQ(hvtest::StoredValues("ou=x,dc=example,dc=com", "description"),
              (std::vector<std::string>{"second"}));
}

TEST_F(PluginTest, FailedOperationsStillCallHandlersWithTheirStatus) {
    ASSERT_NE(LoadProbe({"name=F"}), nullptr);
    hv_dir_refuse_attribute("entryCount", 1);
    EXPECT_EQ(AddLdif(Ldif("cn=a,ou=missing,dc=example,dc=com")), LDAP_NO_SUCH_OBJECT);
    Mods m;
    m.Add(LDAP_MOD_REPLACE, "entryCount", {"1"});
    EXPECT_EQ(hv_op_modify("dc=example,dc=com", m.get(), 0, nullptr), LDAP_OBJECT_CLASS_VIOLATION);
    EXPECT_EQ(hv_op_delete("cn=none,dc=example,dc=com", 0, nullptr), LDAP_NO_SUCH_OBJECT);
    auto ev = ProbeEvents();
    ASSERT_EQ(ev.size(), 3u);
    EXPECT_NE(ev[0].find("add rc=32 "), std::string::npos) << ev[0];
    EXPECT_NE(ev[0].find("add=cn=a,ou=missing"), std::string::npos) << ev[0];
    EXPECT_NE(ev[1].find("modify rc=65 "), std::string::npos) << ev[1];
    EXPECT_NE(ev[1].find("pre=dc=example,dc=com post=dc=example,dc=com "), std::string::npos) << ev[1];
    EXPECT_NE(ev[2].find("delete rc=32 "), std::string::npos) << ev[2];
    EXPECT_NE(ev[2].find("pre=- "), std::string::npos) << ev[2];
}

TEST_F(PluginTest, PluginsRunInLoadOrderAndTheFirstSentResultCounts) {
    ASSERT_NE(LoadProbe({"name=A", "send=51"}), nullptr);
    ASSERT_NE(LoadProbe({"name=B", "send=52"}), nullptr);
    hv_op_result res{};
    // The operation's own result is returned; the client saw what was sent.
    EXPECT_EQ(AddLdif(Ldif("ou=x,dc=example,dc=com"), 0, &res), 0);
    EXPECT_EQ(res.rc, 51);
    EXPECT_EQ(hv_dir_entry_count(), 2);
    auto ev = ProbeEvents();
    ASSERT_EQ(ev.size(), 2u);
    EXPECT_EQ(ev[0].rfind("A add", 0), 0u);
    EXPECT_EQ(ev[1].rfind("B add", 0), 0u);
}

// The handler's own internal modify runs no handlers in turn.
TEST_F(PluginTest, HandlersMayRunInternalOperations) {
    ASSERT_EQ(AddLdif(Ldif("ou=target,dc=example,dc=com")), 0);
    ASSERT_NE(LoadProbe({"name=T", "touch=ou=target,dc=example,dc=com"}), nullptr);
    ASSERT_EQ(AddLdif(Ldif("ou=x,dc=example,dc=com")), 0);
    EXPECT_EQ(hvtest::StoredValues("ou=target,dc=example,dc=com", "description"),
              (std::vector<std::string>{"touched"}));
    auto ev = ProbeEvents();
    ASSERT_EQ(ev.size(), 2u);
    EXPECT_EQ(ev[0].rfind("T add", 0), 0u);
    EXPECT_EQ(ev[1], "T touched rc=0");
}

TEST_F(PluginTest, ResetForgetsHandlers) {
    hv_plugin *p = LoadProbe({"name=R"});
    ASSERT_NE(p, nullptr);
    hv_host_reset();
    EXPECT_STREQ(hv_plugin_description(p)->spd_id, "probe");  // the record stays valid
    ASSERT_EQ(hv_dir_add_suffix("dc=example,dc=com"), 0);
    ASSERT_EQ(AddLdif(Ldif("dc=example,dc=com")), 0);
    EXPECT_TRUE(ProbeEvents().empty());
}

}  // namespace
