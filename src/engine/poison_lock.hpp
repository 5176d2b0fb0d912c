#pragma once
// A reader/writer lock that reports poisoning.
//
// When a writer unwinds with an exception while holding the lock, the data
// it guards may be half changed; the lock is then marked poisoned and every
// later taker, reader or writer, fails with the internal error
// "called `Result::unwrap()` on an `Err` value". A reader that unwinds
// changed nothing and leaves the lock sound.
//
// While any guard is held on a thread, no Python code may run on it (it could
// call back into the module and wait for this very lock). The binding layer
// installs `LockHooks` to enforce that; this header stays Python-free.

#include <atomic>
#include <exception>
#include <optional>
#include <shared_mutex>
#include <type_traits>
#include <utility>

#include "engine/panic.hpp"

namespace vorlane {

struct LockHooks {
    static void nothing() noexcept {}
    // Called on the taking thread around every held guard. Default: nothing.
    static inline void (*on_acquire)() noexcept = nothing;
    static inline void (*on_release)() noexcept = nothing;
};

template <typename T>
class PoisonRwLock {
  public:
    PoisonRwLock() = default;
    explicit PoisonRwLock(T value) : value_(std::move(value)) {}
    PoisonRwLock(const PoisonRwLock&) = delete;
    PoisonRwLock& operator=(const PoisonRwLock&) = delete;

    // The lock held for the guard's lifetime: shared by a `ReadGuard`, which
    // gives read access, or exclusively by a `WriteGuard`, which gives write
    // access and poisons the lock when its holder unwinds (a reader changed
    // nothing). Either fails as the lock's next taker would once poisoned.
    template <bool Exclusive>
    class Guard {
      public:
        using Lock = std::conditional_t<Exclusive, PoisonRwLock, const PoisonRwLock>;
        using Value = std::conditional_t<Exclusive, T, const T>;

        explicit Guard(Lock& lock) : lock_(&lock), exceptions_at_start_(unwinding_now()) {
            LockHooks::on_acquire();
            if constexpr (Exclusive)
                lock.mutex_.lock();
            else
                lock.mutex_.lock_shared();
            fail_if_poisoned();
        }
        // The guard if the lock is free now, without waiting (nothing when
        // it is taken, or, rarely, for no reason at all); a poisoned lock
        // fails as it does for the waiting constructor.
        static std::optional<Guard> try_acquire(Lock& lock)
            requires Exclusive
        {
            if (!lock.mutex_.try_lock())
                return std::nullopt;
            LockHooks::on_acquire();
            std::optional<Guard> guard(Guard(lock, Acquired{}));
            guard->fail_if_poisoned();
            return guard;
        }
        ~Guard() {
            if constexpr (Exclusive) {
                if (lock_ != nullptr && std::uncaught_exceptions() > exceptions_at_start_)
                    lock_->poisoned_.store(true, std::memory_order_release);
            }
            release();
        }
        Guard(Guard&& other) noexcept
            : lock_(std::exchange(other.lock_, nullptr)),
              exceptions_at_start_(other.exceptions_at_start_) {}
        Guard(const Guard&) = delete;
        Guard& operator=(const Guard&) = delete;
        Value& operator*() const { return lock_->value_; }
        Value* operator->() const { return &lock_->value_; }
        void release() {
            if (lock_ == nullptr)
                return;
            if constexpr (Exclusive)
                lock_->mutex_.unlock();
            else
                lock_->mutex_.unlock_shared();
            lock_ = nullptr;
            LockHooks::on_release();
        }

      private:
        struct Acquired {};
        // Takes over a lock this thread already holds, hooks called.
        Guard(Lock& lock, Acquired) : lock_(&lock), exceptions_at_start_(unwinding_now()) {}
        // Exceptions in flight when the guard was taken: a writer poisons the
        // lock only if it unwinds from one more. Not asked for a reader.
        static int unwinding_now() {
            if constexpr (Exclusive)
                return std::uncaught_exceptions();
            return 0;
        }
        void fail_if_poisoned() {
            if (lock_->poisoned_.load(std::memory_order_acquire)) {
                release();
                panic(kUnwrapErr);
            }
        }

        Lock* lock_;
        int exceptions_at_start_;
    };
    using ReadGuard = Guard<false>;
    using WriteGuard = Guard<true>;

    ReadGuard read() const { return ReadGuard(*this); }
    WriteGuard write() { return WriteGuard(*this); }
    // The value without taking the lock, for callers that know no writer can
    // run (the cycle collector visiting an index nobody else uses).
    const T& unguarded() const { return value_; }

  private:
    mutable std::shared_mutex mutex_;
    std::atomic<bool> poisoned_{false};
    T value_{};
};

}  // namespace vorlane
