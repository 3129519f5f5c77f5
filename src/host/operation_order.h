// The order of client operations on one entry.  A client operation holds a
// lock on its target's normalized DN from before it changes the directory
// until its post-operation handlers have finished, so the handlers of two
// operations on one entry run in the order of the operations (an add's
// handlers before those of the delete that follows it, never after).
//
// Internal operations take no such lock: a handler's own writes, often to
// the very entry of the operation it handles, must not wait for that
// operation.  This is the one place where the host locks operations.
//
// Thread-safety: any number of threads; a lock is released by the thread
// that took it.  A thread that already holds dn (a handler running a client
// operation on the entry of its own operation) takes it again at once.
#ifndef HV_HOST_OPERATION_ORDER_H
#define HV_HOST_OPERATION_ORDER_H

#include <string>
#include <string_view>

namespace hv {

// Holds the lock on dn (normalized; a DN that does not parse is locked by
// its lower-cased text) while it lives.
class OperationOrderLock {
  public:
    explicit OperationOrderLock(std::string_view dn);
    ~OperationOrderLock();
    OperationOrderLock(const OperationOrderLock &) = delete;
    OperationOrderLock &operator=(const OperationOrderLock &) = delete;

  private:
    std::string key_;
    bool nested_ = false;  // the thread held key_ already: nothing to release
};

}  // namespace hv

#endif  // HV_HOST_OPERATION_ORDER_H
