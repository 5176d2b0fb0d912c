#pragma once
// `BitMapBTree`: an ordered tree of (numeric value, id) entries whose internal
// nodes cache, per child, the bitmap of every id below that child. A range
// query walks down only the two children holding the range's ends and takes
// every child between them whole from its cached bitmap.
//
// Integers and floats share one order: an entry's key starts with a 96-bit
// order-preserving code of its value (see `encode_value96`), so 5 and 5.0 are
// the same point, and keys compare as plain unsigned 128-bit integers.
//
// Node layout: every node is one allocation with fixed arrays of `kSlots`
// slots. The live entries of a node occupy one window of consecutive slots,
// `[offset, offset + len)`, sorted ascending; slots outside it are unused. The
// window is kept centred so that an insertion shifts at most about half of the
// entries and the node can grow at either end.
//
// An id is expected to sit under at most one value of a tree (one attribute
// value per object): the cached bitmaps are sets, so removing (v, id) clears
// `id` from the bitmaps on its path, and a split derives the left half's bitmap
// as the old one minus the right half's.
//
// The tree has no lock of its own; its owner serialises writers against readers.

#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <variant>
#include <vector>

#include "engine/bitmap.hpp"

namespace vorlane {

using NumericValue = std::variant<int64_t, double>;  // index 0 = Int, 1 = Float
using Key128 = unsigned __int128;

enum class BoundKind : uint8_t { Included = 0, Excluded = 1, Unbounded = 2 };

struct Bound {
    BoundKind kind;
    NumericValue value;  // ignored when `kind` is Unbounded

    static Bound included(NumericValue value) { return {BoundKind::Included, value}; }
    static Bound excluded(NumericValue value) { return {BoundKind::Excluded, value}; }
    static Bound unbounded() { return {BoundKind::Unbounded, int64_t{0}}; }
};

// The 96-bit order-preserving code of a numeric value, in the low 96 bits of
// the result: sign, 15-bit exponent (bias 16383) and 80-bit fraction, the
// layout of IEEE binary128 cut to 96 bits, then folded so that unsigned order
// is numeric order (non-negative: top bit set; negative: all bits inverted).
// Every int64 and every double is exact; subnormal doubles are normalised;
// infinities sort beyond all finite values and NaN beyond the infinity of its
// sign. Zero of either kind and sign has one code.
Key128 encode_value96(NumericValue value);

// One tree entry: bits 127..32 hold the value's 96-bit code, bits 31..0 the id,
// so entries order by value, then by id.
struct CompositeKey128 {
    Key128 key;

    static CompositeKey128 new_(NumericValue value, uint32_t id) {
        return from_code(encode_value96(value), id);
    }
    static CompositeKey128 from_code(Key128 code96, uint32_t id) { return {(code96 << 32) | id}; }

    uint32_t id() const { return static_cast<uint32_t>(key); }
    Key128 value_code() const { return key >> 32; }

    friend auto operator<=>(const CompositeKey128&, const CompositeKey128&) = default;
};

// Slots per node.
inline constexpr uint32_t kSlots = 96;
// A node holding more entries than this splits once its window touches an end;
// below it there is always room to shift towards the far end.
inline constexpr uint32_t kSplitThreshold = 85;
// First slot of a new tree's empty leaf, and of a new root's two children.
inline constexpr uint32_t kRootOffset = kSlots / 2;
// First slot of the right half after a split: it holds at most 48 entries, so
// starting at a quarter leaves room on both sides.
inline constexpr uint32_t kSplitOffset = kSlots / 4;
// Entries (or children) per node of a tree built in one pass from sorted
// entries: most of the slots, since a node and the cached bitmap of a leaf
// cost about the same however full they are, yet a few below
// `kSplitThreshold`, so that the first insertions into a node do not split it.
inline constexpr uint32_t kBulkFill = 80;

// What moving an id from one value to another did: whether the old entry was
// held and removed, and whether the new one was added (it was not held).
struct MoveOutcome {
    bool removed;
    bool inserted;
};

struct LeafNode;
struct InternalNode;
struct KeyRange;
struct RangeParts;

// Owning handle on one node; a null handle is an empty child slot.
using BitMapBTreeNode = std::variant<std::unique_ptr<InternalNode>, std::unique_ptr<LeafNode>>;

struct LeafNode {
    std::array<CompositeKey128, kSlots> keys{};
    uint32_t len = 0;
    uint32_t offset = kRootOffset;

    std::span<const CompositeKey128> window() const { return {keys.data() + offset, len}; }

    // Inserts `entry` into a node that is not full; false (and no change) when
    // the leaf already holds it.
    bool insert_non_full(CompositeKey128 entry);
    // Removes `entry`; false when the leaf does not hold it.
    bool remove(CompositeKey128 entry);
    bool contains(CompositeKey128 entry) const;
    // Keeps the first len/2 entries; returns the new right half and its first key.
    std::pair<std::unique_ptr<LeafNode>, CompositeKey128> split();
    // A new bitmap of the ids of the window's entries.
    Bitmap ids() const;
    // Gathers what answers `range` below this node (see `BitMapBTree::query_range`).
    void collect_range(const KeyRange& range, RangeParts& parts) const;
    void recenter();
};

struct InternalNode {
    // keys[i]: lower bound of child i: its first entry when a split created
    // it, or a smaller entry that arrived later in the first child. Child i
    // holds only keys in [keys[i], keys[i + 1]). Removal leaves bounds as they
    // are, so a bound need not be a live entry.
    std::array<CompositeKey128, kSlots> keys{};
    // bitmaps[i]: the ids of every entry below child i.
    std::array<std::optional<Bitmap>, kSlots> bitmaps;
    std::array<BitMapBTreeNode, kSlots> children;
    uint32_t len = 0;
    uint32_t offset = 0;

