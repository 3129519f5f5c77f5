// A post-operation plug-in for the host's tests.  Its handlers write one
// line per call describing what the host handed them; the tests read the
// lines back through probe_event.  Arguments ("name=value"):
//   name=X    shown in every line
//   init=fail the initialisation function fails
//   send=N    each handler sends result N with slapi_send_ldap_result
//   touch=DN  the add handler modifies DN with an internal operation
//   scribble=1
//             after its line, each handler tries to change every entry it
//             was shown (each kind of change the entry calls offer, and the
//             DN text in place) and records the results
//   grow=DN and growvalue=TYPE:VALUE
//             when DN is added, the add handler adds VALUE to its TYPE with
//             a client's modify (which runs the handlers, as an internal one
//             does not), before plug-ins loaded later see the add
//   values=TYPE
//             each line ends in " values=P/Q": how many values of TYPE the
//             entries before and after hold ("-": no entry), each value read
//             in full
//   hold=DN and holdms=N
//             when DN is added, the add handler, after its line, waits until
//             probe_release() is called or N milliseconds have passed, which
//             holds up the plug-ins loaded later
// Built against the published declarations only; the host's symbols come
// from the program that loads it.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "hv/slapi-plugin.h"

// The host's client modify (hv/slapi-host.h, whose NSPR types this probe
// does not need), from the program that loads the probe.
extern "C" int hv_op_modify(const char *dn, LDAPMod **mods, int flags, struct hv_op_result *res);

#define PROBE_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

std::mutex g_mu;
std::vector<std::string> g_events;
std::condition_variable g_released_cv;
bool g_released = false;

char kId[] = "probe";
char kVendor[] = "test";
char kVersion[] = "1.0";
char kDescription[] = "records what post-operation handlers see";
Slapi_PluginDesc g_desc = {kId, kVendor, kVersion, kDescription};
char kPluginVersion[] = SLAPI_PLUGIN_VERSION_01;

std::string Arg(Slapi_PBlock *pb, const char *name) {
    int argc = 0;
    char **argv = nullptr;
    if (slapi_pblock_get(pb, SLAPI_PLUGIN_ARGC, &argc) != 0 ||
        slapi_pblock_get(pb, SLAPI_PLUGIN_ARGV, &argv) != 0)
        return "";
    std::size_t n = std::strlen(name);
    for (int i = 0; i < argc; ++i)
        if (std::strncmp(argv[i], name, n) == 0 && argv[i][n] == '=') return argv[i] + n + 1;
    return "";
}

std::string Describe(Slapi_Entry *e) {
    if (e == nullptr) return "-";
    std::string out = slapi_entry_get_dn(e);
    char *desc = slapi_entry_attr_get_charptr(e, "description");
    if (desc != nullptr) {
        out += "[" + std::string(desc) + "]";
        slapi_ch_free_string(&desc);
    }
    return out;
}

Slapi_Entry *GetEntry(Slapi_PBlock *pb, int arg) {
    Slapi_Entry *e = nullptr;
    slapi_pblock_get(pb, arg, &e);
    return e;
}

// Values of type in e, each read to its end as a handler walking a group's
// members would; "-" without e.
std::string CountValues(Slapi_Entry *e, const std::string &type) {
    if (e == nullptr) return "-";
    Slapi_Attr *a = nullptr;
    if (slapi_entry_attr_find(e, type.c_str(), &a) != 0) return "0";
    int n = 0;
    Slapi_Value *v = nullptr;
    for (int i = slapi_attr_first_value(a, &v); i != -1; i = slapi_attr_next_value(a, i, &v)) {
        const struct berval *bv = slapi_value_get_berval(v);
        if (bv->bv_len == std::strlen(slapi_value_get_string(v))) ++n;
    }
    return std::to_string(n);
}

