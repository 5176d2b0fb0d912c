#pragma once
// Attribute values of selected objects as the Arrow export needs them,
// copied out from under the locks: one cell per object and attribute name,
// row by row in ascending id order.
//
// A cell holds the value natively where it can (an exact int, a float, a
// bool, nothing for None or a missing attribute), so that typing the
// columns and filling them reads no Python object; a str keeps a strong
// reference to the object (its UTF-8 text is read once the lock is given
// back), and so does a value no column type holds, for the error that names
// its type. Filled under the item table's read lock: a cell is taken with
// Py_INCREF at most, which runs no Python code and allocates nothing.

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "py/value.hpp"

namespace vorlane {

enum class CellKind : uint8_t { Null, Int, Float, Bool, Str, Other };

struct ArrowCell {
    CellKind kind = CellKind::Null;
    union {
        int64_t int_value;
        double float_value;
        PyObject* object;  // Str and Other: a strong reference
    };
    ArrowCell() : int_value(0) {}
};

class ArrowCells {
  public:
    explicit ArrowCells(size_t width) : width_(width) {}
    ~ArrowCells() {
        for (ArrowCell& cell : cells_) {
            if (cell.kind == CellKind::Str || cell.kind == CellKind::Other)
                Py_DECREF(cell.object);
        }
    }
    ArrowCells(ArrowCells&& other) noexcept
        : width_(other.width_), cells_(std::exchange(other.cells_, {})) {}
    ArrowCells& operator=(ArrowCells&&) = delete;
    ArrowCells(const ArrowCells&) = delete;
    ArrowCells& operator=(const ArrowCells&) = delete;

    // Room for `rows` rows, taken before the lock: an upper bound, not a
    // promise (objects removed since a view was made leave no row).
    void reserve(size_t rows) { cells_.reserve(rows * width_); }

    // Appends the cell of `value` (null: a missing attribute).
    void push(const PyValue* value) {
        ArrowCell cell;
        if (value != nullptr)
            fill(cell, value->obj(), *value);
        cells_.push_back(cell);
    }

    size_t width() const { return width_; }
    size_t rows() const { return width_ == 0 ? 0 : cells_.size() / width_; }
    const ArrowCell& at(size_t row, size_t column) const { return cells_[row * width_ + column]; }

  private:
    static void fill(ArrowCell& cell, PyObject* obj, const PyValue& value) {
        PyTypeObject* type = Py_TYPE(obj);
        if (type == &PyLong_Type) {
            cell.kind = CellKind::Int;
            cell.int_value = value.key().int_value;  // stored ints fit in 64 bits
        } else if (type == &PyFloat_Type) {
            cell.kind = CellKind::Float;
            cell.float_value = PyFloat_AS_DOUBLE(obj);
        } else if (type == &PyBool_Type) {
            cell.kind = CellKind::Bool;
            cell.int_value = obj == Py_True;
        } else if (obj == Py_None) {
            cell.kind = CellKind::Null;
        } else {
            cell.kind = type == &PyUnicode_Type ? CellKind::Str : CellKind::Other;
            cell.object = Py_NewRef(obj);
        }
    }

    size_t width_;
    std::vector<ArrowCell> cells_;
};

}  // namespace vorlane
