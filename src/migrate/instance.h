// The one way into an instance for every step of the migration.
//
// The driver (the downgrade of one instance, the upgrade entry) opens the
// server root and the instance directory once, as an Instance, and makes it
// the current one with ScopedInstance.  The steps keep their path
// arguments; each path they build is resolved by Location: a path inside
// the current instance (or its server root) is reached through the opened
// directory, beneath it and without following any symbolic link, so that
// nothing the instance owner plants can lead the tool elsewhere.  Outside a
// driver (a step called on its own) the directory part of a path is opened
// as named and only its last component is guarded.
//
// The server root and the path to it belong to the administrator and are
// trusted; everything inside the instance directory belongs to the
// instance owner and is not.  Single-threaded, like the tool.
#ifndef HV_MIGRATE_INSTANCE_H
#define HV_MIGRATE_INSTANCE_H

#include <memory>
#include <string>

#include "common/dir.h"

namespace hv::migrate {

class Instance {
  public:
    // Opens serverroot (as named) and the directory name beneath it (not a
    // link).  nullptr with *err on failure.
    static std::unique_ptr<Instance> Open(Env *env, const std::string &serverroot, const std::string &name,
                                          int *err);
    // In a worker whose working directory is the instance the caller
    // opened: serverroot opened as named, the instance directory as the
    // working directory (named serverroot/name), so that it is the very
    // directory the caller examined.
    static std::unique_ptr<Instance> OpenCurrent(Env *env, const std::string &serverroot, const std::string &name,
                                                 int *err);
    // The same for the directory path, split at its last "/".
    static std::unique_ptr<Instance> OpenPath(Env *env, const std::string &path, int *err);
    // Takes an exclusive lock on the instance directory, so that one run at
    // a time works on it (a second dsmigrate, or an upgrade started twice).
    // Waits up to LockWait() for a run that holds it; 0, or EWOULDBLOCK when
    // it stayed held.  Released when the Instance goes.
    int Lock() const;
    const Dir &root() const { return *root_; }
    const Dir &dir() const { return *dir_; }
    const std::string &path() const { return dir_->path(); }

  private:
    Instance(std::unique_ptr<Dir> root, std::unique_ptr<Dir> dir) : root_(std::move(root)), dir_(std::move(dir)) {}
    std::unique_ptr<Dir> root_, dir_;
};

// The "upgrade" directory is renamed to "upgrade" and this before it is
// removed, so that no run finds it half removed.
inline constexpr char kRemovedSuffix[] = ".removed";

// Removes what an interrupted run left of its file replacements: the
// temporary files ("<name>.tmp" and six hex digits, as Dir::ReplaceFile
// names them) in the instance directory, its config, config/schema and
// upgrade directories, and those of this instance ("<name>-...") in the
// server root's alias directory; and an "upgrade.removed" directory whose
// removal was cut short.  Only regular files are removed, each named
// on standard error.  Called under the instance lock, so that no running
// replacement owns them.  True when it removed an "upgrade.removed": a
// downgrade had finished all but that.
bool RemoveStaleTemporaries(const Instance &instance, const std::string &name);

// How long Lock waits for another run: 10 seconds unless a test sets less.
int LockWaitMillis();
void SetLockWaitMillisForTesting(int millis);

// Makes instance the current one for its lifetime.
class ScopedInstance {
  public:
    explicit ScopedInstance(const Instance *instance);
    ~ScopedInstance();
    ScopedInstance(const ScopedInstance &) = delete;
    ScopedInstance &operator=(const ScopedInstance &) = delete;

  private:
    const Instance *saved_;
};

// A path resolved for the file work: the directory it lies beneath and the
// rest of the path ("" for that directory itself).
class Location {
  public:
    explicit Location(const std::string &path);
    // 0, or the errno of opening the directory (a fallback only).
    int error() const { return error_; }
    const Dir &dir() const { return *dir_; }
    const std::string &rel() const { return rel_; }
    const std::string &path() const { return path_; }

  private:
    const Dir *dir_ = nullptr;
    std::unique_ptr<Dir> own_;
    std::string rel_;
    std::string path_;
    int error_ = 0;
};

// The directory named by path, opened like a Location.
class DirRef {
  public:
    explicit DirRef(const std::string &path);
    // nullptr when it cannot be opened; error() tells why.
    const Dir *get() const { return dir_; }
    const Dir *operator->() const { return dir_; }
    int error() const { return error_; }

  private:
    Location where_;
    std::unique_ptr<Dir> own_;
    const Dir *dir_ = nullptr;
    int error_ = 0;
};

// Whether every path a migration of the instance name under serverroot
// builds fits the path buffer; the first that does not is named on standard
// error ("path too long").  Checked before the first change, so that a run
// never stops half-way for a path it could have known about.
bool MigrationPathsFit(const char *serverroot, const char *name);

// Creates the directory path (mode 0755, the process's ids) unless
// something of that name is there already; a link there is refused.  0, or
// 5 after "<path> cannot be created\n" on standard error.
int EnsureDirectory(const std::string &path);

// Prints "<path>: refused, a symbolic link or not the kind of file
// expected\n" to standard error.
void ReportRefused(const std::string &path);

// Prints "<path> is larger than <kMaxFileBytes> bytes: refused\n" to
// standard error (a read that gave EFBIG).
void ReportTooLarge(const std::string &path);

}  // namespace hv::migrate

#endif  // HV_MIGRATE_INSTANCE_H
