// printf-style formatting into std::string, the one way our code turns a C
// format and its arguments into text (messages, paths, script bodies).
// Header-only so that the plug-ins, which link no library of ours, use it
// too.
#ifndef HV_COMMON_STRING_FORMAT_H
#define HV_COMMON_STRING_FORMAT_H

#include <cstdarg>
#include <cstdio>
#include <string>
#include <string_view>

namespace hv {

// Appends the formatted text to *out.  Consumes ap as vprintf does.  False,
// with nothing appended, when the C library reports an encoding error.
inline bool AppendFormatV(std::string *out, const char *fmt, va_list ap) {
    // Most lines are short: one pass into a stack buffer, a second only for
    // longer texts.
    char small[256];
    va_list copy;
    va_copy(copy, ap);
    const int n = std::vsnprintf(small, sizeof small, fmt, copy);
    va_end(copy);
    if (n < 0) return false;
    const auto len = static_cast<std::size_t>(n);
    if (len < sizeof small) {
        out->append(small, len);
        return true;
    }
    const std::size_t old = out->size();
    out->resize(old + len + 1);
    std::vsnprintf(out->data() + old, len + 1, fmt, ap);
    out->resize(old + len);
    return true;
}

// The formatted text; empty on an encoding error.
inline std::string FormatV(const char *fmt, va_list ap) {
    std::string out;
    AppendFormatV(&out, fmt, ap);
    return out;
}

inline std::string Format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
inline std::string Format(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::string out = FormatV(fmt, ap);
    va_end(ap);
    return out;
}

// text with each control byte (below 0x20 but tab, and 0x7f) written as
// "\xNN", so that names and contents an instance owner chose cannot drive
// the terminal that shows them.
inline std::string EscapeControl(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (unsigned char c : text) {
        if ((c < 0x20 && c != '\t') || c == 0x7f) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02x", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

}  // namespace hv

#endif  // HV_COMMON_STRING_FORMAT_H
