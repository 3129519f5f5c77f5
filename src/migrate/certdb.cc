// The certificate database step of the upgrade.  Phase 0 converts the
// instance's cert7 database to cert8 by opening it through NSS; phase 1
// points hvCertfile of "cn=encryption,cn=config" at the new file.
#include "migrate/certdb.h"

#include <nss.h>
#include <prerror.h>
#include <prinit.h>
#include <sys/stat.h>

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "common/dir.h"
#include "hv/slapi-host.h"
#include "hv/slapi-plugin.h"
#include "migrate/certdb_listing.h"
#include "migrate/instance.h"
#include "migrate/migrate_paths.h"
#include "migrate/result_codes.h"

namespace {

constexpr char kEncryptionDn[] = "cn=encryption,cn=config";
constexpr char kCertfileAttr[] = "hvCertfile";

// The step's own messages name it, the file and the reason.
#define CERT_STEP_ERROR(fmt, ...) \
    std::fprintf(stderr, "upgrade_NSS334_to_NSS336: " fmt "\n", __VA_ARGS__)

// lstat of path through the current instance's server root; 0 or errno.
int Examine(const std::string &path, struct stat *st) {
    hv::migrate::Location where(path);
    return where.error() != 0 ? where.error() : where.dir().Lstat(where.rel(), st);
}

bool Exists(const std::string &path) {
    struct stat st {};
    return Examine(path, &st) == 0;
}

// Whether path exists: false with *failed unset when it does not (ENOENT);
// a path that cannot be examined (its directory unreadable, an I/O error)
// sets *failed after naming it, for not looking is not finding nothing.
bool Present(const std::string &path, bool *failed) {
    struct stat st {};
    int err = Examine(path, &st);
    if (err == 0) return true;
    if (err != ENOENT) {
        CERT_STEP_ERROR("%s cannot be examined: %s; the certificate database step fails", path.c_str(),
                        std::strerror(err));
        *failed = true;
    }
    return false;
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

// The first rel_bakN beneath dir that does not exist: 0, or the errno of
// looking.
int FreeBackupRel(const hv::Dir &dir, const std::string &rel, std::string *out) {
    for (unsigned long n = 0;; ++n) {
        *out = rel + "_bak" + std::to_string(n);
        struct stat st {};
        int err = dir.Lstat(*out, &st);
        if (err == ENOENT) return 0;
        if (err != 0) return err;
    }
}

// A database file as it was before NSS opened anything.
struct OldFile {
    explicit OldFile(std::string p) : path(std::move(p)) {}
    std::string path;
    bool present = false;
    std::string bytes;
    mode_t mode = 0600;
};

bool ReadOld(OldFile *f) {
    hv::migrate::Location where(f->path);
    struct stat st {};
    int err = where.error() != 0 ? where.error() : where.dir().Lstat(where.rel(), &st);
    if (err == ENOENT) return true;  // absent
    if (err == 0) err = where.dir().ReadFile(where.rel(), &f->bytes);
    if (err != 0) {
        CERT_STEP_ERROR("%s cannot be read: %s; nothing converted", f->path.c_str(),
                        hv::IsRefusal(err) ? "a symbolic link or not a regular file" : std::strerror(err));
        return false;
    }
    f->mode = st.st_mode & 07777;
    f->present = true;
    return true;
}

// Writes f's bytes as rel beneath dir, replacing what is there through a
// temporary file: 0 or errno.
int WriteOwned(const hv::Dir &dir, const std::string &rel, const OldFile &f) {
    return dir.ReplaceFile(rel, f.bytes, f.mode, ::geteuid(), ::getegid());
}

// Keeps a byte-for-byte copy beside the file before NSS opens it.
bool CopyAside(const OldFile &f) {
    if (!f.present) return true;
    hv::migrate::Location where(f.path);
    std::string copy;
    int err = where.error();
    if (err == 0) err = FreeBackupRel(where.dir(), where.rel(), &copy);
    if (err == 0) err = WriteOwned(where.dir(), copy, f);
    if (err == 0) return true;
    CERT_STEP_ERROR("a copy of %s cannot be kept as %s_bakN: %s; nothing converted", f.path.c_str(),
                    f.path.c_str(), std::strerror(err));
    return false;
}

// Puts a file back as it was when NSS changed or removed it.
bool PutBack(const OldFile &f) {
    if (!f.present) return true;
    hv::migrate::Location where(f.path);
    int err = where.error();
    std::string now;
    if (err == 0 && where.dir().ReadFile(where.rel(), &now) == 0 && now == f.bytes) return true;
    if (err == 0) err = WriteOwned(where.dir(), where.rel(), f);
    if (err == 0) {
        CERT_STEP_ERROR("NSS changed %s; it was put back as it was", f.path.c_str());
        return true;
    }
    CERT_STEP_ERROR("NSS changed %s and it cannot be put back: %s; its copy *_bakN beside it is intact",
                    f.path.c_str(), std::strerror(err));
    return false;
}

constexpr char kScratchPrefix[] = "hvcertdb.";

// Where scratch directories go: $TMPDIR when absolute, else /tmp.
std::string ScratchParent() {
    const char *tmp = std::getenv("TMPDIR");
    return tmp != nullptr && tmp[0] == '/' ? tmp : "/tmp";
}

// Removes the scratch directories of earlier runs that were killed or could
// not remove them: only this tool's ("hvcertdb.<pid>.XXXXXX", the pid of a
// process that is gone), owned by the effective user, real directories.
// Each is named on standard error, removed or not.
void RemoveStaleScratch(const hv::Dir &top) {
    std::vector<std::string> names;
    if (top.List("", &names) != 0) return;
    for (const std::string &name : names) {
        if (name.compare(0, sizeof kScratchPrefix - 1, kScratchPrefix) != 0) continue;
        const char *p = name.c_str() + sizeof kScratchPrefix - 1;
        char *end = nullptr;
        long pid = std::strtol(p, &end, 10);
        if (end == p || *end != '.' || std::strlen(end + 1) != 6 || pid <= 0) continue;
        if (::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) continue;  // its run may still work in it
        struct stat st {};
        if (top.Lstat(name, &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid()) continue;
        std::string failed;
        int err = top.RemoveTree(name, &failed);
        if (err == 0)
            CERT_STEP_ERROR("%s: removed, a scratch directory left by an earlier run", top.PathOf(name).c_str());
        else
            CERT_STEP_ERROR("%s: a scratch directory left by an earlier run cannot be removed (%s at %s)",
                            top.PathOf(name).c_str(), std::strerror(err), failed.c_str());
    }
}

// What the old database holds, as NSS reads it: a private scratch directory
// (mode 0700) gets copies of the old files and NSS converts them there, so
// the instance's own files are not opened yet.  The directory goes on every
// path; one that cannot go is named, and the next run removes it.
bool ListOld(const OldFile &cert7, const OldFile &key3, const std::string &prefix,
             hv::migrate::NssListing *out, std::string *why) {
    const std::string parent = ScratchParent();
    int err = 0;
    std::unique_ptr<hv::Dir> top = hv::Dir::Open(hv::Env::Default(), parent, &err);
    if (top == nullptr) {
        *why = "no scratch directory in " + parent + ": " + std::strerror(err);
        return false;
    }
    RemoveStaleScratch(*top);
    std::string dir = parent + "/" + kScratchPrefix + std::to_string(::getpid()) + ".XXXXXX";
    if (::mkdtemp(dir.data()) == nullptr) {
        *why = std::string("no scratch directory: ") + std::strerror(errno);
        return false;
    }
    std::string name = dir.substr(parent.size() + 1);
    std::unique_ptr<hv::Dir> scratch = top->OpenSubdir(name, &err);
    if (scratch != nullptr) err = WriteOwned(*scratch, prefix + "cert7.db", cert7);
    if (err == 0 && key3.present) err = WriteOwned(*scratch, prefix + "key3.db", key3);
    bool ok = err == 0;
    if (!ok) *why = std::string("scratch copy failed: ") + std::strerror(err);
    if (ok) ok = hv::migrate::ListNssDatabase("dbm:" + dir, prefix, false, out, why);
    scratch.reset();
    std::string failed;
    if (int gone = top->RemoveTree(name, &failed))
        CERT_STEP_ERROR("the scratch directory %s cannot be removed (%s at %s); the next run removes it",
                        dir.c_str(), std::strerror(gone), failed.c_str());
    return ok;
}

// Makes what NSS wrote by name durable: it neither syncs the files nor
// their directory, and the configuration must not name a database that a
// power loss could still take back.  0, or the step's failing code after a
// message.
int MakeDatabaseDurable(const char *serverroot, const char *instancename) {
    std::string alias;
    if (!hv::migrate::BuildPath(&alias, "%s/alias", serverroot)) return kResultNotPossible;
    hv::migrate::DirRef dir(alias);
    int err = dir.error();
    std::string failed = alias;
    for (const std::string &leaf : {std::string(instancename) + "-cert8.db", std::string(instancename) + "-key3.db",
                                   std::string("secmod.db")}) {
        if (err != 0) break;
        err = dir->SyncFile(leaf);
        if (err == ENOENT && leaf.find("cert8") == std::string::npos) err = 0;  // not every database has one
        failed = alias + "/" + leaf;
    }
    if (err == 0) {
        failed = alias;
        err = dir->Sync();
    }
    if (err == 0) return kResultOk;
    CERT_STEP_ERROR("%s cannot be synced to disk: %s", failed.c_str(), std::strerror(err));
    return kResultFileError;
}

// A cert8 file that must not be used: moved aside so that phase 1 does not
// point the configuration at it.
void Discard(const std::string &cert8) {
    if (!Exists(cert8)) return;
    hv::migrate::Location where(cert8);
    std::string aside;
    int err = where.error();
    if (err == 0) err = FreeBackupRel(where.dir(), where.rel(), &aside);
    if (err == 0) err = where.dir().Rename(where.rel(), aside);
    if (err == 0)
        CERT_STEP_ERROR("the unusable %s was moved aside to %s", cert8.c_str(), where.dir().PathOf(aside).c_str());
    else
        CERT_STEP_ERROR("the unusable %s cannot be moved aside (%s); remove it before the next run", cert8.c_str(),
                        std::strerror(err));
}

int ConvertDatabase(const char *serverroot, const char *instancename) {
    std::string cert7, cert8, key3, alias, prefix;
    if (!hv::migrate::BuildPath(&cert7, "%s/alias/%s-cert7.db", serverroot, instancename) ||
        !hv::migrate::BuildPath(&cert8, "%s/alias/%s-cert8.db", serverroot, instancename) ||
        !hv::migrate::BuildPath(&key3, "%s/alias/%s-key3.db", serverroot, instancename) ||
        !hv::migrate::BuildPath(&alias, "dbm:%s/alias", serverroot) ||
        !hv::migrate::BuildPath(&prefix, "%s-", instancename)) {
        return kResultNotPossible;
    }
    bool failed = false;
    if (!Present(cert7, &failed)) return failed ? kResultFileError : kResultOk;

    // The old files as they are now: the reference for the outcome and what
    // is put back if NSS changes them.
    OldFile old_cert{cert7}, old_key{key3};
    if (!ReadOld(&old_cert) || !ReadOld(&old_key)) return kResultNotPossible;
    hv::migrate::NssListing before, after;
    std::string why;
    if (!ListOld(old_cert, old_key, prefix, &before, &why)) {
        CERT_STEP_ERROR("%s cannot be read through NSS (%s); nothing converted", cert7.c_str(), why.c_str());
        return kResultFailed;
    }
    if (std::size_t orphans = hv::migrate::KeysWithoutCertificate(before)) {
        CERT_STEP_ERROR("%s holds no certificate for %zu private key(s) of %s: damaged?; nothing converted",
                        cert7.c_str(), orphans, key3.c_str());
        return kResultFailed;
    }
    if (Exists(cert8) && renameFileAsBackup(cert8.c_str()) != 0) {
        std::printf("Couldn't rename old %s certificate database, so won't be able to upgrade %s.\n",
                    cert8.c_str(), cert7.c_str());
        return kResultNotPossible;
    }
    if (!CopyAside(old_cert) || !CopyAside(old_key)) return kResultFailed;

    int rc = upgrade_certdb(serverroot, instancename);
    // Both are put back, whatever the first gives.
    const bool kept_cert = PutBack(old_cert);
    const bool kept = PutBack(old_key) && kept_cert;
    if (rc != kResultOk) {
        std::fflush(stdout);
        CERT_STEP_ERROR("NSS cannot convert %s (error %d)", cert7.c_str(), PR_GetError());
        Discard(cert8);
        return rc;
    }
    // A library that was already initialised elsewhere in the process would
    // report success without opening our files: only a written cert8 file
    // counts as a conversion.
    if (!Exists(cert8)) {
        std::printf("Security databases were opened, but %s was not written.\n", cert8.c_str());
        return kResultFailed;
    }
    if (!kept) {
        Discard(cert8);
        return kResultFailed;
    }
    if (!hv::migrate::ListNssDatabase(alias, prefix, true, &after, &why)) {
        CERT_STEP_ERROR("the converted %s cannot be read through NSS (%s)", cert8.c_str(), why.c_str());
        Discard(cert8);
        return kResultFailed;
    }
    std::string diff = hv::migrate::CompareListings(before, after);
    if (!diff.empty()) {
        CERT_STEP_ERROR("the converted %s does not hold what %s held: %s", cert8.c_str(), cert7.c_str(),
                        diff.c_str());
        Discard(cert8);
        return kResultFailed;
    }
    return MakeDatabaseDurable(serverroot, instancename);
}

int UpdateConfiguration(const char *serverroot, const char *instancename) {
    std::string cert8, value;
    if (!hv::migrate::BuildPath(&cert8, "%s/alias/%s-cert8.db", serverroot, instancename) ||
        !hv::migrate::BuildPath(&value, "alias/%s-cert8.db", instancename)) {
        return kResultNotPossible;
    }
    bool failed = false;
    if (!Present(cert8, &failed)) return failed ? kResultFileError : kResultOk;
    // A phase 0 of an earlier run may have left it unsynced.
    if (int rc = MakeDatabaseDurable(serverroot, instancename)) return rc;

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
    std::string candidate;
    if (FreeBackupRel(where.dir(), where.rel(), &candidate) != 0) return -1;
    return where.dir().Rename(where.rel(), candidate) == 0 ? 0 : -1;
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
    // No module database: a PKCS#11 module the owner registered in
    // alias/secmod.db would be loaded and run.
    if (NSS_Initialize(configdir.c_str(), prefix.c_str(), prefix.c_str(), "secmod.db", NSS_INIT_NOMODDB) !=
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
