#include "engine/ordered_numbers.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <random>
#include <vector>

namespace vorlane {
namespace {

using Limits = std::numeric_limits<double>;

// Values with ties, both zeros, both infinities and both NaNs.
const std::vector<NumericValue> kSpecials = {NumericValue(0.0),
                                             NumericValue(-0.0),
                                             NumericValue(int64_t{0}),
                                             NumericValue(Limits::infinity()),
                                             NumericValue(-Limits::infinity()),
                                             NumericValue(Limits::quiet_NaN()),
                                             NumericValue(-Limits::quiet_NaN()),
                                             NumericValue(int64_t{7}),
                                             NumericValue(7.0),
                                             NumericValue(-2.5)};

// `OrderedNumbers` driven beside a plain tree holding the same entries: every
// answer must be the tree's, whichever form the holder is in.
struct Differential {
    OrderedNumbers numbers;
    BitMapBTree tree;
    std::map<uint32_t, NumericValue> values;
    Bitmap all;

    void set(uint32_t id, NumericValue v) {
        if (auto old = values.find(id); old != values.end()) {
            MoveOutcome got = numbers.move(old->second, v, id);
            MoveOutcome want = tree.move(old->second, v, id);
            EXPECT_EQ(got.removed, want.removed);
            EXPECT_EQ(got.inserted, want.inserted);
            old->second = v;
        } else {
            numbers.insert(v, id);
            tree.insert(v, id);
            values.emplace(id, v);
            all.add(id);
        }
    }
    void erase(uint32_t id) {
        NumericValue v = values.at(id);
        EXPECT_EQ(numbers.remove(v, id), tree.remove(v, id));
        values.erase(id);
        all.remove(id);
    }

    void check_against_tree(std::mt19937& rng) {
        numbers.validate();
        ASSERT_EQ(numbers.size(), tree.size());
        Bitmap half;
        all.for_each([&](uint32_t id) {
            if (rng() % 2)
                half.add(id);
        });
        for (const Bitmap* selection : {&all, &half}) {
            for (bool reverse : {false, true}) {
                for (std::optional<size_t> limit :
                     {std::optional<size_t>(), std::optional<size_t>(1), std::optional<size_t>(10)})
                    EXPECT_EQ(numbers.sorted_ids(*selection, limit, reverse),
                              tree.sorted_ids(*selection, limit, reverse));
            }
            std::vector<uint32_t> desc = expected_desc(*selection);
            EXPECT_EQ(numbers.sorted_ids(*selection, std::nullopt, true), desc);
            for (size_t offset : {size_t{1}, desc.size() / 3, desc.size()}) {
                std::vector<uint32_t> page = numbers.sorted_ids(*selection, 10, true, offset);
                std::vector<uint32_t> want(desc.begin() + std::min(offset, desc.size()),
                                           desc.begin() + std::min(offset + 10, desc.size()));
                EXPECT_EQ(page, want) << "offset " << offset;
            }
            EXPECT_EQ(numbers.min_entry(*selection), tree.min_entry(*selection));
            EXPECT_EQ(numbers.max_entry(*selection), tree.max_entry(*selection));
        }
        for (int q = 0; q < 20; ++q) {
            Bound lower = random_bound(rng), upper = random_bound(rng);
            for (UniverseCover cover : {UniverseCover::Part, UniverseCover::All}) {
                const Bitmap& mask = cover == UniverseCover::All ? all : half;
                EXPECT_TRUE(numbers.query_range(lower, upper, mask, cover) ==
                            tree.query_range(lower, upper, mask, cover));
            }
        }
        std::vector<CompositeKey128> mine, theirs;
        numbers.for_each_entry([&](CompositeKey128 e) { mine.push_back(e); });
        tree.for_each_entry([&](CompositeKey128 e) { theirs.push_back(e); });
        EXPECT_EQ(mine, theirs);
    }

    // The selected ids with a number, largest first, ties by ascending id.
    std::vector<uint32_t> expected_desc(const Bitmap& selection) const {
        std::vector<std::pair<long double, uint32_t>> order;
        for (auto [id, v] : values) {
            long double x = std::visit([](auto n) { return static_cast<long double>(n); }, v);
            if (selection.contains(id) && !std::isnan(x))
                order.emplace_back(-x, id);
        }
        std::sort(order.begin(), order.end());
        std::vector<uint32_t> ids;
        for (auto [x, id] : order)
            ids.push_back(id);
        return ids;
    }

