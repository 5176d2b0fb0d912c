#include "py/args.hpp"

#include <algorithm>
#include <cstring>
#include <string>

#include "py/errors.hpp"
#include "py/lock_rule.hpp"

namespace vorlane::py {

std::string display_name(const Signature& sig) {
    if (sig.owner == nullptr)
        return sig.name;
    return std::string(sig.owner) + "." + sig.name;
}

namespace {

std::string quoted_list(const Signature& sig, const std::array<bool, Signature::kMaxParams>& which,
                        size_t count) {
    // 'a' / 'a' and 'b' / 'a', 'b', and 'c'
    std::string out;
    size_t seen = 0;
    for (size_t i = 0; i < sig.nparams; ++i) {
        if (!which[i])
            continue;
        if (seen > 0)
            out += count > 2 ? (seen + 1 == count ? ", and " : ", ") : " and ";
        out += '\'';
        out += sig.params[i];
        out += '\'';
        ++seen;
    }
    return out;
}

[[noreturn]] void raise_too_many_positional(const Signature& sig, size_t given) {
    size_t max = sig.nparams;
    std::string takes = sig.required == max
                            ? std::to_string(max) + " positional argument" + (max == 1 ? "" : "s")
                            : "from " + std::to_string(sig.required) + " to " +
                                  std::to_string(max) + " positional arguments";
    raise_error(PyExc_TypeError, display_name(sig) + "() takes " + takes + " but " +
                                     std::to_string(given) + (given == 1 ? " was" : " were") +
                                     " given");
}

[[noreturn]] void raise_missing(const Signature& sig, const Arguments& out) {
    std::array<bool, Signature::kMaxParams> missing{};
    size_t count = 0;
    for (size_t i = 0; i < sig.required; ++i) {
        if (out.values[i] == nullptr) {
            missing[i] = true;
            ++count;
        }
    }
    raise_error(PyExc_TypeError, display_name(sig) + "() missing " + std::to_string(count) +
                                     " required positional argument" + (count == 1 ? "" : "s") +
                                     ": " + quoted_list(sig, missing, count));
}

// Index of the named parameter whose text is `key`'s, or -1.
Py_ssize_t find_param_by_text(const Signature& sig, PyObject* key) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(key, &size);
    if (text == nullptr) {
        PyErr_Clear();
        return -1;
    }
    for (size_t i = 0; i < sig.nparams; ++i) {
        if (std::strlen(sig.params[i]) == static_cast<size_t>(size) &&
            std::memcmp(sig.params[i], text, size) == 0)
            return static_cast<Py_ssize_t>(i);
    }
    return -1;
}

// Index of the named parameter `key`, or -1: by identity with the names
// `strs` keeps, else by text. An interned `key` found by text is kept for
// the next call.
Py_ssize_t find_param(const Signature& sig, ParamStrs* strs, PyObject* key) {
    if (strs != nullptr) {
        for (size_t i = 0; i < sig.nparams; ++i) {
            if (strs->strs[i].load(std::memory_order_relaxed) == key)
                return static_cast<Py_ssize_t>(i);
        }
    }
    Py_ssize_t slot = find_param_by_text(sig, key);
    if (slot >= 0 && strs != nullptr && PyUnicode_CheckExact(key) &&
        PyUnicode_CHECK_INTERNED(key)) {
        // The first interned str seen stays, held, so it stays the one
        // interned str of its text; other strs of the text are found by text.
        PyObject* expected = nullptr;
        if (strs->strs[slot].compare_exchange_strong(expected, key, std::memory_order_relaxed))
            Py_INCREF(key);
    }
    return slot;
}

void take_positional(const Signature& sig, PyObject* const* args, size_t nargs, Arguments& out) {
    size_t named = nargs < sig.nparams ? nargs : sig.nparams;
    if (nargs > sig.nparams && !sig.var_positional)
        raise_too_many_positional(sig, nargs);
    for (size_t i = 0; i < named; ++i)
        out.values[i] = args[i];
    if (nargs > named)
        out.extra_positional = std::span<PyObject* const>(args + named, nargs - named);
}

// Whether two keyword names are one dict key. Names are str; anything else
// is only ever equal to itself here, and fails where the name is read.
bool same_name(PyObject* a, PyObject* b) {
    if (a == b)
        return true;
    if (!PyUnicode_Check(a) || !PyUnicode_Check(b))
        return false;
    return PyUnicode_GET_LENGTH(a) == PyUnicode_GET_LENGTH(b) && PyUnicode_Compare(a, b) == 0;
}

using Keywords = decltype(Arguments::extra_keywords);

// Up to this many keywords, repeated names are looked for pair by pair;
// past it, among the names sorted, so that a call with many keywords costs
// n log n rather than n^2 comparisons.
constexpr size_t kPairwiseKeywords = 16;

// Merges repeated names as a dict of the keywords would: a repeated name
// (which only a caller from C can pass) replaces the value in its first
// place. Quadratic, and only called when a name repeats.
void merge_pairwise(Keywords& keywords) {
    Keywords merged;
    for (const Keyword& keyword : keywords) {
        auto seen = std::find_if(merged.begin(), merged.end(), [&](const Keyword& kept) {
            return same_name(kept.name, keyword.name);
        });
        if (seen != merged.end())
            seen->value = keyword.value;
        else
            merged.push_back(keyword);
    }
    keywords = std::move(merged);
}

// A strict order of names in which equal names (`same_name`) are
// neighbours: non-str names by address, before every str; strs by text.
bool name_before(PyObject* a, PyObject* b) {
    bool a_str = PyUnicode_Check(a);
    bool b_str = PyUnicode_Check(b);
    if (a_str != b_str)
        return b_str;
    if (!a_str)
        return std::less<PyObject*>()(a, b);
    return PyUnicode_Compare(a, b) < 0;
}

bool has_repeated_name(const Keywords& keywords) {
    if (keywords.size() <= kPairwiseKeywords) {
        for (size_t i = 1; i < keywords.size(); ++i) {
            for (size_t j = 0; j < i; ++j) {
                if (same_name(keywords[j].name, keywords[i].name))
                    return true;
            }
        }
        return false;
    }
    std::vector<PyObject*> names;
    names.reserve(keywords.size());
    for (const Keyword& keyword : keywords)
        names.push_back(keyword.name);
    std::sort(names.begin(), names.end(), name_before);
    return std::adjacent_find(names.begin(), names.end(), same_name) != names.end();
}

void merge_repeated_names(Keywords& keywords) {
    if (has_repeated_name(keywords))
        merge_pairwise(keywords);
}

void take_keyword(const Signature& sig, ParamStrs* strs, PyObject* key, PyObject* value,
                  Arguments& out) {
    Py_ssize_t slot = sig.nparams == 0 ? -1 : find_param(sig, strs, key);
    if (slot >= 0) {
        if (out.values[slot] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'",
                         display_name(sig).c_str(), sig.params[slot]);
            throw ErrorAlreadySet{};
        }
        out.values[slot] = value;
        return;
    }
    if (!sig.var_keyword) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'",
                     display_name(sig).c_str(), key);
        throw ErrorAlreadySet{};
    }
    out.extra_keywords.push_back({key, value});
}

