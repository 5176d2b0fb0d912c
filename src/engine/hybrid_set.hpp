#pragma once
// `HybridSet`: the ids of the objects that share one attribute value.
//
// A set is one machine word, so that an exact map's slot is a key and a word.
// Most values of a high-cardinality attribute are held by one object, and
// most of the rest by a few, so the set takes the form its size calls for:
//
// - `Inline`: no id, or a run of up to `kArrayLimit` consecutive ids (one id
//   being a run of one), kept in the word itself; no allocation. Objects
//   made in the order of a key (the lines of one order, say) hold its
//   values in such runs.
// - `Array`: 2 to `kArrayLimit` ids, ascending, in one allocation of their
//   own (a length, a capacity and the ids). Below a few hundred ids a
//   sorted array is smaller than a bitmap, whose every 2^16 block of ids
//   costs a container of its own.
// - `Bitmap`: more ids, in a bitmap the set owns, with its count and its
//   smallest id kept beside it (the planner of a keyword lookup asks every set it names for its
//   size) and, for a set dense enough, the same ids as a plain bitset, which
//   answers a membership test with one load where the bitmap's sorted
//   arrays take a binary search (see `DenseIds`).
//
// A set grows from one form to the next as ids arrive. Removals bring it back:
// an array left with one id or none goes inline, and a bitmap left with
// `kShrinkToArray` ids or fewer becomes an array. The gap between the two
// thresholds keeps add/remove churn around either of them from converting
// back and forth. A set made from a bitmap (`from_bitmap`) keeps that form,
// whatever its size, until it changes.
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
    // Most ids of the array form: one more turns it into a bitmap.
    static constexpr uint32_t kArrayLimit = 64;
    // A bitmap that removals bring down to this many ids becomes an array.
    static constexpr uint32_t kShrinkToArray = kArrayLimit / 4;

    enum class Form : uint8_t { Placeholder, Inline, Array, Bitmap };

    // An empty set, a valid set like any other.
    HybridSet() : word_(kInlineEmpty) {}
    static HybridSet with_id(uint32_t id);
    // Wraps `bitmap` as a bitmap-form set, whatever its cardinality.
    static HybridSet from_bitmap(Bitmap bitmap);
    // The set of `ids` (ascending, distinct) in the form its size calls for.
    static HybridSet of_sorted(std::span<const uint32_t> ids);

    ~HybridSet() { release(); }
    // Moves leave the source a placeholder, never sharing its storage.
    HybridSet(HybridSet&& other) noexcept : word_(other.word_) { other.word_ = kPlaceholder; }
    HybridSet& operator=(HybridSet&& other) noexcept;
    // Copies are explicit, as for `Bitmap`: a large one is real work.
    HybridSet(const HybridSet&) = delete;
    HybridSet& operator=(const HybridSet&) = delete;
    HybridSet copy() const;

    // True when the id was not held before.
    bool insert(uint32_t id);
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
    // Room for the ids of a small form.
    using SmallIds = std::array<uint32_t, kArrayLimit>;
    // The ids of an inline or array form (ascending), `scratch` holding
    // those of a run; empty for the others.
    std::span<const uint32_t> small_ids(SmallIds& scratch) const;
    // The inline word of the run of `length` ids from `first` (1 to
    // `kArrayLimit`, not past the last id).
    static uintptr_t run_word(uint32_t first, uint32_t length) {
        return (static_cast<uintptr_t>(first) << kInlineIdShift) |
               (static_cast<uintptr_t>(length - 1) << kRunShift) | kInlineHasId | kInlineTag;
    }
    static uintptr_t inline_word(uint32_t id) { return run_word(id, 1); }
    uint32_t run_first() const { return static_cast<uint32_t>(word_ >> kInlineIdShift); }
    // Ids of an inline form: 0 when empty.
    uint32_t run_length() const {
        return (word_ & kInlineHasId) == 0
                   ? 0
                   : static_cast<uint32_t>((word_ & kRunMask) >> kRunShift) + 1;
    }
    bool insert_inline(uint32_t id);
    void remove_inline(uint32_t id);
    void release();
    void become_bitmap_of(std::span<const uint32_t> ids, uint32_t extra);
    void shrink_bitmap_if_small();
    void shrink_array();
    void validate_large() const;

    uintptr_t word_;
};

static_assert(sizeof(uintptr_t) == 8, "the inline form keeps a 32-bit id beside its tag");
static_assert(sizeof(HybridSet) == sizeof(void*), "an exact map slot is a key and one word");

}  // namespace vorlane
