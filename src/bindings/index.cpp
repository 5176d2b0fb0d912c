#include "bindings/index.hpp"

#include <array>
#include <functional>
#include <optional>
#include <utility>
#include <vector>

#include "bindings/filtered_index.hpp"
#include "bindings/indexable.hpp"
#include "bindings/pickling.hpp"
#include "bindings/query_expr.hpp"
#include "bindings/selection.hpp"
#include "engine/attribute_maps.hpp"
#include "engine/bulk_buffer.hpp"
#include "engine/evaluator.hpp"
#include "engine/hash_query.hpp"
#include "engine/prefetch.hpp"
#include "py/args.hpp"
#include "py/errors.hpp"
#include "py/gil.hpp"
#include "py/index_memory.hpp"
#include "py/keywords.hpp"
#include "py/method.hpp"
#include "py/object_list.hpp"
#include "py/object_lock.hpp"
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
    static Scope scope(const Record& index, PyObject* self) { return {index, nullptr, self}; }
    static int traverse(const Record& index, visitproc visit, void* arg) {
        return traverse_items(index, visit, arg);
    }
    static Record empty() { return IndexRecord::new_(); }
    static PyObject* wrap_view(const Scope& scope, ViewSelection selection) {
        return py_filtered::wrap_view(scope.owner, scope.record, std::move(selection));
    }
};
using Shared = SharedMethods<IndexClass>;

PyTypeObject* index_type_cache = nullptr;

// The values of `object` as the index stores them. Names beginning with "_"
// are left out unless `with_private` (an index rebased from a view indexes
// those too, so removal must visit them). Read under the object's lock.
ObjectValues values_of(const Indexable& object, bool with_private) {
    ObjectValues values{object.id, {}};
    for (ObjectAttributes::Entry attr : object.attributes) {
        if (with_private || !attr.name.is_private())
            values.values.emplace_back(attr.name, attr.value.key());
    }
    return values;
}

// The `py_ref` argument as an `Indexable`, or the argument error.
Indexable& indexable_argument(PyObject* obj) {
    return py::convert_argument(
        "py_ref", [&]() -> Indexable& { return py_indexable::expect_indexable(obj); });
}

// Registers `index` with `obj` and reads the values to list, in one step
// under the object's lock: an assignment either finished before (the values
// read are the new ones) or finds the membership and moves the object in
// this index too, once the caller gives the index's maps back.
ObjectValues join_index(PyObject* obj, const std::shared_ptr<IndexRecord>& index) {
    Indexable& object = py::record_of<Indexable>(obj);
    py::ObjectWriteLock lock(py_indexable::object_lock(obj));
    object.add_index(index);
    return values_of(object, false);
}

PyObject* index_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const py::Signature sig{.name = "Index.__new__"};
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        py::parse_tuple_arguments(sig, args, kwargs);
        return py::make_instance(type, IndexRecord::new_());
    });
}

// Additions and removals change an index's maps, its item table and the
// object's memberships together, holding the maps' write lock, then the
// table's, and the object's lock while they read its values and change its
// memberships, so that an assignment racing them is neither lost nor applied
// to an index that no longer holds the object (see `assign_attribute` in
// indexable.cpp). Nothing is re-borrowed once the work is done, so nothing
// can fail then.
PyObject* add_object(PyObject* self, py::Arguments& args) {
    py::ExclusiveBorrow use(borrow(self));
    PyObject* obj = args.values[0];
    indexable_argument(obj);
    StoredItem item = StoredItem::of(obj);
    const std::shared_ptr<IndexRecord>& index = record(self);
    {
        py::ScopedDetach detached;
        LockedMaps::WriteGuard maps(*index->maps);
        ObjectValues values = join_index(obj, index);
        add_object_values(*maps, values);
        LockedItems::WriteGuard table(*index->items);
        store_item(*table, values.id, std::move(item));
        index->live_ids.add(values.id);
        index->version.fetch_add(1, std::memory_order_relaxed);
    }
    Py_RETURN_NONE;
}

// How far ahead of the object being read its record is fetched into the
// cache: objects are scattered over the heap, and read one after the other
// each would wait for memory.
constexpr size_t kRecordLookahead = 16;
// How far ahead the values of an object are fetched: each value is an object
// of its own, read to make its key. Closer than the record, which must be
// in the cache by then.
constexpr size_t kValueLookahead = 8;

