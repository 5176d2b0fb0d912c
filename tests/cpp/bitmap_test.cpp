#include "engine/bitmap.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

#include "engine/panic.hpp"

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

// Ids in any order with repeats, in containers of every form: empty, a few
// ids, exactly the array limit, one past it (dense), repeats that fold a
// dense-sized bucket back to an array, and the highest ids; both over a
// wide span and a narrow one.
TEST(Bitmap, OfUnsortedMatchesAddingOneByOne) {
    std::vector<uint32_t> ids = {4'000'000'000u, 0xFFFF'FFFFu, 5, 5, 70'000};
    for (uint32_t i = 0; i < 4096; ++i)
        ids.push_back(3 * 65536 + 16 * i);
    for (uint32_t i = 0; i < 4097; ++i)
        ids.push_back(5 * 65536 + 15 * i);
    for (uint32_t i = 0; i < 6000; ++i)
        ids.push_back(7 * 65536 + i % 100);
    uint64_t state = 12345;
    for (int i = 0; i < 20000; ++i) {
        state = state * 6364136223846793005u + 1442695040888963407u;
        ids.push_back(static_cast<uint32_t>(state >> 44));
    }
    auto check = [](std::vector<uint32_t> ids) {
        Bitmap expected;
        for (uint32_t id : ids)
            expected.add(id);
        for (size_t i = 0; i + 1 < ids.size(); i += 7)
            std::swap(ids[i], ids[ids.size() - 1 - i]);
        Bitmap built = Bitmap::of_unsorted(ids);
        EXPECT_EQ(built, expected);
        EXPECT_EQ(built.cardinality(), expected.cardinality());
    };
    check(ids);  // spread over all 2^32: dealt into buckets
    ids.erase(ids.begin(), ids.begin() + 2);
    check(ids);  // within 2^20: one flat array
    check({7});
    EXPECT_TRUE(Bitmap::of_unsorted({}).is_empty());
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

// Prefetching reads a bitmap's storage and must change nothing, whatever the
// container kinds, the id's place in them and the number of bitmaps.
TEST(Bitmap, PrefetchUpdateChangesNothing) {
    std::vector<Bitmap> bitmaps;
    bitmaps.emplace_back();                                          // empty
    bitmaps.push_back(Bitmap::of(std::vector<uint32_t>{5, 70000}));  // small arrays
    Bitmap large_array;
    for (uint32_t i = 0; i < 3000; ++i)
        large_array.add(i * 20);
    bitmaps.push_back(std::move(large_array));
    Bitmap bitset;
    roaring_bitmap_add_range(bitset.raw(), 0, 40000);
    bitmaps.push_back(bitset.copy());
    roaring_bitmap_run_optimize(bitset.raw());  // a run container
    bitmaps.push_back(std::move(bitset));
    for (uint32_t i = 0; i < 12; ++i)  // more than one batch
        bitmaps.push_back(Bitmap::of(std::vector<uint32_t>{i, i << 17}));
    std::vector<Bitmap> before;
    std::vector<const Bitmap*> pointers;
    for (const Bitmap& b : bitmaps) {
        before.push_back(b.copy());
        pointers.push_back(&b);
    }
    for (uint32_t id : {0u, 5u, 31000u, 59999u, 70000u, 1u << 17, 0xFFFFFFFFu}) {
        Bitmap::prefetch_update(pointers, id);
        Bitmap::prefetch_update({}, id);
    }
    for (size_t i = 0; i < bitmaps.size(); ++i)
        EXPECT_EQ(bitmaps[i], before[i]) << "bitmap " << i;
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

TEST(Bitmap, WriteToAndAppendFirstReadEveryContainerForm) {
    Bitmap ids;  // a dense container, then a sparse one, then one far away
    for (uint32_t i = 0; i < 70000; ++i) {
        if (i % 3 != 0 || i < 1000)
            ids.add(i);
    }
    ids.add(1u << 20);
    std::vector<uint32_t> seen;
    ids.for_each([&](uint32_t id) { seen.push_back(id); });
    std::vector<uint32_t> out(seen.size());
    ids.write_to(out);
    EXPECT_EQ(out, seen);
    std::vector<uint32_t> short_of_one(seen.size() - 1);
    EXPECT_THROW(ids.write_to(short_of_one), Panic);
    Bitmap().write_to({});
    // The first ids, after what `out` holds: within the dense container,
    // across into the sparse one, all of them, and more than there are.
    for (size_t wanted :
         {size_t{0}, size_t{1}, size_t{1000}, size_t{60000}, seen.size(), seen.size() + 5}) {
        std::vector<uint32_t> first{7};
        ids.append_first(wanted, first);
        std::vector<uint32_t> want{7};
        want.insert(want.end(), seen.begin(),
                    seen.begin() + static_cast<ptrdiff_t>(std::min(wanted, seen.size())));
        EXPECT_EQ(first, want) << wanted;
    }
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
