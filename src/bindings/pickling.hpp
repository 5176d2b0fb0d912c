#pragma once
// Pickling of `Indexable` and `Index`.
//
// An Indexable pickles as its class and its attributes; unpickling makes a
// new object (with a new id, since ids belong to a process). An Index pickles
// as the list of its objects and, for each attribute map, which of those
// objects it lists in the value sets and which in the ordered tree, so that an
// unpickled index answers exactly as the original did (also after `reduce`
// narrowed its sets). Objects shared by several pickled indexes stay shared,
// as pickle keeps one copy of each object.

#include <Python.h>

namespace vorlane {

// Both work on the records the instances wrap (py/indexable_record.hpp,
// py/index_record.hpp); what only the classes know comes as arguments.
// Unpickling calls the module function `_restore(kind, state)` (module.cpp).

// Indexable.__reduce__() and Indexable.__setstate__(state). `exact_class`:
// `self` is an Indexable, not of a subclass.
PyObject* indexable_reduce(PyObject* self, bool exact_class);
PyObject* indexable_setstate(PyObject* self, PyObject* state);

// Index.__reduce__() and Index.__setstate__(state); the state's objects must
// be instances of `indexable_type`.
PyObject* index_reduce(PyObject* self);
PyObject* index_setstate(PyObject* self, PyObject* state, PyTypeObject* indexable_type);

}  // namespace vorlane