// The objects of `objs`, each with a new reference for its slot, and their
// ids. An object listed twice is indexed once. Bulk buffers: a call may list
// millions, and their memory goes back once the call is done.
struct ObjectsToAdd {
    BulkVector<py::Ref> items;
    BulkVector<PyObject*> distinct;
    BulkVector<uint32_t> ids;  // of `distinct`, in its order
    BulkVector<StoredItem> stored;
    Bitmap id_set;  // `ids` as a set, for the index's live ids
};

void expect_indexable_item(PyObject* obj) {
    py_indexable::expect_indexable(obj);
}

// The id of every item, each checked to be an `Indexable` as it was read.
BulkVector<uint32_t> ids_of(const BulkVector<py::Ref>& items) {
    BulkVector<uint32_t> ids;
    ids.reserve(items.size());
    for (size_t i = 0; i < items.size(); ++i) {
        // Objects come from all over the heap: the headers ahead are
        // requested while this one is read.
        if (i + kRecordLookahead < items.size())
            prefetch_line(items[i + kRecordLookahead].get());
        ids.push_back(py::record_of<Indexable>(items[i].get()).id);
    }
    return ids;
}

ObjectsToAdd objects_argument(PyObject* objs) {
    ObjectsToAdd out;
    out.items = py::convert_argument(
        "objs", [&] { return py::extract_sequence(objs, expect_indexable_item); });
    out.ids = ids_of(out.items);
    // Ids are unique to their objects, so as many distinct ids as items
    // means no object is listed twice: the usual case, told in one bulk step.
    out.id_set = Bitmap::of_unsorted(out.ids);
    // The slots take over the items' references, sparing each object a
    // second count and its release (a miss each in a large call).
    const bool repeats = out.id_set.cardinality() != out.items.size();
    Bitmap seen;
    BulkVector<uint32_t> ids;  // of the first listings, when there are repeats
    out.distinct.reserve(out.id_set.cardinality());
    out.stored.reserve(out.id_set.cardinality());
    for (size_t i = 0; i < out.items.size(); ++i) {
        if (repeats && !seen.add_checked(out.ids[i]))
            continue;
        out.distinct.push_back(out.items[i].get());
        out.stored.push_back(StoredItem::adopt(out.items[i].release()));
        if (repeats)
            ids.push_back(out.ids[i]);
    }
    if (repeats)
        out.ids = std::move(ids);
    return out;
}

// Requests the value objects of `obj`, which reading its keys will touch.
// Only a hint, read under the object's lock like every read of its values.
void prefetch_values(PyObject* obj) {
    py::ObjectReadLock lock(py_indexable::object_lock(obj));
    for (ObjectAttributes::Entry attr : py::record_of<Indexable>(obj).attributes)
        prefetch_line(attr.value.obj());
}

// Registers `index` with each object and lists its values in one bulk
// addition.
void index_many(AttributeMaps& maps, const std::shared_ptr<IndexRecord>& index,
                std::span<PyObject* const> objects) {
    BulkAddition bulk(maps);
    // Objects without a membership take their references on the record's
    // anchor from these, counted in their share's tally. None is dropped
    // meanwhile: only removal from this index or the object's death would
    // drop one, and this addition excludes the first and holds the objects.
    AnchorReferences anchor(index->anchor, index, objects.size(), [&] { return bulk.tally(); });
    // Large calls read their objects on several threads. A worker may drop
    // the last handle on another index's record (a membership that no
    // longer resolves), whose references must then wait for an attached
    // thread: the caller releases them once it attaches again.
    bulk.add_objects(objects.size(), [&](size_t i, BulkShare& share) {
        py::QueuedReleases queued;
        if (i + kRecordLookahead < objects.size())
            prefetch_bytes(&py::record_of<Indexable>(objects[i + kRecordLookahead]),
                           sizeof(Indexable));
        if (i + kValueLookahead < objects.size())
            prefetch_values(objects[i + kValueLookahead]);
        Indexable& object = py::record_of<Indexable>(objects[i]);
        py::ObjectWriteLock lock(py_indexable::object_lock(objects[i]));
        if (object.memberships.add_first(anchor.get()))
            ++share.tally;
        else
            object.add_index(index);
        for (ObjectAttributes::Entry attr : object.attributes) {
            if (!attr.name.is_private())
                share.add(object.id, attr.name, attr.value.key());
        }
    });
    bulk.finish();
}

