#pragma once
// `PyValue`: an attribute value as the module holds it.
//
// A PyValue owns one strong reference to the Python object, keeps a native
// copy of an exact int or float (the key of the ordered tree) and the
// object's Python hash taken once, at conversion. Two PyValues are equal
// exactly when their stored hashes are equal.
//
// The index structures never hold PyValues: they hold the Python-free
// `ValueKey` (hash and native number), so they can be changed with the
// interpreter lock released. PyValues themselves are created, copied and
// destroyed only while attached to the interpreter.

#include <Python.h>

#include <string>
#include <utility>

#include "index/attr_name.hpp"
#include "index/value_key.hpp"

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

    PyValue(const PyValue& other) : obj_(other.obj_), key_(other.key_) { Py_INCREF(obj_); }
    PyValue& operator=(const PyValue& other) {
        PyValue copy(other);
        swap(copy);
        return *this;
    }
    PyValue(PyValue&& other) noexcept
        : obj_(std::exchange(other.obj_, nullptr)), key_(other.key_) {}
    PyValue& operator=(PyValue&& other) noexcept {
        PyValue moved(std::move(other));
        swap(moved);
        return *this;
    }
    ~PyValue() { Py_XDECREF(obj_); }

    PyObject* obj() const { return obj_; }
    const ValueKey& key() const { return key_; }
    int64_t hash() const { return key_.hash; }
    NativeKind kind() const { return key_.kind; }
    bool operator==(const PyValue& other) const { return key_ == other.key_; }

    // `PyValue { obj: Py(0x...), primitave: Int(3), hash: 3 }`
    std::string debug() const;

    void swap(PyValue& other) noexcept {
        std::swap(obj_, other.obj_);
        std::swap(key_, other.key_);
    }

  private:
    PyValue(PyObject* obj, ValueKey key) : obj_(obj), key_(key) {}
    PyObject* obj_;
    ValueKey key_;
};

// The attribute name given as the argument `param`: a str, else the
// argument error "argument '<param>': '<type>' object cannot be converted to
// 'PyString'"; a str that cannot be encoded raises its UnicodeEncodeError.
AttrName attr_argument(PyObject* obj, const char* param);

// Debug text of a native value: `Int(3)`, `Float(2.5)`, `Str("abc")`, `Unknown`.
std::string native_debug(const PyValue& value);
// Rust-style debug forms used in the texts above.
std::string debug_quoted(std::string_view text);
std::string debug_float(double value);

}  // namespace vorlane
