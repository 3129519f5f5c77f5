// The downgrade steps of the patch level: the certificate database check
// and the restoration of the administration scripts saved by the upgrade.
#include <prio.h>
#include <sys/stat.h>

#include <cstdio>
#include <string>

#include "migrate/downgrade.h"
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
    rc = backout_scripts(serverroot, instancename, scripts);
    if (rc != kResultOk) result = rc;
    rc = backout_scripts(serverroot, instancename, kAlsoSaved);
    if (rc != kResultOk) result = rc;
    return result;
}

int downgrade_NSS336_to_NSS334(const char *serverroot, const char *instancename) {
    // The database is named after the instance directory: "slapd-a/", as
    // shell completion gives it, must not hide "alias/slapd-a-cert8.db" and
    // let the downgrade pass over a database that needs manual work.
    std::string name(instancename);
    while (name.size() > 1 && name.back() == '/') name.pop_back();
    std::string cert8;
    if (!BuildPath(&cert8, "%s/alias/%s-cert8.db", serverroot, name.c_str())) return kResultFailed;
    PRFileInfo info;
    if (PR_GetFileInfo(cert8.c_str(), &info) != PR_SUCCESS) return kResultOk;
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
    for (; *names != nullptr; ++names) {
        std::string saved, script;
        if (!BuildPath(&saved, "%s/%s/%s/%s/%s", serverroot, instancename, "upgrade", "bak_patch2", *names) ||
            !BuildPath(&script, "%s/%s/%s", serverroot, instancename, *names)) {
            result = kResultFailed;
            continue;
        }
        if (PR_Access(saved.c_str(), PR_ACCESS_EXISTS) != PR_SUCCESS) continue;
        // A script the administrator removed is not brought back silently:
        // the saved copy stays where it is.
        struct stat st {};
        bool failed = lstat(script.c_str(), &st) != 0;
        // rename() replaces the current script in one step, so a failure
        // leaves it in place; PR_Rename refuses an existing target.
        if (!failed) failed = std::rename(saved.c_str(), script.c_str()) != 0;
        if (failed) {
            std::fprintf(stderr, "%s cannot be backout-ed", script.c_str());
            if (result == kResultOk) result = kResultFailed;
        }
    }
    return result;
}
