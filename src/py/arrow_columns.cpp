#include "py/arrow_columns.hpp"

#include <nanoarrow/nanoarrow.h>

#include <cerrno>
#include <climits>
#include <cstring>
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

// The TypeError of the value a column refused.
[[noreturn]] void raise_refusal(const std::string& name, const ArrowRefusal& refusal) {
    const char* type = Py_TYPE(refusal.value.get())->tp_name;
    if (refusal.seen == nullptr) {
        PyErr_Format(PyExc_TypeError,
                     "to_arrow: attribute '%s' holds a value of type '%s', which has no "
                     "Arrow column type",
                     name.c_str(), type);
    } else {
        PyErr_Format(PyExc_TypeError,
                     "to_arrow: attribute '%s' holds values of types '%s' and '%s', which "
                     "share no Arrow column type",
                     name.c_str(), refusal.seen, type);
    }
    throw py::ErrorAlreadySet{};
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
        ArrowType type = arrow_type(columns.values.column(i).kind());
        check_arrow(ArrowSchemaSetType(out->children[i], type));
        check_arrow(ArrowSchemaSetName(out->children[i], columns.names[i].c_str()));
    }
}

// The validity bitmap of a column that holds a null. Whole buffers are
// written at once, a column at a time, not a value at a time through the
// appending calls.
void fill_validity(ArrowArray* child, const ArrowColumnCells& cells) {
    ArrowBitmap* validity = ArrowArrayValidityBitmap(child);
    check_arrow(ArrowBitmapReserve(validity, static_cast<int64_t>(cells.rows())));
    ArrowBitmapAppendUnsafe(validity, 1, static_cast<int64_t>(cells.rows()));
    for (uint32_t row : cells.null_rows())
        ArrowBitClear(validity->buffer.data, row);
}

// The words of an int64 or float64 column are its values, bit for bit (a
// column of a kind holds a row).
void fill_numbers(ArrowArray* child, const ArrowColumnCells& cells) {
    check_arrow(ArrowBufferAppend(ArrowArrayBuffer(child, 1), cells.words().data(),
                                  static_cast<int64_t>(cells.rows() * sizeof(uint64_t))));
}

void fill_booleans(ArrowArray* child, const ArrowColumnCells& cells) {
    ArrowBuffer* data = ArrowArrayBuffer(child, 1);
    auto bytes = static_cast<int64_t>((cells.rows() + 7) / 8);
    check_arrow(ArrowBufferReserve(data, bytes));
    std::memset(data->data, 0, static_cast<size_t>(bytes));
    const std::vector<uint64_t>& words = cells.words();
    for (size_t row = 0; row < words.size(); ++row) {
        if (words[row] != 0)
            ArrowBitSet(data->data, static_cast<int64_t>(row));
    }
    data->size_bytes = bytes;
}

// The words of a utf8 column are where each row's text ends.
void fill_strings(ArrowArray* child, const ArrowColumnCells& cells) {
    if (cells.text().size() > static_cast<size_t>(INT32_MAX))
        check_arrow(EOVERFLOW);  // utf8 offsets are 32-bit
    ArrowBuffer* offsets = ArrowArrayBuffer(child, 1);
    check_arrow(ArrowBufferReserve(offsets, static_cast<int64_t>((cells.rows() + 1) * 4)));
    auto* out = reinterpret_cast<int32_t*>(offsets->data);
    out[0] = 0;
    for (size_t row = 0; row < cells.rows(); ++row)
        out[row + 1] = static_cast<int32_t>(cells.words()[row]);
    offsets->size_bytes = static_cast<int64_t>((cells.rows() + 1) * 4);
    if (!cells.text().empty())
        check_arrow(ArrowBufferAppend(ArrowArrayBuffer(child, 2), cells.text().data(),
                                      static_cast<int64_t>(cells.text().size())));
}

void fill_column(ArrowArray* child, const ArrowColumnCells& cells) {
    auto rows = static_cast<int64_t>(cells.rows());
    child->length = rows;
    if (cells.kind() == ArrowKind::Null) {
        child->null_count = rows;
        return;
    }
    child->null_count = static_cast<int64_t>(cells.null_rows().size());
    if (child->null_count != 0)
        fill_validity(child, cells);
    switch (cells.kind()) {
        case ArrowKind::Int64:
        case ArrowKind::Float64:
            fill_numbers(child, cells);
            break;
        case ArrowKind::Boolean:
            fill_booleans(child, cells);
            break;
        case ArrowKind::Utf8:
            fill_strings(child, cells);
            break;
        case ArrowKind::Null:
            break;
    }
}

void build_array(const ArrowColumns& columns, const ArrowSchema* schema, ArrowArray* out) {
    ArrowError error{};
    check_arrow(ArrowArrayInitFromSchema(out, schema, &error), &error);
    for (size_t column = 0; column < columns.names.size(); ++column)
        fill_column(out->children[column], columns.values.column(column));
    out->length = static_cast<int64_t>(columns.values.rows());
    out->null_count = 0;
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
    for (size_t column = 0; column < names.size(); ++column) {
        if (const ArrowRefusal* refusal = values.column(column).refusal())
            raise_refusal(names[column], *refusal);
    }
    return ArrowColumns{std::move(names), std::move(values)};
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
