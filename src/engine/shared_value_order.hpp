#pragma once
// `SharedValueOrder`: the numbers of one attribute ordered by value, each
// distinct value naming the exact-map entry whose set holds its ids.
//
// The value-set form (`ValueSetOrder`) keeps a set of its own per value,
// while the exact map keeps one per value key. Where the two list the same
// ids, one copy serves both: this form keeps only the value codes in order,
// each with the stored hash of its exact-map key, and reads the sets there.
//
// That holds only while values and keys correspond one to one, which the
// exact map's merging does not promise: it merges keys by hash (1, 1.0 and
// True are one key, so are -1 and -2, whose codes differ), a NaN hashes by
// identity (one code, many keys), and an in-place reduction narrows the sets
// while ranges must still see every object. Its owner (`QueryMap`) keeps the
// correspondence: it changes the sets, tells this order what changed (`added`,
// `removed`), and takes own sets back (see `OrderedNumbers::unshare`) before
// any change that would break it.
//
// Invariants: the hashes are distinct; each names an exact-map entry with a
// non-empty set; every non-empty set of the exact map is named; `size()` is
// the sum of the named sets' sizes. The exact map must outlive this order and
// stay where it is.
//
// No lock of its own; its owner serialises writers against readers.
#include <absl/container/btree_map.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "engine/bitmap.hpp"
#include "engine/exact_map.hpp"
#include "engine/value_order.hpp"
#include "engine/value_set_walk.hpp"

namespace vorlane {

class SharedValueOrder {
  public:
    // Value code -> stored hash of its exact-map key.
    using Codes = absl::btree_map<Key128, int64_t>;

    // `codes` and `exact` must satisfy the invariants above.
    SharedValueOrder(const ExactMap& exact, Codes codes);

    // The hash the value of `code` is listed under, if listed.
    std::optional<int64_t> hash_of(Key128 code) const;
    // Whether the value of `code` may take an id listed under `hash` without
    // breaking the correspondence: the value is listed under that hash, or
    // neither is listed (a key whose set is empty lists nothing).
    bool may_add(Key128 code, int64_t hash) const;
    // The exact map's set of `hash` gained an id, listed under `code`.
    void added(Key128 code, int64_t hash);
    // The set of `code` lost an id; `emptied` when none is left.
    void removed(Key128 code, bool emptied);

    bool contains(Key128 code, uint32_t id) const;
    // As `ValueSetOrder::query_codes`, `sorted_ids`, `min_entry`, `max_entry`.
    Bitmap query_codes(Key128 first_code, Key128 last_code, const Bitmap& mask,
                       UniverseCover cover) const;
    std::vector<uint32_t> sorted_ids(const Bitmap& selection, size_t limit, bool reverse,
                                     size_t offset = 0,
                                     UniverseCover cover = UniverseCover::Part) const;
    std::optional<CompositeKey128> min_entry(const Bitmap& selection) const;
    std::optional<CompositeKey128> max_entry(const Bitmap& selection) const;

    size_t size() const { return size_; }
    size_t distinct() const { return codes_.size(); }
    const Codes& codes() const { return codes_; }
    // The sets' blocks of 2^16 ids, as `ValueSetOrder::groups` counts them.
    size_t groups() const;
    // The codes alone: the sets are the exact map's.
    size_t memory_usage() const;
    template <typename F>
    void for_each_entry(F&& f) const {
        for (const auto& [code, hash] : codes_)
            set_of(hash).for_each([&](uint32_t id) { f(CompositeKey128::from_code(code, id)); });
    }
    // Calls `f(code, const Bitmap&)` for every value in ascending order.
    template <typename F>
    void for_each_set(F&& f) const {
        for (auto it = codes_.begin(); it != codes_.end(); ++it)
            f(it->first, *bitmap_of(it));
    }
    // Throws `Panic` naming the first broken invariant.
    void validate() const;

  private:
    const HybridSet& set_of(int64_t hash) const { return exact_->at(hash); }
    BitmapRef bitmap_of(Codes::const_iterator value) const;
    Codes::const_iterator numbers_begin() const;
    Codes::const_iterator numbers_end() const;

    const ExactMap* exact_;
    Codes codes_;
    size_t size_ = 0;
};

}  // namespace vorlane
