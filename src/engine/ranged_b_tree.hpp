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
// Node layout: a leaf is one allocation of its entries, sorted ascending and
// sized to what it holds; an internal node keeps its children's lower bounds,
// the children, and, above the lowest internal level, one cached bitmap per
// child (see `InternalNode::bitmaps`).
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

// Node sizes. A leaf holds at most `kLeafMax` entries and an internal node at
// most `kFanout` children; a full node splits in halves when an insertion
// passes through it. Nodes are allocated for what they hold: a leaf's entries
// grow by a quarter when it fills up and give room back once it is less than
// half full, and the same goes for an internal node's arrays, so a node never
// has more than twice the room it needs (or `kMinCapacity`).
inline constexpr uint32_t kLeafMax = 128;
inline constexpr uint32_t kFanout = 64;
inline constexpr uint32_t kMinCapacity = 8;
// A removal that leaves a node below a quarter of its maximum merges it into
// a neighbour when the two together fill at most three quarters: merged nodes
// keep room for insertions, and a node just split (two halves) never merges
// back at once. A node left empty is dropped, and a root left with one child
// hands over to it, so that a tree whose entries go stays as small as what it
// still holds.
inline constexpr uint32_t kLeafUnderflow = kLeafMax / 4;
inline constexpr uint32_t kLeafMergeLimit = kLeafMax * 3 / 4;
inline constexpr uint32_t kFanoutUnderflow = kFanout / 4;
inline constexpr uint32_t kFanoutMergeLimit = kFanout * 3 / 4;
// Fill of the nodes of a tree built in one pass from sorted entries: most of
// the maximum, so that the first insertions into a node do not split it.
inline constexpr uint32_t kBulkLeafFill = kLeafMax * 7 / 8;
// Room left in each leaf of a tree built in one pass: the first insertions
// into a leaf (an assignment moving an entry there) shift entries in place
// instead of decoding the leaf into a new allocation. Eight compact entries
// cost 64 bytes per leaf of about a hundred.
inline constexpr uint32_t kBulkLeafRoom = 8;
inline constexpr uint32_t kBulkFanout = kFanout * 7 / 8;

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

// A leaf is one allocation: its header and its entries.
struct LeafFree {
    void operator()(LeafNode* leaf) const;
};
using LeafPtr = std::unique_ptr<LeafNode, LeafFree>;
using InternalPtr = std::unique_ptr<InternalNode>;
// Owning handle on one node; every handle in a tree is set.
using BitMapBTreeNode = std::variant<InternalPtr, LeafPtr>;

// A leaf: one allocation of a header and its entries, ascending. Entries
// take one of two forms, chosen whenever the leaf is allocated:
// - wide: each entry as its 16-byte key;
// - compact: each entry in 8 bytes, the id and the entry's value code as a
//   32-bit step from the leaf's `base` code, in units of 2^`shift`. A leaf's
//   values lie close together, so this holds for nearly every leaf of
//   integers (their codes end in many zero bits) and for every leaf of few
//   distinct values; a leaf of scattered floats stays wide. The packed
//   8 bytes, step above id, order as the keys do.
// An entry that the compact form cannot take turns the leaf wide.
struct LeafNode {
    uint32_t len = 0;
    uint32_t cap = 0;
    bool compact = false;
    uint8_t shift = 0;
    Key128 base = 0;

    // A new leaf holding `entries` (ascending) with room for `cap`, in the
    // smaller form that holds them.
    static LeafPtr make(std::span<const CompositeKey128> entries, uint32_t cap);

    CompositeKey128 entry(uint32_t i) const {
        if (!compact)
            return wide()[i];
        uint64_t packed = this->packed()[i];
        Key128 code = base + (Key128{packed >> 32} << shift);
        return CompositeKey128::from_code(code, static_cast<uint32_t>(packed));
    }
    uint32_t id_at(uint32_t i) const {
        return compact ? static_cast<uint32_t>(packed()[i]) : wide()[i].id();
    }
    bool full() const { return len >= kLeafMax; }
    size_t entry_bytes() const { return compact ? sizeof(uint64_t) : sizeof(CompositeKey128); }
    size_t bytes() const { return sizeof(LeafNode) + size_t{cap} * entry_bytes(); }

