#include "engine/hash_query.hpp"

#include <algorithm>
#include <optional>

#include "engine/panic.hpp"

namespace vorlane {

void DistinctKeys::add(const ValueKey& key) {
    if (seen_) {
        if (seen_->insert(key).second)
            keys_.push_back(key);
        return;
    }
    if (std::find(keys_.begin(), keys_.end(), key) != keys_.end())
        return;
    keys_.push_back(key);
    if (keys_.size() == kLinearDistinct)
        seen_.emplace(keys_.begin(), keys_.end());
}

namespace {

// Up to this many ids, testing each against the value sets is cheaper than
// building the union of the sets and intersecting.
constexpr uint64_t kProbeLimit = HashMatch::kInlineIds;

// One keyword of a query, planned: the value sets it names.
struct PlannedEntry {
    absl::InlinedVector<const HybridSet*, kInlineQueryValues> sets;
    uint64_t estimate = 0;  // ids in its sets, counting shared ones twice

    bool holds(uint32_t id) const {
        return std::any_of(sets.begin(), sets.end(),
                           [&](const HybridSet* ids) { return ids->contains(id); });
    }
};

PlannedEntry plan_entry(const AttributeMaps& maps, const HashQueryEntry& entry) {
    PlannedEntry planned;
    const QueryMap* map = find_query_map(maps, entry.name);
    if (map == nullptr)
        return planned;
    for (const ValueKey& value : entry.values) {
        if (const HybridSet* ids = map->find(value)) {
            planned.sets.push_back(ids);
            planned.estimate += ids->len();
        }
    }
    return planned;
}

// The distinct ids of `entry`'s sets, ascending.
HashMatch::FewIds ids_of(const PlannedEntry& entry) {
    HashMatch::FewIds ids;
    for (const HybridSet* set : entry.sets)
        set->for_each([&](uint32_t id) { ids.push_back(id); });
    // One set lists its ids ascending already; several may share ids.
    if (entry.sets.size() == 1)
        return ids;
    std::sort(ids.begin(), ids.end());
    ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
    return ids;
}

// Membership tests of ascending ids against one value set. A dense set
// answers from its bitset. Otherwise a bitmap set keeps its place among its
// containers from one id to the next, so a few ids probed against a large
// set search for their container once per block of ids rather than once
// per id.
class SetProbe {
  public:
    explicit SetProbe(const HybridSet& set) : set_(set), dense_(set.dense_form()) {
        if (const Bitmap* bitmap = set.bitmap_form(); bitmap != nullptr && dense_ == nullptr)
            bulk_.emplace(*bitmap);
    }
    bool holds(uint32_t id) {
        if (dense_ != nullptr)
            return dense_->contains(id);
        return bulk_ ? bulk_->contains(id) : set_.contains(id);
    }

