#pragma once
// The result of `value_counts` as read from an index: the values that show
// each counted key (one value, or one per name of a tuple of names) and the
// key's count, in result order.
//
// It is filled under the index's use and made into the dict only once that
// use is given back: the keys' __hash__ and __eq__ are Python code that may
// use the index, and dropping the values' references may run finalisers
// that do. The caller therefore declares it before taking the use.

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "py/errors.hpp"
#include "py/lock_rule.hpp"
#include "py/ref.hpp"

namespace vorlane {

struct CountedKeys {
    // Values per key; keys of a tuple of names are tuples even of one name.
    size_t width = 1;
    bool tuples = false;
    // Owned references, `width` per shown group, in the groups' numbering.
    std::vector<PyObject*> values;
    // The result, in order: a group of `values` and its count.
    std::vector<std::pair<uint32_t, uint64_t>> counts;

    CountedKeys() = default;
    CountedKeys(const CountedKeys&) = delete;
    CountedKeys& operator=(const CountedKeys&) = delete;
    ~CountedKeys() {
        for (PyObject* value : values)
            py::checked_decref(value);
    }

    // The dict of the counts. Attached, with the index given back.
    PyObject* to_dict() const {
        py::Ref dict = py::Ref::steal(py::check(PyDict_New()));
        for (const auto& [group, count] : counts) {
            py::Ref key = key_of(group);
            py::Ref number = py::Ref::steal(py::check(PyLong_FromUnsignedLongLong(count)));
            py::check_status(py::checked_dict_set(dict.get(), key.get(), number.get()));
        }
        return dict.release();
    }

  private:
    py::Ref key_of(uint32_t group) const {
        PyObject* const* first = &values[size_t{group} * width];
        if (!tuples)
            return py::Ref::borrow(*first);
        py::Ref tuple = py::Ref::steal(py::check(PyTuple_New(static_cast<Py_ssize_t>(width))));
        for (size_t i = 0; i < width; ++i)
            PyTuple_SET_ITEM(tuple.get(), i, Py_NewRef(first[i]));
        return tuple;
    }
};

}  // namespace vorlane
