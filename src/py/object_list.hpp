#pragma once
// Python lists of indexed objects, filled from an item table.
//
// Listing a selection reads slots of the item table and objects scattered
// over the heap. A large selection's ids are read out of its bitmap in one
// pass first. Then, a block of ids at a time, the block's objects are read
// from their slots (each page looked up once per run of ids in it, the loads
// independent of each other), and added to the list in a second pass that
// requests each object from memory a fixed distance ahead of its reference
// count update, so that many misses overlap. A block of ids far apart, whose
// slots share no lines, is listed in one pass of its own (sparse_listing.hpp).

#include <Python.h>

#include <absl/container/inlined_vector.h>

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "engine/bitmap.hpp"
#include "engine/hash_query.hpp"
#include "py/index_record.hpp"

namespace vorlane {

// A new list taking over the new references in `objects` (released on failure).
PyObject* list_from_references(std::span<PyObject* const> objects);

// A list of new references, filled in place while the item table is read:
// the objects go straight into it, not through a vector first. Made before
// the table's lock is taken, for selections whose size is known by then (no
// Python object is made under one of the module's locks). Slots not yet
// filled are null, which the list's dealloc skips; a list that is not handed
// out is dropped through the deferred release.
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
    // Lets `write(PyObject** items)` write new references (none null) to the
    // next `most` items at most, in place, and return how many it wrote;
    // returns that too.
    template <typename Write>
    size_t add_written(size_t most, Write&& write) {
        PyObject** items = next_items(most);
        const size_t written = write(items);
        filled_ += static_cast<Py_ssize_t>(written);
        return written;
    }

    // The list, cut to the objects added. Attached, no lock held: cutting
    // drops nothing but the null slots.
    PyObject* finish();

  private:
    // The next `count` items, which must be within the capacity.
    PyObject** next_items(size_t count);

    PyObject* list_;
    Py_ssize_t capacity_;
    Py_ssize_t filled_ = 0;
};

// New references to indexed objects, gathered under the module's locks when
// the size of the result is not known before they are taken, and listed once
// they are given back: a list is a Python object, and none is made under one
// of those locks. References not handed over go through the deferred release.
class GatheredObjects {
  public:
    GatheredObjects() = default;
    ~GatheredObjects();
    GatheredObjects(const GatheredObjects&) = delete;
    GatheredObjects& operator=(const GatheredObjects&) = delete;

    void reserve(size_t count) { objects_.reserve(count); }
    // Adds a new reference to each of `objects` (none null).
    void add_all(std::span<PyObject* const> objects);
    // As `FilledList::add_written`.
    template <typename Write>
    size_t add_written(size_t most, Write&& write) {
        const size_t at = objects_.size();
        objects_.resize(at + most);
        const size_t written = write(objects_.data() + at);
        objects_.resize(at + written);
        return written;
    }
    // The list of the objects gathered. Attached, no lock held.
    PyObject* to_list();

  private:
    // A keyword lookup's few results, or a top-10 or top-16, are gathered
    // without an allocation.
    static constexpr size_t kInlineObjects = 16;

    absl::InlinedVector<PyObject*, kInlineObjects> objects_;
};

// A new list of the objects of `index` that match `query`, in ascending id
// order, selected under the maps' read lock. The caller's shared use of the
// index rules out removals: every id selected has its object.
PyObject* list_matching_objects(const IndexRecord& index, const HashQuery& query);

// Ids in ascending order, in a buffer of their own: what a large result is
// listed from once they are read out of a bitmap in one pass.
class SortedIds {
  public:
    // Room for `count` ids, not initialised: the caller writes them all.
    explicit SortedIds(uint64_t count);
    std::span<uint32_t> span() { return {ids_.get(), count_}; }
    std::span<const uint32_t> span() const { return {ids_.get(), count_}; }

  private:
    std::unique_ptr<uint32_t[]> ids_;
    size_t count_;
};

// A new list of the objects of `ids`, in their order, read under the table's
// read lock (taken here; the list is made before it). An id whose slot is
// empty is skipped, or is the missing-slot error when `every_id_held`.
PyObject* list_objects(const LockedItems& items, std::span<const uint32_t> ids, bool every_id_held);

// A new list of the objects of the given ids, in ascending id order, read
// under the table's read lock. Ids whose slot is empty (objects removed since
// the ids were selected) are skipped. `ids` must not change meanwhile: it is
// read before the table's lock is taken.
PyObject* collect_objects(const LockedItems& items, const Bitmap& ids);

}  // namespace vorlane
