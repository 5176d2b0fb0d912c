#include "engine/evaluator.hpp"

#include <absl/container/inlined_vector.h>

#include <algorithm>
#include <optional>
#include <span>

#include "engine/panic.hpp"
#include "engine/value_order.hpp"

namespace vorlane {

namespace {

// Ids that evaluation reads without changing: a bitmap of its own, or the
// bitmap form of a value set borrowed from the maps (they stay read-locked
// for the whole evaluation), so that a value's ids are never copied only to
// be combined with others.
class IdsView {
  public:
    static IdsView owned(Bitmap ids) {
        IdsView view;
        view.owned_.emplace(std::move(ids));
        return view;
    }
    static IdsView borrowed(const Bitmap& ids) {
        IdsView view;
        view.borrowed_ = &ids;
        return view;
    }
    const Bitmap& get() const { return owned_ ? *owned_ : *borrowed_; }
    // The ids in a bitmap of the caller's own.
    Bitmap take() && { return owned_ ? std::move(*owned_) : borrowed_->copy(); }

  private:
    IdsView() = default;
    const Bitmap* borrowed_ = nullptr;
    std::optional<Bitmap> owned_;
};

// The ids listed under `value`, borrowed when the set has its bitmap form.
IdsView value_view(const QueryMap* map, const ValueKey& value) {
    const HybridSet* ids = map ? map->find(value) : nullptr;
    if (ids == nullptr)
        return IdsView::owned(Bitmap());
    if (const Bitmap* large = ids->bitmap_form())
        return IdsView::borrowed(*large);
    return IdsView::owned(ids->as_bitmap());
}

// A range over the tree of `map`, with the bounds of a comparison as Python
// reads it (see `comparison_bounds`).
Bitmap range_ids(const QueryMap* map, std::optional<NumericValue> lower, BoundKind lower_kind,
                 std::optional<NumericValue> upper, BoundKind upper_kind, const Bitmap& universe,
                 UniverseCover cover) {
    if (map == nullptr)
        return Bitmap();
    std::optional<ComparisonBounds> bounds =
        comparison_bounds(lower, lower_kind, upper, upper_kind);
    if (!bounds)
        return Bitmap();
    return map->tree().query_range(bounds->lower, bounds->upper, universe, cover);
}

// Whether evaluating `query` can end in an internal error: a range whose
// bound is not a number. Such a part must be reached exactly when the parts
// before it, in the order written, left some ids.
bool may_fail(const QueryExpr& query);

bool any_may_fail(const std::vector<QueryExpr>& parts) {
    return std::any_of(parts.begin(), parts.end(), may_fail);
}

bool may_fail(const QueryExpr& query) {
    if (const auto* e = std::get_if<expr::Bt>(&query.node))
        return !e->lower.numeric() || !e->upper.numeric();
    if (const auto* e = std::get_if<expr::Not>(&query.node))
        return may_fail(*e->expr);
    if (const auto* e = std::get_if<expr::And>(&query.node))
        return any_may_fail(e->exprs);
    if (const auto* e = std::get_if<expr::Or>(&query.node))
        return any_may_fail(e->exprs);
    return false;
}

// How costly a part of an And is to apply to the ids kept so far, cheapest
// first. A value's set is intersected as it is stored; a complement removes
// a set from what is kept, word by word where both are dense; a union
// visits every id of its sets, fewer when what is kept is narrowed first;
// and a range gathers the tree's cached bitmaps over the whole range
// whatever is kept: it goes last, where its final intersection is cheapest.
enum class PartCost : uint8_t { Lookup, Complement, Union, Compound, Range };

struct Evaluator {
    const AttributeMaps& maps;
    const Bitmap& universe;
    UniverseCover cover;

    const QueryMap* map(AttrName name) const { return find_query_map(maps, name); }

    // `evaluate` without copying a value's ids.
    IdsView view(const QueryExpr& query) const {
        if (const auto* e = std::get_if<expr::Eq>(&query.node))
            return value_view(map(e->attr), e->value);
        return IdsView::owned(std::visit(*this, query.node));
    }

