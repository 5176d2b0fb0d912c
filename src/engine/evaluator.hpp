#pragma once
// Evaluating a query expression over an index's attribute maps: equality and
// membership from the value sets, ordered comparisons and ranges from the
// ordered trees, and boolean combinations as set algebra.

#include <cstdint>
#include <optional>
#include <vector>

#include "engine/attribute_maps.hpp"
#include "engine/bitmap.hpp"
#include "engine/query_expr.hpp"
#include "engine/ranged_b_tree.hpp"

namespace vorlane {

// Ids satisfying `query`, as a new bitmap. Complements (`Ne`, `Not`) are
// taken against `universe`, and every part but `Eq` selects within it; each
// part of an `And` sees what the parts before it kept as its universe.
// Absent attributes and values select nothing; an ordered comparison with a
// value that is not a number selects nothing, while `Bt` with such a bound
// on an attribute the maps hold is the internal error "not yet implemented".
// A NaN never satisfies a comparison, as bound or as value. Reads only: the
// caller holds the maps' read lock. `UniverseCover::All` vouches that the
// universe holds every id of the maps, which spares intersecting with it.
Bitmap evaluate_query(const AttributeMaps& maps, const Bitmap& universe, const QueryExpr& query,
                      UniverseCover cover = UniverseCover::Part);

// The ids `evaluate_query` gives for `query` over `all`, a universe that
// holds every id of the maps (`UniverseCover::All`). A lone ordered
// comparison over the numbers of a tree that selects few enough ids gives
// them as their ascending list, with no bitmap built (see
// `BitMapBTree::list_range`); anything else gives a bitmap.
IdsOfRange evaluate_query_listed(const AttributeMaps& maps, const Bitmap& all,
                                 const QueryExpr& query);

}  // namespace vorlane
