// The downgrade steps of the patch level: the certificate database check
// and the restoration of the administration scripts saved by the upgrade.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "migrate/downgrade.h"
#include "migrate/gates.h"
#include "migrate/instance.h"
#include "migrate/migrate_paths.h"
#include "migrate/result_codes.h"

using hv::migrate::BuildPath;

const char *const scripts[] = {"db2ldif",    "ldif2db",       "db2bak",   "bak2db", "saveconfig",
                               "restoreconfig", "vlvindex", "suffix2instance", nullptr};

// The upgrade also regenerates get-clusterinfo-slapd and saves the original
// beside the others.  Once the downgrade is recorded the whole upgrade
// directory goes, so a saved copy left there would be lost with it: it is
// put back like the scripts of the table.
static const char *const kAlsoSaved[] = {"get-clusterinfo-slapd", nullptr};

int downgrade_DS_to_TB1(const char *serverroot, const char *instancename) {
    int result = kResultOk;
    int rc = downgrade_NSS336_to_NSS334(serverroot, instancename);
    if (!IsSuccess(rc)) result = rc;
    rc = restore_saved_scripts(serverroot, instancename);
    if (rc != kResultOk) result = rc;
    return result;
}

namespace {

// Whether the instance directory is open; says why not, for then neither
// the level nor a saved script may go.
bool Opened(const hv::migrate::DirRef &instance, const std::string &path) {
    if (instance.get() != nullptr) return true;
    std::fprintf(stderr, "%s cannot be opened (%s): the level and the saved scripts are kept\n", path.c_str(),
                 std::strerror(instance.error()));
    return false;
}

}  // namespace

int restore_saved_scripts(const char *serverroot, const char *instancename) {
    int result = backout_scripts(serverroot, instancename, scripts);
    int rc = backout_scripts(serverroot, instancename, kAlsoSaved);
    if (rc != kResultOk) result = rc;
    if (result != kResultOk) return result;
    // The level goes back, and the upgrade directory with the backups, only
    // when every saved script is back: verified, not assumed.  Each rename
    // back has synced both directories, so that is durable too.
    std::string instancepath;
    if (!BuildPath(&instancepath, "%s/%s", serverroot, instancename)) return kResultFailed;
    hv::migrate::DirRef instance(instancepath);
    if (!Opened(instance, instancepath)) return kResultFailed;
    return CheckNoSavedScriptLeft(*instance.get(), "upgrade") == 0 ? kResultOk : kResultFailed;
}

int downgrade_NSS336_to_NSS334(const char *serverroot, const char *instancename) {
    // The database is named after the instance directory: "slapd-a/", as
    // shell completion gives it, must not hide "alias/slapd-a-cert8.db" and
    // let the downgrade pass over a database that needs manual work.
    std::string name(instancename);
    while (name.size() > 1 && name.back() == '/') name.pop_back();
    std::string cert8;
    if (!BuildPath(&cert8, "%s/alias/%s-cert8.db", serverroot, name.c_str())) return kResultFailed;
    // Whatever is under that name (a link included) needs the administrator.
    hv::migrate::Location where(cert8);
    struct stat st {};
    int err = where.error() != 0 ? where.error() : where.dir().Lstat(where.rel(), &st);
    if (err == ENOENT || err == ENOTDIR) return kResultOk;
    std::fprintf(stderr, "Reverting to prepatch certificate database for %s.\n", cert8.c_str());
    std::fprintf(stderr, "  CAUTION:\n");
    std::fprintf(stderr, "\tCertificates added after patching the server must be downgraded manually.\n");
    std::fprintf(stderr,
                 "\tSee the 'Installation and Migration' guide or the README file of the patch for "
                 "instructions\n");
    return kResultFailed;
}

int backout_scripts(const char *serverroot, const char *instancename, const char *const *names) {
    int result = kResultOk;
    if (names == nullptr) return result;
    std::string instancepath;
    if (!BuildPath(&instancepath, "%s/%s", serverroot, instancename)) return kResultFailed;
    hv::migrate::DirRef instance(instancepath);
    if (!Opened(instance, instancepath)) return kResultFailed;
    for (; *names != nullptr; ++names) {
        std::string saved, script;
        if (!BuildPath(&saved, "%s/%s/%s/%s/%s", serverroot, instancename, "upgrade", "bak_patch2", *names) ||
            !BuildPath(&script, "%s/%s/%s", serverroot, instancename, *names)) {
            result = kResultFailed;
            continue;
        }
        const std::string saved_rel = std::string("upgrade/bak_patch2/") + *names;
        struct stat st {};
        // Not saved (no backup directory, or no copy in it): nothing to put
        // back.  Any other answer is not "absent": the copy may be there.
        int err = instance->Lstat(saved_rel, &st);
        if (err == ENOENT) continue;
        if (err != 0) {
            std::fprintf(stderr, "%s cannot be examined (%s): it is kept, and the level\n", saved.c_str(),
                         std::strerror(err));
            if (result == kResultOk) result = kResultFailed;
            continue;
        }
        bool failed = false;
        if (!S_ISREG(st.st_mode)) {
            hv::migrate::ReportRefused(saved);
            failed = true;
        }
        // A script the administrator removed is not brought back silently:
        // the saved copy stays where it is.  rename() replaces the current
        // script in one step, so a failure leaves it in place.
        if (!failed) failed = instance->Lstat(*names, &st) != 0 || instance->Rename(saved_rel, *names) != 0;
        if (failed) {
            std::fprintf(stderr, "%s cannot be backout-ed", script.c_str());
            if (result == kResultOk) result = kResultFailed;
        }
    }
    return result;
}
