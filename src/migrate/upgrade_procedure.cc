// The upgrade of one instance from the baseline to level 2, and the
// exported entry that gates it, runs it under the instance owner's
// effective ids and records the new level.  Not thread-safe: the effective
// ids are process-wide.
#include "migrate/upgrade.h"

#include <libgen.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "common/path_format.h"
#include "hv/dsmigrate.h"
#include "hv/slapi-host.h"
#include "hv/slapi-plugin.h"
#include "migrate/certdb.h"
#include "migrate/gates.h"
#include "migrate/result_codes.h"
#include "migrate/schema.h"
#include "migrate/scripts.h"

namespace {

constexpr int kTargetLevel = 2;

#define UPGRADE_LOG(...) slapi_log_info_ex(16384, 0, -1, -1, -1, "", __VA_ARGS__)

struct HostString {
    char *p;
    explicit HostString(const char *s) : p(slapi_ch_strdup(s)) {}
    HostString(const HostString &) = delete;
    HostString &operator=(const HostString &) = delete;
    ~HostString() { slapi_ch_free_string(&p); }
};

// Logs a failed switch of the effective user (or group) id to id.
void LogIdFailure(bool user, long id) {
    int err = errno;
    if (user)
        UPGRADE_LOG("seteuid(%li) failed. error %d (%s)\n", id, err, slapd_system_strerror(err));
    else
        UPGRADE_LOG("setegid(%li) failed. error %d (%s)\n", id, err, slapd_system_strerror(err));
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

extern "C" __attribute__((visibility("default"))) int upgrade_instance(int phase, const char *instancepath) {
    std::string dse;
    if (instancepath == nullptr) return kResultNotPossible;
    if (!hv::FormatPath(&dse, "%s/config/dse.ldif", instancepath)) {
        UPGRADE_LOG("The instance path %s is too long\n", instancepath);
        return kResultNotPossible;
    }
    struct stat st;
    if (::stat(dse.c_str(), &st) != 0) return kResultNotPossible;

    const uid_t saved_uid = ::geteuid();
    const gid_t saved_gid = ::getegid();
    bool gid_switched = false, uid_switched = false;
    if (saved_gid != st.st_gid) {
        if (::setegid(st.st_gid) != 0) {
            LogIdFailure(false, static_cast<long>(st.st_gid));
            return kResultNotPossible;
        }
        gid_switched = true;
    }
    if (saved_uid != st.st_uid) {
        if (::seteuid(st.st_uid) != 0) {
            LogIdFailure(true, static_cast<long>(st.st_uid));
            // The group switch must not outlive the call either.
            if (gid_switched && ::setegid(saved_gid) != 0) LogIdFailure(false, static_cast<long>(saved_gid));
            return kResultNotPossible;
        }
        uid_switched = true;
    }

    int result;
    {
        // basename and dirname may change their argument: one copy each.
        HostString path_for_base(instancepath);
        HostString path_for_dir(instancepath);
        HostString instancename(::basename(path_for_base.p));
        HostString serverroot(::dirname(path_for_dir.p));

        int current = 1;
        int gate = is_upgrade_needed(kTargetLevel, instancepath, &current);
        if (gate == 0) {
            result = upgrade_DS_instance(phase, serverroot.p, instancename.p, current);
            if (IsSuccess(result) && phase == 1) {
                int rec = upgradeVersionRepository(kTargetLevel, instancepath);
                result = (rec == 0 || rec == 1) ? kResultOk : kResultFailed;
            }
        } else {
            result = MapGateCode(gate);
        }
    }

    if (uid_switched && ::seteuid(saved_uid) != 0) {
        LogIdFailure(true, static_cast<long>(saved_uid));
        return kResultNotPossible;
    }
    if (gid_switched && ::setegid(saved_gid) != 0) {
        LogIdFailure(false, static_cast<long>(saved_gid));
        return kResultNotPossible;
    }
    return result;
}
