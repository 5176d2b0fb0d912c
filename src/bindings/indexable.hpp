#pragma once
// The Python class `Indexable`: an object whose attributes the module holds
// itself. Its record is in py/indexable_record.hpp; how an assignment keeps
// the object's indexes in step is in assignment.hpp.

#include <Python.h>

#include <cstdint>
#include <optional>

#include "py/borrow.hpp"
#include "py/indexable_record.hpp"

namespace vorlane {

// The module function `_layout_of(obj)`, for tests: the identity of the
// object's attribute layout and whether it is shared, after validating the
// object's attributes.
extern PyMethodDef layout_of_def;

}  // namespace vorlane

namespace vorlane::py_indexable {

// The `Indexable` class, created on first use.
PyTypeObject* indexable_type();
// The record of `obj`, or the conversion error naming "Indexable".
Indexable& expect_indexable(PyObject* obj);
bool is_indexable(PyObject* obj);
// The id of `obj` when it is an `Indexable`, else nothing. Ids never change,
// so no borrow is needed.
std::optional<uint32_t> id_of(PyObject* obj);
// The lock of `obj`'s attributes and memberships (py/object_lock.hpp).
py::BorrowFlag& object_lock(PyObject* obj);

}  // namespace vorlane::py_indexable
