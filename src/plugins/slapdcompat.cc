// slapdcompat: gives the post-operation plug-ins loaded after it, in
// OpenLDAP slapd, what slapd itself leaves out, so that the counter
// plug-ins count there as they do in our own host:
//
//   - the operation's real result in SLAPI_PLUGIN_OPRETURN (slapd leaves 0
//     there even for refused operations and keeps the real code under
//     SLAPI_RESULT_CODE);
//   - the target entry before the change (SLAPI_ENTRY_PRE_OP: modify,
//     delete, modify-RDN) and after it (SLAPI_ENTRY_POST_OP: successful add,
//     modify, modify-RDN), each read with an internal base search;
//   - operations on one DN one after the other: the pre-operation handler
//     takes a lock on the target's normalised DN, and it is released only
//     when slapd destroys the operation, after every post-operation handler
//     has run.  slapd answers the client before it runs post-operation
//     handlers, so without the lock an operation on an entry could overtake
//     the counter writes of the one before it;
//   - a modify-RDN apart from every other change: it waits until the
//     changes before it are done with their handlers, and the changes after
//     it wait until it is done with its own.  A move's handlers count the
//     moved subtree at its new place; a change inside the subtree whose
//     handlers ran during that count (an add below the entry just moved,
//     which the same client may send as soon as slapd has answered the
//     move) would be counted twice or at the wrong ancestors.
//
// Configuration: the first `plugin` line of a database, so that its
// post-operation handlers run before those of the counter plug-ins:
//
//   plugin postoperation .../slapdcompat.so SlapdCompat_Init [lockTimeout=30] [stopTimeout=30]
//
//   lockTimeout  seconds an operation waits for the lock on its DN (default
//                30, 0 = do not wait); an operation that does not get it
//                goes on without it, after a log line, so that one stuck
//                operation cannot stop the server.
//   stopTimeout  seconds a normal stop (SIGTERM, SIGINT, SIGHUP) waits for
//                the changes under way to run their handlers, refusing new
//                changes with 52 (unavailable) meanwhile (default 30, 0 =
//                do not hold the stop); see plugins/stop_hold.h.
//
// The per-operation state lives in an object extension of slapd's
// Operation; its destructor frees the entries and releases the lock, also
// for an operation that a pre-operation plug-in stopped.  Internal
// operations (the counters' own writes) run no handlers in slapd, so they
// never wait for a lock held by the operation that makes them.
//
// Nothing here lets a C++ exception reach slapd, sets SLAPI_PLUGIN_ARGV in
// an operation's block (later plug-ins would take it as their own
// arguments), or registers an unbind handler (slapd crashes on
// SLAPI_IS_REPLICATED_OPERATION there).
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <unordered_map>

#include "common/export.h"
#include "hv/slapi-plugin.h"
#include "plugins/plugin_log.h"
#include "plugins/stop_hold.h"


