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
// Locks, and the order in which they are taken (no thread ever waits for a
// lock earlier in this list while holding a later one, so no wait closes a
// cycle):
//   1. the maps locks of index records, several at once only in ascending
//      record identity (an assignment takes those of all the indexes of its
//      object; `union_with` its receiver's and the other's);
//   2. the item table lock of a record, after its maps lock when both are
//      held (a rebase also fills a new record's tables while it reads its
//      source's; nobody else can reach the new record yet);
//   3. the lock of one object (py/object_lock.hpp), held for a few steps
//      that take nothing else.
// None of them is held while Python code runs, while re-attaching to the
// interpreter, or while waiting for anything but a lock later in the list:
// so a thread waiting for one attached (holding the interpreter lock, or
// holding up a stop of the world on a free-threaded build) always sees its
// holder finish. References dropped under them are released afterwards
// (gil.hpp).

#include <Python.h>

#include <atomic>
#include <cstdint>
#include <memory>

#include "engine/attribute_maps.hpp"
#include "engine/bitmap.hpp"
#include "engine/paged_slots.hpp"
#include "engine/poison_lock.hpp"
#include "py/memberships.hpp"
#include "py/stored_item.hpp"

namespace vorlane {

// Slot per id, in pages: an index pays for the ids it holds, not for every
// id handed out before them.
using ItemTable = PagedSlots<StoredItem>;
using LockedMaps = PoisonRwLock<AttributeMaps>;
using LockedItems = PoisonRwLock<ItemTable>;

struct IndexRecord {
    // The values of objects in `live_ids` only (of all of them but after
    // `reduce`): a query over the whole index need not intersect with them.
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
    // What member objects hold to find this record (see memberships.hpp):
    // made on the first membership, released with the record.
    std::atomic<IndexAnchor*> anchor{nullptr};

    IndexRecord() = default;
    ~IndexRecord() { release_record_anchor(anchor); }
    IndexRecord(const IndexRecord&) = delete;
    IndexRecord& operator=(const IndexRecord&) = delete;

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

// Visits the objects of `record`'s item table for the cycle collector. Called
// by the Python `Index` that owns the record alone: views and iterators hold
// that `Index` and reach the table through it, so each reference is counted
// once. The caller rules out a change of the table meanwhile.
int traverse_items(const std::shared_ptr<IndexRecord>& record, visitproc visit, void* arg);

}  // namespace vorlane
