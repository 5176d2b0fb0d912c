#include "bindings/index.hpp"

#include <optional>
#include <utility>
#include <vector>

#include "bindings/filtered_index.hpp"
#include "bindings/indexable.hpp"
#include "bindings/pickling.hpp"
#include "bindings/selection.hpp"
#include "engine/attribute_maps.hpp"
#include "engine/bulk_buffer.hpp"
#include "engine/hash_query.hpp"
#include "engine/prefetch.hpp"
#include "py/args.hpp"
#include "py/errors.hpp"
#include "py/gil.hpp"
#include "py/keywords.hpp"
#include "py/method.hpp"
#include "py/object_list.hpp"
#include "py/ref.hpp"
#include "py/type.hpp"

namespace vorlane {

namespace {

using Record = std::shared_ptr<IndexRecord>;

Record& record(PyObject* self) {
    return py::record_of<Record>(self);
}
py::BorrowFlag& borrow(PyObject* self) {
    return py::borrow_of<Record>(self);
}

// What `Index` gives the methods it shares with `FilteredIndex`.
struct IndexClass {
    using Record = vorlane::Record;
    static constexpr const char* kName = "Index";
    static Scope scope(const Record& index) { return {index, nullptr}; }
    static Record empty() { return IndexRecord::new_(); }
};
using Shared = SharedMethods<IndexClass>;

PyTypeObject* index_type_cache = nullptr;

// The values of `object` as the index stores them. Names beginning with "_"
// are left out unless `with_private` (an index rebased from a view indexes
// those too, so removal must visit them).
ObjectValues values_of(const Indexable& object, bool with_private) {
    ObjectValues values{object.id, {}};
    for (const Attribute& attr : object.attributes) {
        if (with_private || !attr.name.is_private())
            values.values.emplace_back(attr.name, attr.value.key());
    }
    return values;
}

// The values of the `py_ref` argument, read under a shared use of it.
ObjectValues values_of_argument(PyObject* obj, bool with_private) {
    const Indexable& object = py::convert_argument(
        "py_ref", [&]() -> const Indexable& { return py_indexable::expect_indexable(obj); });
    py::SharedBorrow object_use(py_indexable::borrow_flag(obj));
    return values_of(object, with_private);
}

PyObject* index_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const py::Signature sig{.name = "Index.__new__"};
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        py::parse_tuple_arguments(sig, args, kwargs);
        return py::make_instance(type, IndexRecord::new_());
    });
}

PyObject* add_object(PyObject* self, py::Arguments& args) {
    py::ExclusiveBorrow use(borrow(self));
    PyObject* obj = args.values[0];
    ObjectValues values = values_of_argument(obj, false);
    StoredItem item = StoredItem::of(obj);
    IndexRecord& index = *record(self);
    {
        py::ScopedDetach detached;
        {
            LockedItems::WriteGuard table(*index.items);
            store_item(*table, values.id, std::move(item));
            index.live_ids.add(values.id);
            index.version.fetch_add(1, std::memory_order_relaxed);
        }
        LockedMaps::WriteGuard maps(*index.maps);
        add_object_values(*maps, values);
    }
    py::ExclusiveBorrow object_use(py_indexable::borrow_flag(obj));
    py_indexable::expect_indexable(obj).add_index(record(self));
    Py_RETURN_NONE;
}

// How far ahead of the object being read its record, and then the float
// objects its values point to, are fetched into the cache: objects are
// scattered over the heap, and read one after the other each would wait for
// memory twice.
constexpr size_t kRecordLookahead = 16;
constexpr size_t kValueLookahead = 8;

// The objects of `objs`, each exclusively borrowed for the rest of the call.
// An object listed twice is borrowed once and indexed once. Bulk buffers: a
// call may list millions, and their memory goes back once the call is done.
struct BorrowedObjects {
    BulkVector<py::Ref> items;
    BulkVector<PyObject*> distinct;
    BulkVector<py::ExclusiveBorrow> borrows;
};