namespace {

constexpr char kInitName[] = "SlapdCompat_Init";
constexpr char kPluginName[] = "slapdcompat";

char kDescId[] = "slapdcompat";
char kDescVendor[] = "hvds";
char kDescVersion[] = "1.0";
char kDescText[] =
    "Gives later post-operation plug-ins the operation status, the entries before and after it, "
    "and operations on one entry in order";
Slapi_PluginDesc pluginDescription = {kDescId, kDescVendor, kDescVersion, kDescText};

// For catch blocks: formats nothing and allocates nothing, so it cannot
// throw again.
void LogFailure(const char *subsystem, const char *what) noexcept {
    char format[] = "%s\n";
    slapi_log_error(SLAPI_LOG_PLUGIN, const_cast<char *>(subsystem), format, what);
}

// ---- Configuration --------------------------------------------------------

struct Config {
    std::chrono::seconds lockTimeout{30};
    std::chrono::seconds stopTimeout{30};
};

// Set during initialisation, before any operation; read-only afterwards.
// With the plug-in on several databases the last line's settings apply.
Config config;

// "lockTimeout=<seconds>" and "stopTimeout=<seconds>"; every other argument
// is refused, so that a typing error does not silently leave the default in
// force.
bool ParseArguments(int argc, char **argv, Config *out) {
    Config c;
    for (int i = 0; i < argc; ++i) {
        const char *arg = argv != nullptr && argv[i] != nullptr ? argv[i] : "";
        const char *eq = std::strchr(arg, '=');
        std::string_view name(arg, eq == nullptr ? std::strlen(arg) : static_cast<size_t>(eq - arg));
        if (eq == nullptr || (name != "lockTimeout" && name != "stopTimeout")) {
            hv::plugins::Log(kInitName, "unknown argument \"%s\"\n", arg);
            return false;
        }
        char *end = nullptr;
        errno = 0;
        long seconds = std::strtol(eq + 1, &end, 10);
        if (end == eq + 1 || *end != '\0' || errno != 0 || seconds < 0 || seconds > 86400) {
            hv::plugins::Log(kInitName, "%s must be a number of seconds from 0 to 86400, not \"%s\"\n",
                             std::string(name).c_str(), eq + 1);
            return false;
        }
        (name == "lockTimeout" ? c.lockTimeout : c.stopTimeout) = std::chrono::seconds(seconds);
    }
    *out = c;
    return true;
}

// ---- Locks on normalised DNs ------------------------------------------------

// A lock per DN, held from an operation's pre-operation handler until its
// state is destroyed.  Not tied to a thread: slapd may destroy the operation
// on another thread than the one that took the lock.
class DnLockTable {
  public:
    // False when the DN stayed locked for the whole timeout.
    bool Lock(const std::string &ndn, std::chrono::seconds timeout) {
        std::unique_lock guard(mu_);
        std::unique_ptr<Slot> &slot = slots_[ndn];
        if (slot == nullptr) slot = std::make_unique<Slot>();
        Slot *s = slot.get();  // stays put while waiters > 0 or held
        ++s->waiters;
        const bool got = s->cv.wait_for(guard, timeout, [s] { return !s->held; });
        --s->waiters;
        if (got) {
            s->held = true;
        } else if (!s->held && s->waiters == 0) {
            slots_.erase(ndn);
        }
        return got;
    }

    void Unlock(const std::string &ndn) {
        std::lock_guard guard(mu_);
        auto it = slots_.find(ndn);
        if (it == slots_.end()) return;
        Slot *s = it->second.get();
        s->held = false;
        if (s->waiters == 0) {
            slots_.erase(it);
        } else {
            s->cv.notify_one();
        }
    }

  private:
    struct Slot {
        bool held = false;
        int waiters = 0;
        std::condition_variable cv;
    };
    std::mutex mu_;
    std::unordered_map<std::string, std::unique_ptr<Slot>> slots_;
};

DnLockTable dnLocks;

// Held shared by every add, modify and delete and exclusively by a
// modify-RDN, over the same span as the DN lock.  A waiting modify-RDN
// keeps new changes out, so a steady stream of them cannot starve it.
// Always taken before the DN lock and never while one is held, so the two
// cannot deadlock.
class MoveGate {
  public:
    bool Enter(bool exclusive, std::chrono::seconds timeout) {
        std::unique_lock guard(mu_);
        if (!exclusive) {
            if (!cv_.wait_for(guard, timeout, [this] { return !exclusive_ && waitingExclusive_ == 0; })) return false;
            ++shared_;
            return true;
        }
        ++waitingExclusive_;
        const bool got = cv_.wait_for(guard, timeout, [this] { return !exclusive_ && shared_ == 0; });
        --waitingExclusive_;
        if (got) {
            exclusive_ = true;
        } else {
            cv_.notify_all();  // changes held back by this waiter may go on
        }
        return got;
    }

