"""Attribute layouts: objects with the same names in the same order share one
layout, diverge when their names differ, fall back to layouts of their own
past the bounds of the shared tree, and read, list, index and pickle the same
whichever layout they have."""
import pickle
import subprocess
import sys

import pytest

from Vorlane import Index, Indexable, PyQueryExpr as Q, _layout_of

MAX_SHARED_NAMES = 64
MAX_SHARED_LAYOUTS = 10_000


def fresh(text):
    """An equal str that is a different object from any literal."""
    return "".join(list(text))


def layout(o):
    return _layout_of(o)[0]


def is_shared(o):
    return _layout_of(o)[1]


class Sub(Indexable):
    pass


class Value:
    """A value that can be pickled and whose release can be watched."""


class TestSharing:
    def test_same_names_same_order_share_one_layout_however_made(self):
        a = Indexable(x=1, y=2)
        b = Indexable(**{fresh("x"): 3, fresh("y"): 4})
        c = Indexable(x=5)
        c.y = 6
        d = Indexable(x=7, y=8)
        d.x = 9  # an existing name keeps the layout
        assert len({layout(o) for o in (a, b, c, d)}) == 1 and is_shared(a)
        assert [(o.x, o.y) for o in (a, b, c, d)] == [(1, 2), (3, 4), (5, 6), (9, 8)]

    def test_other_order_or_other_names_diverge(self):
        a, b, c = Indexable(x=1, y=2), Indexable(y=2, x=1), Indexable(x=1, z=2)
        assert len({layout(a), layout(b), layout(c)}) == 3
        assert b.__dir__()[:2] == ["y", "x"] and (b.x, b.y) == (1, 2)
        index = Index()
        index.add_object_many([a, b, c])
        assert index.get_by_attribute(x=1, y=2) == [a, b]
        assert index.get_by_attribute(z=2) == [c]

    def test_identity_misses_fall_back_to_the_text(self):
        class Name(str):
            pass

        o = Indexable(**{fresh("size"): 1, Name("kind"): "a"})
        assert (o.size, o.kind) == (1, "a")
        assert getattr(o, fresh("size")) == 1 and getattr(o, Name("size")) == 1
        assert o.__dir__()[:2] == ["size", "kind"]


    def test_rows_from_one_list_of_names_and_a_lookalike_between_them(self):
        names = [fresh(n) for n in ("a", "b", "c")]
        lookalike = [names[0], fresh("x"), names[2]]  # same first and last objects
        rows = [Indexable(**dict(zip(names, (i, i + 1, i + 2)))) for i in range(2)]
        odd = Indexable(**dict(zip(lookalike, (7, 8, 9))))
        again = Indexable(**dict(zip(names, (4, 5, 6))))
        assert layout(rows[0]) == layout(rows[1]) == layout(again) != layout(odd)
        assert (odd.a, odd.x, odd.c) == (7, 8, 9) and not hasattr(odd, "b")
        assert (again.a, again.b, again.c, rows[1].b) == (4, 5, 6, 2)

    def test_rows_whose_names_are_new_objects_each_time(self):
        # As rows read one by one bring them: equal texts, new objects.
        names = ["size", "kind", "é", "名前"]
        known = Indexable(**dict(zip(names, range(4))))
        rows = [Indexable(**{fresh(n): i for i, n in enumerate(names)}) for _ in range(3)]
        assert {layout(o) for o in rows} == {layout(known)}
        assert [(o.size, o.kind, getattr(o, "é"), getattr(o, "名前")) for o in rows[1:]] == [
            (0, 1, 2, 3)
        ] * 2

        class Name(str):
            pass

        # Same count, one text differing, or the last name missing: not that
        # layout; a subclass of str with the same text: that layout.
        other = Indexable(**{fresh("size"): 0, fresh("kinf"): 1, "é": 2, "名前": 3})
        short = Indexable(**{fresh("size"): 0, fresh("kind"): 1, "é": 2})
        named = Indexable(**{Name("size"): 0, fresh("kind"): 1, "é": 2, "名前": 3})
        assert layout(other) != layout(known) and layout(short) != layout(known)
        assert layout(named) == layout(known) and other.kinf == 1 and not hasattr(other, "kind")
        bad = Indexable(**{"size": 0, "\ud800": 1, "é": 2, "名前": 3})
        assert layout(bad) != layout(known)


