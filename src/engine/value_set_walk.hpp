#pragma once
// Walks in value order over one set of ids per distinct value: the reads that
// the value-set forms of an ordered attribute share (`ValueSetOrder`, whose
// sets are its own, and `SharedValueOrder`, whose sets are the exact map's).
//
// A walk takes the values as a range of map iterators (`it->first` the value
// code) and `set_of(it)`, the value's ids as a `BitmapRef`.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "engine/bitmap.hpp"
#include "engine/value_order.hpp"

namespace vorlane {

// A value's ids as a bitmap: one the set holds, or a copy made of a set held
// in another form. Neither copied nor moved: it may point into itself.
class BitmapRef {
  public:
    explicit BitmapRef(const Bitmap& held) : bitmap_(&held) {}
    explicit BitmapRef(Bitmap&& made) : made_(std::move(made)) { bitmap_ = &*made_; }
    BitmapRef(const BitmapRef&) = delete;
    BitmapRef& operator=(const BitmapRef&) = delete;
    const Bitmap& operator*() const { return *bitmap_; }
    const Bitmap* operator->() const { return bitmap_; }

  private:
    std::optional<Bitmap> made_;
    const Bitmap* bitmap_ = nullptr;
};

// Appends to `out`, ascending, the first `wanted` ids of `set` that
// `selection` holds.
void take_selected(const Bitmap& set, const Bitmap& selection, size_t wanted,
                   std::vector<uint32_t>& out);

// As `BitMapBTree::sorted_ids` over the values [begin, end): ascending
// (descending when `reverse`) value, ties by ascending id, the first `offset`
// passed over (whole sets counted, not listed), at most `limit`.
// `UniverseCover::All` vouches that the selection holds every id of every set.
template <typename It, typename SetOf>
std::vector<uint32_t> sorted_ids_of_sets(It begin, It end, SetOf&& set_of, const Bitmap& selection,
                                         size_t limit, bool reverse, size_t offset,
                                         UniverseCover cover) {
    std::vector<uint32_t> out;
    if (limit == 0 || selection.is_empty())
        return out;
    bool whole = cover == UniverseCover::All;
    // The first `wanted` ids of the set that the selection holds.
    auto take = [&](const Bitmap& set, size_t wanted) {
        if (whole)
            set.append_first(wanted, out);
        else
            take_selected(set, selection, wanted, out);
    };
    // A set whose selected ids all lie within what is left to pass over is
    // counted, not listed; the set where the offset ends is listed from its
    // start and the ids before the offset dropped.
    auto visit = [&](It it) {
        BitmapRef set = set_of(it);
        if (offset > 0) {
            uint64_t selected = whole ? set->cardinality() : set->and_cardinality(selection);
            if (selected <= offset) {
                offset -= selected;
                return true;
            }
            size_t wanted = limit > SIZE_MAX - offset ? SIZE_MAX : limit + offset;
            take(*set, wanted);
            out.erase(out.begin(), out.begin() + static_cast<ptrdiff_t>(offset));
            offset = 0;
            return out.size() < limit;
        }
        take(*set, limit - out.size());
        return out.size() < limit;
    };
    if (reverse) {
        for (It it = end; it != begin;)
            if (!visit(--it))
                break;
    } else {
        for (It it = begin; it != end; ++it)
            if (!visit(it))
                break;
    }
    return out;
}

// The smallest id of `selection` under the first value of [begin, end) that
// the selection meets, walking from the largest value when `from_largest`.
template <typename It, typename SetOf>
std::optional<CompositeKey128> first_selected_entry(It begin, It end, SetOf&& set_of,
                                                    const Bitmap& selection, bool from_largest) {
    auto probe = [&](It it) -> std::optional<CompositeKey128> {
        std::vector<uint32_t> first;
        take_selected(*set_of(it), selection, 1, first);
        if (first.empty())
            return std::nullopt;
        return CompositeKey128::from_code(it->first, first[0]);
    };
    if (from_largest) {
        for (It it = end; it != begin;)
            if (auto found = probe(--it))
                return found;
    } else {
        for (It it = begin; it != end; ++it)
            if (auto found = probe(it))
                return found;
    }
    return std::nullopt;
}

}  // namespace vorlane
