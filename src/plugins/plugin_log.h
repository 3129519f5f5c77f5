// Log lines of the counter plug-ins: one line at the plug-in level
// (SLAPI_LOG_PLUGIN) under a subsystem name, formatted like printf.
// Thread-safe: the host's log serialises lines.  Never throws: a line that
// cannot be formatted for want of memory is logged as its bare format.
#ifndef HV_PLUGINS_PLUGIN_LOG_H
#define HV_PLUGINS_PLUGIN_LOG_H

namespace hv::plugins {

void Log(const char *subsystem, const char *fmt, ...) noexcept __attribute__((format(printf, 2, 3)));

}  // namespace hv::plugins

#endif  // HV_PLUGINS_PLUGIN_LOG_H
