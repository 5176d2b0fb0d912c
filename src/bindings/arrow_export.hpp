#pragma once
// The Python class `ArrowExport`: what `to_arrow` returns. It holds the
// selected objects' values of the asked attributes, typed as Arrow columns
// when it was made, and hands them out through the Arrow PyCapsule interface
// (`__arrow_c_schema__`, `__arrow_c_stream__`), which pyarrow, polars and
// DuckDB read without going through Python objects. Each stream it hands
// out points into the values it holds, so it can be read any number of
// times and copies nothing.

#include <Python.h>

#include <string>
#include <vector>

#include "py/arrow_cells.hpp"

namespace vorlane::py_arrow {

// The `ArrowExport` class, created on first use.
PyTypeObject* arrow_export_type();

// A new `ArrowExport` of the columns `names` of the `parts` read (which
// agree, when more than one); the TypeError of a value no Arrow column type
// holds (py/arrow_columns.hpp).
PyObject* make_arrow_export(std::vector<std::string> names, std::vector<ArrowCells> parts);

}  // namespace vorlane::py_arrow
