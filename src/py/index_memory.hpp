#pragma once
// The memory figures of an index record: the bytes held by its item table,
// its value maps, its id sets and its ordered trees (`Index.memory_usage()`
// and `sys.getsizeof(index)`).

#include <Python.h>

#include <cstddef>

#include "py/index_record.hpp"

namespace vorlane {

struct IndexMemory {
    size_t item_table = 0;
    size_t value_maps = 0;
    size_t id_sets = 0;
    size_t trees = 0;
    size_t total() const { return item_table + value_maps + id_sets + trees; }
};

// The figures of `index`, read under its maps and item table locks.
IndexMemory index_memory(const IndexRecord& index);

namespace py {
// The figures as a dict, with their total under "total".
PyObject* memory_dict(const IndexMemory& figures);
}  // namespace py

}  // namespace vorlane
