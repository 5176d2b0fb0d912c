#pragma once
// Counts of key tuples taken from the value sets: for each combination of
// values of several attributes, how many selected ids lie in all of their
// sets, and the smallest of them.
//
// Reading every selected object's values costs a cache miss or two per
// object; here the cost grows with the combinations met and the sizes of
// the sets intersected, so attributes of few values are counted in a small
// part of that time. The result is what reading the objects would give when
// every selected object that holds all the names is listed under each of
// them; the ids for which that is not known are given by `unlisted_ids`,
// for the caller to read.
//
// Nothing here locks: the caller holds the maps' read lock.

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "engine/bitmap.hpp"
#include "engine/query_map.hpp"
#include "engine/tuple_counts.hpp"

namespace vorlane {

struct TupleSetCounts {
    size_t width = 0;
    // `width` keys per group, in the order of the maps given.
    std::vector<int64_t> keys;
    // One per group met (count above 0), in no particular order.
    std::vector<TupleCount> groups;
    // The ids counted, over all groups.
    uint64_t counted = 0;

    std::span<const int64_t> keys_of(uint32_t group) const {
        return std::span<const int64_t>(keys).subspan(size_t{group} * width, width);
    }
    // By descending count, ties by ascending first id, at most `limit`.
    std::vector<TupleCount> ranked(std::optional<size_t> limit) const;
};

// The groups of the key tuples of `maps` (one per name, at least one) among
// `selection`, or nothing when counting them would take more than `budget`
// steps (a step: a set's id tested, or some 32 ids of an intersection; about
// the cost of reading one object's values).
std::optional<TupleSetCounts> count_tuples_from_sets(std::span<const QueryMap* const> maps,
                                                     const Bitmap& selection, uint64_t budget);

// The ids of `selection` missing from the value sets of one of `maps` at
// least: those that `count_tuples_from_sets` did not count.
Bitmap unlisted_ids(std::span<const QueryMap* const> maps, const Bitmap& selection);

}  // namespace vorlane
