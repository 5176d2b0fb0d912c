"""Keyword lookups and in-place reduction."""
import sys

import pytest

from Vorlane import Index, Indexable
from conftest import index_of, panics


@pytest.fixture
def fleet(indexed):
    return indexed(
        [
            Indexable(name="ab", colour="red", size=3, tags=97),
            Indexable(name="a", colour="red", size=1, tags=98),
            Indexable(name="b", colour="blue", size=3, tags=99),
            Indexable(name="x", colour="blue", size=2.0),
            Indexable(name="t", colour="green", size=True),
        ]
    )


class TestGetByAttribute:
    def test_no_keywords_matches_nothing(self, fleet):
        index, _ = fleet
        assert index.get_by_attribute() == []

    def test_absent_attribute_matches_nothing(self, fleet):
        index, _ = fleet
        assert index.get_by_attribute(weight=1) == []
        assert index.get_by_attribute(weight=1, colour="red") == []

    def test_strings_are_never_split(self, fleet):
        index, objs = fleet
        assert index.get_by_attribute(name="ab") == [objs[0]]

    @pytest.mark.parametrize(
        "values,expected",
        [([1, 2], [1, 3, 4]), ([], []), ((3,), [0, 2]), ({3}, [0, 2]), (range(2, 3), [3]), (iter([2]), [3])],
    )
    def test_iterables_contribute_their_items(self, fleet, values, expected):
        index, objs = fleet
        assert index.get_by_attribute(size=values) == [objs[i] for i in expected]

    def test_bytes_and_dict_keys(self, fleet):
        index, objs = fleet
        assert index.get_by_attribute(tags=b"ab") == [objs[0], objs[1]]
        assert index.get_by_attribute(name={"x": 1}) == [objs[3]]

    def test_generators(self, fleet):
        index, objs = fleet
        assert index.get_by_attribute(colour=(c for c in ["green", "red"])) == [objs[0], objs[1], objs[4]]

    def test_equal_keys(self, fleet):
        index, objs = fleet
        assert index.get_by_attribute(size=1) == [objs[1], objs[4]]
        assert index.get_by_attribute(size=2) == [objs[3]]

    def test_several_keywords_intersect_in_slot_order(self, fleet):
        index, objs = fleet
        assert index.get_by_attribute(size=3, colour="red") == [objs[0]]
        assert index.get_by_attribute(colour=["blue", "red"], size=3) == [objs[0], objs[2]]

    def test_iterator_raising_midway_panics(self, fleet):
        index, _ = fleet

        def values():
            yield 3
            raise KeyError("broken")

        with panics():
            index.get_by_attribute(size=values())

    def test_positional_arguments_are_refused(self, fleet):
        index, _ = fleet
        with pytest.raises(TypeError, match="takes 0 positional arguments but 1 was given"):
            index.get_by_attribute(1)

    def test_indexable_as_a_value(self):
        target = Indexable()
        pointer = Indexable(to=target)
        index = Index()
        index.add_object(pointer)
        assert index.get_by_attribute(to=target) == [pointer]


class TestReduce:
    def test_reduce_narrows_value_sets(self, fleet):
        index, objs = fleet
        assert index.reduce(colour="red") is None
        assert index.get_by_attribute(size=3) == [objs[0]]
        assert index.get_by_attribute(colour="blue") == []
        assert len(index.collect()) == 5

    def test_reduce_without_keywords_empties_value_sets(self, fleet):
        index, _ = fleet
        index.reduce()
        assert index.get_by_attribute(colour=["red", "blue", "green"]) == []

    def test_reduce_indexes_attributes_gained_later(self, fleet):
        index, objs = fleet
        objs[0].weight = 10
        assert index.get_by_attribute(weight=10) == []
        index.reduce(name="ab")
        assert index.get_by_attribute(weight=10) == [objs[0]]

    def test_assignment_after_reduce(self, fleet):
        index, objs = fleet
        index.reduce(colour="red")
        objs[2].size = 7  # not matched: its old value was dropped from the set
        assert index.get_by_attribute(size=7) == [objs[2]]
        objs[0].size = 8
        assert index.get_by_attribute(size=8) == [objs[0]]
        assert index.get_by_attribute(size=3) == []


class TestReduceAndRanges:
    def test_assignment_after_reduce_leaves_no_stale_range_entry(self):
        from Vorlane import PyQueryExpr as Q

        a, b = Indexable(colour="red", size=3), Indexable(colour="blue", size=3)
        index = index_of([a, b])
        index.reduce(colour="blue")  # size 3 keeps only b in its set; the tree keeps both
        b.size = 9  # prunes the value 3 from the exact map
        a.size = 5  # 3 is no longer listed: the tree entry of a must still go
        assert index.reduced_query(Q.bt("size", 3, 3)).collect() == []
        assert index.reduced_query(Q.ge("size", 5)).collect() == [a, b]
        assert index.reduced_query(Q.le("size", 5)).collect() == [a]