    Bitmap operator()(const expr::Eq& e) const { return value_view(map(e.attr), e.value).take(); }
    Bitmap operator()(const expr::Ne& e) const {
        return Bitmap::andnot(universe, value_view(map(e.attr), e.value).get());
    }
    // One open-ended comparison: `value` is the lower bound (an upper one
    // when `is_upper`). Strings and other kinds never compare.
    Bitmap compare(AttrName attr, const ValueKey& value, BoundKind kind, bool is_upper) const {
        auto v = value.numeric();
        if (!v)
            return Bitmap();
        if (is_upper)
            return range_ids(map(attr), std::nullopt, BoundKind::Unbounded, v, kind, universe,
                             cover);
        return range_ids(map(attr), v, kind, std::nullopt, BoundKind::Unbounded, universe, cover);
    }
    Bitmap operator()(const expr::Gt& e) const {
        return compare(e.attr, e.value, BoundKind::Excluded, false);
    }
    Bitmap operator()(const expr::Ge& e) const {
        return compare(e.attr, e.value, BoundKind::Included, false);
    }
    Bitmap operator()(const expr::Lt& e) const {
        return compare(e.attr, e.value, BoundKind::Excluded, true);
    }
    Bitmap operator()(const expr::Le& e) const {
        return compare(e.attr, e.value, BoundKind::Included, true);
    }
    Bitmap operator()(const expr::Bt& e) const {
        const QueryMap* m = map(e.attr);
        if (m == nullptr)
            return Bitmap();
        auto lower = e.lower.numeric();
        if (!lower)
            panic("not yet implemented");
        auto upper = e.upper.numeric();
        if (!upper)
            panic("not yet implemented");
        return range_ids(m, lower, BoundKind::Included, upper, BoundKind::Included, universe,
                         cover);
    }
    // The universe's ids under any of the values.
    Bitmap operator()(const expr::In& e) const {
        const QueryMap* m = map(e.attr);
        if (m == nullptr)
            return Bitmap();
        absl::InlinedVector<const Bitmap*, kInlineInValues> large;
        absl::InlinedVector<const HybridSet*, kInlineInValues> small;
        uint64_t listed = 0;
        for (const ValueKey& value : e.values) {
            const HybridSet* ids = m->find(value);
            if (ids == nullptr)
                continue;
            listed += ids->len();
            if (const Bitmap* bitmap = ids->bitmap_form()) {
                large.push_back(bitmap);
            } else {
                small.push_back(ids);
            }
        }
        if (large.size() == 1 && small.empty())
            return within_universe(*large.front());
        // A value listed twice is only a repeated part of the union.
        if (sparse_within_universe(listed))
            return union_of_pieces(large, small);
        Bitmap result = Bitmap::or_many(large);
        for (const HybridSet* ids : small)
            ids->or_into(result);
        if (cover == UniverseCover::Part)
            result.and_inplace(universe);
        return result;
    }
    // The universe's ids among `ids`.
    Bitmap within_universe(const Bitmap& ids) const {
        return cover == UniverseCover::All ? ids.copy() : Bitmap::and_(ids, universe);
    }
    // Whether the universe keeps of `listed` ids so few that their union
    // stays in the library's sorted-array containers (at most
    // `Bitmap::kArrayContainerLimit` ids per 2^16). Then each value's ids are
    // intersected with the universe first and the small pieces joined:
    // joining whole sets would build dense containers only to empty them.
    // Otherwise, as with the whole index for universe, one union of the sets
    // is built and intersected once. Estimated from the universe's density
    // over the range of ids it spans.
    bool sparse_within_universe(uint64_t listed) const {
        uint64_t kept = universe.cardinality();
        if (kept == 0)
            return true;
        uint64_t span = static_cast<uint64_t>(universe.maximum()) - universe.minimum() + 1;
        uint64_t containers = (span + Bitmap::kContainerIds - 1) / Bitmap::kContainerIds;
        // listed * (kept / span) <= limit * containers, without dividing.
        return static_cast<unsigned __int128>(listed) * kept <=
               static_cast<unsigned __int128>(Bitmap::kArrayContainerLimit) * containers * span;
    }
    // The union of each set's ids within the universe. The pieces are
    // joined one by one: joining sorted arrays keeps them arrays, where the
    // library's many-way union would make them bitsets and back.
    Bitmap union_of_pieces(std::span<const Bitmap* const> large,
                           std::span<const HybridSet* const> small) const {
        Bitmap result;
        for (const Bitmap* ids : large)
            result.or_inplace(within_universe(*ids));
        for (const HybridSet* ids : small) {
            ids->for_each([&](uint32_t id) {
                if (cover == UniverseCover::All || universe.contains(id))
                    result.add(id);
            });
        }
        return result;
    }
    Bitmap operator()(const expr::Not& e) const {
        return Bitmap::andnot(universe, view(*e.expr).get());
    }
    Bitmap operator()(const expr::And& e) const;
    Bitmap operator()(const expr::Or& e) const {
        absl::InlinedVector<IdsView, kInlineParts> parts;
        for (const QueryExpr& part : e.exprs)
            parts.push_back(view(part));
        absl::InlinedVector<const Bitmap*, kInlineParts> bitmaps;
        for (const IdsView& part : parts)
            bitmaps.push_back(&part.get());
        return Bitmap::or_many(bitmaps);
    }

