#pragma once
// Reading the attribute values of the objects a scope selects, for the
// methods of selection_values.hpp: the names asked for, where each object
// keeps their values, and the walk over the selected objects that fetches
// objects and values into the cache ahead of their reading.

#include <Python.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "bindings/indexable.hpp"
#include "bindings/selection.hpp"
#include "engine/prefetch.hpp"
#include "py/index_record.hpp"
#include "py/object_lock.hpp"
#include "py/value.hpp"

namespace vorlane {

// The attribute names a call asks for: each the str given, and its name
// when some object ever carried it (none could hold it otherwise).
struct Names {
    std::vector<PyObject*> strs;  // borrowed: the caller holds its arguments
    std::vector<std::optional<AttrName>> names;
};

Names names_argument(std::span<PyObject* const> objs, const char* param);

// Finds the values of the asked names in objects by position. A shared
// layout is immutable and kept for the process, so its positions are looked
// up once and objects made alike cost a pointer comparison; a private
// layout is searched each time. One finder per thread.
class NameFinder {
  public:
    explicit NameFinder(const Names& names)
        : names_(names), positions_(names.names.size()), value_offsets_(names.names.size()) {}

    size_t count() const { return positions_.size(); }

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

    // The position of each name in the layout of `attributes` (kNotFound
    // for one it lacks) when the layout is shared; nothing for a private
    // layout.
    std::span<const size_t> shared_positions(const ObjectAttributes& attributes) {
        const AttrLayout* layout = &attributes.layout();
        if (!layout->is_shared())
            return {};
        if (layout != known_)
            learn(*layout);
        return positions_;
    }

    // Whether the layout of the last `shared_positions` holds every name.
    bool holds_every_name() const { return holds_every_name_; }

    // The slots of the values of `attributes` when it is of the shared
    // layout last learned, which holds every name, and keeps its values
    // inside: name `i`'s value is then at `positions()[i]` from the result.
    // Null otherwise. The look-up of objects made alike, with no search.
    const PyValue* inside_if_known(const ObjectAttributes& attributes) const {
        if (&attributes.layout() != known_ || !holds_every_name_)
            return nullptr;
        return attributes.values_inside();
    }
    const size_t* positions() const { return positions_.data(); }

    // The value of each name held by `object`, or null, into `out`.
    // Returns whether some of them may lie outside the object's record (in
    // the heap array of a wide object).
    bool find_all(const Indexable& object, const PyValue** out) {
        const ObjectAttributes& attributes = object.attributes;
        const AttrLayout* layout = &attributes.layout();
        bool spilled = attributes.size() > ObjectAttributes::kInlineValues;
        if (!layout->is_shared()) {
            for (size_t i = 0; i < positions_.size(); ++i)
                out[i] = value(object, i);
            return spilled;
        }
        if (layout != known_) {
            learn(*layout);
            learn_record_bytes(object);
        }
        // Objects made alike, most of them: each value by its position alone.
        // The positions are read through locals: the stores to `out` could
        // otherwise be taken to change the vector's bounds.
        if (const PyValue* inside = attributes.values_inside()) {
            const size_t* positions = positions_.data();
            size_t count = positions_.size();
            for (size_t i = 0; i < count; ++i) {
                size_t pos = positions[i];
                out[i] = pos == AttrLayout::kNotFound ? nullptr : inside + pos;
            }
            return spilled;
        }
        for (size_t i = 0; i < positions_.size(); ++i) {
            size_t pos = positions_[i];
            out[i] = pos == AttrLayout::kNotFound ? nullptr : &attributes.value(pos);
        }
        return spilled;
    }

    // Bytes from the start of a record that hold it and the asked values an
    // object of the last shared layout found keeps inside it (a wide object
    // keeps them past the plain room): what to fetch before reading one.
    // Only a hint: an object of another layout or a spilled one is read
    // just the same.
    size_t record_bytes() const { return record_bytes_; }
    // Bytes from the start of a record to its layout and to each asked
    // value, in an object of the last shared layout found that keeps them
    // inside: the lines reading such an object touches. Only a hint, as
    // `record_bytes`.
    const size_t* value_offsets() const { return value_offsets_.data(); }
    size_t attributes_offset() const { return attributes_offset_; }

