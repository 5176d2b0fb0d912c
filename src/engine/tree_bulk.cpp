// Building the ordered bitmap tree in one pass: from entries in ascending
// order, leaves first, then each level of parents over the one below, every
// cached bitmap made once. A batch much larger than the tree rebuilds it the
// same way.

#include <algorithm>
#include <functional>
#include <iterator>
#include <vector>

#include "engine/bulk_buffer.hpp"
#include "engine/ranged_b_tree.hpp"

namespace vorlane {

namespace {

// A node of a tree under construction, with what its parent keeps of it.
struct BuiltNode {
    BitMapBTreeNode node;
    CompositeKey128 first;  // its smallest entry: the parent's lower bound for it
    // The entries under it: a run of the entries the tree is built from.
    size_t begin = 0;
    size_t end = 0;
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
        level.push_back({LeafNode::make(entries.subspan(start, count), cap), entries[start], start,
                         start + count});
    });
    return level;
}

// The ids under `child`, for its parent's cache. A node of the first
// internal level has no cache of its own to merge: its ids are read off the
// entries it spans and set in one pass, instead of being gathered leaf by
// leaf, sorted and added one at a time.
Bitmap built_node_ids(const BuiltNode& child, std::span<const CompositeKey128> entries,
                      std::vector<uint32_t>& scratch) {
    if (node_height(child.node) != 1)
        return node_ids(child.node);
    scratch.clear();
    for (size_t i = child.begin; i < child.end; ++i)
        scratch.push_back(entries[i].id());
    return Bitmap::of_unsorted(scratch);
}

// One level up: internal nodes taking `children` in order. Each caches the
// bitmaps of its children when they are internal nodes.
std::vector<BuiltNode> build_parents(std::vector<BuiltNode>& children,
                                     std::span<const CompositeKey128> entries) {
    std::vector<BuiltNode> level;
    std::vector<uint32_t> scratch;
    uint32_t height = node_height(children.front().node) + 1;
    for_each_group(children.size(), kBulkFanout, [&](size_t start, uint32_t count) {
        auto node = std::make_unique<InternalNode>();
        node->height = height;
        node->keys.reserve(count);
        node->children.reserve(count);
        node->counts.reserve(count);
        if (node->caches_bitmaps())
            node->bitmaps.reserve(count);
        for (uint32_t i = 0; i < count; ++i) {
            BuiltNode& child = children[start + i];
            node->keys.push_back(child.first);
            // Entries are distinct: a child holds the span it was built from.
            node->counts.push_back(static_cast<uint32_t>(child.end - child.begin));
            if (node->caches_bitmaps()) {
                // Objects made in the order of the key (the lines of one
                // order) give a child a few runs of ids.
                Bitmap ids = built_node_ids(child, entries, scratch);
                ids.compress_runs();
                ids.shrink_to_fit();
                node->bitmaps.push_back(std::move(ids));
            }
            node->children.push_back(std::move(child.node));
        }
        level.push_back({std::move(node), children[start].first, children[start].begin,
                         children[start + count - 1].end});
    });
    return level;
}

// The root of a tree over `entries` (ascending, distinct, not empty).
BitMapBTreeNode build_tree(std::span<const CompositeKey128> entries) {
    std::vector<BuiltNode> level = build_leaves(entries);
    while (level.size() > 1)
        level = build_parents(level, entries);
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
    // An empty tree takes strictly ascending entries (a batch's) as they
    // are, without copying them first.
    if (empty() && !entries.empty() &&
        std::adjacent_find(entries.begin(), entries.end(), std::greater_equal<>()) ==
            entries.end()) {
        root_ = build_tree(entries);
        size_ = entries.size();
        return;
    }
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

}  // namespace vorlane