// Tries each change on e; the results, space-separated.
std::string Scribble(Slapi_Entry *e) {
    Slapi_Value *scribbled = slapi_value_new_string("scribbled");
    Slapi_Value *vals[] = {scribbled, nullptr};
    std::string out = std::to_string(slapi_entry_attr_replace_sv(e, "description", vals));
    out += " " + std::to_string(slapi_entry_add_values_sv(e, "seeAlso", vals));
    out += " " + std::to_string(slapi_entry_add_string(e, "seeAlso", "x"));
    out += " " + std::to_string(slapi_entry_delete_values_sv(e, "objectClass", nullptr));
    out += " " + std::to_string(slapi_entry_attr_delete(e, "description"));
    Slapi_Attr *a = nullptr;
    if (slapi_entry_attr_find(e, "objectClass", &a) == 0) {
        out += " " + std::to_string(slapi_attr_add_value(a, scribbled));
        Slapi_Value *v = nullptr;
        slapi_attr_first_value(a, &v);
        out += slapi_value_init_string(v, "scribbled") == nullptr ? " none" : " changed";
    }
    Slapi_Entry *own = slapi_entry_dup(e);
    out += " dup=" + std::to_string(slapi_entry_attr_replace_sv(own, "description", vals));
    slapi_entry_free(own);
    slapi_entry_set_dn(e, slapi_ch_strdup("cn=elsewhere"));
    slapi_dn_normalize_case(slapi_entry_get_dn(e));
    slapi_value_free(&scribbled);
    return out;
}

int Record(Slapi_PBlock *pb, const char *kind, const std::string &extra = "") {
    int rc = -1, repl = -1, argc = -1;
    char *dn = nullptr;
    LDAPMod **mods = nullptr;
    slapi_pblock_get(pb, SLAPI_PLUGIN_OPRETURN, &rc);
    slapi_pblock_get(pb, SLAPI_IS_REPLICATED_OPERATION, &repl);
    slapi_pblock_get(pb, SLAPI_TARGET_DN, &dn);
    slapi_pblock_get(pb, SLAPI_MODIFY_MODS, &mods);
    slapi_pblock_get(pb, SLAPI_PLUGIN_ARGC, &argc);
    std::string given = dn == nullptr ? "-" : dn;
    if (dn != nullptr) slapi_dn_normalize(dn);  // in place, as the counter plug-ins do
    int nmods = 0;
    for (LDAPMod **m = mods; m != nullptr && *m != nullptr; ++m) ++nmods;
    std::string line = Arg(pb, "name") + " " + kind + " rc=" + std::to_string(rc) +
                       " repl=" + std::to_string(repl) + " dn=" + given +
                       " add=" + Describe(GetEntry(pb, SLAPI_ADD_ENTRY)) +
                       " pre=" + Describe(GetEntry(pb, SLAPI_ENTRY_PRE_OP)) +
                       " post=" + Describe(GetEntry(pb, SLAPI_ENTRY_POST_OP)) +
                       " mods=" + std::to_string(nmods) + " argc=" + std::to_string(argc) + extra;
    std::string values = Arg(pb, "values");
    if (!values.empty())
        line += " values=" + CountValues(GetEntry(pb, SLAPI_ENTRY_PRE_OP), values) + "/" +
                CountValues(GetEntry(pb, SLAPI_ENTRY_POST_OP), values);
    {
        std::lock_guard lock(g_mu);
        g_events.push_back(line);
    }
    if (!Arg(pb, "scribble").empty()) {
        std::string tried = Arg(pb, "name") + " scribbled";
        for (int which : {SLAPI_ADD_ENTRY, SLAPI_ENTRY_PRE_OP, SLAPI_ENTRY_POST_OP})
            if (Slapi_Entry *e = GetEntry(pb, which)) tried += " [" + Scribble(e) + "]";
        std::lock_guard lock(g_mu);
        g_events.push_back(tried);
    }
    std::string send = Arg(pb, "send");
    if (!send.empty()) {
        char text[] = "probe refused";
        slapi_send_ldap_result(pb, std::atoi(send.c_str()), nullptr, text, 0, nullptr);
    }
    return 0;
}

// Adds one value to the entry just added, through an internal modify.
void Grow(Slapi_PBlock *pb) {
    std::string grow = Arg(pb, "grow");
    std::string spec = Arg(pb, "growvalue");
    char *dn = nullptr;
    slapi_pblock_get(pb, SLAPI_TARGET_DN, &dn);
    std::string::size_type colon = spec.find(':');
    if (grow.empty() || dn == nullptr || colon == std::string::npos || strcasecmp(dn, grow.c_str()) != 0)
        return;
    std::string type = spec.substr(0, colon);
    std::string value = spec.substr(colon + 1);
    char *values[] = {value.data(), nullptr};
    LDAPMod mod = {};
    mod.mod_op = LDAP_MOD_ADD;
    mod.mod_type = type.data();
    mod.mod_values = values;
    LDAPMod *mods[] = {&mod, nullptr};
    hv_op_modify(grow.c_str(), mods, 0, nullptr);
}

