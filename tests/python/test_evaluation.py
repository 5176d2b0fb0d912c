"""Evaluating query expressions against an index."""
import math
import random

import pytest

from Vorlane import Index, Indexable, PyQueryExpr as Q
from conftest import panics

INF = float("inf")
NAN = float("nan")


def build(values, attr="size"):
    objs = [Indexable(**({attr: v} if v is not MISSING else {})) for v in values]
    index = Index()
    index.add_object_many(objs)
    return index, objs


MISSING = object()


def select(index, query):
    return index.reduced_query(query).collect()


class TestComparisons:
    def test_bounds_included_and_excluded(self):
        index, objs = build([1, 2, 3, 5, 6])
        assert select(index, Q.gt("size", 2)) == objs[2:]
        assert select(index, Q.ge("size", 2)) == objs[1:]
        assert select(index, Q.lt("size", 3)) == objs[:2]
        assert select(index, Q.le("size", 3)) == objs[:3]
        assert select(index, Q.bt("size", 2, 5)) == objs[1:4]
        assert select(index, Q.bt("size", 5, 2)) == []

    def test_ints_and_floats_order_together(self):
        index, objs = build([1, 1.5, 2, 2.0, -0.5, 0, -0.0])
        assert select(index, Q.gt("size", 1)) == [objs[1], objs[2], objs[3]]
        assert select(index, Q.bt("size", 2.0, 2)) == [objs[2], objs[3]]
        assert select(index, Q.le("size", 0)) == [objs[4], objs[5], objs[6]]
        assert select(index, Q.ge("size", -0.0)) == [objs[0], objs[1], objs[2], objs[3], objs[5], objs[6]]

    def test_extremes_of_the_64_bit_range(self):
        lo, hi = -(2**63), 2**63 - 1
        index, objs = build([lo, hi, 0, float(2**63), -float(2**63)])
        assert select(index, Q.le("size", lo)) == [objs[0], objs[4]]
        assert select(index, Q.ge("size", hi)) == [objs[1], objs[3]]
        assert select(index, Q.gt("size", hi)) == [objs[3]]

    def test_nan_and_infinities(self):
        index, objs = build([NAN, INF, -INF, 1.0, -NAN])
        assert select(index, Q.gt("size", 0)) == [objs[1], objs[3]]
        assert select(index, Q.le("size", 0)) == [objs[2]]
        assert select(index, Q.ge("size", INF)) == [objs[1]]
        assert select(index, Q.le("size", -INF)) == [objs[2]]
        assert select(index, Q.gt("size", NAN)) == []
        assert select(index, Q.lt("size", NAN)) == []
        assert select(index, Q.bt("size", NAN, INF)) == []
        assert select(index, Q.bt("size", -INF, INF)) == [objs[1], objs[2], objs[3]]

    def test_strings_never_compare(self):
        index, objs = build(["a", "m", "z"], attr="name")
        assert select(index, Q.gt("name", "m")) == []
        with panics("not yet implemented"):
            index.reduced_query(Q.bt("name", "a", "z"))
        with panics("not yet implemented"):
            index.reduced_query(Q.bt("name", 1, "z"))
        assert select(index, Q.bt("absent", "a", "z")) == []

    def test_bool_is_an_equal_key_but_not_a_number(self):
        index, objs = build([1, 1.0, True])
        assert select(index, Q.eq("size", 1)) == objs
        assert select(index, Q.gt("size", 0)) == objs[:2]


class TestBooleanCombinations:
    def test_empty_and_or(self):
        index, objs = build([1, 2])
        assert select(index, Q.and_()) == objs
        assert select(index, Q.or_()) == []

    def test_ne_equals_not_eq_including_missing_attributes(self):
        objs = [Indexable(colour="red"), Indexable(colour="blue"), Indexable(size=1)]
        index = Index()
        index.add_object_many(objs)
        assert select(index, Q.ne("colour", "red")) == objs[1:]
        assert select(index, Q.not_(Q.eq("colour", "red"))) == objs[1:]
        assert select(index, Q.ne("absent", 1)) == objs
        assert select(index, Q.not_(Q.gt("absent", 1))) == objs

    def test_in(self):
        index, objs = build([1, 2, 3])
        assert select(index, Q.in_("size", [])) == []
        assert select(index, Q.in_("size", [1, 1])) == select(index, Q.eq("size", 1))
        assert select(index, Q.in_("size", [3, 1, 9])) == [objs[0], objs[2]]

    def test_and_narrows_each_part(self):
        objs = [Indexable(colour="red", size=3), Indexable(colour="red", size=4), Indexable(colour="blue", size=4)]
        index = Index()
        index.add_object_many(objs)
        assert select(index, Q.and_(Q.eq("colour", "red"), Q.not_(Q.eq("size", 3)))) == [objs[1]]
        assert select(index, Q.and_(Q.eq("colour", "green"), Q.bt("colour", "a", "b"))) == []

    def test_universe_is_the_index(self):
        inside, outside = Indexable(size=1), Indexable(size=1)
        a, b = Index(), Index()
        a.add_object(inside)
        b.add_object_many([inside, outside])
        assert select(a, Q.not_(Q.eq("size", 2))) == [inside]


