#include "py/keywords.hpp"

#include <optional>

#include "engine/panic.hpp"
#include "py/errors.hpp"
#include "py/name_cache.hpp"
#include "py/ref.hpp"
#include "py/value.hpp"

namespace vorlane {

namespace {

// Whether PyObject_GetIter would refuse `value` as not iterable (no
// iterator slot and no sequence protocol). Asked first, so that a plain
// value such as an int costs no exception raised only to be cleared.
bool plainly_not_iterable(PyObject* value) {
    return Py_TYPE(value)->tp_iter == nullptr && !PySequence_Check(value);
}

// Adds the keys of `value` (one value, or the items of an iterable) to
// `keys`, which is empty.
void add_keyword_values(PyObject* value, QueryValues& keys) {
    // A string is never split into its characters.
    if (PyUnicode_Check(value) || plainly_not_iterable(value)) {
        keys.push_back(PyValue::key_of(value));
        return;
    }
    py::Ref iterator = py::Ref::steal(py::checked_iter(value));
    if (!iterator) {
        PyErr_Clear();
        keys.push_back(PyValue::key_of(value));
        return;
    }
    DistinctKeys distinct(keys);
    while (PyObject* item = py::checked_next(iterator.get())) {
        py::Ref held = py::Ref::steal(item);
        distinct.add(PyValue::key_of(held.get()));
    }
    if (PyErr_Occurred()) {
        PyErr_Clear();
        panic(kUnwrapErr);
    }
}

// The attribute name of a keyword, looked up and not interned: a name no
// object ever carried is the absent name, which matches nothing. Its text
// must be encodable: a name that is not raises its UnicodeEncodeError.
AttrName keyword_name(PyObject* key) {
    return py::looked_up_name(key).value_or(AttrName::absent());
}

}  // namespace

HashQuery keywords_to_hash_query(std::span<const py::Keyword> keywords) {
    HashQuery query;
    for (const py::Keyword& keyword : keywords) {
        HashQueryEntry entry{keyword_name(keyword.name), {}};
        add_keyword_values(keyword.value, entry.values);
        query.push_back(std::move(entry));
    }
    return query;
}

}  // namespace vorlane
