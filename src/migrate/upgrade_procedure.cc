// The upgrade of one instance from the baseline to level 2, and the
// exported entry that gates it, runs it as the instance owner (in a worker
// process when the caller is root, see migrate/worker.h) and records the
// new level.  Not thread-safe: the effective ids are process-wide, and the
// worker is forked.
#include "migrate/upgrade.h"

#include <libgen.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>

#include <memory>
#include <string>

#include "common/export.h"
#include "common/path_format.h"
#include "common/string_format.h"
#include "hv/dsmigrate.h"
#include "hv/slapi-host.h"
#include "hv/slapi-plugin.h"
#include "migrate/certdb.h"
#include "migrate/gates.h"
#include "migrate/instance.h"
#include "migrate/migrate_paths.h"
#include "migrate/owner.h"
#include "migrate/result_codes.h"
#include "migrate/schema.h"
#include "migrate/script_templates.h"
#include "migrate/scripts.h"
#include "migrate/worker.h"

namespace {

constexpr int kTargetLevel = 2;

struct HostString {
    char *p;
    explicit HostString(const char *s) : p(slapi_ch_strdup(s)) {}
    HostString(const HostString &) = delete;
    HostString &operator=(const HostString &) = delete;
    ~HostString() { slapi_ch_free_string(&p); }
};

void LogIdFailure(const char *call, long id, int err) {
    UPGRADE_LOG("%s(%li) failed. error %d (%s)\n", call, id, err, slapd_system_strerror(err));
}

// Keeps any code other than 0 and 8, and names the step that gave it in
// the log (the step itself has said which file and why).
void Combine(int *result, int step, const char *name, const char *instancename) {
    if (IsSuccess(step)) return;
    UPGRADE_LOG("The upgrade step %s of %s failed with result %d\n", name, instancename, step);
    *result = step;
}

void ReportRefusedInLog(const std::string &path) {
    UPGRADE_LOG("%s: refused, a symbolic link or not the kind of file expected\n", path.c_str());
}

// Whether the repository already records level (the check before the
// first change is then moot: the gate answers that nothing is to be done).
bool RecordedLevelIs(const hv::Dir &dir, int level) {
    std::string text;
    if (dir.ReadFile("upgrade/versions.conf", &text) != 0) return false;
    std::string::size_type end = text.find_last_not_of("\t\n\r ");
    if (end == std::string::npos) return false;
    std::string::size_type start = text.find_last_of("\t\n\r ", end);
    start = start == std::string::npos ? 0 : start + 1;
    return std::atoi(text.substr(start, end + 1 - start).c_str()) == level;
}

// Whether the instance, as found, lets both phases finish, checked before
// the first change: a refusal leaves everything as it was, where a step
// failing half-way would leave the instance half upgraded.  Looks at what
// the steps need: the configuration entry that phase 1 changes (when there
// is a certificate database to convert), the old database files, and the
// directories the steps write in.  Each problem is logged; 0 when there is
// none, else the code of the first (4 for a step's precondition, 5 for a
// directory that cannot be written or is not one).
int CheckBeforeAnyChange(const hv::migrate::Instance &instance, const char *instancename) {
    int result = kResultOk;
    const hv::Dir &dir = instance.dir();
    const hv::Dir &root = instance.root();
    // On standard error, as the steps report.
    auto problem = [&result](int code, const std::string &path, const char *what, int err) {
        if (hv::IsRefusal(err)) hv::migrate::ReportRefused(path);
        std::fprintf(stderr, "%s %s%s%s; nothing done\n", path.c_str(), what, err != 0 ? ": " : "",
                    err != 0 ? (hv::IsRefusal(err) ? "a symbolic link or not the kind of file expected"
                                                   : std::strerror(err))
                             : "");
        if (result == kResultOk) result = code;
    };
    const std::string prefix = std::string("alias/") + instancename + "-";
    struct stat st {};
    int err = root.Lstat(prefix + "cert7.db", &st);
    const bool convert = err == 0;
    if (err != 0 && err != ENOENT) problem(kResultNotPossible, root.PathOf(prefix + "cert7.db"), "cannot be examined", err);
    if (convert) {
        for (const char *db : {"cert7.db", "key3.db"}) {
            std::string rel = prefix + db;
            err = root.Lstat(rel, &st);
            if (err == ENOENT && std::strcmp(db, "key3.db") == 0) continue;
            if (err == 0 && !S_ISREG(st.st_mode)) err = S_ISLNK(st.st_mode) ? ELOOP : hv::kWrongType;
            if (err == 0) err = root.Access(rel, R_OK);
            if (err != 0) problem(kResultNotPossible, root.PathOf(rel), "cannot be read", err);
        }
        if ((err = root.Access("alias", W_OK | X_OK)) != 0)
            problem(kResultFileError, root.PathOf("alias"), "is not writable", err);
        // Phase 1 points cn=encryption,cn=config at the new database.
        std::string text;
        err = dir.ReadFile("config/dse.ldif", &text);
        if (err != 0) {
            problem(kResultNotPossible, dir.PathOf("config/dse.ldif"), "cannot be read", err);
        } else if (text.find('\0') != std::string::npos) {
            problem(kResultNotPossible, dir.PathOf("config/dse.ldif"), "holds a NUL byte and cannot be parsed", 0);
        } else {
            bool found = false;
            char *cursor = nullptr;
            for (char *block = dse_read_next_entry(text.data(), &cursor); block != nullptr && !found;
                 block = dse_read_next_entry(text.data(), &cursor)) {
                Slapi_Entry *e = slapi_str2entry(block, SLAPI_STR2ENTRY_NO_ENTRYDN);
                if (e == nullptr) continue;
                const char *ndn = slapi_entry_get_ndn(e);
                found = ndn != nullptr && std::strcmp(ndn, "cn=encryption,cn=config") == 0;
                slapi_entry_free(e);
            }
            if (!found)
                problem(kResultNotPossible, dir.PathOf("config/dse.ldif"),
                        "does not hold the entry cn=encryption,cn=config that names the certificate database", 0);
        }
    }
    // The scripts are written beside themselves and saved into
    // upgrade/bak_patch2; the schema file is replaced in its directory.
    for (const char *rel : {"", "upgrade", "upgrade/bak_patch2", "config/schema"}) {
        err = dir.Lstat(rel, &st);
        if (err == ENOENT) continue;
        if (err == 0 && !S_ISDIR(st.st_mode)) err = S_ISLNK(st.st_mode) ? ELOOP : hv::kWrongType;
        if (err == 0) err = dir.Access(rel, W_OK | X_OK);
        if (err != 0) problem(kResultFileError, dir.PathOf(rel), "is not a writable directory", err);
    }
    return result;
}

}  // namespace

