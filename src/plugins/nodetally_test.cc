// nodetally loaded from the build tree into the host and driven through
// client operations; counters are read back from the directory and the
// plug-in's lines from the host's log.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "plugins/plugin_test_env.h"

namespace hv::plugins::testing {
namespace {

const char kH1[] = "ou=h1,dc=example,dc=com";
const char kH2[] = "ou=h2,ou=h1,dc=example,dc=com";
const char kPerson[] = "cn=p,ou=h2,ou=h1,dc=example,dc=com";

const std::vector<std::string> kArgs = {"counterAttribute=entryCount",
                                        "counterObjectClass=counterHolder",
                                        "requiredObjectClass=person"};

class NodetallyTest : public PluginHostTest {
  protected:
    void SetUp() override {
        PluginHostTest::SetUp();
        ASSERT_EQ(hv_dir_add_suffix("dc=example,dc=com"), 0);
        ASSERT_EQ(Add("dn: dc=example,dc=com\nobjectclass: top\nobjectclass: domain\ndc: example\n"), 0);
        ASSERT_EQ(Add(Holder(kH1, "h1")), 0);
        ASSERT_EQ(Add(Holder(kH2, "h2")), 0);
        ASSERT_EQ(Add("dn: ou=plain,dc=example,dc=com\nobjectclass: organizationalUnit\nou: plain\n"), 0);
    }

