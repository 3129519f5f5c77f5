// Inside of the host library: the records behind the opaque handles of the
// plug-in interface, shared by the host's own source files.  Nothing here is
// visible outside libhvhost.
#ifndef HV_HOST_IMPL_H
#define HV_HOST_IMPL_H

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "hv/slapi-host.h"
#include "hv/slapi-plugin.h"
#include "host/locks.h"
#include "host/value_list.h"

// Values keep their bytes in `data`; `bv` always points into it, so the
// berval handed out stays valid as long as the value lives unchanged.
struct slapi_value {
    std::string data;
    struct berval bv {};
    bool shared = false;  // part of an entry shown to several handlers
    void Sync() {
        bv.bv_len = data.size();
        bv.bv_val = data.data();
    }
};

// Attribute type as spelled when first seen; values in the order added.
struct slapi_attr {
    std::string type;
    hv::ValueList values;
    bool shared = false;  // part of an entry shown to several handlers
};

// An entry: its DN as given, the normalized and case-folded DN (kept in step
// with dn by hv::SetEntryDn), attributes in the order read.
// An entry marked shared is shown to several handlers at once: the calls
// that would change it, its attributes or values refuse (see hv::ShareEntry).
struct slapi_entry {
    std::string dn;
    std::string ndn;
    std::vector<std::unique_ptr<slapi_attr>> attrs;
    bool shared = false;
};

struct slapi_dn {
    std::string dn;
    std::string ndn;
};

// Plug-ins hold their mutexes for a few microseconds (a counter's re-read
// and write).
struct slapi_mutex {
    hv::AdaptiveMutex mu;
};

struct slapi_componentid {
    std::string name;
};

namespace hv {

// Host-private parameter numbers, outside the published range.
enum : int {
    kPbResultSent = 9001,  // int: slapi_send_ldap_result was called
    kPbResultCode = 9002,  // int: code it sent
    kPbResultText = 9003,  // char *: text it sent (block-owned copy)
};

// Contents of a parameter block.  Pointers stored by slapi_pblock_set are
// references: the block frees only what it owns (owned_* members, and the
// search results through slapi_free_search_results_internal).
struct PBlockImpl {
    // plug-in registration
    int argc = 0;
    char **argv = nullptr;
    char *plugin_version = nullptr;
    Slapi_PluginDesc *description = nullptr;
    std::map<int, Slapi_PluginFunc> functions;
    // operation data
    int opreturn = 0;
    int is_replicated = 0;
    char *target_dn = nullptr;
    Slapi_Entry *add_entry = nullptr;
    Slapi_Entry *pre_op = nullptr;
    Slapi_Entry *post_op = nullptr;
    LDAPMod **mods = nullptr;
    char *newrdn = nullptr;
    int deleteoldrdn = 0;
    char *newsuperior = nullptr;
    // internal operation results
    int intop_result = 0;
    Slapi_Entry **search_entries = nullptr;
    // result sent to the client
    int result_sent = 0;
    int result_code = 0;
    std::string result_text;
    // owned storage (for example the DN copied by slapi_modify_internal_set_pb)
    std::string owned_target_dn;
    Slapi_ComponentId *identity = nullptr;
};

PBlockImpl *Impl(Slapi_PBlock *pb);

// Entry helpers used across the host.
void SetEntryDn(Slapi_Entry *e, std::string_view dn);
slapi_attr *FindAttr(const Slapi_Entry *e, std::string_view type);
bool TypeEquals(std::string_view a, std::string_view b);  // case-insensitive, base types
// A copy with values of its own, free to change (slapi_entry_dup, search
// results).
std::unique_ptr<Slapi_Entry> CopyEntry(const Slapi_Entry &e);
// A copy for handlers to read: it shares e's values (see ValueList::Share),
// so it costs a pointer per chunk of values, and its values refuse change.
// A later change to e leaves it as it was.  The caller has e to itself.
std::unique_ptr<Slapi_Entry> SnapshotEntry(const Slapi_Entry &e);
// Copy holding only the listed attribute types (attrs none: all).
std::unique_ptr<Slapi_Entry> CopyEntryWith(const Slapi_Entry &e, char **attrs);
// Marks e, its attributes and values shared: read-only for the entry,
// attribute and value calls from then on.  Copies made of it are not.
// Values shared already (of a snapshot) cost nothing more.
void ShareEntry(Slapi_Entry *e);

// Normalized, case-folded form of a DN; false when it does not parse.
bool NormalizeDn(std::string_view dn, std::string *ndn);

// Strings handed to callers come from the host allocator.
char *HostStrdup(std::string_view s);

}  // namespace hv

#endif  // HV_HOST_IMPL_H
