#pragma once
// A mutex for the module's small process-wide tables that are used only while
// attached to the interpreter (caches of names and layouts). With the
// interpreter lock, that lock already serialises every user and the mutex is
// nothing; a free-threaded build has a real one.

#include <Python.h>

#include "py/lock_rule.hpp"

namespace vorlane::py {

class AttachedMutex {
  public:
    AttachedMutex() = default;
    AttachedMutex(const AttachedMutex&) = delete;
    AttachedMutex& operator=(const AttachedMutex&) = delete;

#ifdef Py_GIL_DISABLED
    void lock() { PyMutex_Lock(&mutex_); }
    void unlock() { PyMutex_Unlock(&mutex_); }

  private:
    PyMutex mutex_{};
#else
    void lock() {}
    void unlock() {}
#endif
};

// Holds an `AttachedMutex` for the lifetime of the guard.
class AttachedLock {
  public:
    explicit AttachedLock(AttachedMutex& mutex) : mutex_(mutex) {
        mutex_.lock();
        note_lock_taken();
    }
    ~AttachedLock() {
        mutex_.unlock();
        note_lock_given_back();
    }
    AttachedLock(const AttachedLock&) = delete;
    AttachedLock& operator=(const AttachedLock&) = delete;

  private:
    AttachedMutex& mutex_;
};

}  // namespace vorlane::py
