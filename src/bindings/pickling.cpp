#include "bindings/pickling.hpp"

#include <absl/container/flat_hash_map.h>
#include <absl/container/flat_hash_set.h>

#include <optional>
#include <string>
#include <vector>

#include "engine/attribute_maps.hpp"
#include "py/errors.hpp"
#include "py/index_record.hpp"
#include "py/indexable_record.hpp"
#include "py/object_list.hpp"
#include "py/object_lock.hpp"
#include "py/ref.hpp"
#include "py/type.hpp"

namespace vorlane {

namespace {

// Format tag of a pickled index, so that a later layout can still read
// this one.
constexpr long kIndexStateVersion = 1;
constexpr const char* kBadState = "invalid Index state";

py::Ref new_int(long long value) {
    return py::Ref::steal(py::check(PyLong_FromLongLong(value)));
}

py::Ref name_object(AttrName name) {
    std::string_view text = name.view();
    return py::Ref::steal(
        py::check(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()))));
}

py::Ref int_list(const std::vector<size_t>& values) {
    py::Ref list = py::Ref::steal(py::check(PyList_New(static_cast<Py_ssize_t>(values.size()))));
    for (size_t i = 0; i < values.size(); ++i)
        PyList_SET_ITEM(list.get(), i, new_int(static_cast<long long>(values[i])).release());
    return list;
}

// The callable and the kind under which `self` pickles: (_restore, kind).
py::Ref restore_function() {
    py::Ref module = py::Ref::steal(py::check(PyImport_ImportModule("Vorlane")));
    return py::Ref::steal(py::check(PyObject_GetAttrString(module.get(), "_restore")));
}

// The kind under which an object pickles: "Index", "Indexable", or the
// subclass of Indexable itself (found by pickle by its own name).
py::Ref kind_name(const char* name) {
    return py::Ref::steal(py::check(PyUnicode_FromString(name)));
}

// The records of the instances pickled here: an `Index` wraps a shared
// handle on its record, an `Indexable` its own record.
using IndexHandle = std::shared_ptr<IndexRecord>;

// What `__reduce__` returns: (_restore, (kind,), state). Pickle makes the
// empty instance and memoizes it before it pickles the state, so objects in
// the state that refer back to the instance find it in the memo.
PyObject* constructor_then_state(py::Ref kind, PyObject* state) {
    return py::check(Py_BuildValue("(O(N)O)", restore_function().get(), kind.release(), state));
}

}  // namespace

// ---------------------------------------------------------------------------
// Indexable

PyObject* indexable_reduce(PyObject* self, bool exact_class) {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        // Copied under the object's lock, put in a dict once it is given back.
        absl::InlinedVector<std::pair<AttrName, py::Ref>, ObjectAttributes::kInlineValues> copied;
        {
            py::ObjectReadLock lock(py::borrow_of<Indexable>(self));
            for (ObjectAttributes::Entry attr : py::record_of<Indexable>(self).attributes)
                copied.emplace_back(attr.name, py::Ref::borrow(attr.value.obj()));
        }
        py::Ref attrs = py::Ref::steal(py::check(PyDict_New()));
        for (const auto& [name, value] : copied) {
            py::check_status(PyDict_SetItem(attrs.get(), name_object(name).get(), value.get()));
        }
        // A subclass instance may carry a __dict__ of its own.
        py::Ref extra = py::Ref::steal(PyObject_GenericGetDict(self, nullptr));
        if (!extra) {
            PyErr_Clear();
            extra = py::Ref::borrow(Py_None);
        }
        py::Ref kind = exact_class ? kind_name("Indexable")
                                   : py::Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(self)));
        py::Ref state = py::Ref::steal(py::check(Py_BuildValue("(OO)", attrs.get(), extra.get())));
        return constructor_then_state(std::move(kind), state.get());
    });
}

namespace {

bool has_attributes(PyObject* obj) {
    py::ObjectReadLock lock(py::borrow_of<Indexable>(obj));
    return py::record_of<Indexable>(obj).attributes.size() != 0;
}

// Lists the attributes of `obj` in every index that holds it, as an addition
// would. For an object whose state pickle set only after that of an index
// holding it: pickling the object first, when it refers to its index, puts
// the index's state before the object's (the index found the object without
// attributes and listed it under none).
void list_in_member_indexes(PyObject* obj) {
    const Indexable& object = py::record_of<Indexable>(obj);
    absl::InlinedVector<std::shared_ptr<IndexRecord>, kInlineMemberships> records;
    {
        py::ObjectReadLock lock(py::borrow_of<Indexable>(obj));
        records = object.resolve_memberships();
    }
    for (const std::shared_ptr<IndexRecord>& index : records) {
        LockedMaps::WriteGuard maps(*index->maps);
        py::ObjectReadLock lock(py::borrow_of<Indexable>(obj));
        for (ObjectAttributes::Entry attr : object.attributes) {
            if (!attr.name.is_private())
                add_index_value(*maps, object.id, attr.name, attr.value.key());
        }
    }
}

}  // namespace

