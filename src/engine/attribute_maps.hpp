#pragma once
// The attribute maps of an index: one `QueryMap` per attribute name, and the
// rules that keep them current as objects come, go and change.
//
// Names beginning with "_" are kept on objects but left out of the maps by
// additions and moves, unless a map for such a name exists already (an index
// rebased from a view indexes every name, and keeps those maps current too).
// A map that no longer lists any value is dropped, so an attribute nobody
// holds costs nothing and a later value starts a fresh map.
//
// Nothing here locks: the caller holds the maps' write lock for changes and
// at least the read lock for reads.

#include <absl/container/flat_hash_map.h>
#include <absl/container/inlined_vector.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <utility>

#include "engine/attr_name.hpp"
#include "engine/bitmap.hpp"
#include "engine/bulk_buffer.hpp"
#include "engine/hybrid_set.hpp"
#include "engine/parallel.hpp"
#include "engine/query_map.hpp"
#include "engine/value_key.hpp"

namespace vorlane {

using AttributeMaps = absl::flat_hash_map<AttrName, std::unique_ptr<QueryMap>>;

// Attributes an object carries, kept inline: most carry a handful.
inline constexpr size_t kInlineObjectValues = 6;

// One object's indexed values: its id and (name, value key) pairs.
struct ObjectValues {
    uint32_t id = 0;
    absl::InlinedVector<std::pair<AttrName, ValueKey>, kInlineObjectValues> values;
};

// The map of `name`, made empty when there is none yet.
QueryMap& query_map_for(AttributeMaps& maps, AttrName name);
// The map of `name`, or null.
const QueryMap* find_query_map(const AttributeMaps& maps, AttrName name);

// Lists `id` under `value` in the map of `name` (a pair already listed
// changes nothing).
void add_index_value(AttributeMaps& maps, uint32_t id, AttrName name, const ValueKey& value);
// Lists every value of `object`.
void add_object_values(AttributeMaps& maps, const ObjectValues& object);

// Takes `id` out from under `value` in the map of `name`, pruning an emptied
// value and dropping an emptied map.
void remove_index_value(AttributeMaps& maps, AttrName name, const ValueKey& value, uint32_t id);
// Takes every value of `object` out, fetching what the removals will touch
// first: in a large index each attribute's set and tree route are cold, and
// taken one attribute after another their misses would not overlap.
void remove_object_values(AttributeMaps& maps, const ObjectValues& object);

// Moves `id` from `old_value` to `new_value` under `name`: the result of
// removing the old pair (pruning and dropping what empties) and adding the
// new one. A private name with no map is left out.
void update_index(AttributeMaps& maps, AttrName name, const ValueKey& old_value,
                  const ValueKey& new_value, uint32_t id);

// Narrows every value set of every map to `matching`. Emptied sets stay, and
// the ordered trees are not touched: ranges still see every object.
void narrow_value_sets(AttributeMaps& maps, const HybridSet& matching);

// Every id listed anywhere in `maps`, in value sets or trees.
Bitmap ids_in_maps(const AttributeMaps& maps);

// Merges `other` into `receiver`, so that the receiver also lists every pair
// `other` lists, provided that every such id is in `stored` (the ids whose
// objects the receiver holds): an id with no stored object could never be
// answered. Returns false, with nothing merged, otherwise.
bool union_maps(AttributeMaps& receiver, const AttributeMaps& other, const Bitmap& stored);

// Values gathered for a bulk addition, by attribute, in the order given.
// Each thread of a bulk addition gathers into a share of its own.
class BulkShare {
  public:
    void add(uint32_t id, AttrName name, const ValueKey& value) {
        // Objects list their attributes in much the same order, so the
        // column after the last one used is nearly always the one.
        size_t i = next_ < columns_.size() ? next_ : 0;
        if (i < columns_.size() && columns_[i].first == name) {
            next_ = i + 1;
            columns_[i].second.push_back(QueryMapBatch::Pair::of(value, id));
            return;
        }
        add_to_other_column(id, name, value);
    }
    // Pairs a column may expect: each attribute's pairs are reserved at this
    // many when it first comes, so that they are never copied to grow (a
    // bulk buffer maps its pages only as they are written).
    void expect(size_t pairs) { expected_ = pairs; }
    // A count the reader keeps for its own use, summed over the threads
    // by `BulkAddition::tally` (a shared counter would be updated from
    // every thread at once).
    size_t tally = 0;

  private:
    friend class BulkAddition;
    void add_to_other_column(uint32_t id, AttrName name, const ValueKey& value);

    size_t expected_ = 0;
    // In the order the names first came; objects list their attributes in
    // much the same order, so the next name is looked for after the last.
    std::vector<std::pair<AttrName, QueryMapBatch::Pairs>> columns_;
    size_t next_ = 0;
};

// Many objects' values added at once, as by `add_index_value` each: each
// attribute's pairs are gathered and go into its map in one batch (see
// `QueryMapBatch`). Large additions gather their objects' values on several
// threads, and the attributes, being independent, finish on several threads.
// Until `finish` the maps lag the values given and must not be read.
class BulkAddition {
  public:
    explicit BulkAddition(AttributeMaps& maps) : maps_(&maps) {}
    void add(uint32_t id, AttrName name, const ValueKey& value) { own_.add(id, name, value); }
    // Gathers the values of objects 0 .. count-1: `read(i, share)` adds
    // those of object i to `share` (`BulkShare::add`). Each thread reads a
    // run of consecutive objects, so their order is kept. `read` must not
    // touch anything another thread changes.
    template <typename Read>
    void add_objects(size_t count, Read&& read) {
        size_t workers = count < kParallelObjects ? 1 : workers_for(count, kMaxWorkers);
        std::vector<BulkShare> shares(workers);
        run_tasks(workers, workers, [&](size_t w) {
            TallyOnExit counted{shares[w], tally_};
            size_t begin = count * w / workers, end = count * (w + 1) / workers;
            // Room for the pairs of this run and of the runs after it (an
            // attribute comes at most once per object), though only this
            // run's are written: the shares' columns go into the batches
            // as they are, one part each, and a first share's column, freed
            // once its batch is grouped, is then large enough to serve a
            // later batch's sort as its scratch.
            shares[w].expect(count - begin);
            for (size_t i = begin; i < end; ++i)
                read(i, shares[w]);
        });
        take(own_);  // values added before come first
        for (BulkShare& share : shares)
            take(share);
    }
    void finish();
    // The sum of the shares' tallies of `add_objects`, also of a run that
    // ended by an exception.
    size_t tally() const { return tally_.load(std::memory_order_relaxed); }

  private:
    struct TallyOnExit {
        const BulkShare& share;
        std::atomic<size_t>& total;
        ~TallyOnExit() { total.fetch_add(share.tally, std::memory_order_relaxed); }
    };

    // Below this many objects, or pairs in all, the work stays on the calling
    // thread: a thread costs more to start than the work it would take over.
    static constexpr size_t kParallelObjects = 50'000;
    static constexpr size_t kParallelPairs = 100'000;
    // Threads a bulk addition runs on at most.
    static constexpr size_t kMaxWorkers = 4;

    // Moves the pairs of `share` into the batches.
    void take(BulkShare& share);
    QueryMapBatch& batch_for(AttrName name);

    AttributeMaps* maps_;
    BulkShare own_;
    std::vector<std::pair<AttrName, QueryMapBatch>> batches_;
    std::atomic<size_t> tally_{0};
};

// Panics naming the first broken invariant of a map, or an empty map kept.
void validate_maps(const AttributeMaps& maps);

}  // namespace vorlane
