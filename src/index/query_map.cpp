#include "index/query_map.hpp"

#include "index/panic.hpp"

namespace vorlane {

void QueryMap::insert(const ValueKey& value, uint32_t id) {
    if (!insert_exact(value, id))
        return;
    if (auto number = value.numeric())
        tree_.insert(*number, id);
}

bool QueryMap::insert_exact(const ValueKey& value, uint32_t id) {
    auto [entry, inserted] = exact_.try_emplace(value, HybridSet::with_id(id));
    if (!inserted) {
        if (entry->second.contains(id))
            return false;
        entry->second.insert(id);
    }
    return true;
}

void QueryMap::remove_exact(const ValueKey& value, uint32_t id) {
    auto entry = exact_.find(value);
    if (entry == exact_.end())
        return;
    entry->second.remove(id);
    if (entry->second.is_empty())
        exact_.erase(entry);
}

void QueryMap::replace(const ValueKey& old_value, const ValueKey& new_value, uint32_t id) {
    // In a large map both slots and the tree's routes are cold, and none of
    // them depends on another: they are all requested before any is used.
    exact_.prefetch(old_value);
    exact_.prefetch(new_value);
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

void QueryMap::remove_id(const ValueKey& value, uint32_t id) {
    auto entry = exact_.find(value);
    if (entry != exact_.end())
        entry->second.remove(id);
    // The tree entry goes whether or not the exact map still lists the value:
    // an in-place reduction can leave a number in the tree after its set was
    // emptied and pruned, and the object must not stay findable under it.
    if (auto number = value.numeric())
        tree_.remove(*number, id);
}

void QueryMap::check_prune(const ValueKey& value) {
    auto entry = exact_.find(value);
    if (entry == exact_.end())
        panic("no entry found for key");
    if (entry->second.is_empty())
        exact_.erase(entry);
}

void QueryMap::merge(const QueryMap& other) {
    for (const auto& [value, ids] : other.exact_) {
        auto [entry, inserted] = exact_.try_emplace(value);
        if (inserted) {
            entry->second = ids.copy();
        } else {
            entry->second.or_inplace(ids);
        }
        // The tree takes the pairs that the other tree holds: a set may also
        // list ids whose value was not a number (True under the key of 1).
        if (auto number = value.numeric()) {
            ids.for_each([&](uint32_t id) {
                if (other.tree_.contains(*number, id)) tree_.insert(*number, id);
            });
        }
    }
}

const HybridSet* QueryMap::find(const ValueKey& value) const {
    auto entry = exact_.find(value);
    return entry == exact_.end() ? nullptr : &entry->second;
}

size_t QueryMap::memory_usage() const {
    size_t bytes = exact_.capacity() * (sizeof(ValueKey) + sizeof(HybridSet) + 1);
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
