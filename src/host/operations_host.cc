// The host's control interface: the directory's set-up and the operations a
// client would send, with what that client would see.
#include <cstdio>
#include <memory>
#include <string>

#include "common/export.h"
#include "host/directory.h"
#include "host/dse_file.h"
#include "host/operation_order.h"
#include "host/operations.h"
#include "host/plugin_loader.h"

namespace {

int Answer(int rc, const hv::SentResult &sent, hv_op_result *res) {
    if (res != nullptr) {
        res->rc = sent.sent ? sent.code : rc;
        res->sent = sent.sent ? 1 : 0;
        std::snprintf(res->text, sizeof res->text, "%s", sent.text.c_str());
    }
    return rc;
}

}  // namespace

extern "C" {

HV_EXPORT void hv_host_reset(void) {
    hv::ForgetPlugins();
    hv::ForgetDse();
    hv::Directory::Instance().Clear();
}

HV_EXPORT int hv_dir_add_suffix(const char *suffix) {
    if (suffix == nullptr) return LDAP_INVALID_DN_SYNTAX;
    return hv::Directory::Instance().AddSuffix(suffix);
}

HV_EXPORT void hv_dir_refuse_attribute(const char *type, int on) {
    if (type != nullptr) hv::Directory::Instance().RefuseAttribute(type, on != 0);
}

HV_EXPORT Slapi_Entry *hv_dir_get_entry(const char *dn) {
    if (dn == nullptr) return nullptr;
    return hv::Directory::Instance().Get(dn, nullptr).release();
}

HV_EXPORT int hv_dir_entry_count(void) { return hv::Directory::Instance().Count(); }

HV_EXPORT int hv_op_add(Slapi_Entry *e, int flags, hv_op_result *res) {
    std::unique_ptr<Slapi_Entry> entry(e);
    hv::SentResult sent;
    int rc = LDAP_PROTOCOL_ERROR;
    if (entry != nullptr) {
        hv::OperationOrderLock inOrder(entry->dn);
        rc = hv::RunAdd(std::move(entry), flags, &sent);
    }
    return Answer(rc, sent, res);
}

HV_EXPORT int hv_op_add_ldif(const char *ldif, int flags, hv_op_result *res) {
    Slapi_Entry *e = nullptr;
    if (ldif != nullptr) {
        std::string text = ldif;  // the parse may change its text
        e = slapi_str2entry(text.data(), SLAPI_STR2ENTRY_NO_ENTRYDN);
    }
    if (e == nullptr) {
        // Nothing was asked of the directory, so no handler runs.
        if (res != nullptr) {
            res->rc = LDAP_PROTOCOL_ERROR;
            res->sent = 0;
            std::snprintf(res->text, sizeof res->text, "%s", "the LDIF text holds no entry");
        }
        return LDAP_PROTOCOL_ERROR;
    }
    return hv_op_add(e, flags, res);
}

HV_EXPORT int hv_op_delete(const char *dn, int flags, hv_op_result *res) {
    if (dn == nullptr) return Answer(LDAP_INVALID_DN_SYNTAX, {}, res);
    hv::SentResult sent;
    hv::OperationOrderLock inOrder(dn);
    return Answer(hv::RunDelete(dn, flags, &sent), sent, res);
}

HV_EXPORT int hv_op_modify(const char *dn, LDAPMod **mods, int flags, hv_op_result *res) {
    if (dn == nullptr) return Answer(LDAP_INVALID_DN_SYNTAX, {}, res);
    hv::SentResult sent;
    hv::OperationOrderLock inOrder(dn);
    return Answer(hv::RunModify(dn, mods, flags, &sent), sent, res);
}

HV_EXPORT int hv_op_modrdn(const char *dn, const char *newrdn, int deleteoldrdn,
                           const char *newsuperior, int flags, hv_op_result *res) {
    if (dn == nullptr || newrdn == nullptr) return Answer(LDAP_INVALID_DN_SYNTAX, {}, res);
    hv::SentResult sent;
    hv::OperationOrderLock inOrder(dn);
    return Answer(hv::RunModRdn(dn, newrdn, deleteoldrdn != 0, newsuperior, flags, &sent), sent, res);
}

}  // extern "C"