def test_selective_and_broad_keywords_together():
    objs = [Indexable(kind=("a", "b", "c")[i % 3], owner=f"o{i % 50}", size=i % 7) for i in range(3000)]
    index = index_of(objs)
    for owner, kinds, sizes in [("o1", ["a", "b", "zz"], [1, 2, 3]), ("o7", "c", 0), ("o3", [], 1), ("o9", ["b"], [9])]:
        kinds_set = {kinds} if isinstance(kinds, str) else set(kinds)
        sizes_set = {sizes} if isinstance(sizes, int) else set(sizes)
        want = [o for o in objs if o.owner == owner and o.kind in kinds_set and o.size in sizes_set]
        assert index.get_by_attribute(owner=owner, kind=kinds, size=sizes) == want


def vectorcall(func, kwnames, values):
    """Calls `func` through the vectorcall protocol with keyword names as given,
    which may repeat a name (a call written in Python never can)."""
    import ctypes

    api = ctypes.pythonapi
    api.PyObject_Vectorcall.restype = ctypes.py_object
    api.PyObject_Vectorcall.argtypes = [ctypes.py_object, ctypes.c_void_p, ctypes.c_size_t, ctypes.py_object]
    args = (ctypes.c_void_p * len(values))(*[id(v) for v in values])
    return api.PyObject_Vectorcall(func, args, 0, tuple(kwnames))


class TestKeywordConversion:
    def test_a_repeated_name_keeps_its_first_place_and_last_value(self, fleet):
        index, objs = fleet
        assert vectorcall(index.get_by_attribute, ["colour", "colour"], ["red", "blue"]) == objs[2:4]
        assert vectorcall(index.get_by_attribute, ["colour", "size", "colour"], ["red", 3, "blue"]) == [objs[2]]
        # Equal names that are distinct str objects are one name too.
        twin = "".join(["col", "our"])
        assert twin == "colour" and twin is not sys.intern("colour")
        assert vectorcall(index.get_by_attribute, ["colour", twin], ["red", "green"]) == [objs[4]]
        # Past a few keywords, repeats are found among the sorted names.
        pads = [f"p{i}" for i in range(20)]
        wide = index_of([Indexable(**dict.fromkeys(pads, 0), colour=c) for c in ("red", "blue")])
        got = vectorcall(wide.get_by_attribute, pads + ["colour", twin], [0] * 20 + ["red", "blue"])
        assert [o.colour for o in got] == ["blue"]

    def test_names_built_at_run_time_are_told_apart(self):
        # Names made and freed one after the other tend to reuse an address:
        # each must still be read as the name it spells.
        objs = [Indexable(**{f"attr{i}": i, "all": 1}) for i in range(300)]
        index = index_of(objs)
        for i in range(300):
            name = "".join(["attr", str(i)])
            assert index.get_by_attribute(**{name: i}) == [objs[i]]
            assert index.get_by_attribute(**{name: i, "all": 1}) == [objs[i]]
            del name

    def test_many_values_of_one_keyword(self):
        objs = [Indexable(size=i % 50, half=i % 2) for i in range(500)]
        index = index_of(objs)
        for values in [list(range(40)) * 3, [7] * 30, list(range(60, 100)) + [3], [1, 1.0, True] * 10]:
            wanted = {hash(v) for v in values}
            want = [o for o in objs if hash(o.size) in wanted]
            assert index.get_by_attribute(size=values) == want
            assert index.get_by_attribute(size=values, half=0) == [o for o in want if o.half == 0]

    def test_values_that_are_iterable_or_not(self, fleet):
        index, objs = fleet

        class Items:  # the sequence protocol alone: iterated
            def __getitem__(self, i):
                if i < 2:
                    return [1, 3][i]
                raise IndexError

        class Refusing:  # iteration fails: one value, by its hash
            def __iter__(self):
                raise TypeError("no")

            def __hash__(self):
                return 3

        assert index.get_by_attribute(size=Items()) == [objs[0], objs[1], objs[2], objs[4]]
        assert index.get_by_attribute(size=Refusing()) == [objs[0], objs[2]]
        assert index.get_by_attribute(size=3.0) == [objs[0], objs[2]]
        assert index.get_by_attribute(size=None) == []
        assert index.get_by_attribute(size=3, colour=None) == []

    def test_values_keyed_as_stored_values_are(self):
        import enum

        class Rank(enum.IntEnum):
            ONE = 1

        class Tag(str):
            pass

        values = [1, True, 1.0, Rank.ONE, "é", "ab", Tag("ab"), 2**40, -(2**62), 0, [], None]
        objs = [Indexable(v=v) for v in values]
        index = index_of(objs)
        fresh = "".join(["a", "b"])  # a str not hashed yet

        def key(value):  # unhashable values are keyed 0
            try:
                return hash(value)
            except TypeError:
                return 0

        for value in [1, True, Rank.ONE, "é", "ab", Tag("ab"), fresh, 2**40, -(2**62), 0, None]:
            want = [o for o in objs if key(o.v) == key(value)]
            assert index.get_by_attribute(v=value) == want, value
        assert index.get_by_attribute(v=[[]]) == [objs[9], objs[10]]  # unhashable: hash 0
        with panics("called `Result::unwrap()` on an `Err` value"):
            index.get_by_attribute(v=2**63)
        with panics("called `Result::unwrap()` on an `Err` value"):
            index.get_by_attribute(v="\ud800")

    def test_non_str_name_in_a_call_from_c(self, fleet):
        index, _ = fleet
        with pytest.raises(TypeError):
            vectorcall(index.get_by_attribute, [1], ["red"])


