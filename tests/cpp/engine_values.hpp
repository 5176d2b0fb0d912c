#pragma once
// Value keys for engine tests: ints, floats and strings keyed as the module
// keys them (an integral float shares its int's hash; -1 hashes like -2).

#include <bit>
#include <cmath>
#include <cstdint>

#include "engine/value_key.hpp"

namespace vorlane::testing {

inline ValueKey int_key(int64_t v) {
    return ValueKey::of_int(v == -1 ? -2 : v, v);
}
inline ValueKey float_key(double x) {
    bool integral = std::isfinite(x) && x == std::trunc(x) && std::fabs(x) < 1e15;
    int64_t hash = integral ? int_key(static_cast<int64_t>(x)).hash
                            : static_cast<int64_t>(std::bit_cast<uint64_t>(x) >> 1);
    return ValueKey::of_float(hash, x);
}
inline ValueKey str_key(int64_t hash) {
    return ValueKey::of_other(hash, NativeKind::Str);
}

}  // namespace vorlane::testing
