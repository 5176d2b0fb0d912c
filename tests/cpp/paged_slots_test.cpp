#include "engine/paged_slots.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <random>
#include <vector>

namespace vorlane {
namespace {

// An owning slot, so that leaks and double frees show under the sanitizers.
struct Slot {
    std::unique_ptr<uint32_t> value;
    bool empty() const { return !value; }
    static Slot of(uint32_t v) { return {std::make_unique<uint32_t>(v)}; }
};
using Table = PagedSlots<Slot>;
constexpr uint32_t kPage = Table::kPageSlots;

TEST(PagedSlots, LoneHighIdCostsOnePage) {
    Table table;
    uint32_t id = 20'000'000;
    table.put(id, Slot::of(7));
    table.validate();
    EXPECT_EQ(table.page_count(), 1u);
    EXPECT_LT(table.memory_usage(), 2 * sizeof(Slot) * kPage);
    ASSERT_NE(table.find(id), nullptr);
    EXPECT_EQ(*table.find(id)->value, 7u);
    EXPECT_FALSE(table.holds(id + 1));
    EXPECT_EQ(table.find(0), nullptr);
    EXPECT_EQ(table.find(UINT32_MAX), nullptr);
}

TEST(PagedSlots, PagesComeAndGoWithTheirIds) {
    Table table;
    // Two ids in the first page, one far above, one below the first: the
    // directory grows at both ends.
    for (uint32_t id : {5 * kPage + 1, 5 * kPage + 2, 40 * kPage, 2 * kPage})
        table.put(id, Slot::of(id));
    table.put(5 * kPage + 1, Slot::of(99));  // replacing keeps the count
    table.validate();
    EXPECT_EQ(table.page_count(), 3u);
    EXPECT_EQ(table.count(), 4u);
    EXPECT_EQ(*table.take(5 * kPage + 1).value, 99u);
    EXPECT_TRUE(table.take(5 * kPage + 1).empty());  // taken twice: nothing
    EXPECT_EQ(table.page_count(), 3u);
    table.take(5 * kPage + 2);
    table.take(40 * kPage);
    table.validate();
    EXPECT_EQ(table.page_count(), 1u);
    EXPECT_LT(table.memory_usage(), 2 * sizeof(Slot) * kPage);
    table.take(2 * kPage);
    table.validate();
    EXPECT_EQ(table.page_count(), 0u);
    EXPECT_EQ(table.memory_usage(), 0u);
    table.put(3, Slot::of(3));  // usable again from empty
    EXPECT_TRUE(table.holds(3));
}

TEST(PagedSlots, RandomUseAgreesWithAMap) {
    std::mt19937 rng(17);
    std::uniform_int_distribution<uint32_t> pick(0, 30 * kPage);
    Table table;
    std::map<uint32_t, uint32_t> model;
    for (int step = 0; step < 20'000; ++step) {
        uint32_t id = pick(rng);
        if (rng() % 3 != 0) {
            table.put(id, Slot::of(step));
            model[id] = static_cast<uint32_t>(step);
        } else {
            Slot taken = table.take(id);
            EXPECT_EQ(taken.empty(), !model.contains(id));
            model.erase(id);
        }
    }
    table.validate();
    std::vector<std::pair<uint32_t, uint32_t>> listed;
    table.for_each([&](uint32_t id, const Slot& slot) { listed.emplace_back(id, *slot.value); });
    std::vector<std::pair<uint32_t, uint32_t>> expected(model.begin(), model.end());
    EXPECT_EQ(listed, expected);
    // Looking up many ids at once, ascending or not, finds what `find` does.
    std::vector<uint32_t> ids;
    for (int i = 0; i < 2'000; ++i)
        ids.push_back(pick(rng));
    for (bool sorted : {false, true}) {
        if (sorted)
            std::sort(ids.begin(), ids.end());
        size_t at = 0;
        table.find_each(ids, [&](const Slot& slot) {
            const Slot* found = table.find(ids[at++]);
            EXPECT_EQ(found ? &slot : nullptr, found);
            EXPECT_EQ(slot.empty(), !table.holds(ids[at - 1]));
        });
        EXPECT_EQ(at, ids.size());
    }
}

}  // namespace
}  // namespace vorlane
