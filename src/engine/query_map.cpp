#include "engine/query_map.hpp"

#include <algorithm>

#include "engine/panic.hpp"

namespace vorlane {

bool QueryMap::insert_exact(const ValueKey& value, uint32_t id) {
    auto [entry, inserted] = exact_.try_emplace(value.hash, HybridSet::with_id(id));
    return inserted || entry->second.insert(id);
}

void QueryMap::insert(const ValueKey& value, uint32_t id) {
    if (!insert_exact(value, id))
        return;
    if (auto number = value.numeric())
        tree_.insert(*number, id);
}

void QueryMap::remove_and_prune(const ValueKey& value, uint32_t id) {
    remove_exact(value, id);
    if (auto number = value.numeric())
        tree_.remove(*number, id);
}

void QueryMap::remove_exact(const ValueKey& value, uint32_t id) {
    auto entry = exact_.find(value.hash);
    if (entry == exact_.end())
        return;
    entry->second.remove(id);
    if (entry->second.is_empty())
        exact_.erase(entry);
}

void QueryMap::replace(const ValueKey& old_value, const ValueKey& new_value, uint32_t id) {
    // In a large map both slots and the tree's routes are cold, and none of
    // them depends on another: they are all requested before any is used.
    exact_.prefetch(old_value.hash);
    exact_.prefetch(new_value.hash);
    std::optional<NumericValue> from = old_value.numeric();
    std::optional<NumericValue> to = new_value.numeric();
    if (from && to)
        tree_.prefetch_move(*from, *to, id);
    remove_exact(old_value, id);
    // As in `remove_id` and `insert`: the old tree entry goes in any case, the
    // new one comes only with a new exact listing.
    if (!insert_exact(new_value, id))
        to.reset();
    if (from && to) {
        tree_.move(*from, *to, id);
    } else if (from) {
        tree_.remove(*from, id);
    } else if (to) {
        tree_.insert(*to, id);
    }
}

void RemovalPrefetch::add(const QueryMap& map, const ValueKey& value) {
    if (map_count_ == kMaps)
        return;
    map.exact().prefetch(value.hash);
    maps_[map_count_] = &map;
    hashes_[map_count_] = value.hash;
    if (auto number = value.numeric())
        routes_[map_count_].emplace(map.tree().route(*number, id_));
    ++map_count_;
}

void RemovalPrefetch::request_sets(std::span<const Bitmap*> bitmaps, size_t& count) const {
    for (size_t i = 0; i < map_count_ && count < bitmaps.size(); ++i) {
        auto entry = maps_[i]->exact().find(hashes_[i]);
        if (entry == maps_[i]->exact().end())
            continue;
        if (const Bitmap* large = entry->second.bitmap_form())
            bitmaps[count++] = large;
        else
            entry->second.prefetch_small();
    }
}

void RemovalPrefetch::run() {
    std::array<const Bitmap*, kBitmaps> bitmaps;
    size_t count = 0;
    bool first_level = true;
    for (bool deeper = true; deeper; first_level = false) {
        deeper = false;
        for (size_t i = 0; i < map_count_; ++i) {
            std::optional<RoutePrefetch>& route = routes_[i];
            if (route && route->step(bitmaps, count))
                deeper = true;
        }
        // The slots requested by `add` have had one level's walk to arrive.
        if (first_level)
            request_sets(bitmaps, count);
    }
    Bitmap::prefetch_update(std::span<const Bitmap* const>(bitmaps.data(), count), id_);
}

void QueryMapBatch::insert(const ValueKey& value, uint32_t id) {
    if (pending_.empty())
        pending_.reserve(kBlock);
    pending_.emplace_back(value, id);
    if (pending_.size() == kBlock)
        flush();
}

void QueryMapBatch::flush() {
    QueryMap::ExactMap& exact = map_->exact_;
    for (size_t i = 0; i < pending_.size(); ++i) {
        if (i + kAhead < pending_.size())
            exact.prefetch(pending_[i + kAhead].first.hash);
        const auto& [value, id] = pending_[i];
        if (!map_->insert_exact(value, id))
            continue;
        if (auto number = value.numeric())
            numbers_.push_back(CompositeKey128::new_(*number, id));
    }
    pending_.clear();
}

void QueryMapBatch::finish() {
    flush();
    std::sort(numbers_.begin(), numbers_.end());
    map_->tree_.insert_sorted(numbers_);
    numbers_.clear();
    numbers_.shrink_to_fit();
}

void QueryMap::remove_id(const ValueKey& value, uint32_t id) {
    auto entry = exact_.find(value.hash);
    if (entry != exact_.end())
        entry->second.remove(id);
    // The tree entry goes whether or not the exact map still lists the value:
    // an in-place reduction can leave a number in the tree after its set was
    // emptied and pruned, and the object must not stay findable under it.
    if (auto number = value.numeric())
        tree_.remove(*number, id);
}

void QueryMap::check_prune(const ValueKey& value) {
    auto entry = exact_.find(value.hash);
    if (entry == exact_.end())
        panic("no entry found for key");
    if (entry->second.is_empty())
        exact_.erase(entry);
}

void QueryMap::merge(const QueryMap& other) {
    Bitmap listed;  // every id of the other's value sets
    for (const auto& [hash, ids] : other.exact_) {
        ids.or_into(listed);
        auto [entry, inserted] = exact_.try_emplace(hash);
        if (inserted) {
            entry->second = ids.copy();
        } else {
            entry->second.or_inplace(ids);
        }
    }
    // The tree takes the pairs of the other tree whose id the other's sets
    // list: an in-place reduction leaves tree entries behind for ids it took
    // out of the sets, and those stay out of the merge. An id lies under one
    // value per map, so being listed at all means being listed under the
    // entry's value (or a value whose hash collides with it).
    std::vector<CompositeKey128> entries;
    other.tree_.for_each_entry([&](CompositeKey128 entry) {
        if (listed.contains(entry.id()))
            entries.push_back(entry);
    });
    tree_.insert_sorted(entries);
}

const HybridSet* QueryMap::find(const ValueKey& value) const {
    auto entry = exact_.find(value.hash);
    return entry == exact_.end() ? nullptr : &entry->second;
}

size_t QueryMap::memory_usage() const {
    size_t bytes = exact_.capacity() * (sizeof(ExactMap::value_type) + 1);
    for (const auto& [value, ids] : exact_)
        bytes += ids.memory_usage();
    return bytes + tree_.memory_usage();
}

void QueryMap::validate() const {
    tree_.validate();
    for (const auto& [value, ids] : exact_)
        ids.validate();
}

}  // namespace vorlane
