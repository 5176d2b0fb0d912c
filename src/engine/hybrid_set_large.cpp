// The bitmap form's record (`HybridSet::LargeIds`): its kept count and
// smallest id, and the bitset it keeps beside the bitmap for a set dense
// enough (see `DenseIds`).

#include "engine/hybrid_set.hpp"

#include <algorithm>
#include <utility>

#include "engine/panic.hpp"

namespace vorlane {

namespace {

// A bitmap form keeps its ids as a bitset too (`DenseIds`) while they fill
// between one in `kDenseSparsest` and one in `kDenseDensest` of their span.
// There the bitmap's blocks are sorted arrays of 2,700 to 4,096 ids, each
// probe a binary search of a dozen dependent steps, and the bitset costs
// 1 to 1.5 times what those arrays cost (2 bytes an id against a bit of
// the span). Denser sets have bitset blocks in the bitmap already; sparser
// ones would pay more memory for probes that are shorter.
constexpr uint64_t kDenseSparsest = 24;
constexpr uint64_t kDenseDensest = 16;
// A set smaller than a block's array limit is probed in a few steps.
constexpr uint64_t kDenseMinIds = Bitmap::kArrayContainerLimit;
// Single additions and removals decide again each time the count crosses
// a multiple of this: often enough to follow a set's growth, seldom enough
// that the decision (and a bitset made or dropped) costs nothing per id.
constexpr uint64_t kDenseRecheck = 1024;

bool wants_dense(const Bitmap& ids, uint64_t cardinality) {
    if (cardinality < kDenseMinIds)
        return false;
    uint64_t span = uint64_t{ids.maximum()} - ids.minimum() + 1;
    return cardinality * kDenseSparsest >= span && cardinality * kDenseDensest < span;
}

}  // namespace

HybridSet::LargeIds::LargeIds(Bitmap bitmap) : ids(std::move(bitmap)) {
    refresh();
}

void HybridSet::LargeIds::refresh() {
    cardinality = ids.cardinality();
    minimum = ids.is_empty() ? kNoId : ids.minimum();
    dense = wants_dense(ids, cardinality) ? DenseIds::of(ids) : DenseIds();
}

bool HybridSet::LargeIds::add(uint32_t id) {
    if (!ids.add_checked(id))
        return false;
    ++cardinality;
    minimum = std::min(minimum, id);
    if (dense.present()) {
        if (dense.covers(id))
            dense.add(id);
        else
            dense = DenseIds::of(ids);  // an id below the first bit
    }
    if (cardinality % kDenseRecheck == 0 && dense.present() != wants_dense(ids, cardinality))
        refresh();
    return true;
}

bool HybridSet::LargeIds::remove(uint32_t id) {
    if (!ids.remove_checked(id))
        return false;
    --cardinality;
    if (id == minimum)
        minimum = cardinality == 0 ? kNoId : ids.minimum();
    if (dense.present())
        dense.remove(id);
    if (cardinality % kDenseRecheck == 0 && dense.present() != wants_dense(ids, cardinality))
        refresh();
    return true;
}

void HybridSet::validate_large() const {
    const LargeIds& record = *large();
    if (record.ids.raw() == nullptr)
        panic("HybridSet: bitmap form without a bitmap");
    if (record.cardinality != record.ids.cardinality())
        panic("HybridSet: the kept count is not the bitmap's");
    if (record.minimum != (record.ids.is_empty() ? kNoId : record.ids.minimum()))
        panic("HybridSet: the kept smallest id is not the bitmap's");
    if (record.dense.present() && !record.dense.same_ids(record.ids))
        panic("HybridSet: the bitset's ids are not the bitmap's");
}

}  // namespace vorlane
