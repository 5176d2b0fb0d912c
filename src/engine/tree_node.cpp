// The nodes of the ordered bitmap tree: allocating a leaf in the form that
// holds its entries, and what a node reports of itself (its ids, its bytes).

#include "engine/tree_node.hpp"

#include <algorithm>
#include <bit>
#include <new>
#include <optional>

#include "engine/panic.hpp"
#include "engine/sort_ids.hpp"

namespace vorlane {

void LeafFree::operator()(LeafNode* leaf) const {
    ::operator delete(leaf);
}

namespace {

// Trailing zero bits of a nonzero 128-bit number.
int trailing_zeros(Key128 x) {
    auto low = static_cast<uint64_t>(x);
    return low != 0 ? std::countr_zero(low) : 64 + std::countr_zero(static_cast<uint64_t>(x >> 64));
}

}  // namespace

namespace {

// The most codes a table of a leaf of room `cap` may hold: fewer than half
// the room, so that it takes less than the 8 bytes per entry it saves.
size_t table_limit(uint32_t cap) {
    return cap == 0 ? 0 : (cap - 1) / 2;
}

// The distinct value codes of `entries` (ascending) as steps of 2^`shift`
// from `base`, or nothing once there are more than `most`.
std::optional<std::vector<uint64_t>> distinct_steps(std::span<const CompositeKey128> entries,
                                                    Key128 base, int shift, size_t most) {
    std::vector<uint64_t> steps;
    for (CompositeKey128 entry : entries) {
        auto step = static_cast<uint64_t>((entry.value_code() - base) >> shift);
        if (!steps.empty() && steps.back() == step)
            continue;
        if (steps.size() == most)
            return std::nullopt;
        steps.push_back(step);
    }
    return steps;
}

// Bits that a narrow entry's step or table position takes at most.
constexpr int kNarrowBits = 32;
// Most bits of a narrow entry that hold its id: one is left to the step.
constexpr int kMaxIdBits = kNarrowBits - 1;

// Bits that `value` takes (0 for 0).
int bits_of(uint64_t value) {
    return static_cast<int>(std::bit_width(value));
}

}  // namespace

void LeafNode::choose_narrow(LeafNode& header, std::span<const CompositeKey128> entries,
                             uint64_t last_step) {
    auto [low, high] =
        std::minmax_element(entries.begin(), entries.end(),
                            [](CompositeKey128 a, CompositeKey128 b) { return a.id() < b.id(); });
    uint32_t min_id = low->id(), max_id = high->id();
    int step_bits = bits_of(last_step);
    // Ids counted from 0 when they fit that way, so that any smaller id an
    // assignment brings fits too; else from the smallest one.
    bool from_zero = bits_of(max_id) <= kMaxIdBits && step_bits + bits_of(max_id) <= kNarrowBits;
    uint32_t id_base = from_zero ? 0 : min_id;
    int id_need = std::max(1, bits_of(max_id - id_base));
    int spare = kNarrowBits - step_bits - id_need;
    if (spare < 0 || id_need > kMaxIdBits)
        return;
    // Spare bits are shared between later steps (values beyond the leaf's
    // last, in a leaf of steps; a table never grows in place) and later ids.
    int step_room = header.table_size == 0 ? spare / 2 : 0;
    header.id_bits = static_cast<uint8_t>(std::min(kMaxIdBits, id_need + spare - step_room));
    header.id_base = id_base;
}

LeafPtr LeafNode::make(std::span<const CompositeKey128> entries, uint32_t cap) {
    // Every caller sizes the room to the entries; less would write past the leaf.
    if (entries.size() > cap)
        panic("BitMapBTree invariant broken: a leaf given less room than its entries");
    LeafNode header{static_cast<uint32_t>(entries.size()), cap};
    std::vector<uint64_t> table;
    if (!entries.empty()) {
        // Compact when every code is the first one plus a multiple of one
        // power of two, at most 2^32 - 1 of them.
        Key128 base = entries.front().value_code();
        Key128 steps = 0;
        for (CompositeKey128 entry : entries)
            steps |= entry.value_code() - base;
        int shift = steps == 0 ? 0 : trailing_zeros(steps);
        Key128 last_step = (entries.back().value_code() - base) >> shift;
        if (last_step <= kStepLimit) {
            header.compact = true;
        } else if (auto held = last_step <= UINT64_MAX
                                   ? distinct_steps(entries, base, shift, table_limit(cap))
                                   : std::nullopt) {
            // Else with a table, where it costs less than the 8 bytes per
            // entry it saves.
            table = std::move(*held);
            header.compact = true;
            header.table_size = static_cast<uint8_t>(table.size());
        }
        if (header.compact) {
            header.shift = static_cast<uint8_t>(shift);
            header.base = base;
            choose_narrow(header, entries, table.empty() ? uint64_t(last_step) : table.size() - 1);
        }
    }
    void* memory = ::operator new(header.bytes());
    LeafPtr leaf(new (memory) LeafNode(header));
    std::copy(table.begin(), table.end(), leaf->table());
    // `entries` fit: the room was checked above.
    if (header.narrow()) {
        uint32_t* narrow = leaf->narrow_entries();
        for (size_t i = 0; i < entries.size(); ++i)
            narrow[i] = leaf->pack_narrow(entries[i]);
    } else if (header.compact) {
        uint64_t* packed = leaf->packed();
        for (size_t i = 0; i < entries.size(); ++i)
            packed[i] = leaf->pack(entries[i]);
    } else {
        std::copy(entries.begin(), entries.end(), leaf->wide());
    }
    return leaf;
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

size_t InternalNode::bytes() const {
    return sizeof(InternalNode) + keys.capacity() * sizeof(CompositeKey128) +
           children.capacity() * sizeof(BitMapBTreeNode) + bitmaps.capacity() * sizeof(Bitmap) +
           counts.capacity() * sizeof(uint32_t);
}

Bitmap node_ids(const BitMapBTreeNode& node) {
    return visit_node(
        node, [](const InternalNode& internal) { return internal.get_bitmap(); },
        [](const LeafPtr& leaf) {
            std::vector<uint32_t> ids;
            leaf->append_ids(ids);
            sort_ids(ids);
            return Bitmap::of(ids);
        });
}

}  // namespace vorlane
