#include "engine/bitmap.hpp"

#include <roaring/containers/containers.h>

#include <algorithm>
#include <array>

#include "engine/panic.hpp"
#include "engine/prefetch.hpp"

namespace vorlane {

namespace {
constexpr const char* kCreateFailed = "assertion failed: !p.is_null()";
}

Bitmap::Bitmap() : raw_(roaring_bitmap_create_with_capacity(0)) {
    if (raw_ == nullptr)
        panic(kCreateFailed);
}

Bitmap::~Bitmap() {
    if (raw_ != nullptr)
        roaring_bitmap_free(raw_);
}

Bitmap& Bitmap::operator=(Bitmap&& other) noexcept {
    if (this != &other) {
        if (raw_ != nullptr)
            roaring_bitmap_free(raw_);
        raw_ = other.raw_;
        other.raw_ = nullptr;
    }
    return *this;
}

Bitmap Bitmap::adopt(roaring_bitmap_t* raw, const char* message) {
    if (raw == nullptr)
        panic(message);
    return Bitmap(raw);
}

Bitmap Bitmap::of(std::span<const uint32_t> ids) {
    Bitmap result;
    result.add_many(ids);
    return result;
}

Bitmap Bitmap::copy() const {
    Bitmap result;
    result.overwrite(*this);
    return result;
}

void Bitmap::overwrite(const Bitmap& other) {
    if (!roaring_bitmap_overwrite(raw_, other.raw_))
        panic(kCreateFailed);
}

void Bitmap::add_many(std::span<const uint32_t> ids) {
    if (!ids.empty())
        roaring_bitmap_add_many(raw_, ids.size(), ids.data());
}

Bitmap Bitmap::and_(const Bitmap& a, const Bitmap& b) {
    return adopt(roaring_bitmap_and(a.raw_, b.raw_), kCreateFailed);
}

Bitmap Bitmap::or_(const Bitmap& a, const Bitmap& b) {
    return adopt(roaring_bitmap_or(a.raw_, b.raw_), kCreateFailed);
}

Bitmap Bitmap::andnot(const Bitmap& a, const Bitmap& b) {
    return adopt(roaring_bitmap_andnot(a.raw_, b.raw_), kCreateFailed);
}

Bitmap Bitmap::or_many(std::span<const Bitmap* const> parts) {
    if (parts.empty())
        return Bitmap();
    std::vector<const roaring_bitmap_t*> raws;
    raws.reserve(parts.size());
    for (const Bitmap* part : parts)
        raws.push_back(part->raw_);
    return adopt(roaring_bitmap_or_many(raws.size(), raws.data()), kCreateFailed);
}

void Bitmap::append_to(std::vector<uint32_t>& out) const {
    size_t start = out.size();
    out.resize(start + cardinality());
    if (out.size() > start)
        roaring_bitmap_to_uint32_array(raw_, out.data() + start);
}

std::vector<uint32_t> Bitmap::to_vector() const {
    std::vector<uint32_t> ids(cardinality());
    if (!ids.empty())
        roaring_bitmap_to_uint32_array(raw_, ids.data());
    return ids;
}

// ---------------------------------------------------------------------------
// Prefetching ahead of an update

namespace {

// Bitmaps whose steps are interleaved at once: as many as two routes through
// a tall tree change, and about what the core keeps in flight.
constexpr size_t kPrefetchBatch = 8;
// An array container up to this size is fetched whole: its binary search and
// the shift of its tail reach most of it. A larger one only where the id's
// value would sit if the values were spread evenly, and its middle, where the
// search starts.
constexpr size_t kWholeArrayBytes = 512;
constexpr size_t kAroundGuessBytes = 256;

void prefetch_arrays(const roaring_array_t& ra) {
    size_t size = static_cast<size_t>(ra.size);
    prefetch_bytes(ra.keys, size * sizeof(uint16_t));
    prefetch_bytes(ra.containers, size * sizeof(void*));
    prefetch_bytes(ra.typecodes, size * sizeof(uint8_t));
}

struct Located {
    const void* container = nullptr;  // null when no container holds the high bits
    uint8_t typecode = 0;
};

Located locate_container(const roaring_array_t& ra, uint16_t high) {
    const uint16_t* begin = ra.keys;
    const uint16_t* end = begin + ra.size;
    const uint16_t* found = std::lower_bound(begin, end, high);
    if (found == end || *found != high)
        return {};
    size_t index = static_cast<size_t>(found - begin);
    return {ra.containers[index], ra.typecodes[index]};
}

void prefetch_within(const Located& at, uint16_t low) {
    if (at.typecode == ARRAY_CONTAINER_TYPE_CODE) {
        const auto* array = static_cast<const array_container_t*>(at.container);
        size_t count = static_cast<size_t>(array->cardinality);
        if (count * sizeof(uint16_t) <= kWholeArrayBytes) {
            prefetch_bytes(array->array, count * sizeof(uint16_t));
            return;
        }
        size_t guess = count * low / Bitmap::kContainerIds;
        size_t back = kAroundGuessBytes / 2 / sizeof(uint16_t);
        prefetch_line(array->array + count / 2);
        prefetch_bytes(array->array + (guess > back ? guess - back : 0), kAroundGuessBytes);
    } else if (at.typecode == BITSET_CONTAINER_TYPE_CODE) {
        const auto* bitset = static_cast<const bitset_container_t*>(at.container);
        prefetch_line(bitset->array + low / 64);
    }
    // Run containers (never made here) and shared ones are left to the update.
}

void prefetch_batch(std::span<const Bitmap* const> bitmaps, uint32_t id) {
    std::array<const roaring_array_t*, kPrefetchBatch> arrays;
    std::array<Located, kPrefetchBatch> located;
    size_t n = bitmaps.size();
    for (size_t i = 0; i < n; ++i) {
        arrays[i] = &bitmaps[i]->raw()->high_low_container;
        prefetch_line(arrays[i]);
    }
    for (size_t i = 0; i < n; ++i)
        prefetch_arrays(*arrays[i]);
    for (size_t i = 0; i < n; ++i) {
        located[i] = locate_container(*arrays[i], static_cast<uint16_t>(id >> 16));
        if (located[i].container != nullptr)
            prefetch_line(located[i].container);
    }
    for (size_t i = 0; i < n; ++i) {
        if (located[i].container != nullptr)
            prefetch_within(located[i], static_cast<uint16_t>(id));
    }
}

}  // namespace

void Bitmap::prefetch_update(std::span<const Bitmap* const> bitmaps, uint32_t id) {
    for (size_t first = 0; first < bitmaps.size(); first += kPrefetchBatch)
        prefetch_batch(bitmaps.subspan(first, std::min(kPrefetchBatch, bitmaps.size() - first)),
                       id);
}

}  // namespace vorlane