PyObject* indexable_setstate(PyObject* self, PyObject* state) {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* attrs = nullptr;
        PyObject* extra = nullptr;
        if (!PyTuple_Check(state) ||
            !PyArg_ParseTuple(state, "O!O", &PyDict_Type, &attrs, &extra)) {
            PyErr_Clear();
            py::raise_error(PyExc_TypeError, "invalid Indexable state");
        }
        bool fresh = !has_attributes(self);
        py::Ref items = py::Ref::steal(py::check(PyDict_Items(attrs)));
        Py_ssize_t n = PyList_GET_SIZE(items.get());
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* pair = PyList_GET_ITEM(items.get(), i);
            // Through the ordinary assignment, so indexes holding the object follow.
            py::check_status(
                PyObject_SetAttr(self, PyTuple_GET_ITEM(pair, 0), PyTuple_GET_ITEM(pair, 1)));
        }
        if (extra != Py_None) {
            py::Ref dict = py::Ref::steal(py::check(PyObject_GenericGetDict(self, nullptr)));
            py::check_status(PyDict_Update(dict.get(), extra));
        }
        if (fresh)
            list_in_member_indexes(self);
        Py_RETURN_NONE;
    });
}

// ---------------------------------------------------------------------------
// Index

namespace {

struct MapState {
    AttrName name;
    std::vector<size_t> in_sets;  // positions of the objects listed in the value sets
    std::vector<size_t> in_tree;  // positions of the objects listed in the ordered tree
};

}  // namespace

PyObject* index_reduce(PyObject* self) {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        py::SharedBorrow use(py::borrow_of<IndexHandle>(self));
        const IndexRecord& index = *py::record_of<IndexHandle>(self);
        std::vector<PyObject*> objects;
        std::vector<MapState> maps_state;
        {
            LockedMaps::ReadGuard maps(*index.maps);
            LockedItems::ReadGuard table(*index.items);
            absl::flat_hash_map<uint32_t, size_t> position;
            index.live_ids.for_each([&](uint32_t id) {
                if (PyObject* obj = slot_object(*table, id)) {
                    position[id] = objects.size();
                    objects.push_back(Py_NewRef(obj));
                }
            });
            auto listed = [&](uint32_t id, std::vector<size_t>& out) {
                auto found = position.find(id);
                if (found != position.end())
                    out.push_back(found->second);
            };
            for (const auto& [name, map] : *maps) {
                MapState state{name, {}, {}};
                for (const auto& [value, ids] : map->exact())
                    ids.for_each([&](uint32_t id) { listed(id, state.in_sets); });
                map->tree().for_each_entry(
                    [&](const CompositeKey128& entry) { listed(entry.id(), state.in_tree); });
                maps_state.push_back(std::move(state));
            }
        }
        py::Ref object_list = py::Ref::steal(list_from_references(objects));
        py::Ref map_list = py::Ref::steal(py::check(PyList_New(0)));
        for (const MapState& state : maps_state) {
            py::Ref entry = py::Ref::steal(py::check(Py_BuildValue(
                "(NNN)", name_object(state.name).release(), int_list(state.in_sets).release(),
                int_list(state.in_tree).release())));
            py::check_status(PyList_Append(map_list.get(), entry.get()));
        }
        py::Ref state = py::Ref::steal(py::check(
            Py_BuildValue("(lOO)", kIndexStateVersion, object_list.get(), map_list.get())));
        return constructor_then_state(kind_name("Index"), state.get());
    });
}

