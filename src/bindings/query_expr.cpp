#include "bindings/query_expr.hpp"

#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "py/args.hpp"
#include "py/errors.hpp"
#include "py/method.hpp"
#include "py/ref.hpp"
#include "py/type.hpp"
#include "py/value.hpp"

namespace vorlane {

namespace {

// The text of an attribute name that no object carried when an expression
// was built, kept by the expression (not interned: see attr_name.hpp). The
// tree holds it as an unheld name pointing at `view`.
struct PendingName {
    explicit PendingName(std::string_view name) : text(name), view(text) {}
    PendingName(const PendingName&) = delete;
    PendingName& operator=(const PendingName&) = delete;

    const std::string text;
    const std::string_view view;
};
using PendingNames = std::vector<std::shared_ptr<const PendingName>>;

// What a `PyQueryExpr` holds: the tree the evaluator reads, the Python
// values of its operands, for printing, and the texts of its pending names.
// `operands` lists the values in the order a left-to-right walk of the tree
// meets them (a `Bt`'s lower bound before its upper one, an `In`'s values in
// order), so a walk of the tree can consume them in step.
struct ExprRecord {
    QueryExpr expr;
    std::vector<PyValue> operands;
    PendingNames pending;
};

// The name of the attribute argument of a comparison: the interned name when
// some object carried it, else a pending name whose text `pending` keeps.
AttrName expr_attr_argument(PyObject* obj, PendingNames& pending) {
    if (std::optional<AttrName> name = attr_argument(obj, "attr"))
        return *name;
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(obj, &size);  // encodable: checked above
    pending.push_back(std::make_shared<const PendingName>(std::string_view(text, size)));
    return AttrName::unheld(&pending.back()->view);
}

// The expression `record` as the evaluator reads it: each pending name is
// looked up again, since an object created since may carry it now, and is
// otherwise the absent name. The copy points at nothing of the record.
QueryExpr resolved_copy(const ExprRecord& record) {
    QueryExpr copy = record.expr;
    if (record.pending.empty())
        return copy;
    // By text, whatever the leaf: an interned name finds itself.
    for_each_attr(copy, [](AttrName& attr) {
        attr = AttrName::find(attr.view()).value_or(AttrName::absent());
    });
    return copy;
}

// ---------------------------------------------------------------------------
// Debug text: `And([Not(Eq("colour", PyValue { ... }))])`.

class DebugPrinter {
  public:
    explicit DebugPrinter(const std::vector<PyValue>& operands) : operands_(operands) {}

    std::string text(const QueryExpr& query) { return std::visit(*this, query.node); }

    std::string operator()(const expr::Eq& e) { return binary("Eq", e.attr); }
    std::string operator()(const expr::Ne& e) { return binary("Ne", e.attr); }
    std::string operator()(const expr::Gt& e) { return binary("Gt", e.attr); }
    std::string operator()(const expr::Ge& e) { return binary("Ge", e.attr); }
    std::string operator()(const expr::Lt& e) { return binary("Lt", e.attr); }
    std::string operator()(const expr::Le& e) { return binary("Le", e.attr); }
    std::string operator()(const expr::Bt& e) {
        std::string lower = next_operand();
        return "Bt(" + quoted(e.attr) + ", " + lower + ", " + next_operand() + ")";
    }
    std::string operator()(const expr::In& e) {
        std::string out = "In(" + quoted(e.attr) + ", [";
        for (size_t i = 0; i < e.values.size(); ++i)
            out += (i > 0 ? ", " : "") + next_operand();
        return out + "])";
    }
    std::string operator()(const expr::Not& e) { return "Not(" + text(*e.expr) + ")"; }
    std::string operator()(const expr::And& e) { return list("And", e.exprs); }
    std::string operator()(const expr::Or& e) { return list("Or", e.exprs); }

