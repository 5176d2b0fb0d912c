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

    class ReadGuard {
      public:
        explicit ReadGuard(const PoisonRwLock& lock) : lock_(&lock) {
            LockHooks::on_acquire();
            lock.mutex_.lock_shared();
            if (lock.poisoned_.load(std::memory_order_acquire)) {
                release();
                panic(kUnwrapErr);
            }
        }
        ~ReadGuard() { release(); }
        ReadGuard(ReadGuard&& other) noexcept : lock_(std::exchange(other.lock_, nullptr)) {}
        ReadGuard(const ReadGuard&) = delete;
        ReadGuard& operator=(const ReadGuard&) = delete;
        const T& operator*() const { return lock_->value_; }
        const T* operator->() const { return &lock_->value_; }
        void release() {
            if (lock_ == nullptr)
                return;
            lock_->mutex_.unlock_shared();
            lock_ = nullptr;
            LockHooks::on_release();
        }

      private:
        const PoisonRwLock* lock_;
    };

    class WriteGuard {
      public:
        explicit WriteGuard(PoisonRwLock& lock)
            : lock_(&lock), exceptions_at_start_(std::uncaught_exceptions()) {
            LockHooks::on_acquire();
            lock.mutex_.lock();
            fail_if_poisoned();
        }
        // The guard if the lock is free now, without waiting (nothing when
        // it is taken, or, rarely, for no reason at all); a poisoned lock
        // fails as it does for the waiting constructor.
        static std::optional<WriteGuard> try_acquire(PoisonRwLock& lock) {
            if (!lock.mutex_.try_lock())
                return std::nullopt;
            LockHooks::on_acquire();
            std::optional<WriteGuard> guard(WriteGuard(lock, Acquired{}));
            guard->fail_if_poisoned();
            return guard;
        }
        ~WriteGuard() {
            if (lock_ != nullptr && std::uncaught_exceptions() > exceptions_at_start_)
                lock_->poisoned_.store(true, std::memory_order_release);
            release();
        }
        WriteGuard(WriteGuard&& other) noexcept
            : lock_(std::exchange(other.lock_, nullptr)),
              exceptions_at_start_(other.exceptions_at_start_) {}
        WriteGuard(const WriteGuard&) = delete;
        WriteGuard& operator=(const WriteGuard&) = delete;
        T& operator*() const { return lock_->value_; }
        T* operator->() const { return &lock_->value_; }
        void release() {
            if (lock_ == nullptr)
                return;
            lock_->mutex_.unlock();
            lock_ = nullptr;
            LockHooks::on_release();
        }

      private:
        struct Acquired {};
        // Takes over a lock this thread already holds, hooks called.
        WriteGuard(PoisonRwLock& lock, Acquired)
            : lock_(&lock), exceptions_at_start_(std::uncaught_exceptions()) {}
        void fail_if_poisoned() {
            if (lock_->poisoned_.load(std::memory_order_acquire)) {
                release();
                panic(kUnwrapErr);
            }
        }

        PoisonRwLock* lock_;
        int exceptions_at_start_;
    };

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
