// Walks of the ordered bitmap tree in value order over a selection: the
// ids of a selection sorted by value (up to a limit), and the selected entry
// of the smallest or largest value. Both skip every child whose cached bitmap
// misses the selection.

#include <algorithm>
#include <limits>
#include <optional>

#include "engine/prefetch.hpp"
#include "engine/ranged_b_tree.hpp"

namespace vorlane {

namespace {

// The value code of the last (or first) entry below `node`; nothing when
// it holds none.
std::optional<Key128> edge_code(const BitMapBTreeNode& node, bool last) {
    if (const auto* internal = std::get_if<InternalPtr>(&node)) {
        if (!*internal || (*internal)->children.empty())
            return std::nullopt;
        const auto& children = (*internal)->children;
        return edge_code(last ? children.back() : children.front(), last);
    }
    const auto& leaf = std::get<LeafPtr>(node);
    if (!leaf || leaf->len == 0)
        return std::nullopt;
    return leaf->entry(last ? leaf->len - 1 : 0).value_code();
}

std::optional<Key128> largest_code(const BitMapBTreeNode& node) {
    return edge_code(node, true);
}
std::optional<Key128> smallest_code(const BitMapBTreeNode& node) {
    return edge_code(node, false);
}

// Ids a walk reserves room for at its start: a top-k's ids (and a reverse
// walk's ties) then take one allocation instead of one per doubling, while a
// long listing still grows by what it finds.
constexpr size_t kReservedIds = 64;

// Collects ids in tree order until `limit` is reached, after passing over
// the first `offset`. Entries of equal value come out of a reverse walk in
// descending id order; they are buffered and emitted ascending, so ties
// always read by ascending id.
//
// The ids passed over are not listed where it can be helped: a child whose
// selected ids are no more than are left to pass over (and that holds no
// NaN, which the walk leaves out) is counted and passed over whole, from its
// cached bitmap, or from its length for a leaf when the selection covers the
// tree. Ids met one by one while some are left to pass over are dropped as
// they are emitted, so nothing is listed before the offset is reached.
class SortedWalk {
  public:
    SortedWalk(const Bitmap& selection, size_t limit, bool reverse, size_t offset, bool skip_whole,
               UniverseCover cover)
        : selection_(selection),
          limit_(limit),
          reverse_(reverse),
          skip_whole_(skip_whole),
          covers_tree_(cover == UniverseCover::All),
          offset_left_(offset) {
        nan_above_ = positive_infinity_code();
        nan_below_ = negative_infinity_code();
        lowest_key_ = lowest_number_key();
        highest_key_ = highest_number_key();
        ids_.reserve(std::min(limit, kReservedIds));
        if (reverse)
            ties_.reserve(std::min(limit, kReservedIds));
    }

    // False once enough ids were collected. `upper` bounds the node's value
    // codes from above, when known.
    bool walk(const BitMapBTreeNode& node, std::optional<Key128> upper) {
        return visit_node(
            node,
            [this, upper](const InternalNode& internal) { return walk_internal(internal, upper); },
            [this](const LeafPtr& leaf) { return walk_leaf(*leaf); });
    }

    // Whether a reverse walk passed a child over whole whose smallest value
    // is also that of the next id it met: the ties of that value then
    // straddle what was passed over, and their ascending order is not the
    // walk's, so the walk must be made again without passing over whole.
    // `may_pass_whole` rules this out; the check keeps the answer exact
    // should a bound or an empty leaf let one through.
    bool ties_straddle_skip() const { return straddled_; }

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
    bool walk_internal(const InternalNode& node, std::optional<Key128> upper) {
        uint32_t len = static_cast<uint32_t>(node.len());
        uint32_t first = node.get_key_index(lowest_key_);
        uint32_t last = node.get_key_index(highest_key_);
        if (skip_whole_ && offset_left_ > 0)
            prefetch_counts(node, first, last, covers_tree_);
        for (uint32_t k = 0; k <= last - first; ++k) {
            uint32_t i = reverse_ ? last - k : first + k;
            if (i > first && counts_through()) {
                uint32_t next = pass_over_counted(node, i, last);
                k += next - i;
                i = next;
            }
            std::optional<Key128> child_upper =
                i + 1 < len ? std::optional<Key128>(node.keys[i + 1].value_code()) : upper;
            if (node.caches_bitmaps() ? pass_over(node, i, child_upper)
                                      : pass_over_leaf(node, i, child_upper))
                continue;
            if (!walk(node.children[i], child_upper))
                return false;
        }
        return true;
    }

