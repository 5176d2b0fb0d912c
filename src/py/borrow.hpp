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

inline void SharedBorrow::fail(const char* message, BorrowFailure failure) {
    if (failure == BorrowFailure::Panic)
        panic(message);
    raise_error(PyExc_RuntimeError, message);
}

}  // namespace vorlane::py
