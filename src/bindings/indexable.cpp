#include "bindings/indexable.hpp"

#include <algorithm>

#include "bindings/assignment.hpp"
#include "bindings/pickling.hpp"
#include "engine/attribute_maps.hpp"
#include "engine/id_allocator.hpp"
#include "py/args.hpp"
#include "py/converted_values.hpp"
#include "py/gil.hpp"
#include "py/index_record.hpp"
#include "py/method.hpp"
#include "py/name_cache.hpp"
#include "py/object_lock.hpp"
#include "py/ref.hpp"
#include "py/type.hpp"

namespace vorlane {

namespace {

using Instance = py::Instance<Indexable>;

// The class, once created (see `py_indexable::indexable_type`).
PyTypeObject* indexable_type_cache = nullptr;

Indexable& record(PyObject* self) {
    return py::record_of<Indexable>(self);
}
py::BorrowFlag& borrow(PyObject* self) {
    return py::borrow_of<Indexable>(self);
}

void require_name_string(PyObject* name) {
    if (!PyUnicode_Check(name)) {
        py::convert_argument("name", [&] { py::raise_conversion_error(name, "PyString"); });
    }
}

// Adds one keyword argument of a construction, taking over the reference to
// `value`: a later keyword of the same name replaces the earlier one, and a
// key that is not a str is skipped.
void add_keyword(ObjectAttributes& attributes, PyObject* key, PyObject* value) {
    if (!PyUnicode_Check(key)) {
        Py_DECREF(value);
        return;
    }
    AttrName name = py::interned_name(key);
    attributes.set(name, key, PyValue::new_(value));
}

// Converts the keyword arguments of a construction into `attributes`, in
// dictionary order.
void attributes_from_kwargs(ObjectAttributes& attributes, PyObject* kwargs) {
    if (kwargs == nullptr)
        return;
    Py_ssize_t pos = 0;
    for (;;) {
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        bool more = false;
        // Each item is fetched inside the dictionary's critical section and
        // converted outside it: conversion runs the value's __hash__.
        Py_BEGIN_CRITICAL_SECTION(kwargs);
        more = PyDict_Next(kwargs, &pos, &key, &value);
        if (more) {
            Py_INCREF(key);
            Py_INCREF(value);
        }
        Py_END_CRITICAL_SECTION();
        if (!more)
            break;
        py::Ref key_ref = py::Ref::steal(key);
        add_keyword(attributes, key, value);
    }
}

bool may_form_cycle(const ObjectAttributes& attributes) {
    for (ObjectAttributes::Entry attr : attributes) {
        if (attr.value.may_form_cycle())
            return true;
    }
    return false;
}

// A new instance of `type` whose attributes `make(room)` gives, for a room
// of `room` values (see `ObjectAttributes::room_for`): an instance of this
// class is allocated with room for all of its `count` values; a subclass
// instance, whose own fields follow the record, has the plain room.
// `cyclic` tells whether any of those values `may_form_cycle`.
template <typename Make>
PyObject* new_indexable(PyTypeObject* type, size_t count, bool cyclic, Make make) {
    bool exact = type == py_indexable::indexable_type();
    size_t room = exact ? ObjectAttributes::room_for(count) : ObjectAttributes::kInlineValues;
    size_t extra = (room - ObjectAttributes::kInlineValues) * sizeof(PyValue);
    // The id is taken only once every value converted, and given back when
    // the object cannot be allocated, so a failed creation uses none.
    uint32_t id = Indexable::next_id();
    // Zeroed; tracked by the collector only when made by `tp_alloc`.
    PyObject* self =
        extra > 0 ? PyUnstable_Object_GC_NewWithExtraData(type, extra) : type->tp_alloc(type, 0);
    if (self == nullptr) {
        object_ids().give_back(id);
        throw py::ErrorAlreadySet{};
    }
    auto* inst = reinterpret_cast<Instance*>(self);
    new (&inst->record) Indexable{{}, id, Memberships(), make(room)};
    // An object of this class whose values cannot form a cycle is left to
    // reference counting alone, as the interpreter does with tuples and
    // dicts of atomic values: the cycle collector then never visits the
    // millions of objects an index holds. It is tracked again when it is
    // assigned a value that could close a cycle. A subclass instance may
    // carry a dict of its own, so it stays tracked.
    bool tracked = !exact || cyclic;
    if (tracked != static_cast<bool>(PyObject_GC_IsTracked(self))) {
        if (tracked)
            PyObject_GC_Track(self);
        else
            PyObject_GC_UnTrack(self);
    }
    return self;
}

// A new instance of `type` with the attributes built in `attributes`.
PyObject* new_indexable(PyTypeObject* type, ObjectAttributes&& attributes) {
    bool cyclic = may_form_cycle(attributes);
    return new_indexable(type, attributes.size(), cyclic, [&](size_t room) {
        return ObjectAttributes(std::move(attributes), room);
    });
}

PyObject* indexable_new(PyTypeObject* type, PyObject* /*args*/, PyObject* kwargs) {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        ObjectAttributes attributes;
        attributes_from_kwargs(attributes, kwargs);
        return new_indexable(type, std::move(attributes));
    });
}

