#include "bindings/indexable.hpp"

#include <algorithm>

#include "bindings/pickling.hpp"
#include "engine/attribute_maps.hpp"
#include "engine/id_allocator.hpp"
#include "py/args.hpp"
#include "py/gil.hpp"
#include "py/index_record.hpp"
#include "py/name_cache.hpp"
#include "py/ref.hpp"
#include "py/type.hpp"

namespace vorlane {

uint32_t Indexable::next_id() {
    return object_ids().take();
}

void Indexable::add_index(IndexMeta meta) {
    memberships.add(meta.lock(), default_index_record().get());
}

void Indexable::remove_index(const IndexRecord* removed) {
    memberships.remove(removed);
}

absl::InlinedVector<std::shared_ptr<IndexRecord>, kInlineMemberships>
Indexable::resolve_memberships() const {
    return memberships.resolve();
}

}  // namespace vorlane

// ---------------------------------------------------------------------------
// The Python class.

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

// Converts the keyword arguments of a construction, in dictionary order.
ObjectAttributes attributes_from_kwargs(PyObject* kwargs) {
    ObjectAttributes attributes;
    if (kwargs == nullptr)
        return attributes;
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
    return attributes;
}

// Values converted for a construction before they are placed: as many as
// common records have, without allocating.
using ValueList = absl::InlinedVector<PyValue, ObjectAttributes::kInlineValues>;

// Converts the keyword arguments of a vectorcall, in call order (the order a
// dictionary of them would have). A call site passes the same names each
// time, so their layout is usually known and only the values are converted.
ObjectAttributes attributes_from_keywords(PyObject* const* values, PyObject* kwnames) {
    if (kwnames == nullptr)
        return ObjectAttributes();
    Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
    if (AttrLayout* layout = keyword_layout(kwnames)) {
        ValueList converted;
        converted.reserve(count);
        for (Py_ssize_t i = 0; i < count; ++i)
            converted.push_back(PyValue::from_borrowed(values[i]));
        return ObjectAttributes(layout, std::span<PyValue>(converted.data(), converted.size()));
    }
    ObjectAttributes attributes;
    for (Py_ssize_t i = 0; i < count; ++i)
        add_keyword(attributes, PyTuple_GET_ITEM(kwnames, i), Py_NewRef(values[i]));
    return attributes;
}

bool may_form_cycle(const ObjectAttributes& attributes) {
    for (ObjectAttributes::Entry attr : attributes) {
        if (attr.value.may_form_cycle())
            return true;
    }
    return false;
}

PyObject* new_indexable(PyTypeObject* type, ObjectAttributes attributes) {
    // An object of this class whose values cannot form a cycle is left to
    // reference counting alone, as the interpreter does with tuples and
    // dicts of atomic values: the cycle collector then never visits the
    // millions of objects an index holds. It is tracked again when it is
    // assigned a value that could close a cycle. A subclass instance may
    // carry a dict of its own, so it stays tracked.
    bool untrack = type == py_indexable::indexable_type() && !may_form_cycle(attributes);
    Indexable value;
    value.attributes = std::move(attributes);
    // The id is taken only once every value converted, so a failed
    // creation uses none.
    value.id = Indexable::next_id();
    PyObject* self = py::make_instance(type, std::move(value));
    if (untrack)
        PyObject_GC_UnTrack(self);
    return self;
}

PyObject* indexable_new(PyTypeObject* type, PyObject* /*args*/, PyObject* kwargs) {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        return new_indexable(type, attributes_from_kwargs(kwargs));
    });
}

// `Indexable(...)` through the vectorcall protocol: the keywords are read from
// the call itself, with no dictionary built for them. Positional arguments are
// ignored, as by `indexable_new`. Set on this class only (the field is not
// inherited), so a subclass, which may define `__init__`, is created through
// `tp_new` and `tp_init` as usual; for this class `tp_init` does nothing.
PyObject* indexable_vectorcall(PyObject* type, PyObject* const* args, size_t nargsf,
                               PyObject* kwnames) {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* const* keyword_values = args + PyVectorcall_NARGS(nargsf);
        return new_indexable(reinterpret_cast<PyTypeObject*>(type),
                             attributes_from_keywords(keyword_values, kwnames));
    });
}

PyObject* indexable_repr(PyObject* self) {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        py::SharedBorrow use(borrow(self));
        return PyUnicode_FromFormat("<MyClass with %zu attributes>",
                                    record(self).attributes.size());
    });
}

