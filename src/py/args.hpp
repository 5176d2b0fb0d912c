#pragma once
// Argument parsing for fast-call functions and methods, with the
// interpreter's own wording for every error:
//   "f() takes 2 positional arguments but 3 were given"
//   "f() missing 1 required positional argument: 'b'"
//   "f() got an unexpected keyword argument 'c'"
//   "f() got multiple values for argument 'a'"

#include <Python.h>

#include <absl/container/inlined_vector.h>

#include <array>
#include <atomic>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "engine/bulk_buffer.hpp"
#include "py/ref.hpp"

namespace vorlane::py {

// Parameters a function accepts. Named parameters can be given by position
// or keyword; the first `required` of them must be given.
struct Signature {
    static constexpr size_t kMaxParams = 4;
    const char* name;  // as printed in messages, e.g. "Index.add_object" or "add_object"
    std::array<const char*, kMaxParams> params{};
    size_t nparams = 0;
    size_t required = 0;
    bool var_positional = false;  // *args: surplus positionals are collected
    bool var_keyword = false;     // **kwargs: unknown keywords are collected
    // The class whose method this is, when `name` is the method's alone:
    // messages then print "<owner>.<name>()". Lets methods that several
    // classes share keep one signature per class.
    const char* owner = nullptr;
};

// The name printed in messages: "<owner>.<name>" or "<name>".
std::string display_name(const Signature& sig);

// A keyword argument collected by **kwargs: borrowed name and value, alive
// for the whole call (the caller holds them).
struct Keyword {
    PyObject* name;
    PyObject* value;
};

// Keywords that calls commonly pass, held without allocating.
inline constexpr size_t kInlineKeywords = 4;

struct Arguments {
    // Borrowed references, null where a parameter was not given.
    std::array<PyObject*, Signature::kMaxParams> values{};
    std::span<PyObject* const> extra_positional;
    // The keywords collected by **kwargs, in the order a dict of them would
    // list them: a name given twice keeps its first place and its last
    // value. Collected without building the dict, which a call would only
    // read once.
    absl::InlinedVector<Keyword, kInlineKeywords> extra_keywords;
};

// The interned str of each parameter name of one signature, kept the first
// time a call passes it as a keyword. Call sites pass interned keyword
// names, so a keyword is then found by one pointer compare per parameter
// instead of a comparison of texts. Each entry is null until seen, then a
// strong reference kept for the process; entries are only ever set once.
struct ParamStrs {
    std::array<std::atomic<PyObject*>, Signature::kMaxParams> strs{};
};

// The cache of the signature `Sig`, one per signature.
template <const Signature* Sig>
inline ParamStrs param_strs_of{};

// Parses a vectorcall argument vector, with `strs` the cache of `sig`'s
// names (null for none). Throws ErrorAlreadySet on a bad call.
Arguments parse_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf,
                          PyObject* kwnames, ParamStrs* strs = nullptr);

// Parses tuple/dict arguments (tp_new and tp_init).
Arguments parse_tuple_arguments(const Signature& sig, PyObject* args, PyObject* kwargs);

// The items of a sequence argument, as new references. A str is refused with
// "Can't extract `str` to `Vec`" (a string is not a list of its characters),
// a non-sequence with "'<type>' object cannot be converted to 'Sequence'".
// Each item is checked by `check_item` (when given) as it arrives, so a
// wrong item fails before the rest is read. The sequence's length only sizes
// the first reservation; running out of memory for the items raises
// MemoryError.
BulkVector<Ref> extract_sequence(PyObject* obj, void (*check_item)(PyObject*) = nullptr);

// The `limit` argument of a listing: absent or None for no limit, else an
// int (not a bool) that is not negative.
std::optional<size_t> limit_argument(PyObject* obj);
// The `offset` argument of a listing: absent for 0, else an int (not a bool)
// that is not negative, a count of objects to pass over.
size_t offset_argument(PyObject* obj);
// The `reverse` argument of a listing: absent for False, else a bool.
bool reverse_argument(PyObject* obj);

}  // namespace vorlane::py
