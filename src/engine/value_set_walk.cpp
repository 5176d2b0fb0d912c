#include "engine/value_set_walk.hpp"

#include <algorithm>

namespace vorlane {

namespace {

// Ids of a set probed one by one against the selection before the walk
// intersects the two instead: a top-k usually finds its few ids among the
// first it probes, while a selection that misses most of a large set is
// cheaper to meet in one intersection than in a probe per id.
constexpr size_t kProbesPerWantedId = 4;
constexpr size_t kMinProbes = 64;

// Appends to `out`, ascending, the first `wanted` ids of `set & selection`.
void intersect_into(const Bitmap& set, const Bitmap& selection, size_t wanted,
                    std::vector<uint32_t>& out) {
    size_t start = out.size();
    Bitmap::and_(set, selection).for_each_block_while([&](std::span<const uint32_t> ids) {
        size_t room = wanted - (out.size() - start);
        std::span<const uint32_t> taken = ids.first(std::min(room, ids.size()));
        out.insert(out.end(), taken.begin(), taken.end());
        return out.size() - start < wanted;
    });
}

}  // namespace

// Appends to `out`, ascending, at most `wanted` ids of `set` that
// `selection` holds.
void take_selected(const Bitmap& set, const Bitmap& selection, size_t wanted,
                   std::vector<uint32_t>& out) {
    size_t start = out.size();
    size_t budget = wanted > set.cardinality() / kProbesPerWantedId
                        ? set.cardinality()
                        : std::max(kMinProbes, wanted * kProbesPerWantedId);
    if (budget >= set.cardinality()) {
        intersect_into(set, selection, wanted, out);
        return;
    }
    // Small reads: a top-k usually needs only the first few ids.
    constexpr uint32_t kProbeBlock = 32;
    bool exhausted = true;
    set.for_each_block_while<kProbeBlock>([&](std::span<const uint32_t> ids) {
        for (uint32_t id : ids) {
            if (out.size() - start == wanted || budget-- == 0) {
                exhausted = false;
                return false;
            }
            if (selection.contains(id))
                out.push_back(id);
        }
        return true;
    });
    if (out.size() - start == wanted || exhausted)
        return;
    // The probes ran out first: intersect, then take from the start again.
    out.resize(start);
    intersect_into(set, selection, wanted, out);
}

}  // namespace vorlane
