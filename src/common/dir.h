// A directory that a privileged process works in on behalf of a user it does
// not trust, and the file system calls beneath it.
//
// A Dir is an open directory.  Every relative path given to it is resolved
// beneath that directory one component at a time, never following a
// symbolic link and never leaving it ("..", absolute paths and empty
// components are refused).  A file the caller means to read or replace must
// be a regular file: it is opened without blocking (a FIFO cannot hold the
// caller up) and checked with fstat before use.  Whatever is found of the
// wrong kind is refused with ELOOP (a link), ENOTDIR or kWrongType, and
// nothing is created or changed through it.
//
// The calls that change the file system (creating opens, writes, syncs,
// mode and owner changes, renames, removals, new directories) go through an
// Env, so that tests can make any one of them fail (FaultEnv).
//
// Results are 0 or an errno value.  A Dir is thread-compatible; its Env must
// outlive it.
#ifndef HV_COMMON_DIR_H
#define HV_COMMON_DIR_H

#include <sys/stat.h>
#include <sys/types.h>

#include <cerrno>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace hv {

// "Not a regular file" (or not a directory where one is needed).
inline constexpr int kWrongType = EMEDIUMTYPE;

// The most a tool reads of one file of an instance (64 MiB): the largest
// configuration, schema, certificate or repository file is far smaller, and
// a file beyond it (an 8 GB sparse file, say) is refused with EFBIG instead
// of taking the host's memory.
inline constexpr std::size_t kMaxFileBytes = std::size_t{64} << 20;

// True for the errors that mean "refused: a link or the wrong kind of file".
inline bool IsRefusal(int err) { return err == ELOOP || err == ENOTDIR || err == kWrongType; }

// The file system calls that change something, as the system gives them
// (result and errno).  The default Env makes the real calls.
class Env {
  public:
    virtual ~Env() = default;
    static Env *Default();

    virtual int OpenAt(int dirfd, const char *name, int flags, mode_t mode);  // only for writing
    virtual ssize_t Write(int fd, const void *data, std::size_t size);
    virtual int Fsync(int fd);
    virtual int Fchmod(int fd, mode_t mode);
    virtual int Fchown(int fd, uid_t uid, gid_t gid);
    virtual int MkdirAt(int dirfd, const char *name, mode_t mode);
    virtual int RenameAt(int fromdir, const char *from, int todir, const char *to);
    virtual int UnlinkAt(int dirfd, const char *name, int flags);
};

// An Env that fails one chosen call of the kinds above with EIO, counting
// every call it sees.  For tests.
class FaultEnv : public Env {
  public:
    // Fails the call numbered fail_at (1 for the first); 0 fails none.
    explicit FaultEnv(int fail_at = 0) : fail_at_(fail_at) {}
    int calls() const { return calls_; }
    // What the failed call was, for test messages ("" when none failed).
    const std::string &failed() const { return failed_; }

    int OpenAt(int dirfd, const char *name, int flags, mode_t mode) override;
    ssize_t Write(int fd, const void *data, std::size_t size) override;
    int Fsync(int fd) override;
    int Fchmod(int fd, mode_t mode) override;
    int Fchown(int fd, uid_t uid, gid_t gid) override;
    int MkdirAt(int dirfd, const char *name, mode_t mode) override;
    int RenameAt(int fromdir, const char *from, int todir, const char *to) override;
    int UnlinkAt(int dirfd, const char *name, int flags) override;

  private:
    bool Fail(const char *what, const char *name);
    int fail_at_;
    int calls_ = 0;
    std::string failed_;
};

class Dir {
  public:
    // Opens path as the anchor of the work.  Links in path itself are
    // followed: the administrator named it.  nullptr with *err set on failure.
    static std::unique_ptr<Dir> Open(Env *env, const std::string &path, int *err);
    // Opens the current working directory, named path in messages and
    // paths (a worker whose working directory is the instance it was
    // given).
    static std::unique_ptr<Dir> OpenCurrent(Env *env, const std::string &path, int *err);

