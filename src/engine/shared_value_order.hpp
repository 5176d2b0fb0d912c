#pragma once
// `SharedValueOrder`: the numbers of one attribute ordered by value, each
// distinct value naming the exact-map entry whose set holds its ids.
//
// The value-set form (`ValueSetOrder`) keeps a set of its own per value,
// while the exact map keeps one per value key. Where the two list the same
// ids, one copy serves both: this form keeps only the value codes in order,
// each with the stored hash of its exact-map key, and reads the sets there.
//
// That holds where values and keys correspond one to one, which the exact
// map's merging does not promise: it merges keys by hash (1, 1.0 and True are
// one key, so are -1 and -2, whose codes differ), a NaN hashes by identity
// (one code, many keys), and an in-place reduction narrows the sets while
// ranges must still see every object. A key that lists several numbers (-1
// and -2) is "merged": each of its numbers keeps a set of its own here. Its
// owner (`QueryMap`) keeps the correspondence: it changes the exact map's
// sets, tells this order what changed (`prepare_add`, `added`, `removed`), and
// takes own sets back for every value (see `OrderedNumbers::unshare`) before
// any change this order cannot follow (a non-number, a value under two keys).
//
// Invariants: each value is listed under one key (its stored hash); the keys
// of values without own sets are distinct, not merged, and their exact-map
// sets non-empty; the own sets are non-empty, and a merged key's set is the
// union of its values' own sets; every non-empty set of the exact map is
// listed; `size()` is the sum of the values' sizes. The exact map must
// outlive this order and stay where it is.
//
// No lock of its own; its owner serialises writers against readers.
#include <absl/container/btree_map.h>

#include <absl/container/flat_hash_map.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "engine/bitmap.hpp"
#include "engine/exact_map.hpp"
#include "engine/value_order.hpp"
#include "engine/value_set_walk.hpp"

namespace vorlane {

class SharedValueOrder {
  public:
    // Value code -> stored hash of its exact-map key, for the values whose
    // set is the key's.
    using Codes = absl::btree_map<Key128, int64_t>;
    // A value of a merged key, with its own ids.
    struct OwnSet {
        Key128 code;
        int64_t hash;
        Bitmap ids;
    };

    // `codes`, `own` and `exact` must satisfy the invariants above.
    SharedValueOrder(const ExactMap& exact, const Codes& codes, std::vector<OwnSet> own = {});

    // How the value of `code` takes an id listed under a key: in the key's
    // set, in its own set, or not at all (it would be under two keys).
    enum class Listing : uint8_t { Shared, Own, Refused };
    // Called before the exact map's set of `hash` may gain an id for the
    // value of `code`. A key that lists another number becomes merged here,
    // its number taking a copy of the key's set as its own.
    Listing prepare_add(Key128 code, int64_t hash);
    // The exact map's set of `hash` gained `id` for the value of `code`.
    void added(Key128 code, int64_t hash, uint32_t id, Listing how);
    // Whether the value of `code` is listed under `hash` and holds `id`
    // exactly when that key's set does (`in_set`): a removal then changes
    // both alike.
    bool lists_alike(Key128 code, int64_t hash, uint32_t id, bool in_set) const;
    // The value of `code` lost `id`, which the key's set lost too;
    // `key_emptied` when that set is now empty.
    void removed(Key128 code, uint32_t id, bool key_emptied);
    // The values that share their key's set, when no key is merged.
    std::optional<Codes> codes() const;

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
    size_t distinct() const { return values_.size(); }
    // The sets' blocks of 2^16 ids, as `ValueSetOrder::groups` counts them.
    size_t groups() const;
    // The codes alone: the sets are the exact map's.
    size_t memory_usage() const;
    template <typename F>
    void for_each_entry(F&& f) const {
        for (const auto& [code, value] : values_) {
            auto entry = [&](uint32_t id) { f(CompositeKey128::from_code(code, id)); };
            if (value.own)
                value.own->for_each(entry);
            else
                set_of(value.hash).for_each(entry);
        }
    }
    // Calls `f(code, const Bitmap&)` for every value in ascending order.
    template <typename F>
    void for_each_set(F&& f) const {
        for (auto it = values_.begin(); it != values_.end(); ++it)
            f(it->first, *bitmap_of(it));
    }
    // Throws `Panic` naming the first broken invariant.
    void validate() const;

  private:
    struct Value {
        int64_t hash;                 // of the key the value's ids are under
        std::unique_ptr<Bitmap> own;  // its own ids, when that key is merged
    };
    using Values = absl::btree_map<Key128, Value>;

    const HybridSet& set_of(int64_t hash) const { return exact_->at(hash); }
    BitmapRef bitmap_of(Values::const_iterator value) const;
    Values::const_iterator numbers_begin() const;
    Values::const_iterator numbers_end() const;
    // The value's set becomes its own: a copy of its key's.
    void take_own(Value& value);

    const ExactMap* exact_;
    Values values_;
    // Merged keys -> how many values they list.
    absl::flat_hash_map<int64_t, uint32_t> merged_;
    size_t size_ = 0;
};

}  // namespace vorlane
