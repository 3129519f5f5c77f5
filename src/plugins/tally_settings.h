// The meaning of the counter plug-ins' argument texts, shared by the
// plug-ins and by the hvtally command, so that both read the same texts the
// same way.
//
// A name selects the first keyword it equals or begins (compared
// case-sensitively over the name's own length), keywords tried in the order
// listed in each Parse function; unselected names are ignored and a later
// argument for a keyword replaces an earlier one.
//
// The settings point into the argument texts, which must outlive them.
// Thread-safety: reentrant.
#ifndef HV_PLUGINS_TALLY_SETTINGS_H
#define HV_PLUGINS_TALLY_SETTINGS_H

#include <string_view>

namespace hv::plugins {

// One argument split at its first '='; false when there is none.
bool SplitArgument(const char *arg, std::string_view *name, const char **value);

// True when name selects keyword: equal to it or a leading part of it,
// compared case-sensitively over the name's own length.
bool SelectsKeyword(std::string_view name, std::string_view keyword);

struct NodetallySettings {
    const char *counterAttribute = nullptr;
    const char *counterObjectClass = nullptr;
    const char *requiredObjectClass = nullptr;
    bool countMoves = false;  // "true" in any letter case
};

struct AttrtallySettings {
    const char *counterAttribute = nullptr;
    const char *memberAttribute = nullptr;
    const char *requiredObjectClass = nullptr;
    bool updateParents = false;  // "true" in any letter case
    bool countMoves = false;     // "true" in any letter case
};

// Keywords: counterAttribute, counterObjectClass, requiredObjectClass,
// countMoves.  0; 12 for an argument without '=' (the parse stops there);
// 13 when a required keyword is missing.  *out is set only on 0.
int ParseNodetallySettings(int argc, char **argv, NodetallySettings *out);
// Keywords: counterAttribute, memberAttribute, updateParents,
// requiredObjectClass, countMoves.  Codes as above.
int ParseAttrtallySettings(int argc, char **argv, AttrtallySettings *out);

}  // namespace hv::plugins

#endif  // HV_PLUGINS_TALLY_SETTINGS_H
