#include "bindings/assignment.hpp"

#include <absl/container/inlined_vector.h>

#include <memory>

#include "engine/attribute_maps.hpp"
#include "py/gil.hpp"
#include "py/index_record.hpp"
#include "py/object_lock.hpp"

namespace vorlane {

namespace {

// Tries made attached before the assignment waits for the locks attached
// (see assignment.hpp).
constexpr int kAttachedTries = 4;

using MemberRecords = absl::InlinedVector<std::shared_ptr<IndexRecord>, kInlineMemberships>;
using MapsWriteLocks = absl::InlinedVector<LockedMaps::WriteGuard, kInlineMemberships>;

// Gives back locks taken for a change that has not begun, without marking
// them poisoned while an exception unwinds.
void give_back(MapsWriteLocks& locks) {
    for (LockedMaps::WriteGuard& lock : locks)
        lock.release();
}

// The maps of `records` locked for writing, in order, waiting for each; a
// poisoned one fails the call and leaves the others sound.
MapsWriteLocks lock_maps(const MemberRecords& records) {
    MapsWriteLocks locks;
    try {
        for (const auto& index : records)
            locks.emplace_back(*index->maps);
    } catch (...) {
        give_back(locks);
        throw;
    }
    return locks;
}

// The maps of `records` locked for writing if none is held elsewhere;
// otherwise nothing (none kept) and the record found busy in `busy`.
std::optional<MapsWriteLocks> try_lock_maps(const MemberRecords& records,
                                            std::shared_ptr<IndexRecord>& busy) {
    MapsWriteLocks locks;
    try {
        for (const auto& index : records) {
            std::optional<LockedMaps::WriteGuard> lock =
                LockedMaps::WriteGuard::try_acquire(*index->maps);
            if (!lock) {
                give_back(locks);
                busy = index;
                return std::nullopt;
            }
            locks.push_back(std::move(*lock));
        }
    } catch (...) {
        give_back(locks);
        throw;
    }
    return locks;
}

// Waits, detached and holding nothing, until `index`'s maps are free.
void wait_for_maps(const IndexRecord& index) {
    py::ScopedDetach detached;
    LockedMaps::WriteGuard free_now(*index.maps);
}

}  // namespace

std::optional<PyValue> assign_attribute(Indexable& object, py::BorrowFlag& object_lock,
                                        AttrName name, PyObject* key, PyValue value) {
    const ValueKey new_key = value.key();
    for (int tries = 0;; ++tries) {
        MemberRecords records;
        {
            py::ObjectWriteLock lock(object_lock);
            // A name the object did not have is not listed by any index, nor
            // is any attribute of an object that belongs to none.
            // (`value` is moved only on the paths that return.)
            if (object.find(name) == nullptr || object.memberships.size() == 0) {
                // Marked before any reader can find the value on the object.
                if (object.memberships.size() != 0)
                    name.mark_held_unlisted();
                // NOLINTNEXTLINE(bugprone-use-after-move,clang-analyzer-cplusplus.Move)
                return object.attributes.set(name, key, std::move(value));
            }
            records = object.resolve_memberships();
        }
        std::shared_ptr<IndexRecord> busy;
        std::optional<MapsWriteLocks> locks = tries < kAttachedTries
                                                  ? try_lock_maps(records, busy)
                                                  : std::optional(lock_maps(records));
        if (!locks) {
            wait_for_maps(*busy);
            continue;
        }
        std::optional<PyValue> old;
        // Outlives the object's lock: it may hold the last handle on a
        // record that joined the object meanwhile and was dropped since.
        MemberRecords now;
        {
            py::ObjectWriteLock lock(object_lock);
            now = object.resolve_memberships();
            if (now == records)
                // NOLINTNEXTLINE(bugprone-use-after-move,clang-analyzer-cplusplus.Move)
                old = object.attributes.set(name, key, std::move(value));
        }
        if (now != records) {
            // Given back once the object's lock is: the last release of an
            // index lock may run Python code (deferred releases).
            give_back(*locks);
            continue;
        }
        if (old) {
            const ValueKey old_key = old->key();
            for (LockedMaps::WriteGuard& maps : *locks)
                update_index(*maps, name, old_key, new_key, object.id);
        }
        return old;
    }
}

}  // namespace vorlane
