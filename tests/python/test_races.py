"""Races between an assignment and the calls that read or change the indexes
of its object. Each test runs a bounded number of short rounds and checks the
final state against what the objects hold: no assignment is lost or applied
to an index that no longer holds the object, and nothing is refused or
poisoned on the way."""
import itertools
import sys
import threading

import pytest

from Vorlane import Index, Indexable, PyQueryExpr as Q


@pytest.fixture(autouse=True)
def switch_often():
    """With the interpreter lock, switch threads as often as it allows."""
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(old)


def assigner(obj, values, name="x"):
    """A started thread that assigns `values` to `obj` in turn; `join()`
    re-raises anything it raised."""
    failures = []

    def run():
        try:
            for v in values:
                setattr(obj, name, v)
        except BaseException as exc:  # noqa: BLE001 - re-raised by join
            failures.append(exc)

    thread = threading.Thread(target=run)
    thread.start()

    def join():
        thread.join()
        if failures:
            raise failures[0]

    return join


class KeepAssigning:
    """One thread per object of `objs`, assigning it ever new values (so that
    a stale entry left by a race is never healed by a later move) until the
    block ends; leaving the block re-raises anything they raised."""

    def __init__(self, objs, name="x"):
        self.stop = threading.Event()
        self.failures = []

        def run(obj, first):
            try:
                for v in itertools.count(first):
                    if self.stop.is_set():
                        break
                    setattr(obj, name, v)
            except BaseException as exc:  # noqa: BLE001 - re-raised on exit
                self.failures.append(exc)

        self.threads = [
            threading.Thread(target=run, args=(o, 1_000_000 * (k + 1))) for k, o in enumerate(objs)
        ]

    def __enter__(self):
        for t in self.threads:
            t.start()

    def __exit__(self, *exc_info):
        self.stop.set()
        for t in self.threads:
            t.join()
        if self.failures:
            raise self.failures[0]


def listed_values(index, obj, candidates, name="x"):
    """The candidate values under which `index` lists `obj`."""
    return [v for v in candidates if obj in index.get_by_attribute(**{name: v})]


def assert_index_agrees(index, members, name="x"):
    """Every member is listed under its current value and nothing else is
    listed; the ordered tree agrees too."""
    values = sorted({getattr(o, name) for o in members})
    for v in values:
        want = {id(o) for o in members if getattr(o, name) == v}
        assert {id(o) for o in index.get_by_attribute(**{name: v})} == want, v
    in_tree = index.reduced_query(Q.ge(name, min(values))).collect()
    assert sorted(map(id, in_tree)) == sorted(map(id, members))


@pytest.mark.parametrize("how", ["add_object", "add_object_many"])
def test_an_assignment_racing_an_addition_is_not_lost(how):
    for _ in range(200):
        index = Index()
        index.add_object_many([Indexable(x=i) for i in range(50)])
        obj = Indexable(x=-1)
        join = assigner(obj, range(1000, 1010))
        if how == "add_object":
            index.add_object(obj)
        else:
            index.add_object_many([obj])
        join()
        assert obj.x == 1009
        assert listed_values(index, obj, [-1, *range(1000, 1010)]) == [1009]


def test_an_assignment_racing_a_removal_leaves_nothing_behind():
    values = range(1000, 1020)
    for _ in range(200):
        index = Index()
        index.add_object_many([Indexable(x=i % 7) for i in range(200)])
        obj = Indexable(x=-1)
        index.add_object(obj)
        join = assigner(obj, values)
        index.remove_object(obj)
        join()
        assert index.get_by_attribute(x=list(values)) == []
        assert index.reduced_query(Q.ge("x", 1000)).collect() == []
        assert obj not in index and len(index) == 200


def test_union_with_between_the_moves_of_an_assignment_copies_nothing_stale():
    objs = [Indexable(x=i, tag="t") for i in range(20)]
    index = Index()
    index.add_object_many(objs)
    rebased = index.reduced(tag="t").rebase()  # the same objects, a second index
    with KeepAssigning(objs[:4]):
        for _ in range(150):
            # Both ways: the stale copy goes to the index an assignment
            # visits first.
            index.union_with(rebased)
            rebased.union_with(index)
    for idx in (index, rebased):
        assert_index_agrees(idx, objs)


def test_reduce_meeting_an_assignment_neither_fails_nor_poisons():
    objs = [Indexable(x=i, tag="t") for i in range(50)]
    index, other = Index(), Index()
    index.add_object_many(objs)
    other.add_object_many(objs)  # the assignment has two indexes to move in
    with KeepAssigning(objs[:3]):
        for _ in range(300):
            index.reduce(tag="t")  # selects every object: narrows nothing
    for idx in (index, other):
        assert_index_agrees(idx, objs)


def test_additions_and_removals_never_fail_once_their_work_is_done():
    obj = Indexable(x=1)
    index = Index()
    stop = threading.Event()

    def read():
        while not stop.is_set():
            obj.x  # a use of the object at every moment

    readers = [threading.Thread(target=read) for _ in range(2)]
    for t in readers:
        t.start()
    try:
        for _ in range(500):
            index.add_object(obj)
            obj.x += 1
            index.remove_object(obj)
    finally:
        stop.set()
        for t in readers:
            t.join()
    assert len(index) == 0 and index.get_by_attribute(x=obj.x) == []
    index.add_object(obj)
    obj.x = 0
    assert index.get_by_attribute(x=0) == [obj]


def test_a_hash_that_reduces_an_index_of_the_object_moves_it_everywhere_or_nowhere():
    objs = [Indexable(x=i, tag="t") for i in range(3)]
    indexes = [Index() for _ in range(3)]
    for idx in indexes:
        idx.add_object_many(objs)

    class Reducing:
        def __hash__(self):
            indexes[1].reduce(tag="t")  # every object matches: narrows nothing
            return 77

    objs[1].x = Reducing()
    objs[2].x = 5
    for idx in indexes:
        assert idx.get_by_attribute(x=77) == [objs[1]]
        assert idx.get_by_attribute(x=5) == [objs[2]]
        assert idx.get_by_attribute(x=[1, 2]) == []
        assert idx.get_by_attribute(x=0) == [objs[0]]
