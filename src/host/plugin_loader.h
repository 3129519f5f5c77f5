// Plug-ins loaded into the host: the record kept for each, and the list of
// registered plug-ins whose post-operation handlers the operations call.
//
// Records live until the process ends (a plug-in's code is never unloaded
// once its initialisation ran), so the pointers handed out stay valid even
// after hv_host_reset forgets the registrations.  Loading and forgetting are
// meant for start-up and tear-down; RegisteredPlugins may be called from
// many threads at once.
#ifndef HV_HOST_PLUGIN_LOADER_H
#define HV_HOST_PLUGIN_LOADER_H

#include <map>
#include <string>
#include <vector>

#include "host/host_impl.h"

struct hv_plugin {
    std::string path;
    std::string initfn;
    void *handle = nullptr;
    // The argument texts the plug-in was given, kept for its whole life:
    // plug-ins read them (and point into them) on every operation.
    std::vector<std::string> args;
    std::vector<char *> argv;  // into args, ended by none
    bool has_version = false;
    std::string version;
    const Slapi_PluginDesc *description = nullptr;  // the plug-in's own record
    std::map<int, Slapi_PluginFunc> handlers;       // by SLAPI_PLUGIN_POST_*_FN
};

namespace hv {

// Registered plug-ins in load order.
std::vector<const hv_plugin *> RegisteredPlugins();
// Forgets every registration; records and shared objects stay.
void ForgetPlugins();

}  // namespace hv

#endif  // HV_HOST_PLUGIN_LOADER_H
