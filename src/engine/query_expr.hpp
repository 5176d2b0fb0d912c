#pragma once
// `QueryExpr`: an immutable query expression tree (eq, ne, gt, ge, lt, le,
// bt, in, not, and, or), as the evaluator reads it.
//
// The operands are value keys (stored hash and native number), not Python
// objects, so an expression can be copied, evaluated and destroyed with the
// interpreter lock released. The Python class that builds expressions keeps
// the operands' Python objects beside the tree, for printing.
//
// Every node owns its children outright: copying an expression copies the
// whole tree.

#include <memory>
#include <type_traits>
#include <variant>
#include <vector>

#include "engine/attr_name.hpp"
#include "engine/value_key.hpp"

namespace vorlane {

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
    const QueryExpr* operator->() const { return expr_.get(); }
    QueryExpr& operator*() { return *expr_; }

  private:
    std::unique_ptr<QueryExpr> expr_;
};

namespace expr {
struct Eq {
    AttrName attr;
    ValueKey value;
};
struct Ne {
    AttrName attr;
    ValueKey value;
};
struct Gt {
    AttrName attr;
    ValueKey value;
};
struct Ge {
    AttrName attr;
    ValueKey value;
};
struct Lt {
    AttrName attr;
    ValueKey value;
};
struct Le {
    AttrName attr;
    ValueKey value;
};
struct Bt {
    AttrName attr;
    ValueKey lower;
    ValueKey upper;
};
struct In {
    AttrName attr;
    std::vector<ValueKey> values;  // in the caller's order, duplicates kept
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

// Levels of nesting: a leaf is 1, each Not, And or Or adds one.
size_t expr_depth(const QueryExpr& query);

// Calls `f(AttrName&)` with the attribute name of every leaf, in a
// left-to-right walk, so that names can be replaced in place.
template <typename F>
void for_each_attr(QueryExpr& query, F&& f) {
    std::visit(
        [&](auto& node) {
            using Node = std::decay_t<decltype(node)>;
            if constexpr (std::is_same_v<Node, expr::Not>) {
                for_each_attr(*node.expr, f);
            } else if constexpr (std::is_same_v<Node, expr::And> ||
                                 std::is_same_v<Node, expr::Or>) {
                for (QueryExpr& part : node.exprs)
                    for_each_attr(part, f);
            } else {
                f(node.attr);
            }
        },
        query.node);
}

}  // namespace vorlane
