// What the tests of slapdcompat.so in OpenLDAP slapd share: the plug-in
// line-up (slapdcompat, nodetally, attrtally, then the probe, whose report
// line says the others are done with an operation), a tree of holders and
// nested groups, a recount of every counter from an ldapsearch of the tree,
// and a fixture that starts the server with them.
#ifndef HV_TESTS_OPENLDAP_COMPAT_ENV_H
#define HV_TESTS_OPENLDAP_COMPAT_ENV_H

#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "openldap/slapd_harness.h"

namespace hvtest {

inline const char *const kOrg = "ou=org,dc=example,dc=com";
inline const char *const kPeople = "ou=people,ou=org,dc=example,dc=com";
inline const char *const kG0 = "cn=g0,ou=org,dc=example,dc=com";
inline const char *const kG1 = "cn=g1,cn=g0,ou=org,dc=example,dc=com";

inline PluginLine Compat(std::vector<std::string> args = {}) {
    return {HV_SLAPDCOMPAT_PLUGIN, "SlapdCompat_Init", std::move(args)};
}

inline std::vector<PluginLine> CountersAfterCompat(const std::string &report) {
    // A lock held too long shows within 5 s as a log line.
    return {Compat({"lockTimeout=5"}),
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
inline const char kTree[] =
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
inline constexpr int kTreeOps = 5;


struct Entry {
    std::set<std::string> classes;  // lower case
    int members = 0;
    int entryCount = 0;  // absent reads 0
    int memberCount = 0;
};

inline std::string Lower(std::string s) {
    for (char &c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

inline std::map<std::string, Entry> ParseTree(const std::string &ldif) {
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

inline bool Below(const std::string &dn, const std::string &ancestor) {
    return dn.size() > ancestor.size() + 1 && dn.compare(dn.size() - ancestor.size(), ancestor.size(), ancestor) == 0 &&
           dn[dn.size() - ancestor.size() - 1] == ',';
}

// Every counter against a recount of the stored tree: a holder counts the
// counted entries below it, a group its own members and those of the groups
// below it.  Returns the sum of the differences; lists them in *report.
inline int RecountErrors(const std::map<std::string, Entry> &tree, std::string *report) {
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
inline int RefusedInReport(const std::string &report) {
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
    // Every operation got its lock in time.
    bool NoLockTimedOut() const { return server_.PluginLog().find("slapdcompat: no lock on") == std::string::npos; }
    int Errors(std::string *report) {
        CommandResult r = server_.Subtree("dc=example,dc=com", {"objectClass", "hvMember", "hvEntryCount", "hvMemberCount"});
        EXPECT_EQ(r.status, 0) << r.output;
        return RecountErrors(ParseTree(r.output), report);
    }

    SlapdServer server_;
    std::string report_;
    int ops_ = 0;
};


}  // namespace hvtest

#endif  // HV_TESTS_OPENLDAP_COMPAT_ENV_H