BorrowedObjects borrow_objects(PyObject* objs) {
    BorrowedObjects out;
    out.items = py::convert_argument("objs", [&] { return py::extract_sequence(objs); });
    // Ids are unique to their objects, so the ids seen tell a repeated object.
    Bitmap seen;
    out.distinct.reserve(out.items.size());
    out.borrows.reserve(out.items.size());
    for (size_t i = 0; i < out.items.size(); ++i) {
        // Objects come from all over the heap: the ones ahead are requested
        // while this one is read.
        if (i + kRecordLookahead < out.items.size()) {
            PyObject* ahead = out.items[i + kRecordLookahead].get();
            prefetch_line(ahead);
            prefetch_line(&py::record_of<Indexable>(ahead).id);
        }
        PyObject* obj = out.items[i].get();
        uint32_t id =
            py::convert_argument("objs", [&] { return py_indexable::expect_indexable(obj).id; });
        if (seen.contains(id))
            continue;
        seen.add(id);
        out.borrows.emplace_back(py_indexable::borrow_flag(obj));
        out.distinct.push_back(obj);
    }
    return out;
}

void prefetch_values(const Indexable& object) {
    for (const Attribute& attr : object.attributes) {
        if (attr.value.kind() == NativeKind::Float)
            prefetch_line(attr.value.obj());
    }
}

// Indexes the attributes of `objects` (exclusively borrowed, so nothing
// changes them meanwhile, and read without the interpreter) in one bulk
// addition.
void index_many(AttributeMaps& maps, std::span<PyObject* const> objects) {
    BulkAddition bulk(maps);
    bulk.add_objects(objects.size(), [&](size_t i, BulkShare& share) {
        if (i + kRecordLookahead < objects.size())
            prefetch_bytes(&py::record_of<Indexable>(objects[i + kRecordLookahead]),
                           sizeof(Indexable));
        if (i + kValueLookahead < objects.size())
            prefetch_values(py::record_of<Indexable>(objects[i + kValueLookahead]));
        const Indexable& object = py::record_of<Indexable>(objects[i]);
        for (const Attribute& attr : object.attributes) {
            if (!attr.name.is_private())
                share.add(object.id, attr.name, attr.value.key());
        }
    });
    bulk.finish();
}

PyObject* add_object_many(PyObject* self, py::Arguments& args) {
    py::ExclusiveBorrow use(borrow(self));
    BorrowedObjects objects = borrow_objects(args.values[0]);
    IndexRecord& index = *record(self);
    {
        py::ScopedDetach detached;
        LockedMaps::WriteGuard maps(*index.maps);
        index_many(*maps, objects.distinct);
    }
    LockedItems::WriteGuard table(*index.items);
    for (PyObject* obj : objects.distinct) {
        Indexable& object = py::record_of<Indexable>(obj);
        object.add_index(record(self));
        store_item(*table, object.id, StoredItem::of(obj));
        index.live_ids.add(object.id);
    }
    index.version.fetch_add(1, std::memory_order_relaxed);
    Py_RETURN_NONE;
}

PyObject* remove_object(PyObject* self, py::Arguments& args) {
    py::ExclusiveBorrow use(borrow(self));
    PyObject* obj = args.values[0];
    ObjectValues values = values_of_argument(obj, true);
    IndexRecord& index = *record(self);
    StoredItem removed;  // released after re-attaching
    {
        py::ScopedDetach detached;
        {
            LockedItems::WriteGuard table(*index.items);
            if (index.live_ids.contains(values.id) && holds_object(*table, values.id, obj)) {
                removed = table->take(values.id);
                index.live_ids.remove(values.id);
                index.version.fetch_add(1, std::memory_order_relaxed);
            }
        }
        if (!removed.empty()) {
            LockedMaps::WriteGuard maps(*index.maps);
            remove_object_values(*maps, values);
        }
    }
    if (removed.empty()) {
        PyErr_SetObject(PyExc_KeyError, obj);
        throw py::ErrorAlreadySet{};
    }
    py::ExclusiveBorrow object_use(py_indexable::borrow_flag(obj));
    py_indexable::expect_indexable(obj).remove_index(&index);
    Py_RETURN_NONE;
}

