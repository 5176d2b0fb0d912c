#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <type_traits>
#include <vector>

#include "engine/numeric_sum.hpp"
#include "engine/ordered_sum.hpp"
#include "engine/tree_node.hpp"
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
    std::vector<uint32_t> groups;
    for (uint32_t id = 0; id < tuples.size(); ++id) {
        fresh.push_back(counter.add(tuples[id], id * 10));
        groups.push_back(counter.last_group());
    }
    EXPECT_EQ(fresh, (std::vector<bool>{true, true, false, true, false, false, true}));
    EXPECT_EQ(groups, (std::vector<uint32_t>{0, 1, 0, 2, 1, 0, 3}));
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

// More groups than the counter remembers recently, interleaved so that
// remembered slots are taken over: every tuple still counts in its own group.
TEST(TupleCounter, ManyInterleavedGroupsMatchAMapCount) {
    TupleCounter counter(2);
    std::map<std::pair<int64_t, int64_t>, uint64_t> want;
    for (uint32_t id = 0; id < 20'000; ++id) {
        std::pair<int64_t, int64_t> keys{(id * 7919) % 1500, -static_cast<int64_t>(id % 3)};
        std::array<int64_t, 2> tuple{keys.first, keys.second};
        EXPECT_EQ(counter.add(tuple, id), want[keys]++ == 0);
    }
    EXPECT_EQ(counter.groups(), want.size());
    std::vector<uint64_t> got, expected;
    for (const TupleCount& entry : counter.ranked(std::nullopt))
        got.push_back(entry.count);
    for (const auto& [keys, count] : want)
        expected.push_back(count);
    std::sort(expected.rbegin(), expected.rend());
    EXPECT_EQ(got, expected);
}

TEST(DecodeValue96, GivesBackEveryNumberWholeOnesAsInts) {
    const double kInf = std::numeric_limits<double>::infinity();
    for (double x : {0.5, -0.1, 1e300, -1e-310, 5e-324, 9.223372036854775808e18, kInf, -kInf})
        EXPECT_EQ(decode_value96(encode_value96(x)), NumericValue(x)) << x;
    for (int64_t n : {int64_t{0}, int64_t{-7}, (int64_t{1} << 53) + 1, INT64_MAX, INT64_MIN})
        EXPECT_EQ(decode_value96(encode_value96(n)), NumericValue(n)) << n;
    EXPECT_EQ(decode_value96(encode_value96(-0.0)), NumericValue(int64_t{0}));
    EXPECT_EQ(decode_value96(encode_value96(-3.0)), NumericValue(int64_t{-3}));
    EXPECT_TRUE(is_nan(decode_value96(encode_value96(std::nan("")))));
}

// Both forms of the ordered numbers, against a sum of the same pairs.
TEST(OrderedSum, EitherFormSumsTheSelectedNumbers) {
    // Enough insertions one by one for the holder to count its groups.
    constexpr uint32_t kIds = 6000;
    for (int64_t values : {int64_t{kIds}, int64_t{7}}) {  // a tree, then value sets
        OrderedNumbers numbers;
        Bitmap selection;
        NumericSum want;
        for (uint32_t id = 0; id < kIds; ++id) {
            NumericValue value = id % 9 == 0 ? NumericValue(int64_t{(id % values) << 40})
                                             : NumericValue(static_cast<double>(id % values) / 4);
            numbers.insert(value, id);
            if (id % 3 != 0) {
                selection.add(id);
                want.add(value);
            }
        }
        numbers.insert(std::nan(""), 9999);
        selection.add(9999);
        ASSERT_EQ(numbers.holds_value_sets(), values == 7);
        EXPECT_TRUE(samples_fraction(numbers));
        OrderedTotal got = sum_selected(numbers, selection, UniverseCover::Part);
        EXPECT_TRUE(got.has_fraction);
        EXPECT_EQ(got.sum.count(), want.count());
        EXPECT_EQ(got.sum.float_total(), want.float_total());
        EXPECT_EQ(sum_selected(numbers, selection, UniverseCover::All).sum.count(), kIds);
    }
}

// Counts the leaves of each form below `node`: wide, compact by steps,
// compact with a table; and, last, the compact ones in 4-byte entries.
void count_leaf_forms(const BitMapBTreeNode& node, std::array<int, 4>& forms) {
    visit_node(
        node,
        [&](const InternalNode& internal) {
            for (const BitMapBTreeNode& child : internal.children)
                count_leaf_forms(child, forms);
        },
        [&](const LeafPtr& leaf) {
            ++forms[!leaf->compact ? 0 : leaf->code_table().empty() ? 1 : 2];
            forms[3] += leaf->narrow();
        });
}

// Every leaf form, with codes whose entries all left their leaf's table and
// runs of one value across leaves: each distinct value is added once, with
// its count of selected ids, in value order. Ids far apart keep compact
// entries in 8 bytes, close ones take 4.
void sum_every_leaf_form(uint32_t stride);

TEST(OrderedSum, EveryLeafFormAddsEachValueOnceInValueOrder) {
    for (uint32_t stride : {1u, 300'000u})
        sum_every_leaf_form(stride);
}

void sum_every_leaf_form(uint32_t stride) {
    constexpr uint32_t kIds = 12'000;
    auto value_of = [](uint32_t id) {
        if (id % 3 == 1)
            return NumericValue(int64_t{(id % 50) * 1000});  // steps from a base
        if (id % 3 == 2 && id % 4 == 0)
            return NumericValue(1e6 + id / 3.0);                       // scattered: wide
        return NumericValue(static_cast<double>(id % 997 + 1) / 100);  // repeated prices
    };
    OrderedNumbers numbers;
    for (uint32_t id = 0; id < kIds; ++id)
        numbers.insert(value_of(id), id * stride);
    std::map<Key128, uint64_t> selected;  // code -> selected ids
    Bitmap selection;
    for (uint32_t id = 0; id < kIds; ++id) {
        if (id % 997 % 7 == 0 && id % 3 != 1) {
            ASSERT_TRUE(numbers.remove(value_of(id), id * stride));
        } else if (id % 5 != 0) {
            selection.add(id * stride);
            ++selected[encode_value96(value_of(id))];
        }
    }
    ASSERT_FALSE(numbers.holds_value_sets());
    std::array<int, 4> forms{};
    numbers.visit_form([&](const auto& form) {
        if constexpr (std::is_same_v<std::decay_t<decltype(form)>, BitMapBTree>)
            count_leaf_forms(form.root(), forms);
    });
    EXPECT_GT(forms[0] * forms[1] * forms[2], 0);
    if (stride == 1)
        EXPECT_EQ(forms[3], forms[1] + forms[2]);
    else
        EXPECT_LT(forms[3], forms[1] + forms[2]);
    NumericSum want;
    for (const auto& [code, times] : selected)
        want.add_repeated(decode_value96(code), times);
    OrderedTotal got = sum_selected(numbers, selection, UniverseCover::Part);
    EXPECT_EQ(got.sum.count(), want.count());
    EXPECT_EQ(got.sum.float_total(), want.float_total());
}

}  // namespace
}  // namespace vorlane
