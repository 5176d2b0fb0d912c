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

SharedValueOrder::SharedValueOrder(const ExactMap& exact, Codes codes)
    : exact_(&exact), codes_(std::move(codes)) {
    for (const auto& [code, hash] : codes_)
        size_ += set_of(hash).len();
}

std::optional<int64_t> SharedValueOrder::hash_of(Key128 code) const {
    auto it = codes_.find(code);
    if (it == codes_.end())
        return std::nullopt;
    return it->second;
}

bool SharedValueOrder::may_add(Key128 code, int64_t hash) const {
    if (auto listed = hash_of(code))
        return *listed == hash;
    auto entry = exact_->find(hash);
    return entry == exact_->end() || entry->second.is_empty();
}

void SharedValueOrder::added(Key128 code, int64_t hash) {
    codes_.try_emplace(code, hash);
    ++size_;
}

void SharedValueOrder::removed(Key128 code, bool emptied) {
    --size_;
    if (emptied)
        codes_.erase(code);
}

bool SharedValueOrder::contains(Key128 code, uint32_t id) const {
    auto hash = hash_of(code);
    return hash && set_of(*hash).contains(id);
}

BitmapRef SharedValueOrder::bitmap_of(Codes::const_iterator value) const {
    const HybridSet& set = set_of(value->second);
    if (const Bitmap* held = set.bitmap_form())
        return BitmapRef(*held);
    return BitmapRef(set.as_bitmap());
}

SharedValueOrder::Codes::const_iterator SharedValueOrder::numbers_begin() const {
    return codes_.lower_bound(lowest_number_key() >> 32);
}

SharedValueOrder::Codes::const_iterator SharedValueOrder::numbers_end() const {
    return codes_.upper_bound(highest_number_key() >> 32);
}

Bitmap SharedValueOrder::query_codes(Key128 first_code, Key128 last_code, const Bitmap& mask,
                                     UniverseCover cover) const {
    if (first_code > last_code || mask.is_empty())
        return Bitmap();
    // Bitmaps are united in one call; the few small sets go into one more.
    std::vector<const Bitmap*> parts;
    Bitmap small;
    for (auto it = codes_.lower_bound(first_code); it != codes_.end() && it->first <= last_code;
         ++it) {
        const HybridSet& set = set_of(it->second);
        if (const Bitmap* held = set.bitmap_form())
            parts.push_back(held);
        else
            set.or_into(small);
    }
    parts.push_back(&small);
    Bitmap result = Bitmap::or_many(parts);
    if (cover == UniverseCover::Part)
        result.and_inplace(mask);
    return result;
}

std::vector<uint32_t> SharedValueOrder::sorted_ids(const Bitmap& selection, size_t limit,
                                                   bool reverse, size_t offset,
                                                   UniverseCover cover) const {
    auto bitmap = [this](Codes::const_iterator value) { return bitmap_of(value); };
    return sorted_ids_of_sets(numbers_begin(), numbers_end(), bitmap, selection, limit, reverse,
                              offset, cover);
}

std::optional<CompositeKey128> SharedValueOrder::min_entry(const Bitmap& selection) const {
    auto bitmap = [this](Codes::const_iterator value) { return bitmap_of(value); };
    return first_selected_entry(numbers_begin(), numbers_end(), bitmap, selection, false);
}

std::optional<CompositeKey128> SharedValueOrder::max_entry(const Bitmap& selection) const {
    auto bitmap = [this](Codes::const_iterator value) { return bitmap_of(value); };
    return first_selected_entry(numbers_begin(), numbers_end(), bitmap, selection, true);
}

size_t SharedValueOrder::groups() const {
    constexpr int kBlockShift = 16;
    size_t total = 0;
    for (const auto& [code, hash] : codes_) {
        const HybridSet& set = set_of(hash);
        if (const Bitmap* held = set.bitmap_form()) {
            total += held->container_count();
            continue;
        }
        // A small set: its distinct blocks, ids ascending.
        std::optional<uint32_t> last_block;
        set.for_each([&](uint32_t id) {
            total += last_block != (id >> kBlockShift);
            last_block = id >> kBlockShift;
        });
    }
    return total;
}

size_t SharedValueOrder::memory_usage() const {
    // As `ValueSetOrder` counts its map: each slot, plus the third of a node
    // that a B-tree leaves free on average.
    return codes_.size() * sizeof(Codes::value_type) * 4 / 3;
}

void SharedValueOrder::validate() const {
    absl::flat_hash_set<int64_t> hashes;
    size_t total = 0;
    Bitmap seen;
    for (const auto& [code, hash] : codes_) {
        check(code >> 96 == 0, "a value code is wider than 96 bits");
        check(hashes.insert(hash).second, "two values name one exact-map key");
        check(exact_->contains(hash), "a value names a key the exact map lacks");
        const HybridSet& set = set_of(hash);
        check(!set.is_empty(), "a value names an empty set");
        Bitmap ids = set.as_bitmap();
        check(!seen.intersects(ids), "an id sits under two values");
        seen.or_inplace(ids);
        total += ids.cardinality();
    }
    check(total == size_, "the size is not the sum of the sets");
    size_t non_empty = 0;
    for (const auto& [hash, set] : *exact_)
        non_empty += !set.is_empty();
    check(non_empty == codes_.size(), "an exact-map set is listed under no value");
}

}  // namespace vorlane
