#include "engine/ranged_b_tree.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "engine/panic.hpp"
#include "engine/prefetch.hpp"
#include "engine/sort_ids.hpp"

namespace vorlane {

// ---------------------------------------------------------------------------
// Value encoding

namespace {

constexpr Key128 kOne = 1;
constexpr Key128 kMask96 = (kOne << 96) - 1;
constexpr Key128 kSignBit96 = kOne << 95;
constexpr int kFractionBits = 80;
constexpr uint32_t kExponentBias = 16383;
// Re-bias from a double's exponent field (bias 1023) to ours (bias 16383).
constexpr uint32_t kDoubleRebias = kExponentBias - 1023;
constexpr int kDoubleMantissaBits = 52;
constexpr uint64_t kDoubleMantissaMask = (uint64_t{1} << kDoubleMantissaBits) - 1;
constexpr uint32_t kDoubleExponentMask = 0x7FF;

// Zero of every kind: the non-negative fold of an all-zero pattern.
constexpr Key128 kZeroCode = kSignBit96;

Key128 pack(bool negative, uint32_t exponent, Key128 fraction80) {
    Key128 bits = (Key128{exponent} << kFractionBits) | fraction80;
    // Negative values invert everything so that larger magnitudes sort lower.
    return negative ? (~(bits | kSignBit96) & kMask96) : (bits | kSignBit96);
}

Key128 encode_int(int64_t n) {
    if (n == 0)
        return kZeroCode;
    // Unsigned negation keeps INT64_MIN exact (magnitude 2^63).
    uint64_t magnitude = n < 0 ? uint64_t{0} - static_cast<uint64_t>(n) : static_cast<uint64_t>(n);
    int zeros = std::countl_zero(magnitude);
    // Drop the leading 1 (it is implicit); the rest fills the fraction from its top.
    uint64_t rest = zeros == 63 ? 0 : magnitude << (zeros + 1);
    uint32_t exponent = kExponentBias + 63 - static_cast<uint32_t>(zeros);
    return pack(n < 0, exponent, Key128{rest} << (kFractionBits - 64));
}

Key128 encode_double(double x) {
    uint64_t bits = std::bit_cast<uint64_t>(x);
    bool negative = (bits >> 63) != 0;
    uint32_t field = static_cast<uint32_t>(bits >> kDoubleMantissaBits) & kDoubleExponentMask;
    uint64_t mantissa = bits & kDoubleMantissaMask;
    if (field == 0 && mantissa == 0)
        return kZeroCode;
    uint32_t exponent = field + kDoubleRebias;
    if (field == 0) {
        // Subnormal: shift the leading 1 up to the implicit position so that
        // the exponent continues below the smallest normal double.
        int shift = std::countl_zero(mantissa) - (63 - kDoubleMantissaBits);
        mantissa = (mantissa << shift) & kDoubleMantissaMask;
        exponent = kDoubleRebias + 1 - static_cast<uint32_t>(shift);
    }
    return pack(negative, exponent, Key128{mantissa} << (kFractionBits - kDoubleMantissaBits));
}

}  // namespace

Key128 encode_value96(NumericValue value) {
    if (const int64_t* n = std::get_if<int64_t>(&value))
        return encode_int(*n);
    return encode_double(std::get<double>(value));
}

// ---------------------------------------------------------------------------
// Range of keys selected by a pair of bounds

// The keys satisfying a (lower, upper) pair of bounds: [first, last], both
// inclusive. Bounds compare by value only, so an inclusive bound takes every
// id of its value (id 0 .. 0xFFFFFFFF) and an exclusive one none.
struct KeyRange {
    Key128 first = 0;
    Key128 last = ~Key128{0};
    bool has_lower = false;
    bool has_upper = false;
    bool empty = false;

