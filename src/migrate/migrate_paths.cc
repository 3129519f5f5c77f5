#include "migrate/migrate_paths.h"

#include <cstdarg>
#include <cstdio>

#include "common/path_format.h"

namespace hv::migrate {

bool BuildPath(std::string *out, const char *fmt, ...) {
    out->clear();
    va_list ap, again;
    va_start(ap, fmt);
    va_copy(again, ap);
    char buf[kPathBufferSize];
    int n = std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    if (n >= 0 && static_cast<std::size_t>(n) < sizeof buf) {
        out->assign(buf, static_cast<std::size_t>(n));
        va_end(again);
        return true;
    }
    // Name the whole path in the message, so the administrator sees which
    // part is too long.
    std::string full;
    if (n > 0) {
        full.resize(static_cast<std::size_t>(n) + 1);
        std::vsnprintf(full.data(), full.size(), fmt, again);
        full.resize(static_cast<std::size_t>(n));
    }
    va_end(again);
    std::fprintf(stderr, "%s: path too long, at most %zu bytes\n", full.c_str(), kPathBufferSize - 1);
    return false;
}

void TrimDirectorySuffix(std::string *path) {
    for (;;) {
        if (path->size() > 1 && path->back() == '/')
            path->pop_back();
        else if (path->size() > 2 && path->compare(path->size() - 2, 2, "/.") == 0)
            path->resize(path->size() - 2);
        else
            return;
    }
}

}  // namespace hv::migrate
