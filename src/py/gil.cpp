#include "py/gil.hpp"

#include <atomic>
#include <mutex>
#include <vector>

#include "py/lock_rule.hpp"

namespace vorlane::py {

namespace {

// Depth of nested regions that forbid Python code on this thread. Read and
// written around every lock of the module, so it takes the initial-exec TLS
// model: a fixed offset from the thread pointer instead of a call to
// __tls_get_addr per access, as the default model for a loaded module costs.
// The loader keeps spare static TLS for a loaded module's few such bytes.
__attribute__((tls_model("initial-exec"))) thread_local int forbidden_depth = 0;

// References dropped where Python code could not run. Shared by all threads:
// a reference queued by a detached worker may be released by whichever thread
// next leaves a forbidden region attached.
std::mutex pending_mutex;
std::vector<PyObject*>* pending =
    new std::vector<PyObject*>();  // never freed: lives with the process
// Whether `pending` may hold references; set under `pending_mutex`. Leaving a
// region reads it first, so that the common case, nothing queued, costs no
// lock. A reference queued by another thread just after the read waits for
// the next drain, as it would if it came just after the queue was emptied.
std::atomic<bool> maybe_pending{false};

}  // namespace

void release_later(PyObject* obj) noexcept {
    if (obj == nullptr)
        return;
    if (forbidden_depth == 0) {
        checked_decref(obj);
        return;
    }
    std::lock_guard<std::mutex> lock(pending_mutex);
    pending->push_back(obj);
    maybe_pending.store(true, std::memory_order_release);
}

void drain_deferred_releases() noexcept {
    for (;;) {
        if (!maybe_pending.load(std::memory_order_acquire))
            return;
        std::vector<PyObject*> batch;
        {
            std::lock_guard<std::mutex> lock(pending_mutex);
            maybe_pending.store(false, std::memory_order_relaxed);
            if (pending->empty())
                return;
            batch.swap(*pending);
        }
        // Releasing can run Python code that queues more; loop until empty.
        for (PyObject* obj : batch)
            Py_DECREF(obj);
    }
}

void enter_no_python() noexcept {
    ++forbidden_depth;
}

void leave_no_python() noexcept {
    if (--forbidden_depth == 0)
        drain_deferred_releases();
}

void QueuedReleases::leave_without_draining() noexcept {
    --forbidden_depth;
}

ScopedDetach::ScopedDetach() noexcept {
    ++forbidden_depth;
    state_ = PyEval_SaveThread();
}

ScopedDetach::~ScopedDetach() {
    PyEval_RestoreThread(state_);
    if (--forbidden_depth == 0)
        drain_deferred_releases();
}

}  // namespace vorlane::py
