#include "py/indexable_record.hpp"

#include "engine/id_allocator.hpp"
#include "py/index_record.hpp"

namespace vorlane {

uint32_t Indexable::next_id() {
    return object_ids().take();
}

void Indexable::add_index(const IndexMeta& meta) {
    std::shared_ptr<IndexRecord> record = meta.lock();
    memberships.add(record, record ? &record->anchor : nullptr, default_index_record().get());
}

void Indexable::remove_index(const IndexRecord* removed) {
    memberships.remove(removed);
}

absl::InlinedVector<std::shared_ptr<IndexRecord>, kInlineMemberships>
Indexable::resolve_memberships() const {
    return memberships.resolve();
}

}  // namespace vorlane
