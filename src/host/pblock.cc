// Parameter blocks.  Every parameter is a reference stored as given, except
// the result text, which the block copies.  A block never frees what its
// parameters point to: argv, entries and modification lists stay their
// setter's (search results are released by
// slapi_free_search_results_internal).
#include <cstring>

#include "common/export.h"
#include "host/host_impl.h"

namespace {

bool IsFunction(int arg) {
    return arg == SLAPI_PLUGIN_POST_MODIFY_FN || arg == SLAPI_PLUGIN_POST_ADD_FN ||
           arg == SLAPI_PLUGIN_POST_DELETE_FN || arg == SLAPI_PLUGIN_POST_MODRDN_FN;
}

int *IntParam(hv::PBlockImpl *p, int arg) {
    switch (arg) {
    case SLAPI_PLUGIN_ARGC: return &p->argc;
    case SLAPI_PLUGIN_OPRETURN: return &p->opreturn;
    case SLAPI_PLUGIN_INTOP_RESULT: return &p->intop_result;
    case SLAPI_IS_REPLICATED_OPERATION: return &p->is_replicated;
    case SLAPI_MODRDN_DELOLDRDN: return &p->deleteoldrdn;
    case hv::kPbResultSent: return &p->result_sent;
    case hv::kPbResultCode: return &p->result_code;
    default: return nullptr;
    }
}

// Pointer-valued parameters, as the address of the stored pointer.
void **PointerParam(hv::PBlockImpl *p, int arg) {
    switch (arg) {
    case SLAPI_PLUGIN_ARGV: return reinterpret_cast<void **>(&p->argv);
    case SLAPI_PLUGIN_VERSION: return reinterpret_cast<void **>(&p->plugin_version);
    case SLAPI_PLUGIN_DESCRIPTION: return reinterpret_cast<void **>(&p->description);
    case SLAPI_PLUGIN_INTOP_SEARCH_ENTRIES: return reinterpret_cast<void **>(&p->search_entries);
    case SLAPI_TARGET_DN: return reinterpret_cast<void **>(&p->target_dn);
    case SLAPI_ENTRY_PRE_OP: return reinterpret_cast<void **>(&p->pre_op);
    case SLAPI_ENTRY_POST_OP: return reinterpret_cast<void **>(&p->post_op);
    case SLAPI_ADD_ENTRY: return reinterpret_cast<void **>(&p->add_entry);
    case SLAPI_MODIFY_MODS: return reinterpret_cast<void **>(&p->mods);
    case SLAPI_MODRDN_NEWRDN: return reinterpret_cast<void **>(&p->newrdn);
    case SLAPI_MODRDN_NEWSUPERIOR: return reinterpret_cast<void **>(&p->newsuperior);
    default: return nullptr;
    }
}

}  // namespace

namespace hv {

PBlockImpl *Impl(Slapi_PBlock *pb) {
    return pb == nullptr ? nullptr : static_cast<PBlockImpl *>(pb->pb_impl);
}

}  // namespace hv

extern "C" {

HV_EXPORT void pblock_init(Slapi_PBlock *pb) {
    if (pb != nullptr) pb->pb_impl = new hv::PBlockImpl();
}

HV_EXPORT void pblock_done(Slapi_PBlock *pb) {
    if (pb == nullptr) return;
    delete hv::Impl(pb);
    pb->pb_impl = nullptr;
}

HV_EXPORT Slapi_PBlock *slapi_pblock_new(void) {
    auto *pb = new slapi_pblock();
    pblock_init(pb);
    return pb;
}

HV_EXPORT void slapi_pblock_destroy(Slapi_PBlock *pb) {
    if (pb == nullptr) return;
    pblock_done(pb);
    delete pb;
}

// value is the address of storage of the parameter's type.
HV_EXPORT int slapi_pblock_get(Slapi_PBlock *pb, int arg, void *value) {
    hv::PBlockImpl *p = hv::Impl(pb);
    if (p == nullptr || value == nullptr) return -1;
    if (int *i = IntParam(p, arg)) {
        *static_cast<int *>(value) = *i;
        return 0;
    }
    if (void **ptr = PointerParam(p, arg)) {
        *static_cast<void **>(value) = *ptr;
        return 0;
    }
    if (IsFunction(arg)) {
        auto it = p->functions.find(arg);
        *static_cast<Slapi_PluginFunc *>(value) = it == p->functions.end() ? nullptr : it->second;
        return 0;
    }
    if (arg == hv::kPbResultText) {
        *static_cast<char **>(value) = p->result_text.data();
        return 0;
    }
    return -1;
}

// value is the address of an int for int parameters, else the pointer (or
// function) itself.
HV_EXPORT int slapi_pblock_set(Slapi_PBlock *pb, int arg, void *value) {
    hv::PBlockImpl *p = hv::Impl(pb);
    if (p == nullptr) return -1;
    if (int *i = IntParam(p, arg)) {
        if (value == nullptr) return -1;
        *i = *static_cast<int *>(value);
        return 0;
    }
    if (void **ptr = PointerParam(p, arg)) {
        *ptr = value;
        return 0;
    }
    if (IsFunction(arg)) {
        if (value == nullptr) {
            p->functions.erase(arg);
        } else {
            p->functions[arg] = reinterpret_cast<Slapi_PluginFunc>(value);
        }
        return 0;
    }
    if (arg == hv::kPbResultText) {
        p->result_text = value == nullptr ? "" : static_cast<const char *>(value);
        return 0;
    }
    return -1;
}

}  // extern "C"
