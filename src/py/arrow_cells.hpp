#pragma once
// Attribute values of selected objects as the Arrow export needs them,
// copied out from under the locks row by row in ascending id order, each
// column typed as its values come.
//
// The cells are the Arrow buffers themselves: an int64, float64 or boolean
// column keeps one 8-byte word per row (the int, the float's bits, or 0/1;
// 0 for a null), and a utf8 column the offsets where each row's text ends
// and the texts' UTF-8 bytes. So the arrays are handed out without copying,
// and no value is held beyond the lock. A column's kind follows its values:
// exact ints give int64, ints and floats float64 (the ints read so far turn
// to floats once), str utf8, bool boolean; None or a missing attribute is a
// null. The first value that no kind holds, alone or with what came before,
// is kept for the TypeError that names it; the column reads no further.
//
// A selection may be read in parts on several threads, a part each (see
// `push_row_detached`); the parts are then typed alike (`become`) and each
// becomes one batch of the stream. Filled under the item table's read lock:
// nothing here runs Python code or allocates a Python object (a str's UTF-8
// form is cached when it is assigned, and a refused value is only
// referenced).

#include <Python.h>

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "engine/bulk_buffer.hpp"
#include "py/arrow_pages.hpp"
#include "py/ref.hpp"

namespace vorlane {

enum class ArrowKind : uint8_t { Null, Int64, Float64, Utf8, Boolean };

// The kind a column of `seen` values takes with a value of `next`; nothing
// when no kind holds both.
std::optional<ArrowKind> join_arrow_kinds(ArrowKind seen, ArrowKind next);

// The first value a column refused: its type had no Arrow kind, or no kind
// holds it with the first value (`seen`, a type name) read before it.
struct ArrowRefusal {
    py::Ref value;
    const char* seen = nullptr;  // null when the value's type has no kind
};

class ArrowColumnCells {
  public:
    // Room for `rows` rows: a bound, not a promise (see `ArrowCells`).
    void reserve(size_t rows) { room_ = rows; }
    // Appends the value of the next row (null: a missing attribute).
    void push(PyObject* obj);
    // Appends the values of up to `n` rows (`values[r]` is row r's, None for
    // a missing attribute, never null) as long
    // as each is a null or a value of the column's own kind that is read
    // without the interpreter, as most values are; returns how many rows it
    // took. One loop per kind, with the type checked by a pointer compare.
    // A column that refused a value or ran out of offsets takes every row
    // and keeps none: its export fails. Safe without the interpreter, as
    // `push_detached`.
    size_t push_plain(PyObject* const* values, size_t n);
    // Drops the rows from `rows` on, all appended by `push_plain` (which
    // never changes the kind).
    void truncate(size_t rows);
    // The kind of `obj` when it can be read without the interpreter (an
    // exact float, an int that fits one digit, a bool, an ASCII str, or a
    // null), if the column's kind holds it; nothing otherwise.
    std::optional<ArrowKind> detached_kind(PyObject* obj) const;
    // Appends `obj`, of the kind `detached_kind` gave. Calls nothing that
    // needs the interpreter and touches no reference count: safe on a
    // worker thread while the interpreter lock is held for it.
    void push_detached(PyObject* obj, ArrowKind kind);
    // Turns the cells into `kind`, which their own kind joins to: ints into
    // floats, or nulls alone into null entries of `kind`.
    void become(ArrowKind kind);
    // Trims the buffers to the rows read, packs a boolean column's words
    // into bits and the null rows into a validity bitmap.
    void finish();

    ArrowKind kind() const { return kind_; }
    size_t rows() const { return rows_; }
    size_t null_count() const { return null_rows_.size(); }
    const ArrowRefusal* refusal() const { return refused_ ? &refusal_ : nullptr; }
    // More text than 32-bit offsets reach.
    bool overflowed() const { return overflowed_; }
    // The Arrow buffers, once finished: validity (empty without nulls),
    // values (words, bits or offsets) and, for utf8, the text.
    std::span<const uint8_t> validity() const { return bytes_of(validity_); }
    std::span<const uint8_t> values() const;
    std::span<const uint8_t> text() const { return bytes_of(text_); }

  private:
    // The longest text `copy_text` copies without a call.
    static constexpr size_t kShortText = 16;

