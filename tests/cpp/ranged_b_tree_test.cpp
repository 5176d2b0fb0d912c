#include "engine/ranged_b_tree.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <map>
#include <numeric>
#include <random>
#include <set>
#include <vector>

#include "engine/panic.hpp"

namespace vorlane {
namespace {

using Limits = std::numeric_limits<double>;

// Exact numeric value of any int64 or double (x86 long double has a 64-bit
// mantissa), so the reference compares numbers without the tree's encoding.
long double exact(NumericValue v) {
    return std::visit([](auto x) { return static_cast<long double>(x); }, v);
}

bool satisfies(long double x, const Bound& lower, const Bound& upper) {
    auto above = [&] {
        long double b = exact(lower.value);
        return lower.kind == BoundKind::Unbounded ||
               (lower.kind == BoundKind::Included ? x >= b : x > b);
    };
    auto below = [&] {
        long double b = exact(upper.value);
        return upper.kind == BoundKind::Unbounded ||
               (upper.kind == BoundKind::Included ? x <= b : x < b);
    };
    return above() && below();
}

// The tree beside a reference: one value per id, as its owner guarantees.
struct Checked {
    BitMapBTree tree;
    std::map<uint32_t, NumericValue> values;
    std::map<Key128, NumericValue> ever_inserted;  // to turn keys back into bound values

