#include "index/filtered_index.hpp"

#include "index/indexable.hpp"
#include "index/query.hpp"
#include "py/args.hpp"
#include "py/errors.hpp"
#include "py/gil.hpp"
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
        PyObject* obj = item_at(*source, id);
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

template <const py::Signature* Sig, PyObject* (*Body)(PyObject*, py::Arguments&)>
PyObject* method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        py::Arguments parsed = py::parse_arguments(*Sig, args, nargs, kwnames);
        return Body(self, parsed);
    });
}

PyObject* reduced(PyObject* self, py::Arguments& args) {
    py::SharedBorrow use(borrow(self));
    HashQuery query = kwargs_to_hash_query(args.extra_keywords.get());
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

PyObject* rebase_method(PyObject* self, py::Arguments&) {
    py::SharedBorrow use(borrow(self));
    return py_index::wrap_record(rebase(view_of(self)));
}

constexpr py::Signature kReducedSig{.name = "FilteredIndex.reduced", .var_keyword = true};
constexpr py::Signature kCollectSig{.name = "FilteredIndex.collect"};
constexpr py::Signature kRebaseSig{.name = "FilteredIndex.rebase"};

#define VORLANE_METHOD(name, sig, body, doc)                                                   \
    {                                                                                          \
        name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method<&sig, body>)), \
            METH_FASTCALL | METH_KEYWORDS, doc                                                 \
    }

PyMethodDef filtered_methods[] = {
    VORLANE_METHOD("reduced", kReducedSig, reduced, "reduced($self, **kwargs)\n--\n\n"),
    VORLANE_METHOD("collect", kCollectSig, collect, "collect($self)\n--\n\n"),
    VORLANE_METHOD("rebase", kRebaseSig, rebase_method, "rebase($self)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
};

#undef VORLANE_METHOD

PyType_Slot filtered_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(py::no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(py::dealloc_instance<FilteredIndex>)},
    {Py_tp_methods, filtered_methods},
    {0, nullptr},
};

PyType_Spec filtered_spec = {
    .name = "builtins.FilteredIndex",
    .basicsize = sizeof(py::Instance<FilteredIndex>),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
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
