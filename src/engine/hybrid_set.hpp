#pragma once
// `HybridSet`: the ids of the objects that share one attribute value.
//
// A set is one machine word, so that an exact map's slot is a key and a word.
// Most values of a high-cardinality attribute are held by one object, and
// most of the rest by a few, so the set takes the form its size calls for:
//
// - `Inline`: no id, or a run of up to `kRunLimit` consecutive ids (one id
//   being a run of one), kept in the word itself; no allocation. Objects
//   made in the order of a key (the lines of one order, say) hold its
//   values in such runs.
// - `Pair`: two ids that do not follow one another, less than 2^30 apart,
//   kept in the word itself: the values of a price or a name that two
//   objects share.
// - `Array`: 2 to `kArrayLimit` ids, ascending, in one allocation of their
//   own (a length, a capacity and the ids), while that costs fewer bytes
//   than a bitmap of the same ids would. An array pays 4 bytes an id; a
//   bitmap 2 bytes an id, plus some 60 bytes for every block of 2^16 ids it
//   touches and its own record. So a set of a few dozen ids is an array,
//   and so is one of a few hundred scattered over many blocks (the rows of
//   one day in a long table). The ids of a number are read otherwise: a
//   range unites the sets of its numbers, bitmaps in one call, small sets
//   id by id, so sets made or grown for `Use::Range` keep arrays to
//   `kRangeArrayLimit` ids.
// - `Bitmap`: more ids, in a bitmap the set owns, with its count and its
//   smallest id kept beside it (the planner of a keyword lookup asks every set it names for its
//   size) and, for a set dense enough, the same ids as a plain bitset, which
//   answers a membership test with one load where the bitmap's sorted
//   arrays take a binary search (see `DenseIds`).
//
// A set made whole (`of_sorted`) takes the smaller form. One growing id by
// id turns from an array into a bitmap when its array would have to grow
// past the size of a bitmap. Removals bring it back: an array left with one
// id or none goes inline, one left with two becomes a pair when they are
// close enough, and a bitmap left with `kShrinkToArray` ids or fewer
// becomes an array. The gap between the two thresholds keeps add/remove
// churn around either of them from converting back and forth. A set made
// from a bitmap (`from_bitmap`) keeps that form, whatever its size, until
// it changes.
//
// `Placeholder` is not a set. It is what `or_inplace` and `and_inplace`
// leave in the receiver while they compute its new value, and the state a set
// keeps when one of them fails; a moved-from set is one as well. Operations
// that change a set, and `is_empty`, fail on it with an internal error;
// read-only ones treat it as holding no id.
//
// A set has no lock; its owner serialises changes.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "engine/bitmap.hpp"
#include "engine/dense_ids.hpp"

namespace vorlane {

class HybridSet {
  public:
    // Longest run of the inline form, whose length takes 6 bits of the word.
    static constexpr uint32_t kRunLimit = 64;
    // Most ids of the array form, however scattered: an insertion moves the
    // ids above it, which must stay a short copy.
    static constexpr uint32_t kArrayLimit = 1024;
    // Most ids of an array made or grown for `Use::Range`.
    static constexpr uint32_t kRangeArrayLimit = 64;
    // A bitmap that removals bring down to this many ids becomes an array.
    static constexpr uint32_t kShrinkToArray = 16;

    enum class Form : uint8_t { Placeholder, Inline, Array, Bitmap, Pair };
    // How the set is read besides lookups: `Range` for the ids of a number.
    enum class Use : uint8_t { Lookup, Range };

    // An empty set, a valid set like any other.
    HybridSet() : word_(kInlineEmpty) {}
    static HybridSet with_id(uint32_t id);
    // Wraps `bitmap` as a bitmap-form set, whatever its cardinality.
    static HybridSet from_bitmap(Bitmap bitmap);
    // The set of `ids` (ascending, distinct) in the form its size calls for.
    static HybridSet of_sorted(std::span<const uint32_t> ids, Use use = Use::Lookup);

