#include "tools/tally_count.h"

#include <strings.h>

#include "plugins/tally_settings.h"

namespace hv::tally {

namespace {

bool HasClass(const EntryView &e, const std::string &cls) {
    for (const std::string &v : e.objectClasses) {
        if (strcasecmp(v.c_str(), cls.c_str()) == 0) return true;
    }
    return false;
}

}  // namespace

std::vector<std::string> Rule::Attributes() const {
    std::vector<std::string> a = {"objectClass", counterAttribute};
    if (plugin == Plugin::kAttrtally) a.push_back(memberAttribute);
    return a;
}

std::string Rule::Filter() const {
    // The class texts come from the command line: escape filter specials.
    auto esc = [](const std::string &s) {
        std::string out;
        for (unsigned char c : s) {
            if (c == '(' || c == ')' || c == '*' || c == '\\' || c == 0) {
                static const char kHex[] = "0123456789abcdef";
                out += '\\';
                out += kHex[c >> 4];
                out += kHex[c & 15];
            } else {
                out += static_cast<char>(c);
            }
        }
        return out;
    };
    if (plugin == Plugin::kAttrtally) return "(objectClass=" + esc(requiredObjectClass) + ")";
    return "(|(objectClass=" + esc(counterObjectClass) + ")(objectClass=" +
           esc(requiredObjectClass) + "))";
}

bool ParseRule(std::string_view plugin, const std::vector<std::string> &args, Rule *out,
               std::string *error) {
    std::vector<std::string> texts = args;
    std::vector<char *> argv;
    for (std::string &t : texts) argv.push_back(t.data());
    const int argc = static_cast<int>(argv.size());
    int code = 0;
    Rule r;
    if (plugin == "nodetally") {
        hv::plugins::NodetallySettings s;
        code = hv::plugins::ParseNodetallySettings(argc, argv.data(), &s);
        if (code == 0) {
            r.plugin = Rule::Plugin::kNodetally;
            r.counterAttribute = s.counterAttribute;
            r.counterObjectClass = s.counterObjectClass;
            r.requiredObjectClass = s.requiredObjectClass;
        } else if (code == 13) {
            *error = "nodetally needs counterAttribute, counterObjectClass and requiredObjectClass";
        }
    } else if (plugin == "attrtally") {
        hv::plugins::AttrtallySettings s;
        code = hv::plugins::ParseAttrtallySettings(argc, argv.data(), &s);
        if (code == 0) {
            r.plugin = Rule::Plugin::kAttrtally;
            r.counterAttribute = s.counterAttribute;
            r.memberAttribute = s.memberAttribute;
            r.requiredObjectClass = s.requiredObjectClass;
            r.updateParents = s.updateParents;
        } else if (code == 13) {
            *error = "attrtally needs memberAttribute, counterAttribute and requiredObjectClass";
        }
    } else {
        *error = "unknown plug-in \"" + std::string(plugin) + "\" (nodetally or attrtally)";
        return false;
    }
    if (code == 12) *error = "a plug-in argument has no '=': every operation of the plug-in would fail";
    if (code != 0) return false;
    if (r.counterAttribute.empty() || r.requiredObjectClass.empty() ||
        (r.plugin == Rule::Plugin::kNodetally && r.counterObjectClass.empty()) ||
        (r.plugin == Rule::Plugin::kAttrtally && r.memberAttribute.empty())) {
        *error = "a plug-in argument has an empty value";
        return false;
    }
    *out = std::move(r);
    return true;
}

bool CounterState::Right(const Rule &rule) const {
    if (!stored) return rule.plugin == Rule::Plugin::kNodetally && computed == 0;
    return storedValues == 1 && *stored == std::to_string(computed);
}

std::string CounterState::StoredText() const {
    if (!stored) return "absent";
    if (storedValues <= 1) return *stored;
    return *stored + " (and " + std::to_string(storedValues - 1) + " more values)";
}

std::string_view ParentOf(std::string_view ndn) {
    for (std::size_t i = 0; i < ndn.size(); ++i) {
        if (ndn[i] == '\\') {
            ++i;
        } else if (ndn[i] == ',') {
            return ndn.substr(i + 1);
        }
    }
    return {};
}

void Recount::Add(const EntryView &e) {
    ++entries_;
    const bool node = rule_.plugin == Rule::Plugin::kNodetally;
    const bool carries = HasClass(e, node ? rule_.counterObjectClass : rule_.requiredObjectClass);
    const bool counted = node ? HasClass(e, rule_.requiredObjectClass) : carries;
    long own = 0;
    if (counted) own = node ? 1 : e.memberValues;
    if (carries) {
        CounterState c;
        c.dn = e.dn;
        c.ndn = e.ndn;
        c.storedValues = static_cast<int>(e.counter.size());
        if (!e.counter.empty()) c.stored = e.counter.front();
        if (!node) c.computed = own;
        byNdn_.emplace(e.ndn, counters_.size());
        counters_.push_back(std::move(c));
    }
    if (own != 0 && (node || rule_.updateParents)) contributions_.push_back({e.ndn, own});
}

std::vector<CounterState> Recount::Finish() {
    for (const Contribution &c : contributions_) {
        for (std::string_view up = ParentOf(c.ndn); !up.empty(); up = ParentOf(up)) {
            auto it = byNdn_.find(std::string(up));
            if (it != byNdn_.end()) counters_[it->second].computed += c.amount;
        }
    }
    contributions_.clear();
    return std::move(counters_);
}

}  // namespace hv::tally
