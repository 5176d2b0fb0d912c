#include "engine/bitmap.hpp"

#include "engine/panic.hpp"

namespace vorlane {

namespace {
constexpr const char* kCreateFailed = "assertion failed: !p.is_null()";

// What the library keeps per container besides its values: a slot in the
// bitmap's arrays (a 16-bit key, a type byte and a pointer) and the
// container's own record (a count, a capacity and a pointer to the values).
constexpr size_t kContainerSlotBytes = sizeof(uint16_t) + sizeof(uint8_t) + sizeof(void*);
constexpr size_t kContainerRecordBytes = 16;
// The allocator's header and rounding, per allocation, on average.
constexpr size_t kAllocationOverhead = 16;

roaring_statistics_t statistics_of(const roaring_bitmap_t* raw) {
    roaring_statistics_t stats{};
    roaring_bitmap_statistics(raw, &stats);
    return stats;
}
}  // namespace

size_t Bitmap::container_count() const {
    return statistics_of(raw_).n_containers;
}

size_t Bitmap::heap_bytes() const {
    roaring_statistics_t stats = statistics_of(raw_);
    size_t containers = stats.n_containers;
    // The record, the arrays of slots, and per container its record and values.
    size_t allocations = 2 + 2 * containers;
    return sizeof(roaring_bitmap_t) + containers * (kContainerSlotBytes + kContainerRecordBytes) +
           size_t{stats.n_bytes_array_containers} + stats.n_bytes_run_containers +
           stats.n_bytes_bitset_containers + allocations * kAllocationOverhead;
}

size_t Bitmap::array_containers_bytes(size_t containers, uint64_t ids) {
    size_t allocations = 2 + 2 * containers;
    return sizeof(roaring_bitmap_t) + containers * (kContainerSlotBytes + kContainerRecordBytes) +
           ids * sizeof(uint16_t) + allocations * kAllocationOverhead;
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

Bitmap::DenseProbe::DenseProbe(const Bitmap& ids) : bits_(bitset_create()) {
    if (bits_ == nullptr || !roaring_bitmap_to_bitset(ids.raw_, bits_)) {
        bitset_free(bits_);
        panic(kCreateFailed);
    }
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

void Bitmap::append_first(size_t wanted, std::vector<uint32_t>& out) const {
    uint64_t held = cardinality();
    if (wanted >= held) {
        append_to(out);
        return;
    }
    size_t start = out.size();
    out.resize(start + wanted);
    roaring_uint32_iterator_t it;
    roaring_iterator_init(raw_, &it);
    // `wanted` is below the cardinality, hence fits the library's count.
    roaring_uint32_iterator_read(&it, out.data() + start, static_cast<uint32_t>(wanted));
}

void Bitmap::write_to(std::span<uint32_t> out) const {
    if (out.size() != cardinality())
        panic("Bitmap::write_to: the output does not hold exactly the ids");
    if (!out.empty())
        roaring_bitmap_to_uint32_array(raw_, out.data());
}

std::vector<uint32_t> Bitmap::to_vector() const {
    std::vector<uint32_t> ids(cardinality());
    if (!ids.empty())
        roaring_bitmap_to_uint32_array(raw_, ids.data());
    return ids;
}

// ---------------------------------------------------------------------------
// Warming ahead of an update

void Bitmap::prefetch_update(std::span<const Bitmap* const> bitmaps, uint32_t id) {
    // The library keeps its storage behind pointers its interface does not
    // show, so the lines an update reads are brought in by reading them: a
    // membership test per bitmap. (Requesting the headers first as well
    // measured no better.)
    bool held = false;
    for (const Bitmap* bitmap : bitmaps)
        held |= bitmap->contains(id);
    // The tests are kept for their loads; their answer is not needed.
    asm volatile("" : : "r"(held));
}

}  // namespace vorlane
