// The debug validator of the ordered bitmap tree: every invariant the other
// parts rely on, checked node by node, with the first broken one named.

#include <algorithm>
#include <functional>
#include <optional>
#include <string>

#include "engine/panic.hpp"
#include "engine/ranged_b_tree.hpp"

namespace vorlane {

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

SubtreeFacts validate_node(const BitMapBTreeNode& node, const KeyBounds& bounds, bool is_root);

SubtreeFacts validate_leaf(const LeafPtr& ptr, const KeyBounds& bounds, bool is_root) {
    check(ptr != nullptr, "absent node");
    const LeafNode& leaf = *ptr;
    check(!has_spare_room(leaf.len, leaf.cap), "leaf has more than twice the room it needs");
    check(is_root || leaf.len > 0, "empty leaf kept");
    check(leaf.len <= leaf.cap && leaf.cap <= kLeafMax, "leaf holds more than its room");
    check(!leaf.compact || leaf.shift < 96, "compact leaf shifts its steps out of the code");
    check(leaf.compact || leaf.table_size == 0, "wide leaf with a table of codes");
    check(leaf.table_size == 0 || 2 * size_t{leaf.table_size} < leaf.cap,
          "leaf table larger than what it saves");
    check(!leaf.narrow() || (leaf.compact && leaf.id_bits < 32),
          "narrow leaf without a compact form or a bit for its steps");
    check(!leaf.narrow() || leaf.table_size == 0 ||
              (uint64_t{leaf.table_size} - 1) >> (32 - leaf.id_bits) == 0,
          "narrow leaf too narrow for its table of codes");
    std::span<const uint64_t> table = leaf.code_table();
    check(std::adjacent_find(table.begin(), table.end(), std::greater_equal<>()) == table.end(),
          "leaf table of codes not strictly ascending");
    SubtreeFacts facts;
    for (uint32_t i = 0; i < leaf.len; ++i) {
        check(i == 0 || leaf.entry(i - 1) < leaf.entry(i), "keys not strictly ascending");
        check(leaf.table_size == 0 || (leaf.packed_step(i) < leaf.table_size),
              "leaf entry past its table of codes");
        check(bounds.admits(leaf.entry(i).key), "leaf entry outside its parent's key range");
        check(!leaf.narrow() || leaf.id_at(i) >= leaf.id_base, "narrow leaf id below its base");
        facts.ids.push_back(leaf.id_at(i));
    }
    facts.entries = leaf.len;
    return facts;
}

// What an internal node is by itself, before its children are checked.
void check_internal_shape(const InternalNode& n, bool is_root) {
    check(n.keys.size() == n.len(), "keys and children differ in number");
    check(n.len() <= kFanout, "more children than the fanout");
    check(n.len() >= (is_root ? 2u : 1u), "internal node with too few children");
    check(n.bitmaps.size() == (n.caches_bitmaps() ? n.len() : 0),
          "cached bitmaps not one per internal child");
    check(n.counts.size() == n.len(), "counts not one per child");
    check(!has_spare_room(n.len(), n.keys.capacity()) &&
              !has_spare_room(n.len(), n.children.capacity()) &&
              !has_spare_room(n.bitmaps.size(), n.bitmaps.capacity()) &&
              !has_spare_room(n.counts.size(), n.counts.capacity()),
          "internal node has more than twice the room it needs");
    check(std::adjacent_find(n.keys.begin(), n.keys.end(), std::greater_equal<>()) == n.keys.end(),
          "keys not strictly ascending");
}

SubtreeFacts validate_internal(const InternalPtr& ptr, const KeyBounds& bounds, bool is_root) {
    check(ptr != nullptr, "absent node");
    const InternalNode& n = *ptr;
    check_internal_shape(n, is_root);
    SubtreeFacts facts;
    for (size_t i = 0; i < n.len(); ++i) {
        check(node_height(n.children[i]) + 1 == n.height, "leaves at different depths");
        KeyBounds child_bounds{n.keys[i].key, i + 1 == n.len() ? bounds.high : n.keys[i + 1].key};
        check(bounds.admits(n.keys[i].key), "lower-bound key outside its parent's range");
        SubtreeFacts child = validate_node(n.children[i], child_bounds, false);
        check(n.counts[i] == child.entries, "count differs from the child's entries");
        if (n.caches_bitmaps()) {
            check(Bitmap::of(child.ids) == n.bitmaps[i], "child bitmap differs from its ids");
            check(n.bitmaps[i].cardinality() == child.entries, "an id occurs twice in a subtree");
        }
        facts.entries += child.entries;
        facts.ids.insert(facts.ids.end(), child.ids.begin(), child.ids.end());
    }
    return facts;
}

// Reads the handle itself rather than through `visit_node`: the validator
// does not trust a handle to be set.
SubtreeFacts validate_node(const BitMapBTreeNode& node, const KeyBounds& bounds, bool is_root) {
    if (const auto* leaf = std::get_if<LeafPtr>(&node))
        return validate_leaf(*leaf, bounds, is_root);
    return validate_internal(std::get<InternalPtr>(node), bounds, is_root);
}

}  // namespace

void BitMapBTree::validate() const {
    SubtreeFacts facts = validate_node(root_, KeyBounds{}, true);
    check(facts.entries == size_, "entry count differs from size()");
}

}  // namespace vorlane
