#pragma once
// The Python class `FilteredIndex`: a view of an index through a fixed
// selection of ids.
//
// A view shares the live maps and item table of the index it came from, so
// it sees later attribute changes and the current object of each selected
// slot, while its selection never changes. It holds the source record
// itself: the objects' memberships point at that record, and keeping it
// alive keeps their assignments reaching the shared maps after the source
// `Index` has no other user.
//
// It also holds the source `Index` object, the one Python owner of the item
// table: the cycle collector counts the table's references once, through
// that `Index`, and a view reaches them through it (a cycle through an
// object, an index and its views is collectable).

#include <Python.h>

#include <memory>

#include "engine/bitmap.hpp"
#include "engine/view_selection.hpp"
#include "py/index_record.hpp"
#include "py/ref.hpp"

namespace vorlane {

struct FilteredIndex {
    std::shared_ptr<IndexRecord> source;
    ViewSelection selection;
    // The Python `Index` whose record is `source`.
    py::Ref owner;
};

// Builds a standalone index holding exactly the selected objects under their
// own ids, indexing every attribute they have now (names beginning with "_"
// included) and registering the new index in each object's memberships.
std::shared_ptr<IndexRecord> rebase(const FilteredIndex& view);

namespace py_filtered {
// The `FilteredIndex` class, created with the module (never a module attribute).
PyTypeObject* filtered_index_type();
// A new view of `source`, the record of the Python `Index` `owner`, through
// `selection`.
PyObject* wrap_view(PyObject* owner, std::shared_ptr<IndexRecord> source, ViewSelection selection);
}  // namespace py_filtered

}  // namespace vorlane
