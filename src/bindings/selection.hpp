#pragma once
// The methods that `Index` and `FilteredIndex` share, written once.
//
// Both classes answer the same questions over one index record; they differ
// only in the ids a call starts from: all of the index's objects, or a
// view's fixed selection. A `Scope` names both, and each shared method is
// one body over a scope. `SharedMethods<Class>` turns the bodies into the
// class's entry points and method-table entries; `Class` supplies:
//   - `Record`: the record its instances wrap;
//   - `kName`: the class name, as printed in argument errors;
//   - `scope(const Record&, PyObject* self)`: the scope of an instance;
//   - `traverse(const Record&, visitproc, void*)`: what the instance shows
//     the cycle collector;
//   - `empty()`: the record an instance keeps after the collector clears it;
//   - `wrap_view(const Scope&, Bitmap)`: a new view of the scope's index
//     through the given ids (the view class lies above this file).

#include <Python.h>

#include <memory>
#include <utility>

#include "engine/bitmap.hpp"
#include "py/args.hpp"
#include "py/borrow.hpp"
#include "py/errors.hpp"
#include "py/index_record.hpp"
#include "py/method.hpp"
#include "py/type.hpp"

namespace vorlane {

struct Scope {
    const std::shared_ptr<IndexRecord>& record;
    // A view's selection; null for an index, whose calls start from every
    // object it holds (its live ids).
    const Bitmap* selection;
    // The Python `Index` that owns the record: new views and iterators hold
    // it (see filtered_index.hpp).
    PyObject* owner;
};

// The bodies, each run under a shared use of the instance. `reduced` and
// `reduced_query` give the ids of the view to make.
Bitmap scope_reduced(const Scope& scope, const py::Arguments& args);
Bitmap scope_reduced_query(const Scope& scope, const py::Arguments& args);
PyObject* scope_collect(const Scope& scope);
PyObject* scope_collect_sorted(const Scope& scope, const py::Arguments& args);
PyObject* scope_value_counts(const Scope& scope, const py::Arguments& args);
// `min` and `max`: the smallest, or the largest, number of an attribute.
PyObject* scope_extreme(const Scope& scope, const py::Arguments& args, bool largest);
PyObject* scope_count(const Scope& scope, const py::Arguments& args);
Py_ssize_t scope_length(const Scope& scope);
bool scope_contains(const Scope& scope, PyObject* obj);
// An iterator over the scope's objects; `self` is the index or view iterated
// (kept alive by the iterator, which walks a view's selection in place).
PyObject* scope_iter(const Scope& scope, PyObject* self);

inline constexpr const char* kCollectSortedDoc =
    "collect_sorted($self, attr, limit=None, reverse=False)\n--\n\n"
    "The selected objects whose attribute `attr` is an int or a float, in numeric order of "
    "that attribute (ties by ascending id; descending values when `reverse`), at most "
    "`limit` of them. Objects whose value is not a number, or is NaN, are left out.";

inline constexpr const char* kValueCountsDoc =
    "value_counts($self, name, limit=None)\n--\n\n"
    "A dict from each value of attribute `name` held by the selected objects to the number "
    "of them holding it, by descending count (ties: the value whose first selected holder "
    "has the smaller id), at most `limit` entries. Values are keys as lookups compare them "
    "(1, 1.0 and True are one), each shown by the value of the index's first object holding "
    "it.";
inline constexpr const char* kMinDoc =
    "min($self, name)\n--\n\n"
    "The smallest int or float value of attribute `name` among the selected objects (NaN "
    "left out), as the object holds it, or None when none has a number there.";
inline constexpr const char* kMaxDoc =
    "max($self, name)\n--\n\n"
    "The largest int or float value of attribute `name` among the selected objects (NaN "
    "left out), as the object holds it, or None when none has a number there.";
inline constexpr const char* kCountDoc =
    "count($self, query)\n--\n\n"
    "The number of selected objects that satisfy the query expression: "
    "len(self.reduced_query(query)) without making the view.";

template <typename Class>
class SharedMethods {
  public:
    using Record = typename Class::Record;

    static PyMethodDef reduced_def() {
        return py::method_def<&kReducedSig, reduced>("reduced", "reduced($self, **kwargs)\n--\n\n");
    }
    static PyMethodDef reduced_query_def(const char* doc) {
        return py::method_def<&kReducedQuerySig, reduced_query>("reduced_query", doc);
    }
    static PyMethodDef collect_def() {
        return py::method_def<&kCollectSig, collect>("collect", "collect($self)\n--\n\n");
    }
    static PyMethodDef collect_sorted_def() {
        return py::method_def<&kCollectSortedSig, collect_sorted>("collect_sorted",
                                                                  kCollectSortedDoc);
    }