// The own attribute `name`, as a new reference, or null when the object has
// none. No index lock is taken: the indexes' locks guard their maps, not this
// object's own storage, which changes only under the object's exclusive use
// (an assignment stores its value last, attached, after every index moved).
PyObject* own_attribute(PyObject* self, PyObject* name) {
    // Resolved before the use begins: the cache may release a str.
    py::NameLookup lookup = py::look_up_name(name);
    py::BriefSharedUse use(borrow(self), py::BorrowFailure::Panic);
    if (!lookup.encodable)
        py::raise_error(PyExc_AttributeError, "Invalid attribute name");
    // A name never interned is held by no object.
    const PyValue* value = lookup.name ? record(self).find(*lookup.name) : nullptr;
    return value ? Py_NewRef(value->obj()) : nullptr;
}

// Every read that the fast path in `indexable_getattro` does not answer:
// kept out of line, so that the fast path saves no registers for it.
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

// The common read is answered by a path that cannot fail: an instance of
// this class not in exclusive use, read with the very str its layout keeps
// for the name (code passes the interned str of the name, and so does every
// call site's keywords). Whenever any of that does not hold, the full path
// decides. As for `own_attribute`, no index lock is needed.
PyObject* indexable_getattro(PyObject* self, PyObject* name) {
    // An instance of this class or of a subclass that keeps this slot: the
    // slot is inherited only from this class, so its presence is the type
    // check, and it costs no call.
    if (Py_TYPE(self)->tp_getattro == indexable_getattro) {
        py::BriefSharedUse use(borrow(self), std::nothrow);
        if (use.active()) {
            const ObjectAttributes& attributes = record(self).attributes;
            size_t pos = attributes.layout().find_str(name);
            if (pos != AttrLayout::kNotFound)
                return Py_NewRef(attributes.value(pos).obj());
        }
    }
    return getattro_full(self, name);
}

// Moves the object's id from `old_value` to `new_value` in every index it
// belongs to, one index at a time.
//
// One object's move takes about as long as releasing and retaking the
// interpreter lock, so an index lock that is free is taken and the work done
// attached. Only a lock that is held elsewhere is waited for, and that wait
// is detached, as before: its holder may be a long detached operation (a bulk
// addition) during which other threads should run, and a holder that needed
// the interpreter before releasing would otherwise wait for us forever.
// Holding the lock attached cannot deadlock: the update runs no Python code,
// blocks on nothing and holds one index lock at a time, so whoever waits for
// the lock waits only for that work (with a global interpreter lock, no other
// thread even runs Python code meanwhile). References dropped before the last
// index is done are released on leaving, as after a detached region.
void update_memberships(const Indexable& object, AttrName name, const ValueKey& old_value,
                        const ValueKey& new_value) {
    auto records = object.resolve_memberships();
    if (records.empty())
        return;
    py::NoPythonRegion no_python;
    for (const auto& index : records) {
        if (auto maps = LockedMaps::WriteGuard::try_acquire(*index->maps)) {
            update_index(**maps, name, old_value, new_value, object.id);
            continue;
        }
        py::ScopedDetach detached;
        LockedMaps::WriteGuard maps(*index->maps);
        update_index(*maps, name, old_value, new_value, object.id);
    }
}

int indexable_setattro(PyObject* self, PyObject* name, PyObject* value) {
    return py::guard<int>(-1, [&]() -> int {
        if (value == nullptr)
            py::raise_error(PyExc_AttributeError, "can't delete attribute");
        std::optional<PyValue> replaced;
        {
            py::ExclusiveBorrow use(borrow(self));
            require_name_string(name);
            AttrName attr = py::interned_name(name);
            // Converted before any index is touched: a value that cannot be
            // converted leaves the object and its indexes as they were.
            PyValue converted = PyValue::from_borrowed(value);
            if (!PyObject_GC_IsTracked(self) && converted.may_form_cycle())
                PyObject_GC_Track(self);
            Indexable& object = record(self);
            if (const PyValue* old = object.find(attr)) {
                update_memberships(object, attr, old->key(), converted.key());
            }
            replaced = object.attributes.set(attr, name, std::move(converted));
        }
        // The old value is dropped after the borrow ends: its last reference
        // can run a __del__ that reads this object.
        replaced.reset();
        return 0;
    });
}

