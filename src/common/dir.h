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
// mode and owner changes, links, renames, removals, new directories) go
// through an Env, so that tests can make any one of them fail (FaultEnv).
//
// What a change makes durable (a power loss after the call returns 0
// cannot undo it): a file written by CreateFile or ReplaceFile is synced
// before the name that publishes it is made, and every call that makes,
// renames or removes a name syncs the directory (both directories of a
// rename) before it returns.  ReplaceFile never leaves the name without a
// file, and with a backup name the old file is linked there, and that
// directory synced, before the new one takes its place.  Files written by
// others (a library that writes by name) are made durable with SyncFile and
// Sync of their directory.
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
    // The Env of code that is given none (the host's configuration file,
    // the certificate step's scratch files).
    static Env *Default();
    // Makes env the default until the call that puts the previous one back
    // (which it returns).  For tests; not thread-safe.
    static Env *SetDefaultForTesting(Env *env);

    virtual int OpenAt(int dirfd, const char *name, int flags, mode_t mode);  // only for writing
    virtual ssize_t Write(int fd, const void *data, std::size_t size);
    virtual int Fsync(int fd);
    virtual int Fchmod(int fd, mode_t mode);
    virtual int Fchown(int fd, uid_t uid, gid_t gid);
    virtual int MkdirAt(int dirfd, const char *name, mode_t mode);
    virtual int LinkAt(int fromdir, const char *from, int todir, const char *to);
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
    int LinkAt(int fromdir, const char *from, int todir, const char *to) override;
    int RenameAt(int fromdir, const char *from, int todir, const char *to) override;
    int UnlinkAt(int dirfd, const char *name, int flags) override;

  protected:
    // Counts the call; true (errno EIO) when it is the one to fail.
    virtual bool Fail(const char *what, const char *name);

  private:
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
    // faccessat of rel ("" is this directory) with the effective ids, the
    // last component not followed.
    int Access(std::string_view rel, int mode) const;
    // The whole content of the regular file rel; EFBIG when it holds more
    // than kMaxFileBytes.
    int ReadFile(std::string_view rel, std::string *out) const;
    // Opens the regular file rel for reading (no link, no blocking) and
    // fills *st from the open file; *fd is the caller's to close.
    int OpenForReading(std::string_view rel, int *fd, struct stat *st) const;
    // Creates rel, which must not exist, with content, mode and owner (-1
    // leaves an id as created).  The file is written whole under a temporary
    // name and linked to rel only then, so rel never holds a partial file;
    // EEXIST (kCreate) when rel exists.  On failure *failed_step (when
    // given) tells which step failed: kCreate, kWrite or kOwner.
    enum class Step { kCreate, kWrite, kOwner, kBackup, kRename };
    int CreateFile(std::string_view rel, std::string_view content, mode_t mode, uid_t uid, gid_t gid,
                   Step *failed_step = nullptr) const;
    // Writes the content of a new file in pieces: each call of write hands
    // one on (0 or errno).  Returns 0 or an errno value of its own.
    using Writer = std::function<int(std::string_view piece)>;
    using Filler = std::function<int(const Writer &write)>;
    // Replaces the regular file rel (or creates it) so that a failure at any
    // step leaves the old file whole: a temporary file beside it is written,
    // synced, given mode and owner and renamed over it; the directory is
    // synced last.  On failure *failed_step (when given) tells which step
    // failed.  With backup_rel given (it must not exist), the current file
    // is first linked there and that directory synced (kBackup when that
    // fails): a crash at any moment leaves the old file under one of the two
    // names.
    int ReplaceFile(std::string_view rel, std::string_view content, mode_t mode, uid_t uid, gid_t gid,
                    Step *failed_step = nullptr, std::string_view backup_rel = {}) const;
    // The same with the content written by fill (kWrite when it fails).
    int ReplaceFileWith(std::string_view rel, const Filler &fill, mode_t mode, uid_t uid, gid_t gid,
                        Step *failed_step = nullptr, std::string_view backup_rel = {}) const;
    // Creates the directory rel with mode and owner.
    int MakeDir(std::string_view rel, mode_t mode, uid_t uid, gid_t gid) const;
    // Renames from to to (both beneath this directory).
    int Rename(std::string_view from, std::string_view to) const;
    // Removes rel, a file or a link (never what a link points to).
    int Remove(std::string_view rel) const;
    // Removes the directory rel and everything in it, depth first, links as
    // links.  On failure *failed_path names the entry that failed.
    int RemoveTree(std::string_view rel, std::string *failed_path) const;
    // Syncs the directory rel ("" for this one): the names made, renamed or
    // removed in it survive a power loss.
    int Sync(std::string_view rel = {}) const;
    // Syncs the regular file rel (not followed, opened without blocking),
    // which someone else wrote: its data and size survive a power loss.
    int SyncFile(std::string_view rel) const;
    // Names in the directory rel ("" for this one), without "." and "..".
    int List(std::string_view rel, std::vector<std::string> *names) const;

  private:
    Dir(Env *env, int fd, std::string path) : env_(env), fd_(fd), path_(std::move(path)) {}
    // Opens the directory holding rel's last component; *leaf is that
    // component.  The result is a new fd, or -1 with *err.
    int OpenParent(std::string_view rel, std::string *leaf, int *err) const;
    int ReplaceFileSteps(std::string_view rel, const Filler &fill, mode_t mode, uid_t uid, gid_t gid, Step *step,
                         std::string_view backup_rel) const;

    Env *env_;
    int fd_;
    std::string path_;
};

}  // namespace hv

#endif  // HV_COMMON_DIR_H
