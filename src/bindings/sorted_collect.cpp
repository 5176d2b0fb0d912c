#include "bindings/sorted_collect.hpp"

#include <limits>

#include "py/value.hpp"
#include "py/errors.hpp"
#include "py/ref.hpp"

namespace vorlane {

namespace {

// Collects ids in tree order until `limit` is reached. Entries of equal value
// come out of a reverse walk in descending id order; they are buffered and
// emitted ascending, so ties always read by ascending id.
class SortedWalk {
  public:
    SortedWalk(const Bitmap& selection, size_t limit, bool reverse)
        : selection_(selection), limit_(limit), reverse_(reverse) {
        nan_above_ = encode_value96(std::numeric_limits<double>::infinity());
        nan_below_ = encode_value96(-std::numeric_limits<double>::infinity());
    }

    // False once enough ids were collected.
    bool walk(const BitMapBTreeNode& node) {
        if (const auto* internal = std::get_if<std::unique_ptr<InternalNode>>(&node)) {
            return *internal ? walk_internal(**internal) : true;
        }
        const auto& leaf = std::get<std::unique_ptr<LeafNode>>(node);
        return leaf ? walk_leaf(*leaf) : true;
    }

    std::vector<uint32_t> finish() {
        flush_ties();
        if (ids_.size() > limit_)
            ids_.resize(limit_);
        return std::move(ids_);
    }

  private:
    uint32_t slot(uint32_t k, uint32_t offset, uint32_t len) const {
        return reverse_ ? offset + len - 1 - k : offset + k;
    }

    bool walk_internal(const InternalNode& node) {
        for (uint32_t k = 0; k < node.len; ++k) {
            uint32_t i = slot(k, node.offset, node.len);
            const std::optional<Bitmap>& ids = node.bitmaps[i];
            // A child none of whose ids is selected is skipped whole.
            if (ids && !roaring_bitmap_intersect(ids->raw(), selection_.raw()))
                continue;
            if (!walk(node.children[i]))
                return false;
        }
        return true;
    }

    bool walk_leaf(const LeafNode& leaf) {
        for (uint32_t k = 0; k < leaf.len; ++k) {
            const CompositeKey128& entry = leaf.keys[slot(k, leaf.offset, leaf.len)];
            Key128 code = entry.value_code();
            if (code > nan_above_ || code < nan_below_)
                continue;  // NaN compares with nothing
            if (!selection_.contains(entry.id()))
                continue;
            if (!take(code, entry.id()))
                return false;
        }
        return true;
    }

    bool take(Key128 code, uint32_t id) {
        if (!reverse_) {
            ids_.push_back(id);
            return ids_.size() < limit_;
        }
        if (!ties_.empty() && code != tie_code_) {
            flush_ties();
            if (ids_.size() >= limit_)
                return false;
        }
        tie_code_ = code;
        ties_.push_back(id);
        return true;
    }

    void flush_ties() {
        ids_.insert(ids_.end(), ties_.rbegin(), ties_.rend());
        ties_.clear();
    }

    const Bitmap& selection_;
    size_t limit_;
    bool reverse_;
    Key128 nan_above_;
    Key128 nan_below_;
    std::vector<uint32_t> ids_;
    std::vector<uint32_t> ties_;
    Key128 tie_code_ = 0;
};

std::optional<size_t> limit_argument(PyObject* obj) {
    if (obj == nullptr || obj == Py_None)
        return std::nullopt;
    long long limit = py::convert_argument("limit", [&] {
        if (!PyLong_Check(obj) || PyBool_Check(obj))
            py::raise_conversion_error(obj, "int");
        long long value = PyLong_AsLongLong(obj);
        if (value == -1 && PyErr_Occurred())
            throw py::ErrorAlreadySet{};
        return value;
    });
    if (limit < 0)
        py::raise_error(PyExc_ValueError, "limit must not be negative");
    return static_cast<size_t>(limit);
}

bool reverse_argument(PyObject* obj) {
    if (obj == nullptr)
        return false;
    return py::convert_argument("reverse", [&] {
        if (!PyBool_Check(obj))
            py::raise_conversion_error(obj, "PyBool");
        return obj == Py_True;
    });
}

}  // namespace

std::vector<uint32_t> sorted_ids(const BitMapBTree& tree, const Bitmap& selection,
                                 std::optional<size_t> limit, bool reverse) {
    size_t cap = limit.value_or(std::numeric_limits<size_t>::max());
    if (cap == 0 || selection.is_empty())
        return {};
    SortedWalk walk(selection, cap, reverse);
    walk.walk(tree.root());
    return walk.finish();
}

py::Signature collect_sorted_signature(const char* name) {
    return {.name = name, .params = {"attr", "limit", "reverse"}, .nparams = 3, .required = 1};
}

PyObject* collect_sorted(const IndexRecord& source, const Bitmap& selection,
                         const py::Arguments& args) {
    AttrName attr = attr_argument(args.values[0], "attr");
    std::optional<size_t> limit = limit_argument(args.values[1]);
    bool reverse = reverse_argument(args.values[2]);
    std::vector<uint32_t> ids;
    {
        LockedMaps::ReadGuard maps(*source.maps);
        auto found = maps->find(attr);
        if (found != maps->end())
            ids = sorted_ids(found->second->tree(), selection, limit, reverse);
    }
    std::vector<PyObject*> objects;
    objects.reserve(ids.size());
    {
        LockedItems::ReadGuard table(*source.items);
        for (uint32_t id : ids) {
            if (id < table->size() && !(*table)[id].empty())
                objects.push_back(Py_NewRef((*table)[id].get()));
        }
    }
    return list_from_references(objects);
}

}  // namespace vorlane
