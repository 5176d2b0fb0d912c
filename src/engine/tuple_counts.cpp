#include "engine/tuple_counts.hpp"

#include <absl/hash/hash.h>

#include <algorithm>
#include <cstring>

#include "engine/panic.hpp"

namespace vorlane {

TupleCounter::TupleCounter(size_t width)
    : width_(width), groups_(0, GroupHash{this}, GroupEq{this}) {
    if (width == 0)
        panic("TupleCounter: tuples of no key");
    recent_.fill(kProbe);
}

size_t TupleCounter::recent_slot(std::span<const int64_t> keys) {
    // Fibonacci hashing: the multiplier's top bits mix every key bit.
    constexpr uint64_t kMultiplier = 0x9E3779B97F4A7C15ULL;
    uint64_t h = 0;
    for (int64_t key : keys)
        h = (h ^ static_cast<uint64_t>(key)) * kMultiplier;
    return static_cast<size_t>(h >> (64 - kRecentSlotBits));
}

std::span<const int64_t> TupleCounter::keys_of(uint32_t group) const {
    if (group == kProbe)
        return probe_;
    return std::span<const int64_t>(keys_).subspan(size_t{group} * width_, width_);
}

size_t TupleCounter::GroupHash::operator()(uint32_t group) const {
    std::span<const int64_t> keys = counter->keys_of(group);
    return absl::HashOf(absl::MakeSpan(keys.data(), keys.size()));
}

bool TupleCounter::GroupEq::operator()(uint32_t a, uint32_t b) const {
    std::span<const int64_t> x = counter->keys_of(a);
    std::span<const int64_t> y = counter->keys_of(b);
    return std::equal(x.begin(), x.end(), y.begin(), y.end());
}

bool TupleCounter::add(std::span<const int64_t> keys, uint32_t id) {
    if (keys.size() != width_)
        panic("TupleCounter: a tuple of the wrong width");
    uint32_t& recent = recent_[recent_slot(keys)];
    if (recent != kProbe) {
        std::span<const int64_t> held = keys_of(recent);
        if (std::equal(held.begin(), held.end(), keys.begin(), keys.end())) {
            ++counts_[recent];
            last_group_ = recent;
            return false;
        }
    }
    probe_ = keys;
    auto found = groups_.find(kProbe);
    probe_ = {};
    if (found != groups_.end()) {
        ++counts_[*found];
        recent = *found;
        last_group_ = recent;
        return false;
    }
    auto group = static_cast<uint32_t>(counts_.size());
    keys_.insert(keys_.end(), keys.begin(), keys.end());
    counts_.push_back(1);
    first_ids_.push_back(id);
    groups_.insert(group);
    recent = group;
    last_group_ = group;
    return true;
}

std::vector<TupleCount> TupleCounter::ranked(std::optional<size_t> limit) const {
    std::vector<TupleCount> out;
    out.reserve(counts_.size());
    for (uint32_t group = 0; group < counts_.size(); ++group)
        out.push_back({first_ids_[group], counts_[group], group});
    return rank_tuple_counts(std::move(out), limit);
}

std::vector<TupleCount> rank_tuple_counts(std::vector<TupleCount> counts,
                                          std::optional<size_t> limit) {
    auto before = [](const TupleCount& a, const TupleCount& b) {
        return a.count != b.count ? a.count > b.count : a.first_id < b.first_id;
    };
    size_t keep = std::min(counts.size(), limit.value_or(counts.size()));
    std::partial_sort(counts.begin(), counts.begin() + static_cast<ptrdiff_t>(keep), counts.end(),
                      before);
    counts.resize(keep);
    return counts;
}

}  // namespace vorlane
