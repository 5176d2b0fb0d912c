#pragma once
// `PyValue`: an attribute value as the module holds it.
//
// A PyValue owns one strong reference to the Python object, in one word.
// For the kinds whose key follows from the object itself without running
// Python code, the word is the object: an exact int (its value, and its hash
// by the language's numeric hash rule), an exact float (its value is read
// from the immutable float, its hash computed by the same rule), an exact
// str (which caches its hash when conversion asks for it), a bool, None, and
// the datetime kinds that cache a hash computed from their own fields (see
// py/cached_hash.hpp).
// Any other object may hash differently later (a tuple holding a mutable
// user object, say), so its hash is taken once, at conversion, and kept with
// the object in a small boxed record that the word points to, tagged in its
// low bit. Objects hold one PyValue per attribute, so it is kept to one word.
// Two PyValues are equal exactly when their stored hashes are equal.
//
// The index structures never hold PyValues: they hold the Python-free
// `ValueKey` (hash and native number), so they can be changed with the
// interpreter lock released. PyValues themselves are created, copied and
// destroyed only while attached to the interpreter.
#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "engine/attr_name.hpp"
#include "engine/value_key.hpp"
#include "py/lock_rule.hpp"

namespace vorlane {

// Whether `obj` can be a dict key. Every value that cannot is stored under
// the key of hash 0, with 0 and False: `value_counts` shows a key by a
// holder whose value can, while one is left.
inline bool is_hashable(PyObject* obj) {
    return Py_TYPE(obj)->tp_hash != PyObject_HashNotImplemented;
}

class PyValue {
  public:
    // Converts `object`, taking over the strong reference passed in. Runs the
    // object's `__hash__`; an unhashable object gets hash 0. An int outside
    // the signed 64-bit range or a str that cannot be encoded as UTF-8 fails
    // with the internal error "called `Result::unwrap()` on an `Err` value".
    static PyValue new_(PyObject* owned);
    // Same, from a borrowed reference.
    static PyValue from_borrowed(PyObject* borrowed);
    // As `from_borrowed`, for a value an object is about to hold, noting in
    // `cyclic` whether it `may_form_cycle` (left as is when it cannot).
    // The commonest values of a table's rows (an exact ASCII str hashed
    // already, an exact int of one digit, an exact float) are taken here with
    // no call: nothing about them can fail, and their types are not tracked
    // by the cycle collector.
    static PyValue held_from_borrowed(PyObject* borrowed, bool& cyclic) {
        PyTypeObject* type = Py_TYPE(borrowed);
        bool plain = type == &PyFloat_Type ||
                     (type == &PyLong_Type &&
                      PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(borrowed))) ||
                     (type == &PyUnicode_Type && PyUnicode_IS_COMPACT_ASCII(borrowed) &&
                      cached_str_hash(borrowed) != -1);
        if (plain)
            return PyValue(Py_NewRef(borrowed));
        PyValue value = from_borrowed(borrowed);
        cyclic = cyclic || value.may_form_cycle();
        return value;
    }
    // The hash an exact str cached when it was first hashed, or -1. The field
    // is written once, before the object reached us; other threads may write
    // the same value again, so it is read atomically.
    static int64_t cached_str_hash(PyObject* str) {
        Py_hash_t* field = &reinterpret_cast<PyASCIIObject*>(str)->hash;
        return __atomic_load_n(field, __ATOMIC_RELAXED);
    }
    // The key `from_borrowed(object).key()` gives, with the same failures,
    // without taking a reference or boxing: for a query's values, which
    // are not kept.
    static ValueKey key_of(PyObject* borrowed);

    PyValue(const PyValue& other);
    PyValue& operator=(const PyValue& other) {
        PyValue copy(other);
        swap(copy);
        return *this;
    }
    PyValue(PyValue&& other) noexcept : word_(std::exchange(other.word_, 0)) {}
    PyValue& operator=(PyValue&& other) noexcept {
        PyValue moved(std::move(other));
        swap(moved);
        return *this;
    }
    // A moved-from value, as the ones left behind when values are moved
    // between arrays, has nothing to release.
    ~PyValue() {
        if (word_ != 0)
            release();
    }

