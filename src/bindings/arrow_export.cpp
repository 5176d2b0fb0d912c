#include "bindings/arrow_export.hpp"

#include <memory>
#include <utility>

#include "py/args.hpp"
#include "py/arrow_columns.hpp"
#include "py/method.hpp"
#include "py/type.hpp"

namespace vorlane {

namespace {

PyTypeObject* arrow_export_type_cache = nullptr;

// The columns never change once made: every call only reads them. The
// streams handed out share them.
using SharedColumns = std::shared_ptr<const ArrowColumns>;

const SharedColumns& columns_of(PyObject* self) {
    return py::record_of<SharedColumns>(self);
}

PyObject* schema_method(PyObject* self, py::Arguments&) {
    return arrow_schema_capsule(*columns_of(self));
}

// `requested_schema` may be ignored by the interface's rules: the columns
// come as they were typed.
PyObject* stream_method(PyObject* self, py::Arguments&) {
    return arrow_stream_capsule(columns_of(self));
}

PyObject* len_method(PyObject* self, py::Arguments&) {
    return py::check(PyLong_FromSize_t(columns_of(self)->rows()));
}

constexpr py::Signature kSchemaSig{.name = "__arrow_c_schema__", .owner = "ArrowExport"};
constexpr py::Signature kStreamSig{.name = "__arrow_c_stream__",
                                   .params = {"requested_schema"},
                                   .nparams = 1,
                                   .owner = "ArrowExport"};
constexpr py::Signature kLenSig{.name = "num_rows", .owner = "ArrowExport"};

PyMethodDef arrow_export_methods[] = {
    py::method_def<&kSchemaSig, schema_method>(
        "__arrow_c_schema__",
        "__arrow_c_schema__($self)\n--\n\n"
        "A PyCapsule \"arrow_schema\" holding the schema: a struct of one field per "
        "attribute name."),
    py::method_def<&kStreamSig, stream_method>(
        "__arrow_c_stream__",
        "__arrow_c_stream__($self, requested_schema=None)\n--\n\n"
        "A PyCapsule \"arrow_array_stream\" holding a stream of struct arrays of the values "
        "(one per part read in parallel), which share the values without copying them. "
        "`requested_schema` is not followed."),
    py::method_def<&kLenSig, len_method>("num_rows",
                                         "num_rows($self)\n--\n\n"
                                         "The number of rows: the objects selected."),
    py::kEndOfMethods,
};

PyType_Slot arrow_export_slots[] = {
    {Py_tp_doc,
     const_cast<char*>("The values of a selection as Arrow columns, made by `to_arrow`: give it "
                       "to pyarrow.table, polars.DataFrame or DuckDB.")},
    {Py_tp_new, reinterpret_cast<void*>(py::no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(py::dealloc_instance<SharedColumns>)},
    {Py_tp_methods, arrow_export_methods},
    {0, nullptr},
};

PyType_Spec arrow_export_spec = {
    .name = "builtins.ArrowExport",
    .basicsize = sizeof(py::Instance<SharedColumns>),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = arrow_export_slots,
};

}  // namespace

namespace py_arrow {

PyTypeObject* arrow_export_type() {
    return py::lazy_type(arrow_export_type_cache, &arrow_export_spec);
}

PyObject* make_arrow_export(std::vector<std::string> names, std::vector<ArrowCells> parts) {
    SharedColumns columns = type_arrow_columns(std::move(names), std::move(parts));
    return py::make_instance(arrow_export_type(), std::move(columns));
}

}  // namespace py_arrow

}  // namespace vorlane
