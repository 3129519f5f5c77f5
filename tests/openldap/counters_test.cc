// nodetally and attrtally loaded together into OpenLDAP slapd, driven with
// ldapadd, ldapmodify and ldapdelete, counters read back with ldapsearch.
// slapd hands a post-operation plug-in neither pre- nor post-operation
// entries nor the operation's real status, so these tests pin what is
// counted there and what is not.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "openldap/slapd_harness.h"

namespace hvtest {
namespace {

const char *const kOrg = "ou=org,dc=example,dc=com";
const char *const kPeople = "ou=people,ou=org,dc=example,dc=com";
const char *const kPlain = "ou=plain,dc=example,dc=com";
const char *const kTop = "cn=top,dc=example,dc=com";
const char *const kSub = "cn=sub,cn=top,dc=example,dc=com";

PluginLine Nodetally(std::vector<std::string> args = {"counterAttribute=hvEntryCount",
                                                      "counterObjectClass=hvCounterHolder",
                                                      "requiredObjectClass=hvCounted"}) {
    return {HV_NODETALLY_PLUGIN, "HVSubtreeEntryCounterPostOp_Init", std::move(args)};
}

PluginLine Attrtally() {
    return {HV_ATTRTALLY_PLUGIN,
            "HVAttrtallyPostOp_Init",
            {"memberAttribute=hvMember", "counterAttribute=hvMemberCount", "requiredObjectClass=hvGroup",
             "updateParents=true"}};
}

std::string Person(const std::string &cn, const std::string &parent, bool counted) {
    return "dn: cn=" + cn + "," + parent + "\nobjectClass: organizationalRole\n" +
           (counted ? "objectClass: hvCounted\n" : "") + "cn: " + cn + "\n\n";
}

std::string Group(const std::string &dn, const std::string &cn, int members) {
    std::string s = "dn: " + dn + "\nobjectClass: organizationalRole\nobjectClass: hvGroup\ncn: " + cn + "\n";
    for (int i = 0; i < members; i++) s += "hvMember: m" + std::to_string(i) + "\n";
    return s + "\n";
}

class CountersOnSlapd : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!SlapdInstalled()) GTEST_SKIP() << kSlapdPath << " is not installed";
    }

    // The probe goes last: slapd runs an operation's post-operation plug-ins
    // one after the other, after it has answered the client, so the probe's
    // report line says the counter plug-ins are done with that operation.
    void Start(std::vector<PluginLine> plugins = {Nodetally(), Attrtally()}) {
        report_ = server_.dir() + "/report.txt";
        plugins.push_back({HV_PROBE_PLUGIN, "probe_init", {"report=" + report_}});
        ASSERT_TRUE(server_.Start(plugins)) << server_.error();
        AddOk("dn: dc=example,dc=com\nobjectClass: dcObject\nobjectClass: organization\n"
              "o: Example\ndc: example\n\n"
              "dn: ou=org,dc=example,dc=com\nobjectClass: organizationalUnit\n"
              "objectClass: hvCounterHolder\nou: org\n\n"
              "dn: ou=people,ou=org,dc=example,dc=com\nobjectClass: organizationalUnit\n"
              "objectClass: hvCounterHolder\nou: people\n\n"
              "dn: ou=plain,dc=example,dc=com\nobjectClass: organizationalUnit\nou: plain\n\n");
    }

    // Client operations that return once every plug-in has handled them.
    CommandResult Add(const std::string &ldif) { return Settle(server_.Add(ldif), LdifRecords(ldif)); }
    CommandResult Modify(const std::string &ldif) { return Settle(server_.Modify(ldif), LdifRecords(ldif)); }
    CommandResult Delete(const std::string &dn) { return Settle(server_.Delete(dn), 1); }
    CommandResult Settle(CommandResult r, int ops) {
        ops_ += ops;
        EXPECT_TRUE(WaitForProbeOperations(report_, ops_)) << "handlers of " << ops_ << " operations did not finish";
        return r;
    }
    void AddOk(const std::string &ldif) {
        CommandResult r = Add(ldif);
        ASSERT_EQ(r.status, 0) << r.output;
    }
    void ModifyOk(const std::string &ldif) {
        CommandResult r = Modify(ldif);
        ASSERT_EQ(r.status, 0) << r.output;
    }

    void AddTopAndSub() {
        AddOk(Group(kTop, "top", 1));
        AddOk(Group(kSub, "sub", 3));
    }

    std::optional<int> Count(const char *dn) { return server_.Counter(dn, "hvEntryCount"); }
    std::optional<int> Members(const char *dn) { return server_.Counter(dn, "hvMemberCount"); }

    SlapdServer server_;
    std::string report_;
    int ops_ = 0;
};