    template <typename T>
    using Buffer = BulkArray<T, ArrowPages>;
    template <typename T>
    static std::span<const uint8_t> bytes_of(const Buffer<T>& v) {
        return {reinterpret_cast<const uint8_t*>(v.data()), v.size() * sizeof(T)};
    }
    void push_null();
    // `push_plain` for a column of each kind.
    template <ArrowKind Kind>
    size_t push_plain_words(PyObject* const* values, size_t n);
    size_t push_plain_text(PyObject* const* values, size_t n);
    size_t push_plain_nulls(PyObject* const* values, size_t n);
    // Takes a value of `kind`, `type` naming its type; false when refused.
    bool join(ArrowKind kind, const char* type, PyObject* obj);
    void refuse(PyObject* obj, const char* seen);
    void push_word(uint64_t word) {
        words_.push_back(word);
        ++rows_;
    }
    // Copies the first and the last `sizeof(Word)` of `bytes` bytes (at
    // least that many, at most twice): every byte, the middle ones twice.
    template <typename Word>
    static void copy_ends(char* out, const char* text, size_t bytes) {
        Word head;
        Word tail;
        std::memcpy(&head, text, sizeof(Word));
        std::memcpy(&tail, text + bytes - sizeof(Word), sizeof(Word));
        std::memcpy(out, &head, sizeof(Word));
        std::memcpy(out + bytes - sizeof(Word), &tail, sizeof(Word));
    }
    // Copies `bytes` bytes to `out` from `text`. Most texts of a column
    // are short: they are copied by a few loads and stores that may
    // overlap, within the bounds of both, rather than by a call.
    static void copy_text(char* out, const char* text, size_t bytes) {
        if (bytes > kShortText) {
            std::memcpy(out, text, bytes);
        } else if (bytes >= 8) {
            copy_ends<uint64_t>(out, text, bytes);
        } else if (bytes >= 4) {
            copy_ends<uint32_t>(out, text, bytes);
        } else if (bytes > 0) {
            out[0] = text[0];
            out[bytes / 2] = text[bytes / 2];
            out[bytes - 1] = text[bytes - 1];
        }
    }
    void push_text(const char* text, size_t bytes) {
        size_t end = text_.size() + bytes;
        if (end > static_cast<size_t>(INT32_MAX)) [[unlikely]] {
            overflowed_ = true;  // utf8 offsets are 32-bit
            return;
        }
        copy_text(text_.extend(bytes), text, bytes);
        offsets_.push_back(static_cast<int32_t>(end));
        ++rows_;
    }

    // A short text read before, by its str object. A column of few
    // distinct texts (categories, flags) copies each from here in one
    // store of `kCachedTextMax` bytes, with no branch on its length and no
    // read of the str. A str outlives the reading (the objects hold it and
    // no Python code runs while the reading call holds the interpreter
    // lock), so no other takes its address. Without that lock (the
    // free-threaded build) a str met earlier may be replaced and freed once
    // its object's lock is given back: no text is cached there.
#ifdef Py_GIL_DISABLED
    static constexpr bool kCachesTexts = false;
#else
    static constexpr bool kCachesTexts = true;
#endif
    struct CachedText {
        PyObject* str = nullptr;
        uint64_t bytes = 0;  // the text, then zeros
        uint32_t size = 0;
    };
    static constexpr size_t kCachedTextMax = sizeof(uint64_t);
    // Slots of the cache, by address: enough for the texts of a category
    // column, small enough to stay in the first-level cache.
    static constexpr size_t kCachedTexts = 256;
    CachedText* text_cache();
    // Keeps `bytes` bytes of `text`, the text of `str`, in `slot` when
    // they are few enough.
    static void remember_text(CachedText& slot, PyObject* str, const char* text, size_t bytes) {
        if (!kCachesTexts || bytes > kCachedTextMax)
            return;
        slot = CachedText{str, 0, static_cast<uint32_t>(bytes)};
        std::memcpy(&slot.bytes, text, bytes);
    }
    // Makes the text `used` bytes long and gives it room for `room` in all;
    // returns where it now lies.
    char* grow_text(size_t used, size_t room);
    static size_t cache_slot(PyObject* str) {
        auto address = reinterpret_cast<uintptr_t>(str);
        return ((address >> 4) ^ (address >> 12)) % kCachedTexts;
    }

    ArrowKind kind_ = ArrowKind::Null;
    const char* first_type_ = nullptr;  // the type of the first value not None
    size_t rows_ = 0;
    size_t room_ = 0;
    // The buffers of the column's kind take room for `room_` rows when the
    // kind is set; the room is only a bound, so they grow if it fell short.
    Buffer<uint64_t> words_;   // int64, float64, boolean: one per row
    Buffer<int32_t> offsets_;  // utf8: where each row's text ends, after a 0
    Buffer<char> text_;
    Buffer<uint8_t> bits_;  // a finished boolean column's values
    Buffer<uint8_t> validity_;
    std::vector<uint32_t> null_rows_;
    std::unique_ptr<CachedText[]> cached_texts_;  // made for the first text
    bool overflowed_ = false;
    bool refused_ = false;
    ArrowRefusal refusal_;
};

// The columns of one part of a selection, filled row by row.
class ArrowCells {
  public:
    explicit ArrowCells(size_t width) : columns_(width) {}

    // Room for `rows` rows, taken before the lock: an upper bound, not a
    // promise (objects removed since a view was made leave no row).
    void reserve(size_t rows) {
        for (ArrowColumnCells& column : columns_)
            column.reserve(rows);
    }
    // Appends `rows` rows given column by column: `values[c * stride + r]`
    // is row r's value of column c (None for a missing attribute, never
    // null). Each column
    // takes the values of its kind in one loop (`push_plain`); a row with a
    // value that changes a column's kind, or that no kind takes, goes in
    // alone, by `push_row` when `attached`, else by `push_row_detached`,
    // which may stop there. Returns how many rows were appended: `rows`, or
    // the position of the row a detached reading stopped at.
    size_t push_run(PyObject* const* values, size_t stride, size_t rows, bool attached);
    // Appends a row: a value per column (null: a missing attribute).
    void push_row(std::span<PyObject* const> values);
    // The same without the interpreter (see `push_detached`); false, with
    // nothing appended, when a value of the row needs it.
    bool push_row_detached(std::span<PyObject* const> values);

    size_t width() const { return columns_.size(); }
    size_t rows() const { return rows_; }
    const ArrowColumnCells& column(size_t i) const { return columns_[i]; }
    ArrowColumnCells& column(size_t i) { return columns_[i]; }

  private:
    std::vector<ArrowColumnCells> columns_;
    size_t rows_ = 0;
};

}  // namespace vorlane
