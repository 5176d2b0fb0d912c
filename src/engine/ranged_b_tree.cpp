#include "engine/ranged_b_tree.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <functional>
#include <iterator>
#include <new>

#include <absl/container/inlined_vector.h>
#include <string>
#include <vector>

#include "engine/bulk_buffer.hpp"
#include "engine/panic.hpp"
#include "engine/prefetch.hpp"
#include "engine/sort_ids.hpp"

namespace vorlane {

// What a range query gathers on its way down: the cached bitmaps of children
// lying wholly inside the range, and the ids of the boundary leaves' entries
// inside it. The mask, unless it holds every id of the tree, is applied
// once to their union (intersection
// distributes over union): one library call instead of one per child and no
// temporary bitmap per child.
struct RangeParts {
    std::vector<const Bitmap*> whole;
    std::vector<uint32_t> ids;

    // Ids per 2^16 of the mask's span up to which the union is gathered as a
    // sorted list rather than built by the library's many-way union. That
    // union makes a dense container for every 2^16 ids the parts touch and,
    // for a sparse result, turns each back into a sorted array, which costs
    // more than sorting the ids themselves; a quarter of the array limit
    // keeps clear of the point where dense containers pay off.
    static constexpr uint64_t kSparseIdsPerContainer = Bitmap::kArrayContainerLimit / 4;

    Bitmap union_within(const Bitmap& mask, UniverseCover cover) {
        if (mask.is_empty())
            return Bitmap();
        uint64_t listed = ids.size();
        for (const Bitmap* part : whole)
            listed += part->cardinality();
        uint64_t containers =
            (mask.maximum() / Bitmap::kContainerIds) - (mask.minimum() / Bitmap::kContainerIds) + 1;
        Bitmap result;
        if (listed <= kSparseIdsPerContainer * containers) {
            result = gathered_union(listed);
        } else {
            result = Bitmap::or_many(whole);
            // The leaves' ids come in value order, scattered over the id
            // space.
            result.or_inplace(Bitmap::of_unsorted(ids));
        }
        if (cover == UniverseCover::Part)
            result.and_inplace(mask);
        return result;
    }

