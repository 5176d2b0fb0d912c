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

// An iterator over `source`'s objects (when `view` is null) or over the
// selection of the FilteredIndex `view` (whose source is `source`), skipping
// objects removed since the view was made.
PyObject* make_object_iterator(const std::shared_ptr<IndexRecord>& source, PyObject* view);

}  // namespace vorlane
