#pragma once
// Pickling of `Indexable` and `Index`, and the memory figures of an index.
//
// An Indexable pickles as its class and its attributes; unpickling makes a
// new object (with a new id, since ids belong to a process). An Index pickles
// as the list of its objects and, for each attribute map, which of those
// objects it lists in the value sets and which in the ordered tree, so that an
// unpickled index answers exactly as the original did (also after `reduce`
// narrowed its sets). Objects shared by several pickled indexes stay shared,
// as pickle keeps one copy of each object. Both pickle as an empty instance
// first and their state after it, so cycles through the objects (an object
// that holds its own index) round-trip.

#include <Python.h>

namespace vorlane {

// Indexable.__reduce__() and Indexable.__setstate__(state).
PyObject* indexable_reduce(PyObject* self);
PyObject* indexable_setstate(PyObject* self, PyObject* state);

// Index.__reduce__() and Index.__setstate__(state).
PyObject* index_reduce(PyObject* self);
PyObject* index_setstate(PyObject* self, PyObject* state);

// The module function `_restore(kind)` that unpickling calls to make the
// empty instance whose state it then sets (`_restore(kind, state)` in pickles
// of earlier releases): `kind` is "Index", "Indexable" or a subclass of
// Indexable. The module's classes report "builtins" as their module, so
// pickle cannot find them by name.
extern PyMethodDef restore_def;

// Index.memory_usage(): a dict of the bytes held by the item table, the value
// maps, the id sets and the ordered trees, with their total.
PyObject* index_memory_usage(PyObject* self);
// The total of `index_memory_usage`, for __sizeof__.
size_t index_memory_total(PyObject* self);

}  // namespace vorlane
