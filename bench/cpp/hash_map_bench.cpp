// The engine's hash tables against a header-only candidate: abseil's
// flat_hash_map (what the engine uses) and Boost's unordered_flat_map (Boost
// 1.81 or later: Debian 12's libboost1.81-dev, Debian 13's libboost-dev;
// without it only abseil runs), on the engine's two patterns:
//
//   exact maps   stored hash (int64) -> HybridSet, hashed by StoredHashHasher:
//                a low-cardinality attribute (1,000 values, many look-ups
//                each) and a high-cardinality one (1,000,000 values, about
//                one object each); built by insertion, then hit, missed and
//                moved between (an assignment: look up the old value, then
//                the new one, inserting it when absent);
//   name maps    attribute name (an interned pointer) -> unique_ptr, a handful
//                of names looked up once per attribute of every object.
//
// Keys are what the maps receive: CPython hashes small ints to themselves, so
// a numeric attribute's keys are consecutive integers; a string's are spread
// over 64 bits.

#include <absl/container/flat_hash_map.h>
#include <benchmark/benchmark.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "engine/attr_name.hpp"
#include "engine/hybrid_set.hpp"
#include "engine/query_map.hpp"

#if __has_include(<boost/unordered/unordered_flat_map.hpp>)
#include <boost/unordered/unordered_flat_map.hpp>
#define VORLANE_BENCH_BOOST 1
#endif

