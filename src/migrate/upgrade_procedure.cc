// The upgrade of one instance from the baseline to level 2, and the
// exported entry that gates it, runs it as the instance owner (in a worker
// process when the caller is root, see migrate/worker.h) and records the
// new level.  Not thread-safe: the effective ids are process-wide, and the
// worker is forked.
#include "migrate/upgrade.h"

#include <libgen.h>

#include <cerrno>
#include <cstdio>
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
            UPGRADE_LOG("%s: refused, a symbolic link or not the kind of file expected\n", instancepath.c_str());
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
