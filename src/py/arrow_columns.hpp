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

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "py/arrow_cells.hpp"

namespace vorlane {

// What an export holds: the cells of its parts, one batch of the stream
// each in row order, typed alike.
struct ArrowColumns {
    std::vector<std::string> names;
    std::vector<ArrowCells> parts;
    std::vector<ArrowKind> kinds;  // each column's, over every part
    size_t rows() const;
};

// Whether parts read apart can be typed alike: none refused a value or ran
// out of 32-bit offsets, and each column's kinds join. When they cannot,
// the selection is read again in one part, which finds the value a single
// reading refuses first.
bool arrow_parts_agree(const std::vector<ArrowCells>& parts);

// The columns of `parts` (which agree, when more than one), named `names`;
// the TypeError above for a value a column refused (the first column's
// that refused one), and OverflowError for a text column whose bytes pass
// its 32-bit offsets.
std::shared_ptr<const ArrowColumns> type_arrow_columns(std::vector<std::string> names,
                                                       std::vector<ArrowCells> parts);

// A capsule "arrow_schema" holding the struct schema of the columns.
PyObject* arrow_schema_capsule(const ArrowColumns& columns);
// A capsule "arrow_array_stream" holding a stream of one struct array per
// part. The arrays point into the columns' buffers, which they keep alive:
// no value is copied.
PyObject* arrow_stream_capsule(const std::shared_ptr<const ArrowColumns>& columns);

}  // namespace vorlane
