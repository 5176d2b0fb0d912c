#include "engine/query_expr.hpp"

#include <algorithm>

namespace vorlane {

ExprBox::ExprBox(QueryExpr expr) : expr_(std::make_unique<QueryExpr>(std::move(expr))) {}
ExprBox::ExprBox(const ExprBox& other) : expr_(std::make_unique<QueryExpr>(*other.expr_)) {}
// The copy is made before the old expression goes, so assigning a box to
// itself is safe without a check.
ExprBox& ExprBox::operator=(const ExprBox& other) {  // NOLINT(bugprone-unhandled-self-assignment)
    expr_ = std::make_unique<QueryExpr>(*other.expr_);
    return *this;
}
ExprBox::~ExprBox() = default;

namespace {

size_t deepest_of(const std::vector<QueryExpr>& exprs) {
    size_t deepest = 0;
    for (const QueryExpr& part : exprs)
        deepest = std::max(deepest, expr_depth(part));
    return deepest;
}

}  // namespace

size_t expr_depth(const QueryExpr& query) {
    if (const auto* e = std::get_if<expr::Not>(&query.node))
        return 1 + expr_depth(*e->expr);
    if (const auto* e = std::get_if<expr::And>(&query.node))
        return 1 + deepest_of(e->exprs);
    if (const auto* e = std::get_if<expr::Or>(&query.node))
        return 1 + deepest_of(e->exprs);
    return 1;
}

}  // namespace vorlane