    static PyMethodDef value_counts_def() {
        return py::method_def<&kValueCountsSig, value_counts>("value_counts", kValueCountsDoc);
    }
    static PyMethodDef min_def() { return py::method_def<&kMinSig, min>("min", kMinDoc); }
    static PyMethodDef max_def() { return py::method_def<&kMaxSig, max>("max", kMaxDoc); }
    static PyMethodDef count_def() { return py::method_def<&kCountSig, count>("count", kCountDoc); }

    static Py_ssize_t length(PyObject* self) {
        return py::guard<Py_ssize_t>(-1, [&] {
            py::SharedBorrow use(borrow(self));
            return scope_length(scope(self));
        });
    }
    static int contains(PyObject* self, PyObject* obj) {
        return py::guard<int>(-1, [&]() -> int {
            py::SharedBorrow use(borrow(self));
            return scope_contains(scope(self), obj);
        });
    }
    static PyObject* iter(PyObject* self) {
        return py::guard<PyObject*>(nullptr, [&] {
            py::SharedBorrow use(borrow(self));
            return scope_iter(scope(self), self);
        });
    }
    static int traverse(PyObject* self, visitproc visit, void* arg) {
        Py_VISIT(Py_TYPE(self));
        // An instance in use is reachable through its caller; an index in
        // exclusive use may be changing its item table detached.
        if (borrow(self).is_exclusive())
            return 0;
        return Class::traverse(py::record_of<Record>(self), visit, arg);
    }
    // Breaks a cycle by emptying the instance; the old record and its
    // objects are released after the borrow ends. An instance in use
    // elsewhere is reachable and left alone.
    static int clear(PyObject* self) {
        py::BorrowFlag& flag = borrow(self);
        if (!flag.try_exclusive())
            return 0;
        Record old = std::exchange(py::record_of<Record>(self), Class::empty());
        flag.end_exclusive();
        return 0;
    }

  private:
    static py::BorrowFlag& borrow(PyObject* self) { return py::borrow_of<Record>(self); }
    static Scope scope(PyObject* self) { return Class::scope(py::record_of<Record>(self), self); }

    static PyObject* reduced(PyObject* self, py::Arguments& args) {
        py::SharedBorrow use(borrow(self));
        Scope here = scope(self);
        return Class::wrap_view(here, scope_reduced(here, args));
    }
    static PyObject* reduced_query(PyObject* self, py::Arguments& args) {
        py::SharedBorrow use(borrow(self));
        Scope here = scope(self);
        return Class::wrap_view(here, scope_reduced_query(here, args));
    }
    static PyObject* collect(PyObject* self, py::Arguments&) {
        py::SharedBorrow use(borrow(self));
        return scope_collect(scope(self));
    }
    static PyObject* collect_sorted(PyObject* self, py::Arguments& args) {
        py::SharedBorrow use(borrow(self));
        return scope_collect_sorted(scope(self), args);
    }

    static PyObject* value_counts(PyObject* self, py::Arguments& args) {
        py::SharedBorrow use(borrow(self));
        return scope_value_counts(scope(self), args);
    }
    static PyObject* min(PyObject* self, py::Arguments& args) {
        py::SharedBorrow use(borrow(self));
        return scope_extreme(scope(self), args, false);
    }
    static PyObject* max(PyObject* self, py::Arguments& args) {
        py::SharedBorrow use(borrow(self));
        return scope_extreme(scope(self), args, true);
    }
    static PyObject* count(PyObject* self, py::Arguments& args) {
        py::SharedBorrow use(borrow(self));
        return scope_count(scope(self), args);
    }

    static constexpr py::Signature kReducedSig{
        .name = "reduced", .var_keyword = true, .owner = Class::kName};
    static constexpr py::Signature kReducedQuerySig{.name = "reduced_query",
                                                    .params = {"query"},
                                                    .nparams = 1,
                                                    .required = 1,
                                                    .owner = Class::kName};
    static constexpr py::Signature kCollectSig{.name = "collect", .owner = Class::kName};
    static constexpr py::Signature kCollectSortedSig{.name = "collect_sorted",
                                                     .params = {"attr", "limit", "reverse"},
                                                     .nparams = 3,
                                                     .required = 1,
                                                     .owner = Class::kName};
    static constexpr py::Signature kValueCountsSig{.name = "value_counts",
                                                   .params = {"name", "limit"},
                                                   .nparams = 2,
                                                   .required = 1,
                                                   .owner = Class::kName};
    static constexpr py::Signature kMinSig{
        .name = "min", .params = {"name"}, .nparams = 1, .required = 1, .owner = Class::kName};
    static constexpr py::Signature kMaxSig{
        .name = "max", .params = {"name"}, .nparams = 1, .required = 1, .owner = Class::kName};
    static constexpr py::Signature kCountSig{
        .name = "count", .params = {"query"}, .nparams = 1, .required = 1, .owner = Class::kName};
};

}  // namespace vorlane
