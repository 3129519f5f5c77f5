// The script step of the upgrade: every administration script of an
// instance is written anew from its template, and the pre-patch script is
// first moved into upgrade/bak_patch2, where the downgrade finds it.
#include <sys/stat.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "common/string_format.h"
#include "migrate/instance.h"
#include "migrate/migrate_paths.h"
#include "migrate/result_codes.h"
#include "migrate/script_templates.h"
#include "migrate/scripts.h"

namespace {

constexpr const char kUpgradeDir[] = "upgrade";
constexpr const char kBackupDir[] = "bak_patch2";
constexpr mode_t kScriptMode = 0755;


}  // namespace

int check_backup_context(const char *instancepath) {
    std::string upgrade_dir, backup_dir;
    if (!hv::migrate::BuildPath(&upgrade_dir, "%s/%s", instancepath, kUpgradeDir) ||
        !hv::migrate::BuildPath(&backup_dir, "%s/%s", upgrade_dir.c_str(), kBackupDir)) {
        return kResultFileError;
    }
    int rc = hv::migrate::EnsureDirectory(upgrade_dir);
    if (rc != kResultOk) return rc;
    return hv::migrate::EnsureDirectory(backup_dir);
}

int backup_script(const char *instancepath, const char *name) {
    int rc = check_backup_context(instancepath);
    if (rc != kResultOk) return rc;
    std::string saved;
    if (!hv::migrate::BuildPath(&saved, "%s/%s/%s/%s", instancepath, kUpgradeDir, kBackupDir, name))
        return kResultFileError;
    const std::string saved_rel = std::string(kUpgradeDir) + "/" + kBackupDir + "/" + name;
    hv::migrate::DirRef instance(instancepath);
    if (instance.get() == nullptr) return kResultFailed;
    // The first saved copy is the pre-patch script: never replace it.
    struct stat st {};
    int err = instance->Lstat(saved_rel, &st);
    if (err == 0) return kResultOk;
    if (err != ENOENT) return kResultFailed;  // cannot tell whether it is there
    return instance->Rename(name, saved_rel) == 0 ? kResultOk : kResultFailed;
}

int vregenerate_script(const char *instancepath, const char *name, const char *tmpl,
                       va_list values) {
    std::string script;
    if (!hv::migrate::BuildPath(&script, "%s/%s", instancepath, name)) return kResultFileError;
    hv::migrate::DirRef instance(instancepath);
    if (instance.get() == nullptr) {
        std::fprintf(stderr, "Could not write to %s.", script.c_str());
        return kResultFileError;
    }
    // Where the current script goes: into the backup directory, unless a
    // saved copy is already there (it is the pre-patch script and stays).
    std::string backup_rel;
    struct stat st {};
    int err = instance->Lstat(name, &st);
    if (err != 0 && err != ENOENT) {
        std::fprintf(stderr, "%s cannot be examined (%s). Could not write to %s.", script.c_str(), std::strerror(err),
                     script.c_str());
        return kResultFileError;
    }
    if (err == 0) {
        // Only a regular file is a script: a link or anything else planted
        // under its name is neither moved nor written through.
        if (!S_ISREG(st.st_mode)) {
            hv::migrate::ReportRefused(script);
            std::fprintf(stderr, "Could not write to %s.", script.c_str());
            return kResultFileError;
        }
        int rc = check_backup_context(instancepath);
        if (rc != kResultOk) return rc;
        std::string saved_rel = std::string(kUpgradeDir) + "/" + kBackupDir + "/" + name;
        err = instance->Lstat(saved_rel, &st);
        if (err == ENOENT) {
            backup_rel = saved_rel;
        } else if (err != 0) {
            std::fprintf(stderr, "%s/%s cannot be examined (%s). Could not write to %s.", instancepath,
                         saved_rel.c_str(), std::strerror(err), script.c_str());
            return kResultFailed;
        }
    }
    std::string text, body;
    char first_line[64];
    std::snprintf(first_line, sizeof first_line, hv::kScriptInterpreterLine, hv::kScriptInterpreter);
    if (!hv::AppendFormatV(&body, tmpl, values)) {
        std::fprintf(stderr, "Could not write to %s.", script.c_str());
        return kResultFileError;
    }
    text.append(first_line).append(hv::kScriptPrologue).append(body);
    // Written whole beside the script, and only then is the current script
    // moved into the backup directory and the new one renamed into its
    // place: a failure leaves the script as it was, never a cut-off script
    // that could run half a command line.
    hv::Dir::Step step = hv::Dir::Step::kCreate;
    err = instance->ReplaceFile(name, text, kScriptMode, static_cast<uid_t>(-1), static_cast<gid_t>(-1), &step,
                                    backup_rel);
    if (err != 0 && step == hv::Dir::Step::kBackup) return kResultFailed;
    if (err != 0) {
        if (hv::IsRefusal(err)) hv::migrate::ReportRefused(script);
        std::fprintf(stderr, "Could not write to %s.", script.c_str());
        return kResultFileError;
    }
    return kResultOk;
}

int regenerate_script(const char *instancepath, const char *name, const char *tmpl, ...) {
    va_list ap;
    va_start(ap, tmpl);
    int rc = vregenerate_script(instancepath, name, tmpl, ap);
    va_end(ap);
    return rc;
}

int regenerate_scripts(const char *serverroot, const char *instancename) {
    std::string instance, bindir;
    if (!hv::migrate::BuildPath(&instance, "%s/%s", serverroot, instancename) ||
        !hv::migrate::BuildPath(&bindir, "%s/bin/slapd/server", serverroot)) {
        return kResultFileError;
    }
    for (const hv::ScriptTemplate &t : hv::ScriptTemplates()) {
        const char *v[hv::kMaxScriptValues] = {"", "", "", "", "", ""};
        for (std::size_t i = 0; i < t.value_count; ++i) {
            switch (t.values[i]) {
                case hv::ScriptValue::kInstancePath: v[i] = instance.c_str(); break;
                case hv::ScriptValue::kServerRoot: v[i] = serverroot; break;
                case hv::ScriptValue::kServerBinDir: v[i] = bindir.c_str(); break;
                case hv::ScriptValue::kConfigSuffix: v[i] = hv::kConfigSuffix; break;
            }
        }
        // Each template takes the first value_count of these; C ignores the rest.
        int rc = regenerate_script(instance.c_str(), t.name, t.text, v[0], v[1], v[2], v[3], v[4],
                                   v[5]);
        if (rc != kResultOk) return rc;
    }
    return kResultOk;
}

int upgrade_scripts(int phase, const char *serverroot, const char *instancename) {
    if (phase != 0) return kResultOk;
    return regenerate_scripts(serverroot, instancename);
}
