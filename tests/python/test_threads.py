"""Concurrent use from several Python threads."""
import random
import threading
import time

from hang_scenarios import enum_keys_while_assigning, reentrant_keys_while_assigning
from Vorlane import Index, Indexable, PyQueryExpr as Q

BORROW_ERRORS = {"Already borrowed", "Already mutably borrowed"}


def run_threads(targets, seconds):
    stop = time.monotonic() + seconds
    errors = []

    def wrap(fn, seed):
        rng = random.Random(seed)
        try:
            while time.monotonic() < stop:
                fn(rng)
        except BaseException as exc:  # noqa: BLE001 - reported below
            errors.append(exc)

    threads = [threading.Thread(target=wrap, args=(fn, i)) for i, fn in enumerate(targets)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return errors


def test_additions_assignments_and_lookups_at_once():
    shared = [Indexable(colour="red", size=i) for i in range(200)]
    indexes = [Index() for _ in range(3)]
    for index in indexes:
        index.add_object_many(shared)
    own = [[] for _ in indexes]
    refused = []

    def adder(k):
        def run(rng):
            o = Indexable(colour=rng.choice(["red", "blue"]), size=rng.randint(0, 50))
            try:
                indexes[k].add_object(o)  # a reader may hold the index
            except RuntimeError as exc:
                assert str(exc) in BORROW_ERRORS
                refused.append(exc)
                return
            own[k].append(o)
        return run

    def assigner(rng):
        o = rng.choice(shared)
        try:
            o.size = rng.randint(0, 50)
            o.colour = rng.choice(["red", "blue", "green"])
        except RuntimeError as exc:
            assert str(exc) in BORROW_ERRORS
            refused.append(exc)

    def reader(rng):
        index = rng.choice(indexes)
        try:
            index.get_by_attribute(colour="blue")
            index.reduced_query(Q.and_(Q.gt("size", 10), Q.ne("colour", "red"))).collect()
        except RuntimeError as exc:
            assert str(exc) in BORROW_ERRORS
            refused.append(exc)

    errors = run_threads([adder(0), adder(1), adder(2), assigner, assigner, reader, reader], 2.0)
    assert errors == []
    for k, index in enumerate(indexes):
        members = shared + own[k]
        for colour in ("red", "blue", "green"):
            got = index.get_by_attribute(colour=colour)
            assert set(map(id, got)) == {id(o) for o in members if o.colour == colour}
        got = index.reduced_query(Q.gt("size", 25)).collect()
        assert set(map(id, got)) == {id(o) for o in members if o.size > 25}


def test_interpreter_lock_is_released_during_bulk_add():
    import sys

    objs = [Indexable(kind=i % 20, size=i, price=i * 0.5, owner=f"o{i % 1000}") for i in range(200_000)]
    index = Index()
    counter = [0]
    done = threading.Event()

    def count():
        while not done.is_set():
            counter[0] += 1
            if counter[0] % 50 == 0:
                time.sleep(0)  # hands the lock back whenever someone waits for it

    # With a very long switch interval, the counting thread runs only while
    # the main thread gives up the interpreter lock of its own accord.
    old = sys.getswitchinterval()
    sys.setswitchinterval(100)
    try:
        worker = threading.Thread(target=count)
        worker.start()
        time.sleep(0.05)
        before = counter[0]
        index.add_object_many(objs)
        after = counter[0]
        done.set()
        worker.join()
    finally:
        sys.setswitchinterval(old)
    assert after - before > 100
    assert len(index.get_by_attribute(kind=3)) == 10_000


def test_conflicting_use_fails_at_once():
    index = Index()
    objs = [Indexable(k=i) for i in range(300_000)]
    results = []
    deadline = time.monotonic() + 5

    def bulk():
        # A collect that borrowed the index first refuses the addition at
        # once; it is tried again until it is the one holding the index.
        while True:
            try:
                index.add_object_many(objs)
                return
            except RuntimeError as exc:
                if str(exc) != "Already borrowed" or time.monotonic() > deadline:
                    raise

    t = threading.Thread(target=bulk)
    t.start()
    while t.is_alive() and time.monotonic() < deadline:
        try:
            index.collect()
        except RuntimeError as exc:
            results.append(str(exc))
            break
    t.join()
    assert set(results) <= {"Already mutably borrowed"}
    assert len(index.collect()) == 300_000


def test_queries_while_another_thread_assigns():
    # Objects move between two states together, one attribute at a time, so
    # any consistent snapshot sees each object with size in {0, 1}.
    objs = [Indexable(size=0, colour="red") for _ in range(2000)]
    index = Index()
    index.add_object_many(objs)
    seen_sizes = []

    def assigner(rng):
        o = rng.choice(objs)
        o.size = 1 - o.size

    def querier(rng):
        # Each evaluation sees one state of the maps: every object once.
        either = index.reduced_query(Q.or_(Q.lt("size", 1), Q.ge("size", 1))).collect()
        both = index.reduced_query(Q.and_(Q.le("size", 0), Q.ge("size", 1))).collect()
        odd = index.reduced_query(Q.not_(Q.in_("size", [0, 1]))).collect()
        assert both == [] and odd == []
        seen_sizes.append(len(either))

    errors = run_threads([assigner, querier, querier, querier], 2.0)
    assert errors == []
    assert seen_sizes and set(seen_sizes) == {2000}
    final_low = {id(o) for o in index.reduced_query(Q.lt("size", 1)).collect()}
    assert final_low == {id(o) for o in objs if o.size == 0}


def test_bulk_add_while_another_index_of_its_objects_dies():
    # A large add_object_many reads its objects on several threads; meanwhile
    # the last reference to another index of the same objects goes away, so
    # a reading thread may drop that index's record and its stored objects.
    objs = [Indexable(n=i % 50, tag=str(i)) for i in range(60_000)]
    stop = threading.Event()

    def churn():
        while not stop.is_set():
            other = Index()
            other.add_object_many(objs[:2_000])
            del other

    thread = threading.Thread(target=churn)
    thread.start()
    try:
        for _ in range(4):
            ix = Index()
            ix.add_object_many(objs)
            assert len(ix) == len(objs)
            assert len(ix.get_by_attribute(n=7)) == len(objs) // 50
    finally:
        stop.set()
        thread.join()


# Both once froze the process: counts of keys whose __hash__ is Python code
# were built under the index's locks.
def test_value_counts_of_enum_keys_while_another_thread_assigns():
    enum_keys_while_assigning(rounds=300)


def test_value_counts_of_keys_whose_hash_assigns_into_the_index():
    reentrant_keys_while_assigning(rounds=300)


def test_value_reads_while_another_thread_assigns_and_removes():
    # Reads copy values under the item table's lock while other threads
    # assign and remove: every value read is one the object held, and the
    # final reads match a recomputation.
    objs = [Indexable(size=i % 7, label=f"l{i % 3}", price=float(i)) for i in range(3000)]
    index = Index()
    index.add_object_many(objs)
    view = index.reduced_query(Q.lt("size", 4))
    gone = objs[::10]

    def assigner(rng):
        o = rng.choice(objs)
        o.size = rng.randrange(7)
        o.label = rng.choice(["l0", "l1", "l2"])

    def remover(rng):
        o = rng.choice(gone)
        try:
            if o in index:
                index.remove_object(o)
        except RuntimeError as exc:  # a reader shares the index: refused at once
            assert str(exc) in BORROW_ERRORS

    def reader(rng):
        scope = rng.choice([index, view])
        try:
            cols = scope.columns("size", "label")
            assert set(cols["size"]) <= set(range(7)) and set(cols["label"]) <= {"l0", "l1", "l2"}
            # another thread may remove objects between two calls: each is checked alone
            assert scope.sum("price") >= 0 and len(scope.records("label")) <= len(objs)
            counts = scope.value_counts(("label", "size"))
            assert sum(counts.values()) <= len(objs)
            scope.to_arrow("size", "label").__arrow_c_stream__()
            scope.collect_sorted("size", limit=5, offset=rng.randrange(100))
        except RuntimeError as exc:  # the remover holds the index exclusively
            assert str(exc) in BORROW_ERRORS

    errors = run_threads([assigner, remover, reader, reader], 2.0)
    assert errors == []
    kept = [o for o in objs if o in index]
    assert index.columns("size", "label") == {"size": [o.size for o in kept], "label": [o.label for o in kept]}
    assert index.sum("price") == sum(o.price for o in kept)
    assert index.collect_sorted("size", offset=5) == sorted(kept, key=lambda o: o.size)[5:]
