#include "common/path_format.h"

#include <cstdarg>

#include "common/string_format.h"

namespace hv {

bool FormatPath(std::string *out, const char *fmt, ...) {
    out->clear();
    va_list ap;
    va_start(ap, fmt);
    bool ok = AppendFormatV(out, fmt, ap);
    va_end(ap);
    if (ok && out->size() < kPathBufferSize) return true;
    out->clear();
    return false;
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