    static KeyRange from_bounds(const Bound& lower, const Bound& upper);
};

namespace {
constexpr Key128 kIdMask = 0xFFFFFFFFu;
constexpr Key128 kMaxCode96 = kMask96;
}  // namespace

KeyRange KeyRange::from_bounds(const Bound& lower, const Bound& upper) {
    KeyRange range;
    if (lower.kind != BoundKind::Unbounded) {
        Key128 code = encode_value96(lower.value);
        range.has_lower = true;
        if (lower.kind == BoundKind::Included) {
            range.first = code << 32;
        } else if (code == kMaxCode96) {
            range.empty = true;  // nothing lies above the largest code
        } else {
            range.first = (code + 1) << 32;
        }
    }
    if (upper.kind != BoundKind::Unbounded) {
        Key128 code = encode_value96(upper.value);
        range.has_upper = true;
        if (upper.kind == BoundKind::Included) {
            range.last = (code << 32) | kIdMask;
        } else if (code == 0) {
            range.empty = true;  // nothing lies below the smallest code
        } else {
            range.last = ((code - 1) << 32) | kIdMask;
        }
    }
    if (range.first > range.last)
        range.empty = true;
    return range;
}

// What a range query gathers on its way down: the cached bitmaps of children
// lying wholly inside the range, and the ids of the boundary leaves' entries
// inside it. The mask is applied once to their union (intersection
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

    Bitmap union_within(const Bitmap& mask) const {
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
            result.add_many(ids);
        }
        result.and_inplace(mask);
        return result;
    }

  private:
    // The union of the parts, from their ids sorted in one list.
    Bitmap gathered_union(uint64_t listed) const {
        std::vector<uint32_t> all;
        all.reserve(listed);
        all.insert(all.end(), ids.begin(), ids.end());
        for (const Bitmap* part : whole)
            part->append_to(all);
        sort_ids(all);
        return Bitmap::of(all);
    }
};

// ---------------------------------------------------------------------------
// Window helpers shared by both node kinds

namespace {

// Window index of the last entry <= key; 0 when the key precedes them all or
// the window is empty.
uint32_t position(std::span<const CompositeKey128> window, Key128 key) {
    auto after = std::upper_bound(window.begin(), window.end(), key,
                                  [](Key128 k, const CompositeKey128& e) { return k < e.key; });
    return after == window.begin() ? 0 : static_cast<uint32_t>(after - window.begin() - 1);
}

template <typename Node>
bool is_full(const Node& node) {
    return node.len > kSplitThreshold && (node.offset == 0 || node.len + node.offset >= kSlots);
}

template <typename Node>
bool touches_end(const Node& node) {
    return node.offset == 0 || node.offset + node.len == kSlots;
}

uint32_t centred_offset(uint32_t len) {
    return (kSlots - len) / 2;
}

// Moves `count` keys starting at `from` to start at `to`; the ranges may overlap.
void move_keys(std::array<CompositeKey128, kSlots>& keys, uint32_t from, uint32_t to,
               uint32_t count) {
    std::memmove(keys.data() + to, keys.data() + from, count * sizeof(CompositeKey128));
}

bool is_present(const BitMapBTreeNode& node) {
    return std::visit([](const auto& p) { return p != nullptr; }, node);
}

bool node_is_full(const BitMapBTreeNode& node) {
    return std::visit([](const auto& p) { return is_full(*p); }, node);
}

}  // namespace

// ---------------------------------------------------------------------------
// Leaf nodes

bool LeafNode::contains(CompositeKey128 entry) const {
    return len > 0 && keys[offset + position(window(), entry.key)] == entry;
}

bool LeafNode::insert_non_full(CompositeKey128 entry) {
    uint32_t p = position(window(), entry.key);
    if (len > 0 && keys[offset + p] == entry)
        return false;
    uint32_t point = (len > 0 && keys[offset + p] < entry) ? p + 1 : p;
    // Shift the shorter side; the right side is used when the left has no room
    // and the left when the right has none.
    bool room_left = offset > 0;
    bool room_right = offset + len < kSlots;
    if (!room_left && !room_right)
        panic("Leaf has no free slot");
    if (room_left && (point < len / 2 || !room_right)) {
        move_keys(keys, offset, offset - 1, point);
        --offset;
    } else {
        move_keys(keys, offset + point, offset + point + 1, len - point);
    }
    keys[offset + point] = entry;
    ++len;
    if (touches_end(*this))
        recenter();
    return true;
}

