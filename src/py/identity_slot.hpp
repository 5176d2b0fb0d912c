#pragma once
// Slots of the small caches keyed by an object's identity (its address).

#include <cstddef>
#include <cstdint>

namespace vorlane::py {

// The slot among `slots` for the object at `obj`. Objects are 16-byte
// aligned: the bits above select the slot, folded with higher ones so that
// objects allocated side by side spread out.
inline size_t identity_slot(const void* obj, size_t slots) {
    constexpr unsigned kAlignmentBits = 4;
    constexpr unsigned kFoldShift = 10;
    auto bits = reinterpret_cast<uintptr_t>(obj);
    return ((bits >> kAlignmentBits) ^ (bits >> kFoldShift)) % slots;
}

}  // namespace vorlane::py
