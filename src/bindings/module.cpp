// Entry point of the `Vorlane` extension module.
//
// The module is built once per process (single-phase initialisation) and
// cached; a second import in the same interpreter returns the same object,
// and an import from a second interpreter is refused.

#include <Python.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "bindings/arrow_export.hpp"
#include "bindings/filtered_index.hpp"
#include "bindings/index.hpp"
#include "bindings/indexable.hpp"
#include "bindings/object_iterator.hpp"
#include "bindings/query_expr.hpp"
#include "py/args.hpp"
#include "py/cached_hash.hpp"
#include "py/errors.hpp"
#include "py/gil.hpp"
#include "py/lock_rule.hpp"
#include "py/ref.hpp"

namespace vorlane {

namespace {

// sum_as_string(a, b): the two numbers added with wrap-around at the width of
// the platform's word, in decimal.
PyObject* sum_as_string(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    static const py::Signature sig{
        .name = "sum_as_string", .params = {"a", "b"}, .nparams = 2, .required = 2};
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        py::Arguments parsed = py::parse_arguments(sig, args, nargs, kwnames);
        auto to_word = [](PyObject* obj) -> size_t {
            py::Ref index = py::Ref::steal(py::check(PyNumber_Index(obj)));
            size_t value = PyLong_AsSize_t(index.get());
            if (value == static_cast<size_t>(-1) && PyErr_Occurred())
                throw py::ErrorAlreadySet{};
            return value;
        };
        size_t a = py::convert_argument("a", [&] { return to_word(parsed.values[0]); });
        size_t b = py::convert_argument("b", [&] { return to_word(parsed.values[1]); });
        std::string text = std::to_string(a + b);  // unsigned: wraps around
        return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    });
}

PyMethodDef sum_as_string_def = {
    "sum_as_string", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(sum_as_string)),
    METH_FASTCALL | METH_KEYWORDS,
    "sum_as_string(a, b)\n--\n\nFormats the sum of two numbers as string."};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "Vorlane",
    "In-memory indexes of Python objects by the values of their attributes.",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// The class a pickle names by `kind` (see `indexable_reduce` and
// `index_reduce`): "Index", "Indexable", or a subclass of Indexable.
PyTypeObject* type_of_kind(PyObject* kind) {
    if (PyUnicode_Check(kind)) {
        if (PyUnicode_CompareWithASCIIString(kind, "Index") == 0)
            return py_index::index_type();
        if (PyUnicode_CompareWithASCIIString(kind, "Indexable") == 0)
            return py_indexable::indexable_type();
    } else if (PyType_Check(kind) && PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(kind),
                                                      py_indexable::indexable_type())) {
        return reinterpret_cast<PyTypeObject*>(kind);
    }
    py::raise_error(PyExc_TypeError, "_restore: unknown kind of pickled object");
}

// `_restore(kind)`, which unpickling calls: a new empty instance, whose
// state pickle then sets with `__setstate__`. Made before its state is read,
// so objects that refer back to it (an object holding its own index) find it
// in pickle's memo. `_restore(kind, state)`, the form of earlier pickles,
// sets the state too. The module's classes report "builtins" as their
// module, so pickle cannot find them by name.
PyObject* restore(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        if (nargs != 1 && nargs != 2)
            py::raise_error(PyExc_TypeError, "_restore() takes 1 or 2 positional arguments");
        PyTypeObject* type = type_of_kind(args[0]);
        // A fresh instance without running a subclass's __init__, as unpickling does.
        py::Ref empty = py::Ref::steal(py::check(PyTuple_New(0)));
        py::Ref obj = py::Ref::steal(py::check(type->tp_new(type, empty.get(), nullptr)));
        if (nargs == 2) {
            py::Ref done = py::Ref::steal(
                py::check(PyObject_CallMethod(obj.get(), "__setstate__", "(O)", args[1])));
        }
        return obj.release();
    });
}

