#include "bindings/filtered_index.hpp"

#include "bindings/indexable.hpp"
#include "bindings/iteration.hpp"
#include "bindings/query.hpp"
#include "bindings/sorted_collect.hpp"
#include "py/args.hpp"
#include "py/errors.hpp"
#include "py/gil.hpp"
#include "py/method.hpp"
#include "py/type.hpp"

namespace vorlane {

std::shared_ptr<IndexRecord> rebase(const FilteredIndex& view) {
    LockedItems::ReadGuard source(view.items());
    auto fresh = IndexRecord::new_();
    fresh->live_ids = view.selection.copy();
    LockedMaps::WriteGuard maps(*fresh->maps);
    LockedItems::WriteGuard table(*fresh->items);
    // An empty selection still gives a table of one empty slot.
    uint32_t largest = view.selection.is_empty() ? 0 : view.selection.maximum();
    table->resize(static_cast<size_t>(largest) + 1);
    view.selection.for_each([&](uint32_t id) {
        // Objects removed from the source since the view was made are left out.
        if (id >= source->size() || (*source)[id].empty()) {
            fresh->live_ids.remove(id);
            return;
        }
        PyObject* obj = (*source)[id].get();
        py::ExclusiveBorrow object_use(py_indexable::borrow_flag(obj), py::BorrowFailure::Panic);
        Indexable& object = py::record_of<Indexable>(obj);
        object.add_index(fresh);
        (*table)[id] = StoredItem::of(obj);
        for (const Attribute& attr : object.attributes) {
            add_index_value(*maps, id, attr.name, attr.value.key());
        }
    });
    return fresh;
}

namespace {

PyTypeObject* filtered_type_cache = nullptr;

FilteredIndex& view_of(PyObject* self) {
    return py::record_of<FilteredIndex>(self);
}
py::BorrowFlag& borrow(PyObject* self) {
    return py::borrow_of<FilteredIndex>(self);
}

PyObject* reduced(PyObject* self, py::Arguments& args) {
    py::SharedBorrow use(borrow(self));
    HashQuery query = keywords_to_hash_query(args.extra_keywords);
    const FilteredIndex& view = view_of(self);
    Bitmap selection;
    {
        py::ScopedDetach detached;
        LockedMaps::ReadGuard maps(view.maps());
        Bitmap matching = filter_index_by_hashes(*maps, query);
        selection = Bitmap::and_(matching, view.selection);
    }
    return py_filtered::wrap_view(view.source, std::move(selection));
}

PyObject* collect(PyObject* self, py::Arguments&) {
    py::SharedBorrow use(borrow(self));
    const FilteredIndex& view = view_of(self);
    return collect_objects(view.items(), view.selection);
}

PyObject* reduced_query(PyObject* self, py::Arguments& args) {
    py::SharedBorrow use(borrow(self));
    QueryExpr query =
        py::convert_argument("query", [&] { return py_query::copy_expr(args.values[0]); });
    const FilteredIndex& view = view_of(self);
    Bitmap selection;
    {
        py::ScopedDetach detached;
        LockedMaps::ReadGuard maps(view.maps());
        // The view's selection is the universe; equality parts answer from
        // the value sets as stored, so the result is narrowed to it as well.
        selection = evaluate_query(*maps, view.selection, query);
        selection.and_inplace(view.selection);
    }
    return py_filtered::wrap_view(view.source, std::move(selection));
}

// The selected ids that still have an object in the source.
Bitmap live_selection(const FilteredIndex& view) {
    LockedItems::ReadGuard table(view.items());
    return Bitmap::and_(view.selection, view.source->live_ids);
}

PyObject* view_collect_sorted(PyObject* self, py::Arguments& args) {
    py::SharedBorrow use(borrow(self));
    const FilteredIndex& view = view_of(self);
    return collect_sorted(*view.source, live_selection(view), args);
}

Py_ssize_t view_length(PyObject* self) {
    return py::guard<Py_ssize_t>(-1, [&]() -> Py_ssize_t {
        py::SharedBorrow use(borrow(self));
        const FilteredIndex& view = view_of(self);
        LockedItems::ReadGuard table(view.items());
        return static_cast<Py_ssize_t>(
            roaring_bitmap_and_cardinality(view.selection.raw(), view.source->live_ids.raw()));
    });
}

int view_contains(PyObject* self, PyObject* obj) {
    return py::guard<int>(-1, [&]() -> int {
        py::SharedBorrow use(borrow(self));
        if (!py_indexable::is_indexable(obj))
            return 0;
        uint32_t id = py::record_of<Indexable>(obj).id;
        const FilteredIndex& view = view_of(self);
        LockedItems::ReadGuard table(view.items());
        return view.selection.contains(id) && view.source->live_ids.contains(id) &&
               holds_object(*table, id, obj);
    });
}

int view_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    return traverse_sole_record(view_of(self).source, visit, arg);
}

int view_clear(PyObject* self) {
    py::BorrowFlag& flag = borrow(self);
    if (!flag.try_exclusive())
        return 0;
    FilteredIndex old = std::exchange(view_of(self), FilteredIndex{IndexRecord::new_(), Bitmap()});
    flag.end_exclusive();
    return 0;
}

PyObject* view_iter(PyObject* self) {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        py::SharedBorrow use(borrow(self));
        return make_object_iterator(view_of(self).source, self);
    });
}

