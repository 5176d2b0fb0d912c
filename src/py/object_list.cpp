#include "py/object_list.hpp"

#include <algorithm>
#include <optional>
#include <utility>

#include "engine/panic.hpp"
#include "engine/prefetch.hpp"
#include "py/errors.hpp"
#include "py/gil.hpp"
#include "py/sparse_listing.hpp"

namespace vorlane {

PyObject* list_from_references(std::span<PyObject* const> objects) {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(objects.size()));
    if (list == nullptr) {
        for (PyObject* obj : objects)
            Py_DECREF(obj);
        throw py::ErrorAlreadySet{};
    }
    for (size_t i = 0; i < objects.size(); ++i)
        PyList_SET_ITEM(list, i, objects[i]);
    return list;
}

FilledList::FilledList(uint64_t capacity)
    : list_(py::check(PyList_New(static_cast<Py_ssize_t>(capacity)))),
      capacity_(static_cast<Py_ssize_t>(capacity)) {}

FilledList::~FilledList() {
    py::release_later(list_);
}

PyObject* FilledList::finish() {
    if (filled_ < capacity_)
        py::check_status(PyList_SetSlice(list_, filled_, capacity_, nullptr));
    return std::exchange(list_, nullptr);
}

namespace {

// How far ahead of the object whose reference count is updated the next ones
// are fetched (for writing). Each may miss in the TLB as well as the caches
// (wide objects lie a few to a page), and enough of them must be in flight
// to cover a page walk and a miss each at the pace of the loop.
constexpr size_t kObjectLookahead = 64;
// Item slots on one cache line: ids closer than this on average read their
// slots from lines already on their way.
constexpr size_t kSlotsPerLine = 64 / sizeof(StoredItem);
// Ids handled at a time: the objects of a block are gathered on the stack
// (8 KiB, in the core's first cache) before their reference counts are
// updated. Large enough that the lookahead above is rarely cut short by the
// end of a block.
constexpr uint32_t kBlock = 1024;

// Whether `ids` (ascending) lie close enough that their slots share lines.
bool close_together(std::span<const uint32_t> ids) {
    return ids.empty() || ids.back() - ids.front() < kSlotsPerLine * ids.size();
}

// How far past the slot being read the slots of ids close together are
// requested: a page of the item table (512 slots). The slots are read in
// address order, a line or so per id, and each page's first read would
// otherwise wait for its page walk and its line, the hardware's streaming
// ending at the page's edge. On lists of 86,000 and 136,000 objects of
// 600,000 it took 5-15% off the call; 2 to 8 KiB ahead measured alike.
constexpr uintptr_t kSlotBytesAhead = 4096;

// The address `kSlotBytesAhead` past `slot`: a slot to be read soon in its
// page, or past the page's end most often the next page (pages are allocated
// one after another as ids arrive), else a line never read. A request never
// faults, so a wrong guess costs only the request.
const void* slot_ahead(const StoredItem& slot) {
    return reinterpret_cast<const void*>(reinterpret_cast<uintptr_t>(&slot) + kSlotBytesAhead);
}

// Writes the objects of `ids` (close together) to `out`, leaving out empty
// slots, and returns how many were written.
//
// The slots are read in order, a line serving several, the slots a page
// ahead requested meanwhile; the objects are fetched later, at a steady
// distance ahead of their reference count updates (see `new_references`).
// Requesting each object as its address comes measured slower here: a burst
// of a block's requests, most of them walking the page tables for wide
// objects, holds up the slot reads behind it. Ids far apart go through
// `new_references_of_far_ids` instead.
size_t gather_objects(const ItemTable& table, std::span<const uint32_t> ids, PyObject** out) {
    size_t n = 0;
    table.find_each(ids, [&](const StoredItem& slot) {
        prefetch_line(slot_ahead(slot));
        out[n] = slot.get();
        n += out[n] != nullptr;
    });
    return n;
}

// Adds the objects of `ids` to `list`, a block at a time; an id with an empty
// slot is left out, or is the missing-slot error when `every_id_held`.
template <typename List>
void add_objects_in_blocks(const ItemTable& table, std::span<const uint32_t> ids, List& list,
                           bool every_id_held) {
    PyObject* objects[kBlock];
    for (size_t at = 0; at < ids.size();) {
        const size_t count = std::min<size_t>(kBlock, ids.size() - at);
        size_t n = 0;
        if (close_together(ids.subspan(at, count))) {
            n = gather_objects(table, ids.subspan(at, count), objects);
            list.add_all(std::span<PyObject* const>(objects, n));
        } else {
            n = list.add_written(count, [&](PyObject** out) {
                return new_references_of_far_ids(table, ids.subspan(at), count, out);
            });
        }
        if (every_id_held && n < count)
            panic("called `Option::unwrap()` on a `None` value");
        at += count;
    }
}

// The same for ids that come in runs (a few ids of HashMatch's short form
// come as one span of any length).
template <typename Ids, typename List>
void add_objects(const ItemTable& table, const Ids& ids, List& list, bool every_id_held) {
    ids.template for_each_block<kBlock>([&](std::span<const uint32_t> block) {
        add_objects_in_blocks(table, block, list, every_id_held);
    });
}

// Writes a new reference to each of `objects` to `items`, fetching the
// objects ahead of their reference count updates.
void new_references(std::span<PyObject* const> objects, PyObject** items) {
    const size_t n = objects.size();
    const size_t ahead = std::min(n, kObjectLookahead);
    for (size_t i = 0; i < ahead; ++i)
        prefetch_line_for_write(objects[i]);
    size_t i = 0;
    for (; i + kObjectLookahead < n; ++i) {
        prefetch_line_for_write(objects[i + kObjectLookahead]);
        items[i] = Py_NewRef(objects[i]);
    }
    for (; i < n; ++i)
        items[i] = Py_NewRef(objects[i]);
}

}  // namespace

