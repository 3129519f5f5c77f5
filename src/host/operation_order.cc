#include "host/operation_order.h"

#include <condition_variable>
#include <mutex>
#include <unordered_set>

#include "host/entry_internal.h"
#include "host/host_impl.h"

namespace hv {
namespace {

// The DNs that client operations hold, spread over buckets by the DN's
// hash so that operations on different entries rarely share a mutex.
struct HeldDns {
    std::mutex mu;
    std::condition_variable released;
    std::unordered_set<std::string> held;
};
constexpr std::size_t kBuckets = 64;

// The keys the calling thread holds: a client operation that a handler
// starts on the entry its own operation holds (as a test plug-in does) goes
// ahead instead of waiting for itself.
thread_local std::unordered_set<std::string> t_held;

HeldDns &Held(const std::string &key) {
    static HeldDns *held = new HeldDns[kBuckets];  // never destroyed: operations may still run at exit
    return held[std::hash<std::string>()(key) % kBuckets];
}

}  // namespace

OperationOrderLock::OperationOrderLock(std::string_view dn) {
    if (!NormalizeDn(dn, &key_)) key_ = AsciiLower(dn);
    if (t_held.count(key_) != 0) {
        nested_ = true;
        return;
    }
    t_held.insert(key_);
    HeldDns &h = Held(key_);
    std::unique_lock lock(h.mu);
    h.released.wait(lock, [&] { return h.held.count(key_) == 0; });
    h.held.insert(key_);
}

OperationOrderLock::~OperationOrderLock() {
    if (nested_) return;
    t_held.erase(key_);
    HeldDns &h = Held(key_);
    {
        std::lock_guard lock(h.mu);
        h.held.erase(key_);
    }
    h.released.notify_all();
}

}  // namespace hv