    ~HybridSet() { release(); }
    // Moves leave the source a placeholder, never sharing its storage.
    HybridSet(HybridSet&& other) noexcept : word_(other.word_) { other.word_ = kPlaceholder; }
    HybridSet& operator=(HybridSet&& other) noexcept;
    // Copies are explicit, as for `Bitmap`: a large one is real work.
    HybridSet(const HybridSet&) = delete;
    HybridSet& operator=(const HybridSet&) = delete;
    HybridSet copy() const;

    // True when the id was not held before.
    bool insert(uint32_t id, Use use = Use::Lookup);
    // Adds `ids` (ascending, distinct), as many `insert`s would.
    void insert_sorted(std::span<const uint32_t> ids);
    // Removing an id that is not held changes nothing.
    void remove(uint32_t id);
    bool contains(uint32_t id) const;
    bool is_empty() const;
    uint64_t len() const;
    // The smallest id, or `kNoId` for an empty set; kept beside the bitmap
    // form, as its count is, so that neither reads the bitmap.
    uint32_t min_id() const;
    static constexpr uint32_t kNoId = UINT32_MAX;

    // A fresh bitmap owned by the caller; it enumerates ascending.
    Bitmap as_bitmap() const;
    // `target |= *this` without building a bitmap for the small forms.
    void or_into(Bitmap& target) const;

    // `*this` becomes the union / intersection with `other`. The receiver is
    // moved out first, so `other` must be a different set: combining a set
    // with itself meets the placeholder and fails like any placeholder
    // operand. On failure the receiver stays a placeholder.
    void or_inplace(const HybridSet& other);
    void and_inplace(const HybridSet& other);

    // Calls `f(id)` for every id in ascending order; none for a placeholder.
    template <typename F>
    void for_each(F&& f) const {
        if (const Bitmap* large = bitmap_form()) {
            large->for_each(f);
            return;
        }
        SmallIds scratch;
        for (uint32_t id : small_ids(scratch))
            f(id);
    }

    // Heap bytes owned: the array's allocation, or the bitmap and its record.
    size_t memory_usage() const;
    Form form() const;
    bool is_large() const { return form() == Form::Bitmap; }
    bool is_placeholder() const { return word_ == kPlaceholder; }
    // The bitmap of the bitmap form, or null for the others.
    const Bitmap* bitmap_form() const {
        return tag() == kBitmapTag && word_ != kPlaceholder ? &large()->ids : nullptr;
    }
    // The bitset of a dense bitmap form, or null.
    const DenseIds* dense_form() const;
    // Brings into the cache what a change of `id` reads in a small form (the
    // array's ids); a bitmap is left to `Bitmap::prefetch_update`.
    void prefetch_small() const;

    // Panics unless the invariants of the current form hold. A placeholder
    // passes: it is a state a set may legitimately be left in.
    void validate() const;

  private:
    // The low two bits of the word tell the form; allocations are aligned
    // far beyond that. The bitmap form's word is its pointer, untagged, and
    // the placeholder is the null word.
    static constexpr uintptr_t kTagMask = 3;
    static constexpr uintptr_t kBitmapTag = 0;
    static constexpr uintptr_t kInlineTag = 1;
    static constexpr uintptr_t kArrayTag = 2;
    // The pair form: the first id is the upper half, and bits 2 to 31 hold
    // how far above it the second lies (2 or more).
    static constexpr uintptr_t kPairTag = 3;
    static constexpr int kPairGapShift = 2;
    static constexpr uint32_t kPairGapLimit = (uint32_t{1} << 30) - 1;
    // The inline form: bit 2 says ids are held, bits 3 to 8 hold the run's
    // length less one, and its first id is the upper half.
    static constexpr uintptr_t kInlineHasId = 4;
    static constexpr int kRunShift = 3;
    static constexpr uintptr_t kRunMask = uintptr_t{63} << kRunShift;
    static constexpr int kInlineIdShift = 32;
    static constexpr uintptr_t kInlineEmpty = kInlineTag;
    static constexpr uintptr_t kPlaceholder = 0;

