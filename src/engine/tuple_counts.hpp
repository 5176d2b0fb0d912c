#pragma once
// Counts of key tuples: how many objects hold each combination of values of
// several attributes, each value taken as its key (its stored hash: 1, 1.0
// and True are one key, as lookups compare them).
//
// Tuples are fed in ascending id order; each group remembers the id of its
// first holder, which orders ties and names the holder whose values show the
// group.

#include <absl/container/flat_hash_set.h>

#include <array>

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace vorlane {

struct TupleCount {
    uint32_t first_id;  // the first (smallest) id holding the tuple
    uint64_t count;
    uint32_t group;  // the group's number, in order of first appearance
};

// `counts` by descending count, ties by ascending first id, at most `limit`
// of them.
std::vector<TupleCount> rank_tuple_counts(std::vector<TupleCount> counts,
                                          std::optional<size_t> limit);

class TupleCounter {
  public:
    // Counts tuples of `width` keys (at least one).
    explicit TupleCounter(size_t width);
    TupleCounter(const TupleCounter&) = delete;
    TupleCounter& operator=(const TupleCounter&) = delete;

    // Counts the tuple `keys` (`width` of them) held by object `id`; ids come
    // in ascending order. True when the tuple is new: its group is
    // `groups() - 1` then.
    bool add(std::span<const int64_t> keys, uint32_t id);
    // The group of the tuple last counted by `add`.
    uint32_t last_group() const { return last_group_; }

    size_t groups() const { return counts_.size(); }
    // The groups by descending count, ties by ascending first id, at most
    // `limit` of them.
    std::vector<TupleCount> ranked(std::optional<size_t> limit) const;

  private:
    // Groups are kept by number; the set hashes and compares them by the
    // keys they stand for in `keys_`, and `kProbe` stands for the tuple being
    // looked up.
    static constexpr uint32_t kProbe = UINT32_MAX;
    struct GroupHash {
        using is_transparent = void;
        const TupleCounter* counter;
        size_t operator()(uint32_t group) const;
    };
    struct GroupEq {
        using is_transparent = void;
        const TupleCounter* counter;
        bool operator()(uint32_t a, uint32_t b) const;
    };
    std::span<const int64_t> keys_of(uint32_t group) const;
    // The slot of `keys` among the recent groups.
    static size_t recent_slot(std::span<const int64_t> keys);

    // Groups last counted, by a cheap hash of their keys: attributes of few
    // values make few groups, so a tuple is nearly always one counted before
    // and is found here with one compare, without hashing it for the set.
    // `kProbe` marks an empty slot. A power of two, for the slot's shift.
    static constexpr size_t kRecentSlotBits = 8;
    static constexpr size_t kRecentSlots = size_t{1} << kRecentSlotBits;

    size_t width_;
    std::vector<int64_t> keys_;  // `width_` keys per group, in group order
    std::vector<uint64_t> counts_;
    std::vector<uint32_t> first_ids_;
    std::span<const int64_t> probe_;
    absl::flat_hash_set<uint32_t, GroupHash, GroupEq> groups_;
    std::array<uint32_t, kRecentSlots> recent_;
    uint32_t last_group_ = 0;
};

}  // namespace vorlane
