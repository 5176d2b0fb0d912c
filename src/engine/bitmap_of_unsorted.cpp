// Building a bitmap from ids in any order.
//
// Ids lying close together are sorted by setting their bits in one flat
// array over their whole span, which also drops repeats; ids scattered over
// a wide span, where such an array would be mostly empty words, are
// radix-sorted instead. The containers are then written in the library's
// portable serialized form (the interoperable Roaring format, without run
// containers) and read back by the library in one call: an array container
// is its sorted 16-bit values, a dense one its 1,024 words. Adding sorted ids
// one by one instead costs a container lookup, a bounds check and often a
// reallocation per id.

#include <algorithm>
#include <bit>
#include <cstring>
#include <utility>
#include <vector>

#include "engine/bitmap.hpp"
#include "engine/panic.hpp"
#include "engine/sort_ids.hpp"

namespace vorlane {

namespace {

static_assert(std::endian::native == std::endian::little,
              "the serialized form is little-endian and written as is");

// The portable format's cookie for bitmaps without run containers.
constexpr uint32_t kNoRunCookie = 12346;
constexpr size_t kWordsPerContainer = Bitmap::kContainerIds / 64;
constexpr size_t kDenseBytes = kWordsPerContainer * sizeof(uint64_t);
// Words of a flat array over the ids' whole span allowed per id. Scanning
// a word takes about three instructions and radix-sorting an id about ten
// to fifteen (two or three passes), so up to a few words per id the flat
// array is the cheaper; beyond, mostly empty words would be scanned (and a
// span of 2^32 ids would take 512 MiB).
constexpr size_t kFlatWordsPerId = 4;

// The serialized bitmap, written container by container in ascending order
// of their high 16 bits. Header: cookie, container count, then per container
// its key and cardinality less one (two 16-bit fields), then per container
// the offset of its data; then the data.
class SerializedWriter {
  public:
    // `containers`: how many will be written; `data_bound`: their bytes at most.
    SerializedWriter(size_t containers, size_t data_bound)
        : containers_(containers), data_(8 + 8 * containers) {
        data_.reserve(data_.size() + data_bound);
        put32(0, kNoRunCookie);
        put32(4, static_cast<uint32_t>(containers));
    }

    // Appends the container of high part `high` holding the `count` set bits
    // of `words` (one container's bits), and clears `words`.
    void add(uint32_t high, std::span<uint64_t> words, uint32_t count) {
        start_container(high, count);
        size_t at = data_.size();
        if (count > Bitmap::kArrayContainerLimit) {
            data_.resize(at + kDenseBytes);
            std::memcpy(data_.data() + at, words.data(), kDenseBytes);
            std::fill(words.begin(), words.end(), 0);
            return;
        }
        data_.resize(at + size_t{count} * sizeof(uint16_t));
        char* out = data_.data() + at;
        for (size_t w = 0; w < words.size(); ++w) {
            for (uint64_t word = std::exchange(words[w], 0); word != 0; word &= word - 1) {
                auto low =
                    static_cast<uint16_t>(w * 64 + static_cast<size_t>(std::countr_zero(word)));
                std::memcpy(out, &low, sizeof(low));
                out += sizeof(low);
            }
        }
    }

    // Appends the container of `run`: distinct ascending ids sharing their
    // high part, at most the array limit of them.
    void add_sorted(std::span<const uint32_t> run) {
        start_container(run.front() >> 16, static_cast<uint32_t>(run.size()));
        size_t at = data_.size();
        data_.resize(at + run.size() * sizeof(uint16_t));
        char* out = data_.data() + at;
        for (uint32_t id : run) {
            auto low = static_cast<uint16_t>(id);
            std::memcpy(out, &low, sizeof(low));
            out += sizeof(low);
        }
    }

    Bitmap read() const {
        if (written_ != containers_)
            panic("a serialized bitmap lacks containers");
        return Bitmap::adopt(roaring_bitmap_portable_deserialize_safe(data_.data(), data_.size()),
                             "a serialized bitmap was refused");
    }

  private:
    // Writes the header fields of the next container, whose data follows.
    void start_container(uint32_t high, uint32_t count) {
        put32(8 + 4 * containers_ + 4 * written_, static_cast<uint32_t>(data_.size()));
        put32(8 + 4 * written_, high | ((count - 1) << 16));
        ++written_;
    }
    void put32(size_t at, uint32_t value) { std::memcpy(data_.data() + at, &value, sizeof(value)); }

