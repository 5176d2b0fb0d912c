#include "py/arrow_cells.hpp"

#include <algorithm>
#include <bit>
#include <climits>
#include <cstring>

namespace vorlane {

namespace {

// The most values one row of a part has without the interpreter: the kinds
// of a wider row are not kept on the stack, and the row is read attached.
constexpr size_t kDetachedWidth = 64;

uint64_t bits_of(double value) { return std::bit_cast<uint64_t>(value); }

// The value of an exact int, which a stored one always fits in 64 bits.
int64_t int64_of(PyObject* obj) {
    if (PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(obj)))
        return PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(obj));
    return PyLong_AsLongLong(obj);
}

// The kind of a value read without the interpreter, or nothing.
std::optional<ArrowKind> plain_kind(PyObject* obj) {
    if (obj == nullptr || obj == Py_None)
        return ArrowKind::Null;
    PyTypeObject* type = Py_TYPE(obj);
    if (type == &PyFloat_Type)
        return ArrowKind::Float64;
    if (type == &PyLong_Type) {
        if (PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(obj)))
            return ArrowKind::Int64;
        return std::nullopt;
    }
    if (type == &PyUnicode_Type) {
        if (PyUnicode_IS_COMPACT_ASCII(obj))
            return ArrowKind::Utf8;
        return std::nullopt;
    }
    if (type == &PyBool_Type)
        return ArrowKind::Boolean;
    return std::nullopt;
}

}  // namespace

std::optional<ArrowKind> join_arrow_kinds(ArrowKind seen, ArrowKind next) {
    if (seen == next || seen == ArrowKind::Null)
        return next;
    if (next == ArrowKind::Null)
        return seen;
    bool numbers = (seen == ArrowKind::Int64 || seen == ArrowKind::Float64) &&
                   (next == ArrowKind::Int64 || next == ArrowKind::Float64);
    if (numbers)
        return ArrowKind::Float64;
    return std::nullopt;
}

void ArrowColumnCells::push_null() {
    null_rows_.push_back(static_cast<uint32_t>(rows_));
    if (kind_ == ArrowKind::Utf8)
        offsets_.push_back(static_cast<int32_t>(text_.size()));
    else if (kind_ != ArrowKind::Null)
        words_.push_back(0);
    ++rows_;  // a column of nulls alone keeps no values
}

void ArrowColumnCells::become(ArrowKind kind) {
    if (kind == kind_)
        return;
    if (kind_ == ArrowKind::Int64 && kind == ArrowKind::Float64) {
        // The ints read so far become floats, once.
        for (size_t row = 0; row < rows_; ++row)
            words_[row] = bits_of(static_cast<double>(static_cast<int64_t>(words_[row])));
    } else if (kind_ == ArrowKind::Null && kind == ArrowKind::Utf8) {
        offsets_.reserve(std::max(room_, rows_) + 1);
        offsets_.append(rows_ + 1, 0);
    } else if (kind_ == ArrowKind::Null) {
        words_.reserve(std::max(room_, rows_));
        words_.append(rows_, 0);
    }
    kind_ = kind;
}

void ArrowColumnCells::refuse(PyObject* obj, const char* seen) {
    refused_ = true;
    refusal_ = ArrowRefusal{py::Ref::borrow(obj), seen};
}

bool ArrowColumnCells::join(ArrowKind kind, const char* type, PyObject* obj) {
    std::optional<ArrowKind> joined = join_arrow_kinds(kind_, kind);
    if (!joined) {
        refuse(obj, first_type_);
        return false;
    }
    if (first_type_ == nullptr)
        first_type_ = type;
    become(*joined);
    return true;
}

std::optional<ArrowKind> ArrowColumnCells::detached_kind(PyObject* obj) const {
    std::optional<ArrowKind> kind = plain_kind(obj);
    if (!kind || refused_ || overflowed_)
        return std::nullopt;
    if (*kind == kind_ || join_arrow_kinds(kind_, *kind))
        return kind;
    return std::nullopt;
}

