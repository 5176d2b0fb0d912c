#pragma once
// Internal errors of the engine.
//
// A `Panic` is thrown when an invariant of the data structures breaks, a lock
// is poisoned or a value cannot be converted. The binding layer turns it into
// the Python exception `PanicException` carrying the same message, so the
// message texts here are part of the module's observable behaviour.

#include <stdexcept>
#include <string>

namespace vorlane {

class Panic final : public std::runtime_error {
  public:
    explicit Panic(const std::string& message) : std::runtime_error(message) {}
};

// Message used wherever a fallible step is "unwrapped": a poisoned lock or a
// value that cannot be converted.
inline constexpr const char* kUnwrapErr = "called `Result::unwrap()` on an `Err` value";

[[noreturn]] inline void panic(const std::string& message) {
    throw Panic(message);
}

}  // namespace vorlane
