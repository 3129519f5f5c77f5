// Host mutexes: non-recursive locks that spin a while before they sleep.
#include "common/export.h"
#include "host/host_impl.h"

extern "C" {

HV_EXPORT Slapi_Mutex *slapi_new_mutex(void) { return new slapi_mutex(); }

HV_EXPORT void slapi_destroy_mutex(Slapi_Mutex *mutex) { delete mutex; }

HV_EXPORT void slapi_lock_mutex(Slapi_Mutex *mutex) {
    if (mutex != nullptr) mutex->mu.lock();
}

// 1 when unlocked, 0 for no mutex.
HV_EXPORT int slapi_unlock_mutex(Slapi_Mutex *mutex) {
    if (mutex == nullptr) return 0;
    mutex->mu.unlock();
    return 1;
}

}  // extern "C"
