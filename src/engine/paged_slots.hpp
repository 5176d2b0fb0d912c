#pragma once
// `PagedSlots<T>`: one slot per id, in pages allocated as ids arrive.
//
// Ids are process-wide, so the ids one table holds can be few, far apart and
// far from zero. A flat array would cost a slot for every id below the
// largest; here only pages that hold something exist. A page holds
// `kPageSlots` consecutive ids and counts its occupied slots; a page emptied
// by `take` is freed. The directory of pages spans only the page numbers
// from the lowest page held to the highest, so a table of a few recent ids
// costs a page or two, however many ids came before.
//
// `T` is default-constructible as an empty slot and tells its emptiness by
// `empty()`. No lock: the owner serialises writers against readers.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "engine/panic.hpp"

namespace vorlane {

template <typename T>
class PagedSlots {
  public:
    // Ids per page: 512 slots of a pointer are one 4 KiB page of memory, so a
    // table holding every id of its range wastes nothing, and one holding a
    // lone id pays a few kilobytes.
    static constexpr uint32_t kPageBits = 9;
    static constexpr uint32_t kPageSlots = uint32_t{1} << kPageBits;

    // The slot of `id`, or null when its page does not exist (the slot is
    // then empty). The address is stable until `take` frees its page.
    const T* find(uint32_t id) const {
        const Page* page = page_of(id);
        return page ? &page->slots[id & kSlotMask] : nullptr;
    }
    T* find(uint32_t id) {
        Page* page = page_of(id);
        return page ? &page->slots[id & kSlotMask] : nullptr;
    }
    // Calls `f(const T& slot)` for each id of `ids` in order, with an empty
    // slot for an id whose page does not exist. The page is looked up once
    // per run of ids in the same page, so ascending ids (a bitmap's) cost a
    // shift and a compare each.
    template <typename F>
    void find_each(std::span<const uint32_t> ids, F&& f) const {
        size_t page_number = SIZE_MAX;  // no id's page: the first id looks up
        const T* page_slots = nullptr;
        for (uint32_t id : ids) {
            if ((id >> kPageBits) != page_number) {
                page_number = id >> kPageBits;
                const Page* page = page_of(id);
                page_slots = (page ? page : &empty_page())->slots.data();
            }
            f(page_slots[id & kSlotMask]);
        }
    }
    // Finds slots for a walk over many ids, with the directory read once
    // into the finder rather than from the table at each id, and an empty
    // slot, never null, for an id whose page does not exist. Valid while the
    // table does not change.
    class Finder;

    // Whether slot `id` holds something.
    bool holds(uint32_t id) const {
        const T* slot = find(id);
        return slot != nullptr && !slot->empty();
    }

    // Stores `value` (not empty) in slot `id`, releasing what was there.
    void put(uint32_t id, T value) {
        Page& page = page_for(id);
        T& slot = page.slots[id & kSlotMask];
        if (slot.empty())
            ++page.used;
        slot = std::move(value);
    }
    // Moves the content of slot `id` out (empty when it held nothing) and
    // frees its page once that held nothing else.
    T take(uint32_t id) {
        Page* page = page_of(id);
        if (page == nullptr || page->slots[id & kSlotMask].empty())
            return T();
        T taken = std::move(page->slots[id & kSlotMask]);
        if (--page->used == 0)
            free_page(id >> kPageBits);
        return taken;
    }

    // Occupied slots.
    size_t count() const {
        size_t total = 0;
        for (const auto& page : pages_)
            total += page ? page->used : 0;
        return total;
    }
    // Calls `f(id, const T&)` for every occupied slot in ascending id order.
    template <typename F>
    void for_each(F&& f) const {
        for (size_t p = 0; p < pages_.size(); ++p) {
            if (!pages_[p])
                continue;
            uint32_t base = static_cast<uint32_t>((first_page_ + p) << kPageBits);
            for (uint32_t i = 0; i < kPageSlots; ++i) {
                if (!pages_[p]->slots[i].empty())
                    f(base + i, pages_[p]->slots[i]);
            }
        }
    }

    // Bytes held: the directory and the pages.
    size_t memory_usage() const {
        size_t pages = 0;
        for (const auto& page : pages_)
            pages += page ? sizeof(Page) : 0;
        return pages_.capacity() * sizeof(pages_[0]) + pages;
    }
    // Pages allocated, for tests and figures.
    size_t page_count() const {
        return static_cast<size_t>(std::count_if(pages_.begin(), pages_.end(),
                                                 [](const auto& page) { return page != nullptr; }));
    }

