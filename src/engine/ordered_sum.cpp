#include "engine/ordered_sum.hpp"

#include "engine/parallel.hpp"
#include "engine/prefetch.hpp"
#include "engine/tree_node.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <optional>
#include <span>
#include <type_traits>
#include <variant>
#include <vector>

namespace vorlane {

namespace {

// Below this many entries a tree is read on the calling thread: a thread
// costs more to start than a walk of that many takes.
constexpr size_t kParallelEntries = 200'000;
// Parts a large tree is read in, and threads at most: parts of a few
// milliseconds each, spread over whichever threads come free.
constexpr size_t kParts = 8;
constexpr size_t kMaxWorkers = 4;
// Bounds of a tree's top nodes sampled for a fraction: a few levels' worth.
constexpr size_t kSampledBounds = 256;

// Adds the number of `code`, held by `times` selected ids.
void add_value(OrderedTotal& total, Key128 code, uint64_t times) {
    NumericValue value = decode_value96(code);
    if (const auto* number = std::get_if<double>(&value)) {
        if (std::isnan(*number))
            return;
        total.has_fraction = true;
        total.sum.add_repeated(*number, times);
    } else {
        total.sum.add_repeated(std::get<int64_t>(value), times);
    }
}

// Entries come in value order: each run of one value is added once, with
// the count of its selected entries.
class RunAdder {
  public:
    explicit RunAdder(OrderedTotal& total) : total_(total) {}

    // Adds `selected` more entries of `code`, which is at or above the
    // codes taken before.
    void take(Key128 code, uint64_t selected) {
        if (code != code_) {
            flush();
            code_ = code;
        }
        times_ += selected;
    }
    void flush() {
        if (times_ != 0)
            add_value(total_, code_, times_);
        times_ = 0;
    }