PyObject* rebase_method(PyObject* self, py::Arguments&) {
    py::SharedBorrow use(borrow(self));
    return py_index::wrap_record(rebase(view_of(self)));
}

constexpr py::Signature kReducedSig{.name = "FilteredIndex.reduced", .var_keyword = true};
constexpr py::Signature kCollectSig{.name = "FilteredIndex.collect"};
constexpr py::Signature kRebaseSig{.name = "FilteredIndex.rebase"};
constexpr py::Signature kReducedQuerySig{
    .name = "FilteredIndex.reduced_query", .params = {"query"}, .nparams = 1, .required = 1};
const py::Signature kCollectSortedSig = collect_sorted_signature("FilteredIndex.collect_sorted");

#define VORLANE_METHOD(name, sig, body, doc)                                    \
    {                                                                           \
        name,                                                                   \
            reinterpret_cast<PyCFunction>(                                      \
                reinterpret_cast<void (*)()>(py::fastcall_method<&sig, body>)), \
            METH_FASTCALL | METH_KEYWORDS, doc                                  \
    }

PyMethodDef filtered_methods[] = {
    VORLANE_METHOD("reduced", kReducedSig, reduced, "reduced($self, **kwargs)\n--\n\n"),
    VORLANE_METHOD("collect", kCollectSig, collect, "collect($self)\n--\n\n"),
    VORLANE_METHOD("rebase", kRebaseSig, rebase_method, "rebase($self)\n--\n\n"),
    VORLANE_METHOD("reduced_query", kReducedQuerySig, reduced_query,
                   "reduced_query($self, query)\n--\n\n"
                   "A new view of the selected objects that satisfy the query expression; "
                   "negations are taken within this view's selection."),
    VORLANE_METHOD("collect_sorted", kCollectSortedSig, view_collect_sorted, kCollectSortedDoc),
    {nullptr, nullptr, 0, nullptr},
};

#undef VORLANE_METHOD

PyType_Slot filtered_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(py::no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(py::dealloc_instance<FilteredIndex>)},
    {Py_tp_methods, filtered_methods},
    {Py_sq_length, reinterpret_cast<void*>(view_length)},
    {Py_sq_contains, reinterpret_cast<void*>(view_contains)},
    {Py_tp_iter, reinterpret_cast<void*>(view_iter)},
    {Py_tp_traverse, reinterpret_cast<void*>(view_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(view_clear)},
    {0, nullptr},
};

PyType_Spec filtered_spec = {
    .name = "builtins.FilteredIndex",
    .basicsize = sizeof(py::Instance<FilteredIndex>),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    .slots = filtered_slots,
};

}  // namespace

namespace py_filtered {

PyTypeObject* filtered_index_type() {
    return py::lazy_type(filtered_type_cache, &filtered_spec);
}

PyObject* wrap_view(std::shared_ptr<IndexRecord> source, Bitmap selection) {
    return py::make_instance(filtered_index_type(),
                             FilteredIndex{std::move(source), std::move(selection)});
}

}  // namespace py_filtered

}  // namespace vorlane
