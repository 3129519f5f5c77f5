// Random sequences of changes for the counter tests in slapd: adds of
// entries that may be counted, groups and holders, deletes, the counted
// class added and removed, member values added and removed, and modify-RDN
// moves of subtrees, below the tree of compat_env.h and kMoreTree.
#ifndef HV_TESTS_OPENLDAP_MOVE_SEQUENCE_H
#define HV_TESTS_OPENLDAP_MOVE_SEQUENCE_H

#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "openldap/compat_env.h"

namespace hvtest {

// Below the tree of compat_env.h: two more nested holders under ou=org and a
// plain container outside it.
inline const char kMoreTree[] =
    "dn: ou=h0,ou=org,dc=example,dc=com\nchangetype: add\nobjectClass: organizationalUnit\n"
    "objectClass: hvCounterHolder\nou: h0\n\n"
    "dn: ou=h1,ou=h0,ou=org,dc=example,dc=com\nchangetype: add\nobjectClass: organizationalUnit\n"
    "objectClass: hvCounterHolder\nou: h1\n\n"
    "dn: ou=plain,dc=example,dc=com\nchangetype: add\nobjectClass: organizationalUnit\nou: plain\n\n";
inline constexpr int kMoreTreeOps = 3;

// A model of the entries the sequence makes, so that every change it sends
// is valid.  Fixed containers are never moved or deleted; the entries it
// adds (cn=<prefix><n>) are, with everything below them.  Sequences with
// different prefixes touch only the fixed containers in common.
class MoveSequence {
  public:
    explicit MoveSequence(unsigned seed, std::string prefix = "u") : rng_(seed), prefix_(std::move(prefix)) {
        for (const char *dn : {kOrg, kPeople, kG0, kG1, "ou=h0,ou=org,dc=example,dc=com",
                               "ou=h1,ou=h0,ou=org,dc=example,dc=com", "ou=plain,dc=example,dc=com"}) {
            Node n;
            n.fixedDn = dn;
            nodes_[next_++] = n;
        }
    }

    // The next change as an LDIF change record; *move tells whether it is
    // a modify-RDN.
    std::string Next(bool *move) {
        *move = false;
        const std::vector<int> movable = Movable();
        const int what = movable.empty() ? 0 : Pick(20);
        if (what < 7) return Add();
        const int id = movable[Pick(static_cast<int>(movable.size()))];
        Node &n = nodes_[id];
        if (what < 9) {
            if (HasChildren(id)) return Add();
            const std::string s = "dn: " + Dn(id) + "\nchangetype: delete\n\n";
            nodes_.erase(id);
            return s;
        }
        if (what < 11) {
            n.counted = !n.counted;
            return "dn: " + Dn(id) + "\nchangetype: modify\n" + (n.counted ? "add" : "delete") +
                   ": objectClass\nobjectClass: hvCounted\n-\n\n";
        }
        if (what < 13 && n.group) {
            const std::string m = "m" + std::to_string(Pick(4));
            const bool add = n.members.insert(m).second;
            if (!add) n.members.erase(m);
            return "dn: " + Dn(id) + "\nchangetype: modify\n" + (add ? "add" : "delete") + ": hvMember\nhvMember: " +
                   m + "\n-\n\n";
        }
        *move = true;
        return Move(id);
    }

  private:
    struct Node {
        std::string fixedDn;  // set for the fixed containers
        std::string cn;
        int parent = -1;
        bool counted = false, group = false, holder = false;
        std::set<std::string> members;
    };

    int Pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }

    std::string Dn(int id) const {
        const Node &n = nodes_.at(id);
        return n.fixedDn.empty() ? "cn=" + n.cn + "," + Dn(n.parent) : n.fixedDn;
    }
    bool Within(int id, int top) const {
        for (; id >= 0; id = nodes_.at(id).parent)
            if (id == top) return true;
        return false;
    }
    bool HasChildren(int id) const {
        for (const auto &[other, n] : nodes_)
            if (n.parent == id) return true;
        return false;
    }
    std::vector<int> Movable() const {
        std::vector<int> out;
        for (const auto &[id, n] : nodes_)
            if (n.fixedDn.empty()) out.push_back(id);
        return out;
    }
    // Half the time below an added entry, so that subtrees grow.
    int AnyParent() {
        const std::vector<int> movable = Movable();
        if (!movable.empty() && Pick(2) == 0) return movable[Pick(static_cast<int>(movable.size()))];
        return Pick(7);
    }

    std::string Add() {
        Node n;
        n.cn = prefix_ + std::to_string(names_++);
        n.parent = AnyParent();
        n.counted = Pick(2) == 0;
        n.group = Pick(5) < 2;
        n.holder = Pick(4) == 0;
        std::string s = "dn: " + std::string("cn=") + n.cn + "," + Dn(n.parent) +
                        "\nchangetype: add\nobjectClass: organizationalRole\n";
        if (n.counted) s += "objectClass: hvCounted\n";
        if (n.group) s += "objectClass: hvGroup\n";
        if (n.holder) s += "objectClass: hvCounterHolder\n";
        s += "cn: " + n.cn + "\n";
        if (n.group)
            for (int i = 1 + Pick(2); i > 0; --i) n.members.insert("m" + std::to_string(Pick(4)));
        for (const std::string &m : n.members) s += "hvMember: " + m + "\n";
        nodes_[next_++] = n;
        return s + "\n";
    }

    // To another parent outside its own subtree, sometimes with a new RDN;
    // one in six a rename in place.
    std::string Move(int id) {
        Node &n = nodes_[id];
        const std::string from = Dn(id);
        int to = n.parent;
        if (Pick(6) != 0) {
            for (int tries = 0; tries < 20 && (to == n.parent || Within(to, id)); ++tries) to = AnyParent();
        }
        const bool rename = to == n.parent || Pick(3) == 0;
        if (rename) n.cn = prefix_ + std::to_string(names_++);
        std::string s = "dn: " + from + "\nchangetype: modrdn\nnewrdn: cn=" + n.cn + "\ndeleteoldrdn: 1\n";
        if (to != n.parent) s += "newsuperior: " + Dn(to) + "\n";
        n.parent = to;
        return s + "\n";
    }

    std::mt19937 rng_;
    std::string prefix_;
    std::map<int, Node> nodes_;
    int next_ = 0;
    int names_ = 0;
};

}  // namespace hvtest

#endif  // HV_TESTS_OPENLDAP_MOVE_SEQUENCE_H
