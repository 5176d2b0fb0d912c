#include "engine/tuple_sets.hpp"

#include <algorithm>
#include <numeric>

#include "engine/facets.hpp"

namespace vorlane {

namespace {

// Ids of an intersection that cost about one step: the library intersects
// a block of 2^16 ids in a few hundred word operations, far less than the
// cache misses of reading one object per id.
constexpr uint64_t kIntersectedIdsPerStep = 32;

// Walks the combinations depth first: at each level the ids left are met
// with each value set of that level's map, and the last level is counted
// without listing its ids.
class TupleWalk {
  public:
    TupleWalk(std::span<const QueryMap* const> maps, uint64_t budget)
        : maps_(maps), order_(maps.size()), prefix_(maps.size()), budget_(budget) {
        // The maps of fewer values first: the fewest intermediate sets are
        // made, and the largest map's sets are only counted against.
        std::iota(order_.begin(), order_.end(), size_t{0});
        std::stable_sort(order_.begin(), order_.end(), [&](size_t a, size_t b) {
            return maps[a]->exact().size() < maps[b]->exact().size();
        });
        out_.width = maps.size();
    }

    // False when the budget ran out.
    bool run(const Bitmap& selection) { return level(0, selection, selection.cardinality()); }

    TupleSetCounts take() { return std::move(out_); }

  private:
    bool charge(uint64_t steps) {
        spent_ += steps;
        return spent_ <= budget_;
    }

    // One step per id tested, or per `kIntersectedIdsPerStep` ids of the
    // smaller side of an intersection.
    bool charge_meeting(const HybridSet& set, uint64_t left) {
        if (set.bitmap_form() == nullptr)
            return charge(1 + set.len());
        return charge(1 + std::min(set.len(), left) / kIntersectedIdsPerStep);
    }

    bool level(size_t depth, const Bitmap& left, uint64_t left_count) {
        const QueryMap& map = *maps_[order_[depth]];
        bool last = depth + 1 == maps_.size();
        for (const auto& [hash, set] : map.exact()) {
            if (!charge_meeting(set, left_count))
                return false;
            prefix_[order_[depth]] = hash;
            if (last) {
                count_group(set, left);
                continue;
            }
            Bitmap met = meet(set, left);
            uint64_t met_count = met.cardinality();
            if (met_count > 0 && !level(depth + 1, met, met_count))
                return false;
        }
        return true;
    }

    static Bitmap meet(const HybridSet& set, const Bitmap& left) {
        if (const Bitmap* large = set.bitmap_form())
            return Bitmap::and_(*large, left);
        std::vector<uint32_t> kept;
        set.for_each([&](uint32_t id) {
            if (left.contains(id))
                kept.push_back(id);
        });
        return Bitmap::of(kept);
    }

    void count_group(const HybridSet& set, const Bitmap& left) {
        ValueCount value = count_within(0, set, left);
        if (value.count == 0)
            return;
        auto group = static_cast<uint32_t>(out_.groups.size());
        out_.groups.push_back({value.first_id, value.count, group});
        out_.keys.insert(out_.keys.end(), prefix_.begin(), prefix_.end());
        out_.counted += value.count;
    }

    std::span<const QueryMap* const> maps_;
    std::vector<size_t> order_;
    std::vector<int64_t> prefix_;  // the keys chosen so far, by map
    uint64_t budget_;
    uint64_t spent_ = 0;
    TupleSetCounts out_;
};

}  // namespace

std::vector<TupleCount> TupleSetCounts::ranked(std::optional<size_t> limit) const {
    return rank_tuple_counts(groups, limit);
}

std::optional<TupleSetCounts> count_tuples_from_sets(std::span<const QueryMap* const> maps,
                                                     const Bitmap& selection, uint64_t budget) {
    if (maps.empty())
        return std::nullopt;
    TupleWalk walk(maps, budget);
    if (selection.is_empty())
        return walk.take();
    // Every value of a map costs a step at least: a map of more values than
    // the budget would only be given up on part of the way through.
    for (const QueryMap* map : maps) {
        if (map->exact().size() > budget)
            return std::nullopt;
    }
    if (!walk.run(selection))
        return std::nullopt;
    return walk.take();
}

Bitmap unlisted_ids(std::span<const QueryMap* const> maps, const Bitmap& selection) {
    Bitmap missing;
    for (const QueryMap* map : maps) {
        std::vector<const Bitmap*> large;
        Bitmap listed;
        for (const auto& [hash, set] : map->exact()) {
            if (const Bitmap* bitmap = set.bitmap_form())
                large.push_back(bitmap);
            else
                set.or_into(listed);
        }
        large.push_back(&listed);
        missing.or_inplace(Bitmap::andnot(selection, Bitmap::or_many(large)));
    }
    return missing;
}

}  // namespace vorlane
