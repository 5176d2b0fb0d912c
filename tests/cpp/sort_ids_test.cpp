#include "engine/sort_ids.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

namespace vorlane {
namespace {

// Short and long lists, ids needing one to three passes, repeated ids.
TEST(SortIds, MatchesAComparisonSort) {
    std::mt19937 rng(7);
    for (size_t n : {0u, 1u, 255u, 257u, 5000u}) {
        for (uint32_t limit : {2000u, 1u << 22, 0xFFFFFFFFu}) {
            std::vector<uint32_t> ids(n);
            for (uint32_t& id : ids)
                id = limit == 0xFFFFFFFFu ? rng() : rng() % limit;
            if (n > 10)
                ids[3] = ids[7];  // a repeat stays, in order
            std::vector<uint32_t> expected = ids;
            std::sort(expected.begin(), expected.end());
            sort_ids(ids);
            EXPECT_EQ(ids, expected) << n << " ids below " << limit;
        }
    }
}

}  // namespace
}  // namespace vorlane
