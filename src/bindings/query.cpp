#include "bindings/query.hpp"

#include <absl/container/flat_hash_set.h>
#include <absl/container/inlined_vector.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <string_view>

#include "engine/panic.hpp"
#include "py/args.hpp"
#include "py/errors.hpp"
#include "py/name_cache.hpp"
#include "py/ref.hpp"
#include "py/type.hpp"

namespace vorlane {

// ---------------------------------------------------------------------------
// Keyword equality.

namespace {

// Up to this many values of one keyword, a duplicate is found by scanning
// them; beyond it a hash set of the keys seen takes over.
constexpr size_t kLinearDistinct = 16;

// Keeps the keys of one keyword distinct, in the order first seen.
class DistinctKeys {
  public:
    explicit DistinctKeys(absl::InlinedVector<ValueKey, kInlineQueryValues>& keys) : keys_(keys) {}

    void add(const ValueKey& key) {
        if (seen_) {
            if (seen_->insert(key).second)
                keys_.push_back(key);
            return;
        }
        if (std::find(keys_.begin(), keys_.end(), key) != keys_.end())
            return;
        keys_.push_back(key);
        if (keys_.size() == kLinearDistinct)
            seen_.emplace(keys_.begin(), keys_.end());
    }

  private:
    absl::InlinedVector<ValueKey, kInlineQueryValues>& keys_;
    std::optional<absl::flat_hash_set<ValueKey, ValueKeyHash>> seen_;
};

// Whether PyObject_GetIter would refuse `value` as not iterable (no
// iterator slot and no sequence protocol). Asked first, so that a plain
// value such as an int costs no exception raised only to be cleared.
bool plainly_not_iterable(PyObject* value) {
    return Py_TYPE(value)->tp_iter == nullptr && !PySequence_Check(value);
}

// Adds the keys of `value` (one value, or the items of an iterable) to `keys`.
void add_keyword_values(PyObject* value, absl::InlinedVector<ValueKey, kInlineQueryValues>& keys) {
    DistinctKeys distinct(keys);
    // A string is never split into its characters.
    if (PyUnicode_Check(value) || plainly_not_iterable(value)) {
        distinct.add(PyValue::from_borrowed(value).key());
        return;
    }
    py::Ref iterator = py::Ref::steal(PyObject_GetIter(value));
    if (!iterator) {
        PyErr_Clear();
        distinct.add(PyValue::from_borrowed(value).key());
        return;
    }
    while (PyObject* item = PyIter_Next(iterator.get()))
        distinct.add(PyValue::new_(item).key());
    if (PyErr_Occurred()) {
        PyErr_Clear();
        panic(kUnwrapErr);
    }
}

// The attribute name of a keyword, through the shared name cache. Its text
// must be encodable: a name that is not raises its UnicodeEncodeError.
AttrName keyword_name(PyObject* key) {
    if (std::optional<AttrName> name = py::encodable_name(key))
        return *name;
    throw py::ErrorAlreadySet{};
}

}  // namespace

HashQuery keywords_to_hash_query(std::span<const py::Keyword> keywords) {
    HashQuery query;
    for (const py::Keyword& keyword : keywords) {
        HashQueryEntry entry{keyword_name(keyword.name), {}};
        add_keyword_values(keyword.value, entry.values);
        query.push_back(std::move(entry));
    }
    return query;
}

namespace {

const QueryMap* find_map(const AttributeMaps& maps, AttrName name) {
    auto found = maps.find(name);
    return found == maps.end() ? nullptr : found->second.get();
}

// The bitmap form of a set, or null for the inline form.
const Bitmap* large_form(const HybridSet& set) {
    return std::get_if<Bitmap>(&set.form());
}

// Up to this many ids, testing each against the value sets is cheaper than
// building the union of the sets and intersecting.
constexpr uint64_t kProbeLimit = HashMatch::kInlineIds;

// One keyword of a query, planned: the value sets it names.
struct PlannedEntry {
    absl::InlinedVector<const HybridSet*, kInlineQueryValues> sets;
    uint64_t estimate = 0;  // ids in its sets, counting shared ones twice

