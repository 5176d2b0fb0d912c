#pragma once
// The part of an attribute value that the index structures need: the hash of
// the object, stored once, which alone decides key equality, and its native
// numeric value for the ordered tree. Python-free, so the index structures can be
// built and tested without an interpreter.

#include <cstdint>
#include <optional>

#include "engine/value_order.hpp"

namespace vorlane {

// Tag order Int, Float, Str, Unknown.
enum class NativeKind : uint8_t { Int = 0, Float = 1, Str = 2, Unknown = 3 };

struct ValueKey {
    int64_t hash = 0;
    NativeKind kind = NativeKind::Unknown;
    union {
        int64_t int_value;
        double float_value;
    };

    ValueKey() : int_value(0) {}
    static ValueKey of_int(int64_t hash, int64_t value);
    static ValueKey of_float(int64_t hash, double value);
    static ValueKey of_other(int64_t hash, NativeKind kind);

    // The tree key of an Int or Float value; nothing for other kinds.
    std::optional<NumericValue> numeric() const {
        if (kind == NativeKind::Int)
            return NumericValue(int_value);
        if (kind == NativeKind::Float)
            return NumericValue(float_value);
        return std::nullopt;
    }

    // Keys are equal exactly when their stored hashes are: 1, 1.0 and True
    // are one key, and so are any two values whose hashes collide.
    bool operator==(const ValueKey& other) const { return hash == other.hash; }
};

inline ValueKey ValueKey::of_other(int64_t hash, NativeKind kind) {
    ValueKey key;
    key.hash = hash;
    key.kind = kind;
    return key;
}

inline ValueKey ValueKey::of_int(int64_t hash, int64_t value) {
    ValueKey key = of_other(hash, NativeKind::Int);
    key.int_value = value;
    return key;
}

inline ValueKey ValueKey::of_float(int64_t hash, double value) {
    ValueKey key = of_other(hash, NativeKind::Float);
    key.float_value = value;
    return key;
}

// Map placement of a key: the multiply-rotate hasher over 32-bit words, fed
// the stored hash as two words, low first.
inline uint32_t multiply_rotate_hash(int64_t stored_hash) {
    constexpr uint32_t kMultiplier = 0x93D765DD;
    constexpr int kRotation = 15;
    uint64_t word = static_cast<uint64_t>(stored_hash);
    uint32_t state = 0;
    state = (state + static_cast<uint32_t>(word)) * kMultiplier;
    state = (state + static_cast<uint32_t>(word >> 32)) * kMultiplier;
    return (state << kRotation) | (state >> (32 - kRotation));
}

struct ValueKeyHash {
    size_t operator()(const ValueKey& key) const { return multiply_rotate_hash(key.hash); }
};

}  // namespace vorlane
