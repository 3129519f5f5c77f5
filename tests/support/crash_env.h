// An Env that simulates a power loss in the middle of a run.
//
// CrashEnv watches the tree under one directory.  Before the call numbered
// crash_at (1 for the first call the Env sees), the power fails: it works
// out what the disk could hold afterwards, under two models, and from then
// on fails every call with EIO (what the run does afterwards never reaches
// the disk).
//
//   kOrdered  an ordered journal (ext4, xfs): every name made, renamed or
//             removed before the crash is on the disk, in order; a file's
//             data only as far as its last fsync (a file never synced is
//             empty).
//   kPosix    the least POSIX promises: each directory holds the names it
//             held at its own last fsync (or at the start), each file the
//             data of its last fsync.
//
// Its fsync only tells the model (the real one is not made, which keeps
// tests fast).  Only files and directories are modelled (not links), and only content
// and kind, not modes.  The model knows what the Env sees: code that must
// be covered has to reach the disk through it (Env::SetDefaultForTesting
// for code that uses the default).  For tests; single-threaded.
#ifndef HV_TESTS_SUPPORT_CRASH_ENV_H
#define HV_TESTS_SUPPORT_CRASH_ENV_H

#include <sys/stat.h>

#include <map>
#include <set>
#include <string>

#include "common/dir.h"

namespace hvtest {

// A tree as read or rebuilt: relative path -> node ("" is not listed).
struct TreeNode {
    bool dir = false;
    std::string content;
    mode_t mode = 0644;
    uid_t uid = static_cast<uid_t>(-1);
    gid_t gid = static_cast<gid_t>(-1);
};
using Tree = std::map<std::string, TreeNode>;

// The tree under root as it is now.
Tree ReadTree(const std::string &root);
// Creates tree under the existing, empty directory dest (owners kept when
// running as root).
void WriteTree(const Tree &tree, const std::string &dest);

class CrashEnv : public hv::FaultEnv {
  public:
    enum class Model { kOrdered, kPosix };
    CrashEnv(std::string root, int crash_at);

    // The calls seen so far, the one the power failed at included.
    int calls() const { return seen_; }
    bool crashed() const { return crashed_; }
    // What the disk holds after the power loss (empty before one).
    const Tree &image(Model model) const { return model == Model::kOrdered ? ordered_ : posix_; }

    // Files (relative paths matching re) that code outside this Env writes
    // and makes durable itself: taken as they are at the power loss.  (A
    // shared library with its own copy of the default Env, for one.)
    void TrustWrittenElsewhere(const std::string &re) { trusted_ = re; }

    // Every content each file under root has held at a call of the Env
    // (from the first call on, once asked for; AddToHistory adds the
    // present state): what a complete step may leave under a name.
    void RecordHistory() { record_history_ = true; }
    void AddToHistory();
    const std::map<std::string, std::set<std::string>> &history() const { return history_; }

    int OpenAt(int dirfd, const char *name, int flags, mode_t mode) override;
    int Fsync(int fd) override;
    int MkdirAt(int dirfd, const char *name, mode_t mode) override;

  protected:
    bool Fail(const char *what, const char *name) override;

  private:
    using Ino = std::pair<dev_t, ino_t>;
    struct Entry {
        Ino ino;
        bool dir;
    };
    // The current relative path of ino under root, by a walk; false when it
    // is not there.
    bool Find(const Ino &ino, std::string *rel) const;
    void Record(const Ino &ino, const std::string &rel, bool dir);
    void Crash();
    void Rebuild(const Ino &dir, const std::string &prefix, int depth);

    std::string root_;
    int crash_at_;
    int seen_ = 0;
    bool crashed_ = false;
    Ino root_ino_{};
    std::map<Ino, std::string> data_;                     // files: durable content
    std::map<Ino, std::map<std::string, Entry>> entries_;  // directories: durable names
    std::map<Ino, TreeNode> meta_;                         // kind, mode and owner
    Tree ordered_, posix_;
    bool record_history_ = false;
    std::string trusted_;
    std::map<std::string, std::set<std::string>> history_;
};

}  // namespace hvtest

#endif  // HV_TESTS_SUPPORT_CRASH_ENV_H
