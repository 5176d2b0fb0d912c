#include <algorithm>
#include <limits>
#include <optional>

#include "engine/ranged_b_tree.hpp"

namespace vorlane {

namespace {

// Collects ids in tree order until `limit` is reached, after passing over
// the first `offset`. Entries of equal value come out of a reverse walk in
// descending id order; they are buffered and emitted ascending, so ties
// always read by ascending id.
//
// The ids passed over are not listed where it can be helped: while nothing
// has been collected yet, a child whose cached bitmap holds no more selected
// ids than are left to pass over (and no NaN, which the walk leaves out) is
// counted from its bitmap and passed over whole. The few left over at the
// leaf where the offset ends are collected and dropped at the end.
class SortedWalk {
  public:
    SortedWalk(const Bitmap& selection, size_t limit, bool reverse, size_t offset, bool skip_whole)
        : selection_(selection),
          limit_(limit),
          reverse_(reverse),
          skip_whole_(skip_whole),
          offset_left_(offset),
          want_(limit > std::numeric_limits<size_t>::max() - offset ? limit : limit + offset) {
        nan_above_ = encode_value96(std::numeric_limits<double>::infinity());
        nan_below_ = encode_value96(-std::numeric_limits<double>::infinity());
    }

    // False once enough ids were collected. `upper` bounds the node's value
    // codes from above, when known.
    bool walk(const BitMapBTreeNode& node, std::optional<Key128> upper = std::nullopt) {
        if (const auto* internal = std::get_if<InternalPtr>(&node))
            return walk_internal(**internal, upper);
        return walk_leaf(*std::get<LeafPtr>(node));
    }

    // Whether a reverse walk passed a child over whole whose smallest value
    // is also that of the first id collected: the ties of that value then
    // straddle what was passed over, and their ascending order is not the
    // walk's, so the walk must be made again without passing over whole.
    bool ties_straddle_skip() const {
        return reverse_ && skipped_min_ && first_code_ && *first_code_ == *skipped_min_;
    }

    std::vector<uint32_t> finish() {
        flush_ties();
        size_t drop = std::min(ids_.size(), offset_left_);
        ids_.erase(ids_.begin(), ids_.begin() + static_cast<ptrdiff_t>(drop));
        if (ids_.size() > limit_)
            ids_.resize(limit_);
        return std::move(ids_);
    }

  private:
    // Position of the k-th element visited among `len`, in the walk's direction.
    uint32_t slot(uint32_t k, uint32_t len) const { return reverse_ ? len - 1 - k : k; }

    bool walk_internal(const InternalNode& node, std::optional<Key128> upper) {
        uint32_t len = static_cast<uint32_t>(node.len());
        for (uint32_t k = 0; k < len; ++k) {
            uint32_t i = slot(k, len);
            std::optional<Key128> child_upper =
                i + 1 < len ? std::optional<Key128>(node.keys[i + 1].value_code()) : upper;
            if (node.caches_bitmaps() && pass_over(node, i, child_upper))
                continue;
            if (!walk(node.children[i], child_upper))
                return false;
        }
        return true;
    }

    // Whether child `i` is left out whole: none of its ids is selected, or
    // all of its selected ids are passed over.
    bool pass_over(const InternalNode& node, uint32_t i, std::optional<Key128> upper) {
        const Bitmap& ids = node.bitmaps[i];
        bool may_skip = skip_whole_ && offset_left_ > 0 && ids_.empty() && ties_.empty() &&
                        node.keys[i].value_code() >= nan_below_ && upper && *upper <= nan_above_;
        if (!may_skip)
            return !roaring_bitmap_intersect(ids.raw(), selection_.raw());
        uint64_t selected = roaring_bitmap_and_cardinality(ids.raw(), selection_.raw());
        if (selected > offset_left_)
            return false;
        offset_left_ -= selected;
        want_ -= selected;
        if (selected > 0)
            skipped_min_ = smallest_code(node.children[i]);
        return true;
    }

    // The smallest value code below `node`; nothing for an empty leaf.
    static std::optional<Key128> smallest_code(const BitMapBTreeNode& node) {
        if (const auto* internal = std::get_if<InternalPtr>(&node))
            return smallest_code((*internal)->children.front());
        const LeafNode& leaf = *std::get<LeafPtr>(node);
        if (leaf.len == 0)
            return std::nullopt;
        return leaf.entry(0).value_code();
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
        if (!first_code_)
            first_code_ = code;
        if (!reverse_) {
            ids_.push_back(id);
            return ids_.size() < want_;
        }
        if (!ties_.empty() && code != tie_code_) {
            flush_ties();
            if (ids_.size() >= want_)
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
    bool skip_whole_;
    // Ids still to pass over, and ids still to collect (the limit and the
    // ids to pass over at the leaf level).
    size_t offset_left_;
    size_t want_;
    Key128 nan_above_;
    Key128 nan_below_;
    std::vector<uint32_t> ids_;
    std::vector<uint32_t> ties_;
    Key128 tie_code_ = 0;
    std::optional<Key128> first_code_;
    std::optional<Key128> skipped_min_;
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
        if (const auto* internal = std::get_if<InternalPtr>(&node))
            return *internal ? walk_internal(**internal) : Step::Go;
        const auto& leaf = std::get<LeafPtr>(node);
        return leaf ? walk_leaf(*leaf) : Step::Go;
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
            if (node.caches_bitmaps() &&
                !roaring_bitmap_intersect(node.bitmaps[k].raw(), selection_.raw()))
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

// The keys of every number but NaN: from the first entry of minus infinity
// to the last of plus infinity (NaNs encode beyond the infinity of their sign).
constexpr uint32_t kLastId = std::numeric_limits<uint32_t>::max();
Key128 lowest_number_key() {
    return CompositeKey128::from_code(encode_value96(-std::numeric_limits<double>::infinity()), 0)
        .key;
}
Key128 highest_number_key() {
    return CompositeKey128::from_code(encode_value96(std::numeric_limits<double>::infinity()),
                                      kLastId)
        .key;
}

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
                                              bool reverse, size_t offset) const {
    size_t cap = limit.value_or(std::numeric_limits<size_t>::max());
    if (cap == 0 || selection.is_empty())
        return {};
    SortedWalk walk(selection, cap, reverse, offset, true);
    walk.walk(root_);
    if (!walk.ties_straddle_skip())
        return walk.finish();
    SortedWalk exact(selection, cap, reverse, offset, false);
    exact.walk(root_);
    return exact.finish();
}

}  // namespace vorlane
