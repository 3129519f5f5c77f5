// The dsmigrate command line and the downgrade of each instance as its
// owner (in a worker process when run by root, see migrate/worker.h).
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "common/export.h"
#include "common/path_format.h"
#include "common/string_format.h"
#include "hv/dsmigrate.h"
#include "hv/slapi-plugin.h"
#include "migrate/discovery.h"
#include "migrate/downgrade.h"
#include "migrate/gates.h"
#include "migrate/instance.h"
#include "migrate/migrate_paths.h"
#include "migrate/owner.h"
#include "migrate/result_codes.h"
#include "migrate/worker.h"

namespace {

// An option value, a host-allocator copy.
struct OptionValue {
    char *value = nullptr;
    ~OptionValue() { slapi_ch_free_string(&value); }
};

}  // namespace

void usage(const char *progname) {
    std::fputs("\n\n", stdout);
    std::printf("Usage: %s -downgrade -s <server_root> [-i <instancename>]\n", progname);
    std::fputs("Performs the directory server data downgrade \n", stdout);
    std::fputs("where:\n", stdout);
    std::fputs("\t-s <server_root>:\tSpecify the server root. (mandatory)\n", stdout);
    std::fputs("\t-i <instancename>:\tSpecify a particular instance name (i-e slapd-<instance>).\n", stdout);
    std::fputs("\t\t\t\tIf omitted, all product instances available under server_root are taken\n", stdout);
    std::fputs("\t\t\t\tinto account.(optional)\n", stdout);
    std::fputs("Exit code:\n", stdout);
    std::fputs("\t0: The data downgrade has been successfully performed on (all) product instance(s)\n",
               stdout);
    std::fputs("\t1: An error occured during the data downgrade of (at least one) product instance\n",
               stdout);
    std::fputs("\n", stdout);
    std::fflush(stdout);
}

void upgrade_log(const char *level, const char *text) {
    std::printf("\n<%s> - %s", level, text);
    std::fflush(stdout);
}

int downgrade_instances(const char *serverroot, const char *instancename) {
    slapd_instance *list = init_slapd_instance(serverroot, instancename);
    if (list == nullptr) return kResultNotPossible;
    int result = kResultOk;
    for (slapd_instance *record = list; record != nullptr; record = record->next) {
        int rc = downgrade_instance(serverroot, record->name);
        if (!IsSuccess(rc)) result = rc;
    }
    free_slapd_instance(&list);
    return result;
}

int downgrade_DS_instance(const char *serverroot, const char *instancename, int level) {
    if (level == 1) return downgrade_DS_to_TB1(serverroot, instancename);
    return kResultNotPossible;
}

namespace {

// The downgrade proper, under the owner's effective ids.
int DowngradeAsOwner(const char *serverroot, const char *instancename, const char *instancepath) {
    int level = 1;
    int gate = is_downgrade_possible(2, instancepath, &level);
    if (gate == 1 && level == 1 && downgradeStopped(instancepath)) {
        // Scripts that a power loss took back into the backup directory are
        // put back before it goes.
        int rc = restore_saved_scripts(serverroot, instancename);
        if (rc != kResultOk) return rc;
        if (finishStoppedDowngrade(instancepath) != 0) return kResultFailed;
    }
    if (gate != 0) return MapGateCode(gate);
    int rc = downgrade_DS_instance(serverroot, instancename, level);
    if (!IsSuccess(rc)) return rc;
    int recorded = downgradeVersionRepository(instancepath);
    return recorded == 0 || recorded == 1 ? kResultOk : kResultFailed;
}

void ReportIdFailure(const char *call, long id, int err) {
    std::fprintf(stderr, "%s(%li) failed. error %d\n", call, id, err);
}

}  // namespace

namespace {

// Stale temporaries, then the downgrade, on the locked current instance.
int DowngradeLocked(const hv::migrate::Instance &instance, const char *serverroot, const char *instancename) {
    if (instance.Lock() != 0) {
        std::fprintf(stderr, "%s is being migrated by another run; nothing done\n", instance.path().c_str());
        return kResultNotPossible;
    }
    // A downgrade cut short in its last act (the removal of the upgrade
    // directory) is complete once that is done: the gate would make a fresh
    // repository that the uncut run does not leave.
    struct stat st {};
    if (hv::migrate::RemoveStaleTemporaries(instance, instancename) && instance.dir().Lstat("upgrade", &st) == ENOENT)
        return kResultOk;
    hv::migrate::ScopedInstance current(&instance);
    return DowngradeAsOwner(serverroot, instancename, instance.path().c_str());
}

void RelayOut(const std::string &line) { std::printf("%s\n", line.c_str()); }
void RelayErr(const std::string &line) { std::fprintf(stderr, "%s\n", line.c_str()); }

}  // namespace

