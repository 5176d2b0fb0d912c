#pragma once
// Attribute values of selected objects as the Arrow export needs them,
// copied out from under the locks in one pass, row by row in ascending id
// order, each column typed as its values come.
//
// A column keeps one 8-byte word per row: an int64, a float64's bits or a
// bool's 0/1 (0 for a null), or, for a column of strs, where the row's text
// ends in the column's UTF-8 bytes, which the str's own bytes are appended
// to. So building the Arrow buffers later copies whole arrays, and no value
// is held beyond the lock. A column's kind follows its values: exact ints
// give int64, ints and floats float64 (the ints read so far turn to
// floats once), str utf8, bool boolean; None or a missing attribute is a
// null. The first value that no kind holds, alone or with what came
// before, is kept for the TypeError that names it; the column reads no
// further. Filled under the item table's read lock: nothing here runs
// Python code or allocates a Python object (a str's UTF-8 form is cached
// when it is assigned, and a refused value is only referenced).

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "py/ref.hpp"
#include "py/value.hpp"

namespace vorlane {

enum class ArrowKind : uint8_t { Null, Int64, Float64, Utf8, Boolean };

// The first value a column refused: its type had no Arrow kind, or no kind
// holds it with the first value (`seen`, a type name) read before it.
struct ArrowRefusal {
    py::Ref value;
    const char* seen = nullptr;  // null when the value's type has no kind
};

class ArrowColumnCells {
  public:
    void reserve(size_t rows) { words_.reserve(rows); }
    // Appends the value of the next row (null: a missing attribute).
    void push(PyObject* obj);

    ArrowKind kind() const { return kind_; }
    size_t rows() const { return words_.size(); }
    const std::vector<uint64_t>& words() const { return words_; }
    std::string_view text() const { return {text_.data(), text_size_}; }
    const std::vector<uint32_t>& null_rows() const { return null_rows_; }
    const ArrowRefusal* refusal() const { return refused_ ? &refusal_ : nullptr; }

  private:
    void push_null();
    // Takes a value of `kind`, `type` naming its type; false when refused.
    bool join(ArrowKind kind, const char* type, PyObject* obj);
    void push_str(PyObject* obj);

    ArrowKind kind_ = ArrowKind::Null;
    const char* first_type_ = nullptr;  // the type of the first value not None
    std::vector<uint64_t> words_;
    std::vector<char> text_;  // the texts, then room
    size_t text_size_ = 0;
    std::vector<uint32_t> null_rows_;
    bool refused_ = false;
    ArrowRefusal refusal_;
};

class ArrowCells {
  public:
    explicit ArrowCells(size_t width) : columns_(width) {}

    // Room for `rows` rows, taken before the lock: an upper bound, not a
    // promise (objects removed since a view was made leave no row).
    void reserve(size_t rows) {
        for (ArrowColumnCells& column : columns_)
            column.reserve(rows);
    }
    // Appends the value of the next column of the row being read (null: a
    // missing attribute), row by row.
    void push(const PyValue* value) {
        columns_[next_].push(value ? value->obj() : nullptr);
        if (++next_ == columns_.size()) {
            next_ = 0;
            ++rows_;
        }
    }

    size_t width() const { return columns_.size(); }
    size_t rows() const { return rows_; }
    const ArrowColumnCells& column(size_t i) const { return columns_[i]; }

  private:
    std::vector<ArrowColumnCells> columns_;
    size_t next_ = 0;  // the column the next value goes to
    size_t rows_ = 0;
};

}  // namespace vorlane