TEST_F(CountersOnSlapd, BothPlugInsLoadAndAnnounceTheirArguments) {
    Start();
    EXPECT_TRUE(server_.WaitForPluginLog(
        "HVSubtreeEntryCounterPostOp_Init: plugin loaded with arguments \"counterAttribute=hvEntryCount\" "
        "\"counterObjectClass=hvCounterHolder\" \"requiredObjectClass=hvCounted\" \n"))
        << server_.PluginLog();
    // slapd's first argument is the first configured text, which attrtally
    // leaves out of its message.
    EXPECT_TRUE(server_.WaitForPluginLog(
        "HVAttrtallyPostOp_Init: plugin loaded with arguments \"counterAttribute=hvMemberCount\" "
        "\"requiredObjectClass=hvGroup\" \"updateParents=true\" \n"))
        << server_.PluginLog();
    EXPECT_TRUE(server_.WaitForPluginLog("plugin_pblock_new: Registered plugin Subtree Entry Counter 5.2_Patch_2 "
                                         "[Kel Dataworks, Inc.]"))
        << server_.PluginLog();
    // Holders added with no counted entry below them get no counter.
    EXPECT_EQ(Count(kOrg), std::nullopt);
}

TEST_F(CountersOnSlapd, NodetallyCountsAddsInEveryHolderAbove) {
    Start();
    AddOk(Person("a", kPeople, true) + Person("b", kPeople, true) + Person("u", kPeople, false) +
          Person("c", kPlain, true));
    EXPECT_EQ(Count(kPeople), 2);
    EXPECT_EQ(Count(kOrg), 2);
    EXPECT_EQ(Count(kPlain), std::nullopt);
    EXPECT_EQ(Count("dc=example,dc=com"), std::nullopt);
    // The walk climbs above the suffix, where slapd answers noSuchObject.
    std::string log = server_.PluginLog();
    EXPECT_NE(log.find("utils: Internal error: 22\n"), std::string::npos) << log;
    EXPECT_NE(log.find("Subtree Entry Counter: postop_common: cn=u,ou=people,ou=org,dc=example,dc=com "
                       "does not have object class hvCounted\n"),
              std::string::npos)
        << log;
}

TEST_F(CountersOnSlapd, NodetallyMissesDeletesAndClassRemovals) {
    Start();
    AddOk(Person("a", kPeople, true) + Person("b", kPeople, true));
    ASSERT_EQ(Count(kPeople), 2);
    // No pre-operation entry: the handler cannot tell the deleted entry was counted.
    CommandResult r = Delete("cn=a,ou=people,ou=org,dc=example,dc=com");
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(Count(kPeople), 2);
    ModifyOk("dn: cn=b,ou=people,ou=org,dc=example,dc=com\nchangetype: modify\n"
             "delete: objectClass\nobjectClass: hvCounted\n-\n");
    EXPECT_EQ(Count(kPeople), 2);
    EXPECT_EQ(Count(kOrg), 2);
}

