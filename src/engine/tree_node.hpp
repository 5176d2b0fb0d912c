#pragma once
// The nodes of the ordered bitmap tree (`BitMapBTree`, ranged_b_tree.hpp):
// their layout, their sizes, and the helpers every part of the tree shares
// (insertion and removal, bulk building, range walks, sorted walks, checks).
//
// A leaf is one allocation of its entries, sorted ascending and sized to what
// it holds; an internal node keeps its children's lower bounds, the children,
// and, above the lowest internal level, one cached bitmap per child (see
// `InternalNode::bitmaps`).

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <variant>
#include <vector>

#include "engine/bitmap.hpp"
#include "engine/value_order.hpp"

namespace vorlane {

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

// The array of `T` that follows `header` in the same allocation.
template <typename T, typename Header>
T* trailing_array(Header* header) {
    return reinterpret_cast<T*>(header + 1);
}
template <typename T, typename Header>
const T* trailing_array(const Header* header) {
    return reinterpret_cast<const T*>(header + 1);
}

// A leaf: one allocation of a header and its entries, ascending. Entries
// take one of two forms, chosen whenever the leaf is allocated:
// - wide: each entry as its 16-byte key;
// - compact: each entry in 8 bytes, the id and the entry's value code as a
//   32-bit step from the leaf's `base` code, in units of 2^`shift`. A leaf's
//   values lie close together, so this holds for nearly every leaf of
//   integers (their codes end in many zero bits) and for every leaf of few
//   distinct values; a leaf of scattered floats stays wide. The packed
//   8 bytes, step above id, order as the keys do.
// - compact with a table: each entry in 8 bytes, the id and the position of
//   the entry's value code in the leaf's own ascending table of its distinct
//   codes, kept before the entries. The table holds each code as a 64-bit
//   step from `base` in units of 2^`shift` (a double's code ends in 28 zero
//   bits, so a step spans 2^36 binades). Floats whose codes are too far
//   apart for 32-bit steps (prices, durations with decimals) but that
//   repeat within a leaf take this form when the table costs less than the
//   8 bytes it saves per entry.
// - narrow: either compact form in 4 bytes per entry, when the step (or
//   the table position) and the id, less the leaf's `id_base`, fit in 32
//   bits together: the id in the low `id_bits`, the step above it. A leaf
//   of integers (keys, counts) or of prices with a table nearly always
//   fits, which halves what its entries cost; the packed 4 bytes order as
//   the keys do too.
// An entry that the compact form cannot take (a step out of reach, a code
// missing from the table, an id outside the narrow span) makes the leaf
// anew in the form that holds it.
struct LeafNode {
    uint32_t len = 0;
    uint32_t cap = 0;
    bool compact = false;
    uint8_t shift = 0;
    // Codes in the table of a compact leaf; 0 for one of steps from `base`.
    // Fewer than half of `kLeafMax` (see `table_limit`), so a byte holds it.
    uint8_t table_size = 0;
    // Bits of a narrow entry that hold its id; 0 when entries are 8 bytes.
    // At most 31, so that the step keeps a bit.
    uint8_t id_bits = 0;
    // What a narrow entry's id is counted from.
    uint32_t id_base = 0;
    Key128 base = 0;

    // A new leaf holding `entries` (ascending) with room for `cap` (at least
    // as many), in the smaller form that holds them.
    static LeafPtr make(std::span<const CompositeKey128> entries, uint32_t cap);

