// The certificate database step of the upgrade.  Phase 0 converts the
// instance's cert7 database to cert8 by opening it through NSS; phase 1
// points hvCertfile of "cn=encryption,cn=config" at the new file.
#include "migrate/certdb.h"

#include <nss.h>
#include <prerror.h>
#include <prinit.h>
#include <prio.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "hv/slapi-host.h"
#include "hv/slapi-plugin.h"
#include "migrate/instance.h"
#include "migrate/migrate_paths.h"
#include "migrate/result_codes.h"

namespace {

constexpr char kEncryptionDn[] = "cn=encryption,cn=config";
constexpr char kCertfileAttr[] = "hvCertfile";

// lstat of path through the current instance's server root; 0 or errno.
int Examine(const std::string &path, struct stat *st) {
    hv::migrate::Location where(path);
    return where.error() != 0 ? where.error() : where.dir().Lstat(where.rel(), st);
}

bool Exists(const std::string &path) {
    struct stat st {};
    return Examine(path, &st) == 0;
}

// NSS opens these files by name: each must be absent or a regular file, and
// the directory holding them a directory, none of them a link.
bool SafeForNss(const char *serverroot, const char *instancename) {
    std::string alias;
    if (!hv::migrate::BuildPath(&alias, "%s/alias", serverroot)) return false;
    struct stat st {};
    int err = Examine(alias, &st);
    // Anything else that is not a directory makes NSS fail by itself.
    if (err == 0 && S_ISLNK(st.st_mode)) {
        hv::migrate::ReportRefused(alias);
        return false;
    }
    if (err != 0 || !S_ISDIR(st.st_mode)) return true;
    for (const char *fmt : {"%s/%s-cert7.db", "%s/%s-cert8.db", "%s/%s-key3.db", "%s/secmod.db"}) {
        std::string file;
        if (!hv::migrate::BuildPath(&file, fmt, alias.c_str(), instancename)) return false;
        err = Examine(file, &st);
        if (err == ENOENT) continue;
        if (err == 0 && S_ISREG(st.st_mode)) continue;
        hv::migrate::ReportRefused(file);
        return false;
    }
    return true;
}

// Holders for the host's handles, released on every path.
struct SdnHolder {
    Slapi_DN *sdn;
    ~SdnHolder() { slapi_sdn_free(&sdn); }
};
struct EntryHolder {
    Slapi_Entry *entry = nullptr;
    ~EntryHolder() {
        if (entry != nullptr) slapi_entry_free(entry);
    }
};
struct PBlockHolder {
    Slapi_PBlock pb{};
    PBlockHolder() { pblock_init(&pb); }
    ~PBlockHolder() { pblock_done(&pb); }
};

int ConvertDatabase(const char *serverroot, const char *instancename) {
    std::string cert7, cert8;
    if (!hv::migrate::BuildPath(&cert7, "%s/alias/%s-cert7.db", serverroot, instancename) ||
        !hv::migrate::BuildPath(&cert8, "%s/alias/%s-cert8.db", serverroot, instancename)) {
        return kResultNotPossible;
    }
    if (!Exists(cert7)) return kResultOk;
    if (Exists(cert8) && renameFileAsBackup(cert8.c_str()) != 0) {
        std::printf("Couldn't rename old %s certificate database, so won't be able to upgrade %s.\n",
                    cert8.c_str(), cert7.c_str());
        return kResultNotPossible;
    }
    int rc = upgrade_certdb(serverroot, instancename);
    if (rc != kResultOk) return rc;
    // A library that was already initialised elsewhere in the process would
    // report success without opening our files: only a written cert8 file
    // counts as a conversion.
    if (!Exists(cert8)) {
        std::printf("Security databases were opened, but %s was not written.\n", cert8.c_str());
        return kResultFailed;
    }
    return kResultOk;
}

int UpdateConfiguration(const char *serverroot, const char *instancename) {
    std::string cert8, value;
    if (!hv::migrate::BuildPath(&cert8, "%s/alias/%s-cert8.db", serverroot, instancename) ||
        !hv::migrate::BuildPath(&value, "alias/%s-cert8.db", instancename)) {
        return kResultNotPossible;
    }
    if (!Exists(cert8)) return kResultOk;

    SdnHolder sdn{slapi_sdn_new_dn_byval(kEncryptionDn)};
    EntryHolder found;
    if (slapi_search_internal_get_entry(sdn.sdn, nullptr, &found.entry,
                                        plugin_get_default_component_id()) != 0) {
        return kResultNotPossible;
    }
    if (found.entry == nullptr) return kResultNotPossible;
    Slapi_Attr *attr = nullptr;
    if (slapi_entry_attr_find(found.entry, kCertfileAttr, &attr) != 0) return kResultOk;
    if (slapi_entry_attr_hasvalue(found.entry, kCertfileAttr, value.c_str())) return kResultOk;

    char type[] = "hvCertfile";
    char *vals[] = {value.data(), nullptr};
    LDAPMod mod{};
    mod.mod_op = LDAP_MOD_REPLACE;
    mod.mod_type = type;
    mod.mod_values = vals;
    LDAPMod *mods[] = {&mod, nullptr};

    PBlockHolder block;
    slapi_modify_internal_set_pb(&block.pb, kEncryptionDn, mods, nullptr, nullptr,
                                 plugin_get_default_component_id(), 0);
    // A modify that could not be run at all counts as failed too.
    int ran = slapi_modify_internal_pb(&block.pb);
    int opresult = LDAP_OPERATIONS_ERROR;
    if (slapi_pblock_get(&block.pb, SLAPI_PLUGIN_INTOP_RESULT, &opresult) != 0) {
        opresult = LDAP_OPERATIONS_ERROR;
    }
    if (ran != 0 && opresult == LDAP_SUCCESS) opresult = LDAP_OPERATIONS_ERROR;
    if (opresult != 0) {
        slapi_log_warning_ex(39169, -1, -1, -1, 0, "Operation ",
                             "Cannot upgrade encryption, error %1$d on entry '%2$s'\n", opresult,
                             kEncryptionDn);
        return kResultFailed;
    }
    return kResultOk;
}

}  // namespace

