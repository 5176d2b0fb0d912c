#include "engine/hybrid_set.hpp"

#include <algorithm>
#include <span>
#include <utility>

#include "engine/panic.hpp"

namespace vorlane {

namespace {

using Empty = HybridSet::Empty;
using Small = HybridSet::Small;
using Form = HybridSet::Form;

// Internal errors of the `Empty` placeholder.
constexpr const char* kNotImplemented = "not implemented";
constexpr const char* kNotYetImplemented = "not yet implemented";

std::span<const uint32_t> members(const Small& small) {
    return {small.ids.data(), small.len};
}

bool holds(const Small& small, uint32_t id) {
    auto ids = members(small);
    return std::find(ids.begin(), ids.end(), id) != ids.end();
}

bool holds(const Bitmap& large, uint32_t id) {
    return large.contains(id);
}

// Bitmaps start at capacity 0 and are filled in bulk from the inline ids.
Bitmap bitmap_of(const Small& small) {
    return Bitmap::of(members(small));
}

// Keeps, in their order, the ids of `small` that `other` holds.
template <typename Other>
Small retain_held(const Small& small, const Other& other) {
    Small kept{};
    for (uint32_t id : members(small)) {
        if (holds(other, id))
            kept.ids[kept.len++] = id;
    }
    return kept;
}

// The bitmap form is chosen on the sum of the lengths: deciding that costs no
// scan for shared ids.
Form union_small(const Small& a, const Small& b) {
    if (a.len + b.len > HybridSet::kInlineCapacity) {
        Bitmap result = bitmap_of(a);
        result.add_many(members(b));
        return result;
    }
    Small result = a;
    for (uint32_t id : members(b)) {
        if (!holds(a, id))
            result.ids[result.len++] = id;
    }
    return result;
}

// Visitor computing `mine ∪ theirs` for `or_inplace`.
struct Union {
    Form operator()(const Small& mine, const Small& theirs) const {
        return union_small(mine, theirs);
    }
    Form operator()(const Small& mine, const Bitmap& theirs) const {
        Bitmap result = bitmap_of(mine);
        result.or_inplace(theirs);
        return result;
    }
    Form operator()(Bitmap& mine, const Small& theirs) const {
        mine.add_many(members(theirs));
        return std::move(mine);
    }
    Form operator()(Bitmap& mine, const Bitmap& theirs) const {
        mine.or_inplace(theirs);
        return std::move(mine);
    }
    // Any pair with the placeholder on either side.
    template <typename A, typename B>
    Form operator()(const A&, const B&) const {
        panic(kNotImplemented);
    }
};

// Visitor computing `mine ∩ theirs` for `and_inplace`. An inline receiver
// stays inline: an intersection can only shrink it.
struct Intersection {
    Form operator()(const Small& mine, const Small& theirs) const {
        return retain_held(mine, theirs);
    }
    Form operator()(const Small& mine, const Bitmap& theirs) const {
        return retain_held(mine, theirs);
    }
    Form operator()(Bitmap& mine, const Small& theirs) const {
        mine.and_inplace(bitmap_of(theirs));
        return std::move(mine);
    }
    Form operator()(Bitmap& mine, const Bitmap& theirs) const {
        mine.and_inplace(theirs);
        return std::move(mine);
    }
    template <typename A, typename B>
    Form operator()(const A&, const B&) const {
        panic(kNotImplemented);
    }
};

}  // namespace

HybridSet HybridSet::with_id(uint32_t id) {
    return HybridSet(Small{{id}, 1});
}

HybridSet HybridSet::from_bitmap(Bitmap bitmap) {
    return HybridSet(Form(std::move(bitmap)));
}

HybridSet::HybridSet(HybridSet&& other) noexcept : form_(std::exchange(other.form_, Empty{})) {}

HybridSet& HybridSet::operator=(HybridSet&& other) noexcept {
    // Exchanging first keeps self-assignment harmless.
    form_ = std::exchange(other.form_, Empty{});
    return *this;
}

HybridSet HybridSet::copy() const {
    if (const Bitmap* large = std::get_if<Bitmap>(&form_))
        return from_bitmap(large->copy());
    if (const Small* small = std::get_if<Small>(&form_))
        return HybridSet(*small);
    return HybridSet(Empty{});
}

bool HybridSet::insert(uint32_t id) {
    if (Bitmap* large = std::get_if<Bitmap>(&form_))
        return large->add_checked(id);
    Small* small = std::get_if<Small>(&form_);
    if (small == nullptr)
        panic(kNotImplemented);
    if (holds(*small, id))
        return false;
    if (small->len < kInlineCapacity) {
        small->ids[small->len++] = id;
        return true;
    }
    Bitmap grown = bitmap_of(*small);
    grown.add(id);
    form_ = std::move(grown);  // for good: the bitmap form never goes back
    return true;
}

void HybridSet::remove(uint32_t id) {
    if (Bitmap* large = std::get_if<Bitmap>(&form_)) {
        large->remove(id);
        return;
    }
    Small* small = std::get_if<Small>(&form_);
    if (small == nullptr)
        panic(kNotYetImplemented);
    auto end = small->ids.begin() + small->len;
    auto found = std::find(small->ids.begin(), end, id);
    if (found == end)
        return;
    // Close the gap so that the others keep their insertion order.
    std::copy(found + 1, end, found);
    --small->len;
}

bool HybridSet::contains(uint32_t id) const {
    if (const Bitmap* large = std::get_if<Bitmap>(&form_))
        return large->contains(id);
    if (const Small* small = std::get_if<Small>(&form_))
        return holds(*small, id);
    return false;
}

bool HybridSet::is_empty() const {
    if (const Bitmap* large = std::get_if<Bitmap>(&form_))
        return large->is_empty();
    if (const Small* small = std::get_if<Small>(&form_))
        return small->len == 0;
    panic(kNotYetImplemented);
}

uint64_t HybridSet::len() const {
    if (const Bitmap* large = std::get_if<Bitmap>(&form_))
        return large->cardinality();
    if (const Small* small = std::get_if<Small>(&form_))
        return small->len;
    return 0;
}

Bitmap HybridSet::as_bitmap() const {
    if (const Bitmap* large = std::get_if<Bitmap>(&form_))
        return large->copy();
    if (const Small* small = std::get_if<Small>(&form_))
        return bitmap_of(*small);
    return Bitmap();
}

void HybridSet::or_into(Bitmap& target) const {
    if (const Bitmap* large = std::get_if<Bitmap>(&form_)) {
        target.or_inplace(*large);
    } else if (const Small* small = std::get_if<Small>(&form_)) {
        target.add_many(members(*small));
    }
}

void HybridSet::or_inplace(const HybridSet& other) {
    // If the visitor throws, the placeholder is what stays behind.
    Form mine = std::exchange(form_, Empty{});
    form_ = std::visit(Union{}, mine, other.form_);
}

void HybridSet::and_inplace(const HybridSet& other) {
    Form mine = std::exchange(form_, Empty{});
    form_ = std::visit(Intersection{}, mine, other.form_);
}

HybridSet HybridSet::or_inplace_small(const Small& a, const Small& b) {
    return HybridSet(union_small(a, b));
}

size_t HybridSet::memory_usage() const {
    const Bitmap* large = std::get_if<Bitmap>(&form_);
    return large == nullptr ? 0 : large->size_in_bytes();
}

void HybridSet::validate() const {
    if (const Bitmap* large = std::get_if<Bitmap>(&form_)) {
        if (large->raw() == nullptr)
            panic("HybridSet: bitmap form without a bitmap");
        return;
    }
    const Small* small = std::get_if<Small>(&form_);
    if (small == nullptr)
        return;
    if (small->len > kInlineCapacity)
        panic("HybridSet: inline length beyond capacity");
    auto ids = members(*small);
    for (auto it = ids.begin(); it != ids.end(); ++it) {
        if (std::find(it + 1, ids.end(), *it) != ids.end())
            panic("HybridSet: id held twice");
    }
}

}  // namespace vorlane
