// slapdcompat.so loaded into OpenLDAP slapd before nodetally and attrtally:
// the plug-ins after it see the real status and the entries before and
// after each operation, and operations on one entry reach them in order, so
// the counters stay exact under a concurrent mix of changes from several
// clients (checked by a recount with ldapsearch).
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "openldap/slapd_harness.h"

namespace hvtest {
namespace {

const char *const kOrg = "ou=org,dc=example,dc=com";
const char *const kPeople = "ou=people,ou=org,dc=example,dc=com";
const char *const kG0 = "cn=g0,ou=org,dc=example,dc=com";
const char *const kG1 = "cn=g1,cn=g0,ou=org,dc=example,dc=com";

PluginLine Compat(std::vector<std::string> args = {}) {
    return {HV_SLAPDCOMPAT_PLUGIN, "SlapdCompat_Init", std::move(args)};
}

std::vector<PluginLine> CountersAfterCompat(const std::string &report) {
    return {Compat(),
            {HV_NODETALLY_PLUGIN,
             "HVSubtreeEntryCounterPostOp_Init",
             {"counterAttribute=hvEntryCount", "counterObjectClass=hvCounterHolder", "requiredObjectClass=hvCounted"}},
            {HV_ATTRTALLY_PLUGIN,
             "HVAttrtallyPostOp_Init",
             {"memberAttribute=hvMember", "counterAttribute=hvMemberCount", "requiredObjectClass=hvGroup",
              "updateParents=true"}},
            // Last: its report line says the plug-ins before it are done.
            {HV_PROBE_PLUGIN, "probe_init", {"report=" + report}}};
}

// Holders ou=org and ou=people; groups g0 and g1 (nested), which are also
// holders.  Leaves go below people, g0 and g1.
const char kTree[] =
    "dn: dc=example,dc=com\nchangetype: add\nobjectClass: dcObject\nobjectClass: organization\n"
    "o: Example\ndc: example\n\n"
    "dn: ou=org,dc=example,dc=com\nchangetype: add\nobjectClass: organizationalUnit\n"
    "objectClass: hvCounterHolder\nou: org\n\n"
    "dn: ou=people,ou=org,dc=example,dc=com\nchangetype: add\nobjectClass: organizationalUnit\n"
    "objectClass: hvCounterHolder\nou: people\n\n"
    "dn: cn=g0,ou=org,dc=example,dc=com\nchangetype: add\nobjectClass: organizationalRole\n"
    "objectClass: hvGroup\nobjectClass: hvCounterHolder\ncn: g0\nhvMember: m0\n\n"
    "dn: cn=g1,cn=g0,ou=org,dc=example,dc=com\nchangetype: add\nobjectClass: organizationalRole\n"
    "objectClass: hvGroup\nobjectClass: hvCounterHolder\ncn: g1\nhvMember: m0\nhvMember: m1\n\n";
constexpr int kTreeOps = 5;

// Random changes of one client: most on the client's own leaves, made from
// a model of what its changes so far would have left there, so that they
// are valid; about one in eight is made without looking at the model, on
// any client's leaf.  Those, and the member changes of the two nested
// groups that every client makes, are where the clients' operations meet
// on one entry, and where the server refuses changes (the entry exists or
// is missing, the value exists or is missing, the schema forbids it): the
// plug-ins must not count those.
class ChangeGenerator {
  public:
    ChangeGenerator(unsigned seed, int client, int clients) : rng_(seed * 100 + client), client_(client), clients_(clients) {}

