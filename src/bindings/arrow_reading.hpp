#pragma once
// Reading the values of the objects a scope selects into Arrow cells
// (py/arrow_cells.hpp), for `to_arrow`: on several threads for a large
// selection, in one pass on the calling thread otherwise.

#include <vector>

#include "bindings/selected_objects.hpp"
#include "py/arrow_cells.hpp"

namespace vorlane {

// The cells of `names` of the selected objects, in parts of consecutive ids
// (one when read on the calling thread alone) that agree on each column's
// kind; or, when a value is refused or parts read apart disagree, the one
// part of a single reading, whose refusal is the first (see
// `arrow_parts_agree`).
std::vector<ArrowCells> read_arrow_cells(const Scope& scope, const Names& names);

}  // namespace vorlane
