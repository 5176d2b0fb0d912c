// Walks of the ordered bitmap tree in value order over a selection: the
// ids of a selection sorted by value (up to a limit), and the selected entry
// of the smallest or largest value. Both skip every child whose cached bitmap
// misses the selection.

#include <limits>
#include <optional>

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
        lowest_key_ = lowest_number_key();
        highest_key_ = highest_number_key();
    }

    // False once enough ids were collected.
    bool walk(const BitMapBTreeNode& node) {
        return visit_node(
            node, [this](const InternalNode& internal) { return walk_internal(internal); },
            [this](const LeafPtr& leaf) { return walk_leaf(*leaf); });
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

    // Children before the one holding the lowest number key hold only NaNs
    // of negative sign, children after the one holding the highest only
    // NaNs of positive sign: the walk starts and ends at those two, so that
    // a largest-first walk descends straight past the NaNs at the top.
    bool walk_internal(const InternalNode& node) {
        uint32_t first = node.get_key_index(lowest_key_);
        uint32_t last = node.get_key_index(highest_key_);
        for (uint32_t k = 0; k <= last - first; ++k) {
            uint32_t i = reverse_ ? last - k : first + k;
            // A child none of whose ids is selected is skipped whole.
            if (node.caches_bitmaps() && !node.bitmaps[i].intersects(selection_))
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
    Key128 lowest_key_;
    Key128 highest_key_;
    std::vector<uint32_t> ids_;
    std::vector<uint32_t> ties_;
    Key128 tie_code_ = 0;
};

// Finds the first selected entry met when walking the keys within [lo, hi]
// in order, ascending from `lo` or descending from `hi`. Children whose cached
// bitmap misses the selection are skipped whole, and the walk ends at the
// first selected entry or once it passes the far end of the interval.
template <bool Descending>
class FirstSelected {
  public:
    FirstSelected(const Bitmap& selection, Key128 lo, Key128 hi)
        : selection_(selection), lo_(lo), hi_(hi) {}

    std::optional<CompositeKey128> run(const BitMapBTreeNode& root) {
        found_.reset();
        walk(root);
        return found_;
    }

  private:
    enum class Step : uint8_t { Go, Stop };

    Step walk(const BitMapBTreeNode& node) {
        return visit_node(
            node, [this](const InternalNode& internal) { return walk_internal(internal); },
            [this](const LeafPtr& leaf) { return walk_leaf(*leaf); });
    }

    // Child k holds keys in [keys[k], keys[k + 1]): the walk starts at the
    // child that holds its starting key and stops at a child lying wholly
    // beyond the far end.
    Step walk_internal(const InternalNode& node) {
        if (node.len() == 0)
            return Step::Go;
        uint32_t start = node.get_key_index(Descending ? hi_ : lo_);
        for (uint32_t n = 0; n < (Descending ? start + 1 : node.len() - start); ++n) {
            uint32_t k = Descending ? start - n : start + n;
            if (n > 0 && beyond_far_end(node, k))
                return Step::Stop;
            // Children that are leaves have no cached bitmap: read whole.
            if (node.caches_bitmaps() && !node.bitmaps[k].intersects(selection_))
                continue;
            if (walk(node.children[k]) == Step::Stop)
                return Step::Stop;
        }
        return Step::Go;
    }

    bool beyond_far_end(const InternalNode& node, uint32_t k) const {
        if (!Descending)
            return node.keys[k].key > hi_;
        // Every key of child k is below the lower bound of child k + 1.
        return node.keys[k + 1].key <= lo_;
    }

    Step walk_leaf(const LeafNode& leaf) {
        for (uint32_t n = 0; n < leaf.len; ++n) {
            uint32_t k = Descending ? leaf.len - 1 - n : n;
            const CompositeKey128 entry = leaf.entry(k);
            bool before_start = Descending ? entry.key > hi_ : entry.key < lo_;
            if (before_start)
                continue;
            bool past_end = Descending ? entry.key < lo_ : entry.key > hi_;
            if (past_end)
                return Step::Stop;
            if (selection_.contains(entry.id())) {
                found_ = entry;
                return Step::Stop;
            }
        }
        return Step::Go;
    }

    const Bitmap& selection_;
    Key128 lo_;
    Key128 hi_;
    std::optional<CompositeKey128> found_;
};

}  // namespace

std::optional<CompositeKey128> BitMapBTree::min_entry(const Bitmap& selection) const {
    return FirstSelected<false>(selection, lowest_number_key(), highest_number_key()).run(root_);
}

std::optional<CompositeKey128> BitMapBTree::max_entry(const Bitmap& selection) const {
    std::optional<CompositeKey128> last =
        FirstSelected<true>(selection, lowest_number_key(), highest_number_key()).run(root_);
    if (!last)
        return std::nullopt;
    // The descending walk meets the largest id of the largest value first;
    // ties go to the smallest id, the first selected entry of that value.
    Key128 value_start = CompositeKey128::from_code(last->value_code(), 0).key;
    return FirstSelected<false>(selection, value_start, last->key).run(root_);
}

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
