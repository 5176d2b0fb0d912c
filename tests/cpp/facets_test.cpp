#include "engine/facets.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <map>
#include <random>
#include <vector>

#include "engine_values.hpp"

namespace vorlane {
namespace {

using testing::float_key;
using testing::int_key;

// Counts, first ids and order recomputed from (id -> value) pairs.
std::vector<ValueCount> reference_counts(const std::map<uint32_t, int64_t>& values,
                                         const Bitmap* selection, std::optional<size_t> limit) {
    std::map<int64_t, ValueCount> by_value;
    for (auto [id, v] : values) {
        if (selection && !selection->contains(id))
            continue;
        ValueCount& c = by_value.try_emplace(v, ValueCount{v, 0, id}).first->second;
        ++c.count;
    }
    std::vector<ValueCount> out;
    out.reserve(by_value.size());
    for (auto& [v, c] : by_value)
        out.push_back(c);
    std::sort(out.begin(), out.end(), [](const ValueCount& a, const ValueCount& b) {
        return a.count != b.count ? a.count > b.count : a.first_id < b.first_id;
    });
    if (limit && *limit < out.size())
        out.resize(*limit);
    return out;
}

void expect_counts(const std::vector<ValueCount>& got, const std::vector<ValueCount>& want) {
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].hash, want[i].hash) << i;
        EXPECT_EQ(got[i].count, want[i].count) << i;
        EXPECT_EQ(got[i].first_id, want[i].first_id) << i;
    }
}

// A few heavy values and many light ones, so the sets take both forms, or
// a few light ones among the heavy (selections then test their ids one by
// one in the library, not in a bit array of their own); selections from
// empty to everything, sparse and dense.
class CountValues : public ::testing::TestWithParam<bool> {};
INSTANTIATE_TEST_SUITE_P(LightValues, CountValues, ::testing::Values(true, false));

TEST_P(CountValues, MatchTheReference) {
    bool many_light = GetParam();
    std::mt19937 rng(11);
    QueryMap map;
    std::map<uint32_t, int64_t> values;
    for (uint32_t id = 0; id < 200000; id += 1 + rng() % 3) {
        bool light = many_light ? rng() % 4 != 0 : id % 1000 == 0;
        int64_t v = light ? int64_t(rng() % 50000) + 3 : int64_t(rng() % 3);
        map.insert(int_key(v), id);
        values[id] = v;
    }
    map.remove_and_prune(int_key(values.begin()->second), values.begin()->first);
    values.erase(values.begin());
    Bitmap listed;
    for (auto [id, v] : values)
        listed.add(id);
    for (uint32_t every : {0u, 1u, 2u, 97u, 5000u}) {
        std::vector<uint32_t> picked;
        for (uint32_t id = 0; every > 0 && id < 200000; id += every)
            picked.push_back(id);
        Bitmap selection = Bitmap::of(picked);
        // Within the listed ids, which the map lists all of: the largest
        // set's count is what the others leave.
        Bitmap within = Bitmap::and_(selection, listed);
        for (std::optional<size_t> limit :
             {std::optional<size_t>(), std::optional<size_t>(0), std::optional<size_t>(5)}) {
            expect_counts(count_values(map, &selection, std::nullopt, limit),
                          reference_counts(values, &selection, limit));
            expect_counts(count_values(map, &within, values.size(), limit),
                          reference_counts(values, &within, limit));
        }
    }
    expect_counts(count_values(map, nullptr, std::nullopt, std::nullopt),
                  reference_counts(values, nullptr, std::nullopt));
}

TEST(CountValuesOf, EmptiedSetsAndSharedKeysCountAsStored) {
    QueryMap map;
    map.insert(int_key(1), 4);
    map.insert(float_key(1.0), 2);  // the same key as 1
    for (uint32_t id = 10; id < 20; ++id)
        map.insert(int_key(7), id);
    for (uint32_t id = 10; id < 20; ++id)
        map.remove_id(int_key(7), id);  // an emptied bitmap set, not pruned
    std::vector<ValueCount> counts = count_values(map, nullptr, std::nullopt, std::nullopt);
    ASSERT_EQ(counts.size(), 1u);
    EXPECT_EQ(counts[0].count, 2u);
    EXPECT_EQ(counts[0].first_id, 2u);
}

