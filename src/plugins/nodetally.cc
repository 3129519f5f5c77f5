// nodetally: keeps, in holder entries (entries of the counter object class),
// the number of entries of the required object class anywhere below them.
//
// Configuration (plug-in argument texts, name=value, no defaults):
//   counterAttribute     attribute that holds the count in the holders
//   counterObjectClass   object class that marks a holder
//   requiredObjectClass  object class that makes an entry counted
// A name selects the first keyword it equals or begins (so "counter" is
// counterAttribute).  Values are parsed anew for every operation.
//
// After every successful, non-replicated add, delete and modify the change of
// count (+1, -1 or none) is added to every holder above the target through
// updateCounterByDN, which re-reads the stored counter under its lock.
#include <cstring>
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

constexpr char kInitName[] = "HVSubtreeEntryCounterPostOp_Init";
constexpr char kPluginName[] = "Subtree Entry Counter";

char kDescId[] = "Subtree Entry Counter";
char kDescVendor[] = "Kel Dataworks, Inc.";
char kDescVersion[] = "5.2_Patch_2";
char kDescText[] = "Maintain counts of entries with a particular object class";
Slapi_PluginDesc pluginDescription = {kDescId, kDescVendor, kDescVersion, kDescText};

HV_PLUGIN_SIGNATURE hv::plugins::PluginSignature pluginSignature = {
    "StArT Of PlUgIn SiGnAtUrE:Subtree Entry Counter,HVSubtreeEntryCounterPostOp_Init", {}};

// Argument texts given at initialisation, for hosts that do not hand them to
// each operation.
InitArgs initArgs;

constexpr int kModeDelete = 0;
constexpr int kModeModify = 1;
constexpr int kModeAdd = 2;

using Settings = hv::plugins::NodetallySettings;

// The operation's settings and target; proceed is false when the operation
// is not to be counted (it failed or was replicated).
struct Prolog {
    Settings settings;
    char *targetDn = nullptr;
    bool proceed = false;
};

int parse_arguments(Slapi_PBlock *pb, Settings *out) {
    int argc = 0;
    char **argv = nullptr;
    if (hv::plugins::GetOperationArgs(pb, initArgs, &argc, &argv) != 0) return 1;
    const int code = hv::plugins::ParseNodetallySettings(argc, argv, out);
    return code == 13 ? op_error(13) : code;
}

int postop_prolog(Slapi_PBlock *pb, Prolog *out) {
    int opreturn = 0;
    if (slapi_pblock_get(pb, SLAPI_PLUGIN_OPRETURN, &opreturn) != 0) return op_error(50);
    if (opreturn != 0) return 0;
    int replicated = 0;
    if (slapi_pblock_get(pb, SLAPI_IS_REPLICATED_OPERATION, &replicated) != 0) {
        return op_error(51);
    }
    if (replicated != 0) return 0;
    int code = parse_arguments(pb, &out->settings);
    if (code != 0) return code;
    char *target = nullptr;
    if (slapi_pblock_get(pb, SLAPI_TARGET_DN, &target) != 0 || target == nullptr) {
        return op_error(52);
    }
    slapi_dn_normalize(target);
    hv::plugins::Log(kPluginName, "POSTOP PROLOG target=%s\n", target);
    out->targetDn = target;
    out->proceed = true;
    return 0;
}

int findCountersAndUpdate(const char *startDn, const char *counterAttribute,
                          const char *counterObjectClass, int increment) {
    hv::plugins::Log(kPluginName,
                    "findCountersAndUpdate startDN=%s counterObjectClass=%s counterAttrName=%s "
                    "increment=%d\n",
                    startDn, counterObjectClass, counterAttribute, increment);
    int result = 0;
    hv::plugins::ForEachAncestor(startDn, counterObjectClass, [&](const char *dn, bool holder) {
        if (holder) result = updateCounterByDN(dn, counterAttribute, increment);
    });
    return result;
}

