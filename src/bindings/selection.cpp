#include "bindings/selection.hpp"

#include <limits>
#include <optional>
#include <vector>

#include "bindings/filtered_index.hpp"
#include "bindings/indexable.hpp"
#include "bindings/object_iterator.hpp"
#include "bindings/query_expr.hpp"
#include "engine/evaluator.hpp"
#include "engine/hash_query.hpp"
#include "py/gil.hpp"
#include "py/keywords.hpp"
#include "py/object_list.hpp"
#include "py/value.hpp"

namespace vorlane {

namespace {

// Calls `f(ids)` with the ids the scope selects that still have an object:
// an index's live ids, or a view's selection without the objects removed
// from its index since it was made. An index's live ids change only under
// its exclusive use, which the caller's shared use rules out; for a view
// they are read under the item table's read lock.
template <typename F>
auto with_live_selection(const Scope& scope, F&& f) {
    if (scope.selection == nullptr)
        return f(scope.record->live_ids);
    Bitmap live;
    {
        LockedItems::ReadGuard table(*scope.record->items);
        live = Bitmap::and_(*scope.selection, scope.record->live_ids);
    }
    return f(live);
}

std::optional<size_t> limit_argument(PyObject* obj) {
    if (obj == nullptr || obj == Py_None)
        return std::nullopt;
    long long limit = py::convert_argument("limit", [&] {
        if (!PyLong_Check(obj) || PyBool_Check(obj))
            py::raise_conversion_error(obj, "int");
        long long value = PyLong_AsLongLong(obj);
        if (value == -1 && PyErr_Occurred())
            throw py::ErrorAlreadySet{};
        return value;
    });
    if (limit < 0)
        py::raise_error(PyExc_ValueError, "limit must not be negative");
    return static_cast<size_t>(limit);
}

bool reverse_argument(PyObject* obj) {
    if (obj == nullptr)
        return false;
    return py::convert_argument("reverse", [&] {
        if (!PyBool_Check(obj))
            py::raise_conversion_error(obj, "PyBool");
        return obj == Py_True;
    });
}

}  // namespace

PyObject* scope_reduced(const Scope& scope, const py::Arguments& args) {
    HashQuery query = keywords_to_hash_query(args.extra_keywords);
    Bitmap selection;
    {
        py::ScopedDetach detached;
        LockedMaps::ReadGuard maps(*scope.record->maps);
        selection = filter_index_by_hashes(*maps, query);
        if (scope.selection != nullptr)
            selection.and_inplace(*scope.selection);
    }
    return py_filtered::wrap_view(scope.record, std::move(selection));
}

PyObject* scope_reduced_query(const Scope& scope, const py::Arguments& args) {
    QueryExpr query =
        py::convert_argument("query", [&] { return py_query::copy_expr(args.values[0]); });
    // An index's live ids change only under its exclusive use, which the
    // caller's shared use rules out, and a view's selection never changes:
    // the universe can be read detached.
    const Bitmap& universe = scope.selection ? *scope.selection : scope.record->live_ids;
    Bitmap selection;
    {
        py::ScopedDetach detached;
        LockedMaps::ReadGuard maps(*scope.record->maps);
        selection = evaluate_query(*maps, universe, query);
        // Equality parts answer from the value sets as stored, which a view
        // shares with ids it did not select.
        if (scope.selection != nullptr)
            selection.and_inplace(*scope.selection);
    }
    return py_filtered::wrap_view(scope.record, std::move(selection));
}

PyObject* scope_collect(const Scope& scope) {
    const Bitmap& ids = scope.selection ? *scope.selection : scope.record->live_ids;
    return collect_objects(*scope.record->items, ids);
}

PyObject* scope_collect_sorted(const Scope& scope, const py::Arguments& args) {
    // A name no object ever carried has no map in any index.
    AttrName attr = attr_argument(args.values[0], "attr").value_or(AttrName::absent());
    std::optional<size_t> limit = limit_argument(args.values[1]);
    bool reverse = reverse_argument(args.values[2]);
    std::vector<uint32_t> ids = with_live_selection(scope, [&](const Bitmap& selection) {
        LockedMaps::ReadGuard maps(*scope.record->maps);
        const QueryMap* map = find_query_map(*maps, attr);
        return map ? map->tree().sorted_ids(selection, limit, reverse) : std::vector<uint32_t>();
    });
    std::vector<PyObject*> objects;
    objects.reserve(ids.size());
    {
        LockedItems::ReadGuard table(*scope.record->items);
        for (uint32_t id : ids) {
            if (PyObject* obj = slot_object(*table, id))
                objects.push_back(Py_NewRef(obj));
        }
    }
    return list_from_references(objects);
}

Py_ssize_t scope_length(const Scope& scope) {
    const IndexRecord& record = *scope.record;
    LockedItems::ReadGuard table(*record.items);
    if (scope.selection == nullptr)
        return static_cast<Py_ssize_t>(record.live_ids.cardinality());
    return static_cast<Py_ssize_t>(
        roaring_bitmap_and_cardinality(scope.selection->raw(), record.live_ids.raw()));
}

bool scope_contains(const Scope& scope, PyObject* obj) {
    std::optional<uint32_t> id = py_indexable::id_of(obj);
    if (!id || (scope.selection && !scope.selection->contains(*id)))
        return false;
    const IndexRecord& record = *scope.record;
    LockedItems::ReadGuard table(*record.items);
    return record.live_ids.contains(*id) && holds_object(*table, *id, obj);
}

PyObject* scope_iter(const Scope& scope, PyObject* self) {
    return make_object_iterator(scope.record, scope.selection ? self : nullptr);
}

}  // namespace vorlane
