#include "py/memberships.hpp"

#include <algorithm>
#include <functional>

namespace vorlane {

IndexAnchor* IndexAnchor::acquire(std::atomic<IndexAnchor*>& slot,
                                  const std::shared_ptr<IndexRecord>& record) {
    IndexAnchor* anchor = slot.load(std::memory_order_acquire);
    if (anchor == nullptr) {
        // Its first reference is the record's own, released with the record.
        auto* made = new IndexAnchor(record);
        if (slot.compare_exchange_strong(anchor, made, std::memory_order_acq_rel)) {
            anchor = made;
        } else {
            delete made;  // another thread made it meanwhile
        }
    }
    anchor->retain();
    return anchor;
}

void IndexAnchor::release(size_t count) {
    if (count != 0 && refs_.fetch_sub(count, std::memory_order_acq_rel) == count)
        delete this;
}

void release_record_anchor(std::atomic<IndexAnchor*>& anchor) {
    if (IndexAnchor* own = anchor.exchange(nullptr, std::memory_order_acq_rel))
        own->release();
}

Memberships::~Memberships() {
    for (IndexAnchor* anchor : take_all())
        anchor->release();
}

Memberships& Memberships::operator=(Memberships&& other) noexcept {
    if (this != &other) {
        for (IndexAnchor* anchor : take_all())
            anchor->release();
        word_ = std::exchange(other.word_, 0);
    }
    return *this;
}

Memberships::List Memberships::take_all() {
    uintptr_t word = std::exchange(word_, 0);
    if (word == 0)
        return {};
    if ((word & kListBit) == 0)
        return {reinterpret_cast<IndexAnchor*>(word)};
    std::unique_ptr<List> list(reinterpret_cast<List*>(word & ~kListBit));
    return std::move(*list);
}

void Memberships::store(List anchors) {
    if (anchors.empty()) {
        word_ = 0;
    } else if (anchors.size() == 1) {
        word_ = reinterpret_cast<uintptr_t>(anchors.front());
    } else {
        word_ = reinterpret_cast<uintptr_t>(new List(std::move(anchors))) | kListBit;
    }
}

void Memberships::add(const std::shared_ptr<IndexRecord>& record,
                      std::atomic<IndexAnchor*>* anchor_slot, const IndexRecord* placeholder) {
    bool listed = record && record.get() != placeholder;
    IndexAnchor* added = listed ? IndexAnchor::acquire(*anchor_slot, record) : nullptr;
    if (word_ == 0) {
        // An object's first membership: nothing to drop or order (the
        // common case of a bulk addition).
        word_ = reinterpret_cast<uintptr_t>(added);
        return;
    }
    List kept;
    for (IndexAnchor* anchor : take_all()) {
        std::shared_ptr<IndexRecord> resolved = anchor->resolve();
        if (!resolved || resolved.get() == placeholder || resolved == record) {
            anchor->release();
        } else {
            kept.push_back(anchor);
        }
    }
    // The kept entries are in order already, and each resolved just now, so
    // its identity is its record's: the new one goes after those not above
    // it, where a stable sort of the list with it last would put it.
    auto by_identity = [](const IndexAnchor* a, const IndexAnchor* b) {
        return std::less<const IndexRecord*>()(a->identity(), b->identity());
    };
    if (added != nullptr)
        kept.insert(std::upper_bound(kept.begin(), kept.end(), added, by_identity), added);
    store(std::move(kept));
}

void Memberships::remove(const IndexRecord* record) {
    List kept;
    for (IndexAnchor* anchor : take_all()) {
        std::shared_ptr<IndexRecord> resolved = anchor->resolve();
        if (resolved && resolved.get() == record) {
            anchor->release();
        } else {
            kept.push_back(anchor);
        }
    }
    store(std::move(kept));
}

absl::InlinedVector<std::shared_ptr<IndexRecord>, kInlineMemberships> Memberships::resolve() const {
    absl::InlinedVector<std::shared_ptr<IndexRecord>, kInlineMemberships> records;
    auto add = [&](const IndexAnchor* anchor) {
        if (std::shared_ptr<IndexRecord> record = anchor->resolve())
            records.push_back(std::move(record));
    };
    if (word_ == 0)
        return records;
    if ((word_ & kListBit) == 0) {
        add(reinterpret_cast<const IndexAnchor*>(word_));
        return records;
    }
    for (const IndexAnchor* anchor : *reinterpret_cast<const List*>(word_ & ~kListBit))
        add(anchor);
    return records;
}

size_t Memberships::size() const {
    if (word_ == 0)
        return 0;
    if ((word_ & kListBit) == 0)
        return 1;
    return reinterpret_cast<const List*>(word_ & ~kListBit)->size();
}

}  // namespace vorlane