namespace {

// One (object, attribute) pair to restore into the maps: the object by its
// position in the state's object list.
struct Listing {
    AttrName name;
    size_t position;
    bool in_sets;
};

size_t position_of(PyObject* item, size_t count) {
    size_t pos = PyLong_AsSize_t(item);
    if (PyErr_Occurred() || pos >= count) {
        PyErr_Clear();
        py::raise_error(PyExc_ValueError, kBadState);
    }
    return pos;
}

// The listings of one attribute map's state.
void read_map_state(PyObject* entry, size_t object_count, std::vector<Listing>& out) {
    PyObject* name_obj = nullptr;
    PyObject* in_sets = nullptr;
    PyObject* in_tree = nullptr;
    if (!PyTuple_Check(entry) || !PyArg_ParseTuple(entry, "UO!O!", &name_obj, &PyList_Type,
                                                   &in_sets, &PyList_Type, &in_tree)) {
        PyErr_Clear();
        py::raise_error(PyExc_TypeError, kBadState);
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(name_obj, &size);
    if (text == nullptr)
        throw py::ErrorAlreadySet{};
    AttrName name = AttrName::intern(std::string_view(text, size));
    absl::flat_hash_map<size_t, bool> listed;  // position -> listed in the value sets
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(in_sets); ++i)
        listed[position_of(PyList_GET_ITEM(in_sets, i), object_count)] = true;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(in_tree); ++i)
        listed.try_emplace(position_of(PyList_GET_ITEM(in_tree, i), object_count), false);
    for (const auto& [pos, in_sets_flag] : listed)
        out.push_back({name, pos, in_sets_flag});
}

// Lists the object under its current value of the listing's attribute, if it
// still has that attribute.
void restore_listing(AttributeMaps& maps, PyObject* obj, const Listing& listing) {
    const Indexable& object = py::record_of<Indexable>(obj);
    std::optional<ValueKey> value;
    {
        py::ObjectReadLock lock(py::borrow_of<Indexable>(obj));
        if (const PyValue* found = object.find(listing.name))
            value = found->key();
    }
    if (!value)
        return;  // the object no longer has it
    add_index_value(maps, object.id, listing.name, *value);
    if (listing.in_sets)
        return;
    // Listed in the tree only: its value set was narrowed by a reduction.
    maps[listing.name]->unlist_from_set(*value, object.id);
}

}  // namespace

// Marks the names the objects hold that no listing lists them under: the
// pickled index did not list them (an object gains names unlisted once it
// is in an index), and nothing lists them now.
void mark_unlisted_names(const std::vector<PyObject*>& objects,
                         const std::vector<Listing>& listings) {
    absl::flat_hash_set<std::pair<size_t, const void*>> listed;
    for (const Listing& listing : listings)
        listed.emplace(listing.position, listing.name.identity());
    for (size_t position = 0; position < objects.size(); ++position) {
        PyObject* obj = objects[position];
        py::ObjectReadLock lock(py::borrow_of<Indexable>(obj));
        for (ObjectAttributes::Entry attr : py::record_of<Indexable>(obj).attributes) {
            if (!listed.contains(std::pair(position, attr.name.identity())))
                attr.name.mark_held_unlisted();
        }
    }
}

PyObject* index_setstate(PyObject* self, PyObject* state, PyTypeObject* indexable_type) {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        py::ExclusiveBorrow use(py::borrow_of<IndexHandle>(self));
        long version = 0;
        PyObject* object_list = nullptr;
        PyObject* map_list = nullptr;
        if (!PyTuple_Check(state) ||
            !PyArg_ParseTuple(state, "lO!O!", &version, &PyList_Type, &object_list, &PyList_Type,
                              &map_list) ||
            version != kIndexStateVersion) {
            PyErr_Clear();
            py::raise_error(PyExc_TypeError, kBadState);
        }
        std::vector<PyObject*> objects;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(object_list); ++i) {
            PyObject* obj = PyList_GET_ITEM(object_list, i);
            py::expect_instance(obj, indexable_type, "Indexable");
            objects.push_back(obj);
        }
        std::vector<Listing> listings;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(map_list); ++i)
            read_map_state(PyList_GET_ITEM(map_list, i), objects.size(), listings);

        // Registered and listed under the maps' write lock, as an addition
        // is, so that an assignment of one of the objects meanwhile is not
        // lost (see assignment.hpp).
        const IndexHandle& record = py::record_of<IndexHandle>(self);
        LockedMaps::WriteGuard maps(*record->maps);
        {
            LockedItems::WriteGuard table(*record->items);
            for (PyObject* obj : objects) {
                Indexable& object = py::record_of<Indexable>(obj);
                {
                    py::ObjectWriteLock lock(py::borrow_of<Indexable>(obj));
                    object.add_index(record);
                }
                store_item(*table, object.id, StoredItem::of(obj));
                record->live_ids.add(object.id);
            }
            record->version.fetch_add(1, std::memory_order_relaxed);
        }
        for (const Listing& listing : listings)
            restore_listing(*maps, objects[listing.position], listing);
        mark_unlisted_names(objects, listings);
        Py_RETURN_NONE;
    });
}

}  // namespace vorlane
