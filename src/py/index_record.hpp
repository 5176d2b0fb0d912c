#pragma once
// The index record: what a Python `Index` owns and its views share.
//
// A record holds two shared, separately locked parts, the attribute maps
// (name -> QueryMap) and the item table (slot per id -> StoredItem), and the
// bitmap of the ids added to it. A Python `Index` owns its record through a
// shared handle; objects refer to it through non-owning memberships; views
// hold it too, so the objects' memberships stay live while a view shares the
// record's maps.
//
// The maps' lock is taken before the table's wherever both are held.

#include <Python.h>

#include <atomic>
#include <cstdint>
#include <memory>

#include "engine/attribute_maps.hpp"
#include "engine/bitmap.hpp"
#include "engine/paged_slots.hpp"
#include "engine/poison_lock.hpp"
#include "py/stored_item.hpp"

namespace vorlane {

// Slot per id, in pages: an index pays for the ids it holds, not for every
// id handed out before them.
using ItemTable = PagedSlots<StoredItem>;
using LockedMaps = PoisonRwLock<AttributeMaps>;
using LockedItems = PoisonRwLock<ItemTable>;

struct IndexRecord {
    std::shared_ptr<LockedMaps> maps;
    std::shared_ptr<LockedItems> items;
    // Ids of the objects this record holds; exactly the occupied slots of
    // its item table. Changed only under the exclusive use of the Python
    // `Index` that owns the record and with the item table's write lock
    // held, so views read it under the table's read lock.
    Bitmap live_ids;
    // Bumped whenever objects are added or removed (under the item table's
    // write lock), so that iterators notice a change.
    std::atomic<uint64_t> version{0};

    // An empty record: empty maps, an empty item table, no ids.
    static std::shared_ptr<IndexRecord> new_();
};

// The placeholder record: the sort key of a membership that no longer
// resolves. Created on first use and never released.
const std::shared_ptr<IndexRecord>& default_index_record();

// Stores `item` in slot `id`, growing the table as needed (write lock held).
void store_item(ItemTable& table, uint32_t id, StoredItem item);

// The object in slot `id`; the internal error "called `Option::unwrap()` on a
// `None` value" when the slot is missing or empty.
PyObject* item_at(const ItemTable& table, uint32_t id);

// The object in slot `id`, or null for an empty slot.
inline PyObject* slot_object(const ItemTable& table, uint32_t id) {
    const StoredItem* slot = table.find(id);
    return slot ? slot->get() : nullptr;
}

// Whether slot `id` of `table` holds exactly `obj`.
bool holds_object(const ItemTable& table, uint32_t id, PyObject* obj);

// Visits the objects of `record`'s item table for the cycle collector, but
// only when `record` is held by the visiting object alone: an item table
// shared with views is visited by none of them, so no reference is counted
// twice (such cycles are reclaimed once the views are gone).
int traverse_sole_record(const std::shared_ptr<IndexRecord>& record, visitproc visit, void* arg);

}  // namespace vorlane