// `Indexable(...)` through the vectorcall protocol: the keywords are read from
// the call itself, with no dictionary built for them. Positional arguments are
// ignored, as by `indexable_new`. Set on this class only (the field is not
// inherited), so a subclass, which may define `__init__`, is created through
// `tp_new` and `tp_init` as usual; for this class `tp_init` does nothing.
// A call site passes the same names each time, so their layout is usually
// known and only the values are converted, straight into the object.
PyObject* indexable_vectorcall(PyObject* type_object, PyObject* const* args, size_t nargsf,
                               PyObject* kwnames) {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        auto* type = reinterpret_cast<PyTypeObject*>(type_object);
        PyObject* const* values = args + PyVectorcall_NARGS(nargsf);
        Py_ssize_t count = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
        AttrLayout* layout = count > 0 ? keyword_layout(kwnames) : nullptr;
        if (layout != nullptr && type == py_indexable::indexable_type()) {
            ConvertedValues converted(static_cast<size_t>(count));
            bool cyclic = false;
            for (Py_ssize_t i = 0; i < count; ++i)
                converted.append([&] { return PyValue::held_from_borrowed(values[i], cyclic); });
            PyObject* self = new_indexable(type, converted.size(), cyclic, [&](size_t) {
                return ObjectAttributes(layout, converted.values());
            });
            converted.moved_out();  // into the object, which cannot fail once made
            return self;
        }
        // In call order, the order a dictionary of them would have.
        ObjectAttributes attributes;
        for (Py_ssize_t i = 0; i < count; ++i)
            add_keyword(attributes, PyTuple_GET_ITEM(kwnames, i), Py_NewRef(values[i]));
        return new_indexable(type, std::move(attributes));
    });
}

PyObject* indexable_repr(PyObject* self) {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        size_t count = 0;
        {
            py::ObjectReadLock lock(borrow(self));
            count = record(self).attributes.size();
        }
        // The text is fixed, class name included, whatever the class: code
        // that reads it relies on this exact form.
        return PyUnicode_FromFormat("<MyClass with %zu attributes>", count);
    });
}

// The own attribute `name`, as a new reference, or null when the object has
// none. No index lock is taken: the indexes' locks guard their maps, not this
// object's own storage, which an assignment changes under the object's lock
// after every index moved.
PyObject* own_attribute(PyObject* self, PyObject* name) {
    // Resolved first (the cache may release a str), and reported before the
    // look-up, as the text check always was.
    py::NameLookup lookup = py::look_up_name(name);
    if (!lookup.encodable)
        py::raise_error(PyExc_AttributeError, "Invalid attribute name");
    // A name never interned is held by no object.
    if (!lookup.name)
        return nullptr;
    py::AttributeReadLock lock(borrow(self));
    const PyValue* value = record(self).find(*lookup.name);
    return value ? Py_NewRef(value->obj()) : nullptr;
}

// Every read: the own attribute by its text, else the class's attributes.
// Out of line, so that the common read saves no registers for it.
[[gnu::noinline]] PyObject* getattro_full(PyObject* self, PyObject* name) {
    PyObject* result = py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        py::expect_instance(self, py_indexable::indexable_type(), "Indexable");
        require_name_string(name);
        if (PyObject* own = own_attribute(self, name))
            return own;
        // Class attributes, methods and special attributes. This can run
        // Python code (a property of a subclass), so no lock or borrow of
        // ours is held here.
        return PyObject_GenericGetAttr(self, name);
    });
    if (result == nullptr && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        PyErr_SetObject(PyExc_AttributeError, name);
    }
    return result;
}

// A read that the common one does not answer: a value of a spilled object,
// or a name of a layout too wide for a table, named by the str the layout
// keeps; or else the full path.
// Out of line, so that the common read saves no registers for it.
[[gnu::noinline]] PyObject* getattro_rest(PyObject* self, PyObject* name) {
    {
        py::AttributeReadLock lock(borrow(self), std::try_to_lock);
        if (lock.owns()) {
            if (const PyValue* value = record(self).attributes.find_by_str(name))
                return Py_NewRef(value->obj());
        }
    }
    return getattro_full(self, name);
}

