#pragma once
// The Python class `PyQueryExpr`: an immutable query expression built by its
// static methods (eq, ne, gt, ge, le, bt, lt, in_, and_, or_, not_).

#include <Python.h>

#include "engine/query_expr.hpp"

namespace vorlane::py_query {

// The `PyQueryExpr` class, created on first use.
PyTypeObject* query_expr_type();

// A copy of the expression held by a `PyQueryExpr`, as the evaluator reads
// it, or the conversion error naming "PyQueryExpr".
QueryExpr copy_expr(PyObject* obj);

}  // namespace vorlane::py_query
