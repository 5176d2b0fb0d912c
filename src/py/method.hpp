#pragma once
// Entries of the classes' method tables.
//
// A fast-call method is a plain body `PyObject* body(self, Arguments&)`; its
// entry point, made here, parses the arguments by a signature, runs the body
// and turns any C++ error into a Python one. Every table is built from
// `method_def` and `raw_method_def`, so the casts to the C API's function
// type live in one place.

#include <Python.h>

#include <array>
#include <cstddef>

#include "py/args.hpp"
#include "py/errors.hpp"
#include "py/joined_table.hpp"

namespace vorlane::py {

using MethodBody = PyObject* (*)(PyObject* self, Arguments& args);

template <const Signature* Sig, MethodBody Body>
PyObject* fastcall_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
        Arguments parsed = parse_arguments(*Sig, args, nargs, kwnames, &param_strs_of<Sig>);
        return Body(self, parsed);
    });
}

// A method parsed by `Sig` and run by `Body`. `extra_flags` adds, for
// example, METH_STATIC.
template <const Signature* Sig, MethodBody Body>
PyMethodDef method_def(const char* name, const char* doc, int extra_flags = 0) {
    return {name,
            reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fastcall_method<Sig, Body>)),
            METH_FASTCALL | METH_KEYWORDS | extra_flags, doc};
}

// A method with one of the C API's own calling conventions (`flags`), whose
// function guards itself.
template <typename Function>
PyMethodDef raw_method_def(const char* name, Function function, int flags, const char* doc) {
    return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function)), flags,
            doc};
}

// The entry that ends a method table.
inline constexpr PyMethodDef kEndOfMethods = {nullptr, nullptr, 0, nullptr};

// A method table made of `runs` of entries, in order, then its end.
template <std::size_t... Sizes>
std::array<PyMethodDef, (Sizes + ... + 1)> method_table(
    const std::array<PyMethodDef, Sizes>&... runs) {
    return joined_table(kEndOfMethods, runs...);
}

}  // namespace vorlane::py
