#include "engine/parallel.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <vector>

namespace vorlane {
namespace {

TEST(RunTasks, RunsEachTaskOnceAndRethrowsAFailure) {
    std::vector<std::atomic<int>> runs(1000);
    run_tasks(runs.size(), 4, [&](size_t i) { ++runs[i]; });
    for (const auto& r : runs)
        EXPECT_EQ(r.load(), 1);
    EXPECT_THROW(run_tasks(100, 3,
                           [](size_t i) {
                               if (i == 17)
                                   throw std::runtime_error("task failed");
                           }),
                 std::runtime_error);
    run_tasks(0, 2, [](size_t) { FAIL(); });
}

}  // namespace
}  // namespace vorlane
