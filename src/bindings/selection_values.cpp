#include "bindings/selection_values.hpp"

#include <span>
#include <string>
#include <vector>

#include "bindings/arrow_export.hpp"
#include "bindings/indexable.hpp"
#include "bindings/selection.hpp"
#include "engine/numeric_sum.hpp"
#include "engine/panic.hpp"
#include "engine/prefetch.hpp"
#include "engine/tuple_counts.hpp"
#include "engine/tuple_sets.hpp"
#include "py/errors.hpp"
#include "py/object_lock.hpp"
#include "py/ref.hpp"
#include "py/value.hpp"
#include "py/value_grid.hpp"

namespace vorlane {

namespace {

// The attribute names a call asks for: each the str given, and its name
// when some object ever carried it (none could hold it otherwise).
struct Names {
    std::vector<PyObject*> strs;  // borrowed: the caller holds its arguments
    std::vector<std::optional<AttrName>> names;
};

Names names_argument(std::span<PyObject* const> objs, const char* param) {
    Names out;
    for (PyObject* obj : objs) {
        out.names.push_back(attr_argument(obj, param));
        out.strs.push_back(obj);
    }
    return out;
}

// Finds the values of the asked names in objects by position. A shared
// layout is immutable and kept for the process, so its positions are looked
// up once and objects made alike cost a pointer comparison; a private
// layout is searched each time.
class NameFinder {
  public:
    explicit NameFinder(const Names& names) : names_(names), positions_(names.names.size()) {}

    // The value of name `i` held by `object`, or null.
    const PyValue* value(const Indexable& object, size_t i) {
        const ObjectAttributes& attributes = object.attributes;
        const AttrLayout* layout = &attributes.layout();
        if (!layout->is_shared()) {
            const std::optional<AttrName>& name = names_.names[i];
            return name ? attributes.find(*name) : nullptr;
        }
        if (layout != known_)
            learn(*layout);
        size_t pos = positions_[i];
        return pos == AttrLayout::kNotFound ? nullptr : &attributes.value(pos);
    }

  private:
    void learn(const AttrLayout& layout) {
        for (size_t i = 0; i < positions_.size(); ++i) {
            const std::optional<AttrName>& name = names_.names[i];
            positions_[i] = name ? layout.find(*name) : AttrLayout::kNotFound;
        }
        known_ = &layout;
    }

