"""Two scenarios that once froze the whole process, as bounded rounds under a
stall watchdog; used by the thread tests and, with more rounds, by the stress
test.

- Enum keys: `value_counts` of an attribute holding `enum.Enum` members (whose
  `__hash__` is Python code) on one thread, while another assigns another
  attribute of the same objects.
- Re-entrant keys: `value_counts` of keys whose `__hash__` itself assigns an
  attribute of an object of the same index, with assignments on another
  thread too.

The watchdog: a thread that re-arms `faulthandler.dump_traceback_later` each
time the workers made progress. A process frozen with the interpreter lock
held cannot re-arm it, so after `stall_seconds` without progress faulthandler
prints every thread's stack and ends the process with an error: a stall fails
the run instead of hanging it."""
import enum
import faulthandler
import sys
import threading
from collections import Counter

from Vorlane import Index, Indexable


class Kind(enum.Enum):
    RED = "red"
    BLUE = "blue"
    GREEN = "green"


class StallWatchdog:
    def __init__(self, stall_seconds):
        self.stall_seconds = stall_seconds
        self.progress = 0
        self.done = threading.Event()
        self.thread = threading.Thread(target=self._watch, daemon=True)

    def tick(self):
        self.progress += 1  # a racy count is enough: any change is progress

    def __enter__(self):
        faulthandler.dump_traceback_later(self.stall_seconds, exit=True, file=sys.stderr)
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.done.set()
        self.thread.join()
        faulthandler.cancel_dump_traceback_later()

    def _watch(self):
        seen = self.progress
        while not self.done.wait(0.2):
            if self.progress != seen:
                seen = self.progress
                faulthandler.dump_traceback_later(self.stall_seconds, exit=True, file=sys.stderr)


def run_rounds(workers, rounds, stall_seconds):
    """Runs each worker `rounds` times on its own thread; returns the errors."""
    errors = []

    with StallWatchdog(stall_seconds) as watchdog:

        def loop(work):
            try:
                for i in range(rounds):
                    work(i)
                    watchdog.tick()
            except BaseException as exc:  # noqa: BLE001 - reported by the caller
                errors.append(exc)

        threads = [threading.Thread(target=loop, args=(w,)) for w in workers]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    return errors


def counts_of(objs, name):
    return Counter(getattr(o, name) for o in objs)


def enum_keys_while_assigning(rounds, stall_seconds=20):
    kinds = list(Kind)
    objs = [Indexable(kind=kinds[i % 3], size=i) for i in range(300)]
    index = Index()
    index.add_object_many(objs)

    def count(i):
        scope = index if i % 2 else index.reduced(kind=[Kind.RED, Kind.BLUE])
        counts = scope.value_counts("kind")
        assert set(counts) <= set(kinds) and sum(counts.values()) <= len(objs)

    def assign_sizes(i):
        for o in objs[i % 10::10]:
            o.size = o.size + 1

    def assign_kinds(i):
        o = objs[i % len(objs)]
        o.kind = kinds[(kinds.index(o.kind) + 1) % 3]

    errors = run_rounds([count, assign_sizes, assign_kinds], rounds, stall_seconds)
    assert errors == []
    assert index.value_counts("kind") == counts_of(objs, "kind")
    assert index.value_counts("size") == counts_of(objs, "size")


def reentrant_keys_while_assigning(rounds, stall_seconds=20):
    targets = [Indexable(n=0, tag="target") for _ in range(4)]

    class Key:
        """A key whose hash assigns an object of the index it is counted in."""

        def __init__(self, name):
            self.name = name

        def __hash__(self):
            t = targets[hash(self.name) % len(targets)]
            t.n = t.n + 1
            return hash(self.name)

        def __eq__(self, other):
            return isinstance(other, Key) and other.name == self.name

    keys = [Key(f"k{i}") for i in range(5)]
    objs = [Indexable(key=keys[i % 5], n=i) for i in range(100)]
    index = Index()
    index.add_object_many(objs + targets)

    def count(i):
        counts = index.value_counts("key")
        assert sum(counts.values()) == len(objs)

    def assign(i):
        o = objs[i % len(objs)]
        o.key = keys[(i * 7) % 5]
        targets[i % len(targets)].n = -i

    errors = run_rounds([count, count, assign], rounds, stall_seconds)
    assert errors == []
    want = {k.name: n for k, n in counts_of(objs, "key").items()}
    assert {k.name: n for k, n in index.value_counts("key").items()} == want
    assert index.value_counts("n") == counts_of(objs + targets, "n")