PyObject* indexable_dir(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    static const py::Signature sig{.name = "Indexable.__dir__"};
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        py::parse_arguments(sig, args, nargs, kwnames);
        py::Ref names;
        {
            py::SharedBorrow use(borrow(self));
            const Indexable& object = record(self);
            names = py::Ref::steal(py::check(PyList_New(0)));
            // The layout keeps a str of each name: listed as they are.
            const AttrLayout& layout = object.attributes.layout();
            for (size_t pos = 0; pos < layout.size(); ++pos)
                py::check_status(PyList_Append(names.get(), layout.str(pos)));
        }
        py::Ref builtins = py::Ref::steal(py::check(PyImport_ImportModule("builtins")));
        py::Ref object_type =
            py::Ref::steal(py::check(PyObject_GetAttrString(builtins.get(), "object")));
        py::Ref defaults =
            py::Ref::steal(py::check(PyObject_CallMethod(object_type.get(), "__dir__", "O", self)));
        if (!PyList_Check(defaults.get()))
            py::raise_conversion_error(defaults.get(), "PyList");
        Py_ssize_t n = PyList_GET_SIZE(defaults.get());
        for (Py_ssize_t i = 0; i < n; ++i)
            py::check_status(PyList_Append(names.get(), PyList_GET_ITEM(defaults.get(), i)));
        return names.release();
    });
}

PyObject* reduce_method(PyObject* self, PyObject*) {
    return indexable_reduce(self);
}

// The object itself and what its attributes hold beyond it: the values past
// the inline ones and a private layout. A shared layout belongs to no object.
PyObject* sizeof_method(PyObject* self, PyObject*) {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        py::SharedBorrow use(borrow(self));
        const ObjectAttributes& attributes = record(self).attributes;
        size_t total = static_cast<size_t>(Py_TYPE(self)->tp_basicsize) +
                       attributes.spilled_bytes() + attributes.private_layout_bytes();
        return PyLong_FromSize_t(total);
    });
}

// `_layout_of(obj)`: (identity of the layout, whether it is shared), after
// checking the object's attributes. For tests.
PyObject* layout_of(PyObject*, PyObject* obj) {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        const Indexable& object = py_indexable::expect_indexable(obj);
        py::SharedBorrow use(borrow(obj));
        object.attributes.validate();
        const AttrLayout& layout = object.attributes.layout();
        return py::check(Py_BuildValue("(NO)", PyLong_FromVoidPtr(const_cast<AttrLayout*>(&layout)),
                                       layout.is_shared() ? Py_True : Py_False));
    });
}

// Each attribute's value owns its own reference to its object, so visiting
// them counts every reference exactly once (`obj.me = obj` is collectable).
int indexable_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    for (ObjectAttributes::Entry attr : record(self).attributes)
        Py_VISIT(attr.value.obj());
    return 0;
}

// Breaks a cycle by dropping the attributes. An object in use elsewhere is
// reachable and left alone.
int indexable_clear(PyObject* self) {
    py::BorrowFlag& flag = borrow(self);
    if (!flag.try_exclusive())
        return 0;
    ObjectAttributes dropped(std::move(record(self).attributes));
    flag.end_exclusive();
    return 0;  // `dropped` releases the values here, after the borrow ended
}

// The object's id is given back once nothing refers to the object: no item
// table holds it (each holds a strong reference).
void indexable_dealloc(PyObject* self) {
    uint32_t id = record(self).id;
    py::dealloc_instance<Indexable>(self);
    object_ids().give_back(id);
}

PyMethodDef indexable_methods[] = {
    {"__dir__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(indexable_dir)),
     METH_FASTCALL | METH_KEYWORDS, "__dir__($self)\n--\n\n"},
    {"__reduce__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(reduce_method)),
     METH_NOARGS, "Pickling support: the class and the attributes of the object."},
    {"__setstate__",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(indexable_setstate)), METH_O,
     "Pickling support: restores the attributes of the object."},
    {"__sizeof__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(sizeof_method)),
     METH_NOARGS,
     "Size of the object in bytes, with the attribute values it holds outside itself."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot indexable_slots[] = {
    {Py_tp_doc, const_cast<char*>("Indexable(*_args, **kwargs)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(indexable_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(indexable_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(indexable_repr)},
    {Py_tp_getattro, reinterpret_cast<void*>(indexable_getattro)},
    {Py_tp_setattro, reinterpret_cast<void*>(indexable_setattro)},
    {Py_tp_methods, indexable_methods},
    {Py_tp_traverse, reinterpret_cast<void*>(indexable_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(indexable_clear)},
    {0, nullptr},
};

PyType_Spec indexable_spec = {
    .name = "builtins.Indexable",
    .basicsize = sizeof(Instance),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    .slots = indexable_slots,
};

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

py::BorrowFlag& borrow_flag(PyObject* obj) {
    return borrow(obj);
}

}  // namespace py_indexable

}  // namespace vorlane
