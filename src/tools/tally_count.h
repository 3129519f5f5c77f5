// The counters' rule, computed from a directory's content: which entries
// carry a counter, and the value each counter must hold, exactly as the
// counter plug-ins keep them.
//
//   nodetally: every entry of counterObjectClass is a holder; its counter is
//     the number of entries of requiredObjectClass anywhere below it (the
//     holder itself not included).  An absent counter stands for 0.
//   attrtally: every entry of requiredObjectClass is counted; its counter is
//     its own number of memberAttribute values, plus, with updateParents,
//     those of every entry of requiredObjectClass anywhere below it.  An
//     absent counter is wrong, since the plug-in writes one (even 0) as
//     soon as an entry has the class.
// Object classes are compared ignoring ASCII letter case; "below" follows
// the normalized DN.  A stored counter is right when it has exactly one
// value and that value is the computed number in decimal.
//
// Thread-compatible.  Memory: one record per holder and per counted entry.
#ifndef HV_TOOLS_TALLY_COUNT_H
#define HV_TOOLS_TALLY_COUNT_H

#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace hv::tally {

struct Rule {
    enum class Plugin { kNodetally, kAttrtally };
    Plugin plugin = Plugin::kNodetally;
    std::string counterAttribute;
    std::string counterObjectClass;  // nodetally only
    std::string requiredObjectClass;
    std::string memberAttribute;  // attrtally only
    bool updateParents = false;   // attrtally only

    // The attributes the rule reads from an entry.
    std::vector<std::string> Attributes() const;
    // An LDAP filter that selects at least every entry the rule looks at.
    std::string Filter() const;
};

// plugin is "nodetally" or "attrtally"; args are the plug-in's argument
// texts, read as the plug-in reads them.  false with *error on failure.
bool ParseRule(std::string_view plugin, const std::vector<std::string> &args, Rule *out,
               std::string *error);

// What an entry holds that the rule looks at.
struct EntryView {
    std::string dn;   // as the source spells it, for messages and writes
    std::string ndn;  // normalized and case-folded
    std::vector<std::string> objectClasses;
    int memberValues = 0;                // values of the member attribute
    std::vector<std::string> counter;    // values of the counter attribute
};

// One counter: where, what is stored (none when absent), what it should be.
struct CounterState {
    std::string dn;
    std::string ndn;
    std::optional<std::string> stored;  // first value; none when absent
    int storedValues = 0;
    long computed = 0;

    bool Right(const Rule &rule) const;
    // The stored value as reported: the value, "absent", or the first value
    // and how many more there are.
    std::string StoredText() const;
};

// Collects entries in any order, then computes every counter in one pass.
class Recount {
  public:
    explicit Recount(const Rule &rule) : rule_(rule) {}
    void Add(const EntryView &e);
    // Every counter, in the order its entry was added.
    std::vector<CounterState> Finish();
    long entries() const { return entries_; }

  private:
    struct Contribution {
        std::string ndn;
        long amount;
    };
    Rule rule_;
    std::vector<CounterState> counters_;
    std::unordered_map<std::string, std::size_t> byNdn_;
    std::vector<Contribution> contributions_;  // added into every counter above
    long entries_ = 0;
};

// Normalized DN of the parent (text after the first unescaped ','); empty
// at the top.
std::string_view ParentOf(std::string_view ndn);

}  // namespace hv::tally

#endif  // HV_TOOLS_TALLY_COUNT_H