// As `add_object` for each object, under one hold of the locks.
PyObject* add_object_many(PyObject* self, py::Arguments& args) {
    py::ExclusiveBorrow use(borrow(self));
    // Declared before the call's buffers, so that each is freed while
    // it is open and may serve a later one.
    BulkBufferReuse reuse;
    ObjectsToAdd objects = objects_argument(args.values[0]);
    const std::shared_ptr<IndexRecord>& index = record(self);
    {
        py::ScopedDetach detached;
        LockedMaps::WriteGuard maps(*index->maps);
        index_many(*maps, index, objects.distinct);
        LockedItems::WriteGuard table(*index->items);
        for (size_t i = 0; i < objects.distinct.size(); ++i)
            store_item(*table, objects.ids[i], std::move(objects.stored[i]));
        index->live_ids.or_inplace(objects.id_set);
        if (!objects.distinct.empty())
            index->version.fetch_add(1, std::memory_order_relaxed);
    }
    Py_RETURN_NONE;
}

// Takes the object in slot `id` out of `index`: its item, its id, its
// membership and its values. The caller holds the maps' and the table's
// write locks, detached, and releases the item once it attaches again.
StoredItem take_out(IndexRecord& index, AttributeMaps& maps, ItemTable& table, uint32_t id) {
    StoredItem removed = table.take(id);
    PyObject* obj = removed.get();
    index.live_ids.remove(id);
    ObjectValues values;
    {
        py::ObjectWriteLock lock(py_indexable::object_lock(obj));
        Indexable& object = py::record_of<Indexable>(obj);
        object.remove_index(&index);
        values = values_of(object, true);
    }
    remove_object_values(maps, values);
    return removed;
}

[[noreturn]] void raise_not_held(PyObject* obj) {
    PyErr_SetObject(PyExc_KeyError, obj);
    throw py::ErrorAlreadySet{};
}

PyObject* remove_object(PyObject* self, py::Arguments& args) {
    py::ExclusiveBorrow use(borrow(self));
    PyObject* obj = args.values[0];
    Indexable& object = indexable_argument(obj);
    IndexRecord& index = *record(self);
    StoredItem removed;  // released after re-attaching
    {
        py::ScopedDetach detached;
        LockedMaps::WriteGuard maps(*index.maps);
        LockedItems::WriteGuard table(*index.items);
        if (index.live_ids.contains(object.id) && holds_object(*table, object.id, obj)) {
            removed = take_out(index, *maps, *table, object.id);
            index.version.fetch_add(1, std::memory_order_relaxed);
        }
    }
    if (removed.empty())
        raise_not_held(obj);
    Py_RETURN_NONE;
}

// The first object of `objects` that the index does not hold, or null. An
// object listed twice is held the second time too. Under the table's lock.
PyObject* first_not_held(const IndexRecord& index, const ItemTable& table,
                         std::span<const py::Ref> objects) {
    for (const py::Ref& ref : objects) {
        uint32_t id = py::record_of<Indexable>(ref.get()).id;
        if (!index.live_ids.contains(id) || !holds_object(table, id, ref.get()))
            return ref.get();
    }
    return nullptr;
}

// Removes every object of the sequence, or, when one is not held, none.
PyObject* remove_many(PyObject* self, py::Arguments& args) {
    // Released attached, and after the index is given back: a sequence that
    // keeps no items of its own (a generator) leaves these the last
    // references to the objects, whose finalisers may use the index.
    BulkVector<py::Ref> objects;
    BulkVector<StoredItem> removed;
    py::ExclusiveBorrow use(borrow(self));
    objects = py::convert_argument("objs", [&] { return py::extract_sequence(args.values[0]); });
    for (const py::Ref& ref : objects)
        py::convert_argument("objs", [&] { py_indexable::expect_indexable(ref.get()); });
    IndexRecord& index = *record(self);
    PyObject* missing = nullptr;
    {
        py::ScopedDetach detached;
        LockedMaps::WriteGuard maps(*index.maps);
        LockedItems::WriteGuard table(*index.items);
        missing = first_not_held(index, *table, objects);
        if (missing == nullptr) {
            removed.reserve(objects.size());
            for (const py::Ref& ref : objects) {
                uint32_t id = py::record_of<Indexable>(ref.get()).id;
                if (index.live_ids.contains(id))  // not an object listed before
                    removed.push_back(take_out(index, *maps, *table, id));
            }
            if (!removed.empty())
                index.version.fetch_add(1, std::memory_order_relaxed);
        }
    }
    if (missing != nullptr)
        raise_not_held(missing);
    Py_RETURN_NONE;
}

