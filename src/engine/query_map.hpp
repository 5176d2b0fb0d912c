#pragma once
// `QueryMap`: the index of one attribute.
//
// An exact map from value key to the ids holding that value, and the
// (number, id) pairs of the Int and Float values in value order, for ranges
// and sorted walks (`OrderedNumbers`: a bitmap tree, or one set per value
// where values repeat; called the tree below). Python-free: keys carry the stored hash of the value
// and its native number only.
//
// Invariants: the tree holds exactly the (value, id) pairs of the exact map
// whose inserted value was an Int or a Float (an in-place reduction may
// narrow the exact map and leave the tree as it was); after `check_prune` of
// a value, its entry is gone if its set was empty.
//
// Where numbers repeat, the tree holds one set of ids per value. When every
// such value is one exact-map key and every key one such value, those sets
// are the exact map's, kept once (the tree's shared form, see
// `SharedValueOrder`). A bulk addition into an empty map takes that form
// when its pairs show the correspondence (and keeps it in a shared map that
// its pairs keep it in), values repeating enough; a value then costs only
// its code. Any
// change that would break it (a key merged by hash with another number or
// with a non-number, a NaN under a second key, a removal under another
// value, a reduction, a merge) first gives the tree its own sets again.

#include <array>
#include <cstdint>
#include <optional>
#include <set>
#include <span>
#include <vector>

#include "engine/bulk_buffer.hpp"
#include "engine/exact_map.hpp"
#include "engine/hybrid_set.hpp"
#include "engine/ordered_numbers.hpp"
#include "engine/value_key.hpp"

namespace vorlane {

class QueryMap {
  public:
    QueryMap() = default;
    // The tree may read the exact map's sets: a map stays where it was made.
    QueryMap(const QueryMap&) = delete;
    QueryMap& operator=(const QueryMap&) = delete;

    // Keyed by the stored hash alone: it alone decides key equality, and the
    // numbers live in the tree. (One map slot per distinct value, so a high
    // cardinality attribute such as a size pays this per object.)
    using ExactMap = vorlane::ExactMap;

    // Adds `id` under `value`. A pair the map already holds changes nothing.
    void insert(const ValueKey& value, uint32_t id);
    // Removes `id` from the value's set (a missing entry is not an error; the
    // entry is not pruned) and, for a number, its tree entry.
    void remove_id(const ValueKey& value, uint32_t id);
    // `remove_id` then `check_prune` when the value is listed, in one look-up.
    void remove_and_prune(const ValueKey& value, uint32_t id);
    // Moves `id` from `old_value` to `new_value`: the same result as
    // `remove_id(old_value)`, `check_prune(old_value)` when the value was
    // listed, then `insert(new_value)`, with one look-up per value and one walk
    // of the tree. The map must not be one that the removal could leave empty
    // (see `survives_one_removal`): its owner drops an empty map.
    void replace(const ValueKey& old_value, const ValueKey& new_value, uint32_t id);
    // Whether removing one id leaves something in the map: more than one value
    // in the exact map or more than one tree entry.
    bool survives_one_removal() const { return exact_.size() > 1 || tree_.size() > 1; }
    // Drops the value's entry when its set is empty; a missing entry is the
    // internal error "no entry found for key".
    void check_prune(const ValueKey& value);
    // Makes this map the union of itself and `other`.
    void merge(const QueryMap& other);
    // Narrows every value set to `matching`; the tree keeps every entry.
    void narrow_value_sets(const HybridSet& matching);
    // Takes `id` out of the value's set alone, leaving its tree entry: as a
    // narrowing does. The value must be listed.
    void unlist_from_set(const ValueKey& value, uint32_t id);

    const HybridSet* find(const ValueKey& value) const;
    bool holds(const ValueKey& value) const { return exact_.contains(value.hash); }
    // No value left in either structure: the attribute can be forgotten.
    bool is_empty() const { return exact_.empty() && tree_.size() == 0; }

    const ExactMap& exact() const { return exact_; }
    const OrderedNumbers& tree() const { return tree_; }

    size_t memory_usage() const;
    void validate() const;

  private:
    friend class QueryMapBatch;
    // The exact-map half of `remove_id` + `check_prune`.
    void remove_exact(const ValueKey& value, uint32_t id);
    // Adds `id` to the value's set; false when the set already held it.
    bool insert_exact(const ValueKey& value, uint32_t id);
    // `insert` and the removals on a shared tree, which either keep the
    // exact map's sets one per value or give the tree its own sets first.
    void insert_shared(const ValueKey& value, uint32_t id);
    void remove_shared(const ValueKey& value, uint32_t id, bool prune);

