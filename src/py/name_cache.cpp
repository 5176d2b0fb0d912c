#include "py/name_cache.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <string_view>

#include "py/attached_lock.hpp"
#include "py/errors.hpp"
#include "py/identity_slot.hpp"

namespace vorlane::py {

namespace {

// The cache is set-associative: a str's address picks a set of `kWays`
// slots, and a miss puts the str first in its set, moving the others down
// and evicting the last. Objects are made with a few dozen names (a table's
// columns); mapped one slot per address, a few of those always shared a
// slot with another name of the same call and evicted each other on every
// object, each miss interning its text again under the process-wide mutex.
// Programs use few attribute names; one cycling through more than a set
// holds only falls back to interning, as without a cache.
constexpr size_t kSets = 128;
constexpr size_t kWays = 2;

struct Slot {
    PyObject* str = nullptr;  // a strong reference
    AttrName name;            // meaningful while `str` is set

    Slot() : name(AttrName::intern("")) {}
};

using Set = std::array<Slot, kWays>;

struct NameCache {
    std::array<Set, kSets> sets;
    AttachedMutex mutex;
};

NameCache& cache() {
    static NameCache* instance = new NameCache();  // never destroyed: holds names for the process
    return *instance;
}

Set& set_of(PyObject* str) {
    return cache().sets[identity_slot(str, kSets)];
}

// Whether `str` is cached, and its name if so. A flag and a name rather than
// an optional: every access takes this path, and the optional's copy went
// through memory and stalled on store forwarding.
struct Cached {
    bool hit;
    AttrName name;
};

Cached cached(PyObject* str) {
    AttachedLock lock(cache().mutex);
    const Set& set = set_of(str);
    for (const Slot& slot : set) {
        if (slot.str == str)
            return {true, slot.name};
    }
    return {false, set.front().name};  // the name is not read on a miss
}

void remember(PyObject* str, AttrName name) {
    if (!PyUnicode_CheckExact(str))
        return;  // a subclass could run Python code when released
    PyObject* evicted;
    {
        AttachedLock lock(cache().mutex);
        Set& set = set_of(str);
        evicted = set.back().str;
        std::move_backward(set.begin(), set.end() - 1, set.end());
        set.front().str = Py_NewRef(str);
        set.front().name = name;
    }
    Py_XDECREF(evicted);
}

// The UTF-8 text of a str, or nothing when it cannot be encoded (the error
// is cleared).
std::optional<std::string_view> utf8_of(PyObject* str) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(str, &size);
    if (text == nullptr) {
        PyErr_Clear();
        return std::nullopt;
    }
    return std::string_view(text, size);
}

}  // namespace

std::optional<AttrName> encodable_name(PyObject* name) {
    // A cached str was encoded when it entered the cache.
    if (Cached found = cached(name); found.hit)
        return found.name;
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(name, &size);
    if (text == nullptr)
        return std::nullopt;
    AttrName interned = AttrName::intern(std::string_view(text, size));
    remember(name, interned);
    return interned;
}

AttrName interned_name(PyObject* name) {
    if (std::optional<AttrName> interned = encodable_name(name))
        return *interned;
    PyErr_Clear();
    return AttrName::intern(std::string_view());
}

NameLookup look_up_name(PyObject* name) {
    if (Cached found = cached(name); found.hit)
        return {true, found.name};
    std::optional<std::string_view> text = utf8_of(name);
    if (!text)
        return {false, std::nullopt};
    std::optional<AttrName> found = AttrName::find(*text);
    if (found)
        remember(name, *found);
    return {true, found};
}

std::optional<AttrName> looked_up_name(PyObject* name) {
    NameLookup lookup = look_up_name(name);
    if (!lookup.encodable) {
        // Encoded again, to raise the error the look-up cleared.
        Py_ssize_t size = 0;
        if (PyUnicode_AsUTF8AndSize(name, &size) == nullptr)
            throw ErrorAlreadySet{};
    }
    return lookup.name;
}

}  // namespace vorlane::py
