#include "common/atomic_file.h"

#include <cerrno>
#include <string>

#include "common/dir.h"

namespace hv {

RewriteStatus RewriteFile(const char *path, std::string_view content, mode_t mode, uid_t uid,
                          gid_t gid) {
    std::string whole(path);
    std::string::size_type slash = whole.rfind('/');
    std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : whole.substr(0, slash));
    std::string leaf = slash == std::string::npos ? whole : whole.substr(slash + 1);
    int err = 0;
    std::unique_ptr<Dir> parent = Dir::Open(Env::Default(), dir, &err);
    if (parent == nullptr) {
        errno = err;
        return RewriteStatus::kCreateFailed;
    }
    Dir::Step step = Dir::Step::kCreate;
    err = parent->ReplaceFile(leaf, content, mode, uid, gid, &step);
    if (err == 0) return RewriteStatus::kOk;
    errno = err;
    switch (step) {
        case Dir::Step::kCreate: return RewriteStatus::kCreateFailed;
        case Dir::Step::kWrite: return RewriteStatus::kWriteFailed;
        case Dir::Step::kOwner: return RewriteStatus::kOwnerFailed;
        case Dir::Step::kBackup:
        case Dir::Step::kRename: return RewriteStatus::kRenameFailed;
    }
    return RewriteStatus::kRenameFailed;
}

}  // namespace hv
