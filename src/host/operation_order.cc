#include "host/operation_order.h"

#include <condition_variable>
#include <mutex>
#include <unordered_set>

#include "host/entry_internal.h"
#include "host/host_impl.h"

namespace hv {
namespace {

// The DNs that client operations hold.  One mutex and one condition for
// all: cheap while few operations meet on one entry.
struct HeldDns {
    std::mutex mu;
    std::condition_variable released;
    std::unordered_set<std::string> held;
};

// The keys the calling thread holds: a client operation that a handler
// starts on the entry its own operation holds (as a test plug-in does) goes
// ahead instead of waiting for itself.
thread_local std::unordered_set<std::string> t_held;

HeldDns &Held() {
    static HeldDns *held = new HeldDns;  // never destroyed: operations may still run at exit
    return *held;
}

}  // namespace

OperationOrderLock::OperationOrderLock(std::string_view dn) {
    if (!NormalizeDn(dn, &key_)) key_ = AsciiLower(dn);
    if (t_held.count(key_) != 0) {
        nested_ = true;
        return;
    }
    t_held.insert(key_);
    HeldDns &h = Held();
    std::unique_lock lock(h.mu);
    h.released.wait(lock, [&] { return h.held.count(key_) == 0; });
    h.held.insert(key_);
}

OperationOrderLock::~OperationOrderLock() {
    if (nested_) return;
    t_held.erase(key_);
    HeldDns &h = Held();
    {
        std::lock_guard lock(h.mu);
        h.held.erase(key_);
    }
    h.released.notify_all();
}

}  // namespace hv
