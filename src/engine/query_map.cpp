#include "engine/query_map.hpp"

#include <absl/container/flat_hash_set.h>

#include <algorithm>
#include <array>
#include <bit>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <vector>

#include "engine/panic.hpp"
#include "engine/prefetch.hpp"
#include "engine/sort_ids.hpp"

namespace vorlane {

namespace {

// A value map whose entries fell below a quarter of its capacity is rebuilt
// at the size they need: a mass removal gives its memory back. The map then
// has to double before it grows again and to lose three quarters again
// before it shrinks again, so filling and emptying around one size does not
// rebuild it at every step.
constexpr size_t kShrinkBelowOneIn = 4;
// Smaller maps are left as they are: rebuilding them would save little.
constexpr size_t kShrinkFromCapacity = 128;

// The sets of numbers are united by ranges, when the order shares them.
HybridSet::Use set_use(bool numeric) {
    return numeric ? HybridSet::Use::Range : HybridSet::Use::Lookup;
}

void erase_value(QueryMap::ExactMap& map, QueryMap::ExactMap::iterator entry) {
    map.erase(entry);
    if (map.capacity() >= kShrinkFromCapacity && map.size() < map.capacity() / kShrinkBelowOneIn)
        map.shrink_to_fit();
}

}  // namespace

bool QueryMap::insert_exact(const ValueKey& value, uint32_t id) {
    auto [entry, inserted] = exact_.try_emplace(value.hash, HybridSet::with_id(id));
    return inserted || entry->second.insert(id, set_use(value.numeric().has_value()));
}

void QueryMap::insert(const ValueKey& value, uint32_t id) {
    if (tree_.holds_shared_sets()) {
        insert_shared(value, id);
        return;
    }
    if (!insert_exact(value, id))
        return;
    if (auto number = value.numeric())
        tree_.insert(*number, id);
}

void QueryMap::insert_shared(const ValueKey& value, uint32_t id) {
    using Listing = SharedValueOrder::Listing;
    std::optional<NumericValue> number = value.numeric();
    Key128 code = number ? encode_value96(*number) : 0;
    Listing how = number ? tree_.prepare_shared_add(code, value.hash) : Listing::Refused;
    if (how == Listing::Refused) {
        tree_.unshare();
        insert(value, id);
        return;
    }
    if (insert_exact(value, id))
        tree_.shared_added(code, value.hash, id, how);
}

void QueryMap::remove_shared(const ValueKey& value, uint32_t id, bool prune) {
    std::optional<NumericValue> number = value.numeric();
    std::optional<Key128> code;
    if (number)
        code = encode_value96(*number);
    auto entry = exact_.find(value.hash);
    bool in_set = entry != exact_.end() && entry->second.contains(id);
    if (code && tree_.shared().lists_alike(*code, value.hash, id, in_set)) {
        if (!in_set)
            return;
        entry->second.remove(id);
        bool emptied = entry->second.is_empty();
        tree_.shared_removed(*code, id, emptied);
        if (emptied && prune)
            erase_value(exact_, entry);
        return;
    }
    if (!in_set && !(number && tree_.contains(*number, id))) {
        // Nothing listed changes: at most an emptied key is pruned.
        if (prune && entry != exact_.end() && entry->second.is_empty())
            erase_value(exact_, entry);
        return;
    }
    // A removal under another value than the id's (by hash or by code).
    tree_.unshare();
    if (prune)
        remove_and_prune(value, id);
    else
        remove_id(value, id);
}

void QueryMap::remove_and_prune(const ValueKey& value, uint32_t id) {
    if (tree_.holds_shared_sets()) {
        remove_shared(value, id, true);
        return;
    }
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
        erase_value(exact_, entry);
}

void QueryMap::replace(const ValueKey& old_value, const ValueKey& new_value, uint32_t id) {
    if (tree_.holds_shared_sets()) {
        remove_and_prune(old_value, id);
        insert(new_value, id);
        return;
    }
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
        routes_[map_count_] = map.tree().route(*number, id_);
    ++map_count_;
}

void RemovalPrefetch::request_sets(std::span<const Bitmap*> bitmaps, size_t& count) const {
    for (size_t i = 0; i < map_count_ && count < bitmaps.size(); ++i) {
        auto entry = maps_[i]->exact().find(hashes_[i]);
        if (entry == maps_[i]->exact().end())
            continue;
        if (const Bitmap* large = entry->second.bitmap_form()) {
            prefetch_line(large);  // the bitmap's record, read before its parts
            bitmaps[count++] = large;
        } else {
            entry->second.prefetch_small();
        }
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

void QueryMapBatch::append(Pairs&& pairs) {
    if (pairs_.empty()) {
        pairs_ = std::move(pairs);
        return;
    }
    parts_.push_back(std::move(pairs));
    pairs = {};
}

namespace {

// Both halves of a stored hash folded into 32 bits: the low half alone is
// the value itself for small ints, whose upper digits then all agree and
// cost no sorting pass.
uint32_t folded(int64_t hash) {
    auto h = static_cast<uint64_t>(hash);
    return static_cast<uint32_t>(h) ^ static_cast<uint32_t>(h >> 32);
}

using PairSpan = std::span<const QueryMapBatch::Pair>;

// Grouping through a small table, for batches of few distinct values (kinds,
// flags, small counts): a pass to number the values and one to place each
// pair, where the radix sort takes up to three passes over every pair.
class FewValues {
  public:
    // Above this many distinct values the batch is radix-sorted instead; the
    // table stays within the first cache levels.
    static constexpr size_t kMaxValues = 1024;

    // Numbers the values of `pairs`, in order of `folded` hash then hash:
    // the order the radix sort would give their groups. False, with nothing
    // changed, when there are more than `kMaxValues`.
    bool number(std::span<const PairSpan> parts) {
        size_t i = 0;
        for (PairSpan part : parts) {
            value_of_.resize(value_of_.size() + part.size());
            for (const QueryMapBatch::Pair& pair : part) {
                size_t slot = find(pair.hash);
                if (numbers_[slot] == 0) {
                    if (hashes_.size() == kMaxValues)
                        return false;
                    keys_[slot] = pair.hash;
                    hashes_.push_back(pair.hash);
                    numbers_[slot] = static_cast<uint16_t>(hashes_.size());
                }
                value_of_[i++] = static_cast<uint16_t>(numbers_[slot] - 1);
            }
        }
        std::vector<uint16_t> order(hashes_.size());
        for (size_t v = 0; v < order.size(); ++v)
            order[v] = static_cast<uint16_t>(v);
        std::sort(order.begin(), order.end(), [&](uint16_t a, uint16_t b) {
            uint32_t fa = folded(hashes_[a]), fb = folded(hashes_[b]);
            return fa != fb ? fa < fb : hashes_[a] < hashes_[b];
        });
        rank_.resize(order.size());
        for (size_t r = 0; r < order.size(); ++r)
            rank_[order[r]] = static_cast<uint16_t>(r);
        return true;
    }

    // The pairs placed group by group, each group in the order given (a
    // stable counting sort); returns where each group starts, then the end.
    BulkVector<uint32_t> place(std::span<const PairSpan> parts,
                               QueryMapBatch::Pairs& placed) const {
        BulkVector<uint32_t> starts(rank_.size() + 1, 0);
        for (uint16_t v : value_of_)
            ++starts[rank_[v] + 1];
        for (size_t r = 1; r < starts.size(); ++r)
            starts[r] += starts[r - 1];
        BulkVector<uint32_t> next(starts.begin(), starts.end() - 1);
        placed.resize(value_of_.size());
        size_t i = 0;
        for (PairSpan part : parts) {
            for (const QueryMapBatch::Pair& pair : part)
                placed[next[rank_[value_of_[i++]]]++] = pair;
        }
        return starts;
    }

  private:
    static constexpr size_t kSlots = 4 * kMaxValues;  // a power of two, at most a quarter full

    size_t find(int64_t hash) const {
        constexpr uint64_t kMultiplier = 0x9E3779B97F4A7C15ULL;
        constexpr int kSlotBits = std::countr_zero(kSlots);
        size_t slot =
            static_cast<size_t>((static_cast<uint64_t>(hash) * kMultiplier) >> (64 - kSlotBits));
        while (numbers_[slot] != 0 && keys_[slot] != hash)
            slot = (slot + 1) & (kSlots - 1);
        return slot;
    }

    std::array<int64_t, kSlots> keys_{};
    std::array<uint16_t, kSlots> numbers_{};  // 0: free; else the value's number + 1
    std::vector<int64_t> hashes_;             // by number
    std::vector<uint16_t> rank_;              // by number: its group's place
    BulkVector<uint16_t> value_of_;           // by pair: its value's number
};

// The pairs of `parts` grouped by value into `grouped` when they hold few
// values (see `FewValues`), with where each group starts, then the end.
std::optional<BulkVector<uint32_t>> group_few_values(std::span<const PairSpan> parts,
                                                     QueryMapBatch::Pairs& grouped) {
    auto few = std::make_unique<FewValues>();
    if (!few->number(parts))
        return std::nullopt;
    BulkVector<uint32_t> groups = few->place(parts, grouped);
    // Each group holds one hash; its ids ascend unless the objects came out
    // of id order.
    auto by_id = [](const QueryMapBatch::Pair& a, const QueryMapBatch::Pair& b) {
        return a.id < b.id;
    };
    for (size_t g = 0; g + 1 < groups.size(); ++g) {
        auto first = grouped.begin() + groups[g], last = grouped.begin() + groups[g + 1];
        if (!std::is_sorted(first, last, by_id))
            std::sort(first, last, by_id);
    }
    return groups;
}

}  // namespace

BulkVector<uint32_t> QueryMapBatch::group_by_value() {
    std::vector<PairSpan> parts{pairs_};
    parts.insert(parts.end(), parts_.begin(), parts_.end());
    Pairs grouped;
    std::optional<BulkVector<uint32_t>> few = group_few_values(parts, grouped);
    if (!few) {
        sort_parts_by_key32(std::span<const PairSpan>(parts), grouped,
                            [](const Pair& p) { return folded(p.hash); });
    }
    pairs_.swap(grouped);
    parts_.clear();
    if (few)
        return std::move(*few);
    // A run of one folded key holds one hash, ids ascending (the sort is
    // stable and objects come in id order), unless hashes collide in the
    // fold or the ids came out of order: such a run is sorted here.
    auto by_hash_and_id = [](const Pair& a, const Pair& b) {
        return a.hash != b.hash ? a.hash < b.hash : a.id < b.id;
    };
    BulkVector<uint32_t> groups;
    const size_t n = pairs_.size();
    for (size_t run = 0, end = 0; run < n; run = end) {
        uint32_t key = folded(pairs_[run].hash);
        for (end = run + 1; end < n && folded(pairs_[end].hash) == key;)
            ++end;
        auto first = pairs_.begin() + static_cast<std::ptrdiff_t>(run);
        auto last = pairs_.begin() + static_cast<std::ptrdiff_t>(end);
        if (!std::is_sorted(first, last, by_hash_and_id))
            std::sort(first, last, by_hash_and_id);
        for (size_t j = run; j < end; ++j) {
            if (j == run || pairs_[j].hash != pairs_[j - 1].hash)
                groups.push_back(static_cast<uint32_t>(j));
        }
    }
    groups.push_back(static_cast<uint32_t>(n));
    return groups;
}

void QueryMapBatch::add_group(std::span<Pair> group, BulkVector<uint32_t>& ids, bool fresh) {
    HybridSet::Use use = set_use(group.front().code() != kNoCode);
    // Ids ascend within the group: a repeat follows its first.
    ids.clear();
    for (size_t j = 0; j < group.size(); ++j) {
        if (j > 0 && group[j].id == group[j - 1].id)
            group[j].set_code(kDropped);
        else
            ids.push_back(group[j].id);
    }
    // A map empty before the batch holds none of its groups' hashes, each
    // distinct: no probe for the key is needed.
    if (fresh) {
        map_->exact_.emplace_absent(group.front().hash, HybridSet::of_sorted(ids, use));
        return;
    }
    auto [entry, inserted] = map_->exact_.try_emplace(group.front().hash);
    if (inserted) {
        entry->second = HybridSet::of_sorted(ids, use);
        return;
    }
    // A pair the map lists already adds nothing, as in `QueryMap::insert`.
    for (Pair& pair : group) {
        if (pair.code() != kDropped && !entry->second.insert(pair.id, use))
            pair.set_code(kDropped);
    }
}

BulkVector<CompositeKey128> QueryMapBatch::tree_entries(std::span<const uint32_t> groups) const {
    // The entries group by group, each group cut into runs of one value code
    // (ids ascending within a run); then the runs in code order. Numbers of
    // one value share a hash, so each code has one run in all, and only the
    // runs are sorted, not every entry.
    BulkVector<CompositeKey128> grouped;
    grouped.reserve(pairs_.size());
    BulkVector<CompositeKey128> runs;  // (code, run number)
    BulkVector<size_t> run_starts;     // where each run starts in `grouped`
    for (size_t g = 0; g + 1 < groups.size(); ++g) {
        size_t start = grouped.size();
        for (uint32_t j = groups[g]; j < groups[g + 1]; ++j) {
            Key128 code = pairs_[j].code();
            if (code != kNoCode && code != kDropped)
                grouped.push_back(CompositeKey128::from_code(code, pairs_[j].id));
        }
        auto first = grouped.begin() + static_cast<std::ptrdiff_t>(start);
        if (!std::is_sorted(first, grouped.end()))
            std::sort(first, grouped.end());  // a hash shared by several numbers
        for (size_t k = start; k < grouped.size(); ++k) {
            if (k == start || grouped[k].value_code() != grouped[k - 1].value_code()) {
                runs.push_back(CompositeKey128::from_code(grouped[k].value_code(),
                                                          static_cast<uint32_t>(runs.size())));
                run_starts.push_back(k);
            }
        }
    }
    run_starts.push_back(grouped.size());
    // Runs that come in code order already (small ints hash to themselves)
    // leave the entries as grouped.
    if (std::is_sorted(runs.begin(), runs.end()))
        return grouped;
    sort_entries(runs);
    BulkVector<CompositeKey128> entries;
    entries.reserve(grouped.size());
    for (CompositeKey128 run : runs) {
        auto first = grouped.begin() + static_cast<std::ptrdiff_t>(run_starts[run.id()]);
        auto last = grouped.begin() + static_cast<std::ptrdiff_t>(run_starts[run.id() + 1]);
        entries.insert(entries.end(), first, last);
    }
    return entries;
}

bool QueryMapBatch::add_group_codes(std::span<const uint32_t> groups,
                                    SharedValueOrder::Codes& codes,
                                    std::vector<SharedValueOrder::OwnSet>& own) const {
    // Keys that list several numbers are taken only into an empty map.
    bool fresh = codes.empty();
    absl::flat_hash_set<int64_t> named;
    for (const auto& [code, hash] : codes)
        named.insert(hash);
    std::set<Key128> own_codes;
    for (size_t g = 0; g + 1 < groups.size(); ++g) {
        std::span<const Pair> group(pairs_.data() + groups[g], groups[g + 1] - groups[g]);
        int64_t hash = group.front().hash;
        Key128 code = group.front().code();
        bool merged = false;
        for (const Pair& pair : group) {
            if (pair.code() == kNoCode)
                return false;
            merged |= pair.code() != code;
        }
        if (own_codes.contains(code))
            return false;
        if (merged) {
            if (!fresh || !named.insert(hash).second ||
                !add_merged_key(group, codes, own_codes, own))
                return false;
            continue;
        }
        auto listed = codes.find(code);
        if (listed != codes.end() ? listed->second != hash : !named.insert(hash).second)
            return false;
        codes.emplace(code, hash);
    }
    return true;
}

bool QueryMapBatch::add_merged_key(std::span<const Pair> group,
                                   const SharedValueOrder::Codes& codes,
                                   std::set<Key128>& own_codes,
                                   std::vector<SharedValueOrder::OwnSet>& own) {
    std::map<Key128, std::vector<uint32_t>> ids_by_code;
    for (size_t j = 0; j < group.size(); ++j) {
        // Ids ascend: one id under two numbers would stay under the first.
        if (j > 0 && group[j].id == group[j - 1].id) {
            if (group[j].code() != group[j - 1].code())
                return false;
            continue;
        }
        ids_by_code[group[j].code()].push_back(group[j].id);
    }
    for (const auto& [code, ids] : ids_by_code) {
        if (codes.contains(code) || !own_codes.insert(code).second)
            return false;
        own.push_back({code, group.front().hash, Bitmap::of_unsorted(ids)});
    }
    return true;
}

void QueryMapBatch::finish() {
    // The tree may keep (or, in an empty map, take) the exact map's sets as
    // its value sets when each key of the pairs holds one number, found under
    // no other key: every pair then adds its id to both alike, or to neither
    // when the set holds it already.
    BulkVector<uint32_t> groups = group_by_value();
    std::optional<SharedValueOrder::Codes> codes;
    if (map_->tree_.holds_shared_sets())
        codes = map_->tree_.shared().codes();
    else if (map_->is_empty() &&
             OrderedNumbers::repeats_enough_to_enter(groups.size() - 1, groups.back()))
        codes.emplace();
    std::vector<SharedValueOrder::OwnSet> own;
    if (codes && !add_group_codes(groups, *codes, own))
        codes.reset();
    if (!codes)
        map_->tree_.unshare();  // before the sets change
    QueryMap::ExactMap& exact = map_->exact_;
    const bool fresh = exact.empty();
    exact.reserve(exact.size() + groups.size() - 1);
    BulkVector<uint32_t> ids;
    for (size_t g = 0; g + 1 < groups.size(); ++g) {
        if (g + kAhead + 1 < groups.size())
            exact.prefetch(pairs_[groups[g + kAhead]].hash);
        add_group(std::span<Pair>(pairs_).subspan(groups[g], groups[g + 1] - groups[g]), ids,
                  fresh);
    }
    if (codes && map_->tree_.take_shared(exact, *codes, std::move(own))) {
        pairs_ = {};
        return;
    }
    map_->tree_.unshare();
    BulkVector<CompositeKey128> entries = tree_entries(groups);
    pairs_ = {};
    map_->tree_.insert_sorted(entries);
}

void QueryMap::remove_id(const ValueKey& value, uint32_t id) {
    if (tree_.holds_shared_sets()) {
        remove_shared(value, id, false);
        return;
    }
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
        erase_value(exact_, entry);
}

void QueryMap::merge(const QueryMap& other) {
    tree_.unshare();
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

void QueryMap::narrow_value_sets(const HybridSet& matching) {
    tree_.unshare();
    for (auto& [value, ids] : exact_)
        ids.and_inplace(matching);
}

void QueryMap::unlist_from_set(const ValueKey& value, uint32_t id) {
    tree_.unshare();
    auto entry = exact_.find(value.hash);
    if (entry != exact_.end())
        entry->second.remove(id);
}

const HybridSet* QueryMap::find(const ValueKey& value) const {
    auto entry = exact_.find(value.hash);
    return entry == exact_.end() ? nullptr : &entry->second;
}

size_t QueryMap::memory_usage() const {
    size_t bytes = exact_.table_bytes();
    for (const auto& [value, ids] : exact_)
        bytes += ids.memory_usage();
    return bytes + tree_.memory_usage();
}

void QueryMap::validate() const {
    tree_.validate();
    exact_.validate();
}

}  // namespace vorlane
