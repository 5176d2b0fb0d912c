#include "bindings/object_iterator.hpp"

#include "bindings/filtered_index.hpp"
#include "py/borrow.hpp"
#include "py/errors.hpp"
#include "py/ref.hpp"
#include "py/type.hpp"

namespace vorlane {

namespace {

struct ObjectIterator {
    std::shared_ptr<IndexRecord> source;
    // The view whose selection is walked; null when walking the index itself.
    py::Ref view;
    uint64_t version = 0;
    // Position in the walked bitmap. Valid while `version` matches: the
    // index's id set changes only together with the version, and a view's
    // selection never changes.
    roaring_uint32_iterator_t position{};
    bool finished = false;
};

const Bitmap& walked_ids(const ObjectIterator& it) {
    if (it.view)
        return py::record_of<FilteredIndex>(it.view.get()).selection;
    return it.source->live_ids;
}

// The next object, as a new reference, or null at the end. Called with the
// item table's read lock held.
PyObject* next_object(ObjectIterator& it, const ItemTable& table) {
    while (!it.finished && it.position.has_value) {
        uint32_t id = it.position.current_value;
        roaring_advance_uint32_iterator(&it.position);
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
        if (it.source->version.load(std::memory_order_relaxed) != it.version) {
            it.finished = true;
            table.release();
            py::raise_error(PyExc_RuntimeError, "the index changed during iteration");
        }
        return next_object(it, *table);
    });
}

PyType_Slot iterator_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(py::no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(py::dealloc_instance<ObjectIterator>)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(iterator_next)},
    {0, nullptr},
};

PyType_Spec iterator_spec = {
    .name = "builtins.ObjectIterator",
    .basicsize = sizeof(py::Instance<ObjectIterator>),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = iterator_slots,
};

PyTypeObject* iterator_type_cache = nullptr;

}  // namespace

PyObject* make_object_iterator(const std::shared_ptr<IndexRecord>& source, PyObject* view) {
    ObjectIterator it;
    it.source = source;
    it.view = py::Ref::borrow(view);
    PyTypeObject* type = py::lazy_type(iterator_type_cache, &iterator_spec);
    PyObject* self = py::make_instance(type, std::move(it));
    ObjectIterator& placed = py::record_of<ObjectIterator>(self);
    // The position is taken in place: it points into the walked bitmap.
    LockedItems::ReadGuard table(*source->items);
    placed.version = source->version.load(std::memory_order_relaxed);
    roaring_init_iterator(walked_ids(placed).raw(), &placed.position);
    return self;
}

}  // namespace vorlane
