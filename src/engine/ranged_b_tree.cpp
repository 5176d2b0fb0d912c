// The ordered bitmap tree as a whole: its life cycle and its memory figure.
// The rest of its work lives by concern beside it: tree_update.cpp,
// tree_bulk.cpp, tree_range.cpp, sorted_walk.cpp and tree_check.cpp.

#include "engine/ranged_b_tree.hpp"

namespace vorlane {

BitMapBTree::BitMapBTree() : root_(LeafNode::make({}, 0)) {}
BitMapBTree::~BitMapBTree() = default;
BitMapBTree::BitMapBTree(BitMapBTree&&) noexcept = default;
BitMapBTree& BitMapBTree::operator=(BitMapBTree&&) noexcept = default;

namespace {

size_t node_memory(const BitMapBTreeNode& node) {
    return visit_node(
        node,
        [](const InternalNode& internal) {
            size_t total = internal.bytes();
            for (const Bitmap& ids : internal.bitmaps)
                total += ids.heap_bytes();
            for (const BitMapBTreeNode& child : internal.children)
                total += node_memory(child);
            return total;
        },
        [](const LeafPtr& leaf) { return leaf->bytes(); });
}

}  // namespace

size_t BitMapBTree::memory_usage() const {
    return node_memory(root_);
}

}  // namespace vorlane
