#include "engine/facets.hpp"

#include <algorithm>
#include <limits>

namespace vorlane {

namespace {

// The count and first id of one value's set within `selection` (every id
// when null); a count of 0 when the selection holds none of them.
ValueCount count_set(int64_t hash, const HybridSet& set, const Bitmap* selection) {
    ValueCount out{hash, 0, std::numeric_limits<uint32_t>::max()};
    if (const Bitmap* large = set.bitmap_form()) {
        if (selection == nullptr) {
            out.count = large->cardinality();
            out.first_id = large->minimum();
            return out;
        }
        out.count = roaring_bitmap_and_cardinality(large->raw(), selection->raw());
        if (out.count > 0)
            out.first_id = *first_common_id(*large, *selection);
        return out;
    }
    set.for_each([&](uint32_t id) {
        if (selection == nullptr || selection->contains(id)) {
            ++out.count;
            out.first_id = std::min(out.first_id, id);
        }
    });
    return out;
}

bool comes_first(const ValueCount& a, const ValueCount& b) {
    if (a.count != b.count)
        return a.count > b.count;
    return a.first_id < b.first_id;
}

}  // namespace

std::vector<ValueCount> count_values(const QueryMap& map, const Bitmap* selection,
                                     std::optional<size_t> limit) {
    std::vector<ValueCount> counts;
    if (limit == size_t{0} || (selection != nullptr && selection->is_empty()))
        return counts;
    for (const auto& [hash, set] : map.exact()) {
        ValueCount value = count_set(hash, set, selection);
        if (value.count > 0)
            counts.push_back(value);
    }
    // One object holds one value of an attribute, so first ids differ
    // between values and the order is total.
    if (limit && *limit < counts.size()) {
        std::partial_sort(counts.begin(), counts.begin() + static_cast<ptrdiff_t>(*limit),
                          counts.end(), comes_first);
        counts.resize(*limit);
    } else {
        std::sort(counts.begin(), counts.end(), comes_first);
    }
    return counts;
}

std::optional<uint32_t> first_common_id(const Bitmap& a, const Bitmap& b) {
    // Each iterator leaps to the other's current id, skipping whole
    // containers, so sparse overlaps cost a few steps, not a scan.
    roaring_uint32_iterator_t ia;
    roaring_uint32_iterator_t ib;
    roaring_init_iterator(a.raw(), &ia);
    roaring_init_iterator(b.raw(), &ib);
    while (ia.has_value && ib.has_value) {
        if (ia.current_value == ib.current_value)
            return ia.current_value;
        if (ia.current_value < ib.current_value) {
            roaring_move_uint32_iterator_equalorlarger(&ia, ib.current_value);
        } else {
            roaring_move_uint32_iterator_equalorlarger(&ib, ia.current_value);
        }
    }
    return std::nullopt;
}

}  // namespace vorlane