// Holds the add of the hold=DN entry up; see the arguments above.
void Hold(Slapi_PBlock *pb) {
    std::string hold = Arg(pb, "hold");
    char *dn = nullptr;
    slapi_pblock_get(pb, SLAPI_TARGET_DN, &dn);
    if (hold.empty() || dn == nullptr || strcasecmp(dn, hold.c_str()) != 0) return;
    std::unique_lock lock(g_mu);
    g_released_cv.wait_for(lock, std::chrono::milliseconds(std::atoi(Arg(pb, "holdms").c_str())),
                           [] { return g_released; });
}

int PostAdd(Slapi_PBlock *pb) {
    int rc = Record(pb, "add");
    Hold(pb);
    Grow(pb);
    std::string touch = Arg(pb, "touch");
    if (!touch.empty()) {
        char type[] = "description";
        char value[] = "touched";
        char *values[] = {value, nullptr};
        LDAPMod mod = {};
        mod.mod_op = LDAP_MOD_REPLACE;
        mod.mod_type = type;
        mod.mod_values = values;
        LDAPMod *mods[] = {&mod, nullptr};
        Slapi_PBlock *res = slapi_modify_internal(touch.data(), mods, nullptr, 1);
        int result = -1;
        slapi_pblock_get(res, SLAPI_PLUGIN_INTOP_RESULT, &result);
        slapi_pblock_destroy(res);
        std::lock_guard lock(g_mu);
        g_events.push_back(Arg(pb, "name") + " touched rc=" + std::to_string(result));
    }
    return rc;
}

int PostModify(Slapi_PBlock *pb) { return Record(pb, "modify"); }
int PostDelete(Slapi_PBlock *pb) { return Record(pb, "delete"); }
int PostModRdn(Slapi_PBlock *pb) {
    char *newrdn = nullptr;
    char *newsuperior = nullptr;
    int deleteold = -1;
    slapi_pblock_get(pb, SLAPI_MODRDN_NEWRDN, &newrdn);
    slapi_pblock_get(pb, SLAPI_MODRDN_DELOLDRDN, &deleteold);
    slapi_pblock_get(pb, SLAPI_MODRDN_NEWSUPERIOR, &newsuperior);
    return Record(pb, "modrdn",
                  std::string(" newrdn=") + (newrdn == nullptr ? "-" : newrdn) +
                      " deleteold=" + std::to_string(deleteold) +
                      " newsuperior=" + (newsuperior == nullptr ? "-" : newsuperior));
}

}  // namespace

PROBE_EXPORT int probe_init(Slapi_PBlock *pb) {
    if (Arg(pb, "init") == "fail") return -1;
    if (slapi_pblock_set(pb, SLAPI_PLUGIN_VERSION, kPluginVersion) != 0 ||
        slapi_pblock_set(pb, SLAPI_PLUGIN_DESCRIPTION, &g_desc) != 0 ||
        slapi_pblock_set(pb, SLAPI_PLUGIN_POST_ADD_FN, reinterpret_cast<void *>(&PostAdd)) != 0 ||
        slapi_pblock_set(pb, SLAPI_PLUGIN_POST_MODIFY_FN, reinterpret_cast<void *>(&PostModify)) != 0 ||
        slapi_pblock_set(pb, SLAPI_PLUGIN_POST_DELETE_FN, reinterpret_cast<void *>(&PostDelete)) != 0 ||
        slapi_pblock_set(pb, SLAPI_PLUGIN_POST_MODRDN_FN, reinterpret_cast<void *>(&PostModRdn)) != 0)
        return -1;
    return 0;
}

PROBE_EXPORT int probe_event_count(void) {
    std::lock_guard lock(g_mu);
    return static_cast<int>(g_events.size());
}

// Copies event i into buf (cut to fit); 0, or -1 when there is no such event.
PROBE_EXPORT int probe_event(int i, char *buf, int len) {
    std::lock_guard lock(g_mu);
    if (i < 0 || i >= static_cast<int>(g_events.size()) || len <= 0) return -1;
    std::snprintf(buf, static_cast<std::size_t>(len), "%s", g_events[static_cast<std::size_t>(i)].c_str());
    return 0;
}

PROBE_EXPORT void probe_clear(void) {
    std::lock_guard lock(g_mu);
    g_events.clear();
    g_released = false;
}

// Lets a held add go on (see hold=DN).
PROBE_EXPORT void probe_release(void) {
    {
        std::lock_guard lock(g_mu);
        g_released = true;
    }
    g_released_cv.notify_all();
}
