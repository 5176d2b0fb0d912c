#include "bindings/selection.hpp"

#include <limits>
#include <optional>
#include <vector>

#include "bindings/indexable.hpp"
#include "bindings/object_iterator.hpp"
#include "bindings/query_expr.hpp"
#include "engine/evaluator.hpp"
#include "engine/facets.hpp"
#include "engine/hash_query.hpp"
#include "engine/ordered_sum.hpp"
#include "py/gil.hpp"
#include "py/keywords.hpp"
#include "py/lock_rule.hpp"
#include "py/object_list.hpp"
#include "py/object_lock.hpp"
#include "py/value.hpp"

namespace vorlane {

namespace {

// A view's selection without the objects removed from its index since it
// was made. The caller holds the item table's read lock.
Bitmap live_view_selection(const Scope& scope) {
    return Bitmap::and_(*scope.selection(), scope.record->live_ids);
}

// Calls `f(ids)` with the ids the scope selects that still have an object:
// an index's live ids, or a view's selection without the objects removed
// from its index since it was made. An index's live ids change only under
// its exclusive use, which the caller's shared use rules out; for a view
// they are read under the item table's read lock.
template <typename F>
auto with_live_selection(const Scope& scope, F&& f) {
    if (scope.selection() == nullptr)
        return f(scope.record->live_ids);
    Bitmap live;
    {
        LockedItems::ReadGuard table(*scope.record->items);
        live = live_view_selection(scope);
    }
    return f(live);
}

// The ids of the scope that satisfy `query`, evaluated detached under the
// maps' read lock. An index's live ids change only under its exclusive use,
// which the caller's shared use rules out, and a view's selection never
// changes: the universe can be read detached.
Bitmap select_by_query(const Scope& scope, const QueryExpr& query) {
    const Bitmap& universe = scope.selection() ? *scope.selection() : scope.record->live_ids;
    LockedMaps::ReadGuard maps(*scope.record->maps);
    // An index's maps hold none but its live ids (see `IndexRecord`).
    Bitmap selection = evaluate_query(*maps, universe, query,
                                      scope.selection() ? UniverseCover::Part : UniverseCover::All);
    // Equality parts answer from the value sets as stored, which a view
    // shares with ids it did not select.
    if (scope.selection() != nullptr)
        selection.and_inplace(*scope.selection());
    return selection;
}

// What reading the value of a holder found.
enum class Holding : uint8_t {
    Found,   // the value, held by the object
    Absent,  // no object, or its value is another one
};

// The value under `name` of the object in slot `id`, when it `matches`. The
// caller holds the item table's read lock, and the maps' read lock: an
// assignment changes a value only while it holds the write locks of all the
// object's indexes, so the object holds the values its indexes list.
template <typename Matches>
Holding read_holder(const ItemTable& table, uint32_t id, AttrName name, Matches&& matches,
                    py::LockSafeRef& value) {
    PyObject* obj = slot_object(table, id);
    if (obj == nullptr)
        return Holding::Absent;
    py::AttributeReadLock lock(py::borrow_of<Indexable>(obj));
    const PyValue* held = py::record_of<Indexable>(obj).find(name);
    if (held == nullptr || !matches(*held))
        return Holding::Absent;
    value = py::LockSafeRef::borrow(held->obj());
    return Holding::Found;
}

// The Python value that shows a key of the exact map: the value of the
// smallest id in its whole set, so that one key reads the same in every
// view, skipping, while a hashable value is left,
// unhashable ones (a dict key must hash; every unhashable value shares the
// key of hash 0 with 0 and False).
// `smallest`, when known, is the set's smallest id: tried first, it spares
// looking it up.
Holding show_key(const HybridSet* set, std::optional<uint32_t> smallest, const ItemTable& table,
                 AttrName name, int64_t hash, py::LockSafeRef& shown) {
    if (set == nullptr)
        return Holding::Absent;
    py::LockSafeRef unhashable;
    auto accept = [&](uint32_t id) {
        py::LockSafeRef value;
        Holding holding = read_holder(
            table, id, name, [&](const PyValue& held) { return held.hash() == hash; }, value);
        if (holding != Holding::Found)
            return false;
        if (is_hashable(value.get())) {
            shown = std::move(value);
            return true;
        }
        if (!unhashable)
            unhashable = std::move(value);
        return false;
    };
    if (!(smallest && accept(*smallest)))
        first_accepted(*set, accept);
    if (!shown && unhashable)
        shown = std::move(unhashable);  // the dict refuses it, as it would any unhashable key
    return shown ? Holding::Found : Holding::Absent;
}

// A counted value and the object showing it, read under the locks and
// dropped (or put in the result) once they are given back.
struct ShownCount {
    py::LockSafeRef value;
    uint64_t count;
};

// Appends the counted values shown as Python values to `shown`; the result
// is the first holding that failed. The caller holds the maps' and the item
// table's read locks; the counts' sets are looked up again unless
// `sets_current`: counted under this same hold of the maps' lock, and with no
// selection, so that each count's first id is its set's smallest.
Holding show_counts(const AttributeMaps& maps, const ItemTable& table, AttrName name,
                    const std::vector<ValueCount>& counts, std::vector<ShownCount>& shown,
                    bool sets_current = false) {
    const QueryMap* map = find_query_map(maps, name);
    shown.reserve(shown.size() + counts.size());
    for (const ValueCount& value : counts) {
        const HybridSet* set = value.set;
        std::optional<uint32_t> smallest;
        if (sets_current)
            smallest = value.first_id;
        else
            set = map ? map->find(ValueKey::of_other(value.hash, NativeKind::Unknown)) : nullptr;
        py::LockSafeRef key;
        Holding holding = show_key(set, smallest, table, name, value.hash, key);
        if (holding != Holding::Found)
            return holding;
        shown.push_back({std::move(key), value.count});
    }
    return Holding::Found;
}

// The facet counts of the scope. A view counts only its objects still in
// the index; an index's value sets list only its own objects. The caller
// holds the maps' read lock, and the item table's when `table_held`.
std::vector<ValueCount> count_scope_values(const Scope& scope, const AttributeMaps& maps,
                                           AttrName name, std::optional<size_t> limit,
                                           bool table_held) {
    const QueryMap* map = find_query_map(maps, name);
    if (map == nullptr)
        return {};
    if (scope.selection() == nullptr)
        return count_values(*map, nullptr, std::nullopt, limit);
    std::optional<LockedItems::ReadGuard> table;
    if (!table_held)
        table.emplace(*scope.record->items);
    Bitmap live = live_view_selection(scope);
    uint64_t objects = scope.record->live_ids.cardinality();
    table.reset();
    return count_values(*map, &live, objects, limit);
}

// Panics unless `holding` is Found: a holder missing under the locks is a
// broken invariant, `message`.
void fail_unless_found(Holding holding, const char* message) {
    if (holding == Holding::Absent)
        panic(message);
}

// Moves the shown counts, in order, into `counted`. The values' references
// are taken over, to be dropped once the index is given back rather than
// queued as a lock-safe release would be. No lock is held.
void take_shown(std::vector<ShownCount>& shown, CountedKeys& counted) {
    counted.values.reserve(shown.size());
    counted.counts.reserve(shown.size());
    for (ShownCount& entry : shown) {
        counted.counts.emplace_back(static_cast<uint32_t>(counted.values.size()), entry.count);
        counted.values.push_back(entry.value.release());
    }
}

// The entry of the smallest or largest number of `name` among `selection`.
std::optional<CompositeKey128> extreme_entry(const AttributeMaps& maps, AttrName name,
                                             const Bitmap& selection, bool largest) {
    const QueryMap* map = find_query_map(maps, name);
    if (map == nullptr)
        return std::nullopt;
    return largest ? map->tree().max_entry(selection) : map->tree().min_entry(selection);
}

// The number the entry's object holds, read as for `show_key`. An object
// removed from the index since the entry was found is absent.
Holding read_number(const Scope& scope, const ItemTable& table, AttrName name,
                    CompositeKey128 entry, py::LockSafeRef& value) {
    if (!scope.record->live_ids.contains(entry.id()))
        return Holding::Absent;
    return read_holder(
        table, entry.id(), name,
        [&](const PyValue& held) {
            std::optional<NumericValue> number = held.key().numeric();
            return number && encode_value96(*number) == entry.value_code();
        },
        value);
}

}  // namespace

Bitmap scope_reduced(const Scope& scope, const py::Arguments& args) {
    HashQuery query = keywords_to_hash_query(args.extra_keywords);
    py::ScopedDetach detached;
    LockedMaps::ReadGuard maps(*scope.record->maps);
    Bitmap selection = filter_index_by_hashes(*maps, query);
    if (scope.selection() != nullptr)
        selection.and_inplace(*scope.selection());
    return selection;
}

ViewSelection scope_reduced_query(const Scope& scope, const py::Arguments& args) {
    QueryExpr query =
        py::convert_argument("query", [&] { return py_query::copy_expr(args.values[0]); });
    py::ScopedDetach detached;
    if (scope.view != nullptr)
        return ViewSelection(select_by_query(scope, query));
    // As `select_by_query` over an index, whose maps hold its live ids only;
    // a lone range gives its few ids as a list, which `collect` reads with no
    // bitmap between.
    LockedMaps::ReadGuard maps(*scope.record->maps);
    IdsOfRange ids = evaluate_query_listed(*maps, scope.record->live_ids, query);
    if (auto* listed = std::get_if<std::vector<uint32_t>>(&ids))
        return ViewSelection(std::move(*listed));
    return ViewSelection(std::move(std::get<Bitmap>(ids)));
}

PyObject* scope_count(const Scope& scope, const py::Arguments& args) {
    QueryExpr query =
        py::convert_argument("query", [&] { return py_query::copy_expr(args.values[0]); });
    uint64_t count = 0;
    {
        py::ScopedDetach detached;
        Bitmap selection = select_by_query(scope, query);
        // As `len` of the view `reduced_query` would make: objects removed
        // from the index since do not count.
        LockedItems::ReadGuard table(*scope.record->items);
        count = selection.and_cardinality(scope.record->live_ids);
    }
    return py::check(PyLong_FromUnsignedLongLong(count));
}

PyObject* scope_collect(const Scope& scope) {
    if (scope.view != nullptr) {
        if (std::optional<std::span<const uint32_t>> listed = scope.view->listed())
            return list_objects(*scope.record->items, *listed, false);
    }
    const Bitmap& ids = scope.selection() ? *scope.selection() : scope.record->live_ids;
    return collect_objects(*scope.record->items, ids);
}

PyObject* scope_collect_sorted(const Scope& scope, const py::Arguments& args) {
    // A name no object ever carried has no map in any index.
    AttrName attr = attr_argument(args.values[0], "attr").value_or(AttrName::absent());
    std::optional<size_t> limit = py::limit_argument(args.values[1]);
    bool reverse = py::reverse_argument(args.values[2]);
    size_t offset = py::offset_argument(args.values[3]);
    std::vector<uint32_t> ids = with_live_selection(scope, [&](const Bitmap& selection) {
        LockedMaps::ReadGuard maps(*scope.record->maps);
        const QueryMap* map = find_query_map(*maps, attr);
        // An index's maps hold none but its live ids (see `IndexRecord`).
        UniverseCover cover = scope.selection() ? UniverseCover::Part : UniverseCover::All;
        return map ? map->tree().sorted_ids(selection, limit, reverse, offset, cover)
                   : std::vector<uint32_t>();
    });
    GatheredObjects objects;
    objects.reserve(ids.size());
    {
        LockedItems::ReadGuard table(*scope.record->items);
        objects.add_written(ids.size(), [&](PyObject** out) {
            size_t written = 0;
            for (uint32_t id : ids) {
                if (PyObject* obj = slot_object(*table, id))
                    out[written++] = Py_NewRef(obj);
            }
            return written;
        });
    }
    return objects.to_list();
}

std::optional<OrderedTotal> scope_ordered_total(const Scope& scope, AttrName name,
                                                bool want_fraction) {
    if (name.may_be_held_unlisted())
        return std::nullopt;
    py::ScopedDetach detached;
    LockedMaps::ReadGuard maps(*scope.record->maps);
    const QueryMap* map = find_query_map(*maps, name);
    if (map == nullptr)
        return OrderedTotal{};
    if (want_fraction && !samples_fraction(map->tree()))
        return std::nullopt;
    // An index's maps hold none but its live ids (see `IndexRecord`), so a
    // view's selection needs no meeting with them: the ids it kept of
    // objects removed since are in no tree, or are those of the objects
    // that took them over, which `collect` lists too.
    if (scope.selection() == nullptr)
        return sum_selected(map->tree(), scope.record->live_ids, UniverseCover::All);
    return sum_selected(map->tree(), *scope.selection(), UniverseCover::Part);
}

Py_ssize_t scope_length(const Scope& scope) {
    const IndexRecord& record = *scope.record;
    LockedItems::ReadGuard table(*record.items);
    if (scope.selection() == nullptr)
        return static_cast<Py_ssize_t>(record.live_ids.cardinality());
    return static_cast<Py_ssize_t>(scope.selection()->and_cardinality(record.live_ids));
}

bool scope_contains(const Scope& scope, PyObject* obj) {
    std::optional<uint32_t> id = py_indexable::id_of(obj);
    if (!id || (scope.selection() && !scope.selection()->contains(*id)))
        return false;
    const IndexRecord& record = *scope.record;
    LockedItems::ReadGuard table(*record.items);
    return record.live_ids.contains(*id) && holds_object(*table, *id, obj);
}

PyObject* scope_iter(const Scope& scope, PyObject* self) {
    const Bitmap& walked = scope.selection() ? *scope.selection() : scope.record->live_ids;
    return make_object_iterator(scope.record, self, walked, scope.selection() == nullptr);
}

// Each counted value shown by an object holding it, read attached under both
// read locks. Should a counted value have left every object since the counts
// were taken (another thread assigned them), the counts are taken again
// under those locks, where nothing changes.
std::vector<ShownCount> show_scope_counts(const Scope& scope, AttrName name,
                                          std::optional<size_t> limit,
                                          std::vector<ValueCount> counts) {
    const IndexRecord& record = *scope.record;
    std::vector<ShownCount> shown;
    LockedMaps::ReadGuard maps(*record.maps);
    LockedItems::ReadGuard table(*record.items);
    Holding holding = show_counts(*maps, *table, name, counts, shown);
    if (holding == Holding::Absent) {
        shown.clear();  // their references are dropped once the locks are given back
        counts = count_scope_values(scope, *maps, name, limit, true);
        holding = show_counts(*maps, *table, name, counts, shown);
    }
    fail_unless_found(holding, "a value set lists no object holding its value");
    return shown;
}

// Up to this many values of an attribute, an index's counts are taken
// attached, under the same hold of the locks their values are shown with:
// reading that many set sizes costs less than detaching and attaching again
// and taking the locks twice.
constexpr size_t kCountedAttachedValues = 64;

// An index's counts of an attribute with few values, counted and shown under
// one hold of both read locks. False, and nothing done, for a view or an
// attribute with more values.
bool show_few_counts(const Scope& scope, AttrName name, std::optional<size_t> limit,
                     std::vector<ShownCount>& shown) {
    if (scope.selection() != nullptr)
        return false;
    const IndexRecord& record = *scope.record;
    LockedMaps::ReadGuard maps(*record.maps);
    const QueryMap* map = find_query_map(*maps, name);
    if (map != nullptr && map->exact().size() > kCountedAttachedValues)
        return false;
    LockedItems::ReadGuard table(*record.items);
    std::vector<ValueCount> counts = count_scope_values(scope, *maps, name, limit, true);
    fail_unless_found(show_counts(*maps, *table, name, counts, shown, true),
                      "a value set lists no object holding its value");
    return true;
}

// The counts are taken detached and their values shown under the locks.
void scope_value_counts(const Scope& scope, const py::Arguments& args, CountedKeys& counted) {
    // A name no object ever carried has no map in any index.
    if (PyTuple_Check(args.values[0]))
        return scope_tuple_counts(scope, args.values[0], py::limit_argument(args.values[1]),
                                  counted);
    AttrName name = attr_argument(args.values[0], "name").value_or(AttrName::absent());
    std::optional<size_t> limit = py::limit_argument(args.values[1]);
    std::vector<ShownCount> shown;
    if (!show_few_counts(scope, name, limit, shown)) {
        std::vector<ValueCount> counts;
        {
            py::ScopedDetach detached;
            LockedMaps::ReadGuard maps(*scope.record->maps);
            counts = count_scope_values(scope, *maps, name, limit, false);
        }
        shown = show_scope_counts(scope, name, limit, std::move(counts));
    }
    take_shown(shown, counted);
}

// As `scope_value_counts`: the entry is found detached and its object read
// attached; should that object have left the entry meanwhile, the entry is
// found again under the locks.
PyObject* scope_extreme(const Scope& scope, const py::Arguments& args, bool largest) {
    // A name no object ever carried has no map in any index.
    AttrName name = attr_argument(args.values[0], "name").value_or(AttrName::absent());
    const IndexRecord& record = *scope.record;
    // The ids of a view removed from its index since are caught at the
    // entry found, so the detached walk takes the selection as it is.
    const Bitmap& selection = scope.selection() ? *scope.selection() : record.live_ids;
    std::optional<CompositeKey128> entry;
    {
        py::ScopedDetach detached;
        LockedMaps::ReadGuard maps(*record.maps);
        entry = extreme_entry(*maps, name, selection, largest);
    }
    if (!entry)
        Py_RETURN_NONE;
    py::LockSafeRef value;
    {
        LockedMaps::ReadGuard maps(*record.maps);
        LockedItems::ReadGuard table(*record.items);
        Holding holding = read_number(scope, *table, name, *entry, value);
        if (holding == Holding::Absent) {
            std::optional<Bitmap> live;
            if (scope.selection() != nullptr)
                live = live_view_selection(scope);
            entry = extreme_entry(*maps, name, live ? *live : record.live_ids, largest);
            holding = entry ? read_number(scope, *table, name, *entry, value) : Holding::Found;
        }
        fail_unless_found(holding, "an ordered tree lists an object that does not hold its number");
    }
    if (!value)
        Py_RETURN_NONE;  // nothing left to find under the locks
    return value.release();
}

}  // namespace vorlane
