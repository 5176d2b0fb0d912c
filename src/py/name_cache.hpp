#pragma once
// Attribute names of str objects, cached by the object's identity.
//
// `AttrName::intern` hashes and compares a name's UTF-8 text under a
// process-wide mutex. Attribute access passes the same str object each time
// (the one in the code object, or a keyword's key), so a small cache keyed by
// the object's address answers most look-ups with one comparison. The cache
// holds a strong reference to each str it keys, so the address cannot be
// reused by another object while the entry lives; it takes exact strs only,
// whose release runs no Python code. It is used attached only: the
// interpreter lock serialises it, and free-threaded builds add a mutex.

#include <Python.h>

#include <optional>

#include "engine/attr_name.hpp"

namespace vorlane::py {

// The interned name of the str `name`. A name whose text cannot be encoded
// as UTF-8 is the empty name (the encoding error is cleared).
AttrName interned_name(PyObject* name);

// The interned name of the str `name`, or nothing with the encoding error
// set when its text cannot be encoded as UTF-8: for names that must be valid.
std::optional<AttrName> encodable_name(PyObject* name);

// What the str `name` names for a look-up: `encodable` is false when its text
// cannot be encoded (the error is cleared); `name` is empty when no name with
// that text was ever interned, so that nothing can hold it.
struct NameLookup {
    bool encodable;
    std::optional<AttrName> name;
};
NameLookup look_up_name(PyObject* name);

// The interned name of the str `name`, or nothing when no name of its text
// was ever interned (none is made). A text that cannot be encoded raises
// its UnicodeEncodeError: for names that must be valid.
std::optional<AttrName> looked_up_name(PyObject* name);

}  // namespace vorlane::py