void check_required(const Signature& sig, const Arguments& out) {
    for (size_t i = 0; i < sig.required; ++i) {
        if (out.values[i] == nullptr)
            raise_missing(sig, out);
    }
}

}  // namespace

Arguments parse_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf,
                          PyObject* kwnames, ParamStrs* strs) {
    Arguments out;
    size_t nargs = static_cast<size_t>(PyVectorcall_NARGS(nargsf));
    take_positional(sig, args, nargs, out);
    if (kwnames != nullptr) {
        Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t i = 0; i < nkw; ++i)
            take_keyword(sig, strs, PyTuple_GET_ITEM(kwnames, i), args[nargs + i], out);
        merge_repeated_names(out.extra_keywords);
    }
    check_required(sig, out);
    return out;
}

Arguments parse_tuple_arguments(const Signature& sig, PyObject* args, PyObject* kwargs) {
    Arguments out;
    size_t nargs = static_cast<size_t>(PyTuple_GET_SIZE(args));
    take_positional(sig, &PyTuple_GET_ITEM(args, 0), nargs, out);
    if (kwargs != nullptr) {
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        Py_ssize_t pos = 0;
        while (PyDict_Next(kwargs, &pos, &key, &value))
            take_keyword(sig, nullptr, key, value, out);
        // Distinct keys may still spell one name (a str subclass that
        // hashes differently).
        merge_repeated_names(out.extra_keywords);
    }
    check_required(sig, out);
    return out;
}

namespace {

// The most items reserved on the word of a sequence's length: a length is a
// hint, not a promise (a range of 2**37 ints, a __len__ that overstates), so
// beyond this the buffer grows as items actually arrive.
constexpr size_t kMaxReservedItems = size_t{1} << 16;

}  // namespace

BulkVector<Ref> extract_sequence(PyObject* obj, void (*check_item)(PyObject*)) {
    if (PyUnicode_Check(obj))
        raise_error(PyExc_TypeError, "Can't extract `str` to `Vec`");
    if (!PySequence_Check(obj))
        raise_conversion_error(obj, "Sequence");
    BulkVector<Ref> items;
    Py_ssize_t hint = checked_length(obj);
    if (hint < 0)
        PyErr_Clear();
    else
        items.reserve(std::min(static_cast<size_t>(hint), kMaxReservedItems));
    Ref iterator = Ref::steal(check(checked_iter(obj)));
    while (PyObject* item = checked_next(iterator.get())) {
        Ref held = Ref::steal(item);
        if (check_item != nullptr)
            check_item(held.get());
        sized_by_input([&] { items.push_back(std::move(held)); });
    }
    if (PyErr_Occurred())
        throw ErrorAlreadySet{};
    return items;
}

namespace {

// A count of objects given as argument `name`: an int (not a bool) that is
// not negative; `negative` is the message of the ValueError for one that is.
size_t count_argument(PyObject* obj, const char* name, const char* negative) {
    long long count = convert_argument(name, [&] {
        if (!PyLong_Check(obj) || PyBool_Check(obj))
            raise_conversion_error(obj, "int");
        long long value = PyLong_AsLongLong(obj);
        if (value == -1 && PyErr_Occurred()) {
            // Too large to count with: named like any error of this argument.
            prefix_argument_error(name, PyExc_OverflowError);
            throw ErrorAlreadySet{};
        }
        return value;
    });
    if (count < 0)
        raise_error(PyExc_ValueError, negative);
    return static_cast<size_t>(count);
}

}  // namespace

std::optional<size_t> limit_argument(PyObject* obj) {
    if (obj == nullptr || obj == Py_None)
        return std::nullopt;
    return count_argument(obj, "limit", "limit must not be negative");
}

size_t offset_argument(PyObject* obj) {
    if (obj == nullptr)
        return 0;
    return count_argument(obj, "offset", "offset must not be negative");
}

bool reverse_argument(PyObject* obj) {
    if (obj == nullptr)
        return false;
    return convert_argument("reverse", [&] {
        if (!PyBool_Check(obj))
            raise_conversion_error(obj, "PyBool");
        return obj == Py_True;
    });
}

}  // namespace vorlane::py