bool LeafNode::remove(CompositeKey128 entry) {
    uint32_t p = position(window(), entry.key);
    if (len == 0 || keys[offset + p] != entry)
        return false;
    // Close the gap from the nearer end.
    if (p < len / 2) {
        move_keys(keys, offset, offset + 1, p);
        ++offset;
    } else {
        move_keys(keys, offset + p + 1, offset + p, len - p - 1);
    }
    --len;
    return true;
}

std::pair<std::unique_ptr<LeafNode>, CompositeKey128> LeafNode::split() {
    uint32_t keep = len / 2;
    auto right = std::make_unique<LeafNode>();
    right->offset = kSplitOffset;
    right->len = len - keep;
    std::memcpy(right->keys.data() + kSplitOffset, keys.data() + offset + keep,
                right->len * sizeof(CompositeKey128));
    len = keep;
    recenter();
    if (right->len == 0)
        panic("invalid offset");
    CompositeKey128 separator = right->keys[kSplitOffset];
    return {std::move(right), separator};
}

Bitmap LeafNode::ids() const {
    std::array<uint32_t, kSlots> ids;
    for (uint32_t i = 0; i < len; ++i)
        ids[i] = keys[offset + i].id();
    return Bitmap::of(std::span<const uint32_t>(ids.data(), len));
}

void LeafNode::recenter() {
    uint32_t target = centred_offset(len);
    if (target == offset)
        return;
    move_keys(keys, offset, target, len);
    offset = target;
}

void LeafNode::collect_range(const KeyRange& range, RangeParts& parts) const {
    std::span<const CompositeKey128> entries = window();
    auto from = std::lower_bound(entries.begin(), entries.end(), range.first,
                                 [](const CompositeKey128& e, Key128 k) { return e.key < k; });
    for (auto it = from; it != entries.end() && it->key <= range.last; ++it)
        parts.ids.push_back(it->id());
}

// ---------------------------------------------------------------------------
// Dispatch over the node kinds

namespace {

bool insert_into(BitMapBTreeNode& node, CompositeKey128 entry) {
    if (auto* internal = std::get_if<std::unique_ptr<InternalNode>>(&node))
        return (*internal)->insert(entry);
    return std::get<std::unique_ptr<LeafNode>>(node)->insert_non_full(entry);
}

bool remove_from(BitMapBTreeNode& node, CompositeKey128 entry) {
    if (auto* internal = std::get_if<std::unique_ptr<InternalNode>>(&node))
        return (*internal)->remove(entry);
    return std::get<std::unique_ptr<LeafNode>>(node)->remove(entry);
}

// Splits a node in place; returns the right half, its separator and its bitmap.
struct SplitResult {
    BitMapBTreeNode right;
    CompositeKey128 separator;
    Bitmap right_ids;
};

SplitResult split_node(BitMapBTreeNode& node) {
    if (auto* internal = std::get_if<std::unique_ptr<InternalNode>>(&node)) {
        auto [right, separator] = (*internal)->split();
        Bitmap ids = right->get_bitmap();
        return {std::move(right), separator, std::move(ids)};
    }
    auto [right, separator] = std::get<std::unique_ptr<LeafNode>>(node)->split();
    Bitmap ids = right->ids();
    return {std::move(right), separator, std::move(ids)};
}

Bitmap node_ids(const BitMapBTreeNode& node) {
    if (const auto* internal = std::get_if<std::unique_ptr<InternalNode>>(&node))
        return (*internal)->get_bitmap();
    return std::get<std::unique_ptr<LeafNode>>(node)->ids();
}

bool subtree_contains(const BitMapBTreeNode& root, CompositeKey128 entry) {
    const BitMapBTreeNode* node = &root;
    while (const auto* internal = std::get_if<std::unique_ptr<InternalNode>>(node)) {
        const InternalNode& n = **internal;
        node = &n.children[n.offset + n.get_key_index(entry.key)];
        if (!is_present(*node))
            panic("Missing child");
    }
    return std::get<std::unique_ptr<LeafNode>>(*node)->contains(entry);
}

// An insertion below a child that is not full needs the child's bitmap.
void require_bitmap(const InternalNode& node, uint32_t slot) {
    if (node.bitmaps[slot])
        return;
    bool leaf = std::holds_alternative<std::unique_ptr<LeafNode>>(node.children[slot]);
    panic(leaf ? "Bitmap should be present for leaf" : "Bitmap should be present for internal");
}

void collect_node(const BitMapBTreeNode& node, const KeyRange& range, RangeParts& parts) {
    if (const auto* internal = std::get_if<std::unique_ptr<InternalNode>>(&node))
        return (*internal)->collect_range(range, parts);
    return std::get<std::unique_ptr<LeafNode>>(node)->collect_range(range, parts);
}

}  // namespace

