#include "engine/sort_ids.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <memory>
#include <utility>

namespace vorlane {

namespace {

// Bits per pass: 2,048 counters per digit stay in the first-level cache, and
// ids below 2^22 (four million objects) take two passes.
constexpr int kDigitBits = 11;
constexpr uint32_t kBuckets = uint32_t{1} << kDigitBits;
constexpr uint32_t kDigitMask = kBuckets - 1;
constexpr int kMaxDigits = (32 + kDigitBits - 1) / kDigitBits;
// Below this many ids a comparison sort is cheaper than the passes.
constexpr size_t kSmallSort = 256;

using Histograms = std::array<std::array<uint32_t, kBuckets>, kMaxDigits>;

}  // namespace

void sort_ids(std::vector<uint32_t>& ids) {
    if (ids.size() <= kSmallSort) {
        std::sort(ids.begin(), ids.end());
        return;
    }
    uint32_t largest = *std::max_element(ids.begin(), ids.end());
    int digits =
        std::max(1, (static_cast<int>(std::bit_width(largest)) + kDigitBits - 1) / kDigitBits);
    // Every digit's counts in one read of the ids, then each becomes the
    // first position of its bucket.
    auto start = std::make_unique<Histograms>();
    for (uint32_t id : ids) {
        for (int d = 0; d < digits; ++d)
            ++(*start)[d][(id >> (d * kDigitBits)) & kDigitMask];
    }
    std::vector<uint32_t> scratch(ids.size());
    for (int d = 0; d < digits; ++d) {
        uint32_t total = 0;
        for (uint32_t& slot : (*start)[d])
            total += std::exchange(slot, total);
        const int shift = d * kDigitBits;
        for (uint32_t id : ids)
            scratch[(*start)[d][(id >> shift) & kDigitMask]++] = id;
        ids.swap(scratch);
    }
}

}  // namespace vorlane
