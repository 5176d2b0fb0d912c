#include "engine/bulk_buffer.hpp"

#include <gtest/gtest.h>

#include <cstdint>

namespace vorlane {
namespace {

constexpr size_t kMapped = kMappedBytes / sizeof(uint64_t) * 4;

// A buffer freed inside a scope serves the next one of its size class, with
// its size kept whole; nothing is kept outside a scope or after the last.
TEST(BulkBufferReuse, KeepsFreedBuffersForItsScopeOnly) {
    const uint64_t* first_data = nullptr;
    {
        BulkBufferReuse outer;
        {
            BulkBufferReuse inner;
            BulkVector<uint64_t> first(kMapped + 1, 7);
            first_data = first.data();
        }
        EXPECT_GT(bulk_pool::kept_bytes(), 0u);  // the outer scope still holds it
        BulkVector<uint64_t> second;
        second.reserve(kMapped + 100);  // same class: the kept mapping
        EXPECT_EQ(second.data(), first_data);
        EXPECT_EQ(bulk_pool::kept_bytes(), 0u);
        BulkVector<uint64_t> other(kMapped / 2);  // another class: no match
        EXPECT_NE(other.data(), first_data);
    }
    EXPECT_EQ(bulk_pool::kept_bytes(), 0u);
    {
        BulkVector<uint64_t> unscoped(kMapped);
    }
    EXPECT_EQ(bulk_pool::kept_bytes(), 0u);
}

}  // namespace
}  // namespace vorlane
