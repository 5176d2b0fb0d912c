#include "bindings/selection_values.hpp"

#include <algorithm>
#include <span>
#include <string>
#include <vector>

#include <absl/container/inlined_vector.h>

#include "bindings/arrow_export.hpp"
#include "bindings/arrow_reading.hpp"
#include "bindings/indexable.hpp"
#include "bindings/selected_objects.hpp"
#include "bindings/selection.hpp"
#include "engine/facets.hpp"
#include "engine/numeric_sum.hpp"
#include "engine/panic.hpp"
#include "engine/tuple_counts.hpp"
#include "engine/tuple_sets.hpp"
#include "py/errors.hpp"
#include "py/gil.hpp"
#include "py/object_lock.hpp"
#include "py/ref.hpp"
#include "py/value.hpp"
#include "py/value_grid.hpp"

namespace vorlane {

Names names_argument(std::span<PyObject* const> objs, const char* param) {
    Names out;
    for (PyObject* obj : objs) {
        out.names.push_back(attr_argument(obj, param));
        out.strs.push_back(obj);
    }
    return out;
}

namespace {

// The values of the asked names of one object (see `read_objects`).
using Values = std::span<const PyValue* const>;

// A new reference to the value of each name the object holds, null for one
// it lacks, row by row.
ValueGrid read_grid(const Scope& scope, const Names& names) {
    size_t width = names.names.size();
    ScopeIds selected(scope);
    ValueGrid grid(width, selected.size());
    NameFinder finder(names);
    std::vector<PyObject**> columns(width);
    LockedItems::ReadGuard table(*scope.record->items);
    selected.for_each_block<kGatherRun>([&](std::span<const uint32_t> ids) {
        for (size_t c = 0; c < width; ++c)
            columns[c] = grid.next_cells(c, ids.size());
        grid.add_rows(gather_values(*table, ids, finder, nullptr, columns));
    });
    return grid;
}

// The keyword-only `default` of `columns`: any other keyword is refused as
// the interpreter refuses an unexpected one.
PyObject* default_argument(const py::Arguments& args) {
    PyObject* fallback = Py_None;
    for (const py::Keyword& keyword : args.extra_keywords) {
        if (PyUnicode_Check(keyword.name) &&
            PyUnicode_CompareWithASCIIString(keyword.name, "default") == 0) {
            fallback = keyword.value;
            continue;
        }
        PyErr_Format(PyExc_TypeError, "columns() got an unexpected keyword argument '%S'",
                     keyword.name);
        throw py::ErrorAlreadySet{};
    }
    return fallback;
}

// The lists of `columns`, one per name, made before any lock is taken with
// room for every id of the scope; `gather` sets the items of the rows read.
class ColumnLists {
  public:
    ColumnLists(size_t width, size_t rows) : room_(rows), at_(width) {
        for (size_t i = 0; i < width; ++i) {
            lists_.push_back(py::Ref::steal(py::check(PyList_New(static_cast<Py_ssize_t>(rows)))));
            items_.push_back(reinterpret_cast<PyListObject*>(lists_.back().get())->ob_item);
        }
    }
    // Sets the items of the next rows to new references to the values of
    // the objects of `ids` that `table` holds (`fallback` for a name one
    // lacks); runs no Python code and allocates nothing Python's.
    void gather(const ItemTable& table, std::span<const uint32_t> ids, NameFinder& finder,
                PyObject* fallback) {
        if (ids.size() > room_ - rows_)
            panic("columns read more rows than the scope selects");
        for (size_t c = 0; c < items_.size(); ++c)
            at_[c] = items_[c] + rows_;
        rows_ += gather_values(table, ids, finder, fallback, at_);
    }
    // Gives back the room of the rows not read (objects removed since a
    // view was made leave no row), once no lock is held.
    py::Ref take(size_t column) {
        py::Ref& list = lists_[column];
        if (rows_ < room_)
            py::check_status(PyList_SetSlice(list.get(), static_cast<Py_ssize_t>(rows_),
                                             static_cast<Py_ssize_t>(room_), nullptr));
        return std::move(list);
    }

