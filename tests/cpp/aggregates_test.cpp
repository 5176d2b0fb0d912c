#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "engine/numeric_sum.hpp"
#include "engine/tuple_counts.hpp"

namespace vorlane {
namespace {

TEST(NumericSum, IntsExactFloatsCompensatedNaNLeftOut) {
    NumericSum ints;
    for (int i = 0; i < 8; ++i)
        ints.add(int64_t{1} << 62);
    ints.add(std::nan(""));
    EXPECT_FALSE(ints.is_float());
    EXPECT_EQ(ints.count(), 8u);
    EXPECT_TRUE(ints.int_total() == (static_cast<__int128>(1) << 65));

    NumericSum mixed;
    mixed.add(1e16);
    mixed.add(1.0);
    mixed.add(int64_t{3});
    mixed.add(-1e16);
    EXPECT_TRUE(mixed.is_float());
    EXPECT_EQ(mixed.float_total(), 4.0);  // a plain sum loses the 1.0
    EXPECT_EQ(mixed.mean(), 1.0);

    NumericSum infinite;
    infinite.add(std::numeric_limits<double>::infinity());
    infinite.add(1.0);
    EXPECT_EQ(infinite.float_total(), std::numeric_limits<double>::infinity());
    EXPECT_TRUE(std::isnan(NumericSum().mean()));
}

TEST(TupleCounter, CountsByKeysRanksByCountThenFirstId) {
    TupleCounter counter(2);
    std::vector<std::vector<int64_t>> tuples = {{1, 2}, {2, 1}, {1, 2}, {3, 3},
                                                {2, 1}, {1, 2}, {4, 0}};
    std::vector<bool> fresh;
    for (uint32_t id = 0; id < tuples.size(); ++id)
        fresh.push_back(counter.add(tuples[id], id * 10));
    EXPECT_EQ(fresh, (std::vector<bool>{true, true, false, true, false, false, true}));
    EXPECT_EQ(counter.groups(), 4u);
    std::vector<TupleCount> ranked = counter.ranked(std::nullopt);
    ASSERT_EQ(ranked.size(), 4u);
    EXPECT_EQ(ranked[0].group, 0u);  // (1, 2): 3 holders
    EXPECT_EQ(ranked[0].count, 3u);
    EXPECT_EQ(ranked[1].group, 1u);      // (2, 1): 2
    EXPECT_EQ(ranked[2].first_id, 30u);  // (3, 3) before (4, 0): smaller first id
    EXPECT_EQ(counter.ranked(1).size(), 1u);
    EXPECT_TRUE(counter.ranked(0).empty());
}

}  // namespace
}  // namespace vorlane
