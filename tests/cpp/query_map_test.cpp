#include "engine/query_map.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <vector>

#include "engine/panic.hpp"

namespace vorlane {
namespace {

ValueKey int_key(int64_t v) {
    return ValueKey::of_int(v == -1 ? -2 : v, v);
}
ValueKey str_key(int64_t hash) {
    return ValueKey::of_other(hash, NativeKind::Str);
}

Bitmap all_ids() {
    Bitmap all;
    roaring_bitmap_add_range(all.raw(), 0, 1u << 20);
    return all;
}

std::vector<uint32_t> range_ids(const QueryMap& map, Bound lower, Bound upper) {
    return map.tree().query_range(lower, upper, all_ids()).to_vector();
}

TEST(QueryMap, InsertFillsExactMapAndTreeOnce) {
    QueryMap map;
    for (uint32_t id = 1; id <= 9; id += 2)
        map.insert(int_key(10), id);
    map.insert(int_key(10), 3);  // a held pair changes nothing
    ASSERT_NE(map.find(int_key(10)), nullptr);
    EXPECT_EQ(map.find(int_key(10))->form(), HybridSet::Form::Array);
    EXPECT_EQ(map.find(int_key(10))->len(), 5u);
    EXPECT_EQ(map.tree().size(), 5u);
    map.validate();
}

TEST(QueryMap, StringsStayOutOfTheTree) {
    QueryMap map;
    map.insert(str_key(77), 1);
    EXPECT_EQ(map.tree().size(), 0u);
    map.remove_id(str_key(77), 1);
    map.check_prune(str_key(77));
    EXPECT_TRUE(map.is_empty());
}

TEST(QueryMap, PruneDropsOnlyEmptySets) {
    QueryMap map;
    map.insert(int_key(3), 1);
    map.insert(int_key(4), 2);
    map.insert(int_key(4), 3);
    map.remove_id(int_key(4), 2);
    map.check_prune(int_key(4));
    EXPECT_TRUE(map.holds(int_key(4)));
    map.remove_id(int_key(3), 1);
    map.check_prune(int_key(3));
    EXPECT_FALSE(map.holds(int_key(3)));
    EXPECT_THROW(map.check_prune(int_key(3)), Panic);
    EXPECT_EQ(range_ids(map, Bound::unbounded(), Bound::unbounded()), (std::vector<uint32_t>{3}));
}

TEST(QueryMap, IntAndFloatAreOnePointOfTheTree) {
    QueryMap map;
    map.insert(ValueKey::of_int(3, 3), 1);
    map.insert(ValueKey::of_float(3, 3.0), 2);
    EXPECT_EQ(map.exact().size(), 1u);
    EXPECT_EQ(range_ids(map, Bound::included(int64_t{3}), Bound::included(3.0)),
              (std::vector<uint32_t>{1, 2}));
}

TEST(QueryMap, RemovalReachesTheTreeWithoutAnExactEntry) {
    // An in-place reduction can empty and prune a value while its ids stay in
    // the tree; a later removal must still take the tree entry out.
    QueryMap map;
    map.insert(int_key(5), 7);
    map.unlist_from_set(int_key(5), 7);
    map.check_prune(int_key(5));
    map.remove_id(int_key(5), 7);
    EXPECT_EQ(map.tree().size(), 0u);
}

TEST(QueryMap, MergeIntoAnEmptyMapCopiesEverything) {
    QueryMap other;
    for (uint32_t id = 0; id < 300; ++id)
        other.insert(int_key(id % 7), id);
    other.insert(str_key(99), 1000);
    QueryMap map;
    map.merge(other);
    EXPECT_EQ(map.exact().size(), other.exact().size());
    EXPECT_EQ(map.tree().size(), other.tree().size());
    map.merge(other);  // merging again adds nothing
    EXPECT_EQ(map.tree().size(), 300u);
    EXPECT_EQ(map.find(int_key(3))->as_bitmap(), other.find(int_key(3))->as_bitmap());
    map.validate();
}

TEST(QueryMap, MergeLeavesOutTreeEntriesThatReductionUnlisted) {
    QueryMap other;
    for (uint32_t id = 0; id < 10; ++id)
        other.insert(int_key(id), id);
    other.unlist_from_set(int_key(4), 4);  // as `reduce` narrows sets
    QueryMap map;
    map.merge(other);
    EXPECT_EQ(map.tree().size(), 9u);
    EXPECT_FALSE(map.tree().contains(int64_t{4}, 4));
    map.validate();
}

TEST(QueryMap, MergeKeepsNumbersWhoseHashesCollide) {
    // -1 and -2 share one hash and so one value set; each keeps its own tree entry.
    QueryMap other;
    other.insert(int_key(-2), 1);
    other.insert(int_key(-1), 2);
    QueryMap map;
    map.merge(other);
    EXPECT_TRUE(map.tree().contains(int64_t{-2}, 1));
    EXPECT_TRUE(map.tree().contains(int64_t{-1}, 2));
    EXPECT_EQ(map.find(int_key(-1))->len(), 2u);
}

// Both maps hold the same sets and the same tree entries.
void expect_same(const QueryMap& a, const QueryMap& b) {
    ASSERT_EQ(a.exact().size(), b.exact().size());
    for (const auto& [hash, ids] : a.exact()) {
        ASSERT_TRUE(b.exact().contains(hash));
        EXPECT_EQ(ids.as_bitmap(), b.exact().at(hash).as_bitmap());
    }
    std::vector<CompositeKey128> ta, tb;
    a.tree().for_each_entry([&](CompositeKey128 e) { ta.push_back(e); });
    b.tree().for_each_entry([&](CompositeKey128 e) { tb.push_back(e); });
    EXPECT_EQ(ta, tb);
}

TEST(QueryMapBatch, MatchesOneByOneInsertion) {
    // Few values (grouped through a table) and many (radix-sorted); into an
    // empty map and one holding some pairs already; pairs inserted, then
    // appended as a part with ids falling, then inserted after the part;
    // -1 and -2 sharing a hash.
    for (int64_t values : {50, 5000}) {
        auto key_of = [&](uint32_t id) {
            if (id % 3 == 0)
                return str_key(id % 11);
            if (id % 10 == 1)
                return int_key(id % 20 == 1 ? -1 : -2);
            return int_key(id * 7919 % values);
        };
        for (bool prefilled : {false, true}) {
            QueryMap single, batched;
            for (uint32_t id = 0; prefilled && id < 6000; id += 7) {
                single.insert(key_of(id), id);
                batched.insert(key_of(id), id);
            }
            QueryMapBatch batch(batched);
            QueryMapBatch::Pairs part;
            for (uint32_t i = 0; i < 6000; ++i) {
                uint32_t id = i < 3000 ? i : 8999 - i;
                single.insert(key_of(id), id);
                if (i < 3000)
                    batch.insert(key_of(id), id);
                else
                    part.push_back(QueryMapBatch::Pair::of(key_of(id), id));
            }
            batch.append(std::move(part));
            for (uint32_t id = 0; id < 6000; id += 5)
                batch.insert(key_of(id), id);  // repeated pairs change nothing
            batch.finish();
            batched.validate();
            expect_same(single, batched);
        }
    }
}

// ---------------------------------------------------------------------------
// `replace` against the steps it stands for.

// Each id's set entries in iteration order, per value, and the tree's entries.
struct Listing {
    std::vector<std::pair<int64_t, std::vector<uint32_t>>> sets;
    std::vector<CompositeKey128> tree;
    size_t capacity;
    size_t memory;

