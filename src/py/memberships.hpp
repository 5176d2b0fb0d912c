#pragma once
// An object's memberships: the index records it was added to, held without
// keeping them alive, in one word.
//
// Each index record has one `IndexAnchor`, made on its first member: a
// counted block holding a weak handle on the record. Every object of the
// index points at that same anchor, so a membership costs an object one
// pointer and no allocation of its own; only an object in several indexes
// has a heap list of anchors. An anchor outlives its record while objects
// point at it, and then resolves to nothing.
//
// Python-free: memberships are read and released detached too.

#include <absl/container/inlined_vector.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>

namespace vorlane {

struct IndexRecord;

// The handle on one index record that its member objects share.
class IndexAnchor {
  public:
    // The anchor of `record` (made on first use in `slot`, the record's own
    // handle on it), with one more reference for the caller.
    static IndexAnchor* acquire(std::atomic<IndexAnchor*>& slot,
                                const std::shared_ptr<IndexRecord>& record);
    void retain(size_t count = 1) { refs_.fetch_add(count, std::memory_order_relaxed); }
    void release(size_t count = 1);

    // The record, while it lives.
    std::shared_ptr<IndexRecord> resolve() const { return record_.lock(); }
    // The record's address: the order in which locks of several indexes are
    // taken. Compared only, never followed.
    const IndexRecord* identity() const { return identity_; }

  private:
    explicit IndexAnchor(const std::shared_ptr<IndexRecord>& record)
        : record_(record), identity_(record.get()) {}

    std::atomic<size_t> refs_{1};
    std::weak_ptr<IndexRecord> record_;
    const IndexRecord* identity_;
};

// References on an anchor taken in one step for many objects (`count`, the
// most that may be handed over): `handed_over()` tells how many objects took
// one (`Memberships::add_first`), and the rest go back with the guard, also
// when it is left by an exception.
template <typename HandedOver>
class AnchorReferences {
  public:
    AnchorReferences(std::atomic<IndexAnchor*>& slot, const std::shared_ptr<IndexRecord>& record,
                     size_t count, HandedOver handed_over)
        : anchor_(IndexAnchor::acquire(slot, record)),
          held_(count + 1),
          handed_over_(std::move(handed_over)) {
        anchor_->retain(count);
    }
    ~AnchorReferences() { anchor_->release(held_ - handed_over_()); }
    AnchorReferences(const AnchorReferences&) = delete;
    AnchorReferences& operator=(const AnchorReferences&) = delete;

    IndexAnchor* get() const { return anchor_; }

  private:
    IndexAnchor* anchor_;
    size_t held_;  // with the one `acquire` took
    HandedOver handed_over_;
};

// Releases the record's own reference to its anchor (from ~IndexRecord).
void release_record_anchor(std::atomic<IndexAnchor*>& anchor);

inline constexpr size_t kInlineMemberships = 2;

class Memberships {
  public:
    Memberships() = default;
    ~Memberships();
    Memberships(Memberships&& other) noexcept : word_(std::exchange(other.word_, 0)) {}
    Memberships& operator=(Memberships&& other) noexcept;
    Memberships(const Memberships&) = delete;
    Memberships& operator=(const Memberships&) = delete;

    // Registers `record`, whose anchor slot is `anchor_slot` (both null, or
    // both set), drops the memberships that no longer resolve (or resolve to
    // the placeholder record, or to `record` itself, which is not listed
    // twice), and keeps the rest sorted by record identity.
    void add(const std::shared_ptr<IndexRecord>& record, std::atomic<IndexAnchor*>* anchor_slot,
             const IndexRecord* placeholder);
    // `add` of the record of `anchor` when the object has no membership yet
    // (nothing to drop or order): lists `anchor`, taking over a reference
    // the caller holds on it, and returns true. With memberships already,
    // changes nothing and returns false. Lets a bulk addition take its
    // references in one step instead of one contended update per object.
    bool add_first(IndexAnchor* anchor) {
        if (word_ != 0)
            return false;
        word_ = reinterpret_cast<uintptr_t>(anchor);
        return true;
    }
    // Drops the memberships of `record`.
    void remove(const IndexRecord* record);
    // The records that still resolve, in list order.
    absl::InlinedVector<std::shared_ptr<IndexRecord>, kInlineMemberships> resolve() const;
    size_t size() const;

  private:
    using List = absl::InlinedVector<IndexAnchor*, kInlineMemberships>;
    // 0: none; an anchor pointer: one membership; a `List` pointer with the
    // low bit set: several (anchors and lists are at least 8-byte aligned).
    static constexpr uintptr_t kListBit = 1;

    List take_all();
    void store(List anchors);

    uintptr_t word_ = 0;
};

}  // namespace vorlane
