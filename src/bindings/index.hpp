#pragma once
// The Python class `Index`: a collection of `Indexable` objects with one
// attribute map per attribute name, wrapping one shared index record.

#include <Python.h>

#include <memory>

#include "py/borrow.hpp"
#include "py/index_record.hpp"

namespace vorlane::py_index {

// The `Index` class, created on first use.
PyTypeObject* index_type();
// A new Python `Index` wrapping `record`.
PyObject* wrap_record(std::shared_ptr<IndexRecord> record);
// The record of a Python `Index` (type already checked).
const std::shared_ptr<IndexRecord>& record_of_index(PyObject* self);
py::BorrowFlag& borrow_of_index(PyObject* self);

}  // namespace vorlane::py_index