def random_value(rng):
    return rng.choice([rng.randint(-5, 5), rng.randint(-5, 5) + 0.5, rng.choice("abc"), None, True, False])


def random_expr(rng, depth):
    attrs = ["a", "b", "c", "absent"]
    if depth == 0 or rng.random() < 0.3:
        kind = rng.choice(["eq", "ne", "gt", "ge", "lt", "le", "bt", "in"])
        attr = rng.choice(attrs)
        if kind == "in":
            values = [random_value(rng) for _ in range(rng.randint(0, 3))]
            return Q.in_(attr, values), ("in", attr, values)
        if kind == "bt":
            lo, hi = sorted([rng.randint(-5, 5), rng.randint(-5, 5)])
            hi += rng.choice([0, 0.5])
            return Q.bt(attr, lo, hi), ("bt", attr, lo, hi)
        v = random_value(rng) if kind in ("eq", "ne") else rng.choice([rng.randint(-5, 5), rng.randint(-5, 5) + 0.5, "b"])
        return getattr(Q, kind)(attr, v), (kind, attr, v)
    kind = rng.choice(["and", "or", "not"])
    if kind == "not":
        e, m = random_expr(rng, depth - 1)
        return Q.not_(e), ("not", m)
    parts = [random_expr(rng, depth - 1) for _ in range(rng.randint(0, 3))]
    expr = (Q.and_ if kind == "and" else Q.or_)(*[p[0] for p in parts])
    return expr, (kind, [p[1] for p in parts])


def is_number(v):
    return type(v) in (int, float)


def model_eval(model, obj):
    kind = model[0]
    if kind in ("and", "or"):
        results = [model_eval(m, obj) for m in model[1]]
        return all(results) if kind == "and" else any(results)
    if kind == "not":
        return not model_eval(model[1], obj)
    attr = model[1]
    has = attr in obj
    v = obj.get(attr)
    if kind == "eq":
        return has and hash(v) == hash(model[2])
    if kind == "ne":
        return not (has and hash(v) == hash(model[2]))
    if kind == "in":
        return has and any(hash(v) == hash(x) for x in model[2])
    if kind == "bt":
        return has and is_number(v) and model[2] <= v <= model[3]
    bound = model[2]
    if not (has and is_number(v) and is_number(bound)):
        return False
    return {"gt": v > bound, "ge": v >= bound, "lt": v < bound, "le": v <= bound}[kind]


def test_random_expressions_against_brute_force():
    rng = random.Random(1234)
    rows = []
    objs = []
    for _ in range(2000):
        row = {}
        for attr in "abc":
            if rng.random() < 0.85:
                row[attr] = random_value(rng) if rng.random() < 0.3 else rng.randint(-5, 5) + rng.choice([0, 0.5])
        rows.append(row)
        objs.append(Indexable(**row))
    index = Index()
    index.add_object_many(objs)
    for _ in range(400):
        expr, model = random_expr(rng, 4)
        got = index.reduced_query(expr).collect()
        want = [o for o, row in zip(objs, rows) if model_eval(model, row)]
        assert got == want, repr(expr)


