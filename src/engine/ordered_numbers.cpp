#include "engine/ordered_numbers.hpp"

#include <algorithm>
#include <limits>

#include "engine/panic.hpp"

namespace vorlane {

namespace {

// The value codes [first, last] of the keys a range admits: bounds compare
// by value alone, so a key range covers whole values.
struct CodeInterval {
    Key128 first;
    Key128 last;
};

std::optional<CodeInterval> code_interval(const Bound& lower, const Bound& upper) {
    KeyRange range = KeyRange::from_bounds(lower, upper);
    if (range.empty)
        return std::nullopt;
    return CodeInterval{range.first >> 32, range.last >> 32};
}

// Whether two entries fall in one group: the same value, and ids in the same
// block of 2^16 (one container of the value's set).
constexpr int kBlockShift = 16;
bool same_group(const CompositeKey128& a, const CompositeKey128& b) {
    return a.value_code() == b.value_code() && (a.id() >> kBlockShift) == (b.id() >> kBlockShift);
}

// A tree or value sets holding `entries`, given in ascending key order.
template <typename Form>
Form form_of(const std::vector<CompositeKey128>& entries) {
    Form form;
    form.insert_sorted(entries);
    return form;
}

}  // namespace

BitMapBTree* OrderedNumbers::tree_form() {
    if (holds_shared_sets())
        panic("OrderedNumbers: shared value sets changed directly");
    return std::get_if<BitMapBTree>(&form_);
}

ValueSetOrder* OrderedNumbers::own_sets() {
    if (holds_shared_sets())
        panic("OrderedNumbers: shared value sets changed directly");
    return std::get_if<ValueSetOrder>(&form_);
}

void OrderedNumbers::insert(NumericValue value, uint32_t id) {
    if (auto* sets = own_sets()) {
        if (sets->insert(encode_value96(value), id))
            after_change();
        return;
    }
    BitMapBTree& tree = *tree_form();
    size_t before = tree.size();
    tree.insert(value, id);
    if (tree.size() != before)
        after_change();
}

void OrderedNumbers::insert_sorted(std::span<const CompositeKey128> entries) {
    if (entries.empty())
        return;
    // An empty holder chooses its form from the entries themselves: no count
    // is due after them.
    tree_form();  // not shared
    bool fresh = empty();
    if (fresh) {
        size_t groups = 1;
        for (size_t i = 1; i < entries.size(); ++i)
            groups += !same_group(entries[i], entries[i - 1]);
        bool sets = entries.size() >= kMinSetEntries && groups * kEnterRepeats <= entries.size();
        if (sets)
            form_.emplace<ValueSetOrder>();
        else
            form_.emplace<BitMapBTree>();
        changes_since_count_ = 0;
    }
    if (auto* sets = own_sets())
        sets->insert_sorted(entries);
    else
        tree_form()->insert_sorted(entries);
    if (!fresh)
        after_change(entries.size());
}

bool OrderedNumbers::remove(NumericValue value, uint32_t id) {
    ValueSetOrder* sets = own_sets();
    bool removed =
        sets != nullptr ? sets->remove(encode_value96(value), id) : tree_form()->remove(value, id);
    if (removed)
        after_change();
    return removed;
}

bool OrderedNumbers::contains(NumericValue value, uint32_t id) const {
    if (const auto* tree = std::get_if<BitMapBTree>(&form_))
        return tree->contains(value, id);
    return std::visit(
        [&](const auto& form) {
            if constexpr (std::is_same_v<std::decay_t<decltype(form)>, BitMapBTree>)
                return false;
            else
                return form.contains(encode_value96(value), id);
        },
        form_);
}

MoveOutcome OrderedNumbers::move(NumericValue old_value, NumericValue new_value, uint32_t id) {
    MoveOutcome outcome{};
    if (auto* sets = own_sets()) {
        outcome.removed = sets->remove(encode_value96(old_value), id);
        outcome.inserted = sets->insert(encode_value96(new_value), id);
    } else {
        outcome = tree_form()->move(old_value, new_value, id);
    }
    if (outcome.removed || outcome.inserted)
        after_change();
    return outcome;
}

void OrderedNumbers::prefetch_move(NumericValue old_value, NumericValue new_value,
                                   uint32_t id) const {
    if (const auto* tree = std::get_if<BitMapBTree>(&form_))
        tree->prefetch_move(old_value, new_value, id);
}

std::optional<RoutePrefetch> OrderedNumbers::route(NumericValue value, uint32_t id) const {
    if (const auto* tree = std::get_if<BitMapBTree>(&form_))
        return tree->route(value, id);
    return std::nullopt;
}

Bitmap OrderedNumbers::query_range(const Bound& lower, const Bound& upper, const Bitmap& mask,
                                   UniverseCover cover) const {
    if (const auto* tree = std::get_if<BitMapBTree>(&form_))
        return tree->query_range(lower, upper, mask, cover);
    std::optional<CodeInterval> interval = code_interval(lower, upper);
    if (!interval)
        return Bitmap();
    return std::visit(
        [&](const auto& form) {
            if constexpr (std::is_same_v<std::decay_t<decltype(form)>, BitMapBTree>)
                return Bitmap();  // answered above
            else
                return form.query_codes(interval->first, interval->last, mask, cover);
        },
        form_);
}

IdsOfRange OrderedNumbers::list_range(const Bound& lower, const Bound& upper,
                                      const Bitmap& all) const {
    if (const auto* tree = std::get_if<BitMapBTree>(&form_))
        return tree->list_range(lower, upper, all);
    return query_range(lower, upper, all, UniverseCover::All);
}

std::vector<uint32_t> OrderedNumbers::sorted_ids(const Bitmap& selection,
                                                 std::optional<size_t> limit, bool reverse,
                                                 size_t offset, UniverseCover cover) const {
    if (const auto* tree = std::get_if<BitMapBTree>(&form_))
        return tree->sorted_ids(selection, limit, reverse, offset, cover);
    size_t cap = limit.value_or(std::numeric_limits<size_t>::max());
    return std::visit(
        [&](const auto& form) {
            if constexpr (std::is_same_v<std::decay_t<decltype(form)>, BitMapBTree>)
                return std::vector<uint32_t>();  // answered above
            else
                return form.sorted_ids(selection, cap, reverse, offset, cover);
        },
        form_);
}

std::optional<CompositeKey128> OrderedNumbers::min_entry(const Bitmap& selection) const {
    return std::visit([&](const auto& form) { return form.min_entry(selection); }, form_);
}

std::optional<CompositeKey128> OrderedNumbers::max_entry(const Bitmap& selection) const {
    return std::visit([&](const auto& form) { return form.max_entry(selection); }, form_);
}

size_t OrderedNumbers::size() const {
    return std::visit([](const auto& form) { return form.size(); }, form_);
}

size_t OrderedNumbers::memory_usage() const {
    return std::visit([](const auto& form) { return form.memory_usage(); }, form_);
}

bool OrderedNumbers::wants_value_sets(size_t distinct_or_groups, size_t entries) const {
    if (holds_value_sets())
        return entries >= kMinSetEntries / 2 && distinct_or_groups * kLeaveRepeats <= entries;
    return repeats_enough_to_enter(distinct_or_groups, entries);
}

bool OrderedNumbers::count_due(size_t changes) {
    changes_since_count_ += changes;
    if (changes_since_count_ < std::max(kMinChangesPerCount, size() / 2))
        return false;
    changes_since_count_ = 0;
    return true;
}

void OrderedNumbers::after_change(size_t changes) {
    if (holds_value_sets()) {
        // Shared sets are the exact map's whatever their form: only own sets
        // pay for their groups.
        if (!wants_value_sets(set_count(false)) ||
            (count_due(changes) && !holds_shared_sets() && !wants_value_sets(set_count(true))))
            convert_to_tree();
        return;
    }
    if (size() >= kMinSetEntries && count_due(changes) && wants_value_sets(tree_groups()))
        convert_to_value_sets();
}

size_t OrderedNumbers::tree_groups() const {
    size_t groups = 0;
    std::optional<CompositeKey128> last;
    std::get<BitMapBTree>(form_).for_each_entry([&](CompositeKey128 entry) {
        groups += !last || !same_group(entry, *last);
        last = entry;
    });
    return groups;
}

std::vector<CompositeKey128> OrderedNumbers::entries() const {
    std::vector<CompositeKey128> all;
    all.reserve(size());
    for_each_entry([&](CompositeKey128 entry) { all.push_back(entry); });
    return all;
}

void OrderedNumbers::convert_to_value_sets() {
    form_ = form_of<ValueSetOrder>(entries());
    changes_since_count_ = 0;
}

void OrderedNumbers::convert_to_tree() {
    form_ = form_of<BitMapBTree>(entries());
    changes_since_count_ = 0;
}

bool OrderedNumbers::take_shared(const ExactMap& exact, const SharedValueOrder::Codes& codes,
                                 std::vector<SharedValueOrder::OwnSet> own) {
    SharedValueOrder shared(exact, codes, std::move(own));
    if (!wants_value_sets(shared.distinct(), shared.size()))
        return false;
    form_ = std::move(shared);
    changes_since_count_ = 0;
    return true;
}

void OrderedNumbers::unshare() {
    if (!holds_shared_sets())
        return;
    std::vector<CompositeKey128> all = entries();
    ValueSetOrder sets;
    sets.insert_sorted(all);
    form_ = std::move(sets);
}

SharedValueOrder::Listing OrderedNumbers::prepare_shared_add(Key128 code, int64_t hash) {
    return std::get<SharedValueOrder>(form_).prepare_add(code, hash);
}

void OrderedNumbers::shared_added(Key128 code, int64_t hash, uint32_t id,
                                  SharedValueOrder::Listing how) {
    std::get<SharedValueOrder>(form_).added(code, hash, id, how);
    after_change();
}

void OrderedNumbers::shared_removed(Key128 code, uint32_t id, bool key_emptied) {
    std::get<SharedValueOrder>(form_).removed(code, id, key_emptied);
    after_change();
}

size_t OrderedNumbers::set_count(bool groups) const {
    return std::visit(
        [&](const auto& form) -> size_t {
            if constexpr (std::is_same_v<std::decay_t<decltype(form)>, BitMapBTree>)
                return 0;
            else
                return groups ? form.groups() : form.distinct();
        },
        form_);
}

void OrderedNumbers::validate() const {
    std::visit([](const auto& form) { form.validate(); }, form_);
    if (holds_value_sets() && !wants_value_sets(set_count(false)))
        panic("OrderedNumbers invariant broken: value sets kept for values that rarely repeat");
}

}  // namespace vorlane
