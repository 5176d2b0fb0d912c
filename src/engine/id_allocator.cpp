#include "engine/id_allocator.hpp"

#include <bit>

#include "engine/panic.hpp"

namespace vorlane {

class IdAllocator::SpinGuard {
  public:
    explicit SpinGuard(std::atomic_flag& busy) : busy_(busy) {
        while (busy_.test_and_set(std::memory_order_acquire)) {
            while (busy_.test(std::memory_order_relaxed)) {
            }
        }
    }
    ~SpinGuard() { busy_.clear(std::memory_order_release); }
    SpinGuard(const SpinGuard&) = delete;
    SpinGuard& operator=(const SpinGuard&) = delete;

  private:
    std::atomic_flag& busy_;
};

uint32_t IdAllocator::take() {
    SpinGuard lock(busy_);
    uint32_t id = 0;
    if (handed_out_ < kIdCount) {
        id = static_cast<uint32_t>(handed_out_++);
    } else {
        if (live_count_ == kIdCount)
            panic("no object id is free: 2^32 objects are alive");
        id = first_free_from(static_cast<uint32_t>(handed_out_ - kIdCount));
        // Past the wrap the count only says where the next search starts.
        handed_out_ = kIdCount + (static_cast<uint64_t>(id) + 1) % kIdCount;
    }
    mark(id);
    return id;
}

void IdAllocator::mark(uint32_t id) {
    std::unique_ptr<Page>& page = pages_[id >> kPageBits];
    if (!page)
        page = spare_ ? std::move(spare_) : std::make_unique<Page>();
    uint64_t bit = id % kPageIds;
    page->words[bit / 64] |= uint64_t{1} << (bit % 64);
    ++page->live;
    ++live_count_;
}

void IdAllocator::give_back(uint32_t id) {
    SpinGuard lock(busy_);
    std::unique_ptr<Page>& page = pages_[id >> kPageBits];
    uint64_t bit = id % kPageIds;
    uint64_t mask = uint64_t{1} << (bit % 64);
    if (!page || (page->words[bit / 64] & mask) == 0)
        return;  // not held: nothing to give back
    page->words[bit / 64] &= ~mask;
    --live_count_;
    // A page with no live id has every bit clear: kept as the spare if
    // there is none yet, freed otherwise.
    if (--page->live == 0) {
        if (!spare_)
            spare_ = std::move(page);
        else
            page.reset();
    }
}

uint64_t IdAllocator::live_count() const {
    SpinGuard lock(busy_);
    return live_count_;
}

std::optional<uint32_t> IdAllocator::free_in_page(size_t p, uint32_t from) const {
    const Page* page = pages_[p].get();
    if (page == nullptr)
        return from;
    if (page->live == kPageIds)
        return std::nullopt;
    uint64_t base = static_cast<uint64_t>(p) << kPageBits;
    for (uint64_t w = (from - base) / 64; w < kWordsPerPage; ++w) {
        uint64_t free_bits = ~page->words[w];
        if (w == (from - base) / 64)
            free_bits &= ~uint64_t{0} << ((from - base) % 64);  // not below `from`
        if (free_bits != 0)
            return static_cast<uint32_t>(base + w * 64 + std::countr_zero(free_bits));
    }
    return std::nullopt;
}

uint32_t IdAllocator::first_free_from(uint32_t from) const {
    // Every page from `from`'s on, then round from 0: some id is free, since
    // not all 2^32 are live.
    size_t first = from >> kPageBits;
    for (size_t step = 0; step <= kPages; ++step) {
        size_t p = (first + step) % kPages;
        uint32_t start = step == 0 ? from : static_cast<uint32_t>(uint64_t{p} << kPageBits);
        if (std::optional<uint32_t> id = free_in_page(p, start))
            return *id;
    }
    panic("no object id is free: 2^32 objects are alive");
}

IdAllocator& object_ids() {
    static IdAllocator* ids = new IdAllocator();  // never destroyed: objects outlive statics
    return *ids;
}

}  // namespace vorlane
