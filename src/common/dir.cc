#include "common/dir.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <chrono>
#include <functional>
#include <random>
#include <thread>

namespace hv {
namespace {

constexpr int kDirFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

struct Fd {
    int fd = -1;
    explicit Fd(int f) : fd(f) {}
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
    int release() {
        int f = fd;
        fd = -1;
        return f;
    }
};

// The error for something found where a directory or file should be:
// ELOOP for a link, else kWrongType.
int KindError(const struct stat &st) { return S_ISLNK(st.st_mode) ? ELOOP : kWrongType; }

bool ValidComponent(std::string_view c) { return !c.empty() && c != "." && c != ".."; }

int WriteAll(Env *env, int fd, std::string_view data) {
    while (!data.empty()) {
        ssize_t n = env->Write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return 0;
}

// Writes (through fill), syncs and gives mode and owner to the new file fd.
// Mode and owner are inode changes that the journal orders before the
// rename that publishes the file.
int FillNewFile(Env *env, int fd, const Dir::Filler &fill, mode_t mode, uid_t uid, gid_t gid, Dir::Step *step) {
    *step = Dir::Step::kWrite;
    if (int e = fill([env, fd](std::string_view piece) { return WriteAll(env, fd, piece); })) return e;
    if (env->Fsync(fd) != 0) return errno;
    *step = Dir::Step::kOwner;
    if (env->Fchmod(fd, mode) != 0) return errno;
    if ((uid != static_cast<uid_t>(-1) || gid != static_cast<gid_t>(-1)) && env->Fchown(fd, uid, gid) != 0)
        return errno;
    return 0;
}

Dir::Filler Whole(std::string_view content) {
    return [content](const Dir::Writer &write) { return write(content); };
}

// Syncs the directory fd.
int SyncDir(Env *env, int fd) { return env->Fsync(fd) == 0 ? 0 : errno; }

// Creates a temporary file beside leaf in parent ("<leaf>.tmp" and six hex
// digits, the name RemoveStaleTemporaries knows): its fd, or -1 with errno.
int CreateTemporary(Env *env, int parent, const std::string &leaf, mode_t mode, std::string *tmp) {
    // One generator per thread: the host's threads may replace files at once.
    thread_local std::minstd_rand rng(static_cast<unsigned>(::getpid()) ^
                                      static_cast<unsigned>(std::hash<std::thread::id>()(std::this_thread::get_id())) ^
                                      static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count()));
    for (int attempt = 0;; ++attempt) {
        char suffix[16];
        std::snprintf(suffix, sizeof suffix, ".tmp%06x", static_cast<unsigned>(rng() & 0xffffff));
        *tmp = leaf + suffix;
        int fd = env->OpenAt(parent, tmp->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
        if (fd >= 0 || errno != EEXIST || attempt > 100) return fd;
    }
}

int RemoveContents(Env *env, int fd, const std::string &path, std::string *failed_path) {
    DIR *dir = ::fdopendir(fd);
    if (dir == nullptr) {
        int e = errno;
        ::close(fd);
        *failed_path = path;
        return e;
    }
    int rc = 0;
    while (rc == 0) {
        errno = 0;
        dirent *entry = ::readdir(dir);
        if (entry == nullptr) {
            rc = errno;
            if (rc != 0) *failed_path = path;
            break;
        }
        const char *name = entry->d_name;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
        std::string entry_path = path + "/" + name;
        struct stat st {};
        if (::fstatat(::dirfd(dir), name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            rc = errno;
        } else if (S_ISDIR(st.st_mode)) {
            int child = ::openat(::dirfd(dir), name, kDirFlags);
            if (child < 0) {
                rc = errno;
            } else {
                rc = RemoveContents(env, child, entry_path, failed_path);
                if (rc != 0) break;
                if (env->UnlinkAt(::dirfd(dir), name, AT_REMOVEDIR) != 0) rc = errno;
            }
        } else if (env->UnlinkAt(::dirfd(dir), name, 0) != 0) {
            rc = errno;
        }
        if (rc != 0 && failed_path->empty()) *failed_path = entry_path;
    }
    ::closedir(dir);
    return rc;
}

}  // namespace

namespace {
Env g_real_env;
Env *g_default_env = &g_real_env;
}  // namespace

Env *Env::Default() { return g_default_env; }

Env *Env::SetDefaultForTesting(Env *env) {
    Env *old = g_default_env;
    g_default_env = env != nullptr ? env : &g_real_env;
    return old;
}

int Env::OpenAt(int dirfd, const char *name, int flags, mode_t mode) { return ::openat(dirfd, name, flags, mode); }
ssize_t Env::Write(int fd, const void *data, std::size_t size) { return ::write(fd, data, size); }
int Env::Fsync(int fd) { return ::fsync(fd); }
int Env::Fchmod(int fd, mode_t mode) { return ::fchmod(fd, mode); }
int Env::Fchown(int fd, uid_t uid, gid_t gid) { return ::fchown(fd, uid, gid); }
int Env::MkdirAt(int dirfd, const char *name, mode_t mode) { return ::mkdirat(dirfd, name, mode); }
int Env::LinkAt(int fromdir, const char *from, int todir, const char *to) {
    return ::linkat(fromdir, from, todir, to, 0);
}
int Env::RenameAt(int fromdir, const char *from, int todir, const char *to) {
    return ::renameat(fromdir, from, todir, to);
}
int Env::UnlinkAt(int dirfd, const char *name, int flags) { return ::unlinkat(dirfd, name, flags); }

bool FaultEnv::Fail(const char *what, const char *name) {
    if (++calls_ != fail_at_) return false;
    failed_ = std::string(what) + (name != nullptr ? std::string(" ") + name : std::string());
    errno = EIO;
    return true;
}

int FaultEnv::OpenAt(int dirfd, const char *name, int flags, mode_t mode) {
    return Fail("open", name) ? -1 : Env::OpenAt(dirfd, name, flags, mode);
}
ssize_t FaultEnv::Write(int fd, const void *data, std::size_t size) {
    return Fail("write", nullptr) ? -1 : Env::Write(fd, data, size);
}
int FaultEnv::Fsync(int fd) { return Fail("fsync", nullptr) ? -1 : Env::Fsync(fd); }
int FaultEnv::Fchmod(int fd, mode_t mode) { return Fail("fchmod", nullptr) ? -1 : Env::Fchmod(fd, mode); }
int FaultEnv::Fchown(int fd, uid_t uid, gid_t gid) {
    return Fail("fchown", nullptr) ? -1 : Env::Fchown(fd, uid, gid);
}
int FaultEnv::MkdirAt(int dirfd, const char *name, mode_t mode) {
    return Fail("mkdir", name) ? -1 : Env::MkdirAt(dirfd, name, mode);
}
int FaultEnv::LinkAt(int fromdir, const char *from, int todir, const char *to) {
    return Fail("link", from) ? -1 : Env::LinkAt(fromdir, from, todir, to);
}
int FaultEnv::RenameAt(int fromdir, const char *from, int todir, const char *to) {
    return Fail("rename", from) ? -1 : Env::RenameAt(fromdir, from, todir, to);
}
int FaultEnv::UnlinkAt(int dirfd, const char *name, int flags) {
    return Fail("unlink", name) ? -1 : Env::UnlinkAt(dirfd, name, flags);
}

std::unique_ptr<Dir> Dir::Open(Env *env, const std::string &path, int *err) {
    int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        *err = errno;
        return nullptr;
    }
    *err = 0;
    return std::unique_ptr<Dir>(new Dir(env, fd, path));
}

std::unique_ptr<Dir> Dir::OpenCurrent(Env *env, const std::string &path, int *err) {
    int fd = ::open(".", kDirFlags);
    if (fd < 0) {
        *err = errno;
        return nullptr;
    }
    *err = 0;
    return std::unique_ptr<Dir>(new Dir(env, fd, path));
}

Dir::~Dir() { ::close(fd_); }

std::string Dir::PathOf(std::string_view rel) const {
    if (rel.empty()) return path_;
    return path_ + "/" + std::string(rel);
}

int Dir::OpenParent(std::string_view rel, std::string *leaf, int *err) const {
    if (!rel.empty() && rel.front() == '/') {
        *err = EINVAL;
        return -1;
    }
    Fd cur(::fcntl(fd_, F_DUPFD_CLOEXEC, 0));
    if (cur.fd < 0) {
        *err = errno;
        return -1;
    }
    for (;;) {
        std::string_view::size_type slash = rel.find('/');
        std::string_view part = rel.substr(0, slash);
        if (slash != std::string_view::npos && (part.empty() || part == ".")) {
            rel.remove_prefix(slash + 1);  // "a//b" and "a/./b" name a/b
            continue;
        }
        if (!ValidComponent(part)) {
            *err = EINVAL;
            return -1;
        }
        if (slash == std::string_view::npos) {
            leaf->assign(part);
            *err = 0;
            return cur.release();
        }
        std::string name(part);
        int next = ::openat(cur.fd, name.c_str(), kDirFlags);
        if (next < 0) {
            *err = errno;
            return -1;
        }
        ::close(cur.fd);
        cur.fd = next;
        rel.remove_prefix(slash + 1);
    }
}

std::unique_ptr<Dir> Dir::OpenSubdir(std::string_view rel, int *err) const {
    std::string leaf;
    Fd parent(OpenParent(rel, &leaf, err));
    if (parent.fd < 0) return nullptr;
    int fd = ::openat(parent.fd, leaf.c_str(), kDirFlags);
    if (fd < 0) {
        *err = errno;
        return nullptr;
    }
    return std::unique_ptr<Dir>(new Dir(env_, fd, PathOf(rel)));
}

int Dir::Lstat(std::string_view rel, struct stat *st) const {
    if (rel.empty()) return ::fstat(fd_, st) == 0 ? 0 : errno;
    std::string leaf;
    int err = 0;
    Fd parent(OpenParent(rel, &leaf, &err));
    if (parent.fd < 0) return err;
    return ::fstatat(parent.fd, leaf.c_str(), st, AT_SYMLINK_NOFOLLOW) == 0 ? 0 : errno;
}

int Dir::Access(std::string_view rel, int mode) const {
    if (rel.empty()) return ::faccessat(fd_, ".", mode, AT_EACCESS) == 0 ? 0 : errno;
    std::string leaf;
    int err = 0;
    Fd parent(OpenParent(rel, &leaf, &err));
    if (parent.fd < 0) return err;
    return ::faccessat(parent.fd, leaf.c_str(), mode, AT_EACCESS | AT_SYMLINK_NOFOLLOW) == 0 ? 0 : errno;
}

int Dir::OpenForReading(std::string_view rel, int *fd, struct stat *st) const {
    *fd = -1;
    std::string leaf;
    int err = 0;
    Fd parent(OpenParent(rel, &leaf, &err));
    if (parent.fd < 0) return err;
    // O_NONBLOCK: a FIFO opens at once instead of waiting for a writer, and
    // is then refused by its type.
    Fd file(::openat(parent.fd, leaf.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (file.fd < 0) return errno;
    if (::fstat(file.fd, st) != 0) return errno;
    if (!S_ISREG(st->st_mode)) return kWrongType;
    *fd = file.release();
    return 0;
}

int Dir::ReadFile(std::string_view rel, std::string *out) const {
    out->clear();
    struct stat st {};
    int fd = -1;
    if (int err = OpenForReading(rel, &fd, &st)) return err;
    Fd file(fd);
    if (static_cast<unsigned long long>(st.st_size) > kMaxFileBytes) return EFBIG;
    // Read straight into a string of the file's size (one more byte to see
    // the end), not grown by doubling: a large schema file is held once.
    std::size_t have = 0;
    out->resize(static_cast<std::size_t>(st.st_size) + 1);
    for (;;) {
        if (have == out->size()) out->resize(out->size() * 2);  // it grew meanwhile
        ssize_t n = ::read(file.fd, out->data() + have, out->size() - have);
        if (n < 0) {
            if (errno == EINTR) continue;
            out->clear();
            return errno;
        }
        if (n == 0) break;
        have += static_cast<std::size_t>(n);
        // The file may grow while it is read.
        if (have > kMaxFileBytes) {
            out->clear();
            return EFBIG;
        }
    }
    out->resize(have);
    return 0;
}

int Dir::CreateFile(std::string_view rel, std::string_view content, mode_t mode, uid_t uid, gid_t gid,
                    Step *failed_step) const {
    Step step = Step::kCreate;
    if (failed_step == nullptr) failed_step = &step;
    *failed_step = Step::kCreate;
    std::string leaf, tmp;
    int err = 0;
    Fd parent(OpenParent(rel, &leaf, &err));
    if (parent.fd < 0) return err;
    struct stat st {};
    if (::fstatat(parent.fd, leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) return EEXIST;
    Fd file(CreateTemporary(env_, parent.fd, leaf, mode, &tmp));
    if (file.fd < 0) return errno;
    err = FillNewFile(env_, file.fd, Whole(content), mode, uid, gid, failed_step);
    if (err == 0 && ::close(file.release()) != 0) err = errno;
    // The whole file takes the name, or nothing does: link() fails on an
    // existing name as O_EXCL would.
    if (err == 0) {
        *failed_step = Step::kCreate;
        if (env_->LinkAt(parent.fd, tmp.c_str(), parent.fd, leaf.c_str()) != 0) err = errno;
    }
    ::unlinkat(parent.fd, tmp.c_str(), 0);
    if (err != 0) return err;
    return SyncDir(env_, parent.fd);
}

int Dir::ReplaceFile(std::string_view rel, std::string_view content, mode_t mode, uid_t uid, gid_t gid,
                     Step *failed_step, std::string_view backup_rel) const {
    return ReplaceFileWith(rel, Whole(content), mode, uid, gid, failed_step, backup_rel);
}

int Dir::ReplaceFileWith(std::string_view rel, const Filler &fill, mode_t mode, uid_t uid, gid_t gid,
                         Step *failed_step, std::string_view backup_rel) const {
    Step step = Step::kCreate;
    int err = ReplaceFileSteps(rel, fill, mode, uid, gid, &step, backup_rel);
    if (err != 0 && failed_step != nullptr) *failed_step = step;
    return err;
}

int Dir::ReplaceFileSteps(std::string_view rel, const Filler &fill, mode_t mode, uid_t uid, gid_t gid, Step *step,
                          std::string_view backup_rel) const {
    std::string leaf, backup_leaf;
    int err = 0;
    Fd parent(OpenParent(rel, &leaf, &err));
    if (parent.fd < 0) return err;
    Fd backup_dir(-1);
    if (!backup_rel.empty()) {
        backup_dir.fd = OpenParent(backup_rel, &backup_leaf, &err);
        if (backup_dir.fd < 0) {
            *step = Step::kBackup;
            return err;
        }
    }
    struct stat st {};
    if (::fstatat(parent.fd, leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISREG(st.st_mode))
        return KindError(st);

    std::string tmp;
    Fd file(CreateTemporary(env_, parent.fd, leaf, mode, &tmp));
    if (file.fd < 0) return errno;
    err = FillNewFile(env_, file.fd, fill, mode, uid, gid, step);
    if (err == 0 && ::close(file.release()) != 0) err = errno;
    bool linked = false;
    if (err == 0 && backup_dir.fd >= 0) {
        // The current file gets its second name, durably, before the first
        // is given to the new one: there is no moment without it.
        *step = Step::kBackup;
        if (env_->LinkAt(parent.fd, leaf.c_str(), backup_dir.fd, backup_leaf.c_str()) != 0)
            err = errno;
        else
            linked = true;
        if (err == 0) err = SyncDir(env_, backup_dir.fd);
    }
    if (err == 0) {
        *step = Step::kRename;
        if (env_->RenameAt(parent.fd, tmp.c_str(), parent.fd, leaf.c_str()) != 0) err = errno;
    }
    if (err != 0) {
        ::unlinkat(parent.fd, tmp.c_str(), 0);
        // The current file is still under its own name: the backup name goes.
        if (linked) ::unlinkat(backup_dir.fd, backup_leaf.c_str(), 0);
        return err;
    }
    // The new name must survive a crash too.
    *step = Step::kRename;
    return SyncDir(env_, parent.fd);
}

int Dir::MakeDir(std::string_view rel, mode_t mode, uid_t uid, gid_t gid) const {
    std::string leaf;
    int err = 0;
    Fd parent(OpenParent(rel, &leaf, &err));
    if (parent.fd < 0) return err;
    if (env_->MkdirAt(parent.fd, leaf.c_str(), mode) != 0) return errno;
    if (uid != static_cast<uid_t>(-1) || gid != static_cast<gid_t>(-1)) {
        Fd dir(::openat(parent.fd, leaf.c_str(), kDirFlags));
        if (dir.fd < 0) return errno;
        if (env_->Fchown(dir.fd, uid, gid) != 0) return errno;
        if (int e = SyncDir(env_, dir.fd)) return e;
    }
    return SyncDir(env_, parent.fd);
}

int Dir::Rename(std::string_view from, std::string_view to) const {
    std::string from_leaf, to_leaf;
    int err = 0;
    Fd from_dir(OpenParent(from, &from_leaf, &err));
    if (from_dir.fd < 0) return err;
    Fd to_dir(OpenParent(to, &to_leaf, &err));
    if (to_dir.fd < 0) return err;
    if (env_->RenameAt(from_dir.fd, from_leaf.c_str(), to_dir.fd, to_leaf.c_str()) != 0) return errno;
    // The new name first: should only one directory reach the disk, the
    // file is still found under one of its names.
    if (int e = SyncDir(env_, to_dir.fd)) return e;
    struct stat a {}, b {};
    if (::fstat(from_dir.fd, &a) == 0 && ::fstat(to_dir.fd, &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino)
        return 0;
    return SyncDir(env_, from_dir.fd);
}

int Dir::Remove(std::string_view rel) const {
    std::string leaf;
    int err = 0;
    Fd parent(OpenParent(rel, &leaf, &err));
    if (parent.fd < 0) return err;
    if (env_->UnlinkAt(parent.fd, leaf.c_str(), 0) != 0) return errno;
    return SyncDir(env_, parent.fd);
}

int Dir::RemoveTree(std::string_view rel, std::string *failed_path) const {
    failed_path->clear();
    std::string leaf;
    int err = 0;
    Fd parent(OpenParent(rel, &leaf, &err));
    if (parent.fd < 0) {
        *failed_path = PathOf(rel);
        return err;
    }
    int fd = ::openat(parent.fd, leaf.c_str(), kDirFlags);
    if (fd < 0) {
        err = errno;
        struct stat st {};
        // A link in the tree's place goes as a link; what it points to stays.
        if (::fstatat(parent.fd, leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode))
            err = env_->UnlinkAt(parent.fd, leaf.c_str(), 0) == 0 ? SyncDir(env_, parent.fd) : errno;
        if (err != 0) *failed_path = PathOf(rel);
        return err;
    }
    err = RemoveContents(env_, fd, PathOf(rel), failed_path);
    if (err != 0) return err;
    if (env_->UnlinkAt(parent.fd, leaf.c_str(), AT_REMOVEDIR) != 0 || SyncDir(env_, parent.fd) != 0) {
        *failed_path = PathOf(rel);
        return errno;
    }
    return 0;
}

int Dir::Sync(std::string_view rel) const {
    Fd dir(-1);
    if (rel.empty()) {
        dir.fd = ::openat(fd_, ".", kDirFlags);
    } else {
        std::string leaf;
        int err = 0;
        Fd parent(OpenParent(rel, &leaf, &err));
        if (parent.fd < 0) return err;
        dir.fd = ::openat(parent.fd, leaf.c_str(), kDirFlags);
    }
    if (dir.fd < 0) return errno;
    return SyncDir(env_, dir.fd);
}

int Dir::SyncFile(std::string_view rel) const {
    int fd = -1;
    struct stat st {};
    if (int err = OpenForReading(rel, &fd, &st)) return err;
    Fd file(fd);
    return env_->Fsync(file.fd) == 0 ? 0 : errno;
}

int Dir::List(std::string_view rel, std::vector<std::string> *names) const {
    names->clear();
    int fd;
    if (rel.empty()) {
        fd = ::openat(fd_, ".", kDirFlags);
    } else {
        std::string leaf;
        int err = 0;
        Fd parent(OpenParent(rel, &leaf, &err));
        if (parent.fd < 0) return err;
        fd = ::openat(parent.fd, leaf.c_str(), kDirFlags);
    }
    if (fd < 0) return errno;
    DIR *dir = ::fdopendir(fd);
    if (dir == nullptr) {
        int e = errno;
        ::close(fd);
        return e;
    }
    errno = 0;
    while (dirent *entry = ::readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
            names->push_back(entry->d_name);
    }
    int e = errno;
    ::closedir(dir);
    return e;
}

}  // namespace hv