PyMethodDef restore_def = {
    "_restore", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(restore)), METH_FASTCALL,
    "_restore(kind, state=None)\n--\n\nRebuilds a pickled Index or Indexable: an empty one, "
    "whose state pickle sets next, or one with `state` (older pickles)."};

// The interpreter that imported the module first; -1 until then.
std::atomic<int64_t> owning_interpreter{-1};
// The module, once built: kept for the life of the process.
PyObject* cached_module = nullptr;

void add_type(PyObject* module, const char* name, PyTypeObject* type) {
    py::check_status(PyModule_AddObjectRef(module, name, reinterpret_cast<PyObject*>(type)));
}

// The package version, as in pyproject.toml.
constexpr const char* kVersion = "0.1.0";

void register_contents(PyObject* module) {
    // Bound to the module and named by it, so `sum_as_string.__module__` is
    // "Vorlane", as for any function defined in a module.
    py::Ref module_name = py::Ref::steal(py::check(PyModule_GetNameObject(module)));
    py::Ref function =
        py::Ref::steal(py::check(PyCFunction_NewEx(&sum_as_string_def, module, module_name.get())));
    py::check_status(PyModule_AddObjectRef(module, "sum_as_string", function.get()));
    add_type(module, "Index", py_index::index_type());
    add_type(module, "Indexable", py_indexable::indexable_type());
    add_type(module, "PyQueryExpr", py_query::query_expr_type());
    py::check_status(PyModule_AddStringConstant(module, "__version__", kVersion));
    // Unpickling calls this: the classes report "builtins" as their module,
    // so pickle cannot find them by name.
    py::Ref restore =
        py::Ref::steal(py::check(PyCFunction_NewEx(&restore_def, module, module_name.get())));
    py::check_status(PyModule_AddObjectRef(module, "_restore", restore.get()));
    py::Ref layout_of =
        py::Ref::steal(py::check(PyCFunction_NewEx(&layout_of_def, module, module_name.get())));
    py::check_status(PyModule_AddObjectRef(module, "_layout_of", layout_of.get()));
    // The classes that are not module attributes are made now as well: type
    // caches are filled once, by the import, and only read afterwards, which
    // threads running without the interpreter lock can do at the same time.
    py_filtered::filtered_index_type();
    py_arrow::arrow_export_type();
    object_iterator_type();
    if (py::panic_exception_type() == nullptr)
        throw py::ErrorAlreadySet{};
}

// While one of the module's locks is held, Python references are not
// dropped on the spot (that could run code that waits for the lock). The
// lock is counted as given back before the references queued meanwhile are
// dropped, which may run Python code.
void engine_lock_taken() noexcept {
    py::note_lock_taken();
    py::enter_no_python();
}
void engine_lock_given_back() noexcept {
    py::note_lock_given_back();
    py::leave_no_python();
}

void install_lock_hooks() {
    LockHooks::on_acquire = engine_lock_taken;
    LockHooks::on_release = engine_lock_given_back;
}

PyObject* init_module() {
    int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current == -1)
        throw py::ErrorAlreadySet{};
    int64_t expected = -1;
    if (!owning_interpreter.compare_exchange_strong(expected, current) && expected != current) {
        py::raise_error(PyExc_ImportError,
                        "Vorlane does not support sub-interpreters: it can be imported in one "
                        "interpreter per process");
    }
    if (cached_module != nullptr)
        return Py_NewRef(cached_module);
    py::Ref module = py::Ref::steal(py::check(PyModule_Create2(&module_def, 1013)));
#ifdef Py_GIL_DISABLED
    py::check_status(PyUnstable_Module_SetGIL(module.get(), Py_MOD_GIL_USED));
#endif
    install_lock_hooks();
    py::resolve_cached_hash_types();
    register_contents(module.get());
    cached_module = Py_NewRef(module.get());
    return module.release();
}

}  // namespace

}  // namespace vorlane

PyMODINIT_FUNC PyInit_Vorlane(void) {
    return vorlane::py::guard<PyObject*>(nullptr, [] { return vorlane::init_module(); });
}