class TestWideObjects:
    def test_values_past_the_inline_ones_grow_one_name_at_a_time(self):
        o = Indexable(**{f"a{i}": i for i in range(8)})
        small = sys.getsizeof(o)
        index = Index()
        index.add_object(o)
        for i in range(8, 40):
            setattr(o, f"a{i}", i)
        for i in range(0, 40, 3):
            setattr(o, f"a{i}", -i)  # existing names move in the index
        assert [getattr(o, f"a{i}") for i in range(40)] == [-i if i % 3 == 0 else i for i in range(40)]
        assert sys.getsizeof(o) > small
        assert index.get_by_attribute(a3=-3) == [o] and index.get_by_attribute(a4=4) == [o]
        assert index.get_by_attribute(a10=-10) == []  # added after indexing: not indexed
        _layout_of(o)

    def test_every_name_is_read_around_the_bounds_of_the_lookup(self):
        # A read compares the first 6 kept strs, probes a table of them up to
        # 255 names, and compares them in turn past that.
        o = Indexable()
        for i in range(258):
            setattr(o, f"w{i}", i)
            if i in (5, 6, 7, 63, 64, 65, 253, 254, 255, 257):
                _layout_of(o)
                names = o.__dir__()[: i + 1]
                assert [getattr(o, n) for n in names] == list(range(i + 1))
                assert [getattr(o, fresh(n)) for n in names] == list(range(i + 1))
                with pytest.raises(AttributeError) as info:
                    o.absent
                assert info.value.args == ("absent",)

    def test_created_wide_then_given_more_names(self):
        # Made with every width around the inline room, each object's array
        # holds its values with little spare room; names added later move
        # them into more room.
        base = Indexable().__sizeof__()
        for width in range(4, 30):
            o = Indexable(**{f"a{i}": str(i) for i in range(width)})
            spilled = width - 5 if width > 5 else 0
            assert base + 8 * spilled <= o.__sizeof__() <= base + 10 * spilled, width
            index = Index()
            index.add_object(o)
            for i in range(width, width + 20):
                setattr(o, f"a{i}", str(i))
            _layout_of(o)
            expected = [str(i) for i in range(width + 20)]
            assert [getattr(o, f"a{i}") for i in range(width + 20)] == expected
            # By the very strs the layout keeps, as code reads them.
            assert [getattr(o, n) for n in o.__dir__()[: width + 20]] == expected
            copy = pickle.loads(pickle.dumps(o))
            assert copy.__dir__()[: width + 20] == o.__dir__()[: width + 20]
            assert index.get_by_attribute(**{f"a{width - 1}": str(width - 1)}) == [o]
            o.me = o  # a cycle the collector clears: its values go with it
            del o


    def test_every_way_of_making_an_object_holds_the_same_values(self):
        # Keywords of a call (room for all), a dict through __new__ and a
        # subclass (the plain room, the rest spilled and moved in), then
        # names added, a pickle round trip and a cycle the collector clears.
        import gc
        import weakref

        for width in (0, 4, 5, 6, 7, 12, 17, 40):
            names = {f"w{i}": i * 1.5 for i in range(width)}
            for make in (Indexable, lambda **kw: Indexable.__new__(Indexable, **kw), Sub):
                o = make(**names)
                _layout_of(o)
                o.extra = Value()
                probe = weakref.ref(o.extra)
                expected = [i * 1.5 for i in range(width)]
                assert [getattr(o, n) for n in names] == expected
                copy = pickle.loads(pickle.dumps(o))
                _layout_of(copy)
                assert [getattr(copy, n) for n in names] == expected and type(copy.extra) is Value
                index = Index()
                index.add_object(o)
                if width:
                    assert index.get_by_attribute(w0=0.0) == [o]
                o.me = o
                del o, copy, index
                gc.collect()
                assert probe() is None, width


class TestPrivateLayouts:
    def test_past_the_names_of_a_shared_layout_an_object_has_its_own(self):
        names = [f"p{i}" for i in range(MAX_SHARED_NAMES + 6)]
        a = Indexable(**{n: i for i, n in enumerate(names)})
        b = Indexable(**{n: i for i, n in enumerate(names)})
        assert not is_shared(a) and layout(a) != layout(b)
        a.extra = "e"
        assert a.__dir__()[: len(names) + 1] == names + ["extra"]
        assert repr(a) == f"<MyClass with {len(names) + 1} attributes>"
        index = Index()
        index.add_object_many([a, b])
        assert index.get_by_attribute(p69=69) == [a, b]
        a.p69 = 0
        assert index.get_by_attribute(p69=69) == [b]

        copy, index_copy = pickle.loads(pickle.dumps((a, index)))
        assert [getattr(copy, n) for n in names] == [getattr(a, n) for n in names]
        assert copy.extra == "e" and not is_shared(copy)
        assert len(index_copy.get_by_attribute(p69=69)) == 1

    def test_past_the_shared_layouts_objects_have_their_own(self):
        # In a process of its own: the tree it fills stays full.
        script = f"""
import pickle
from Vorlane import Indexable, _layout_of
objs = [Indexable(**{{f"n{{i}}": i}}) for i in range({MAX_SHARED_LAYOUTS + 10})]
last = objs[-1]
assert not _layout_of(last)[1] and _layout_of(objs[0])[1]
last.more = 1
assert last.__dir__()[:2] == ["n{MAX_SHARED_LAYOUTS + 9}", "more"]
for i in range(8):  # a private layout grown past the inline values
    setattr(last, f"m{{i}}", i)
    _layout_of(last)
    assert [getattr(last, n) for n in last.__dir__()[2 : i + 3]] == list(range(i + 1))
assert getattr(last, "n{MAX_SHARED_LAYOUTS + 9}") == {MAX_SHARED_LAYOUTS + 9}
assert pickle.loads(pickle.dumps(last)).more == 1
"""
        subprocess.run([sys.executable, "-c", script], check=True)


class TestQueryOnlyNames:
    def test_a_name_no_object_carried_matches_nothing_until_one_does(self):
        name = fresh("name_first_seen_in_a_query")
        expr = Q.and_(Q.eq(name, 1), Q.not_(Q.bt(fresh("other_unseen_name"), 0, 9)))
        assert name in repr(expr) and "other_unseen_name" in repr(expr)
        index = Index()
        index.add_object(Indexable(k=1))
        assert len(index.reduced_query(Q.not_(Q.eq(name, 1)))) == 1
        assert len(index.reduced_query(expr)) == 0
        assert index.get_by_attribute(**{name: 1}) == []
        assert index.collect_sorted(name) == []
        late = Indexable(**{name: 1})
        index.add_object(late)
        assert index.reduced_query(expr).collect() == [late]
        assert index.reduced_query(Q.eq(name, 1)).collect() == [late]
        assert index.get_by_attribute(**{name: 1}) == [late]