    std::span<const CompositeKey128> window() const { return {keys.data() + offset, len}; }

    // Inserts `entry` below this node (which is not full), splitting a full
    // child on the way; false (and no change) when the entry is already held.
    bool insert(CompositeKey128 entry);
    bool split_and_insert(uint32_t index, CompositeKey128 entry);
    bool remove(CompositeKey128 entry);
    // `remove(from)` then `insert(to)` below this node (which is not full),
    // with the same result, but a child that both entries lead into keeps the
    // id in its bitmap instead of losing and regaining it.
    MoveOutcome move(CompositeKey128 from, CompositeKey128 to);
    std::pair<std::unique_ptr<InternalNode>, CompositeKey128> split();
    // A new bitmap: the union of all present child bitmaps.
    Bitmap get_bitmap() const;
    // Window index of the child whose range holds `search_key`: the last
    // child whose lower bound is <= it, or 0.
    uint32_t get_key_index(Key128 search_key) const;
    // Gathers what answers `range` below this node (see `BitMapBTree::query_range`).
    void collect_range(const KeyRange& range, RangeParts& parts) const;
    // Moves slots [first, end) `distance` places right; `offset` follows when
    // the window started at `first`.
    void shift_right(uint32_t first, uint32_t end, uint32_t distance);
    void recenter();

  private:
    // Removes `entry` from the child in `slot` and the id from its bitmap.
    bool remove_below(uint32_t slot, CompositeKey128 entry);
    // The move when both entries lead into the child in `slot`.
    MoveOutcome move_within(uint32_t slot, CompositeKey128 from, CompositeKey128 to);
    void move_slot(uint32_t from, uint32_t to);
    void move_slots(uint32_t first, uint32_t count, uint32_t to);
};

namespace detail {
template <bool Reverse, typename F>
void walk_entries(const BitMapBTreeNode& node, F& f) {
    auto step = [](uint32_t k, uint32_t offset, uint32_t len) {
        return Reverse ? offset + len - 1 - k : offset + k;
    };
    if (const auto* internal = std::get_if<std::unique_ptr<InternalNode>>(&node)) {
        if (!*internal)
            return;
        const InternalNode& n = **internal;
        for (uint32_t k = 0; k < n.len; ++k)
            walk_entries<Reverse>(n.children[step(k, n.offset, n.len)], f);
    } else if (const auto& leaf = std::get<std::unique_ptr<LeafNode>>(node)) {
        for (uint32_t k = 0; k < leaf->len; ++k)
            f(leaf->keys[step(k, leaf->offset, leaf->len)]);
    }
}
}  // namespace detail

// One entry's route down a tree, walked a level per `step`, so that the
// routes of several trees (those an object leaves at once) can be walked side
// by side: each step reads the node the step before requested and requests
// the next, and the steps of different routes overlap their misses. Only a
// hint for the removal that follows; the tree must not change in between.
class RoutePrefetch {
  public:
    // Bitmaps a removal clears the id from: one per level below the root.
    using Changing = std::span<const Bitmap*>;

    RoutePrefetch(const BitMapBTreeNode& root, CompositeKey128 entry);
    // Descends one level, recording in `changing[count++]` (while room is left)
    // the cached bitmap the entry's id will leave there; false, and nothing
    // done, once the route has reached a leaf or a missing child.
    bool step(Changing changing, size_t& count);
    // The node the route has reached.
    const BitMapBTreeNode* at() const { return node_; }

  private:
    const BitMapBTreeNode* node_;
    Key128 key_;
};

class BitMapBTree {
  public:
    // An empty leaf root with its window centred.
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
    // True when the entry was found and removed. Removal never merges or
    // frees nodes: leaves may become empty and the height never shrinks.
    bool remove(NumericValue value, uint32_t id);
    bool contains(NumericValue value, uint32_t id) const;
    // Moves `id` from `old_value` to `new_value`: the entries, cached bitmaps
    // and shape are exactly those that `remove(old_value, id)` followed by
    // `insert(new_value, id)` leave (so `memory_usage` and later splits are
    // the same too), but where both values lead into the same child, that
    // child's bitmap keeps the id instead of losing and regaining it. Moves
    // between nearby values touch no bitmap at all.
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
    // same number select the same entries.
    Bitmap query_range(const Bound& lower, const Bound& upper, const Bitmap& mask) const;

    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    // Bytes held by the nodes and their cached bitmaps.
    size_t memory_usage() const;

    // Calls `f(CompositeKey128)` for every entry in ascending (or descending) key order.
    template <typename F>
    void for_each_entry(F&& f) const {
        detail::walk_entries<false>(root_, f);
    }
    template <typename F>
    void for_each_entry_reverse(F&& f) const {
        detail::walk_entries<true>(root_, f);
    }

    // Ids of `selection` in ascending order of their value (descending when
    // `reverse`), ties by ascending id, NaN values left out, at most `limit`.
    // The walk descends only into children whose cached bitmap meets the
    // selection and stops after `limit` ids, so a top-k of a dense selection
    // costs about k steps plus the descent, never a sort.
    std::vector<uint32_t> sorted_ids(const Bitmap& selection, std::optional<size_t> limit,
                                     bool reverse) const;

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

    BitMapBTreeNode root_;
    size_t size_ = 0;
};

}  // namespace vorlane