    static Bound random_bound(std::mt19937& rng) {
        NumericValue v = rng() % 4 == 0 ? kSpecials[rng() % kSpecials.size()]
                                        : NumericValue(int64_t(rng() % 40) - 5);
        switch (rng() % 3) {
            case 0:
                return Bound::included(v);
            case 1:
                return Bound::excluded(v);
            default:
                return Bound::unbounded();
        }
    }
};

NumericValue random_value(std::mt19937& rng, uint32_t distinct) {
    if (rng() % 16 == 0)
        return kSpecials[rng() % kSpecials.size()];
    int64_t v = rng() % distinct;
    return rng() % 2 ? NumericValue(v) : NumericValue(static_cast<double>(v) + 0.5 * (rng() % 2));
}

// Fills with few distinct values (the sets form), spreads them out (back to
// the tree), then narrows them again and empties the holder, checking every
// answer against the tree at each phase.
TEST(OrderedNumbers, SwitchesFormsBothWaysWithTheSameAnswers) {
    std::mt19937 rng(7);
    Differential d;
    const uint32_t kIds = 6000;
    for (uint32_t id = 0; id < kIds; ++id)
        d.set(id, random_value(rng, 12));
    EXPECT_TRUE(d.numbers.holds_value_sets());
    d.check_against_tree(rng);

    for (uint32_t id = 0; id < kIds; ++id)
        d.set(id, NumericValue(int64_t(rng() % 1'000'000)));
    EXPECT_FALSE(d.numbers.holds_value_sets());
    d.check_against_tree(rng);

    for (int round = 0; round < 3; ++round) {
        for (uint32_t id = 0; id < kIds; ++id)
            d.set(id, random_value(rng, 30));
        d.check_against_tree(rng);
    }
    EXPECT_TRUE(d.numbers.holds_value_sets());

    for (uint32_t id = 0; id < kIds; id += 2)
        d.erase(id);
    d.check_against_tree(rng);
    for (uint32_t id = 1; id < kIds; id += 2)
        d.erase(id);
    EXPECT_FALSE(d.numbers.holds_value_sets());
    d.check_against_tree(rng);
}

TEST(OrderedNumbers, BulkBuildPicksTheFormAndAnswersLikeTheTree) {
    std::mt19937 rng(11);
    for (uint32_t distinct : {3u, 5000u}) {
        Differential d;
        std::vector<CompositeKey128> entries;
        for (uint32_t id = 0; id < 20000; ++id) {
            NumericValue v = random_value(rng, distinct);
            entries.push_back(CompositeKey128::new_(v, id));
            d.values.emplace(id, v);
            d.all.add(id);
        }
        std::sort(entries.begin(), entries.end());
        d.numbers.insert_sorted(entries);
        d.tree.insert_sorted(entries);
        EXPECT_EQ(d.numbers.holds_value_sets(), distinct == 3u);
        d.check_against_tree(rng);
    }
}

// Values that repeat but whose ids are scattered over many blocks of 2^16
// would cost a container per id or two as sets: they stay a tree, built in
// one pass or entry by entry, while the same values on close ids take sets.
TEST(OrderedNumbers, ScatteredIdsStayATree) {
    std::mt19937 rng(13);
    const uint32_t kEntries = 20000;
    for (uint32_t spread : {1u, 1000u}) {
        std::vector<CompositeKey128> entries;
        Differential one_by_one;
        for (uint32_t i = 0; i < kEntries; ++i) {
            uint32_t id = i * spread;
            NumericValue v(int64_t(rng() % 200));
            entries.push_back(CompositeKey128::new_(v, id));
            one_by_one.set(id, v);
        }
        std::sort(entries.begin(), entries.end());
        OrderedNumbers bulk;
        bulk.insert_sorted(entries);
        EXPECT_EQ(bulk.holds_value_sets(), spread == 1) << spread;
        EXPECT_EQ(one_by_one.numbers.holds_value_sets(), spread == 1) << spread;
        bulk.validate();
        one_by_one.check_against_tree(rng);
    }
}

}  // namespace
}  // namespace vorlane