    PyObject* obj() const { return is_boxed() ? boxed()->obj : reinterpret_cast<PyObject*>(word_); }
    // Needs no interpreter: it reads only this value and its immutable object.
    ValueKey key() const;
    int64_t hash() const { return key().hash; }
    NativeKind kind() const { return kind_of(obj()); }
    // Heap bytes of the record that keeps the hash, if this value has one.
    size_t boxed_bytes() const { return is_boxed() ? sizeof(Boxed) : 0; }
    bool operator==(const PyValue& other) const { return hash() == other.hash(); }
    // Whether holding this value can put its holder on a reference cycle:
    // false for objects of types the cycle collector does not track (int,
    // float, str, bytes, None, bool, ...) and for tuples it has untracked
    // (their items cannot change, so they stay untracked).
    bool may_form_cycle() const {
        PyObject* object = obj();
        // The type's flag first, read in place: most values' types are not
        // collected at all, and need no call to say so.
        if (!PyType_IS_GC(Py_TYPE(object)) || !PyObject_IS_GC(object))
            return false;
        return !PyTuple_CheckExact(object) || PyObject_GC_IsTracked(object);
    }

    // `PyValue { obj: Py(0x...), primitave: Int(3), hash: 3 }`
    std::string debug() const;

    void swap(PyValue& other) noexcept { std::swap(word_, other.word_); }

    // The native kind of a converted object: by its exact type.
    static NativeKind kind_of(PyObject* obj) {
        PyTypeObject* type = Py_TYPE(obj);
        if (type == &PyLong_Type)
            return NativeKind::Int;
        if (type == &PyFloat_Type)
            return NativeKind::Float;
        if (type == &PyUnicode_Type)
            return NativeKind::Str;
        return NativeKind::Unknown;
    }

  private:
    // An object whose key cannot be derived from it, with the hash taken
    // at conversion.
    struct Boxed {
        PyObject* obj;
        int64_t hash;
    };
    // Tags a word that points to a `Boxed` (objects and records are aligned
    // to at least 8 bytes, so the low bit of their address is free).
    static constexpr uintptr_t kBoxedTag = 1;

    PyValue(PyObject* obj, const ValueKey& key);
    // An object whose key is derived from it (see `key`).
    explicit PyValue(PyObject* derived) : word_(reinterpret_cast<uintptr_t>(derived)) {}
    bool is_boxed() const { return (word_ & kBoxedTag) != 0; }
    const Boxed* boxed() const { return reinterpret_cast<const Boxed*>(word_ & ~kBoxedTag); }
    void release() noexcept;

    // The object, or the tagged `Boxed` record; 0 once moved from.
    uintptr_t word_;
};

static_assert(sizeof(PyValue) == sizeof(void*), "objects hold one PyValue per attribute");

// Python's hash of an int in the signed 64-bit range, as the language defines
// the hash of numbers: the magnitude reduced modulo the prime 2^61 - 1, with
// the sign of the value, and -1 (the C API's error value) replaced by -2.
int64_t int_hash(int64_t value);
// Python's hash of a float, by the same rule: the value as a fraction reduced
// modulo 2^61 - 1, infinities as +-314159, and a NaN by the address of its
// object `obj`, as the interpreter hashes NaNs.
int64_t float_hash(PyObject* obj, double value);

// The attribute name given as the argument `param`, if any object ever
// carried it (nothing otherwise: the name is not interned for a query).
// Must be a str, else the argument error "argument '<param>': '<type>'
// object cannot be converted to 'PyString'"; a str that cannot be encoded
// raises its UnicodeEncodeError.
std::optional<AttrName> attr_argument(PyObject* obj, const char* param);

// Debug text of a native value: `Int(3)`, `Float(2.5)`, `Str("abc")`, `Unknown`.
std::string native_debug(const PyValue& value);
// Rust-style debug forms used in the texts above.
std::string debug_quoted(std::string_view text);
std::string debug_float(double value);

}  // namespace vorlane
