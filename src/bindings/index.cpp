#include "bindings/index.hpp"

#include <absl/container/flat_hash_map.h>

#include <optional>
#include <span>
#include <string>
#include <utility>

#include "bindings/filtered_index.hpp"
#include "bindings/indexable.hpp"
#include "bindings/iteration.hpp"
#include "engine/panic.hpp"
#include "bindings/pickling.hpp"
#include "bindings/query.hpp"
#include "bindings/sorted_collect.hpp"
#include "py/args.hpp"
#include "py/errors.hpp"
#include "py/gil.hpp"
#include "py/method.hpp"
#include "py/ref.hpp"
#include "py/type.hpp"

namespace vorlane {

// ---------------------------------------------------------------------------
// The record and its operations.

std::shared_ptr<IndexRecord> IndexRecord::new_() {
    auto record = std::make_shared<IndexRecord>();
    record->maps = std::make_shared<LockedMaps>();
    record->items = std::make_shared<LockedItems>();
    return record;
}

const std::shared_ptr<IndexRecord>& default_index_record() {
    static const auto* placeholder = new std::shared_ptr<IndexRecord>(IndexRecord::new_());
    return *placeholder;
}

QueryMap& query_map_for(AttributeMaps& maps, AttrName name) {
    std::unique_ptr<QueryMap>& map = maps[name];
    if (!map)
        map = std::make_unique<QueryMap>();
    return *map;
}

void add_index_value(AttributeMaps& maps, uint32_t id, AttrName name, const ValueKey& value) {
    query_map_for(maps, name).insert(value, id);
}

void remove_index_value(AttributeMaps& maps, AttrName name, const ValueKey& value, uint32_t id) {
    auto entry = maps.find(name);
    if (entry == maps.end())
        return;
    QueryMap& map = *entry->second;
    map.remove_and_prune(value, id);
    if (map.is_empty())
        maps.erase(entry);
}

void update_index(AttributeMaps& maps, AttrName name, const ValueKey& old_value,
                  const ValueKey& new_value, uint32_t id) {
    // Names beginning with "_" are left out of indexes, except by an index
    // that holds a map for such a name (one rebased from a view): that map is
    // kept current like any other.
    auto entry = maps.find(name);
    if (entry == maps.end()) {
        if (!name.is_private())
            add_index_value(maps, id, name, new_value);
        return;
    }
    // One combined step, unless the removal could empty the map: an empty map
    // is dropped and the insertion starts a fresh one, as when the steps run
    // apart.
    if (entry->second->survives_one_removal()) {
        entry->second->replace(old_value, new_value, id);
        return;
    }
    // The removal also drops a tree entry that the exact map no longer lists.
    remove_index_value(maps, name, old_value, id);
    add_index_value(maps, id, name, new_value);
}

void store_item(ItemTable& table, uint32_t id, StoredItem item) {
    if (id >= table.size())
        table.resize(static_cast<size_t>(id) + 1);
    table[id] = std::move(item);
}

bool holds_object(const ItemTable& table, uint32_t id, PyObject* obj) {
    return id < table.size() && table[id].get() == obj;
}

PyObject* item_at(const ItemTable& table, uint32_t id) {
    if (id >= table.size() || table[id].empty())
        panic("called `Option::unwrap()` on a `None` value");
    return table[id].get();
}

int traverse_sole_record(const std::shared_ptr<IndexRecord>& record, visitproc visit, void* arg) {
    if (!record || record.use_count() != 1)
        return 0;
    // Item tables change only under the exclusive use of their Index, which
    // the callers rule out, so the table can be read here without its lock.
    for (const StoredItem& item : record->items->unguarded())
        Py_VISIT(item.get());
    return 0;
}

PyObject* list_from_references(std::span<PyObject* const> objects) {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(objects.size()));
    if (list == nullptr) {
        for (PyObject* obj : objects)
            Py_DECREF(obj);
        throw py::ErrorAlreadySet{};
    }
    for (size_t i = 0; i < objects.size(); ++i)
        PyList_SET_ITEM(list, i, objects[i]);
    return list;
}

