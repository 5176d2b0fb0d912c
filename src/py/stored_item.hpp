#pragma once
// `StoredItem`: one strong reference to an indexed object, held by a slot of
// an index's item table.
//
// Items are created and shared only while attached to the interpreter; they
// may be destroyed anywhere (a replaced slot is released with the table's
// lock held, a table may die on a detached thread), so the reference is
// dropped through the binding layer's deferred release.

#include <Python.h>

#include <utility>

#include "py/gil.hpp"

namespace vorlane {

class StoredItem {
  public:
    StoredItem() = default;
    // A new strong reference to `obj`. Attached only.
    static StoredItem of(PyObject* obj) {
        Py_INCREF(obj);
        return StoredItem(obj);
    }
    // Takes over the strong reference `owned`. Attached only.
    static StoredItem adopt(PyObject* owned) { return StoredItem(owned); }
    ~StoredItem() {
        if (obj_ != nullptr)  // most are moved from
            py::release_later(obj_);
    }
    StoredItem(StoredItem&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
    StoredItem& operator=(StoredItem&& other) noexcept {
        StoredItem moved(std::move(other));
        std::swap(obj_, moved.obj_);
        return *this;
    }
    StoredItem(const StoredItem&) = delete;
    StoredItem& operator=(const StoredItem&) = delete;

    // Another holder of the same object (a new strong reference). Attached only.
    StoredItem share() const { return of(obj_); }

    bool empty() const { return obj_ == nullptr; }
    PyObject* get() const { return obj_; }

  private:
    explicit StoredItem(PyObject* obj) : obj_(obj) {}
    PyObject* obj_ = nullptr;
};

}  // namespace vorlane
