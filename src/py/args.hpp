#pragma once
// Argument parsing for fast-call functions and methods, with the
// interpreter's own wording for every error:
//   "f() takes 2 positional arguments but 3 were given"
//   "f() missing 1 required positional argument: 'b'"
//   "f() got an unexpected keyword argument 'c'"
//   "f() got multiple values for argument 'a'"

#include <Python.h>

#include <array>
#include <initializer_list>
#include <span>
#include <vector>

#include "py/ref.hpp"

namespace vorlane::py {

// Parameters a function accepts. Named parameters can be given by position
// or keyword; the first `required` of them must be given.
struct Signature {
    static constexpr size_t kMaxParams = 4;
    const char* name;  // as printed in messages, e.g. "Index.add_object"
    std::array<const char*, kMaxParams> params{};
    size_t nparams = 0;
    size_t required = 0;
    bool var_positional = false;  // *args: surplus positionals are collected
    bool var_keyword = false;     // **kwargs: unknown keywords are collected
};

struct Arguments {
    // Borrowed references, null where a parameter was not given.
    std::array<PyObject*, Signature::kMaxParams> values{};
    std::span<PyObject* const> extra_positional;
    // Dict of the keywords collected by **kwargs; null when none were given.
    Ref extra_keywords;
};

// Parses a vectorcall argument vector. Throws ErrorAlreadySet on a bad call.
Arguments parse_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf,
                          PyObject* kwnames);

// Parses tuple/dict arguments (tp_new and tp_init).
Arguments parse_tuple_arguments(const Signature& sig, PyObject* args, PyObject* kwargs);

// The items of a sequence argument, as new references. A str is refused with
// "Can't extract `str` to `Vec`" (a string is not a list of its characters),
// a non-sequence with "'<type>' object cannot be converted to 'Sequence'".
std::vector<Ref> extract_sequence(PyObject* obj);

}  // namespace vorlane::py