    std::string Next() {
        const bool blind = Pick(8) == 0;
        if (Pick(8) == 0) {  // the nested groups' own members
            const std::string dn = Pick(2) == 0 ? kG0 : kG1;
            return Member(dn, Pick(2) == 0, "m" + std::to_string(Pick(6)));
        }
        static const char *const kParents[] = {kPeople, kG0, kG1};
        const int owner = blind ? Pick(clients_) : client_;
        const std::string dn = "cn=l" + std::to_string(owner) + "-" + std::to_string(Pick(4)) + "," + kParents[Pick(3)];
        Leaf &leaf = leaves_[dn];
        if (!blind && !leaf.exists) return Add(dn, &leaf);
        int what = Pick(8);
        if (what >= 4 && !leaf.group && !blind) what = 3;  // members need the group class first
        switch (what) {
        case 0:
            return blind ? Add(dn, &leaf) : Delete(dn, &leaf);
        case 1:
            return Delete(dn, &leaf);
        case 2: {  // add or drop the counted class, or replace the classes
            const int how = Pick(3);
            std::string s = "dn: " + dn + "\nchangetype: modify\n";
            if (how == 2) {
                const bool counted = Pick(2) == 0;
                s += "replace: objectClass\nobjectClass: organizationalRole\n";
                if (counted) s += "objectClass: hvCounted\n";
                if (leaf.group) s += "objectClass: hvGroup\n";
                leaf.counted = counted;
                return s + "-\n\n";
            }
            const bool add = blind ? how == 0 : !leaf.counted;
            leaf.counted = add;
            return s + (add ? "add" : "delete") + ": objectClass\nobjectClass: hvCounted\n-\n\n";
        }
        case 3: {  // becomes a group with one member, or stops being one
            std::string s = "dn: " + dn + "\nchangetype: modify\n";
            const bool become = blind ? Pick(2) == 0 : !leaf.group;
            leaf.group = become;
            leaf.members.clear();
            if (become) {
                leaf.members.insert("m1");
                return s + "add: objectClass\nobjectClass: hvGroup\n-\nadd: hvMember\nhvMember: m1\n-\n\n";
            }
            return s + "delete: objectClass\nobjectClass: hvGroup\n-\nreplace: hvMember\n-\n"
                       "replace: hvMemberCount\n-\n\n";
        }
        default: {
            const std::string m = "m" + std::to_string(Pick(6));
            const bool add = blind ? Pick(2) == 0 : leaf.members.count(m) == 0;
            if (add) {
                leaf.members.insert(m);
            } else {
                leaf.members.erase(m);
            }
            return Member(dn, add, m);
        }
        }
    }

  private:
    struct Leaf {
        bool exists = false, counted = false, group = false;
        std::set<std::string> members;
    };

    int Pick(int n) { return static_cast<int>(rng_() % static_cast<unsigned>(n)); }

    std::string Add(const std::string &dn, Leaf *leaf) {
        Leaf fresh;
        fresh.exists = true;
        fresh.counted = Pick(2) == 0;
        fresh.group = Pick(2) == 0;
        std::string s = "dn: " + dn + "\nchangetype: add\nobjectClass: organizationalRole\ncn: " +
                        dn.substr(3, dn.find(',') - 3) + "\n";
        if (fresh.counted) s += "objectClass: hvCounted\n";
        if (fresh.group) {
            s += "objectClass: hvGroup\n";
            for (int i = Pick(4); i > 0; --i) {
                s += "hvMember: m" + std::to_string(i) + "\n";
                fresh.members.insert("m" + std::to_string(i));
            }
        }
        if (!leaf->exists) *leaf = fresh;
        return s + "\n";
    }

    std::string Delete(const std::string &dn, Leaf *leaf) {
        *leaf = Leaf();
        return "dn: " + dn + "\nchangetype: delete\n\n";
    }

    static std::string Member(const std::string &dn, bool add, const std::string &m) {
        return "dn: " + dn + "\nchangetype: modify\n" + (add ? "add" : "delete") + ": hvMember\nhvMember: " + m +
               "\n-\n\n";
    }

