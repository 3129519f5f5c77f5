// Loading plug-in shared objects and keeping what their initialisation
// registered.
#include "host/plugin_loader.h"

#include <dlfcn.h>
#include <strings.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <shared_mutex>
#include <string>

#include "common/export.h"
#include "host/log_message.h"

namespace {

const char kSubsystem[] = "plugin";

// Every record ever loaded, so that hv_plugin pointers and the argument
// texts a plug-in keeps stay valid until exit.
std::vector<std::unique_ptr<hv_plugin>> &AllPlugins() {
    static auto *all = new std::vector<std::unique_ptr<hv_plugin>>;
    return *all;
}

std::shared_mutex g_mu;  // guards AllPlugins() and g_registered
std::vector<const hv_plugin *> g_registered;
// Raised under g_mu at every change of g_registered: operations read the
// list from a copy of their thread's while it stays current, instead of
// sharing a lock word on every operation.
std::atomic<std::uint64_t> g_generation{1};

// Messages name the file and the function; fmt takes both and a reason.
int Fail(const char *fmt, const std::string &a, const std::string &b, const char *why) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    hv::LogFatal(kSubsystem, fmt, a.c_str(), b.c_str(), why);
#pragma GCC diagnostic pop
    return -1;
}

const int kHandlerKinds[] = {SLAPI_PLUGIN_POST_ADD_FN, SLAPI_PLUGIN_POST_MODIFY_FN,
                             SLAPI_PLUGIN_POST_DELETE_FN, SLAPI_PLUGIN_POST_MODRDN_FN};

}  // namespace

namespace hv {

std::vector<const hv_plugin *> RegisteredPlugins() {
    thread_local std::uint64_t seen = 0;
    thread_local std::vector<const hv_plugin *> cached;
    if (g_generation.load(std::memory_order_acquire) != seen) {
        std::shared_lock lock(g_mu);
        cached = g_registered;
        seen = g_generation.load(std::memory_order_relaxed);
    }
    return cached;
}

void ForgetPlugins() {
    std::unique_lock lock(g_mu);
    g_registered.clear();
    ++g_generation;
}

}  // namespace hv

extern "C" {

HV_EXPORT int hv_plugin_load(const char *path, const char *initfn, int argc, char **argv,
                             int rtld_flags, hv_plugin **out) {
    if (out != nullptr) *out = nullptr;
    if (path == nullptr || initfn == nullptr || argc < 0 || (argc > 0 && argv == nullptr)) {
        hv::LogFatal(kSubsystem, "plug-in load: missing path, function or arguments\n");
        return -1;
    }
    auto plugin = std::make_unique<hv_plugin>();
    plugin->path = path;
    plugin->initfn = initfn;
    for (int i = 0; i < argc; ++i) plugin->args.emplace_back(argv[i] == nullptr ? "" : argv[i]);
    for (std::string &a : plugin->args) plugin->argv.push_back(a.data());
    plugin->argv.push_back(nullptr);

    dlerror();
    void *handle = dlopen(path, RTLD_NOW | rtld_flags);
    if (handle == nullptr) {
        const char *why = dlerror();
        return Fail("cannot load plug-in %s (initialisation function %s): %s\n", plugin->path,
                    plugin->initfn, why == nullptr ? "unknown error" : why);
    }
    dlerror();
    void *sym = dlsym(handle, initfn);
    if (sym == nullptr) {
        const char *why = dlerror();
        std::string reason = why == nullptr ? "no such symbol" : why;
        dlclose(handle);
        return Fail("plug-in %s has no initialisation function %s: %s\n", plugin->path,
                    plugin->initfn, reason.c_str());
    }
    plugin->handle = handle;
    auto init = reinterpret_cast<Slapi_PluginFunc>(sym);

    Slapi_PBlock *pb = slapi_pblock_new();
    hv::PBlockImpl *b = hv::Impl(pb);
    b->argc = argc;
    b->argv = plugin->argv.data();
    int rc = init(pb);
    if (b->plugin_version != nullptr) {
        plugin->has_version = true;
        plugin->version = b->plugin_version;
    }
    plugin->description = b->description;
    for (int kind : kHandlerKinds) {
        auto fn = b->functions.find(kind);
        if (fn != b->functions.end() && fn->second != nullptr) plugin->handlers[kind] = fn->second;
    }
    b->argv = nullptr;
    slapi_pblock_destroy(pb);

    hv_plugin *kept = plugin.get();
    std::unique_lock lock(g_mu);
    // The shared object stays mapped even when its initialisation failed:
    // it may have left threads, locks or exit handlers behind.
    AllPlugins().push_back(std::move(plugin));
    if (rc != 0) {
        lock.unlock();
        std::string code = std::to_string(rc);
        return Fail("plug-in %s: initialisation function %s failed with %s\n", kept->path,
                    kept->initfn, code.c_str());
    }
    g_registered.push_back(kept);
    ++g_generation;
    if (out != nullptr) *out = kept;
    return 0;
}

HV_EXPORT int hv_plugin_load_entry(Slapi_Entry *config, hv_plugin **out) {
    if (out != nullptr) *out = nullptr;
    if (config == nullptr) return -1;
    const char *dn = slapi_entry_get_dn(config);
    std::string where = dn == nullptr ? "(no DN)" : dn;
    char *path = slapi_entry_attr_get_charptr(config, "hvPluginPath");
    char *initfn = slapi_entry_attr_get_charptr(config, "hvPluginInitFunction");
    char *global = slapi_entry_attr_get_charptr(config, "hvPluginLoadGlobal");
    int rc = -1;
    if (path == nullptr || initfn == nullptr) {
        Fail("plug-in entry %s lacks %s%s\n", where, path == nullptr ? "hvPluginPath " : "",
             initfn == nullptr ? "hvPluginInitFunction" : "");
    } else {
        std::vector<std::string> args;
        for (int i = 0;; ++i) {
            std::string type = "hvPluginArg" + std::to_string(i);
            char *v = slapi_entry_attr_get_charptr(config, type.c_str());
            if (v == nullptr) break;
            args.emplace_back(v);
            slapi_ch_free_string(&v);
        }
        std::vector<char *> argv;
        for (std::string &a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        bool load_global = global != nullptr && (strcasecmp(global, "on") == 0 ||
                                                 strcasecmp(global, "true") == 0);
        rc = hv_plugin_load(path, initfn, static_cast<int>(args.size()), argv.data(),
                            load_global ? RTLD_GLOBAL : RTLD_LOCAL, out);
        if (rc != 0)
            hv::LogFatal(kSubsystem, "plug-in entry %s was not loaded\n",
                            where.c_str());
    }
    slapi_ch_free_string(&path);
    slapi_ch_free_string(&initfn);
    slapi_ch_free_string(&global);
    return rc;
}

HV_EXPORT const Slapi_PluginDesc *hv_plugin_description(const hv_plugin *p) {
    return p == nullptr ? nullptr : p->description;
}

HV_EXPORT const char *hv_plugin_version(const hv_plugin *p) {
    return p == nullptr || !p->has_version ? nullptr : p->version.c_str();
}

}  // extern "C"