  private:
    std::vector<py::Ref> lists_;
    // Each list's items: the lists keep their length until `take`.
    std::vector<PyObject**> items_;
    std::vector<PyObject**> at_;  // where `gather` writes each column
    size_t room_;
    size_t rows_ = 0;
};

// A dict of the attributes of `obj`, whose keys and values were copied from
// its storage under the lock: the pairs of `row`.
struct AttributePairs {
    std::vector<PyObject*> refs;  // name, value, name, value, ...
    std::vector<size_t> ends;     // where each object's pairs end in `refs`
    ~AttributePairs() {
        for (PyObject* ref : refs)
            Py_XDECREF(ref);
    }
};

void copy_attributes(const Indexable& object, AttributePairs& out) {
    const ObjectAttributes& attributes = object.attributes;
    for (size_t pos = 0; pos < attributes.size(); ++pos) {
        out.refs.push_back(Py_NewRef(attributes.layout().str(pos)));
        out.refs.push_back(Py_NewRef(attributes.value(pos).obj()));
    }
    out.ends.push_back(out.refs.size());
}

// `records()` with no names: every attribute of each object.
PyObject* all_attribute_records(const Scope& scope) {
    AttributePairs pairs;
    pairs.ends.reserve(ScopeIds(scope).size());
    for_each_selected<true>(scope, Names{}, [&](const Indexable& object, uint32_t, Values) {
        copy_attributes(object, pairs);
    });
    py::Ref list =
        py::Ref::steal(py::check(PyList_New(static_cast<Py_ssize_t>(pairs.ends.size()))));
    size_t begin = 0;
    for (size_t row = 0; row < pairs.ends.size(); ++row) {
        PyObject* dict = py::check(PyDict_New());
        PyList_SET_ITEM(list.get(), row, dict);
        for (size_t at = begin; at < pairs.ends[row]; at += 2)
            py::check_status(PyDict_SetItem(dict, pairs.refs[at], pairs.refs[at + 1]));
        begin = pairs.ends[row];
    }
    return list.release();
}

PyObject* int_from_total(__int128 total) {
    if (total >= INT64_MIN && total <= INT64_MAX)
        return py::check(PyLong_FromLongLong(static_cast<long long>(total)));
    return py::check(PyLong_FromNativeBytes(&total, sizeof(total), Py_ASNATIVEBYTES_NATIVE_ENDIAN));
}

// `total / count` as Python divides ints: rounded once, from the exact
// quotient (a float division of the rounded total would round twice, and
// differ past 2^53).
PyObject* mean_of_ints(__int128 total, uint64_t count) {
    py::Ref numerator = py::Ref::steal(int_from_total(total));
    py::Ref denominator = py::Ref::steal(py::check(PyLong_FromUnsignedLongLong(count)));
    return py::check(PyNumber_TrueDivide(numerator.get(), denominator.get()));
}

// The first holder's values of each counted group, `width` per group: owned
// references, kept by a `CountedKeys`.
using GroupValues = std::vector<PyObject*>;

bool all_hashable(Values values) {
    return std::all_of(values.begin(), values.end(),
                       [](const PyValue* value) { return is_hashable(value->obj()); });
}

// Shows `group` by `values`, held by a later holder, when those can make a
// dict key and the values shown so far cannot, as a single name's key is
// shown. Under the item table's read lock: the values replaced are
// released later.
void show_hashable(GroupValues& firsts, uint32_t group, Values values) {
    std::span<PyObject*> shown(&firsts[size_t{group} * values.size()], values.size());
    if (std::all_of(shown.begin(), shown.end(), is_hashable) || !all_hashable(values))
        return;
    for (size_t i = 0; i < shown.size(); ++i)
        py::release_later(std::exchange(shown[i], Py_NewRef(values[i]->obj())));
}

// Whether `keys` may stand for a value that cannot make a dict key, which
// is stored under the key of hash 0.
bool may_key_unhashable(std::span<const int64_t> keys) {
    return std::find(keys.begin(), keys.end(), 0) != keys.end();
}

// Counts the tuple of keys of `object`, unless it lacks one of the names;
// keeps the values of the first holder of each tuple whose values can all
// make a dict key (the first holder when none can).
void count_tuple(uint32_t id, Values values, std::vector<int64_t>& keys, TupleCounter& counter,
                 GroupValues& firsts) {
    for (size_t i = 0; i < keys.size(); ++i) {
        if (values[i] == nullptr)
            return;
        keys[i] = values[i]->hash();
    }
    if (counter.add(keys, id)) {
        for (const PyValue* value : values)
            firsts.push_back(Py_NewRef(value->obj()));
    } else if (may_key_unhashable(keys)) {
        show_hashable(firsts, counter.last_group(), values);
    }
}

// Ids of the objects left out of the value sets checked at a time.
constexpr uint32_t kCheckBlock = 256;

// Whether an object of `ids` holds every asked name. The caller holds the
// item table's read lock, under which each id of `ids` has its object.
bool any_holds_all(const ItemTable& table, const Bitmap& ids, NameFinder& finder, size_t width) {
    bool found = false;
    ids.for_each_block_while<kCheckBlock>([&](std::span<const uint32_t> block) {
        for (uint32_t id : block) {
            PyObject* obj = slot_object(table, id);
            if (obj == nullptr)
                continue;
            py::AttributeReadLock lock(py::borrow_of<Indexable>(obj));
            const Indexable& object = py::record_of<Indexable>(obj);
            size_t held = 0;
            while (held < width && finder.value(object, held) != nullptr)
                ++held;
            if (held == width) {
                found = true;
                return false;
            }
        }
        return true;
    });
    return found;
}

// Names counted together, up to which a group's values are read with no
// allocation: a tuple of names is written out by hand, and rarely long.
constexpr size_t kInlineGroupWidth = 8;

// The values of `keys` held by the object in slot `id`, which the value
// sets list under them: the maps list an object only under the values it
// holds while their read lock is held. Under the item table's read lock.
template <typename F>
void with_group_values(const ItemTable& table, uint32_t id, std::span<const int64_t> keys,
                       NameFinder& finder, F&& f) {
    PyObject* obj = slot_object(table, id);
    if (obj == nullptr)
        panic("a value set lists an id with no object");
    py::AttributeReadLock lock(py::borrow_of<Indexable>(obj));
    const Indexable& object = py::record_of<Indexable>(obj);
    absl::InlinedVector<const PyValue*, kInlineGroupWidth> values(keys.size());
    for (size_t i = 0; i < keys.size(); ++i) {
        values[i] = finder.value(object, i);
        if (values[i] == nullptr || values[i]->hash() != keys[i])
            panic("a value set lists an object that does not hold its value");
    }
    f(Values(values));
}

// Keeps new references to the values of the group's first holder, or of its
// first one among `selected` whose values can all make a dict key, as
// `count_tuple` keeps them.
void keep_first_values(const ItemTable& table, std::span<const QueryMap* const> maps,
                       const Bitmap& selected, const TupleSetCounts& counts,
                       const TupleCount& group, NameFinder& finder, GroupValues& firsts) {
    std::span<const int64_t> keys = counts.keys_of(group.group);
    bool hashable = true;
    with_group_values(table, group.first_id, keys, finder, [&](Values values) {
        for (const PyValue* value : values)
            firsts.push_back(Py_NewRef(value->obj()));
        hashable = all_hashable(values);
    });
    if (hashable)
        return;
    // The group's holders: the ids of `selected` in each of its sets.
    auto position = static_cast<uint32_t>(firsts.size() / keys.size() - 1);
    std::vector<const HybridSet*> sets;
    for (size_t i = 0; i < keys.size(); ++i) {
        sets.push_back(maps[i]->find(ValueKey::of_other(keys[i], NativeKind::Unknown)));
        if (sets.back() == nullptr)
            panic("a counted group has no value set");
    }
    first_accepted(*sets[0], [&](uint32_t id) {
        for (size_t i = 1; i < sets.size(); ++i) {
            if (!sets[i]->contains(id))
                return false;
        }
        if (!selected.contains(id))
            return false;
        bool shown = false;
        with_group_values(table, id, keys, finder, [&](Values values) {
            shown = all_hashable(values);
            if (shown)
                show_hashable(firsts, position, values);
        });
        return shown;
    });
}

// The selected objects cost about one step each when read (see
// `count_tuples_from_sets`); the sets are taken when they cost at most
// this part of that.
constexpr uint64_t kSetStepsPerObjectRead = 2;

// The ranked groups of the names' key tuples, counted from the value sets
// under one hold of the maps' and the item table's read locks, with the
// values of each group's first holder kept in `firsts` (group numbers are
// positions in the result). What reading every selected object would give:
// the sets list an object under the values it holds, and the objects they
// leave out are read to check that none holds every name (an object may
// hold a name its index does not list: gained after it joined, private,
// or left out by `reduce`). Nothing when that check fails, a name has no
// map, or the sets would cost more than reading the objects.
std::optional<std::vector<TupleCount>> tuple_counts_from_sets(const Scope& scope,
                                                              const Names& names,
                                                              std::optional<size_t> limit,
                                                              GroupValues& firsts) {
    const IndexRecord& record = *scope.record;
    LockedMaps::ReadGuard maps(*record.maps);
    LockedItems::ReadGuard table(*record.items);
    std::vector<const QueryMap*> query_maps;
    for (const std::optional<AttrName>& name : names.names) {
        const QueryMap* map = name ? find_query_map(*maps, *name) : nullptr;
        if (map == nullptr)
            return std::nullopt;
        query_maps.push_back(map);
    }
    std::optional<Bitmap> live;
    if (scope.selection() != nullptr)
        live = Bitmap::and_(*scope.selection(), record.live_ids);
    const Bitmap& selected = live ? *live : record.live_ids;
    uint64_t objects = selected.cardinality();
    std::optional<TupleSetCounts> counts =
        count_tuples_from_sets(query_maps, selected, objects / kSetStepsPerObjectRead);
    if (!counts)
        return std::nullopt;
    NameFinder finder(names);
    if (counts->counted < objects &&
        any_holds_all(*table, unlisted_ids(query_maps, selected), finder, names.names.size()))
        return std::nullopt;
    std::vector<TupleCount> ranked = counts->ranked(limit);
    for (size_t position = 0; position < ranked.size(); ++position) {
        keep_first_values(*table, query_maps, selected, *counts, ranked[position], finder, firsts);
        ranked[position].group = static_cast<uint32_t>(position);
    }
    return ranked;
}

// The numbers of `name` the selected objects hold, read object by object.
NumericSum sum_of_objects(const Scope& scope, AttrName name) {
    NumericSum sum;
    Names names{{}, {name}};
    for_each_selected<false>(scope, names, [&](const Indexable&, uint32_t, Values values) {
        const PyValue* value = values[0];
        if (value == nullptr)
            return;
        if (std::optional<NumericValue> number = value->key().numeric())
            sum.add(*number);
    });
    return sum;
}

// The numbers of `name` the selected objects hold: from the index's ordered
// entries when they give the answer (a mean, or a total that some fraction
// makes a float, or no number at all), else from the objects, which alone
// tell whether whole numbers were ints or floats.
NumericSum sum_of_selected(const Scope& scope, AttrName name, bool mean) {
    std::optional<OrderedTotal> ordered = scope_ordered_total(scope, name, !mean);
    if (ordered && (mean || ordered->has_fraction || ordered->sum.count() == 0))
        return ordered->sum;
    return sum_of_objects(scope, name);
}

}  // namespace

PyObject* scope_columns(const Scope& scope, const py::Arguments& args) {
    PyObject* fallback = default_argument(args);
    Names names = names_argument(args.extra_positional, "names");
    // The room is taken before the table's lock; the selection cannot grow
    // meanwhile (a view's is fixed, an index's changes only under its
    // exclusive use).
    ScopeIds selected(scope);
    ColumnLists lists(names.names.size(), selected.size());
    {
        NameFinder finder(names);
        LockedItems::ReadGuard table(*scope.record->items);
        selected.for_each_block<kGatherRun>(
            [&](std::span<const uint32_t> ids) { lists.gather(*table, ids, finder, fallback); });
    }
    py::Ref dict = py::Ref::steal(py::check(PyDict_New()));
    for (size_t column = 0; column < names.names.size(); ++column) {
        py::Ref list = lists.take(column);
        py::check_status(PyDict_SetItem(dict.get(), names.strs[column], list.get()));
    }
    return dict.release();
}

PyObject* scope_records(const Scope& scope, const py::Arguments& args) {
    if (args.extra_positional.empty())
        return all_attribute_records(scope);
    Names names = names_argument(args.extra_positional, "names");
    ValueGrid grid = read_grid(scope, names);
    py::Ref list = py::Ref::steal(py::check(PyList_New(static_cast<Py_ssize_t>(grid.rows()))));
    for (size_t row = 0; row < grid.rows(); ++row) {
        PyObject* dict = py::check(PyDict_New());
        PyList_SET_ITEM(list.get(), row, dict);
        for (size_t column = 0; column < grid.width(); ++column) {
            if (PyObject* value = grid.at(row, column))
                py::check_status(PyDict_SetItem(dict, names.strs[column], value));
        }
    }
    return list.release();
}

PyObject* scope_sum(const Scope& scope, const py::Arguments& args, bool mean) {
    std::optional<AttrName> name = attr_argument(args.values[0], "name");
    NumericSum sum = name ? sum_of_selected(scope, *name, mean) : NumericSum();
    if (mean) {
        if (sum.count() == 0)
            Py_RETURN_NONE;
        if (!sum.is_float())
            return mean_of_ints(sum.int_total(), sum.count());
        return py::check(PyFloat_FromDouble(sum.mean()));
    }
    if (sum.is_float())
        return py::check(PyFloat_FromDouble(sum.float_total()));
    return int_from_total(sum.int_total());
}

void scope_tuple_counts(const Scope& scope, PyObject* names_tuple, std::optional<size_t> limit,
                        CountedKeys& counted) {
    std::span<PyObject* const> items(&PyTuple_GET_ITEM(names_tuple, 0),
                                     static_cast<size_t>(PyTuple_GET_SIZE(names_tuple)));
    if (items.empty())
        py::raise_error(PyExc_ValueError, "value_counts needs at least one name");
    Names names = names_argument(items, "name");
    TupleCounter counter(items.size());
    counted.width = items.size();
    counted.tuples = true;
    GroupValues& firsts = counted.values;
    for (const std::optional<AttrName>& name : names.names) {
        if (!name)
            return;  // no object holds this name
    }
    std::optional<std::vector<TupleCount>> ranked =
        tuple_counts_from_sets(scope, names, limit, firsts);
    if (!ranked) {
        std::vector<int64_t> keys(items.size());
        for_each_selected<false>(scope, names, [&](const Indexable&, uint32_t id, Values values) {
            count_tuple(id, values, keys, counter, firsts);
        });
        ranked = counter.ranked(limit);
    }
    counted.counts.reserve(ranked->size());
    for (const TupleCount& entry : *ranked)
        counted.counts.emplace_back(entry.group, entry.count);
}

PyObject* scope_to_arrow(const Scope& scope, const py::Arguments& args) {
    Names names = names_argument(args.extra_positional, "names");
    std::vector<std::string> texts;
    for (PyObject* str : names.strs) {
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(str, &size);  // encodable: read as a name
        if (text == nullptr)
            throw py::ErrorAlreadySet{};
        texts.emplace_back(text, static_cast<size_t>(size));
    }
    return py_arrow::make_arrow_export(std::move(texts), read_arrow_cells(scope, names));
}

}  // namespace vorlane
