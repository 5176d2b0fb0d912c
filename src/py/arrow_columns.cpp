#include "py/arrow_columns.hpp"

#include <nanoarrow/nanoarrow.h>

#include <cerrno>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "engine/panic.hpp"
#include "py/errors.hpp"

namespace vorlane {

namespace {

constexpr const char* kSchemaCapsule = "arrow_schema";
constexpr const char* kStreamCapsule = "arrow_array_stream";

// The column kind of one cell; nothing for a value that no column type holds.
std::optional<ArrowKind> kind_of_cell(const ArrowCell& cell) {
    switch (cell.kind) {
        case CellKind::Null:
            return ArrowKind::Null;
        case CellKind::Int:
            return ArrowKind::Int64;
        case CellKind::Float:
            return ArrowKind::Float64;
        case CellKind::Bool:
            return ArrowKind::Boolean;
        case CellKind::Str:
            return ArrowKind::Utf8;
        case CellKind::Other:
            break;
    }
    return std::nullopt;
}

// The kind of a column holding values of kinds `seen` and `next`; nothing
// when no kind holds both.
std::optional<ArrowKind> join_kinds(ArrowKind seen, ArrowKind next) {
    if (seen == next || next == ArrowKind::Null)
        return seen;
    if (seen == ArrowKind::Null)
        return next;
    bool numbers = (seen == ArrowKind::Int64 || seen == ArrowKind::Float64) &&
                   (next == ArrowKind::Int64 || next == ArrowKind::Float64);
    if (numbers)
        return ArrowKind::Float64;
    return std::nullopt;
}

// The type name of a cell's value, for errors.
const char* type_name(const ArrowCell& cell) {
    switch (cell.kind) {
        case CellKind::Int:
            return "int";
        case CellKind::Float:
            return "float";
        case CellKind::Bool:
            return "bool";
        case CellKind::Null:
            return "NoneType";
        case CellKind::Str:
        case CellKind::Other:
            break;
    }
    return Py_TYPE(cell.object)->tp_name;
}

ArrowKind column_kind(const std::string& name, const ArrowCells& cells, size_t column) {
    ArrowKind kind = ArrowKind::Null;
    const ArrowCell* example = nullptr;  // a value of the kind so far
    for (size_t row = 0; row < cells.rows(); ++row) {
        const ArrowCell& cell = cells.at(row, column);
        std::optional<ArrowKind> next = kind_of_cell(cell);
        if (!next) {
            PyErr_Format(PyExc_TypeError,
                         "to_arrow: attribute '%s' holds a value of type '%s', which has no "
                         "Arrow column type",
                         name.c_str(), type_name(cell));
            throw py::ErrorAlreadySet{};
        }
        std::optional<ArrowKind> joined = join_kinds(kind, *next);
        if (!joined) {
            PyErr_Format(PyExc_TypeError,
                         "to_arrow: attribute '%s' holds values of types '%s' and '%s', which "
                         "share no Arrow column type",
                         name.c_str(), example ? type_name(*example) : "NoneType", type_name(cell));
            throw py::ErrorAlreadySet{};
        }
        if (example == nullptr && *next != ArrowKind::Null)
            example = &cell;
        kind = *joined;
    }
    return kind;
}

// Turns a nanoarrow failure into an error: MemoryError when it ran out of
// memory, the internal error otherwise (the module asks for nothing that
// the library refuses).
void check_arrow(ArrowErrorCode code, const ArrowError* error = nullptr) {
    if (code == NANOARROW_OK)
        return;
    if (code == ENOMEM) {
        PyErr_NoMemory();
        throw py::ErrorAlreadySet{};
    }
    std::string message = "nanoarrow refused to build a column";
    if (error != nullptr && error->message[0] != '\0')
        message += std::string(": ") + error->message;
    panic(message);
}

ArrowType arrow_type(ArrowKind kind) {
    switch (kind) {
        case ArrowKind::Null:
            return NANOARROW_TYPE_NA;
        case ArrowKind::Int64:
            return NANOARROW_TYPE_INT64;
        case ArrowKind::Float64:
            return NANOARROW_TYPE_DOUBLE;
        case ArrowKind::Utf8:
            return NANOARROW_TYPE_STRING;
        case ArrowKind::Boolean:
            return NANOARROW_TYPE_BOOL;
    }
    panic("unknown Arrow column kind");
}

// A schema released with its holder unless it was moved out.
struct SchemaHolder {
    ArrowSchema schema{};
    ~SchemaHolder() {
        if (schema.release != nullptr)
            ArrowSchemaRelease(&schema);
    }
};
struct ArrayHolder {
    ArrowArray array{};
    ~ArrayHolder() {
        if (array.release != nullptr)
            ArrowArrayRelease(&array);
    }
};

void make_schema(const ArrowColumns& columns, ArrowSchema* out) {
    ArrowSchemaInit(out);
    check_arrow(ArrowSchemaSetTypeStruct(out, static_cast<int64_t>(columns.names.size())));
    for (size_t i = 0; i < columns.names.size(); ++i) {
        check_arrow(ArrowSchemaSetType(out->children[i], arrow_type(columns.kinds[i])));
        check_arrow(ArrowSchemaSetName(out->children[i], columns.names[i].c_str()));
    }
}

// Appends the value of one cell to `child`, a column of `kind`.
ArrowErrorCode append_value(ArrowArray* child, ArrowKind kind, const ArrowCell& cell) {
    switch (cell.kind) {
        case CellKind::Int:
            if (kind == ArrowKind::Float64)
                return ArrowArrayAppendDouble(child, static_cast<double>(cell.int_value));
            return ArrowArrayAppendInt(child, cell.int_value);
        case CellKind::Bool:
            return ArrowArrayAppendInt(child, cell.int_value);
        case CellKind::Float:
            return ArrowArrayAppendDouble(child, cell.float_value);
        case CellKind::Str: {
            Py_ssize_t size = 0;
            // Stored strs encode: one that cannot is refused when it is assigned.
            const char* text = PyUnicode_AsUTF8AndSize(cell.object, &size);
            if (text == nullptr)
                throw py::ErrorAlreadySet{};
            return ArrowArrayAppendString(child, ArrowStringView{text, static_cast<int64_t>(size)});
        }
        case CellKind::Null:
        case CellKind::Other:
            break;
    }
    return ArrowArrayAppendNull(child, 1);
}

// Appends row `row` of the cells: one value to each child, then the row to
// the struct (which checks that every child has grown by one).
void append_row(ArrowArray* out, const ArrowColumns& columns, size_t row) {
    for (size_t column = 0; column < columns.names.size(); ++column) {
        check_arrow(append_value(out->children[column], columns.kinds[column],
                                 columns.values.at(row, column)));
    }
    check_arrow(ArrowArrayFinishElement(out));
}

void build_array(const ArrowColumns& columns, const ArrowSchema* schema, ArrowArray* out) {
    ArrowError error{};
    check_arrow(ArrowArrayInitFromSchema(out, schema, &error), &error);
    check_arrow(ArrowArrayStartAppending(out));
    auto rows = static_cast<int64_t>(columns.values.rows());
    check_arrow(ArrowArrayReserve(out, rows));
    for (size_t column = 0; column < columns.names.size(); ++column)
        check_arrow(ArrowArrayReserve(out->children[column], rows));
    for (size_t row = 0; row < columns.values.rows(); ++row)
        append_row(out, columns, row);
    check_arrow(ArrowArrayFinishBuildingDefault(out, &error), &error);
}

void release_schema_capsule(PyObject* capsule) {
    auto* schema = static_cast<ArrowSchema*>(PyCapsule_GetPointer(capsule, kSchemaCapsule));
    if (schema->release != nullptr)
        ArrowSchemaRelease(schema);
    delete schema;
}

void release_stream_capsule(PyObject* capsule) {
    auto* stream = static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule, kStreamCapsule));
    if (stream->release != nullptr)
        ArrowArrayStreamRelease(stream);
    delete stream;
}

}  // namespace

