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
enum class BorrowFailure : uint8_t {
    RuntimeError,  // the binding layer's usual borrow error
    Panic,         // an internal error (the use happens inside an operation)
};

// The two ways of using an instance: how a guard takes the flag, gives it
// back, and what a refusal says.
struct SharedUse {
    static bool try_take(BorrowFlag& flag) { return flag.try_share(); }
    static void give_back(BorrowFlag& flag) { flag.end_share(); }
    static constexpr const char* kRefused = kAlreadyMutablyBorrowed;
};
struct ExclusiveUse {
    static bool try_take(BorrowFlag& flag) { return flag.try_exclusive(); }
    static void give_back(BorrowFlag& flag) { flag.end_exclusive(); }
    static constexpr const char* kRefused = kAlreadyBorrowed;
};

// Raises `message` as `failure` says.
[[noreturn]] inline void fail_borrow(const char* message, BorrowFailure failure) {
    if (failure == BorrowFailure::Panic)
        panic(message);
    raise_error(PyExc_RuntimeError, message);
}

// A use of an instance for the lifetime of the guard, refused at once when
// it conflicts with another: `SharedBorrow` raises "Already mutably
// borrowed" when the instance is in exclusive use, `ExclusiveBorrow`
// "Already borrowed" when it is in any other use.
template <typename Use>
class Borrow {
  public:
    Borrow() = default;
    explicit Borrow(BorrowFlag& flag, BorrowFailure failure = BorrowFailure::RuntimeError) {
        if (!Use::try_take(flag))
            fail_borrow(Use::kRefused, failure);
        flag_ = &flag;
    }
    ~Borrow() { reset(); }
    Borrow(Borrow&& other) noexcept : flag_(other.flag_) { other.flag_ = nullptr; }
    Borrow& operator=(Borrow&& other) noexcept {
        if (this != &other) {
            reset();
            flag_ = other.flag_;
            other.flag_ = nullptr;
        }
        return *this;
    }
    void reset() {
        if (flag_ != nullptr)
            Use::give_back(*flag_);
        flag_ = nullptr;
    }

  private:
    BorrowFlag* flag_ = nullptr;
};

using SharedBorrow = Borrow<SharedUse>;
using ExclusiveBorrow = Borrow<ExclusiveUse>;

}  // namespace vorlane::py
