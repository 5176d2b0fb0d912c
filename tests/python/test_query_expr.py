"""Building and printing query expressions."""
import re

import pytest

from Vorlane import PyQueryExpr as Q


VALUE = r"PyValue \{ obj: .+?, primitave: NATIVE, hash: -?\d+ \}"


def value_re(native):
    return VALUE.replace("NATIVE", native)


class TestClass:
    def test_no_constructor(self):
        with pytest.raises(TypeError, match="^No constructor defined for PyQueryExpr$"):
            Q()

    def test_final_and_builtins(self):
        assert Q.__module__ == "builtins"
        assert Q.__doc__ is None
        with pytest.raises(TypeError):

            class Sub(Q):
                pass

    def test_method_order_and_signatures(self):
        names = [n for n in vars(Q) if not n.startswith("__")]
        assert names == ["eq", "ne", "gt", "ge", "le", "bt", "lt", "in_", "and_", "or_", "not_"]
        assert Q.eq.__text_signature__ == "(attr, value)"
        assert Q.bt.__text_signature__ == "(attr, lower, upper)"
        assert Q.in_.__text_signature__ == "(attr, values)"
        assert Q.and_.__text_signature__ == "(*exprs)"
        assert Q.not_.__text_signature__ == "(exprs)"

    def test_static_methods_work_on_instances(self):
        e = Q.and_()
        assert repr(e.eq("a", 1)).startswith('<QueryExpr: Eq("a", ')


class TestRepr:
    def test_empty_and_or(self):
        assert repr(Q.and_()) == "<QueryExpr: And([])>"
        assert repr(Q.or_()) == "<QueryExpr: Or([])>"

    def test_negated_equality(self):
        text = repr(Q.not_(Q.eq("colour", "red")))
        assert re.fullmatch(r'<QueryExpr: Not\(Eq\("colour", ' + value_re(r'Str\("red"\)') + r"\)\)>", text), text

    def test_each_variant(self):
        assert re.fullmatch(r'<QueryExpr: Bt\("s", ' + value_re(r"Int\(9\)") + ", " + value_re(r"Float\(1\.5\)") + r"\)>",
                            repr(Q.bt("s", 9, 1.5)))
        text = repr(Q.in_("s", [1, 1, 2]))
        assert text.count("PyValue") == 3 and text.startswith('<QueryExpr: In("s", [PyValue')
        assert repr(Q.in_("s", [])) == '<QueryExpr: In("s", [])>'
        both = repr(Q.or_(Q.gt("a", 1), Q.le("b", 2)))
        assert both.startswith('<QueryExpr: Or([Gt("a", ') and ', Le("b", ' in both
        for name in ("ne", "ge", "lt"):
            assert repr(getattr(Q, name)("x", None)).startswith(f'<QueryExpr: {name.capitalize()}("x", ')

    def test_attribute_names_are_escaped(self):
        assert repr(Q.eq('a"b', 1)).startswith('<QueryExpr: Eq("a\\"b", ')


class TestArguments:
    def test_attr_must_be_a_string(self):
        with pytest.raises(TypeError, match="^argument 'attr': 'int' object cannot be converted to 'PyString'$"):
            Q.eq(5, 1)

    def test_values_must_be_a_sequence_other_than_str(self):
        with pytest.raises(TypeError, match="^argument 'values': Can't extract `str` to `Vec`$"):
            Q.in_("size", "ab")
        with pytest.raises(TypeError, match="^argument 'values': 'set' object cannot be converted to 'Sequence'$"):
            Q.in_("size", {1, 2})
        assert repr(Q.in_("size", range(2))).count("PyValue") == 2
        assert repr(Q.in_("size", (1,))).count("PyValue") == 1

    def test_subexpressions_must_be_expressions(self):
        with pytest.raises(TypeError, match="^argument 'exprs': 'int' object cannot be converted to 'PyQueryExpr'$"):
            Q.not_(1)
        with pytest.raises(TypeError, match="argument 'exprs'"):
            Q.and_(Q.eq("a", 1), "x")
        with pytest.raises(TypeError, match="missing 1 required positional argument: 'exprs'"):
            Q.not_()

    def test_keywords_and_arity(self):
        assert repr(Q.eq(attr="a", value=1)).startswith('<QueryExpr: Eq("a"')
        with pytest.raises(TypeError, match=r"PyQueryExpr\.eq\(\) missing 1 required positional argument: 'value'"):
            Q.eq("a")
        with pytest.raises(TypeError, match="got an unexpected keyword argument"):
            Q.and_(x=1)

    def test_bounds_are_kept_as_given(self):
        assert "Int(9)" in repr(Q.bt("size", 9, 1))

    def test_copies_are_independent(self):
        e = Q.eq("a", 1)
        both = Q.and_(e, e)
        assert repr(both).count("Eq") == 2
        assert repr(e).startswith('<QueryExpr: Eq("a"')
        del e
        assert repr(both).count("Eq") == 2
