#pragma once
// The lock of one `Indexable`: its attributes and its memberships.
//
// It lives in the instance's borrow state (any number of readers or one
// writer), but unlike the borrows of the other classes its uses wait instead
// of failing. That is safe because every use is a handful of steps that
// run no Python code, allocate no Python object, take no other lock and
// never detach or re-attach: a holder always finishes by itself, so a waiter
// never waits for long and no wait can close a cycle. It is taken after any
// index lock and never held while taking one.
//
// No reference may die inside. The one thing that could, a membership that
// turns out to be the last handle on an index record, is only dropped by the
// sections that register or remove memberships, and those run under an index
// lock, which defers every release until it is given back.

#include <Python.h>

#include <sched.h>

#include <mutex>

#include "py/borrow.hpp"

namespace vorlane::py {

namespace object_lock_detail {

// Spins a little for a holder on another core, then lets other threads run
// (the holder may have been preempted on this one).
inline constexpr int kSpinsBeforeYield = 64;

inline void cpu_relax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

template <typename TryTake>
void wait_until(TryTake&& try_take) noexcept {
    for (int spins = 0; !try_take(); ++spins) {
        if (spins < kSpinsBeforeYield)
            cpu_relax();
        else
            sched_yield();
    }
}

}  // namespace object_lock_detail

// Holds an object's lock for the guard's lifetime, waiting for it: shared
// (`ObjectReadLock`) to read the object's attributes or memberships,
// exclusive (`ObjectWriteLock`) to change them.
template <typename Use>
class ObjectLock {
  public:
    explicit ObjectLock(BorrowFlag& flag) noexcept : flag_(flag) {
        object_lock_detail::wait_until([&] { return Use::try_take(flag); });
    }
    ~ObjectLock() { Use::give_back(flag_); }
    ObjectLock(const ObjectLock&) = delete;
    ObjectLock& operator=(const ObjectLock&) = delete;

  private:
    BorrowFlag& flag_;
};

using ObjectReadLock = ObjectLock<SharedUse>;
using ObjectWriteLock = ObjectLock<ExclusiveUse>;

// Reads an object's attribute values for the guard's lifetime. Values change
// only under an `ObjectWriteLock` taken attached (an assignment runs attached
// from its start to its end; the sections that hold the lock detached change
// memberships, never values). So with the interpreter lock held no value can
// change during the read and nothing is taken, which saves two atomic updates
// on every attribute read. Without the interpreter lock (a free-threaded
// interpreter running with it off) it is an `ObjectReadLock`.
class AttributeReadLock {
  public:
    explicit AttributeReadLock([[maybe_unused]] BorrowFlag& flag) noexcept {
#ifdef Py_GIL_DISABLED
        object_lock_detail::wait_until([&] { return flag.try_share(); });
        flag_ = &flag;
#endif
    }
    // Takes the lock only if it is free now; `owns()` tells. For a fast path
    // that falls back to the full one.
    AttributeReadLock([[maybe_unused]] BorrowFlag& flag, std::try_to_lock_t) noexcept {
#ifdef Py_GIL_DISABLED
        if (flag.try_share())
            flag_ = &flag;
#endif
    }
    ~AttributeReadLock() {
#ifdef Py_GIL_DISABLED
        if (flag_ != nullptr)
            flag_->end_share();
#endif
    }
    AttributeReadLock(const AttributeReadLock&) = delete;
    AttributeReadLock& operator=(const AttributeReadLock&) = delete;

#ifdef Py_GIL_DISABLED
    bool owns() const { return flag_ != nullptr; }

  private:
    BorrowFlag* flag_ = nullptr;
#else
    static constexpr bool owns() { return true; }
#endif
};

}  // namespace vorlane::py