    size_t containers_;
    size_t written_ = 0;
    std::vector<char> data_;
};

size_t data_bytes(uint64_t count) {
    return std::min<size_t>(count * sizeof(uint16_t), kDenseBytes);
}

// Ids lying close together: one flat array over the containers from
// `first_high` to `last_high`.
Bitmap of_close_ids(std::span<const uint32_t> ids, uint32_t first_high, uint32_t last_high) {
    const size_t containers = size_t{last_high} - first_high + 1;
    std::vector<uint64_t> words(containers * kWordsPerContainer);
    // Counted as the bits are set: a portable build has no population-count
    // instruction, and a scan of every word would call the library for each.
    std::vector<uint32_t> counts(containers);
    const uint64_t base = uint64_t{first_high} << 16;
    for (uint32_t id : ids) {
        uint64_t offset = id - base;
        uint64_t bit = uint64_t{1} << (offset & 63);
        uint64_t& word = words[offset >> 6];
        counts[offset >> 16] += (word & bit) == 0 ? 1 : 0;
        word |= bit;
    }
    size_t present = 0;
    size_t bound = 0;
    for (uint32_t count : counts) {
        present += count > 0 ? 1 : 0;
        bound += data_bytes(count);
    }
    SerializedWriter out(present, bound);
    for (size_t c = 0; c < containers; ++c) {
        if (counts[c] > 0)
            out.add(first_high + static_cast<uint32_t>(c),
                    std::span(words).subspan(c * kWordsPerContainer, kWordsPerContainer),
                    counts[c]);
    }
    return out.read();
}

// Ids scattered over a wide span: radix-sorted, then written a run of
// equal high parts at a time. A flat array would be mostly empty words here.
Bitmap of_scattered_ids(std::span<const uint32_t> ids) {
    std::vector<uint32_t> sorted(ids.begin(), ids.end());
    sort_ids(sorted);
    sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
    return Bitmap::of_sorted(sorted);
}

}  // namespace

Bitmap Bitmap::of_sorted(std::span<const uint32_t> sorted) {
    if (sorted.empty())
        return Bitmap();
    // The end of the run of ids sharing the high part of `sorted[from]`: a
    // binary search for the next container's first id, where a step per id
    // would cost more than writing the ids out.
    auto run_end = [&](size_t from) {
        const uint64_t next_container = (uint64_t{sorted[from] >> 16} + 1) << 16;
        auto end = std::lower_bound(sorted.begin() + static_cast<std::ptrdiff_t>(from),
                                    sorted.end(), next_container,
                                    [](uint32_t id, uint64_t bound) { return id < bound; });
        return static_cast<size_t>(end - sorted.begin());
    };
    size_t present = 0;
    size_t bound = 0;
    for (size_t from = 0, to = 0; from < sorted.size(); from = to) {
        to = run_end(from);
        ++present;
        bound += data_bytes(to - from);
    }
    SerializedWriter out(present, bound);
    std::vector<uint64_t> words;  // one container's bits, for a dense run
    for (size_t from = 0, to = 0; from < sorted.size(); from = to) {
        to = run_end(from);
        std::span<const uint32_t> run = sorted.subspan(from, to - from);
        if (run.size() <= Bitmap::kArrayContainerLimit) {
            out.add_sorted(run);
            continue;
        }
        words.resize(kWordsPerContainer);
        for (uint32_t id : run)
            words[(id & 0xFFFF) >> 6] |= uint64_t{1} << (id & 63);
        out.add(run.front() >> 16, words, static_cast<uint32_t>(run.size()));
    }
    return out.read();
}

Bitmap Bitmap::of_unsorted(std::span<const uint32_t> ids) {
    if (ids.empty())
        return Bitmap();
    auto [low, high] = std::minmax_element(ids.begin(), ids.end());
    const uint32_t first_high = *low >> 16;
    const uint32_t last_high = *high >> 16;
    const size_t span_words = (size_t{last_high} - first_high + 1) * kWordsPerContainer;
    if (span_words <= kFlatWordsPerId * ids.size() + kWordsPerContainer)
        return of_close_ids(ids, first_high, last_high);
    return of_scattered_ids(ids);
}

}  // namespace vorlane
