// Locks and events of the engine side.
//
// CoreLock is recursive because callers lock a store and then call functions
// that lock it again. CoreEvent is an auto-reset event: a signal given before
// anyone waits is kept, several signals before a wait count as one, and a
// wait that returns consumes it.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

struct CoreLock {
    std::recursive_mutex mutex;
};

static inline void core_lock(CoreLock *lock) { lock->mutex.lock(); }
static inline void core_unlock(CoreLock *lock) { lock->mutex.unlock(); }

struct CoreLockGuard {
    explicit CoreLockGuard(CoreLock *lock) : lock_(lock) { core_lock(lock_); }
    ~CoreLockGuard() { core_unlock(lock_); }
    CoreLockGuard(const CoreLockGuard &) = delete;
    CoreLockGuard &operator=(const CoreLockGuard &) = delete;

private:
    CoreLock *lock_;
};

struct CoreEvent {
    std::mutex mutex;
    std::condition_variable cond;
    bool signalled = false;
};

void core_event_signal(CoreEvent *event);
// Waits until signalled or `timeout_ms` passes (UINT32_MAX: no limit).
// Returns true when it consumed a signal.
bool core_event_wait(CoreEvent *event, uint32_t timeout_ms);
