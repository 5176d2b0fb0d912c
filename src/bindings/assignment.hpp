#pragma once
// How an assignment of an attribute keeps the indexes in step with the
// object.
//
// An index lists an object under the values of its attributes, so changing a
// value and moving the object's id in every index that holds it must look
// like one step to everyone else. An assignment therefore:
//   1. runs all the Python code it needs first (interning the name, hashing
//      and converting the value), holding nothing: that code may use the
//      object and its indexes freely;
//   2. takes the write locks of the attribute maps of every index the object
//      belongs to, in ascending record identity (the memberships' order),
//      the one order in which anybody holds several such locks;
//   3. under the object's lock, checks that the memberships are still those
//      it locked (an addition or removal may have changed them meanwhile:
//      then it starts over from 2) and swaps the value;
//   4. moves the id from the old value to the new one in every locked index
//      and gives the locks back.
// Additions and removals register or drop a membership and read the object's
// values under the index's maps lock and the object's lock, and queries,
// `reduce` and `union_with` read an index under its maps lock: each sees the
// object wholly before or wholly after the assignment. An addition that ran
// before step 3 is found there and the object is moved in it too; one that
// runs after reads the new value. Nothing is refused: a conflicting use waits.
//
// The swap changes a reference that the cycle collector visits, so it is made
// attached (the collector never runs beside attached code), and the locks are
// taken attached, without waiting. A lock held elsewhere is waited for
// detached with nothing held, then all are tried again; after a few tries the
// assignment waits for them attached, so that a stream of detached holders
// cannot starve it. Waiting attached is safe: no holder of a maps lock needs
// the interpreter (or a stop of the world) before giving it back.

#include <Python.h>

#include <optional>

#include "engine/attr_name.hpp"
#include "py/borrow.hpp"
#include "py/indexable_record.hpp"
#include "py/value.hpp"

namespace vorlane {

// Stores `value` under `name` (whose str is `key`) in `object`, whose lock is
// `lock`, and moves the object in every index that lists it (steps 2 to 4
// above; step 1 is the caller's). Returns the value replaced, to be dropped
// by the caller once nothing is held.
std::optional<PyValue> assign_attribute(Indexable& object, py::BorrowFlag& lock, AttrName name,
                                        PyObject* key, PyValue value);

}  // namespace vorlane
