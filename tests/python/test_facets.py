"""Facet counts, numeric bounds and query counts, against a plain Python
recomputation over random objects."""
import math
import random
import threading

import pytest

from Vorlane import Index, Indexable, PyQueryExpr as Q

NAN = float("nan")
# Keys that lookups merge (1, 1.0, True; -1 and -2; 0, False and unhashable
# values), NaN (the shared object, and fresh ones, each its own key), numbers
# of both kinds and values that are not numbers.
POOL = [0, 1, 1.0, True, False, -1, -2, 2.5, 3, 3.0, -7, NAN, "a", "b", None, (1, 2), [1], float("inf"), -0.0]
NAMES = ("kind", "size")


def key_of(value):
    try:
        return hash(value)
    except TypeError:
        return 0


def random_objects(rng, n=300):
    objs = []
    for _ in range(n):
        attrs = {}
        for name in NAMES:
            if rng.random() < 0.85:  # some objects lack the attribute
                v = rng.choice(POOL)
                attrs[name] = float("nan") if v is NAN and rng.random() < 0.5 else v
        objs.append(Indexable(**attrs))
    return objs


def is_number(value):
    return type(value) in (int, float) and not math.isnan(value)


def expected_counts(listed, selected, name, limit=None):
    """`listed`: the objects the index's value sets list, in id order;
    `selected`: the objects the call selects, in id order."""
    counts, first = {}, {}
    for o in selected:
        if o in listed and hasattr(o, name):
            k = key_of(getattr(o, name))
            counts[k] = counts.get(k, 0) + 1
            first.setdefault(k, o)
    holders = {}
    for o in listed:
        if hasattr(o, name):
            holders.setdefault(key_of(getattr(o, name)), []).append(getattr(o, name))
    # a key is shown by its first holder's value, a hashable one when there is one
    shown = {k: next((v for v in vs if hashable(v)), vs[0]) for k, vs in holders.items()}
    order = sorted(counts, key=lambda k: (-counts[k], selected.index(first[k])))
    return [(shown[k], counts[k]) for k in order][:limit]


def hashable(v):
    try:
        hash(v)
        return True
    except TypeError:
        return False


def expected_bound(selected, name, largest):
    numbers = [getattr(o, name) for o in selected if is_number(getattr(o, name, None))]
    if not numbers:
        return None
    best = max(numbers) if largest else min(numbers)
    return next(v for v in numbers if v == best)  # ties: the smallest id


def check(scope, listed, selected):
    for name in NAMES + ("absent",):
        for limit in (None, 0, 3):
            got = list(scope.value_counts(name, limit=limit).items())
            want = expected_counts(listed, selected, name, limit)
            assert len(got) == len(want), (name, got, want)
            for (gv, gc), (wv, wc) in zip(got, want):
                assert gv is wv and gc == wc, (name, got, want)
        for largest, method in ((False, scope.min), (True, scope.max)):
            want = expected_bound(selected, name, largest)
            assert method(name) is want, (name, largest)


QUERIES = [
    Q.eq("kind", 1),
    Q.ne("kind", "a"),
    Q.gt("size", 0),
    Q.in_("kind", ["a", 0, NAN]),
    Q.and_(Q.ge("size", -2), Q.not_(Q.eq("kind", "b"))),
    Q.or_(Q.lt("size", 1), Q.eq("kind", None)),
    Q.and_(),
    Q.or_(),
]


@pytest.mark.parametrize("seed", range(4))
def test_against_a_recomputation(seed):
    rng = random.Random(seed)
    objs = random_objects(rng)
    index = Index()
    index.add_object_many(objs)
    check(index, objs, objs)
    for q in QUERIES:
        assert index.count(q) == len(index.reduced_query(q))
    # views, views of views, and removals after they were made
    view = index.reduced_query(Q.ne("kind", "b"))
    inner = view.reduced_query(Q.or_(Q.ge("size", 0), Q.eq("size", "a"))).reduced(kind=[1, "a", None, 0])
    gone = rng.sample(objs, 30)
    for o in gone:
        index.remove_object(o)
    listed = [o for o in objs if o not in gone]
    for v in (view, inner):
        selected = v.collect()
        assert all(o not in gone for o in selected)
        check(v, listed, selected)
        for q in QUERIES:
            assert v.count(q) == len(v.reduced_query(q))
    # assignments are seen; the views' selections stay
    for o in rng.sample(listed, 40):
        for name in NAMES:
            if hasattr(o, name):  # a new name would not be indexed yet
                setattr(o, name, rng.choice(POOL))
    check(index, listed, listed)
    check(view, listed, view.collect())


