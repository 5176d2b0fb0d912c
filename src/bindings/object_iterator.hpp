#pragma once
// Iterating the objects of an index or a view in ascending id order, one at
// a time, without building a list first.
//
// An iterator remembers the version of the index record it walks; when
// objects were added to or removed from that index since, the next step
// raises RuntimeError instead of yielding stale or duplicate objects.

#include <Python.h>

#include <memory>

#include "py/index_record.hpp"

namespace vorlane {

// An iterator over the objects of `iterated`, an `Index` whose record is
// `source`, or (when `is_view`) over the selection of `iterated`, a
// `FilteredIndex` of `source`, skipping objects removed since the view was
// made. The iterator holds `iterated`, and shows it to the cycle collector.
PyObject* make_object_iterator(const std::shared_ptr<IndexRecord>& source, PyObject* iterated,
                               bool is_view);

// The iterator class, created with the module.
PyTypeObject* object_iterator_type();

}  // namespace vorlane
