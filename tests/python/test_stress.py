"""Eight threads mixing every operation on shared indexes and objects.

Each thread records the assignments that succeeded; refused borrows are an
allowed outcome. Afterwards every index must agree with a replay: each
object's final values (read back from the object) and the members each
index was given."""
import os
import random
import threading
import time

from Vorlane import Index, Indexable, PyQueryExpr as Q

SECONDS = float(os.environ.get("VORLANE_STRESS_SECONDS", "2"))
THREADS = 8
BORROW_ERRORS = {"Already borrowed", "Already mutably borrowed"}
COLOURS = ["red", "blue", "green"]


def refused(exc):
    """A borrow refused at once: the binding layer's error, or the internal
    error of an operation that needs an object another thread is assigning
    (rebase, attribute reads)."""
    if isinstance(exc, RuntimeError):
        return str(exc) in BORROW_ERRORS
    return type(exc).__name__ == "PanicException" and str(exc) in BORROW_ERRORS


def test_eight_threads_mixing_every_operation():
    shared = [Indexable(colour="red", size=i, _p=i) for i in range(100)]
    indexes = [Index() for _ in range(3)]
    for index in indexes:
        index.add_object_many(shared)
    members = [list(shared) for _ in indexes]
    lock = threading.Lock()  # guards the test's own bookkeeping only
    errors = []
    stop = time.monotonic() + SECONDS

    def operation(rng):
        k = rng.randrange(len(indexes))
        index = indexes[k]
        op = rng.randrange(9)
        if op == 0:
            obj = Indexable(colour=rng.choice(COLOURS), size=rng.randint(0, 50))
            index.add_object(obj)
            with lock:
                members[k].append(obj)
        elif op == 1:
            objs = [Indexable(colour=rng.choice(COLOURS), size=rng.random()) for _ in range(5)]
            index.add_object_many(objs)
            with lock:
                members[k].extend(objs)
        elif op in (2, 3):
            obj = rng.choice(shared)
            obj.size = rng.choice([rng.randint(0, 50), rng.random() * 50])
            obj.colour = rng.choice(COLOURS)
        elif op == 4:
            index.get_by_attribute(colour=rng.choice(COLOURS), size=range(10))
        elif op == 5:
            expr = Q.or_(Q.and_(Q.gt("size", 10), Q.ne("colour", "red")),
                         Q.in_("colour", ["green"]), Q.not_(Q.bt("size", 0, 5)))
            index.reduced_query(expr).collect()
        elif op == 6:
            index.reduced(colour="blue").reduced(size=[1, 2, 3]).collect()
        elif op == 7:
            index.reduced(colour="red").rebase().get_by_attribute(_p=[1, 2])
        else:
            index.collect()

    def worker(seed):
        rng = random.Random(seed)
        while time.monotonic() < stop:
            try:
                operation(rng)
            except BaseException as exc:  # noqa: BLE001 - checked below
                if not refused(exc):
                    errors.append(exc)
                    return

    threads = [threading.Thread(target=worker, args=(seed,)) for seed in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []

    for k, index in enumerate(indexes):
        order = {id(o): n for n, o in enumerate(members[k])}
        assert {id(o) for o in index.collect()} == set(order)
        for colour in COLOURS:
            got = {id(o) for o in index.get_by_attribute(colour=colour)}
            assert got == {id(o) for o in members[k] if o.colour == colour}
        got = {id(o) for o in index.reduced_query(Q.gt("size", 25)).collect()}
        assert got == {id(o) for o in members[k] if o.size > 25}
        got = {id(o) for o in index.reduced_query(Q.not_(Q.le("size", 25))).collect()}
        assert got == {id(o) for o in members[k] if not o.size <= 25}
