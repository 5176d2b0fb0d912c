#pragma once
// `Indexable`: the record an `Indexable` object wraps (the Python class is in
// bindings/indexable.hpp).
//
// Each instance keeps its attributes (a layout of names shared with objects
// of the same names, and its own values; see object_attributes.hpp), a
// process-wide id fixed at creation (its slot in the item table of every
// index), and non-owning memberships of the indexes it was added to, so that
// assigning an attribute moves the object in each of them.
//
// Attributes and memberships are read and changed under the object's own
// lock (py/object_lock.hpp), which waits and never fails. How an assignment
// keeps every index that holds the object in step with it is told in
// bindings/assignment.hpp.

#include <absl/container/inlined_vector.h>

#include <cstdint>
#include <memory>

#include "engine/attr_name.hpp"
#include "py/borrow.hpp"
#include "py/memberships.hpp"
#include "py/object_attributes.hpp"
#include "py/type.hpp"
#include "py/value.hpp"

namespace vorlane {

struct IndexRecord;

// A non-owning reference to an index record; resolves while the record lives.
using IndexMeta = std::weak_ptr<IndexRecord>;

// The object's fields in this order: the borrow state and the id share a
// word, and the attributes come last, so that the room of an object made
// with more names than `ObjectAttributes::kInlineValues` follows them (the
// object is allocated with it).
struct Indexable {
    py::BorrowFlag borrow;
    uint32_t id = 0;
    // One word: an object in one index allocates nothing for it.
    Memberships memberships;
    ObjectAttributes attributes;

    // Takes an id from the process-wide id allocator: the next one in
    // creation order, unique among live objects (see `IdAllocator`).
    static uint32_t next_id();

    const PyValue* find(AttrName name) const { return attributes.find(name); }

    // Registers a membership, drops those that no longer resolve, and keeps
    // the list sorted by record identity, the order in which every reader and
    // writer takes the indexes' locks. A record already present is not added
    // twice: one visit per index is enough to keep it current. Called with
    // the record's maps locked and the object's lock held for writing.
    void add_index(const IndexMeta& meta);
    // Drops the memberships of `record` (the object was removed from it).
    void remove_index(const IndexRecord* record);

    // Resolved records of the memberships, in list order.
    absl::InlinedVector<std::shared_ptr<IndexRecord>, kInlineMemberships> resolve_memberships()
        const;
};

}  // namespace vorlane

namespace vorlane::py {

// An `Indexable` instance is its header and its record, which keeps the
// borrow state.
template <>
struct Instance<Indexable> {
    PyObject_HEAD Indexable record;
};

}  // namespace vorlane::py