PyObject* memory_usage(PyObject* self, py::Arguments&) {
    return index_memory_usage(self);
}

PyObject* reduce_method(PyObject* self, PyObject*) {
    return index_reduce(self);
}

PyObject* sizeof_method(PyObject* self, PyObject*) {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        size_t total = static_cast<size_t>(Py_TYPE(self)->tp_basicsize) + index_memory_total(self);
        return PyLong_FromSize_t(total);
    });
}

PyObject* get_by_attribute(PyObject* self, py::Arguments& args) {
    py::SharedBorrow use(borrow(self));
    HashQuery query = keywords_to_hash_query(args.extra_keywords);
    const IndexRecord& index = *record(self);
    std::optional<FilledList> list;
    {
        LockedMaps::ReadGuard maps(*index.maps);
        HashMatch matching = match_hashes(*maps, query);
        list.emplace(matching.cardinality());
        LockedItems::ReadGuard table(*index.items);
        add_objects_of(*table, matching, *list);
    }
    return list->finish();
}

// Re-indexes the attributes of the matching objects after their value sets
// were narrowed: the names the index leaves out stay out, and attributes the
// object gained after it was added are indexed now.
void reindex_matching(AttributeMaps& maps, const LockedItems& items, const Bitmap& matching) {
    matching.for_each([&](uint32_t id) {
        LockedItems::ReadGuard table(items);
        PyObject* obj = item_at(*table, id);
        py::SharedBorrow object_use(py_indexable::borrow_flag(obj), py::BorrowFailure::Panic);
        for (const Attribute& attr : py::record_of<Indexable>(obj).attributes) {
            if (!attr.name.is_private())
                add_index_value(maps, id, attr.name, attr.value.key());
        }
    });
}

PyObject* reduce(PyObject* self, py::Arguments& args) {
    py::ExclusiveBorrow use(borrow(self));
    HashQuery query = keywords_to_hash_query(args.extra_keywords);
    const IndexRecord& index = *record(self);
    LockedMaps::WriteGuard maps(*index.maps);
    HybridSet matching = HybridSet::from_bitmap(filter_index_by_hashes(*maps, query));
    narrow_value_sets(*maps, matching);
    reindex_matching(*maps, *index.items, *matching.bitmap_form());
    Py_RETURN_NONE;
}

PyObject* union_with(PyObject* self, py::Arguments& args) {
    py::ExclusiveBorrow use(borrow(self));
    PyObject* other_obj = args.values[0];
    py::convert_argument("other",
                         [&] { py::expect_instance(other_obj, py_index::index_type(), "Index"); });
    py::SharedBorrow other_use(borrow(other_obj));
    IndexRecord& receiver = *record(self);
    const IndexRecord& other = *record(other_obj);
    if (receiver.maps == other.maps) {
        Py_RETURN_NONE;  // the maps already hold themselves
    }
    bool merged = false;
    {
        py::ScopedDetach detached;
        LockedMaps::WriteGuard maps(*receiver.maps);
        LockedMaps::ReadGuard other_maps(*other.maps);
        // The receiver's live ids are its stored objects, and change only
        // under its exclusive use, which this call holds.
        merged = union_maps(*maps, *other_maps, receiver.live_ids);
    }
    if (!merged) {
        py::raise_error(PyExc_ValueError,
                        "union_with: the other index holds objects that this index does not; "
                        "add them to this index first (nothing was merged)");
    }
    Py_RETURN_NONE;
}

constexpr py::Signature kAddObjectSig{
    .name = "Index.add_object", .params = {"py_ref"}, .nparams = 1, .required = 1};
