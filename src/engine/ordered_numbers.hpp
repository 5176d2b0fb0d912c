#pragma once
// `OrderedNumbers`: the (number, id) entries of one attribute in value order,
// held in the form that suits how its values repeat.
//
// - `BitMapBTree`, one entry per id, where values are mostly distinct
//   (prices, timestamps, sizes);
// - `ValueSetOrder`, one set of ids per distinct value, where they repeat
//   (months, quantities, flags): a fraction of the tree's bytes, and ranges,
//   top-k and bounds that walk values instead of entries.
//
// Both forms hold exactly the same entries and answer every query the same
// way; only memory and speed differ. What a set costs depends on how its ids
// cluster: a bitmap pays a container for every block of 2^16 ids it meets,
// so a value held by 30 objects scattered over the id space costs far more
// as a set than as 30 tree entries. The content is therefore measured in
// groups: the (value, block of 2^16 ids) pairs, one container each in the
// set form. There are at least as many groups as distinct values.
//
// The form follows the content with hysteresis, so that assignments near a
// threshold do not convert back and forth: the sets are taken once each
// group holds `kEnterRepeats` entries on average and left once values, or
// groups, hold fewer than `kLeaveRepeats`. The set form knows its distinct
// values at every change; groups are counted, in either form, in one pass
// once the entries changed by half since the last count, which costs each
// change a constant share of a pass.
//
// A third form, `SharedValueOrder`, is the value-set form whose sets are the
// exact map's (see there): its owner (`QueryMap`) takes it with `share` and
// changes it through `shared_added` and `shared_removed` only, and gives it up
// with `unshare` before anything else changes the entries.
//
// No lock of its own; its owner serialises writers against readers.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <variant>
#include <vector>

#include "engine/bitmap.hpp"
#include "engine/ranged_b_tree.hpp"
#include "engine/shared_value_order.hpp"
#include "engine/value_set_order.hpp"

namespace vorlane {

class OrderedNumbers {
  public:
    // Below this many entries the tree is kept: a leaf or two of entries
    // costs less than a set per value, and small attributes gain nothing.
    static constexpr size_t kMinSetEntries = 1024;
    // Average entries per group at which the sets are taken: a group's
    // container (and, for its value, a map slot and a bitmap header) cost
    // about what 16 tree entries do.
    static constexpr size_t kEnterRepeats = 16;
    // Average at which they are left: a quarter of the entering one.
    static constexpr size_t kLeaveRepeats = 4;
    // Changes between two counts of the tree's distinct values, at least.
    static constexpr size_t kMinChangesPerCount = 4096;

    // Inserting a pair already held changes nothing.
    void insert(NumericValue value, uint32_t id);
    // Entries in ascending key order; an empty holder takes the form that
    // suits them in one pass.
    void insert_sorted(std::span<const CompositeKey128> entries);
    // True when the entry was held and removed.
    bool remove(NumericValue value, uint32_t id);
    bool contains(NumericValue value, uint32_t id) const;
    // As `remove(old_value)` then `insert(new_value)`.
    MoveOutcome move(NumericValue old_value, NumericValue new_value, uint32_t id);
    // Cache hints for a `move` or a removal; only the tree form has routes.
    void prefetch_move(NumericValue old_value, NumericValue new_value, uint32_t id) const;
    std::optional<RoutePrefetch> route(NumericValue value, uint32_t id) const;

    // See `BitMapBTree::query_range`.
    Bitmap query_range(const Bound& lower, const Bound& upper, const Bitmap& mask,
                       UniverseCover cover = UniverseCover::Part) const;
    // See `BitMapBTree::list_range`; the value sets give a bitmap.
    IdsOfRange list_range(const Bound& lower, const Bound& upper, const Bitmap& all) const;
    // See `BitMapBTree::sorted_ids`.
    std::vector<uint32_t> sorted_ids(const Bitmap& selection, std::optional<size_t> limit,
                                     bool reverse, size_t offset = 0,
                                     UniverseCover cover = UniverseCover::Part) const;
    // See `BitMapBTree::min_entry` and `max_entry`.
    std::optional<CompositeKey128> min_entry(const Bitmap& selection) const;
    std::optional<CompositeKey128> max_entry(const Bitmap& selection) const;

