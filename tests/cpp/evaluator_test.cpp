#include "engine/evaluator.hpp"

#include <absl/container/flat_hash_map.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <vector>

#include "engine/panic.hpp"
#include "engine_values.hpp"

namespace vorlane {
namespace {

using testing::float_key;
using testing::int_key;
using testing::str_key;

using Ids = std::set<uint32_t>;

const AttrName kA = AttrName::intern("a");
const AttrName kB = AttrName::intern("b");
const AttrName kMissing = AttrName::intern("missing");

// Objects and their values, indexed into maps, with a plain model of what
// every expression selects.
struct World {
    std::map<uint32_t, absl::flat_hash_map<AttrName, ValueKey>> objects;
    AttributeMaps maps;

    void add(uint32_t id, AttrName name, ValueKey value) {
        objects[id].insert_or_assign(name, value);
        add_index_value(maps, id, name, value);
    }

    Ids holding(AttrName name, const std::function<bool(const ValueKey&)>& test) const {
        Ids ids;
        for (const auto& [id, values] : objects) {
            auto found = values.find(name);
            if (found != values.end() && test(found->second))
                ids.insert(id);
        }
        return ids;
    }
};

// Python's ordering of numbers; NaN compares with nothing.
std::optional<long double> number(const ValueKey& key) {
    if (auto n = key.numeric()) {
        if (std::holds_alternative<int64_t>(*n))
            return static_cast<long double>(std::get<int64_t>(*n));
        return static_cast<long double>(std::get<double>(*n));
    }
    return std::nullopt;
}

Ids minus(const Ids& a, const Ids& b) {
    Ids out;
    for (uint32_t id : a)
        if (!b.count(id))
            out.insert(id);
    return out;
}
Ids meet(const Ids& a, const Ids& b) {
    Ids out;
    for (uint32_t id : a)
        if (b.count(id))
            out.insert(id);
    return out;
}

struct Model {
    const World& world;