// ---------------------------------------------------------------------------
// Internal nodes

uint32_t InternalNode::get_key_index(Key128 search_key) const {
    return position(window(), search_key);
}

bool InternalNode::insert(CompositeKey128 entry) {
    // The last child whose lower bound is <= the entry; a lower bound equal to
    // the entry (left behind by a removal) leads into that same child.
    uint32_t slot = offset + get_key_index(entry.key);
    BitMapBTreeNode& child = children[slot];
    if (!is_present(child))
        panic("Missing child");
    // An entry below every lower bound goes into the first child, whose bound
    // drops to it: bounds stay true lower bounds, so the separator of a later
    // split of that child still sorts above it.
    if (entry < keys[slot])
        keys[slot] = entry;
    if (node_is_full(child)) {
        // A held pair changes nothing, not even the shape.
        if (subtree_contains(child, entry))
            return false;
        return split_and_insert(slot - offset, entry);
    }
    require_bitmap(*this, slot);
    bool inserted = insert_into(child, entry);
    if (inserted)
        bitmaps[slot]->add(entry.id());
    if (touches_end(*this))
        recenter();
    return inserted;
}

bool InternalNode::split_and_insert(uint32_t index, CompositeKey128 entry) {
    uint32_t slot = offset + index;
    SplitResult half = split_node(children[slot]);
    if (!bitmaps[slot])
        panic("Bitmap must be initialized before split");
    // Ids are unique within a subtree, so the left half holds exactly the
    // ids that did not move right.
    Bitmap left_ids = Bitmap::andnot(*bitmaps[slot], half.right_ids);
    // Each half has at most 48 entries now, so either takes the entry.
    bool inserted;
    if (half.separator < entry) {
        inserted = insert_into(half.right, entry);
        if (inserted)
            half.right_ids.add(entry.id());
    } else {
        inserted = insert_into(children[slot], entry);
        if (inserted)
            left_ids.add(entry.id());
    }
    bitmaps[slot] = std::move(left_ids);
    bool reaches_end = offset == 0 || offset + len == kSlots - 1;
    shift_right(slot + 1, offset + len, 1);
    keys[slot + 1] = half.separator;
    children[slot + 1] = std::move(half.right);
    bitmaps[slot + 1] = std::move(half.right_ids);
    ++len;
    if (reaches_end)
        recenter();
    return inserted;
}

bool InternalNode::remove(CompositeKey128 entry) {
    return remove_below(offset + get_key_index(entry.key), entry);
}

bool InternalNode::remove_below(uint32_t slot, CompositeKey128 entry) {
    BitMapBTreeNode& child = children[slot];
    if (!is_present(child))
        panic("Missing child");
    if (!remove_from(child, entry))
        return false;
    if (bitmaps[slot])
        bitmaps[slot]->remove(entry.id());
    return true;
}