ArrowColumns type_arrow_columns(std::vector<std::string> names, ArrowCells values) {
    ArrowColumns columns{std::move(names), {}, std::move(values)};
    for (size_t column = 0; column < columns.names.size(); ++column)
        columns.kinds.push_back(column_kind(columns.names[column], columns.values, column));
    return columns;
}

PyObject* arrow_schema_capsule(const ArrowColumns& columns) {
    SchemaHolder holder;
    make_schema(columns, &holder.schema);
    auto schema = std::make_unique<ArrowSchema>();
    ArrowSchemaMove(&holder.schema, schema.get());
    // From here the capsule's destructor frees it.
    ArrowSchema* owned = schema.release();
    PyObject* capsule = PyCapsule_New(owned, kSchemaCapsule, release_schema_capsule);
    if (capsule == nullptr) {
        ArrowSchemaRelease(owned);
        delete owned;
        throw py::ErrorAlreadySet{};
    }
    return capsule;
}

PyObject* arrow_stream_capsule(const ArrowColumns& columns) {
    SchemaHolder schema;
    make_schema(columns, &schema.schema);
    ArrayHolder array;
    build_array(columns, &schema.schema, &array.array);
    auto stream = std::make_unique<ArrowArrayStream>();
    // The stream takes over the schema and the array.
    check_arrow(ArrowBasicArrayStreamInit(stream.get(), &schema.schema, 1));
    ArrowBasicArrayStreamSetArray(stream.get(), 0, &array.array);
    // From here the capsule's destructor frees it.
    ArrowArrayStream* owned = stream.release();
    PyObject* capsule = PyCapsule_New(owned, kStreamCapsule, release_stream_capsule);
    if (capsule == nullptr) {
        ArrowArrayStreamRelease(owned);
        delete owned;
        throw py::ErrorAlreadySet{};
    }
    return capsule;
}

}  // namespace vorlane
