#include "plugins/plugin_log.h"

#include <cstdarg>
#include <cstdio>
#include <string>

#include "hv/slapi-plugin.h"

// Not every host has the level test (OpenLDAP's slapd lacks it): a weak
// reference is none there, and every line is then formatted and handed on.
extern "C" int slapi_is_loglevel_set(const int loglevel) __attribute__((weak));

namespace hv::plugins {

void Log(const char *subsystem, const char *fmt, ...) {
    // Most lines are not written: ask before formatting.
    if (slapi_is_loglevel_set != nullptr && slapi_is_loglevel_set(SLAPI_LOG_PLUGIN) == 0) return;
    char small[512];
    std::string big;
    const char *line = small;
    std::va_list ap;
    va_start(ap, fmt);
    std::va_list again;
    va_copy(again, ap);
    int n = std::vsnprintf(small, sizeof small, fmt, ap);
    va_end(ap);
    if (n < 0) {
        n = 0;
        small[0] = '\0';
    } else if (static_cast<std::size_t>(n) >= sizeof small) {
        big.resize(static_cast<std::size_t>(n) + 1);
        std::vsnprintf(big.data(), big.size(), fmt, again);
        line = big.c_str();
    }
    va_end(again);
    // A host may end a line itself when the format does not end in a
    // newline (OpenLDAP's slapd does), so the newline goes into the format.
    std::string_view text(line, static_cast<std::size_t>(n));
    if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
    // The host takes non-const texts; it does not change them.
    char format[] = "%.*s\n";
    slapi_log_error(SLAPI_LOG_PLUGIN, const_cast<char *>(subsystem), format, static_cast<int>(text.size()),
                    text.data());
}

}  // namespace hv::plugins
