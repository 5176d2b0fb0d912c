#include "bindings/filtered_index.hpp"

#include <array>

#include "bindings/index.hpp"
#include "bindings/indexable.hpp"
#include "bindings/selection.hpp"
#include "engine/attribute_maps.hpp"
#include "py/args.hpp"
#include "py/method.hpp"
#include "py/object_lock.hpp"
#include "py/type.hpp"

namespace vorlane {

std::shared_ptr<IndexRecord> rebase(const FilteredIndex& view) {
    LockedItems::ReadGuard source(*view.source->items);
    auto fresh = IndexRecord::new_();
    const Bitmap& selection = view.selection.bitmap();
    fresh->live_ids = selection.copy();
    LockedMaps::WriteGuard maps(*fresh->maps);
    LockedItems::WriteGuard table(*fresh->items);
    selection.for_each([&](uint32_t id) {
        // Objects removed from the source since the view was made are left out.
        PyObject* obj = slot_object(*source, id);
        if (obj == nullptr) {
            fresh->live_ids.remove(id);
            return;
        }
        // Registered and read in one step, while the new maps are locked: an
        // assignment that finds the new index waits for them and moves the
        // object there too; one that came first is read here.
        Indexable& object = py::record_of<Indexable>(obj);
        py::ObjectWriteLock lock(py_indexable::object_lock(obj));
        object.add_index(fresh);
        store_item(*table, id, StoredItem::of(obj));
        for (ObjectAttributes::Entry attr : object.attributes)
            add_index_value(*maps, id, attr.name, attr.value.key());
    });
    return fresh;
}

namespace {

PyTypeObject* filtered_type_cache = nullptr;

// What `FilteredIndex` gives the methods it shares with `Index`.
struct ViewClass {
    using Record = FilteredIndex;
    static constexpr const char* kName = "FilteredIndex";
    static Scope scope(const FilteredIndex& view, PyObject*) {
        return {view.source, &view.selection, view.owner.get()};
    }
    // The view reaches the item table through the index that owns it.
    static int traverse(const FilteredIndex& view, visitproc visit, void* arg) {
        Py_VISIT(view.owner.get());
        return 0;
    }
    static FilteredIndex empty() {
        return {IndexRecord::new_(), ViewSelection(Bitmap()), py::Ref()};
    }
    static PyObject* wrap_view(const Scope& scope, ViewSelection selection) {
        return py_filtered::wrap_view(scope.owner, scope.record, std::move(selection));
    }
};
using Shared = SharedMethods<ViewClass>;

PyObject* rebase_method(PyObject* self, py::Arguments&) {
    py::SharedBorrow use(py::borrow_of<FilteredIndex>(self));
    return py_index::wrap_record(rebase(py::record_of<FilteredIndex>(self)));
}

constexpr py::Signature kRebaseSig{.name = "rebase", .owner = "FilteredIndex"};

std::array filtered_methods = py::method_table(
    std::array{
        Shared::reduced_def(),
        Shared::collect_def(),
        py::method_def<&kRebaseSig, rebase_method>(
            "rebase",
            "rebase($self)\n--\n\n"
            "A new, independent Index of exactly the selected objects, indexed by their current "
            "values, names beginning with \"_\" included."),
        Shared::reduced_query_def("reduced_query($self, query)\n--\n\n"
                                  "A new view of the selected objects that satisfy the query "
                                  "expression; negations are taken within this view's selection."),
    },
    Shared::reads_defs());

std::array filtered_slots = py::slot_table(
    std::array{
        py::slot(Py_tp_new, py::no_constructor),
        py::slot(Py_tp_dealloc, py::dealloc_instance<FilteredIndex>),
        py::slot(Py_tp_methods, filtered_methods.data()),
    },
    Shared::shared_slots());

PyType_Spec filtered_spec = py::spec_of<FilteredIndex>(
    "builtins.FilteredIndex", Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, filtered_slots.data());

}  // namespace

namespace py_filtered {

PyTypeObject* filtered_index_type() {
    return py::lazy_type(filtered_type_cache, &filtered_spec);
}

PyObject* wrap_view(PyObject* owner, std::shared_ptr<IndexRecord> source, ViewSelection selection) {
    return py::make_instance(
        filtered_index_type(),
        FilteredIndex{std::move(source), std::move(selection), py::Ref::borrow(owner)});
}

}  // namespace py_filtered

}  // namespace vorlane