int upgrade_DS_from_TB1(int phase, const char *serverroot, const char *instancename) {
    int result = kResultOk;
    Combine(&result, upgrade_NSS334_to_NSS336(phase, serverroot, instancename),
            "upgrade_NSS334_to_NSS336 (certificate database)", instancename);
    Combine(&result, upgrade_RetroChangeLog(phase, serverroot, instancename),
            "upgrade_RetroChangeLog (schema)", instancename);
    Combine(&result, upgrade_Password_Policy(phase, serverroot, instancename),
            "upgrade_Password_Policy (schema)", instancename);
    Combine(&result, upgrade_scripts(phase, serverroot, instancename), "upgrade_scripts", instancename);
    return result;
}

int upgrade_DS_instance(int phase, const char *serverroot, const char *instancename, int level) {
    switch (level) {
        case 1: return upgrade_DS_from_TB1(phase, serverroot, instancename);
        case 2: return kResultNothingToDo;
        default: return kResultNotPossible;
    }
}

namespace {

// The gate, the procedure and the record, on the locked current instance,
// with the process's ids already the owner's.
int UpgradeLocked(const hv::migrate::Instance &instance, int phase, const char *serverroot,
                  const char *instancename) {
    if (instance.Lock() != 0) {
        UPGRADE_LOG("%s is being migrated by another run; nothing done\n", instance.path().c_str());
        return kResultNotPossible;
    }
    hv::migrate::RemoveStaleTemporaries(instance, instancename);
    hv::migrate::ScopedInstance current(&instance);
    const char *path = instance.path().c_str();
    if (phase == 0 && !RecordedLevelIs(instance.dir(), kTargetLevel)) {
        int checked = CheckBeforeAnyChange(instance, instancename);
        if (checked != kResultOk) return checked;
    }
    int level = 1;
    int gate = is_upgrade_needed(kTargetLevel, path, &level);
    if (gate != 0) return MapGateCode(gate);
    int result = upgrade_DS_instance(phase, serverroot, instancename, level);
    if (IsSuccess(result) && phase == 1 && SchemaPushPending(instance.dir())) {
        UPGRADE_LOG("The schema push of %s failed and is still owed: level 2 is not recorded\n", path);
        result = kResultFailed;
    }
    if (IsSuccess(result) && phase == 1) {
        int rec = upgradeVersionRepository(kTargetLevel, path);
        result = (rec == 0 || rec == 1) ? kResultOk : kResultFailed;
    }
    return result;
}

// A line of the worker's standard error: a line of its log
// ("[time] subsystem - text") goes to this process's log, anything else to
// standard error.
void RelayErrorLine(const std::string &line) {
    std::string::size_type close = line.find("] ");
    if (!line.empty() && line[0] == '[' && close != std::string::npos && line.find(" - ", close) != std::string::npos) {
        hv_log_line(line.c_str());
    } else {
        std::fprintf(stderr, "%s\n", line.c_str());
    }
}

void RelayOutputLine(const std::string &line) { std::printf("%s\n", line.c_str()); }

}  // namespace

