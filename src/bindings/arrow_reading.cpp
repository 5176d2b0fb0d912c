#include "bindings/arrow_reading.hpp"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "engine/parallel.hpp"
#include "engine/prefetch.hpp"
#include "py/arrow_columns.hpp"

namespace vorlane {

namespace {

// Selected objects a part read on a thread of its own takes at least:
// below that, starting a thread costs more than the reading it takes over.
constexpr size_t kMinRowsPerPart = size_t{32} * 1024;
// Threads the Arrow export reads on at most.
constexpr size_t kMaxReaders = 8;
// Objects read at a time: each run's objects are listed, then their values
// gathered column by column, then the cells take each column in one loop
// (`ArrowCells::push_run`). A run's objects and values stay in the cache
// from the gathering to the columns.
constexpr size_t kRunRows = 1024;
// How far ahead of the object whose values are gathered its record is
// fetched into the cache: objects lie all over the heap, and read one after
// the other each would wait for memory. Its value objects are fetched as it
// is gathered, well before the columns read them.
constexpr size_t kRecordAhead = 16;

// Reads the values of the objects of a span of ids into one part's cells,
// run by run.
class CellReader {
  public:
    CellReader(const Names& names, ArrowCells& cells, bool attached)
        : finder_(names),
          cells_(cells),
          attached_(attached),
          slots_(finder_.count()),
          grid_(finder_.count() * kRunRows) {}

    // Reads the objects of `ids` that `table` holds. Attached, every value;
    // detached (on a worker thread), up to the first row with a value that
    // needs the interpreter. Returns how many ids it passed.
    size_t read(const ItemTable& table, std::span<const uint32_t> ids) {
        for (size_t start = 0; start < ids.size(); start += kRunRows) {
            std::span<const uint32_t> run =
                ids.subspan(start, std::min(kRunRows, ids.size() - start));
            size_t rows = list_objects(table, run);
            size_t taken = read_run(rows);
            if (taken < rows) {
                auto stop = std::lower_bound(run.begin(), run.end(), row_ids_[taken]);
                return start + static_cast<size_t>(stop - run.begin());
            }
        }
        return ids.size();
    }

  private:
    // The objects of `run` the table holds, into `objects_` (objects removed
    // since a view was made leave an empty slot); returns how many.
    size_t list_objects(const ItemTable& table, std::span<const uint32_t> run) {
        size_t rows = 0;
        size_t pos = 0;
        table.find_each(run, [&](const StoredItem& slot) {
            if (PyObject* obj = slot.get()) {
                objects_[rows] = obj;
                row_ids_[rows++] = run[pos];
            }
            ++pos;
        });
        return rows;
    }

    // Writes the values of object `row` into the grid (None for a name it
    // lacks) and fetches the value objects. Most objects share a layout and
    // keep their values inside: each value is then found by its position
    // alone. The caller holds the object's attribute read lock.
    void gather(size_t row) {
        const ObjectAttributes& attributes = py::record_of<Indexable>(objects_[row]).attributes;
        const PyValue* inside = attributes.values_inside();
        PyObject** cell = grid_.data() + row;
        std::span<const size_t> positions = finder_.shared_positions(attributes);
        if (positions.empty() || inside == nullptr) {
            finder_.find_all(py::record_of<Indexable>(objects_[row]), slots_.data());
            for (size_t i = 0; i < slots_.size(); ++i)
                put(cell + i * kRunRows, slots_[i]);
            return;
        }
        if (finder_.holds_every_name()) {
            // Objects made alike, most of them: no check for a missing name.
            for (size_t pos : positions) {
                put(cell, inside[pos].obj());
                cell += kRunRows;
            }
            return;
        }
        for (size_t pos : positions) {
            put(cell, pos == AttrLayout::kNotFound ? nullptr : inside + pos);
            cell += kRunRows;
        }
    }
    // Writes the object of `value` (None for none) to `cell`, and fetches it.
    static void put(PyObject** cell, const PyValue* value) {
        put(cell, value != nullptr ? value->obj() : Py_None);
    }
    static void put(PyObject** cell, PyObject* obj) {
        prefetch_line(obj);
        *cell = obj;
    }

