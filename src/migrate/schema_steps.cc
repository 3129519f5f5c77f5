// The upgrade's schema steps: the retro change log's and the password
// policy's attribute types go into the instance's core schema file, and the
// instance's schema push script makes the running server take them up.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "common/string_format.h"
#include "hv/slapi-host.h"
#include "migrate/instance.h"
#include "migrate/migrate_paths.h"
#include "migrate/result_codes.h"
#include "migrate/schema.h"
#include "migrate/upgrade.h"
#include "migrate/worker.h"

namespace {

// Left in the upgrade directory by a failed schema push: the next upgrade
// pushes again, and level 2 is not recorded meanwhile.
constexpr char kPushPending[] = "upgrade/schema_push.pending";

struct AttributeTypeDef {
    const char *name;
    const char *definition;
};

constexpr AttributeTypeDef kRetroChangeLogTypes[2] = {
    {"deletedEntryAttrs",
     "( 1.3.6.1.4.1.63299.2.27.9.1.595 NAME 'deletedEntryAttrs' DESC 'RetroChangelog attribute type' "
     "SYNTAX 1.3.6.1.4.1.1466.115.121.1.5 SINGLE-VALUE NO-USER-MODIFICATION USAGE directoryOperation "
     "X-ORIGIN 'Kel Directory Server' )"},
    {"targetUniqueId",
     "( 1.3.6.1.4.1.63299.2.27.9.1.596 NAME 'targetUniqueId' DESC 'RetroChangelog attribute type' "
     "SYNTAX 1.3.6.1.4.1.1466.115.121.1.15 SINGLE-VALUE NO-USER-MODIFICATION USAGE directoryOperation "
     "X-ORIGIN 'Kel Directory Server' )"},
};

constexpr AttributeTypeDef kPasswordPolicyTypes[2] = {
    {"pwdChangedTime",
     "( 1.3.6.1.4.1.63299.2.27.8.1.16 NAME 'pwdChangedTime' DESC 'Directory Server defined password "
     "policy attribute type' SYNTAX 1.3.6.1.4.1.1466.115.121.1.24 SINGLE-VALUE USAGE directoryOperation "
     "X-DS-USE 'internal' X-ORIGIN 'Kel Directory Server' )"},
    {"usePwdChangedTime",
     "( 1.3.6.1.4.1.63299.2.27.9.1.597 NAME 'usePwdChangedTime' DESC 'Directory Server defined attribute "
     "type' SYNTAX 1.3.6.1.4.1.1466.115.121.1.15 SINGLE-VALUE X-DS-USE 'internal' X-ORIGIN 'Kel Directory "
     "Server' )"},
};

// Adds both definitions, then pushes the schema when the file changed.
int AddSchemaTypes(int phase, const char *root, const char *instance, const AttributeTypeDef (&defs)[2]) {
    if (phase != 0) return kResultOk;
    std::string instancedir, schemafile, pushscript;
    if (!hv::migrate::BuildPath(&instancedir, "%s/%s", root, instance) ||
        !hv::migrate::BuildPath(&schemafile, "%s/config/schema/00core.ldif", instancedir.c_str()) ||
        !hv::migrate::BuildPath(&pushscript, "%s/schema_push.pl", instancedir.c_str()))
        return kResultFileError;
    bool changed = false;
    int rc = kResultOk;
    for (const AttributeTypeDef &def : defs) {
        rc = modify_attributeTypes_from_ldif(schemafile.c_str(), ATTR_ADD, def.name, def.definition,
                                             "cn=schema");
        if (rc == kResultOk) changed = true;
        if (!IsSuccess(rc)) return rc;  // a later run adds what is missing
    }
    // A push that failed in an earlier run is owed even when nothing is
    // left to add.
    hv::migrate::DirRef dir(instancedir);
    struct stat st {};
    const bool pending = dir.get() != nullptr && SchemaPushPending(*dir.get());
    if (!changed && !pending) return rc;
    // The script is the owner's to run, as the owner; only a regular file
    // in the instance directory is taken for it.
    int pushed = kResultFailed;
    if (dir.get() != nullptr && dir->Lstat("schema_push.pl", &st) == 0 && !S_ISREG(st.st_mode))
        hv::migrate::ReportRefused(pushscript);
    else
        pushed = cmdExec(pushscript.c_str());
    if (dir.get() == nullptr) return kResultFailed;
    if (pushed == kResultOk) {
        if (pending && dir->Remove(kPushPending) != 0) {
            std::fprintf(stderr, "%s/%s could not be deleted, error %d\n", instancedir.c_str(), kPushPending, -1);
            return kResultFailed;
        }
        return kResultOk;
    }
    if (!pending) {
        std::string upgrade_dir = instancedir + "/upgrade";
        int made = hv::migrate::EnsureDirectory(upgrade_dir);
        if (made == 0) made = dir->CreateFile(kPushPending, "", 0600, static_cast<uid_t>(-1), static_cast<gid_t>(-1));
        if (made != 0)
            std::fprintf(stderr, "%s/%s could not be created\n", instancedir.c_str(), kPushPending);
    }
    return kResultFailed;
}

}  // namespace

bool SchemaPushPending(const hv::Dir &instance) {
    struct stat st {};
    return instance.Lstat(kPushPending, &st) == 0;
}

int upgrade_RetroChangeLog(int phase, const char *serverroot, const char *instancename) {
    return AddSchemaTypes(phase, serverroot, instancename, kRetroChangeLogTypes);
}

