// What slapd hands to a plug-in built from our declarations: the probe
// plug-in writes one report line per handler call, and these tests pin the
// facts the counter plug-ins and their documentation depend on.
#include <gtest/gtest.h>

#include <map>
#include <sstream>

#include "openldap/slapd_harness.h"

namespace hvtest {
namespace {

using Fields = std::map<std::string, std::string>;

// "op=add argc=0 target=..." into its fields (values contain no spaces).
Fields ParseLine(const std::string &line) {
    Fields f;
    std::istringstream in(line);
    std::string word;
    while (in >> word) {
        size_t eq = word.find('=');
        if (eq != std::string::npos) f[word.substr(0, eq)] = word.substr(eq + 1);
    }
    return f;
}

class ProbeOnSlapd : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!SlapdInstalled()) GTEST_SKIP() << kSlapdPath << " is not installed";
    }

    void StartProbe(const std::string &loglevel = "stats") {
        report_ = server_.dir() + "/report.txt";
        ASSERT_TRUE(server_.Start({{HV_PROBE_PLUGIN,
                                    "probe_init",
                                    {"report=" + report_, "attr=hvEntryCount", "above=dc=com"}}},
                                  loglevel))
            << server_.error();
    }

    // Report lines of one kind of operation.  slapd answers the client before
    // it runs the post-operation handlers, so the handlers of consecutive
    // operations may finish out of order: tests wait for the lines (WaitOps)
    // and find them by target.
    std::vector<Fields> Reports(const std::string &op) const {
        std::vector<Fields> out;
        std::istringstream in(ReadFile(report_));
        std::string line;
        while (std::getline(in, line)) {
            Fields f = ParseLine(line);
            if (f["op"] == op) out.push_back(f);
        }
        return out;
    }

    void WaitOps(int n) { ASSERT_TRUE(WaitForProbeOperations(report_, n)) << ReadFile(report_); }

    static const Fields *Find(const std::vector<Fields> &list, const std::string &target) {
        for (const Fields &f : list)
            if (f.at("target") == target) return &f;
        return nullptr;
    }

    void AddTree() {
        CommandResult r = server_.Add(
            "dn: dc=example,dc=com\nobjectClass: dcObject\nobjectClass: organization\n"
            "o: Example\ndc: example\n\n"
            "dn: ou=people,dc=example,dc=com\nobjectClass: organizationalUnit\n"
            "objectClass: hvCounterHolder\nou: people\n\n"
            "dn: cn=a,ou=people,dc=example,dc=com\nobjectClass: organizationalRole\n"
            "objectClass: hvCounted\ncn: a\n\n");
        ASSERT_EQ(r.status, 0) << r.output;
        WaitOps(3);
    }

    SlapdServer server_;
    std::string report_;
};

TEST_F(ProbeOnSlapd, InitialisationGetsTheArgumentsAndAcceptsEveryRegistration) {
    StartProbe();
    std::vector<Fields> init = Reports("init");
    ASSERT_EQ(init.size(), 1u);
    EXPECT_EQ(init[0]["argc"], "3");  // the configured texts only, no plug-in name first
    for (const char *k : {"version", "desc", "addfn", "modfn", "delfn"}) EXPECT_EQ(init[0][k], "0") << k;
    EXPECT_TRUE(server_.WaitForPluginLog("probe: probe loaded"));
}

TEST_F(ProbeOnSlapd, OperationsCarryNeitherArgumentsNorPreOrPostEntries) {
    StartProbe();
    AddTree();
    CommandResult r = server_.Modify(
        "dn: cn=a,ou=people,dc=example,dc=com\nchangetype: modify\n"
        "add: objectClass\nobjectClass: hvGroup\n-\n");
    ASSERT_EQ(r.status, 0) << r.output;
    r = server_.Delete("cn=a,ou=people,dc=example,dc=com");
    ASSERT_EQ(r.status, 0) << r.output;
    WaitOps(5);

    std::vector<Fields> adds = Reports("add"), mods = Reports("modify"), dels = Reports("delete");
    ASSERT_EQ(adds.size(), 3u);
    ASSERT_EQ(mods.size(), 1u);
    ASSERT_EQ(dels.size(), 1u);
    std::vector<Fields> all = adds;
    all.insert(all.end(), mods.begin(), mods.end());
    all.insert(all.end(), dels.begin(), dels.end());
    for (Fields &f : all) {
        SCOPED_TRACE(f["op"] + " " + f["target"]);
        EXPECT_EQ(f["argc"], "0");
        EXPECT_EQ(f["oprc"], "0");
        EXPECT_EQ(f["repl"], "0");
        EXPECT_EQ(f["pre"], "none");
        EXPECT_EQ(f["post"], "none");
    }
    const Fields *a = Find(adds, "cn=a,ou=people,dc=example,dc=com");
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->at("addentry"), "yes");
    EXPECT_EQ(a->at("parent"), "ou=people,dc=example,dc=com");
    EXPECT_EQ(dels[0]["target"], "cn=a,ou=people,dc=example,dc=com");
    // The modification list is handed over as bervals (0x80 set), with the
    // server's own operational attributes appended.
    EXPECT_EQ(mods[0]["mods"].rfind("128:objectClass,", 0), 0u) << mods[0]["mods"];
}