    // Hands the values of the run's objects to the cells; returns how many
    // rows they took. Where values may change once an object's lock is given
    // back (see `kSlotsStay`), each row goes in under its object's lock.
    size_t read_run(size_t rows) {
        if constexpr (!selected_detail::kSlotsStay) {
            for (size_t row = 0; row < rows; ++row) {
                py::AttributeReadLock lock(py::borrow_of<Indexable>(objects_[row]));
                gather(row);
                if (cells_.push_run(grid_.data() + row, kRunRows, 1, attached_) == 0)
                    return row;
            }
            return rows;
        }
        for (size_t row = 0; row < std::min(rows, kRecordAhead); ++row)
            prefetch_bytes(objects_[row], sizeof(py::Instance<Indexable>));
        for (size_t row = 0; row < rows; ++row) {
            if (row + kRecordAhead < rows)
                prefetch_bytes(objects_[row + kRecordAhead], sizeof(py::Instance<Indexable>));
            py::AttributeReadLock lock(py::borrow_of<Indexable>(objects_[row]));
            gather(row);
        }
        return cells_.push_run(grid_.data(), kRunRows, rows, attached_);
    }

    NameFinder finder_;
    ArrowCells& cells_;
    bool attached_;
    std::vector<const PyValue*> slots_;
    std::vector<PyObject*> grid_;  // column by column, `kRunRows` apart
    PyObject* objects_[kRunRows];
    uint32_t row_ids_[kRunRows];
};

// The cells of `names` of the selected objects in one part, read on this
// thread.
std::vector<ArrowCells> read_whole(const Scope& scope, const Names& names) {
    std::vector<ArrowCells> parts;
    parts.emplace_back(names.names.size());
    ScopeIds ids(scope);
    parts[0].reserve(ids.size());
    CellReader reader(names, parts[0], true);
    LockedItems::ReadGuard table(*scope.record->items);
    ids.for_each_block<kRunRows>([&](std::span<const uint32_t> run) { reader.read(*table, run); });
    return parts;
}

// The cells of `names` of the selected objects in parts of consecutive ids
// read on several threads.
//
// The calling thread keeps the interpreter lock throughout and is one of
// the readers; the others read on its behalf, as it would: under the item
// table's read lock it holds and each object's attribute read lock, they
// read only numbers and bytes of immutable values that the objects keep
// alive, run no Python code and touch no reference count. Values change
// only under an object's write lock taken by a thread holding the
// interpreter lock, which no other thread can get meanwhile (the
// free-threaded build takes the object's lock for real). A value that needs
// the interpreter to be read (a large int, a str not ASCII, a type no kind
// holds) stops its part there; the calling thread reads the rest of that
// part once the workers are done.
std::vector<ArrowCells> read_parts(const Scope& scope, const Names& names, size_t count) {
    ScopeIds ids(scope);
    size_t selected = ids.size();
    std::unique_ptr<uint32_t[]> ids_buffer(new uint32_t[selected]);  // written next: not zeroed
    std::span<uint32_t> all(ids_buffer.get(), selected);
    ids.write_to(all);
    std::vector<std::span<const uint32_t>> spans;
    std::vector<ArrowCells> parts;
    for (size_t p = 0; p < count; ++p) {
        size_t begin = selected * p / count;
        size_t end = selected * (p + 1) / count;
        spans.push_back(std::span<const uint32_t>(all).subspan(begin, end - begin));
        parts.emplace_back(names.names.size());
        parts.back().reserve(spans.back().size());
    }
    std::vector<size_t> passed(count);
    LockedItems::ReadGuard table(*scope.record->items);
    run_tasks(count, count, [&](size_t p) {
        CellReader reader(names, parts[p], false);
        passed[p] = reader.read(*table, spans[p]);
    });
    for (size_t p = 0; p < count; ++p) {
        CellReader reader(names, parts[p], true);
        reader.read(*table, spans[p].subspan(passed[p]));
    }
    return parts;
}

}  // namespace

std::vector<ArrowCells> read_arrow_cells(const Scope& scope, const Names& names) {
    size_t count = workers_for(ScopeIds(scope).size() / kMinRowsPerPart, kMaxReaders);
    if (count <= 1)
        return read_whole(scope, names);
    std::vector<ArrowCells> parts = read_parts(scope, names, count);
    if (!arrow_parts_agree(parts))
        return read_whole(scope, names);  // finds the value refused first
    return parts;
}

}  // namespace vorlane
