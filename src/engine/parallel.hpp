#pragma once
// Independent tasks run on a few threads at once, for bulk work whose parts
// share nothing (the attributes of a batch of objects).

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace vorlane {

// Threads worth using for `tasks` tasks, at most `limit`: never more than the
// machine's cores, nor than the tasks.
inline size_t workers_for(size_t tasks, size_t limit) {
    size_t cores = std::max<size_t>(1, std::thread::hardware_concurrency());
    return std::max<size_t>(1, std::min({tasks, limit, cores}));
}

// Calls `task(i)` once for every i in [0, count), on `workers` threads, the
// calling thread being one of them; tasks are handed out in index order as
// threads come free. The first exception a task throws is rethrown here once
// every thread has stopped; tasks not started by then are left out.
template <typename F>
void run_tasks(size_t count, size_t workers, F&& task) {
    std::atomic<size_t> next{0};
    std::atomic<bool> failed{false};
    std::exception_ptr failure;
    std::mutex failure_mutex;
    auto work = [&] {
        for (size_t i;
             !failed.load(std::memory_order_relaxed) && (i = next.fetch_add(1)) < count;) {
            try {
                task(i);
            } catch (...) {
                std::lock_guard<std::mutex> lock(failure_mutex);
                if (!failure)
                    failure = std::current_exception();
                failed.store(true, std::memory_order_relaxed);
            }
        }
    };
    std::vector<std::thread> helpers;
    for (size_t w = 1; w < std::min(workers, count); ++w) {
        try {
            helpers.emplace_back(work);
        } catch (const std::system_error&) {
            break;  // no thread to be had: the others do the work
        }
    }
    work();
    for (std::thread& helper : helpers)
        helper.join();
    if (failure)
        std::rethrow_exception(failure);
}

}  // namespace vorlane