    size_t size() const;
    bool empty() const { return size() == 0; }
    size_t memory_usage() const;
    // Whether the entries are held as one set per value, own or shared.
    bool holds_value_sets() const { return !std::holds_alternative<BitMapBTree>(form_); }
    // Whether the sets are the exact map's.
    bool holds_shared_sets() const { return std::holds_alternative<SharedValueOrder>(form_); }
    const SharedValueOrder& shared() const { return std::get<SharedValueOrder>(form_); }

    // Takes the exact map's sets as the value sets, when values repeat enough
    // for one set per value (counted by distinct values: shared sets cost no
    // container of their own): `codes` names, for each value, the key of
    // `exact` whose set holds exactly the value's ids, and every non-empty set
    // of `exact` is named (see `SharedValueOrder`). False, with nothing
    // changed, when they do not repeat enough.
    bool take_shared(const ExactMap& exact, const SharedValueOrder::Codes& codes,
                     std::vector<SharedValueOrder::OwnSet> own);
    // Whether `entries` under `distinct_or_groups` repeat enough for the
    // tree to give way to sets. Also asked before a batch goes into an empty
    // map, with its keys (no more than its numbers) and its pairs (no fewer
    // than its entries): false lets mostly distinct numbers skip being named
    // for the exact map's sets, which they could not take.
    static bool repeats_enough_to_enter(size_t distinct_or_groups, size_t entries) {
        return entries >= kMinSetEntries && distinct_or_groups * kEnterRepeats <= entries;
    }
    // Shared sets become own sets again, copied from the exact map; any other
    // form stays as it is.
    void unshare();
    // The shared form's changes (see `SharedValueOrder`): before the exact
    // map's set of `hash` may gain an id for the value of `code`; after it
    // did; after the value lost `id` with its key (`key_emptied` when the
    // key's set is empty).
    SharedValueOrder::Listing prepare_shared_add(Key128 code, int64_t hash);
    void shared_added(Key128 code, int64_t hash, uint32_t id, SharedValueOrder::Listing how);
    void shared_removed(Key128 code, uint32_t id, bool key_emptied);
    // Calls `f(CompositeKey128)` for every entry in ascending key order.
    template <typename F>
    void for_each_entry(F&& f) const {
        std::visit([&](const auto& form) { form.for_each_entry(f); }, form_);
    }
    // Calls `f(form)` with the form the entries are held in, a
    // `BitMapBTree` or a `ValueSetOrder`, for a walk that suits each.
    template <typename F>
    decltype(auto) visit_form(F&& f) const {
        return std::visit(std::forward<F>(f), form_);
    }
    // Throws `Panic` naming the first broken invariant, the form's own or a
    // form that its content no longer allows.
    void validate() const;

  private:
    // Counts a change and takes the other form when the content calls for it.
    void after_change(size_t changes = 1);
    // Whether the changes since the last count call for a new one.
    bool count_due(size_t changes);
    // The form the content calls for, from the current one, given its
    // distinct values or its groups (a group count passes the test only
    // where the distinct count does).
    bool wants_value_sets(size_t distinct_or_groups) const {
        return wants_value_sets(distinct_or_groups, size());
    }
    bool wants_value_sets(size_t distinct_or_groups, size_t entries) const;
    void convert_to_value_sets();
    void convert_to_tree();
    size_t tree_groups() const;
    // Of a value-set form: its distinct values, or its groups when `groups`.
    size_t set_count(bool groups) const;
    std::vector<CompositeKey128> entries() const;

    // The form that `insert`, `remove` and `move` change: not the shared one.
    BitMapBTree* tree_form();
    ValueSetOrder* own_sets();

    std::variant<BitMapBTree, ValueSetOrder, SharedValueOrder> form_;
    size_t changes_since_count_ = 0;
};

}  // namespace vorlane
