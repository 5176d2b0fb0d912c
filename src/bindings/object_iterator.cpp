#include "bindings/object_iterator.hpp"

#include "py/borrow.hpp"
#include "py/errors.hpp"
#include "py/ref.hpp"
#include "py/type.hpp"

namespace vorlane {

namespace {

struct ObjectIterator {
    std::shared_ptr<IndexRecord> source;
    // The index or view iterated: it keeps the walked ids alive.
    py::Ref iterated;
    uint64_t version = 0;
    // Whether the walked ids are the index's live ids, checked by `version`.
    bool follows_index = true;
    // Position in the walked ids. Valid while `version` matches: the
    // index's id set changes only together with the version, and a view's
    // selection never changes.
    Bitmap::Cursor position;
    bool finished = false;
};

// The next object, as a new reference, or null at the end. Called with the
// item table's read lock held.
PyObject* next_object(ObjectIterator& it, const ItemTable& table) {
    while (!it.finished && it.position.has_value()) {
        uint32_t id = it.position.current();
        it.position.advance();
        if (PyObject* obj = slot_object(table, id); obj && it.source->live_ids.contains(id))
            return Py_NewRef(obj);
    }
    it.finished = true;
    return nullptr;
}

PyObject* iterator_next(PyObject* self) {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        py::ExclusiveBorrow use(py::borrow_of<ObjectIterator>(self));
        ObjectIterator& it = py::record_of<ObjectIterator>(self);
        if (it.finished)
            return nullptr;
        LockedItems::ReadGuard table(*it.source->items);
        if (it.follows_index && it.source->version.load(std::memory_order_relaxed) != it.version) {
            it.finished = true;
            table.release();
            py::raise_error(PyExc_RuntimeError, "the index changed during iteration");
        }
        return next_object(it, *table);
    });
}

// The objects are reached through the index iterated (see
// filtered_index.hpp); an iterator in use is reachable through its caller.
int iterator_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    if (py::borrow_of<ObjectIterator>(self).is_exclusive())
        return 0;
    Py_VISIT(py::record_of<ObjectIterator>(self).iterated.get());
    return 0;
}

// Breaks a cycle: the iterator ends and lets go of what it iterated.
int iterator_clear(PyObject* self) {
    py::BorrowFlag& flag = py::borrow_of<ObjectIterator>(self);
    if (!flag.try_exclusive())
        return 0;
    ObjectIterator& it = py::record_of<ObjectIterator>(self);
    it.finished = true;
    py::Ref iterated = std::move(it.iterated);
    std::shared_ptr<IndexRecord> source = std::move(it.source);
    flag.end_exclusive();
    return 0;  // released here, after the borrow ended
}

PyType_Slot iterator_slots[] = {
    py::slot(Py_tp_new, py::no_constructor),
    py::slot(Py_tp_dealloc, py::dealloc_instance<ObjectIterator>),
    py::slot(Py_tp_iter, PyObject_SelfIter),
    py::slot(Py_tp_iternext, iterator_next),
    py::slot(Py_tp_traverse, iterator_traverse),
    py::slot(Py_tp_clear, iterator_clear),
    py::kEndOfSlots,
};

PyType_Spec iterator_spec = py::spec_of<ObjectIterator>(
    "builtins.ObjectIterator", Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, iterator_slots);

PyTypeObject* iterator_type_cache = nullptr;

}  // namespace

PyTypeObject* object_iterator_type() {
    return py::lazy_type(iterator_type_cache, &iterator_spec);
}

PyObject* make_object_iterator(const std::shared_ptr<IndexRecord>& source, PyObject* iterated,
                               const Bitmap& walked, bool follows_index) {
    ObjectIterator it;
    it.follows_index = follows_index;
    it.source = source;
    it.iterated = py::Ref::borrow(iterated);
    PyObject* self = py::make_instance(object_iterator_type(), std::move(it));
    ObjectIterator& placed = py::record_of<ObjectIterator>(self);
    LockedItems::ReadGuard table(*source->items);
    placed.version = source->version.load(std::memory_order_relaxed);
    placed.position.start(walked);
    return self;
}

}  // namespace vorlane