namespace {

// How far ahead of the id being read its slot, and then its object, are
// fetched into the cache. A selection's slots are scattered over the item
// table and its objects over the heap: read one after the other, each id
// waits for memory twice. With the next slots and objects already on their
// way, those waits overlap. The slot is fetched first, so that it has arrived
// when the object's address is read from it.
constexpr size_t kSlotLookahead = 128;
constexpr size_t kObjectLookahead = 32;
// Ids visited per run: the look-ahead starts over with each run, so a run is
// many times longer than it (and small enough for the stack).
constexpr uint32_t kVisitRun = 1024;

// The object in slot `id`, or null for an empty slot or one past the table.
PyObject* slot_object(const ItemTable& table, uint32_t id) {
    return id < table.size() ? table[id].get() : nullptr;
}

// Calls `f(id, object)` for each id of `ids` in order, with the object of its
// slot (null when there is none), fetching the slots and objects of the ids
// ahead. Prefetching reads nothing that the caller does not read later and
// never faults, even for a null address.
template <typename F>
void visit_slots(const ItemTable& table, std::span<const uint32_t> ids, F&& f) {
    const size_t n = ids.size();
    for (size_t i = 0; i < n && i < kSlotLookahead; ++i) {
        if (ids[i] < table.size())
            __builtin_prefetch(&table[ids[i]]);
    }
    for (size_t i = 0; i < n; ++i) {
        if (i + kSlotLookahead < n && ids[i + kSlotLookahead] < table.size())
            __builtin_prefetch(&table[ids[i + kSlotLookahead]]);
        if (i + kObjectLookahead < n)
            __builtin_prefetch(slot_object(table, ids[i + kObjectLookahead]), 1);
        f(ids[i], slot_object(table, ids[i]));
    }
}

// A list of new references, filled in place while the item table is read:
// the objects go straight into it, not through a vector first. Allocating
// the list runs no Python code, even with one of the module's locks held:
// an allocation that crosses the collector's threshold only schedules a
// collection, for the interpreter's next check of its eval loop. Slots not
// yet filled are null, which the list's dealloc skips; a list that is not
// handed out is dropped through the deferred release.
class FilledList {
  public:
    explicit FilledList(uint64_t capacity)
        : list_(py::check(PyList_New(static_cast<Py_ssize_t>(capacity)))),
          capacity_(static_cast<Py_ssize_t>(capacity)) {}
    ~FilledList() { py::release_later(list_); }
    FilledList(const FilledList&) = delete;
    FilledList& operator=(const FilledList&) = delete;

    // Takes over a new reference. At most `capacity` are added.
    void add(PyObject* owned) { PyList_SET_ITEM(list_, filled_++, owned); }

    // The list, cut to the objects added. Attached, no lock held: cutting
    // drops nothing but the null slots.
    PyObject* finish() {
        if (filled_ < capacity_)
            py::check_status(PyList_SetSlice(list_, filled_, capacity_, nullptr));
        return std::exchange(list_, nullptr);
    }

  private:
    PyObject* list_;
    Py_ssize_t capacity_;
    Py_ssize_t filled_ = 0;
};

// Adds the objects of `ids` to `list`, read under the table's read lock.
// Every id must have an object (the maps' read lock is held too).
void add_objects_of(const ItemTable& table, const HashMatch& ids, FilledList& list) {
    ids.for_each_block<kVisitRun>([&](std::span<const uint32_t> block) {
        visit_slots(table, block, [&](uint32_t id, PyObject* obj) {
            if (obj == nullptr)
                item_at(table, id);  // the missing-slot error
            list.add(Py_NewRef(obj));
        });
    });
}

}  // namespace

PyObject* collect_objects(const LockedItems& items, const Bitmap& ids) {
    // The selection cannot change: its size bounds the list before the lock
    // is taken.
    FilledList list(ids.cardinality());
    {
        LockedItems::ReadGuard table(items);
        ids.for_each_block<kVisitRun>([&](std::span<const uint32_t> block) {
            visit_slots(*table, block, [&](uint32_t, PyObject* obj) {
                if (obj != nullptr)
                    list.add(Py_NewRef(obj));
            });
        });
    }
    return list.finish();
}

// ---------------------------------------------------------------------------
// The Python class `Index`.

