#include "bindings/arrow_reading.hpp"

#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

#include "engine/parallel.hpp"
#include "py/arrow_columns.hpp"

namespace vorlane {

namespace {

// Selected objects a part read on a thread of its own takes at least:
// below that, starting a thread costs more than the reading it takes over.
constexpr size_t kMinRowsPerPart = 32 * 1024;
// Threads the Arrow export reads on at most.
constexpr size_t kMaxReaders = 8;
// Rows whose values are gathered before the cells take them column by
// column (`ArrowCells::push_run`): a run's objects and values stay in the
// cache in between. A value is read after its object's lock is given back
// only where values cannot change meanwhile (see `kSlotsStay`); elsewhere
// each row goes in under its object's lock.
constexpr size_t kGatherRows = selected_detail::kSlotsStay ? selected_detail::kRun : 1;

// Reads the values of the objects of a span of ids into one part's cells,
// through a buffer of gathered rows, column by column.
class CellReader {
  public:
    CellReader(const Names& names, ArrowCells& cells, bool attached)
        : finder_(names), cells_(cells), attached_(attached), grid_(finder_.count() * kGatherRows) {}

    // Reads the objects of `ids` that `table` holds. Attached, every value;
    // detached (on a worker thread), up to the first row with a value that
    // needs the interpreter. Returns how many ids it passed.
    size_t read(const ItemTable& table, std::span<const uint32_t> ids) {
        size_t width = finder_.count();
        bool stopped = false;
        read_objects<false>(table, ids, finder_,
                            [&](const Indexable&, uint32_t id, std::span<const PyValue* const> values) {
                                for (size_t i = 0; i < width; ++i)
                                    grid_[i * kGatherRows + rows_] = values[i] ? values[i]->obj() : nullptr;
                                row_ids_[rows_++] = id;
                                stopped = rows_ == kGatherRows && !flush();
                                return !stopped;
                            });
        if (!stopped && rows_ > 0)
            stopped = !flush();
        if (!stopped)
            return ids.size();
        return static_cast<size_t>(std::lower_bound(ids.begin(), ids.end(), stopped_id_) - ids.begin());
    }

  private:
    // Hands the gathered rows to the cells; false when a detached reading
    // stopped at one of them (`stopped_id_`).
    bool flush() {
        size_t taken = cells_.push_run(grid_.data(), kGatherRows, rows_, attached_);
        bool all = taken == rows_;
        if (!all)
            stopped_id_ = row_ids_[taken];
        rows_ = 0;
        return all;
    }

    NameFinder finder_;
    ArrowCells& cells_;
    bool attached_;
    std::vector<PyObject*> grid_;  // column by column, `kGatherRows` apart
    uint32_t row_ids_[kGatherRows];
    size_t rows_ = 0;
    uint32_t stopped_id_ = 0;
};

// The cells of `names` of the selected objects in one part, read on this
// thread.
std::vector<ArrowCells> read_whole(const Scope& scope, const Names& names) {
    std::vector<ArrowCells> parts;
    parts.emplace_back(names.names.size());
    const Bitmap& ids = scope_ids(scope);
    parts[0].reserve(ids.cardinality());
    CellReader reader(names, parts[0], true);
    LockedItems::ReadGuard table(*scope.record->items);
    ids.for_each_block<selected_detail::kRun>(
        [&](std::span<const uint32_t> run) { reader.read(*table, run); });
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
    const Bitmap& ids = scope_ids(scope);
    size_t selected = ids.cardinality();
    std::vector<uint32_t> all(selected);
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
    size_t count = workers_for(scope_ids(scope).cardinality() / kMinRowsPerPart, kMaxReaders);
    if (count <= 1)
        return read_whole(scope, names);
    std::vector<ArrowCells> parts = read_parts(scope, names, count);
    if (!arrow_parts_agree(parts))
        return read_whole(scope, names);  // finds the value refused first
    return parts;
}

}  // namespace vorlane
