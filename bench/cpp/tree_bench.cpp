// The ordered bitmap tree against the container a C++ user would otherwise
// reach for: a std::multimap from value to id, scanned over the range with
// every id added to a Bitmap.
//
// Entries: 1,000,000 objects, id i holding value perm[i] for a random
// permutation, so a value range selects ids scattered over the whole id space.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <map>
#include <numeric>
#include <random>
#include <vector>

#include "engine/ranged_b_tree.hpp"

namespace vorlane {
namespace {

constexpr uint32_t kEntries = 1'000'000;

struct Entry {
    int64_t value;
    uint32_t id;
};

enum class Order { Ascending, Descending, Random };

// The same entries in the requested insertion order.
const std::vector<Entry>& entries(Order order) {
    static const std::vector<Entry> by_id = [] {
        std::vector<int64_t> perm(kEntries);
        std::iota(perm.begin(), perm.end(), 0);
        std::shuffle(perm.begin(), perm.end(), std::mt19937_64(42));
        std::vector<Entry> out(kEntries);
        for (uint32_t i = 0; i < kEntries; ++i)
            out[i] = {perm[i], i};
        return out;
    }();
    static const std::vector<Entry> ascending = [] {
        std::vector<Entry> out = by_id;
        std::sort(out.begin(), out.end(), [](Entry a, Entry b) { return a.value < b.value; });
        return out;
    }();
    static const std::vector<Entry> descending(ascending.rbegin(), ascending.rend());
    switch (order) {
        case Order::Ascending:
            return ascending;
        case Order::Descending:
            return descending;
        default:
            return by_id;
    }
}

using Baseline = std::multimap<int64_t, uint32_t>;

template <typename Container, typename Insert>
void time_insertion(benchmark::State& state, Order order, Insert insert) {
    const std::vector<Entry>& input = entries(order);
    for (auto _ : state) {
        auto container = std::make_unique<Container>();
        for (const Entry& e : input)
            insert(*container, e);
        benchmark::DoNotOptimize(container.get());
        state.PauseTiming();  // destruction is not part of insertion
        container.reset();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * input.size());
}

void BM_TreeInsert(benchmark::State& state, Order order) {
    time_insertion<BitMapBTree>(state, order,
                                [](BitMapBTree& t, Entry e) { t.insert(e.value, e.id); });
}

void BM_MultimapInsert(benchmark::State& state, Order order) {
    time_insertion<Baseline>(state, order, [](Baseline& m, Entry e) { m.emplace(e.value, e.id); });
}

BENCHMARK_CAPTURE(BM_TreeInsert, ascending, Order::Ascending)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_TreeInsert, descending, Order::Descending)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_TreeInsert, random, Order::Random)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_MultimapInsert, ascending, Order::Ascending)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_MultimapInsert, descending, Order::Descending)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_MultimapInsert, random, Order::Random)->Unit(benchmark::kMillisecond);

// Both structures built once, in random order, for the query benchmarks.
struct Built {
    BitMapBTree tree;
    Baseline multimap;
    Bitmap all_ids;

    Built() {
        for (const Entry& e : entries(Order::Random)) {
            tree.insert(e.value, e.id);
            multimap.emplace(e.value, e.id);
        }
        std::vector<uint32_t> ids(kEntries);
        std::iota(ids.begin(), ids.end(), 0);
        all_ids = Bitmap::of(ids);
    }
};

const Built& built() {
    static const Built instance;
    return instance;
}

// [lo, lo + span) selecting `percent` of the entries, centred in the value space.
std::pair<int64_t, int64_t> value_range(int64_t percent) {
    int64_t span = kEntries / 100 * percent;
    int64_t lo = (kEntries - span) / 2;
    return {lo, lo + span};
}

void BM_TreeRange(benchmark::State& state) {
    const Built& b = built();
    auto [lo, hi] = value_range(state.range(0));
    for (auto _ : state) {
        Bitmap result = b.tree.query_range(Bound::included(lo), Bound::excluded(hi), b.all_ids);
        benchmark::DoNotOptimize(result.raw());
    }
    state.counters["ids"] = static_cast<double>(
        b.tree.query_range(Bound::included(lo), Bound::excluded(hi), b.all_ids).cardinality());
}

void BM_MultimapRange(benchmark::State& state) {
    const Built& b = built();
    auto [lo, hi] = value_range(state.range(0));
    uint64_t selected = 0;
    for (auto _ : state) {
        Bitmap result;
        for (auto it = b.multimap.lower_bound(lo), end = b.multimap.lower_bound(hi); it != end;
             ++it)
            result.add(it->second);
        result.and_inplace(b.all_ids);
        selected = result.cardinality();
        benchmark::DoNotOptimize(result.raw());
    }
    state.counters["ids"] = static_cast<double>(selected);
}

BENCHMARK(BM_TreeRange)->Arg(1)->Arg(50)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_MultimapRange)->Arg(1)->Arg(50)->Unit(benchmark::kMicrosecond);

void BM_TreeMemory(benchmark::State& state) {
    const Built& b = built();
    for (auto _ : state)
        benchmark::DoNotOptimize(b.tree.size());
    state.counters["tree_MB"] = static_cast<double>(b.tree.memory_usage()) / 1e6;
}
BENCHMARK(BM_TreeMemory)->Iterations(1);

}  // namespace
}  // namespace vorlane
