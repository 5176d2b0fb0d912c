#include "engine/dense_ids.hpp"

#include <utility>

#include "engine/panic.hpp"

namespace vorlane {

namespace {

constexpr uint32_t kWordBits = 64;

[[noreturn]] void allocation_failed() {
    panic("DenseIds: the bitset could not be allocated");
}

}  // namespace

DenseIds::~DenseIds() {
    release();
}

DenseIds::DenseIds(DenseIds&& other) noexcept
    : bits_(std::exchange(other.bits_, nullptr)), base_(other.base_) {}

DenseIds& DenseIds::operator=(DenseIds&& other) noexcept {
    if (this != &other) {
        release();
        bits_ = std::exchange(other.bits_, nullptr);
        base_ = other.base_;
    }
    return *this;
}

void DenseIds::release() {
    if (bits_ != nullptr)
        bitset_free(bits_);
    bits_ = nullptr;
}

DenseIds DenseIds::of(const Bitmap& ids) {
    DenseIds dense;
    dense.base_ = ids.minimum() / kWordBits * kWordBits;
    size_t span = static_cast<size_t>(ids.maximum() - dense.base_) + 1;
    dense.bits_ = bitset_create_with_capacity(span);
    if (dense.bits_ == nullptr)
        allocation_failed();
    ids.for_each_block([&](std::span<const uint32_t> block) {
        for (uint32_t id : block)
            bitset_set(dense.bits_, id - dense.base_);  // within the span: never grows
    });
    return dense;
}

void DenseIds::add(uint32_t id) {
    size_t bit = static_cast<size_t>(id - base_);
    // `bitset_set` would ignore a failure to grow; grown here, and checked.
    size_t words = bit / kWordBits + 1;
    if (words > bitset_size_in_words(bits_) && !bitset_grow(bits_, words))
        allocation_failed();
    bitset_set(bits_, bit);
}

void DenseIds::remove(uint32_t id) {
    // Only a bit within the span is cleared: clearing one past it would grow it.
    if (contains(id))
        bitset_set_to_value(bits_, static_cast<size_t>(id - base_), false);
}

size_t DenseIds::bytes() const {
    if (bits_ == nullptr)
        return 0;
    return sizeof(bitset_t) + bits_->capacity * sizeof(uint64_t);
}

bool DenseIds::same_ids(const Bitmap& ids) const {
    if (bitset_count(bits_) != ids.cardinality())
        return false;
    bool all = true;
    ids.for_each([&](uint32_t id) { all = all && contains(id); });
    return all;
}

}  // namespace vorlane
