#pragma once
// Python lists of indexed objects, filled from an item table.
//
// Listing a selection reads slots of the item table and objects scattered
// over the heap. The ids are read from the selection a block at a time; the
// block's objects are read from their slots in one pass (each page looked up
// once per run of ids in it, the loads independent of each other), then
// added to the list in a second pass that fetches the objects a few ahead of
// their reference count updates, so those waits overlap.

#include <Python.h>

#include <cstdint>
#include <span>

#include "engine/bitmap.hpp"
#include "engine/hash_query.hpp"
#include "py/index_record.hpp"

namespace vorlane {

// A new list taking over the new references in `objects` (released on failure).
PyObject* list_from_references(std::span<PyObject* const> objects);

// A list of new references, filled in place while the item table is read:
// the objects go straight into it, not through a vector first. Allocating
// the list runs no Python code, even with one of the module's locks held:
// an allocation that crosses the collector's threshold only schedules a
// collection, for the interpreter's next check of its eval loop. Slots not
// yet filled are null, which the list's dealloc skips; a list that is not
// handed out is dropped through the deferred release.
class FilledList {
  public:
    explicit FilledList(uint64_t capacity);
    ~FilledList();
    FilledList(const FilledList&) = delete;
    FilledList& operator=(const FilledList&) = delete;

    // Adds a new reference to each of `objects` (none null), fetching the
    // objects ahead of their reference count updates. At most `capacity` are
    // added in all.
    void add_all(std::span<PyObject* const> objects);

    // The list, cut to the objects added. Attached, no lock held: cutting
    // drops nothing but the null slots.
    PyObject* finish();

  private:
    PyObject* list_;
    Py_ssize_t capacity_;
    Py_ssize_t filled_ = 0;
};

// Adds the objects of `ids` to `list`, read under the table's read lock held
// by the caller. Every id must have an object (the caller holds the maps'
// read lock too, so none was removed since the ids were selected).
void add_objects_of(const ItemTable& table, const HashMatch& ids, FilledList& list);

// A new list of the objects of the given ids, in ascending id order, read
// under the table's read lock. Ids whose slot is empty (objects removed since
// the ids were selected) are skipped.
PyObject* collect_objects(const LockedItems& items, const Bitmap& ids);

}  // namespace vorlane