class TestLookupPlans:
    """Lookups answered by probing a few ids, by intersecting bitmaps, or by
    one value set alone, each pinned against a scan of the objects."""

    @staticmethod
    def scan(objs, query):
        def matches(o, attr, values):
            try:
                v = getattr(o, attr)
            except AttributeError:
                return False
            wanted = [values] if isinstance(values, (str, int)) else values
            return any(hash(v) == hash(w) for w in wanted)

        return [o for o in objs if all(matches(o, a, v) for a, v in query.items())]

    @pytest.fixture
    def spread(self):
        # a: 3 objects per value (inline sets), b: 50 (probed), c: ~430 and
        # d: 1500 (bitmaps); e only on every third object.
        objs = []
        for i in range(3000):
            attrs = dict(a=i % 1000, b=i % 60, c=i % 7, d=i % 2)
            if i % 3 == 0:
                attrs["e"] = i % 4
            objs.append(Indexable(**attrs))
        index = index_of(objs)
        return index, objs

    def test_random_lookups_against_a_scan(self, spread):
        import random

        index, objs = spread
        rng = random.Random(7)
        ranges = dict(a=1000, b=60, c=7, d=2, e=4, absent=3)
        for _ in range(400):
            query = {}
            for attr in rng.sample(sorted(ranges), rng.randint(1, 4)):
                top = ranges[attr] + 2  # some values no object holds
                if rng.random() < 0.5:
                    query[attr] = rng.randrange(top)
                else:
                    query[attr] = [rng.randrange(top) for _ in range(rng.randint(0, 4))]
            assert index.get_by_attribute(**query) == self.scan(objs, query), query

    def test_probes_into_a_dense_set_as_it_changes(self):
        # "k" is held by one object in 20 of its span, 4,500 in all: a set
        # that keeps a bitset; owners hold 15 objects each and are probed into
        # it. The objects between take ids and are dropped.
        made = [Indexable(kind="jk"[i % 20 == 0], owner=i // 10 % 600) if i % 10 == 0 else Indexable() for i in range(90_000)]
        objs = made[::10]
        del made
        index = index_of(objs)

        def check():
            for owner in range(0, 600, 7):
                want = [o for o in objs if o.kind == "k" and o.owner == owner]
                assert index.get_by_attribute(kind="k", owner=owner) == want

        check()
        for o in objs[:3000:3]:
            o.kind = "j" if o.kind == "k" else "k"
        late = Indexable(kind="k", owner=0)  # past the bitset's span
        index.add_object(late)
        objs.append(late)
        check()
        index.reduce(owner=list(range(300)))
        objs = [o for o in objs if o.owner < 300]
        check()

    def test_each_plan(self, spread):
        index, objs = spread
        cases = [
            dict(d=1),  # one large set, borrowed
            dict(d=[0, 1]),  # a union of large sets
            dict(c=3, d=0),  # bitmaps intersected
            dict(c=3, d=0, b=[5, 17]),  # bitmaps, then probing what is left
            dict(a=5),  # an inline set
            dict(a=[5, 6, 7], d=1),  # inline sets probed against a bitmap
            dict(b=9, c=[2, 3], e=[0, 1]),  # a probed set against three others
            dict(b=9, c=2, d=1, absent=1),  # an attribute the index lacks
            dict(c=[], d=1),  # no value at all
            dict(b=999),  # a value nobody holds
        ]
        for query in cases:
            assert index.get_by_attribute(**query) == self.scan(objs, query), query

    def test_after_removals_and_reduction(self, spread):
        index, objs = spread
        for o in objs[::5]:
            index.remove_object(o)
        live = [o for i, o in enumerate(objs) if i % 5]
        for query in [dict(d=1), dict(a=5), dict(a=[5, 10]), dict(b=9, c=2), dict(c=4, d=0)]:
            assert index.get_by_attribute(**query) == self.scan(live, query), query
        index.reduce(c=3)  # the other value sets of every attribute empty or shrink
        kept = [o for o in live if o.c == 3]
        for query in [dict(d=1), dict(c=[2, 3]), dict(a=[3, 10, 17]), dict(b=3, d=1), dict(c=2)]:
            assert index.get_by_attribute(**query) == self.scan(kept, query), query