int renameFileAsBackup(const char *path) {
    hv::migrate::Location where(path);
    if (where.error() != 0) return -1;
    // Takes the first of path_bak0, path_bak1, ... that does not exist.
    for (unsigned long n = 0;; ++n) {
        std::string candidate = where.rel() + "_bak" + std::to_string(n);
        struct stat st {};
        int err = where.dir().Lstat(candidate, &st);
        if (err == ENOENT) return where.dir().Rename(where.rel(), candidate) == 0 ? 0 : -1;
        if (err != 0) return -1;
    }
}

int upgrade_certdb(const char *serverroot, const char *instancename) {
    // NSS opens SQL databases (cert9/key4) when the directory has no prefix;
    // with "dbm:" it opens the old file formats and, finding the cert7 file
    // and no cert8 file, writes the cert8 file from it, certificates and
    // all.  That opening is the whole conversion.
    std::string configdir, prefix;
    if (!hv::migrate::BuildPath(&configdir, "dbm:%s/alias", serverroot) ||
        !hv::migrate::BuildPath(&prefix, "%s-", instancename)) {
        return kResultNotPossible;
    }
    if (!SafeForNss(serverroot, instancename)) {
        std::printf("Security databases of %s were not opened.\n", instancename);
        std::fflush(stdout);
        return kResultNotPossible;
    }
    PR_Init(PR_USER_THREAD, PR_PRIORITY_NORMAL, 0);
    if (NSS_Initialize(configdir.c_str(), prefix.c_str(), prefix.c_str(), "secmod.db", 0) !=
        SECSuccess) {
        std::printf("Couldn't initialize security databases. - Error Code: %d", PR_GetError());
        std::fflush(stdout);
        return kResultFailed;
    }
    // Closes the files so that the next instance (or a later call in the
    // same process) is opened afresh.
    NSS_Shutdown();
    return kResultOk;
}

int upgrade_NSS334_to_NSS336(int phase, const char *serverroot, const char *instancename) {
    switch (phase) {
        case 0: return ConvertDatabase(serverroot, instancename);
        case 1: return UpdateConfiguration(serverroot, instancename);
        default: return kResultOk;
    }
}