    CompositeKey128 entry(uint32_t i) const {
        if (!compact)
            return wide()[i];
        if (narrow()) {
            uint32_t packed = narrow_entries()[i];
            return CompositeKey128::from_code(code_of(packed >> id_bits), narrow_id(packed));
        }
        uint64_t packed = this->packed()[i];
        return CompositeKey128::from_code(code_of(packed >> 32), static_cast<uint32_t>(packed));
    }
    uint32_t id_at(uint32_t i) const {
        if (!compact)
            return wide()[i].id();
        return narrow() ? narrow_id(narrow_entries()[i]) : static_cast<uint32_t>(packed()[i]);
    }
    bool narrow() const { return id_bits != 0; }
    // The table of steps of a compact leaf that keeps one, and the position
    // in it of entry `i`'s code; for checks.
    std::span<const uint64_t> code_table() const { return {table(), table_size}; }
    // The code `step` steps of 2^`shift` above `base`: an entry's in a
    // compact leaf of steps, or a table code's.
    Key128 code_at_step(uint64_t step) const { return base + (Key128{step} << shift); }
    // The step, or the table position, of compact entry `i`.
    uint64_t packed_step(uint32_t i) const {
        return narrow() ? narrow_entries()[i] >> id_bits : packed()[i] >> 32;
    }
    bool full() const { return len >= kLeafMax; }
    size_t entry_bytes() const {
        if (!compact)
            return sizeof(CompositeKey128);
        return narrow() ? sizeof(uint32_t) : sizeof(uint64_t);
    }
    size_t bytes() const {
        return sizeof(LeafNode) + table_size * sizeof(uint64_t) + size_t{cap} * entry_bytes();
    }

    // Position of the first entry whose key is >= `key` (> `key` for
    // `upper_bound`); `len` when there is none.
    uint32_t lower_bound(Key128 key) const {
        uint32_t first = 0;
        for (uint32_t count = len; count > 0;) {
            uint32_t half = count / 2;
            if (entry(first + half).key < key) {
                first += half + 1;
                count -= half + 1;
            } else {
                count = half;
            }
        }
        return first;
    }
    uint32_t upper_bound(Key128 key) const {
        return key == ~Key128{0} ? len : lower_bound(key + 1);
    }
    bool contains(CompositeKey128 wanted) const {
        uint32_t at = lower_bound(wanted.key);
        return at < len && entry(at) == wanted;
    }
    // Whether the form of this leaf can take `entry` as it is.
    bool can_take(CompositeKey128 wanted) const {
        if (!compact)
            return true;
        Key128 code = wanted.value_code();
        if (code < base)
            return false;
        Key128 step = code - base;
        if ((step & ((Key128{1} << shift) - 1)) != 0)
            return false;
        step >>= shift;
        if (narrow() && !fits_narrow(wanted.id()))
            return false;
        if (table_size > 0)
            return step <= UINT64_MAX &&
                   std::binary_search(table(), table() + table_size, static_cast<uint64_t>(step));
        return step <= (narrow() ? Key128{UINT32_MAX >> id_bits} : kStepLimit);
    }
    // Puts `entry` at position `point`, the entries from there moving up;
    // the leaf has room and `can_take` the entry.
    void insert_at(uint32_t point, CompositeKey128 wanted) {
        if (narrow()) {
            std::memmove(narrow_entries() + point + 1, narrow_entries() + point,
                         (len - point) * sizeof(uint32_t));
            narrow_entries()[point] = pack_narrow(wanted);
        } else if (compact) {
            std::memmove(packed() + point + 1, packed() + point, (len - point) * sizeof(uint64_t));
            packed()[point] = pack(wanted);
        } else {
            std::memmove(wide() + point + 1, wide() + point,
                         (len - point) * sizeof(CompositeKey128));
            wide()[point] = wanted;
        }
        ++len;
    }
    void erase_at(uint32_t point) {
        if (narrow())
            std::memmove(narrow_entries() + point, narrow_entries() + point + 1,
                         (len - point - 1) * sizeof(uint32_t));
        else if (compact)
            std::memmove(packed() + point, packed() + point + 1,
                         (len - point - 1) * sizeof(uint64_t));
        else
            std::memmove(wide() + point, wide() + point + 1,
                         (len - point - 1) * sizeof(CompositeKey128));
        --len;
    }
    // Appends the ids of the entries to `out`.
    void append_ids(std::vector<uint32_t>& out) const {
        for (uint32_t i = 0; i < len; ++i)
            out.push_back(id_at(i));
    }
    // Calls `f(id)` for the id of each of entries `from` to `to` (exclusive),
    // in order; the form is tested once, not per entry.
    template <typename F>
    void for_each_id(uint32_t from, uint32_t to, F&& f) const {
        if (narrow()) {
            const uint32_t mask = id_mask();
            for (const uint32_t *p = narrow_entries() + from, *end = narrow_entries() + to;
                 p != end; ++p)
                f(id_base + (*p & mask));
        } else if (compact) {
            for (const uint64_t *p = packed() + from, *end = packed() + to; p != end; ++p)
                f(static_cast<uint32_t>(*p));
        } else {
            for (const CompositeKey128 *e = wide() + from, *end = wide() + to; e != end; ++e)
                f(e->id());
        }
    }
    // Calls `f(step, id)` for each entry of a compact leaf in order, `step`
    // being its step from `base` or its position in the table; the width of
    // the entries is tested once, not per entry.
    template <typename F>
    void for_each_packed(F&& f) const {
        if (narrow()) {
            const uint32_t* entries = narrow_entries();
            const uint32_t bits = id_bits, mask = id_mask(), first = id_base;
            for (uint32_t k = 0, n = len; k < n; ++k)
                f(uint64_t{entries[k] >> bits}, first + (entries[k] & mask));
        } else {
            const uint64_t* entries = packed();
            for (uint32_t k = 0, n = len; k < n; ++k)
                f(entries[k] >> 32, static_cast<uint32_t>(entries[k]));
        }
    }
    // Writes the ids of entries `from` to `to` (exclusive) from `out` on;
    // returns the end.
    uint32_t* write_ids(uint32_t from, uint32_t to, uint32_t* out) const {
        for_each_id(from, to, [&](uint32_t id) { *out++ = id; });
        return out;
    }
    // Gathers what answers `range` in this leaf (see `BitMapBTree::query_range`).
    void collect_range(const KeyRange& range, RangeParts& parts) const;

