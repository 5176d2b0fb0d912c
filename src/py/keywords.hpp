#pragma once
// Turning a call's keyword arguments into a keyword-equality query.

#include <span>

#include "engine/hash_query.hpp"
#include "py/args.hpp"

namespace vorlane {

// The query of a call's **kwargs keywords: each keyword names an attribute.
// A str value is one value (never split into characters); another iterable
// contributes its items; anything else is one value. Runs Python code
// (iterators, __hash__): attached only. An iterator that raises part-way is
// the internal error "called `Result::unwrap()` on an `Err` value"; a
// keyword name that cannot be encoded raises its UnicodeEncodeError.
HashQuery keywords_to_hash_query(std::span<const py::Keyword> keywords);

}  // namespace vorlane
