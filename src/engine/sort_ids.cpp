#include "engine/sort_ids.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <memory>
#include <span>
#include <utility>

namespace vorlane {

namespace {

// Bits per pass at most: 2,048 counters per digit stay in the first-level
// cache, and ids below 2^22 (four million objects) take two passes. The bits
// are shared evenly among the passes: ids below 2^20 take two passes of 10
// bits, half the counters to clear and sum.
constexpr int kDigitBits = kMaxIdDigitBits;
constexpr uint32_t kBuckets = uint32_t{1} << kDigitBits;
constexpr int kMaxDigits = (32 + kDigitBits - 1) / kDigitBits;
// Below this many ids a comparison sort is cheaper than the passes.
constexpr size_t kSmallSort = kSmallIdSort;

using Histograms = std::array<std::array<uint32_t, kBuckets>, kMaxDigits>;

}  // namespace

namespace {

// Sorts `ids` by `Digits` digits of `bits` bits each, least significant
// first: one read counts every digit, then a stable scatter per digit. The
// digit count is a constant so that the counting loop is unrolled.
template <int Digits>
void radix_sort(std::span<uint32_t> ids, int bits) {
    const size_t n = ids.size();
    const uint32_t buckets = uint32_t{1} << bits;
    const uint32_t mask = buckets - 1;
    // Only the counters in use are cleared; each becomes the first position
    // of its bucket.
    auto start = std::make_unique_for_overwrite<Histograms>();
    for (int d = 0; d < Digits; ++d)
        std::fill_n((*start)[d].begin(), buckets, 0);
    for (uint32_t id : ids) {
        for (int d = 0; d < Digits; ++d)
            ++(*start)[d][(id >> (d * bits)) & mask];
    }
    auto scratch = std::make_unique_for_overwrite<uint32_t[]>(n);
    uint32_t* from = ids.data();
    uint32_t* to = scratch.get();
    for (int d = 0; d < Digits; ++d) {
        uint32_t* first = (*start)[d].data();
        uint32_t total = 0;
        for (uint32_t b = 0; b < buckets; ++b)
            total += std::exchange(first[b], total);
        const int shift = d * bits;
        for (size_t i = 0; i < n; ++i) {
            const uint32_t id = from[i];
            to[first[(id >> shift) & mask]++] = id;
        }
        std::swap(from, to);
    }
    if (from != ids.data())
        std::copy_n(from, n, ids.data());
}

}  // namespace

void sort_ids(std::vector<uint32_t>& ids) {
    if (ids.size() <= kSmallSort) {
        std::sort(ids.begin(), ids.end());
        return;
    }
    sort_ids(ids, *std::max_element(ids.begin(), ids.end()));
}

IdDigits id_digits(uint32_t largest) {
    const int width = std::max(1, static_cast<int>(std::bit_width(largest)));
    const int digits = (width + kDigitBits - 1) / kDigitBits;
    return {digits, (width + digits - 1) / digits};
}

void sort_ids(std::span<uint32_t> ids, uint32_t largest) {
    if (ids.size() <= kSmallSort) {
        std::sort(ids.begin(), ids.end());
        return;
    }
    const IdDigits digits = id_digits(largest);
    if (digits.count == 1)
        radix_sort<1>(ids, digits.bits);
    else if (digits.count == 2)
        radix_sort<2>(ids, digits.bits);
    else
        radix_sort<kMaxDigits>(ids, digits.bits);
}

namespace {

// The digits of a 128-bit entry key, least significant first: the id's 32
// bits in three, then the value code's 96 bits in nine. No digit straddles
// the id and the code, so the id digits can be skipped as a whole.
struct Digit {
    int shift;
    int bits;
};
constexpr int kIdDigits = 3;
constexpr std::array<Digit, 12> kEntryDigits = {{{0, 11},
                                                 {11, 11},
                                                 {22, 10},
                                                 {32, 11},
                                                 {43, 11},
                                                 {54, 11},
                                                 {65, 11},
                                                 {76, 11},
                                                 {87, 11},
                                                 {98, 11},
                                                 {109, 11},
                                                 {120, 8}}};

uint32_t digit_of(Key128 key, Digit digit) {
    return static_cast<uint32_t>(key >> digit.shift) & ((uint32_t{1} << digit.bits) - 1);
}

using EntryHistograms = std::array<std::array<uint32_t, kBuckets>, kEntryDigits.size()>;

}  // namespace

void sort_entries(BulkVector<CompositeKey128>& entries) {
    const size_t n = entries.size();
    if (n <= kSmallSort) {
        std::sort(entries.begin(), entries.end());
        return;
    }
    // Entries often come in order already (small ints hash to themselves,
    // so a batch's groups of them come by value): one read tells.
    if (std::is_sorted(entries.begin(), entries.end()))
        return;
    // Every digit's counts in one read of the entries, and whether the ids
    // already ascend.
    auto counts = std::make_unique<EntryHistograms>();
    bool ids_ascend = true;
    uint32_t previous_id = 0;
    for (const CompositeKey128& entry : entries) {
        for (size_t d = 0; d < kEntryDigits.size(); ++d)
            ++(*counts)[d][digit_of(entry.key, kEntryDigits[d])];
        ids_ascend = ids_ascend && entry.id() >= previous_id;
        previous_id = entry.id();
    }
    BulkVector<CompositeKey128> scratch(n);
    for (size_t d = ids_ascend ? kIdDigits : 0; d < kEntryDigits.size(); ++d) {
        std::array<uint32_t, kBuckets>& start = (*counts)[d];
        // A digit all entries share leaves the order as it is.
        if (std::find(start.begin(), start.end(), static_cast<uint32_t>(n)) != start.end())
            continue;
        uint32_t total = 0;
        for (uint32_t& slot : start)
            total += std::exchange(slot, total);
        const Digit digit = kEntryDigits[d];
        for (const CompositeKey128& entry : entries)
            scratch[start[digit_of(entry.key, digit)]++] = entry;
        entries.swap(scratch);
    }
}

}  // namespace vorlane
