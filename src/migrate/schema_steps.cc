// The upgrade's schema steps: the retro change log's and the password
// policy's attribute types go into the instance's core schema file, and the
// instance's schema push script makes the running server take them up.
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "hv/slapi-host.h"
#include "migrate/instance.h"
#include "migrate/migrate_paths.h"
#include "migrate/result_codes.h"
#include "migrate/schema.h"
#include "migrate/upgrade.h"

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

// In the child: reports why it cannot go on, on its standard error (the
// pipe to the log), and ends.  Async-signal-safe.
[[noreturn]] void ChildFails(const char *what) {
    const char *text = std::strerror(errno);
    (void)!::write(2, what, std::strlen(what));
    (void)!::write(2, ": ", 2);
    (void)!::write(2, text, std::strlen(text));
    (void)!::write(2, "\n", 1);
    ::_exit(127);
}

// In the child: takes on uid, gid and groups for real, effective and saved
// ids, and makes sure root cannot be taken back.
void BecomeForGood(uid_t uid, gid_t gid, const std::vector<gid_t> &groups) {
    // The caller runs with root's real id and the owner's effective one:
    // the group list can only be set with root's effective id.
    if (::getuid() == 0 && ::geteuid() != 0 && ::seteuid(0) != 0) ChildFails("seteuid(0)");
    if (::geteuid() == 0 && ::setgroups(groups.size(), groups.data()) != 0) ChildFails("setgroups");
    if (::setresgid(gid, gid, gid) != 0) ChildFails("setresgid");
    if (::setresuid(uid, uid, uid) != 0) ChildFails("setresuid");
    uid_t ru, eu, su;
    gid_t rg, eg, sg;
    if (::getresuid(&ru, &eu, &su) != 0 || ru != uid || eu != uid || su != uid) ChildFails("getresuid");
    if (::getresgid(&rg, &eg, &sg) != 0 || rg != gid || eg != gid || sg != gid) ChildFails("getresgid");
    if (uid != 0 && (::setuid(0) == 0 || ::seteuid(0) == 0)) {
        errno = EPERM;
        ChildFails("root could be taken back");
    }
}

// Logs what the script wrote to its standard error, line by line; past
// kMaxLogged bytes the rest is read and dropped.
void LogOutput(const char *command, int fd) {
    constexpr std::size_t kMaxLogged = 64 * 1024;
    std::string text;
    char buf[4096];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        if (text.size() < kMaxLogged) text.append(buf, static_cast<std::size_t>(n));
    }
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        UPGRADE_LOG("%s: %s\n", command, line.c_str());
        start = end + 1;
    }
}

}  // namespace

// The command is one path, run without a shell, so no byte of it is
// interpreted.  It runs in a child that takes the caller's effective ids
// and groups (the instance owner's, switched to by the upgrade) as its real,
// effective and saved ids before it starts the command: a shell or any
// program the command starts cannot go back to root.
int cmdExec(const char *command) {
    const uid_t uid = ::geteuid();
    const gid_t gid = ::getegid();
    int count = ::getgroups(0, nullptr);
    std::vector<gid_t> groups(count > 0 ? static_cast<std::size_t>(count) : 0);
    if (count > 0 && ::getgroups(count, groups.data()) < 0) return kResultFailed;

    int err_pipe[2];
    if (::pipe2(err_pipe, O_CLOEXEC) != 0) return kResultFailed;
    int devnull = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    std::fflush(nullptr);
    pid_t pid = devnull < 0 ? -1 : ::fork();
    if (pid == 0) {
        if (::dup2(devnull, 0) < 0 || ::dup2(devnull, 1) < 0 || ::dup2(err_pipe[1], 2) < 0) ::_exit(127);
        // Nothing root opened (a log file, a database) goes to the owner's
        // program.
        if (::close_range(3, ~0U, 0) != 0) {
            for (int fd = 3; fd < 4096; ++fd) ::close(fd);
        }
        BecomeForGood(uid, gid, groups);
        char *argv[] = {const_cast<char *>(command), nullptr};
        ::execv(command, argv);
        ChildFails(command);
    }
    ::close(err_pipe[1]);
    if (devnull >= 0) ::close(devnull);
    if (pid < 0) {
        ::close(err_pipe[0]);
        return kResultFailed;
    }
    LogOutput(command, err_pipe[0]);
    ::close(err_pipe[0]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return kResultFailed;
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return kResultOk;
    if (WIFEXITED(status))
        UPGRADE_LOG("%s ended with status %d\n", command, WEXITSTATUS(status));
    else
        UPGRADE_LOG("%s ended by signal %d\n", command, WTERMSIG(status));
    return kResultFailed;
}
