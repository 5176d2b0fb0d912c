#include "engine/poison_lock.hpp"

#include <gtest/gtest.h>

#include <future>
#include <stdexcept>

namespace vorlane {
namespace {

using Lock = PoisonRwLock<int>;

// Counts the hook calls around held guards, restoring the hooks afterwards.
struct CountedHooks {
    static inline int held = 0;
    static void acquired() noexcept { ++held; }
    static void released() noexcept { --held; }

    CountedHooks() {
        held = 0;
        LockHooks::on_acquire = acquired;
        LockHooks::on_release = released;
    }
    ~CountedHooks() {
        LockHooks::on_acquire = LockHooks::nothing;
        LockHooks::on_release = LockHooks::nothing;
    }
};

// Holds a guard of `lock` on another thread while `body` runs.
template <typename Guard, typename F>
void while_held_elsewhere(Lock& lock, F&& body) {
    std::promise<void> taken, done;
    auto holder = std::async(std::launch::async, [&] {
        Guard guard(lock);
        taken.set_value();
        done.get_future().wait();
    });
    taken.get_future().wait();
    body();
    done.set_value();
    holder.get();
}

TEST(PoisonLock, TryAcquireTakesAFreeLock) {
    CountedHooks hooks;
    Lock lock(5);
    {
        auto guard = Lock::WriteGuard::try_acquire(lock);
        ASSERT_TRUE(guard.has_value());
        EXPECT_EQ(CountedHooks::held, 1);
        **guard = 6;
    }
    EXPECT_EQ(CountedHooks::held, 0);
    EXPECT_EQ(*lock.read(), 6);
}

TEST(PoisonLock, TryAcquireRefusesAHeldLockWithoutWaiting) {
    CountedHooks hooks;
    Lock lock;
    while_held_elsewhere<Lock::WriteGuard>(
        lock, [&] { EXPECT_FALSE(Lock::WriteGuard::try_acquire(lock).has_value()); });
    while_held_elsewhere<Lock::ReadGuard>(
        lock, [&] { EXPECT_FALSE(Lock::WriteGuard::try_acquire(lock).has_value()); });
    EXPECT_EQ(CountedHooks::held, 0);
    EXPECT_TRUE(Lock::WriteGuard::try_acquire(lock).has_value());
}

TEST(PoisonLock, TryAcquireFailsOnAPoisonedLock) {
    CountedHooks hooks;
    Lock lock;
    EXPECT_THROW(
        {
            auto guard = Lock::WriteGuard::try_acquire(lock);
            throw std::runtime_error("writer fails halfway");
        },
        std::runtime_error);
    EXPECT_THROW(Lock::WriteGuard::try_acquire(lock), Panic);
    EXPECT_THROW(Lock::WriteGuard{lock}, Panic);
    EXPECT_EQ(CountedHooks::held, 0);
}

}  // namespace
}  // namespace vorlane
