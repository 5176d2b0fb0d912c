#include "engine/tuple_sets.hpp"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <tuple>
#include <vector>

#include "engine_values.hpp"

namespace vorlane {
namespace {

using testing::int_key;

// (keys) -> (count, first id), recomputed from each id's values; an id
// without a value of some name is not counted.
using Groups = std::map<std::vector<int64_t>, std::pair<uint64_t, uint32_t>>;

Groups reference_groups(const std::vector<std::map<uint32_t, int64_t>>& values,
                        const Bitmap& selection) {
    Groups out;
    selection.for_each([&](uint32_t id) {
        std::vector<int64_t> keys;
        for (const auto& name : values) {
            auto found = name.find(id);
            if (found == name.end())
                return;
            keys.push_back(found->second);
        }
        auto [entry, fresh] = out.try_emplace(keys, 0, id);
        ++entry->second.first;
    });
    return out;
}

Groups groups_of(const TupleSetCounts& counts) {
    Groups out;
    for (const TupleCount& group : counts.groups) {
        std::span<const int64_t> keys = counts.keys_of(group.group);
        out[std::vector<int64_t>(keys.begin(), keys.end())] = {group.count, group.first_id};
    }
    return out;
}

// Names of 3, 40 and 2 values (the 40 mostly in small sets), some ids
// holding only some names, selections sparse and dense: every group, count
// and first id as recomputed, in every order of the names.
TEST(CountTuplesFromSets, MatchTheReference) {
    std::mt19937 rng(5);
    const std::vector<int64_t> spread = {3, 40, 2};
    std::vector<QueryMap> maps(spread.size());
    std::vector<std::map<uint32_t, int64_t>> values(spread.size());
    for (uint32_t id = 0; id < 150000; id += 1 + rng() % 3) {
        for (size_t name = 0; name < spread.size(); ++name) {
            if (rng() % 10 == 0)
                continue;
            int64_t v = int64_t(rng() % spread[name]) - 1;  // -1 and -2 share a key
            maps[name].insert(int_key(v), id);
            values[name][id] = v == -1 ? -2 : v;
        }
    }
    for (uint32_t every : {1u, 2u, 7u, 997u}) {
        std::vector<uint32_t> picked;
        for (uint32_t id = 0; id < 150000; id += every)
            picked.push_back(id);
        Bitmap selection = Bitmap::of(picked);
        for (auto order : {std::vector<size_t>{0, 1, 2}, {2, 0}, {1}, {1, 0, 2}}) {
            std::vector<const QueryMap*> asked;
            std::vector<std::map<uint32_t, int64_t>> asked_values;
            for (size_t name : order) {
                asked.push_back(&maps[name]);
                asked_values.push_back(values[name]);
            }
            std::optional<TupleSetCounts> got =
                count_tuples_from_sets(asked, selection, UINT64_MAX);
            ASSERT_TRUE(got);
            Groups want = reference_groups(asked_values, selection);
            EXPECT_EQ(groups_of(*got), want) << every;
            uint64_t counted = 0;
            for (const auto& [keys, group] : want)
                counted += group.first;
            EXPECT_EQ(got->counted, counted);
            // The ids left out are those lacking a name.
            Bitmap missing = unlisted_ids(asked, selection);
            EXPECT_EQ(missing.cardinality() + counted, selection.cardinality());
            std::vector<TupleCount> ranked = got->ranked(3);
            ASSERT_EQ(ranked.size(), std::min<size_t>(3, want.size()));
            for (size_t i = 1; i < ranked.size(); ++i)
                EXPECT_TRUE(std::tie(ranked[i - 1].count, ranked[i].first_id) >
                            std::tie(ranked[i].count, ranked[i - 1].first_id));
        }
    }
}

TEST(CountTuplesFromSets, GivesUpPastTheBudgetAndCountsAnEmptySelection) {
    QueryMap a;
    QueryMap b;
    for (uint32_t id = 0; id < 5000; ++id) {
        a.insert(int_key(id % 2), id);
        b.insert(int_key(id % 900), id);  // small sets, tested id by id
    }
    std::vector<const QueryMap*> maps{&a, &b};
    Bitmap all = Bitmap::of(std::vector<uint32_t>{0, 1, 2, 3, 4999});
    EXPECT_FALSE(count_tuples_from_sets(maps, all, 1000));  // given up part of the way
    EXPECT_FALSE(count_tuples_from_sets(maps, all, 899));   // given up at once
    EXPECT_TRUE(count_tuples_from_sets(maps, all, 20000));
    std::optional<TupleSetCounts> none = count_tuples_from_sets(maps, Bitmap(), 0);
    ASSERT_TRUE(none);
    EXPECT_TRUE(none->groups.empty());
}

}  // namespace
}  // namespace vorlane