    void Leave(bool exclusive) {
        std::lock_guard guard(mu_);
        if (exclusive) {
            exclusive_ = false;
        } else {
            --shared_;
        }
        cv_.notify_all();
    }

  private:
    std::mutex mu_;
    std::condition_variable cv_;
    int shared_ = 0;
    int waitingExclusive_ = 0;
    bool exclusive_ = false;
};

MoveGate moveGate;

// The lock key: the DN normalised and case-folded by the server, so that two
// spellings of one entry's DN share a lock.  A server may normalise in place
// or hand back a new text; a DN it cannot normalise is keyed by its text.
std::string NormalisedDn(const char *dn) {
    std::string s = dn != nullptr ? dn : "";
    s.push_back('\0');
    char *n = slapi_dn_normalize_case(s.data());
    std::string key = n != nullptr ? n : s.c_str();
    const std::less<const char *> before;
    const bool inPlace = !before(n, s.data()) && before(n, s.data() + s.size());
    if (n != nullptr && !inPlace) slapi_ch_free_string(&n);
    return key;
}

// ---- Per-operation state ---------------------------------------------------

// Owned by slapd's Operation through the object extension.  The entries are
// also in the operation's parameter block, where slapd never frees them.
struct OpState {
    enum class Gate { kNone, kShared, kExclusive };
    Gate gate = Gate::kNone;
    std::string lockedDn;  // empty when no lock is held
    Slapi_Entry *pre = nullptr;
    Slapi_Entry *post = nullptr;
    bool begun = false;  // counted as a change under way (StopHold)