int postop_common(Slapi_PBlock *pb, int increment, int mode) {
    Prolog p;
    int code = postop_prolog(pb, &p);
    if (code == 0 && !p.proceed) return 0;
    if (code == 0) {
        const Settings &s = p.settings;
        hv::plugins::Log(kPluginName,
                        "Using counterAttribute=%s counterObjectClass=%s requiredObjectClass=%s\n",
                        s.counterAttribute, s.counterObjectClass, s.requiredObjectClass);
        if (increment > 0) {
            Slapi_Entry *added = nullptr;
            if (mode != kModeAdd) {
                // the modify handler has already decided
            } else if (slapi_pblock_get(pb, SLAPI_ADD_ENTRY, &added) != 0) {
                code = op_error(52);
            } else if (!entryHasObjectClass(pb, added, s.requiredObjectClass)) {
                hv::plugins::Log(kPluginName,
                                "postop_common: %s does not have object class %s\n", p.targetDn,
                                s.requiredObjectClass);
                return 0;
            }
        } else {
            increment = 0;
            Slapi_Entry *pre = nullptr;
            if (slapi_pblock_get(pb, SLAPI_ENTRY_PRE_OP, &pre) != 0) {
                code = op_error(53);
            } else if (pre == nullptr) {
                return 0;
            } else if (entryHasObjectClass(pb, pre, s.requiredObjectClass)) {
                increment = -1;
                hv::plugins::Log(kPluginName,
                                "postop_common: the deleted entry contained %s\n",
                                s.requiredObjectClass);
            }
        }
        if (code == 0 && increment != 0) {
            code = findCountersAndUpdate(p.targetDn, s.counterAttribute, s.counterObjectClass,
                                         increment);
        } else if (code == 0) {
            hv::plugins::Log(kPluginName, "postop_common: no change for %s\n",
                            p.targetDn);
        }
    }
    if (code == 0) return 0;
    hv::plugins::Log(kPluginName, "POSTOP %s result %d\n",
                    increment > 0 ? "ADD" : "DELETE", code);
    char text[] = "Unable to update counter for specified entries";
    slapi_send_ldap_result(pb, code, nullptr, text, 0, nullptr);
    return -1;
}

int postop_add(Slapi_PBlock *pb) {
    hv::plugins::Log(kPluginName, "POSTOP ADD begin\n");
    return postop_common(pb, +1, kModeAdd);
}

int postop_delete(Slapi_PBlock *pb) {
    hv::plugins::Log(kPluginName, "POSTOP DELETE begin\n");
    return postop_common(pb, -1, kModeDelete);
}

// Whether one value of a modification equals objectClass, ASCII case ignored.
bool ModHasValue(const LDAPMod *mod, const char *objectClass) {
    const std::size_t want = std::strlen(objectClass);
    if ((mod->mod_op & LDAP_MOD_BVALUES) != 0) {
        for (int i = 0; mod->mod_bvalues[i] != nullptr; ++i) {
            const struct berval *bv = mod->mod_bvalues[i];
            if (bv->bv_val != nullptr && bv->bv_len == want &&
                strncasecmp(bv->bv_val, objectClass, want) == 0) {
                return true;
            }
        }
        return false;
    }
    for (int i = 0; mod->mod_values[i] != nullptr; ++i) {
        if (strcasecmp(mod->mod_values[i], objectClass) == 0) return true;
    }
    return false;
}

// Direction of a modify judged from its modification list alone, for hosts
// that give no pre- and post-operation entries: the first modification of
// "objectclass" decides.
int ModifyDirectionFromMods(Slapi_PBlock *pb, const char *requiredObjectClass, int *direction) {
    *direction = 0;
    LDAPMod **mods = nullptr;
    if (slapi_pblock_get(pb, SLAPI_MODIFY_MODS, &mods) != 0) return op_error(61);
    const LDAPMod *mod = nullptr;
    for (int i = 0; mods != nullptr && mods[i] != nullptr; ++i) {
        if (mods[i]->mod_type != nullptr &&
            slapi_attr_type_cmp(mods[i]->mod_type, "objectclass", SLAPI_TYPE_CMP_BASE) == 0) {
            mod = mods[i];
            break;
        }
    }
    if (mod == nullptr || mod->mod_values == nullptr || mod->mod_values[0] == nullptr) return 0;
    const int op = mod->mod_op & ~LDAP_MOD_BVALUES;
    if (ModHasValue(mod, requiredObjectClass)) {
        *direction = op == LDAP_MOD_DELETE ? -1 : +1;
        return 0;
    }
    if (op == LDAP_MOD_DELETE || op == LDAP_MOD_ADD) return 0;
    Slapi_Entry *pre = nullptr;
    if (slapi_pblock_get(pb, SLAPI_ENTRY_PRE_OP, &pre) != 0) return op_error(62);
    if (pre != nullptr && entryHasObjectClass(pb, pre, requiredObjectClass)) *direction = -1;
    return 0;
}

int postop_modify(Slapi_PBlock *pb) {
    hv::plugins::Log(kPluginName, "POSTOP MODIFY begin\n");
    Prolog p;
    if (postop_prolog(pb, &p) != 0) return -1;
    if (!p.proceed) return 0;
    const char *required = p.settings.requiredObjectClass;
    int direction = 0;
    Slapi_Entry *pre = nullptr;
    Slapi_Entry *post = nullptr;
    if (slapi_pblock_get(pb, SLAPI_ENTRY_PRE_OP, &pre) == 0 &&
        slapi_pblock_get(pb, SLAPI_ENTRY_POST_OP, &post) == 0 && pre != nullptr &&
        post != nullptr) {
        // The entries before and after tell exactly whether the class came or
        // went, however the modification list spelled the change.
        direction = entryHasObjectClass(pb, post, required) - entryHasObjectClass(pb, pre, required);
    } else if (ModifyDirectionFromMods(pb, required, &direction) != 0) {
        return -1;
    }
    if (direction == 0) return 0;
    return postop_common(pb, direction, kModeModify) == 0 ? 0 : -1;
}

