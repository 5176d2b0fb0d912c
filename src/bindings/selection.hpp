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
//   - `wrap_view(const Scope&, ViewSelection)`: a new view of the scope's
//     index through the given ids (the view class lies above this file).

#include <Python.h>

#include <memory>
#include <optional>
#include <utility>

#include "bindings/counted_keys.hpp"
#include "bindings/selection_docs.hpp"
#include "bindings/selection_values.hpp"
#include "engine/bitmap.hpp"
#include "engine/ordered_sum.hpp"
#include "engine/view_selection.hpp"
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
    const ViewSelection* view;
    // The Python `Index` that owns the record: new views and iterators hold
    // it (see filtered_index.hpp).
    PyObject* owner;

    // The view's selection as a bitmap (built on first use when the view
    // keeps a list); null for an index.
    const Bitmap* selection() const { return view ? &view->bitmap() : nullptr; }
};

// The bodies, each run under a shared use of the instance. `reduced` and
// `reduced_query` give the ids of the view to make.
Bitmap scope_reduced(const Scope& scope, const py::Arguments& args);
ViewSelection scope_reduced_query(const Scope& scope, const py::Arguments& args);
PyObject* scope_collect(const Scope& scope);
PyObject* scope_collect_sorted(const Scope& scope, const py::Arguments& args);
// `value_counts`, read into `counted`: the dict is made once the use is
// given back.
void scope_value_counts(const Scope& scope, const py::Arguments& args, CountedKeys& counted);
// `min` and `max`: the smallest, or the largest, number of an attribute.
PyObject* scope_extreme(const Scope& scope, const py::Arguments& args, bool largest);
PyObject* scope_count(const Scope& scope, const py::Arguments& args);
// The numbers of `name` that the scope's objects hold, summed from the
// index's ordered entries of it; nothing when an object may hold the name
// unlisted there (reading the objects is then the only way), or when
// `want_fraction` and a sample of the entries shows no fraction (the sum
// would not tell whether its whole numbers were ints or floats).
std::optional<OrderedTotal> scope_ordered_total(const Scope& scope, AttrName name,
                                                bool want_fraction);
Py_ssize_t scope_length(const Scope& scope);
bool scope_contains(const Scope& scope, PyObject* obj);
// An iterator over the scope's objects; `self` is the index or view iterated
// (kept alive by the iterator, which walks a view's selection in place).
PyObject* scope_iter(const Scope& scope, PyObject* self);

template <typename Class>
class SharedMethods {
  public:
    using Record = typename Class::Record;

    static PyMethodDef reduced_def() {
        return py::method_def<&kReducedSig, reduced>("reduced", docs::kReduced);
    }
    static PyMethodDef reduced_query_def(const char* doc) {
        return py::method_def<&kReducedQuerySig, reduced_query>("reduced_query", doc);
    }
    static PyMethodDef collect_def() {
        return py::method_def<&kCollectSig, collect>("collect", docs::kCollect);
    }
    static PyMethodDef collect_sorted_def() {
        return py::method_def<&kCollectSortedSig, collect_sorted>("collect_sorted",
                                                                  docs::kCollectSorted);
    }