  private:
    // The union of the parts, from their ids gathered in one list.
    Bitmap gathered_union(uint64_t listed) {
        ids.reserve(listed);
        for (const Bitmap* part : whole)
            part->append_to(ids);
        return Bitmap::of_unsorted(ids);
    }
};

// ---------------------------------------------------------------------------
// Helpers shared by both node kinds

namespace {

// Window index of the last key <= `key`; 0 when the key precedes them all or
// there are none.
uint32_t position(std::span<const CompositeKey128> window, Key128 key) {
    auto after = std::upper_bound(window.begin(), window.end(), key,
                                  [](Key128 k, const CompositeKey128& e) { return k < e.key; });
    return after == window.begin() ? 0 : static_cast<uint32_t>(after - window.begin() - 1);
}

// The room a node holding `len` gets when it must grow or gives room back:
// a quarter more than it holds.
uint32_t roomy_capacity(uint32_t len, uint32_t max) {
    return std::min(max, std::max(kMinCapacity, len + len / 4));
}

// Whether a node holding `len` with room for `cap` has too much room.
bool has_spare_room(size_t len, size_t cap) {
    return cap > std::max<size_t>(kMinCapacity, 2 * len);
}

// Makes room for one more element in an internal node's array.
template <typename T>
void reserve_one_more(std::vector<T>& v) {
    if (v.size() == v.capacity())
        v.reserve(roomy_capacity(static_cast<uint32_t>(v.size()) + 1, kFanout));
}

// Gives back the room of an array left with much more than it holds.
template <typename T>
void fit(std::vector<T>& v) {
    if (!has_spare_room(v.size(), v.capacity()))
        return;
    std::vector<T> fitted;
    fitted.reserve(roomy_capacity(static_cast<uint32_t>(v.size()), kFanout));
    std::move(v.begin(), v.end(), std::back_inserter(fitted));
    v.swap(fitted);
}

const LeafNode& leaf_of(const BitMapBTreeNode& node) {
    return *std::get<LeafPtr>(node);
}

size_t node_len(const BitMapBTreeNode& node) {
    if (const auto* internal = std::get_if<InternalPtr>(&node))
        return (*internal)->len();
    return leaf_of(node).len;
}

bool node_is_full(const BitMapBTreeNode& node) {
    if (const auto* internal = std::get_if<InternalPtr>(&node))
        return (*internal)->full();
    return leaf_of(node).full();
}

uint32_t node_height(const BitMapBTreeNode& node) {
    const auto* internal = std::get_if<InternalPtr>(&node);
    return internal ? (*internal)->height : 0;
}

}  // namespace

// ---------------------------------------------------------------------------
// Leaf nodes

void LeafFree::operator()(LeafNode* leaf) const {
    ::operator delete(leaf);
}

namespace {

constexpr Key128 kStepLimit = UINT32_MAX;

// Trailing zero bits of a nonzero 128-bit number.
int trailing_zeros(Key128 x) {
    auto low = static_cast<uint64_t>(x);
    return low != 0 ? std::countr_zero(low) : 64 + std::countr_zero(static_cast<uint64_t>(x >> 64));
}

}  // namespace

LeafPtr LeafNode::make(std::span<const CompositeKey128> entries, uint32_t cap) {
    LeafNode header{static_cast<uint32_t>(entries.size()), cap};
    if (!entries.empty()) {
        // Compact when every code is the first one plus a multiple of one
        // power of two, at most 2^32 - 1 of them.
        Key128 base = entries.front().value_code();
        Key128 steps = 0;
        for (CompositeKey128 entry : entries)
            steps |= entry.value_code() - base;
        int shift = steps == 0 ? 0 : trailing_zeros(steps);
        if (((entries.back().value_code() - base) >> shift) <= kStepLimit) {
            header.compact = true;
            header.shift = static_cast<uint8_t>(shift);
            header.base = base;
        }
    }
    void* memory = ::operator new(header.bytes());
    LeafPtr leaf(new (memory) LeafNode(header));
    for (uint32_t i = 0; i < leaf->len; ++i) {
        if (leaf->compact)
            leaf->packed()[i] = leaf->pack(entries[i]);
        else
            leaf->wide()[i] = entries[i];
    }
    return leaf;
}

uint32_t LeafNode::lower_bound(Key128 key) const {
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

uint32_t LeafNode::upper_bound(Key128 key) const {
    return key == ~Key128{0} ? len : lower_bound(key + 1);
}

bool LeafNode::contains(CompositeKey128 wanted) const {
    uint32_t at = lower_bound(wanted.key);
    return at < len && entry(at) == wanted;
}

bool LeafNode::can_take(CompositeKey128 wanted) const {
    if (!compact)
        return true;
    Key128 code = wanted.value_code();
    if (code < base)
        return false;
    Key128 step = code - base;
    return (step & ((Key128{1} << shift) - 1)) == 0 && (step >> shift) <= kStepLimit;
}

void LeafNode::insert_at(uint32_t point, CompositeKey128 wanted) {
    if (compact) {
        std::memmove(packed() + point + 1, packed() + point, (len - point) * sizeof(uint64_t));
        packed()[point] = pack(wanted);
    } else {
        std::memmove(wide() + point + 1, wide() + point, (len - point) * sizeof(CompositeKey128));
        wide()[point] = wanted;
    }
    ++len;
}

void LeafNode::erase_at(uint32_t point) {
    if (compact)
        std::memmove(packed() + point, packed() + point + 1, (len - point - 1) * sizeof(uint64_t));
    else
        std::memmove(wide() + point, wide() + point + 1,
                     (len - point - 1) * sizeof(CompositeKey128));
    --len;
}

void LeafNode::append_entries(std::vector<CompositeKey128>& out) const {
    for (uint32_t i = 0; i < len; ++i)
        out.push_back(entry(i));
}

void LeafNode::append_ids(std::vector<uint32_t>& out) const {
    for (uint32_t i = 0; i < len; ++i)
        out.push_back(id_at(i));
}

void LeafNode::collect_range(const KeyRange& range, RangeParts& parts) const {
    for (uint32_t i = lower_bound(range.first), end = upper_bound(range.last); i < end; ++i)
        parts.ids.push_back(id_at(i));
}

namespace {

void check_leaf(bool ok, const char* what) {
    if (!ok)
        panic(std::string("BitMapBTree invariant broken: ") + what);
}

}  // namespace

void LeafNode::validate() const {
    check_leaf(len <= cap && cap <= kLeafMax, "leaf holds more than its room");
    check_leaf(!compact || shift < 96, "compact leaf shifts its steps out of the code");
    for (uint32_t i = 1; i < len; ++i)
        check_leaf(entry(i - 1) < entry(i), "keys not strictly ascending");
}

namespace {

// Entries of at most two leaves, decoded on the stack.
using LeafEntries = absl::InlinedVector<CompositeKey128, 2 * kLeafMax>;

LeafEntries decoded(const LeafNode& leaf) {
    LeafEntries out;
    for (uint32_t i = 0; i < leaf.len; ++i)
        out.push_back(leaf.entry(i));
    return out;
}

// Inserts `entry` into a leaf that is not full, growing its allocation when
// it has no room left and changing its form when the compact one cannot take
// the entry; false (and no change) when the leaf holds it.
bool leaf_insert(LeafPtr& leaf, CompositeKey128 entry) {
    uint32_t point = leaf->lower_bound(entry.key);
    if (point < leaf->len && leaf->entry(point) == entry)
        return false;
    if (leaf->len < leaf->cap && leaf->can_take(entry)) {
        leaf->insert_at(point, entry);
        return true;
    }
    LeafEntries entries = decoded(*leaf);
    entries.insert(entries.begin() + point, entry);
    uint32_t cap = leaf->len < leaf->cap ? leaf->cap : roomy_capacity(leaf->len + 1, kLeafMax);
    leaf = LeafNode::make(entries, cap);
    return true;
}

// Gives back the room of a leaf left with much more than it holds.
void fit_leaf(LeafPtr& leaf) {
    if (has_spare_room(leaf->len, leaf->cap))
        leaf = LeafNode::make(decoded(*leaf), roomy_capacity(leaf->len, kLeafMax));
}

bool leaf_remove(LeafPtr& leaf, CompositeKey128 entry) {
    uint32_t point = leaf->lower_bound(entry.key);
    if (point == leaf->len || leaf->entry(point) != entry)
        return false;
    leaf->erase_at(point);
    fit_leaf(leaf);
    return true;
}

// Keeps the first half of a leaf; returns the second half.
LeafPtr leaf_split(LeafPtr& leaf) {
    uint32_t keep = leaf->len / 2;
    LeafEntries all = decoded(*leaf);
    std::span<const CompositeKey128> entries(all);
    LeafPtr right =
        LeafNode::make(entries.subspan(keep), roomy_capacity(leaf->len - keep, kLeafMax));
    leaf = LeafNode::make(entries.first(keep), roomy_capacity(keep, kLeafMax));
    return right;
}

}  // namespace

// ---------------------------------------------------------------------------
// Dispatch over the node kinds

namespace {

bool insert_into(BitMapBTreeNode& node, CompositeKey128 entry) {
    if (auto* internal = std::get_if<InternalPtr>(&node))
        return (*internal)->insert(entry);
    return leaf_insert(std::get<LeafPtr>(node), entry);
}

bool remove_from(BitMapBTreeNode& node, CompositeKey128 entry) {
    if (auto* internal = std::get_if<InternalPtr>(&node))
        return (*internal)->remove(entry);
    return leaf_remove(std::get<LeafPtr>(node), entry);
}

// A node's first key: its parent's lower bound for it. Panics on an empty
// node, which a split never makes.
CompositeKey128 first_key(const BitMapBTreeNode& node) {
    if (const auto* internal = std::get_if<InternalPtr>(&node)) {
        if ((*internal)->keys.empty())
            panic("incorrect offset");
        return (*internal)->keys.front();
    }
    if (leaf_of(node).len == 0)
        panic("invalid offset");
    return leaf_of(node).entry(0);
}

// The ids of every entry below `node`, in a new bitmap.
Bitmap node_ids(const BitMapBTreeNode& node) {
    if (const auto* internal = std::get_if<InternalPtr>(&node))
        return (*internal)->get_bitmap();
    std::vector<uint32_t> ids;
    leaf_of(node).append_ids(ids);
    sort_ids(ids);
    return Bitmap::of(ids);
}

// Keeps the first half of a node; returns the second half.
BitMapBTreeNode split_node(BitMapBTreeNode& node) {
    if (auto* leaf = std::get_if<LeafPtr>(&node))
        return leaf_split(*leaf);
    InternalNode& left = *std::get<InternalPtr>(node);
    size_t keep = left.len() / 2;
    auto right = std::make_unique<InternalNode>();
    right->height = left.height;
    auto take = [keep](auto& from, auto& to) {
        to.reserve(roomy_capacity(static_cast<uint32_t>(from.size() - keep), kFanout));
        std::move(from.begin() + static_cast<std::ptrdiff_t>(keep), from.end(),
                  std::back_inserter(to));
        from.erase(from.begin() + static_cast<std::ptrdiff_t>(keep), from.end());
        fit(from);
    };
    take(left.keys, right->keys);
    take(left.children, right->children);
    if (left.caches_bitmaps())
        take(left.bitmaps, right->bitmaps);
    return right;
}

bool subtree_contains(const BitMapBTreeNode& root, CompositeKey128 entry) {
    const BitMapBTreeNode* node = &root;
    while (const auto* internal = std::get_if<InternalPtr>(node)) {
        const InternalNode& n = **internal;
        node = &n.children[n.get_key_index(entry.key)];
    }
    return leaf_of(*node).contains(entry);
}

void collect_node(const BitMapBTreeNode& node, const KeyRange& range, RangeParts& parts) {
    if (const auto* internal = std::get_if<InternalPtr>(&node))
        return (*internal)->collect_range(range, parts);
    return leaf_of(node).collect_range(range, parts);
}

}  // namespace

// ---------------------------------------------------------------------------
// Internal nodes

uint32_t InternalNode::get_key_index(Key128 search_key) const {
    return position(keys, search_key);
}

bool InternalNode::insert(CompositeKey128 entry) {
    // The last child whose lower bound is <= the entry; a lower bound equal to
    // the entry (left behind by a removal) leads into that same child.
    uint32_t index = get_key_index(entry.key);
    // An entry below every lower bound goes into the first child, whose bound
    // drops to it: bounds stay true lower bounds, so the separator of a later
    // split of that child still sorts above it.
    if (entry < keys[index])
        keys[index] = entry;
    if (node_is_full(children[index])) {
        // A held pair changes nothing, not even the shape.
        if (subtree_contains(children[index], entry))
            return false;
        split_child(index);
        if (keys[index + 1] < entry)
            ++index;
    }
    bool inserted = insert_into(children[index], entry);
    if (inserted && caches_bitmaps())
        bitmaps[index].add(entry.id());
    return inserted;
}

void InternalNode::split_child(uint32_t index) {
    BitMapBTreeNode right = split_node(children[index]);
    CompositeKey128 separator = first_key(right);
    reserve_one_more(keys);
    reserve_one_more(children);
    auto after = static_cast<std::ptrdiff_t>(index) + 1;
    if (caches_bitmaps()) {
        // Ids are unique within a subtree, so the left half holds exactly the
        // ids that did not move right.
        Bitmap right_ids = node_ids(right);
        right_ids.shrink_to_fit();
        bitmaps[index].andnot_inplace(right_ids);
        bitmaps[index].shrink_to_fit();
        reserve_one_more(bitmaps);
        bitmaps.insert(bitmaps.begin() + after, std::move(right_ids));
    }
    keys.insert(keys.begin() + after, separator);
    children.insert(children.begin() + after, std::move(right));
}

bool InternalNode::remove(CompositeKey128 entry) {
    uint32_t index = get_key_index(entry.key);
    if (!remove_from(children[index], entry))
        return false;
    if (caches_bitmaps())
        bitmaps[index].remove(entry.id());
    rebalance(index);
    return true;
}

void InternalNode::rebalance(uint32_t index) {
    size_t len = node_len(children[index]);
    bool leaves = !caches_bitmaps();
    if (len == 0) {
        auto at = static_cast<std::ptrdiff_t>(index);
        keys.erase(keys.begin() + at);
        children.erase(children.begin() + at);
        if (!leaves)
            bitmaps.erase(bitmaps.begin() + at);
    } else {
        size_t underflow = leaves ? kLeafUnderflow : kFanoutUnderflow;
        size_t limit = leaves ? kLeafMergeLimit : kFanoutMergeLimit;
        if (len >= underflow)
            return;
        if (index > 0 && len + node_len(children[index - 1]) <= limit) {
            merge_children(index - 1);
        } else if (index + 1 < this->len() && len + node_len(children[index + 1]) <= limit) {
            merge_children(index);
        } else {
            return;
        }
    }
    fit(keys);
    fit(children);
    fit(bitmaps);
}

void InternalNode::merge_children(uint32_t index) {
    BitMapBTreeNode& left = children[index];
    BitMapBTreeNode& right = children[index + 1];
    if (auto* leaf = std::get_if<LeafPtr>(&left)) {
        LeafEntries both = decoded(**leaf);
        const LeafNode& second = leaf_of(right);
        for (uint32_t i = 0; i < second.len; ++i)
            both.push_back(second.entry(i));
        *leaf = LeafNode::make(both, roomy_capacity(static_cast<uint32_t>(both.size()), kLeafMax));
    } else {
        InternalNode& first = *std::get<InternalPtr>(left);
        InternalNode& second = *std::get<InternalPtr>(right);
        auto append = [](auto& to, auto& from) {
            to.reserve(roomy_capacity(static_cast<uint32_t>(to.size() + from.size()), kFanout));
            std::move(from.begin(), from.end(), std::back_inserter(to));
        };
        append(first.keys, second.keys);
        append(first.children, second.children);
        append(first.bitmaps, second.bitmaps);
    }
    auto at = static_cast<std::ptrdiff_t>(index) + 1;
    if (caches_bitmaps()) {
        bitmaps[index].or_inplace(bitmaps[index + 1]);
        bitmaps.erase(bitmaps.begin() + at);
    }
    keys.erase(keys.begin() + at);
    children.erase(children.begin() + at);
}

Bitmap InternalNode::get_bitmap() const {
    if (caches_bitmaps()) {
        std::vector<const Bitmap*> parts;
        parts.reserve(bitmaps.size());
        for (const Bitmap& ids : bitmaps)
            parts.push_back(&ids);
        return Bitmap::or_many(parts);
    }
    std::vector<uint32_t> ids;
    for (const BitMapBTreeNode& child : children)
        leaf_of(child).append_ids(ids);
    sort_ids(ids);
    return Bitmap::of(ids);
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
            leaf_of(children[i]).append_ids(parts.ids);
    }
    if (hi != lo && hi < len())
        collect_node(children[hi], range, parts);
}

size_t InternalNode::bytes() const {
    return sizeof(InternalNode) + keys.capacity() * sizeof(CompositeKey128) +
           children.capacity() * sizeof(BitMapBTreeNode) + bitmaps.capacity() * sizeof(Bitmap);
}

// ---------------------------------------------------------------------------
// The tree

BitMapBTree::BitMapBTree() : root_(LeafNode::make({}, 0)) {}
BitMapBTree::~BitMapBTree() = default;
BitMapBTree::BitMapBTree(BitMapBTree&&) noexcept = default;
BitMapBTree& BitMapBTree::operator=(BitMapBTree&&) noexcept = default;

void BitMapBTree::split_root() {
    auto root = std::make_unique<InternalNode>();
    root->height = node_height(root_) + 1;
    root->keys.reserve(kMinCapacity);
    root->children.reserve(kMinCapacity);
    root->keys.push_back(first_key(root_));
    root->children.push_back(std::move(root_));
    if (root->caches_bitmaps()) {
        root->bitmaps.reserve(kMinCapacity);
        root->bitmaps.push_back(node_ids(root->children.front()));
    }
    root_ = std::move(root);
    std::get<InternalPtr>(root_)->split_child(0);
}

void BitMapBTree::insert(NumericValue value, uint32_t id) {
    if (insert_entry(CompositeKey128::new_(value, id)))
        ++size_;
}

bool BitMapBTree::insert_entry(CompositeKey128 entry) {
    if (node_is_full(root_)) {
        // A held pair changes nothing, not even the shape.
        if (subtree_contains(root_, entry))
            return false;
        split_root();
    }
    return insert_into(root_, entry);
}

bool BitMapBTree::remove_entry(CompositeKey128 entry) {
    if (!remove_from(root_, entry))
        return false;
    // A root with one child hands over to it; one with none gives way to an
    // empty leaf.
    while (auto* internal = std::get_if<InternalPtr>(&root_)) {
        if ((*internal)->len() > 1)
            break;
        if ((*internal)->len() == 0) {
            root_ = LeafNode::make({}, 0);
            break;
        }
        BitMapBTreeNode child = std::move((*internal)->children.front());
        root_ = std::move(child);
    }
    return true;
}

namespace {

// A node of a tree under construction, with what its parent keeps of it.
struct BuiltNode {
    BitMapBTreeNode node;
    CompositeKey128 first;  // its smallest entry: the parent's lower bound for it
};

// Calls `f(start, count)` for consecutive groups covering `total` items: the
// fewest groups of at most `fill`, of sizes that differ by at most one, so
// that no node of a level is left nearly empty.
template <typename F>
void for_each_group(size_t total, uint32_t fill, F&& f) {
    size_t groups = (total + fill - 1) / fill;
    size_t base = total / groups;
    size_t larger = total % groups;
    size_t start = 0;
    for (size_t g = 0; g < groups; ++g) {
        size_t count = base + (g < larger ? 1 : 0);
        f(start, static_cast<uint32_t>(count));
        start += count;
    }
}

// The leaves over `entries` (ascending, distinct, not empty), each sized to
// what it holds and `kBulkLeafRoom` more.
std::vector<BuiltNode> build_leaves(std::span<const CompositeKey128> entries) {
    std::vector<BuiltNode> level;
    level.reserve(entries.size() / kBulkLeafFill + 1);
    for_each_group(entries.size(), kBulkLeafFill, [&](size_t start, uint32_t count) {
        // Never more room than a leaf may keep (see `has_spare_room`).
        uint32_t cap =
            std::min({kLeafMax, count + kBulkLeafRoom, std::max(kMinCapacity, 2 * count)});
        level.push_back({LeafNode::make(entries.subspan(start, count), cap), entries[start]});
    });
    return level;
}

// One level up: internal nodes taking `children` in order. Each caches the
// bitmaps of its children when they are internal nodes.
std::vector<BuiltNode> build_parents(std::vector<BuiltNode>& children) {
    std::vector<BuiltNode> level;
    uint32_t height = node_height(children.front().node) + 1;
    for_each_group(children.size(), kBulkFanout, [&](size_t start, uint32_t count) {
        auto node = std::make_unique<InternalNode>();
        node->height = height;
        node->keys.reserve(count);
        node->children.reserve(count);
        if (node->caches_bitmaps())
            node->bitmaps.reserve(count);
        for (uint32_t i = 0; i < count; ++i) {
            BuiltNode& child = children[start + i];
            node->keys.push_back(child.first);
            if (node->caches_bitmaps()) {
                Bitmap ids = node_ids(child.node);
                ids.shrink_to_fit();
                node->bitmaps.push_back(std::move(ids));
            }
            node->children.push_back(std::move(child.node));
        }
        level.push_back({std::move(node), children[start].first});
    });
    return level;
}

// The root of a tree over `entries` (ascending, distinct, not empty).
BitMapBTreeNode build_tree(std::span<const CompositeKey128> entries) {
    std::vector<BuiltNode> level = build_leaves(entries);
    while (level.size() > 1)
        level = build_parents(level);
    return std::move(level.front().node);
}

}  // namespace

// Beyond this many entries per entry held, a batch goes into a non-empty tree
// by rebuilding it from both: one pass over each instead of one descent per
// entry, and nodes as full as a bulk build makes them.
constexpr size_t kRebuildRatio = 4;

void BitMapBTree::insert_sorted(std::span<const CompositeKey128> entries) {
    if (!empty() && entries.size() * kRebuildRatio < size_) {
        for (CompositeKey128 entry : entries) {
            if (insert_entry(entry))
                ++size_;
        }
        return;
    }
    rebuild_with(entries);
}

void BitMapBTree::rebuild_with(std::span<const CompositeKey128> entries) {
    BulkVector<CompositeKey128> held;
    held.reserve(size_);
    for_each_entry([&](CompositeKey128 entry) { held.push_back(entry); });
    BulkVector<CompositeKey128> all;
    all.reserve(held.size() + entries.size());
    // The union drops repeated entries and those already held.
    std::set_union(held.begin(), held.end(), entries.begin(), entries.end(),
                   std::back_inserter(all));
    all.erase(std::unique(all.begin(), all.end()), all.end());
    if (all.empty())
        return;
    root_ = build_tree(all);
    size_ = all.size();
}

// Levels a move in place walks at most; deeper trees (beyond any size ids
// allow) take the two steps.
constexpr size_t kMaxMoveDepth = 16;

bool BitMapBTree::move_in_place(CompositeKey128 from, CompositeKey128 to) {
    // Both routes must lead through the same nodes, none of them full (the
    // insertion would split it), to one leaf that holds `from`, not `to`, and
    // that the removal would neither leave small nor have give room back.
    std::array<CompositeKey128*, kMaxMoveDepth> lowered{};
    size_t depth = 0;
    BitMapBTreeNode* node = &root_;
    while (auto* internal = std::get_if<InternalPtr>(node)) {
        InternalNode& n = **internal;
        uint32_t index = n.get_key_index(from.key);
        if (n.full() || index != n.get_key_index(to.key) || depth == lowered.size())
            return false;
        lowered[depth++] = &n.keys[index];
        node = &n.children[index];
    }
    LeafNode& leaf = *std::get<LeafPtr>(*node);
    bool is_root = node == &root_;
    if ((!is_root && leaf.len <= kLeafUnderflow) || has_spare_room(leaf.len - 1, leaf.cap) ||
        !leaf.can_take(to))
        return false;
    uint32_t old_at = leaf.lower_bound(from.key);
    if (old_at == leaf.len || leaf.entry(old_at) != from || leaf.contains(to))
        return false;
    leaf.erase_at(old_at);
    leaf.insert_at(leaf.lower_bound(to.key), to);
    for (size_t i = 0; i < depth; ++i) {
        if (to < *lowered[i])
            *lowered[i] = to;
    }
    return true;
}

MoveOutcome BitMapBTree::move(NumericValue old_value, NumericValue new_value, uint32_t id) {
    CompositeKey128 from = CompositeKey128::new_(old_value, id);
    CompositeKey128 to = CompositeKey128::new_(new_value, id);
    if (move_in_place(from, to))
        return {true, true};
    MoveOutcome outcome{remove_entry(from), insert_entry(to)};
    size_ = size_ - outcome.removed + outcome.inserted;
    return outcome;
}

namespace {

// Cached bitmaps a move may change: two per cached level, for trees up to
// this many levels; deeper ones are left to the move itself.
constexpr size_t kPrefetchedLevels = 8;

void prefetch_node(const BitMapBTreeNode& node) {
    if (const auto* internal = std::get_if<InternalPtr>(&node)) {
        const InternalNode& n = **internal;
        prefetch_line(&n);
        return;
    }
    const LeafNode& leaf = leaf_of(node);
    prefetch_bytes(&leaf, sizeof(LeafNode) + leaf.len * leaf.entry_bytes());
}

}  // namespace

void BitMapBTree::prefetch_move(NumericValue old_value, NumericValue new_value, uint32_t id) const {
    RoutePrefetch from = route(old_value, id);
    RoutePrefetch to = route(new_value, id);
    std::array<const Bitmap*, 2 * kPrefetchedLevels> changing;
    size_t count = 0;
    for (;;) {
        size_t before = count;
        bool deeper = from.step(changing, count);
        if (!to.step(changing, count) || !deeper)
            break;
        // A child both routes enter keeps the id: its bitmap is not touched.
        if (from.at() == to.at())
            count = before;
    }
    Bitmap::prefetch_update(std::span<const Bitmap* const>(changing.data(), count), id);
}

RoutePrefetch::RoutePrefetch(const BitMapBTreeNode& root, CompositeKey128 entry)
    : node_(&root), key_(entry.key) {
    // The root is read by the first step: request it now.
    prefetch_node(root);
}

bool RoutePrefetch::step(Changing changing, size_t& count) {
    const auto* internal = std::get_if<InternalPtr>(node_);
    if (internal == nullptr)
        return false;
    const InternalNode& node = **internal;
    uint32_t index = node.get_key_index(key_);
    if (node.caches_bitmaps() && count < changing.size())
        changing[count++] = &node.bitmaps[index];
    node_ = &node.children[index];
    prefetch_node(*node_);
    return true;
}

bool BitMapBTree::remove(NumericValue value, uint32_t id) {
    if (!remove_entry(CompositeKey128::new_(value, id)))
        return false;
    --size_;
    return true;
}

bool BitMapBTree::contains(NumericValue value, uint32_t id) const {
    return subtree_contains(root_, CompositeKey128::new_(value, id));
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

namespace {

size_t node_memory(const BitMapBTreeNode& node) {
    if (const auto* internal = std::get_if<InternalPtr>(&node)) {
        const InternalNode& n = **internal;
        size_t total = n.bytes();
        for (const Bitmap& ids : n.bitmaps)
            total += ids.size_in_bytes();
        for (const BitMapBTreeNode& child : n.children)
            total += node_memory(child);
        return total;
    }
    return leaf_of(node).bytes();
}

}  // namespace

size_t BitMapBTree::memory_usage() const {
    return node_memory(root_);
}

// ---------------------------------------------------------------------------
// Validation

namespace {

// The keys a subtree may hold: [low, high), each end open when absent.
struct KeyBounds {
    std::optional<Key128> low;
    std::optional<Key128> high;

    bool admits(Key128 key) const { return (!low || *low <= key) && (!high || key < *high); }
};

void check(bool ok, const char* what) {
    if (!ok)
        panic(std::string("BitMapBTree invariant broken: ") + what);
}

struct SubtreeFacts {
    size_t entries = 0;
    std::vector<uint32_t> ids;
};

void check_ascending(std::span<const CompositeKey128> keys) {
    check(std::adjacent_find(keys.begin(), keys.end(), std::greater_equal<>()) == keys.end(),
          "keys not strictly ascending");
}

SubtreeFacts validate_node(const BitMapBTreeNode& node, const KeyBounds& bounds, bool is_root) {
    SubtreeFacts facts;
    if (const auto* leaf_ptr = std::get_if<LeafPtr>(&node)) {
        check(*leaf_ptr != nullptr, "absent node");
        const LeafNode& leaf = **leaf_ptr;
        check(!has_spare_room(leaf.len, leaf.cap), "leaf has more than twice the room it needs");
        check(is_root || leaf.len > 0, "empty leaf kept");
        leaf.validate();
        for (uint32_t i = 0; i < leaf.len; ++i) {
            check(bounds.admits(leaf.entry(i).key), "leaf entry outside its parent's key range");
            facts.ids.push_back(leaf.id_at(i));
        }
        facts.entries = leaf.len;
        return facts;
    }
    const InternalPtr& ptr = std::get<InternalPtr>(node);
    check(ptr != nullptr, "absent node");
    const InternalNode& n = *ptr;
    check(n.keys.size() == n.len(), "keys and children differ in number");
    check(n.len() <= kFanout, "more children than the fanout");
    check(n.len() >= (is_root ? 2u : 1u), "internal node with too few children");
    check(n.bitmaps.size() == (n.caches_bitmaps() ? n.len() : 0),
          "cached bitmaps not one per internal child");
    check(!has_spare_room(n.len(), n.keys.capacity()) &&
              !has_spare_room(n.len(), n.children.capacity()) &&
              !has_spare_room(n.bitmaps.size(), n.bitmaps.capacity()),
          "internal node has more than twice the room it needs");
    check_ascending(n.keys);
    for (size_t i = 0; i < n.len(); ++i) {
        check(node_height(n.children[i]) + 1 == n.height, "leaves at different depths");
        KeyBounds child_bounds{n.keys[i].key, i + 1 == n.len() ? bounds.high : n.keys[i + 1].key};
        check(bounds.admits(n.keys[i].key), "lower-bound key outside its parent's range");
        SubtreeFacts child = validate_node(n.children[i], child_bounds, false);
        if (n.caches_bitmaps()) {
            check(Bitmap::of(child.ids) == n.bitmaps[i], "child bitmap differs from its ids");
            check(n.bitmaps[i].cardinality() == child.entries, "an id occurs twice in a subtree");
        }
        facts.entries += child.entries;
        facts.ids.insert(facts.ids.end(), child.ids.begin(), child.ids.end());
    }
    return facts;
}

}  // namespace

void BitMapBTree::validate() const {
    SubtreeFacts facts = validate_node(root_, KeyBounds{}, true);
    check(facts.entries == size_, "entry count differs from size()");
}

}  // namespace vorlane