TEST_F(CountersOnSlapd, NodetallyCountsClassAdditionsByModifyAlsoWhenNothingChanged) {
    Start();
    AddOk(Person("u", kPeople, false) + Person("a", kPeople, true));
    ASSERT_EQ(Count(kPeople), 1);
    ModifyOk("dn: cn=u,ou=people,ou=org,dc=example,dc=com\nchangetype: modify\n"
             "add: objectClass\nobjectClass: hvCounted\n-\n");
    EXPECT_EQ(Count(kPeople), 2);
    EXPECT_EQ(Count(kOrg), 2);
    // A replace that keeps the class counts once more: without the entries
    // before and after, the modification list is all there is to go on.
    ModifyOk("dn: cn=a,ou=people,ou=org,dc=example,dc=com\nchangetype: modify\n"
             "replace: objectClass\nobjectClass: organizationalRole\nobjectClass: hvCounted\n-\n");
    EXPECT_EQ(Count(kPeople), 3);
    // Modifies of other attributes change nothing.
    ModifyOk("dn: cn=a,ou=people,ou=org,dc=example,dc=com\nchangetype: modify\n"
             "replace: description\ndescription: x\n-\n");
    EXPECT_EQ(Count(kPeople), 3);
}

TEST_F(CountersOnSlapd, NodetallyCountsAddsTheServerRefused) {
    Start();
    AddOk(Person("a", kPeople, true));
    ASSERT_EQ(Count(kPeople), 1);
    CommandResult r = Add(Person("a", kPeople, true));
    ASSERT_EQ(r.status, 68) << r.output;  // already exists
    EXPECT_EQ(Count(kPeople), 2);
    r = Add(Person("x", std::string("ou=missing,") + kPeople, true));
    ASSERT_EQ(r.status, 32) << r.output;  // no such parent
    EXPECT_EQ(Count(kPeople), 3);
    EXPECT_EQ(Count(kOrg), 3);
}

TEST_F(CountersOnSlapd, AttrtallyCountsOwnValuesAndAddsThemToAncestors) {
    Start();
    AddOk(Group(kTop, "top", 1));
    EXPECT_EQ(Members(kTop), 1);
    AddOk(Group(kSub, "sub", 3));
    EXPECT_EQ(Members(kSub), 3);
    EXPECT_EQ(Members(kTop), 4);
    AddOk(Group(std::string("cn=empty,") + kTop, "empty", 0));
    EXPECT_EQ(Members((std::string("cn=empty,") + kTop).c_str()), 0);
    EXPECT_EQ(Members(kTop), 4);
    AddOk(Person("p", kTop, false));
    EXPECT_EQ(Members((std::string("cn=p,") + kTop).c_str()), std::nullopt);
    EXPECT_EQ(Members(kTop), 4);
    // Each plug-in message is one line: slapd adds no newline of its own.
    const std::string log = server_.PluginLog();
    EXPECT_NE(log.find("HVAttrtally: POSTOP ADD begin\n"), std::string::npos) << log;
    EXPECT_EQ(log.find("POSTOP ADD begin\n\n"), std::string::npos) << log;
}

TEST_F(CountersOnSlapd, AttrtallyMissesModifiesAndDeletes) {
    Start();
    AddTopAndSub();
    ASSERT_EQ(Members(kTop), 4);
    ModifyOk(std::string("dn: ") + kSub + "\nchangetype: modify\nadd: hvMember\nhvMember: n1\nhvMember: n2\n-\n");
    EXPECT_EQ(server_.Values(kSub, "hvMember").size(), 5u);
    EXPECT_EQ(Members(kSub), 3);
    EXPECT_EQ(Members(kTop), 4);
    CommandResult r = Delete(kSub);
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(Members(kTop), 4);
}

