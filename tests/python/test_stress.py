"""Eight threads mixing every operation on shared indexes and objects.

A refused use of an index (a borrow error), an iteration that saw its index
change, and a merge refused because the other index holds an object the
receiver lost meanwhile are allowed outcomes; anything else, and every
internal error, fails the test. Afterwards every index must agree with a
recomputation from the objects' final values (read back from the objects)
and the members each index was given. A summary line (operations, refusals,
internal errors, inconsistencies) is printed for the record."""
import os
import random
import threading
import time
from collections import Counter

from hang_scenarios import enum_keys_while_assigning, reentrant_keys_while_assigning
from Vorlane import Index, Indexable, PyQueryExpr as Q

SECONDS = float(os.environ.get("VORLANE_STRESS_SECONDS", "2"))
# Rounds of the scenarios that once hung, per thread: about a quarter of the
# stress time on 3.13, so `make stress` runs them for a while too.
HANG_ROUNDS = int(SECONDS * 10_000)
THREADS = 8
BORROW_ERRORS = {"Already borrowed", "Already mutably borrowed"}
CHANGED = "the index changed during iteration"
COLOURS = ["red", "blue", "green"]


def allowed(exc):
    if type(exc) is RuntimeError:
        return str(exc) in BORROW_ERRORS or str(exc) == CHANGED
    return type(exc) is ValueError and str(exc).startswith("union_with:")


def new_object(rng):
    return Indexable(colour=rng.choice(COLOURS), size=rng.randint(0, 50), tag="t")


def test_eight_threads_mixing_every_operation():
    shared = [Indexable(colour="red", size=i, tag="t", _p=i) for i in range(100)]
    indexes = [Index() for _ in range(3)]
    for index in indexes:
        index.add_object_many(shared)
    # The objects each index was given beyond the shared ones, and how many
    # removals of them are under way (guarded by `lock`, the test's own).
    own = [[] for _ in indexes]
    lock = threading.Lock()
    counts = Counter()  # outcomes of every thread, added up as each ends
    failures = []
    stop = time.monotonic() + SECONDS

    def add(index, k, objs, many):
        if many:
            index.add_object_many(objs)
        else:
            index.add_object(objs[0])
        with lock:
            own[k].extend(objs)

    def remove(index, k, rng):
        with lock:
            if not own[k]:
                return
            obj = own[k].pop(rng.randrange(len(own[k])))
        try:
            index.remove_object(obj)
        except BaseException:
            with lock:
                own[k].append(obj)  # refused: still a member
            raise

    def operation(rng):
        k = rng.randrange(len(indexes))
        index = indexes[k]
        op = rng.randrange(15)
        if op == 0:
            add(index, k, [new_object(rng)], many=False)
        elif op == 1:
            add(index, k, [new_object(rng) for _ in range(5)], many=True)
        elif op == 2:
            remove(index, k, rng)
        elif op in (3, 4, 5):
            obj = rng.choice(shared)
            obj.size = rng.choice([rng.randint(0, 50), rng.random() * 50])
            obj.colour = rng.choice(COLOURS)
        elif op == 6:
            obj = rng.choice(shared)
            assert obj.colour in COLOURS and 0 <= obj.size < 100
        elif op == 7:
            index.get_by_attribute(colour=rng.choice(COLOURS), size=range(10))
        elif op == 8:
            expr = Q.or_(Q.and_(Q.gt("size", 10), Q.ne("colour", "red")),
                         Q.in_("colour", ["green"]), Q.not_(Q.bt("size", 0, 5)))
            index.reduced_query(expr).collect()
        elif op == 9:
            index.reduced(colour="blue").reduced(size=[1, 2, 3]).collect()
        elif op == 10:
            index.reduced(colour="red").rebase().get_by_attribute(_p=[1, 2])
        elif op == 11:
            # Objects removed from `index` meanwhile make the merge refuse.
            index.union_with(index.reduced(colour=rng.choice(COLOURS)).rebase())
        elif op == 12:
            index.reduce(tag="t")  # every object matches: narrows nothing
        elif op == 13:
            for obj in index:
                assert obj.tag == "t"
        else:
            index.collect_sorted("size", limit=10, reverse=rng.random() < 0.5)
            len(index)

    def worker(seed):
        rng = random.Random(seed)
        mine = Counter()
        while time.monotonic() < stop:
            try:
                operation(rng)
                mine["done"] += 1
            except BaseException as exc:  # noqa: BLE001 - checked below
                if not allowed(exc):
                    failures.append(exc)
                    break
                mine["refused"] += 1
        with lock:
            counts.update(mine)

    threads = [threading.Thread(target=worker, args=(seed,)) for seed in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()

    inconsistencies = []

    def check(what, got, want):
        if got != want:
            inconsistencies.append(what)

    for k, index in enumerate(indexes):
        members = shared + own[k]
        check(f"index {k}: objects", {id(o) for o in index.collect()}, {id(o) for o in members})
        check(f"index {k}: length", len(index), len(members))
        for colour in COLOURS:
            got = {id(o) for o in index.get_by_attribute(colour=colour)}
            check(f"index {k}: colour {colour}", got, {id(o) for o in members if o.colour == colour})
        got = {id(o) for o in index.reduced_query(Q.gt("size", 25)).collect()}
        check(f"index {k}: size > 25", got, {id(o) for o in members if o.size > 25})
        got = {id(o) for o in index.reduced_query(Q.not_(Q.le("size", 25))).collect()}
        check(f"index {k}: not size <= 25", got, {id(o) for o in members if not o.size <= 25})
        position = {id(o): n for n, o in enumerate(index.collect())}  # ascending id
        got = [id(o) for o in index.collect_sorted("size")]
        want = [id(o) for o in sorted(members, key=lambda o: (o.size, position[id(o)]))]
        check(f"index {k}: sorted by size", got, want)

    internal = [e for e in failures if type(e).__name__ == "PanicException"]
    print(f"\nstress: {THREADS} threads, {SECONDS:g} s: {counts['done']} operations, "
          f"{counts['refused']} refused, {len(internal)} internal errors, "
          f"{len(failures) - len(internal)} other failures, "
          f"{len(inconsistencies)} inconsistencies")
    assert failures == []
    assert inconsistencies == []


def test_value_counts_of_python_hashed_keys_never_stalls():
    start = time.monotonic()
    enum_keys_while_assigning(HANG_ROUNDS)
    reentrant_keys_while_assigning(HANG_ROUNDS)
    print(f"\nhang scenarios: {HANG_ROUNDS} rounds each, {time.monotonic() - start:.1f} s, no stall")
