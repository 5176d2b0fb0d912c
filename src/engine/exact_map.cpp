#include "engine/exact_map.hpp"

#include <algorithm>
#include <bit>
#include <new>

#include "engine/panic.hpp"
#include "engine/prefetch.hpp"

namespace vorlane {

namespace {

constexpr uint64_t kLowBits = 0x0101010101010101ULL;
constexpr uint64_t kHighBits = 0x8080808080808080ULL;
// Spreads the 32-bit placement hash over 64 bits (the golden-ratio
// multiplier): the group comes from the upper half, which every bit of the
// hash reaches, so keys that differ only in high bits do not share a group.
constexpr uint64_t kSpread = 0x9E3779B97F4A7C15ULL;

// The bytes of `control` equal to `tag` (a full slot's byte), as their high
// bits; may also mark a byte above a true match, which the key compare
// then rejects, but never an empty or deleted slot.
uint64_t matching(uint64_t control, uint8_t tag) {
    uint64_t x = control ^ (kLowBits * tag);
    return (x - kLowBits) & ~x & ~control & kHighBits;
}

// The empty bytes (0x80: high bit set, bit 1 clear; a deleted 0xFE has both).
uint64_t empties(uint64_t control) {
    return control & ~(control << 6) & kHighBits;
}

// The empty and deleted bytes.
uint64_t free_bytes(uint64_t control) {
    return control & kHighBits;
}

size_t first_byte(uint64_t mask) {
    return static_cast<size_t>(std::countr_zero(mask)) / 8;
}

}  // namespace

ExactMap::ExactMap(ExactMap&& other) noexcept
    : groups_(std::exchange(other.groups_, nullptr)),
      group_count_(std::exchange(other.group_count_, 0)),
      size_(std::exchange(other.size_, 0)),
      tombstones_(std::exchange(other.tombstones_, 0)) {}

ExactMap& ExactMap::operator=(ExactMap&& other) noexcept {
    if (this != &other) {
        destroy();
        new (this) ExactMap(std::move(other));
    }
    return *this;
}

void ExactMap::destroy() noexcept {
    for (auto entry = begin(); entry != end(); ++entry)
        entry->~value_type();
    delete[] groups_;
    groups_ = nullptr;
    group_count_ = size_ = tombstones_ = 0;
}

ExactMap::Placement ExactMap::place(int64_t hash) const {
    uint64_t spread = uint64_t{multiply_rotate_hash(hash)} * kSpread;
    size_t group = static_cast<size_t>(((spread >> 32) * group_count_) >> 32);
    return {group, static_cast<uint8_t>((spread >> 25) & 0x7F)};
}

ExactMap::value_type* ExactMap::entry_at(size_t slot) const {
    auto* raw = groups_[slot / kGroupSlots].slots + (slot % kGroupSlots) * sizeof(value_type);
    return std::launder(reinterpret_cast<value_type*>(raw));
}

void ExactMap::set_control(size_t slot, uint8_t byte) {
    uint64_t& control = groups_[slot / kGroupSlots].control;
    int shift = static_cast<int>(8 * (slot % kGroupSlots));
    control = (control & ~(uint64_t{0xFF} << shift)) | (uint64_t{byte} << shift);
}

size_t ExactMap::find_slot(int64_t hash) const {
    if (size_ == 0)
        return capacity();
    Placement where = place(hash);
    size_t group = where.group;
    for (size_t probed = 0; probed < group_count_; ++probed) {
        uint64_t control = groups_[group].control;
        for (uint64_t hits = matching(control, where.tag); hits != 0; hits &= hits - 1) {
            size_t slot = group * kGroupSlots + first_byte(hits);
            if (entry_at(slot)->first == hash)
                return slot;
        }
        if (empties(control) != 0)
            break;
        group = group + 1 == group_count_ ? 0 : group + 1;
    }
    return capacity();
}

size_t ExactMap::free_slot(const Placement& where) const {
    size_t group = where.group;
    // The load limit leaves an empty slot, so the walk ends.
    for (;;) {
        if (uint64_t free = free_bytes(groups_[group].control); free != 0)
            return group * kGroupSlots + first_byte(free);
        group = group + 1 == group_count_ ? 0 : group + 1;
    }
}

const HybridSet& ExactMap::at(int64_t hash) const {
    size_t slot = find_slot(hash);
    if (slot == capacity())
        panic("no entry found for key");
    return entry_at(slot)->second;
}

std::pair<ExactMap::iterator, bool> ExactMap::try_emplace(int64_t hash, HybridSet&& set) {
    size_t slot = find_slot(hash);
    if (slot != capacity())
        return {iterator(this, slot), false};
    return {emplace_absent(hash, std::move(set)), true};
}

ExactMap::iterator ExactMap::emplace_absent(int64_t hash, HybridSet&& set) {
    if (size_ + tombstones_ >= growth_limit()) {
        // Mostly markers: the same room, cleaned; otherwise half as much again.
        bool clean_only = tombstones_ >= growth_limit() / 4 && size_ < growth_limit() / 2;
        rebuild(clean_only ? group_count_
                           : groups_for(std::max(size_ + 1, growth_limit() * 3 / 2)));
    }
    Placement where = place(hash);
    size_t slot = free_slot(where);
    if (control_at(slot) == kDeleted)
        --tombstones_;
    set_control(slot, where.tag);
    new (entry_at(slot)) value_type{hash, std::move(set)};
    ++size_;
    return iterator(this, slot);
}

void ExactMap::erase(const_iterator entry) {
    size_t slot = entry.slot();
    entry_at(slot)->~value_type();
    // A group with an empty slot was never passed by a probe (see the header).
    if (empties(groups_[slot / kGroupSlots].control) != 0) {
        set_control(slot, kEmpty);
    } else {
        set_control(slot, kDeleted);
        ++tombstones_;
    }
    --size_;
}

size_t ExactMap::groups_for(size_t entries) {
    return (entries + kMaxLoadNum - 1) / kMaxLoadNum;  // growth_limit() = groups * 7
}

void ExactMap::reserve(size_t count) {
    if (count <= growth_limit() - tombstones_)
        return;
    size_t target = size_ == 0 ? count : std::max(count, growth_limit() * 3 / 2);
    rebuild(groups_for(target));
}

void ExactMap::rebuild(size_t groups) {
    if (groups == 0 && size_ != 0)
        panic("exact map: no table for its entries");
    Group* fresh = groups > 0 ? new Group[groups] : nullptr;  // may throw; nothing changed yet
    for (size_t g = 0; g < groups; ++g)
        fresh[g].control = kAllEmpty;
    ExactMap built;
    built.groups_ = fresh;
    built.group_count_ = groups;
    // Without a table there is no entry to move (checked above); the loop
    // says so too, as the size alone does not tell which slots are full.
    for (auto entry = begin(); fresh != nullptr && entry != end(); ++entry) {
        Placement where = built.place(entry->first);
        size_t slot = built.free_slot(where);
        built.set_control(slot, where.tag);
        new (built.entry_at(slot)) value_type{entry->first, std::move(entry->second)};
        ++built.size_;
    }
    *this = std::move(built);  // the old slots hold moved-from sets, released here
}

void ExactMap::prefetch(int64_t hash) const {
    if (group_count_ == 0)
        return;
    const Group* group = groups_ + place(hash).group;
    prefetch_line(group);
    prefetch_line(reinterpret_cast<const char*>(group) + kCacheLine);
}

void ExactMap::validate() const {
    if (group_count_ == 0 ? groups_ != nullptr || size_ != 0 : groups_ == nullptr)
        panic("exact map: table and size disagree");
    size_t full = 0;
    size_t deleted = 0;
    // No slot without a table (just checked), spelled out for the loop.
    size_t slots = groups_ == nullptr ? 0 : capacity();
    for (size_t slot = 0; slot < slots; ++slot) {
        uint8_t control = control_at(slot);
        if (control == kDeleted)
            ++deleted;
        if (!is_full(slot)) {
            if (control != kEmpty && control != kDeleted)
                panic("exact map: a slot neither full, empty nor deleted");
            continue;
        }
        ++full;
        const value_type& entry = *entry_at(slot);
        if (place(entry.first).tag != control)
            panic("exact map: a control byte is not its key's");
        if (find_slot(entry.first) != slot)
            panic("exact map: a key its probe does not reach");
        entry.second.validate();
    }
    if (full != size_ || deleted != tombstones_)
        panic("exact map: counts disagree with the slots");
    if (size_ + tombstones_ > growth_limit())
        panic("exact map: fuller than its load limit");
}

}  // namespace vorlane
