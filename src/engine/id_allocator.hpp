#pragma once
// `IdAllocator`: the process-wide source of object ids.
//
// An id is an object's slot in the item table of every index that holds it,
// so two objects alive at the same time must never share one. Ids are handed
// out in creation order, 0, 1, 2, ..., which is the order results list
// objects in, until all 2^32 of them have been used once. From then on a new
// object takes the smallest id, from where the last search stopped and
// wrapping round, that no live object holds: results still list objects by
// id, which is then no longer their creation order.
//
// To know which ids are free after the wrap, the allocator tracks the ids of
// the live objects from the start, one bit each, in pages allocated while
// they hold a live id: marking and clearing cost a few instructions, and the
// memory follows the range of live ids, not the number of ids ever used.
// One page that emptied is kept aside, all zero, for the next page needed:
// objects made and dropped one at a time empty the page of the counter's
// position at every drop, and would otherwise free it and make and zero a
// new 128 KiB page at the next creation.
//
// Thread-safe: calls from several threads are serialised by a spin lock.
// Each holds it for a few instructions, and every object creation and
// release takes it, so a mutex's system-call-ready path would cost more
// than the work it guards.

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>

namespace vorlane {

class IdAllocator {
  public:
    // Ids 2^32 distinct values: the counter runs on past them, and the low
    // 32 bits of `first` are the first id handed out (tests start near the
    // wrap).
    explicit IdAllocator(uint64_t first = 0) : handed_out_(first) {}
    IdAllocator(const IdAllocator&) = delete;
    IdAllocator& operator=(const IdAllocator&) = delete;

    // An id no live object holds, now held. Throws `Panic` when every one of
    // the 2^32 ids is held.
    uint32_t take();
    // The object holding `id` is gone; the id may be handed out again once
    // the counter has wrapped.
    void give_back(uint32_t id);

    // Ids held now.
    uint64_t live_count() const;

  private:
    static constexpr uint64_t kIdCount = uint64_t{1} << 32;

    // Ids per page: 2^20 bits, 128 KiB; 4096 pages cover every id.
    static constexpr int kPageBits = 20;
    static constexpr uint64_t kPageIds = uint64_t{1} << kPageBits;
    static constexpr size_t kPages = kIdCount / kPageIds;
    static constexpr size_t kWordsPerPage = kPageIds / 64;

    struct Page {
        std::array<uint64_t, kWordsPerPage> words{};
        uint64_t live = 0;  // bits set
    };

    void mark(uint32_t id);
    // The first id at or after `from` (wrapping round) that is not live.
    uint32_t first_free_from(uint32_t from) const;
    // The first free id in page `p` at or after `from` (an id of that page),
    // or nothing.
    std::optional<uint32_t> free_in_page(size_t p, uint32_t from) const;

    class SpinGuard;

    mutable std::atomic_flag busy_ = ATOMIC_FLAG_INIT;
    uint64_t handed_out_;  // ids taken by counting; past kIdCount, searching
    uint64_t live_count_ = 0;
    std::array<std::unique_ptr<Page>, kPages> pages_;
    std::unique_ptr<Page> spare_;  // an emptied page (all bits clear), or none
};

// The allocator every `Indexable` takes its id from.
IdAllocator& object_ids();

}  // namespace vorlane