// The common read is answered by a path that cannot fail: an object whose
// lock is free, read with the very str its layout keeps for the name (code
// passes the interned str of the name, and so does every call site's
// keywords). Whenever any of that does not hold, the full path decides. As
// for `own_attribute`, no index lock is needed.
//
// The object is an instance of this class or of a subclass: the interpreter
// calls this slot only through the object's own type (a subclass inherits
// it, or reaches it through `super().__getattribute__`), and the slot's
// wrapper checks its receiver. Own attributes come before everything the
// class defines, data descriptors included, so the type is never consulted.
PyObject* indexable_getattro(PyObject* self, PyObject* name) {
    {
        py::AttributeReadLock lock(borrow(self), std::try_to_lock);
        if (lock.owns()) {
            if (const PyValue* value = record(self).attributes.find_inside_by_str(name))
                return Py_NewRef(value->obj());
        }
    }
    return getattro_rest(self, name);
}

int indexable_setattro(PyObject* self, PyObject* name, PyObject* value) {
    return py::guard<int>(-1, [&]() -> int {
        if (value == nullptr)
            py::raise_error(PyExc_AttributeError, "can't delete attribute");
        require_name_string(name);
        // All the Python code of the assignment runs here, before anything is
        // held or changed: a value that cannot be converted leaves the object
        // and its indexes as they were, and a __hash__ may use them freely.
        AttrName attr = py::interned_name(name);
        // The str the object's layout keeps for a new name, made now: no
        // Python object is made under the object's lock.
        py::Ref key = AttrLayout::key_str(name, attr);
        PyValue converted = PyValue::from_borrowed(value);
        // Tracked before the value is reachable from the object: it may
        // close a cycle the collector must see.
        if (!PyObject_GC_IsTracked(self) && converted.may_form_cycle())
            PyObject_GC_Track(self);
        std::optional<PyValue> replaced =
            assign_attribute(record(self), borrow(self), attr, key.get(), std::move(converted));
        // The old value is dropped once nothing is held: its last reference
        // can run a __del__ that uses this object or its indexes.
        replaced.reset();
        return 0;
    });
}

PyObject* dir_method(PyObject* self, py::Arguments&) {
    absl::InlinedVector<py::Ref, ObjectAttributes::kInlineValues> own;
    {
        py::ObjectReadLock lock(borrow(self));
        // The layout keeps a str of each name: listed as they are.
        const AttrLayout& layout = record(self).attributes.layout();
        for (size_t pos = 0; pos < layout.size(); ++pos)
            own.push_back(py::Ref::borrow(layout.str(pos)));
    }
    py::Ref names = py::Ref::steal(py::check(PyList_New(0)));
    for (const py::Ref& item : own)
        py::check_status(PyList_Append(names.get(), item.get()));
    // The default listing, as `object.__dir__(self)` gives it.
    PyObject* object_type = reinterpret_cast<PyObject*>(&PyBaseObject_Type);
    py::Ref defaults =
        py::Ref::steal(py::check(PyObject_CallMethod(object_type, "__dir__", "O", self)));
    if (!PyList_Check(defaults.get()))
        py::raise_conversion_error(defaults.get(), "PyList");
    Py_ssize_t n = PyList_GET_SIZE(defaults.get());
    for (Py_ssize_t i = 0; i < n; ++i)
        py::check_status(PyList_Append(names.get(), PyList_GET_ITEM(defaults.get(), i)));
    return names.release();
}

PyObject* reduce_method(PyObject* self, PyObject*) {
    return indexable_reduce(self, Py_TYPE(self) == py_indexable::indexable_type());
}

// The object itself and what its attributes hold beyond it: the room past
// the plain one, a spilled array and a private layout. A shared layout belongs to no object.
PyObject* sizeof_method(PyObject* self, PyObject*) {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        size_t total = static_cast<size_t>(Py_TYPE(self)->tp_basicsize);
        {
            py::AttributeReadLock lock(borrow(self));
            const ObjectAttributes& attributes = record(self).attributes;
            total += (attributes.room() - ObjectAttributes::kInlineValues) * sizeof(PyValue) +
                     attributes.spilled_bytes() + attributes.private_layout_bytes();
        }
        return PyLong_FromSize_t(total);
    });
}

