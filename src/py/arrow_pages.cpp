#include "py/arrow_pages.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

#include "engine/bulk_buffer.hpp"

namespace vorlane {

namespace {

// At most this much freed memory is kept: the buffers of an export of a
// million rows of five columns, with room to spare. A larger export's
// buffers are only partly kept, and what is kept is the system's to take.
constexpr size_t kMaxKeptBytes = size_t{64} * 1024 * 1024;

struct Kept {
    std::mutex mutex;
    size_t bytes = 0;
    std::vector<std::pair<void*, size_t>> mappings;  // (mapping, size class)
};

Kept& kept() {
    static Kept* const instance = new Kept();  // never destroyed: readers free at exit
    return *instance;
}

void* take_kept(size_t size) noexcept {
    Kept& k = kept();
    std::lock_guard<std::mutex> lock(k.mutex);
    auto found = std::find_if(k.mappings.begin(), k.mappings.end(),
                              [&](const auto& mapping) { return mapping.second == size; });
    if (found == k.mappings.end())
        return nullptr;
    void* memory = found->first;
    *found = k.mappings.back();
    k.mappings.pop_back();
    k.bytes -= size;
    return memory;
}

bool keep(void* memory, size_t size) noexcept {
    Kept& k = kept();
    std::lock_guard<std::mutex> lock(k.mutex);
    if (k.bytes + size > kMaxKeptBytes)
        return false;
    try {
        k.mappings.emplace_back(memory, size);
    } catch (const std::bad_alloc&) {
        return false;
    }
    k.bytes += size;
    return true;
}

}  // namespace

void* ArrowPages::allocate(size_t bytes) {
    if (bytes < kMappedBytes)
        return ::operator new(bytes);
    size_t size = mapped_size_class(bytes);
    if (void* memory = take_kept(size))
        return memory;
    void* memory = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED)
        throw std::bad_alloc();
    return memory;
}

void ArrowPages::deallocate(void* p, size_t bytes) noexcept {
    if (bytes < kMappedBytes) {
        ::operator delete(p);
        return;
    }
    size_t size = mapped_size_class(bytes);
    // Marked free before it is kept: once kept, another thread may take it
    // and write to it.
    madvise(p, size, MADV_FREE);
    if (!keep(p, size))
        munmap(p, size);
}

}  // namespace vorlane
