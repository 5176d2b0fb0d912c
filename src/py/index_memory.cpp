#include "py/index_memory.hpp"

#include "engine/attribute_maps.hpp"
#include "py/errors.hpp"

namespace vorlane {

IndexMemory index_memory(const IndexRecord& index) {
    IndexMemory figures;
    LockedMaps::ReadGuard maps(*index.maps);
    LockedItems::ReadGuard table(*index.items);
    figures.item_table = table->memory_usage();
    figures.id_sets = index.live_ids.heap_bytes();
    // One control byte per slot, as the hash maps keep.
    figures.value_maps = maps->capacity() * (sizeof(AttributeMaps::value_type) + 1);
    for (const auto& [name, map] : *maps) {
        figures.value_maps += sizeof(QueryMap) + map->exact().table_bytes();
        for (const auto& [value, ids] : map->exact())
            figures.id_sets += ids.memory_usage();
        figures.trees += map->tree().memory_usage();
    }
    return figures;
}

PyObject* py::memory_dict(const IndexMemory& f) {
    auto n = [](size_t bytes) { return static_cast<Py_ssize_t>(bytes); };
    return check(Py_BuildValue("{s:n,s:n,s:n,s:n,s:n}", "item_table", n(f.item_table), "value_maps",
                               n(f.value_maps), "id_sets", n(f.id_sets), "trees", n(f.trees),
                               "total", n(f.total())));
}

}  // namespace vorlane
