#pragma once
// Arrow columns from the attribute values read into cells (py/arrow_cells.hpp),
// built with nanoarrow: a struct array of one child per attribute name, and its
// schema, handed out through the Arrow PyCapsule interface.
//
// A column's type follows its values: exact ints only give int64, ints and
// floats float64 (NaN stays NaN), str utf8, bool boolean; a missing
// attribute or None is a null entry, and a column of nothing else has the
// null type. Any other value, or a mix that no one type holds, is a
// TypeError naming the attribute and the type.

#include <Python.h>

#include <cstdint>
#include <string>
#include <vector>

#include "py/arrow_cells.hpp"

namespace vorlane {

struct ArrowColumns {
    std::vector<std::string> names;
    ArrowCells values;
};

// The columns of `values`, named `names`; the TypeError above for a value
// a column refused (the first column's that refused one).
ArrowColumns type_arrow_columns(std::vector<std::string> names, ArrowCells values);

// A capsule "arrow_schema" holding the struct schema of the columns.
PyObject* arrow_schema_capsule(const ArrowColumns& columns);
// A capsule "arrow_array_stream" holding a stream of one struct array of
// the columns' values.
PyObject* arrow_stream_capsule(const ArrowColumns& columns);

}  // namespace vorlane
