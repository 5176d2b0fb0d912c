#pragma once
// `PyValue`: an attribute value as the module holds it.
//
// A PyValue owns one strong reference to the Python object and one word
// taken at conversion: the native copy of an exact int, or else the object's
// Python hash. The rest is recovered without running Python code: the native
// kind follows from the object's exact type (a value that cannot be
// converted never gets this far), an exact int's hash follows from its value
// by the language's numeric hash rule, and an exact float's value is read
// from the (immutable) float object the PyValue holds. Objects hold one
// PyValue per attribute, so it is kept to two words. Two
// PyValues are equal exactly when their stored hashes are equal.
//
// The index structures never hold PyValues: they hold the Python-free
// `ValueKey` (hash and native number), so they can be changed with the
// interpreter lock released. PyValues themselves are created, copied and
// destroyed only while attached to the interpreter.

#include <Python.h>

#include <optional>
#include <string>
#include <utility>

#include "engine/attr_name.hpp"
#include "engine/value_key.hpp"
#include "py/lock_rule.hpp"

namespace vorlane {

class PyValue {
  public:
    // Converts `object`, taking over the strong reference passed in. Runs the
    // object's `__hash__`; an unhashable object gets hash 0. An int outside
    // the signed 64-bit range or a str that cannot be encoded as UTF-8 fails
    // with the internal error "called `Result::unwrap()` on an `Err` value".
    static PyValue new_(PyObject* owned);
    // Same, from a borrowed reference.
    static PyValue from_borrowed(PyObject* borrowed);

    PyValue(const PyValue& other) : obj_(other.obj_), word_(other.word_) { Py_INCREF(obj_); }
    PyValue& operator=(const PyValue& other) {
        PyValue copy(other);
        swap(copy);
        return *this;
    }
    PyValue(PyValue&& other) noexcept
        : obj_(std::exchange(other.obj_, nullptr)), word_(other.word_) {}
    PyValue& operator=(PyValue&& other) noexcept {
        PyValue moved(std::move(other));
        swap(moved);
        return *this;
    }
    ~PyValue() { py::checked_decref(obj_); }

    PyObject* obj() const { return obj_; }
    // Needs no interpreter: it reads only this value and its float object.
    ValueKey key() const;
    int64_t hash() const { return key().hash; }
    NativeKind kind() const { return kind_of(obj_); }
    bool operator==(const PyValue& other) const { return hash() == other.hash(); }

    // Whether holding this value can put its holder on a reference cycle:
    // false for objects of types the cycle collector does not track (int,
    // float, str, bytes, None, bool, ...) and for tuples it has untracked
    // (their items cannot change, so they stay untracked).
    bool may_form_cycle() const {
        if (!PyObject_IS_GC(obj_))
            return false;
        return !PyTuple_CheckExact(obj_) || PyObject_GC_IsTracked(obj_);
    }

    // `PyValue { obj: Py(0x...), primitave: Int(3), hash: 3 }`
    std::string debug() const;

    void swap(PyValue& other) noexcept {
        std::swap(obj_, other.obj_);
        std::swap(word_, other.word_);
    }

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
    PyValue(PyObject* obj, const ValueKey& key);
    PyObject* obj_;
    // Int: the value; every other kind: the stored hash.
    int64_t word_;
};

static_assert(sizeof(PyValue) == 2 * sizeof(void*), "objects hold one PyValue per attribute");

// Python's hash of an int in the signed 64-bit range, as the language defines
// the hash of numbers: the magnitude reduced modulo the prime 2^61 - 1, with
// the sign of the value, and -1 (the C API's error value) replaced by -2.
int64_t int_hash(int64_t value);

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
