#pragma once
// Errors crossing between C++ and the interpreter.
//
// Inside the module an error travels as a C++ exception:
//   - `ErrorAlreadySet`: a Python exception is already set on the thread
//     (a C API call failed, or `raise_error` set one);
//   - `vorlane::Panic`: an internal error, raised as `PanicException`.
// `guard` runs a C++ body at an entry point from the interpreter and turns
// every C++ exception into a Python error, so that none crosses into the
// interpreter.

#include <Python.h>

#include <new>
#include <stdexcept>
#include <string>
#include <utility>

#include "engine/panic.hpp"

namespace vorlane::py {

// Thrown once the Python error indicator has been set.
struct ErrorAlreadySet {};

[[noreturn]] void raise_error(PyObject* type, const std::string& message);
// Throws `ErrorAlreadySet` when `obj` is null (a failed C API call).
inline PyObject* check(PyObject* obj) {
    if (obj == nullptr)
        throw ErrorAlreadySet{};
    return obj;
}
inline void check_status(int status) {
    if (status < 0)
        throw ErrorAlreadySet{};
}

// The `PanicException` class (derived directly from BaseException), created on
// first use and kept for the life of the process.
PyObject* panic_exception_type();

// "'<type name>' object cannot be converted to '<target>'"
[[noreturn]] void raise_conversion_error(PyObject* obj, const char* target);

// Sets the Python error for the C++ exception being handled. Must be called
// from inside a catch block.
void set_error_from_current_exception();

// Runs `body` and converts any C++ exception into a Python error, returning
// `failure` in that case.
template <typename R, typename F>
R guard(R failure, F&& body) noexcept {
    try {
        return std::forward<F>(body)();
    } catch (...) {
        set_error_from_current_exception();
        return failure;
    }
}

// Re-raises a TypeError (or an error of exactly the class `type`) set while
// the argument `name` was converted as a new error of the same class,
// "argument '<name>': <message>", whose cause is the first error. Other errors
// pass unchanged. Called with the error indicator set.
void prefix_argument_error(const char* name, PyObject* type = PyExc_TypeError);

// Runs a conversion of the named argument, applying `prefix_argument_error`
// when it fails with a Python error.
template <typename F>
auto convert_argument(const char* name, F&& conversion) -> decltype(conversion()) {
    try {
        return std::forward<F>(conversion)();
    } catch (const ErrorAlreadySet&) {
        prefix_argument_error(name);
        throw;
    }
}

// Runs `allocate`, an allocation whose size the caller's input decides: when
// it fails, the input is at fault, not the module's state, and the call
// raises MemoryError instead of ending the process.
template <typename F>
auto sized_by_input(F&& allocate) -> decltype(allocate()) {
    try {
        return std::forward<F>(allocate)();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        throw ErrorAlreadySet{};
    } catch (const std::length_error&) {
        PyErr_NoMemory();
        throw ErrorAlreadySet{};
    }
}

}  // namespace vorlane::py