TEST(FirstCommonId, LeapsOverContainers) {
    Bitmap a = Bitmap::of(std::vector<uint32_t>{3, 70000, 140001, 4000000});
    Bitmap b = Bitmap::of(std::vector<uint32_t>{4, 69999, 140001, 4000000});
    EXPECT_EQ(first_common_id(a, b), 140001u);
    EXPECT_EQ(first_common_id(a, Bitmap()), std::nullopt);
    EXPECT_EQ(first_common_id(b, Bitmap::of(std::vector<uint32_t>{5})), std::nullopt);
}

TEST(FirstAccepted, TriesIdsInAscendingOrderInBothForms) {
    HybridSet small;
    for (uint32_t id : {9u, 2u, 5u})
        small.insert(id);
    std::vector<uint32_t> tried;
    EXPECT_EQ(first_accepted(small,
                             [&](uint32_t id) {
                                 tried.push_back(id);
                                 return id > 4;
                             }),
              5u);
    EXPECT_EQ(tried, (std::vector<uint32_t>{2, 5}));
    HybridSet large = HybridSet::from_bitmap(Bitmap::of(std::vector<uint32_t>{8, 1, 70000}));
    EXPECT_EQ(first_accepted(large, [](uint32_t id) { return id > 8; }), 70000u);
    EXPECT_EQ(first_accepted(large, [](uint32_t) { return false; }), std::nullopt);
}

// The tree's bounds over a selection, against a scan of the same pairs: NaNs
// and infinities, equal values under int and float, a tree of several levels.
TEST(TreeBounds, MatchAScanOfTheSelection) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    std::mt19937 rng(5);
    BitMapBTree tree;
    std::map<uint32_t, NumericValue> values;
    for (uint32_t id = 0; id < 30000; ++id) {
        NumericValue v;
        switch (rng() % 8) {
            case 0:
                v = rng() % 2 ? nan : -nan;
                break;
            case 1:
                v = double(rng() % 600) - 300.0;
                break;
            default:
                v = int64_t(rng() % 600) - 300;
        }
        tree.insert(v, id);
        values[id] = v;
    }
    tree.insert(inf, 30000);
    values[30000] = inf;
    auto scan = [&](const Bitmap& selection, bool largest) {
        std::optional<CompositeKey128> best;
        for (auto [id, v] : values) {
            if (!selection.contains(id) || (v.index() == 1 && std::isnan(std::get<1>(v))))
                continue;
            CompositeKey128 e = CompositeKey128::new_(v, id);
            if (!best || (largest ? e.value_code() > best->value_code() : e < *best))
                best = e;
        }
        return best;
    };
    for (uint32_t every : {1u, 3u, 1000u, 29999u, 40000u}) {
        std::vector<uint32_t> picked;
        for (uint32_t id = every == 3 ? 1 : 0; id <= 30000; id += every)
            picked.push_back(id);
        Bitmap selection = Bitmap::of(picked);
        EXPECT_EQ(tree.min_entry(selection), scan(selection, false)) << every;
        EXPECT_EQ(tree.max_entry(selection), scan(selection, true)) << every;
    }
    Bitmap only_nan = Bitmap::of(std::vector<uint32_t>{});
    for (auto [id, v] : values) {
        if (v.index() == 1 && std::isnan(std::get<1>(v)))
            only_nan.add(id);
    }
    EXPECT_EQ(tree.min_entry(only_nan), std::nullopt);
    EXPECT_EQ(tree.max_entry(only_nan), std::nullopt);
    EXPECT_EQ(BitMapBTree().min_entry(only_nan), std::nullopt);
}

}  // namespace
}  // namespace vorlane
