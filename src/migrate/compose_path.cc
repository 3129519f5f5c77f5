#include "migrate/compose_path.h"

#include <cstdarg>
#include <cstdio>

#include "common/path_format.h"

namespace hv {

bool ComposePath(std::string *out, const char *fmt, ...) {
    out->clear();
    va_list ap;
    va_start(ap, fmt);
    va_list again;
    va_copy(again, ap);
    int n = std::vsnprintf(nullptr, 0, fmt, ap);
    va_end(ap);
    if (n < 0) {
        va_end(again);
        std::fprintf(stderr, "Cannot compose a path from \"%s\"\n", fmt);
        return false;
    }
    std::string full(static_cast<std::size_t>(n), '\0');
    std::vsnprintf(full.data(), full.size() + 1, fmt, again);
    va_end(again);
    // Same limit as hv::FormatPath; the full text goes into the message so
    // the administrator sees which path it was.
    if (full.size() >= kPathBufferSize) {
        std::fprintf(stderr, "Path too long (more than %zu bytes): %s\n", kPathBufferSize - 1,
                     full.c_str());
        return false;
    }
    *out = std::move(full);
    return true;
}

}  // namespace hv
