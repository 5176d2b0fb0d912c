#pragma once
// `BitMapBTree`: an ordered tree of (numeric value, id) entries whose internal
// nodes cache, per child, the bitmap of every id below that child. A range
// query walks down only the two children holding the range's ends and takes
// every child between them whole from its cached bitmap.
//
// Entries are `CompositeKey128`s (value_order.hpp): the value's order code,
// then the id. The nodes are laid out in tree_node.hpp; the tree's work is
// split by concern: insertion, removal and moves (tree_update.cpp), building
// in one pass (tree_bulk.cpp), range queries (tree_range.cpp), walks in value
// order (sorted_walk.cpp) and the checks of its invariants (tree_check.cpp).
//
// An id is expected to sit under at most one value of a tree (one attribute
// value per object): the cached bitmaps are sets, so removing (v, id) clears
// `id` from the bitmaps on its path, and a split derives the left half's bitmap
// as the old one minus the right half's.
//
// The tree has no lock of its own; its owner serialises writers against readers.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <variant>
#include <vector>

#include "engine/bitmap.hpp"
#include "engine/tree_node.hpp"
#include "engine/value_order.hpp"

namespace vorlane {

// What moving an id from one value to another did: whether the old entry was
// held and removed, and whether the new one was added (it was not held).
struct MoveOutcome {
    bool removed;
    bool inserted;
};

// One entry's route down a tree, walked a level per `step`, so that the
// routes of several trees (those an object leaves at once) can be walked side
// by side: each step reads the node the step before requested and requests
// the next, and the steps of different routes overlap their misses. Only a
// hint for the removal that follows; the tree must not change in between.
class RoutePrefetch {
  public:
    // Bitmaps a removal clears the id from: one per cached level on the way.
    using Changing = std::span<const Bitmap*>;

    RoutePrefetch(const BitMapBTreeNode& root, CompositeKey128 entry);
    // Descends one level, recording in `changing[count++]` (while room is left)
    // the cached bitmap the entry's id will leave there, if that level caches
    // one; false, and nothing done, once the route has reached a leaf.
    bool step(Changing changing, size_t& count);
    // The node the route has reached.
    const BitMapBTreeNode* at() const { return node_; }

  private:
    const BitMapBTreeNode* node_;
    Key128 key_;
};

// Ids a range selects: their ascending list, or a bitmap of them.
using IdsOfRange = std::variant<std::vector<uint32_t>, Bitmap>;

class BitMapBTree {
  public:
    // An empty tree: one empty leaf as its root.
    BitMapBTree();
    ~BitMapBTree();
    BitMapBTree(BitMapBTree&&) noexcept;
    BitMapBTree& operator=(BitMapBTree&&) noexcept;

    // Inserting a pair the tree already holds changes nothing.
    void insert(NumericValue value, uint32_t id);
    // Inserts many entries, given in ascending key order. An empty tree is
    // built bottom-up in one pass, each cached bitmap made once; otherwise
    // the entries go in one by one (in order, so the path down stays warm).
    // Entries the tree already holds, or repeated ones, change nothing.
    void insert_sorted(std::span<const CompositeKey128> entries);
    // True when the entry was found and removed. Nodes left small merge with
    // a neighbour, empty ones go, and the height shrinks with the tree.
    bool remove(NumericValue value, uint32_t id);
    bool contains(NumericValue value, uint32_t id) const;
    // Moves `id` from `old_value` to `new_value`: the entries, cached bitmaps
    // and shape are exactly those that `remove(old_value, id)` followed by
    // `insert(new_value, id)` leave (so `memory_usage` and later splits are
    // the same too), but a move within one leaf that changes no node's size
    // is made in place, touching no bitmap and no node on the way.
    MoveOutcome move(NumericValue old_value, NumericValue new_value, uint32_t id);
    // Brings into the cache the nodes on the routes of both entries of a
    // `move` and the parts of the child bitmaps it changes: in a large tree
    // each node and bitmap on the way is a miss, and walking both routes level
    // by level overlaps them. Only a hint; the tree is not changed.
    void prefetch_move(NumericValue old_value, NumericValue new_value, uint32_t id) const;
    // The route of `remove(value, id)`, to be walked by the caller.
    RoutePrefetch route(NumericValue value, uint32_t id) const {
        return RoutePrefetch(root_, CompositeKey128::new_(value, id));
    }

    // Ids of the entries whose value lies within the bounds, restricted to
    // `mask`. Bounds compare by value alone, so Int and Float bounds of the
    // same number select the same entries. With `UniverseCover::All` the
    // caller vouches that the mask holds every id of the tree: it then only
    // guides how the result is built, and no intersection is made.
    Bitmap query_range(const Bound& lower, const Bound& upper, const Bitmap& mask,
                       UniverseCover cover = UniverseCover::Part) const;

    // The ids `query_range` gives with `UniverseCover::All` (`all` holds
    // every id of the tree): listed ascending when they are sparse over the
    // span of `all`, sorted from what the walk gathered with no bitmap built;
    // otherwise, where a bitmap is the cheaper to build, as that bitmap.
    IdsOfRange list_range(const Bound& lower, const Bound& upper, const Bitmap& all) const;

    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    // Bytes held by the nodes and their cached bitmaps.
    size_t memory_usage() const;

    // Calls `f(CompositeKey128)` for every entry in ascending key order.
    template <typename F>
    void for_each_entry(F&& f) const {
        walk_entries(root_, f);
    }

    // Ids of `selection` in ascending order of their value (descending when
    // `reverse`), ties by ascending id, NaN values left out, the first
    // `offset` of them passed over, at most `limit`. The walk descends only
    // into children whose cached bitmap meets the selection and stops after
    // `limit` ids, so a top-k of a dense selection costs about k steps plus
    // the descent, never a sort; the ids passed over are counted from the
    // cached bitmaps of whole children, not listed. `UniverseCover::All`
    // vouches that the selection holds every id of the tree: whole children
    // and leaves are then counted without intersecting.
    std::vector<uint32_t> sorted_ids(const Bitmap& selection, std::optional<size_t> limit,
                                     bool reverse, size_t offset = 0,
                                     UniverseCover cover = UniverseCover::Part) const;

    // The entry of the smallest (largest) value held by an id of `selection`,
    // NaN left out, ties by the smallest id; nothing when no selected id has
    // a number here. Like `sorted_ids`, the walk descends only into children
    // whose cached bitmap meets the selection.
    std::optional<CompositeKey128> min_entry(const Bitmap& selection) const;
    std::optional<CompositeKey128> max_entry(const Bitmap& selection) const;

    // Throws `Panic` naming the first broken invariant of the tree.
    void validate() const;

    // Read-only view of the root, for inspection of the shape.
    const BitMapBTreeNode& root() const { return root_; }

  private:
    void split_root();
    // Inserts one entry; false when the tree already held it. `size_` is the caller's.
    bool insert_entry(CompositeKey128 entry);
    // Removes one entry; false when not held. `size_` is the caller's.
    bool remove_entry(CompositeKey128 entry);
    // The move within one leaf, when it changes no node's size; false, and
    // nothing changed, otherwise.
    bool move_in_place(CompositeKey128 from, CompositeKey128 to);
    // Rebuilds the tree from its entries and `entries` (ascending) together.
    void rebuild_with(std::span<const CompositeKey128> entries);

    BitMapBTreeNode root_;
    size_t size_ = 0;
};

}  // namespace vorlane