constexpr py::Signature kAddObjectManySig{
    .name = "Index.add_object_many", .params = {"objs"}, .nparams = 1, .required = 1};
constexpr py::Signature kMemoryUsageSig{.name = "Index.memory_usage"};
constexpr py::Signature kRemoveObjectSig{
    .name = "Index.remove_object", .params = {"py_ref"}, .nparams = 1, .required = 1};
constexpr py::Signature kGetByAttributeSig{.name = "Index.get_by_attribute", .var_keyword = true};
constexpr py::Signature kReduceSig{.name = "Index.reduce", .var_keyword = true};
constexpr py::Signature kUnionWithSig{
    .name = "Index.union_with", .params = {"other"}, .nparams = 1, .required = 1};

PyMethodDef index_methods[] = {
    py::method_def<&kAddObjectSig, add_object>("add_object", "add_object($self, py_ref)\n--\n\n"),
    py::method_def<&kAddObjectManySig, add_object_many>("add_object_many",
                                                        "add_object_many($self, objs)\n--\n\n"),
    Shared::collect_def(),
    py::method_def<&kGetByAttributeSig, get_by_attribute>(
        "get_by_attribute", "get_by_attribute($self, **kwargs)\n--\n\n"),
    py::method_def<&kReduceSig, reduce>("reduce", "reduce($self, **kwargs)\n--\n\n"),
    Shared::reduced_def(),
    Shared::reduced_query_def("reduced_query($self, query)\n--\n\n"),
    py::method_def<&kUnionWithSig, union_with>("union_with", "union_with($self, other)\n--\n\n"),
    Shared::collect_sorted_def(),
    py::method_def<&kMemoryUsageSig, memory_usage>(
        "memory_usage",
        "memory_usage($self)\n--\n\n"
        "Bytes held by the index: a dict with the item table, the value maps, the id "
        "sets, the ordered trees and their total. The objects themselves are not "
        "counted."),
    py::raw_method_def("__reduce__", reduce_method, METH_NOARGS,
                       "Pickling support: the objects and what each attribute map lists."),
    py::raw_method_def("__setstate__", index_setstate, METH_O,
                       "Pickling support: restores the objects and the attribute maps."),
    py::raw_method_def("__sizeof__", sizeof_method, METH_NOARGS,
                       "Size of the index in bytes, with its maps, sets and trees."),
    py::method_def<&kRemoveObjectSig, remove_object>(
        "remove_object",
        "remove_object($self, py_ref)\n--\n\n"
        "Removes the object from this index: it leaves every value set and ordered tree "
        "of the index and its item slot. Raises KeyError when the index does not hold "
        "it."),
    py::kEndOfMethods,
};

PyType_Slot index_slots[] = {
    {Py_tp_doc, const_cast<char*>("Index()\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(index_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(py::dealloc_instance<Record>)},
    {Py_tp_methods, index_methods},
    {Py_sq_length, reinterpret_cast<void*>(Shared::length)},
    {Py_sq_contains, reinterpret_cast<void*>(Shared::contains)},
    {Py_tp_iter, reinterpret_cast<void*>(Shared::iter)},
    {Py_tp_traverse, reinterpret_cast<void*>(Shared::traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(Shared::clear)},
    {0, nullptr},
};

PyType_Spec index_spec = {
    .name = "builtins.Index",
    .basicsize = sizeof(py::Instance<Record>),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    .slots = index_slots,
};

}  // namespace

namespace py_index {

PyTypeObject* index_type() {
    return py::lazy_type(index_type_cache, &index_spec);
}

PyObject* wrap_record(std::shared_ptr<IndexRecord> rec) {
    return py::make_instance(index_type(), std::move(rec));
}

const std::shared_ptr<IndexRecord>& record_of_index(PyObject* self) {
    return record(self);
}

py::BorrowFlag& borrow_of_index(PyObject* self) {
    return borrow(self);
}

}  // namespace py_index

}  // namespace vorlane