    bool holds(uint32_t id) const {
        return std::any_of(sets.begin(), sets.end(),
                           [&](const HybridSet* ids) { return ids->contains(id); });
    }
};

PlannedEntry plan_entry(const AttributeMaps& maps, const HashQueryEntry& entry) {
    PlannedEntry planned;
    const QueryMap* map = find_map(maps, entry.name);
    if (map == nullptr)
        return planned;
    for (const ValueKey& value : entry.values) {
        if (const HybridSet* ids = map->find(value)) {
            planned.sets.push_back(ids);
            planned.estimate += ids->len();
        }
    }
    return planned;
}

// The distinct ids of `entry`'s sets, ascending.
HashMatch::FewIds ids_of(const PlannedEntry& entry) {
    HashMatch::FewIds ids;
    for (const HybridSet* set : entry.sets)
        set->for_each([&](uint32_t id) { ids.push_back(id); });
    // One bitmap form lists its ids ascending already; an inline form lists
    // them in insertion order, and several sets may share ids.
    if (entry.sets.size() == 1 && large_form(*entry.sets.front()))
        return ids;
    std::sort(ids.begin(), ids.end());
    ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
    return ids;
}

// Keeps the ids of `ids` that `entry` holds.
void retain_held(HashMatch::FewIds& ids, const PlannedEntry& entry) {
    ids.erase(std::remove_if(ids.begin(), ids.end(), [&](uint32_t id) { return !entry.holds(id); }),
              ids.end());
}

// The union of `entry`'s sets, in a new bitmap.
Bitmap union_of(const PlannedEntry& entry) {
    absl::InlinedVector<const Bitmap*, kInlineQueryValues> large;
    for (const HybridSet* set : entry.sets) {
        if (const Bitmap* bitmap = large_form(*set))
            large.push_back(bitmap);
    }
    Bitmap result = Bitmap::or_many(large);
    for (const HybridSet* set : entry.sets) {
        if (!large_form(*set))
            set->or_into(result);
    }
    return result;
}

// Probes the small running result `ids` against the entries from `rest` on.
HashMatch probe_rest(HashMatch::FewIds ids, std::span<const PlannedEntry* const> rest) {
    for (const PlannedEntry* entry : rest) {
        if (ids.empty())
            break;
        retain_held(ids, *entry);
    }
    return HashMatch::few(std::move(ids));
}

}  // namespace

uint64_t HashMatch::cardinality() const {
    if (const FewIds* few = std::get_if<FewIds>(&ids_))
        return few->size();
    return bitmap().cardinality();
}

const Bitmap& HashMatch::bitmap() const {
    if (const Bitmap* const* borrowed = std::get_if<const Bitmap*>(&ids_))
        return **borrowed;
    return std::get<Bitmap>(ids_);
}

Bitmap HashMatch::to_bitmap() && {
    if (FewIds* few = std::get_if<FewIds>(&ids_))
        return Bitmap::of(*few);
    if (Bitmap* owned = std::get_if<Bitmap>(&ids_))
        return std::move(*owned);
    return bitmap().copy();
}

HashMatch match_hashes(const AttributeMaps& maps, const HashQuery& query) {
    absl::InlinedVector<PlannedEntry, kInlineQueryEntries> entries;
    for (const HashQueryEntry& entry : query)
        entries.push_back(plan_entry(maps, entry));
    absl::InlinedVector<const PlannedEntry*, kInlineQueryEntries> plan;
    for (const PlannedEntry& entry : entries)
        plan.push_back(&entry);
    // Most selective first, so the running intersection empties early. A
    // query names a few attributes: an insertion sort (stable, like the
    // order of equal estimates needs) takes no buffer, as std::stable_sort does.
    for (size_t i = 1; i < plan.size(); ++i) {
        for (size_t j = i; j > 0 && plan[j]->estimate < plan[j - 1]->estimate; --j)
            std::swap(plan[j], plan[j - 1]);
    }
    if (plan.empty() || plan.front()->estimate == 0)
        return HashMatch::few({});
    std::span<const PlannedEntry* const> steps(plan.data(), plan.size());
    // A small first entry is narrowed by probing its ids against the other
    // entries' sets, instead of gathering any large attribute's union.
    if (steps.front()->estimate <= kProbeLimit)
        return probe_rest(ids_of(*steps.front()), steps.subspan(1));
    const PlannedEntry& first = *steps.front();
    if (steps.size() == 1 && first.sets.size() == 1 && large_form(*first.sets.front()))
        return HashMatch::borrowed(*large_form(*first.sets.front()));
    Bitmap running = union_of(first);
    for (size_t i = 1; i < steps.size(); ++i) {
        if (running.is_empty())
            return HashMatch::few({});
        if (running.cardinality() <= kProbeLimit) {
            HashMatch::FewIds ids;
            running.for_each([&](uint32_t id) { ids.push_back(id); });
            return probe_rest(std::move(ids), steps.subspan(i));
        }
        const PlannedEntry& step = *steps[i];
        if (step.sets.size() == 1 && large_form(*step.sets.front())) {
            running.and_inplace(*large_form(*step.sets.front()));
        } else {
            running.and_inplace(union_of(step));
        }
    }
    return HashMatch::owned(std::move(running));
}

Bitmap filter_index_by_hashes(const AttributeMaps& maps, const HashQuery& query) {
    return match_hashes(maps, query).to_bitmap();
}

// ---------------------------------------------------------------------------
// Expressions.

ExprBox::ExprBox(QueryExpr expr) : expr_(std::make_unique<QueryExpr>(std::move(expr))) {}
ExprBox::ExprBox(const ExprBox& other) : expr_(std::make_unique<QueryExpr>(*other.expr_)) {}
ExprBox& ExprBox::operator=(const ExprBox& other) {
    expr_ = std::make_unique<QueryExpr>(*other.expr_);
    return *this;
}
ExprBox::~ExprBox() = default;

namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();

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
IdsView value_view(const QueryMap* map, const PyValue& value) {
    const HybridSet* ids = map ? map->find(value.key()) : nullptr;
    if (ids == nullptr)
        return IdsView::owned(Bitmap());
    if (const Bitmap* large = large_form(*ids))
        return IdsView::borrowed(*large);
    return IdsView::owned(ids->as_bitmap());
}

bool is_nan(const NumericValue& value) {
    return std::holds_alternative<double>(value) && std::isnan(std::get<double>(value));
}

// A range over the tree of `map`. In Python every ordered comparison with
// NaN is false: a NaN bound selects nothing, and an open end is closed at
// the infinity of its side, which leaves out the NaNs that the key order
// places beyond the infinities.
Bitmap range_ids(const QueryMap* map, std::optional<NumericValue> lower, BoundKind lower_kind,
                 std::optional<NumericValue> upper, BoundKind upper_kind, const Bitmap& universe) {
    if (map == nullptr)
        return Bitmap();
    if ((lower && is_nan(*lower)) || (upper && is_nan(*upper)))
        return Bitmap();
    Bound low = lower ? Bound{lower_kind, *lower} : Bound{BoundKind::Included, -kInfinity};
    Bound high = upper ? Bound{upper_kind, *upper} : Bound{BoundKind::Included, kInfinity};
    return map->tree().query_range(low, high, universe);
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
        return !e->lower.key().numeric() || !e->upper.key().numeric();
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

    const QueryMap* map(AttrName name) const { return find_map(maps, name); }

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
    Bitmap compare(AttrName attr, const PyValue& value, BoundKind kind, bool is_upper) const {
        auto v = value.key().numeric();
        if (!v)
            return Bitmap();
        if (is_upper)
            return range_ids(map(attr), std::nullopt, BoundKind::Unbounded, v, kind, universe);
        return range_ids(map(attr), v, kind, std::nullopt, BoundKind::Unbounded, universe);
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
        auto lower = e.lower.key().numeric();
        if (!lower)
            panic("not yet implemented");
        auto upper = e.upper.key().numeric();
        if (!upper)
            panic("not yet implemented");
        return range_ids(m, lower, BoundKind::Included, upper, BoundKind::Included, universe);
    }
    // The universe's ids under any of the values.
    Bitmap operator()(const expr::In& e) const {
        const QueryMap* m = map(e.attr);
        if (m == nullptr)
            return Bitmap();
        absl::InlinedVector<const Bitmap*, kInlineInValues> large;
        absl::InlinedVector<const HybridSet*, kInlineInValues> small;
        uint64_t listed = 0;
        for (const PyValue& value : e.values) {
            const HybridSet* ids = m->find(value.key());
            if (ids == nullptr)
                continue;
            listed += ids->len();
            if (const Bitmap* bitmap = large_form(*ids)) {
                large.push_back(bitmap);
            } else {
                small.push_back(ids);
            }
        }
        if (large.size() == 1 && small.empty())
            return Bitmap::and_(*large.front(), universe);
        // A value listed twice is only a repeated part of the union.
        if (sparse_within_universe(listed))
            return union_of_pieces(large, small);
        Bitmap result = Bitmap::or_many(large);
        for (const HybridSet* ids : small)
            ids->or_into(result);
        result.and_inplace(universe);
        return result;
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
            result.or_inplace(Bitmap::and_(*ids, universe));
        for (const HybridSet* ids : small) {
            ids->for_each([&](uint32_t id) {
                if (universe.contains(id))
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
    explicit Running(const Bitmap& universe) : universe_(universe) {}

    const Bitmap& ids() const { return kept_ ? *kept_ : universe_; }
    bool is_empty() const { return ids().is_empty(); }
    void keep(const Bitmap& ids) {
        if (kept_) {
            kept_->and_inplace(ids);
        } else {
            kept_.emplace(Bitmap::and_(universe_, ids));
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
    auto size = [&](AttrName attr, const PyValue& value) -> uint64_t {
        const QueryMap* m = find_map(maps, attr);
        const HybridSet* ids = m ? m->find(value.key()) : nullptr;
        return ids ? ids->len() : 0;
    };
    if (const auto* e = std::get_if<expr::Eq>(&part.node))
        return size(e->attr, e->value);
    if (const auto* e = std::get_if<expr::In>(&part.node)) {
        uint64_t total = 0;
        for (const PyValue& value : e->values)
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
    Evaluator within{maps, running.ids()};
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
    Running running(universe);
    for (const QueryExpr* part : application_order(maps, e)) {
        narrow(maps, *part, running);
        if (running.is_empty())
            break;
    }
    return std::move(running).take();
}

Bitmap evaluate(const AttributeMaps& maps, const Bitmap& universe, const QueryExpr& query) {
    return std::visit(Evaluator{maps, universe}, query.node);
}

}  // namespace

Bitmap evaluate_query(const AttributeMaps& maps, const Bitmap& universe, const QueryExpr& query) {
    return evaluate(maps, universe, query);
}

// ---------------------------------------------------------------------------
// Debug text.

namespace {

std::string quoted_name(AttrName name) {
    return debug_quoted(name.view());
}

struct DebugPrinter {
    std::string operator()(const expr::Eq& e) const { return binary("Eq", e.attr, e.value); }
    std::string operator()(const expr::Ne& e) const { return binary("Ne", e.attr, e.value); }
    std::string operator()(const expr::Gt& e) const { return binary("Gt", e.attr, e.value); }
    std::string operator()(const expr::Ge& e) const { return binary("Ge", e.attr, e.value); }
    std::string operator()(const expr::Lt& e) const { return binary("Lt", e.attr, e.value); }
    std::string operator()(const expr::Le& e) const { return binary("Le", e.attr, e.value); }
    std::string operator()(const expr::Bt& e) const {
        return "Bt(" + quoted_name(e.attr) + ", " + e.lower.debug() + ", " + e.upper.debug() + ")";
    }
    std::string operator()(const expr::In& e) const {
        std::string out = "In(" + quoted_name(e.attr) + ", [";
        for (size_t i = 0; i < e.values.size(); ++i) {
            if (i > 0)
                out += ", ";
            out += e.values[i].debug();
        }
        return out + "])";
    }
    std::string operator()(const expr::Not& e) const { return "Not(" + debug_text(*e.expr) + ")"; }
    std::string operator()(const expr::And& e) const { return list("And", e.exprs); }
    std::string operator()(const expr::Or& e) const { return list("Or", e.exprs); }

    static std::string binary(const char* variant, AttrName attr, const PyValue& value) {
        return std::string(variant) + "(" + quoted_name(attr) + ", " + value.debug() + ")";
    }
    static std::string list(const char* variant, const std::vector<QueryExpr>& exprs) {
        std::string out = std::string(variant) + "([";
        for (size_t i = 0; i < exprs.size(); ++i) {
            if (i > 0)
                out += ", ";
            out += debug_text(exprs[i]);
        }
        return out + "])";
    }
};

}  // namespace

std::string debug_text(const QueryExpr& query) {
    return std::visit(DebugPrinter{}, query.node);
}

// ---------------------------------------------------------------------------
// The Python class `PyQueryExpr`.

namespace {

PyTypeObject* query_type_cache = nullptr;

PyObject* wrap(QueryExpr expr) {
    return py::make_instance(py_query::query_expr_type(), std::move(expr));
}

std::vector<PyValue> values_argument(PyObject* obj) {
    std::vector<py::Ref> items =
        py::convert_argument("values", [&] { return py::extract_sequence(obj); });
    std::vector<PyValue> values;
    values.reserve(items.size());
    for (py::Ref& item : items)
        values.push_back(PyValue::new_(item.release()));
    return values;
}

QueryExpr expr_argument(PyObject* obj, const char* name) {
    return py::convert_argument(name, [&] { return py_query::copy_expr(obj); });
}

using Builder = QueryExpr (*)(const py::Arguments&);

template <typename Node>
QueryExpr build_compare(const py::Arguments& args) {
    AttrName attr = attr_argument(args.values[0], "attr");
    return QueryExpr{Node{attr, PyValue::from_borrowed(args.values[1])}};
}

QueryExpr build_bt(const py::Arguments& args) {
    AttrName attr = attr_argument(args.values[0], "attr");
    PyValue lower = PyValue::from_borrowed(args.values[1]);
    PyValue upper = PyValue::from_borrowed(args.values[2]);
    return QueryExpr{expr::Bt{attr, std::move(lower), std::move(upper)}};
}

QueryExpr build_in(const py::Arguments& args) {
    AttrName attr = attr_argument(args.values[0], "attr");
    return QueryExpr{expr::In{attr, values_argument(args.values[1])}};
}

std::vector<QueryExpr> exprs_argument(const py::Arguments& args) {
    std::vector<QueryExpr> exprs;
    exprs.reserve(args.extra_positional.size());
    for (PyObject* obj : args.extra_positional)
        exprs.push_back(expr_argument(obj, "exprs"));
    return exprs;
}

// Copying, printing, evaluating and destroying an expression recurse once per
// level, so the nesting is bounded where the tree is built: a deeper tree
// would overflow the thread's stack (well before 10,000 levels in an
// instrumented build) instead of failing cleanly.
constexpr size_t kMaxExprDepth = 1000;

size_t depth_of(const QueryExpr& query);

size_t depth_of_list(const std::vector<QueryExpr>& exprs) {
    size_t deepest = 0;
    for (const QueryExpr& part : exprs)
        deepest = std::max(deepest, depth_of(part));
    return deepest;
}

// Children are bounded already, so this recursion is too.
size_t depth_of(const QueryExpr& query) {
    if (const auto* e = std::get_if<expr::Not>(&query.node))
        return 1 + depth_of(*e->expr);
    if (const auto* e = std::get_if<expr::And>(&query.node))
        return 1 + depth_of_list(e->exprs);
    if (const auto* e = std::get_if<expr::Or>(&query.node))
        return 1 + depth_of_list(e->exprs);
    return 1;
}

QueryExpr bounded(QueryExpr query) {
    if (depth_of(query) > kMaxExprDepth) {
        py::raise_error(PyExc_RecursionError, "query expression nested more than " +
                                                  std::to_string(kMaxExprDepth) + " levels deep");
    }
    return query;
}

QueryExpr build_and(const py::Arguments& args) {
    return bounded(QueryExpr{expr::And{exprs_argument(args)}});
}
QueryExpr build_or(const py::Arguments& args) {
    return bounded(QueryExpr{expr::Or{exprs_argument(args)}});
}
QueryExpr build_not(const py::Arguments& args) {
    return bounded(QueryExpr{expr::Not{ExprBox(expr_argument(args.values[0], "exprs"))}});
}

// One static method: parse by `sig`, build with `builder`, wrap.
template <const py::Signature* Sig, Builder build>
PyObject* constructor(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        py::Arguments parsed = py::parse_arguments(*Sig, args, nargs, kwnames);
        return wrap(build(parsed));
    });
}

constexpr py::Signature compare_sig(const char* name) {
    return {.name = name, .params = {"attr", "value"}, .nparams = 2, .required = 2};
}

constexpr py::Signature kEqSig = compare_sig("PyQueryExpr.eq");
constexpr py::Signature kNeSig = compare_sig("PyQueryExpr.ne");
constexpr py::Signature kGtSig = compare_sig("PyQueryExpr.gt");
constexpr py::Signature kGeSig = compare_sig("PyQueryExpr.ge");
constexpr py::Signature kLeSig = compare_sig("PyQueryExpr.le");
constexpr py::Signature kLtSig = compare_sig("PyQueryExpr.lt");
constexpr py::Signature kBtSig{
    .name = "PyQueryExpr.bt", .params = {"attr", "lower", "upper"}, .nparams = 3, .required = 3};
constexpr py::Signature kInSig{
    .name = "PyQueryExpr.in_", .params = {"attr", "values"}, .nparams = 2, .required = 2};
constexpr py::Signature kAndSig{.name = "PyQueryExpr.and_", .var_positional = true};
constexpr py::Signature kOrSig{.name = "PyQueryExpr.or_", .var_positional = true};
constexpr py::Signature kNotSig{
    .name = "PyQueryExpr.not_", .params = {"exprs"}, .nparams = 1, .required = 1};

#define VORLANE_STATIC(name, sig, builder, doc)                                               \
    {name,                                                                                    \
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(constructor<&sig, builder>)), \
     METH_FASTCALL | METH_KEYWORDS | METH_STATIC, doc}

PyMethodDef query_methods[] = {
    VORLANE_STATIC("eq", kEqSig, build_compare<expr::Eq>, "eq(attr, value)\n--\n\n"),
    VORLANE_STATIC("ne", kNeSig, build_compare<expr::Ne>, "ne(attr, value)\n--\n\n"),
    VORLANE_STATIC("gt", kGtSig, build_compare<expr::Gt>, "gt(attr, value)\n--\n\n"),
    VORLANE_STATIC("ge", kGeSig, build_compare<expr::Ge>, "ge(attr, value)\n--\n\n"),
    VORLANE_STATIC("le", kLeSig, build_compare<expr::Le>, "le(attr, value)\n--\n\n"),
    VORLANE_STATIC("bt", kBtSig, build_bt, "bt(attr, lower, upper)\n--\n\n"),
    VORLANE_STATIC("lt", kLtSig, build_compare<expr::Lt>, "lt(attr, value)\n--\n\n"),
    VORLANE_STATIC("in_", kInSig, build_in, "in_(attr, values)\n--\n\n"),
    VORLANE_STATIC("and_", kAndSig, build_and, "and_(*exprs)\n--\n\n"),
    VORLANE_STATIC("or_", kOrSig, build_or, "or_(*exprs)\n--\n\n"),
    VORLANE_STATIC("not_", kNotSig, build_not, "not_(exprs)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
};

#undef VORLANE_STATIC

PyObject* query_repr(PyObject* self) {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        py::SharedBorrow use(py::borrow_of<QueryExpr>(self));
        std::string text = "<QueryExpr: " + debug_text(py::record_of<QueryExpr>(self)) + ">";
        return PyUnicode_FromStringAndSize(text.data(), text.size());
    });
}

PyType_Slot query_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(py::no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(py::dealloc_instance<QueryExpr>)},
    {Py_tp_repr, reinterpret_cast<void*>(query_repr)},
    {Py_tp_methods, query_methods},
    {0, nullptr},
};

PyType_Spec query_spec = {
    .name = "builtins.PyQueryExpr",
    .basicsize = sizeof(py::Instance<QueryExpr>),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = query_slots,
};

}  // namespace

namespace py_query {

PyTypeObject* query_expr_type() {
    return py::lazy_type(query_type_cache, &query_spec);
}

QueryExpr copy_expr(PyObject* obj) {
    py::expect_instance(obj, query_expr_type(), "PyQueryExpr");
    py::SharedBorrow use(py::borrow_of<QueryExpr>(obj));
    return py::record_of<QueryExpr>(obj);
}

}  // namespace py_query

}  // namespace vorlane