int UpgradeInstanceWith(hv::Env *env, int phase, const char *given_path) {
    if (given_path == nullptr) return kResultNotPossible;
    // "/srv/slapd-a/" and "/srv/slapd-a/." name the instance directory too.
    std::string instancepath(given_path);
    hv::migrate::TrimDirectorySuffix(&instancepath);
    // The scripts carry the path as shell text: one they cannot carry is
    // refused before anything is touched.
    if (!hv::CanCarryInScript(instancepath)) {
        UPGRADE_LOG("The instance path %s holds a blank, a quote or another character that the instance "
                    "scripts cannot carry; nothing done\n",
                    hv::EscapeControl(instancepath).c_str());
        return kResultNotPossible;
    }
    std::string dse;
    if (!hv::FormatPath(&dse, "%s/config/dse.ldif", instancepath.c_str())) {
        UPGRADE_LOG("The instance path %s is too long\n", instancepath.c_str());
        return kResultNotPossible;
    }
    // basename and dirname may change their argument: one copy each.
    HostString path_for_base(instancepath.c_str());
    HostString path_for_dir(instancepath.c_str());
    HostString instancename(::basename(path_for_base.p));
    HostString serverroot(::dirname(path_for_dir.p));

    if (!hv::migrate::MigrationPathsFit(serverroot.p, instancename.p)) {
        UPGRADE_LOG("A path of the instance %s is too long; nothing done\n", instancepath.c_str());
        return kResultNotPossible;
    }
    int err = 0;
    std::unique_ptr<hv::migrate::Instance> instance =
        hv::migrate::Instance::Open(env, serverroot.p, instancename.p, &err);
    uid_t owner_uid = 0;
    gid_t owner_gid = 0;
    std::string why;
    if (instance != nullptr)
        err = hv::migrate::OwnerOfInstance(instance->dir(), hv::migrate::RootOwnedAllowed(), &owner_uid, &owner_gid,
                                           &why);
    if (err != 0) {
        if (instance == nullptr && hv::IsRefusal(err))
            ReportRefusedInLog(instancepath);
        else if (instance != nullptr && err != ENOENT)
            UPGRADE_LOG("%s\n", hv::EscapeControl(why).c_str());
        return kResultNotPossible;
    }
    if (hv::migrate::NeedsWorker(owner_uid)) {
        hv::migrate::WorkerSpec spec{owner_uid, owner_gid, instance->dir().fd(), instancepath};
        return hv::migrate::RunWorker(
            spec,
            [&] {
                int open_err = 0;
                std::unique_ptr<hv::migrate::Instance> own =
                    hv::migrate::Instance::OpenCurrent(env, serverroot.p, instancename.p, &open_err);
                if (own == nullptr) {
                    UPGRADE_LOG("%s cannot be opened: %s\n", instancepath.c_str(), std::strerror(open_err));
                    return static_cast<int>(kResultNotPossible);
                }
                return UpgradeLocked(*own, phase, serverroot.p, instancename.p);
            },
            RelayOutputLine, RelayErrorLine);
    }
    hv::migrate::ScopedOwner owner(owner_uid, owner_gid, LogIdFailure);
    if (!owner.ok()) return kResultNotPossible;
    int result = UpgradeLocked(*instance, phase, serverroot.p, instancename.p);
    if (!owner.Restore()) return kResultNotPossible;
    return result;
}

extern "C" HV_EXPORT int upgrade_instance(int phase, const char *instancepath) {
    // No exception may leave a C entry.
    try {
        return UpgradeInstanceWith(hv::Env::Default(), phase, instancepath);
    } catch (const std::exception &e) {
        UPGRADE_LOG("The upgrade of %s stopped: %s\n", instancepath != nullptr ? instancepath : "(none)", e.what());
        return kResultFailed;
    }
}
