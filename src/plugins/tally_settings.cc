#include "plugins/tally_settings.h"

#include <strings.h>

#include <cstring>

namespace hv::plugins {

namespace {

bool IsTrue(const char *value) { return strcasecmp(value, "true") == 0; }

}  // namespace

bool SplitArgument(const char *arg, std::string_view *name, const char **value) {
    if (arg == nullptr) return false;
    const char *eq = std::strchr(arg, '=');
    if (eq == nullptr) return false;
    *name = std::string_view(arg, static_cast<std::size_t>(eq - arg));
    *value = eq + 1;
    return true;
}

bool SelectsKeyword(std::string_view name, std::string_view keyword) {
    return name.size() <= keyword.size() && keyword.compare(0, name.size(), name) == 0;
}

namespace {

// One keyword and where its value goes: a text, or a flag set when the
// value is "true".
struct Keyword {
    const char *name;
    const char **text;
    bool *flag;
};

template <std::size_t N>
int ParseKeywords(int argc, char **argv, const Keyword (&keywords)[N]) {
    for (int i = 0; i < argc; ++i) {
        std::string_view name;
        const char *value = nullptr;
        if (!SplitArgument(argv[i], &name, &value)) return 12;
        for (const Keyword &k : keywords) {
            if (!SelectsKeyword(name, k.name)) continue;
            if (k.text != nullptr) *k.text = value;
            if (k.flag != nullptr) *k.flag = IsTrue(value);
            break;
        }
    }
    return 0;
}

}  // namespace

int ParseNodetallySettings(int argc, char **argv, NodetallySettings *out) {
    NodetallySettings s;
    const Keyword keywords[] = {{"counterAttribute", &s.counterAttribute, nullptr},
                                {"counterObjectClass", &s.counterObjectClass, nullptr},
                                {"requiredObjectClass", &s.requiredObjectClass, nullptr},
                                {"countMoves", nullptr, &s.countMoves}};
    if (ParseKeywords(argc, argv, keywords) != 0) return 12;
    if (s.counterAttribute == nullptr || s.counterObjectClass == nullptr ||
        s.requiredObjectClass == nullptr) {
        return 13;
    }
    *out = s;
    return 0;
}

int ParseAttrtallySettings(int argc, char **argv, AttrtallySettings *out) {
    AttrtallySettings s;
    const Keyword keywords[] = {{"counterAttribute", &s.counterAttribute, nullptr},
                                {"memberAttribute", &s.memberAttribute, nullptr},
                                {"updateParents", nullptr, &s.updateParents},
                                {"requiredObjectClass", &s.requiredObjectClass, nullptr},
                                {"countMoves", nullptr, &s.countMoves}};
    if (ParseKeywords(argc, argv, keywords) != 0) return 12;
    if (s.memberAttribute == nullptr || s.requiredObjectClass == nullptr ||
        s.counterAttribute == nullptr) {
        return 13;
    }
    *out = s;
    return 0;
}

}  // namespace hv::plugins