class TestAndParts:
    """Parts of an And applied in cost order, negations removed from what
    earlier parts kept, and In as one union: pinned against a plain scan."""

    @pytest.fixture
    def rows(self):
        rng = random.Random(99)
        rows, objs = [], []
        for i in range(1500):
            row = dict(kind=f"k{rng.randrange(6)}", flag=rng.randrange(2), size=rng.randrange(100))
            if i % 4:
                row["tag"] = i % 300  # five objects per value: inline sets
            if i % 7 == 0:
                row["rare"] = rng.choice(["x", "y"])
            rows.append(row)
            objs.append(Indexable(**row))
        index = Index()
        index.add_object_many(objs)
        return index, objs, rows

    @staticmethod
    def scan(objs, rows, model):
        return [o for o, row in zip(objs, rows) if model_eval(model, row)]

    CASES = [
        ("and", [("not", ("eq", "flag", 1)), ("in", "kind", ["k1", "k2"]), ("bt", "size", 20, 60)]),
        ("and", [("in", "kind", ["k1", "k2"]), ("not", ("eq", "flag", 1)), ("bt", "size", 20, 60)]),
        ("and", [("bt", "size", 20, 60), ("in", "kind", ["k1", "k2"]), ("not", ("eq", "flag", 1))]),
        ("and", [("not", ("eq", "rare", "x")), ("eq", "flag", 0)]),
        ("and", [("eq", "flag", 0), ("not", ("eq", "absent", 1))]),
        ("and", [("not", ("eq", "absent", 1))]),
        ("and", [("not", ("gt", "absent", 1)), ("ne", "absent", 2), ("eq", "kind", "k3")]),
        ("and", [("ne", "kind", "k0"), ("ne", "kind", "k1"), ("lt", "size", 10)]),
        ("and", [("in", "tag", [3, 3, 999, 4, 3]), ("not", ("eq", "flag", 1))]),
        ("and", [("in", "kind", []), ("not", ("eq", "flag", 1))]),
        ("and", [("in", "absent", [1, 2]), ("eq", "flag", 1)]),
        ("and", [("in", "kind", ["nope", "k4"]), ("in", "tag", list(range(0, 300, 7)))]),
        ("and", [("eq", "tag", 12), ("in", "kind", ["k0", "k1", "k2", "k3"])]),
        ("and", [("not", ("in", "kind", ["k0", "k1"])), ("not", ("eq", "tag", 5)), ("ge", "size", 50)]),
        ("and", [("and", [("eq", "flag", 1), ("not", ("eq", "kind", "k2"))]), ("le", "size", 30)]),
        ("and", [("or", [("eq", "kind", "k1"), ("eq", "rare", "y")]), ("not", ("eq", "flag", 0))]),
        ("and", [("not", ("and", [("eq", "flag", 1), ("lt", "size", 50)])), ("eq", "kind", "k5")]),
        ("and", [("not", ("or", [("eq", "flag", 1), ("eq", "absent", 3)])), ("in", "tag", [1, 2, 3])]),
        ("and", [("eq", "kind", "k9"), ("not", ("eq", "flag", 1))]),
        ("not", ("and", [("in", "kind", ["k1", "k2"]), ("not", ("eq", "flag", 1))])),
        ("or", [("and", [("eq", "tag", 7), ("not", ("eq", "flag", 1))]), ("in", "tag", [8, 8])]),
        ("in", "tag", [5, 5, 6, 123456]),
        ("in", "kind", ["k1", "k1", "k2"]),
        ("ne", "tag", 5),
    ]

    @staticmethod
    def build(model):
        kind = model[0]
        if kind in ("and", "or"):
            return (Q.and_ if kind == "and" else Q.or_)(*[TestAndParts.build(m) for m in model[1]])
        if kind == "not":
            return Q.not_(TestAndParts.build(model[1]))
        if kind == "in":
            return Q.in_(model[1], model[2])
        if kind == "bt":
            return Q.bt(model[1], model[2], model[3])
        return getattr(Q, kind)(model[1], model[2])

    @pytest.mark.parametrize("model", CASES)
    def test_against_a_scan(self, rows, model):
        index, objs, data = rows
        assert select(index, self.build(model)) == self.scan(objs, data, model)

    def test_in_a_view_after_removals(self, rows):
        index, objs, data = rows
        view = index.reduced_query(Q.or_(Q.eq("flag", 1), Q.in_("kind", ["k1", "k2"])))
        removed = set(range(0, len(objs), 3))
        for i in sorted(removed):
            index.remove_object(objs[i])
        in_view = [i for i, row in enumerate(data) if row["flag"] == 1 or row["kind"] in ("k1", "k2")]
        for model in self.CASES:
            got = view.reduced_query(self.build(model)).collect()
            want = [objs[i] for i in in_view if i not in removed and model_eval(model, data[i])]
            assert got == want, model
        narrowed = view.reduced_query(Q.and_(Q.not_(Q.eq("flag", 0)), Q.lt("size", 50)))
        for i in range(1, len(objs), 3):
            if i not in removed:
                index.remove_object(objs[i])
                removed.add(i)
        want = [objs[i] for i in in_view if i not in removed and data[i]["flag"] == 1 and data[i]["size"] < 50]
        assert narrowed.collect() == want
        assert len(narrowed) == len(want)

    def test_random_ands_against_a_scan(self, rows):
        index, objs, data = rows
        rng = random.Random(5)

        def leaf():
            attr = rng.choice(["kind", "flag", "size", "tag", "rare", "absent"])
            values = {"kind": lambda: f"k{rng.randrange(7)}", "flag": lambda: rng.randrange(3),
                      "size": lambda: rng.randrange(110), "tag": lambda: rng.randrange(320),
                      "rare": lambda: rng.choice("xyz"), "absent": lambda: 1}[attr]
            op = rng.choice(["eq", "ne", "in", "lt", "ge", "bt", "not"])
            if op == "in":
                return ("in", attr, [values() for _ in range(rng.randrange(4))])
            if op == "bt":
                lo = rng.randrange(100)
                return ("bt", attr, lo, lo + rng.randrange(40)) if attr in ("size", "flag", "tag") else ("eq", attr, values())
            if op == "not":
                return ("not", ("eq", attr, values()))
            if op in ("lt", "ge"):
                return (op, attr, rng.randrange(100))
            return (op, attr, values())

        def tree(depth):
            if depth == 0 or rng.random() < 0.4:
                return leaf()
            kind = rng.choice(["and", "and", "or", "not"])
            if kind == "not":
                return ("not", tree(depth - 1))
            return (kind, [tree(depth - 1) for _ in range(rng.randint(0, 4))])

        for _ in range(300):
            model = ("and", [tree(2) for _ in range(rng.randint(1, 5))])
            assert select(index, self.build(model)) == self.scan(objs, data, model), model


