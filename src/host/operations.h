// Running one add, delete, modify or modify-RDN against the directory, then every
// registered post-operation handler of its kind, whether the operation
// succeeded or not.  The client operations of the host interface; the
// internal operations of the plug-in interface run no handlers.
//
// Thread-safety: may run on many threads at once; no directory lock is held
// while handlers run, so handlers may start internal operations of their own.
#ifndef HV_HOST_OPERATIONS_H
#define HV_HOST_OPERATIONS_H

#include <memory>
#include <string>
#include <string_view>

#include "host/host_impl.h"

namespace hv {

// The first result a handler sent with slapi_send_ldap_result.
struct SentResult {
    bool sent = false;
    int code = 0;
    std::string text;
};

// The directory change alone, with its write-back to a loaded configuration
// file (undone, and LDAP_OPERATIONS_ERROR, when the file cannot take it); no
// handler runs.  The internal operations.  pre and post may be none; else
// they receive copies of the entry before and after.
int ApplyAdd(std::unique_ptr<Slapi_Entry> e);
int ApplyDelete(std::string_view dn, std::unique_ptr<Slapi_Entry> *pre);
int ApplyModify(std::string_view dn, LDAPMod **mods, std::unique_ptr<Slapi_Entry> *pre,
                std::unique_ptr<Slapi_Entry> *post);
int ApplyModRdn(std::string_view dn, std::string_view newrdn, bool deleteoldrdn, const char *newsuperior,
                std::unique_ptr<Slapi_Entry> *pre, std::unique_ptr<Slapi_Entry> *post);

// The client operations: the change, then the handlers.
// flags: HV_OP_REPLICATED or 0.  sent may be none.  Each returns the
// operation's own LDAP result code.
int RunAdd(std::unique_ptr<Slapi_Entry> e, int flags, SentResult *sent);
int RunDelete(std::string_view dn, int flags, SentResult *sent);
int RunModify(std::string_view dn, LDAPMod **mods, int flags, SentResult *sent);
// newsuperior none: the entry keeps its parent.
int RunModRdn(std::string_view dn, std::string_view newrdn, bool deleteoldrdn,
              const char *newsuperior, int flags, SentResult *sent);

}  // namespace hv

#endif  // HV_HOST_OPERATIONS_H