    // Position of the first entry whose key is >= `key` (> `key` for
    // `upper_bound`); `len` when there is none.
    uint32_t lower_bound(Key128 key) const;
    uint32_t upper_bound(Key128 key) const;
    bool contains(CompositeKey128 entry) const;
    // Whether the form of this leaf can take `entry` as it is.
    bool can_take(CompositeKey128 entry) const;
    // Puts `entry` at position `point`, the entries from there moving up;
    // the leaf has room and `can_take` the entry.
    void insert_at(uint32_t point, CompositeKey128 entry);
    void erase_at(uint32_t point);
    // Appends the entries, decoded, to `out`.
    void append_entries(std::vector<CompositeKey128>& out) const;
    // Appends the ids of the entries to `out`.
    void append_ids(std::vector<uint32_t>& out) const;
    // Gathers what answers `range` in this leaf (see `BitMapBTree::query_range`).
    void collect_range(const KeyRange& range, RangeParts& parts) const;
    // Panics unless the entries ascend and the compact form's steps hold.
    void validate() const;

  private:
    const CompositeKey128* wide() const {
        return reinterpret_cast<const CompositeKey128*>(this + 1);
    }
    CompositeKey128* wide() { return reinterpret_cast<CompositeKey128*>(this + 1); }
    const uint64_t* packed() const { return reinterpret_cast<const uint64_t*>(this + 1); }
    uint64_t* packed() { return reinterpret_cast<uint64_t*>(this + 1); }
    uint64_t pack(CompositeKey128 entry) const {
        return (static_cast<uint64_t>((entry.value_code() - base) >> shift) << 32) | entry.id();
    }
};
static_assert(sizeof(LeafNode) % alignof(CompositeKey128) == 0);

struct InternalNode {
    // keys[i]: lower bound of child i: its first entry when a split created
    // it, or a smaller entry that arrived later in the first child. Child i
    // holds only keys in [keys[i], keys[i + 1]). Removal leaves bounds as they
    // are, so a bound need not be a live entry.
    std::vector<CompositeKey128> keys;
    std::vector<BitMapBTreeNode> children;
    // bitmaps[i]: the ids of every entry below child i, kept when the
    // children are internal nodes (`height` > 1). A leaf's ids are its
    // entries': a query reads them there, which costs about what reading a
    // bitmap of them costs, and a bitmap per leaf of scattered ids would
    // take as much room as the leaf itself.
    std::vector<Bitmap> bitmaps;
    // Levels below this node: 1 when its children are leaves.
    uint32_t height = 1;

    bool caches_bitmaps() const { return height > 1; }
    size_t len() const { return children.size(); }
    bool full() const { return children.size() >= kFanout; }
    std::span<const CompositeKey128> window() const { return keys; }

    // Inserts `entry` below this node (which is not full), splitting a full
    // child on the way; false (and no change) when the entry is already held.
    bool insert(CompositeKey128 entry);
    // Removes `entry` from below, merging or dropping a child it leaves small
    // or empty; false when the entry is not held.
    bool remove(CompositeKey128 entry);
    // Splits the child at `index` in halves, the right half going to `index + 1`.
    void split_child(uint32_t index);
    // Window index of the child whose range holds `search_key`: the last
    // child whose lower bound is <= it, or 0.
    uint32_t get_key_index(Key128 search_key) const;
    // A new bitmap: the ids of every entry below this node.
    Bitmap get_bitmap() const;
    // Gathers what answers `range` below this node (see `BitMapBTree::query_range`).
    void collect_range(const KeyRange& range, RangeParts& parts) const;
    size_t bytes() const;

  private:
    // Merges a child left small into a neighbour, or drops it when empty.
    void rebalance(uint32_t index);
    // Child `index + 1` joins child `index`.
    void merge_children(uint32_t index);
};

namespace detail {
template <bool Reverse, typename F>
void walk_entries(const BitMapBTreeNode& node, F& f) {
    if (const auto* internal = std::get_if<InternalPtr>(&node)) {
        const InternalNode& n = **internal;
        for (size_t k = 0; k < n.len(); ++k)
            walk_entries<Reverse>(n.children[Reverse ? n.len() - 1 - k : k], f);
        return;
    }
    const LeafNode& leaf = *std::get<LeafPtr>(node);
    for (uint32_t k = 0; k < leaf.len; ++k)
        f(leaf.entry(Reverse ? leaf.len - 1 - k : k));
}
}  // namespace detail

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
