#pragma once
// The index record and the Python class `Index`.
//
// An index record holds two shared, separately locked parts, the attribute
// maps (name -> QueryMap) and the item table (slot per id -> StoredItem), and
// the bitmap of the ids added to it. A Python `Index` owns its record through
// a shared handle; objects refer to it through non-owning memberships; views
// hold it too, so the objects' memberships stay live while a view shares the
// record's maps.

#include <Python.h>

#include <absl/container/flat_hash_map.h>

#include <atomic>
#include <memory>
#include <span>
#include <vector>

#include "engine/attr_name.hpp"
#include "engine/bitmap.hpp"
#include "engine/poison_lock.hpp"
#include "engine/query_map.hpp"
#include "py/stored_item.hpp"

namespace vorlane {

using AttributeMaps = absl::flat_hash_map<AttrName, std::unique_ptr<QueryMap>>;
using ItemTable = std::vector<StoredItem>;
using LockedMaps = PoisonRwLock<AttributeMaps>;
using LockedItems = PoisonRwLock<ItemTable>;

struct IndexRecord {
    std::shared_ptr<LockedMaps> maps;
    std::shared_ptr<LockedItems> items;
    // Ids of the objects this record holds. Changed only under the exclusive
    // use of the Python `Index` that owns the record and with the item
    // table's write lock held, so views read it under the table's read lock.
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

// Indexes one attribute value of one object (the maps' write lock is held).
void add_index_value(AttributeMaps& maps, uint32_t id, AttrName name, const ValueKey& value);
// The map of `name`, made empty when the index has none yet.
QueryMap& query_map_for(AttributeMaps& maps, AttrName name);

// Moves `id` from `old_value` to `new_value` under `name` (write lock held).
void update_index(AttributeMaps& maps, AttrName name, const ValueKey& old_value,
                  const ValueKey& new_value, uint32_t id);

// Takes `id` out of the map of `name` under `value`, pruning what empties
// (write lock held). Used when an object leaves an index.
void remove_index_value(AttributeMaps& maps, AttrName name, const ValueKey& value, uint32_t id);

// Stores `item` in slot `id`, growing the table as needed (write lock held).
void store_item(ItemTable& table, uint32_t id, StoredItem item);

// The object in slot `id`; the internal error "called `Option::unwrap()` on a
// `None` value" when the slot is missing or empty.
PyObject* item_at(const ItemTable& table, uint32_t id);

// Whether slot `id` of `table` holds exactly `obj`.
bool holds_object(const ItemTable& table, uint32_t id, PyObject* obj);

// A new list taking over the new references in `objects` (released on failure).
PyObject* list_from_references(std::span<PyObject* const> objects);

// A new list of the objects of the given ids, in ascending id order, read
// under the table's read lock. Ids whose slot is empty (objects removed since
// the ids were selected) are skipped.
PyObject* collect_objects(const LockedItems& items, const Bitmap& ids);

// Visits the objects of `record`'s item table for the cycle collector, but
// only when `record` is held by the visiting object alone: an item table
// shared with views is visited by none of them, so no reference is counted
// twice (such cycles are reclaimed once the views are gone).
int traverse_sole_record(const std::shared_ptr<IndexRecord>& record, visitproc visit, void* arg);

namespace py_index {
// The `Index` class, created on first use.
PyTypeObject* index_type();
// A new Python `Index` wrapping `record`.
PyObject* wrap_record(std::shared_ptr<IndexRecord> record);
// The record of a Python `Index` (type already checked).
const std::shared_ptr<IndexRecord>& record_of_index(PyObject* self);
}  // namespace py_index

}  // namespace vorlane
