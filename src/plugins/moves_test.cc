// Counts that follow moved entries (countMoves=true), in our host: targeted
// cases, then random sequences of adds, deletes, modifies, renames and
// subtree moves between nested holders and groups, after each of which every
// counter must equal a recount by hvtally's counting rule.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "plugins/plugin_test_env.h"
#include "tools/tally_count.h"

namespace hv::plugins::testing {
namespace {

const std::vector<std::string> kNodeArgs = {"counterAttribute=entryCount", "counterObjectClass=counterHolder",
                                            "requiredObjectClass=person", "countMoves=true"};
const std::vector<std::string> kAttrArgs = {"memberAttribute=member", "counterAttribute=memberCount",
                                            "requiredObjectClass=groupOfNames", "updateParents=true",
                                            "countMoves=TRUE"};

// Every counter that is not what a recount gives, as "dn: stored S, computed T".
std::vector<std::string> WrongCounters(const std::vector<std::string> &args, const char *plugin) {
    tally::Rule rule;
    std::string error;
    EXPECT_TRUE(tally::ParseRule(plugin, args, &rule, &error)) << error;
    tally::Recount recount(rule);
    char base[] = "dc=x";
    char filter[] = "(objectclass=*)";
    Slapi_PBlock *pb = slapi_search_internal(base, LDAP_SCOPE_SUBTREE, filter, nullptr, nullptr, 0);
    Slapi_Entry **found = nullptr;
    slapi_pblock_get(pb, SLAPI_PLUGIN_INTOP_SEARCH_ENTRIES, &found);
    auto values = [](Slapi_Entry *e, const std::string &type) {
        std::vector<std::string> out;
        Slapi_Attr *a = nullptr;
        Slapi_Value *v = nullptr;
        if (slapi_entry_attr_find(e, type.c_str(), &a) != 0) return out;
        for (int i = slapi_attr_first_value(a, &v); i != -1; i = slapi_attr_next_value(a, i, &v))
            out.emplace_back(slapi_value_get_string(v));
        return out;
    };
    for (int i = 0; found != nullptr && found[i] != nullptr; ++i) {
        tally::EntryView v;
        v.dn = slapi_entry_get_dn(found[i]);
        v.ndn = slapi_entry_get_ndn(found[i]);
        v.objectClasses = values(found[i], "objectclass");
        v.counter = values(found[i], rule.counterAttribute);
        if (!rule.memberAttribute.empty()) v.memberValues = static_cast<int>(values(found[i], rule.memberAttribute).size());
        recount.Add(v);
    }
    slapi_free_search_results_internal(pb);
    slapi_pblock_destroy(pb);
    std::vector<std::string> wrong;
    for (const tally::CounterState &c : recount.Finish()) {
        if (!c.Right(rule)) {
            wrong.push_back(c.dn + ": stored " + c.StoredText() + ", computed " + std::to_string(c.computed));
        }
    }
    return wrong;
}

class CountMovesTest : public PluginHostTest {
  protected:
    void SetUp() override {
        PluginHostTest::SetUp();
        ASSERT_EQ(hv_dir_add_suffix("dc=x"), 0);
        ASSERT_EQ(Add("dn: dc=x\nobjectclass: top\n"), 0);
    }
    void LoadBoth(bool countMoves) {
        std::vector<std::string> node = kNodeArgs, attr = kAttrArgs;
        if (!countMoves) node.pop_back(), attr.pop_back();
        Load("nodetally", kNodetallyInit, node);
        Load("attrtally", kAttrtallyInit, attr);
    }
    void ExpectAllRight(const std::string &step) {
        EXPECT_EQ(WrongCounters(kNodeArgs, "nodetally"), std::vector<std::string>()) << step;
        EXPECT_EQ(WrongCounters(kAttrArgs, "attrtally"), std::vector<std::string>()) << step;
    }
};

TEST_F(CountMovesTest, SubtreeMovesBetweenNestedHoldersAndGroups) {
    LoadBoth(true);
    for (const char *ldif : {
             "dn: ou=top,dc=x\nobjectclass: counterHolder\nobjectclass: groupOfNames\nmember: t\n",
             "dn: ou=left,ou=top,dc=x\nobjectclass: counterHolder\nobjectclass: groupOfNames\n",
             "dn: ou=right,ou=top,dc=x\nobjectclass: counterHolder\n",
             "dn: ou=far,dc=x\nobjectclass: counterHolder\nobjectclass: groupOfNames\n",
             "dn: cn=team,ou=left,ou=top,dc=x\nobjectclass: person\nobjectclass: counterHolder\n"
             "objectclass: groupOfNames\nmember: a\nmember: b\n",
             "dn: cn=p,cn=team,ou=left,ou=top,dc=x\nobjectclass: person\n",
             "dn: cn=g,cn=team,ou=left,ou=top,dc=x\nobjectclass: groupOfNames\nmember: c\n",
         }) {
        ASSERT_EQ(Add(ldif), 0) << ldif;
    }
    ExpectAllRight("setup");
    // Within ou=top: ou=top keeps its counts, left loses, right gains.
    ASSERT_EQ(hv_op_modrdn("cn=team,ou=left,ou=top,dc=x", "cn=team", 0, "ou=right,ou=top,dc=x", 0, nullptr), 0);
    EXPECT_EQ(Value("ou=top,dc=x", "entryCount"), "2");
    EXPECT_EQ(Value("ou=left,ou=top,dc=x", "entryCount"), "0");
    EXPECT_EQ(Value("ou=right,ou=top,dc=x", "entryCount"), "2");
    EXPECT_EQ(Value("ou=left,ou=top,dc=x", "memberCount"), "0");
    EXPECT_EQ(Value("ou=top,dc=x", "memberCount"), "4");
    ExpectAllRight("move within ou=top");
    // Out of ou=top entirely, renamed on the way.
    ASSERT_EQ(hv_op_modrdn("cn=team,ou=right,ou=top,dc=x", "cn=crew", 1, "ou=far,dc=x", 0, nullptr), 0);
    EXPECT_EQ(Value("ou=top,dc=x", "entryCount"), "0");
    EXPECT_EQ(Value("ou=far,dc=x", "entryCount"), "2");
    EXPECT_EQ(Value("ou=far,dc=x", "memberCount"), "3");
    EXPECT_EQ(Value("cn=crew,ou=far,dc=x", "entryCount"), "1");
    ExpectAllRight("move out");
    // A rename in place changes no count, unless the new RDN is a member value.
    ASSERT_EQ(hv_op_modrdn("cn=crew,ou=far,dc=x", "cn=crew2", 1, nullptr, 0, nullptr), 0);
    ExpectAllRight("rename");
    ASSERT_EQ(hv_op_modrdn("cn=g,cn=crew2,ou=far,dc=x", "member=d", 0, nullptr, 0, nullptr), 0);
    EXPECT_EQ(Value("member=d,cn=crew2,ou=far,dc=x", "memberCount"), "2");
    EXPECT_EQ(Value("ou=far,dc=x", "memberCount"), "4");
    ExpectAllRight("rename to a member value");
    // A failed move and a replicated one are not counted.
    EXPECT_EQ(hv_op_modrdn("cn=crew2,ou=far,dc=x", "cn=crew2", 0, "ou=none,dc=x", 0, nullptr), LDAP_NO_SUCH_OBJECT);
    ExpectAllRight("failed move");
    ASSERT_EQ(hv_op_modrdn("cn=crew2,ou=far,dc=x", "cn=crew2", 0, "ou=top,dc=x", HV_OP_REPLICATED, nullptr), 0);
    EXPECT_EQ(Value("ou=far,dc=x", "entryCount"), "2");
}

TEST_F(CountMovesTest, WithoutCountMovesAMoveChangesNoCounter) {
    LoadBoth(false);
    ASSERT_EQ(Add("dn: ou=a,dc=x\nobjectclass: counterHolder\n"), 0);
    ASSERT_EQ(Add("dn: ou=b,dc=x\nobjectclass: counterHolder\n"), 0);
    ASSERT_EQ(Add("dn: cn=p,ou=a,dc=x\nobjectclass: person\n"), 0);
    ASSERT_EQ(hv_op_modrdn("cn=p,ou=a,dc=x", "cn=p", 0, "ou=b,dc=x", 0, nullptr), 0);
    EXPECT_EQ(Value("ou=a,dc=x", "entryCount"), "1");
    EXPECT_EQ(WrongCounters(kNodeArgs, "nodetally"),
              (std::vector<std::string>{"ou=a,dc=x: stored 1, computed 0", "ou=b,dc=x: stored absent, computed 1"}));
}

TEST_F(CountMovesTest, RandomSequencesKeepEveryCounterEqualToARecount) {
    LoadBoth(true);
    int moves = 0;  // subtree moves that succeeded
    for (unsigned seed : {1u, 2u, 3u}) {
        std::mt19937 rng(seed);
        auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
        std::vector<std::string> dns = {"dc=x"};
        int next = 0;
        auto childOf = [&](const std::string &dn, const std::string &top) {
            return dn.size() > top.size() && dn.compare(dn.size() - top.size(), top.size(), top) == 0 &&
                   dn[dn.size() - top.size() - 1] == ',';
        };
        auto refresh = [&] {
            // The stored DNs, as the directory spells them after moves.
            dns.clear();
            char base[] = "dc=x";
            char filter[] = "(objectclass=*)";
            Slapi_PBlock *pb = slapi_search_internal(base, LDAP_SCOPE_SUBTREE, filter, nullptr, nullptr, 0);
            Slapi_Entry **found = nullptr;
            slapi_pblock_get(pb, SLAPI_PLUGIN_INTOP_SEARCH_ENTRIES, &found);
            for (int i = 0; found != nullptr && found[i] != nullptr; ++i) dns.emplace_back(slapi_entry_get_ndn(found[i]));
            slapi_free_search_results_internal(pb);
            slapi_pblock_destroy(pb);
        };
        for (int step = 0; step < 300 && !HasFailure(); ++step) {
            refresh();
            const std::string &target = dns[static_cast<std::size_t>(pick(static_cast<int>(dns.size())))];
            std::string what;
            const int kind = dns.size() < 12 ? 0 : pick(6);
            if (kind == 0 || target == "dc=x") {
                std::string ldif = "dn: cn=e" + std::to_string(next++) + "," + target + "\nobjectclass: top\n";
                if (pick(3) == 0) ldif += "objectclass: counterHolder\n";
                if (pick(2) == 0) ldif += "objectclass: person\n";
                if (pick(3) == 0) {
                    ldif += "objectclass: groupOfNames\n";
                    for (int m = pick(4); m > 0; --m) ldif += "member: m" + std::to_string(next++) + "\n";
                }
                what = "add " + ldif;
                EXPECT_EQ(Add(ldif), 0) << what;
            } else if (kind == 1) {
                what = "delete " + target;
                Delete(target);  // refused for entries with children
            } else if (kind == 2) {
                const bool add = pick(2) == 0;
                what = std::string(add ? "add" : "delete") + " person/member of " + target;
                Modify(target, {{add ? LDAP_MOD_ADD : LDAP_MOD_DELETE, pick(2) ? "objectclass" : "member",
                                 {pick(2) ? "person" : "m" + std::to_string(next++)}}});
            } else {
                // A move below any entry outside the subtree, sometimes with
                // a new name, or a rename in place.
                std::vector<std::string> outside;
                for (const std::string &d : dns)
                    if (d != target && !childOf(d, target)) outside.push_back(d);
                const bool inPlace = kind == 5;
                const std::string sup = outside[static_cast<std::size_t>(pick(static_cast<int>(outside.size())))];
                const std::string rdn =
                    pick(4) == 0 ? "member=r" + std::to_string(next++) : "cn=e" + std::to_string(next++);
                const int deleteold = pick(2);
                what = "modrdn " + target + " to " + rdn + (inPlace ? "" : " below " + sup);
                if (hv_op_modrdn(target.c_str(), rdn.c_str(), deleteold, inPlace ? nullptr : sup.c_str(), 0,
                                 nullptr) == 0 &&
                    !inPlace) {
                    ++moves;
                }
            }
            ExpectAllRight("seed " + std::to_string(seed) + " step " + std::to_string(step) + ": " + what);
        }
        hv_host_reset();
        LoadBoth(true);
        ASSERT_EQ(hv_dir_add_suffix("dc=x"), 0);
        ASSERT_EQ(Add("dn: dc=x\nobjectclass: top\n"), 0);
    }
    EXPECT_GT(moves, 150);
}

}  // namespace
}  // namespace hv::plugins::testing
