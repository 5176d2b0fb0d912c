#include "py/cached_hash.hpp"

#include <datetime.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

namespace vorlane::py {

namespace {

// The four types, in this order; null until resolved. Written once, attached,
// before any value is converted; read detached afterwards.
enum CachedHashType : uint8_t { kDate, kDateTime, kTime, kDelta, kTypeCount };
std::array<std::atomic<PyTypeObject*>, kTypeCount> types{};

// Every one of the types keeps its hash right after the object header.
static_assert(offsetof(PyDateTime_Delta, hashcode) == offsetof(PyDateTime_Date, hashcode));
static_assert(offsetof(PyDateTime_DateTime, hashcode) == offsetof(PyDateTime_Date, hashcode));
static_assert(offsetof(PyDateTime_Time, hashcode) == offsetof(PyDateTime_Date, hashcode));

// The interpreter's mark of a hash not computed yet.
constexpr Py_hash_t kNoHashYet = -1;

PyTypeObject* type_at(CachedHashType which) {
    return types[which].load(std::memory_order_relaxed);
}

Py_hash_t* hash_field(PyObject* obj) {
    return &reinterpret_cast<PyDateTime_Date*>(obj)->hashcode;
}

// A datetime or time without a tzinfo hashes its own fields only. (The
// tzinfo is read borrowed; None when there is none.)
bool is_naive_datetime(PyObject* obj) {
    return PyDateTime_DATE_GET_TZINFO(obj) == Py_None;
}
bool is_naive_time(PyObject* obj) {
    return PyDateTime_TIME_GET_TZINFO(obj) == Py_None;
}

}  // namespace

void resolve_cached_hash_types() {
    PyDateTime_IMPORT;
    if (PyDateTimeAPI == nullptr) {
        PyErr_Clear();
        return;
    }
    types[kDate].store(PyDateTimeAPI->DateType, std::memory_order_relaxed);
    types[kDateTime].store(PyDateTimeAPI->DateTimeType, std::memory_order_relaxed);
    types[kTime].store(PyDateTimeAPI->TimeType, std::memory_order_relaxed);
    types[kDelta].store(PyDateTimeAPI->DeltaType, std::memory_order_relaxed);
}

bool is_cached_hash_type(PyObject* obj) {
    PyTypeObject* type = Py_TYPE(obj);
    for (const auto& known : types) {
        if (type == known.load(std::memory_order_relaxed))
            return true;
    }
    return false;
}

bool holds_cached_hash(PyObject* obj) {
    PyTypeObject* type = Py_TYPE(obj);
    if (!is_cached_hash_type(obj))
        return false;
    if (type == type_at(kDateTime) && !is_naive_datetime(obj))
        return false;
    if (type == type_at(kTime) && !is_naive_time(obj))
        return false;
    return __atomic_load_n(hash_field(obj), __ATOMIC_RELAXED) != kNoHashYet;
}

bool caches_hash(PyObject* obj, int64_t hash) {
    return holds_cached_hash(obj) && cached_hash(obj) == hash;
}

int64_t cached_hash(PyObject* obj) {
    return __atomic_load_n(hash_field(obj), __ATOMIC_RELAXED);
}

}  // namespace vorlane::py
