#include "py/type.hpp"

#include "py/ref.hpp"

namespace vorlane::py {

PyObject* no_constructor(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* name = PyType_GetName(type);
    if (name != nullptr) {
        PyErr_Format(PyExc_TypeError, "No constructor defined for %U", name);
        Py_DECREF(name);
    }
    return nullptr;
}

PyTypeObject* lazy_type(PyTypeObject*& cache, PyType_Spec* spec) {
    // Every type of the module is created while it is imported, before any
    // other thread can use it; later calls only read the cache.
    if (cache == nullptr) {
        // Type names are "builtins.<Class>": the classes report "builtins" as
        // their module, like the interpreter's own types.
        cache = reinterpret_cast<PyTypeObject*>(check(PyType_FromSpec(spec)));
    }
    return cache;
}

}  // namespace vorlane::py
