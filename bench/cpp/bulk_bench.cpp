// Bulk indexing of one attribute map: `QueryMapBatch` over 1,000,000 pairs,
// with the value distributions of the benchmark's columns: a size (ints
// spread over 0..10^6, most held by one object), a price (100,000 distinct
// floats, about ten objects each) and a kind (20 strings).

#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "engine/attribute_maps.hpp"
#include "engine/query_map.hpp"

namespace vorlane {
namespace {

constexpr uint32_t kPairs = 1'000'000;

enum class Column { Size, Price, Kind };

const std::vector<ValueKey>& column(Column which) {
    static const auto make = [](Column c) {
        std::mt19937_64 rng(7);
        std::vector<ValueKey> values;
        values.reserve(kPairs);
        for (uint32_t i = 0; i < kPairs; ++i) {
            if (c == Column::Size) {
                int64_t v = static_cast<int64_t>(rng() % 1'000'001);
                values.push_back(ValueKey::of_int(v, v));
            } else if (c == Column::Price) {
                double v = static_cast<double>(rng() % 100'001) / 100.0;
                values.push_back(ValueKey::of_float(static_cast<int64_t>(rng() % 100'001) * 31, v));
            } else {
                values.push_back(
                    ValueKey::of_other(static_cast<int64_t>(rng() % 20) * 977, NativeKind::Str));
            }
        }
        return values;
    };
    static const std::vector<ValueKey> size = make(Column::Size);
    static const std::vector<ValueKey> price = make(Column::Price);
    static const std::vector<ValueKey> kind = make(Column::Kind);
    return which == Column::Size ? size : which == Column::Price ? price : kind;
}

void BM_BatchIntoEmptyMap(benchmark::State& state, Column which) {
    const std::vector<ValueKey>& values = column(which);
    for (auto _ : state) {
        auto map = std::make_unique<QueryMap>();
        QueryMapBatch batch(*map);
        for (uint32_t id = 0; id < kPairs; ++id)
            batch.insert(values[id], id);
        batch.finish();
        benchmark::DoNotOptimize(map.get());
        state.PauseTiming();  // releasing the map is not part of indexing
        map.reset();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * kPairs);
}

BENCHMARK_CAPTURE(BM_BatchIntoEmptyMap, size, Column::Size)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_BatchIntoEmptyMap, price, Column::Price)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_BatchIntoEmptyMap, kind, Column::Kind)->Unit(benchmark::kMillisecond);

// The three columns at once, as `add_object_many` gives them: on as many
// threads as the addition uses.
void BM_BulkAdditionOfThreeColumns(benchmark::State& state) {
    for (auto _ : state) {
        auto maps = std::make_unique<AttributeMaps>();
        BulkAddition bulk(*maps);
        const AttrName names[] = {AttrName::intern("size"), AttrName::intern("price"),
                                  AttrName::intern("kind")};
        for (uint32_t id = 0; id < kPairs; ++id) {
            bulk.add(id, names[0], column(Column::Size)[id]);
            bulk.add(id, names[1], column(Column::Price)[id]);
            bulk.add(id, names[2], column(Column::Kind)[id]);
        }
        bulk.finish();
        benchmark::DoNotOptimize(maps.get());
        state.PauseTiming();
        maps.reset();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * kPairs * 3);
}

BENCHMARK(BM_BulkAdditionOfThreeColumns)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace vorlane
