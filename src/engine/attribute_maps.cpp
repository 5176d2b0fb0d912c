#include "engine/attribute_maps.hpp"

#include <algorithm>

#include "engine/panic.hpp"

namespace vorlane {

QueryMap& query_map_for(AttributeMaps& maps, AttrName name) {
    std::unique_ptr<QueryMap>& map = maps[name];
    if (!map)
        map = std::make_unique<QueryMap>();
    return *map;
}

const QueryMap* find_query_map(const AttributeMaps& maps, AttrName name) {
    auto found = maps.find(name);
    return found == maps.end() ? nullptr : found->second.get();
}

void add_index_value(AttributeMaps& maps, uint32_t id, AttrName name, const ValueKey& value) {
    query_map_for(maps, name).insert(value, id);
}

void add_object_values(AttributeMaps& maps, const ObjectValues& object) {
    for (const auto& [name, value] : object.values)
        add_index_value(maps, object.id, name, value);
}

void remove_index_value(AttributeMaps& maps, AttrName name, const ValueKey& value, uint32_t id) {
    auto entry = maps.find(name);
    if (entry == maps.end())
        return;
    QueryMap& map = *entry->second;
    map.remove_and_prune(value, id);
    if (map.is_empty())
        maps.erase(entry);
}

namespace {

void prefetch_removal(const AttributeMaps& maps, const ObjectValues& object) {
    RemovalPrefetch prefetch(object.id);
    for (const auto& [name, value] : object.values) {
        if (const QueryMap* map = find_query_map(maps, name))
            prefetch.add(*map, value);
    }
    prefetch.run();
}

}  // namespace

void remove_object_values(AttributeMaps& maps, const ObjectValues& object) {
    prefetch_removal(maps, object);
    for (const auto& [name, value] : object.values)
        remove_index_value(maps, name, value, object.id);
}

void update_index(AttributeMaps& maps, AttrName name, const ValueKey& old_value,
                  const ValueKey& new_value, uint32_t id) {
    auto entry = maps.find(name);
    if (entry == maps.end()) {
        if (!name.is_private())
            add_index_value(maps, id, name, new_value);
        return;
    }
    // One combined step, unless the removal could empty the map: an empty map
    // is dropped and the insertion starts a fresh one, as when the steps run
    // apart.
    if (entry->second->survives_one_removal()) {
        entry->second->replace(old_value, new_value, id);
        return;
    }
    // The removal also drops a tree entry that the exact map no longer lists.
    remove_index_value(maps, name, old_value, id);
    add_index_value(maps, id, name, new_value);
}

void narrow_value_sets(AttributeMaps& maps, const HybridSet& matching) {
    for (auto& [name, map] : maps)
        map->narrow_value_sets(matching);
}

Bitmap ids_in_maps(const AttributeMaps& maps) {
    Bitmap ids;
    for (const auto& [name, map] : maps) {
        for (const auto& [value, set] : map->exact())
            set.or_into(ids);
        map->tree().for_each_entry([&](const CompositeKey128& entry) { ids.add(entry.id()); });
    }
    return ids;
}

bool union_maps(AttributeMaps& receiver, const AttributeMaps& other, const Bitmap& stored) {
    Bitmap listed = ids_in_maps(other);
    listed.andnot_inplace(stored);
    if (!listed.is_empty())
        return false;
    for (const auto& [name, map] : other)
        query_map_for(receiver, name).merge(*map);
    return true;
}

void BulkShare::add_to_other_column(uint32_t id, AttrName name, const ValueKey& value) {
    size_t count = columns_.size();
    for (size_t k = 0, i = next_; k < count; ++k, ++i) {
        if (i >= count)
            i -= count;  // next_ is at most count
        if (columns_[i].first == name) {
            next_ = i + 1;
            columns_[i].second.push_back(QueryMapBatch::Pair::of(value, id));
            return;
        }
    }
    columns_.emplace_back(name, QueryMapBatch::Pairs());
    columns_.back().second.reserve(expected_);
    columns_.back().second.push_back(QueryMapBatch::Pair::of(value, id));
    next_ = columns_.size();
}

QueryMapBatch& BulkAddition::batch_for(AttrName name) {
    for (auto& [batch_name, batch] : batches_) {
        if (batch_name == name)
            return batch;
    }
    batches_.emplace_back(name, QueryMapBatch(query_map_for(*maps_, name)));
    return batches_.back().second;
}

void BulkAddition::take(BulkShare& share) {
    for (auto& [name, pairs] : share.columns_)
        batch_for(name).append(std::move(pairs));
    share.columns_.clear();
}

void BulkAddition::finish() {
    take(own_);
    size_t pairs = 0;
    for (const auto& [name, batch] : batches_)
        pairs += batch.size();
    // The largest batches first, so that no thread is left with a large one
    // at the end.
    std::sort(batches_.begin(), batches_.end(),
              [](const auto& a, const auto& b) { return a.second.size() > b.second.size(); });
    size_t workers = pairs < kParallelPairs ? 1 : workers_for(batches_.size(), kMaxWorkers);
    run_tasks(batches_.size(), workers, [&](size_t i) { batches_[i].second.finish(); });
    batches_.clear();
}

void validate_maps(const AttributeMaps& maps) {
    for (const auto& [name, map] : maps) {
        if (!map)
            panic("attribute map without its QueryMap");
        if (map->is_empty())
            panic("empty attribute map kept");
        map->validate();
    }
}

}  // namespace vorlane