    static PyMethodDef value_counts_def() {
        return py::method_def<&kValueCountsSig, value_counts>("value_counts", docs::kValueCounts);
    }
    static PyMethodDef min_def() { return py::method_def<&kMinSig, min>("min", docs::kMin); }
    static PyMethodDef max_def() { return py::method_def<&kMaxSig, max>("max", docs::kMax); }
    static PyMethodDef count_def() {
        return py::method_def<&kCountSig, count>("count", docs::kCount);
    }
    static PyMethodDef columns_def() {
        return py::method_def<&kColumnsSig, columns>("columns", docs::kColumns);
    }
    static PyMethodDef records_def() {
        return py::method_def<&kRecordsSig, records>("records", docs::kRecords);
    }
    static PyMethodDef sum_def() { return py::method_def<&kSumSig, sum>("sum", docs::kSum); }
    static PyMethodDef mean_def() { return py::method_def<&kMeanSig, mean>("mean", docs::kMean); }
    static PyMethodDef to_arrow_def() {
        return py::method_def<&kToArrowSig, to_arrow>("to_arrow", docs::kToArrow);
    }
    // `Index[T]`: the class, generic for type checkers only.
    static PyMethodDef class_getitem_def() {
        return py::raw_method_def("__class_getitem__", Py_GenericAlias, METH_O | METH_CLASS,
                                  docs::kClassGetitem);
    }
    // The reads that every index and view lists, in this order, after the
    // methods of its own class.
    static std::array<PyMethodDef, 11> reads_defs() {
        return {collect_sorted_def(), value_counts_def(), min_def(),          max_def(),
                count_def(),          columns_def(),      records_def(),      sum_def(),
                mean_def(),           to_arrow_def(),     class_getitem_def()};
    }
    // The slots that every index and view fills alike, after those of its
    // own class.
    static std::array<PyType_Slot, 5> shared_slots() {
        return {py::slot(Py_sq_length, length), py::slot(Py_sq_contains, contains),
                py::slot(Py_tp_iter, iter), py::slot(Py_tp_traverse, traverse),
                py::slot(Py_tp_clear, clear)};
    }

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
        return Class::wrap_view(here, ViewSelection(scope_reduced(here, args)));
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
        CountedKeys counted;  // see counted_keys.hpp: outlives the use
        {
            py::SharedBorrow use(borrow(self));
            scope_value_counts(scope(self), args, counted);
        }
        return counted.to_dict();
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
    static PyObject* columns(PyObject* self, py::Arguments& args) {
        py::SharedBorrow use(borrow(self));
        return scope_columns(scope(self), args);
    }
    static PyObject* records(PyObject* self, py::Arguments& args) {
        py::SharedBorrow use(borrow(self));
        return scope_records(scope(self), args);
    }
    static PyObject* sum(PyObject* self, py::Arguments& args) {
        py::SharedBorrow use(borrow(self));
        return scope_sum(scope(self), args, false);
    }
    static PyObject* mean(PyObject* self, py::Arguments& args) {
        py::SharedBorrow use(borrow(self));
        return scope_sum(scope(self), args, true);
    }
    static PyObject* to_arrow(PyObject* self, py::Arguments& args) {
        py::SharedBorrow use(borrow(self));
        return scope_to_arrow(scope(self), args);
    }

    static constexpr py::Signature kReducedSig{
        .name = "reduced", .var_keyword = true, .owner = Class::kName};
    static constexpr py::Signature kReducedQuerySig{.name = "reduced_query",
                                                    .params = {"query"},
                                                    .nparams = 1,
                                                    .required = 1,
                                                    .owner = Class::kName};
    static constexpr py::Signature kCollectSig{.name = "collect", .owner = Class::kName};
    static constexpr py::Signature kCollectSortedSig{
        .name = "collect_sorted",
        .params = {"attr", "limit", "reverse", "offset"},
        .nparams = 4,
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
    // `default` is keyword-only: collected as a keyword and checked by the body.
    static constexpr py::Signature kColumnsSig{
        .name = "columns", .var_positional = true, .var_keyword = true, .owner = Class::kName};
    static constexpr py::Signature kRecordsSig{
        .name = "records", .var_positional = true, .owner = Class::kName};
    static constexpr py::Signature kSumSig{
        .name = "sum", .params = {"name"}, .nparams = 1, .required = 1, .owner = Class::kName};
    static constexpr py::Signature kMeanSig{
        .name = "mean", .params = {"name"}, .nparams = 1, .required = 1, .owner = Class::kName};
    static constexpr py::Signature kToArrowSig{
        .name = "to_arrow", .var_positional = true, .owner = Class::kName};
};

}  // namespace vorlane
