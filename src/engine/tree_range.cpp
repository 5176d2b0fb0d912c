// Range queries on the ordered bitmap tree: the walk down the two children
// holding a range's ends, taking every child between them whole, and the
// union of what it gathered, restricted to a mask.

#include <algorithm>
#include <memory>
#include <optional>
#include <span>

#include "engine/ranged_b_tree.hpp"
#include "engine/sort_ids.hpp"

namespace vorlane {

// What a range query gathers on its way down: the cached bitmaps of children
// lying wholly inside the range, and the slices of leaves inside it, whose
// ids are read out once the walk is done and their number known. The mask,
// unless it holds every id of the tree, is applied once to their union
// (intersection distributes over union): one library call instead of one per
// child and no temporary bitmap per child.
struct RangeParts {
    // Entries `from` to `to` (exclusive) of a leaf.
    struct LeafSlice {
        const LeafNode* leaf;
        uint32_t from;
        uint32_t to;
    };
    std::vector<const Bitmap*> whole;
    std::vector<LeafSlice> slices;

    // Ids per 2^16 of the mask's span up to which the union is gathered as a
    // sorted list rather than built by the library's many-way union. That
    // union makes a dense container for every 2^16 ids the parts touch and,
    // for a sparse result, turns each back into a sorted array, which costs
    // more than sorting the ids themselves; a quarter of the array limit
    // keeps clear of the point where dense containers pay off.
    static constexpr uint64_t kSparseIdsPerContainer = Bitmap::kArrayContainerLimit / 4;

    // Whether the union, `listed` ids at most, is sparse over the span of
    // `mask`: few enough ids per 2^16 that a sorted list of them costs less
    // than dense containers.
    static bool sparse_within(const Bitmap& mask, uint64_t listed) {
        return sparse_between(mask.minimum(), mask.maximum(), listed);
    }
    // The same over the span from id `lowest` to id `highest`.
    static bool sparse_between(uint32_t lowest, uint32_t highest, uint64_t listed) {
        uint64_t containers =
            (highest / Bitmap::kContainerIds) - (lowest / Bitmap::kContainerIds) + 1;
        return listed <= kSparseIdsPerContainer * containers;
    }
    uint64_t leaf_ids() const {
        uint64_t count = 0;
        for (const LeafSlice& slice : slices)
            count += slice.to - slice.from;
        return count;
    }
    uint64_t listed() const {
        uint64_t count = leaf_ids();
        for (const Bitmap* part : whole)
            count += part->cardinality();
        return count;
    }

    Bitmap union_within(const Bitmap& mask, UniverseCover cover) {
        if (mask.is_empty())
            return Bitmap();
        const uint64_t listed = this->listed();
        Bitmap result;
        if (sparse_within(mask, listed)) {
            // A mask holding every id of the tree bounds them all.
            std::optional<uint32_t> largest;
            if (cover == UniverseCover::All)
                largest = mask.maximum();
            result = Bitmap::of_sorted(sorted_union(listed, largest));
        } else {
            result = Bitmap::or_many(whole);
            // The leaves' ids come in value order, scattered over the id
            // space.
            std::vector<uint32_t> ids(leaf_ids());
            write_leaf_ids(ids.data());
            result.or_inplace(Bitmap::of_unsorted(ids));
        }
        if (cover == UniverseCover::Part)
            result.and_inplace(mask);
        return result;
    }

    // The ids of the parts, ascending: `listed` of them, none above
    // `largest` when it is given. The sort reads the leaves' ids where they
    // lie; only the ids of whole children are written out first.
    std::vector<uint32_t> sorted_union(uint64_t listed, std::optional<uint32_t> largest) const {
        // Written in full below: no zeroing first.
        const size_t whole_ids = listed - leaf_ids();
        auto whole_buffer = std::make_unique_for_overwrite<uint32_t[]>(whole_ids);
        const std::span<const uint32_t> of_whole(whole_buffer.get(), whole_ids);
        uint32_t* out = whole_buffer.get();
        for (const Bitmap* part : whole) {
            uint64_t count = part->cardinality();
            part->write_to(std::span<uint32_t>(out, count));
            out += count;
        }
        auto each_id = [&](auto&& visit) {
            for (const LeafSlice& slice : slices)
                slice.leaf->for_each_id(slice.from, slice.to, visit);
            for (uint32_t id : of_whole)
                visit(id);
        };
        if (!largest) {
            uint32_t found = 0;
            each_id([&](uint32_t id) { found = std::max(found, id); });
            largest = found;
        }
        std::vector<uint32_t> ids(listed);
        sort_ids_from(each_id, ids, *largest);
        // Each id has one entry in a tree; a repeat would be a broken tree,
        // but must not list an object twice. Looking for one only reads.
        if (has_repeat(ids))
            ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
        return ids;
    }

  private:
    // Writes the ids of the leaf slices from `out` on; returns the end.
    uint32_t* write_leaf_ids(uint32_t* out) const {
        for (const LeafSlice& slice : slices)
            out = slice.leaf->write_ids(slice.from, slice.to, out);
        return out;
    }
};

namespace {

void collect_node(const BitMapBTreeNode& node, const KeyRange& range, RangeParts& parts) {
    visit_node(
        node, [&](const InternalNode& internal) { internal.collect_range(range, parts); },
        [&](const LeafPtr& leaf) { leaf->collect_range(range, parts); });
}

}  // namespace

void LeafNode::collect_range(const KeyRange& range, RangeParts& parts) const {
    uint32_t from = lower_bound(range.first);
    uint32_t to = upper_bound(range.last);
    if (from < to)
        parts.slices.push_back({this, from, to});
}

void InternalNode::collect_range(const KeyRange& range, RangeParts& parts) const {
    // Every satisfying entry lies in children lo..hi; the children strictly
    // between them lie wholly inside the range (their keys are bounded by the
    // neighbouring lower bounds), so they are taken whole: by their cached
    // bitmaps, or, for leaves, by the ids of all their entries.
    uint32_t lo = range.has_lower ? get_key_index(range.first) : 0;
    uint32_t hi = range.has_upper ? get_key_index(range.last) : static_cast<uint32_t>(len());
    collect_node(children[lo], range, parts);
    for (uint32_t i = lo + 1; i < hi; ++i) {
        if (caches_bitmaps())
            parts.whole.push_back(&bitmaps[i]);
        else
            parts.slices.push_back({&leaf_of(children[i]), 0, leaf_of(children[i]).len});
    }
    if (hi != lo && hi < len())
        collect_node(children[hi], range, parts);
}

Bitmap BitMapBTree::query_range(const Bound& lower, const Bound& upper, const Bitmap& mask,
                                UniverseCover cover) const {
    KeyRange range = KeyRange::from_bounds(lower, upper);
    if (range.empty)
        return Bitmap();
    RangeParts parts;
    collect_node(root_, range, parts);
    return parts.union_within(mask, cover);
}

IdsOfRange BitMapBTree::list_range(const Bound& lower, const Bound& upper,
                                   const Bitmap& all) const {
    KeyRange range = KeyRange::from_bounds(lower, upper);
    if (range.empty || all.is_empty())
        return std::vector<uint32_t>();
    RangeParts parts;
    collect_node(root_, range, parts);
    const uint64_t listed = parts.listed();
    // Read once: the library finds a bitmap's largest id by scanning its
    // last container's words down from the top (up to 1,024 of them).
    const uint32_t largest = all.maximum();
    if (!RangeParts::sparse_between(all.minimum(), largest, listed))
        return parts.union_within(all, UniverseCover::All);
    return parts.sorted_union(listed, largest);
}

}  // namespace vorlane
