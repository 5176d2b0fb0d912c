#include "py/arrow_pages.hpp"

#include <new>

#include "engine/bulk_buffer.hpp"
#include "engine/kept_mappings.hpp"

namespace vorlane {

namespace {

// At most this much freed memory is kept: the buffers of an export of a
// million rows of five columns, with room to spare. A larger export's
// buffers are only partly kept; what is kept stays in memory until taken.
constexpr size_t kMaxKeptBytes = size_t{64} * 1024 * 1024;

KeptMappings& kept() {
    static KeptMappings* const instance = new KeptMappings(kMaxKeptBytes);  // readers free at exit
    return *instance;
}

}  // namespace

void* ArrowPages::allocate(size_t bytes) {
    if (bytes < kMappedBytes)
        return ::operator new(bytes);
    return kept().take_or_map(mapped_size_class(bytes));
}

void ArrowPages::deallocate(void* p, size_t bytes) noexcept {
    if (bytes < kMappedBytes) {
        ::operator delete(p);
        return;
    }
    size_t size = mapped_size_class(bytes);
    if (!kept().keep(p, size))
        unmap(p, size);
}

}  // namespace vorlane