namespace {

using Record = std::shared_ptr<IndexRecord>;

Record& record(PyObject* self) {
    return py::record_of<Record>(self);
}
py::BorrowFlag& borrow(PyObject* self) {
    return py::borrow_of<Record>(self);
}

PyTypeObject* index_type_cache = nullptr;

// Attributes of an object as the index stores them: name and value key.
struct Snapshot {
    uint32_t id;
    absl::InlinedVector<std::pair<AttrName, ValueKey>, kInlineAttributes> values;
};

// Names beginning with "_" are left out unless `with_private` (an index
// rebased from a view indexes those too, so removal must visit them).
Snapshot snapshot_of(const Indexable& object, bool with_private = false) {
    Snapshot snap{object.id, {}};
    for (const Attribute& attr : object.attributes) {
        if (with_private || !attr.name.is_private())
            snap.values.emplace_back(attr.name, attr.value.key());
    }
    return snap;
}

// The snapshot of the `py_ref` argument, read under a shared use of it.
Snapshot snapshot_argument(PyObject* obj, bool with_private) {
    const Indexable& object = py::convert_argument(
        "py_ref", [&]() -> const Indexable& { return py_indexable::expect_indexable(obj); });
    py::SharedBorrow object_use(py_indexable::borrow_flag(obj));
    return snapshot_of(object, with_private);
}

void index_snapshot(AttributeMaps& maps, const Snapshot& snap) {
    for (const auto& [name, value] : snap.values)
        add_index_value(maps, snap.id, name, value);
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
    Snapshot snap = snapshot_argument(obj, false);
    StoredItem item = StoredItem::of(obj);
    IndexRecord& index = *record(self);
    {
        py::ScopedDetach detached;
        {
            LockedItems::WriteGuard table(*index.items);
            store_item(*table, snap.id, std::move(item));
            index.live_ids.add(snap.id);
            index.version.fetch_add(1, std::memory_order_relaxed);
        }
        LockedMaps::WriteGuard maps(*index.maps);
        index_snapshot(*maps, snap);
    }
    py::ExclusiveBorrow object_use(py_indexable::borrow_flag(obj));
    py_indexable::expect_indexable(obj).add_index(record(self));
    Py_RETURN_NONE;
}

// The objects of `objs`, each exclusively borrowed for the rest of the call.
// An object listed twice is borrowed once and indexed once.
struct BorrowedObjects {
    std::vector<py::Ref> items;
    std::vector<PyObject*> distinct;
    std::vector<py::ExclusiveBorrow> borrows;
};

BorrowedObjects borrow_objects(PyObject* objs) {
    BorrowedObjects out;
    out.items = py::convert_argument("objs", [&] { return py::extract_sequence(objs); });
    // Ids are unique to their objects, so the ids seen tell a repeated object.
    Bitmap seen;
    out.distinct.reserve(out.items.size());
    out.borrows.reserve(out.items.size());
    for (const py::Ref& item : out.items) {
        PyObject* obj = item.get();
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

// Indexes the attributes of `objects` (exclusively borrowed), one batch per
// attribute name, so each tree takes its new entries sorted in one go.
void index_many(AttributeMaps& maps, const std::vector<PyObject*>& objects) {
    absl::flat_hash_map<AttrName, QueryMapBatch> batches;
    for (PyObject* obj : objects) {
        const Indexable& object = py::record_of<Indexable>(obj);
        for (const Attribute& attr : object.attributes) {
            if (attr.name.is_private())
                continue;
            auto batch = batches.find(attr.name);
            if (batch == batches.end())
                batch = batches.try_emplace(attr.name, query_map_for(maps, attr.name)).first;
            batch->second.insert(attr.value.key(), object.id);
        }
    }
    for (auto& [name, batch] : batches)
        batch.finish();
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

// Requests what removing every value of `snap` will read: in a large index
// each attribute's set and tree route are cold, and taken one attribute after
// another their misses would not overlap.
void prefetch_removal(const AttributeMaps& maps, const Snapshot& snap) {
    RemovalPrefetch prefetch(snap.id);
    for (const auto& [name, value] : snap.values) {
        auto entry = maps.find(name);
        if (entry != maps.end())
            prefetch.add(*entry->second, value);
    }
    prefetch.run();
}

PyObject* remove_object(PyObject* self, py::Arguments& args) {
    py::ExclusiveBorrow use(borrow(self));
    PyObject* obj = args.values[0];
    Snapshot snap = snapshot_argument(obj, true);
    IndexRecord& index = *record(self);
    StoredItem removed;  // released after re-attaching
    {
        py::ScopedDetach detached;
        {
            LockedItems::WriteGuard table(*index.items);
            if (index.live_ids.contains(snap.id) && holds_object(*table, snap.id, obj)) {
                removed = std::move((*table)[snap.id]);
                index.live_ids.remove(snap.id);
                index.version.fetch_add(1, std::memory_order_relaxed);
            }
        }
        if (!removed.empty()) {
            LockedMaps::WriteGuard maps(*index.maps);
            prefetch_removal(*maps, snap);
            for (const auto& [name, value] : snap.values)
                remove_index_value(*maps, name, value, snap.id);
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

Py_ssize_t index_length(PyObject* self) {
    return py::guard<Py_ssize_t>(-1, [&]() -> Py_ssize_t {
        py::SharedBorrow use(borrow(self));
        const IndexRecord& index = *record(self);
        LockedItems::ReadGuard table(*index.items);
        return static_cast<Py_ssize_t>(index.live_ids.cardinality());
    });
}

int index_contains(PyObject* self, PyObject* obj) {
    return py::guard<int>(-1, [&]() -> int {
        py::SharedBorrow use(borrow(self));
        if (!py_indexable::is_indexable(obj))
            return 0;
        uint32_t id = py::record_of<Indexable>(obj).id;
        const IndexRecord& index = *record(self);
        LockedItems::ReadGuard table(*index.items);
        return index.live_ids.contains(id) && holds_object(*table, id, obj);
    });
}

PyObject* index_collect_sorted(PyObject* self, py::Arguments& args) {
    py::SharedBorrow use(borrow(self));
    const IndexRecord& index = *record(self);
    return collect_sorted(index, index.live_ids, args);
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

int index_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    if (borrow(self).is_exclusive())
        return 0;  // in use: reachable through its caller
    return traverse_sole_record(record(self), visit, arg);
}

// Breaks a cycle by emptying the index (a fresh record); the old record and
// its objects are released after the borrow ends.
int index_clear(PyObject* self) {
    py::BorrowFlag& flag = borrow(self);
    if (!flag.try_exclusive())
        return 0;
    Record old = std::exchange(record(self), IndexRecord::new_());
    flag.end_exclusive();
    return 0;
}

PyObject* index_iter(PyObject* self) {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        py::SharedBorrow use(borrow(self));
        return make_object_iterator(record(self), nullptr);
    });
}

PyObject* collect(PyObject* self, py::Arguments&) {
    py::SharedBorrow use(borrow(self));
    std::vector<PyObject*> objects;
    {
        LockedItems::ReadGuard table(*record(self)->items);
        objects.reserve(table->size());
        for (const StoredItem& item : *table) {
            if (!item.empty())
                objects.push_back(Py_NewRef(item.get()));
        }
    }
    return list_from_references(objects);
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
    for (auto& [name, map] : *maps) {
        for (auto& [value, ids] : map->exact())
            ids.and_inplace(matching);
    }
    reindex_matching(*maps, *index.items, std::get<Bitmap>(matching.form()));
    Py_RETURN_NONE;
}

PyObject* reduced(PyObject* self, py::Arguments& args) {
    py::SharedBorrow use(borrow(self));
    HashQuery query = keywords_to_hash_query(args.extra_keywords);
    const Record& source = record(self);
    Bitmap selection;
    {
        py::ScopedDetach detached;
        LockedMaps::ReadGuard maps(*source->maps);
        selection = filter_index_by_hashes(*maps, query);
    }
    return py_filtered::wrap_view(source, std::move(selection));
}

PyObject* reduced_query(PyObject* self, py::Arguments& args) {
    py::SharedBorrow use(borrow(self));
    QueryExpr query =
        py::convert_argument("query", [&] { return py_query::copy_expr(args.values[0]); });
    const Record& source = record(self);
    Bitmap selection;
    {
        py::ScopedDetach detached;
        LockedMaps::ReadGuard maps(*source->maps);
        selection = evaluate_query(*maps, source->live_ids, query);
    }
    return py_filtered::wrap_view(source, std::move(selection));
}

// Every id listed anywhere in `maps`.
Bitmap ids_in_maps(const AttributeMaps& maps) {
    Bitmap ids;
    for (const auto& [name, map] : maps) {
        for (const auto& [value, set] : map->exact())
            set.or_into(ids);
        map->tree().for_each_entry([&](const CompositeKey128& entry) { ids.add(entry.id()); });
    }
    return ids;
}

// Ids of `ids` that have no object in `table`.
bool all_stored(const ItemTable& table, const Bitmap& ids) {
    bool ok = true;
    ids.for_each([&](uint32_t id) {
        if (id >= table.size() || table[id].empty())
            ok = false;
    });
    return ok;
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
        // Every merged id must name an object of the receiver: a lookup that
        // reaches an id with no stored object could never answer again.
        bool stored = false;
        {
            LockedItems::ReadGuard table(*receiver.items);
            stored = all_stored(*table, ids_in_maps(*other_maps));
        }
        if (stored) {
            for (const auto& [name, map] : *other_maps) {
                std::unique_ptr<QueryMap>& mine = (*maps)[name];
                if (!mine)
                    mine = std::make_unique<QueryMap>();
                mine->merge(*map);
            }
            merged = true;
        }
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
constexpr py::Signature kCollectSig{.name = "Index.collect"};
const py::Signature kCollectSortedSig = collect_sorted_signature("Index.collect_sorted");
constexpr py::Signature kMemoryUsageSig{.name = "Index.memory_usage"};
constexpr py::Signature kRemoveObjectSig{
    .name = "Index.remove_object", .params = {"py_ref"}, .nparams = 1, .required = 1};
constexpr py::Signature kGetByAttributeSig{.name = "Index.get_by_attribute", .var_keyword = true};
constexpr py::Signature kReduceSig{.name = "Index.reduce", .var_keyword = true};
constexpr py::Signature kReducedSig{.name = "Index.reduced", .var_keyword = true};
constexpr py::Signature kReducedQuerySig{
    .name = "Index.reduced_query", .params = {"query"}, .nparams = 1, .required = 1};
constexpr py::Signature kUnionWithSig{
    .name = "Index.union_with", .params = {"other"}, .nparams = 1, .required = 1};

#define VORLANE_METHOD(name, sig, body, doc)                                                       \
    {name,                                                                                         \
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py::fastcall_method<&sig, body>)), \
     METH_FASTCALL | METH_KEYWORDS, doc}

PyMethodDef index_methods[] = {
    VORLANE_METHOD("add_object", kAddObjectSig, add_object, "add_object($self, py_ref)\n--\n\n"),
    VORLANE_METHOD("add_object_many", kAddObjectManySig, add_object_many,
                   "add_object_many($self, objs)\n--\n\n"),
    VORLANE_METHOD("collect", kCollectSig, collect, "collect($self)\n--\n\n"),
    VORLANE_METHOD("get_by_attribute", kGetByAttributeSig, get_by_attribute,
                   "get_by_attribute($self, **kwargs)\n--\n\n"),
    VORLANE_METHOD("reduce", kReduceSig, reduce, "reduce($self, **kwargs)\n--\n\n"),
    VORLANE_METHOD("reduced", kReducedSig, reduced, "reduced($self, **kwargs)\n--\n\n"),
    VORLANE_METHOD("reduced_query", kReducedQuerySig, reduced_query,
                   "reduced_query($self, query)\n--\n\n"),
    VORLANE_METHOD("union_with", kUnionWithSig, union_with, "union_with($self, other)\n--\n\n"),
    VORLANE_METHOD("collect_sorted", kCollectSortedSig, index_collect_sorted, kCollectSortedDoc),
    VORLANE_METHOD("memory_usage", kMemoryUsageSig, memory_usage,
                   "memory_usage($self)\n--\n\n"
                   "Bytes held by the index: a dict with the item table, the value maps, the id "
                   "sets, the ordered trees and their total. The objects themselves are not "
                   "counted."),
    {"__reduce__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(reduce_method)),
     METH_NOARGS, "Pickling support: the objects and what each attribute map lists."},
    {"__setstate__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(index_setstate)),
     METH_O, "Pickling support: restores the objects and the attribute maps."},
    {"__sizeof__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(sizeof_method)),
     METH_NOARGS, "Size of the index in bytes, with its maps, sets and trees."},
    VORLANE_METHOD("remove_object", kRemoveObjectSig, remove_object,
                   "remove_object($self, py_ref)\n--\n\n"
                   "Removes the object from this index: it leaves every value set and ordered tree "
                   "of the index and its item slot. Raises KeyError when the index does not hold "
                   "it."),
    {nullptr, nullptr, 0, nullptr},
};

#undef VORLANE_METHOD

PyType_Slot index_slots[] = {
    {Py_tp_doc, const_cast<char*>("Index()\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(index_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(py::dealloc_instance<Record>)},
    {Py_tp_methods, index_methods},
    {Py_sq_length, reinterpret_cast<void*>(index_length)},
    {Py_sq_contains, reinterpret_cast<void*>(index_contains)},
    {Py_tp_iter, reinterpret_cast<void*>(index_iter)},
    {Py_tp_traverse, reinterpret_cast<void*>(index_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(index_clear)},
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

}  // namespace py_index

}  // namespace vorlane