    static constexpr size_t kInlineInValues = 8;
    static constexpr size_t kInlineParts = 4;
};

// The running result of an And: the ids every part so far kept. Until the
// first part is applied it is the universe itself, which is never copied.
class Running {
  public:
    Running(const Bitmap& universe, UniverseCover cover) : universe_(universe), cover_(cover) {}

    const Bitmap& ids() const { return kept_ ? *kept_ : universe_; }
    // How `ids()` covers the maps' ids: once a part narrowed it, partly.
    UniverseCover cover() const { return kept_ ? UniverseCover::Part : cover_; }
    bool is_empty() const { return ids().is_empty(); }
    void keep(const Bitmap& ids) {
        if (kept_) {
            kept_->and_inplace(ids);
        } else {
            kept_.emplace(cover_ == UniverseCover::All ? ids.copy() : Bitmap::and_(universe_, ids));
        }
    }
    void drop(const Bitmap& ids) {
        if (kept_) {
            kept_->andnot_inplace(ids);
        } else {
            kept_.emplace(Bitmap::andnot(universe_, ids));
        }
    }
    // `ids` are already within the running result.
    void replace(Bitmap ids) { kept_.emplace(std::move(ids)); }
    Bitmap take() && { return kept_ ? std::move(*kept_) : universe_.copy(); }