    void Release() noexcept {
        if (pre != nullptr) slapi_entry_free(pre);
        if (post != nullptr) slapi_entry_free(post);
        pre = post = nullptr;
        if (!lockedDn.empty()) {
            try {
                dnLocks.Unlock(lockedDn);
            } catch (...) {
                LogFailure(kPluginName, "a lock could not be released");
            }
            lockedDn.clear();
        }
        if (gate != Gate::kNone) {
            try {
                moveGate.Leave(gate == Gate::kExclusive);
            } catch (...) {
                LogFailure(kPluginName, "the move gate could not be left");
            }
            gate = Gate::kNone;
        }
        if (begun) {
            hv::plugins::StopHold::Instance().End();
            begun = false;
        }
    }
};

int operationType = -1;
int extensionHandle = -1;

void *ConstructState(void * /*operation*/, void * /*connection*/) { return new (std::nothrow) OpState; }

void DestroyState(void *extension, void * /*operation*/, void * /*connection*/) {
    auto *state = static_cast<OpState *>(extension);
    if (state == nullptr) return;
    state->Release();
    delete state;
}

OpState *StateOf(Slapi_PBlock *pb) {
    void *op = nullptr;
    if (slapi_pblock_get(pb, SLAPI_OPERATION, &op) != 0 || op == nullptr) return nullptr;
    return static_cast<OpState *>(slapi_get_object_extension(operationType, op, extensionHandle));
}

// ---- Internal reads --------------------------------------------------------

// A copy of the stored entry with all its user attributes, or none.
Slapi_Entry *ReadEntry(const char *dn) {
    std::string base = dn;
    char filter[] = "(objectClass=*)";
    Slapi_PBlock *res = slapi_search_internal(base.data(), LDAP_SCOPE_BASE, filter, nullptr, nullptr, 0);
    if (res == nullptr) return nullptr;
    int rc = -1;
    Slapi_Entry **entries = nullptr;
    Slapi_Entry *copy = nullptr;
    if (slapi_pblock_get(res, SLAPI_PLUGIN_INTOP_RESULT, &rc) == 0 && rc == LDAP_SUCCESS &&
        slapi_pblock_get(res, SLAPI_PLUGIN_INTOP_SEARCH_ENTRIES, &entries) == 0 && entries != nullptr &&
        entries[0] != nullptr) {
        copy = slapi_entry_dup(entries[0]);
    }
    slapi_free_search_results_internal(res);
    slapi_pblock_destroy(res);
    return copy;
}

// Where a modify-RDN left the entry: the new RDN below the new superior, or
// below the old parent.
std::string RenamedDn(Slapi_PBlock *pb, const char *target) {
    char *newRdn = nullptr;
    char *newSuperior = nullptr;
    if (slapi_pblock_get(pb, SLAPI_MODRDN_NEWRDN, &newRdn) != 0 || newRdn == nullptr) return "";
    if (slapi_pblock_get(pb, SLAPI_MODRDN_NEWSUPERIOR, &newSuperior) != 0) newSuperior = nullptr;
    std::string parent;
    if (newSuperior != nullptr) {
        parent = newSuperior;
    } else {
        char *p = slapi_dn_parent(target);
        if (p != nullptr) parent = p;
        slapi_ch_free_string(&p);
    }
    return parent.empty() ? std::string(newRdn) : std::string(newRdn) + "," + parent;
}

// ---- Handlers --------------------------------------------------------------

enum class Kind { kAdd, kModify, kDelete, kModRdn };

const char *TargetOf(Slapi_PBlock *pb) {
    char *target = nullptr;
    if (slapi_pblock_get(pb, SLAPI_TARGET_DN, &target) != 0) return nullptr;
    return target;
}

int PreOperation(Slapi_PBlock *pb, Kind kind) noexcept {
    try {
        OpState *state = StateOf(pb);
        const char *target = TargetOf(pb);
        if (state == nullptr || target == nullptr) return 0;
        state->Release();  // nothing should be left; never keep a stale lock
        // Once a stop has begun, a change whose handlers could not write
        // its counters is not made at all.
        if (!hv::plugins::StopHold::Instance().Begin()) {
            char text[] = "the server is stopping";
            slapi_send_ldap_result(pb, LDAP_UNAVAILABLE, nullptr, text, 0, nullptr);
            return -1;
        }
        state->begun = true;
        std::string ndn = NormalisedDn(target);
        const bool move = kind == Kind::kModRdn;
        if (moveGate.Enter(move, config.lockTimeout)) {
            state->gate = move ? OpState::Gate::kExclusive : OpState::Gate::kShared;
        } else {
            hv::plugins::Log(kPluginName,
                             "no lock on %s against moves within %lld s; the operation goes on without it\n",
                             ndn.c_str(), static_cast<long long>(config.lockTimeout.count()));
        }
        if (dnLocks.Lock(ndn, config.lockTimeout)) {
            state->lockedDn = std::move(ndn);
        } else {
            hv::plugins::Log(kPluginName, "no lock on %s within %lld s; the operation goes on without it\n",
                             ndn.c_str(), static_cast<long long>(config.lockTimeout.count()));
        }
        if (kind != Kind::kAdd) state->pre = ReadEntry(target);
    } catch (...) {
        LogFailure(kPluginName, "pre-operation handler failed");
    }
    return 0;  // refuse nothing else
}

int PostOperation(Slapi_PBlock *pb, Kind kind) noexcept {
    try {
        int rc = 0;
        if (slapi_pblock_get(pb, SLAPI_RESULT_CODE, &rc) == 0 && rc != 0) {
            slapi_pblock_set(pb, SLAPI_PLUGIN_OPRETURN, &rc);
        }
        OpState *state = StateOf(pb);
        const char *target = TargetOf(pb);
        if (state != nullptr && target != nullptr && rc == 0 && kind != Kind::kDelete && state->post == nullptr) {
            const std::string after = kind == Kind::kModRdn ? RenamedDn(pb, target) : std::string(target);
            if (!after.empty()) state->post = ReadEntry(after.c_str());
        }
        // Always set, so that no later plug-in sees an entry another
        // operation left in the block.
        slapi_pblock_set(pb, SLAPI_ENTRY_PRE_OP, state != nullptr ? state->pre : nullptr);
        slapi_pblock_set(pb, SLAPI_ENTRY_POST_OP, state != nullptr ? state->post : nullptr);
    } catch (...) {
        LogFailure(kPluginName, "post-operation handler failed");
    }
    return 0;
}

int PreAdd(Slapi_PBlock *pb) { return PreOperation(pb, Kind::kAdd); }
int PreModify(Slapi_PBlock *pb) { return PreOperation(pb, Kind::kModify); }
int PreDelete(Slapi_PBlock *pb) { return PreOperation(pb, Kind::kDelete); }
int PreModRdn(Slapi_PBlock *pb) { return PreOperation(pb, Kind::kModRdn); }
int PostAdd(Slapi_PBlock *pb) { return PostOperation(pb, Kind::kAdd); }
int PostModify(Slapi_PBlock *pb) { return PostOperation(pb, Kind::kModify); }
int PostDelete(Slapi_PBlock *pb) { return PostOperation(pb, Kind::kDelete); }
int PostModRdn(Slapi_PBlock *pb) { return PostOperation(pb, Kind::kModRdn); }

bool Register(Slapi_PBlock *pb, int what, Slapi_PluginFunc fn) {
    return slapi_pblock_set(pb, what, reinterpret_cast<void *>(fn)) == 0;
}

}  // namespace

