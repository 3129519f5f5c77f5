#include "migrate/migrate_paths.h"

#include <cstdarg>
#include <cstdio>

#include "common/path_format.h"
#include "common/string_format.h"

namespace hv::migrate {

bool BuildPath(std::string *out, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::string full;
    bool ok = hv::AppendFormatV(&full, fmt, ap);
    va_end(ap);
    if (ok && full.size() < kPathBufferSize) {
        *out = std::move(full);
        return true;
    }
    out->clear();
    // Name the whole path in the message, so the administrator sees which
    // part is too long.
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