    struct IdArray;
    // The bitmap form's record. Changed only through the set.
    struct LargeIds {
        Bitmap ids;
        uint64_t cardinality = 0;  // of `ids`
        uint32_t minimum = kNoId;  // of `ids`
        DenseIds dense;            // present when `wants_dense` held when last decided

        explicit LargeIds(Bitmap bitmap);
        // Recounts and decides on the bitset anew, after a change of many ids.
        void refresh();
        // Each true when the set changed.
        bool add(uint32_t id);
        bool remove(uint32_t id);
    };

    explicit HybridSet(uintptr_t word) : word_(word) {}
    uintptr_t tag() const { return word_ & kTagMask; }
    IdArray* array() const { return reinterpret_cast<IdArray*>(word_ & ~kTagMask); }
    LargeIds* large() const { return reinterpret_cast<LargeIds*>(word_); }
    Bitmap* bitmap() const { return &large()->ids; }
    // Room for the ids of an inline run.
    using SmallIds = std::array<uint32_t, kRunLimit>;
    // The ids of an inline or array form (ascending), `scratch` holding
    // those of a run; empty for the others.
    std::span<const uint32_t> small_ids(SmallIds& scratch) const;
    // The inline word of the run of `length` ids from `first` (1 to
    // `kRunLimit`, not past the last id).
    static uintptr_t run_word(uint32_t first, uint32_t length) {
        return (static_cast<uintptr_t>(first) << kInlineIdShift) |
               (static_cast<uintptr_t>(length - 1) << kRunShift) | kInlineHasId | kInlineTag;
    }
    static uintptr_t inline_word(uint32_t id) { return run_word(id, 1); }
    // The pair word of `first` < `second`, when they fit one: not consecutive
    // and at most `kPairGapLimit` apart.
    static bool fits_pair(uint32_t first, uint32_t second) {
        return second - first >= 2 && second - first <= kPairGapLimit;
    }
    static uintptr_t pair_word(uint32_t first, uint32_t second) {
        return (static_cast<uintptr_t>(first) << kInlineIdShift) |
               (static_cast<uintptr_t>(second - first) << kPairGapShift) | kPairTag;
    }
    uint32_t pair_second() const {
        return run_first() + static_cast<uint32_t>((word_ & 0xFFFFFFFFu) >> kPairGapShift);
    }
    uint32_t run_first() const { return static_cast<uint32_t>(word_ >> kInlineIdShift); }
    // Ids of an inline form: 0 when empty.
    uint32_t run_length() const {
        return (word_ & kInlineHasId) == 0
                   ? 0
                   : static_cast<uint32_t>((word_ & kRunMask) >> kRunShift) + 1;
    }
    bool insert_inline(uint32_t id, Use use);
    bool insert_pair(uint32_t id, Use use);
    bool insert_array(uint32_t id, Use use);
    void remove_inline(uint32_t id);
    void release();
    void become_bitmap_of(std::span<const uint32_t> ids, uint32_t extra);
    // Whether `count` ids touching `blocks` blocks of 2^16 cost fewer bytes
    // as an array of room `cap` than as a bitmap, and `use` lets them be one.
    static bool array_is_smaller(uint64_t count, uint32_t cap, size_t blocks, Use use);
    void shrink_bitmap_if_small();
    void shrink_array();
    void validate_large() const;

    uintptr_t word_;
};

static_assert(sizeof(uintptr_t) == 8, "the inline form keeps a 32-bit id beside its tag");
static_assert(HybridSet::kRunLimit < HybridSet::kArrayLimit, "a run one id longer is an array");
static_assert(sizeof(HybridSet) == sizeof(void*), "an exact map slot is a key and one word");

}  // namespace vorlane
