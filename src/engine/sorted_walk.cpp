#include <limits>

#include "engine/ranged_b_tree.hpp"

namespace vorlane {

namespace {

// Collects ids in tree order until `limit` is reached. Entries of equal value
// come out of a reverse walk in descending id order; they are buffered and
// emitted ascending, so ties always read by ascending id.
class SortedWalk {
  public:
    SortedWalk(const Bitmap& selection, size_t limit, bool reverse)
        : selection_(selection), limit_(limit), reverse_(reverse) {
        nan_above_ = encode_value96(std::numeric_limits<double>::infinity());
        nan_below_ = encode_value96(-std::numeric_limits<double>::infinity());
    }

    // False once enough ids were collected.
    bool walk(const BitMapBTreeNode& node) {
        if (const auto* internal = std::get_if<InternalPtr>(&node))
            return walk_internal(**internal);
        return walk_leaf(*std::get<LeafPtr>(node));
    }

    std::vector<uint32_t> finish() {
        flush_ties();
        if (ids_.size() > limit_)
            ids_.resize(limit_);
        return std::move(ids_);
    }

  private:
    // Position of the k-th element visited among `len`, in the walk's direction.
    uint32_t slot(uint32_t k, uint32_t len) const { return reverse_ ? len - 1 - k : k; }

    bool walk_internal(const InternalNode& node) {
        uint32_t len = static_cast<uint32_t>(node.len());
        for (uint32_t k = 0; k < len; ++k) {
            uint32_t i = slot(k, len);
            // A child none of whose ids is selected is skipped whole.
            if (node.caches_bitmaps() &&
                !roaring_bitmap_intersect(node.bitmaps[i].raw(), selection_.raw()))
                continue;
            if (!walk(node.children[i]))
                return false;
        }
        return true;
    }

    bool walk_leaf(const LeafNode& leaf) {
        for (uint32_t k = 0; k < leaf.len; ++k) {
            const CompositeKey128 entry = leaf.entry(slot(k, leaf.len));
            Key128 code = entry.value_code();
            if (code > nan_above_ || code < nan_below_)
                continue;  // NaN compares with nothing
            if (!selection_.contains(entry.id()))
                continue;
            if (!take(code, entry.id()))
                return false;
        }
        return true;
    }

    bool take(Key128 code, uint32_t id) {
        if (!reverse_) {
            ids_.push_back(id);
            return ids_.size() < limit_;
        }
        if (!ties_.empty() && code != tie_code_) {
            flush_ties();
            if (ids_.size() >= limit_)
                return false;
        }
        tie_code_ = code;
        ties_.push_back(id);
        return true;
    }

    void flush_ties() {
        ids_.insert(ids_.end(), ties_.rbegin(), ties_.rend());
        ties_.clear();
    }

    const Bitmap& selection_;
    size_t limit_;
    bool reverse_;
    Key128 nan_above_;
    Key128 nan_below_;
    std::vector<uint32_t> ids_;
    std::vector<uint32_t> ties_;
    Key128 tie_code_ = 0;
};

}  // namespace

std::vector<uint32_t> BitMapBTree::sorted_ids(const Bitmap& selection, std::optional<size_t> limit,
                                              bool reverse) const {
    size_t cap = limit.value_or(std::numeric_limits<size_t>::max());
    if (cap == 0 || selection.is_empty())
        return {};
    SortedWalk walk(selection, cap, reverse);
    walk.walk(root_);
    return walk.finish();
}

}  // namespace vorlane
