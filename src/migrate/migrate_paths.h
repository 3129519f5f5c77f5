// Path building for the migration tool.  Every path lives in what the
// stored layout allows, a 1024-byte buffer with its terminating NUL; a path
// that does not fit is refused with a message naming it instead of being
// cut.  Also small owners for NSPR handles.  Single-threaded like the tool.
#ifndef HV_MIGRATE_MIGRATE_PATHS_H
#define HV_MIGRATE_MIGRATE_PATHS_H

#include <prio.h>

#include <memory>
#include <string>

namespace hv::migrate {

// Formats like printf into *out.  When the result does not fit the path
// buffer, prints "<path>: path too long, at most 1023 bytes\n" to standard
// error, leaves *out empty and returns false.
bool BuildPath(std::string *out, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

// Drops what names the same directory at the end of a path: trailing "/"
// and "/." ("slapd-a/./" becomes "slapd-a"; "/" stays).
void TrimDirectorySuffix(std::string *path);

struct PrFileCloser {
    void operator()(PRFileDesc *fd) const { PR_Close(fd); }
};
using PrFile = std::unique_ptr<PRFileDesc, PrFileCloser>;

struct PrDirCloser {
    void operator()(PRDir *dir) const { PR_CloseDir(dir); }
};
using PrDirHandle = std::unique_ptr<PRDir, PrDirCloser>;

}  // namespace hv::migrate

#endif  // HV_MIGRATE_MIGRATE_PATHS_H
