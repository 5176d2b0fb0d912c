#pragma once
// Sorting id lists in bulk, before they go into a bitmap: the library adds
// unsorted ids one by one, searching and shifting its sorted arrays for
// each, and a comparison sort of thousands of random ids costs more than the
// rest of a small range query. Tree entries are sorted the same way before
// a bulk insertion.

#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "engine/bulk_buffer.hpp"
#include "engine/value_order.hpp"

namespace vorlane {

// Sorts `ids` ascending: a least-significant-digit radix sort in passes of
// at most 11 bits, as few as the largest id needs (two below 2^22), each a
// stable scatter; a short list takes a comparison sort.
void sort_ids(std::vector<uint32_t>& ids);
// The same, for ids no larger than `largest` (a bound the caller knows, such
// as the largest id of a set holding them all): no read to find it.
void sort_ids(std::span<uint32_t> ids, uint32_t largest);

// Whether ascending `ids` hold an id twice. Reads them with no branch per
// id: a check for a fault that never happens costs a compare and an or.
bool has_repeat(std::span<const uint32_t> ids);

// The digits in which `sort_ids` sorts ids no larger than `largest`: as few
// passes as the ids' width needs, the bits shared evenly among them.
struct IdDigits {
    int count;
    int bits;
};
IdDigits id_digits(uint32_t largest);
// Ids below which a comparison sort beats the passes.
inline constexpr size_t kSmallIdSort = 256;
inline constexpr int kMaxIdDigitBits = 11;

// Sorts ascending, into `out`, the ids that `each_id(visit)` hands to
// `visit` one at a time: as many as `out` holds, none above `largest`. The
// sort of `sort_ids`, whose count and first scatter read the ids where they
// lie (the entries of tree leaves), so that they are never copied into a
// list first. `each_id` is called two or three times and hands the same ids
// in the same order each time.
template <typename EachId>
void sort_ids_from(EachId&& each_id, std::span<uint32_t> out, uint32_t largest);

// Sorts tree entries ascending by key, as a bulk insertion into a tree wants
// them: a least-significant-digit radix sort over the digits that differ
// among the entries (the value codes of a column usually vary in a few dozen
// of their 96 bits). When the entries come in ascending id order, as a batch
// of objects does, the id digits are skipped: the stable passes over the
// value digits keep equal values in id order.
void sort_entries(BulkVector<CompositeKey128>& entries);

// Sorts the items of `parts`, taken as one list in order, stably by the
// 32-bit `key(item)` into `out`: a least-significant-digit radix sort in
// passes of 11 bits, skipping the digits that all keys share. The first pass
// reads the parts where they are, so they are never copied into one list.
template <typename Items, typename Key>
void sort_parts_by_key32(std::span<const std::span<const typename Items::value_type>> parts,
                         Items& out, Key key) {
    constexpr int kBits = 11;
    constexpr uint32_t kBuckets = uint32_t{1} << kBits;
    constexpr int kDigits = 3;
    size_t n = 0;
    auto counts = std::make_unique<std::array<std::array<uint32_t, kBuckets>, kDigits>>();
    for (auto part : parts) {
        n += part.size();
        for (const auto& item : part) {
            uint32_t k = key(item);
            for (int d = 0; d < kDigits; ++d)
                ++(*counts)[d][(k >> (d * kBits)) & (kBuckets - 1)];
        }
    }
    out.resize(n);
    bool placed = false;  // whether `out` holds the items yet
    Items scratch;
    for (int d = 0; d < kDigits; ++d) {
        std::array<uint32_t, kBuckets>& start = (*counts)[d];
        if (std::find(start.begin(), start.end(), static_cast<uint32_t>(n)) != start.end())
            continue;  // a digit all keys share leaves the order as it is
        uint32_t total = 0;
        for (uint32_t& slot : start)
            total += std::exchange(slot, total);
        auto scatter = [&](auto from, Items& to) {
            for (const auto& item : from)
                to[start[(key(item) >> (d * kBits)) & (kBuckets - 1)]++] = item;
        };
        if (!placed) {
            for (auto part : parts)
                scatter(part, out);
            placed = true;
            continue;
        }
        scratch.resize(n);
        scatter(std::span<const typename Items::value_type>(out), scratch);
        out.swap(scratch);
    }
    if (!placed) {
        auto at = out.begin();
        for (auto part : parts)
            at = std::copy(part.begin(), part.end(), at);
    }
}

namespace sort_detail {

// Buckets of digit `d`, as counts and then as the next position of each.
template <int Digits>
using DigitStarts = std::array<std::array<uint32_t, size_t{1} << kMaxIdDigitBits>, Digits>;

// Each bucket's count becomes its first position.
inline void counts_to_starts(std::span<uint32_t> buckets) {
    uint32_t total = 0;
    for (uint32_t& slot : buckets)
        total += std::exchange(slot, total);
}

// Sorts the `out.size()` ids that `each_id` hands out into `out`, least
// significant digit first, in `Digits` passes of `bits` bits (the count a
// constant, so that the counting is unrolled): one read counts every digit,
// then a stable scatter per digit. The passes alternate between `out` and
// `scratch` (as long as `out`, unused when `Digits` is 1) so that the last
// one lands in `out`. `each_id` is read twice, for the counts and for the
// first scatter; the ids it hands out may lie in `scratch` when `Digits` is
// odd (the first scatter then writes `out`), or in `out` when it is even.
template <int Digits, typename EachId>
void radix_sort_from(EachId& each_id, std::span<uint32_t> out, uint32_t* scratch, int bits) {
    const uint32_t buckets = uint32_t{1} << bits;
    const uint32_t mask = buckets - 1;
    auto starts = std::make_unique_for_overwrite<DigitStarts<Digits>>();
    for (auto& digit : *starts)
        std::fill_n(digit.begin(), buckets, 0);
    each_id([&](uint32_t id) {
        for (int d = 0; d < Digits; ++d)
            ++(*starts)[d][(id >> (d * bits)) & mask];
    });
    for (auto& digit : *starts)
        counts_to_starts(std::span<uint32_t>(digit.data(), buckets));
    uint32_t* to = Digits % 2 == 1 ? out.data() : scratch;
    uint32_t* first = (*starts)[0].data();
    each_id([&](uint32_t id) { to[first[id & mask]++] = id; });
    for (int d = 1; d < Digits; ++d) {
        const uint32_t* from = to;
        to = to == out.data() ? scratch : out.data();
        first = (*starts)[d].data();
        const int shift = d * bits;
        for (size_t i = 0; i < out.size(); ++i) {
            const uint32_t id = from[i];
            to[first[(id >> shift) & mask]++] = id;
        }
    }
}

// `radix_sort_from` with the pass count `digits` asks for: three at most.
static_assert(3 * kMaxIdDigitBits >= 32);
template <typename EachId>
void radix_sort_by(IdDigits digits, EachId& each_id, std::span<uint32_t> out, uint32_t* scratch) {
    if (digits.count == 1)
        radix_sort_from<1>(each_id, out, scratch, digits.bits);
    else if (digits.count == 2)
        radix_sort_from<2>(each_id, out, scratch, digits.bits);
    else
        radix_sort_from<3>(each_id, out, scratch, digits.bits);
}

}  // namespace sort_detail

template <typename EachId>
void sort_ids_from(EachId&& each_id, std::span<uint32_t> out, uint32_t largest) {
    if (out.size() <= kSmallIdSort) {
        uint32_t* at = out.data();
        each_id([&](uint32_t id) { *at++ = id; });
        std::sort(out.begin(), out.end());
        return;
    }
    const IdDigits digits = id_digits(largest);
    std::unique_ptr<uint32_t[]> scratch;
    if (digits.count > 1)
        scratch = std::make_unique_for_overwrite<uint32_t[]>(out.size());
    sort_detail::radix_sort_by(digits, each_id, out, scratch.get());
}

}  // namespace vorlane