  private:
    void learn(const AttrLayout& layout) {
        for (size_t i = 0; i < positions_.size(); ++i) {
            const std::optional<AttrName>& name = names_.names[i];
            positions_[i] = name ? layout.find(*name) : AttrLayout::kNotFound;
        }
        holds_every_name_ = std::find(positions_.begin(), positions_.end(),
                                      AttrLayout::kNotFound) == positions_.end();
        known_ = &layout;
    }
    // Sets `record_bytes_` from `object`, of the layout just learned.
    void learn_record_bytes(const Indexable& object) {
        record_bytes_ = sizeof(Indexable);
        const char* start = reinterpret_cast<const char*>(&object);
        attributes_offset_ =
            static_cast<size_t>(reinterpret_cast<const char*>(&object.attributes) - start);
        value_offsets_.assign(positions_.size(), attributes_offset_);
        const PyValue* inside = object.attributes.values_inside();
        if (inside == nullptr)
            return;
        for (size_t i = 0; i < positions_.size(); ++i) {
            size_t pos = positions_[i];
            if (pos != AttrLayout::kNotFound) {
                auto at = static_cast<size_t>(reinterpret_cast<const char*>(inside + pos) - start);
                value_offsets_[i] = at;
                record_bytes_ = std::max(record_bytes_, at + sizeof(PyValue));
            }
        }
    }

    const Names& names_;
    std::vector<size_t> positions_;
    const AttrLayout* known_ = nullptr;
    bool holds_every_name_ = false;
    size_t record_bytes_ = sizeof(Indexable);
    size_t attributes_offset_ = 0;
    std::vector<size_t> value_offsets_;  // one per name
};

// The ids a scope starts from: a view's selection, or an index's live ids
// (which change only under its exclusive use, ruled out by the caller's
// shared use). A view made from a range's list is read from the list: the
// objects' values need no bitmap of it.
class ScopeIds {
  public:
    explicit ScopeIds(const Scope& scope) : view_(scope.view), live_(scope.record->live_ids) {}

    // How many ids; objects removed from a view's index since it was made
    // are counted, so this bounds the objects read.
    uint64_t size() const { return view_ ? view_->size() : live_.cardinality(); }
    // Calls `f(std::span<const uint32_t>)` with consecutive runs of at most
    // `Block` ids, ascending; for walks that read every id.
    template <uint32_t Block, typename F>
    void for_each_block(F&& f) const {
        if (view_)
            view_->for_each_block<Block>(std::forward<F>(f));
        else
            live_.for_each_written_block<Block>(std::forward<F>(f));
    }
    // Writes the ids, ascending, to `out`, which holds exactly `size()`.
    void write_to(std::span<uint32_t> out) const {
        if (view_)
            view_->write_to(out);
        else
            live_.write_to(out);
    }

