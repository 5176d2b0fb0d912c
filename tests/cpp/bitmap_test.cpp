#include "index/bitmap.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <span>
#include <vector>

namespace vorlane {
namespace {

TEST(Bitmap, SetAlgebraAndAscendingIteration) {
    std::vector<uint32_t> ids = {9, 1, 7, 3};
    Bitmap a = Bitmap::of(ids);
    EXPECT_EQ(a.to_vector(), (std::vector<uint32_t>{1, 3, 7, 9}));
    Bitmap b = Bitmap::of(std::vector<uint32_t>{3, 4, 9});
    EXPECT_EQ(Bitmap::and_(a, b).to_vector(), (std::vector<uint32_t>{3, 9}));
    EXPECT_EQ(Bitmap::andnot(a, b).to_vector(), (std::vector<uint32_t>{1, 7}));
    EXPECT_EQ(Bitmap::or_(a, b).cardinality(), 5u);
    const Bitmap* parts[] = {&a, &b};
    EXPECT_EQ(Bitmap::or_many(parts), Bitmap::or_(a, b));
    EXPECT_TRUE(Bitmap::or_many({}).is_empty());
}

TEST(Bitmap, CopyIsIndependentAndMoveEmptiesSource) {
    Bitmap a = Bitmap::of(std::vector<uint32_t>{1, 2});
    Bitmap c = a.copy();
    c.add(5);
    EXPECT_FALSE(a.contains(5));
    Bitmap moved = std::move(c);
    EXPECT_EQ(moved.maximum(), 5u);
    std::vector<uint32_t> seen;
    Bitmap big;
    for (uint32_t i = 0; i < 1000; i += 3)
        big.add(i);
    big.for_each([&](uint32_t id) { seen.push_back(id); });
    EXPECT_EQ(seen, big.to_vector());
}

TEST(Bitmap, BlocksCoverEveryIdInOrder) {
    Bitmap big;
    for (uint32_t i = 0; i < 100000; i += 7)
        big.add(i);
    big.add(1u << 20);
    std::vector<uint32_t> seen;
    size_t blocks = 0;
    big.for_each_block([&](std::span<const uint32_t> ids) {
        EXPECT_FALSE(ids.empty());
        seen.insert(seen.end(), ids.begin(), ids.end());
        ++blocks;
    });
    EXPECT_EQ(seen, big.to_vector());
    EXPECT_GT(blocks, 1u);
    size_t calls = 0;
    Bitmap().for_each_block([&](std::span<const uint32_t>) { ++calls; });
    EXPECT_EQ(calls, 0u);
}

TEST(Bitmap, MinimumAndMaximum) {
    Bitmap a = Bitmap::of(std::vector<uint32_t>{70000, 5, 900});
    EXPECT_EQ(a.minimum(), 5u);
    EXPECT_EQ(a.maximum(), 70000u);
    EXPECT_EQ(Bitmap().minimum(), UINT32_MAX);
    EXPECT_EQ(Bitmap().maximum(), 0u);
}

}  // namespace
}  // namespace vorlane
