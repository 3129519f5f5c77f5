// Internal operations of the published plug-in interface: searches and
// changes that plug-ins and the server's own programs make in process.
// Changes run no post-operation handlers, as in OpenLDAP's slapd: a counter
// write then costs one change of the directory, not another round of every
// plug-in's handlers, and the plug-ins see the same operations in both hosts.
#include <memory>
#include <string>
#include <vector>

#include "common/export.h"
#include "host/directory.h"
#include "host/dse_file.h"
#include "host/filter.h"
#include "host/operations.h"

namespace {

// The protocol's result code for a filter the server cannot use.  The LDAP
// client library's LDAP_FILTER_ERROR is a negative, client-side code that
// no server sends.
constexpr int kFilterError = 87;

int InternalModify(std::string_view dn, LDAPMod **mods) { return hv::ApplyModify(dn, mods, nullptr, nullptr); }

Slapi_PBlock *ResultBlock(int rc) {
    Slapi_PBlock *pb = slapi_pblock_new();
    hv::Impl(pb)->intop_result = rc;
    return pb;
}

// The search results, an array ended by none, allocated like every record
// the host hands out; slapi_free_search_results_internal releases it.
Slapi_Entry **EntryArray(std::vector<std::unique_ptr<Slapi_Entry>> *found) {
    auto **arr = reinterpret_cast<Slapi_Entry **>(
        slapi_ch_calloc(static_cast<unsigned long>(found->size() + 1), sizeof(Slapi_Entry *)));
    for (std::size_t i = 0; i < found->size(); ++i) arr[i] = (*found)[i].release();
    return arr;
}

}  // namespace

extern "C" {

HV_EXPORT Slapi_ComponentId *plugin_get_default_component_id(void) {
    static slapi_componentid *id = new slapi_componentid{"directory server"};
    return id;
}

HV_EXPORT Slapi_PBlock *slapi_search_internal(char *base, int scope, char *filter,
                                              LDAPControl ** /*controls*/, char **attrs,
                                              int attrsonly) {
    std::vector<std::unique_ptr<Slapi_Entry>> found;
    int rc = kFilterError;
    std::unique_ptr<hv::Filter> f = filter == nullptr ? nullptr : hv::Filter::Parse(filter);
    if (f != nullptr)
        rc = hv::Directory::Instance().Search(base == nullptr ? "" : base, scope, *f, attrs,
                                              attrsonly, &found);
    if (rc != LDAP_SUCCESS) found.clear();
    Slapi_PBlock *pb = ResultBlock(rc);
    hv::Impl(pb)->search_entries = EntryArray(&found);
    return pb;
}

HV_EXPORT void slapi_free_search_results_internal(Slapi_PBlock *pb) {
    if (pb == nullptr) return;
    hv::PBlockImpl *b = hv::Impl(pb);
    if (b == nullptr || b->search_entries == nullptr) return;
    for (Slapi_Entry **e = b->search_entries; *e != nullptr; ++e) slapi_entry_free(*e);
    slapi_ch_free(reinterpret_cast<void **>(&b->search_entries));
}

HV_EXPORT int slapi_search_internal_get_entry(Slapi_DN *dn, char **attrlist,
                                              Slapi_Entry **ret_entry, void * /*identity*/) {
    if (ret_entry != nullptr) *ret_entry = nullptr;
    if (dn == nullptr || ret_entry == nullptr) return LDAP_PARAM_ERROR;
    std::string ndn;
    if (!hv::NormalizeDn(dn->dn, &ndn)) return LDAP_INVALID_DN_SYNTAX;
    std::unique_ptr<Slapi_Entry> e = hv::Directory::Instance().Get(dn->dn, attrlist);
    if (e == nullptr) return LDAP_NO_SUCH_OBJECT;
    *ret_entry = e.release();
    return LDAP_SUCCESS;
}

HV_EXPORT Slapi_PBlock *slapi_modify_internal(char *dn, LDAPMod **mods, LDAPControl ** /*controls*/,
                                              int /*log_change*/) {
    int rc = dn == nullptr ? LDAP_INVALID_DN_SYNTAX : InternalModify(dn, mods);
    return ResultBlock(rc);
}

HV_EXPORT void slapi_modify_internal_set_pb(Slapi_PBlock *pb, const char *dn, LDAPMod **mods,
                                            LDAPControl ** /*controls*/, const char * /*uniqueid*/,
                                            Slapi_ComponentId *plugin_identity,
                                            int /*operation_flags*/) {
    hv::PBlockImpl *b = pb == nullptr ? nullptr : hv::Impl(pb);
    if (b == nullptr) return;
    if (dn != nullptr) {
        b->owned_target_dn = dn;
        b->target_dn = b->owned_target_dn.data();
    } else {
        b->owned_target_dn.clear();
        b->target_dn = nullptr;
    }
    b->mods = mods;
    b->identity = plugin_identity;
}

HV_EXPORT int slapi_modify_internal_pb(Slapi_PBlock *pb) {
    hv::PBlockImpl *b = pb == nullptr ? nullptr : hv::Impl(pb);
    if (b == nullptr) return -1;
    if (b->target_dn == nullptr) {
        b->intop_result = LDAP_INVALID_DN_SYNTAX;
        return -1;
    }
    std::string dn = b->target_dn;
    b->intop_result = InternalModify(dn, b->mods);
    return 0;
}

// Takes ownership of e, as the published call does.
HV_EXPORT Slapi_PBlock *slapi_add_entry_internal(Slapi_Entry *e, LDAPControl ** /*controls*/,
                                                 int /*log_change*/) {
    return ResultBlock(hv::ApplyAdd(std::unique_ptr<Slapi_Entry>(e)));
}

HV_EXPORT Slapi_PBlock *slapi_delete_internal(char *dn, LDAPControl ** /*controls*/,
                                              int /*log_change*/) {
    return ResultBlock(dn == nullptr ? LDAP_INVALID_DN_SYNTAX
                                     : hv::ApplyDelete(dn, nullptr));
}

HV_EXPORT Slapi_PBlock *slapi_rename_internal(const char *dn, const char *newrdn,
                                              const char *newsuperior, int deloldrdn,
                                              LDAPControl ** /*controls*/, int /*log_change*/) {
    if (dn == nullptr || newrdn == nullptr) return ResultBlock(LDAP_INVALID_DN_SYNTAX);
    return ResultBlock(hv::ApplyModRdn(dn, newrdn, deloldrdn != 0, newsuperior, nullptr, nullptr));
}

HV_EXPORT void slapi_send_ldap_result(Slapi_PBlock *pb, int err, char * /*matched*/, char *text,
                                      int /*nentries*/, struct berval ** /*urls*/) {
    hv::PBlockImpl *b = pb == nullptr ? nullptr : hv::Impl(pb);
    if (b == nullptr) return;
    b->result_sent = 1;
    b->result_code = err;
    b->result_text = text == nullptr ? "" : text;
}

}  // extern "C"