  private:
    const HybridSet& set_;
    const DenseIds* dense_;
    std::optional<Bitmap::BulkProbe> bulk_;
};

// Keeps the ids of `ids` (ascending) that `entry` holds.
void retain_held(HashMatch::FewIds& ids, const PlannedEntry& entry) {
    if (entry.sets.size() != 1) {
        ids.erase(
            std::remove_if(ids.begin(), ids.end(), [&](uint32_t id) { return !entry.holds(id); }),
            ids.end());
        return;
    }
    SetProbe probe(*entry.sets.front());
    ids.erase(std::remove_if(ids.begin(), ids.end(), [&](uint32_t id) { return !probe.holds(id); }),
              ids.end());
}

// The union of `entry`'s sets, in a new bitmap.
Bitmap union_of(const PlannedEntry& entry) {
    absl::InlinedVector<const Bitmap*, kInlineQueryValues> large;
    for (const HybridSet* set : entry.sets) {
        if (const Bitmap* bitmap = set->bitmap_form())
            large.push_back(bitmap);
    }
    Bitmap result = Bitmap::or_many(large);
    for (const HybridSet* set : entry.sets) {
        if (!set->bitmap_form())
            set->or_into(result);
    }
    return result;
}

// Probes the small running result `ids` against the entries from `rest` on.
HashMatch probe_rest(HashMatch::FewIds ids, std::span<const PlannedEntry* const> rest) {
    for (const PlannedEntry* entry : rest) {
        if (ids.empty())
            break;
        retain_held(ids, *entry);
    }
    return HashMatch::few(std::move(ids));
}

}  // namespace

uint64_t HashMatch::cardinality() const {
    if (const FewIds* few = std::get_if<FewIds>(&ids_))
        return few->size();
    return bitmap().cardinality();
}

const Bitmap& HashMatch::bitmap() const {
    if (const Bitmap* const* borrowed = std::get_if<const Bitmap*>(&ids_))
        return **borrowed;
    return std::get<Bitmap>(ids_);
}

Bitmap HashMatch::to_bitmap() && {
    if (FewIds* few = std::get_if<FewIds>(&ids_))
        return Bitmap::of(*few);
    if (Bitmap* owned = std::get_if<Bitmap>(&ids_))
        return std::move(*owned);
    return bitmap().copy();
}

void HashMatch::write_to(std::span<uint32_t> out) const {
    if (const FewIds* few = std::get_if<FewIds>(&ids_)) {
        if (out.size() != few->size())
            panic("HashMatch::write_to: the output does not hold exactly the ids");
        std::copy(few->begin(), few->end(), out.begin());
        return;
    }
    bitmap().write_to(out);
}

HashMatch match_hashes(const AttributeMaps& maps, const HashQuery& query) {
    absl::InlinedVector<PlannedEntry, kInlineQueryEntries> entries;
    for (const HashQueryEntry& entry : query)
        entries.push_back(plan_entry(maps, entry));
    absl::InlinedVector<const PlannedEntry*, kInlineQueryEntries> plan;
    for (const PlannedEntry& entry : entries)
        plan.push_back(&entry);
    // Most selective first, so the running intersection empties early. A
    // query names a few attributes: an insertion sort (stable, like the
    // order of equal estimates needs) takes no buffer, as std::stable_sort does.
    for (size_t i = 1; i < plan.size(); ++i) {
        for (size_t j = i; j > 0 && plan[j]->estimate < plan[j - 1]->estimate; --j)
            std::swap(plan[j], plan[j - 1]);
    }
    if (plan.empty() || plan.front()->estimate == 0)
        return HashMatch::none();
    std::span<const PlannedEntry* const> steps(plan.data(), plan.size());
    // A small first entry is narrowed by probing its ids against the other
    // entries' sets, instead of gathering any large attribute's union.
    if (steps.front()->estimate <= kProbeLimit)
        return probe_rest(ids_of(*steps.front()), steps.subspan(1));
    const PlannedEntry& first = *steps.front();
    if (steps.size() == 1 && first.sets.size() == 1 && first.sets.front()->bitmap_form())
        return HashMatch::borrowed(*first.sets.front()->bitmap_form());
    Bitmap running = union_of(first);
    for (size_t i = 1; i < steps.size(); ++i) {
        if (running.is_empty())
            return HashMatch::none();
        if (running.cardinality() <= kProbeLimit) {
            HashMatch::FewIds ids;
            running.for_each([&](uint32_t id) { ids.push_back(id); });
            return probe_rest(std::move(ids), steps.subspan(i));
        }
        const PlannedEntry& step = *steps[i];
        if (step.sets.size() == 1 && step.sets.front()->bitmap_form()) {
            running.and_inplace(*step.sets.front()->bitmap_form());
        } else {
            running.and_inplace(union_of(step));
        }
    }
    return HashMatch::owned(std::move(running));
}

Bitmap filter_index_by_hashes(const AttributeMaps& maps, const HashQuery& query) {
    return match_hashes(maps, query).to_bitmap();
}

}  // namespace vorlane