  private:
    // The most steps of `1 << shift` a compact entry's code may lie above `base`.
    static constexpr Key128 kStepLimit = UINT32_MAX;

    // Makes a compact `header` narrow when its `entries` fit 4 bytes each,
    // `last_step` being the largest step or table position they take.
    static void choose_narrow(LeafNode& header, std::span<const CompositeKey128> entries,
                              uint64_t last_step);

    const CompositeKey128* wide() const { return trailing_array<CompositeKey128>(this); }
    CompositeKey128* wide() { return trailing_array<CompositeKey128>(this); }
    // The table of steps comes first; a leaf without one has its entries there.
    const uint64_t* table() const { return trailing_array<uint64_t>(this); }
    uint64_t* table() { return trailing_array<uint64_t>(this); }
    const uint64_t* packed() const { return table() + table_size; }
    uint64_t* packed() { return table() + table_size; }
    // The entries of a narrow leaf, in the same place.
    const uint32_t* narrow_entries() const {
        return reinterpret_cast<const uint32_t*>(table() + table_size);
    }
    uint32_t* narrow_entries() { return reinterpret_cast<uint32_t*>(table() + table_size); }
    uint32_t id_mask() const { return (uint32_t{1} << id_bits) - 1; }
    uint32_t narrow_id(uint32_t packed) const { return id_base + (packed & id_mask()); }
    bool fits_narrow(uint32_t id) const {
        return id >= id_base && ((id - id_base) >> id_bits) == 0;
    }
    // The code of a packed entry's upper half: a step, or a position in the
    // table of steps.
    Key128 code_of(uint64_t packed_step) const {
        return code_at_step(table_size > 0 ? table()[packed_step] : packed_step);
    }
    // The step of `entry`'s code, or its position in the table.
    uint64_t step_of(CompositeKey128 entry) const {
        auto step = static_cast<uint64_t>((entry.value_code() - base) >> shift);
        if (table_size > 0)
            step = static_cast<uint64_t>(std::lower_bound(table(), table() + table_size, step) -
                                         table());
        return step;
    }
    uint64_t pack(CompositeKey128 entry) const { return (step_of(entry) << 32) | entry.id(); }
    uint32_t pack_narrow(CompositeKey128 entry) const {
        return static_cast<uint32_t>(step_of(entry) << id_bits) | (entry.id() - id_base);
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
    // counts[i]: the entries below child i, kept at every level (for a leaf,
    // its `len`; above, the cardinality of `bitmaps[i]`, since an id is held
    // at most once in a tree), so that a walk passing over whole children
    // reads one array instead of each leaf's header or every container of
    // each child's bitmap (~16 allocations a million ids).
    std::vector<uint32_t> counts;
    // Levels below this node: 1 when its children are leaves.
    uint32_t height = 1;

    bool caches_bitmaps() const { return height > 1; }
    size_t len() const { return children.size(); }
    bool full() const { return children.size() >= kFanout; }

    // Inserts `entry` below this node (which is not full), splitting a full
    // child on the way; false (and no change) when the entry is already held.
    bool insert(CompositeKey128 entry);
    // Removes `entry` from below, merging or dropping a child it leaves small
    // or empty; false when the entry is not held.
    bool remove(CompositeKey128 entry);
    // Splits the child at `index` in halves, the right half going to `index + 1`.
    void split_child(uint32_t index);
    // Index of the child whose range holds `search_key`: the last child
    // whose lower bound is <= it, or 0.
    uint32_t get_key_index(Key128 search_key) const {
        auto after = std::upper_bound(keys.begin(), keys.end(), search_key,
                                      [](Key128 k, const CompositeKey128& e) { return k < e.key; });
        return after == keys.begin() ? 0 : static_cast<uint32_t>(after - keys.begin() - 1);
    }
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

// Calls `on_internal(InternalNode&)` or `on_leaf(LeafPtr&)` (const for a
// const node) for what `node` holds. A leaf comes as its handle, since a
// leaf that changes form or size is reallocated in its place; an internal
// node grows its arrays in place.
template <typename Node, typename OnInternal, typename OnLeaf>
decltype(auto) visit_node(Node& node, OnInternal&& on_internal, OnLeaf&& on_leaf) {
    if (auto* internal = std::get_if<InternalPtr>(&node))
        return on_internal(**internal);
    return on_leaf(std::get<LeafPtr>(node));
}

// The leaf a handle holds; the handle holds one.
inline const LeafNode& leaf_of(const BitMapBTreeNode& node) {
    return *std::get<LeafPtr>(node);
}

// The room a node holding `len` gets when it must grow or gives room back:
// a quarter more than it holds.
inline uint32_t roomy_capacity(uint32_t len, uint32_t max) {
    return std::min(max, std::max(kMinCapacity, len + len / 4));
}

// Whether a node holding `len` with room for `cap` has too much room.
inline bool has_spare_room(size_t len, size_t cap) {
    return cap > std::max<size_t>(kMinCapacity, 2 * len);
}

// Levels below a node: 0 for a leaf.
inline uint32_t node_height(const BitMapBTreeNode& node) {
    const auto* internal = std::get_if<InternalPtr>(&node);
    return internal ? (*internal)->height : 0;
}

// Entries below `node`: a leaf's length, or the sum of an internal node's
// counts.
inline uint32_t entries_below(const BitMapBTreeNode& node) {
    return visit_node(
        node,
        [](const InternalNode& internal) {
            uint32_t total = 0;
            for (uint32_t count : internal.counts)
                total += count;
            return total;
        },
        [](const LeafPtr& leaf) { return leaf->len; });
}

// The ids of every entry below `node`, in a new bitmap.
Bitmap node_ids(const BitMapBTreeNode& node);

// Calls `f(CompositeKey128)` for every entry below `node` in ascending key order.
template <typename F>
void walk_entries(const BitMapBTreeNode& node, F& f) {
    visit_node(
        node,
        [&](const InternalNode& internal) {
            for (const BitMapBTreeNode& child : internal.children)
                walk_entries(child, f);
        },
        [&](const LeafPtr& leaf) {
            for (uint32_t k = 0; k < leaf->len; ++k)
                f(leaf->entry(k));
        });
}

}  // namespace vorlane
