#include "overlay/tally_core.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "tools/tally_count.h"

struct hv_tally_rule {
    hv::tally::Rule rule;
    std::string holderClass;
    std::string filter;
};

struct hv_tally_count {
    explicit hv_tally_count(const hv::tally::Rule &rule) : recount(rule) {}
    hv::tally::Recount recount;
};

namespace {

// Runs body, or gives failure when it throws (slapd is C).
template <typename Result, typename Body>
Result Guarded(Result failure, Body &&body) noexcept {
    try {
        return body();
    } catch (...) {
        return failure;
    }
}

void SetError(char *error, size_t size, const std::string &text) {
    if (size == 0) return;
    const size_t n = std::min(size - 1, text.size());
    std::memcpy(error, text.data(), n);
    error[n] = '\0';
}

}  // namespace

extern "C" {

hv_tally_rule *hv_tally_rule_parse(int argc, char **argv, char *error, size_t error_size) {
    return Guarded<hv_tally_rule *>(nullptr, [&]() -> hv_tally_rule * {
        if (argc < 1) {
            SetError(error, error_size, "nodetally or attrtally and its arguments expected");
            return nullptr;
        }
        std::vector<std::string> args(argv + 1, argv + argc);
        hv::tally::Rule rule;
        std::string why;
        if (!hv::tally::ParseRule(argv[0], args, &rule, &why)) {
            SetError(error, error_size, why);
            return nullptr;
        }
        auto *r = new hv_tally_rule{rule, {}, rule.Filter()};
        r->holderClass = rule.plugin == hv::tally::Rule::Plugin::kNodetally ? rule.counterObjectClass
                                                                            : rule.requiredObjectClass;
        return r;
    });
}

void hv_tally_rule_free(hv_tally_rule *rule) { delete rule; }

const char *hv_tally_rule_counter(const hv_tally_rule *rule) { return rule->rule.counterAttribute.c_str(); }
const char *hv_tally_rule_holder_class(const hv_tally_rule *rule) { return rule->holderClass.c_str(); }
const char *hv_tally_rule_member(const hv_tally_rule *rule) {
    return rule->rule.plugin == hv::tally::Rule::Plugin::kAttrtally ? rule->rule.memberAttribute.c_str()
                                                                    : nullptr;
}
const char *hv_tally_rule_filter(const hv_tally_rule *rule) { return rule->filter.c_str(); }

hv_tally_count *hv_tally_count_new(const hv_tally_rule *rule) {
    return Guarded<hv_tally_count *>(nullptr, [&] { return new hv_tally_count(rule->rule); });
}

int hv_tally_count_add(hv_tally_count *count, hv_tally_text ndn, const hv_tally_text *classes,
                       size_t nclasses, long member_values) {
    return Guarded(-1, [&] {
        hv::tally::EntryView e;
        e.ndn.assign(ndn.ptr, ndn.len);
        e.dn = e.ndn;
        for (size_t i = 0; i < nclasses; i++) e.objectClasses.emplace_back(classes[i].ptr, classes[i].len);
        e.memberValues = static_cast<int>(std::min<long>(member_values, 1L << 30));
        count->recount.Add(e);
        return 0;
    });
}

long hv_tally_count_value(hv_tally_count *count, hv_tally_text ndn) {
    return Guarded(-1L, [&] {
        const std::string_view want(ndn.ptr, ndn.len);
        for (const hv::tally::CounterState &c : count->recount.Finish()) {
            if (c.ndn == want) return c.computed;
        }
        return -1L;
    });
}

void hv_tally_count_free(hv_tally_count *count) { delete count; }

}  // extern "C"
