#pragma once
// Queries over an index's attribute maps.
//
// - `HashQuery`: keyword equality, attribute name -> set of values, built from
//   the keyword arguments of a call and evaluated by `match_hashes`.
// - `QueryExpr`: an immutable expression tree (eq, ne, gt, ge, lt, le, bt,
//   in, not, and, or), built by the Python class `PyQueryExpr` and evaluated
//   by `evaluate_query`.
// Both evaluations are Python-free and run with the maps read-locked; the
// calls that may do much work release the interpreter lock around them.

#include <Python.h>

#include <absl/container/inlined_vector.h>

#include <memory>
#include <span>
#include <variant>
#include <vector>

#include "engine/attr_name.hpp"
#include "engine/bitmap.hpp"
#include "bindings/index.hpp"
#include "py/value.hpp"
#include "py/args.hpp"

namespace vorlane {

// ---------------------------------------------------------------------------
// Keyword equality.

// Values and attributes that keyword queries commonly hold, kept inline:
// building a query then allocates nothing.
inline constexpr size_t kInlineQueryValues = 1;
inline constexpr size_t kInlineQueryEntries = 4;

struct HashQueryEntry {
    AttrName name;
    // Distinct keys (equal stored hashes collapse), in the order first seen.
    absl::InlinedVector<ValueKey, kInlineQueryValues> values;
};
using HashQuery = absl::InlinedVector<HashQueryEntry, kInlineQueryEntries>;

// Builds the query from a call's **kwargs keywords. A str value is one
// value; another iterable contributes its items; anything else is one value.
// Runs Python code (iterators, __hash__): attached only.
HashQuery keywords_to_hash_query(std::span<const py::Keyword> keywords);

// The ids a keyword query selects, in ascending order. When one value set
// of the maps answers the query alone it is borrowed, not copied: a match
// is valid only while the maps' read lock that produced it is held.
class HashMatch {
  public:
    // Ids of a small result, kept inline: as many as are ever probed.
    static constexpr size_t kInlineIds = 64;
    using FewIds = absl::InlinedVector<uint32_t, kInlineIds>;

    static HashMatch borrowed(const Bitmap& ids) { return HashMatch(&ids); }
    static HashMatch owned(Bitmap ids) { return HashMatch(std::move(ids)); }
    // `ids` ascending and distinct.
    static HashMatch few(FewIds ids) { return HashMatch(std::move(ids)); }

    uint64_t cardinality() const;
    // Calls `f(std::span<const uint32_t>)` with consecutive runs of the ids,
    // of at most `Block` ids where they come from a bitmap.
    template <uint32_t Block = Bitmap::kReadBlock, typename F>
    void for_each_block(F&& f) const {
        if (const FewIds* few = std::get_if<FewIds>(&ids_)) {
            if (!few->empty())
                f(std::span<const uint32_t>(few->data(), few->size()));
        } else {
            bitmap().for_each_block<Block>(f);
        }
    }
    // The ids in a bitmap of the caller's own.
    Bitmap to_bitmap() &&;

  private:
    explicit HashMatch(std::variant<const Bitmap*, Bitmap, FewIds> ids) : ids_(std::move(ids)) {}
    const Bitmap& bitmap() const;

    std::variant<const Bitmap*, Bitmap, FewIds> ids_;
};

// Ids holding, for every attribute of the query, one of its values. No
// keywords match nothing.
HashMatch match_hashes(const AttributeMaps& maps, const HashQuery& query);
// The same ids, as a bitmap of the caller's own.
Bitmap filter_index_by_hashes(const AttributeMaps& maps, const HashQuery& query);

// ---------------------------------------------------------------------------
// Expressions.

struct QueryExpr;

// An owned sub-expression, copied deeply with its parent.
class ExprBox {
  public:
    explicit ExprBox(QueryExpr expr);
    ExprBox(const ExprBox& other);
    ExprBox& operator=(const ExprBox& other);
    ExprBox(ExprBox&&) noexcept = default;
    ExprBox& operator=(ExprBox&&) noexcept = default;
    ~ExprBox();
    const QueryExpr& operator*() const { return *expr_; }

  private:
    std::unique_ptr<QueryExpr> expr_;
};

namespace expr {
struct Eq {
    AttrName attr;
    PyValue value;
};
struct Ne {
    AttrName attr;
    PyValue value;
};
struct Gt {
    AttrName attr;
    PyValue value;
};
struct Ge {
    AttrName attr;
    PyValue value;
};
struct Lt {
    AttrName attr;
    PyValue value;
};
struct Le {
    AttrName attr;
    PyValue value;
};
struct Bt {
    AttrName attr;
    PyValue lower;
    PyValue upper;
};
struct In {
    AttrName attr;
    std::vector<PyValue> values;
};
struct Not {
    ExprBox expr;
};
struct And {
    std::vector<QueryExpr> exprs;
};
struct Or {
    std::vector<QueryExpr> exprs;
};
}  // namespace expr

struct QueryExpr {
    std::variant<expr::Eq, expr::Ne, expr::Gt, expr::Ge, expr::Lt, expr::Le, expr::Bt, expr::In,
                 expr::Not, expr::And, expr::Or>
        node;
};

// Ids satisfying `query`; complements are taken against `universe`.
Bitmap evaluate_query(const AttributeMaps& maps, const Bitmap& universe, const QueryExpr& query);

// Debug text, as in `And([Not(Eq("colour", PyValue { ... }))])`. Attached only.
std::string debug_text(const QueryExpr& query);

namespace py_query {
// The `PyQueryExpr` class, created on first use.
PyTypeObject* query_expr_type();
// A copy of the expression held by a `PyQueryExpr`, or the conversion error
// naming "PyQueryExpr".
QueryExpr copy_expr(PyObject* obj);
}  // namespace py_query

}  // namespace vorlane
