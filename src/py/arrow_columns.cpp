#include "py/arrow_columns.hpp"

#include <nanoarrow/nanoarrow.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

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

// The error of a text column longer than its 32-bit utf8 offsets reach: a
// limit of the data, not a broken invariant, so an ordinary exception.
[[noreturn]] void raise_text_overflow(const std::string& name) {
    PyErr_Format(PyExc_OverflowError,
                 "to_arrow: the texts of attribute '%s' take more than %d bytes, more than "
                 "an Arrow utf8 column holds",
                 name.c_str(), INT32_MAX);
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
        check_arrow(ArrowSchemaSetType(out->children[i], arrow_type(columns.kinds[i])));
        check_arrow(ArrowSchemaSetName(out->children[i], columns.names[i].c_str()));
    }
}

using SharedColumns = std::shared_ptr<const ArrowColumns>;

// Drops the hold on the columns that one shared buffer kept.
void drop_hold(ArrowBufferAllocator* allocator, uint8_t*, int64_t) {
    delete static_cast<SharedColumns*>(allocator->private_data);
}

// Points `buffer` at `bytes` of the columns, holding them until the buffer
// is released (by whichever reader and thread releases the array). An empty
// one is left to the library.
void share_bytes(ArrowBuffer* buffer, std::span<const uint8_t> bytes, const SharedColumns& owner) {
    if (bytes.empty())
        return;
    auto* hold = new SharedColumns(owner);
    ArrowErrorCode code = ArrowBufferSetAllocator(buffer, ArrowBufferDeallocator(&drop_hold, hold));
    if (code != NANOARROW_OK) {
        delete hold;
        check_arrow(code);
    }
    buffer->data = const_cast<uint8_t*>(bytes.data());
    buffer->size_bytes = static_cast<int64_t>(bytes.size());
    buffer->capacity_bytes = buffer->size_bytes;
}

void fill_column(ArrowArray* child, const ArrowColumnCells& cells, const SharedColumns& owner) {
    auto rows = static_cast<int64_t>(cells.rows());
    child->length = rows;
    if (cells.kind() == ArrowKind::Null) {
        child->null_count = rows;
        return;
    }
    child->null_count = static_cast<int64_t>(cells.null_count());
    if (!cells.validity().empty()) {
        ArrowBitmap* validity = ArrowArrayValidityBitmap(child);
        share_bytes(&validity->buffer, cells.validity(), owner);
        validity->size_bits = rows;
    }
    share_bytes(ArrowArrayBuffer(child, 1), cells.values(), owner);
    if (cells.kind() == ArrowKind::Utf8)
        share_bytes(ArrowArrayBuffer(child, 2), cells.text(), owner);
}

void build_array(const SharedColumns& columns, const ArrowCells& part, const ArrowSchema* schema,
                 ArrowArray* out) {
    ArrowError error{};
    check_arrow(ArrowArrayInitFromSchema(out, schema, &error), &error);
    for (size_t column = 0; column < part.width(); ++column)
        fill_column(out->children[column], part.column(column), columns);
    out->length = static_cast<int64_t>(part.rows());
    out->null_count = 0;
    check_arrow(ArrowArrayFinishBuildingDefault(out, &error), &error);
}

// The kind of each column over every part.
std::vector<ArrowKind> joined_kinds(const std::vector<ArrowCells>& parts, size_t width) {
    std::vector<ArrowKind> kinds(width, ArrowKind::Null);
    for (const ArrowCells& part : parts) {
        for (size_t column = 0; column < width; ++column) {
            std::optional<ArrowKind> joined =
                join_arrow_kinds(kinds[column], part.column(column).kind());
            if (!joined)
                panic("parts of an Arrow column disagree on its type");
            kinds[column] = *joined;
        }
    }
    return kinds;
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

size_t ArrowColumns::rows() const {
    size_t rows = 0;
    for (const ArrowCells& part : parts)
        rows += part.rows();
    return rows;
}

bool arrow_parts_agree(const std::vector<ArrowCells>& parts) {
    if (parts.empty())
        return true;
    for (size_t column = 0; column < parts[0].width(); ++column) {
        ArrowKind kind = ArrowKind::Null;
        for (const ArrowCells& part : parts) {
            const ArrowColumnCells& cells = part.column(column);
            std::optional<ArrowKind> joined = join_arrow_kinds(kind, cells.kind());
            if (cells.refusal() != nullptr || cells.overflowed() || !joined)
                return false;
            kind = *joined;
        }
    }
    return true;
}

std::shared_ptr<const ArrowColumns> type_arrow_columns(std::vector<std::string> names,
                                                       std::vector<ArrowCells> parts) {
    for (const ArrowCells& part : parts) {
        for (size_t column = 0; column < names.size(); ++column) {
            const ArrowColumnCells& cells = part.column(column);
            if (const ArrowRefusal* refusal = cells.refusal())
                raise_refusal(names[column], *refusal);
            if (cells.overflowed())
                raise_text_overflow(names[column]);
        }
    }
    std::vector<ArrowKind> kinds = joined_kinds(parts, names.size());
    for (ArrowCells& part : parts) {
        for (size_t column = 0; column < names.size(); ++column) {
            part.column(column).become(kinds[column]);
            part.column(column).finish();
        }
    }
    return std::make_shared<const ArrowColumns>(
        ArrowColumns{std::move(names), std::move(parts), std::move(kinds)});
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

PyObject* arrow_stream_capsule(const std::shared_ptr<const ArrowColumns>& columns) {
    SchemaHolder schema;
    make_schema(*columns, &schema.schema);
    std::vector<ArrayHolder> arrays(columns->parts.size());
    for (size_t i = 0; i < arrays.size(); ++i)
        build_array(columns, columns->parts[i], &schema.schema, &arrays[i].array);
    auto stream = std::make_unique<ArrowArrayStream>();
    // The stream takes over the schema and the arrays.
    check_arrow(ArrowBasicArrayStreamInit(stream.get(), &schema.schema,
                                          static_cast<int64_t>(arrays.size())));
    for (size_t i = 0; i < arrays.size(); ++i)
        ArrowBasicArrayStreamSetArray(stream.get(), static_cast<int64_t>(i), &arrays[i].array);
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
