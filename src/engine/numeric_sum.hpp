#pragma once
// The sum and the mean of a run of numbers, as Python adds them up.
//
// Ints are added exactly (in 128 bits: no run of 64-bit values that fits in
// memory can overflow it); floats with compensated (Neumaier) summation, as
// Python's own `sum` does since 3.12, so that a long run of floats loses no
// more than the final rounding. The total is an int while no float was
// added, and a float once one was. NaN is left out, as `min` and `max` leave
// it out.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
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
        infinity_added_ |= std::isinf(value);
        add_float(value);
        ++count_;
    }
    void add(const NumericValue& value) {
        std::visit([&](auto number) { add(number); }, value);
    }
    // Adds `value` `times` times over: as many additions, but the product is
    // taken exactly (the rounded product and what it rounded away, by a
    // fused multiply-add) and each half added as one float.
    void add_repeated(int64_t value, uint64_t times) {
        ints_ += static_cast<__int128>(value) * static_cast<__int128>(times);
        count_ += times;
    }
    void add_repeated(double value, uint64_t times) {
        if (std::isnan(value) || times == 0)
            return;
        count_ += times;
        auto factor = static_cast<double>(times);  // exact below 2^53
        double product = value * factor;
        infinity_added_ |= std::isinf(value);
        if (std::isfinite(product) || std::isinf(value)) {
            add_float(product);
            // An infinite product has no finite remainder.
            if (std::isfinite(product))
                add_float(std::fma(value, factor, -product));
            return;
        }
        // The copies of a finite value overflow together although the total
        // need not (the values before them may cancel them): they are added
        // as the largest runs whose products are finite, as one by one
        // additions would meet them.
        add_finite_runs(value, times);
    }
    void add_repeated(const NumericValue& value, uint64_t times) {
        std::visit([&](auto number) { add_repeated(number, times); }, value);
    }

    // Adds what `other` added, as if added here after the rest.
    void merge(const NumericSum& other) {
        ints_ += other.ints_;
        count_ += other.count_;
        if (!other.any_float_)
            return;
        // Finite additions leave an infinite total as it is: the other's
        // total may have overflowed the other way, which no one by one
        // addition after this one's would meet.
        if (std::isinf(floats_) && !other.infinity_added_)
            return;
        infinity_added_ |= other.infinity_added_;
        add_float(other.floats_);
        compensation_ += other.compensation_;
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
    // Adds the finite `value` `times` times over, in runs of at most
    // DBL_MAX / |value| copies (at least one), so that no run's product
    // overflows. Once the running total is infinite, finite additions leave
    // it so, and the rest of the copies are only counted. A full run adds
    // more than DBL_MAX / 2 and the total starts finite, so at most a few
    // runs are added.
    void add_finite_runs(double value, uint64_t times) {
        double per_run = std::floor(std::numeric_limits<double>::max() / std::fabs(value));
        uint64_t run = per_run >= static_cast<double>(times)
                           ? times
                           : std::max<uint64_t>(1, static_cast<uint64_t>(per_run));
        for (uint64_t left = times; left != 0 && std::isfinite(floats_);) {
            uint64_t now = std::min(run, left);
            auto factor = static_cast<double>(now);
            double product = value * factor;
            add_float(product);
            add_float(std::fma(value, factor, -product));
            left -= now;
        }
    }

    // One compensated (Neumaier) step.
    void add_float(double value) {
        double total = floats_ + value;
        // What the addition rounded away, from the smaller of the two.
        compensation_ += std::fabs(floats_) >= std::fabs(value) ? (floats_ - total) + value
                                                                : (value - total) + floats_;
        floats_ = total;
        any_float_ = true;
    }

    __int128 ints_ = 0;
    double floats_ = 0.0;
    double compensation_ = 0.0;
    bool any_float_ = false;
    // Whether an infinity was among the numbers (not reached by overflow).
    bool infinity_added_ = false;
    uint64_t count_ = 0;
};

}  // namespace vorlane