  private:
    const ViewSelection* view_;
    const Bitmap& live_;
};

namespace selected_detail {

// Ids whose objects are gathered on the stack at a time before they are
// read: the fetching below runs ahead within a run.
constexpr size_t kRun = 1024;
// How far ahead of the object being read, in objects, its record is fetched
// into the cache (with the asked values a wide object keeps past the plain
// room, where objects made alike keep them), then the slots of its values
// are found in it and the value objects fetched. Objects and their values
// lie all over the heap, and read one after the other each would wait for
// memory; each stage reads only what the stage before fetched.
constexpr size_t kRecordAhead = 24;
constexpr size_t kValuesAhead = 8;
// Objects whose slots are kept between the stages: more than `kValuesAhead`.
constexpr size_t kRing = 16;
// Whether the slots found ahead still hold the values when the object is
// read. Values and layouts change only under an object's write lock taken
// by a thread that holds the interpreter lock, which the reading call keeps
// from start to end; without that lock (the free-threaded build) the slots
// are found again under the object's lock.
#ifdef Py_GIL_DISABLED
constexpr bool kSlotsStay = false;
#else
constexpr bool kSlotsStay = true;
#endif

// Fetches the record of `obj` and the asked values it keeps inside, as far
// as `finder` knows where they lie.
inline void fetch_record(PyObject* obj, const NameFinder& finder) {
    const char* start = reinterpret_cast<const char*>(obj);
    const char* record = reinterpret_cast<const char*>(&py::record_of<Indexable>(obj));
    size_t past_record = static_cast<size_t>(record - start) + finder.record_bytes();
    prefetch_bytes(obj, std::max(sizeof(py::Instance<Indexable>), past_record));
}

// Finds the slots of the asked values of `obj` into `slots` and fetches
// the value objects (for writing: their reference counts are about to
// change). The heap array of an object grown past its room is read here
// unfetched: such objects are few, and finding it needs the record. Where
// slots may not stay, the object is read from its fetched record alone.
template <bool Write>
[[gnu::always_inline]] inline void fetch_values(PyObject* obj, NameFinder& finder,
                                                const PyValue** slots, size_t width) {
    if constexpr (!kSlotsStay)
        return;  // the slots are found when the object is read
    py::AttributeReadLock lock(py::borrow_of<Indexable>(obj));
    const Indexable& object = py::record_of<Indexable>(obj);
    if (const PyValue* inside = finder.inside_if_known(object.attributes)) {
        const size_t* positions = finder.positions();
        for (size_t k = 0; k < width; ++k) {
            slots[k] = inside + positions[k];
            if constexpr (Write)
                prefetch_line_for_write(slots[k]->obj());
            else
                prefetch_line(slots[k]->obj());
        }
        return;
    }
    finder.find_all(object, slots);
    for (size_t k = 0; k < width; ++k) {
        if (slots[k] == nullptr)
            continue;
        if constexpr (Write)
            prefetch_line_for_write(slots[k]->obj());
        else
            prefetch_line(slots[k]->obj());
    }
}

}  // namespace selected_detail

// Calls `read(object, id, values)` for the objects of `ids` that `table`
// holds (objects removed since a view was made leave an empty slot and are
// passed over), in order, each under its attribute read lock, until `read`
// returns false; `values` holds the object's value of each name of
// `finder`, null for one it lacks. Returns how many ids were passed:
// `ids.size()`, or the position of the id whose object `read` refused.
// `Write` fetches the values for writing (their reference counts are about
// to change).
template <bool Write, typename Read>
size_t read_objects(const ItemTable& table, std::span<const uint32_t> ids, NameFinder& finder,
                    Read&& read) {
    using namespace selected_detail;
    PyObject* objects[kRun];
    uint32_t at[kRun];  // each object's position in `ids`
    size_t width = finder.count();
    std::vector<const PyValue*> ring(kRing * width);
    auto slots_of = [&](size_t i) { return ring.data() + (i % kRing) * width; };
    for (size_t start = 0; start < ids.size(); start += kRun) {
        std::span<const uint32_t> run = ids.subspan(start, std::min(kRun, ids.size() - start));
        size_t n = 0;
        size_t pos = 0;
        table.find_each(run, [&](const StoredItem& slot) {
            if (PyObject* obj = slot.get()) {
                objects[n] = obj;
                at[n++] = static_cast<uint32_t>(pos);
            }
            ++pos;
        });
        for (size_t i = 0; i < std::min(n, kRecordAhead); ++i)
            fetch_record(objects[i], finder);
        for (size_t i = 0; i < std::min(n, kValuesAhead); ++i)
            fetch_values<Write>(objects[i], finder, slots_of(i), width);
        for (size_t i = 0; i < n; ++i) {
            if (i + kRecordAhead < n)
                fetch_record(objects[i + kRecordAhead], finder);
            if (i + kValuesAhead < n)
                fetch_values<Write>(objects[i + kValuesAhead], finder, slots_of(i + kValuesAhead),
                                    width);
            py::AttributeReadLock lock(py::borrow_of<Indexable>(objects[i]));
            const Indexable& object = py::record_of<Indexable>(objects[i]);
            const PyValue** slots = slots_of(i);
            if constexpr (!kSlotsStay)
                finder.find_all(object, slots);
            if (!read(object, run[at[i]], std::span<const PyValue* const>(slots, width)))
                return start + at[i];
        }
    }
    return ids.size();
}

// Objects whose values are gathered before their references are taken:
// the value objects of a run, fetched for writing as they are gathered, stay
// in the cache until `own_gathered` counts them (two values of each of 256
// objects take 32 KiB of lines, about a first-level cache).
inline constexpr size_t kGatherRun = 256;

namespace selected_detail {

// Fetches the lines of the record of `obj` that reading the asked values
// of an object of the last shared layout `finder` found touches: where its
// layout lies, and each value. Each stage reads only what was fetched.
template <size_t Width>
[[gnu::always_inline]] inline void fetch_asked(PyObject* obj, const NameFinder& finder,
                                               size_t width) {
    const char* record = reinterpret_cast<const char*>(&py::record_of<Indexable>(obj));
    prefetch_line(record + finder.attributes_offset());
    const size_t* offsets = finder.value_offsets();
    for (size_t c = 0; c < (Width != 0 ? Width : width); ++c)
        prefetch_line(record + offsets[c]);
}

// `gather_values` for `Width` names, or any number for 0: a call asks for
// few names, whose loops are then unrolled.
template <size_t Width>
size_t gather_values_of(const ItemTable& table, std::span<const uint32_t> ids, NameFinder& finder,
                        PyObject* fallback, std::span<PyObject** const> out) {
    PyObject* objects[kGatherRun];
    size_t width = Width != 0 ? Width : finder.count();
    std::vector<const PyValue*> slots(width);
    PyObject** const* columns = out.data();
    size_t rows = 0;
    for (size_t start = 0; start < ids.size(); start += kGatherRun) {
        std::span<const uint32_t> run =
            ids.subspan(start, std::min(kGatherRun, ids.size() - start));
        size_t n = 0;
        table.find_each(run, [&](const StoredItem& slot) {
            if (PyObject* obj = slot.get())
                objects[n++] = obj;
        });
        for (size_t i = 0; i < std::min(n, kRecordAhead); ++i)
            fetch_record(objects[i], finder);
        for (size_t i = 0; i < n; ++i, ++rows) {
            if (i + kRecordAhead < n)
                fetch_asked<Width>(objects[i + kRecordAhead], finder, width);
            py::AttributeReadLock lock(py::borrow_of<Indexable>(objects[i]));
            const Indexable& object = py::record_of<Indexable>(objects[i]);
            const PyValue* inside =
                kSlotsStay ? finder.inside_if_known(object.attributes) : nullptr;
            if (inside != nullptr) {
                const size_t* positions = finder.positions();
                for (size_t c = 0; c < width; ++c) {
                    PyObject* value = inside[positions[c]].obj();
                    prefetch_line_for_write(value);
                    columns[c][rows] = value;
                }
                continue;
            }
            finder.find_all(object, slots.data());
            for (size_t c = 0; c < width; ++c) {
                PyObject* value = slots[c] != nullptr ? slots[c]->obj() : fallback;
                if constexpr (kSlotsStay)
                    prefetch_line_for_write(value);
                else
                    Py_XINCREF(value);
                columns[c][rows] = value;
            }
        }
    }
    return rows;
}

}  // namespace selected_detail

namespace selected_detail {

// `gather_values` with no reference taken where slots stay (see
// `kSlotsStay`): the objects keep their values alive and nothing changes
// them until the reading call returns, so `own_gathered` takes them once the
// run is gathered, under the same item table's read lock. Elsewhere each is
// taken under its object's lock.
inline size_t gather_borrowed(const ItemTable& table, std::span<const uint32_t> ids,
                              NameFinder& finder, PyObject* fallback,
                              std::span<PyObject** const> columns) {
    switch (finder.count()) {
        case 1:
            return gather_values_of<1>(table, ids, finder, fallback, columns);
        case 2:
            return gather_values_of<2>(table, ids, finder, fallback, columns);
        case 3:
            return gather_values_of<3>(table, ids, finder, fallback, columns);
        case 4:
            return gather_values_of<4>(table, ids, finder, fallback, columns);
        case 5:
            return gather_values_of<5>(table, ids, finder, fallback, columns);
        default:
            return gather_values_of<0>(table, ids, finder, fallback, columns);
    }
}

// Takes a reference to each of the `rows` values `gather_borrowed` wrote to
// `cells`, where it took none; `MayBeNull` when its fallback was null.
template <bool MayBeNull>
void own_gathered(PyObject** cells, size_t rows) {
    if constexpr (kSlotsStay) {
        for (size_t r = 0; r < rows; ++r) {
            if constexpr (MayBeNull)
                Py_XINCREF(cells[r]);
            else
                Py_INCREF(cells[r]);
        }
    }
}

}  // namespace selected_detail

// Writes new references to the value objects of the asked names of the
// objects of `ids` that `table` holds (objects removed since a view was made
// leave no row), in order: row r's value of name c to `columns[c][r]`,
// `fallback` (which may be null) for a name the object lacks. Returns the
// rows written. Called under the item table's read lock.
//
// Objects made alike, most of them, have each value found by its position
// alone; the others are searched by `finder`. The value objects are fetched
// for writing: their reference counts are about to change.
inline size_t gather_values(const ItemTable& table, std::span<const uint32_t> ids,
                            NameFinder& finder, PyObject* fallback,
                            std::span<PyObject** const> columns) {
    using namespace selected_detail;
    size_t rows = gather_borrowed(table, ids, finder, fallback, columns);
    for (PyObject** cells : columns) {
        if (fallback == nullptr)
            own_gathered<true>(cells, rows);
        else
            own_gathered<false>(cells, rows);
    }
    return rows;
}

// Calls `read(object, id, values)` for every selected object still held,
// in ascending id order (what `collect` lists), under the item table's read
// lock; `values` as `read_objects` gives them, for `names`.
template <bool Write, typename Read>
void for_each_selected(const Scope& scope, const Names& names, Read&& read) {
    NameFinder finder(names);
    LockedItems::ReadGuard table(*scope.record->items);
    ScopeIds(scope).for_each_block<selected_detail::kRun>([&](std::span<const uint32_t> ids) {
        read_objects<Write>(
            *table, ids, finder,
            [&](const Indexable& object, uint32_t id, std::span<const PyValue* const> values) {
                read(object, id, values);
                return true;
            });
    });
}

}  // namespace vorlane
