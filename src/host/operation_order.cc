#include "host/operation_order.h"

#include <condition_variable>
#include <mutex>
#include <algorithm>
#include <unordered_set>
#include <vector>

#include "host/entry_internal.h"
#include "host/host_impl.h"

namespace hv {
namespace {

// The DNs that client operations hold, spread over buckets by the DN's
// hash so that operations on different entries rarely share a mutex.
struct alignas(64) HeldDns {  // a cache line of its own: no false sharing
    std::mutex mu;
    std::condition_variable released;
    std::unordered_set<std::string> held;
    int waiting = 0;  // threads waiting for a key of this bucket; under mu
};
constexpr std::size_t kBuckets = 64;

// The keys the calling thread holds, rarely more than one: a client
// operation that a handler starts on the entry its own operation holds (as
// a test plug-in does) goes ahead instead of waiting for itself.
thread_local std::vector<std::string> t_held;

HeldDns &Held(const std::string &key) {
    static HeldDns *held = new HeldDns[kBuckets];  // never destroyed: operations may still run at exit
    return held[std::hash<std::string>()(key) % kBuckets];
}

}  // namespace

OperationOrderLock::OperationOrderLock(std::string_view dn) {
    if (!NormalizeDn(dn, &key_)) key_ = AsciiLower(dn);
    if (std::find(t_held.begin(), t_held.end(), key_) != t_held.end()) {
        nested_ = true;
        return;
    }
    t_held.push_back(key_);
    HeldDns &h = Held(key_);
    std::unique_lock lock(h.mu);
    if (h.held.count(key_) != 0) {
        ++h.waiting;
        h.released.wait(lock, [&] { return h.held.count(key_) == 0; });
        --h.waiting;
    }
    h.held.insert(key_);
}

OperationOrderLock::~OperationOrderLock() {
    if (nested_) return;
    t_held.erase(std::find(t_held.begin(), t_held.end(), key_));
    HeldDns &h = Held(key_);
    bool waiting = false;
    {
        std::lock_guard lock(h.mu);
        h.held.erase(key_);
        waiting = h.waiting != 0;
    }
    if (waiting) h.released.notify_all();
}

}  // namespace hv
