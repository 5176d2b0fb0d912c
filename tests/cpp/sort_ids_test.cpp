#include "engine/sort_ids.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

namespace vorlane {
namespace {

// Short and long lists, ids needing one to three passes of even or uneven
// digits, repeated ids; sorted with the largest id found or given.
TEST(SortIds, MatchesAComparisonSort) {
    std::mt19937 rng(7);
    for (size_t n : {0u, 1u, 255u, 257u, 5000u}) {
        for (uint32_t limit : {2000u, 1u << 17, 1000000u, 1u << 22, 0xFFFFFFFFu}) {
            std::vector<uint32_t> ids(n);
            for (uint32_t& id : ids)
                id = limit == 0xFFFFFFFFu ? rng() : rng() % limit;
            if (n > 10)
                ids[3] = ids[7];  // a repeat stays, in order
            std::vector<uint32_t> expected = ids;
            std::sort(expected.begin(), expected.end());
            std::vector<uint32_t> bounded = ids;
            // Read where they lie, in two parts, into a list of their own.
            const size_t half = n / 2;
            std::vector<uint32_t> from_parts(n);
            sort_ids_from(
                [&](auto&& visit) {
                    std::for_each(ids.begin(), ids.begin() + half, visit);
                    std::for_each(ids.begin() + half, ids.end(), visit);
                },
                from_parts, limit == 0xFFFFFFFFu ? limit : limit - 1);
            EXPECT_EQ(from_parts, expected) << n << " ids below " << limit << ", from parts";
            sort_ids(ids);
            EXPECT_EQ(ids, expected) << n << " ids below " << limit;
            // A bound above the largest id (the largest of a set holding
            // them) sorts them the same.
            sort_ids(bounded, limit == 0xFFFFFFFFu ? limit : limit - 1);
            EXPECT_EQ(bounded, expected) << n << " ids below " << limit << ", bounded";
        }
    }
}

// Entries of ints, floats and both, with ids in ascending order (the id
// digits are skipped) or shuffled, and with values sharing most digits.
// A repeat anywhere in lists of every length up to two steps of the
// check's unrolled loop, and none in distinct lists.
TEST(SortIds, HasRepeatFindsEachPosition) {
    for (size_t n = 0; n <= 19; ++n) {
        std::vector<uint32_t> ids(n);
        for (size_t i = 0; i < n; ++i)
            ids[i] = static_cast<uint32_t>(3 * i);
        EXPECT_FALSE(has_repeat(ids)) << n;
        for (size_t at = 1; at < n; ++at) {
            std::vector<uint32_t> repeated = ids;
            repeated[at] = repeated[at - 1];
            EXPECT_TRUE(has_repeat(repeated)) << n << " at " << at;
        }
    }
}

TEST(SortEntries, MatchesAComparisonSort) {
    std::mt19937 rng(11);
    for (size_t n : {0u, 200u, 5000u}) {
        for (int values = 0; values < 3; ++values) {
            for (bool ascending_ids : {true, false}) {
                BulkVector<CompositeKey128> entries;
                for (uint32_t i = 0; i < n; ++i) {
                    NumericValue v = values == 0   ? NumericValue(int64_t(rng() % 100))
                                     : values == 1 ? NumericValue((rng() % 100000) / 7.0 - 500)
                                     : rng() % 2   ? NumericValue(int64_t(rng()) << 20)
                                                   : NumericValue(-1e300 * (rng() % 3));
                    uint32_t id = ascending_ids ? i * 3 : rng();
                    entries.push_back(CompositeKey128::new_(v, id));
                }
                BulkVector<CompositeKey128> expected = entries;
                std::sort(expected.begin(), expected.end());
                sort_entries(entries);
                EXPECT_EQ(entries, expected) << n << " " << values << " " << ascending_ids;
            }
        }
    }
}

}  // namespace
}  // namespace vorlane
