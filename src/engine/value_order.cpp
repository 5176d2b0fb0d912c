#include "engine/value_order.hpp"

#include <bit>
#include <cmath>
#include <limits>
#include <optional>

namespace vorlane {

namespace {

constexpr Key128 kOne = 1;
constexpr Key128 kMask96 = (kOne << 96) - 1;
constexpr Key128 kSignBit96 = kOne << 95;
constexpr Key128 kMaxCode96 = kMask96;
constexpr Key128 kIdMask = 0xFFFFFFFFu;
constexpr uint32_t kLastId = std::numeric_limits<uint32_t>::max();
constexpr int kFractionBits = 80;
constexpr uint32_t kExponentBias = 16383;
// Re-bias from a double's exponent field (bias 1023) to ours (bias 16383).
constexpr uint32_t kDoubleRebias = kExponentBias - 1023;
constexpr int kDoubleMantissaBits = 52;
constexpr uint64_t kDoubleMantissaMask = (uint64_t{1} << kDoubleMantissaBits) - 1;
constexpr uint32_t kDoubleExponentMask = 0x7FF;
constexpr double kInfinity = std::numeric_limits<double>::infinity();

// Zero of every kind: the non-negative fold of an all-zero pattern.
constexpr Key128 kZeroCode = kSignBit96;

Key128 pack(bool negative, uint32_t exponent, Key128 fraction80) {
    Key128 bits = (Key128{exponent} << kFractionBits) | fraction80;
    // Negative values invert everything so that larger magnitudes sort lower.
    return negative ? (~(bits | kSignBit96) & kMask96) : (bits | kSignBit96);
}

Key128 encode_int(int64_t n) {
    if (n == 0)
        return kZeroCode;
    // Unsigned negation keeps INT64_MIN exact (magnitude 2^63).
    uint64_t magnitude = n < 0 ? uint64_t{0} - static_cast<uint64_t>(n) : static_cast<uint64_t>(n);
    int zeros = std::countl_zero(magnitude);
    // Drop the leading 1 (it is implicit); the rest fills the fraction from its top.
    uint64_t rest = zeros == 63 ? 0 : magnitude << (zeros + 1);
    uint32_t exponent = kExponentBias + 63 - static_cast<uint32_t>(zeros);
    return pack(n < 0, exponent, Key128{rest} << (kFractionBits - 64));
}

Key128 encode_double(double x) {
    uint64_t bits = std::bit_cast<uint64_t>(x);
    bool negative = (bits >> 63) != 0;
    uint32_t field = static_cast<uint32_t>(bits >> kDoubleMantissaBits) & kDoubleExponentMask;
    uint64_t mantissa = bits & kDoubleMantissaMask;
    if (field == 0 && mantissa == 0)
        return kZeroCode;
    uint32_t exponent = field + kDoubleRebias;
    if (field == 0) {
        // Subnormal: shift the leading 1 up to the implicit position so that
        // the exponent continues below the smallest normal double.
        int shift = std::countl_zero(mantissa) - (63 - kDoubleMantissaBits);
        mantissa = (mantissa << shift) & kDoubleMantissaMask;
        exponent = kDoubleRebias + 1 - static_cast<uint32_t>(shift);
    }
    return pack(negative, exponent, Key128{mantissa} << (kFractionBits - kDoubleMantissaBits));
}

// The whole number of magnitude `2^exponent * 1.fraction`, when it is one
// that int64 holds with `negative`'s sign.
std::optional<int64_t> whole_int64(bool negative, int exponent, Key128 fraction80) {
    if (exponent < 0 || exponent > 63)
        return std::nullopt;
    int dropped = kFractionBits - exponent;  // fraction bits below the units
    if (dropped > 0 && (fraction80 & ((kOne << dropped) - 1)) != 0)
        return std::nullopt;
    Key128 below = dropped > 0 ? fraction80 >> dropped : fraction80 << -dropped;
    uint64_t magnitude = (uint64_t{1} << exponent) | static_cast<uint64_t>(below);
    constexpr uint64_t kLargest = std::numeric_limits<int64_t>::max();
    if (magnitude > kLargest + (negative ? 1 : 0))
        return std::nullopt;
    // Unsigned negation keeps INT64_MIN exact.
    return static_cast<int64_t>(negative ? uint64_t{0} - magnitude : magnitude);
}

// The positive double `2^exponent * 1.mantissa` (52 fraction bits), which
// is exact: a normal one is put together from its fields, a subnormal one
// scaled down.
double double_of(int exponent, uint64_t mantissa) {
    constexpr int kDoubleBias = 1023;
    constexpr int kLowestNormal = 1 - kDoubleBias;
    if (exponent < kLowestNormal)
        return std::ldexp(static_cast<double>(mantissa | (uint64_t{1} << kDoubleMantissaBits)),
                          exponent - kDoubleMantissaBits);
    int biased = exponent + kDoubleBias;  // at least 1 here: fits the field
    auto field = static_cast<uint64_t>(biased);
    return std::bit_cast<double>((field << kDoubleMantissaBits) | mantissa);
}

}  // namespace

NumericValue decode_value96(Key128 code) {
    if (code == kZeroCode)
        return int64_t{0};
    bool negative = (code & kSignBit96) == 0;
    Key128 bits = (negative ? ~code : code) & kMask96 & ~kSignBit96;
    int exponent = static_cast<int>(bits >> kFractionBits) - static_cast<int>(kExponentBias);
    Key128 fraction80 = bits & ((kOne << kFractionBits) - 1);
    if (std::optional<int64_t> whole = whole_int64(negative, exponent, fraction80))
        return *whole;
    double magnitude;
    if (exponent > std::numeric_limits<double>::max_exponent - 1) {
        magnitude = fraction80 == 0 ? kInfinity : std::numeric_limits<double>::quiet_NaN();
    } else {
        // Not a whole int64, so it came from a double: its 52 fraction bits
        // are the top of the 80, and scaling is exact (subnormals included).
        auto mantissa = static_cast<uint64_t>(fraction80 >> (kFractionBits - kDoubleMantissaBits));
        magnitude = double_of(exponent, mantissa);
    }
    return negative ? -magnitude : magnitude;
}

bool is_nan(const NumericValue& value) {
    return std::holds_alternative<double>(value) && std::isnan(std::get<double>(value));
}

Key128 encode_value96(NumericValue value) {
    if (const int64_t* n = std::get_if<int64_t>(&value))
        return encode_int(*n);
    return encode_double(std::get<double>(value));
}

// Every sorted walk and value-set look-up asks for the infinities' codes (the
// numbers lie between them, NaNs beyond), so each is encoded once.
Key128 negative_infinity_code() {
    static const Key128 code = encode_value96(-kInfinity);
    return code;
}

Key128 positive_infinity_code() {
    static const Key128 code = encode_value96(kInfinity);
    return code;
}

Key128 lowest_number_key() {
    return CompositeKey128::from_code(negative_infinity_code(), 0).key;
}

Key128 highest_number_key() {
    return CompositeKey128::from_code(positive_infinity_code(), kLastId).key;
}

std::optional<ComparisonBounds> comparison_bounds(std::optional<NumericValue> lower,
                                                  BoundKind lower_kind,
                                                  std::optional<NumericValue> upper,
                                                  BoundKind upper_kind) {
    if ((lower && is_nan(*lower)) || (upper && is_nan(*upper)))
        return std::nullopt;
    return ComparisonBounds{
        lower ? Bound{lower_kind, *lower} : Bound{BoundKind::Included, -kInfinity},
        upper ? Bound{upper_kind, *upper} : Bound{BoundKind::Included, kInfinity}};
}

KeyRange KeyRange::from_bounds(const Bound& lower, const Bound& upper) {
    KeyRange range;
    if (lower.kind != BoundKind::Unbounded) {
        Key128 code = encode_value96(lower.value);
        range.has_lower = true;
        if (lower.kind == BoundKind::Included) {
            range.first = code << 32;
        } else if (code == kMaxCode96) {
            range.empty = true;  // nothing lies above the largest code
        } else {
            range.first = (code + 1) << 32;
        }
    }
    if (upper.kind != BoundKind::Unbounded) {
        Key128 code = encode_value96(upper.value);
        range.has_upper = true;
        if (upper.kind == BoundKind::Included) {
            range.last = (code << 32) | kIdMask;
        } else if (code == 0) {
            range.empty = true;  // nothing lies below the smallest code
        } else {
            range.last = ((code - 1) << 32) | kIdMask;
        }
    }
    if (range.first > range.last)
        range.empty = true;
    return range;
}

}  // namespace vorlane