// `_layout_of(obj)`: (identity of the layout, whether it is shared), after
// checking the object's attributes. For tests.
PyObject* layout_of(PyObject*, PyObject* obj) {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        const Indexable& object = py_indexable::expect_indexable(obj);
        const AttrLayout* layout = nullptr;
        bool shared = false;
        {
            py::AttributeReadLock lock(borrow(obj));
            object.attributes.validate();
            layout = &object.attributes.layout();
            shared = layout->is_shared();
        }
        // Identified only: the layout is not read once the lock is given back.
        return py::check(Py_BuildValue("(NO)", PyLong_FromVoidPtr(const_cast<AttrLayout*>(layout)),
                                       shared ? Py_True : Py_False));
    });
}

// Each attribute's value owns its own reference to its object, so visiting
// them counts every reference exactly once (`obj.me = obj` is collectable).
// Attributes are changed only by attached code (assignments, clearing),
// which never runs beside the collector, so they are read here without the
// object's lock, and the two passes of a collection see the same references.
int indexable_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    for (ObjectAttributes::Entry attr : record(self).attributes)
        Py_VISIT(attr.value.obj());
    return 0;
}

// The object's attributes, moved out of it under its lock. Running out of
// memory here stops the process.
std::unique_ptr<ObjectAttributes> take_attributes(PyObject* self) noexcept {
    py::ObjectWriteLock lock(borrow(self));
    return record(self).attributes.take();
}

// Breaks a cycle by dropping the attributes.
int indexable_clear(PyObject* self) {
    std::unique_ptr<ObjectAttributes> dropped = take_attributes(self);
    return 0;  // `dropped` releases the values here, once the lock is given back
}

// The object's id is given back once nothing refers to the object: no item
// table holds it (each holds a strong reference).
void indexable_dealloc(PyObject* self) {
    uint32_t id = record(self).id;
    py::dealloc_instance<Indexable>(self);
    object_ids().give_back(id);
}

constexpr py::Signature kDirSig{.name = "Indexable.__dir__"};

PyMethodDef indexable_methods[] = {
    py::method_def<&kDirSig, dir_method>("__dir__", "__dir__($self)\n--\n\n"),
    py::raw_method_def("__reduce__", reduce_method, METH_NOARGS,
                       "Pickling support: the class and the attributes of the object."),
    py::raw_method_def("__setstate__", indexable_setstate, METH_O,
                       "Pickling support: restores the attributes of the object."),
    py::raw_method_def(
        "__sizeof__", sizeof_method, METH_NOARGS,
        "Size of the object in bytes, with the attribute values it holds outside itself."),
    py::kEndOfMethods,
};

PyType_Slot indexable_slots[] = {
    py::doc_slot("Indexable(*_args, **kwargs)\n--\n\n"),
    py::slot(Py_tp_new, indexable_new),
    py::slot(Py_tp_dealloc, indexable_dealloc),
    py::slot(Py_tp_repr, indexable_repr),
    py::slot(Py_tp_getattro, indexable_getattro),
    py::slot(Py_tp_setattro, indexable_setattro),
    py::slot(Py_tp_methods, indexable_methods),
    py::slot(Py_tp_traverse, indexable_traverse),
    py::slot(Py_tp_clear, indexable_clear),
    py::kEndOfSlots,
};

PyType_Spec indexable_spec = py::spec_of<Indexable>(
    "builtins.Indexable", Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    indexable_slots);

}  // namespace

PyMethodDef layout_of_def = {
    "_layout_of", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(layout_of)), METH_O,
    "_layout_of(obj)\n--\n\nThe identity of the object's attribute layout and whether it is "
    "shared, after checking its attributes. For tests."};

namespace py_indexable {

PyTypeObject* indexable_type() {
    if (indexable_type_cache == nullptr) {
        PyTypeObject* type = py::lazy_type(indexable_type_cache, &indexable_spec);
        type->tp_vectorcall = indexable_vectorcall;
    }
    return indexable_type_cache;
}

bool is_indexable(PyObject* obj) {
    return PyObject_TypeCheck(obj, indexable_type());
}

Indexable& expect_indexable(PyObject* obj) {
    py::expect_instance(obj, indexable_type(), "Indexable");
    return record(obj);
}

std::optional<uint32_t> id_of(PyObject* obj) {
    if (!is_indexable(obj))
        return std::nullopt;
    return record(obj).id;
}

py::BorrowFlag& object_lock(PyObject* obj) {
    return borrow(obj);
}

}  // namespace py_indexable

}  // namespace vorlane