    const Names& names_;
    std::vector<size_t> positions_;
    const AttrLayout* known_ = nullptr;
};

// The ids a scope starts from: a view's selection, or an index's live ids
// (which change only under its exclusive use, ruled out by the caller's
// shared use).
const Bitmap& scope_ids(const Scope& scope) {
    return scope.selection() ? *scope.selection() : scope.record->live_ids;
}

// Ids read from the selection at a time; their objects are gathered on the
// stack before they are read.
constexpr uint32_t kBlock = 256;
// How far ahead of the object being read its record is fetched into the
// cache, and how far ahead the values it holds are: objects and their values
// lie all over the heap, and read one after the other each would wait for
// memory. The values are fetched once the record has arrived.
constexpr size_t kRecordAhead = 16;
constexpr size_t kValueAhead = 8;

// Calls `f(objects, ids)` with the selected objects still held, a block at a
// time in ascending id order, under the item table's read lock: what
// `collect` lists. Objects removed since a view was made have an empty slot
// and are passed over.
template <typename F>
void for_each_selected_block(const Scope& scope, F&& f) {
    LockedItems::ReadGuard table(*scope.record->items);
    PyObject* objects[kBlock];
    uint32_t held[kBlock];
    scope_ids(scope).for_each_block<kBlock>([&](std::span<const uint32_t> ids) {
        size_t n = 0;
        size_t at = 0;
        table->find_each(ids, [&](const StoredItem& slot) {
            uint32_t id = ids[at++];
            if (PyObject* obj = slot.get()) {
                objects[n] = obj;
                held[n++] = id;
            }
        });
        f(std::span<PyObject* const>(objects, n), std::span<const uint32_t>(held, n));
    });
}

// Fetches into the cache the values of the asked names that `obj` holds.
void prefetch_values(PyObject* obj, NameFinder& finder, size_t count) {
    py::AttributeReadLock lock(py::borrow_of<Indexable>(obj));
    const Indexable& object = py::record_of<Indexable>(obj);
    for (size_t i = 0; i < count; ++i) {
        if (const PyValue* value = finder.value(object, i))
            prefetch_line_for_write(value->obj());
    }
}

// Calls `read(object, id, finder)` for every selected object still held,
// as `for_each_selected_block` lists them, under the object's attribute
// lock; `finder` finds the values of `names` in it. The records of the
// objects ahead and the values they hold are fetched into the cache
// meanwhile.
template <typename Read>
void for_each_selected(const Scope& scope, const Names& names, Read&& read) {
    NameFinder finder(names);
    size_t count = names.names.size();
    for_each_selected_block(
        scope, [&](std::span<PyObject* const> objects, std::span<const uint32_t> ids) {
            for (size_t i = 0; i < objects.size(); ++i) {
                if (i + kRecordAhead < objects.size())
                    prefetch_bytes(objects[i + kRecordAhead], sizeof(py::Instance<Indexable>));
                if (i + kValueAhead < objects.size())
                    prefetch_values(objects[i + kValueAhead], finder, count);
                py::AttributeReadLock lock(py::borrow_of<Indexable>(objects[i]));
                read(py::record_of<Indexable>(objects[i]), ids[i], finder);
            }
        });
}

// The cells of `names` of the selected objects, for the Arrow export.
ArrowCells read_arrow_cells(const Scope& scope, const Names& names) {
    ArrowCells cells(names.names.size());
    cells.reserve(scope_ids(scope).cardinality());
    for_each_selected(scope, names, [&](const Indexable& object, uint32_t, NameFinder& finder) {
        for (size_t i = 0; i < cells.width(); ++i)
            cells.push(finder.value(object, i));
    });
    return cells;
}

// A new reference to the value of each name the object holds, null for one
// it lacks, row by row.
ValueGrid read_grid(const Scope& scope, const Names& names) {
    ValueGrid grid(names.names.size());
    grid.reserve(scope_ids(scope).cardinality());
    for_each_selected(scope, names, [&](const Indexable& object, uint32_t, NameFinder& finder) {
        for (size_t i = 0; i < grid.width(); ++i) {
            const PyValue* value = finder.value(object, i);
            grid.push(value ? Py_NewRef(value->obj()) : nullptr);
        }
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
// room for every id of the scope; `fill` sets the items of the rows read.
class ColumnLists {
  public:
    ColumnLists(size_t width, size_t rows) : room_(rows) {
        for (size_t i = 0; i < width; ++i)
            lists_.push_back(py::Ref::steal(py::check(PyList_New(static_cast<Py_ssize_t>(rows)))));
    }
    // Takes a new reference to `value` (`fallback` when null) into the next
    // row of column `column`; runs no Python code and allocates nothing.
    void set(size_t column, PyObject* value) {
        if (rows_ >= room_)
            panic("columns read more rows than the scope selects");
        PyList_SET_ITEM(lists_[column].get(), static_cast<Py_ssize_t>(rows_), Py_NewRef(value));
    }
    void end_row() { ++rows_; }
    // Gives back the room of the rows not read (objects removed since a
    // view was made leave no row), once no lock is held.
    py::Ref take(size_t column) {
        py::Ref& list = lists_[column];
        if (rows_ < room_)
            py::check_status(PyList_SetSlice(list.get(), static_cast<Py_ssize_t>(rows_),
                                             static_cast<Py_ssize_t>(room_), nullptr));
        return std::move(list);
    }
    size_t rows() const { return rows_; }

  private:
    std::vector<py::Ref> lists_;
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
    pairs.ends.reserve(scope_ids(scope).cardinality());
    for_each_selected(scope, Names{}, [&](const Indexable& object, uint32_t, NameFinder&) {
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

// The first holder's values of each counted group, `width` per group.
struct GroupValues {
    std::vector<PyObject*> refs;
    ~GroupValues() {
        for (PyObject* ref : refs)
            Py_XDECREF(ref);
    }
};

// Counts the tuple of keys of `object`, unless it lacks one of the names;
// keeps the values of the first holder of each tuple.
void count_tuple(const Indexable& object, uint32_t id, NameFinder& finder,
                 std::vector<const PyValue*>& values, std::vector<int64_t>& keys,
                 TupleCounter& counter, GroupValues& firsts) {
    for (size_t i = 0; i < keys.size(); ++i) {
        values[i] = finder.value(object, i);
        if (values[i] == nullptr)
            return;
        keys[i] = values[i]->hash();
    }
    if (!counter.add(keys, id))
        return;
    for (const PyValue* value : values)
        firsts.refs.push_back(Py_NewRef(value->obj()));
}

// Whether an object of `ids` holds every asked name. The caller holds the
// item table's read lock, under which each id of `ids` has its object.
bool any_holds_all(const ItemTable& table, const Bitmap& ids, NameFinder& finder, size_t width) {
    bool found = false;
    ids.for_each_block_while<kBlock>([&](std::span<const uint32_t> block) {
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

// Keeps new references to the values of the group's first holder, which
// hold its keys: the maps list an object only under the values it holds
// while their read lock is held.
void keep_first_values(const ItemTable& table, const TupleSetCounts& counts,
                       const TupleCount& group, NameFinder& finder, GroupValues& firsts) {
    PyObject* obj = slot_object(table, group.first_id);
    if (obj == nullptr)
        panic("a value set lists an id with no object");
    py::AttributeReadLock lock(py::borrow_of<Indexable>(obj));
    const Indexable& object = py::record_of<Indexable>(obj);
    std::span<const int64_t> keys = counts.keys_of(group.group);
    for (size_t i = 0; i < keys.size(); ++i) {
        const PyValue* value = finder.value(object, i);
        if (value == nullptr || value->hash() != keys[i])
            panic("a value set lists an object that does not hold its value");
        firsts.refs.push_back(Py_NewRef(value->obj()));
    }
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
        const QueryMap* map = find_query_map(*maps, *name);
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
        keep_first_values(*table, *counts, ranked[position], finder, firsts);
        ranked[position].group = static_cast<uint32_t>(position);
    }
    return ranked;
}

PyObject* tuple_of_group(GroupValues& firsts, size_t width, uint32_t group) {
    PyObject* tuple = py::check(PyTuple_New(static_cast<Py_ssize_t>(width)));
    for (size_t i = 0; i < width; ++i)
        PyTuple_SET_ITEM(tuple, i, Py_NewRef(firsts.refs[size_t{group} * width + i]));
    return tuple;
}

// The numbers of `name` the selected objects hold, read object by object.
NumericSum sum_of_objects(const Scope& scope, AttrName name) {
    NumericSum sum;
    Names names{{}, {name}};
    for_each_selected(scope, names, [&](const Indexable& object, uint32_t, NameFinder& finder) {
        const PyValue* value = finder.value(object, 0);
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
    ColumnLists lists(names.names.size(), scope_ids(scope).cardinality());
    for_each_selected(scope, names, [&](const Indexable& object, uint32_t, NameFinder& finder) {
        for (size_t i = 0; i < names.names.size(); ++i) {
            const PyValue* value = finder.value(object, i);
            lists.set(i, value ? value->obj() : fallback);
        }
        lists.end_row();
    });
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
        return py::check(PyFloat_FromDouble(sum.mean()));
    }
    if (sum.is_float())
        return py::check(PyFloat_FromDouble(sum.float_total()));
    return int_from_total(sum.int_total());
}

PyObject* scope_tuple_counts(const Scope& scope, PyObject* names_tuple,
                             std::optional<size_t> limit) {
    std::span<PyObject* const> items(&PyTuple_GET_ITEM(names_tuple, 0),
                                     static_cast<size_t>(PyTuple_GET_SIZE(names_tuple)));
    if (items.empty())
        py::raise_error(PyExc_ValueError, "value_counts needs at least one name");
    Names names = names_argument(items, "name");
    TupleCounter counter(items.size());
    GroupValues firsts;
    for (const std::optional<AttrName>& name : names.names) {
        if (!name)
            return py::check(PyDict_New());  // no object holds this name
    }
    std::optional<std::vector<TupleCount>> ranked =
        tuple_counts_from_sets(scope, names, limit, firsts);
    if (!ranked) {
        std::vector<int64_t> keys(items.size());
        std::vector<const PyValue*> values(items.size());
        for_each_selected(scope, names,
                          [&](const Indexable& object, uint32_t id, NameFinder& finder) {
                              count_tuple(object, id, finder, values, keys, counter, firsts);
                          });
        ranked = counter.ranked(limit);
    }
    py::Ref dict = py::Ref::steal(py::check(PyDict_New()));
    for (const TupleCount& entry : *ranked) {
        py::Ref key = py::Ref::steal(tuple_of_group(firsts, items.size(), entry.group));
        py::Ref count = py::Ref::steal(py::check(PyLong_FromUnsignedLongLong(entry.count)));
        py::check_status(PyDict_SetItem(dict.get(), key.get(), count.get()));
    }
    return dict.release();
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
