#include "engine/exact_map.hpp"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <vector>

#include "engine/panic.hpp"

namespace vorlane {
namespace {

// The map's content as (hash, ids) pairs in hash order.
std::map<int64_t, std::vector<uint32_t>> content(const ExactMap& map) {
    std::map<int64_t, std::vector<uint32_t>> out;
    for (const auto& [hash, ids] : map) {
        std::vector<uint32_t>& listed = out[hash];
        ids.for_each([&](uint32_t id) { listed.push_back(id); });
    }
    return out;
}

// Random insertions, erasures (through `find`), reserves and shrinks against
// a std::map, validated as they go. Keys are drawn from a small range, so
// erased keys come back and tombstones are reused, and include keys that
// differ only in their high bits.
TEST(ExactMap, FollowsAModelThroughGrowthErasureAndRebuilds) {
    std::mt19937 rng(7);
    ExactMap map;
    std::map<int64_t, std::vector<uint32_t>> model;
    auto key_of = [](uint32_t k) {
        return k % 3 == 0 ? static_cast<int64_t>(k) << 40 : static_cast<int64_t>(k) * 7919 - 5000;
    };
    for (int step = 0; step < 60'000; ++step) {
        int64_t key = key_of(rng() % 3000);
        uint32_t op = rng() % 100;
        if (op < 55) {
            uint32_t id = rng() % 64;
            auto [entry, made] = map.try_emplace(key, HybridSet::with_id(id));
            ASSERT_EQ(made, !model.contains(key));
            if (!made)
                entry->second.insert(id);
            std::vector<uint32_t>& ids = model[key];
            if (std::find(ids.begin(), ids.end(), id) == ids.end()) {
                ids.push_back(id);
                std::sort(ids.begin(), ids.end());
            }
        } else if (op < 97) {
            auto entry = map.find(key);
            ASSERT_EQ(entry != map.end(), model.contains(key));
            if (entry != map.end()) {
                map.erase(entry);
                model.erase(key);
            }
        } else if (op < 99) {
            map.reserve(map.size() + rng() % 50);
        } else {
            map.shrink_to_fit();
        }
        ASSERT_EQ(map.size(), model.size());
        if (step % 997 == 0) {
            map.validate();
            ASSERT_EQ(content(map), model);
        }
    }
    map.validate();
    EXPECT_EQ(content(map), model);
    ExactMap moved(std::move(map));
    moved.validate();
    EXPECT_EQ(content(moved), model);
    EXPECT_TRUE(map.empty());
    EXPECT_EQ(map.find(key_of(3)), map.end());
}

TEST(ExactMap, ReserveSizesAnEmptyMapToItsEntriesAndAFullOneByHalf) {
    ExactMap map;
    map.reserve(700);
    EXPECT_EQ(map.capacity(), 800u);  // 700 entries at 7/8 full
    for (int64_t k = 0; k < 700; ++k)
        map.try_emplace(k * 1'000'003, HybridSet::with_id(static_cast<uint32_t>(k)));
    EXPECT_EQ(map.capacity(), 800u);
    map.try_emplace(-7);
    EXPECT_EQ(map.capacity(), 1200u);
    map.reserve(map.size() + 1);  // a small batch onto a filled map does not rebuild
    EXPECT_EQ(map.capacity(), 1200u);
    map.validate();
    EXPECT_THROW(map.at(12345), Panic);
    EXPECT_EQ(map.at(-7).len(), 0u);
}

}  // namespace
}  // namespace vorlane
