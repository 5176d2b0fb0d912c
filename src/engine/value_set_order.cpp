#include "engine/value_set_order.hpp"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <string>

#include "engine/panic.hpp"
#include "engine/value_set_walk.hpp"

namespace vorlane {

namespace {

// Ids from which a new value's set is built whole, container by container,
// rather than added one by one, which costs a container look-up and often a
// reallocation per id (a bulk addition of repeating values makes many such
// sets); fewer cost less added one by one than the whole build's set-up.
constexpr size_t kMinWholeBuild = 256;

void check(bool ok, const char* what) {
    if (!ok)
        panic(std::string("ValueSetOrder invariant broken: ") + what);
}

}  // namespace

bool ValueSetOrder::insert(Key128 code, uint32_t id) {
    bool added = sets_[code].add_checked(id);
    size_ += added;
    return added;
}

bool ValueSetOrder::remove(Key128 code, uint32_t id) {
    auto it = sets_.find(code);
    if (it == sets_.end() || !it->second.contains(id))
        return false;
    it->second.remove(id);
    if (it->second.is_empty())
        sets_.erase(it);
    --size_;
    return true;
}

bool ValueSetOrder::contains(Key128 code, uint32_t id) const {
    auto it = sets_.find(code);
    return it != sets_.end() && it->second.contains(id);
}

void ValueSetOrder::insert_sorted(std::span<const CompositeKey128> entries) {
    std::vector<uint32_t> ids;
    for (size_t i = 0; i < entries.size();) {
        Key128 code = entries[i].value_code();
        ids.clear();
        for (; i < entries.size() && entries[i].value_code() == code; ++i)
            ids.push_back(entries[i].id());
        Bitmap& set = sets_[code];
        uint64_t before = set.cardinality();
        if (before == 0 && ids.size() >= kMinWholeBuild)
            set = Bitmap::of_unsorted(ids);
        else
            set.add_many(ids);
        size_ += set.cardinality() - before;
    }
}

Bitmap ValueSetOrder::query_codes(Key128 first_code, Key128 last_code, const Bitmap& mask,
                                  UniverseCover cover) const {
    if (first_code > last_code || mask.is_empty())
        return Bitmap();
    std::vector<const Bitmap*> parts;
    for (auto it = sets_.lower_bound(first_code); it != sets_.end() && it->first <= last_code; ++it)
        parts.push_back(&it->second);
    Bitmap result = Bitmap::or_many(parts);
    if (cover == UniverseCover::Part)
        result.and_inplace(mask);
    return result;
}

ValueSetOrder::Sets::const_iterator ValueSetOrder::numbers_begin() const {
    return sets_.lower_bound(negative_infinity_code());
}

ValueSetOrder::Sets::const_iterator ValueSetOrder::numbers_end() const {
    return sets_.upper_bound(positive_infinity_code());
}

BitmapRef ValueSetOrder::own_set(Sets::const_iterator value) {
    return BitmapRef(value->second);
}

std::vector<uint32_t> ValueSetOrder::sorted_ids(const Bitmap& selection, size_t limit, bool reverse,
                                                size_t offset, UniverseCover cover) const {
    return sorted_ids_of_sets(numbers_begin(), numbers_end(), own_set, selection, limit, reverse,
                              offset, cover);
}

std::optional<CompositeKey128> ValueSetOrder::min_entry(const Bitmap& selection) const {
    return first_selected_entry(numbers_begin(), numbers_end(), own_set, selection, false);
}

std::optional<CompositeKey128> ValueSetOrder::max_entry(const Bitmap& selection) const {
    return first_selected_entry(numbers_begin(), numbers_end(), own_set, selection, true);
}

size_t ValueSetOrder::groups() const {
    size_t total = 0;
    for (const auto& [code, ids] : sets_)
        total += ids.container_count();
    return total;
}

size_t ValueSetOrder::memory_usage() const {
    // The map's nodes are not reported by the library: count each slot as
    // what it holds, plus the third of a node that a B-tree leaves free on
    // average.
    size_t bytes = sets_.size() * sizeof(Sets::value_type) * 4 / 3;
    for (const auto& [code, ids] : sets_)
        bytes += ids.heap_bytes();
    return bytes;
}

void ValueSetOrder::validate() const {
    size_t total = 0;
    Bitmap seen;
    for (const auto& [code, ids] : sets_) {
        check(!ids.is_empty(), "an empty set is kept");
        check(code >> 96 == 0, "a value code is wider than 96 bits");
        check(!seen.intersects(ids), "an id sits under two values");
        seen.or_inplace(ids);
        total += ids.cardinality();
    }
    check(total == size_, "the size is not the sum of the sets");
}

}  // namespace vorlane