int DowngradeInstanceWith(hv::Env *env, const char *serverroot, const char *instancename) {
    std::string instancepath, configfile;
    if (!hv::migrate::BuildPath(&instancepath, "%s/%s", serverroot, instancename) ||
        !hv::migrate::BuildPath(&configfile, "%s/config/dse.ldif", instancepath.c_str()))
        return kResultNotPossible;
    if (!hv::migrate::MigrationPathsFit(serverroot, instancename)) return kResultNotPossible;
    int err = 0;
    std::unique_ptr<hv::migrate::Instance> instance = hv::migrate::Instance::Open(env, serverroot, instancename, &err);
    uid_t owner_uid = 0;
    gid_t owner_gid = 0;
    std::string why;
    if (instance != nullptr)
        err = hv::migrate::OwnerOfInstance(instance->dir(), hv::migrate::RootOwnedAllowed(), &owner_uid, &owner_gid,
                                           &why);
    if (err != 0) {
        if (instance == nullptr && hv::IsRefusal(err))
            hv::migrate::ReportRefused(instancepath);
        else if (instance != nullptr && err != ENOENT)
            std::fprintf(stderr, "%s\n", hv::EscapeControl(why).c_str());
        return kResultNotPossible;
    }
    if (hv::migrate::NeedsWorker(owner_uid)) {
        hv::migrate::WorkerSpec spec{owner_uid, owner_gid, instance->dir().fd(), instancepath};
        return hv::migrate::RunWorker(
            spec,
            [&] {
                int open_err = 0;
                std::unique_ptr<hv::migrate::Instance> own =
                    hv::migrate::Instance::OpenCurrent(env, serverroot, instancename, &open_err);
                if (own == nullptr) {
                    std::fprintf(stderr, "%s cannot be opened: %s\n", instancepath.c_str(), std::strerror(open_err));
                    return static_cast<int>(kResultNotPossible);
                }
                return DowngradeLocked(*own, serverroot, instancename);
            },
            RelayOut, RelayErr);
    }
    hv::migrate::ScopedOwner owner(owner_uid, owner_gid, ReportIdFailure);
    if (!owner.ok()) return kResultNotPossible;
    int result = DowngradeLocked(*instance, serverroot, instancename);
    if (!owner.Restore()) return kResultNotPossible;
    return result;
}

int downgrade_instance(const char *serverroot, const char *instancename) {
    return DowngradeInstanceWith(hv::Env::Default(), serverroot, instancename);
}

namespace {

int DsmigrateMain(int argc, char **argv) {
    const char *progname = argc > 0 && argv[0] != nullptr ? argv[0] : "dsmigrate";
    // Alone on the command line, --help and --version answer and succeed;
    // any other line is the downgrade's.
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
        usage(progname);
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("dsmigrate (hvds) %s\n", HV_VERSION);
        return 0;
    }
    if (argc != 4 && argc != 6) {
        upgrade_log("ERROR", "Parameters missing");
        usage(progname);
        return 1;
    }
    if (hv::strcmpi_fast(argv[1], "-downgrade") != 0) {
        usage(progname);
        return 1;
    }

    OptionValue serverroot, instancename;
    // Parsing starts after "-downgrade".  getopt names the program after
    // the word in the program-name slot, so its messages get the program's
    // name there, not "-downgrade".  '+' ends parsing at the first word that
    // is not an option instead of letting glibc move the options from behind
    // it; optind 0 makes glibc start afresh when this runs more than once in
    // a process.
    std::vector<char *> args(argv + 1, argv + argc);
    args[0] = const_cast<char *>(progname);
    args.push_back(nullptr);
    optind = 0;
    int c;
    while ((c = getopt(argc - 1, args.data(), "+s:i:")) != -1) {
        OptionValue *target = nullptr;
        if (c == 's')
            target = &serverroot;
        else if (c == 'i')
            target = &instancename;
        if (target == nullptr || target->value != nullptr) {
            usage(progname);
            return 1;
        }
        target->value = slapi_ch_strdup(optarg);
    }
    // "-s" is mandatory; without it there is no server root to walk.
    if (serverroot.value == nullptr) {
        usage(progname);
        return 1;
    }
    int rc = downgrade_instances(serverroot.value, instancename.value);
    std::fflush(stdout);
    return IsSuccess(rc) ? 0 : 1;
}

}  // namespace

extern "C" HV_EXPORT int dsmigrate_main(int argc, char **argv) {
    // No exception may leave a C entry.
    try {
        return DsmigrateMain(argc, argv);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "dsmigrate: stopped: %s\n", e.what());
        return 1;
    }
}