MoveOutcome InternalNode::move(CompositeKey128 from, CompositeKey128 to) {
    // Removal changes no key of an internal node, so both routes can be taken
    // before anything changes.
    uint32_t from_slot = offset + get_key_index(from.key);
    uint32_t to_slot = offset + get_key_index(to.key);
    if (from_slot == to_slot)
        return move_within(to_slot, from, to);
    bool removed = remove_below(from_slot, from);
    return {removed, insert(to)};
}

MoveOutcome InternalNode::move_within(uint32_t slot, CompositeKey128 from, CompositeKey128 to) {
    BitMapBTreeNode& child = children[slot];
    if (!is_present(child))
        panic("Missing child");
    // Whether `insert(to)` would split the child is decided once the removal
    // is done, as it would be after a whole `remove(from)`. Removal below an
    // internal child leaves its window as it was, so its fullness can be read
    // first; a leaf's is read after the entry left it.
    auto* leaf = std::get_if<std::unique_ptr<LeafNode>>(&child);
    bool removed = false;
    if (leaf) {
        removed = (*leaf)->remove(from);
    } else if (node_is_full(child)) {
        removed = remove_below(slot, from);
        return {removed, insert(to)};
    }
    if (leaf && node_is_full(child)) {
        if (removed && bitmaps[slot])
            bitmaps[slot]->remove(from.id());
        return {removed, insert(to)};
    }
    // From here on this is `insert(to)` on a child that is not full.
    if (to < keys[slot])
        keys[slot] = to;
    require_bitmap(*this, slot);
    bool inserted;
    if (leaf) {
        inserted = (*leaf)->insert_non_full(to);
    } else {
        MoveOutcome below = std::get<std::unique_ptr<InternalNode>>(child)->move(from, to);
        removed = below.removed;
        inserted = below.inserted;
    }
    // The id stays in the child's bitmap unless only one of the two happened.
    if (removed && !inserted)
        bitmaps[slot]->remove(from.id());
    else if (inserted && !removed)
        bitmaps[slot]->add(to.id());
    if (touches_end(*this))
        recenter();
    return {removed, inserted};
}

std::pair<std::unique_ptr<InternalNode>, CompositeKey128> InternalNode::split() {
    uint32_t keep = len / 2;
    auto right = std::make_unique<InternalNode>();
    right->offset = kSplitOffset;
    right->len = len - keep;
    for (uint32_t i = 0; i < right->len; ++i) {
        uint32_t from = offset + keep + i;
        uint32_t to = kSplitOffset + i;
        right->keys[to] = keys[from];
        right->bitmaps[to] = std::move(bitmaps[from]);
        bitmaps[from].reset();
        right->children[to] = std::move(children[from]);
    }
    len = keep;
    recenter();
    if (right->len == 0)
        panic("invalid offset");
    CompositeKey128 separator = right->keys[kSplitOffset];
    return {std::move(right), separator};
}

Bitmap InternalNode::get_bitmap() const {
    std::array<const Bitmap*, kSlots> parts;
    size_t count = 0;
    for (uint32_t i = offset; i < offset + len; ++i)
        if (bitmaps[i])
            parts[count++] = &*bitmaps[i];
    return Bitmap::or_many(std::span<const Bitmap* const>(parts.data(), count));
}

void InternalNode::collect_range(const KeyRange& range, RangeParts& parts) const {
    // Every satisfying entry lies in children lo..hi; the children strictly
    // between them lie wholly inside the range (their keys are bounded by the
    // neighbouring lower bounds), so their cached bitmaps answer for them.
    uint32_t lo = range.has_lower ? get_key_index(range.first) : 0;
    uint32_t hi = range.has_upper ? get_key_index(range.last) : len;
    if (is_present(children[offset + lo]))
        collect_node(children[offset + lo], range, parts);
    for (uint32_t i = lo + 1; i < hi; ++i) {
        if (const std::optional<Bitmap>& ids = bitmaps[offset + i])
            parts.whole.push_back(&*ids);
    }
    if (hi != lo && hi < len && is_present(children[offset + hi]))
        collect_node(children[offset + hi], range, parts);
}