// slapd answers an add before its handlers run, so within one ldapadd the
// child's handler can update the parent's counter before attrtally has
// written the parent's own count; that count is written on top of it.
TEST_F(CountersOnSlapd, AttrtallyCountsAParentAndAChildAddedTogether) {
    Start();
    for (int round = 0; round < 5; ++round) {
        const std::string top = "cn=t" + std::to_string(round) + ",ou=plain,dc=example,dc=com";
        const std::string sub = "cn=s," + top;
        AddOk(Group(top, "t", 1) + Group(sub, "s", 3));
        EXPECT_EQ(Members(sub.c_str()), 3);
        EXPECT_EQ(Members(top.c_str()), 4) << "round " << round;
    }
}

TEST_F(CountersOnSlapd, AttrtallyMiscountsARefusedAdd) {
    Start();
    AddTopAndSub();
    ASSERT_EQ(Members(kTop), 4);
    // The status reads 0, so the refused entry's single value is counted on
    // top of the stored entry's count.
    CommandResult r = Add(Group(kSub, "sub", 1));
    ASSERT_EQ(r.status, 68) << r.output;
    EXPECT_EQ(server_.Values(kSub, "hvMember").size(), 3u);
    EXPECT_EQ(Members(kSub), 4);
    EXPECT_EQ(Members(kTop), 5);
}

TEST_F(CountersOnSlapd, ACounterWriteTheSchemaRefusesIsLoggedAndChangesNothing) {
    Start({Nodetally({"counterAttribute=hvMemberCount", "counterObjectClass=hvCounterHolder",
                      "requiredObjectClass=hvCounted"})});
    AddOk(Person("a", kPeople, true));
    EXPECT_TRUE(server_.WaitForPluginLog("utils: Internal error: 34\n")) << server_.PluginLog();
    EXPECT_EQ(server_.PluginLog().find("adjusted"), std::string::npos);
    EXPECT_EQ(Members(kPeople), std::nullopt);
    EXPECT_TRUE(server_.Running());
}

// A misconfigured plug-in fails every add in its handler and sends its own
// result; slapd has answered the client already and keeps running.
TEST_F(CountersOnSlapd, AMisconfiguredNodetallyDoesNotBreakTheServer) {
    Start({Nodetally({"counterAttribute=hvEntryCount", "counterObjectClass=hvCounterHolder"})});
    CommandResult r = Add(Person("a", kPeople, true));
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_TRUE(server_.WaitForPluginLog("Subtree Entry Counter: POSTOP ADD result 1\n")) << server_.PluginLog();
    EXPECT_TRUE(server_.Running());
    EXPECT_EQ(server_.Values("cn=a,ou=people,ou=org,dc=example,dc=com", "cn").size(), 1u);
    EXPECT_EQ(Count(kPeople), std::nullopt);
}

// slapd runs operations on several threads: concurrent adds below shared
// holders and a shared counted ancestor must not lose updates.
TEST_F(CountersOnSlapd, ConcurrentAddsLoseNoCounts) {
    Start();
    AddOk(Group(kTop, "top", 0));
    constexpr int kClients = 4, kPerClient = 8;
    std::vector<CommandResult> results(kClients);
    std::vector<std::thread> threads;
    for (int t = 0; t < kClients; t++) {
        std::string people, groups;
        for (int i = 0; i < kPerClient; i++) {
            std::string n = std::to_string(t) + "-" + std::to_string(i);
            people += Person("p" + n, kPeople, true);
            groups += Group("cn=g" + n + "," + kTop, "g" + n, 2);
        }
        threads.emplace_back([this, &results, t, people, groups] {
            results[t] = server_.Add(people);
            if (results[t].status == 0) results[t] = server_.Add(groups);
        });
    }
    for (auto &th : threads) th.join();
    for (const auto &r : results) ASSERT_EQ(r.status, 0) << r.output;
    Settle({}, 2 * kClients * kPerClient);
    EXPECT_EQ(Count(kPeople), kClients * kPerClient);
    EXPECT_EQ(Count(kOrg), kClients * kPerClient);
    EXPECT_EQ(Members(kTop), 2 * kClients * kPerClient);
}

}  // namespace
}  // namespace hvtest