PyObject** FilledList::next_items(size_t count) {
    if (static_cast<size_t>(capacity_ - filled_) < count)
        panic("FilledList: more objects than its capacity");
    // The list is not shared yet: its items are written in place.
    return PySequence_Fast_ITEMS(list_) + filled_;
}

void FilledList::add_all(std::span<PyObject* const> objects) {
    new_references(objects, next_items(objects.size()));
    filled_ += static_cast<Py_ssize_t>(objects.size());
}

GatheredObjects::~GatheredObjects() {
    for (PyObject* obj : objects_)
        py::release_later(obj);
}

void GatheredObjects::add_all(std::span<PyObject* const> objects) {
    size_t at = objects_.size();
    objects_.resize(at + objects.size());
    new_references(objects, objects_.data() + at);
}

PyObject* GatheredObjects::to_list() {
    // Should the list not be made, the references stay here and are released
    // with the rest of this.
    const std::span<PyObject* const> objects(objects_.data(), objects_.size());
    PyObject* list = py::check(PyList_New(static_cast<Py_ssize_t>(objects.size())));
    for (size_t i = 0; i < objects.size(); ++i)
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), objects[i]);
    objects_.clear();
    return list;
}

SortedIds::SortedIds(uint64_t count)
    : ids_(std::make_unique_for_overwrite<uint32_t[]>(count)), count_(count) {}

PyObject* list_objects(const LockedItems& items, std::span<const uint32_t> ids,
                       bool every_id_held) {
    FilledList list(ids.size());
    {
        LockedItems::ReadGuard table(items);
        add_objects_in_blocks(*table, ids, list, every_id_held);
    }
    return list.finish();
}

// Results above this many objects are listed straight into a list made to
// their size once the maps' lock is given back (no list is made under it):
// their ids are read out under the lock, which costs less than gathering the
// objects into a buffer and copying that into the list. Smaller ones are
// gathered under the locks at once.
constexpr uint64_t kListedAfterMapsLock = 1024;

PyObject* list_matching_objects(const IndexRecord& index, const HashQuery& query) {
    GatheredObjects objects;
    std::optional<SortedIds> ids;
    {
        LockedMaps::ReadGuard maps(*index.maps);
        HashMatch matching = match_hashes(*maps, query);
        uint64_t count = matching.cardinality();
        if (count > kListedAfterMapsLock) {
            ids.emplace(count);
            matching.write_to(ids->span());
        } else {
            objects.reserve(count);
            LockedItems::ReadGuard table(*index.items);
            add_objects(*table, matching, objects, true);
        }
    }
    if (ids)
        return list_objects(*index.items, ids->span(), true);
    return objects.to_list();
}

PyObject* collect_objects(const LockedItems& items, const Bitmap& ids) {
    // The selection cannot change: it is read out, and its size bounds the
    // list, before the lock is taken.
    SortedIds sorted(ids.cardinality());
    ids.write_to(sorted.span());
    return list_objects(items, sorted.span(), false);
}

}  // namespace vorlane