extern "C" HV_EXPORT int SlapdCompat_Init(Slapi_PBlock *pb) {
    try {
        int argc = 0;
        char **argv = nullptr;
        if (slapi_pblock_get(pb, SLAPI_PLUGIN_ARGC, &argc) != 0 ||
            (argc > 0 && slapi_pblock_get(pb, SLAPI_PLUGIN_ARGV, &argv) != 0)) {
            hv::plugins::Log(kInitName, "cannot read the plug-in's arguments\n");
            return -1;
        }
        Config parsed;
        if (!ParseArguments(argc, argv, &parsed)) return -1;
        // One extension for the whole process, also when several databases
        // load the plug-in.
        if (extensionHandle < 0 &&
            slapi_register_object_extension(kPluginName, "Operation", ConstructState, DestroyState,
                                            &operationType, &extensionHandle) != 0) {
            extensionHandle = -1;
            hv::plugins::Log(kInitName, "cannot register the operation extension\n");
            return -1;
        }
        if (slapi_pblock_set(pb, SLAPI_PLUGIN_VERSION, const_cast<char *>(SLAPI_PLUGIN_VERSION_01)) != 0 ||
            slapi_pblock_set(pb, SLAPI_PLUGIN_DESCRIPTION, &pluginDescription) != 0 ||
            !Register(pb, SLAPI_PLUGIN_PRE_ADD_FN, PreAdd) || !Register(pb, SLAPI_PLUGIN_PRE_MODIFY_FN, PreModify) ||
            !Register(pb, SLAPI_PLUGIN_PRE_DELETE_FN, PreDelete) ||
            !Register(pb, SLAPI_PLUGIN_PRE_MODRDN_FN, PreModRdn) ||
            !Register(pb, SLAPI_PLUGIN_POST_ADD_FN, PostAdd) || !Register(pb, SLAPI_PLUGIN_POST_MODIFY_FN, PostModify) ||
            !Register(pb, SLAPI_PLUGIN_POST_DELETE_FN, PostDelete) ||
            !Register(pb, SLAPI_PLUGIN_POST_MODRDN_FN, PostModRdn)) {
            hv::plugins::Log(kInitName, "cannot register the plug-in's handlers\n");
            return -1;
        }
        config = parsed;
        hv::plugins::StopHold::Instance().set_limit(config.stopTimeout);
        hv::plugins::Log(kInitName, "plugin loaded, lockTimeout=%lld stopTimeout=%lld\n",
                         static_cast<long long>(config.lockTimeout.count()),
                         static_cast<long long>(config.stopTimeout.count()));
        return 0;
    } catch (...) {
        LogFailure(kInitName, "initialisation failed");
        return -1;
    }
}
