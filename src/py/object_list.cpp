#include "py/object_list.hpp"

#include <utility>

#include "py/errors.hpp"
#include "py/gil.hpp"

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

// How far ahead of the id being read its slot, and then its object, are
// fetched into the cache. A selection's slots are scattered over the item
// table and its objects over the heap: read one after the other, each id
// waits for memory twice. With the next slots and objects already on their
// way, those waits overlap. The slot is fetched first, so that it has arrived
// when the object's address is read from it.
constexpr size_t kSlotLookahead = 128;
constexpr size_t kObjectLookahead = 32;
// Ids visited per run: the look-ahead starts over with each run, so a run is
// many times longer than it (and small enough for the stack).
constexpr uint32_t kVisitRun = 1024;

// Calls `f(id, object)` for each id of `ids` in order, with the object of its
// slot (null when there is none), fetching the slots and objects of the ids
// ahead. Prefetching reads nothing that the caller does not read later and
// never faults, even for a null address.
template <typename F>
void visit_slots(const ItemTable& table, std::span<const uint32_t> ids, F&& f) {
    const size_t n = ids.size();
    for (size_t i = 0; i < n && i < kSlotLookahead; ++i)
        __builtin_prefetch(table.find(ids[i]));
    for (size_t i = 0; i < n; ++i) {
        if (i + kSlotLookahead < n)
            __builtin_prefetch(table.find(ids[i + kSlotLookahead]));
        if (i + kObjectLookahead < n)
            __builtin_prefetch(slot_object(table, ids[i + kObjectLookahead]), 1);
        f(ids[i], slot_object(table, ids[i]));
    }
}

}  // namespace

void add_objects_of(const ItemTable& table, const HashMatch& ids, FilledList& list) {
    ids.for_each_block<kVisitRun>([&](std::span<const uint32_t> block) {
        visit_slots(table, block, [&](uint32_t id, PyObject* obj) {
            if (obj == nullptr)
                item_at(table, id);  // the missing-slot error
            list.add(Py_NewRef(obj));
        });
    });
}

PyObject* collect_objects(const LockedItems& items, const Bitmap& ids) {
    // The selection cannot change: its size bounds the list before the lock
    // is taken.
    FilledList list(ids.cardinality());
    {
        LockedItems::ReadGuard table(items);
        ids.for_each_block<kVisitRun>([&](std::span<const uint32_t> block) {
            visit_slots(*table, block, [&](uint32_t, PyObject* obj) {
                if (obj != nullptr)
                    list.add(Py_NewRef(obj));
            });
        });
    }
    return list.finish();
}

}  // namespace vorlane