  private:
    const Bitmap& universe_;
    UniverseCover cover_;
    std::optional<Bitmap> kept_;
};

PartCost cost_of(const QueryExpr& part) {
    return std::visit(
        [](const auto& e) {
            using Node = std::decay_t<decltype(e)>;
            if constexpr (std::is_same_v<Node, expr::Eq>) {
                return PartCost::Lookup;
            } else if constexpr (std::is_same_v<Node, expr::In>) {
                return PartCost::Union;
            } else if constexpr (std::is_same_v<Node, expr::Ne>) {
                return PartCost::Complement;
            } else if constexpr (std::is_same_v<Node, expr::Not>) {
                return std::max(PartCost::Complement, cost_of(*e.expr));
            } else if constexpr (std::is_same_v<Node, expr::And> ||
                                 std::is_same_v<Node, expr::Or>) {
                return PartCost::Compound;
            } else {
                return PartCost::Range;
            }
        },
        part.node);
}

// Ids a lookup part can keep at most, to apply the smallest first.
uint64_t lookup_size(const AttributeMaps& maps, const QueryExpr& part) {
    auto size = [&](AttrName attr, const ValueKey& value) -> uint64_t {
        const QueryMap* m = find_query_map(maps, attr);
        const HybridSet* ids = m ? m->find(value) : nullptr;
        return ids ? ids->len() : 0;
    };
    if (const auto* e = std::get_if<expr::Eq>(&part.node))
        return size(e->attr, e->value);
    if (const auto* e = std::get_if<expr::In>(&part.node)) {
        uint64_t total = 0;
        for (const ValueKey& value : e->values)
            total += size(e->attr, value);
        return total;
    }
    return 0;
}

// The parts of an And in the order to apply them. Every part selects from
// the ids kept so far and an intersection does not depend on its order, so
// the cheapest go first, unless a part may fail: then the written order
// decides whether it is reached, and it stays.
absl::InlinedVector<const QueryExpr*, Evaluator::kInlineParts> application_order(
    const AttributeMaps& maps, const expr::And& e) {
    absl::InlinedVector<const QueryExpr*, Evaluator::kInlineParts> order;
    for (const QueryExpr& part : e.exprs)
        order.push_back(&part);
    if (any_may_fail(e.exprs))
        return order;
    struct Ranked {
        PartCost cost;
        uint64_t size;
        const QueryExpr* part;
    };
    absl::InlinedVector<Ranked, Evaluator::kInlineParts> ranked;
    for (const QueryExpr* part : order)
        ranked.push_back({cost_of(*part), lookup_size(maps, *part), part});
    std::stable_sort(ranked.begin(), ranked.end(), [](const Ranked& a, const Ranked& b) {
        return a.cost != b.cost ? a.cost < b.cost : a.size < b.size;
    });
    for (size_t i = 0; i < ranked.size(); ++i)
        order[i] = ranked[i].part;
    return order;
}

// Applies one part of an And to `running`: running ∩ evaluate(part, running),
// without building a complement or a copy the intersection would discard.
// Every part sees the ids kept so far as its universe.
void narrow(const AttributeMaps& maps, const QueryExpr& part, Running& running) {
    Evaluator within{maps, running.ids(), running.cover()};
    if (std::holds_alternative<expr::Eq>(part.node)) {
        running.keep(within.view(part).get());
    } else if (const auto* e = std::get_if<expr::Ne>(&part.node)) {
        running.drop(value_view(within.map(e->attr), e->value).get());
    } else if (const auto* e = std::get_if<expr::Not>(&part.node)) {
        running.drop(within.view(*e->expr).get());
    } else if (const auto* e = std::get_if<expr::And>(&part.node)) {
        // A nested And is its own parts applied in turn.
        for (const QueryExpr* inner : application_order(maps, *e)) {
            narrow(maps, *inner, running);
            if (running.is_empty())
                return;
        }
    } else if (std::holds_alternative<expr::Or>(part.node)) {
        running.keep(std::visit(within, part.node));
    } else {
        // In and the ranges select within their universe already.
        running.replace(std::visit(within, part.node));
    }
}

Bitmap Evaluator::operator()(const expr::And& e) const {
    Running running(universe, cover);
    for (const QueryExpr* part : application_order(maps, e)) {
        narrow(maps, *part, running);
        if (running.is_empty())
            break;
    }
    return std::move(running).take();
}

// The bounds of a lone ordered comparison over a numeric value: lower and
// upper, each with its kind; nothing for any other query, or a bound that
// is not a number (which `evaluate_query` answers: nothing, or its error).
struct ComparisonQuery {
    AttrName attr;
    std::optional<NumericValue> lower{}, upper{};
    BoundKind lower_kind = BoundKind::Unbounded, upper_kind = BoundKind::Unbounded;
};

std::optional<ComparisonQuery> comparison_of(const QueryExpr& query) {
    auto open = [](AttrName attr, const ValueKey& value, BoundKind kind,
                   bool is_upper) -> std::optional<ComparisonQuery> {
        std::optional<NumericValue> v = value.numeric();
        if (!v)
            return std::nullopt;
        ComparisonQuery q{attr};
        (is_upper ? q.upper : q.lower) = v;
        (is_upper ? q.upper_kind : q.lower_kind) = kind;
        return q;
    };
    if (const auto* e = std::get_if<expr::Gt>(&query.node))
        return open(e->attr, e->value, BoundKind::Excluded, false);
    if (const auto* e = std::get_if<expr::Ge>(&query.node))
        return open(e->attr, e->value, BoundKind::Included, false);
    if (const auto* e = std::get_if<expr::Lt>(&query.node))
        return open(e->attr, e->value, BoundKind::Excluded, true);
    if (const auto* e = std::get_if<expr::Le>(&query.node))
        return open(e->attr, e->value, BoundKind::Included, true);
    if (const auto* e = std::get_if<expr::Bt>(&query.node)) {
        std::optional<NumericValue> lower = e->lower.numeric(), upper = e->upper.numeric();
        if (!lower || !upper)
            return std::nullopt;
        return ComparisonQuery{e->attr, lower, upper, BoundKind::Included, BoundKind::Included};
    }
    return std::nullopt;
}

}  // namespace

IdsOfRange evaluate_query_listed(const AttributeMaps& maps, const Bitmap& all,
                                 const QueryExpr& query) {
    std::optional<ComparisonQuery> q = comparison_of(query);
    const QueryMap* map = q ? find_query_map(maps, q->attr) : nullptr;
    if (!q || map == nullptr)
        return evaluate_query(maps, all, query, UniverseCover::All);
    std::optional<ComparisonBounds> bounds =
        comparison_bounds(q->lower, q->lower_kind, q->upper, q->upper_kind);
    if (!bounds)
        return std::vector<uint32_t>();
    return map->tree().list_range(bounds->lower, bounds->upper, all);
}

Bitmap evaluate_query(const AttributeMaps& maps, const Bitmap& universe, const QueryExpr& query,
                      UniverseCover cover) {
    return std::visit(Evaluator{maps, universe, cover}, query.node);
}

}  // namespace vorlane
