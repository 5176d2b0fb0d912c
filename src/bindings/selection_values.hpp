#pragma once
// The methods that `Index` and `FilteredIndex` share which read the
// attribute values of the selected objects: `columns`, `records`, `sum`,
// `mean`, `value_counts` of several names and `to_arrow`, registered by
// `SharedMethods` (selection.hpp).
//
// They read the values under the item table's read lock, as `collect` reads
// the objects, and copy no more than references and native numbers there
// (py/value_grid.hpp): no Python code runs and no Python object is made
// while the lock is held. The results are built once it is given back.

#include <Python.h>

#include <cstddef>
#include <optional>

#include "py/args.hpp"

namespace vorlane {

struct CountedKeys;
struct Scope;

PyObject* scope_columns(const Scope& scope, const py::Arguments& args);
PyObject* scope_records(const Scope& scope, const py::Arguments& args);
// `sum` and, when `mean`, `mean`.
PyObject* scope_sum(const Scope& scope, const py::Arguments& args, bool mean);
// `value_counts` given a tuple of names: counts of the tuples of their keys.
void scope_tuple_counts(const Scope& scope, PyObject* names, std::optional<size_t> limit,
                        CountedKeys& counted);
PyObject* scope_to_arrow(const Scope& scope, const py::Arguments& args);

}  // namespace vorlane