// The ids of the index's objects that `query` selects, read under the
// maps' write lock that the removal then uses. Evaluating changes nothing,
// so an internal error it raises (a `bt` with a non-numeric bound) gives the
// lock back sound, as a reader would, instead of poisoning the index.
Bitmap select_for_removal(LockedMaps::WriteGuard& maps, const IndexRecord& index,
                          const QueryExpr& query) {
    try {
        // An index's maps hold none but its live ids (see `IndexRecord`).
        return evaluate_query(*maps, index.live_ids, query, UniverseCover::All);
    } catch (...) {
        maps.release();
        throw;
    }
}

// Removes the objects the query selects; returns how many.
PyObject* remove_where(PyObject* self, py::Arguments& args) {
    // Released attached, and after the index is given back: these can be the
    // last references to the objects, whose finalisers may use the index.
    BulkVector<StoredItem> removed;
    py::ExclusiveBorrow use(borrow(self));
    QueryExpr query =
        py::convert_argument("query", [&] { return py_query::copy_expr(args.values[0]); });
    IndexRecord& index = *record(self);
    {
        py::ScopedDetach detached;
        LockedMaps::WriteGuard maps(*index.maps);
        Bitmap selected = select_for_removal(maps, index, query);
        LockedItems::WriteGuard table(*index.items);
        removed.reserve(selected.cardinality());
        selected.for_each([&](uint32_t id) {
            // The maps list live ids only; an id is never taken out twice.
            if (index.live_ids.contains(id))
                removed.push_back(take_out(index, *maps, *table, id));
        });
        if (!removed.empty())  // a query that selects nothing changes nothing
            index.version.fetch_add(1, std::memory_order_relaxed);
    }
    return py::check(PyLong_FromSize_t(removed.size()));
}

PyObject* memory_usage(PyObject* self, py::Arguments&) {
    py::SharedBorrow use(borrow(self));
    return py::memory_dict(index_memory(*record(self)));
}

PyObject* reduce_method(PyObject* self, PyObject*) {
    return index_reduce(self);
}

PyObject* setstate_method(PyObject* self, PyObject* state) {
    return index_setstate(self, state, py_indexable::indexable_type());
}

PyObject* sizeof_method(PyObject* self, PyObject*) {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        py::SharedBorrow use(borrow(self));
        size_t total =
            static_cast<size_t>(Py_TYPE(self)->tp_basicsize) + index_memory(*record(self)).total();
        return PyLong_FromSize_t(total);
    });
}

PyObject* get_by_attribute(PyObject* self, py::Arguments& args) {
    py::SharedBorrow use(borrow(self));
    HashQuery query = keywords_to_hash_query(args.extra_keywords);
    return list_matching_objects(*record(self), query);
}