def test_reduced_index_counts_its_equality_sets():
    objs = [Indexable(kind=k, size=s) for k, s in zip("aabbcab", [5, 1, 9, 1.0, 2, 7, 0.5])]
    index = Index()
    index.add_object_many(objs)
    index.reduce(kind=["a", "c"])
    kept = [o for o in objs if o.kind in ("a", "c")]
    assert index.value_counts("kind") == {"a": 3, "c": 1}
    assert list(index.value_counts("size").items()) == expected_counts(kept, kept, "size")
    # ranges (and so min and max) still see every object
    assert (index.min("size"), index.max("size")) == (0.5, 9)
    assert index.count(Q.eq("kind", "b")) == 0 and index.count(Q.gt("size", 4)) == 3


def test_keys_show_the_first_holder_in_every_view():
    objs = [Indexable(v=x, g=i % 2) for i, x in enumerate([True, 1, 1.0, [0], 0, False, -1, -2])]
    index = Index()
    index.add_object_many(objs)
    counts = index.value_counts("v")
    assert list(counts.items()) == [(True, 3), (0, 3), (-1, 2)]
    assert type(next(iter(counts))) is bool
    # the odd objects' 1 is shown as the value first held index-wide
    assert list(index.reduced(g=1).value_counts("v").items()) == [(0, 2), (True, 1), (-1, 1)]
    # ties between int and float of one number: the smallest id's value
    ties = [Indexable(n=5.0), Indexable(n=5), Indexable(n=-3), Indexable(n=-3.0)]
    index.add_object_many(ties)
    assert type(index.max("n")) is float and type(index.min("n")) is int


def test_only_unhashable_values_raise_like_a_dict():
    index = Index()
    index.add_object_many([Indexable(v=[1]), Indexable(v={})])
    with pytest.raises(TypeError, match="unhashable"):
        index.value_counts("v")


def test_unhashable_first_holders_give_way_to_hashable_ones_in_both_forms():
    index = Index()
    index.add_object_many([Indexable(v=[1], t="a"), Indexable(v=False, t="a")])
    assert index.value_counts("v") == {False: 2}
    assert index.value_counts(("v", "t")) == {(False, "a"): 2}  # counted from the value sets
    late = Indexable(v=[2])
    index.add_object(late)
    late.t = "a"  # a name gained after joining: the objects are read one by one
    assert index.value_counts(("v", "t")) == {(False, "a"): 3}


def test_arguments_and_signatures():
    index = Index()
    index.add_object(Indexable(size=1))
    view = index.reduced(size=1)
    for scope, cls in ((index, "Index"), (view, "FilteredIndex")):
        with pytest.raises(TypeError, match=r"^argument 'name': 'int' object cannot be converted to 'PyString'$"):
            scope.value_counts(1)
        with pytest.raises(TypeError, match="^argument 'limit': "):
            scope.value_counts("size", limit=1.0)
        with pytest.raises(ValueError):
            scope.value_counts("size", -1)
        with pytest.raises(OverflowError):
            scope.value_counts("size", 2**64)
        with pytest.raises(TypeError, match=r"^argument 'name': "):
            scope.min(None)
        with pytest.raises(TypeError, match=rf"^{cls}\.max\(\) missing 1 required positional argument: 'name'$"):
            scope.max()
        with pytest.raises(TypeError, match=r"^argument 'query': 'int' object cannot be converted to 'PyQueryExpr'$"):
            scope.count(1)
        with pytest.raises(TypeError, match=rf"^{cls}\.count\(\) got multiple values for argument 'query'$"):
            scope.count(Q.and_(), query=Q.and_())
        assert scope.value_counts("size", limit=2**40) == {1: 1}
    assert Index.value_counts.__text_signature__ == "($self, name, limit=None)"
    assert Index.min.__text_signature__ == Index.max.__text_signature__ == "($self, name)"
    assert type(view).count.__text_signature__ == "($self, query)"


def test_counts_and_bounds_while_another_thread_assigns():
    """The counts are taken detached and shown attached: an object assigned
    in between is looked for again, never shown with a value it left."""
    objs = [Indexable(kind=i % 5, size=float(i)) for i in range(300)]
    index = Index()
    index.add_object_many(objs)
    view = index.reduced_query(Q.ge("size", 0))
    refused, failures = [], []

    def writer():
        rng = random.Random(3)
        for _ in range(4000):
            o = rng.choice(objs)
            o.kind = rng.randrange(7)
            o.size = rng.uniform(-10, 400)

    def reader():
        for _ in range(400):
            try:
                counts = view.value_counts("kind")
                low, high = view.min("size"), view.max("size")
                n = view.count(Q.ge("size", 0))
            except RuntimeError as exc:
                refused.append(str(exc))
                continue
            if sum(counts.values()) != 300 or not set(counts) <= set(range(7)) or not low <= high or not 0 <= n <= 300:
                failures.append((counts, low, high, n))

    threads = [threading.Thread(target=writer), threading.Thread(target=reader)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == [] and set(refused) <= {"Already mutably borrowed"}
    check(view, objs, objs)
