// The lock around one transport. It is poisoned when an internal failure ends
// a call while it is held: whatever the transport was doing is then unknown,
// so no later command may use it.
#pragma once

#include <mutex>

#include "python/internal_failure.hpp"
#include "python/texts.hpp"

namespace jointbus::python {

struct TransportLock {
    std::mutex mutex;
    bool poisoned = false;
};

// Runs `operation` holding the lock. Refuses (InternalFailure) once the lock
// is poisoned; poisons it if `operation` throws. A driver error is a value,
// not a throw, and leaves the lock as it was.
template <typename Operation>
auto run_locked(TransportLock& lock, Operation&& operation) {
    std::lock_guard guard(lock.mutex);
    JOINTBUS_ENSURE(!lock.poisoned, texts::transport_lock_poisoned);
    try {
        return operation();
    } catch (...) {
        lock.poisoned = true;
        throw;
    }
}

}  // namespace jointbus::python
