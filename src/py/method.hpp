#pragma once
// The entry point of a fast-call method: parses the arguments by `Sig`, runs
// `Body` and turns any C++ error into a Python one.

#include <Python.h>

#include "py/args.hpp"
#include "py/errors.hpp"

namespace vorlane::py {

template <const Signature* Sig, PyObject* (*Body)(PyObject*, Arguments&)>
PyObject* fastcall_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
        Arguments parsed = parse_arguments(*Sig, args, nargs, kwnames);
        return Body(self, parsed);
    });
}

}  // namespace vorlane::py