TEST_F(ProbeOnSlapd, FailedOperationsReachThePlugInWithStatusZero) {
    StartProbe();
    AddTree();
    CommandResult r = server_.Add(
        "dn: ou=people,dc=example,dc=com\nobjectClass: organizationalUnit\nou: people\n\n");
    ASSERT_EQ(r.status, 68) << r.output;  // already exists
    r = server_.Add("dn: cn=x,ou=nowhere,dc=example,dc=com\nobjectClass: organizationalRole\ncn: x\n\n");
    ASSERT_EQ(r.status, 32) << r.output;  // no such parent
    r = server_.Delete("cn=missing,ou=people,dc=example,dc=com");
    ASSERT_EQ(r.status, 32) << r.output;
    r = server_.Modify("dn: cn=missing,ou=people,dc=example,dc=com\nchangetype: modify\n"
                       "replace: cn\ncn: missing\n-\n");
    ASSERT_EQ(r.status, 32) << r.output;
    WaitOps(7);

    // Every one of them runs the post-operation handler, and none says it failed.
    std::vector<Fields> adds = Reports("add"), dels = Reports("delete"), mods = Reports("modify");
    ASSERT_EQ(adds.size(), 5u);
    ASSERT_EQ(dels.size(), 1u);
    ASSERT_EQ(mods.size(), 1u);
    int people = 0;
    for (const Fields &f : adds) people += f.at("target") == "ou=people,dc=example,dc=com";
    EXPECT_EQ(people, 2);
    EXPECT_NE(Find(adds, "cn=x,ou=nowhere,dc=example,dc=com"), nullptr);
    EXPECT_EQ(dels[0]["target"], "cn=missing,ou=people,dc=example,dc=com");
    EXPECT_EQ(mods[0]["target"], "cn=missing,ou=people,dc=example,dc=com");
    for (const auto *list : {&adds, &dels, &mods})
        for (const Fields &f : *list) EXPECT_EQ(f.at("oprc"), "0") << f.at("op") << " " << f.at("target");
    // The add below a missing parent: the internal calls answer 32.
    EXPECT_EQ(Find(adds, "cn=x,ou=nowhere,dc=example,dc=com")->at("modify"), "rc:32");
}

TEST_F(ProbeOnSlapd, InternalSearchAndModifyWorkFromInsideAHandler) {
    StartProbe();
    AddTree();
    std::vector<Fields> adds = Reports("add");
    ASSERT_EQ(adds.size(), 3u);
    const Fields *holder = Find(adds, "ou=people,dc=example,dc=com");
    const Fields *counted = Find(adds, "cn=a,ou=people,dc=example,dc=com");
    ASSERT_TRUE(holder != nullptr && counted != nullptr);
    // The holder may take the attribute; the write is visible to the next
    // internal search and to clients.
    EXPECT_EQ(holder->at("modify"), "rc:0");
    EXPECT_EQ(holder->at("base"), "rc:0,n:1,hvEntryCount:1");
    EXPECT_EQ(server_.Counter("ou=people,dc=example,dc=com", "hvEntryCount"), 1);
    // Refused by the schema: objectClassViolation, entry unchanged.
    EXPECT_EQ(counted->at("modify"), "rc:65");
    EXPECT_EQ(counted->at("base"), "rc:0,n:1,hvEntryCount:absent");
    // Above the suffix: noSuchObject.
    for (Fields &f : adds) EXPECT_EQ(f["above"], "rc:32,n:0") << f["target"];
    // Internal modifies do not run post-operation plug-ins again.
    EXPECT_TRUE(Reports("modify").empty());
}

TEST_F(ProbeOnSlapd, PluginLogIsWrittenWhateverTheLogLevel) {
    StartProbe("0");
    AddTree();
    EXPECT_TRUE(server_.WaitForPluginLog("probe: probe saw add of cn=a,ou=people,dc=example,dc=com\n"))
        << server_.PluginLog();
}

// slapd's SLAPI has neither slapi_entry_get_ndn nor slapi_is_loglevel_set.
// With every symbol bound at load, as the harness runs it, such a plug-in is
// refused at start-up (slapd's message says "file not found"); with lazy
// binding, slapd's default, the same file loads and the server would die on
// the first call instead.
TEST_F(ProbeOnSlapd, APlugInCallingFunctionsSlapdLacksLoadsOnlyLazily) {
    const std::string plugin = HV_PROBE_UNPROVIDED_PLUGIN;
    {
        SlapdServer strict;
        EXPECT_FALSE(strict.Start({{plugin, "probe_init", {"report=" + strict.dir() + "/r"}}}));
        EXPECT_NE(strict.error().find("failed to load plugin " + plugin), std::string::npos)
            << strict.error();
    }
    SlapdServer lazy;
    lazy.set_bind_now(false);
    ASSERT_TRUE(lazy.Start({{plugin, "probe_init", {"report=" + lazy.dir() + "/r"}}})) << lazy.error();
    CommandResult r = lazy.Add("dn: dc=example,dc=com\nobjectClass: dcObject\nobjectClass: organization\n"
                               "o: Example\ndc: example\n\n");
    // The client is told the add succeeded; then the handler's first call
    // kills the server.
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_FALSE(lazy.Running(5000));
    std::string log = ReadFile(lazy.server_log_path());
    EXPECT_NE(log.find("undefined symbol: slapi_is_loglevel_set"), std::string::npos) << log;
}

}  // namespace
}  // namespace hvtest