    // Whether children may be passed over by their counts alone, none of
    // the checks of `may_pass_whole` applying: the selection covers the tree
    // (a child's count is its parent's `counts` entry) and the walk
    // goes forward (it holds no ties, and meets no run of them across what
    // it passes over).
    bool counts_through() const {
        return skip_whole_ && covers_tree_ && !reverse_ && offset_left_ > 0;
    }

    // Passes over children `from`, `from + 1`... before `last` while their
    // counts are no more than the ids left to pass over; returns the first
    // child not passed over (`last` at most). The children between the one
    // holding the lowest number key (`from` - 1 or before) and the one
    // holding the highest (`last`) hold no NaN: their keys, and the bound of
    // the child after, lie between those two keys.
    uint32_t pass_over_counted(const InternalNode& node, uint32_t from, uint32_t last) {
        uint32_t i = from;
        for (; i < last && offset_left_ > 0; ++i) {
            uint32_t count = node.counts[i];
            if (count > offset_left_)
                break;
            offset_left_ -= count;
        }
        return i;
    }

    // Requests what counting children `first..last` reads: their counts,
    // when the selection covers the tree; else each child's bitmap, or each
    // leaf's header. A walk that passes over many children would otherwise
    // wait for each of them in turn.
    static void prefetch_counts(const InternalNode& node, uint32_t first, uint32_t last,
                                bool covers_tree) {
        if (covers_tree) {
            prefetch_bytes(&node.counts[first], (last - first + 1) * sizeof(uint32_t));
            return;
        }
        for (uint32_t i = first; i <= last; ++i) {
            if (node.caches_bitmaps())
                prefetch_line(node.bitmaps[i].raw());
            else
                prefetch_line(&leaf_of(node.children[i]));
        }
    }

    // Whether child `i` may be passed over whole: ids remain to pass over,
    // its keys hold no NaN, and, walking in reverse, no run of ties goes on
    // from the ids met before into it, nor from it into the child walked
    // next (ties come out ascending, not in the walk's order, so a run of
    // ties must not be cut where the ids passed over end).
    bool may_pass_whole(const InternalNode& node, uint32_t i, std::optional<Key128> upper) const {
        bool free = skip_whole_ && offset_left_ > 0 && node.keys[i].value_code() >= nan_below_ &&
                    upper && *upper <= nan_above_;
        if (!free || !reverse_)
            return free;
        if (i == 0)
            return false;  // the next child lies in another node
        std::optional<Key128> smallest = smallest_code(node.children[i]);
        std::optional<Key128> largest = largest_code(node.children[i]);
        std::optional<Key128> next_largest = largest_code(node.children[i - 1]);
        return smallest && largest && next_largest && *smallest != *next_largest &&
               (ties_.empty() || *largest != tie_code_);
    }

    // Whether child `i` is left out whole: none of its ids is selected, or
    // all of its selected ids are passed over. When the selection covers the
    // tree, a child's count is its cached one, with no intersection.
    bool pass_over(const InternalNode& node, uint32_t i, std::optional<Key128> upper) {
        const Bitmap& ids = node.bitmaps[i];
        if (!may_pass_whole(node, i, upper))
            return !covers_tree_ && !roaring_bitmap_intersect(ids.raw(), selection_.raw());
        uint64_t selected = covers_tree_
                                ? node.counts[i]
                                : roaring_bitmap_and_cardinality(ids.raw(), selection_.raw());
        return pass_over_count(selected, node.children[i]);
    }