void InternalNode::move_slot(uint32_t from, uint32_t to) {
    keys[to] = keys[from];
    bitmaps[to] = std::move(bitmaps[from]);
    bitmaps[from].reset();
    children[to] = std::move(children[from]);
}

void InternalNode::move_slots(uint32_t first, uint32_t count, uint32_t to) {
    // Copy from the far end first when moving right so no slot is overwritten
    // before it has moved.
    if (to > first) {
        for (uint32_t i = count; i-- > 0;)
            move_slot(first + i, to + i);
    } else {
        for (uint32_t i = 0; i < count; ++i)
            move_slot(first + i, to + i);
    }
}

void InternalNode::shift_right(uint32_t first, uint32_t end, uint32_t distance) {
    if (end + distance > kSlots)
        panic("Internal node has no free slot");
    for (uint32_t i = end; i-- > first;)
        move_slot(i, i + distance);
    if (offset == first)
        offset += distance;
}

void InternalNode::recenter() {
    uint32_t target = centred_offset(len);
    if (target == offset)
        return;
    move_slots(offset, len, target);
    offset = target;
}

// ---------------------------------------------------------------------------
// The tree

BitMapBTree::BitMapBTree() : root_(std::make_unique<LeafNode>()) {}
BitMapBTree::~BitMapBTree() = default;
BitMapBTree::BitMapBTree(BitMapBTree&&) noexcept = default;
BitMapBTree& BitMapBTree::operator=(BitMapBTree&&) noexcept = default;

