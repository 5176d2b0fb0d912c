#include "py/index_record.hpp"

#include "engine/panic.hpp"

namespace vorlane {

std::shared_ptr<IndexRecord> IndexRecord::new_() {
    auto record = std::make_shared<IndexRecord>();
    record->maps = std::make_shared<LockedMaps>();
    record->items = std::make_shared<LockedItems>();
    return record;
}

const std::shared_ptr<IndexRecord>& default_index_record() {
    static const auto* placeholder = new std::shared_ptr<IndexRecord>(IndexRecord::new_());
    return *placeholder;
}

void store_item(ItemTable& table, uint32_t id, StoredItem item) {
    table.put(id, std::move(item));
}

bool holds_object(const ItemTable& table, uint32_t id, PyObject* obj) {
    return slot_object(table, id) == obj;
}

PyObject* item_at(const ItemTable& table, uint32_t id) {
    PyObject* obj = slot_object(table, id);
    if (obj == nullptr)
        panic("called `Option::unwrap()` on a `None` value");
    return obj;
}

int traverse_items(const std::shared_ptr<IndexRecord>& record, visitproc visit, void* arg) {
    if (!record)
        return 0;
    // Item tables change only under the exclusive use of their Index, which
    // the caller rules out, so the table can be read here without its lock.
    int status = 0;
    record->items->unguarded().for_each([&](uint32_t, const StoredItem& item) {
        if (status == 0)
            status = visit(item.get(), arg);
    });
    return status;
}

}  // namespace vorlane
