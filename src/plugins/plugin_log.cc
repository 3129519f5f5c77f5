#include "plugins/plugin_log.h"

#include <cstdarg>
#include <cstdio>
#include <string>

#include "hv/slapi-plugin.h"

namespace hv::plugins {

void Log(const char *subsystem, const char *fmt, ...) {
    std::va_list ap;
    va_start(ap, fmt);
    std::va_list again;
    va_copy(again, ap);
    const int n = std::vsnprintf(nullptr, 0, fmt, ap);
    va_end(ap);
    std::string line;
    if (n > 0) {
        line.resize(static_cast<std::size_t>(n) + 1);
        std::vsnprintf(line.data(), line.size(), fmt, again);
        line.resize(static_cast<std::size_t>(n));
    }
    va_end(again);
    // A host may end a line itself when the format does not end in a
    // newline (OpenLDAP's slapd does), so the newline goes into the format.
    if (!line.empty() && line.back() == '\n') line.pop_back();
    // The host takes non-const texts; it does not change them.
    char format[] = "%s\n";
    slapi_log_error(SLAPI_LOG_PLUGIN, const_cast<char *>(subsystem), format, line.c_str());
}

}  // namespace hv::plugins