    Ids compare(AttrName attr, const ValueKey& bound, const Ids& universe,
                const std::function<bool(long double, long double)>& holds) const;
    Ids operator()(const QueryExpr& q, const Ids& universe) const;
};

Ids Model::compare(AttrName attr, const ValueKey& bound, const Ids& universe,
                   const std::function<bool(long double, long double)>& holds) const {
    auto b = number(bound);
    if (!b)
        return {};
    return meet(universe, world.holding(attr, [&](const ValueKey& v) {
        auto x = number(v);
        return x && !std::isnan(*x) && !std::isnan(*b) && holds(*x, *b);
    }));
}

Ids Model::operator()(const QueryExpr& q, const Ids& universe) const {
    auto eq = [&](AttrName a, const ValueKey& v) {
        return world.holding(a, [&](const ValueKey& w) { return w == v; });
    };
    return std::visit(
        [&](const auto& e) -> Ids {
            using Node = std::decay_t<decltype(e)>;
            if constexpr (std::is_same_v<Node, expr::Eq>) {
                return eq(e.attr, e.value);
            } else if constexpr (std::is_same_v<Node, expr::Ne>) {
                return minus(universe, eq(e.attr, e.value));
            } else if constexpr (std::is_same_v<Node, expr::Gt>) {
                return compare(e.attr, e.value, universe, std::greater<>());
            } else if constexpr (std::is_same_v<Node, expr::Ge>) {
                return compare(e.attr, e.value, universe, std::greater_equal<>());
            } else if constexpr (std::is_same_v<Node, expr::Lt>) {
                return compare(e.attr, e.value, universe, std::less<>());
            } else if constexpr (std::is_same_v<Node, expr::Le>) {
                return compare(e.attr, e.value, universe, std::less_equal<>());
            } else if constexpr (std::is_same_v<Node, expr::Bt>) {
                if (!find_query_map(world.maps, e.attr))
                    return {};
                if (!number(e.lower) || !number(e.upper))
                    panic("not yet implemented");
                return meet(compare(e.attr, e.lower, universe, std::greater_equal<>()),
                            compare(e.attr, e.upper, universe, std::less_equal<>()));
            } else if constexpr (std::is_same_v<Node, expr::In>) {
                Ids out;
                for (const ValueKey& v : e.values)
                    for (uint32_t id : eq(e.attr, v))
                        out.insert(id);
                return meet(out, universe);
            } else if constexpr (std::is_same_v<Node, expr::Not>) {
                return minus(universe, (*this)(*e.expr, universe));
            } else if constexpr (std::is_same_v<Node, expr::And>) {
                Ids running = universe;
                for (const QueryExpr& part : e.exprs) {
                    running = meet(running, (*this)(part, running));
                    if (running.empty())
                        break;
                }
                return running;
            } else {
                Ids out;
                for (const QueryExpr& part : e.exprs)
                    for (uint32_t id : (*this)(part, universe))
                        out.insert(id);
                return out;
            }
        },
        q.node);
}

Ids evaluated(const World& world, const Ids& universe, const QueryExpr& q,
              UniverseCover cover = UniverseCover::Part) {
    Bitmap u;
    for (uint32_t id : universe)
        u.add(id);
    std::vector<uint32_t> ids = evaluate_query(world.maps, u, q, cover).to_vector();
    return Ids(ids.begin(), ids.end());
}

// What `evaluate_query_listed` selects over every id of `universe`; a list
// must ascend strictly, and `lists` counts the answers that came as one.
Ids evaluated_listed(const World& world, const Ids& universe, const QueryExpr& q,
                     int* lists = nullptr) {
    Bitmap all;
    for (uint32_t id : universe)
        all.add(id);
    IdsOfRange ids = evaluate_query_listed(world.maps, all, q);
    const auto* list = std::get_if<std::vector<uint32_t>>(&ids);
    if (list == nullptr) {
        std::vector<uint32_t> bits = std::get<Bitmap>(ids).to_vector();
        return Ids(bits.begin(), bits.end());
    }
    if (std::adjacent_find(list->begin(), list->end(), std::greater_equal<>()) != list->end())
        ADD_FAILURE() << "listed ids not strictly ascending";
    if (lists != nullptr)
        ++*lists;
    return Ids(list->begin(), list->end());
}

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// A world of 300 objects: `a` mixes ints, floats (NaN and infinities among
// them) and strings; `b` is a small int most objects have, each value held
// by enough of them for its set to take the bitmap form.
World mixed_world(std::mt19937& rng) {
    World world;
    const std::vector<ValueKey> specials{float_key(kNaN), float_key(INFINITY), float_key(-INFINITY),
                                         float_key(2.5), str_key(555)};
    for (uint32_t id = 0; id < 300; ++id) {
        uint32_t pick = rng() % 10;
        if (pick < 5)
            world.add(id, kA, int_key(static_cast<int64_t>(rng() % 41) - 20));
        else if (pick < 8)
            world.add(id, kA, float_key((static_cast<int>(rng() % 81) - 40) / 2.0));
        else if (pick < 9)
            world.add(id, kA, specials[rng() % specials.size()]);
        if (rng() % 4 != 0)
            world.add(id, kB, int_key(rng() % 3));
    }
    return world;
}

ValueKey random_operand(std::mt19937& rng) {
    switch (rng() % 6) {
        case 0:
            return float_key((static_cast<int>(rng() % 81) - 40) / 2.0);
        case 1:
            return rng() % 3 ? float_key(kNaN) : str_key(555);
        default:
            return int_key(static_cast<int64_t>(rng() % 41) - 20);
    }
}

QueryExpr random_expr(std::mt19937& rng, int depth) {
    AttrName attrs[] = {kA, kA, kB, kMissing};
    AttrName attr = attrs[rng() % 4];
    uint32_t pick = rng() % (depth > 0 ? 12 : 8);
    switch (pick) {
        case 0:
            return {expr::Eq{attr, random_operand(rng)}};
        case 1:
            return {expr::Ne{attr, random_operand(rng)}};
        case 2:
            return {expr::Gt{attr, random_operand(rng)}};
        case 3:
            return {expr::Ge{attr, random_operand(rng)}};
        case 4:
            return {expr::Lt{attr, random_operand(rng)}};
        case 5:
            return {expr::Le{attr, random_operand(rng)}};
        case 6:
            return {expr::Bt{attr, random_operand(rng), random_operand(rng)}};
        case 7: {
            expr::In in{attr, {}};
            for (uint32_t n = rng() % 4; n > 0; --n)
                in.values.push_back(random_operand(rng));
            return {std::move(in)};
        }
        case 8:
            return {expr::Not{ExprBox(random_expr(rng, depth - 1))}};
        default: {
            std::vector<QueryExpr> parts;
            for (uint32_t n = rng() % 4; n > 0; --n)
                parts.push_back(random_expr(rng, depth - 1));
            if (pick == 9)
                return {expr::Or{std::move(parts)}};
            return {expr::And{std::move(parts)}};
        }
    }
}

// Every variant, nested, against complements within a universe that leaves
// out some objects, and within all of them as an index's own: the evaluator
// and the model agree, failures included.
TEST(Evaluator, AgreesWithModelOnRandomExpressions) {
    std::mt19937 rng(20261209);
    World world = mixed_world(rng);
    Ids some;
    Ids all;
    for (uint32_t id = 0; id < 300; ++id) {
        all.insert(id);
        if (id % 7 != 3)
            some.insert(id);
    }
    Model model{world};
    for (int round = 0; round < 6000; ++round) {
        const bool whole = round % 2 == 1;
        const Ids& universe = whole ? all : some;
        const UniverseCover cover = whole ? UniverseCover::All : UniverseCover::Part;
        QueryExpr q = random_expr(rng, 3);
        std::optional<Ids> expected;
        std::string expected_error;
        try {
            expected = model(q, universe);
        } catch (const Panic& p) {
            expected_error = p.what();
        }
        if (expected) {
            EXPECT_EQ(evaluated(world, universe, q, cover), *expected) << "round " << round;
            if (whole) {
                EXPECT_EQ(evaluated_listed(world, universe, q), *expected) << "round " << round;
            }
        } else {
            if (whole) {
                EXPECT_THROW(evaluated_listed(world, universe, q), Panic) << "round " << round;
            }
            try {
                evaluated(world, universe, q, cover);
                ADD_FAILURE() << "round " << round << ": expected " << expected_error;
            } catch (const Panic& p) {
                EXPECT_EQ(std::string(p.what()), expected_error);
            }
        }
    }
}

// Lone ranges over a tree of several levels, whose whole children answer
// from their cached bitmaps, over ids spread across containers: listed or
// not, the ids are the model's.
TEST(Evaluator, ListedRangesAgreeWithModel) {
    std::mt19937 rng(29);
    World world;
    Ids every;
    for (uint32_t i = 0; i < 20000; ++i) {
        const uint32_t id = i * 37;
        world.add(id, kA, rng() % 3 ? int_key(rng() % 5000) : float_key((rng() % 10000) / 2.0));
        every.insert(id);
    }
    Model model{world};
    int lists = 0;
    for (int round = 0; round < 300; ++round) {
        const auto lo = static_cast<int64_t>(rng() % 5200) - 100;
        const ValueKey lower = int_key(lo);
        const ValueKey upper = round % 2 ? int_key(lo + rng() % 2500) : float_key(lo + 0.5);
        QueryExpr queries[] = {{expr::Bt{kA, lower, upper}},
                               {expr::Gt{kA, upper}},
                               {expr::Ge{kA, upper}},
                               {expr::Lt{kA, lower}},
                               {expr::Le{kA, lower}}};
        const QueryExpr& q = queries[round % 5];
        EXPECT_EQ(evaluated_listed(world, every, q, &lists), model(q, every)) << "round " << round;
    }
    EXPECT_GT(lists, 150);
    EXPECT_LT(lists, 300);
}

TEST(Evaluator, EdgeCases) {
    World world;
    world.add(1, kA, int_key(1));
    world.add(2, kA, float_key(1.0));  // the same key as 1
    world.add(3, kA, float_key(kNaN));
    world.add(4, kA, str_key(9));
    world.add(5, kB, int_key(7));
    const Ids all{1, 2, 3, 4, 5};

    // Eq answers from the value set as stored, outside the universe too.
    EXPECT_EQ(evaluated(world, {1}, {expr::Eq{kA, int_key(1)}}), (Ids{1, 2}));
    // Complements include objects without the attribute; a NaN bound selects nothing.
    EXPECT_EQ(evaluated(world, all, {expr::Ne{kA, int_key(1)}}), (Ids{3, 4, 5}));
    EXPECT_EQ(evaluated(world, all, {expr::Ge{kA, float_key(kNaN)}}), Ids{});
    EXPECT_EQ(evaluated(world, all, {expr::Not{ExprBox({expr::Lt{kA, float_key(INFINITY)}})}}),
              (Ids{3, 4, 5}));
    // In over mixed kinds: a string and an int key, a value listed twice.
    EXPECT_EQ(evaluated(world, all, {expr::In{kA, {str_key(9), int_key(1), str_key(9)}}}),
              (Ids{1, 2, 4}));
    // And and Or with no parts.
    EXPECT_EQ(evaluated(world, all, {expr::And{}}), all);
    EXPECT_EQ(evaluated(world, all, {expr::Or{}}), Ids{});
    // A Not inside an And complements within what the parts before it kept.
    std::vector<QueryExpr> parts;
    parts.push_back({expr::Ge{kA, int_key(1)}});
    parts.push_back({expr::Not{ExprBox({expr::Eq{kA, float_key(1.0)}})}});
    EXPECT_EQ(evaluated(world, all, {expr::And{std::move(parts)}}), Ids{});
    // A failing range is reached only when the parts before it left ids.
    std::vector<QueryExpr> stops;
    stops.push_back({expr::Eq{kA, int_key(42)}});
    stops.push_back({expr::Bt{kA, str_key(1), int_key(2)}});
    EXPECT_EQ(evaluated(world, all, {expr::And{std::move(stops)}}), Ids{});
    EXPECT_THROW(evaluated(world, all, {expr::Bt{kA, int_key(0), str_key(1)}}), Panic);
    EXPECT_EQ(evaluated(world, all, {expr::Bt{kMissing, str_key(1), str_key(2)}}), Ids{});
}

}  // namespace
}  // namespace vorlane