int upgrade_Password_Policy(int phase, const char *serverroot, const char *instancename) {
    return AddSchemaTypes(phase, serverroot, instancename, kPasswordPolicyTypes);
}

namespace {

// Hands what the script wrote on to the log, line by line; past kMaxLogged
// bytes the rest is read and dropped.
struct PushOutput {
    static constexpr std::size_t kMaxLogged = 64 * 1024;
    const char *command;
    std::string text;

    void Take(const char *data, std::size_t n) {
        if (text.size() < kMaxLogged) text.append(data, std::min(n, kMaxLogged - text.size()));
    }
    void Log() const {
        std::size_t start = 0;
        while (start < text.size()) {
            std::size_t end = text.find('\n', start);
            if (end == std::string::npos) end = text.size();
            UPGRADE_LOG("%s: %s\n", command, hv::EscapeControl(text.substr(start, end - start)).c_str());
            start = end + 1;
        }
    }
};

}  // namespace

// The command is one path, run without a shell, so no byte of it is
// interpreted.  It runs in a child (a grandchild of the caller when the
// caller is a worker) that
//   - leads a session and process group of its own, without a controlling
//     terminal, with standard input from /dev/null and standard output and
//     error into a pipe whose text goes to the log;
//   - has the command's directory (the instance) as working directory and
//     no other descriptor;
//   - takes the caller's effective ids and groups (the instance owner's) as
//     its real, effective and saved ids, so that neither the script nor
//     anything it starts can go back to root;
//   - gets only the fixed environment (PATH, HOME, LC_ALL=C).
// The caller waits at most PushTimeLimit() seconds.  When the script ends,
// whatever it left running in its process group is killed (it would keep
// the pipe open); a script still running at the limit is killed with its
// group and counts as failed.
int cmdExec(const char *command) {
    const uid_t uid = ::geteuid();
    const gid_t gid = ::getegid();
    int count = ::getgroups(0, nullptr);
    std::vector<gid_t> groups(count > 0 ? static_cast<std::size_t>(count) : 0);
    if (count > 0 && ::getgroups(count, groups.data()) < 0) return kResultFailed;
    const std::vector<std::string> env = hv::migrate::FixedEnvironment(uid);
    std::vector<char *> envp;
    for (const std::string &e : env) envp.push_back(const_cast<char *>(e.c_str()));
    envp.push_back(nullptr);
    // The directory holding the command (the instance), reached as every
    // path of the instance is.
    hv::migrate::Location where(command);
    const int limit = hv::migrate::PushTimeLimit();

    int out_pipe[2];
    if (where.error() != 0) {
        UPGRADE_LOG("%s cannot be run: its directory cannot be opened: %s\n", command, std::strerror(where.error()));
        return kResultFailed;
    }
    if (::pipe2(out_pipe, O_CLOEXEC) != 0) return kResultFailed;
    int devnull = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    std::fflush(nullptr);
    pid_t pid = devnull < 0 ? -1 : ::fork();
    if (pid == 0) {
        ::setsid();
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        if (::dup2(devnull, 0) < 0 || ::dup2(out_pipe[1], 1) < 0 || ::dup2(out_pipe[1], 2) < 0) ::_exit(127);
        if (::fchdir(where.dir().fd()) != 0) hv::migrate::ChildFails("the instance directory cannot be entered", 127);
        // Nothing the caller opened (a log file, a database) goes to the
        // owner's program.
        if (::close_range(3, ~0U, 0) != 0) {
            for (int fd = 3; fd < 65536; ++fd) ::close(fd);
        }
        hv::migrate::BecomeForGoodOrExit(uid, gid, groups);
        char *argv[] = {const_cast<char *>(command), nullptr};
        ::execve(command, argv, envp.data());
        hv::migrate::ChildFails(command, 127);
    }
    ::close(out_pipe[1]);
    if (devnull >= 0) ::close(devnull);
    if (pid < 0) {
        ::close(out_pipe[0]);
        return kResultFailed;
    }
    PushOutput output{command, {}};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(limit);
    bool ended = false, timed_out = false;
    int fd = out_pipe[0];
    while (fd >= 0 || !ended) {
        if (!ended) {
            siginfo_t info{};
            if (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid) {
                ended = true;
                ::kill(-pid, SIGKILL);  // what the script left behind
            }
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            if (!ended) timed_out = true;
            ::kill(-pid, SIGKILL);
            break;
        }
        if (fd < 0) {
            ::usleep(10 * 1000);
            continue;
        }
        pollfd p{fd, POLLIN, 0};
        int ready = ::poll(&p, 1, static_cast<int>(std::min<long long>(left.count(), ended ? 1000 : 50)));
        if (ready <= 0) continue;
        char buf[4096];
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n > 0) {
            output.Take(buf, static_cast<std::size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            ::close(fd);
            fd = -1;
        }
    }
    if (fd >= 0) ::close(fd);
    output.Log();
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return kResultFailed;
    }
    if (timed_out) {
        UPGRADE_LOG("%s did not end within %d seconds (HVDS_PUSH_TIMEOUT); it was killed with its process group\n",
                    command, limit);
        return kResultFailed;
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return kResultOk;
    if (WIFEXITED(status))
        UPGRADE_LOG("%s ended with status %d\n", command, WEXITSTATUS(status));
    else
        UPGRADE_LOG("%s ended by signal %d\n", command, WTERMSIG(status));
    return kResultFailed;
}
