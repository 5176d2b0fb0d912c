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
    // Types are created under the interpreter lock, which the module always
    // asks for, so the cache needs no further synchronisation.
    if (cache == nullptr) {
        // Type names are "builtins.<Class>": the classes report "builtins" as
        // their module, like the interpreter's own types.
        cache = reinterpret_cast<PyTypeObject*>(check(PyType_FromSpec(spec)));
    }
    return cache;
}

}  // namespace vorlane::py
