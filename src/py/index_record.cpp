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
    if (id >= table.size())
        table.resize(static_cast<size_t>(id) + 1);
    table[id] = std::move(item);
}

bool holds_object(const ItemTable& table, uint32_t id, PyObject* obj) {
    return id < table.size() && table[id].get() == obj;
}

PyObject* item_at(const ItemTable& table, uint32_t id) {
    if (id >= table.size() || table[id].empty())
        panic("called `Option::unwrap()` on a `None` value");
    return table[id].get();
}

int traverse_items(const std::shared_ptr<IndexRecord>& record, visitproc visit, void* arg) {
    if (!record)
        return 0;
    // Item tables change only under the exclusive use of their Index, which
    // the caller rules out, so the table can be read here without its lock.
    for (const StoredItem& item : record->items->unguarded())
        Py_VISIT(item.get());
    return 0;
}

}  // namespace vorlane
