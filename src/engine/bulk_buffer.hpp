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
//
// A fresh mapping costs a fault and the zeroing of every page written, and
// one bulk call frees and makes many buffers of like sizes (a batch's pairs,
// then its sort scratch, then the next batch's). While a `BulkBufferReuse`
// scope is open, freed mappings are kept, within a bound, and handed to
// later requests of the same size class; the last scope to close unmaps
// them. Mappings are sized by powers of two, so that a kept one fits every
// request of its class: address space only, since pages never written are
// never given memory.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

#include "engine/kept_mappings.hpp"

namespace vorlane {

// The mapped buffers kept for reuse (process-wide; thread-safe).
namespace bulk_pool {

// A kept mapping of `bytes` (a size class), else a fresh one; not written.
void* take_or_map(size_t bytes);
// Keeps the mapping `memory` of `bytes` (a size class) when a scope is open
// and the bound allows; false otherwise (the caller unmaps it).
bool keep(void* memory, size_t bytes) noexcept;
void open_scope() noexcept;
// Unmaps every kept mapping when the last scope closes.
void close_scope() noexcept;
// Bytes kept now (for tests).
size_t kept_bytes() noexcept;

}  // namespace bulk_pool

// Keeps freed bulk buffers for reuse while it lives (see above).
class BulkBufferReuse {
  public:
    BulkBufferReuse() noexcept { bulk_pool::open_scope(); }
    ~BulkBufferReuse() { bulk_pool::close_scope(); }
    BulkBufferReuse(const BulkBufferReuse&) = delete;
    BulkBufferReuse& operator=(const BulkBufferReuse&) = delete;
};

// From this size on a buffer is mapped by itself.
inline constexpr size_t kMappedBytes = size_t{64} * 1024;
// `bytes` of bulk memory, not written: small sizes from the heap, others
// mapped by themselves (or kept from a buffer freed by the same bulk
// addition). No huge pages are asked for: a fault on one stalls on the
// system's compaction of memory now and then, and a first large addition
// measured two to six times slower with them than with plain pages.
inline void* bulk_allocate(size_t bytes) {
    if (bytes < kMappedBytes)
        return ::operator new(bytes);
    return bulk_pool::take_or_map(mapped_size_class(bytes));
}
// Gives back what `bulk_allocate(bytes)` returned.
inline void bulk_deallocate(void* p, size_t bytes) {
    if (bytes < kMappedBytes) {
        ::operator delete(p);
        return;
    }
    size_t size = mapped_size_class(bytes);
    if (!bulk_pool::keep(p, size))
        unmap(p, size);
}

// The allocator of bulk vectors. Unless `kZeroesNewItems`, the items that
// `resize` adds are left as found, for plain items written right after (the
// output of a scatter): zeroing first would write every byte twice.
template <typename T, bool kZeroesNewItems = true>
struct PageAllocator {
    using value_type = T;
    // Named: the standard rebinding only carries type parameters over.
    template <typename U>
    struct rebind {
        using other = PageAllocator<U, kZeroesNewItems>;
    };

    PageAllocator() = default;
    template <typename U>
    PageAllocator(const PageAllocator<U, kZeroesNewItems>&) {}

    T* allocate(size_t n) { return static_cast<T*>(bulk_allocate(n * sizeof(T))); }
    void deallocate(T* p, size_t n) { bulk_deallocate(static_cast<void*>(p), n * sizeof(T)); }
    template <typename U>
        requires(!kZeroesNewItems)
    void construct(U* p) noexcept(std::is_nothrow_default_constructible_v<U>) {
        ::new (static_cast<void*>(p)) U;
    }
    template <typename U, typename... Args>
        requires(!kZeroesNewItems)
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }

    template <typename U>
    bool operator==(const PageAllocator<U, kZeroesNewItems>&) const {
        return true;
    }
};

template <typename T>
using BulkVector = std::vector<T, PageAllocator<T>>;
template <typename T>
using UnzeroedBulkVector = std::vector<T, PageAllocator<T, false>>;

// The memory of `bulk_allocate`, as a `BulkArray` takes it.
struct BulkPages {
    static void* allocate(size_t bytes) { return bulk_allocate(bytes); }
    static void deallocate(void* p, size_t bytes) noexcept { bulk_deallocate(p, bytes); }
};

// A growable array of plain items, for buffers written item by item as fast
// as memory allows (the columns of an export): nothing is written on
// allocation, an append checks only for room, and growing copies just the
// items in use. Its memory comes from `Memory` (`BulkPages` by default).
template <typename T, typename Memory = BulkPages>
class BulkArray {
    static_assert(std::is_trivially_copyable_v<T>);

  public:
    BulkArray() = default;
    ~BulkArray() { release(); }
    BulkArray(BulkArray&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)),
          size_(std::exchange(other.size_, 0)),
          capacity_(std::exchange(other.capacity_, 0)) {}
    BulkArray& operator=(BulkArray&& other) noexcept {
        BulkArray moved(std::move(other));
        std::swap(data_, moved.data_);
        std::swap(size_, moved.size_);
        std::swap(capacity_, moved.capacity_);
        return *this;
    }
    BulkArray(const BulkArray&) = delete;
    BulkArray& operator=(const BulkArray&) = delete;

    T* data() { return data_; }
    const T* data() const { return data_; }
    size_t size() const { return size_; }
    size_t capacity() const { return capacity_; }
    T& operator[](size_t i) { return data_[i]; }
    const T& operator[](size_t i) const { return data_[i]; }

    // Room for `n` items in all; the items in use are kept.
    void reserve(size_t n) {
        if (n <= capacity_)
            return;
        T* fresh = allocate(n);
        if (size_ != 0)
            std::memcpy(fresh, data_, size_ * sizeof(T));
        release();
        data_ = fresh;
        capacity_ = n;
    }
    void push_back(T item) {
        if (size_ == capacity_) [[unlikely]]
            reserve(std::max<size_t>(2 * capacity_, kFirstRoom));
        data_[size_++] = item;
    }
    // Appends `n` copies of `item`.
    void append(size_t n, T item) {
        reserve(size_ + n);
        std::fill(data_ + size_, data_ + size_ + n, item);
        size_ += n;
    }
    // Appends `n` items from `items`.
    void append(const T* items, size_t n) { std::memcpy(extend(n), items, n * sizeof(T)); }
    // Appends `n` items left for the caller to write; returns the first.
    T* extend(size_t n) {
        if (size_ + n > capacity_) [[unlikely]]
            reserve(std::max({2 * capacity_, size_ + n, kFirstRoom}));
        T* first = data_ + size_;
        size_ += n;
        return first;
    }
    // Keeps the first `n` items (n at most `size()`).
    void truncate(size_t n) { size_ = n; }

  private:
    // Items the first append takes room for.
    static constexpr size_t kFirstRoom = 1024;

    static T* allocate(size_t n) { return static_cast<T*>(Memory::allocate(n * sizeof(T))); }
    void release() {
        if (data_ != nullptr)
            Memory::deallocate(data_, capacity_ * sizeof(T));
        data_ = nullptr;
    }

    T* data_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
};

}  // namespace vorlane