    ExactMap exact_;
    OrderedNumbers tree_;
};

// Brings into the cache what taking one id out of several maps will touch
// (`remove_and_prune` on each, as when an object leaves an index): the exact
// maps' slots and sets, and the nodes and cached bitmaps on the trees' routes.
// Each route is a chain of dependent misses; walked side by side, the chains
// of the different maps overlap instead of following one another. Only a
// hint: nothing changes, and the maps must not change between `add` and `run`.
class RemovalPrefetch {
  public:
    explicit RemovalPrefetch(uint32_t id) : id_(id) {}
    // Requests the value's exact-map slot and starts its tree route. Maps past
    // `kMaps` are left to the removal itself.
    void add(const QueryMap& map, const ValueKey& value);
    // Walks the routes level by level, then requests the sets' and the cached
    // bitmaps' parts that hold the id.
    void run();

  private:
    // Attributes of one object prefetched together: objects rarely have more.
    static constexpr size_t kMaps = 8;
    // Bitmaps on the routes: one per tree level below the root, plus the sets.
    static constexpr size_t kBitmaps = 64;

    void request_sets(std::span<const Bitmap*> bitmaps, size_t& count) const;

    uint32_t id_;
    std::array<const QueryMap*, kMaps> maps_{};
    std::array<int64_t, kMaps> hashes_{};
    size_t map_count_ = 0;
    std::array<std::optional<RoutePrefetch>, kMaps> routes_{};
};

// Many insertions into one map, as by `QueryMap::insert` each, in the order
// given. Pairs are buffered, and `finish` adds them in one go, grouped by
// value: each value's set is made once, at its size, from its ids in order,
// and its map slot is probed once (and fetched into the cache a few values
// ahead: a large map is probed at random). The exact map is sized once for
// the values to come. The tree entries of the new pairs come out of the
// groups in value order (only the distinct values are sorted) and go into
// the tree together; an empty tree is then built in one pass. Until
// `finish` the map lags the pairs given, so it must not be read in between.
// Batches of different maps may finish on different threads at once.
class QueryMapBatch {
  public:
    // One pair given: the value's stored hash, the id, and the value's tree
    // code (see `encode_value96`) in two parts. No value's code has an
    // exponent field of all ones, so the codes 0 and 1 are free to mark a
    // value that is not a number (`kNoCode`) and a pair that adds nothing,
    // held already or given twice (`kDropped`).
    struct Pair {
        int64_t hash;
        uint64_t code_low;
        uint32_t code_high;
        uint32_t id;

        static Pair of(const ValueKey& value, uint32_t id) {
            Pair pair{value.hash, 0, 0, id};
            if (value.kind == NativeKind::Int)
                pair.set_code(encode_value96(NumericValue(value.int_value)));
            else if (value.kind == NativeKind::Float)
                pair.set_code(encode_value96(NumericValue(value.float_value)));
            else
                pair.set_code(kNoCode);
            return pair;
        }
        Key128 code() const { return (Key128{code_high} << 64) | code_low; }
        void set_code(Key128 code) {
            code_low = static_cast<uint64_t>(code);
            code_high = static_cast<uint32_t>(code >> 64);
        }
    };
    using Pairs = UnzeroedBulkVector<Pair>;

    explicit QueryMapBatch(QueryMap& map) : map_(&map) {}
    void insert(const ValueKey& value, uint32_t id) {
        (parts_.empty() ? pairs_ : parts_.back()).push_back(Pair::of(value, id));
    }
    // Takes `pairs` as if inserted one by one, after those given so far.
    void append(Pairs&& pairs);
    void finish();
    size_t size() const {
        size_t total = pairs_.size();
        for (const Pairs& part : parts_)
            total += part.size();
        return total;
    }

  private:
    static constexpr Key128 kNoCode = 0;
    static constexpr Key128 kDropped = 1;
    // How many values ahead a slot is fetched: about one memory latency of work.
    static constexpr size_t kAhead = 16;

    // Sorts the pairs by hash, ids ascending within each hash; returns where
    // each hash's group starts (and, last, the end).
    BulkVector<uint32_t> group_by_value();
    void add_group(std::span<Pair> group, BulkVector<uint32_t>& ids, bool fresh);
    // The tree entries of the pairs left, in key order.
    BulkVector<CompositeKey128> tree_entries(std::span<const uint32_t> groups) const;
    // Adds to `codes` (value code -> stored hash) the code of each group (a
    // key's pairs): false when a key holds a non-number or two numbers, or
    // one number or key would be named twice.
    // Keys that list several numbers go into `own`, each number with its ids.
    bool add_group_codes(std::span<const uint32_t> groups, SharedValueOrder::Codes& codes,
                         std::vector<SharedValueOrder::OwnSet>& own) const;
    static bool add_merged_key(std::span<const Pair> group, const SharedValueOrder::Codes& codes,
                               std::set<Key128>& own_codes,
                               std::vector<SharedValueOrder::OwnSet>& own);

    QueryMap* map_;
    Pairs pairs_;
    // Pairs appended after `pairs_`, kept as given: grouping reads them in
    // its first pass, where copying them onto `pairs_` would write every
    // pair once more, to fresh pages.
    std::vector<Pairs> parts_;
};

}  // namespace vorlane
