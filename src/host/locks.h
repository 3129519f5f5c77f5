// The host's own lock types, each for one kind of critical section.
//
// RwLock: a reader-writer lock that lets a waiting writer in before readers that
// come after it.  std::shared_mutex on this platform prefers readers: a
// modify-RDN, which must wait for every search in its way, could then wait
// for ever behind a stream of overlapping searches.
//
// Meets the Lockable and SharedLockable requirements, so std::unique_lock
// and std::shared_lock take it.  A thread must not take it shared twice:
// with a writer waiting in between, the second would wait for ever.
#ifndef HV_HOST_LOCKS_H
#define HV_HOST_LOCKS_H

#include <pthread.h>

#include <atomic>
#include <thread>

namespace hv {

class RwLock {
  public:
    RwLock() {
        pthread_rwlockattr_t attr;
        pthread_rwlockattr_init(&attr);
        pthread_rwlockattr_setkind_np(&attr, PTHREAD_RWLOCK_PREFER_WRITER_NONRECURSIVE_NP);
        pthread_rwlock_init(&lock_, &attr);
        pthread_rwlockattr_destroy(&attr);
    }
    ~RwLock() { pthread_rwlock_destroy(&lock_); }
    RwLock(const RwLock &) = delete;
    RwLock &operator=(const RwLock &) = delete;

    void lock() { pthread_rwlock_wrlock(&lock_); }
    bool try_lock() { return pthread_rwlock_trywrlock(&lock_) == 0; }
    void unlock() { pthread_rwlock_unlock(&lock_); }
    void lock_shared() { pthread_rwlock_rdlock(&lock_); }
    bool try_lock_shared() { return pthread_rwlock_tryrdlock(&lock_) == 0; }
    void unlock_shared() { pthread_rwlock_unlock(&lock_); }

  private:
    pthread_rwlock_t lock_;
};

// A mutex that spins a while before it sleeps: for sections of a few
// microseconds (a plug-in's counter re-read and write), where a sleep and a
// wake-up cost more than the wait.  Lockable.
class AdaptiveMutex {
  public:
    AdaptiveMutex() {
        pthread_mutexattr_t attr;
        pthread_mutexattr_init(&attr);
        pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_ADAPTIVE_NP);
        pthread_mutex_init(&mu_, &attr);
        pthread_mutexattr_destroy(&attr);
    }
    ~AdaptiveMutex() { pthread_mutex_destroy(&mu_); }
    AdaptiveMutex(const AdaptiveMutex &) = delete;
    AdaptiveMutex &operator=(const AdaptiveMutex &) = delete;

    void lock() { pthread_mutex_lock(&mu_); }
    bool try_lock() { return pthread_mutex_trylock(&mu_) == 0; }
    void unlock() { pthread_mutex_unlock(&mu_); }

  private:
    pthread_mutex_t mu_;
};

// A one-byte lock for a few instructions' work: a waiter spins, yielding
// its processor after a while, instead of sleeping in the kernel (which
// costs more than such a section takes).  Lockable.
class SpinLock {
  public:
    void lock() {
        for (int spins = 0; flag_.test_and_set(std::memory_order_acquire); ++spins) {
            if (spins >= 64) std::this_thread::yield();
        }
    }
    bool try_lock() { return !flag_.test_and_set(std::memory_order_acquire); }
    void unlock() { flag_.clear(std::memory_order_release); }

  private:
    std::atomic_flag flag_ = ATOMIC_FLAG_INIT;
};

}  // namespace hv

#endif  // HV_HOST_LOCKS_H
