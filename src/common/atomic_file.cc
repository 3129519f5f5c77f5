#include "common/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

namespace hv {
namespace {

RewriteFaultHook g_fault_hook = nullptr;

bool Injected(RewriteStep step) {
    if (g_fault_hook != nullptr && g_fault_hook(step)) {
        errno = EIO;
        return true;
    }
    return false;
}

bool WriteAll(int fd, std::string_view data) {
    while (!data.empty()) {
        ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

void SyncDirectoryOf(const std::string &path) {
    std::string::size_type slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);  // best effort: the rename itself has already happened
        ::close(fd);
    }
}

}  // namespace

void SetRewriteFaultHook(RewriteFaultHook hook) { g_fault_hook = hook; }

RewriteStatus RewriteFile(const char *path, std::string_view content, mode_t mode, uid_t uid,
                          gid_t gid) {
    std::string tmpl = std::string(path) + ".tmpXXXXXX";
    int fd = Injected(RewriteStep::kCreate) ? -1 : ::mkostemp(tmpl.data(), O_CLOEXEC);
    if (fd < 0) return RewriteStatus::kCreateFailed;

    auto fail = [&](RewriteStatus status) {
        int saved = errno;
        ::close(fd);
        ::unlink(tmpl.c_str());
        errno = saved;
        return status;
    };
    if (Injected(RewriteStep::kWrite) || !WriteAll(fd, content)) return fail(RewriteStatus::kWriteFailed);
    if (Injected(RewriteStep::kFlush) || ::fsync(fd) != 0) return fail(RewriteStatus::kWriteFailed);
    if (Injected(RewriteStep::kOwner) || ::fchmod(fd, mode) != 0) return fail(RewriteStatus::kOwnerFailed);
    if ((uid != static_cast<uid_t>(-1) || gid != static_cast<gid_t>(-1)) && ::fchown(fd, uid, gid) != 0)
        return fail(RewriteStatus::kOwnerFailed);
    if (::close(fd) != 0) {
        int saved = errno;
        ::unlink(tmpl.c_str());
        errno = saved;
        return RewriteStatus::kWriteFailed;
    }
    if (Injected(RewriteStep::kRename) || ::rename(tmpl.c_str(), path) != 0) {
        int saved = errno;
        ::unlink(tmpl.c_str());
        errno = saved;
        return RewriteStatus::kRenameFailed;
    }
    SyncDirectoryOf(path);
    return RewriteStatus::kOk;
}

}  // namespace hv
