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
    explicit NameFinder(const Names& names) : names_(names), positions_(names.names.size()) {}

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
        if (layout != known_)
            learn(*layout);
        for (size_t i = 0; i < positions_.size(); ++i) {
            size_t pos = positions_[i];
            out[i] = pos == AttrLayout::kNotFound ? nullptr : &attributes.value(pos);
        }
        return spilled;
    }

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

    const Names& names_;
    std::vector<size_t> positions_;
    const AttrLayout* known_ = nullptr;
    bool holds_every_name_ = false;
};

// The ids a scope starts from: a view's selection, or an index's live ids
// (which change only under its exclusive use, ruled out by the caller's
// shared use).
inline const Bitmap& scope_ids(const Scope& scope) {
    return scope.selection() ? *scope.selection() : scope.record->live_ids;
}

namespace selected_detail {

// Ids whose objects are gathered on the stack at a time before they are
// read: the fetching below runs ahead within a run.
constexpr size_t kRun = 1024;
// How far ahead of the object being read, in objects, its record is fetched
// into the cache, then the slots of the asked values in it are found (a
// wide object keeps some in a heap array, fetched then), then the value
// objects are fetched. Objects and their values lie all over the heap, and
// read one after the other each would wait for memory; each stage reads only
// what the stage before fetched.
constexpr size_t kRecordAhead = 24;
constexpr size_t kSlotsAhead = 16;
constexpr size_t kValuesAhead = 8;
// Objects whose slots are kept between the stages: more than `kSlotsAhead`.
constexpr size_t kRing = 32;
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

// Finds the slots of the asked values of `obj` into `slots`, fetching
// those outside the object's record.
inline void fetch_slots(PyObject* obj, NameFinder& finder, const PyValue** slots) {
    py::AttributeReadLock lock(py::borrow_of<Indexable>(obj));
    if (finder.find_all(py::record_of<Indexable>(obj), slots)) {
        for (size_t k = 0; k < finder.count(); ++k) {
            if (slots[k] != nullptr)
                prefetch_line(slots[k]);
        }
    }
}

// Fetches the value objects of `slots` (for writing: their reference counts
// are about to change).
template <bool Write>
void fetch_values(const PyValue* const* slots, size_t width) {
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
        for (size_t i = 0; i < std::min(n, kSlotsAhead); ++i)
            fetch_slots(objects[i], finder, slots_of(i));
        for (size_t i = 0; i < n; ++i) {
            if (i + kRecordAhead < n)
                prefetch_bytes(objects[i + kRecordAhead], sizeof(py::Instance<Indexable>));
            if (i + kSlotsAhead < n)
                fetch_slots(objects[i + kSlotsAhead], finder, slots_of(i + kSlotsAhead));
            if (kSlotsStay && i + kValuesAhead < n)
                fetch_values<Write>(slots_of(i + kValuesAhead), width);
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

// Calls `read(object, id, values)` for every selected object still held,
// in ascending id order (what `collect` lists), under the item table's read
// lock; `values` as `read_objects` gives them, for `names`.
template <bool Write, typename Read>
void for_each_selected(const Scope& scope, const Names& names, Read&& read) {
    NameFinder finder(names);
    LockedItems::ReadGuard table(*scope.record->items);
    scope_ids(scope).for_each_block<selected_detail::kRun>([&](std::span<const uint32_t> ids) {
        read_objects<Write>(
            *table, ids, finder,
            [&](const Indexable& object, uint32_t id, std::span<const PyValue* const> values) {
                read(object, id, values);
                return true;
            });
    });
}

}  // namespace vorlane
