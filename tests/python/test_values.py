"""Conversion of attribute values: native kinds, stored hashes, key equality."""
import enum
import re

import pytest

from Vorlane import Index, Indexable, PyQueryExpr as Q
from conftest import panics


def repr_of(value):
    return repr(Q.eq("a", value))


class TestNativeKinds:
    @pytest.mark.parametrize(
        "value,native",
        [
            (3, "Int(3)"),
            (2**63 - 1, "Int(9223372036854775807)"),
            (-(2**63), "Int(-9223372036854775808)"),
            (2.5, "Float(2.5)"),
            (1.0, "Float(1.0)"),
            (1e16, "Float(1e16)"),
            (1.5e-5, "Float(1.5e-5)"),
            (float("nan"), "Float(NaN)"),
            (float("-inf"), "Float(-inf)"),
            (-0.0, "Float(-0.0)"),
            ("a", 'Str("a")'),
            ('say "hi"\n', 'Str("say \\"hi\\"\\n")'),
            (True, "Unknown"),
            (None, "Unknown"),
            ((1, 2), "Unknown"),
            ([1], "Unknown"),
        ],
    )
    def test_debug_form(self, value, native):
        text = repr_of(value)
        match = re.fullmatch(r'<QueryExpr: Eq\("a", PyValue \{ obj: .+, primitave: (.*), hash: (-?\d+) \}\)>', text)
        assert match, text
        assert match.group(1) == native
        expected_hash = hash(value) if not isinstance(value, list) else 0
        assert int(match.group(2)) == expected_hash

    @pytest.mark.parametrize(
        "value",
        [0, 1, -1, -2, 2**61 - 2, 2**61 - 1, 2**61, -(2**61) + 1, -(2**61), 2**62 + 5,
         -(2**62) - 5, 2**63 - 1, -(2**63), -(2**63) + 1, 3 * (2**61 - 1) - 1],
    )
    def test_int_hash_is_the_interpreters(self, value):
        # Ints keep their hash implicitly; the stored form must still give
        # exactly what the interpreter computes, or an int and an equal float
        # would stop being one key.
        assert f"hash: {hash(value)} }}" in repr_of(value)
        if float(value) == value:
            o = Indexable(a=value)
            index = Index()
            index.add_object(o)
            assert index.get_by_attribute(a=float(value)) == [o]

    def test_float_hash_is_the_interpreters(self):
        # Floats keep no hash either: it is recomputed from the value by the
        # numeric rule, which must agree with the interpreter's everywhere,
        # subnormals, huge and integral values included.
        import random
        import struct

        rng = random.Random(5)
        values = [5e-324, -5e-324, 2.0**-1074 * 3, 1.7976931348623157e308, 2.0**61, 2.0**62 + 2048,
                  -(2.0**63), 0.1, 1 / 3]
        values += [struct.unpack("d", struct.pack("Q", rng.getrandbits(64)))[0] for _ in range(500)]
        values += [rng.uniform(-1e6, 1e6) for _ in range(500)]
        for value in values:
            if value == value:
                assert f"hash: {hash(value)} }}" in repr_of(value), value
        nan = float("nan")
        index = Index()
        index.add_object(o := Indexable(a=nan))
        assert index.get_by_attribute(a=nan) == [o]  # the same NaN object: the same key

    def test_subclasses_are_unknown(self):
        class Colour(enum.IntEnum):
            RED = 1

        class Name(str):
            pass

        assert "primitave: Unknown" in repr_of(Colour.RED)
        assert "primitave: Unknown" in repr_of(Name("x"))


class TestConversionFailures:
    @pytest.mark.parametrize("value", [2**63, -(2**63) - 1, "\ud800"])
    def test_unconvertible_values_panic(self, value):
        with panics("called `Result::unwrap()` on an `Err` value"):
            Indexable(a=value)
        with panics("called `Result::unwrap()` on an `Err` value"):
            Q.eq("a", value)

    def test_unhashable_value_is_not_an_error(self):
        o = Indexable(a=[1, 2])
        assert o.a == [1, 2]

    def test_raising_hash_is_discarded(self):
        class Bad:
            def __hash__(self):
                raise RuntimeError("no hash")

        value = Bad()
        assert Indexable(a=value).a is value
        assert "hash: 0 }" in repr_of(value)


class TestKeyEquality:
    def index_of(self, **values):
        objs = {name: Indexable(size=v) for name, v in values.items()}
        index = Index()
        index.add_object_many(list(objs.values()))
        return index, objs

    def test_one_int_float_and_true_are_one_key(self):
        index, objs = self.index_of(i=1, f=1.0, b=True, other=2)
        assert index.get_by_attribute(size=1) == [objs["i"], objs["f"], objs["b"]]

    def test_colliding_hashes_are_one_key(self):
        index, objs = self.index_of(m1=-1, m2=-2, z=0)
        assert index.get_by_attribute(size=-1) == [objs["m1"], objs["m2"]]

    def test_unhashables_equal_each_other_and_zero(self):
        index, objs = self.index_of(l1=[1], l2=[2], zero=0, one=1)
        assert index.get_by_attribute(size=0) == [objs["l1"], objs["l2"], objs["zero"]]


class TestDatetimeKeys:
    """Exact dates, naive datetimes and times, and timedeltas keep no copy of
    their hash (they cache it themselves); everything else keeps one."""

    def test_keys_without_a_kept_hash(self):
        import datetime as dt
        import pickle

        from Vorlane import _layout_of

        day = dt.date(2024, 2, 29)
        kinds = {"d": day, "n": dt.datetime(2024, 2, 29, 12), "t": dt.time(7, 30), "td": dt.timedelta(3)}
        o = Indexable(**kinds)
        assert o.__sizeof__() == Indexable(**{k: 1 for k in kinds}).__sizeof__()
        assert o.d is day
        _layout_of(o)
        index = Index()
        index.add_object(o)
        # Equal objects made later find it: the key is the interpreter's hash.
        for name, value in kinds.items():
            assert index.get_by_attribute(**{name: pickle.loads(pickle.dumps(value))}) == [o]
        # Hashed already, as the values rows share are: taken as they are.
        again = Indexable(**kinds)
        assert again.__sizeof__() == o.__sizeof__()
        index.add_object(again)
        for name, value in kinds.items():
            assert index.get_by_attribute(**{name: pickle.loads(pickle.dumps(value))}) == [o, again]
        index.remove_object(again)
        o.d = dt.date(2024, 3, 1)
        assert index.get_by_attribute(d=day) == []
        assert index.get_by_attribute(d=dt.date(2024, 3, 1)) == [o]
        copy = pickle.loads(pickle.dumps(index))
        assert len(copy.get_by_attribute(d=dt.date(2024, 3, 1), n=dt.datetime(2024, 2, 29, 12))) == 1

    def test_kinds_that_keep_their_hash(self):
        import datetime as dt

        class Day(dt.date):
            def __hash__(self):
                return 7

        aware = dt.datetime(2024, 1, 1, tzinfo=dt.timezone.utc)
        plain = Indexable(a=1).__sizeof__()
        values = [Day(2024, 1, 1), aware, dt.time(1, tzinfo=dt.timezone.utc)]
        for value in values + values:  # the second time, hashed already
            o = Indexable(a=value)
            assert o.__sizeof__() > plain, value
            index = Index()
            index.add_object(o)
            assert index.get_by_attribute(a=value) == [o]
        assert "hash: 7 }" in repr_of(Day(2024, 1, 1))
