#pragma once
// Borrow state of a Python-visible instance: any number of shared uses or
// one exclusive use. A conflicting use fails at once and never waits, so two
// threads can never deadlock on an instance.

#include <Python.h>

#include <atomic>
#include <cstdint>
#include <new>

#include "py/errors.hpp"

namespace vorlane::py {

inline constexpr const char* kAlreadyBorrowed = "Already borrowed";
inline constexpr const char* kAlreadyMutablyBorrowed = "Already mutably borrowed";

class BorrowFlag {
  public:
    // Each returns false instead of waiting when the use conflicts.
    bool try_share() {
        int32_t now = state_.load(std::memory_order_relaxed);
        while (now != kExclusive) {
            if (state_.compare_exchange_weak(now, now + 1, std::memory_order_acquire))
                return true;
        }
        return false;
    }
    bool try_exclusive() {
        int32_t expected = 0;
        return state_.compare_exchange_strong(expected, kExclusive, std::memory_order_acquire);
    }
    void end_share() { state_.fetch_sub(1, std::memory_order_release); }
    void end_exclusive() { state_.store(0, std::memory_order_release); }
    bool is_exclusive() const { return state_.load(std::memory_order_acquire) == kExclusive; }

  private:
    static constexpr int32_t kExclusive = -1;
    std::atomic<int32_t> state_{0};
};

// What a refused borrow raises.
enum class BorrowFailure {
    RuntimeError,  // the binding layer's usual borrow error
    Panic,         // an internal error (the use happens inside an operation)
};

// A shared use for the lifetime of the guard. Raises "Already mutably
// borrowed" when the instance is in exclusive use.
class SharedBorrow {
  public:
    SharedBorrow() = default;
    explicit SharedBorrow(BorrowFlag& flag, BorrowFailure failure = BorrowFailure::RuntimeError)
        : flag_(&flag) {
        if (!flag.try_share()) {
            flag_ = nullptr;
            fail(kAlreadyMutablyBorrowed, failure);
        }
    }
    ~SharedBorrow() { reset(); }
    SharedBorrow(SharedBorrow&& other) noexcept : flag_(other.flag_) { other.flag_ = nullptr; }
    SharedBorrow& operator=(SharedBorrow&& other) noexcept {
        if (this != &other) {
            reset();
            flag_ = other.flag_;
            other.flag_ = nullptr;
        }
        return *this;
    }
    void reset() {
        if (flag_ != nullptr)
            flag_->end_share();
        flag_ = nullptr;
    }

  private:
    [[noreturn]] static void fail(const char* message, BorrowFailure failure);
    BorrowFlag* flag_ = nullptr;
    friend class ExclusiveBorrow;
    friend class BriefSharedUse;
};

// An exclusive use for the lifetime of the guard. Raises "Already borrowed"
// when the instance is in any other use.
class ExclusiveBorrow {
  public:
    ExclusiveBorrow() = default;
    explicit ExclusiveBorrow(BorrowFlag& flag, BorrowFailure failure = BorrowFailure::RuntimeError)
        : flag_(&flag) {
        if (!flag.try_exclusive()) {
            flag_ = nullptr;
            SharedBorrow::fail(kAlreadyBorrowed, failure);
        }
    }
    ~ExclusiveBorrow() { reset(); }
    ExclusiveBorrow(ExclusiveBorrow&& other) noexcept : flag_(other.flag_) {
        other.flag_ = nullptr;
    }
    ExclusiveBorrow& operator=(ExclusiveBorrow&& other) noexcept {
        if (this != &other) {
            reset();
            flag_ = other.flag_;
            other.flag_ = nullptr;
        }
        return *this;
    }
    void reset() {
        if (flag_ != nullptr)
            flag_->end_exclusive();
        flag_ = nullptr;
    }

  private:
    BorrowFlag* flag_ = nullptr;
};

// A shared use for a short read that runs no Python code and never detaches.
// With the interpreter lock held throughout, no other thread can begin or
// end a use while the read runs: seeing no exclusive use at the start is
// enough, and nothing needs counting (a count is two atomic updates on every
// attribute read). Without the lock (a free-threaded interpreter running
// with it off) it is an ordinary counted shared use.
class BriefSharedUse {
  public:
    explicit BriefSharedUse(BorrowFlag& flag, BorrowFailure failure = BorrowFailure::RuntimeError)
#ifdef Py_GIL_DISABLED
        : use_(flag, failure) {
    }
#else
    {
        if (flag.is_exclusive())
            SharedBorrow::fail(kAlreadyMutablyBorrowed, failure);
    }
#endif
    // The same use, or none when it conflicts (`active()` tells), without
    // raising: for a fast path that falls back to the full one.
    BriefSharedUse(BorrowFlag& flag, std::nothrow_t) noexcept
#ifdef Py_GIL_DISABLED
    {
        if (flag.try_share())
            use_.flag_ = &flag;
    }
    bool active() const { return use_.flag_ != nullptr; }
#else
        : active_(!flag.is_exclusive()) {
    }
    bool active() const { return active_; }
#endif
    BriefSharedUse(const BriefSharedUse&) = delete;
    BriefSharedUse& operator=(const BriefSharedUse&) = delete;

  private:
#ifdef Py_GIL_DISABLED
    SharedBorrow use_;
#else
    bool active_ = true;
#endif
};

inline void SharedBorrow::fail(const char* message, BorrowFailure failure) {
    if (failure == BorrowFailure::Panic)
        panic(message);
    raise_error(PyExc_RuntimeError, message);
}

}  // namespace vorlane::py