    bool operator==(const Listing&) const = default;
};

Listing listing_of(const QueryMap& map) {
    Listing out{{}, {}, map.exact().capacity(), map.memory_usage()};
    for (const auto& [value, ids] : map.exact()) {
        std::vector<uint32_t> listed;
        ids.for_each([&](uint32_t id) { listed.push_back(id); });
        out.sets.emplace_back(value, std::move(listed));
    }
    std::sort(out.sets.begin(), out.sets.end());
    map.tree().for_each_entry([&](CompositeKey128 e) { out.tree.push_back(e); });
    return out;
}

void step_apart(QueryMap& map, const ValueKey& old_value, const ValueKey& new_value, uint32_t id) {
    bool held = map.holds(old_value);
    map.remove_id(old_value, id);
    if (held)
        map.check_prune(old_value);
    map.insert(new_value, id);
}

// Ints (with -1 and -2 sharing a hash), halves as floats, an integral float,
// strings and a non-number under the hash of 1, as True is.
ValueKey key_number(uint32_t k) {
    switch (k % 5) {
        case 0:
            return ValueKey::of_float(1000 + k, static_cast<double>(k) + 0.5);
        case 1:
            return ValueKey::of_float(static_cast<int64_t>(k), static_cast<double>(k));
        case 2:
            return str_key(5000 + k % 7);
        case 3:
            return k % 2 ? ValueKey::of_other(1, NativeKind::Unknown) : int_key(-1);
        default:
            return int_key(static_cast<int64_t>(k % 9) - 2);
    }
}

TEST(QueryMapReplace, MatchesRemovePruneAndInsert) {
    std::mt19937 rng(11);
    QueryMap replaced, stepped;
    std::vector<ValueKey> value_of;
    for (uint32_t id = 0; id < 400; ++id) {
        value_of.push_back(key_number(rng() % 60));
        replaced.insert(value_of.back(), id);
        stepped.insert(value_of.back(), id);
    }
    for (int step = 0; step < 20000; ++step) {
        uint32_t id = rng() % value_of.size();
        ValueKey to = rng() % 5 ? key_number(rng() % 60) : value_of[id];
        ASSERT_TRUE(replaced.survives_one_removal());
        replaced.replace(value_of[id], to, id);
        step_apart(stepped, value_of[id], to, id);
        value_of[id] = to;
        if (step % 1000 == 0) {
            ASSERT_TRUE(listing_of(replaced) == listing_of(stepped)) << "at step " << step;
        }
    }
    EXPECT_TRUE(listing_of(replaced) == listing_of(stepped));
    replaced.validate();
}

TEST(QueryMapReplace, DropsATreeEntryTheExactMapNoLongerLists) {
    QueryMap map;
    map.insert(int_key(5), 7);
    map.insert(int_key(6), 8);
    map.unlist_from_set(int_key(5), 7);  // as an in-place reduction leaves it
    map.check_prune(int_key(5));
    map.replace(int_key(5), int_key(9), 7);
    EXPECT_EQ(range_ids(map, Bound::included(int64_t{5}), Bound::included(int64_t{5})),
              std::vector<uint32_t>{});
    EXPECT_EQ(range_ids(map, Bound::included(int64_t{9}), Bound::included(int64_t{9})),
              (std::vector<uint32_t>{7}));
    map.validate();
}

TEST(QueryMapReplace, AnIdListedUnderTheNewValueAddsNoTreeEntry) {
    QueryMap map;
    map.insert(int_key(5), 7);
    map.insert(int_key(6), 8);
    map.replace(int_key(5), int_key(6), 8);  // 8 was not under 5, and is under 6 already
    EXPECT_EQ(map.tree().size(), 2u);
    EXPECT_EQ(map.find(int_key(6))->len(), 1u);
    map.replace(int_key(6), ValueKey::of_float(6, 6.0), 8);  // one key, one tree point
    EXPECT_EQ(range_ids(map, Bound::included(6.0), Bound::included(int64_t{6})),
              (std::vector<uint32_t>{8}));
    map.replace(int_key(6), str_key(42), 8);  // out of the tree
    EXPECT_EQ(range_ids(map, Bound::unbounded(), Bound::unbounded()), (std::vector<uint32_t>{7}));
    EXPECT_FALSE(map.holds(int_key(6)));
    map.replace(str_key(42), int_key(6), 8);  // back in
    EXPECT_EQ(map.tree().size(), 2u);
    map.validate();
}

TEST(QueryMapReplace, SurvivingOneRemovalNeedsTwoValuesOrTwoTreeEntries) {
    QueryMap map;
    EXPECT_FALSE(map.survives_one_removal());
    map.insert(int_key(5), 1);
    EXPECT_FALSE(map.survives_one_removal());
    map.insert(int_key(5), 2);  // one value, two tree entries
    EXPECT_TRUE(map.survives_one_removal());
    QueryMap strings;
    strings.insert(str_key(1), 1);
    strings.insert(str_key(1), 2);
    EXPECT_FALSE(strings.survives_one_removal());  // counted by values, not by ids
    strings.insert(str_key(2), 3);
    EXPECT_TRUE(strings.survives_one_removal());
}

TEST(QueryMap, RemoveAndPruneMatchesTheTwoSteps) {
    QueryMap one, two;
    for (uint32_t id = 0; id < 40; ++id) {
        ValueKey key = id % 4 == 0 ? str_key(id % 3) : int_key(id % 6);
        one.insert(key, id);
        two.insert(key, id);
    }
    for (uint32_t id = 0; id < 40; id += 3) {
        ValueKey key = id % 4 == 0 ? str_key(id % 3) : int_key(id % 6);
        bool held = one.holds(key);
        one.remove_id(key, id);
        if (held)
            one.check_prune(key);
        two.remove_and_prune(key, id);
    }
    two.remove_and_prune(int_key(99), 1);  // a value not listed changes nothing
    one.remove_id(int_key(99), 1);
    expect_same(one, two);
    two.validate();
}

// The prefetch over more maps than it walks together, with values some maps
// do not list, changes none of them: the removals that follow match maps
// that were never prefetched.
TEST(RemovalPrefetch, ChangesNothing) {
    const size_t maps = 11;
    std::vector<QueryMap> prefetched(maps), plain(maps);
    for (size_t m = 0; m < maps; ++m) {
        for (uint32_t id = 0; id < 20000; ++id) {
            ValueKey key = m % 3 == 0 ? str_key(id % 50) : int_key((id * 31 + m) % 7000);
            prefetched[m].insert(key, id);
            plain[m].insert(key, id);
        }
    }
    for (uint32_t id = 0; id < 20000; id += 37) {
        RemovalPrefetch prefetch(id);
        for (size_t m = 0; m < maps; ++m) {
            ValueKey key = m % 3 == 0 ? str_key(id % 50) : int_key((id * 31 + m) % 7000);
            prefetch.add(prefetched[m], m == 4 ? int_key(-77) : key);
        }
        prefetch.run();
        for (size_t m = 0; m < maps; ++m) {
            ValueKey key = m % 3 == 0 ? str_key(id % 50) : int_key((id * 31 + m) % 7000);
            prefetched[m].remove_and_prune(key, id);
            plain[m].remove_and_prune(key, id);
        }
    }
    for (size_t m = 0; m < maps; ++m) {
        expect_same(prefetched[m], plain[m]);
        prefetched[m].validate();
    }
}

// ---------------------------------------------------------------------------
// Value sets shared between the tree and the exact map.

// Ids 0 .. count-1 under 30 repeating ints: -2 (whose hash -1 shares) and
// 0 to 27, with -1 too when `merged`; added in one batch.
constexpr uint32_t kSharedIds = 6000;
ValueKey repeating(uint32_t id, bool merged = false) {
    int64_t k = id % 30;
    return int_key(k == 1 && !merged ? -2 : k - 2);
}

void fill_batched(QueryMap& map, bool merged = false) {
    QueryMapBatch batch(map);
    for (uint32_t id = 0; id < kSharedIds; ++id)
        batch.insert(repeating(id, merged), id);
    batch.finish();
}

void fill_one_by_one(QueryMap& map, bool merged = false) {
    for (uint32_t id = 0; id < kSharedIds; ++id)
        map.insert(repeating(id, merged), id);
}

// Both maps list the same and answer every ordered question alike.
void expect_same_answers(const QueryMap& a, const QueryMap& b) {
    a.validate();
    b.validate();
    expect_same(a, b);
    Bitmap all = all_ids(), some;
    for (uint32_t id = 0; id < 2 * kSharedIds; id += 3)
        some.add(id);
    for (const Bitmap* selection : {&all, &some}) {
        for (bool reverse : {false, true}) {
            for (size_t offset : {size_t{0}, size_t{250}})
                EXPECT_EQ(a.tree().sorted_ids(*selection, 400, reverse, offset),
                          b.tree().sorted_ids(*selection, 400, reverse, offset));
        }
        EXPECT_EQ(a.tree().min_entry(*selection), b.tree().min_entry(*selection));
        EXPECT_EQ(a.tree().max_entry(*selection), b.tree().max_entry(*selection));
        auto range = [&](const QueryMap& map) {
            return map.tree()
                .query_range(Bound::included(int64_t{-2}), Bound::excluded(9.5), *selection)
                .to_vector();
        };
        EXPECT_EQ(range(a), range(b));
    }
}

TEST(SharedSets, ABulkAdditionOfRepeatingNumbersSharesTheExactMapsSets) {
    // With -1 and -2 under one key, each keeps a set of its own.
    for (bool merged : {false, true}) {
        QueryMap shared, model;
        fill_batched(shared, merged);
        fill_one_by_one(model, merged);
        EXPECT_TRUE(shared.tree().holds_shared_sets());
        EXPECT_FALSE(model.tree().holds_shared_sets());
        EXPECT_LT(shared.memory_usage(), model.memory_usage());
        expect_same_answers(shared, model);
    }
}

TEST(SharedSets, KeysMergedByHashKeepOwnSetsForTheirNumbers) {
    // Merged in the batch (-1 with -2), or later (-1.0 under the key of 1.0's
    // int, a float code of its own, as 2**61 hashes as 1 does).
    for (bool merged : {false, true}) {
        QueryMap shared, model;
        fill_batched(shared, merged);
        fill_one_by_one(model, merged);
        auto both = [&](auto&& change) {
            change(shared);
            change(model);
        };
        both([](QueryMap& m) { m.insert(ValueKey::of_float(3, 0.5), 7000); });
        both([](QueryMap& m) { m.insert(int_key(-1), 7001); });
        both([](QueryMap& m) { m.insert(ValueKey::of_float(3, 0.5), 7002); });
        EXPECT_TRUE(shared.tree().holds_shared_sets());
        expect_same_answers(shared, model);
        // Removals from each number of a merged key, down to none.
        for (uint32_t id = 0; id < kSharedIds; ++id) {
            if (id % 30 <= 5)
                both([&](QueryMap& m) { m.remove_and_prune(repeating(id, merged), id); });
        }
        both([](QueryMap& m) { m.remove_and_prune(ValueKey::of_float(3, 0.5), 7000); });
        EXPECT_TRUE(shared.tree().holds_shared_sets());
        expect_same_answers(shared, model);
        both([](QueryMap& m) { m.remove_and_prune(ValueKey::of_float(3, 0.5), 7002); });
        both([](QueryMap& m) { m.remove_and_prune(int_key(-1), 7001); });
        EXPECT_TRUE(shared.tree().holds_shared_sets());
        expect_same_answers(shared, model);
    }
}

TEST(SharedSets, ChangesThatWouldMakeThemDifferTakeOwnSetsFirst) {
    Bitmap half;
    for (uint32_t id = 0; id < kSharedIds; id += 2)
        half.add(id);
    HybridSet matching = HybridSet::from_bitmap(half.copy());
    QueryMap other;
    other.insert(int_key(3), 9000);
    std::vector<std::pair<const char*, std::function<void(QueryMap&)>>> changes = {
        {"non-number under a number's key", [](QueryMap& m) { m.insert(str_key(5), 7000); }},
        {"non-number", [](QueryMap& m) { m.insert(str_key(123456), 7000); }},
        // A second key for one value, as NaNs have.
        {"second key", [](QueryMap& m) { m.insert(ValueKey::of_float(999999, 5.0), 7000); }},
        {"reduction", [&](QueryMap& m) { m.narrow_value_sets(matching); }},
        {"unlisted", [](QueryMap& m) { m.unlist_from_set(int_key(4), 6); }},
        // Id 0 holds -2; removing it under -1 empties the key, not the value.
        {"removal under another value", [](QueryMap& m) { m.remove_and_prune(int_key(-1), 0); }},
        {"merge", [&](QueryMap& m) { m.merge(other); }},
        {"batch",
         [](QueryMap& m) {
             QueryMapBatch batch(m);
             batch.insert(int_key(7), 7001);
             batch.insert(str_key(7), 7002);
             batch.finish();
         }},
    };
    for (auto& [what, change] : changes) {
        SCOPED_TRACE(what);
        QueryMap shared, model;
        fill_batched(shared);
        fill_one_by_one(model);
        ASSERT_TRUE(shared.tree().holds_shared_sets());
        change(shared);
        change(model);
        EXPECT_FALSE(shared.tree().holds_shared_sets());
        expect_same_answers(shared, model);
    }
}

TEST(SharedSets, ChangesThatKeepThemAlikeKeepSharingUntilValuesStopRepeating) {
    QueryMap shared, model;
    fill_batched(shared);
    fill_one_by_one(model);
    std::mt19937 rng(7);
    auto both = [&](auto&& change) {
        change(shared);
        change(model);
    };
    // Moves between values old and new, removals and a consistent batch.
    for (uint32_t id = 0; id < kSharedIds; id += 5) {
        ValueKey to = int_key(static_cast<int64_t>(rng() % 40));
        both([&](QueryMap& m) { m.replace(repeating(id), to, id); });
        both([&](QueryMap& m) { m.replace(to, repeating(id), id); });
    }
    for (uint32_t id = 1; id < kSharedIds; id += 7)
        both([&](QueryMap& m) { m.remove_and_prune(repeating(id), id); });
    for (uint32_t id = 3; id < kSharedIds; id += 11) {
        both([&](QueryMap& m) {
            m.remove_id(repeating(id), id);
            m.check_prune(repeating(id));
            m.insert(ValueKey::of_float(1000, 1000.0), id);
        });
    }
    both([&](QueryMap& m) {
        QueryMapBatch batch(m);
        for (uint32_t id = kSharedIds; id < kSharedIds + 500; ++id)
            batch.insert(int_key(id % 3 + 50), id);
        batch.finish();
    });
    EXPECT_TRUE(shared.tree().holds_shared_sets());
    expect_same_answers(shared, model);
    // Values that no longer repeat: the tree takes its entries back.
    for (uint32_t id = 0; id < kSharedIds; ++id) {
        if (shared.tree().contains(*repeating(id).numeric(), id))
            both([&](QueryMap& m) { m.replace(repeating(id), int_key(100000 + id), id); });
    }
    EXPECT_FALSE(shared.tree().holds_value_sets());
    expect_same_answers(shared, model);
}

}  // namespace
}  // namespace vorlane
