#pragma once
// The rule that no Python code runs and no Python object is made or dropped
// while a thread holds one of the module's locks, made checkable.
//
// Python code can call back into the module and wait for the very lock its
// caller holds; with the interpreter lock released elsewhere it can also
// close a cycle of waits between threads. So every lock of the module counts
// itself into a per-thread tally, and the few places where the module enters
// the object protocol (hashing, comparing, repr, iterating, asking a length,
// dropping a value) check the tally first. The tally and the checks are
// compiled into the debug and sanitizer builds only (VORLANE_CHECK_LOCK_RULE);
// a breach there ends the process with the place that broke the rule.

#include <Python.h>

namespace vorlane::py {

#ifdef VORLANE_CHECK_LOCK_RULE
inline constexpr bool kCheckLockRule = true;
#else
inline constexpr bool kCheckLockRule = false;
#endif

namespace lock_rule_detail {
void count_taken() noexcept;
void count_given_back() noexcept;
[[noreturn]] void report_breach(const char* what) noexcept;
int held() noexcept;
}  // namespace lock_rule_detail

// Called by every lock of the module when this thread takes or gives it back.
inline void note_lock_taken() noexcept {
    if constexpr (kCheckLockRule)
        lock_rule_detail::count_taken();
}
inline void note_lock_given_back() noexcept {
    if constexpr (kCheckLockRule)
        lock_rule_detail::count_given_back();
}

// How many of the module's locks this thread holds (0 where unchecked).
inline int locks_held() noexcept {
    if constexpr (kCheckLockRule)
        return lock_rule_detail::held();
    return 0;
}

// Ends the process when this thread holds one of the module's locks: `what`,
// about to run, could run Python code.
inline void expect_no_lock_held(const char* what) noexcept {
    if constexpr (kCheckLockRule) {
        if (lock_rule_detail::held() != 0)
            lock_rule_detail::report_breach(what);
    }
}

// The object protocol as the module calls it, each checked first.
inline Py_hash_t checked_hash(PyObject* obj) {
    expect_no_lock_held("hash");
    return PyObject_Hash(obj);
}
inline PyObject* checked_repr(PyObject* obj) {
    expect_no_lock_held("repr");
    return PyObject_Repr(obj);
}
inline PyObject* checked_iter(PyObject* obj) {
    expect_no_lock_held("iteration");
    return PyObject_GetIter(obj);
}
inline PyObject* checked_next(PyObject* iterator) {
    expect_no_lock_held("iteration");
    return PyIter_Next(iterator);
}
// A length hint as `len()` would give it: the object's `__len__`.
inline Py_ssize_t checked_length(PyObject* obj) {
    expect_no_lock_held("__len__");
    return PySequence_Size(obj);
}
// Stores into a dict: hashes `key` and compares it with the keys there.
inline int checked_dict_set(PyObject* dict, PyObject* key, PyObject* value) {
    expect_no_lock_held("rich compare");
    return PyDict_SetItem(dict, key, value);
}
// Drops a reference to a value: the last one runs its finaliser.
inline void checked_decref(PyObject* obj) {
    if (obj == nullptr)
        return;
    expect_no_lock_held("decref of a value");
    Py_DECREF(obj);
}

}  // namespace vorlane::py
