#pragma once
// Attribute values of selected objects, copied out from under the locks.
//
// A grid has one row per selected object, in ascending id order, and one
// cell per attribute name asked for: a strong reference to the value the
// object holds, or null where it has no such attribute. It is filled under
// the item table's read lock, where a cell is taken with Py_INCREF alone
// (which runs no Python code and allocates nothing), and read once the lock
// is given back, to build the Python or Arrow results.

#include <Python.h>

#include <cstddef>
#include <utility>
#include <vector>

namespace vorlane {

class ValueGrid {
  public:
    explicit ValueGrid(size_t width) : width_(width) {}
    ~ValueGrid() {
        for (PyObject* cell : cells_)
            Py_XDECREF(cell);
    }
    ValueGrid(ValueGrid&& other) noexcept
        : width_(other.width_), cells_(std::exchange(other.cells_, {})) {}
    ValueGrid& operator=(ValueGrid&&) = delete;
    ValueGrid(const ValueGrid&) = delete;
    ValueGrid& operator=(const ValueGrid&) = delete;

    // Room for `rows` rows, taken before the lock: an upper bound, not a
    // promise (objects removed since a view was made leave no row).
    void reserve(size_t rows) { cells_.reserve(rows * width_); }
    // Appends a cell, taking over the reference `value` (null: no value).
    void push(PyObject* value) { cells_.push_back(value); }

    size_t width() const { return width_; }
    size_t rows() const { return width_ == 0 ? 0 : cells_.size() / width_; }
    // The value of column `column` in row `row`, borrowed; null when the
    // object had no such attribute.
    PyObject* at(size_t row, size_t column) const { return cells_[row * width_ + column]; }
    // Hands the reference of a cell to the caller; the cell becomes null.
    PyObject* take(size_t row, size_t column) {
        return std::exchange(cells_[row * width_ + column], nullptr);
    }

  private:
    size_t width_;
    std::vector<PyObject*> cells_;
};

}  // namespace vorlane
