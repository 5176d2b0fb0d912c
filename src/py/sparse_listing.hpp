#pragma once
// Listing the objects of ids far apart (a range's few thousand ids spread
// over a large table): each id costs a miss on its item slot and another on
// its object, the second waiting on the first.
//
// One pass keeps both in flight: the slot of an id is requested a long way
// ahead of its turn, its object (read from the slot by then) a shorter way
// ahead, and the object's reference count is updated when its turn comes.
// Many misses of both kinds overlap, and each id is handled once, with no
// buffer between the stages.

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <span>

#include "py/index_record.hpp"

namespace vorlane {

// Writes to `out` a new reference to the object of each of the first `count`
// of `ids` (ascending), leaving out ids whose slot is empty, and returns how
// many it wrote. The ids after the first `count` are the ones listed next:
// their slots and objects are requested ahead as well.
size_t new_references_of_far_ids(const ItemTable& table, std::span<const uint32_t> ids,
                                 size_t count, PyObject** out);

}  // namespace vorlane