class TestAndKeepsTheWrittenOrderOfFailingParts:
    """A range with a bound that is not a number is an internal error when
    reached; an And reaches a part only while the parts before it, as
    written, left some ids."""

    @pytest.fixture
    def index(self):
        objs = [Indexable(colour=c, size=s) for c, s in [("red", 1), ("blue", 2), ("red", 3)]]
        index = Index()
        index.add_object_many(objs)
        return index, objs

    def test_a_part_after_an_empty_result_is_not_reached(self, index):
        index, _ = index
        bad = Q.bt("colour", "a", "z")
        assert select(index, Q.and_(Q.eq("colour", "green"), Q.not_(Q.eq("size", 1)), bad)) == []
        assert select(index, Q.and_(Q.ge("size", 5), Q.in_("colour", ["red"]), Q.not_(bad))) == []
        assert select(index, Q.and_(Q.in_("colour", []), Q.or_(bad))) == []
        assert select(index, Q.and_(Q.eq("size", 9), Q.and_(Q.eq("colour", "red"), bad))) == []

    def test_a_part_reached_fails_even_after_cheaper_parts(self, index):
        index, _ = index
        bad = Q.bt("colour", 1, "z")
        for query in [
            Q.and_(bad, Q.eq("colour", "green")),
            Q.and_(Q.not_(Q.eq("size", 1)), bad, Q.eq("size", 9)),
            Q.and_(Q.eq("colour", "red"), Q.not_(bad)),
            Q.and_(Q.in_("colour", ["red"]), Q.and_(Q.ge("size", 0), bad)),
        ]:
            with panics("not yet implemented"):
                index.reduced_query(query)


@pytest.fixture(scope="module")
def large():
    rng = random.Random(3)
    rows = [dict(kind=rng.randrange(6), flag=rng.randrange(2), rare=rng.randrange(500), size=rng.randrange(1000))
            for _ in range(30000)]
    objs = [Indexable(**row) for row in rows]
    index = Index()
    index.add_object_many(objs)
    return index, objs, rows


class TestInUnions:
    """In is built as one union of whole sets when the universe keeps most
    of them, and as a union of each set's kept ids when it keeps few: both
    pinned against a scan, on an index large enough for dense sets."""

    @pytest.mark.parametrize(
        "model",
        [
            ("in", "kind", [0, 1, 2, 3]),
            ("in", "kind", [5, 0, 5, 9]),
            ("and", [("not", ("eq", "rare", 7)), ("in", "kind", [0, 1, 2, 3])]),
            ("and", [("not", ("eq", "flag", 1)), ("in", "kind", [0, 1, 2])]),
            ("and", [("eq", "flag", 0), ("lt", "size", 100), ("in", "kind", [1, 2, 3, 4])]),
            ("and", [("eq", "rare", 11), ("in", "kind", [0, 1, 2, 3, 4, 5])]),
            ("and", [("in", "rare", list(range(0, 500, 3))), ("in", "kind", [2, 4]), ("not", ("eq", "flag", 0))]),
            ("and", [("ge", "size", 100), ("not", ("in", "kind", [0, 1, 2, 3, 4]))]),
            ("or", [("in", "kind", [0, 1]), ("in", "rare", [1, 2, 3])]),
        ],
    )
    def test_against_a_scan(self, large, model):
        index, objs, rows = large
        assert select(index, TestAndParts.build(model)) == [o for o, row in zip(objs, rows) if model_eval(model, row)]
