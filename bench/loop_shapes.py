"""Loop shapes over an equality result of a flights-shaped table: Vorlane
objects against `__slots__` objects holding the same value objects.

    python bench/loop_shapes.py [--n 336776] [--rounds 40] [--attr distance]
        [--order mine|slots] [--only lc,gen_sum]

Every shape reads one attribute of each object of the result (about 6% of
the table, 16 names per object), or none for the `count_only` control. The
shapes are timed in turns, the order reversed every other turn, and each
sample keeps whether the process was switched out while it ran (`getrusage`
context switches): on a shared machine the unswitched samples are the ones
to compare. Figures are ns per object: the minimum, the median and the
median of unswitched samples (their count in brackets).

Under `valgrind --tool=callgrind --collect-atstart=no --instr-atstart=no`,
with CALLGRIND_LIB naming bench/callgrind_ctl.c built as a shared library,
each shape runs once into a dump of its own (`--cache-sim=yes` adds the
simulated cache misses).
"""

import argparse
import ctypes
import os
import random
import resource
import time

from Vorlane import Index, Indexable

CG = ctypes.CDLL(os.environ["CALLGRIND_LIB"]) if os.environ.get("CALLGRIND_LIB") else None

NAMES = ["year", "month", "day", "dep_time", "sched_dep_time", "dep_delay", "arr_time",
         "sched_arr_time", "arr_delay", "carrier", "flight", "tailnum", "origin", "dest",
         "air_time", "distance"]
CARRIERS = [f"C{k:02d}" for k in range(16)]
TEXTS = ("tailnum", "origin", "dest")


def rows(n):
    rnd = random.Random(1)

    def value(name):
        if name == "carrier":
            return rnd.choice(CARRIERS)
        if name in TEXTS:
            return f"N{rnd.randrange(4000)}"
        return rnd.randrange(3000)

    return [{name: value(name) for name in NAMES} for _ in range(n)]


class Slots:
    __slots__ = NAMES

    def __init__(self, row):
        for name in NAMES:
            setattr(self, name, row[name])


def shapes(attr):
    """The loop shapes, each a function of the result, reading `attr`."""
    src = f"""
def lc(r):
    return [o.{attr} for o in r]
def gen_list(r):
    return list(o.{attr} for o in r)
def gen_sum(r):
    return sum(1 for o in r if o.{attr} is not None)
def assign(r):
    for o in r:
        x = o.{attr}
def test_count(r):
    n = 0
    for o in r:
        if o.{attr} is not None:
            n += 1
    return n
def test_never(r):
    n = 0
    for o in r:
        if o.{attr} is None:
            n += 1
    return n
def count_only(r):
    n = 0
    for o in r:
        n += 1
    return n
"""
    ns = {}
    exec(src, ns)
    names = ["lc", "gen_list", "gen_sum", "assign", "test_count", "test_never", "count_only"]
    return {name: ns[name] for name in names}


def build(n, order):
    table = rows(n)
    if order == "mine":
        mine = [Indexable(**row) for row in table]
        plain = [Slots(row) for row in table]
    else:
        plain = [Slots(row) for row in table]
        mine = [Indexable(**row) for row in table]
    index = Index()
    index.add_object_many(mine)
    return {
        "vorlane": index.get_by_attribute(carrier="C03"),
        "slots": [o for o in plain if o.carrier == "C03"],
    }, (index, mine, plain)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--n", type=int, default=336_776)
    parser.add_argument("--rounds", type=int, default=40)
    parser.add_argument("--attr", default="distance")
    parser.add_argument("--order", choices=("mine", "slots"), default="mine")
    parser.add_argument("--only", help="comma-separated shape names")
    args = parser.parse_args()
    results, _keep = build(args.n, args.order)
    fns = shapes(args.attr)
    if args.only:
        fns = {name: fns[name] for name in args.only.split(",")}
    cases = [(kind, name) for kind in results for name in fns]
    count = len(results["vorlane"])
    if CG is not None:
        CG.cg_instr_on()
        for kind, name in cases:
            fns[name](results[kind])
            CG.cg_on()
            fns[name](results[kind])
            CG.cg_off_dump(f"{name} {kind}".encode())
        print(f"{count} objects")
        return
    samples = {case: [] for case in cases}
    unswitched = {case: [] for case in cases}
    for turn in range(args.rounds):
        for kind, name in cases[:: 1 if turn % 2 == 0 else -1]:
            before = resource.getrusage(resource.RUSAGE_SELF)
            t0 = time.perf_counter()
            fns[name](results[kind])
            took = (time.perf_counter() - t0) / count * 1e9
            after = resource.getrusage(resource.RUSAGE_SELF)
            samples[(kind, name)].append(took)
            if (after.ru_nivcsw, after.ru_nvcsw) == (before.ru_nivcsw, before.ru_nvcsw):
                unswitched[(kind, name)].append(took)
    print(f"{count} objects, {args.n} in the table, made {args.order} first; ns per object")

    def median(xs):
        return sorted(xs)[len(xs) // 2] if xs else float("nan")

    for name in fns:
        cells = []
        for kind in results:
            s, u = samples[(kind, name)], unswitched[(kind, name)]
            cells.append(f"{kind} {min(s):6.1f} {median(s):6.1f} {median(u):6.1f} ({len(u)})")
        print(f"{name:11s} " + " | ".join(cells))


if __name__ == "__main__":
    main()
