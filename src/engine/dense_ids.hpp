#pragma once
// `DenseIds`: one bit per id over the span of a large id set, beside the
// set's bitmap, for membership tests that cost one load.
//
// A bitmap holds a block of 2^16 ids with fewer than 4096 members as a
// sorted array, so testing an id there is a binary search of a dozen steps.
// A value held by a few percent of a large index has such blocks only, and
// a keyword lookup probes it with each id of a rarer value. The library's
// plain bitset (CRoaring's `bitset_t`) answers the same test with one load;
// it is kept only for sets dense enough that it costs about what their
// arrays cost (see `HybridSet`).
//
// Invariant, kept by its owner: the bits set are exactly the ids of the
// bitmap it was made from, as that bitmap changes.

#include <cstddef>
#include <cstdint>

#include "engine/bitmap.hpp"

namespace vorlane {

class DenseIds {
  public:
    // None: holds no bits and answers nothing (see `present`).
    DenseIds() = default;
    ~DenseIds();
    DenseIds(DenseIds&& other) noexcept;
    DenseIds& operator=(DenseIds&& other) noexcept;
    DenseIds(const DenseIds&) = delete;
    DenseIds& operator=(const DenseIds&) = delete;

    // The bits of `ids` (not empty), from its smallest id to its largest.
    static DenseIds of(const Bitmap& ids);

    bool present() const { return bits_ != nullptr; }
    bool contains(uint32_t id) const {
        return id >= base_ && bitset_get(bits_, static_cast<size_t>(id - base_));
    }
    // Whether `id` can be set without moving the first bit (ids above the
    // span grow it).
    bool covers(uint32_t id) const { return id >= base_; }
    // Sets the bit of an id that `covers`.
    void add(uint32_t id);
    void remove(uint32_t id);

    size_t bytes() const;
    // Whether the bits set are exactly `ids` (a debug check: reads all).
    bool same_ids(const Bitmap& ids) const;

  private:
    void release();

    bitset_t* bits_ = nullptr;
    uint32_t base_ = 0;  // the id of the first bit, a multiple of 64
};

}  // namespace vorlane
