#pragma once
// `KeptMappings`: page mappings freed by their users, kept by size class for
// the next request of that class, within a bound on the bytes kept.
//
// A fresh mapping costs a fault and the zeroing of every page written; one
// kept from a buffer freed earlier is written again without either. The
// bulk buffers of an addition and the column buffers of exports each keep
// their own. Mappings are sized by powers of two (`mapped_size_class`), so
// that a kept one fits every request of its class. Thread-safe.

#include <cstddef>
#include <mutex>
#include <utility>
#include <vector>

namespace vorlane {

// The size class of a mapped buffer of `bytes`: the next power of two.
inline size_t mapped_size_class(size_t bytes) {
    size_t size = 1;
    while (size < bytes)
        size <<= 1;
    return size;
}

class KeptMappings {
  public:
    using Mapping = std::pair<void*, size_t>;  // (address, size class)

    explicit KeptMappings(size_t max_bytes) : max_bytes_(max_bytes) {}
    KeptMappings(const KeptMappings&) = delete;
    KeptMappings& operator=(const KeptMappings&) = delete;

    // A kept mapping of `size` (a size class), else a fresh one; not written.
    // Throws `std::bad_alloc` when the system refuses.
    void* take_or_map(size_t size);
    // Keeps `memory` (a mapping of `size`, a size class) when the bound
    // allows; false otherwise, and the caller unmaps it.
    bool keep(void* memory, size_t size) noexcept;
    // Empties the keeping: the caller unmaps what it returns.
    std::vector<Mapping> release_all() noexcept;
    // Bytes kept now.
    size_t bytes() const noexcept;

  private:
    mutable std::mutex mutex_;
    const size_t max_bytes_;
    size_t bytes_ = 0;
    std::vector<Mapping> mappings_;
};

// Unmaps `memory`, a mapping of `size` bytes.
void unmap(void* memory, size_t size) noexcept;

}  // namespace vorlane