// countMoves: an entry that moves to a new parent takes the counted entries
// of its subtree (itself included) out of the holders it leaves and into
// the holders it joins; a holder above both keeps its count, and a rename
// in place changes nothing.  The subtree is counted at its new place.
int postop_modrdn(Slapi_PBlock *pb) {
    hv::plugins::Log(kPluginName, "POSTOP MODRDN begin\n");
    Prolog p;
    if (postop_prolog(pb, &p) != 0) return -1;
    if (!p.proceed) return 0;
    Slapi_Entry *pre = nullptr;
    Slapi_Entry *post = nullptr;
    if (!hv::plugins::MovedEntry(pb, &pre, &post)) return -1;
    if (pre == nullptr || post == nullptr) return 0;  // nothing tells where it was and went
    const char *oldDn = slapi_entry_get_dn(pre);
    const char *newDn = slapi_entry_get_dn(post);
    if (hv::plugins::SameParent(oldDn, newDn)) return 0;
    const Settings &s = p.settings;
    long moved = 0;
    if (!hv::plugins::CountSubtree(newDn, s.requiredObjectClass, nullptr, &moved)) return -1;
    hv::plugins::Log(kPluginName, "postop_modrdn: %s moved to %s with %ld counted entries\n",
                     oldDn, newDn, moved);
    if (moved == 0) return 0;
    int result = 0;
    hv::plugins::ForEachMovedAncestor(
        oldDn, newDn, s.counterObjectClass, [&](const char *dn, bool holder, int side) {
            if (!holder || side == 0) return;
            if (updateCounterByDN(dn, s.counterAttribute, static_cast<int>(side * moved)) != 0) {
                result = -1;
            }
        });
    return result;
}

int InitPlugin(Slapi_PBlock *pb) {
    int code = 0;
    int argc = 0;
    char **argv = nullptr;
    if (slapi_pblock_set(pb, SLAPI_PLUGIN_VERSION, const_cast<char *>(SLAPI_PLUGIN_VERSION_01)) != 0) {
        code = 1;
    } else if (slapi_pblock_set(pb, SLAPI_PLUGIN_DESCRIPTION, &pluginDescription) != 0) {
        code = 2;
    } else if (slapi_pblock_set(pb, SLAPI_PLUGIN_POST_ADD_FN,
                                reinterpret_cast<void *>(&GuardedHandler<kPluginName, postop_add>)) != 0) {
        code = 3;
    } else if (slapi_pblock_set(pb, SLAPI_PLUGIN_POST_MODIFY_FN,
                                reinterpret_cast<void *>(&GuardedHandler<kPluginName, postop_modify>)) != 0) {
        code = 4;
    } else if (slapi_pblock_set(pb, SLAPI_PLUGIN_POST_DELETE_FN,
                                reinterpret_cast<void *>(&GuardedHandler<kPluginName, postop_delete>)) != 0) {
        code = 5;
    } else if (slapi_pblock_get(pb, SLAPI_PLUGIN_ARGC, &argc) != 0) {
        code = 10;
    } else if (slapi_pblock_get(pb, SLAPI_PLUGIN_ARGV, &argv) != 0) {
        code = 11;
    }
    Settings settings;
    if (code == 0 && hv::plugins::ParseNodetallySettings(argc, argv, &settings) == 0 &&
        settings.countMoves &&
        slapi_pblock_set(pb, SLAPI_PLUGIN_POST_MODRDN_FN, reinterpret_cast<void *>(&GuardedHandler<kPluginName, postop_modrdn>)) != 0) {
        code = 6;
    }
    if (initCounterLock() != 0) code = 12;
    if (code != 0) {
        hv::plugins::Log(kInitName, "Error: %d\n", code);
        return -1;
    }
    initArgs.Remember(argc, argv);
    const std::string joined = hv::plugins::JoinArgumentsForLog(argc, argv, 0);
    hv::plugins::Log(kInitName, "plugin loaded with arguments %s\n",
                    joined.c_str());
    return 0;
}

}  // namespace

extern "C" HV_EXPORT int HVSubtreeEntryCounterPostOp_Init(Slapi_PBlock *pb) {
    return hv::plugins::CallFromC(kInitName, -1, [pb] { return InitPlugin(pb); });
}
