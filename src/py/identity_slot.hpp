#pragma once
// Slots of the small caches keyed by an object's identity (its address).

#include <cstddef>
#include <cstdint>

namespace vorlane::py {

// The bits of the object at `obj`'s address that pick its slot. Objects are
// 16-byte aligned: the bits above, folded with higher ones so that objects
// allocated side by side spread out.
inline size_t identity_bits(const void* obj) {
    constexpr unsigned kAlignmentBits = 4;
    constexpr unsigned kFoldShift = 10;
    auto bits = reinterpret_cast<uintptr_t>(obj);
    return (bits >> kAlignmentBits) ^ (bits >> kFoldShift);
}

// The slot among `slots` for the object at `obj`.
inline size_t identity_slot(const void* obj, size_t slots) {
    return identity_bits(obj) % slots;
}

// As `identity_slot` among a power of two of slots, `mask` being that number
// less one: no division, for look-ups on a read path.
inline size_t identity_slot_masked(const void* obj, size_t mask) {
    return identity_bits(obj) & mask;
}

}  // namespace vorlane::py