namespace vorlane {
namespace {

enum class Keys { Consecutive, Spread };

std::vector<int64_t> make_keys(size_t count, Keys kind, uint64_t seed) {
    std::vector<int64_t> keys(count);
    std::mt19937_64 rng(seed);
    for (size_t i = 0; i < count; ++i)
        keys[i] = kind == Keys::Consecutive ? static_cast<int64_t>(i) : static_cast<int64_t>(rng());
    return keys;
}

// Positions into the key list in a random order, so look-ups do not walk the
// table in insertion order.
std::vector<uint32_t> shuffled_positions(size_t count, size_t length, uint64_t seed) {
    std::vector<uint32_t> positions(length);
    std::mt19937_64 rng(seed);
    for (uint32_t& p : positions)
        p = static_cast<uint32_t>(rng() % count);
    return positions;
}

constexpr size_t kLookups = 1'000'000;

template <typename Map>
Map build_exact(const std::vector<int64_t>& keys) {
    Map map;
    uint32_t id = 0;
    for (int64_t key : keys)
        map.try_emplace(key).first->second.insert(id++);
    return map;
}

template <typename Map>
void BM_ExactBuild(benchmark::State& state, Keys kind) {
    std::vector<int64_t> keys = make_keys(state.range(0), kind, 1);
    for (auto _ : state) {
        Map map = build_exact<Map>(keys);
        benchmark::DoNotOptimize(map.size());
        state.PauseTiming();  // destruction is not part of building
        map = Map();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * keys.size());
}

// `hits` selects keys the map holds or keys it lacks.
template <typename Map>
void BM_ExactFind(benchmark::State& state, Keys kind, bool hits) {
    std::vector<int64_t> keys = make_keys(state.range(0), kind, 1);
    std::vector<int64_t> probes = hits ? keys : make_keys(keys.size(), Keys::Spread, 2);
    Map map = build_exact<Map>(keys);
    std::vector<uint32_t> order = shuffled_positions(probes.size(), kLookups, 3);
    for (auto _ : state) {
        size_t found = 0;
        for (uint32_t p : order) {
            auto it = map.find(probes[p]);
            found += it != map.end() ? it->second.is_empty() ? 1 : 2 : 0;
        }
        benchmark::DoNotOptimize(found);
    }
    state.SetItemsProcessed(state.iterations() * order.size());
}

// An assignment of a value: the id leaves the old value's set and joins the
// new one's, which is created when missing.
template <typename Map>
void BM_ExactMove(benchmark::State& state, Keys kind) {
    std::vector<int64_t> keys = make_keys(state.range(0), kind, 1);
    Map map = build_exact<Map>(keys);
    std::vector<uint32_t> from = shuffled_positions(keys.size(), kLookups, 4);
    std::vector<uint32_t> to = shuffled_positions(keys.size(), kLookups, 5);
    for (auto _ : state) {
        for (size_t i = 0; i < from.size(); ++i) {
            uint32_t id = static_cast<uint32_t>(i);
            auto old_entry = map.find(keys[from[i]]);
            if (old_entry != map.end())
                old_entry->second.remove(id);
            map.try_emplace(keys[to[i]]).first->second.insert(id);
        }
        benchmark::DoNotOptimize(map.size());
    }
    state.SetItemsProcessed(state.iterations() * from.size());
}

// Boost's hasher for attribute names (abseil's table uses AbslHashValue):
// the interned pointer, which Boost's table mixes itself.
struct NameHash {
    size_t operator()(const AttrName& name) const {
        return std::hash<const void*>()(name.identity());
    }
};

struct Payload {
    uint64_t value = 0;
};

template <typename Map>
void BM_NameFind(benchmark::State& state) {
    size_t count = static_cast<size_t>(state.range(0));
    std::vector<AttrName> names;
    for (size_t i = 0; i < count; ++i)
        names.push_back(AttrName::intern("hash_map_bench_" + std::to_string(i)));
    Map map;
    for (const AttrName& name : names)
        map.emplace(name, std::make_unique<Payload>());
    std::vector<uint32_t> order = shuffled_positions(count, kLookups, 6);
    for (auto _ : state) {
        uint64_t sum = 0;
        for (uint32_t p : order)
            sum += map.find(names[p])->second->value;
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(state.iterations() * order.size());
}

using AbslExact = absl::flat_hash_map<int64_t, HybridSet, StoredHashHasher>;
using AbslNames = absl::flat_hash_map<AttrName, std::unique_ptr<Payload>>;

// Registers every pattern for one table; the arguments are the cardinalities.
template <typename Exact, typename Names>
void register_table(const std::string& table) {
    auto name = [&](const char* pattern) { return table + "/" + pattern; };
    auto ms = benchmark::kMillisecond;
    benchmark::RegisterBenchmark(name("build_consecutive").c_str(), BM_ExactBuild<Exact>,
                                 Keys::Consecutive)
        ->Arg(1'000'000)
        ->Unit(ms);
    benchmark::RegisterBenchmark(name("build_spread").c_str(), BM_ExactBuild<Exact>, Keys::Spread)
        ->Arg(1'000'000)
        ->Unit(ms);
    benchmark::RegisterBenchmark(name("find_hit_consecutive").c_str(), BM_ExactFind<Exact>,
                                 Keys::Consecutive, true)
        ->Arg(1'000)
        ->Arg(1'000'000)
        ->Unit(ms);
    benchmark::RegisterBenchmark(name("find_hit_spread").c_str(), BM_ExactFind<Exact>, Keys::Spread,
                                 true)
        ->Arg(1'000)
        ->Arg(1'000'000)
        ->Unit(ms);
    benchmark::RegisterBenchmark(name("find_miss").c_str(), BM_ExactFind<Exact>, Keys::Spread,
                                 false)
        ->Arg(1'000'000)
        ->Unit(ms);
    benchmark::RegisterBenchmark(name("move").c_str(), BM_ExactMove<Exact>, Keys::Consecutive)
        ->Arg(1'000)
        ->Arg(1'000'000)
        ->Unit(ms);
    benchmark::RegisterBenchmark(name("names_find").c_str(), BM_NameFind<Names>)
        ->Arg(5)
        ->Arg(50)
        ->Unit(ms);
}

#ifdef VORLANE_BENCH_BOOST
using BoostExact = boost::unordered_flat_map<int64_t, HybridSet, StoredHashHasher>;
using BoostNames = boost::unordered_flat_map<AttrName, std::unique_ptr<Payload>, NameHash>;
#endif

const bool registered = [] {
    register_table<AbslExact, AbslNames>("absl");
#ifdef VORLANE_BENCH_BOOST
    register_table<BoostExact, BoostNames>("boost");
#endif
    return true;
}();

}  // namespace
}  // namespace vorlane
