#pragma once
// `BulkVector<T>`: a vector for the large, short-lived buffers of bulk work
// (the pairs of a batch, sort scratch), whose memory goes back to the system
// when it is freed.
//
// The C library serves a large allocation by mapping pages of its own only
// until one such block has been freed; from then on it serves blocks up to
// tens of megabytes from its heap, where a freed buffer stays resident as
// long as anything allocated after it lives: a bulk addition would leave
// behind as much memory as its buffers took, in holes between the index's
// own allocations. Buffers from here are mapped and unmapped directly;
// small ones come from the ordinary allocator.

#include <sys/mman.h>

#include <cstddef>
#include <new>
#include <vector>

namespace vorlane {

template <typename T>
struct PageAllocator {
    using value_type = T;

    // From this size on a buffer is mapped by itself.
    static constexpr size_t kMappedBytes = size_t{64} * 1024;

    PageAllocator() = default;
    template <typename U>
    PageAllocator(const PageAllocator<U>&) {}

    // From this size on a mapped buffer asks for huge pages: a bulk buffer
    // is written whole soon after it is made, and taking its pages 4 KiB at
    // a time costs a fault each (a large addition would spend a fifth of
    // its time there). Only a hint: the system may decline.
    static constexpr size_t kHugePageBytes = size_t{2} * 1024 * 1024;

    T* allocate(size_t n) {
        size_t bytes = n * sizeof(T);
        if (bytes < kMappedBytes)
            return static_cast<T*>(::operator new(bytes));
        void* memory =
            mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (memory == MAP_FAILED)
            throw std::bad_alloc();
#ifdef MADV_HUGEPAGE
        if (bytes >= kHugePageBytes)
            madvise(memory, bytes, MADV_HUGEPAGE);
#endif
        return static_cast<T*>(memory);
    }
    void deallocate(T* p, size_t n) {
        size_t bytes = n * sizeof(T);
        if (bytes < kMappedBytes)
            ::operator delete(p);
        else
            munmap(p, bytes);
    }

    template <typename U>
    bool operator==(const PageAllocator<U>&) const {
        return true;
    }
};

template <typename T>
using BulkVector = std::vector<T, PageAllocator<T>>;

}  // namespace vorlane