    std::mt19937 rng_;
    int client_, clients_;
    std::map<std::string, Leaf> leaves_;
};

struct Entry {
    std::set<std::string> classes;  // lower case
    int members = 0;
    int entryCount = 0;  // absent reads 0
    int memberCount = 0;
};

std::string Lower(std::string s) {
    for (char &c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::map<std::string, Entry> ParseTree(const std::string &ldif) {
    std::map<std::string, Entry> out;
    std::istringstream in(ldif);
    std::string line, dn;
    while (std::getline(in, line)) {
        size_t colon = line.find(": ");
        if (colon == std::string::npos) continue;
        std::string type = Lower(line.substr(0, colon)), value = line.substr(colon + 2);
        if (type == "dn") {
            dn = Lower(value);
            out[dn];
        } else if (type == "objectclass") {
            out[dn].classes.insert(Lower(value));
        } else if (type == "hvmember") {
            out[dn].members++;
        } else if (type == "hventrycount") {
            out[dn].entryCount = std::stoi(value);
        } else if (type == "hvmembercount") {
            out[dn].memberCount = std::stoi(value);
        }
    }
    return out;
}

bool Below(const std::string &dn, const std::string &ancestor) {
    return dn.size() > ancestor.size() + 1 && dn.compare(dn.size() - ancestor.size(), ancestor.size(), ancestor) == 0 &&
           dn[dn.size() - ancestor.size() - 1] == ',';
}

// Every counter against a recount of the stored tree: a holder counts the
// counted entries below it, a group its own members and those of the groups
// below it.  Returns the sum of the differences; lists them in *report.
int RecountErrors(const std::map<std::string, Entry> &tree, std::string *report) {
    int errors = 0;
    for (const auto &[dn, e] : tree) {
        if (e.classes.count("hvcounterholder") != 0) {
            int want = 0;
            for (const auto &[other, o] : tree)
                if (Below(other, dn) && o.classes.count("hvcounted") != 0) ++want;
            if (want != e.entryCount) {
                errors += std::abs(want - e.entryCount);
                *report += dn + " hvEntryCount " + std::to_string(e.entryCount) + " recount " + std::to_string(want) + "\n";
            }
        }
        if (e.classes.count("hvgroup") != 0) {
            int want = e.members;
            for (const auto &[other, o] : tree)
                if (Below(other, dn) && o.classes.count("hvgroup") != 0) want += o.members;
            if (want != e.memberCount) {
                errors += std::abs(want - e.memberCount);
                *report += dn + " hvMemberCount " + std::to_string(e.memberCount) + " recount " + std::to_string(want) + "\n";
            }
        }
    }
    return errors;
}

// Report lines of the probe with a status other than 0.
int RefusedInReport(const std::string &report) {
    std::istringstream in(report);
    std::string line;
    int n = 0;
    while (std::getline(in, line))
        if (line.rfind("op=", 0) == 0 && line.find(" oprc=0 ") == std::string::npos &&
            line.rfind("op=init", 0) != 0)
            ++n;
    return n;
}

class CompatOnSlapd : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!SlapdInstalled()) GTEST_SKIP() << kSlapdPath << " is not installed";
    }
    void Start() {
        report_ = server_.dir() + "/report.txt";
        ASSERT_TRUE(server_.Start(CountersAfterCompat(report_))) << server_.error();
        CommandResult r = server_.Changes(kTree);
        ASSERT_EQ(r.status, 0) << r.output;
        ops_ = kTreeOps;
        ASSERT_TRUE(WaitForProbeOperations(report_, ops_));
    }
    // Runs one batch of changes per client at once; waits until every
    // change went through the plug-ins.
    void RunClients(const std::vector<std::string> &batches, int changes) {
        std::vector<std::thread> threads;
        std::vector<CommandResult> results(batches.size());
        for (size_t i = 0; i < batches.size(); ++i)
            threads.emplace_back([&, i] { results[i] = server_.Changes(batches[i]); });
        for (auto &t : threads) t.join();
        for (const auto &r : results) ASSERT_NE(r.status, -1) << "a client did not finish: " << r.output;
        ops_ += changes;
        ASSERT_TRUE(WaitForProbeOperations(report_, ops_, 60000)) << "handlers of " << ops_ << " operations did not finish";
    }
    int Errors(std::string *report) {
        CommandResult r = server_.Subtree("dc=example,dc=com", {"objectClass", "hvMember", "hvEntryCount", "hvMemberCount"});
        EXPECT_EQ(r.status, 0) << r.output;
        return RecountErrors(ParseTree(r.output), report);
    }

