#pragma once
// Objects whose key a value can derive from the object itself because the
// interpreter caches their hash in them: exact `datetime.date`, and exact
// naive `datetime.datetime`, `datetime.time` and `datetime.timedelta`.
//
// Each of these immutable types keeps the hash it computed in a field right
// after the object header (-1 until the first hash), and computes it in C
// from the object's own fields. Once conversion has hashed the object, the
// field holds that hash for the object's lifetime, so a value of these kinds
// need not keep a copy of it. A datetime or time that carries a tzinfo
// hashes through `utcoffset`, which is Python code: such values keep their
// hash themselves, as any other object does.

#include <Python.h>

#include <cstdint>

namespace vorlane::py {

// Resolves the types from the datetime module's C API. Called once, attached,
// when the module is set up; if it fails, no object has its hash read from
// it (every such value keeps its own copy).
void resolve_cached_hash_types();

// Whether `obj` is of one of the types above and, tz-aware objects excluded,
// has cached `hash` (the result of hashing it at conversion). Attached.
bool caches_hash(PyObject* obj, int64_t hash);

// Whether `obj` is of one of the types above and, tz-aware objects excluded,
// has cached its hash already (as the dates a table's rows share have once
// the first row was converted): `caches_hash` then holds for the hash that
// hashing it would give, which need not be asked for. Attached.
bool holds_cached_hash(PyObject* obj);
// Whether `obj` is of one of those types. Needs no interpreter.
bool is_cached_hash_type(PyObject* obj);

// The hash cached in an object for which `caches_hash` held. Needs no
// interpreter: the field is written once, before the object reached us
// (another thread may write the same value again), so it is read atomically.
int64_t cached_hash(PyObject* obj);

}  // namespace vorlane::py