  private:
    static std::string quoted(AttrName name) { return debug_quoted(name.view()); }
    std::string next_operand() { return operands_.at(next_++).debug(); }
    std::string binary(const char* variant, AttrName attr) {
        return std::string(variant) + "(" + quoted(attr) + ", " + next_operand() + ")";
    }
    std::string list(const char* variant, const std::vector<QueryExpr>& exprs) {
        std::string out = std::string(variant) + "([";
        for (size_t i = 0; i < exprs.size(); ++i)
            out += (i > 0 ? ", " : "") + text(exprs[i]);
        return out + "])";
    }

    const std::vector<PyValue>& operands_;
    size_t next_ = 0;
};

// ---------------------------------------------------------------------------
// Building expressions from arguments.

PyTypeObject* query_type_cache = nullptr;

// Copying, printing, evaluating and destroying an expression recurse once per
// level, so the nesting is bounded where the tree is built: a deeper tree
// would overflow the thread's stack (well before 10,000 levels in an
// instrumented build) instead of failing cleanly.
constexpr size_t kMaxExprDepth = 1000;

const ExprRecord& record_of(PyObject* obj) {
    return py::record_of<ExprRecord>(obj);
}

PyObject* wrap(ExprRecord record) {
    if (expr_depth(record.expr) > kMaxExprDepth) {
        py::raise_error(PyExc_RecursionError, "query expression nested more than " +
                                                  std::to_string(kMaxExprDepth) + " levels deep");
    }
    return py::make_instance(py_query::query_expr_type(), std::move(record));
}

// The expression argument `name`, copied with its operands.
ExprRecord expr_argument(PyObject* obj, const char* name) {
    return py::convert_argument(name, [&] {
        py::expect_instance(obj, py_query::query_expr_type(), "PyQueryExpr");
        py::SharedBorrow use(py::borrow_of<ExprRecord>(obj));
        return record_of(obj);
    });
}

template <typename Node>
PyObject* build_compare(PyObject*, py::Arguments& args) {
    PendingNames pending;
    AttrName attr = expr_attr_argument(args.values[0], pending);
    PyValue value = PyValue::from_borrowed(args.values[1]);
    ValueKey key = value.key();
    return wrap({QueryExpr{Node{attr, key}}, {std::move(value)}, std::move(pending)});
}

PyObject* build_bt(PyObject*, py::Arguments& args) {
    PendingNames pending;
    AttrName attr = expr_attr_argument(args.values[0], pending);
    PyValue lower = PyValue::from_borrowed(args.values[1]);
    PyValue upper = PyValue::from_borrowed(args.values[2]);
    QueryExpr expr{expr::Bt{attr, lower.key(), upper.key()}};
    return wrap({std::move(expr), {std::move(lower), std::move(upper)}, std::move(pending)});
}

PyObject* build_in(PyObject*, py::Arguments& args) {
    PendingNames pending;
    AttrName attr = expr_attr_argument(args.values[0], pending);
    BulkVector<py::Ref> items =
        py::convert_argument("values", [&] { return py::extract_sequence(args.values[1]); });
    ExprRecord record{QueryExpr{expr::In{attr, {}}}, {}, std::move(pending)};
    auto& keys = std::get<expr::In>(record.expr.node).values;
    keys.reserve(items.size());
    record.operands.reserve(items.size());
    for (py::Ref& item : items) {
        record.operands.push_back(PyValue::new_(item.release()));
        keys.push_back(record.operands.back().key());
    }
    return wrap(std::move(record));
}

// The expressions `objs`, joined under a node of kind `Node`.
template <typename Node>
PyObject* join_exprs(std::span<PyObject* const> objs) {
    ExprRecord record{QueryExpr{Node{}}, {}, {}};
    auto& parts = std::get<Node>(record.expr.node).exprs;
    parts.reserve(objs.size());
    for (PyObject* obj : objs) {
        ExprRecord part = expr_argument(obj, "exprs");
        parts.push_back(std::move(part.expr));
        for (PyValue& operand : part.operands)
            record.operands.push_back(std::move(operand));
        for (auto& name : part.pending)
            record.pending.push_back(std::move(name));
    }
    return wrap(std::move(record));
}

// The `*exprs` of and_/or_.
template <typename Node>
PyObject* build_list(PyObject*, py::Arguments& args) {
    return join_exprs<Node>(args.extra_positional);
}

// The complement of the expression `obj`.
PyObject* negate(PyObject* obj) {
    ExprRecord inner = expr_argument(obj, "exprs");
    return wrap({QueryExpr{expr::Not{ExprBox(std::move(inner.expr))}}, std::move(inner.operands),
                 std::move(inner.pending)});
}

PyObject* build_not(PyObject*, py::Arguments& args) {
    return negate(args.values[0]);
}

constexpr py::Signature compare_sig(const char* name) {
    return {.name = name,
            .params = {"attr", "value"},
            .nparams = 2,
            .required = 2,
            .owner = "PyQueryExpr"};
}

constexpr py::Signature kEqSig = compare_sig("eq");
constexpr py::Signature kNeSig = compare_sig("ne");
constexpr py::Signature kGtSig = compare_sig("gt");
constexpr py::Signature kGeSig = compare_sig("ge");
constexpr py::Signature kLeSig = compare_sig("le");
constexpr py::Signature kLtSig = compare_sig("lt");
constexpr py::Signature kBtSig{.name = "bt",
                               .params = {"attr", "lower", "upper"},
                               .nparams = 3,
                               .required = 3,
                               .owner = "PyQueryExpr"};
constexpr py::Signature kInSig{.name = "in_",
                               .params = {"attr", "values"},
                               .nparams = 2,
                               .required = 2,
                               .owner = "PyQueryExpr"};
constexpr py::Signature kAndSig{.name = "and_", .var_positional = true, .owner = "PyQueryExpr"};
constexpr py::Signature kOrSig{.name = "or_", .var_positional = true, .owner = "PyQueryExpr"};
constexpr py::Signature kNotSig{
    .name = "not_", .params = {"exprs"}, .nparams = 1, .required = 1, .owner = "PyQueryExpr"};

PyMethodDef query_methods[] = {
    py::method_def<&kEqSig, build_compare<expr::Eq>>(
        "eq",
        "eq(attr, value)\n--\n\nThe condition: attribute `attr` equals `value` (Python hashes "
        "compared, as lookups do).",
        METH_STATIC),
    py::method_def<&kNeSig, build_compare<expr::Ne>>(
        "ne",
        "ne(attr, value)\n--\n\nnot_(eq(attr, value)): also selects objects that lack `attr`.",
        METH_STATIC),
    py::method_def<&kGtSig, build_compare<expr::Gt>>(
        "gt",
        "gt(attr, value)\n--\n\nThe condition: attribute `attr` > `value`, over int and float "
        "values.",
        METH_STATIC),
    py::method_def<&kGeSig, build_compare<expr::Ge>>(
        "ge",
        "ge(attr, value)\n--\n\nThe condition: attribute `attr` >= `value`, over int and float "
        "values.",
        METH_STATIC),
    py::method_def<&kLeSig, build_compare<expr::Le>>(
        "le",
        "le(attr, value)\n--\n\nThe condition: attribute `attr` <= `value`, over int and float "
        "values.",
        METH_STATIC),
    py::method_def<&kBtSig, build_bt>("bt",
                                      "bt(attr, lower, upper)\n--\n\nThe closed range: `lower` <= "
                                      "attribute `attr` <= `upper`, over int and float values.",
                                      METH_STATIC),
    py::method_def<&kLtSig, build_compare<expr::Lt>>(
        "lt",
        "lt(attr, value)\n--\n\nThe condition: attribute `attr` < `value`, over int and float "
        "values.",
        METH_STATIC),
    py::method_def<&kInSig, build_in>("in_",
                                      "in_(attr, values)\n--\n\nThe condition: attribute `attr` "
                                      "equals one of the sequence `values`.",
                                      METH_STATIC),
    py::method_def<&kAndSig, build_list<expr::And>>(
        "and_",
        "and_(*exprs)\n--\n\nThe conjunction of the expressions, in order (also `a & b`); and_() "
        "selects everything.",
        METH_STATIC),
    py::method_def<&kOrSig, build_list<expr::Or>>(
        "or_",
        "or_(*exprs)\n--\n\nThe disjunction of the expressions (also `a | b`); or_() selects "
        "nothing.",
        METH_STATIC),
    py::method_def<&kNotSig, build_not>(
        "not_",
        "not_(exprs)\n--\n\nThe complement of the expression within the index, or what an "
        "enclosing and_ kept (also `~a`).",
        METH_STATIC),
    py::kEndOfMethods,
};

// `a & b` and `a | b`: the trees of `and_(a, b)` and `or_(a, b)`. An operand
// that is not an expression lets the other operand's type answer.
template <typename Node>
PyObject* combine_operator(PyObject* left, PyObject* right) {
    PyTypeObject* type = py_query::query_expr_type();
    if (!PyObject_TypeCheck(left, type) || !PyObject_TypeCheck(right, type))
        Py_RETURN_NOTIMPLEMENTED;
    return py::guard<PyObject*>(nullptr, [&] {
        PyObject* operands[] = {left, right};
        return join_exprs<Node>(operands);
    });
}

// `~a`: the tree of `not_(a)`.
PyObject* invert_operator(PyObject* self) {
    return py::guard<PyObject*>(nullptr, [&] { return negate(self); });
}

PyObject* query_repr(PyObject* self) {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        py::SharedBorrow use(py::borrow_of<ExprRecord>(self));
        const ExprRecord& record = record_of(self);
        std::string text = "<QueryExpr: " + DebugPrinter(record.operands).text(record.expr) + ">";
        return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    });
}

