#include "plugins/plugin_log.h"

#include <cstdarg>
#include <cstring>
#include <string>

#include "common/string_format.h"
#include "hv/slapi-plugin.h"

// Not every host has the level test (OpenLDAP's slapd lacks it): a weak
// reference is none there, and every line is then formatted and handed on.
extern "C" int slapi_is_loglevel_set(const int loglevel) __attribute__((weak));

namespace hv::plugins {

void Log(const char *subsystem, const char *fmt, ...) noexcept {
    // Most lines are not written: ask before formatting.
    if (slapi_is_loglevel_set != nullptr && slapi_is_loglevel_set(SLAPI_LOG_PLUGIN) == 0) return;
    std::va_list ap;
    va_start(ap, fmt);
    std::string line;
    bool formatted = true;
    try {
        line = FormatV(fmt, ap);
    } catch (...) {
        formatted = false;  // out of memory: the format alone still tells what happened
    }
    va_end(ap);
    const char *text = formatted ? line.c_str() : fmt;
    std::size_t len = std::strlen(text);
    // A host may end a line itself when the format does not end in a
    // newline (OpenLDAP's slapd does), so the newline goes into the format.
    if (len > 0 && text[len - 1] == '\n') --len;
    // The host takes non-const texts; it does not change them.
    char format[] = "%.*s\n";
    slapi_log_error(SLAPI_LOG_PLUGIN, const_cast<char *>(subsystem), format, static_cast<int>(len), text);
}

}  // namespace hv::plugins
