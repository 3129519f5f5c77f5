// Replacing a file's whole content so that a crash or a failure at any
// moment leaves either the old or the new content under the file's name,
// never a missing or half-written file (Dir::ReplaceFile does the work).
//
// Used for the server's configuration file; the migration tool replaces the
// files of an instance through its Dir.  Thread-compatible: concurrent
// rewrites of one path must be serialized by the caller.
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

// Writes content to path as described above, with permission bits mode and
// owner uid:gid (-1 leaves that id as the process creates it).  The
// directory part of path is followed as named; a link or a file that is not
// regular under the last name is refused (kCreateFailed, errno ELOOP or
// kWrongType).  On failure path is untouched and errno tells why.
RewriteStatus RewriteFile(const char *path, std::string_view content, mode_t mode, uid_t uid,
                          gid_t gid);

}  // namespace hv

#endif  // HV_COMMON_ATOMIC_FILE_H