    static std::string Holder(const std::string &dn, const std::string &ou) {
        return "dn: " + dn + "\nobjectclass: top\nobjectclass: organizationalUnit\nobjectclass: counterHolder\nou: " +
               ou + "\n";
    }
    static std::string Person(const std::string &dn, const std::string &cls = "person") {
        return "dn: " + dn + "\nobjectclass: top\nobjectclass: " + cls + "\ncn: p\nsn: p\n";
    }
    void LoadDefault() {
        Load("nodetally", kNodetallyInit, kArgs);
        ClearLog();
    }
    void ExpectCounts(const std::string &h1, const std::string &h2) {
        EXPECT_EQ(Value(kH1, "entryCount"), h1);
        EXPECT_EQ(Value(kH2, "entryCount"), h2);
    }
};

TEST_F(NodetallyTest, LoadRegistersDescriptionAndLogsEveryArgument) {
    hv_plugin *p = Load("nodetally", kNodetallyInit, kArgs);
    ASSERT_NE(p, nullptr);
    EXPECT_STREQ(hv_plugin_version(p), "01");
    const Slapi_PluginDesc *d = hv_plugin_description(p);
    ASSERT_NE(d, nullptr);
    EXPECT_STREQ(d->spd_id, "Subtree Entry Counter");
    EXPECT_STREQ(d->spd_vendor, "Kel Dataworks, Inc.");
    EXPECT_STREQ(d->spd_version, "5.2_Patch_2");
    EXPECT_STREQ(d->spd_description, "Maintain counts of entries with a particular object class");
    EXPECT_TRUE(Logged("HVSubtreeEntryCounterPostOp_Init - plugin loaded with arguments "
                       "\"counterAttribute=entryCount\" \"counterObjectClass=counterHolder\" "
                       "\"requiredObjectClass=person\" "))
        << LogText();
}

TEST_F(NodetallyTest, LoadMessageOfHugeArgumentsIsCutNotOverflowed) {
    std::vector<std::string> args = kArgs;
    args.push_back("x=" + std::string(30000, 'a'));
    Load("nodetally", kNodetallyInit, args);
    const std::string prefix = "HVSubtreeEntryCounterPostOp_Init - plugin loaded with arguments ";
    bool found = false;
    for (const std::string &l : LogLines()) {
        if (l.compare(0, prefix.size(), prefix) != 0) continue;
        found = true;
        EXPECT_EQ(l.size() - prefix.size(), 10239u);
    }
    EXPECT_TRUE(found);
}

// --- adds -------------------------------------------------------------------

TEST_F(NodetallyTest, AddOfCountedEntryRaisesEveryHolderAbove) {
    LoadDefault();
    ASSERT_EQ(Add(Person(kPerson)), 0);
    ExpectCounts("1", "1");
    EXPECT_TRUE(Logged("Subtree Entry Counter - POSTOP ADD begin"));
    EXPECT_TRUE(Logged("Subtree Entry Counter - POSTOP PROLOG target=cn=p,ou=h2,ou=h1,dc=example,dc=com"));
    EXPECT_TRUE(Logged("Subtree Entry Counter - Using counterAttribute=entryCount "
                       "counterObjectClass=counterHolder requiredObjectClass=person"));
    EXPECT_TRUE(Logged("Subtree Entry Counter - findCountersAndUpdate startDN=cn=p,ou=h2,ou=h1,dc=example,dc=com "
                       "counterObjectClass=counterHolder counterAttrName=entryCount increment=1"));
    EXPECT_EQ(CountContaining("utils - adjusted entryCount in "), 2) << LogText();
    ASSERT_EQ(Add(Person("cn=q,ou=h1,dc=example,dc=com")), 0);
    ExpectCounts("2", "1");
}

TEST_F(NodetallyTest, AddWithoutHolderAboveClimbsPastTheNamingContext) {
    LoadDefault();
    hv_op_result res{};
    ASSERT_EQ(Add(Person("cn=p,ou=plain,dc=example,dc=com"), 0, &res), 0);
    EXPECT_EQ(res.sent, 0);
    // dc=com is not held by the server: one failed base search, no update.
    EXPECT_EQ(CountLogged("utils - Internal error: 22"), 1) << LogText();
    EXPECT_EQ(CountContaining("adjusted"), 0);
    EXPECT_EQ(Value("ou=plain,dc=example,dc=com", "entryCount"), "<absent>");
}

TEST_F(NodetallyTest, AddOfEntryWithoutClassChangesNothing) {
    LoadDefault();
    ASSERT_EQ(Add(Person(kPerson, "device")), 0);
    ExpectCounts("<absent>", "<absent>");
    EXPECT_TRUE(Logged("Subtree Entry Counter - postop_common: cn=p,ou=h2,ou=h1,dc=example,dc=com "
                       "does not have object class person"));
}

TEST_F(NodetallyTest, SingleRdnTargetHasNoAncestors) {
    LoadDefault();
    ASSERT_EQ(hv_dir_add_suffix("o=solo"), 0);
    hv_op_result res{};
    ASSERT_EQ(Add("dn: o=solo\nobjectclass: person\nobjectclass: counterHolder\no: solo\n", 0, &res), 0);
    EXPECT_EQ(res.sent, 0);
    EXPECT_EQ(Value("o=solo", "entryCount"), "<absent>");
    EXPECT_EQ(CountContaining("Internal error"), 0);
}

// --- deletes ----------------------------------------------------------------

TEST_F(NodetallyTest, DeleteOfCountedEntryLowersHoldersNeverBelowZero) {
    LoadDefault();
    ASSERT_EQ(Add(Person(kPerson)), 0);
    ASSERT_EQ(Modify(kH2, {{LDAP_MOD_REPLACE, "entryCount", {"0"}}}), 0);
    ClearLog();
    ASSERT_EQ(Delete(kPerson), 0);
    ExpectCounts("0", "0");
    EXPECT_TRUE(Logged("Subtree Entry Counter - POSTOP DELETE begin"));
    EXPECT_TRUE(Logged("Subtree Entry Counter - postop_common: the deleted entry contained person"));
}

TEST_F(NodetallyTest, DeleteOfUncountedEntryLogsNoChange) {
    LoadDefault();
    ASSERT_EQ(Add(Person(kPerson)), 0);
    ASSERT_EQ(Add(Person("cn=d,ou=h2,ou=h1,dc=example,dc=com", "device")), 0);
    ClearLog();
    ASSERT_EQ(Delete("cn=d,ou=h2,ou=h1,dc=example,dc=com"), 0);
    ExpectCounts("1", "1");
    EXPECT_TRUE(Logged("Subtree Entry Counter - postop_common: no change for cn=d,ou=h2,ou=h1,dc=example,dc=com"));
}

// --- modifies of object classes ----------------------------------------------

TEST_F(NodetallyTest, ModifyAddingAndDeletingTheClassValue) {
    LoadDefault();
    ASSERT_EQ(Add(Person(kPerson, "device")), 0);
    ASSERT_EQ(Modify(kPerson, {{LDAP_MOD_ADD, "objectClass", {"Person"}}}), 0);
    ExpectCounts("1", "1");
    EXPECT_TRUE(Logged("Subtree Entry Counter - POSTOP MODIFY begin"));
    ASSERT_EQ(Modify(kPerson, {{LDAP_MOD_DELETE, "objectclass", {"device"}}}), 0);
    ExpectCounts("1", "1");
    ASSERT_EQ(Modify(kPerson, {{LDAP_MOD_DELETE, "objectclass", {"person"}}}), 0);
    ExpectCounts("0", "0");
}

TEST_F(NodetallyTest, ModifyReplacingClasses) {
    LoadDefault();
    ASSERT_EQ(Add(Person(kPerson)), 0);
    ExpectCounts("1", "1");
    // The class stays: no change (counting the replace as +1 would drift).
    ASSERT_EQ(Modify(kPerson, {{LDAP_MOD_REPLACE, "objectclass", {"top", "person", "device"}}}), 0);
    ExpectCounts("1", "1");
    ASSERT_EQ(Modify(kPerson, {{LDAP_MOD_REPLACE, "objectclass", {"top", "device"}}}), 0);
    ExpectCounts("0", "0");
    ASSERT_EQ(Modify(kPerson, {{LDAP_MOD_REPLACE, "objectclass", {"person"}}}), 0);
    ExpectCounts("1", "1");
}

TEST_F(NodetallyTest, ModifyListingObjectclassTwiceCountsTheOutcome) {
    LoadDefault();
    ASSERT_EQ(Add(Person(kPerson, "device")), 0);
    ASSERT_EQ(Modify(kPerson, {{LDAP_MOD_DELETE, "objectclass", {"device"}},
                               {LDAP_MOD_ADD, "objectclass", {"person"}}}),
              0);
    ExpectCounts("1", "1");
    ASSERT_EQ(Modify(kPerson, {{LDAP_MOD_ADD, "objectclass", {"device"}},
                               {LDAP_MOD_DELETE, "objectclass", {"person"}}}),
              0);
    ExpectCounts("0", "0");
}

TEST_F(NodetallyTest, ModifyOfOtherAttributesAndOwnCounterWritesChangeNothing) {
    LoadDefault();
    ASSERT_EQ(Add(Person(kPerson)), 0);
    ClearLog();
    ASSERT_EQ(Modify(kPerson, {{LDAP_MOD_REPLACE, "sn", {"other"}}}), 0);
    ExpectCounts("1", "1");
    EXPECT_EQ(CountContaining("findCountersAndUpdate"), 0);
    EXPECT_EQ(CountContaining("adjusted"), 0);
}

// --- failed and replicated operations ------------------------------------

TEST_F(NodetallyTest, FailedAndReplicatedOperationsOnlyLogBegin) {
    LoadDefault();
    ASSERT_EQ(Add(Person(kPerson)), 0);
    ClearLog();
    EXPECT_NE(Add(Person(kPerson)), 0);  // already exists
    EXPECT_NE(Delete("cn=nobody,ou=h2,ou=h1,dc=example,dc=com"), 0);
    EXPECT_EQ(Add(Person("cn=r,ou=h2,ou=h1,dc=example,dc=com"), HV_OP_REPLICATED), 0);
    EXPECT_EQ(Delete(kPerson, HV_OP_REPLICATED), 0);
    ExpectCounts("1", "1");
    std::vector<std::string> lines = LogLines();
    ASSERT_EQ(lines.size(), 4u) << LogText();
    EXPECT_EQ(lines[0], "Subtree Entry Counter - POSTOP ADD begin");
    EXPECT_EQ(lines[1], "Subtree Entry Counter - POSTOP DELETE begin");
    EXPECT_EQ(lines[2], "Subtree Entry Counter - POSTOP ADD begin");
    EXPECT_EQ(lines[3], "Subtree Entry Counter - POSTOP DELETE begin");
}

// --- arguments ----------------------------------------------------------------

TEST_F(NodetallyTest, ArgumentNamesSelectByLeadingPartAndLaterArgumentsWin) {
    Load("nodetally", kNodetallyInit,
         {"counter=ignored", "=entryCount", "counterObject=counterHolder", "requiredObjectClassX=device",
          "requiredObjectClass=person", "unknown=1"});
    ASSERT_EQ(Add(Person(kPerson)), 0);
    ExpectCounts("1", "1");
    EXPECT_EQ(Value(kH1, "ignored"), "<absent>");
}

TEST_F(NodetallyTest, MissingArgumentFailsAddsAndDeletesWithResultSent) {
    Load("nodetally", kNodetallyInit,
         {"counterAttribute=entryCount", "counterObjectClass=counterHolder", "requiredObjectClassX=person"});
    ClearLog();
    hv_op_result res{};
    ASSERT_EQ(Add(Person(kPerson), 0, &res), 0);
    EXPECT_EQ(res.sent, 1);
    EXPECT_EQ(res.rc, 1);
    EXPECT_STREQ(res.text, "Unable to update counter for specified entries");
    EXPECT_TRUE(Logged("utils - Internal error: 13"));
    EXPECT_TRUE(Logged("Subtree Entry Counter - POSTOP ADD result 1"));
    hv_op_result del{};
    ASSERT_EQ(Delete(kPerson, 0, &del), 0);
    EXPECT_EQ(del.rc, 1);
    EXPECT_TRUE(Logged("Subtree Entry Counter - POSTOP DELETE result 1"));
    ExpectCounts("<absent>", "<absent>");
}

TEST_F(NodetallyTest, ArgumentWithoutEqualsSignFailsWithCode12) {
    Load("nodetally", kNodetallyInit, {"counterAttribute=entryCount", "counterObjectClass", "requiredObjectClass=person"});
    ClearLog();
    hv_op_result res{};
    ASSERT_EQ(Add(Person(kPerson), 0, &res), 0);
    EXPECT_EQ(res.sent, 1);
    EXPECT_EQ(res.rc, 12);
    EXPECT_TRUE(Logged("Subtree Entry Counter - POSTOP ADD result 12"));
    EXPECT_EQ(CountContaining("Internal error"), 0) << LogText();
    hv_op_result mod{};
    ASSERT_EQ(Modify(kPerson, {{LDAP_MOD_ADD, "objectclass", {"device"}}}, 0, &mod), 0);
    EXPECT_EQ(mod.sent, 0);  // the modify handler fails without a result
    EXPECT_EQ(CountContaining("POSTOP MODIFY result"), 0);
}

// --- counter writes refused ---------------------------------------------------

TEST_F(NodetallyTest, RefusedCounterWriteIsReportedAndReleasesTheLock) {
    LoadDefault();
    hv_dir_refuse_attribute("entryCount", 1);
    hv_op_result res{};
    ASSERT_EQ(Add(Person(kPerson), 0, &res), 0);
    EXPECT_EQ(CountLogged("utils - Internal error: 34"), 2) << LogText();
    EXPECT_EQ(CountContaining("adjusted"), 0);
    EXPECT_EQ(res.sent, 1);
    EXPECT_EQ(res.rc, 1);
    EXPECT_TRUE(Logged("Subtree Entry Counter - POSTOP ADD result 1"));
    hv_dir_refuse_attribute("entryCount", 0);
    // A lock left held would hang here.
    ASSERT_EQ(Add(Person("cn=q,ou=h2,ou=h1,dc=example,dc=com")), 0);
    ExpectCounts("1", "1");
}

// --- hosts that hand no argument texts to operations ------------------------

TEST_F(NodetallyTest, HandlerFallsBackToArgumentsCopiedAtInitialisation) {
    void *handle = dlopen(PluginPath("nodetally").c_str(), RTLD_NOW);
    ASSERT_NE(handle, nullptr) << dlerror();
    auto init = reinterpret_cast<int (*)(Slapi_PBlock *)>(dlsym(handle, kNodetallyInit));
    ASSERT_NE(init, nullptr);
    Slapi_PBlock *pb = slapi_pblock_new();
    {
        std::vector<std::string> texts = kArgs;
        std::vector<char *> argv;
        for (std::string &t : texts) argv.push_back(t.data());
        argv.push_back(nullptr);
        int argc = static_cast<int>(texts.size());
        ASSERT_EQ(slapi_pblock_set(pb, SLAPI_PLUGIN_ARGC, &argc), 0);
        ASSERT_EQ(slapi_pblock_set(pb, SLAPI_PLUGIN_ARGV, argv.data()), 0);
        ASSERT_EQ(init(pb), 0);
        for (std::string &t : texts) t.assign(t.size(), 'z');  // the plug-in must have copied
    }
    Slapi_PluginFunc add = nullptr;
    ASSERT_EQ(slapi_pblock_get(pb, SLAPI_PLUGIN_POST_ADD_FN, &add), 0);
    ASSERT_NE(add, nullptr);
    slapi_pblock_destroy(pb);

    // The plug-in is not registered: the add runs without it, then its
    // handler is called as a host that gives no argument texts would.
    ASSERT_EQ(Add(Person(kPerson)), 0);
    Slapi_Entry *added = hv_dir_get_entry(kPerson);
    ASSERT_NE(added, nullptr);
    char target[] = "cn=p,ou=h2,ou=h1,dc=example,dc=com";
    Slapi_PBlock *op = slapi_pblock_new();
    ASSERT_EQ(slapi_pblock_set(op, SLAPI_TARGET_DN, target), 0);
    ASSERT_EQ(slapi_pblock_set(op, SLAPI_ADD_ENTRY, added), 0);
    EXPECT_EQ(add(op), 0);
    slapi_pblock_destroy(op);
    slapi_entry_free(added);
    ExpectCounts("1", "1");
    // Not closed: a plug-in's locks live as long as the process, as in a
    // server, which never unloads a plug-in it has initialised.
}

}  // namespace
}  // namespace hv::plugins::testing