void BitMapBTree::split_root() {
    bool leaf = std::holds_alternative<std::unique_ptr<LeafNode>>(root_);
    SplitResult half = split_node(root_);
    auto root = std::make_unique<InternalNode>();
    std::span<const CompositeKey128> left =
        std::visit([](const auto& p) { return p->window(); }, root_);
    if (left.empty())
        panic(leaf ? "invalid offset" : "incorrect offset");
    root->offset = kRootOffset;
    root->len = 2;
    root->keys[kRootOffset] = left.front();
    root->keys[kRootOffset + 1] = half.separator;
    root->bitmaps[kRootOffset] = node_ids(root_);
    root->bitmaps[kRootOffset + 1] = std::move(half.right_ids);
    root->children[kRootOffset] = std::move(root_);
    root->children[kRootOffset + 1] = std::move(half.right);
    root_ = std::move(root);
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

namespace {

// A node of a tree under construction, with what its parent keeps of it.
struct BuiltNode {
    BitMapBTreeNode node;
    CompositeKey128 first;  // its smallest entry: the parent's lower bound for it
    Bitmap ids;             // every id below it (left empty for the root)
};

// Calls `f(start, count)` for consecutive groups covering `total` items: the
// fewest groups of at most `kBulkFill`, of sizes that differ by at most one,
// so that no node of a level is left nearly empty.
template <typename F>
void for_each_group(size_t total, F&& f) {
    size_t groups = (total + kBulkFill - 1) / kBulkFill;
    size_t base = total / groups;
    size_t larger = total % groups;
    size_t start = 0;
    for (size_t g = 0; g < groups; ++g) {
        size_t count = base + (g < larger ? 1 : 0);
        f(start, static_cast<uint32_t>(count));
        start += count;
    }
}

// The leaves over `entries` (ascending, distinct, not empty), windows centred.
std::vector<BuiltNode> build_leaves(std::span<const CompositeKey128> entries, bool with_ids) {
    std::vector<BuiltNode> level;
    for_each_group(entries.size(), [&](size_t start, uint32_t count) {
        auto leaf = std::make_unique<LeafNode>();
        leaf->len = count;
        leaf->offset = centred_offset(count);
        std::copy_n(entries.begin() + static_cast<std::ptrdiff_t>(start), count,
                    leaf->keys.begin() + leaf->offset);
        Bitmap ids = with_ids ? leaf->ids() : Bitmap();
        level.push_back({std::move(leaf), entries[start], std::move(ids)});
    });
    return level;
}

// One level up: internal nodes taking `children` in order, each child's
// bitmap moved into its parent's slot.
std::vector<BuiltNode> build_parents(std::vector<BuiltNode>& children, bool with_ids) {
    std::vector<BuiltNode> level;
    for_each_group(children.size(), [&](size_t start, uint32_t count) {
        auto node = std::make_unique<InternalNode>();
        node->len = count;
        node->offset = centred_offset(count);
        for (uint32_t i = 0; i < count; ++i) {
            BuiltNode& child = children[start + i];
            uint32_t slot = node->offset + i;
            node->keys[slot] = child.first;
            child.ids.shrink_to_fit();
            node->bitmaps[slot] = std::move(child.ids);
            node->children[slot] = std::move(child.node);
        }
        Bitmap ids = with_ids ? node->get_bitmap() : Bitmap();
        level.push_back({std::move(node), children[start].first, std::move(ids)});
    });
    return level;
}

// The root of a tree over `entries` (ascending, distinct, not empty).
BitMapBTreeNode build_tree(std::span<const CompositeKey128> entries) {
    // The root's own bitmap is never kept, so the level that makes the root
    // does not compute it.
    auto makes_root = [](size_t count) { return count <= kBulkFill; };
    std::vector<BuiltNode> level = build_leaves(entries, !makes_root(entries.size()));
    while (level.size() > 1)
        level = build_parents(level, !makes_root(level.size()));
    return std::move(level.front().node);
}

}  // namespace

MoveOutcome BitMapBTree::move(NumericValue old_value, NumericValue new_value, uint32_t id) {
    CompositeKey128 from = CompositeKey128::new_(old_value, id);
    CompositeKey128 to = CompositeKey128::new_(new_value, id);
    MoveOutcome outcome;
    auto* internal = std::get_if<std::unique_ptr<InternalNode>>(&root_);
    // A full root splits before the insertion, and a leaf root has no bitmap
    // to spare: both take the two steps one after the other.
    if (internal && !is_full(**internal)) {
        outcome = (*internal)->move(from, to);
    } else {
        outcome.removed = remove_from(root_, from);
        outcome.inserted = insert_entry(to);
    }
    size_ = size_ - outcome.removed + outcome.inserted;
    return outcome;
}

namespace {

// Child bitmaps a move may change: two per level below the root, for trees
// up to this many levels; deeper ones are left to the move itself.
constexpr size_t kPrefetchedLevels = 8;

// The whole key array, wherever the window sits, and the window's bounds: a
// binary search over a cold node otherwise pays one miss per probe.
template <typename Node>
void prefetch_keys(const Node& node) {
    prefetch_bytes(node.keys.data(), sizeof(node.keys));
    prefetch_line(&node.len);
}

void prefetch_node(const BitMapBTreeNode& node) {
    std::visit([](const auto& p) { prefetch_keys(*p); }, node);
}

}  // namespace

void BitMapBTree::insert_sorted(std::span<const CompositeKey128> entries) {
    if (!empty()) {
        for (CompositeKey128 entry : entries) {
            if (insert_entry(entry))
                ++size_;
        }
        return;
    }
    std::vector<CompositeKey128> distinct(entries.begin(), entries.end());
    distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
    if (distinct.empty())
        return;
    root_ = build_tree(distinct);
    size_ = distinct.size();
}

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
    if (is_present(root))
        prefetch_node(root);
}

bool RoutePrefetch::step(Changing changing, size_t& count) {
    const auto* internal = std::get_if<std::unique_ptr<InternalNode>>(node_);
    if (internal == nullptr || !*internal)
        return false;
    const InternalNode& node = **internal;
    uint32_t slot = node.offset + node.get_key_index(key_);
    const BitMapBTreeNode& child = node.children[slot];
    if (!is_present(child))
        return false;  // the removal itself reports the missing child
    const std::optional<Bitmap>& ids = node.bitmaps[slot];
    if (ids && count < changing.size())
        changing[count++] = &*ids;
    prefetch_node(child);
    node_ = &child;
    return true;
}

