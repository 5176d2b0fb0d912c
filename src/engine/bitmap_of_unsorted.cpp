// Building a bitmap from ids in any order.
//
// The ids are dealt into one bucket per 2^16 (the library's containers), and
// each bucket is sorted by setting its low 16 bits in a flat array of 2^16
// bits, which also drops repeats. The containers are then written in the
// library's portable serialized form (the interoperable Roaring format,
// without run containers) and read back by the library in one call: an
// array container is its sorted 16-bit values, a dense one its 1,024 words.
// Adding sorted ids one by one instead costs a container lookup, a bounds
// check and often a reallocation per id.

#include <algorithm>
#include <bit>
#include <cstring>
#include <utility>
#include <vector>

#include "engine/bitmap.hpp"
#include "engine/panic.hpp"

namespace vorlane {

namespace {

static_assert(std::endian::native == std::endian::little,
              "the serialized form is little-endian and written as is");

// The portable format's cookie for bitmaps without run containers.
constexpr uint32_t kNoRunCookie = 12346;
constexpr size_t kWordsPerContainer = Bitmap::kContainerIds / 64;
constexpr size_t kDenseBytes = kWordsPerContainer * sizeof(uint64_t);

struct Buckets {
    std::vector<uint32_t> start;  // start[h]..start[h + 1]: the lows of high part h
    std::vector<uint16_t> lows;
};

Buckets deal_into_buckets(std::span<const uint32_t> ids) {
    uint32_t top = 0;
    for (uint32_t id : ids)
        top = std::max(top, id >> 16);
    Buckets buckets;
    buckets.start.assign(size_t{top} + 2, 0);
    for (uint32_t id : ids)
        ++buckets.start[(id >> 16) + 1];
    for (size_t h = 1; h < buckets.start.size(); ++h)
        buckets.start[h] += buckets.start[h - 1];
    std::vector<uint32_t> next(buckets.start.begin(), buckets.start.end() - 1);
    buckets.lows.resize(ids.size());
    for (uint32_t id : ids)
        buckets.lows[next[id >> 16]++] = static_cast<uint16_t>(id);
    return buckets;
}

// Appends one container in serialized form to `data` and returns its
// cardinality. `words` is one container's bits, all clear, and left clear.
uint32_t write_container(std::span<const uint16_t> lows, std::span<uint64_t> words,
                         std::vector<char>& data) {
    uint32_t count = 0;
    for (uint16_t low : lows) {
        uint64_t bit = uint64_t{1} << (low & 63);
        uint64_t& word = words[low >> 6];
        count += (word & bit) == 0 ? 1 : 0;
        word |= bit;
    }
    size_t at = data.size();
    if (count > Bitmap::kArrayContainerLimit) {
        data.resize(at + kDenseBytes);
        std::memcpy(data.data() + at, words.data(), kDenseBytes);
        std::fill(words.begin(), words.end(), 0);
        return count;
    }
    data.resize(at + size_t{count} * sizeof(uint16_t));
    char* out = data.data() + at;
    for (size_t w = 0; w < words.size(); ++w) {
        for (uint64_t word = std::exchange(words[w], 0); word != 0; word &= word - 1) {
            auto low = static_cast<uint16_t>(w * 64 + static_cast<size_t>(std::countr_zero(word)));
            std::memcpy(out, &low, sizeof(low));
            out += sizeof(low);
        }
    }
    return count;
}

void put32(std::vector<char>& out, size_t at, uint32_t value) {
    std::memcpy(out.data() + at, &value, sizeof(value));
}

}  // namespace

Bitmap Bitmap::of_unsorted(std::span<const uint32_t> ids) {
    if (ids.empty())
        return Bitmap();
    Buckets buckets = deal_into_buckets(ids);
    size_t n = 0;
    size_t bound = 0;  // bytes of data at most
    for (size_t h = 0; h + 1 < buckets.start.size(); ++h) {
        size_t len = buckets.start[h + 1] - buckets.start[h];
        n += len > 0 ? 1 : 0;
        bound += std::min(len * sizeof(uint16_t), kDenseBytes);
    }
    // Cookie, container count, then per container its key and cardinality
    // less one (two 16-bit fields), then per container the offset of its
    // data, then the data.
    const size_t header = 8 + 8 * n;
    std::vector<char> serialized(header);
    serialized.reserve(header + bound);
    put32(serialized, 0, kNoRunCookie);
    put32(serialized, 4, static_cast<uint32_t>(n));
    std::vector<uint64_t> words(kWordsPerContainer);
    size_t k = 0;
    for (size_t h = 0; h + 1 < buckets.start.size(); ++h) {
        std::span<const uint16_t> lows(buckets.lows.data() + buckets.start[h],
                                       buckets.start[h + 1] - buckets.start[h]);
        if (lows.empty())
            continue;
        put32(serialized, 8 + 4 * n + 4 * k, static_cast<uint32_t>(serialized.size()));
        uint32_t count = write_container(lows, words, serialized);
        put32(serialized, 8 + 4 * k, static_cast<uint32_t>(h) | ((count - 1) << 16));
        ++k;
    }
    return adopt(roaring_bitmap_portable_deserialize_safe(serialized.data(), serialized.size()),
                 "a serialized bitmap was refused");
}

}  // namespace vorlane
