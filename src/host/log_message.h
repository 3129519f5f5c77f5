// One line to the error log from host code, which formats with constant
// texts while the published logging call takes writable ones.
// Thread-safe, as the log is.
#ifndef HV_HOST_LOG_MESSAGE_H
#define HV_HOST_LOG_MESSAGE_H

#include <cstdarg>
#include <string>

#include "common/string_format.h"
#include "hv/slapi-plugin.h"

namespace hv {

inline void LogFatal(const char *subsystem, const char *fmt, ...) HV_PRINTF(2, 3);
inline void LogFatal(const char *subsystem, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::string line = FormatV(fmt, ap);
    va_end(ap);
    std::string sub = subsystem;
    char percent_s[] = "%s";
    slapi_log_error(SLAPI_LOG_FATAL, sub.data(), percent_s, line.c_str());
}

}  // namespace hv

#endif  // HV_HOST_LOG_MESSAGE_H
