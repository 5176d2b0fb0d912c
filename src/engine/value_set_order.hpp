#pragma once
// `ValueSetOrder`: the numbers of one attribute ordered by value, each
// distinct value with the set of ids that hold it.
//
// The other form of the same content as a `BitMapBTree`: the same
// (value code, id) entries, for attributes whose values repeat (months,
// quantities, flags). There a tree pays one entry per object, while this
// form pays one map slot per distinct value and a few bytes per id in that
// value's bitmap; a range is the union of a run of sets, a top-k walks the
// distinct values, and `min`/`max` read the ends.
//
// Invariants: every set is non-empty; an id sits in at most one set (one
// value per object and attribute); `size()` is the sum of the sets' sizes.
//
// No lock of its own; its owner serialises writers against readers.
#include <absl/container/btree_map.h>

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "engine/bitmap.hpp"
#include "engine/value_order.hpp"
#include "engine/value_set_walk.hpp"

namespace vorlane {

class ValueSetOrder {
  public:
    // Adds `id` under the value of 96-bit code `code`; false when held.
    bool insert(Key128 code, uint32_t id);
    // Removes `id` from the value's set, dropping an emptied set; false when
    // the pair was not held.
    bool remove(Key128 code, uint32_t id);
    bool contains(Key128 code, uint32_t id) const;
    // Adds entries given in ascending key order, each value's ids in one call.
    void insert_sorted(std::span<const CompositeKey128> entries);

    // Ids whose value code lies in [first_code, last_code], restricted to
    // `mask` (not intersected when `cover` is `All`).
    Bitmap query_codes(Key128 first_code, Key128 last_code, const Bitmap& mask,
                       UniverseCover cover) const;
    // As `BitMapBTree::sorted_ids`: ascending (descending) value, ties by
    // ascending id, NaN left out, the first `offset` passed over (whole sets
    // counted, not listed), at most `limit`. `UniverseCover::All` vouches
    // that the selection holds every id of every set: sets are then read
    // without meeting them with it.
    std::vector<uint32_t> sorted_ids(const Bitmap& selection, size_t limit, bool reverse,
                                     size_t offset = 0,
                                     UniverseCover cover = UniverseCover::Part) const;
    // As `BitMapBTree::min_entry`/`max_entry`: the smallest id of `selection`
    // under the smallest (largest) number, NaN left out.
    std::optional<CompositeKey128> min_entry(const Bitmap& selection) const;
    std::optional<CompositeKey128> max_entry(const Bitmap& selection) const;

    size_t size() const { return size_; }
    size_t distinct() const { return sets_.size(); }
    // The sets' containers: one per value and block of 2^16 ids it holds.
    size_t groups() const;
    size_t memory_usage() const;
    // Calls `f(CompositeKey128)` for every entry in ascending key order.
    template <typename F>
    void for_each_entry(F&& f) const {
        for (const auto& [code, ids] : sets_)
            ids.for_each([&](uint32_t id) { f(CompositeKey128::from_code(code, id)); });
    }
    // Calls `f(code, const Bitmap&)` for every value in ascending order.
    template <typename F>
    void for_each_set(F&& f) const {
        for (const auto& [code, ids] : sets_)
            f(code, ids);
    }
    // Throws `Panic` naming the first broken invariant.
    void validate() const;

  private:
    using Sets = absl::btree_map<Key128, Bitmap>;

    // The values that are numbers (not NaN), in ascending order.
    Sets::const_iterator numbers_begin() const;
    Sets::const_iterator numbers_end() const;
    static BitmapRef own_set(Sets::const_iterator value);

    Sets sets_;
    size_t size_ = 0;
};

}  // namespace vorlane
