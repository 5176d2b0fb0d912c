#pragma once
// Helpers for the module's heap types: a Python object that wraps exactly one
// C++ record, constructed in place and destroyed in its dealloc slot.

#include <Python.h>

#include <array>
#include <cstddef>
#include <new>
#include <utility>

#include "py/borrow.hpp"
#include "py/errors.hpp"
#include "py/joined_table.hpp"

namespace vorlane::py {

// Layout of every instance: the object header, the borrow state, the record.
// A record may keep the borrow state itself, as its field `borrow`, to pack
// it with a field of its own; its class then specializes `Instance` as the
// header and the record alone (see py/indexable_record.hpp).
template <typename Record>
struct Instance {
    PyObject_HEAD BorrowFlag borrow;
    Record record;
};

// Whether the record of `Inst` keeps the borrow state.
template <typename Inst>
constexpr bool kRecordKeepsBorrow = !requires(Inst& inst) { inst.borrow; };

template <typename Record>
Record& record_of(PyObject* self) {
    return reinterpret_cast<Instance<Record>*>(self)->record;
}
template <typename Record>
BorrowFlag& borrow_of(PyObject* self) {
    auto* inst = reinterpret_cast<Instance<Record>*>(self);
    if constexpr (kRecordKeepsBorrow<Instance<Record>>) {
        return inst->record.borrow;
    } else {
        return inst->borrow;
    }
}

// Allocates an instance of `type`, its record not made yet.
template <typename Record>
Instance<Record>* allocate_instance(PyTypeObject* type) {
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr)
        throw ErrorAlreadySet{};
    auto* inst = reinterpret_cast<Instance<Record>*>(self);
    if constexpr (!kRecordKeepsBorrow<Instance<Record>>)
        new (&inst->borrow) BorrowFlag();
    return inst;
}

// Allocates an instance of `type` and moves `record` into it.
template <typename Record>
PyObject* make_instance(PyTypeObject* type, Record&& record) {
    auto* inst = allocate_instance<std::decay_t<Record>>(type);
    new (&inst->record) std::decay_t<Record>(std::forward<Record>(record));
    return reinterpret_cast<PyObject*>(inst);
}

// Allocates an instance of `type` whose aggregate record takes `members`
// directly, with no record moved in.
template <typename Record, typename... Members>
PyObject* emplace_instance(PyTypeObject* type, Members&&... members) {
    auto* inst = allocate_instance<Record>(type);
    new (&inst->record) Record{std::forward<Members>(members)...};
    return reinterpret_cast<PyObject*>(inst);
}

// tp_dealloc of a heap type wrapping `Record`.
template <typename Record>
void dealloc_instance(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    if (PyType_IS_GC(type))
        PyObject_GC_UnTrack(self);
    auto* inst = reinterpret_cast<Instance<Record>*>(self);
    inst->record.~Record();
    if constexpr (!kRecordKeepsBorrow<Instance<Record>>)
        inst->borrow.~BorrowFlag();
    type->tp_free(self);
    Py_DECREF(type);
}

// `self` as an instance of `type` (or a subclass), or the conversion error
// "'<type>' object cannot be converted to '<name>'".
inline PyObject* expect_instance(PyObject* obj, PyTypeObject* type, const char* name) {
    if (!PyObject_TypeCheck(obj, type))
        raise_conversion_error(obj, name);
    return obj;
}

// tp_new of a class that cannot be built from Python.
PyObject* no_constructor(PyTypeObject* type, PyObject* args, PyObject* kwargs);

// Entries of a class's slot table, and its `PyType_Spec`: every class declares them
// this way, so the casts to the C API's types live here.
template <typename Target>
PyType_Slot slot(int id, Target* target) {
    return {id, reinterpret_cast<void*>(target)};
}
inline PyType_Slot doc_slot(const char* doc) {
    return {Py_tp_doc, const_cast<char*>(doc)};
}
// The entry that ends a slot table.
inline constexpr PyType_Slot kEndOfSlots = {0, nullptr};
// A slot table made of `runs` of entries, in order, then its end.
template <std::size_t... Sizes>
std::array<PyType_Slot, (Sizes + ... + 1)> slot_table(
    const std::array<PyType_Slot, Sizes>&... runs) {
    return joined_table(kEndOfSlots, runs...);
}

// The `PyType_Spec` of a class named `name` ("builtins.<class>") whose instances
// wrap `Record`.
template <typename Record>
PyType_Spec spec_of(const char* name, unsigned int flags, PyType_Slot* slots) {
    return {.name = name,
            .basicsize = static_cast<int>(sizeof(Instance<Record>)),
            .itemsize = 0,
            .flags = flags,
            .slots = slots};
}

// Creates a heap type from its slot table once per process; later calls
// return the same type object. Returns a borrowed reference, or throws.
PyTypeObject* lazy_type(PyTypeObject*& cache, PyType_Spec* spec);

}  // namespace vorlane::py
