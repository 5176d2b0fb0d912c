#pragma once
// Facet counts: for each value of one attribute, how many selected ids hold
// it, answered from the value sets without listing the ids.
//
// A value's count is one intersection count between its set and the
// selection (a membership test per id for a small set), so the cost grows
// with the number of distinct values and the sets' sizes; nothing is listed
// and no object is read.
//
// Nothing here locks: the caller holds the maps' read lock.

#include <absl/container/inlined_vector.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <vector>

#include "engine/bitmap.hpp"
#include "engine/hybrid_set.hpp"
#include "engine/query_map.hpp"

namespace vorlane {

struct ValueCount {
    // The value's key in the exact map (its stored hash).
    int64_t hash;
    // Selected ids holding the value; never 0 in a result.
    uint64_t count;
    // The smallest of them: ties of count go to the smaller first id.
    uint32_t first_id;
    // The value's set in the map counted: valid while the maps' lock held
    // for the count is.
    const HybridSet* set = nullptr;
};

// The values of `map` that selected ids hold, by descending count, ties by
// ascending first id, at most `limit` of them. A null `selection` selects
// every id the map lists. `universe`, when given, is the size of a set of
// ids that holds every id the map lists and the whole selection (an index's
// objects: its maps list only them, under one value per attribute); when
// the map lists that many ids, the largest set is counted from what the
// others leave.
std::vector<ValueCount> count_values(const QueryMap& map, const Bitmap* selection,
                                     std::optional<uint64_t> universe, std::optional<size_t> limit);

// The count of `set`'s ids within `selection` and the smallest of them (a
// count of 0 when it has none there), as `count_values` counts one value.
ValueCount count_within(int64_t hash, const HybridSet& set, const Bitmap& selection);

// The smallest id held by both bitmaps, or nothing.
std::optional<uint32_t> first_common_id(const Bitmap& a, const Bitmap& b);

// The smallest id of `set` for which `accept(id)` is true, trying the ids in
// ascending order and stopping at the first accepted; nothing when none is.
template <typename Accept>
std::optional<uint32_t> first_accepted(const HybridSet& set, Accept&& accept) {
    if (const Bitmap* large = set.bitmap_form()) {
        // Most often the first id is accepted: no iterator for it.
        if (large->is_empty() || accept(large->minimum()))
            return large->is_empty() ? std::nullopt : std::optional<uint32_t>(large->minimum());
        Bitmap::Cursor it(*large);
        for (it.advance(); it.has_value(); it.advance()) {
            if (accept(it.current()))
                return it.current();
        }
        return std::nullopt;
    }
    // The small forms hold a few dozen ids at most, in ascending order.
    std::optional<uint32_t> found;
    set.for_each([&](uint32_t id) {
        if (!found && accept(id))
            found = id;
    });
    return found;
}

}  // namespace vorlane
