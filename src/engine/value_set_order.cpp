#include "engine/value_set_order.hpp"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <string>

#include "engine/panic.hpp"

namespace vorlane {

namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();

// NaN encodes beyond the infinity of its sign: the numbers are the codes
// from minus to plus infinity.
Key128 lowest_number_code() { return encode_value96(-kInfinity); }
Key128 highest_number_code() { return encode_value96(kInfinity); }

// Ids of a set probed one by one against the selection before the walk
// intersects the two instead: a top-k usually finds its few ids among the
// first it probes, while a selection that misses most of a large set is
// cheaper to meet in one intersection than in a probe per id.
constexpr size_t kProbesPerWantedId = 4;
constexpr size_t kMinProbes = 64;

// Ids from which a new value's set is built whole, container by container,
// rather than added one by one, which costs a container look-up and often a
// reallocation per id (a bulk addition of repeating values makes many such
// sets); fewer cost less added one by one than the whole build's set-up.
constexpr size_t kMinWholeBuild = 256;

// Appends to `out`, ascending, the first `wanted` ids of `set & selection`.
void intersect_into(const Bitmap& set, const Bitmap& selection, size_t wanted,
                    std::vector<uint32_t>& out) {
    size_t start = out.size();
    Bitmap::and_(set, selection).for_each_block_while([&](std::span<const uint32_t> ids) {
        size_t room = wanted - (out.size() - start);
        out.insert(out.end(), ids.begin(), ids.begin() + std::min(room, ids.size()));
        return out.size() - start < wanted;
    });
}

// Appends to `out`, ascending, the first `wanted` ids of `set`.
void take_first(const Bitmap& set, size_t wanted, std::vector<uint32_t>& out) {
    size_t start = out.size();
    set.for_each_block_while([&](std::span<const uint32_t> ids) {
        size_t room = wanted - (out.size() - start);
        out.insert(out.end(), ids.begin(), ids.begin() + std::min(room, ids.size()));
        return out.size() - start < wanted;
    });
}

// Appends to `out`, ascending, at most `wanted` ids of `set` that
// `selection` holds.
void take_selected(const Bitmap& set, const Bitmap& selection, size_t wanted,
                   std::vector<uint32_t>& out) {
    size_t start = out.size();
    size_t budget = wanted > set.cardinality() / kProbesPerWantedId
                        ? set.cardinality()
                        : std::max(kMinProbes, wanted * kProbesPerWantedId);
    if (budget >= set.cardinality()) {
        intersect_into(set, selection, wanted, out);
        return;
    }
    // Small reads: a top-k usually needs only the first few ids.
    constexpr uint32_t kProbeBlock = 32;
    bool exhausted = true;
    set.for_each_block_while<kProbeBlock>([&](std::span<const uint32_t> ids) {
        for (uint32_t id : ids) {
            if (out.size() - start == wanted || budget-- == 0) {
                exhausted = false;
                return false;
            }
            if (selection.contains(id))
                out.push_back(id);
        }
        return true;
    });
    if (out.size() - start == wanted || exhausted)
        return;
    // The probes ran out first: intersect, then take from the start again.
    out.resize(start);
    intersect_into(set, selection, wanted, out);
}

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
    for (auto it = sets_.lower_bound(first_code); it != sets_.end() && it->first <= last_code;
         ++it)
        parts.push_back(&it->second);
    Bitmap result = Bitmap::or_many(parts);
    if (cover == UniverseCover::Part)
        result.and_inplace(mask);
    return result;
}

ValueSetOrder::Sets::const_iterator ValueSetOrder::numbers_begin() const {
    return sets_.lower_bound(lowest_number_code());
}

ValueSetOrder::Sets::const_iterator ValueSetOrder::numbers_end() const {
    return sets_.upper_bound(highest_number_code());
}

std::vector<uint32_t> ValueSetOrder::sorted_ids(const Bitmap& selection, size_t limit,
                                                bool reverse, size_t offset,
                                                UniverseCover cover) const {
    std::vector<uint32_t> out;
    if (limit == 0 || selection.is_empty())
        return out;
    bool whole = cover == UniverseCover::All;
    // The first `wanted` ids of the set that the selection holds.
    auto take = [&](const Bitmap& set, size_t wanted) {
        if (whole)
            take_first(set, wanted, out);
        else
            take_selected(set, selection, wanted, out);
    };
    // A set whose selected ids all lie within what is left to pass over is
    // counted, not listed; the set where the offset ends is listed from its
    // start and the ids before the offset dropped.
    auto visit = [&](const Bitmap& set) {
        if (offset > 0) {
            uint64_t selected = whole ? set.cardinality() : set.and_cardinality(selection);
            if (selected <= offset) {
                offset -= selected;
                return true;
            }
            size_t wanted = limit > SIZE_MAX - offset ? SIZE_MAX : limit + offset;
            take(set, wanted);
            out.erase(out.begin(), out.begin() + static_cast<ptrdiff_t>(offset));
            offset = 0;
            return out.size() < limit;
        }
        take(set, limit - out.size());
        return out.size() < limit;
    };
    if (reverse) {
        for (auto it = numbers_end(), begin = numbers_begin(); it != begin;)
            if (!visit((--it)->second))
                break;
    } else {
        for (auto it = numbers_begin(), end = numbers_end(); it != end; ++it)
            if (!visit(it->second))
                break;
    }
    return out;
}

std::optional<CompositeKey128> ValueSetOrder::min_entry(const Bitmap& selection) const {
    for (auto it = numbers_begin(), end = numbers_end(); it != end; ++it) {
        std::vector<uint32_t> first;
        take_selected(it->second, selection, 1, first);
        if (!first.empty())
            return CompositeKey128::from_code(it->first, first[0]);
    }
    return std::nullopt;
}

std::optional<CompositeKey128> ValueSetOrder::max_entry(const Bitmap& selection) const {
    for (auto it = numbers_end(), begin = numbers_begin(); it != begin;) {
        --it;
        std::vector<uint32_t> first;
        take_selected(it->second, selection, 1, first);
        if (!first.empty())
            return CompositeKey128::from_code(it->first, first[0]);
    }
    return std::nullopt;
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
