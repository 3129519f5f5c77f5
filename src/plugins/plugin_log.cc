#include "plugins/plugin_log.h"

#include <cstdarg>
#include <string>

#include "common/string_format.h"
#include "hv/slapi-plugin.h"

namespace hv::plugins {

void Log(const char *subsystem, const char *fmt, ...) {
    std::va_list ap;
    va_start(ap, fmt);
    std::string line = FormatV(fmt, ap);
    va_end(ap);
    // A host may end a line itself when the format does not end in a
    // newline (OpenLDAP's slapd does), so the newline goes into the format.
    if (!line.empty() && line.back() == '\n') line.pop_back();
    // The host takes non-const texts; it does not change them.
    char format[] = "%s\n";
    slapi_log_error(SLAPI_LOG_PLUGIN, const_cast<char *>(subsystem), format, line.c_str());
}

}  // namespace hv::plugins
