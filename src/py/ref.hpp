#pragma once
// Owned references to Python objects.
//
// `Ref` owns one strong reference and releases it when destroyed. It may only
// be used while the thread is attached to the interpreter; references that
// may be dropped where Python code must not run (detached, or under one of
// the module's locks) are held by types that release them through
// `release_later` (gil.hpp), such as `StoredItem`.

#include <Python.h>

#include <utility>

#include "py/lock_rule.hpp"

namespace vorlane::py {

class Ref {
  public:
    Ref() = default;
    // Takes over a new (owned) reference; null stays null.
    static Ref steal(PyObject* obj) { return Ref(obj); }
    // Takes a new strong reference to a borrowed object.
    static Ref borrow(PyObject* obj) {
        Py_XINCREF(obj);
        return Ref(obj);
    }

    ~Ref() { checked_decref(obj_); }
    Ref(Ref&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        Ref moved(std::move(other));
        std::swap(obj_, moved.obj_);
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;

    PyObject* get() const { return obj_; }
    explicit operator bool() const { return obj_ != nullptr; }
    // Hands the reference to the caller (for returning to the interpreter).
    PyObject* release() { return std::exchange(obj_, nullptr); }

  private:
    explicit Ref(PyObject* obj) : obj_(obj) {}
    PyObject* obj_ = nullptr;
};

}  // namespace vorlane::py
