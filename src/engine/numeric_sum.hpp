#pragma once
// The sum and the mean of a run of numbers, as Python adds them up.
//
// Ints are added exactly (in 128 bits: no run of 64-bit values that fits in
// memory can overflow it); floats with compensated (Neumaier) summation, as
// Python's own `sum` does since 3.12, so that a long run of floats loses no
// more than the final rounding. The total is an int while no float was
// added, and a float once one was. NaN is left out, as `min` and `max` leave
// it out.

#include <cmath>
#include <cstdint>
#include <variant>

#include "engine/value_key.hpp"

namespace vorlane {

class NumericSum {
  public:
    void add(int64_t value) {
        ints_ += value;
        ++count_;
    }
    void add(double value) {
        if (std::isnan(value))
            return;
        double total = floats_ + value;
        // What the addition rounded away, from the smaller of the two.
        compensation_ += std::fabs(floats_) >= std::fabs(value) ? (floats_ - total) + value
                                                                : (value - total) + floats_;
        floats_ = total;
        any_float_ = true;
        ++count_;
    }
    void add(const NumericValue& value) {
        std::visit([&](auto number) { add(number); }, value);
    }

    // How many numbers were added (NaN not counted).
    uint64_t count() const { return count_; }
    bool is_float() const { return any_float_; }
    // The exact sum of the ints added.
    __int128 int_total() const { return ints_; }
    // The total as a float: the ints' sum, then the floats'. An infinity
    // among the floats makes the compensation NaN: the plain sum holds then.
    double float_total() const {
        double floats = floats_ + compensation_;
        if (std::isnan(floats) && !std::isnan(floats_))
            floats = floats_;
        return static_cast<double>(ints_) + floats;
    }
    // The mean of the numbers added; NaN when none was.
    double mean() const {
        if (count_ == 0)
            return std::nan("");
        // The ints' sum is exact, so the one division rounds once more.
        return float_total() / static_cast<double>(count_);
    }

  private:
    __int128 ints_ = 0;
    double floats_ = 0.0;
    double compensation_ = 0.0;
    bool any_float_ = false;
    uint64_t count_ = 0;
};

}  // namespace vorlane
