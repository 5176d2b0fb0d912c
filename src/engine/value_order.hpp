#pragma once
// How a value becomes an ordered key: the one place that decides the order of
// numbers in the engine. Integers and floats share one order: a value's key
// starts with a 96-bit order-preserving code (see `encode_value96`), so 5 and
// 5.0 are the same point, and keys compare as plain unsigned 128-bit
// integers. The ordered tree stores these keys, the evaluator turns the
// bounds of a comparison into a range of them, and the sorted walks and the
// bulk sorts read them.
//
// A new ordered kind of value gets its code here; the structures above see
// only codes and keys.

#include <compare>
#include <cstdint>
#include <optional>
#include <variant>

namespace vorlane {

// The values that take part in the order: index 0 = Int, 1 = Float.
using NumericValue = std::variant<int64_t, double>;
using Key128 = unsigned __int128;

// NaN is the one value no ordered comparison selects.
bool is_nan(const NumericValue& value);

// The 96-bit order-preserving code of a numeric value, in the low 96 bits of
// the result: sign, 15-bit exponent (bias 16383) and 80-bit fraction, the
// layout of IEEE binary128 cut to 96 bits, then folded so that unsigned order
// is numeric order (non-negative: top bit set; negative: all bits inverted).
// Every int64 and every double is exact; subnormal doubles are normalised;
// infinities sort beyond all finite values and NaN beyond the infinity of its
// sign. Zero of either kind and sign has one code. No code has an exponent
// field of all ones, so the smallest codes are free for markers.
Key128 encode_value96(NumericValue value);
// The number of a code `encode_value96` made: an int64 when the number is a
// whole one that int64 holds (whichever kind it was encoded from: 5 and 5.0
// share a code), a double otherwise (a fraction, a whole number beyond
// int64, an infinity or NaN). Exact either way.
NumericValue decode_value96(Key128 code);

// One ordered entry: bits 127..32 hold the value's 96-bit code, bits 31..0
// the id, so entries order by value, then by id.
struct CompositeKey128 {
    Key128 key;

    static CompositeKey128 new_(NumericValue value, uint32_t id) {
        return from_code(encode_value96(value), id);
    }
    static CompositeKey128 from_code(Key128 code96, uint32_t id) { return {(code96 << 32) | id}; }

    uint32_t id() const { return static_cast<uint32_t>(key); }
    Key128 value_code() const { return key >> 32; }

    friend auto operator<=>(const CompositeKey128&, const CompositeKey128&) = default;
};

// The keys of every number but NaN: from the first entry of minus infinity
// to the last of plus infinity (NaNs encode beyond the infinity of their sign).
Key128 lowest_number_key();
Key128 highest_number_key();
// The codes of minus and plus infinity: a code beyond them is a NaN's.
Key128 negative_infinity_code();
Key128 positive_infinity_code();

// One end of an ordered comparison.
enum class BoundKind : uint8_t { Included = 0, Excluded = 1, Unbounded = 2 };

struct Bound {
    BoundKind kind;
    NumericValue value;  // ignored when `kind` is Unbounded

    static Bound included(NumericValue value) { return {BoundKind::Included, value}; }
    static Bound excluded(NumericValue value) { return {BoundKind::Excluded, value}; }
    static Bound unbounded() { return {BoundKind::Unbounded, int64_t{0}}; }
};

// The bounds of a comparison as Python reads it: every ordered comparison
// with NaN is false, so a NaN bound selects nothing (no bounds), and an open
// end (no value) is closed at the infinity of its side, which leaves out the
// NaNs that the key order places beyond the infinities.
struct ComparisonBounds {
    Bound lower;
    Bound upper;
};
std::optional<ComparisonBounds> comparison_bounds(std::optional<NumericValue> lower,
                                                  BoundKind lower_kind,
                                                  std::optional<NumericValue> upper,
                                                  BoundKind upper_kind);

// The keys satisfying a (lower, upper) pair of bounds: [first, last], both
// inclusive. Bounds compare by value only, so an inclusive bound takes every
// id of its value (id 0 .. 0xFFFFFFFF) and an exclusive one none.
struct KeyRange {
    Key128 first = 0;
    Key128 last = ~Key128{0};
    bool has_lower = false;
    bool has_upper = false;
    bool empty = false;

    static KeyRange from_bounds(const Bound& lower, const Bound& upper);
};

}  // namespace vorlane