    SlapdServer server_;
    std::string report_;
    int ops_ = 0;
};

TEST_F(CompatOnSlapd, CountersFollowDeletesModifiesAndRefusals) {
    Start();
    auto change = [&](const std::string &ldif) {
        CommandResult r = server_.Changes(ldif);
        ASSERT_TRUE(WaitForProbeOperations(report_, ++ops_)) << r.output;
    };
    change(std::string("dn: cn=a,") + kPeople + "\nchangetype: add\nobjectClass: organizationalRole\n"
           "objectClass: hvCounted\ncn: a\n\n");
    EXPECT_EQ(server_.Counter(kPeople, "hvEntryCount"), 1);
    // Refused: exists already.  Not counted again.
    change(std::string("dn: cn=a,") + kPeople + "\nchangetype: add\nobjectClass: organizationalRole\n"
           "objectClass: hvCounted\ncn: a\n\n");
    EXPECT_EQ(server_.Counter(kPeople, "hvEntryCount"), 1);
    // A replace that keeps the class changes nothing; one that drops it counts.
    change(std::string("dn: cn=a,") + kPeople + "\nchangetype: modify\nreplace: objectClass\n"
           "objectClass: organizationalRole\nobjectClass: hvCounted\n-\n\n");
    EXPECT_EQ(server_.Counter(kPeople, "hvEntryCount"), 1);
    change(std::string("dn: cn=a,") + kPeople + "\nchangetype: modify\ndelete: objectClass\nobjectClass: hvCounted\n-\n\n");
    EXPECT_EQ(server_.Counter(kPeople, "hvEntryCount"), 0);
    change(std::string("dn: cn=a,") + kPeople + "\nchangetype: modify\nadd: objectClass\nobjectClass: hvCounted\n-\n\n");
    change(std::string("dn: cn=a,") + kPeople + "\nchangetype: delete\n\n");
    EXPECT_EQ(server_.Counter(kPeople, "hvEntryCount"), 0);
    EXPECT_EQ(server_.Counter(kOrg, "hvEntryCount"), 0);
    // Member changes, a refused one among them (the value exists).
    change(std::string("dn: ") + kG1 + "\nchangetype: modify\nadd: hvMember\nhvMember: m5\n-\n\n");
    change(std::string("dn: ") + kG1 + "\nchangetype: modify\nadd: hvMember\nhvMember: m5\n-\n\n");
    EXPECT_EQ(server_.Counter(kG1, "hvMemberCount"), 3);
    EXPECT_EQ(server_.Counter(kG0, "hvMemberCount"), 4);
    // Another spelling of the DN: the same entry, read before and after.
    change("dn: CN=G1, cn=g0,OU=Org,dc=example,dc=com\nchangetype: modify\ndelete: hvMember\nhvMember: m0\n-\n\n");
    EXPECT_EQ(server_.Counter(kG0, "hvMemberCount"), 3);

    // Plug-ins after the compat plug-in see the real status of the two
    // refused operations, and entries before and after.
    const std::string report = ReadFile(report_);
    EXPECT_EQ(RefusedInReport(report), 2) << report;
    EXPECT_NE(report.find("op=add argc=0 oprc=68 "), std::string::npos) << report;
    EXPECT_NE(report.find("op=modify argc=0 oprc=20 "), std::string::npos) << report;
    EXPECT_NE(report.find("op=delete argc=0 oprc=0 repl=0 target=cn=a,ou=people,ou=org,dc=example,dc=com pre=yes post=none"),
              std::string::npos)
        << report;
    EXPECT_NE(report.find("op=modify argc=0 oprc=0 repl=0 target=cn=g1,cn=g0,ou=org,dc=example,dc=com pre=yes post=yes"),
              std::string::npos)
        << report;
    std::string errors;
    EXPECT_EQ(Errors(&errors), 0) << errors;
}

TEST_F(CompatOnSlapd, AnUnknownArgumentStopsTheServerStarting) {
    report_ = server_.dir() + "/report.txt";
    std::vector<PluginLine> plugins = CountersAfterCompat(report_);
    plugins[0] = Compat({"lockTimeut=5"});
    EXPECT_FALSE(server_.Start(plugins));
    EXPECT_NE(server_.PluginLog().find("SlapdCompat_Init: unknown argument \"lockTimeut=5\""), std::string::npos)
        << server_.PluginLog();
}

struct MixCase {
    int clients;
    unsigned seed;
};

void PrintTo(const MixCase &c, std::ostream *os) { *os << c.clients << " clients, seed " << c.seed; }

class CompatMix : public CompatOnSlapd, public ::testing::WithParamInterface<MixCase> {};

// The same number of changes from one client or spread over several.
TEST_P(CompatMix, EveryCounterEqualsTheRecount) {
    constexpr int kChanges = 240;
    Start();
    const MixCase c = GetParam();
    std::vector<std::string> batches;
    for (int client = 0; client < c.clients; ++client) {
        ChangeGenerator changes(c.seed, client, c.clients);
        batches.emplace_back();
        for (int i = 0; i < kChanges / c.clients; ++i) batches.back() += changes.Next();
    }
    RunClients(batches, kChanges);
    const int refused = RefusedInReport(ReadFile(report_));
    std::string report;
    const int errors = Errors(&report);
    EXPECT_EQ(errors, 0) << report;
    // The mix must exercise refusals, but not consist of them.
    EXPECT_GT(refused, kChanges / 20);
    EXPECT_LT(refused, kChanges / 3);
    RecordProperty("refused", refused);
    RecordProperty("errors", errors);
}

INSTANTIATE_TEST_SUITE_P(Seeds, CompatMix,
                         ::testing::Values(MixCase{1, 1}, MixCase{1, 2}, MixCase{4, 1}, MixCase{4, 2}, MixCase{4, 3}),
                         [](const auto &info) {
                             return std::to_string(info.param.clients) + "Clients_Seed" +
                                    std::to_string(info.param.seed);
                         });

}  // namespace
}  // namespace hvtest