// Re-indexes the attributes of the matching objects after their value sets
// were narrowed: the names the index leaves out stay out, and attributes the
// object gained after it was added are indexed now. The caller holds the
// maps' write lock, so no assignment of these objects is half done: each
// object's values are read whole under its lock, and never refused.
void reindex_matching(AttributeMaps& maps, const LockedItems& items, const Bitmap& matching) {
    LockedItems::ReadGuard table(items);
    matching.for_each([&](uint32_t id) {
        PyObject* obj = item_at(*table, id);
        ObjectValues values;
        {
            py::ObjectReadLock lock(py_indexable::object_lock(obj));
            values = values_of(py::record_of<Indexable>(obj), false);
        }
        add_object_values(maps, values);
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

// The receiver's maps locked for writing and the other's for reading, taken
// in ascending record identity like every holder of several maps locks (an
// assignment holds those of all the indexes of its object at once, so the
// other index never shows an object half moved). A poisoned one fails the
// call before anything is merged and leaves the other sound.
struct MapsPair {
    LockedMaps::WriteGuard receiver;
    LockedMaps::ReadGuard other;
};

MapsPair lock_receiver_and_other(IndexRecord& receiver, const IndexRecord& other) {
    if (std::less<const IndexRecord*>()(&other, &receiver)) {
        LockedMaps::ReadGuard other_lock(*other.maps);
        return {LockedMaps::WriteGuard(*receiver.maps), std::move(other_lock)};
    }
    LockedMaps::WriteGuard receiver_lock(*receiver.maps);
    try {
        LockedMaps::ReadGuard other_lock(*other.maps);
        return {std::move(receiver_lock), std::move(other_lock)};
    } catch (...) {
        receiver_lock.release();
        throw;
    }
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
        MapsPair maps = lock_receiver_and_other(receiver, other);
        // The receiver's live ids are its stored objects, and change only
        // under its exclusive use, which this call holds.
        merged = union_maps(*maps.receiver, *maps.other, receiver.live_ids);
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
constexpr py::Signature kRemoveManySig{
    .name = "Index.remove_many", .params = {"objs"}, .nparams = 1, .required = 1};
constexpr py::Signature kRemoveWhereSig{
    .name = "Index.remove_where", .params = {"query"}, .nparams = 1, .required = 1};
constexpr py::Signature kGetByAttributeSig{.name = "Index.get_by_attribute", .var_keyword = true};
constexpr py::Signature kReduceSig{.name = "Index.reduce", .var_keyword = true};
constexpr py::Signature kUnionWithSig{
    .name = "Index.union_with", .params = {"other"}, .nparams = 1, .required = 1};

std::array index_methods = py::method_table(
    std::array{
        py::method_def<&kAddObjectSig, add_object>(
            "add_object",
            "add_object($self, py_ref)\n--\n\n"
            "Adds one Indexable: stores it and indexes each attribute whose name does not begin "
            "with \"_\". Adding it again changes nothing but its stored reference."),
        py::method_def<&kAddObjectManySig, add_object_many>(
            "add_object_many",
            "add_object_many($self, objs)\n--\n\n"
            "Adds every Indexable of the sequence, as add_object does; one listed twice is added "
            "once. Nothing is added when an item is not an Indexable."),
        Shared::collect_def(),
        py::method_def<&kGetByAttributeSig, get_by_attribute>(
            "get_by_attribute",
            "get_by_attribute($self, **kwargs)\n--\n\n"
            "The objects whose attributes equal the keywords, in ascending id order. A keyword's "
            "value is one value when it is a str or not iterable, else the collection of values "
            "one of which must match. No keywords match nothing."),
        py::method_def<&kReduceSig, reduce>(
            "reduce",
            "reduce($self, **kwargs)\n--\n\n"
            "Narrows the equality sets of this index in place to the objects matching the "
            "keywords; ordered comparisons, ranges and collect still see every object."),
        Shared::reduced_def(),
        Shared::reduced_query_def("reduced_query($self, query)\n--\n\n"
                                  "A view of the objects that satisfy the query expression; "
                                  "negations complement within the objects of this index."),
        py::method_def<&kUnionWithSig, union_with>(
            "union_with",
            "union_with($self, other)\n--\n\n"
            "Merges the attribute maps of the Index `other` into this one, so that lookups here "
            "also find what `other` indexes. ValueError when `other` holds objects this index "
            "does not."),
    },
    Shared::reads_defs(),
    std::array{
        py::method_def<&kMemoryUsageSig, memory_usage>(
            "memory_usage",
            "memory_usage($self)\n--\n\n"
            "Bytes held by the index: a dict with the item table, the value maps, the id "
            "sets, the ordered trees and their total. The objects themselves are not "
            "counted."),
        py::raw_method_def("__reduce__", reduce_method, METH_NOARGS,
                           "Pickling support: the objects and what each attribute map lists."),
        py::raw_method_def("__setstate__", setstate_method, METH_O,
                           "Pickling support: restores the objects and the attribute maps."),
        py::raw_method_def("__sizeof__", sizeof_method, METH_NOARGS,
                           "Size of the index in bytes, with its maps, sets and trees."),
        py::method_def<&kRemoveObjectSig, remove_object>(
            "remove_object",
            "remove_object($self, py_ref)\n--\n\n"
            "Removes the object from this index: it leaves every value set and ordered tree "
            "of the index and its item slot. Raises KeyError when the index does not hold "
            "it."),
        py::method_def<&kRemoveManySig, remove_many>(
            "remove_many",
            "remove_many($self, objs)\n--\n\n"
            "Removes every object of the sequence, as remove_object does (one listed twice is "
            "removed once). Raises KeyError naming the first object the index does not hold, "
            "and then removes none: the index is left as it was."),
        py::method_def<&kRemoveWhereSig, remove_where>(
            "remove_where",
            "remove_where($self, query)\n--\n\n"
            "Removes the objects that satisfy the query expression and returns how many."),
    });

std::array index_slots = py::slot_table(
    std::array{
        py::doc_slot("Index()\n--\n\n"),
        py::slot(Py_tp_new, index_new),
        py::slot(Py_tp_dealloc, py::dealloc_instance<Record>),
        py::slot(Py_tp_methods, index_methods.data()),
    },
    Shared::shared_slots());

PyType_Spec index_spec = py::spec_of<Record>(
    "builtins.Index", Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, index_slots.data());

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