    // A leaf child is passed over whole only when the selection covers the
    // tree: then all its entries are selected, and its count is its length.
    bool pass_over_leaf(const InternalNode& node, uint32_t i, std::optional<Key128> upper) {
        if (!covers_tree_ || !may_pass_whole(node, i, upper))
            return false;
        return pass_over_count(node.counts[i], node.children[i]);
    }

    // Passes over a child of `selected` selected ids, when no more than are
    // left to pass over (emitting the ties met before it first).
    bool pass_over_count(uint64_t selected, const BitMapBTreeNode& child) {
        if (selected > offset_left_)
            return false;
        if (selected == 0)
            return true;
        if (!ties_.empty())
            flush_ties();
        offset_left_ -= selected;
        // Only a reverse walk can meet ties across it; finding the smallest
        // code costs a descent to the child's first leaf, a miss per level.
        if (reverse_)
            skipped_min_ = smallest_code(child);
        return true;
    }

    bool walk_leaf(const LeafNode& leaf) {
        for (uint32_t k = pass_over_entries(leaf); k < leaf.len; ++k) {
            const CompositeKey128 entry = leaf.entry(slot(k, leaf.len));
            Key128 code = entry.value_code();
            if (code > nan_above_ || code < nan_below_)
                continue;  // NaN compares with nothing
            if (!covers_tree_ && !selection_.contains(entry.id()))
                continue;
            if (!take(code, entry.id()))
                return false;
        }
        return true;
    }

    // Entries at the start of `leaf` passed over by their number alone, as
    // whole children are (see `counts_through`), when the leaf holds no NaN:
    // its entries ascend, so its first and last codes bound them all.
    uint32_t pass_over_entries(const LeafNode& leaf) {
        if (!counts_through() || leaf.len == 0 || leaf.entry(0).value_code() < nan_below_ ||
            leaf.entry(leaf.len - 1).value_code() > nan_above_)
            return 0;
        auto passed = static_cast<uint32_t>(std::min<size_t>(offset_left_, leaf.len));
        offset_left_ -= passed;
        return passed;
    }

    bool take(Key128 code, uint32_t id) {
        if (skipped_min_) {
            straddled_ = straddled_ || (reverse_ && code == *skipped_min_);
            skipped_min_.reset();
        }
        if (!reverse_) {
            emit(id);
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

    // Lists `id`, or passes over it while ids are left to pass over.
    void emit(uint32_t id) {
        if (offset_left_ > 0)
            --offset_left_;
        else
            ids_.push_back(id);
    }

    void flush_ties() {
        for (auto it = ties_.rbegin(); it != ties_.rend(); ++it)
            emit(*it);
        ties_.clear();
    }

    const Bitmap& selection_;
    size_t limit_;
    bool reverse_;
    bool skip_whole_;
    // The selection holds every id of the tree.
    bool covers_tree_;
    // Ids still to pass over.
    size_t offset_left_;
    Key128 nan_above_;
    Key128 nan_below_;
    Key128 lowest_key_;
    Key128 highest_key_;
    std::vector<uint32_t> ids_;
    std::vector<uint32_t> ties_;
    Key128 tie_code_ = 0;
    // The smallest value of the child passed over last, until an id is met.
    std::optional<Key128> skipped_min_;
    bool straddled_ = false;
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
                                              bool reverse, size_t offset,
                                              UniverseCover cover) const {
    size_t cap = limit.value_or(std::numeric_limits<size_t>::max());
    if (cap == 0 || selection.is_empty())
        return {};
    SortedWalk walk(selection, cap, reverse, offset, true, cover);
    // The largest entry bounds the last children, which no key above bounds.
    walk.walk(root_, largest_code(root_));
    if (!walk.ties_straddle_skip())
        return walk.finish();
    SortedWalk exact(selection, cap, reverse, offset, false, cover);
    exact.walk(root_, largest_code(root_));
    return exact.finish();
}

}  // namespace vorlane
