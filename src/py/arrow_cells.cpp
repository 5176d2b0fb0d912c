#include "py/arrow_cells.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <optional>

namespace vorlane {

namespace {

// Bytes a column of texts grows by at least: it doubles beyond that.
constexpr size_t kTextRoom = 4096;

// The kind a column of `seen` takes with a value of `next` (not Null);
// nothing when no kind holds both.
std::optional<ArrowKind> join_kinds(ArrowKind seen, ArrowKind next) {
    if (seen == next || seen == ArrowKind::Null)
        return next;
    bool numbers = (seen == ArrowKind::Int64 || seen == ArrowKind::Float64) &&
                   (next == ArrowKind::Int64 || next == ArrowKind::Float64);
    if (numbers)
        return ArrowKind::Float64;
    return std::nullopt;
}

uint64_t bits_of(double value) { return std::bit_cast<uint64_t>(value); }

// The value of an exact int, which a stored one always fits in 64 bits.
int64_t int64_of(PyObject* obj) {
    if (PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(obj)))
        return PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(obj));
    return PyLong_AsLongLong(obj);
}

}  // namespace

void ArrowColumnCells::push_null() {
    null_rows_.push_back(static_cast<uint32_t>(words_.size()));
    words_.push_back(kind_ == ArrowKind::Utf8 ? text_size_ : 0);
}

bool ArrowColumnCells::join(ArrowKind kind, const char* type, PyObject* obj) {
    std::optional<ArrowKind> joined = join_kinds(kind_, kind);
    if (!joined) {
        refused_ = true;
        refusal_ = ArrowRefusal{py::Ref::borrow(obj), first_type_};
        return false;
    }
    if (*joined == ArrowKind::Float64 && kind_ == ArrowKind::Int64) {
        // The ints read so far become floats, once.
        for (uint64_t& word : words_)
            word = bits_of(static_cast<double>(static_cast<int64_t>(word)));
    }
    if (first_type_ == nullptr)
        first_type_ = type;
    kind_ = *joined;
    return true;
}

void ArrowColumnCells::push_str(PyObject* obj) {
    Py_ssize_t size = 0;
    const char* text = nullptr;
    if (PyUnicode_IS_COMPACT_ASCII(obj)) {
        text = static_cast<const char*>(PyUnicode_DATA(obj));
        size = PyUnicode_GET_LENGTH(obj);
    } else {
        text = PyUnicode_AsUTF8AndSize(obj, &size);  // cached: read, not made
    }
    auto bytes = static_cast<size_t>(size);
    if (bytes != 0) {  // an empty str may have no room to copy from or to
        if (text_size_ + bytes > text_.size())
            text_.resize(std::max(2 * text_.size(), text_size_ + bytes + kTextRoom));
        std::memcpy(text_.data() + text_size_, text, bytes);
        text_size_ += bytes;
    }
    words_.push_back(text_size_);
}

void ArrowColumnCells::push(PyObject* obj) {
    if (refused_)
        return;
    if (obj == nullptr || obj == Py_None) {
        push_null();
        return;
    }
    // A column mostly holds one kind: its values go in before any joining.
    PyTypeObject* type = Py_TYPE(obj);
    if (type == &PyFloat_Type) {
        if (kind_ == ArrowKind::Float64 || join(ArrowKind::Float64, "float", obj))
            words_.push_back(bits_of(PyFloat_AS_DOUBLE(obj)));
    } else if (type == &PyLong_Type) {
        if (kind_ != ArrowKind::Int64 && !join(ArrowKind::Int64, "int", obj))
            return;
        int64_t value = int64_of(obj);
        words_.push_back(kind_ == ArrowKind::Float64 ? bits_of(static_cast<double>(value))
                                                     : static_cast<uint64_t>(value));
    } else if (type == &PyUnicode_Type) {
        if (kind_ == ArrowKind::Utf8 || join(ArrowKind::Utf8, "str", obj))
            push_str(obj);
    } else if (type == &PyBool_Type) {
        if (kind_ == ArrowKind::Boolean || join(ArrowKind::Boolean, "bool", obj))
            words_.push_back(obj == Py_True ? 1 : 0);
    } else {
        refused_ = true;
        refusal_ = ArrowRefusal{py::Ref::borrow(obj), nullptr};
    }
}

}  // namespace vorlane
