// Replacing a file's whole content so that a crash or a failure at any
// moment leaves either the old or the new content under the file's name,
// never a missing or half-written file: the new content goes to a temporary
// file in the same directory, is flushed to disk, gets its mode and owner,
// and is renamed over the old file; the directory is flushed last.
//
// Used for the version repository, the rewritten schema file and the
// server's configuration file.  Thread-compatible: concurrent rewrites of
// one path must be serialized by the caller.
#ifndef HV_COMMON_ATOMIC_FILE_H
#define HV_COMMON_ATOMIC_FILE_H

#include <sys/types.h>

#include <string_view>

namespace hv {

enum class RewriteStatus {
    kOk,
    kCreateFailed,  // the temporary file could not be created
    kWriteFailed,   // writing or flushing the new content failed
    kOwnerFailed,   // mode or owner could not be set
    kRenameFailed,  // the new file could not take the old one's name
};

// Steps at which a test can make a rewrite fail.
enum class RewriteStep { kCreate, kWrite, kFlush, kOwner, kRename };
// Returns true to make the step fail as if the system call had failed.
using RewriteFaultHook = bool (*)(RewriteStep step);
// Installs a hook for the calling process (none removes it).  For tests only.
void SetRewriteFaultHook(RewriteFaultHook hook);

// Writes content to path as described above, with permission bits mode and
// owner uid:gid (-1 leaves that id as the process creates it).  On failure
// the temporary file is removed, path is untouched and errno tells why.
RewriteStatus RewriteFile(const char *path, std::string_view content, mode_t mode, uid_t uid,
                          gid_t gid);

}  // namespace hv

#endif  // HV_COMMON_ATOMIC_FILE_H
