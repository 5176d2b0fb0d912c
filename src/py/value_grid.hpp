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

#include "engine/panic.hpp"

namespace vorlane {

class ValueGrid {
  public:
    // Room for `room` rows, taken before the lock: an upper bound, not a
    // promise (objects removed since a view was made leave no row).
    ValueGrid(size_t width, size_t room) : width_(width), room_(room), cells_(width * room) {}
    ~ValueGrid() {
        for (PyObject* cell : cells_)
            Py_XDECREF(cell);
    }
    ValueGrid(ValueGrid&& other) noexcept
        : width_(other.width_),
          room_(other.room_),
          rows_(other.rows_),
          cells_(std::exchange(other.cells_, {})) {}
    ValueGrid& operator=(ValueGrid&&) = delete;
    ValueGrid(const ValueGrid&) = delete;
    ValueGrid& operator=(const ValueGrid&) = delete;

    // Where the cells of column `column` from the next row on lie, room for
    // `rows` more rows checked: the caller writes new references (or nulls)
    // there and then counts them with `add_rows`.
    PyObject** next_cells(size_t column, size_t rows) {
        if (rows_ + rows > room_)
            panic("a grid was given more rows than its room");
        return cells_.data() + column * room_ + rows_;
    }
    void add_rows(size_t rows) { rows_ += rows; }

    size_t width() const { return width_; }
    size_t rows() const { return rows_; }
    // The value of column `column` in row `row`, borrowed; null when the
    // object had no such attribute.
    PyObject* at(size_t row, size_t column) const { return cells_[column * room_ + row]; }

  private:
    size_t width_;
    size_t room_;
    size_t rows_ = 0;
    std::vector<PyObject*> cells_;  // column by column, `room_` apart
};

}  // namespace vorlane
