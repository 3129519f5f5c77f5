// The script step of the upgrade: every administration script of an
// instance is written anew from its template, and the pre-patch script is
// first moved into upgrade/bak_patch2, where the downgrade finds it.
#include <prio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <memory>
#include <string>

#include "common/string_format.h"
#include "migrate/migrate_paths.h"
#include "migrate/result_codes.h"
#include "migrate/script_templates.h"
#include "migrate/scripts.h"

namespace {

constexpr const char kUpgradeDir[] = "upgrade";
constexpr const char kBackupDir[] = "bak_patch2";
constexpr int kDirMode = 0755;
constexpr mode_t kScriptMode = 0755;

struct FileCloser {
    void operator()(std::FILE *f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

bool Exists(const std::string &path) {
    PRFileInfo info;
    return PR_GetFileInfo(path.c_str(), &info) == PR_SUCCESS;
}

// Creates dir unless something of that name is there already.
int EnsureDirectory(const std::string &dir) {
    if (Exists(dir)) return kResultOk;
    if (PR_MkDir(dir.c_str(), kDirMode) != PR_SUCCESS) {
        std::fprintf(stderr, "%s cannot be created\n", dir.c_str());
        return kResultFileError;
    }
    return kResultOk;
}

// Writes the prologue and body to the open script and gives it its mode.
// Every step is checked: a short write must not pass for a complete script.
bool WriteScript(File file, const std::string &body) {
    std::FILE *f = file.get();
    struct stat st;
    // Only a regular file becomes a script; fchmod on a device or pipe the
    // name happens to point at would change something else entirely.
    if (fstat(fileno(f), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    if (std::fprintf(f, hv::kScriptInterpreterLine, hv::kScriptInterpreter) < 0) return false;
    if (std::fputs(hv::kScriptPrologue, f) == EOF) return false;
    if (std::fwrite(body.data(), 1, body.size(), f) != body.size()) return false;
    if (fchmod(fileno(f), kScriptMode) != 0) return false;
    return std::fclose(file.release()) == 0;
}

}  // namespace

int check_backup_context(const char *instancepath) {
    std::string upgrade_dir, backup_dir;
    if (!hv::migrate::BuildPath(&upgrade_dir, "%s/%s", instancepath, kUpgradeDir) ||
        !hv::migrate::BuildPath(&backup_dir, "%s/%s", upgrade_dir.c_str(), kBackupDir)) {
        return kResultFileError;
    }
    int rc = EnsureDirectory(upgrade_dir);
    if (rc != kResultOk) return rc;
    return EnsureDirectory(backup_dir);
}

int backup_script(const char *instancepath, const char *name) {
    int rc = check_backup_context(instancepath);
    if (rc != kResultOk) return rc;
    std::string saved, script;
    if (!hv::migrate::BuildPath(&saved, "%s/%s/%s/%s", instancepath, kUpgradeDir, kBackupDir, name) ||
        !hv::migrate::BuildPath(&script, "%s/%s", instancepath, name)) {
        return kResultFileError;
    }
    // The first saved copy is the pre-patch script: never replace it.
    if (PR_Access(saved.c_str(), PR_ACCESS_EXISTS) == PR_SUCCESS) return kResultOk;
    if (PR_Rename(script.c_str(), saved.c_str()) != PR_SUCCESS) return kResultFailed;
    return kResultOk;
}

int vregenerate_script(const char *instancepath, const char *name, const char *tmpl,
                       va_list values) {
    std::string script;
    if (!hv::migrate::BuildPath(&script, "%s/%s", instancepath, name)) return kResultFileError;
    struct stat st;
    if (stat(script.c_str(), &st) == 0) {
        int rc = backup_script(instancepath, name);
        if (!IsSuccess(rc)) return rc;
    }
    std::string body;
    if (!hv::AppendFormatV(&body, tmpl, values)) {
        std::fprintf(stderr, "Could not write to %s.", script.c_str());
        return kResultFileError;
    }
    File file(std::fopen(script.c_str(), "w"));
    if (!file) {
        std::fprintf(stderr, "Could not write to %s.", script.c_str());
        return kResultFileError;
    }
    if (!WriteScript(std::move(file), body)) {
        int saved_errno = errno;
        std::fprintf(stderr, "Could not write to %s.", script.c_str());
        // A cut-off script could run half a command line: leave none at all.
        struct stat now;
        if (lstat(script.c_str(), &now) == 0 && S_ISREG(now.st_mode)) unlink(script.c_str());
        errno = saved_errno;
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
