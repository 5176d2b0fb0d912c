#include "engine/shared_value_order.hpp"

#include <absl/container/flat_hash_set.h>

#include <string>

#include "engine/panic.hpp"

namespace vorlane {

namespace {

void check(bool ok, const char* what) {
    if (!ok)
        panic(std::string("SharedValueOrder invariant broken: ") + what);
}

}  // namespace

SharedValueOrder::SharedValueOrder(const ExactMap& exact, const Codes& codes,
                                   std::vector<OwnSet> own)
    : exact_(&exact) {
    for (const auto& [code, hash] : codes) {
        size_ += set_of(hash).len();
        values_.try_emplace(code, Value{hash, nullptr});
    }
    for (OwnSet& value : own) {
        size_ += value.ids.cardinality();
        ++merged_[value.hash];
        values_.try_emplace(value.code,
                            Value{value.hash, std::make_unique<Bitmap>(std::move(value.ids))});
    }
}

void SharedValueOrder::take_own(Value& value) {
    value.own = std::make_unique<Bitmap>(set_of(value.hash).as_bitmap());
    ++merged_[value.hash];
}

SharedValueOrder::Listing SharedValueOrder::prepare_add(Key128 code, int64_t hash) {
    auto listed = values_.find(code);
    if (listed != values_.end()) {
        if (listed->second.hash != hash)
            return Listing::Refused;
        return listed->second.own ? Listing::Own : Listing::Shared;
    }
    auto entry = exact_->find(hash);
    if (entry == exact_->end() || entry->second.is_empty())
        return Listing::Shared;
    if (merged_.contains(hash))
        return Listing::Own;
    // The key lists one number so far: found by a walk, as keys merge rarely.
    for (auto& [other_code, value] : values_) {
        if (value.hash == hash) {
            take_own(value);
            return Listing::Own;
        }
    }
    return Listing::Refused;  // a key no value lists (a broken invariant)
}

void SharedValueOrder::added(Key128 code, int64_t hash, uint32_t id, Listing how) {
    ++size_;
    if (how == Listing::Shared) {
        values_.try_emplace(code, Value{hash, nullptr});
        return;
    }
    auto [value, inserted] = values_.try_emplace(code, Value{hash, nullptr});
    if (inserted) {
        value->second.own = std::make_unique<Bitmap>();
        ++merged_[hash];
    }
    value->second.own->add(id);
}

bool SharedValueOrder::lists_alike(Key128 code, int64_t hash, uint32_t id, bool in_set) const {
    auto listed = values_.find(code);
    if (listed == values_.end() || listed->second.hash != hash)
        return false;
    return !listed->second.own || listed->second.own->contains(id) == in_set;
}

void SharedValueOrder::removed(Key128 code, uint32_t id, bool key_emptied) {
    auto listed = values_.find(code);
    --size_;
    Value& value = listed->second;
    if (value.own) {
        value.own->remove(id);
        if (!value.own->is_empty())
            return;
        if (--merged_[value.hash] == 0)
            merged_.erase(value.hash);
        values_.erase(listed);
        return;
    }
    if (key_emptied)
        values_.erase(listed);
}

std::optional<SharedValueOrder::Codes> SharedValueOrder::codes() const {
    if (!merged_.empty())
        return std::nullopt;
    Codes codes;
    for (const auto& [code, value] : values_)
        codes.emplace(code, value.hash);
    return codes;
}

bool SharedValueOrder::contains(Key128 code, uint32_t id) const {
    auto listed = values_.find(code);
    if (listed == values_.end())
        return false;
    const Value& value = listed->second;
    return value.own ? value.own->contains(id) : set_of(value.hash).contains(id);
}

BitmapRef SharedValueOrder::bitmap_of(Values::const_iterator value) const {
    if (value->second.own)
        return BitmapRef(*value->second.own);
    const HybridSet& set = set_of(value->second.hash);
    if (const Bitmap* held = set.bitmap_form())
        return BitmapRef(*held);
    return BitmapRef(set.as_bitmap());
}

SharedValueOrder::Values::const_iterator SharedValueOrder::numbers_begin() const {
    return values_.lower_bound(negative_infinity_code());
}

SharedValueOrder::Values::const_iterator SharedValueOrder::numbers_end() const {
    return values_.upper_bound(positive_infinity_code());
}

Bitmap SharedValueOrder::query_codes(Key128 first_code, Key128 last_code, const Bitmap& mask,
                                     UniverseCover cover) const {
    if (first_code > last_code || mask.is_empty())
        return Bitmap();
    // Bitmaps are united in one call; the ids of small sets, gathered, make
    // one more (added to a bitmap set by set, they would be inserted into
    // its sorted arrays one by one).
    std::vector<const Bitmap*> parts;
    std::vector<uint32_t> small_ids;
    for (auto it = values_.lower_bound(first_code); it != values_.end() && it->first <= last_code;
         ++it) {
        if (it->second.own) {
            parts.push_back(it->second.own.get());
            continue;
        }
        const HybridSet& set = set_of(it->second.hash);
        if (const Bitmap* held = set.bitmap_form())
            parts.push_back(held);
        else
            set.for_each([&](uint32_t id) { small_ids.push_back(id); });
    }
    Bitmap small = Bitmap::of_unsorted(small_ids);
    parts.push_back(&small);
    Bitmap result = Bitmap::or_many(parts);
    if (cover == UniverseCover::Part)
        result.and_inplace(mask);
    return result;
}

std::vector<uint32_t> SharedValueOrder::sorted_ids(const Bitmap& selection, size_t limit,
                                                   bool reverse, size_t offset,
                                                   UniverseCover cover) const {
    auto bitmap = [this](Values::const_iterator value) { return bitmap_of(value); };
    return sorted_ids_of_sets(numbers_begin(), numbers_end(), bitmap, selection, limit, reverse,
                              offset, cover);
}

std::optional<CompositeKey128> SharedValueOrder::min_entry(const Bitmap& selection) const {
    auto bitmap = [this](Values::const_iterator value) { return bitmap_of(value); };
    return first_selected_entry(numbers_begin(), numbers_end(), bitmap, selection, false);
}

std::optional<CompositeKey128> SharedValueOrder::max_entry(const Bitmap& selection) const {
    auto bitmap = [this](Values::const_iterator value) { return bitmap_of(value); };
    return first_selected_entry(numbers_begin(), numbers_end(), bitmap, selection, true);
}

size_t SharedValueOrder::groups() const {
    constexpr int kBlockShift = 16;
    size_t total = 0;
    for (auto it = values_.begin(); it != values_.end(); ++it) {
        const HybridSet* set = it->second.own ? nullptr : &set_of(it->second.hash);
        if (set == nullptr || set->bitmap_form() != nullptr) {
            total += bitmap_of(it)->container_count();
            continue;
        }
        // A small set: its distinct blocks, ids ascending.
        std::optional<uint32_t> last_block;
        set->for_each([&](uint32_t id) {
            total += last_block != (id >> kBlockShift);
            last_block = id >> kBlockShift;
        });
    }
    return total;
}

size_t SharedValueOrder::memory_usage() const {
    // As `ValueSetOrder` counts its map: each slot, plus the third of a node
    // that a B-tree leaves free on average; and the own sets.
    size_t bytes = values_.size() * sizeof(Values::value_type) * 4 / 3;
    for (const auto& [code, value] : values_) {
        if (value.own)
            bytes += sizeof(Bitmap) + value.own->heap_bytes();
    }
    return bytes + merged_.capacity() * (sizeof(std::pair<int64_t, uint32_t>) + 1);
}

void SharedValueOrder::validate() const {
    absl::flat_hash_set<int64_t> hashes;
    absl::flat_hash_map<int64_t, Bitmap> merged_ids;
    size_t total = 0;
    Bitmap seen;
    for (auto it = values_.begin(); it != values_.end(); ++it) {
        const auto& [code, value] = *it;
        check(code >> 96 == 0, "a value code is wider than 96 bits");
        check(exact_->contains(value.hash), "a value names a key the exact map lacks");
        check((value.own != nullptr) == merged_.contains(value.hash),
              "a value of a merged key shares its set, or one of another key keeps its own");
        if (value.own)
            merged_ids[value.hash].or_inplace(*value.own);
        else
            check(hashes.insert(value.hash).second, "two values name one exact-map key");
        BitmapRef ids = bitmap_of(it);
        check(!ids->is_empty(), "a value names an empty set");
        check(!seen.intersects(*ids), "an id sits under two values");
        seen.or_inplace(*ids);
        total += ids->cardinality();
    }
    check(total == size_, "the size is not the sum of the sets");
    check(merged_ids.size() == merged_.size(), "a merged key lists no value");
    for (const auto& [hash, ids] : merged_ids)
        check(set_of(hash).as_bitmap() == ids, "a merged key's set is not its values' union");
    size_t non_empty = 0;
    for (const auto& [hash, set] : *exact_)
        non_empty += !set.is_empty();
    check(non_empty == hashes.size() + merged_.size(), "an exact-map set is listed under no value");
}

}  // namespace vorlane
