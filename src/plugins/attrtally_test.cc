// attrtally loaded from the build tree into the host and driven through
// client operations; counters are read back from the directory and the
// plug-in's lines from the host's log.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "plugins/plugin_test_env.h"

namespace hv::plugins::testing {
namespace {

const char kTop[] = "cn=top,dc=example,dc=com";
const char kMid[] = "cn=mid,cn=top,dc=example,dc=com";
const char kPlain[] = "ou=plain,cn=mid,cn=top,dc=example,dc=com";
const char kG[] = "cn=g,ou=plain,cn=mid,cn=top,dc=example,dc=com";

std::vector<std::string> Args(const std::string &updateParents = "true") {
    return {"memberAttribute=member", "counterAttribute=memberCount", "requiredObjectClass=groupOfNames",
            "updateParents=" + updateParents};
}

std::string Group(const std::string &dn, int members, const std::string &cls = "groupOfNames") {
    std::string ldif = "dn: " + dn + "\nobjectclass: top\nobjectclass: " + cls + "\ncn: x\n";
    for (int i = 0; i < members; ++i) ldif += "member: uid=m" + std::to_string(i) + ",dc=example,dc=com\n";
    return ldif;
}

std::vector<std::string> Members(int from, int to) {
    std::vector<std::string> v;
    for (int i = from; i < to; ++i) v.push_back("uid=m" + std::to_string(i) + ",dc=example,dc=com");
    return v;
}

class AttrtallyTest : public PluginHostTest {
  protected:
    // top holds 2 members, mid 1; ou=plain between mid and the targets is
    // not counted.
    void Build(const std::vector<std::string> &args) {
        Load("attrtally", kAttrtallyInit, args);
        ASSERT_EQ(hv_dir_add_suffix("dc=example,dc=com"), 0);
        ASSERT_EQ(Add("dn: dc=example,dc=com\nobjectclass: domain\ndc: example\n"), 0);
        ASSERT_EQ(Add(Group(kTop, 2)), 0);
        ASSERT_EQ(Add(Group(kMid, 1)), 0);
        ASSERT_EQ(Add("dn: " + std::string(kPlain) + "\nobjectclass: organizationalUnit\nou: plain\n"), 0);
        ClearLog();
    }
    void SetUp() override {
        PluginHostTest::SetUp();
        if (!HasFatalFailure()) Build(Args());
    }
    void Rebuild(const std::vector<std::string> &args) {
        hv_host_reset();
        Build(args);
    }
    void ExpectCounts(const std::string &top, const std::string &mid) {
        EXPECT_EQ(Value(kTop, "memberCount"), top);
        EXPECT_EQ(Value(kMid, "memberCount"), mid);
    }
};

TEST_F(AttrtallyTest, LoadRegistersDescriptionAndHidesFirstArgument) {
    hv_plugin *p = Load("attrtally", kAttrtallyInit, Args("TRUE"));
    ASSERT_NE(p, nullptr);
    EXPECT_STREQ(hv_plugin_version(p), "01");
    const Slapi_PluginDesc *d = hv_plugin_description(p);
    ASSERT_NE(d, nullptr);
    EXPECT_STREQ(d->spd_id, "HVAttrtally");
    EXPECT_STREQ(d->spd_vendor, "Kel Dataworks, Inc.");
    EXPECT_STREQ(d->spd_version, "5.2_Patch_2");
    EXPECT_STREQ(d->spd_description, "Maintain counts of attribute values in entries with a particular object class");
    EXPECT_TRUE(Logged("HVAttrtallyPostOp_Init - plugin loaded with arguments \"counterAttribute=memberCount\" "
                       "\"requiredObjectClass=groupOfNames\" \"updateParents=TRUE\" "))
        << LogText();
}

// --- adds -------------------------------------------------------------------

TEST_F(AttrtallyTest, AddWritesOwnCountAndRaisesAncestorsFromTheirStoredCounters) {
    ExpectCounts("3", "1");
    ASSERT_EQ(Add(Group(kG, 3)), 0);
    EXPECT_EQ(Value(kG, "memberCount"), "3");
    ExpectCounts("6", "4");
    EXPECT_TRUE(Logged("HVAttrtally - POSTOP ADD begin"));
    EXPECT_TRUE(Logged("HVAttrtally - countValues - member has 3 values"));
    EXPECT_TRUE(Logged("HVAttrtally - findCountersAndUpdate startDN=cn=g,ou=plain,cn=mid,cn=top,dc=example,dc=com "
                       "requiredObjectClass=groupOfNames counterAttrName=memberCount increment=3"));
    EXPECT_TRUE(Logged("HVAttrtally - findCountersAndUpdate not updating ou=plain,cn=mid,cn=top,dc=example,dc=com"));
    EXPECT_TRUE(Logged("HVAttrtally - findCountersAndUpdate not updating dc=com"));
    EXPECT_EQ(CountLogged("utils - Internal error: 22"), 1) << LogText();
}

// A change that reaches the stored counter between an add and attrtally's
// handler for it (another operation's handler, or in a server that runs
// handlers after answering, a child added at once) stays counted.  The
// host's probe plug-in, loaded first, adds a member to the new group in its
// own add handler, before attrtally sees the add.
TEST_F(AttrtallyTest, AChangeBetweenAnAddAndItsHandlerIsKept) {
    hv_host_reset();
    Load("probe_plugin", "probe_init", {"grow=" + std::string(kG), "growvalue=member:uid=late,dc=example,dc=com"});
    Build(Args());
    ASSERT_EQ(Add(Group(kG, 3)), 0);
    EXPECT_EQ(NumValues(kG, "member"), 4);
    EXPECT_EQ(Value(kG, "memberCount"), "4") << LogText();
    ExpectCounts("7", "5");
}

TEST_F(AttrtallyTest, AddWithoutMembersWritesZeroAndLeavesAncestors) {
    ASSERT_EQ(Add(Group(kG, 0)), 0);
    EXPECT_EQ(Value(kG, "memberCount"), "0");
    ExpectCounts("3", "1");
    EXPECT_EQ(CountContaining("findCountersAndUpdate"), 0);
}

TEST_F(AttrtallyTest, AddWithoutClassWritesNothing) {
    ASSERT_EQ(Add(Group(kG, 3, "groupOfUniqueNames")), 0);
    EXPECT_EQ(Value(kG, "memberCount"), "<absent>");
    ExpectCounts("3", "1");
}

// --- modifies of member values and classes -------------------------------------

TEST_F(AttrtallyTest, ModifyAddingMembersAdjustsByTheDifference) {
    ASSERT_EQ(Add(Group(kG, 3)), 0);
    ASSERT_EQ(Modify(kG, {{LDAP_MOD_ADD, "member", Members(3, 5)}}), 0);
    EXPECT_EQ(Value(kG, "memberCount"), "5");
    ExpectCounts("8", "6");
    ASSERT_EQ(Modify(kG, {{LDAP_MOD_DELETE, "member", Members(0, 4)}}), 0);
    EXPECT_EQ(Value(kG, "memberCount"), "1");
    ExpectCounts("4", "2");
}

TEST_F(AttrtallyTest, ModifyRemovingTheClassKeepsOwnCounterAndLowersAncestors) {
    ASSERT_EQ(Add(Group(kG, 4)), 0);
    ExpectCounts("7", "5");
    ASSERT_EQ(Modify(kG, {{LDAP_MOD_DELETE, "objectclass", {"groupOfNames"}},
                          {LDAP_MOD_ADD, "objectclass", {"groupOfUniqueNames"}}}),
              0);
    EXPECT_EQ(Value(kG, "memberCount"), "4");
    ExpectCounts("3", "1");
}

TEST_F(AttrtallyTest, ModifyAddingTheClassCountsFromScratch) {
    ASSERT_EQ(Add(Group(kG, 2, "groupOfUniqueNames")), 0);
    ClearLog();
    ASSERT_EQ(Modify(kG, {{LDAP_MOD_ADD, "objectclass", {"groupOfNames"}}}), 0);
    EXPECT_EQ(Value(kG, "memberCount"), "2");
    ExpectCounts("5", "3");
    EXPECT_TRUE(Logged("utils - adjusted memberCount in " + std::string(kG) + " by 2 to 2")) << LogText();
    // Out and back in: the counter left from the first spell is not added to.
    ASSERT_EQ(Modify(kG, {{LDAP_MOD_DELETE, "objectclass", {"groupOfNames"}}}), 0);
    ExpectCounts("3", "1");
    ASSERT_EQ(Modify(kG, {{LDAP_MOD_ADD, "objectclass", {"groupOfNames"}}}), 0);
    EXPECT_EQ(Value(kG, "memberCount"), "2");
    ExpectCounts("5", "3");
    // Out, members dropped, back in with none: the stale 2 goes.
    ASSERT_EQ(Modify(kG, {{LDAP_MOD_DELETE, "objectclass", {"groupOfNames"}}}), 0);
    ASSERT_EQ(Modify(kG, {{LDAP_MOD_DELETE, "member", {}}}), 0);
    ASSERT_EQ(Modify(kG, {{LDAP_MOD_ADD, "objectclass", {"groupOfNames"}}}), 0);
    EXPECT_EQ(Value(kG, "memberCount"), "0");
    ExpectCounts("3", "1");
}

TEST_F(AttrtallyTest, ModifyChangingNothingCountedWritesNothing) {
    ASSERT_EQ(Add(Group(kG, 3)), 0);
    ClearLog();
    ASSERT_EQ(Modify(kG, {{LDAP_MOD_REPLACE, "description", {"x"}}}), 0);
    EXPECT_EQ(CountContaining("adjusted"), 0);
    EXPECT_EQ(CountContaining("findCountersAndUpdate"), 0);
    EXPECT_EQ(CountLogged("HVAttrtally - countValues - member has 3 values"), 2);
    ExpectCounts("6", "4");
}

// --- deletes ----------------------------------------------------------------

TEST_F(AttrtallyTest, DeleteLowersAncestorsNeverBelowZero) {
    ASSERT_EQ(Add(Group(kG, 5)), 0);
    ExpectCounts("8", "6");
    ASSERT_EQ(Modify(kTop, {{LDAP_MOD_REPLACE, "memberCount", {"1"}}}), 0);
    ASSERT_EQ(Delete(kG), 0);
    ExpectCounts("0", "1");
    EXPECT_TRUE(Logged("HVAttrtally - POSTOP DELETE begin"));
}

TEST_F(AttrtallyTest, DeleteOfUncountedEntryLeavesAncestors) {
    ASSERT_EQ(Add(Group(kG, 5, "groupOfUniqueNames")), 0);
    ASSERT_EQ(Delete(kG), 0);
    ExpectCounts("3", "1");
}

TEST_F(AttrtallyTest, WithoutUpdateParentsAncestorsAreLeftAlone) {
    for (const char *flag : {"yes", "1", "false"}) {
        Rebuild(Args(flag));
        ExpectCounts("2", "1");
        ASSERT_EQ(Add(Group(kG, 5)), 0);
        EXPECT_EQ(Value(kG, "memberCount"), "5");
        ASSERT_EQ(Modify(kG, {{LDAP_MOD_ADD, "member", Members(5, 6)}}), 0);
        EXPECT_EQ(Value(kG, "memberCount"), "6");
        ASSERT_EQ(Delete(kG), 0);
        ExpectCounts("2", "1");
    }
    Rebuild(Args("TRUE"));
    ExpectCounts("3", "1");
}

// --- failed and replicated operations ------------------------------------

TEST_F(AttrtallyTest, FailedAndReplicatedOperationsOnlyLogBegin) {
    ASSERT_EQ(Add(Group(kG, 1)), 0);
    ClearLog();
    EXPECT_NE(Add(Group(kG, 1)), 0);
    EXPECT_NE(Modify("cn=none,dc=example,dc=com", {{LDAP_MOD_ADD, "member", Members(0, 1)}}), 0);
    EXPECT_EQ(Modify(kG, {{LDAP_MOD_ADD, "member", Members(7, 9)}}, HV_OP_REPLICATED), 0);
    EXPECT_EQ(Delete(kG, HV_OP_REPLICATED), 0);
    ExpectCounts("4", "2");
    std::vector<std::string> lines = LogLines();
    ASSERT_EQ(lines.size(), 4u) << LogText();
    EXPECT_EQ(lines[0], "HVAttrtally - POSTOP ADD begin");
    EXPECT_EQ(lines[1], "HVAttrtally - POSTOP MODIFY begin");
    EXPECT_EQ(lines[2], "HVAttrtally - POSTOP MODIFY begin");
    EXPECT_EQ(lines[3], "HVAttrtally - POSTOP DELETE begin");
}

// --- arguments ----------------------------------------------------------------

TEST_F(AttrtallyTest, ArgumentNamesSelectByLeadingPart) {
    Rebuild({"x=unused", "member=member", "=memberCount", "update=TrUe", "required=groupOfNames"});
    ASSERT_EQ(Add(Group(kG, 2)), 0);
    EXPECT_EQ(Value(kG, "memberCount"), "2");
    ExpectCounts("5", "3");
}

TEST_F(AttrtallyTest, BadArgumentsFailEveryHandlerWithoutSendingAResult) {
    Rebuild({"memberAttribute=member", "counterAttribute=memberCount"});
    hv_op_result res{};
    ASSERT_EQ(Add(Group(kG, 2), 0, &res), 0);
    EXPECT_EQ(res.sent, 0);
    EXPECT_TRUE(Logged("utils - Internal error: 13"));
    Rebuild({"memberAttribute=member", "counterAttribute", "requiredObjectClass=groupOfNames"});
    ASSERT_EQ(Add(Group(kG, 2), 0, &res), 0);
    EXPECT_EQ(res.sent, 0);
    EXPECT_EQ(CountContaining("Internal error"), 0);
    EXPECT_EQ(Value(kG, "memberCount"), "<absent>");
}

// --- counter writes refused ---------------------------------------------------

TEST_F(AttrtallyTest, RefusedCounterWriteOfAddedEntry) {
    hv_dir_refuse_attribute("memberCount", 1);
    ASSERT_EQ(Add(Group(kG, 2)), 0);
    EXPECT_TRUE(Logged("utils - Internal error: 34"));
    EXPECT_TRUE(Logged("utils - Internal error: 31"));
    EXPECT_EQ(CountContaining("findCountersAndUpdate"), 0);
    hv_dir_refuse_attribute("memberCount", 0);
    ASSERT_EQ(Modify(kG, {{LDAP_MOD_ADD, "member", Members(2, 3)}}), 0);
    EXPECT_EQ(Value(kG, "memberCount"), "1");
    ExpectCounts("4", "2");
}

}  // namespace
}  // namespace hv::plugins::testing
