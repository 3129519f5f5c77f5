// attrtally: keeps, in every entry of the required object class, a counter
// attribute equal to the number of values of a member attribute, and with
// updateParents adds each change of such a count to every ancestor of the
// same class.
//
// Configuration (plug-in argument texts, name=value):
//   memberAttribute      attribute whose values are counted (required)
//   counterAttribute     attribute that receives the count (required)
//   requiredObjectClass  class of the counted entries and of the ancestors
//                        that receive changes (required)
//   updateParents        "true" in any letter case: ancestors receive changes
// A name selects the first keyword it equals or begins.  Values are parsed
// anew for every operation.
//
// Every adjustment of a stored counter goes through updateCounterByDN, which
// re-reads the counter under the plug-in's lock, so concurrent changes below
// one ancestor never overwrite each other.
#include <strings.h>

#include <optional>
#include <string>
#include <string_view>

#include "hv/slapi-plugin.h"
#include "plugins/ancestors.h"
#include "plugins/c_boundary.h"
#include "plugins/counter_utils.h"
#include "plugins/moves.h"
#include "plugins/plugin_log.h"
#include "plugins/plugin_signature.h"
#include "plugins/plugin_args.h"
#include "plugins/tally_settings.h"

namespace {

using hv::plugins::GuardedHandler;
using hv::plugins::InitArgs;

constexpr char kInitName[] = "HVAttrtallyPostOp_Init";
constexpr char kPluginName[] = "HVAttrtally";

char kDescId[] = "HVAttrtally";
char kDescVendor[] = "Kel Dataworks, Inc.";
char kDescVersion[] = "5.2_Patch_2";
char kDescText[] = "Maintain counts of attribute values in entries with a particular object class";
Slapi_PluginDesc pluginDescription = {kDescId, kDescVendor, kDescVersion, kDescText};

HV_PLUGIN_SIGNATURE hv::plugins::PluginSignature pluginSignature = {
    "StArT Of PlUgIn SiGnAtUrE:HVAttrtally,HVAttrtallyPostOp_Init", {}};

// Argument texts given at initialisation, for hosts that do not hand them to
// each operation.
InitArgs initArgs;

using Settings = hv::plugins::AttrtallySettings;

enum class Outcome { kProceed, kSkip, kFail };

int parse_arguments(Slapi_PBlock *pb, Settings *out) {
    int argc = 0;
    char **argv = nullptr;
    if (hv::plugins::GetOperationArgs(pb, initArgs, &argc, &argv) != 0) return 1;
    const int code = hv::plugins::ParseAttrtallySettings(argc, argv, out);
    return code == 13 ? op_error(13) : code;
}

Outcome postop_prolog(Slapi_PBlock *pb, Settings *settings, char **targetDn) {
    int opreturn = 0;
    if (slapi_pblock_get(pb, SLAPI_PLUGIN_OPRETURN, &opreturn) != 0) {
        op_error(50);
        return Outcome::kFail;
    }
    if (opreturn != 0) return Outcome::kSkip;
    int replicated = 0;
    if (slapi_pblock_get(pb, SLAPI_IS_REPLICATED_OPERATION, &replicated) != 0) {
        op_error(51);
        return Outcome::kFail;
    }
    if (replicated != 0) return Outcome::kSkip;
    if (parse_arguments(pb, settings) != 0) return Outcome::kFail;
    char *target = nullptr;
    if (slapi_pblock_get(pb, SLAPI_TARGET_DN, &target) != 0 || target == nullptr) {
        op_error(52);
        return Outcome::kSkip;
    }
    slapi_dn_normalize(target);
    *targetDn = target;
    return Outcome::kProceed;
}

int countValues(Slapi_Entry *e, const char *attrName) {
    int n = 0;
    Slapi_Attr *attr = nullptr;
    if (slapi_entry_attr_find(e, attrName, &attr) == 0 && attr != nullptr) {
        slapi_attr_get_numvalues(attr, &n);
    }
    hv::plugins::Log(kPluginName, "countValues - %s has %d values\n", attrName, n);
    return n;
}

int findCountersAndUpdate(const char *startDn, const char *counterAttribute,
                          const char *requiredObjectClass, int increment) {
    hv::plugins::Log(kPluginName,
                    "findCountersAndUpdate startDN=%s requiredObjectClass=%s counterAttrName=%s "
                    "increment=%d\n",
                    startDn, requiredObjectClass, counterAttribute, increment);
    int result = 0;
    hv::plugins::ForEachAncestor(startDn, requiredObjectClass, [&](const char *dn, bool counted) {
        if (counted) {
            result = updateCounterByDN(dn, counterAttribute, increment);
        } else {
            hv::plugins::Log(kPluginName,
                            "findCountersAndUpdate not updating %s\n", dn);
        }
    });
    return result;
}

int postop_add(Slapi_PBlock *pb) {
    hv::plugins::Log(kPluginName, "POSTOP ADD begin\n");
    Settings s;
    char *target = nullptr;
    Outcome outcome = postop_prolog(pb, &s, &target);
    if (outcome != Outcome::kProceed) return outcome == Outcome::kSkip ? 0 : -1;
    Slapi_Entry *added = nullptr;
    if (slapi_pblock_get(pb, SLAPI_ADD_ENTRY, &added) != 0 || added == nullptr) {
        op_error(30);
        return -1;
    }
    if (!entryHasObjectClass(pb, added, s.requiredObjectClass)) return 0;
    const int n = countValues(added, s.memberAttribute);
    // Not setCounter: a child added meanwhile may already have adjusted the
    // stored counter, and its share must stay.
    if (hv::plugins::SetOwnCounter(added, s.counterAttribute, n) != 0) {
        op_error(31);
        return -1;
    }
    if (n != 0 && s.updateParents &&
        findCountersAndUpdate(target, s.counterAttribute, s.requiredObjectClass, n) != 0) {
        return -1;
    }
    return 0;
}

int postop_delete(Slapi_PBlock *pb) {
    hv::plugins::Log(kPluginName, "POSTOP DELETE begin\n");
    Settings s;
    char *target = nullptr;
    Outcome outcome = postop_prolog(pb, &s, &target);
    if (outcome != Outcome::kProceed) return outcome == Outcome::kSkip ? 0 : -1;
    Slapi_Entry *pre = nullptr;
    if (slapi_pblock_get(pb, SLAPI_ENTRY_PRE_OP, &pre) != 0) {
        op_error(53);
        return -1;
    }
    if (pre == nullptr) return 0;
    // An entry without the class was never counted into its ancestors.
    if (!entryHasObjectClass(pb, pre, s.requiredObjectClass)) return 0;
    const int n = countValues(pre, s.memberAttribute);
    if (n <= 0 || !s.updateParents) return 0;
    if (findCountersAndUpdate(target, s.counterAttribute, s.requiredObjectClass, -n) != 0) {
        return -1;
    }
    return 0;
}

int postop_modify(Slapi_PBlock *pb) {
    hv::plugins::Log(kPluginName, "POSTOP MODIFY begin\n");
    Settings s;
    char *target = nullptr;
    Outcome outcome = postop_prolog(pb, &s, &target);
    if (outcome != Outcome::kProceed) return outcome == Outcome::kSkip ? 0 : -1;
    Slapi_Entry *post = nullptr;
    if (slapi_pblock_get(pb, SLAPI_ENTRY_POST_OP, &post) != 0) {
        op_error(52);
        return -1;
    }
    const bool postCounted = post != nullptr && entryHasObjectClass(pb, post, s.requiredObjectClass);
    const int newCount = postCounted ? countValues(post, s.memberAttribute) : 0;
    Slapi_Entry *pre = nullptr;
    if (slapi_pblock_get(pb, SLAPI_ENTRY_PRE_OP, &pre) != 0) {
        op_error(53);
        return -1;
    }
    if (pre == nullptr) return 0;
    const bool preCounted = entryHasObjectClass(pb, pre, s.requiredObjectClass);
    const int oldCount = preCounted ? countValues(pre, s.memberAttribute) : 0;
    const int d = newCount - oldCount;
    // An entry that gains the class starts from its own count, as an added
    // one does, even a count of 0: a counter left from an earlier spell in
    // the class is stale.  The plug-ins' own counter writes never change a
    // class, so they still end here.
    const bool gained = postCounted && !preCounted;
    if (d == 0 && !gained) return 0;
    if (postCounted) {
        // A gain that changes the count is still reported as the adjustment by d.
        const int rc =
            gained ? hv::plugins::SetOwnCounter(post, s.counterAttribute, newCount,
                                                d != 0 ? std::optional<int>(d) : std::nullopt)
                   : updateCounterByDN(slapi_entry_get_dn(post), s.counterAttribute, d);
        if (rc != 0) return -1;
    }
    if (d != 0 && s.updateParents &&
        findCountersAndUpdate(target, s.counterAttribute, s.requiredObjectClass, d) != 0) {
        return -1;
    }
    return 0;
}

// countMoves: an entry that moves to a new parent takes the values of the
// counted entries of its subtree (itself included) out of the counted
// ancestors it leaves and into those it joins; an ancestor above both keeps
// its count.  The subtree is counted at its new place.  A new RDN may also
// add or remove member values of the entry itself: that difference goes
// into its own counter and, with updateParents, into every counted
// ancestor it has afterwards.
int postop_modrdn(Slapi_PBlock *pb) {
    hv::plugins::Log(kPluginName, "POSTOP MODRDN begin\n");
    Settings s;
    char *target = nullptr;
    Outcome outcome = postop_prolog(pb, &s, &target);
    if (outcome != Outcome::kProceed) return outcome == Outcome::kSkip ? 0 : -1;
    Slapi_Entry *pre = nullptr;
    Slapi_Entry *post = nullptr;
    if (!hv::plugins::MovedEntry(pb, &pre, &post)) return -1;
    if (pre == nullptr || post == nullptr) return 0;  // nothing tells where it was and went
    const char *oldDn = slapi_entry_get_dn(pre);
    const char *newDn = slapi_entry_get_dn(post);
    const bool counted = entryHasObjectClass(pb, post, s.requiredObjectClass) != 0;
    const int d = counted ? countValues(post, s.memberAttribute) - countValues(pre, s.memberAttribute) : 0;
    if (d != 0 && updateCounterByDN(newDn, s.counterAttribute, d) != 0) return -1;
    if (!s.updateParents) return 0;
    if (hv::plugins::SameParent(oldDn, newDn)) {
        return d != 0 && findCountersAndUpdate(newDn, s.counterAttribute, s.requiredObjectClass, d) != 0
                   ? -1
                   : 0;
    }
    long after = 0;
    if (!hv::plugins::CountSubtree(newDn, s.requiredObjectClass, s.memberAttribute, &after)) return -1;
    hv::plugins::Log(kPluginName, "postop_modrdn: %s moved to %s with %ld values\n", oldDn, newDn,
                     after);
    // What the subtree had counted into the ancestors it leaves, before the
    // new RDN's difference.
    const long before = after - d;
    int result = 0;
    hv::plugins::ForEachMovedAncestor(
        oldDn, newDn, s.requiredObjectClass, [&](const char *dn, bool has_class, int side) {
            const long change = side < 0 ? -before : side > 0 ? after : d;
            if (!has_class || change == 0) return;
            if (updateCounterByDN(dn, s.counterAttribute, static_cast<int>(change)) != 0) result = -1;
        });
    return result;
}

int InitPlugin(Slapi_PBlock *pb) {
    int code = 0;
    int argc = 0;
    char **argv = nullptr;
    if ((code = slapi_pblock_set(pb, SLAPI_PLUGIN_VERSION,
                                 const_cast<char *>(SLAPI_PLUGIN_VERSION_01))) != 0 ||
        (code = slapi_pblock_set(pb, SLAPI_PLUGIN_DESCRIPTION, &pluginDescription)) != 0 ||
        (code = slapi_pblock_set(pb, SLAPI_PLUGIN_POST_ADD_FN,
                                 reinterpret_cast<void *>(&GuardedHandler<kPluginName, postop_add>))) != 0 ||
        (code = slapi_pblock_set(pb, SLAPI_PLUGIN_POST_MODIFY_FN,
                                 reinterpret_cast<void *>(&GuardedHandler<kPluginName, postop_modify>))) != 0 ||
        (code = slapi_pblock_set(pb, SLAPI_PLUGIN_POST_DELETE_FN,
                                 reinterpret_cast<void *>(&GuardedHandler<kPluginName, postop_delete>))) != 0) {
        // code is the failing call's own result
    } else if (slapi_pblock_get(pb, SLAPI_PLUGIN_ARGC, &argc) != 0) {
        code = 10;
    } else if (slapi_pblock_get(pb, SLAPI_PLUGIN_ARGV, &argv) != 0) {
        code = 11;
    } else if (initCounterLock() != 0) {
        code = 12;
    } else {
        Settings settings;
        if (hv::plugins::ParseAttrtallySettings(argc, argv, &settings) == 0 && settings.countMoves) {
            code = slapi_pblock_set(pb, SLAPI_PLUGIN_POST_MODRDN_FN,
                                    reinterpret_cast<void *>(&GuardedHandler<kPluginName, postop_modrdn>));
        }
    }
    if (code != 0) {
        hv::plugins::Log(kInitName, "Error: %d\n", code);
        return -1;
    }
    initArgs.Remember(argc, argv);
    const std::string joined = hv::plugins::JoinArgumentsForLog(argc, argv, 1);
    hv::plugins::Log(kInitName, "plugin loaded with arguments %s\n",
                    joined.c_str());
    return 0;
}

}  // namespace

extern "C" HV_EXPORT int HVAttrtallyPostOp_Init(Slapi_PBlock *pb) {
    return hv::plugins::CallFromC(kInitName, -1, [pb] { return InitPlugin(pb); });
}
