// A concurrent mix of changes from one and from several clients against
// slapd with slapdcompat.so, nodetally and attrtally: afterwards every
// counter equals a recount with ldapsearch.  Operations on one entry from
// different clients meet here, which is what slapdcompat's lock orders.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "openldap/compat_env.h"

namespace hvtest {
namespace {


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
    EXPECT_TRUE(NoLockTimedOut());
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
