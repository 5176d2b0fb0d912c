#include "py/arrow_cells.hpp"

#include <algorithm>
#include <bit>
#include <climits>
#include <cstring>

namespace vorlane {

namespace {

// Bytes of text a utf8 column takes room for per row, so that short texts
// never grow the buffer (growing copies it). Only address space: pages
// never written are never given memory.
constexpr size_t kTextRoomPerRow = 8;
// The most text a utf8 column holds: its offsets are 32-bit.
constexpr auto kMaxText = static_cast<size_t>(INT32_MAX);

// The most values one row of a part has without the interpreter: the kinds
// of a wider row are not kept on the stack, and the row is read attached.
constexpr size_t kDetachedWidth = 64;

uint64_t bits_of(double value) {
    return std::bit_cast<uint64_t>(value);
}

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

// The word of `obj` in a column of `Kind` when it is of that kind (or an
// int in a float column) and read without the interpreter; false otherwise.
template <ArrowKind Kind>
bool plain_word(PyObject* obj, uint64_t& word) {
    if constexpr (Kind == ArrowKind::Boolean) {
        word = obj == Py_True ? 1 : 0;
        return obj == Py_True || obj == Py_False;
    } else {
        PyTypeObject* type = Py_TYPE(obj);
        if (Kind == ArrowKind::Float64 && type == &PyFloat_Type) {
            word = bits_of(PyFloat_AS_DOUBLE(obj));
            return true;
        }
        auto* number = reinterpret_cast<PyLongObject*>(obj);
        if (type != &PyLong_Type || !PyUnstable_Long_IsCompact(number))
            return false;
        int64_t value = PyUnstable_Long_CompactValue(number);
        word = Kind == ArrowKind::Float64 ? bits_of(static_cast<double>(value))
                                          : static_cast<uint64_t>(value);
        return true;
    }
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
        text_.reserve(std::max(room_, rows_) * kTextRoomPerRow);
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

template <ArrowKind Kind>
size_t ArrowColumnCells::push_plain_words(PyObject* const* values, size_t n) {
    uint64_t* out = words_.extend(n);
    size_t first = rows_;  // a local: the words stored may alias a member
    size_t row = 0;
    for (; row < n; ++row) {
        PyObject* obj = values[row];
        if (plain_word<Kind>(obj, out[row]))
            continue;
        if (obj != Py_None)
            break;
        out[row] = 0;
        null_rows_.push_back(static_cast<uint32_t>(first + row));
    }
    words_.truncate(first + row);
    rows_ = first + row;
    return row;
}

ArrowColumnCells::CachedText* ArrowColumnCells::text_cache() {
    if (!cached_texts_)
        cached_texts_ = std::make_unique<CachedText[]>(kCachedTexts);
    return cached_texts_.get();
}

char* ArrowColumnCells::grow_text(size_t used, size_t room) {
    text_.extend(used - text_.size());
    text_.reserve(std::max(2 * text_.capacity(), room));
    return text_.data();
}

size_t ArrowColumnCells::push_plain_text(PyObject* const* values, size_t n) {
    int32_t* ends = offsets_.extend(n);
    // The text is written through locals: stores of chars may alias any
    // member, which would otherwise be read again after each one.
    char* text = text_.data();
    size_t used = text_.size();
    size_t room = text_.capacity();
    // What may be written: the room, but no more than 32-bit offsets reach.
    size_t limit = std::min(room, kMaxText);
    CachedText* cache = text_cache();
    size_t row = 0;
    for (; row < n; ++row) {
        PyObject* obj = values[row];
        CachedText& cached = cache[cache_slot(obj)];
        if (kCachesTexts && cached.str == obj && used + kCachedTextMax <= limit) {
            std::memcpy(text + used, &cached.bytes,
                        kCachedTextMax);  // its zeros are overwritten next
            used += cached.size;
            ends[row] = static_cast<int32_t>(used);
            continue;
        }
        if (Py_TYPE(obj) != &PyUnicode_Type || !PyUnicode_IS_COMPACT_ASCII(obj)) {
            if (obj != Py_None)
                break;
            null_rows_.push_back(static_cast<uint32_t>(rows_ + row));
            ends[row] = static_cast<int32_t>(used);
            continue;
        }
        auto bytes = static_cast<size_t>(PyUnicode_GET_LENGTH(obj));
        if (used + bytes + kCachedTextMax > limit) [[unlikely]] {
            if (used + bytes > kMaxText) {
                overflowed_ = true;
                return n;
            }
            if (used + bytes + kCachedTextMax > room) {
                text = grow_text(used, used + bytes + kCachedTextMax);
                room = text_.capacity();
                limit = std::min(room, kMaxText);
            }
        }
        const auto* data = static_cast<const char*>(PyUnicode_DATA(obj));
        copy_text(text + used, data, bytes);
        remember_text(cached, obj, data, bytes);
        used += bytes;
        ends[row] = static_cast<int32_t>(used);
    }
    text_.extend(used - text_.size());
    offsets_.truncate(rows_ + 1 + row);
    rows_ += row;
    return row;
}

size_t ArrowColumnCells::push_plain_nulls(PyObject* const* values, size_t n) {
    size_t row = 0;
    for (; row < n && values[row] == Py_None; ++row)
        null_rows_.push_back(static_cast<uint32_t>(rows_ + row));
    rows_ += row;
    return row;
}

size_t ArrowColumnCells::push_plain(PyObject* const* values, size_t n) {
    if (refused_ || overflowed_)
        return n;
    switch (kind_) {
        case ArrowKind::Int64:
            return push_plain_words<ArrowKind::Int64>(values, n);
        case ArrowKind::Float64:
            return push_plain_words<ArrowKind::Float64>(values, n);
        case ArrowKind::Boolean:
            return push_plain_words<ArrowKind::Boolean>(values, n);
        case ArrowKind::Utf8:
            return push_plain_text(values, n);
        case ArrowKind::Null:
            return push_plain_nulls(values, n);
    }
    return 0;
}

void ArrowColumnCells::truncate(size_t rows) {
    if (refused_ || overflowed_ || rows >= rows_)
        return;
    while (!null_rows_.empty() && null_rows_.back() >= rows)
        null_rows_.pop_back();
    if (kind_ == ArrowKind::Utf8) {
        offsets_.truncate(rows + 1);
        text_.truncate(static_cast<size_t>(offsets_[rows]));
    } else if (kind_ != ArrowKind::Null) {
        words_.truncate(rows);
    }
    rows_ = rows;
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
        // `detached_kind` gave `kind` only when it joins this column's.
        // NOLINTNEXTLINE(bugprone-unchecked-optional-access,clang-analyzer-core.CallAndMessage)
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
        words_ = Buffer<uint64_t>();
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

size_t ArrowCells::push_run(PyObject* const* values, size_t stride, size_t rows, bool attached) {
    std::vector<PyObject*> row(columns_.size());
    size_t done = 0;
    while (done < rows) {
        // Every column takes what it can of the rows left, up to the least
        // any column before it took; those that took more give it back.
        size_t plain = rows - done;
        for (size_t i = 0; i < columns_.size(); ++i)
            plain = columns_[i].push_plain(values + i * stride + done, plain);
        for (ArrowColumnCells& column : columns_)
            column.truncate(rows_ + plain);
        rows_ += plain;
        done += plain;
        if (done == rows)
            break;
        for (size_t i = 0; i < columns_.size(); ++i)
            row[i] = values[i * stride + done];
        if (attached)
            push_row(row);
        else if (!push_row_detached(row))
            break;
        ++done;
    }
    return done;
}

void ArrowCells::push_row(std::span<PyObject* const> values) {
    for (size_t i = 0; i < columns_.size(); ++i)
        columns_[i].push(values[i]);
    ++rows_;
}

bool ArrowCells::push_row_detached(std::span<PyObject* const> values) {
    if (columns_.size() > kDetachedWidth)
        return false;
    ArrowKind kinds[kDetachedWidth];
    for (size_t i = 0; i < columns_.size(); ++i) {
        std::optional<ArrowKind> kind = columns_[i].detached_kind(values[i]);
        if (!kind)
            return false;
        kinds[i] = *kind;
    }
    // The same columns as above: every kind was set.
    for (size_t i = 0; i < columns_.size(); ++i)
        // NOLINTNEXTLINE(clang-analyzer-core.CallAndMessage)
        columns_[i].push_detached(values[i], kinds[i]);
    ++rows_;
    return true;
}

}  // namespace vorlane
