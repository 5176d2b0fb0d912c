// Insertion into and removal from the ordered bitmap tree: leaves that grow,
// change form and split; children that merge or go when left small; moves of
// an id from one value to another, in place where they can be; and the
// prefetching of a move's routes.

#include <absl/container/inlined_vector.h>

#include <array>
#include <iterator>

#include "engine/panic.hpp"
#include "engine/prefetch.hpp"
#include "engine/ranged_b_tree.hpp"

namespace vorlane {

namespace {

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

size_t node_len(const BitMapBTreeNode& node) {
    return visit_node(
        node, [](const InternalNode& internal) { return internal.len(); },
        [](const LeafPtr& leaf) { return size_t{leaf->len}; });
}

bool node_is_full(const BitMapBTreeNode& node) {
    return visit_node(
        node, [](const InternalNode& internal) { return internal.full(); },
        [](const LeafPtr& leaf) { return leaf->full(); });
}

bool subtree_contains(const BitMapBTreeNode& root, CompositeKey128 entry) {
    const BitMapBTreeNode* node = &root;
    while (const auto* internal = std::get_if<InternalPtr>(node)) {
        const InternalNode& n = **internal;
        node = &n.children[n.get_key_index(entry.key)];
    }
    return leaf_of(*node).contains(entry);
}

// Entries of at most two leaves, decoded on the stack.
using LeafEntries = absl::InlinedVector<CompositeKey128, size_t{2} * kLeafMax>;

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

// Keeps the first half of an internal node; returns the second half.
InternalPtr internal_split(InternalNode& left) {
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
    take(left.counts, right->counts);
    if (left.caches_bitmaps())
        take(left.bitmaps, right->bitmaps);
    return right;
}

bool insert_into(BitMapBTreeNode& node, CompositeKey128 entry) {
    return visit_node(
        node, [&](InternalNode& internal) { return internal.insert(entry); },
        [&](LeafPtr& leaf) { return leaf_insert(leaf, entry); });
}

bool remove_from(BitMapBTreeNode& node, CompositeKey128 entry) {
    return visit_node(
        node, [&](InternalNode& internal) { return internal.remove(entry); },
        [&](LeafPtr& leaf) { return leaf_remove(leaf, entry); });
}

// Keeps the first half of a node; returns the second half.
BitMapBTreeNode split_node(BitMapBTreeNode& node) {
    return visit_node(
        node, [](InternalNode& internal) { return BitMapBTreeNode(internal_split(internal)); },
        [](LeafPtr& leaf) { return BitMapBTreeNode(leaf_split(leaf)); });
}

// A node's first key: its parent's lower bound for it. A split never leaves
// a node empty.
CompositeKey128 first_key(const BitMapBTreeNode& node) {
    bool empty = node_len(node) == 0;
    if (empty)
        panic("BitMapBTree invariant broken: split left an empty node");
    return visit_node(
        node, [](const InternalNode& internal) { return internal.keys.front(); },
        [](const LeafPtr& leaf) { return leaf->entry(0); });
}

}  // namespace

// ---------------------------------------------------------------------------
// Internal nodes

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
    if (!inserted)
        return false;
    ++counts[index];  // the entry was not below this node: it is now, once
    if (caches_bitmaps())
        bitmaps[index].add(entry.id());
    return true;
}

void InternalNode::split_child(uint32_t index) {
    BitMapBTreeNode right = split_node(children[index]);
    CompositeKey128 separator = first_key(right);
    reserve_one_more(keys);
    reserve_one_more(children);
    auto after = static_cast<std::ptrdiff_t>(index) + 1;
    uint32_t right_count = entries_below(right);
    counts[index] -= right_count;
    reserve_one_more(counts);
    counts.insert(counts.begin() + after, right_count);
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
    --counts[index];
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
        counts.erase(counts.begin() + at);
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
    fit(counts);
}

void InternalNode::merge_children(uint32_t index) {
    BitMapBTreeNode& right = children[index + 1];
    visit_node(
        children[index],
        [&](InternalNode& first) {
            InternalNode& second = *std::get<InternalPtr>(right);
            auto append = [](auto& to, auto& from) {
                to.reserve(roomy_capacity(static_cast<uint32_t>(to.size() + from.size()), kFanout));
                std::move(from.begin(), from.end(), std::back_inserter(to));
            };
            append(first.keys, second.keys);
            append(first.children, second.children);
            append(first.bitmaps, second.bitmaps);
            append(first.counts, second.counts);
        },
        [&](LeafPtr& leaf) {
            LeafEntries both = decoded(*leaf);
            const LeafNode& second = leaf_of(right);
            for (uint32_t i = 0; i < second.len; ++i)
                both.push_back(second.entry(i));
            leaf =
                LeafNode::make(both, roomy_capacity(static_cast<uint32_t>(both.size()), kLeafMax));
        });
    auto at = static_cast<std::ptrdiff_t>(index) + 1;
    counts[index] += counts[index + 1];
    counts.erase(counts.begin() + at);
    if (caches_bitmaps()) {
        bitmaps[index].or_inplace(bitmaps[index + 1]);
        bitmaps.erase(bitmaps.begin() + at);
    }
    keys.erase(keys.begin() + at);
    children.erase(children.begin() + at);
}

// ---------------------------------------------------------------------------
// The tree

void BitMapBTree::split_root() {
    auto root = std::make_unique<InternalNode>();
    root->height = node_height(root_) + 1;
    root->keys.reserve(kMinCapacity);
    root->children.reserve(kMinCapacity);
    root->counts.reserve(kMinCapacity);
    root->keys.push_back(first_key(root_));
    root->counts.push_back(entries_below(root_));
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

bool BitMapBTree::remove(NumericValue value, uint32_t id) {
    if (!remove_entry(CompositeKey128::new_(value, id)))
        return false;
    --size_;
    return true;
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

bool BitMapBTree::contains(NumericValue value, uint32_t id) const {
    return subtree_contains(root_, CompositeKey128::new_(value, id));
}

// ---------------------------------------------------------------------------
// Moves

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
    visit_node(
        node, [](const InternalNode& internal) { prefetch_line(&internal); },
        [](const LeafPtr& leaf) {
            prefetch_bytes(leaf.get(), sizeof(LeafNode) + leaf->len * leaf->entry_bytes());
        });
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

}  // namespace vorlane
