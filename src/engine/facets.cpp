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
        : base_(selection.minimum()),
          span_(uint64_t{selection.maximum()} - base_ + 1),
          words_((span_ + 63) / 64) {
        selection.for_each([&](uint32_t id) {
            uint64_t offset = id - base_;
            words_[offset / 64] |= uint64_t{1} << (offset % 64);
        });
    }

    bool contains(uint32_t id) const {
        uint64_t offset = uint64_t{id} - base_;  // below the base wraps past the span
        return offset < span_ && (words_[offset / 64] >> (offset % 64) & uint64_t{1}) != 0;
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

// The selection the counts are taken within, and its bit array when one
// was made.
struct Within {
    const Bitmap* selection;  // null: every id
    const DenseSelection* dense;

    bool contains(uint32_t id) const {
        if (selection == nullptr)
            return true;
        return dense ? dense->contains(id) : selection->contains(id);
    }
};

// Bitmap sets up to this size are tested id by id against a bit array of
// the selection: their ids lie scattered over many of the library's
// containers, each met by a search in an intersection.
constexpr uint64_t kTestedIdsPerSet = 64;

// The count and first id of one value's set within the selection; a count
// of 0 when the selection holds none of its ids.
ValueCount count_set(int64_t hash, const HybridSet& set, const Within& within) {
    ValueCount out{hash, 0, std::numeric_limits<uint32_t>::max(), &set};
    auto test = [&](uint32_t id) {
        if (within.contains(id)) {
            ++out.count;
            out.first_id = std::min(out.first_id, id);
        }
    };
    const Bitmap* large = set.bitmap_form();
    if (large == nullptr) {
        set.for_each(test);
        return out;
    }
    if (within.selection == nullptr) {
        // Both kept beside the bitmap: its containers are not read.
        out.count = set.len();
        out.first_id = set.min_id();
    } else if (within.dense != nullptr && large->cardinality() <= kTestedIdsPerSet) {
        large->for_each(test);
    } else {
        out.count = large->and_cardinality(*within.selection);
        if (out.count > 0)
            out.first_id = first_common_id(*large, *within.selection).value_or(out.first_id);
    }
    return out;
}

// The set of the value held by most ids, when every id of the universe is
// listed under one value: the selected ids the other sets leave are then
// exactly its own, and its count costs no intersection. An attribute every
// object holds, and whose values are few, is worth the extra pass over the
// sets' sizes; one value held by most objects (a flag, a status) is the
// bulk of the work saved.
struct LargestSet {
    int64_t hash;
    const HybridSet* set;

    // Values up to which the extra pass is taken; beyond, the largest set
    // is a small part of the work.
    static constexpr size_t kUpToValues = 1024;

    static std::optional<LargestSet> when_all_listed(const QueryMap& map, uint64_t universe) {
        if (map.exact().size() > kUpToValues)
            return std::nullopt;
        std::optional<LargestSet> largest;
        uint64_t listed = 0;
        uint64_t most = 0;
        for (const auto& [hash, set] : map.exact()) {
            uint64_t size = set.len();
            listed += size;
            if (size > most) {
                most = size;
                largest = LargestSet{hash, &set};
            }
        }
        // Sets of one attribute are disjoint and within the universe, so
        // listing as many ids as it holds lists each of its ids.
        if (listed != universe)
            return std::nullopt;
        return largest;
    }

    // Its count within `selection` (a part of the universe), given the
    // selected ids the other sets left. A count it cannot hold means the
    // sets broke the rule above: then it is counted as the others were.
    ValueCount count(uint64_t left, const Bitmap& selection) const {
        ValueCount out{hash, left, std::numeric_limits<uint32_t>::max(), set};
        if (left == 0)
            return out;
        const Bitmap* large = set->bitmap_form();
        std::optional<uint32_t> first =
            large ? first_common_id(*large, selection)
                  : first_accepted(*set, [&](uint32_t id) { return selection.contains(id); });
        if (left > set->len() || !first)
            return count_set(hash, *set, Within{&selection, nullptr});
        out.first_id = *first;
        return out;
    }
};

// Descending count, then ascending first id. One object holds one value of
// an attribute, so first ids differ between values and the order is total.
bool comes_first(const ValueCount& a, const ValueCount& b) {
    return a.count != b.count ? a.count > b.count : a.first_id < b.first_id;
}

}  // namespace

std::vector<ValueCount> count_values(const QueryMap& map, const Bitmap* selection,
                                     std::optional<uint64_t> universe,
                                     std::optional<size_t> limit) {
    if (limit == size_t{0} || (selection != nullptr && selection->is_empty()))
        return {};
    std::optional<DenseSelection> dense;
    if (selection != nullptr && DenseSelection::pays_off(*selection, map.exact().size()))
        dense.emplace(*selection);
    Within within{selection, dense ? &*dense : nullptr};
    std::optional<LargestSet> largest;
    if (selection != nullptr && universe)
        largest = LargestSet::when_all_listed(map, *universe);
    std::vector<ValueCount> counts;
    counts.reserve(map.exact().size());
    uint64_t counted = 0;
    for (const auto& [hash, set] : map.exact()) {
        if (largest && &set == largest->set)
            continue;
        ValueCount value = count_set(hash, set, within);
        counted += value.count;
        if (value.count > 0)
            counts.push_back(value);
    }
    if (largest) {
        ValueCount value = largest->count(selection->cardinality() - counted, *selection);
        if (value.count > 0)
            counts.push_back(value);
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

ValueCount count_within(int64_t hash, const HybridSet& set, const Bitmap& selection) {
    return count_set(hash, set, Within{&selection, nullptr});
}

std::optional<uint32_t> first_common_id(const Bitmap& a, const Bitmap& b) {
    // Each iterator leaps to the other's current id, skipping whole
    // containers, so sparse overlaps cost a few steps, not a scan.
    Bitmap::Cursor ia(a);
    Bitmap::Cursor ib(b);
    while (ia.has_value() && ib.has_value()) {
        if (ia.current() == ib.current())
            return ia.current();
        if (ia.current() < ib.current()) {
            ia.move_to(ib.current());
        } else {
            ib.move_to(ia.current());
        }
    }
    return std::nullopt;
}

}  // namespace vorlane
