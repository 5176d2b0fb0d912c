#include "engine/bulk_buffer.hpp"

#include <mutex>

#include "engine/kept_mappings.hpp"

namespace vorlane::bulk_pool {

namespace {

// At most this much is kept at once: a call that frees more than it later
// asks for would otherwise hold the excess until it ends.
constexpr size_t kMaxKeptBytes = size_t{512} * 1024 * 1024;

// Lock order: `mutex`, then the keeping's own.
struct Pool {
    std::mutex mutex;
    size_t scopes = 0;
    KeptMappings kept{kMaxKeptBytes};
};

Pool& pool() {
    static Pool* const instance = new Pool();  // never destroyed: used at exit
    return *instance;
}

}  // namespace

void* take_or_map(size_t bytes) {
    return pool().kept.take_or_map(bytes);
}

bool keep(void* memory, size_t bytes) noexcept {
    Pool& p = pool();
    std::lock_guard<std::mutex> lock(p.mutex);
    return p.scopes != 0 && p.kept.keep(memory, bytes);
}

void open_scope() noexcept {
    Pool& p = pool();
    std::lock_guard<std::mutex> lock(p.mutex);
    ++p.scopes;
}

void close_scope() noexcept {
    Pool& p = pool();
    std::vector<KeptMappings::Mapping> released;
    {
        std::lock_guard<std::mutex> lock(p.mutex);
        if (--p.scopes != 0)
            return;
        released = p.kept.release_all();
    }
    for (auto [memory, bytes] : released)
        unmap(memory, bytes);
}

size_t kept_bytes() noexcept {
    return pool().kept.bytes();
}

}  // namespace vorlane::bulk_pool
