#include "py/errors.hpp"

#include <cstdio>
#include <cstdlib>

namespace vorlane::py {

void raise_error(PyObject* type, const std::string& message) {
    PyErr_SetString(type, message.c_str());
    throw ErrorAlreadySet{};
}

PyObject* panic_exception_type() {
    // Created while the module is imported, before any other thread can
    // raise it; later calls only read it.
    static PyObject* type = [] {
        return PyErr_NewExceptionWithDoc(
            "Vorlane.PanicException",
            "An internal error of Vorlane: a broken invariant, a poisoned lock or a value "
            "that cannot be converted.",
            PyExc_BaseException, nullptr);
    }();
    return type;
}

void raise_conversion_error(PyObject* obj, const char* target) {
    // The type's own qualified name, without its module: the module's classes
    // report "builtins" as their module, and `tp_name` would carry it.
    PyObject* name = PyType_GetQualName(Py_TYPE(obj));
    if (name == nullptr)
        throw ErrorAlreadySet{};
    PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", name, target);
    Py_DECREF(name);
    throw ErrorAlreadySet{};
}

static void set_panic(const char* message) {
    PyObject* type = panic_exception_type();
    if (type == nullptr)
        return;  // the error of creating the class stays set
    PyErr_SetString(type, message);
}

void set_error_from_current_exception() {
    try {
        throw;
    } catch (const ErrorAlreadySet&) {
        if (!PyErr_Occurred())
            set_panic("error reported without a Python exception");
    } catch (const Panic& p) {
        set_panic(p.what());
    } catch (const std::bad_alloc&) {
        // Running out of memory for the module's own records stops the
        // process: nothing can be kept consistent past this point.
        std::fputs("Vorlane: out of memory\n", stderr);
        std::abort();
    } catch (const std::exception& e) {
        set_panic(e.what());
    } catch (...) {
        set_panic("unknown internal error");
    }
}

void prefix_argument_error(const char* name, PyObject* type) {
    PyObject* exc = PyErr_GetRaisedException();
    if (exc == nullptr)
        return;
    if (Py_TYPE(exc) != reinterpret_cast<PyTypeObject*>(type)) {
        PyErr_SetRaisedException(exc);
        return;
    }
    PyObject* message = PyUnicode_FromFormat("argument '%s': %S", name, exc);
    PyObject* wrapped = message ? PyObject_CallOneArg(type, message) : nullptr;
    Py_XDECREF(message);
    if (wrapped == nullptr) {
        Py_DECREF(exc);  // the error of building the new one stays set
        return;
    }
    PyException_SetCause(wrapped, exc);  // steals exc
    PyErr_SetRaisedException(wrapped);
}

}  // namespace vorlane::py
