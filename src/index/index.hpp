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

#include <memory>
#include <vector>

#include "index/attr_name.hpp"
#include "index/bitmap.hpp"
#include "index/poison_lock.hpp"
#include "index/query_map.hpp"
#include "index/stored_item.hpp"

namespace vorlane {

using AttributeMaps = absl::flat_hash_map<AttrName, std::unique_ptr<QueryMap>>;
using ItemTable = std::vector<StoredItem>;
using LockedMaps = PoisonRwLock<AttributeMaps>;
using LockedItems = PoisonRwLock<ItemTable>;

struct IndexRecord {
    std::shared_ptr<LockedMaps> maps;
    std::shared_ptr<LockedItems> items;
    // Ids added to this record. Guarded by the borrow state of the Python
    // `Index` that owns the record: changed only under its exclusive use.
    Bitmap live_ids;

    // An empty record: empty maps, an empty item table, no ids.
    static std::shared_ptr<IndexRecord> new_();
};

// The placeholder record: the sort key of a membership that no longer
// resolves. Created on first use and never released.
const std::shared_ptr<IndexRecord>& default_index_record();

// Indexes one attribute value of one object (the maps' write lock is held).
void add_index_value(AttributeMaps& maps, uint32_t id, AttrName name, const ValueKey& value);

// Moves `id` from `old_value` to `new_value` under `name` (write lock held).
void update_index(AttributeMaps& maps, AttrName name, const ValueKey& old_value,
                  const ValueKey& new_value, uint32_t id);

// Stores `item` in slot `id`, growing the table as needed (write lock held).
void store_item(ItemTable& table, uint32_t id, StoredItem item);

// The object in slot `id`; the internal error "called `Option::unwrap()` on a
// `None` value" when the slot is missing or empty.
PyObject* item_at(const ItemTable& table, uint32_t id);

// Objects of the given ids, each with a new reference, in ascending id order.
// Collected under the table's read lock; the list is built after it is
// released, since building it can run Python code (the cycle collector).
PyObject* collect_objects(const LockedItems& items, const Bitmap& ids);

namespace py_index {
// The `Index` class, created on first use.
PyTypeObject* index_type();
// A new Python `Index` wrapping `record`.
PyObject* wrap_record(std::shared_ptr<IndexRecord> record);
// The record of a Python `Index` (type already checked).
const std::shared_ptr<IndexRecord>& record_of_index(PyObject* self);
}  // namespace py_index

}  // namespace vorlane