  private:
    OrderedTotal& total_;
    Key128 code_ = 0;
    uint64_t times_ = 0;
};

// A leaf of 16-byte entries: each entry's code is compared with the run's.
// `selected(id)` is 0 or 1, added without a branch, since whether an id in
// value order is selected is as good as random.
template <typename Selected>
void sum_wide_leaf(const LeafNode& leaf, Selected& selected, RunAdder& runs) {
    for (uint32_t k = 0; k < leaf.len; ++k) {
        CompositeKey128 entry = leaf.entry(k);
        runs.take(entry.value_code(), selected(entry.id()));
    }
}

// A compact leaf with a table of its codes (each a step from the leaf's
// base): the entries' positions in the table ascend, so a running count of
// the selected entries, written at each entry's position, ends up at each
// position as the count up to its last entry. No branch per entry, and no
// store waits on a load. Each code of the table is then taken once with its
// count, as one entry at a time would have taken it; a code whose entries
// were all removed is skipped.
template <typename Selected>
void sum_table_leaf(const LeafNode& leaf, Selected& selected, RunAdder& runs) {
    constexpr uint32_t kAbsent = UINT32_MAX;
    std::span<const uint64_t> codes = leaf.code_table();
    std::array<uint32_t, kLeafMax> upto;
    std::fill_n(upto.begin(), codes.size(), kAbsent);
    uint32_t count = 0;
    leaf.for_each_packed([&](uint64_t step, uint32_t id) {
        count += selected(id);
        upto[step] = count;
    });
    uint32_t before = 0;
    for (size_t step = 0; step < codes.size(); ++step) {
        if (upto[step] == kAbsent)
            continue;
        runs.take(leaf.code_at_step(codes[step]), upto[step] - before);
        before = upto[step];
    }
}

// A compact leaf of steps from its base: runs are told apart by the
// 32-bit step, and the code is made once per run.
template <typename Selected>
void sum_step_leaf(const LeafNode& leaf, Selected& selected, RunAdder& runs) {
    bool in_run = false;
    uint64_t run_step = 0;
    uint32_t count = 0;
    leaf.for_each_packed([&](uint64_t step, uint32_t id) {
        if (in_run && step != run_step) {
            runs.take(leaf.code_at_step(run_step), count);
            count = 0;
        }
        in_run = true;
        run_step = step;
        count += selected(id);
    });
    if (in_run)
        runs.take(leaf.code_at_step(run_step), count);
}

template <typename Selected>
void sum_leaf(const LeafNode& leaf, Selected& selected, RunAdder& runs) {
    // A table longer than `kLeafMax` is never made: such a leaf is read
    // entry by entry.
    if (!leaf.compact || leaf.table_size > kLeafMax)
        sum_wide_leaf(leaf, selected, runs);
    else if (leaf.table_size == 0)
        sum_step_leaf(leaf, selected, runs);
    else
        sum_table_leaf(leaf, selected, runs);
}

// The leaves below `node`, in key order.
void gather_leaves(const BitMapBTreeNode& node, std::vector<const LeafNode*>& out) {
    visit_node(
        node,
        [&](const InternalNode& internal) {
            for (const BitMapBTreeNode& child : internal.children)
                gather_leaves(child, out);
        },
        [&](const LeafPtr& leaf) { out.push_back(leaf.get()); });
}

// Adds the selected entries of `leaves`. Leaves lie apart on the heap: while
// one is read, the next one is requested whole (its header, requested a
// leaf before, tells its size), so that its misses overlap this one's work.
// `selected(id)` is 0 or 1.
template <typename Selected>
void sum_leaves(std::span<const LeafNode* const> leaves, Selected&& selected, OrderedTotal& total) {
    RunAdder runs(total);
    for (size_t i = 0; i < leaves.size(); ++i) {
        if (i + 2 < leaves.size())
            prefetch_line(leaves[i + 2]);
        if (i + 1 < leaves.size())
            prefetch_bytes(leaves[i + 1], leaves[i + 1]->bytes());
        sum_leaf(*leaves[i], selected, runs);
    }
    runs.flush();
}

// One entry per id: the entries' ids come in value order, scattered, so the
// selection is tested as an array of bits. A large tree is read in parts on
// a few threads (its walk is bound by memory), and the parts' totals are
// joined in key order, so the result does not depend on the threads.
void sum_tree(const BitMapBTree& tree, const Bitmap& selection, UniverseCover cover,
              OrderedTotal& total) {
    std::vector<const LeafNode*> leaves;
    gather_leaves(tree.root(), leaves);
    size_t parts = tree.size() < kParallelEntries ? 1 : kParts;
    std::vector<OrderedTotal> totals(parts);
    std::optional<Bitmap::DenseProbe> probe;
    if (cover == UniverseCover::Part)
        probe.emplace(selection);
    run_tasks(parts, workers_for(parts, kMaxWorkers), [&](size_t part) {
        size_t begin = leaves.size() * part / parts, end = leaves.size() * (part + 1) / parts;
        std::span<const LeafNode* const> mine(leaves.data() + begin, end - begin);
        if (probe)
            sum_leaves(
                mine, [&](uint32_t id) { return probe->contains(id) ? 1 : 0; }, totals[part]);
        else
            sum_leaves(mine, [](uint32_t) { return 1; }, totals[part]);
    });
    for (const OrderedTotal& part : totals) {
        total.sum.merge(part.sum);
        total.has_fraction |= part.has_fraction;
    }
}

// One set per value: each counted against the selection.
template <typename Sets>
void sum_sets(const Sets& sets, const Bitmap& selection, UniverseCover cover, OrderedTotal& total) {
    sets.for_each_set([&](Key128 code, const Bitmap& ids) {
        add_value(total, code,
                  cover == UniverseCover::All ? ids.cardinality() : ids.and_cardinality(selection));
    });
}

bool is_fraction(Key128 code) {
    NumericValue value = decode_value96(code);
    return std::holds_alternative<double>(value) && !is_nan(value);
}

}  // namespace

bool samples_fraction(const OrderedNumbers& numbers) {
    return numbers.visit_form([](const auto& form) {
        bool found = false;
        if constexpr (std::is_same_v<std::decay_t<decltype(form)>, BitMapBTree>) {
            // Level by level from the root, until enough bounds are seen.
            std::vector<const BitMapBTreeNode*> level{&form.root()};
            size_t seen = 0;
            while (!found && !level.empty() && seen < kSampledBounds) {
                std::vector<const BitMapBTreeNode*> below;
                for (const BitMapBTreeNode* node : level) {
                    visit_node(
                        *node,
                        [&](const InternalNode& internal) {
                            for (size_t i = 0; i < internal.len(); ++i) {
                                found |= is_fraction(internal.keys[i].value_code());
                                below.push_back(&internal.children[i]);
                            }
                            seen += internal.len();
                        },
                        [&](const LeafPtr& leaf) {
                            for (uint32_t k = 0; k < leaf->len; ++k)
                                found |= is_fraction(leaf->entry(k).value_code());
                        });
                }
                level = std::move(below);
            }
        } else {
            form.for_each_set([&](Key128 code, const Bitmap&) { found |= is_fraction(code); });
        }
        return found;
    });
}

OrderedTotal sum_selected(const OrderedNumbers& numbers, const Bitmap& selection,
                          UniverseCover cover) {
    OrderedTotal total;
    numbers.visit_form([&](const auto& form) {
        if constexpr (std::is_same_v<std::decay_t<decltype(form)>, BitMapBTree>)
            sum_tree(form, selection, cover, total);
        else
            sum_sets(form, selection, cover, total);
    });
    return total;
}

}  // namespace vorlane