    // Panics naming the first broken invariant: each
    // page's count is its occupied slots and no page is empty, and the
    // directory starts and ends with a page.
    void validate() const;

  private:
    static constexpr uint32_t kSlotMask = kPageSlots - 1;

    struct Page {
        std::array<T, kPageSlots> slots{};
        uint32_t used = 0;
    };

    const Page* page_of(uint32_t id) const {
        size_t number = id >> kPageBits;
        if (number < first_page_ || number - first_page_ >= pages_.size())
            return nullptr;
        return pages_[number - first_page_].get();
    }
    Page* page_of(uint32_t id) { return const_cast<Page*>(std::as_const(*this).page_of(id)); }
    Page& page_for(uint32_t id);
    // A page of empty slots standing in for the missing ones, so that a walk
    // over many ids reads a slot for each without checking for a page.
    // Made on first use and never released (nothing to release but memory).
    static const Page& empty_page() {
        static const Page* const empty = new Page();
        return *empty;
    }
    void free_page(size_t number);

  public:
    // See its declaration above.
    class Finder {
      public:
        explicit Finder(const PagedSlots& table)
            : pages_(table.pages_.data()),
              first_page_(table.first_page_),
              page_count_(table.pages_.size()),
              empty_(&empty_page()) {}
        const T& operator()(uint32_t id) const {
            // Wraps to a large number for a page below the first.
            const size_t at = (id >> kPageBits) - first_page_;
            const Page* page = at < page_count_ ? pages_[at].get() : nullptr;
            return (page != nullptr ? page : empty_)->slots[id & kSlotMask];
        }

      private:
        const std::unique_ptr<Page>* pages_;
        size_t first_page_;
        size_t page_count_;
        const Page* empty_;
    };

  private:
    // pages_[i] is page number first_page_ + i, or null.
    std::vector<std::unique_ptr<Page>> pages_;
    size_t first_page_ = 0;
};

template <typename T>
typename PagedSlots<T>::Page& PagedSlots<T>::page_for(uint32_t id) {
    size_t number = id >> kPageBits;
    if (pages_.empty()) {
        first_page_ = number;
        pages_.resize(1);
    } else if (number < first_page_) {
        // Grows at the front: rare, since ids mostly arrive ascending.
        size_t added = first_page_ - number;
        std::vector<std::unique_ptr<Page>> grown(added + pages_.size());
        std::move(pages_.begin(), pages_.end(), grown.begin() + static_cast<std::ptrdiff_t>(added));
        pages_.swap(grown);
        first_page_ = number;
    } else if (number - first_page_ >= pages_.size()) {
        pages_.resize(number - first_page_ + 1);
    }
    std::unique_ptr<Page>& page = pages_[number - first_page_];
    if (!page)
        page = std::make_unique<Page>();
    return *page;
}

template <typename T>
void PagedSlots<T>::free_page(size_t number) {
    pages_[number - first_page_].reset();
    // Trims the directory's empty ends, so it spans the pages held.
    auto first =
        std::find_if(pages_.begin(), pages_.end(), [](const auto& p) { return p != nullptr; });
    if (first == pages_.end()) {
        pages_.clear();
        pages_.shrink_to_fit();
        first_page_ = 0;
        return;
    }
    auto last =
        std::find_if(pages_.rbegin(), pages_.rend(), [](const auto& p) { return p != nullptr; });
    pages_.erase(last.base(), pages_.end());
    first_page_ += static_cast<size_t>(first - pages_.begin());
    pages_.erase(pages_.begin(), first);
    if (pages_.capacity() > 2 * pages_.size())
        pages_.shrink_to_fit();
}

template <typename T>
void PagedSlots<T>::validate() const {
    if (!pages_.empty() && (!pages_.front() || !pages_.back()))
        panic("PagedSlots: directory ends without a page");
    for (const auto& page : pages_) {
        if (!page)
            continue;
        uint32_t used = static_cast<uint32_t>(std::count_if(
            page->slots.begin(), page->slots.end(), [](const T& slot) { return !slot.empty(); }));
        if (used != page->used)
            panic("PagedSlots: page count differs from its occupied slots");
        if (used == 0)
            panic("PagedSlots: empty page kept");
    }
}

}  // namespace vorlane