void ArrowColumnCells::push_detached(PyObject* obj, ArrowKind kind) {
    if (kind == ArrowKind::Null) {
        push_null();
        return;
    }
    if (kind != kind_) {
        if (first_type_ == nullptr)
            first_type_ = Py_TYPE(obj)->tp_name;  // "int", "float", "str" or "bool"
        become(*join_arrow_kinds(kind_, kind));
    }
    switch (kind) {
        case ArrowKind::Float64:
            push_word(bits_of(PyFloat_AS_DOUBLE(obj)));
            break;
        case ArrowKind::Int64: {
            int64_t value = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(obj));
            push_word(kind_ == ArrowKind::Float64 ? bits_of(static_cast<double>(value))
                                                  : static_cast<uint64_t>(value));
            break;
        }
        case ArrowKind::Utf8:
            push_text(static_cast<const char*>(PyUnicode_DATA(obj)),
                      static_cast<size_t>(PyUnicode_GET_LENGTH(obj)));
            break;
        case ArrowKind::Boolean:
            push_word(obj == Py_True ? 1 : 0);
            break;
        case ArrowKind::Null:
            break;
    }
}

void ArrowColumnCells::push(PyObject* obj) {
    if (refused_ || overflowed_)
        return;
    if (obj == nullptr || obj == Py_None) {
        push_null();
        return;
    }
    // A column mostly holds one kind: its values go in before any joining.
    PyTypeObject* type = Py_TYPE(obj);
    if (type == &PyFloat_Type) {
        if (kind_ == ArrowKind::Float64 || join(ArrowKind::Float64, "float", obj))
            push_word(bits_of(PyFloat_AS_DOUBLE(obj)));
    } else if (type == &PyLong_Type) {
        if (kind_ != ArrowKind::Int64 && !join(ArrowKind::Int64, "int", obj))
            return;
        int64_t value = int64_of(obj);
        push_word(kind_ == ArrowKind::Float64 ? bits_of(static_cast<double>(value))
                                              : static_cast<uint64_t>(value));
    } else if (type == &PyUnicode_Type) {
        if (kind_ == ArrowKind::Utf8 || join(ArrowKind::Utf8, "str", obj)) {
            Py_ssize_t size = 0;
            const char* text = nullptr;
            if (PyUnicode_IS_COMPACT_ASCII(obj)) {
                text = static_cast<const char*>(PyUnicode_DATA(obj));
                size = PyUnicode_GET_LENGTH(obj);
            } else {
                text = PyUnicode_AsUTF8AndSize(obj, &size);  // cached: read, not made
            }
            push_text(text, static_cast<size_t>(size));
        }
    } else if (type == &PyBool_Type) {
        if (kind_ == ArrowKind::Boolean || join(ArrowKind::Boolean, "bool", obj))
            push_word(obj == Py_True ? 1 : 0);
    } else {
        refuse(obj, nullptr);
    }
}

void ArrowColumnCells::finish() {
    if (kind_ == ArrowKind::Boolean) {
        bits_.append((rows_ + 7) / 8, 0);
        for (size_t row = 0; row < rows_; ++row)
            bits_[row / 8] |= static_cast<uint8_t>((words_[row] != 0) << (row % 8));
        words_ = BulkArray<uint64_t>();
    }
    if (kind_ != ArrowKind::Null && !null_rows_.empty()) {
        validity_.append((rows_ + 7) / 8, 0xFF);
        for (uint32_t row : null_rows_)
            validity_[row / 8] &= static_cast<uint8_t>(~(1u << (row % 8)));
    }
}

std::span<const uint8_t> ArrowColumnCells::values() const {
    switch (kind_) {
        case ArrowKind::Utf8:
            return bytes_of(offsets_);
        case ArrowKind::Boolean:
            return bytes_of(bits_);
        default:
            return bytes_of(words_);
    }
}

void ArrowCells::push_row(std::span<PyObject* const> values) {
    for (size_t i = 0; i < columns_.size(); ++i) {
        if (!columns_[i].push_same_kind(values[i]))
            columns_[i].push(values[i]);
    }
    ++rows_;
}

bool ArrowCells::push_row_detached(std::span<PyObject* const> values) {
    bool same = true;
    for (size_t i = 0; i < columns_.size(); ++i)
        same &= columns_[i].same_kind(values[i]);
    if (same) {
        for (size_t i = 0; i < columns_.size(); ++i)
            columns_[i].push_same_kind(values[i]);
        ++rows_;
        return true;
    }
    if (columns_.size() > kDetachedWidth)
        return false;
    ArrowKind kinds[kDetachedWidth];
    for (size_t i = 0; i < columns_.size(); ++i) {
        std::optional<ArrowKind> kind = columns_[i].detached_kind(values[i]);
        if (!kind)
            return false;
        kinds[i] = *kind;
    }
    for (size_t i = 0; i < columns_.size(); ++i)
        columns_[i].push_detached(values[i], kinds[i]);
    ++rows_;
    return true;
}

}  // namespace vorlane
