#include "common/read_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "common/dir.h"

namespace hv {

bool ReadRegularFile(const char *path, std::string *out, mode_t *mode) {
    int fd = ::open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st {};
    bool ok = ::fstat(fd, &st) == 0;
    if (ok && !S_ISREG(st.st_mode)) {
        errno = EINVAL;
        ok = false;
    }
    if (ok && static_cast<unsigned long long>(st.st_size) > kMaxFileBytes) {
        errno = EFBIG;
        ok = false;
    }
    out->clear();
    char buf[65536];
    while (ok) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) ok = false;
        if (n <= 0) break;
        if (out->size() + static_cast<std::size_t>(n) > kMaxFileBytes) {
            errno = EFBIG;
            ok = false;
            break;
        }
        out->append(buf, static_cast<std::size_t>(n));
    }
    int saved = errno;
    ::close(fd);
    errno = saved;
    if (ok && mode != nullptr) *mode = st.st_mode & 07777;
    return ok;
}

}  // namespace hv
