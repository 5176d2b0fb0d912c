#pragma once
// `ExactMap`: the exact map of one attribute, from a value's stored hash to
// the set of ids holding it.
//
// An open-addressing table whose capacity is any multiple of a group of
// `kGroupSlots` slots, not a power of two: a general-purpose table doubles,
// so a map of mostly distinct values (comments, names, keys) sits anywhere
// between 44% and 88% full and pays for the empty half of its slots on
// every distinct value. Here a batch of insertions sizes the map to the
// values it will hold (`reserve`), up to `kMaxLoad` full, and single
// insertions grow it by half.
//
// Layout: groups of `kGroupSlots` slots, each with one control byte per slot
// in a word ahead of its slots. A control byte is `kEmpty`, `kDeleted` or,
// for a full slot, seven bits of the key's placement hash, so that a probe
// compares a group's eight bytes at once and reads only the keys whose bits
// match. A key's probe starts at the group its placement hash maps to and
// visits the following groups in turn (wrapping), until it finds the key or
// a group with an empty slot.
//
// Invariants (checked by `validate`):
// - every full slot is reached by its key's probe, and its control byte is
//   its key's seven bits;
// - a group that holds an empty slot has held one since the table was last
//   built, so no probe ever went past it: an erased slot there becomes
//   empty again, elsewhere a `kDeleted` marker that probes step over;
// - `size()` full slots and `tombstones_` deleted ones; together at most
//   `kMaxLoad` of the capacity, so every probe meets an empty slot.
//
// No lock; its owner serialises writers against readers.

#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <utility>

#include "engine/hybrid_set.hpp"
#include "engine/value_key.hpp"

namespace vorlane {

class ExactMap {
  public:
    struct value_type {
        const int64_t first;  // the stored hash
        HybridSet second;
    };

    template <bool kConst>
    class Iterator {
      public:
        using Map = std::conditional_t<kConst, const ExactMap, ExactMap>;
        using Entry = std::conditional_t<kConst, const value_type, value_type>;

        Iterator(Map* map, size_t slot) : map_(map), slot_(slot) { skip_free(); }
        // A mutable iterator passes for a const one.
        operator Iterator<true>() const { return Iterator<true>(map_, slot_); }

        Entry& operator*() const { return *map_->entry_at(slot_); }
        Entry* operator->() const { return map_->entry_at(slot_); }
        Iterator& operator++() {
            ++slot_;
            skip_free();
            return *this;
        }
        bool operator==(const Iterator& other) const { return slot_ == other.slot_; }
        size_t slot() const { return slot_; }

      private:
        void skip_free() {
            while (slot_ < map_->capacity() && !map_->is_full(slot_))
                ++slot_;
        }
        Map* map_;
        size_t slot_;
    };
    using iterator = Iterator<false>;
    using const_iterator = Iterator<true>;

    // Slots per group: one control byte each, read as one word.
    static constexpr size_t kGroupSlots = 8;

    ExactMap() = default;
    ~ExactMap() { destroy(); }
    ExactMap(ExactMap&& other) noexcept;
    ExactMap& operator=(ExactMap&& other) noexcept;
    ExactMap(const ExactMap&) = delete;
    ExactMap& operator=(const ExactMap&) = delete;

    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    // Slots, full or not.
    size_t capacity() const { return group_count_ * kGroupSlots; }
    // Heap bytes of the table (not of the sets' own allocations).
    size_t table_bytes() const { return group_count_ * sizeof(Group); }

    iterator begin() { return iterator(this, 0); }
    iterator end() { return iterator(this, capacity()); }
    const_iterator begin() const { return const_iterator(this, 0); }
    const_iterator end() const { return const_iterator(this, capacity()); }

    iterator find(int64_t hash) { return iterator(this, find_slot(hash)); }
    const_iterator find(int64_t hash) const { return const_iterator(this, find_slot(hash)); }
    bool contains(int64_t hash) const { return find_slot(hash) != capacity(); }
    // The set of `hash`; a missing key is the internal error "no entry found for key".
    const HybridSet& at(int64_t hash) const;

    // The entry of `hash`, made with `set` when missing (`set` is then
    // moved in, else left alone); true when it was made.
    std::pair<iterator, bool> try_emplace(int64_t hash, HybridSet&& set);
    std::pair<iterator, bool> try_emplace(int64_t hash) { return try_emplace(hash, HybridSet()); }
    // Adds the entry of `hash`, which the map must not hold yet (a bulk fill
    // of distinct keys into a fresh map): `try_emplace` without its probe.
    iterator emplace_absent(int64_t hash, HybridSet&& set);
    void erase(const_iterator entry);

    // Room for `count` entries in all without growing. An empty map is sized
    // to them exactly; a filled one grows by half at least, so that many
    // small batches do not rebuild it each time.
    void reserve(size_t count);
    // Rebuilt at the capacity its entries need.
    void shrink_to_fit() { rebuild(groups_for(size_)); }
    // Brings into the cache the group where the probe of `hash` starts.
    void prefetch(int64_t hash) const;

    // Throws `Panic` naming the first broken invariant (see above), and
    // checks every set.
    void validate() const;

  private:
    static constexpr uint8_t kEmpty = 0x80;
    static constexpr uint8_t kDeleted = 0xFE;
    static constexpr uint64_t kAllEmpty = 0x8080808080808080ULL;
    // Most of the slots full (tombstones included) before the table grows.
    static constexpr size_t kMaxLoadNum = 7;
    static constexpr size_t kMaxLoadDen = 8;

    struct Group {
        uint64_t control;
        alignas(value_type) unsigned char slots[kGroupSlots * sizeof(value_type)];
    };

    // Where a key lives: its first group and its control byte.
    struct Placement {
        size_t group;
        uint8_t tag;
    };
    Placement place(int64_t hash) const;

    uint8_t control_at(size_t slot) const {
        return static_cast<uint8_t>(groups_[slot / kGroupSlots].control >>
                                    (8 * (slot % kGroupSlots)));
    }
    void set_control(size_t slot, uint8_t byte);
    bool is_full(size_t slot) const { return (control_at(slot) & 0x80) == 0; }
    value_type* entry_at(size_t slot) const;
    // The slot of `hash`, or `capacity()` when absent.
    size_t find_slot(int64_t hash) const;
    // The first empty or deleted slot on the probe of a key placed at `where`.
    size_t free_slot(const Placement& where) const;
    // Slots that may be full or deleted before the table grows.
    size_t growth_limit() const { return capacity() / kMaxLoadDen * kMaxLoadNum; }
    static size_t groups_for(size_t entries);
    // Moves every entry into a fresh table of `groups` groups (at least one
    // when there are entries).
    void rebuild(size_t groups);
    void destroy() noexcept;

    Group* groups_ = nullptr;
    size_t group_count_ = 0;
    size_t size_ = 0;
    size_t tombstones_ = 0;
};

}  // namespace vorlane