// An operand may be any object, one that refers back to the expression
// too (a list holding it, an object holding it as an attribute): the
// collector sees the operands so that such a cycle is freed.
int query_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    for (const PyValue& operand : record_of(self).operands)
        Py_VISIT(operand.obj());
    return 0;
}

// Breaks a cycle: the expression becomes `or_()`, which holds no operand
// and, should anything still reach it, selects nothing; the old tree and
// its operands are released once the record no longer holds them. An
// expression being copied or printed is reachable through its caller and
// is left alone.
int query_clear(PyObject* self) {
    py::BorrowFlag& flag = py::borrow_of<ExprRecord>(self);
    if (!flag.try_exclusive())
        return 0;
    ExprRecord old =
        std::exchange(py::record_of<ExprRecord>(self), ExprRecord{QueryExpr{expr::Or{}}, {}, {}});
    flag.end_exclusive();
    return 0;
}

PyType_Slot query_slots[] = {
    py::slot(Py_tp_new, py::no_constructor),
    py::slot(Py_tp_dealloc, py::dealloc_instance<ExprRecord>),
    py::slot(Py_tp_repr, query_repr),
    py::slot(Py_tp_methods, query_methods),
    py::slot(Py_nb_and, combine_operator<expr::And>),
    py::slot(Py_nb_or, combine_operator<expr::Or>),
    py::slot(Py_nb_invert, invert_operator),
    py::slot(Py_tp_traverse, query_traverse),
    py::slot(Py_tp_clear, query_clear),
    py::kEndOfSlots,
};

PyType_Spec query_spec = py::spec_of<ExprRecord>(
    "builtins.PyQueryExpr", Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, query_slots);

}  // namespace

namespace py_query {

PyTypeObject* query_expr_type() {
    return py::lazy_type(query_type_cache, &query_spec);
}

QueryExpr copy_expr(PyObject* obj) {
    py::expect_instance(obj, query_expr_type(), "PyQueryExpr");
    py::SharedBorrow use(py::borrow_of<ExprRecord>(obj));
    return resolved_copy(record_of(obj));
}

}  // namespace py_query

}  // namespace vorlane
