// The server that calls a plug-in is written in C: a C++ exception that
// unwound into it would end the server process or corrupt its state.  Every
// function the server (or a C caller of the exported utilities) calls runs
// its body through CallFromC, which turns an escaping exception, in practice
// std::bad_alloc, into a logged failure result.
#ifndef HV_PLUGINS_C_BOUNDARY_H
#define HV_PLUGINS_C_BOUNDARY_H

#include <exception>

#include "hv/slapi-plugin.h"
#include "plugins/plugin_log.h"

namespace hv::plugins {

// body() or, when it throws, failure after one log line under subsystem.
template <typename Result, typename Body>
Result CallFromC(const char *subsystem, Result failure, Body &&body) noexcept {
    try {
        return body();
    } catch (const std::exception &e) {
        Log(subsystem, "unexpected failure: %s\n", e.what());
    } catch (...) {
        Log(subsystem, "unexpected failure\n");
    }
    return failure;
}

// A post-operation handler that the server may call: Handler's result, or
// -1 when it throws.
template <const char *Subsystem, int (*Handler)(Slapi_PBlock *)>
int GuardedHandler(Slapi_PBlock *pb) noexcept {
    return CallFromC(Subsystem, -1, [pb] { return Handler(pb); });
}

}  // namespace hv::plugins

#endif  // HV_PLUGINS_C_BOUNDARY_H
