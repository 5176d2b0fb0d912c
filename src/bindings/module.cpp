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
#include "bindings/pickling.hpp"
#include "bindings/query_expr.hpp"
#include "py/args.hpp"
#include "py/errors.hpp"
#include "py/gil.hpp"
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
        return PyUnicode_FromStringAndSize(text.data(), text.size());
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

void install_lock_hooks() {
    // While one of the module's locks is held, Python references are not
    // dropped on the spot (that could run code that waits for the lock).
    LockHooks::on_acquire = py::enter_no_python;
    LockHooks::on_release = py::leave_no_python;
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
    register_contents(module.get());
    cached_module = Py_NewRef(module.get());
    return module.release();
}

}  // namespace

}  // namespace vorlane

PyMODINIT_FUNC PyInit_Vorlane(void) {
    return vorlane::py::guard<PyObject*>(nullptr, [] { return vorlane::init_module(); });
}
