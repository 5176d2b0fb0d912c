#pragma once
// Iterating the objects of an index or a view in ascending id order, one at
// a time, without building a list first.
//
// An iterator over an index remembers the version of the index record it
// walks; when objects were added to or removed from that index since, the
// next step raises RuntimeError instead of yielding stale or duplicate
// objects. A view's selection is fixed when the view is made, so an iterator
// over a view goes on while its index changes (a loop may remove what it
// visits), skipping the objects removed meanwhile.

#include <Python.h>

#include <memory>

#include "py/index_record.hpp"

namespace vorlane {

// An iterator over the objects of `walked`, the ids it starts from: the live
// ids of `source` for an `Index`, or the selection of a `FilteredIndex` of
// `source`, whose objects removed since the view was made are skipped;
// `follows_index` when `walked` is the index's own live ids, which change.
// `iterated` is that index or view: it keeps `walked` alive, and the iterator
// holds it and shows it to the cycle collector.
PyObject* make_object_iterator(const std::shared_ptr<IndexRecord>& source, PyObject* iterated,
                               const Bitmap& walked, bool follows_index);

// The iterator class, created with the module.
PyTypeObject* object_iterator_type();

}  // namespace vorlane
