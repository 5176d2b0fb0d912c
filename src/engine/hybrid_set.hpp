#pragma once
// `HybridSet`: the ids of the objects that share one attribute value.
//
// Most attribute values are held by very few objects, so up to
// `kInlineCapacity` ids live inline in the set (`Small`, kept in insertion
// order) and cost no allocation. The id after that moves the set to a
// `Bitmap`, and the set stays a bitmap for good, even when removals empty
// it: add/remove churn around the threshold then never reallocates.
//
// `Empty` is not a set. It is the placeholder that `or_inplace` and
// `and_inplace` leave in the receiver while they compute its new value, and
// the state a set keeps when one of them fails; a moved-from set is `Empty`
// as well. Operations that change a set, and `is_empty`, fail on it with an
// internal error; read-only ones treat it as holding no id.
//
// A set has no lock; its owner serialises changes.

#include <array>
#include <cstddef>
#include <cstdint>
#include <variant>

#include "engine/bitmap.hpp"

namespace vorlane {

class HybridSet {
  public:
    static constexpr uint32_t kInlineCapacity = 4;

    struct Empty {};
    // Invariant: `len <= kInlineCapacity` and `ids[0..len)` are distinct;
    // entries from `len` on carry no meaning.
    struct Small {
        std::array<uint32_t, kInlineCapacity> ids;
        uint32_t len;
    };
    // Tag order matters to readers of `form()`: Empty, Small, Large.
    using Form = std::variant<Empty, Small, Bitmap>;

    // An empty inline set, a valid set like any other.
    HybridSet() : form_(Small{}) {}
    static HybridSet with_id(uint32_t id);
    // Wraps `bitmap` as a bitmap-form set, whatever its cardinality.
    static HybridSet from_bitmap(Bitmap bitmap);

    // Moves leave the source `Empty`, never with a dangling bitmap.
    HybridSet(HybridSet&& other) noexcept;
    HybridSet& operator=(HybridSet&& other) noexcept;
    // Copies are explicit, as for `Bitmap`: a large one is real work.
    HybridSet(const HybridSet&) = delete;
    HybridSet& operator=(const HybridSet&) = delete;
    HybridSet copy() const;

    // True when the id was not held before.
    bool insert(uint32_t id);
    // Removing an id that is not held changes nothing.
    void remove(uint32_t id);
    bool contains(uint32_t id) const;
    bool is_empty() const;
    uint64_t len() const;

    // A fresh bitmap owned by the caller; it enumerates ascending.
    Bitmap as_bitmap() const;
    // `target |= *this` without building a bitmap for the inline form.
    void or_into(Bitmap& target) const;

    // `*this` becomes the union / intersection with `other`. The receiver is
    // moved out first, so `other` must be a different set: combining a set
    // with itself meets the placeholder and fails like any `Empty` operand.
    // On failure the receiver stays `Empty`.
    void or_inplace(const HybridSet& other);
    void and_inplace(const HybridSet& other);
    // Goes to the bitmap form when the lengths add up to more than the
    // inline capacity, even if shared ids would have let the union fit.
    static HybridSet or_inplace_small(const Small& a, const Small& b);

    // Calls `f(id)` for every id: inline ids in insertion order, bitmap ids
    // ascending, none for `Empty`.
    template <typename F>
    void for_each(F&& f) const {
        if (const Small* small = std::get_if<Small>(&form_)) {
            for (uint32_t i = 0; i < small->len; ++i)
                f(small->ids[i]);
        } else if (const Bitmap* large = std::get_if<Bitmap>(&form_)) {
            large->for_each(f);
        }
    }

    // Heap bytes owned: the bitmap's size for the bitmap form, else 0.
    size_t memory_usage() const;
    bool is_large() const { return std::holds_alternative<Bitmap>(form_); }
    // The bitmap of the bitmap form, or null for the others.
    const Bitmap* bitmap_form() const { return std::get_if<Bitmap>(&form_); }
    const Form& form() const { return form_; }

    // Panics unless the invariants of the current form hold. `Empty` passes:
    // it is a state a set may legitimately be left in.
    void validate() const;

  private:
    explicit HybridSet(Form form) : form_(std::move(form)) {}

    Form form_;
};

// The bitmap form costs one pointer; the variant is the 20-byte inline form
// rounded up to the pointer's alignment, plus the tag.
static_assert(sizeof(HybridSet) <= 32, "HybridSet must stay small: maps hold millions of them");

}  // namespace vorlane
