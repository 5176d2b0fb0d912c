#include "engine/facets.hpp"

#include <algorithm>
#include <limits>

namespace vorlane {

namespace {

// Many membership tests against one selection, as counting the inline sets
// of an attribute with many distinct values takes (one or two per value).
// The library's test is two binary searches whose branches mispredict on
// scattered ids; this is one bit test in a plain bit array over the span of
// the selection's ids.
class DenseSelection {
  public:
    explicit DenseSelection(const Bitmap& selection)
        : base_(selection.minimum()), span_(uint64_t{selection.maximum()} - base_ + 1),
          words_((span_ + 63) / 64) {
        selection.for_each([&](uint32_t id) {
            uint64_t offset = id - base_;
            words_[offset / 64] |= uint64_t{1} << (offset % 64);
        });
    }

    bool contains(uint32_t id) const {
        uint64_t offset = uint64_t{id} - base_;  // below the base wraps past the span
        return offset < span_ && (words_[offset / 64] >> (offset % 64) & 1) != 0;
    }

    // Whether the bit array pays for itself over `values` distinct values:
    // it holds no more bytes than the values' map entries do, and costs no
    // more to fill (one step per selected id) than the tests it replaces.
    static bool pays_off(const Bitmap& selection, size_t values) {
        uint64_t span = uint64_t{selection.maximum()} - selection.minimum() + 1;
        return span / 8 <= values * kBytesPerValue &&
               selection.cardinality() <= values * kIdsPerValue;
    }

  private:
    // A map entry is a stored hash and a set: far more than 8 bytes.
    static constexpr uint64_t kBytesPerValue = 8;
    // Filling costs about one cheap step per id; a library test about ten.
    static constexpr uint64_t kIdsPerValue = 8;

    uint32_t base_;
    uint64_t span_;
    std::vector<uint64_t> words_;
};

// The count and first id of one value's set within the selection; a count
// of 0 when the selection holds none of its ids. `contains` tests one id
// against the selection, given as `selection` (every id when null).
template <typename Contains>
ValueCount count_set(int64_t hash, const HybridSet& set, const Bitmap* selection,
                     const Contains& contains) {
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
        if (selection == nullptr || contains(id)) {
            ++out.count;
            out.first_id = std::min(out.first_id, id);
        }
    });
    return out;
}

// Descending count, then ascending first id. One object holds one value of
// an attribute, so first ids differ between values and the order is total.
bool comes_first(const ValueCount& a, const ValueCount& b) {
    return a.count != b.count ? a.count > b.count : a.first_id < b.first_id;
}

template <typename Contains>
std::vector<ValueCount> count_each(const QueryMap& map, const Bitmap* selection,
                                   const Contains& contains) {
    std::vector<ValueCount> counts;
    for (const auto& [hash, set] : map.exact()) {
        ValueCount value = count_set(hash, set, selection, contains);
        if (value.count > 0)
            counts.push_back(value);
    }
    return counts;
}

}  // namespace

std::vector<ValueCount> count_values(const QueryMap& map, const Bitmap* selection,
                                     std::optional<size_t> limit) {
    if (limit == size_t{0} || (selection != nullptr && selection->is_empty()))
        return {};
    std::vector<ValueCount> counts;
    if (selection != nullptr && DenseSelection::pays_off(*selection, map.exact().size())) {
        DenseSelection dense(*selection);
        counts = count_each(map, selection, [&](uint32_t id) { return dense.contains(id); });
    } else {
        counts = count_each(map, selection, [&](uint32_t id) {
            return selection != nullptr && selection->contains(id);
        });
    }
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