bool BitMapBTree::remove(NumericValue value, uint32_t id) {
    if (!remove_from(root_, CompositeKey128::new_(value, id)))
        return false;
    --size_;
    return true;
}

bool BitMapBTree::contains(NumericValue value, uint32_t id) const {
    return subtree_contains(root_, CompositeKey128::new_(value, id));
}

Bitmap BitMapBTree::query_range(const Bound& lower, const Bound& upper, const Bitmap& mask) const {
    KeyRange range = KeyRange::from_bounds(lower, upper);
    if (range.empty)
        return Bitmap();
    RangeParts parts;
    collect_node(root_, range, parts);
    return parts.union_within(mask);
}

namespace {

size_t node_memory(const BitMapBTreeNode& node) {
    if (const auto* internal = std::get_if<std::unique_ptr<InternalNode>>(&node)) {
        const InternalNode& n = **internal;
        size_t total = sizeof(InternalNode);
        for (uint32_t i = n.offset; i < n.offset + n.len; ++i) {
            if (n.bitmaps[i])
                total += n.bitmaps[i]->size_in_bytes();
            if (is_present(n.children[i]))
                total += node_memory(n.children[i]);
        }
        return total;
    }
    return sizeof(LeafNode);
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
    size_t depth = 0;  // levels below this node; 0 for a leaf
    std::vector<uint32_t> ids;
};

template <typename Node>
void check_window(const Node& node) {
    check(node.offset <= kSlots && node.len <= kSlots - node.offset, "window exceeds the slots");
    std::span<const CompositeKey128> keys = node.window();
    check(std::adjacent_find(keys.begin(), keys.end(), std::greater_equal<>()) == keys.end(),
          "keys not strictly ascending");
}

SubtreeFacts validate_node(const BitMapBTreeNode& node, const KeyBounds& bounds) {
    check(is_present(node), "absent node");
    SubtreeFacts facts;
    if (const auto* leaf_ptr = std::get_if<std::unique_ptr<LeafNode>>(&node)) {
        const LeafNode& leaf = **leaf_ptr;
        check_window(leaf);
        for (CompositeKey128 entry : leaf.window()) {
            check(bounds.admits(entry.key), "leaf entry outside its parent's key range");
            facts.ids.push_back(entry.id());
        }
        facts.entries = leaf.len;
        return facts;
    }
    const InternalNode& n = *std::get<std::unique_ptr<InternalNode>>(node);
    check_window(n);
    check(n.len > 0, "internal node without children");
    for (uint32_t i = 0; i < n.len; ++i) {
        uint32_t slot = n.offset + i;
        check(is_present(n.children[slot]), "Missing child");
        check(n.bitmaps[slot].has_value(), "missing child bitmap");
        KeyBounds child_bounds{n.keys[slot].key,
                               i + 1 == n.len ? bounds.high : n.keys[slot + 1].key};
        check(bounds.admits(n.keys[slot].key), "lower-bound key outside its parent's range");
        SubtreeFacts child = validate_node(n.children[slot], child_bounds);
        check(i == 0 || child.depth == facts.depth, "leaves at different depths");
        check(Bitmap::of(child.ids) == *n.bitmaps[slot], "child bitmap differs from its ids");
        check(n.bitmaps[slot]->cardinality() == child.entries, "an id occurs twice in a subtree");
        facts.depth = child.depth;
        facts.entries += child.entries;
        facts.ids.insert(facts.ids.end(), child.ids.begin(), child.ids.end());
    }
    ++facts.depth;
    return facts;
}

}  // namespace

void BitMapBTree::validate() const {
    SubtreeFacts facts = validate_node(root_, KeyBounds{});
    check(facts.entries == size_, "entry count differs from size()");
}

}  // namespace vorlane
