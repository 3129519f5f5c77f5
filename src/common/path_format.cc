#include "common/path_format.h"

#include <cstdarg>
#include <cstdio>

namespace hv {

bool FormatPath(std::string *out, const char *fmt, ...) {
    out->clear();
    char buf[kPathBufferSize];
    va_list ap;
    va_start(ap, fmt);
    int n = std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    if (n < 0 || static_cast<std::size_t>(n) >= sizeof buf) return false;
    out->assign(buf, static_cast<std::size_t>(n));
    return true;
}

int strcmpi_fast(const char *a, const char *b) {
    const unsigned char *p = reinterpret_cast<const unsigned char *>(a);
    const unsigned char *q = reinterpret_cast<const unsigned char *>(b);
    auto fold = [](unsigned char c) -> int { return (c >= 'A' && c <= 'Z') ? c + 32 : c; };
    int ca = fold(*p), cb = fold(*q);
    while (ca != 0 && ca == cb) {
        ca = fold(*++p);
        cb = fold(*++q);
    }
    return ca - cb;
}

}  // namespace hv
