#pragma once
// Cache prefetches, for walks whose next steps are known before their data is
// needed: requesting the lines early lets independent misses overlap.

#include <cstddef>

namespace vorlane {

inline constexpr size_t kCacheLine = 64;

// Requests the cache line holding `address`. Never faults and changes
// nothing. The empty volatile asm keeps the request alive: GCC otherwise
// judges a function whose only effect is a prefetch free of side effects and
// drops every call to it, which removes whole prefetching helpers.
inline void prefetch_line(const void* address) {
    __builtin_prefetch(address);
    asm volatile("" : : "r"(address));
}

// The same, for a line about to be written.
inline void prefetch_line_for_write(const void* address) {
    __builtin_prefetch(address, 1);
    asm volatile("" : : "r"(address));
}

// The same, for a line read once and soon done with: the request asks the
// caches not to keep it at the expense of lines used again.
inline void prefetch_line_once(const void* address) {
    __builtin_prefetch(address, 0, 0);
    asm volatile("" : : "r"(address));
}

// Every line of `[start, start + bytes)`.
inline void prefetch_bytes(const void* start, size_t bytes) {
    const char* at = static_cast<const char*>(start);
    for (size_t offset = 0; offset < bytes; offset += kCacheLine)
        prefetch_line(at + offset);
    if (bytes > 0)
        prefetch_line(at + bytes - 1);
}

}  // namespace vorlane
