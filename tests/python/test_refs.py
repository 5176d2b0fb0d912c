"""Reference counts, finalisation and memory of every public operation.

Each loop runs a bounded number of rounds and checks that the module gives
back every reference it took: counts of stored values return to their start,
objects dropped by the user and by every index are finalised, and the
process's resident memory stays flat after a warm-up."""
import gc
import os
import sys

import pytest

import Vorlane
from Vorlane import Index, Indexable, PyQueryExpr as Q

SANITIZED = os.environ.get("VORLANE_SANITIZED") == "1"
ROUNDS = 20 if SANITIZED else 60
# Resident memory may grow by this much over the measured rounds.
RSS_SLACK_BYTES = 8 * 1024 * 1024


def test_module_under_test_is_the_expected_build():
    expected = os.environ.get("VORLANE_EXPECT_MODULE_DIR")
    if expected:
        assert os.path.dirname(Vorlane.__file__) == expected, Vorlane.__file__


class Counted(Indexable):
    finalised = 0

    def __del__(self):
        type(self).finalised += 1


class Marker:
    """A hashable attribute value whose reference count is watched."""

    def __hash__(self):
        return 12345


def every_expression(value):
    return [
        Q.eq("v", value), Q.ne("v", value), Q.gt("n", 1), Q.ge("n", 1.5), Q.lt("n", 9),
        Q.le("n", 3), Q.bt("n", 0, 5), Q.in_("v", [value, 1, "x"]),
        Q.not_(Q.eq("v", value)), Q.and_(Q.gt("n", 0), Q.eq("v", value)),
        Q.or_(Q.eq("v", value), Q.lt("n", 2)), Q.and_(), Q.or_(),
    ]


def one_round(value):
    objs = [Counted(v=value, n=i, _p=value) for i in range(8)]
    index = Index()
    index.add_object(objs[0])
    index.add_object_many(objs[1:])
    objs[0].v = value
    objs[1].v = "other"
    objs[1].v = value
    index.get_by_attribute(v=value, n=[1, 2, 3])
    index.get_by_attribute(v=iter([value]))
    for expr in every_expression(value):
        repr(expr)
        index.reduced_query(expr).collect()
    view = index.reduced(v=value)
    view.reduced(n=[1, 2]).collect()
    rebased = view.rebase()
    rebased.get_by_attribute(_p=value)
    index.union_with(rebased)
    index.collect()
    index.reduced(n=[0, 1, 2]).rebase().reduce(v=value)
    index.reduce(v=value)
    dir(objs[0])


def test_counts_of_values_and_objects_return_to_their_start():
    value = Marker()
    gc.collect()
    start = sys.getrefcount(value)
    Counted.finalised = 0
    for _ in range(ROUNDS):
        one_round(value)
    gc.collect()
    assert sys.getrefcount(value) == start
    assert Counted.finalised == 8 * ROUNDS


def test_a_kept_object_is_released_by_every_index_it_was_in():
    obj = Indexable(a=1)
    start = sys.getrefcount(obj)
    indexes = [Index() for _ in range(5)]
    for index in indexes:
        index.add_object(obj)
        index.add_object_many([obj, obj])
    views = [index.reduced(a=1) for index in indexes]
    rebased = [view.rebase() for view in views]
    assert sys.getrefcount(obj) > start
    del indexes, views, rebased, index  # the loop variable holds one too
    gc.collect()
    assert sys.getrefcount(obj) == start


def test_failed_calls_give_back_their_references():
    value = Marker()
    start = sys.getrefcount(value)
    index = Index()
    for _ in range(ROUNDS):
        try:
            Indexable(a=value, b=2**70)
        except BaseException:  # noqa: BLE001 - the internal error is expected
            pass
        try:
            Q.in_("a", [value, 2**70])
        except BaseException:  # noqa: BLE001
            pass
        try:
            index.add_object_many([Indexable(a=value), 5])
        except TypeError:
            pass
    gc.collect()
    assert sys.getrefcount(value) == start


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif(SANITIZED, reason="asan keeps freed memory in quarantine")
def test_memory_stays_flat_over_repeated_rounds():
    value = Marker()
    for _ in range(ROUNDS):  # warm-up: interned names, caches, allocator pools
        one_round(value)
    gc.collect()
    before = resident_bytes()
    for _ in range(ROUNDS * 3):
        one_round(value)
    gc.collect()
    assert resident_bytes() - before < RSS_SLACK_BYTES
