#pragma once
// Objects in the numeric order of one attribute, read off the attribute's
// ordered tree: the walk descends only into children whose cached bitmap
// meets the selection and stops after `limit` objects, so a top-k of a dense
// selection costs about k steps plus the descent, never a sort.

#include <Python.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "engine/bitmap.hpp"
#include "bindings/index.hpp"
#include "py/args.hpp"

namespace vorlane {

// Ids of `selection` in ascending order of their value in `tree` (descending
// when `reverse`), ties by ascending id, NaN values left out, at most `limit`.
std::vector<uint32_t> sorted_ids(const BitMapBTree& tree, const Bitmap& selection,
                                 std::optional<size_t> limit, bool reverse);

// The operation behind `Index.collect_sorted` and `FilteredIndex.collect_sorted`,
// given the parsed arguments (attr, limit=None, reverse=False): the objects
// of `selection` whose `attr` is an int or a float, in numeric order.
PyObject* collect_sorted(const IndexRecord& source, const Bitmap& selection,
                         const py::Arguments& args);

// Parameters of both methods.
py::Signature collect_sorted_signature(const char* name);
inline constexpr const char* kCollectSortedDoc =
    "collect_sorted($self, attr, limit=None, reverse=False)\n--\n\n"
    "The selected objects whose attribute `attr` is an int or a float, in numeric order of "
    "that attribute (ties by ascending id; descending values when `reverse`), at most "
    "`limit` of them. Objects whose value is not a number, or is NaN, are left out.";

}  // namespace vorlane