    ~Dir();
    Dir(const Dir &) = delete;
    Dir &operator=(const Dir &) = delete;

    const std::string &path() const { return path_; }
    // path() + "/" + rel, for messages.
    std::string PathOf(std::string_view rel) const;
    Env *env() const { return env_; }
    int fd() const { return fd_; }

    // The subdirectory rel, opened beneath this one.
    std::unique_ptr<Dir> OpenSubdir(std::string_view rel, int *err) const;

    // lstat of rel (the last component is not followed either); "" is
    // this directory.
    int Lstat(std::string_view rel, struct stat *st) const;
    // faccessat of rel with the effective ids, the last component not
    // followed.
    int Access(std::string_view rel, int mode) const;
    // The whole content of the regular file rel; EFBIG when it holds more
    // than kMaxFileBytes.
    int ReadFile(std::string_view rel, std::string *out) const;
    // Opens the regular file rel for reading (no link, no blocking) and
    // fills *st from the open file; *fd is the caller's to close.
    int OpenForReading(std::string_view rel, int *fd, struct stat *st) const;
    // Creates rel, which must not exist, with content, mode and owner (-1
    // leaves an id as created).  A file that cannot be completed is removed
    // again.  On failure *failed_step (when given) tells which step failed:
    // kCreate, kWrite or kOwner.
    enum class Step { kCreate, kWrite, kOwner, kBackup, kRename };
    int CreateFile(std::string_view rel, std::string_view content, mode_t mode, uid_t uid, gid_t gid,
                   Step *failed_step = nullptr) const;
    // Replaces the regular file rel (or creates it) so that a failure at any
    // step leaves the old file whole: a temporary file beside it is written,
    // flushed, given mode and owner and renamed over it; the directory is
    // flushed last.  On failure *failed_step (when given) tells which step
    // failed.  With backup_rel given, the current file is renamed there just
    // before the new one takes its name (kBackup when that fails); should the
    // new one then fail to take it, the current file is put back.
    int ReplaceFile(std::string_view rel, std::string_view content, mode_t mode, uid_t uid, gid_t gid,
                    Step *failed_step = nullptr, std::string_view backup_rel = {}) const;
    // Writes a new file's bytes piece by piece through write; 0 or an errno
    // value (the first one write returned, or the producer's own).
    using Producer = std::function<int(const std::function<int(std::string_view)> &write)>;
    // As ReplaceFile, with the content made by produce while it is written,
    // so that it is never whole in memory.  A producer that fails leaves the
    // old file as it was.
    int ReplaceFileFrom(std::string_view rel, const Producer &produce, mode_t mode, uid_t uid, gid_t gid,
                        Step *failed_step = nullptr) const;
    // Creates the directory rel with mode and owner.
    int MakeDir(std::string_view rel, mode_t mode, uid_t uid, gid_t gid) const;
    // Renames from to to (both beneath this directory).
    int Rename(std::string_view from, std::string_view to) const;
    // Removes rel, a file or a link (never what a link points to).
    int Remove(std::string_view rel) const;
    // Removes the directory rel and everything in it, depth first, links as
    // links.  On failure *failed_path names the entry that failed.
    int RemoveTree(std::string_view rel, std::string *failed_path) const;
    // Names in the directory rel ("" for this one), without "." and "..".
    int List(std::string_view rel, std::vector<std::string> *names) const;

  private:
    Dir(Env *env, int fd, std::string path) : env_(env), fd_(fd), path_(std::move(path)) {}
    // Opens the directory holding rel's last component; *leaf is that
    // component.  The result is a new fd, or -1 with *err.
    int OpenParent(std::string_view rel, std::string *leaf, int *err) const;
    int ReplaceFileSteps(std::string_view rel, const Producer &produce, mode_t mode, uid_t uid, gid_t gid,
                         Step *step, std::string_view backup_rel) const;

    Env *env_;
    int fd_;
    std::string path_;
};

}  // namespace hv

#endif  // HV_COMMON_DIR_H
