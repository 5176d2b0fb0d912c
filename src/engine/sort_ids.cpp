#include "engine/sort_ids.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
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
// Below this many ids a comparison sort is cheaper than the passes.
constexpr size_t kSmallSort = kSmallIdSort;

}  // namespace

void sort_ids(std::vector<uint32_t>& ids) {
    if (ids.size() <= kSmallSort) {
        std::sort(ids.begin(), ids.end());
        return;
    }
    sort_ids(ids, *std::max_element(ids.begin(), ids.end()));
}

bool has_repeat(std::span<const uint32_t> ids) {
    // Four neighbour pairs compared at once as a vector (GCC's and Clang's
    // vector extension: one SSE2 compare on x86-64, plain code elsewhere),
    // two such compares a step, or-ed with no branch: a check for a fault
    // that never happens costs about one instruction an id.
    using Lanes = int32_t __attribute__((vector_size(16)));
    constexpr size_t kLanes = sizeof(Lanes) / sizeof(uint32_t);
    constexpr size_t kStep = 2 * kLanes;
    auto lanes_at = [&](size_t at) {
        Lanes lanes;
        std::memcpy(&lanes, ids.data() + at, sizeof(lanes));
        return lanes;
    };
    Lanes repeats{};
    size_t i = 1;
    for (; i + kStep <= ids.size(); i += kStep)
        repeats |=
            (lanes_at(i) == lanes_at(i - 1)) | (lanes_at(i + kLanes) == lanes_at(i + kLanes - 1));
    int32_t found = 0;
    for (size_t lane = 0; lane < kLanes; ++lane)
        found |= repeats[lane];
    for (; i < ids.size(); ++i)
        found |= static_cast<int32_t>(ids[i] == ids[i - 1]);
    return found != 0;
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
    // The sort reads its ids from a list other than the one it writes
    // first: an odd number of passes writes `ids` first, so they are read
    // from a copy in the scratch list; an even number writes the scratch
    // list first and reads them in place.
    const IdDigits digits = id_digits(largest);
    auto scratch = std::make_unique_for_overwrite<uint32_t[]>(ids.size());
    std::span<const uint32_t> source = ids;
    if (digits.count % 2 == 1) {
        std::copy(ids.begin(), ids.end(), scratch.get());
        source = std::span<const uint32_t>(scratch.get(), ids.size());
    }
    auto each_id = [source](auto&& visit) {
        for (uint32_t id : source)
            visit(id);
    };
    sort_detail::radix_sort_by(digits, each_id, ids, scratch.get());
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
