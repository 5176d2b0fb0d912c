#pragma once
// Releasing the interpreter lock, and releasing Python references safely.
//
// A Python reference may only be dropped while the thread is attached to the
// interpreter and holds none of the module's own locks: dropping the last
// reference can run arbitrary Python code (`__del__`, weakref callbacks,
// the cycle collector), which may call back into the module. `release_later`
// drops a reference at once when that is safe and otherwise queues it; the
// queue is emptied when the thread leaves the last such region.

#include <Python.h>

#include <utility>

namespace vorlane::py {

// Drops one strong reference to `obj`, now if safe, otherwise deferred.
// May be called from any thread, attached or not.
void release_later(PyObject* obj) noexcept;

// Drops the queued references. Must be called attached and outside every
// region that forbids Python code.
void drain_deferred_releases() noexcept;

// A strong reference that may be taken and dropped while one of the module's
// locks is held (a value read under an index's locks, to be used once they
// are given back): it is dropped through `release_later`.
class LockSafeRef {
  public:
    LockSafeRef() = default;
    // A new strong reference to `obj`; taking one runs no Python code.
    static LockSafeRef borrow(PyObject* obj) {
        Py_XINCREF(obj);
        return LockSafeRef(obj);
    }
    ~LockSafeRef() { release_later(obj_); }
    LockSafeRef(LockSafeRef&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
    LockSafeRef& operator=(LockSafeRef&& other) noexcept {
        LockSafeRef moved(std::move(other));
        std::swap(obj_, moved.obj_);
        return *this;
    }
    LockSafeRef(const LockSafeRef&) = delete;
    LockSafeRef& operator=(const LockSafeRef&) = delete;

    PyObject* get() const { return obj_; }
    explicit operator bool() const { return obj_ != nullptr; }
    // Hands the reference to the caller.
    PyObject* release() { return std::exchange(obj_, nullptr); }

  private:
    explicit LockSafeRef(PyObject* obj) : obj_(obj) {}
    PyObject* obj_ = nullptr;
};

// Enter and leave a region in which no Python code may run on this thread;
// leaving the outermost one drains the deferred releases. Used by the lock
// hooks of the engine.
void enter_no_python() noexcept;
void leave_no_python() noexcept;

// A region that forbids Python code for the lifetime of the guard, entered
// and left attached: references dropped inside are released on leaving.
class NoPythonRegion {
  public:
    NoPythonRegion() noexcept { enter_no_python(); }
    ~NoPythonRegion() { leave_no_python(); }
    NoPythonRegion(const NoPythonRegion&) = delete;
    NoPythonRegion& operator=(const NoPythonRegion&) = delete;
};

// A region on a thread that may never have been attached (a worker of a
// parallel task): references dropped inside are always queued, and left for
// an attached thread to release (the one that started the task, when it
// attaches again). Leaving it drains nothing.
class QueuedReleases {
  public:
    QueuedReleases() noexcept { enter_no_python(); }
    ~QueuedReleases() { leave_without_draining(); }
    QueuedReleases(const QueuedReleases&) = delete;
    QueuedReleases& operator=(const QueuedReleases&) = delete;

  private:
    static void leave_without_draining() noexcept;
};

// Detaches from the interpreter for the lifetime of the guard, so other
// Python threads run while the module works. Python objects must not be
// touched inside; references dropped inside are released after re-attaching.
class ScopedDetach {
  public:
    ScopedDetach() noexcept;
    ~ScopedDetach();
    ScopedDetach(const ScopedDetach&) = delete;
    ScopedDetach& operator=(const ScopedDetach&) = delete;

  private:
    PyThreadState* state_;
};

}  // namespace vorlane::py
