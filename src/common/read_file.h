// Reading a whole regular file without following a final symbolic link and
// without blocking on a FIFO or device put in its place.
#ifndef HV_COMMON_READ_FILE_H
#define HV_COMMON_READ_FILE_H

#include <sys/types.h>

#include <string>

namespace hv {

// Replaces *out with the file's bytes and, when mode is not none, sets
// *mode to its permission bits.  False with errno set when it cannot be
// opened or read, is not a regular file (EINVAL), or holds more than
// kMaxFileBytes (EFBIG, see common/dir.h).
bool ReadRegularFile(const char *path, std::string *out, mode_t *mode = nullptr);

}  // namespace hv

#endif  // HV_COMMON_READ_FILE_H