    void insert(NumericValue v, uint32_t id) {
        tree.insert(v, id);
        values.emplace(id, v);
        ever_inserted.emplace(CompositeKey128::new_(v, id).key, v);
    }
    void remove(uint32_t id) {
        EXPECT_TRUE(tree.remove(values.at(id), id));
        values.erase(id);
    }
    std::vector<Key128> expected_keys() const {
        std::vector<Key128> keys;
        for (auto [id, v] : values)
            keys.push_back(CompositeKey128::new_(v, id).key);
        std::sort(keys.begin(), keys.end());
        return keys;
    }
    void check_entries() const {
        tree.validate();
        std::vector<Key128> seen;
        tree.for_each_entry([&](CompositeKey128 e) { seen.push_back(e.key); });
        EXPECT_EQ(seen, expected_keys());
        EXPECT_EQ(tree.size(), values.size());
    }
    void check_query(const Bound& lower, const Bound& upper, const Bitmap& mask) const {
        std::vector<uint32_t> expected;
        for (auto [id, v] : values)
            if (mask.contains(id) && satisfies(exact(v), lower, upper))
                expected.push_back(id);
        ASSERT_EQ(tree.query_range(lower, upper, mask).to_vector(), expected);
    }
    // Every pair of bound kinds, at every given bound value.
    void check_all_bounds(const std::vector<NumericValue>& points, const Bitmap& mask) const {
        const BoundKind kinds[] = {BoundKind::Included, BoundKind::Excluded, BoundKind::Unbounded};
        for (NumericValue a : points)
            for (NumericValue b : points)
                for (BoundKind lk : kinds)
                    for (BoundKind uk : kinds)
                        check_query({lk, a}, {uk, b}, mask);
    }
};

const LeafNode& root_leaf(const BitMapBTree& t) {
    return *std::get<1>(t.root());
}
const InternalNode& root_internal(const BitMapBTree& t) {
    return *std::get<0>(t.root());
}

// Every lower-bound key of every internal node, top-down: the keys at which
// children were split apart.
void collect_bounds(const BitMapBTreeNode& node, std::vector<CompositeKey128>& out) {
    if (const auto* internal = std::get_if<0>(&node)) {
        const InternalNode& n = **internal;
        out.insert(out.end(), n.keys.begin(), n.keys.end());
        for (const BitMapBTreeNode& child : n.children)
            collect_bounds(child, out);
    }
}
std::vector<CompositeKey128> separators_of(const BitMapBTree& t) {
    std::vector<CompositeKey128> out;
    collect_bounds(t.root(), out);
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
    return out;
}

TEST(Encoding, OrdersAwkwardValuesNumerically) {
    const double nan = Limits::quiet_NaN(), inf = Limits::infinity();
    const double sub_min = Limits::denorm_min(), sub_max = Limits::min() - Limits::denorm_min();
    const std::vector<NumericValue> ascending = {-nan,
                                                 -inf,
                                                 -Limits::max(),
                                                 INT64_MIN,
                                                 INT64_MIN + 1,
                                                 -(int64_t{1} << 53) - 1,
                                                 -9007199254740992.0,
                                                 -1.5,
                                                 int64_t{-1},
                                                 -0.5,
                                                 -Limits::min(),
                                                 -sub_max,
                                                 -sub_min,
                                                 int64_t{0},
                                                 sub_min,
                                                 sub_max,
                                                 Limits::min(),
                                                 0.5,
                                                 int64_t{1},
                                                 1.0000000000000002,
                                                 9007199254740992.0,
                                                 (int64_t{1} << 53) + 1,
                                                 INT64_MAX,
                                                 9223372036854775808.0,
                                                 Limits::max(),
                                                 inf,
                                                 nan};
    for (size_t i = 1; i < ascending.size(); ++i)
        EXPECT_LT(encode_value96(ascending[i - 1]), encode_value96(ascending[i])) << "at " << i;
    for (NumericValue v : ascending)
        EXPECT_EQ(encode_value96(v) >> 96, 0u);
}

TEST(Encoding, EqualNumbersShareOneCode) {
    EXPECT_EQ(encode_value96(int64_t{5}), encode_value96(5.0));
    EXPECT_EQ(encode_value96(INT64_MIN), encode_value96(-9223372036854775808.0));
    EXPECT_EQ(encode_value96(int64_t{0}), encode_value96(-0.0));
    EXPECT_EQ(encode_value96(0.0), encode_value96(-0.0));
    EXPECT_EQ(CompositeKey128::new_(int64_t{5}, 7), CompositeKey128::new_(5.0, 7));
    EXPECT_LT(CompositeKey128::new_(int64_t{5}, 7), CompositeKey128::new_(5.0, 8));
    EXPECT_EQ(CompositeKey128::new_(2.5, 0xFFFFFFFF).id(), 0xFFFFFFFFu);
}

TEST(Encoding, RandomIntsAndDoublesCompareAsNumbers) {
    std::mt19937_64 rng(7);
    auto draw = [&]() -> NumericValue {
        uint64_t bits = rng();
        switch (bits % 4) {
            case 0:
                return static_cast<int64_t>(rng());
            case 1:
                return static_cast<int64_t>(rng()) >> (rng() % 64);
            case 2:
                return static_cast<double>(static_cast<int64_t>(rng()) >> (rng() % 64));
            default: {
                double d = std::bit_cast<double>(rng());
                return std::isnan(d) ? 1.0 : d;
            }
        }
    };
    for (int i = 0; i < 20000; ++i) {
        NumericValue a = draw(), b = draw();
        EXPECT_EQ(exact(a) < exact(b), encode_value96(a) < encode_value96(b));
        EXPECT_EQ(exact(a) == exact(b), encode_value96(a) == encode_value96(b));
    }
}

TEST(Shape, NewTreeIsAnEmptyLeafWithoutRoom) {
    BitMapBTree t;
    EXPECT_EQ(root_leaf(t).len, 0u);
    EXPECT_EQ(root_leaf(t).cap, 0u);
    EXPECT_EQ(t.memory_usage(), sizeof(LeafNode));
    EXPECT_TRUE(
        t.query_range(Bound::unbounded(), Bound::unbounded(), Bitmap::of(std::vector<uint32_t>{1}))
            .is_empty());
    EXPECT_FALSE(t.remove(int64_t{1}, 1));
    t.validate();
}

TEST(Shape, LeafGrowsWithItsEntriesAndSplitsOnlyWhenFull) {
    BitMapBTree t;
    for (uint32_t i = 0; i < kLeafMax; ++i) {
        t.insert(int64_t{i}, i);
        ASSERT_TRUE(std::holds_alternative<LeafPtr>(t.root()));
        ASSERT_LE(root_leaf(t).cap, std::max(kMinCapacity, 2 * root_leaf(t).len));
    }
    EXPECT_EQ(root_leaf(t).cap, kLeafMax);
    t.insert(int64_t{kLeafMax}, kLeafMax);
    const InternalNode& root = root_internal(t);
    EXPECT_EQ(root.len(), 2u);
    EXPECT_EQ(root.height, 1u);
    EXPECT_TRUE(root.bitmaps.empty());  // leaves are read from their entries
    t.validate();
    // One level up the children are internal and their bitmaps are cached.
    for (uint32_t i = kLeafMax + 1; i < kLeafMax * kFanout; ++i)
        t.insert(int64_t{i}, i);
    EXPECT_EQ(root_internal(t).height, 2u);
    const auto& bitmaps = root_internal(t).bitmaps;
    EXPECT_TRUE(Bitmap::and_(bitmaps[0], bitmaps[1]).is_empty());
    uint64_t listed = 0;
    for (const Bitmap& ids : bitmaps)
        listed += ids.cardinality();
    EXPECT_EQ(listed, t.size());
    t.validate();
}

// Removes every entry of `c` in the given order of ids, validating on the
// way, and expects an empty leaf at the end.
void remove_all(Checked& c, std::vector<uint32_t> order) {
    for (size_t i = 0; i < order.size(); ++i) {
        c.remove(order[i]);
        if (i % 499 == 0)
            c.check_entries();
    }
    c.check_entries();
    ASSERT_TRUE(std::holds_alternative<LeafPtr>(c.tree.root()));
    EXPECT_LE(c.tree.memory_usage(), sizeof(LeafNode) + kMinCapacity * sizeof(CompositeKey128));
}

TEST(Shrink, RemovingEverythingInAnyOrderLeavesAnEmptyLeaf) {
    std::mt19937 rng(9);
    for (int order = 0; order < 3; ++order) {
        Checked c;
        std::vector<uint32_t> ids;
        for (uint32_t i = 0; i < 20000; ++i) {
            c.insert(static_cast<int64_t>((i * 7919) % 20000), i);
            ids.push_back(i);
        }
        EXPECT_FALSE(c.tree.remove(int64_t{5}, 40000));
        EXPECT_FALSE(c.tree.remove(int64_t{-1}, 0));
        if (order == 1)
            std::reverse(ids.begin(), ids.end());
        if (order == 2)
            std::shuffle(ids.begin(), ids.end(), rng);
        remove_all(c, ids);
        EXPECT_FALSE(c.tree.remove(int64_t{5}, 5));
    }
}

// Bytes of a tree built in one pass over the entries of `tree`.
size_t bulk_bytes(const BitMapBTree& tree) {
    std::vector<CompositeKey128> entries;
    tree.for_each_entry([&](CompositeKey128 e) { entries.push_back(e); });
    BitMapBTree built;
    built.insert_sorted(entries);
    return built.memory_usage();
}

TEST(Shrink, ThinnedTreeStaysCloseToARebuiltOne) {
    std::mt19937 rng(4);
    Checked c;
    for (uint32_t i = 0; i < 50000; ++i)
        c.insert(static_cast<int64_t>(rng() % 100000), i);
    // Every id but one in ten goes, in random order.
    std::vector<uint32_t> gone;
    for (uint32_t i = 0; i < 50000; ++i)
        if (i % 10 != 0)
            gone.push_back(i);
    std::shuffle(gone.begin(), gone.end(), rng);
    for (uint32_t id : gone)
        c.remove(id);
    c.check_entries();
    EXPECT_LE(c.tree.memory_usage(), 3 * bulk_bytes(c.tree));
}

TEST(Shrink, EverGrowingValuesKeepTheTreeBounded) {
    // A timestamp: each assignment moves an id past every value so far.
    Checked c;
    const uint32_t n = 1000;
    for (uint32_t i = 0; i < n; ++i)
        c.insert(int64_t{i}, i);
    int64_t next = n;
    size_t after_first = 0;
    for (int round = 0; round < 300; ++round) {
        for (uint32_t id = 0; id < n; ++id) {
            c.tree.move(c.values.at(id), next, id);
            c.values.at(id) = next++;
        }
        if (round == 0)
            after_first = c.tree.memory_usage();
        if (round % 100 == 0)
            c.check_entries();
    }
    c.check_entries();
    EXPECT_LE(c.tree.memory_usage(), 2 * after_first);
}

// Leaves of each form: {compact, wide}.
std::pair<int, int> leaf_forms(const BitMapBTreeNode& node) {
    if (const auto* internal = std::get_if<0>(&node)) {
        std::pair<int, int> total{0, 0};
        for (const BitMapBTreeNode& child : (*internal)->children) {
            auto [compact, wide] = leaf_forms(child);
            total.first += compact;
            total.second += wide;
        }
        return total;
    }
    return std::get<1>(node)->compact ? std::pair{1, 0} : std::pair{0, 1};
}

TEST(Leaf, CloseValuesTakeEightBytesAndScatteredFloatsSixteen) {
    std::mt19937_64 rng(5);
    std::uniform_real_distribution<double> scattered(0, 1000);
    Checked ints, floats, few;
    std::vector<CompositeKey128> int_entries, float_entries, few_entries;
    for (uint32_t i = 0; i < 20000; ++i) {
        NumericValue f = scattered(rng);
        NumericValue n = i % 3 == 0 ? NumericValue{Limits::quiet_NaN()} : NumericValue{2.5};
        int_entries.push_back(CompositeKey128::new_(int64_t{i} * 1000, i));
        float_entries.push_back(CompositeKey128::new_(f, i));
        few_entries.push_back(CompositeKey128::new_(n, i));
        ints.values.emplace(i, int64_t{i} * 1000);
        floats.values.emplace(i, f);
        few.values.emplace(i, n);
    }
    for (auto* entries : {&int_entries, &float_entries, &few_entries})
        std::sort(entries->begin(), entries->end());
    ints.tree.insert_sorted(int_entries);
    floats.tree.insert_sorted(float_entries);
    few.tree.insert_sorted(few_entries);
    EXPECT_EQ(leaf_forms(ints.tree.root()).second, 0);
    EXPECT_EQ(leaf_forms(few.tree.root()).second, 0);
    EXPECT_EQ(leaf_forms(floats.tree.root()).first, 0);
    EXPECT_LT(ints.tree.memory_usage() * 3, floats.tree.memory_usage() * 2);
    // Entries a compact leaf cannot take turn it wide; one below its base
    // re-bases it. Negative numbers sit far from positive ones in the code.
    ints.insert(1e300, 30000);
    ints.insert(int64_t{-1}, 30001);
    ints.insert(int64_t{7} * 1000 + 1, 30002);
    ints.insert(int64_t{-20}, 30003);
    auto [compact, wide] = leaf_forms(ints.tree.root());
    EXPECT_GE(wide, 1);
    EXPECT_GT(compact, wide);
    for (Checked* c : {&ints, &floats, &few})
        c->check_entries();
    std::vector<uint32_t> all;
    for (auto [id, v] : ints.values)
        all.push_back(id);
    ints.check_all_bounds({int64_t{-20}, int64_t{0}, int64_t{7000}, 7000.5, 1e300},
                          Bitmap::of(all));
}

// Every caller sizes a leaf's room to its entries: a leaf given less is
// refused rather than written past its end.
TEST(Leaf, LessRoomThanEntriesIsRefused) {
    std::vector<CompositeKey128> entries = {CompositeKey128::new_(int64_t{1}, 1),
                                            CompositeKey128::new_(int64_t{2}, 2)};
    EXPECT_THROW(LeafNode::make(entries, 1), Panic);
    EXPECT_EQ(LeafNode::make(entries, 2)->len, 2u);
}

// Decimal floats that repeat a few times each (durations in tenths) share
// no power of two, but a leaf lists their few codes once: 8-byte entries.
// Insertions of new values and removals remake leaves between the forms.
TEST(Leaf, RepeatedDecimalFloatsTakeATable) {
    std::mt19937_64 rng(9);
    Checked tenths;
    std::vector<CompositeKey128> entries;
    auto tenth = [&] { return NumericValue(static_cast<double>(rng() % 3000) / 10); };
    for (uint32_t i = 0; i < 20000; ++i) {
        NumericValue v = tenth();
        entries.push_back(CompositeKey128::new_(v, i));
        tenths.values.emplace(i, v);
    }
    std::sort(entries.begin(), entries.end());
    tenths.tree.insert_sorted(entries);
    // All but the leaf of 0.0, whose code lies too far below the others'
    // for steps of 64 bits.
    EXPECT_LE(leaf_forms(tenths.tree.root()).second, 1);
    for (uint32_t i = 20000; i < 24000; ++i)
        tenths.insert(rng() % 4 ? tenth() : NumericValue(std::ldexp(double(rng() % 1000), -40)), i);
    for (uint32_t i = 0; i < 24000; i += 3)
        tenths.remove(i);
    tenths.check_entries();
    std::vector<uint32_t> all;
    for (auto [id, v] : tenths.values)
        all.push_back(id);
    tenths.check_all_bounds({0.0, 0.1, 12.3, 150.0, 299.9}, Bitmap::of(all));
}

// Leaves below `node` whose entries take 4 bytes, and all leaves.
std::pair<int, int> narrow_leaves(const BitMapBTreeNode& node) {
    if (const auto* internal = std::get_if<0>(&node)) {
        std::pair<int, int> total{0, 0};
        for (const BitMapBTreeNode& child : (*internal)->children) {
            auto [narrow, all] = narrow_leaves(child);
            total.first += narrow;
            total.second += all;
        }
        return total;
    }
    return {std::get<1>(node)->narrow() ? 1 : 0, 1};
}

// Keys of nearby ids (the lines of an order) and prices with a table pack
// step and id in 4 bytes, counted from id 0 or, for ids too large for that,
// from the leaf's smallest. An id below that base, an id or a step beyond
// the bits left, remakes the leaf in a form that holds it; moves and
// removals keep every entry findable.
TEST(Leaf, NearbyIdsAndStepsTakeFourBytes) {
    std::mt19937_64 rng(11);
    for (uint32_t first_id : {0u, 3'000'000'000u}) {
        Checked keys, prices;
        std::vector<CompositeKey128> key_entries, price_entries;
        for (uint32_t i = 0; i < 20000; ++i) {
            uint32_t id = first_id + i;
            NumericValue key = int64_t{i / 4} * 3;
            NumericValue price = static_cast<double>(rng() % 2000) / 100 + 100;
            key_entries.push_back(CompositeKey128::new_(key, id));
            price_entries.push_back(CompositeKey128::new_(price, id));
            keys.values.emplace(id, key);
            prices.values.emplace(id, price);
        }
        for (auto* entries : {&key_entries, &price_entries})
            std::sort(entries->begin(), entries->end());
        keys.tree.insert_sorted(key_entries);
        prices.tree.insert_sorted(price_entries);
        auto [narrow, all] = narrow_leaves(keys.tree.root());
        EXPECT_EQ(narrow, all);
        auto [narrow_prices, all_prices] = narrow_leaves(prices.tree.root());
        EXPECT_EQ(narrow_prices, all_prices);
        // About 4 bytes per entry, and a few more for the prices' tables.
        EXPECT_LT(keys.tree.memory_usage(), 6 * key_entries.size());
        for (Checked* c : {&keys, &prices}) {
            c->insert(int64_t{3000}, first_id == 0 ? UINT32_MAX - 5 : 5);  // id out of reach
            c->insert(int64_t{900}, first_id + 30000);
            c->insert(int64_t{1} << 40, first_id + 30001);  // step out of reach
            c->insert(150.125, first_id + 30002);           // code missing from tables
            for (uint32_t i = 0; i < 20000; i += 7) {
                NumericValue to = int64_t{i % 500 * 3};
                c->tree.move(c->values.at(first_id + i), to, first_id + i);
                c->values[first_id + i] = to;
                c->ever_inserted.emplace(CompositeKey128::new_(to, first_id + i).key, to);
            }
            for (uint32_t i = 1; i < 20000; i += 5)
                c->remove(first_id + i);
            c->check_entries();
            std::vector<uint32_t> ids;
            for (auto [id, v] : c->values)
                ids.push_back(id);
            std::sort(ids.begin(), ids.end());
            c->check_all_bounds({int64_t{0}, int64_t{900}, 150.125, int64_t{3000}, 119.99},
                                Bitmap::of(ids));
        }
    }
}

bool root_is_full_leaf(const BitMapBTree& t) {
    const auto* leaf = std::get_if<1>(&t.root());
    return leaf && (*leaf)->full();
}

TEST(Insert, HeldPairDoesNotSplitAFullRoot) {
    BitMapBTree t;
    uint32_t n = 0;
    while (!root_is_full_leaf(t))
        t.insert(int64_t{n}, n), ++n;
    t.insert(5.0, 5);
    EXPECT_TRUE(root_is_full_leaf(t));
    EXPECT_EQ(t.size(), n);
}

TEST(Insert, HeldPairChangesNothing) {
    Checked c;
    for (uint32_t i = 0; i < 2000; ++i)
        c.insert(static_cast<int64_t>(i / 3), i);
    size_t memory = c.tree.memory_usage();
    for (uint32_t i = 0; i < 2000; i += 7)
        c.tree.insert(static_cast<double>(i / 3), i);
    EXPECT_EQ(c.tree.memory_usage(), memory);
    c.check_entries();
}

TEST(Insert, RemovedLowerBoundsCanBeInsertedAgain) {
    Checked c;
    for (uint32_t i = 0; i < 5000; ++i)
        c.insert(static_cast<int64_t>(i / 4), i);
    std::vector<CompositeKey128> separators = separators_of(c.tree);
    ASSERT_GT(separators.size(), 1u);
    for (CompositeKey128 s : separators)
        c.remove(s.id());
    c.check_entries();
    for (CompositeKey128 s : separators) {
        c.insert(static_cast<int64_t>(s.id() / 4), s.id());
        EXPECT_TRUE(c.tree.contains(static_cast<double>(s.id() / 4), s.id()));
    }
    c.check_entries();
}

// Long mixed sequences: values from a narrow domain (so many ids share one
// value), as ints and floats, in ascending, descending and random order.
class RandomSequences : public ::testing::TestWithParam<int> {};

TEST_P(RandomSequences, MatchReferenceAndQueries) {
    std::mt19937 rng(GetParam());
    Checked c;
    auto value_of = [&](uint32_t k) -> NumericValue {
        return k % 3 == 0 ? NumericValue{static_cast<double>(k / 6) + 0.5}
                          : NumericValue{static_cast<int64_t>(k / 6)};
    };
    const uint32_t kIds = 12000;
    for (uint32_t n = 0; n < 40000; ++n) {
        uint32_t k = GetParam() == 0   ? n % kIds
                     : GetParam() == 1 ? kIds - 1 - n % kIds
                                       : rng() % kIds;
        uint32_t id = k;
        if (c.values.count(id)) {
            if (rng() % 4 == 0)
                c.tree.insert(c.values.at(id), id);  // held: no change
            else
                c.remove(id);
        } else {
            c.insert(value_of(GetParam() < 2 ? k : rng() % kIds), id);
        }
        if (n % 5000 == 4999)
            c.tree.validate();
    }
    c.check_entries();
    std::vector<uint32_t> half;
    for (uint32_t id = 0; id < kIds; id += 2)
        half.push_back(id);
    std::vector<NumericValue> points = {int64_t{-1}, int64_t{0}, 700.5, 1999.5, int64_t{2000}};
    // Values at which children were split apart, where equal values straddle two children.
    std::vector<CompositeKey128> separators = separators_of(c.tree);
    for (size_t i = 0; i < separators.size(); i += separators.size() / 8 + 1)
        points.push_back(c.ever_inserted.at(separators[i].key));
    c.check_all_bounds(points, Bitmap::of(half));
    std::vector<uint32_t> all(kIds);
    std::iota(all.begin(), all.end(), 0);
    c.check_all_bounds({int64_t{1000}, 1000.5, int64_t{1500}}, Bitmap::of(all));
    EXPECT_TRUE(c.tree.query_range(Bound::unbounded(), Bound::unbounded(), Bitmap()).is_empty());
}

INSTANTIATE_TEST_SUITE_P(Orders, RandomSequences, ::testing::Values(0, 1, 2, 3));

TEST(Query, EqualValuesStraddlingChildren) {
    Checked c;
    for (uint32_t i = 0; i < 2000; ++i)
        c.insert(i % 2 ? NumericValue{10.0} : NumericValue{int64_t{10}}, i);
    for (uint32_t i = 2000; i < 2300; ++i)
        c.insert(static_cast<int64_t>(i % 3 * 10 + 5), i);
    ASSERT_GT(root_internal(c.tree).len(), 2u);
    EXPECT_TRUE(c.tree.query_range(Bound::unbounded(), Bound::unbounded(), Bitmap()).is_empty());
    std::vector<uint32_t> all(2300);
    std::iota(all.begin(), all.end(), 0);
    Bitmap everyone = Bitmap::of(all);
    Bitmap tens = c.tree.query_range(Bound::included(int64_t{10}), Bound::included(10.0), everyone);
    EXPECT_EQ(tens.cardinality(), 2000u);
    EXPECT_EQ(c.tree.query_range(Bound::excluded(int64_t{10}), Bound::unbounded(), everyone)
                  .cardinality(),
              200u);
    c.check_all_bounds({int64_t{5}, 9.5, int64_t{10}, 10.0, int64_t{15}, int64_t{25}}, everyone);
    c.check_entries();
}

TEST(Query, ExclusiveLowerSkipsTheBoundValue) {
    BitMapBTree t;
    t.insert(int64_t{5}, 1);
    t.insert(int64_t{10}, 2);
    t.insert(10.0, 3);
    t.insert(int64_t{12}, 4);
    Bitmap all = Bitmap::of(std::vector<uint32_t>{1, 2, 3, 4});
    EXPECT_EQ(t.query_range(Bound::excluded(int64_t{10}), Bound::unbounded(), all).to_vector(),
              (std::vector<uint32_t>{4}));
    EXPECT_TRUE(
        t.query_range(Bound::included(int64_t{12}), Bound::excluded(int64_t{5}), all).is_empty());
    EXPECT_TRUE(
        t.query_range(Bound::excluded(Limits::quiet_NaN()), Bound::unbounded(), all).is_empty());
}

// Sorted entries of `count` random (value, id) pairs, one value per id, with
// many repeated values; the reference gets the same pairs.
std::vector<CompositeKey128> random_sorted_entries(Checked& c, uint32_t count, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<CompositeKey128> entries;
    for (uint32_t id = 0; id < count; ++id) {
        NumericValue v =
            rng() % 2 ? NumericValue(int64_t(rng() % 500)) : NumericValue(rng() % 500 + 0.5);
        c.values.emplace(id, v);
        c.ever_inserted.emplace(CompositeKey128::new_(v, id).key, v);
        entries.push_back(CompositeKey128::new_(v, id));
    }
    std::sort(entries.begin(), entries.end());
    return entries;
}

class BulkSizes : public ::testing::TestWithParam<uint32_t> {};

// Sizes around the node fill: one leaf, two leaves, one full internal level,
// a second level, and a tree deep enough for three levels.
INSTANTIATE_TEST_SUITE_P(Bulk, BulkSizes,
                         ::testing::Values(1u, kBulkLeafFill, kBulkLeafFill + 1,
                                           kBulkLeafFill* kBulkFanout,
                                           kBulkLeafFill* kBulkFanout + 1,
                                           kBulkLeafFill * kBulkFanout * kBulkFanout + 1));

TEST_P(BulkSizes, BuildsAValidTreeThatAnswersLikeTheReference) {
    Checked c;
    c.tree.insert_sorted(random_sorted_entries(c, GetParam(), GetParam()));
    c.check_entries();
    std::vector<uint32_t> all(GetParam());
    std::iota(all.begin(), all.end(), 0);
    Bitmap everyone = Bitmap::of(all);
    // Fewer bound values for the deep tree: each check scans the reference.
    if (GetParam() > kBulkLeafFill * kBulkFanout * 2)
        c.check_all_bounds({int64_t{0}, 10.5, int64_t{600}}, everyone);
    else
        c.check_all_bounds({int64_t{-1}, int64_t{0}, 10.5, int64_t{250}, 499.5, int64_t{600}},
                           everyone);
    // The built tree keeps working under ordinary changes.
    std::mt19937 rng(3);
    for (uint32_t i = 0; i < 2000 && !c.values.empty(); ++i) {
        uint32_t id = rng() % GetParam();
        if (c.values.count(id)) {
            c.remove(id);
        } else {
            c.insert(int64_t(rng() % 700), id);
        }
    }
    c.check_entries();
    c.check_all_bounds({int64_t{0}, 10.5, int64_t{650}}, everyone);
}

TEST(Bulk, RepeatedAndHeldEntriesChangeNothing) {
    Checked c;
    std::vector<CompositeKey128> entries = random_sorted_entries(c, 3000, 11);
    std::vector<CompositeKey128> doubled;
    for (CompositeKey128 e : entries) {
        doubled.push_back(e);
        doubled.push_back(e);
    }
    c.tree.insert_sorted(doubled);
    c.check_entries();
    // Into a tree that is not empty: held entries are skipped, new ones go in.
    std::vector<CompositeKey128> more(entries.begin(), entries.begin() + 100);
    for (uint32_t id = 3000; id < 3500; ++id) {
        c.values.emplace(id, int64_t{id % 7});
        c.ever_inserted.emplace(CompositeKey128::new_(int64_t{id % 7}, id).key, int64_t{id % 7});
        more.push_back(CompositeKey128::new_(int64_t{id % 7}, id));
    }
    std::sort(more.begin(), more.end());
    c.tree.insert_sorted(more);
    c.check_entries();
}

TEST(Query, SparseMasksNarrowEachPartAlike) {
    // A mask much smaller than the range narrows the cached bitmaps one by
    // one; the answer must equal the reference for every bound kind.
    Checked c;
    c.tree.insert_sorted(random_sorted_entries(c, 20000, 5));
    for (uint32_t step : {1u, 7u, 50u, 997u}) {
        std::vector<uint32_t> picked;
        for (uint32_t id = 0; id < 20000; id += step)
            picked.push_back(id);
        c.check_all_bounds({int64_t{0}, 10.5, int64_t{250}, int64_t{600}}, Bitmap::of(picked));
    }
    c.check_all_bounds({int64_t{0}, int64_t{600}}, Bitmap());
}

TEST(Bulk, NothingToInsertLeavesTheEmptyLeaf) {
    BitMapBTree t;
    t.insert_sorted({});
    EXPECT_EQ(root_leaf(t).len, 0u);
    t.validate();
}

// ---------------------------------------------------------------------------
// Moves: `move` must leave exactly what `remove` then `insert` leave, down to
// the room of the nodes, so that later splits and memory figures agree.

bool same_shape(const BitMapBTreeNode& a, const BitMapBTreeNode& b) {
    if (a.index() != b.index())
        return false;
    if (const auto* leaf = std::get_if<1>(&a)) {
        const LeafNode& x = **leaf;
        const LeafNode& y = *std::get<1>(b);
        if (x.cap != y.cap || x.compact != y.compact || x.len != y.len)
            return false;
        for (uint32_t i = 0; i < x.len; ++i) {
            if (x.entry(i) != y.entry(i))
                return false;
        }
        return true;
    }
    const InternalNode& x = *std::get<0>(a);
    const InternalNode& y = *std::get<0>(b);
    if (x.keys != y.keys || x.height != y.height || x.bitmaps != y.bitmaps || x.counts != y.counts)
        return false;
    for (size_t i = 0; i < x.len(); ++i) {
        if (!same_shape(x.children[i], y.children[i]))
            return false;
    }
    return true;
}

Key128 key_of(NumericValue v, uint32_t id) {
    return CompositeKey128::new_(v, id).key;
}

// A tree changed by `move` beside a twin changed by `remove` then `insert`,
// and the entries both must hold.
struct MoveTwins {
    BitMapBTree moved;
    BitMapBTree stepped;
    std::set<Key128> entries;

    void insert(NumericValue v, uint32_t id) {
        moved.insert(v, id);
        stepped.insert(v, id);
        entries.insert(key_of(v, id));
    }
    MoveOutcome move(NumericValue from, NumericValue to, uint32_t id) {
        MoveOutcome outcome = moved.move(from, to, id);
        size_t before = stepped.size();
        bool removed = stepped.remove(from, id);
        stepped.insert(to, id);
        EXPECT_EQ(outcome.removed, removed);
        EXPECT_EQ(outcome.inserted, stepped.size() + removed > before);
        EXPECT_EQ(outcome.removed, entries.erase(key_of(from, id)) == 1);
        EXPECT_EQ(outcome.inserted, entries.insert(key_of(to, id)).second);
        return outcome;
    }
    // The twins agree node for node; `validate` only when every id is held
    // under one value, as the tree's owner guarantees.
    void check(bool one_value_per_id = true) const {
        if (one_value_per_id)
            moved.validate();
        std::vector<Key128> seen;
        moved.for_each_entry([&](CompositeKey128 e) { seen.push_back(e.key); });
        EXPECT_EQ(seen, std::vector<Key128>(entries.begin(), entries.end()));
        EXPECT_EQ(moved.size(), entries.size());
        EXPECT_TRUE(same_shape(moved.root(), stepped.root()));
        EXPECT_EQ(moved.memory_usage(), stepped.memory_usage());
    }
};

// Twins holding ids 0..n-1, id i under value i * spacing.
MoveTwins spaced_twins(uint32_t n, int64_t spacing) {
    MoveTwins t;
    for (uint32_t i = 0; i < n; ++i)
        t.insert(int64_t{i} * spacing, (i * 7919) % n);
    return t;
}

TEST(Move, WithinOneLeaf) {
    MoveTwins t = spaced_twins(20000, 10);
    ASSERT_TRUE(std::holds_alternative<InternalPtr>(t.moved.root()));
    for (uint32_t i = 0; i < 20000; i += 37) {
        uint32_t id = (i * 7919) % 20000;
        int64_t value = int64_t{i} * 10;
        EXPECT_TRUE(t.move(value, value + 3, id).inserted);
        t.move(value + 3, 1.5 + static_cast<double>(value), id);
    }
    t.check();
    // A root that is still a leaf.
    MoveTwins small = spaced_twins(50, 2);
    uint32_t id = (5 * 7919) % 50;  // the id under 10
    EXPECT_TRUE(small.move(int64_t{10}, int64_t{11}, id).removed);
    EXPECT_TRUE(small.move(int64_t{11}, int64_t{-1}, id).removed);
    small.check();
}

TEST(Move, AcrossLeavesAndTopLevelChildren) {
    MoveTwins t = spaced_twins(30000, 1);
    const InternalNode& root = root_internal(t.moved);
    ASSERT_GT(root.len(), 1u);
    ASSERT_TRUE(std::holds_alternative<InternalPtr>(root.children[0]));  // three levels
    for (uint32_t i = 0; i < 30000; i += 101) {
        uint32_t id = (i * 7919) % 30000;
        int64_t far = (int64_t{i} + 15000) % 30000;
        t.move(int64_t{i}, static_cast<double>(far) + 0.25, id);
    }
    t.check();
    t.move(int64_t{1}, int64_t{1000000}, 7919);                          // to beyond every entry
    t.move(int64_t{29999}, int64_t{-1000000}, (29999u * 7919) % 30000);  // below every bound
    t.check();
}

TEST(Move, ToAndFromEqualValues) {
    MoveTwins t;
    for (uint32_t i = 0; i < 6000; ++i)
        t.insert(static_cast<int64_t>(i % 40), i);
    for (uint32_t i = 0; i < 6000; i += 13) {
        int64_t value = i % 40;
        t.move(value, value, i);                            // the same value
        t.move(value, static_cast<double>(value), i);       // the same point as a float
        t.move(static_cast<double>(value), int64_t{7}, i);  // a value many ids share
    }
    t.check();
}

TEST(Move, OfAPairNotHeld) {
    MoveTwins t = spaced_twins(5000, 3);
    MoveOutcome fresh = t.move(int64_t{1}, int64_t{2}, 90000);  // the id is not in the tree
    EXPECT_FALSE(fresh.removed);
    EXPECT_TRUE(fresh.inserted);
    t.check();
    // The id held, but under another value: that entry stays too.
    MoveOutcome twice = t.move(int64_t{4}, int64_t{9000}, 90000);
    EXPECT_FALSE(twice.removed);
    EXPECT_TRUE(twice.inserted);
    t.check(false);
    // The new pair already held: only the old one goes.
    MoveOutcome held = t.move(int64_t{2}, int64_t{9000}, 90000);
    EXPECT_TRUE(held.removed);
    EXPECT_FALSE(held.inserted);
    t.check();
    MoveTwins empty;
    EXPECT_FALSE(empty.move(int64_t{1}, int64_t{2}, 3).removed);
    empty.check();
}

TEST(Move, OntoAPairHeldInTheSameChild) {
    // Only the removal happens, and the shared child's bitmap loses the id as
    // it would in the two steps (an id under two values is outside what the
    // bitmaps promise, hence no `validate`).
    MoveTwins t = spaced_twins(30000, 1);
    t.insert(100.5, 90000);
    t.insert(101.5, 90000);
    MoveOutcome outcome = t.move(100.5, 101.5, 90000);
    EXPECT_TRUE(outcome.removed);
    EXPECT_FALSE(outcome.inserted);
    t.check(false);
}

template <typename Node>
bool node_full(const Node& n) {
    return n.full();
}

// The last child of the root, when the root is internal.
const BitMapBTreeNode* last_root_child(const BitMapBTree& t) {
    const auto* root = std::get_if<0>(&t.root());
    if (!root)
        return nullptr;
    return &(*root)->children.back();
}

// Ascending inserts fill the last node of each level until it splits; moves
// run while the last leaf, the last internal child or the root is full, so
// that the removal decides whether the insertion splits.
TEST(Move, InAndIntoFullNodes) {
    MoveTwins t;
    int full_leaf = 0, full_internal = 0, full_root = 0;
    // Counts the full nodes the next move meets; true when there is one.
    auto note_full_nodes = [&] {
        bool any = false;
        if (const auto* root = std::get_if<0>(&t.moved.root()); root && node_full(**root))
            any = true, ++full_root;
        if (const BitMapBTreeNode* last = last_root_child(t.moved)) {
            if (const auto* leaf = std::get_if<1>(last); leaf && node_full(**leaf))
                any = true, ++full_leaf;
            if (const auto* inner = std::get_if<0>(last); inner && node_full(**inner))
                any = true, ++full_internal;
        }
        return any;
    };
    auto move_there_and_back = [&](uint32_t id, int64_t from, int64_t to) {
        note_full_nodes();
        t.move(from, to, id);
        note_full_nodes();
        t.move(to, from, id);
    };
    for (uint32_t n = 1; n <= 20000; ++n) {
        t.insert(int64_t{n - 1}, n - 1);
        if (!note_full_nodes())
            continue;
        for (uint32_t id = n - 3; id < n; ++id) {
            move_there_and_back(id, id, int64_t{id} - 1);          // within the last leaf
            move_there_and_back(id / 2, id / 2, int64_t{id} + 1);  // from far left to the end
        }
        ASSERT_TRUE(same_shape(t.moved.root(), t.stepped.root())) << "after " << n;
    }
    EXPECT_GT(full_leaf, 0);
    EXPECT_GT(full_internal, 0);
    EXPECT_GT(full_root, 0);
    t.check();
}

TEST(Move, PrefetchChangesNothing) {
    MoveTwins empty;
    empty.moved.prefetch_move(int64_t{1}, 2.5, 3);
    empty.check();
    for (uint32_t n : {50u, 5000u, 30000u}) {
        MoveTwins t = spaced_twins(n, 2);
        for (uint32_t i = 0; i < n; i += 97) {
            t.moved.prefetch_move(int64_t{i} * 2, static_cast<double>(n - i), i);
            t.moved.prefetch_move(int64_t{-5}, int64_t{i}, n + i);  // pairs not held
        }
        t.check();
    }
}

// Narrow ranges over a large tree gather their ids into one sorted list;
// wide ones take the library's union. Both, over ids spread across many
// 2^16 blocks and under sparse and dense masks, give the reference's answer.
TEST(RangeQuery, SparseAndDenseUnionsAgree) {
    Checked c;
    const uint32_t n = 60000;
    for (uint32_t i = 0; i < n; ++i)
        c.insert(int64_t{(i * 7919) % n}, i * 97 + i % 5);  // ids up to ~5.8M
    Bitmap everyone;
    Bitmap some;
    for (const auto& [id, value] : c.values) {
        everyone.add(id);
        if (id % 3 == 0)
            some.add(id);
    }
    for (const Bitmap* mask : {&everyone, &some}) {
        for (int64_t width : {0, 40, 700, 5000, 30000, 60000}) {
            for (int64_t lo : {int64_t{0}, int64_t{12345}, int64_t{n} - width}) {
                c.check_query(Bound::included(lo), Bound::excluded(lo + width), *mask);
            }
        }
    }
}

// A route records, level by level, the cached bitmaps that list the entry's
// id (those a removal changes), one per internal level above the lowest, and
// stops at the leaf.
TEST(RoutePrefetch, RecordsTheBitmapsAboveTheEntry) {
    BitMapBTree tree;
    const uint32_t n = 40000;
    for (uint32_t i = 0; i < n; ++i)
        tree.insert(int64_t{(i * 7919) % n}, i);
    size_t levels = 0;
    for (const BitMapBTreeNode* node = &tree.root(); std::holds_alternative<InternalPtr>(*node);
         ++levels)
        node = &std::get<InternalPtr>(*node)->children[0];
    ASSERT_GE(levels, 2u);
    size_t cached = levels - 1;
    // Walks the route of `id` to its end; returns the steps taken.
    auto walk = [&](uint32_t id, RoutePrefetch::Changing changing, size_t& count) {
        RoutePrefetch route = tree.route(int64_t{(id * 7919) % n}, id);
        size_t steps = 0;
        while (route.step(changing, count))
            ++steps;
        EXPECT_FALSE(route.step(changing, count));  // a finished route stays finished
        return steps;
    };
    for (uint32_t id : {0u, 1234u, n - 1}) {
        std::array<const Bitmap*, 8> changing{};
        size_t count = 0;
        EXPECT_EQ(walk(id, changing, count), levels);
        ASSERT_EQ(count, cached);
        for (size_t i = 0; i < count; ++i)
            EXPECT_TRUE(changing[i]->contains(id));
    }
    // Room for one bitmap: the rest are not recorded, the walk goes on.
    std::array<const Bitmap*, 1> one{};
    size_t count = 0;
    EXPECT_EQ(walk(0, one, count), levels);
    EXPECT_EQ(count, 1u);
    tree.validate();
}

// Long mixed sequences of insertions and moves over narrow and wide value
// domains, so that moves meet splits at every level.
class RandomMoves : public ::testing::TestWithParam<int> {};

TEST_P(RandomMoves, MatchRemoveThenInsert) {
    std::mt19937 rng(GetParam());
    const int64_t domain = GetParam() % 2 ? 50 : 1000000;
    auto draw = [&]() -> NumericValue {
        int64_t v = static_cast<int64_t>(rng() % domain);
        return rng() % 3 ? NumericValue{v} : NumericValue{static_cast<double>(v) + 0.5};
    };
    MoveTwins t;
    std::vector<NumericValue> value_of;
    for (uint32_t step = 0; step < 60000; ++step) {
        if (value_of.size() < 1000 || rng() % 3 == 0) {
            value_of.push_back(draw());
            t.insert(value_of.back(), static_cast<uint32_t>(value_of.size() - 1));
            continue;
        }
        uint32_t id = rng() % value_of.size();
        NumericValue to = rng() % 4 ? draw() : value_of[id];
        t.move(value_of[id], to, id);
        value_of[id] = to;
        if (step % 20000 == 19999)
            t.check();
    }
    t.check();
}

INSTANTIATE_TEST_SUITE_P(Seeds, RandomMoves, ::testing::Values(0, 1, 2, 3));

}  // namespace
}  // namespace vorlane
