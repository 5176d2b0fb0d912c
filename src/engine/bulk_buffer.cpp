#include "engine/bulk_buffer.hpp"

#include <algorithm>
#include <mutex>
#include <utility>

namespace vorlane::bulk_pool {

namespace {

// At most this much is kept at once: a call that frees more than it later
// asks for would otherwise hold the excess until it ends.
constexpr size_t kMaxKeptBytes = size_t{512} * 1024 * 1024;

struct Pool {
    std::mutex mutex;
    size_t scopes = 0;
    size_t bytes = 0;
    std::vector<std::pair<void*, size_t>> kept;  // (mapping, size class)
};

Pool& pool() {
    static Pool* const instance = new Pool();  // never destroyed: used at exit
    return *instance;
}

}  // namespace

void* take(size_t bytes) noexcept {
    Pool& p = pool();
    std::lock_guard<std::mutex> lock(p.mutex);
    auto found = std::find_if(p.kept.begin(), p.kept.end(),
                              [&](const auto& block) { return block.second == bytes; });
    if (found == p.kept.end())
        return nullptr;
    void* memory = found->first;
    *found = p.kept.back();
    p.kept.pop_back();
    p.bytes -= bytes;
    return memory;
}

bool keep(void* memory, size_t bytes) noexcept {
    Pool& p = pool();
    std::lock_guard<std::mutex> lock(p.mutex);
    if (p.scopes == 0 || p.bytes + bytes > kMaxKeptBytes)
        return false;
    try {
        p.kept.emplace_back(memory, bytes);
    } catch (const std::bad_alloc&) {
        return false;
    }
    p.bytes += bytes;
    return true;
}

void open_scope() noexcept {
    Pool& p = pool();
    std::lock_guard<std::mutex> lock(p.mutex);
    ++p.scopes;
}

void close_scope() noexcept {
    Pool& p = pool();
    std::vector<std::pair<void*, size_t>> released;
    {
        std::lock_guard<std::mutex> lock(p.mutex);
        if (--p.scopes != 0)
            return;
        released.swap(p.kept);
        p.bytes = 0;
    }
    for (auto [memory, bytes] : released)
        munmap(memory, bytes);
}

size_t kept_bytes() noexcept {
    Pool& p = pool();
    std::lock_guard<std::mutex> lock(p.mutex);
    return p.bytes;
}

}  // namespace vorlane::bulk_pool
