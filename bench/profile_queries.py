"""Times the query paths at one size, or profiles them under callgrind.

    python bench/profile_queries.py [--n 1000000] [--only range,two,...]

Builds N objects with the columns `bench/peers.py` uses (kind: 20 strs,
owner: N/10 strs, size: int, price: float, flag: 0/1), indexes them, and
runs each workload with the calls `bench/peers.py` makes for this module.

Under `valgrind --tool=callgrind --collect-atstart=no --instr-atstart=no`,
with CALLGRIND_LIB naming a shared library that exports `cg_on()` and
`cg_off_dump(name)` (thin wrappers of CALLGRIND_TOGGLE_COLLECT and
CALLGRIND_DUMP_STATS_AT; bench/callgrind_ctl.c), each workload's repeats are collected into a
dump of their own: instructions per call are the dump's total over REPS.
"""

import argparse
import ctypes
import os
import random
import time

from Vorlane import Index, Indexable
from Vorlane import PyQueryExpr as Q

KINDS = [f"k{i}" for i in range(20)]
SIZE_MAX = 10**6


def build(n, seed=20261209):
    rnd = random.Random(seed)
    owners = [f"o{i}" for i in range(max(1, n // 10))]
    objs = [
        Indexable(
            kind=KINDS[rnd.randrange(20)],
            owner=owners[rnd.randrange(len(owners))],
            size=rnd.randint(0, SIZE_MAX),
            price=round(rnd.uniform(0, 1000), 2),
            flag=rnd.randrange(2),
        )
        for _ in range(n)
    ]
    index = Index()
    index.add_object_many(objs)
    return objs, index


def workloads(objs, index):
    n = len(objs)
    probe = objs[n // 3]
    kind, owner = probe.kind, probe.owner
    lo = 400_000
    hi = lo + SIZE_MAX // 100
    rnd = random.Random(7)
    picks = [(rnd.randrange(n), rnd.randint(0, SIZE_MAX)) for _ in range(1000)]
    state = {"i": 0}

    def assign():
        pos, value = picks[state["i"] % len(picks)]
        state["i"] += 1
        objs[pos].size = value

    return {
        "range": lambda: index.reduced_query(Q.bt("size", lo, hi)).collect(),
        "range50": lambda: index.reduced_query(Q.bt("size", 250_000, 750_000)).collect(),
        "two": lambda: index.get_by_attribute(kind=kind, owner=owner),
        "eq": lambda: index.get_by_attribute(kind="k7"),
        "top": lambda: index.collect_sorted("size", limit=10, reverse=True),
        "compound": lambda: index.reduced_query(
            Q.and_(Q.in_("kind", ["k1", "k2"]), Q.bt("size", 200_000, 600_000), Q.not_(Q.eq("flag", 1)))
        ).collect(),
        "assign": assign,
    }


REPS = {"range": 20, "range50": 3, "two": 2000, "eq": 5, "top": 2000, "compound": 20, "assign": 1000}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--n", type=int, default=1_000_000)
    parser.add_argument("--only", default="")
    parser.add_argument("--scale", type=float, default=1.0, help="multiplies the repeats")
    args = parser.parse_args()
    cg = ctypes.CDLL(os.environ["CALLGRIND_LIB"]) if os.environ.get("CALLGRIND_LIB") else None
    t0 = time.perf_counter()
    objs, index = build(args.n)
    print(f"built {args.n} in {time.perf_counter() - t0:.1f} s", flush=True)
    if cg is not None:
        ctypes.CDLL(os.environ["CALLGRIND_LIB"]).cg_instr_on()
    chosen = [w for w in args.only.split(",") if w] or list(REPS)
    runs = workloads(objs, index)
    for name in chosen:
        run = runs[name]
        reps = max(1, int(REPS[name] * args.scale))
        run()  # warm
        if cg is not None:
            cg.cg_on()
            for _ in range(reps):
                run()
            cg.cg_off_dump(name.encode())
            print(f"{name}: {reps} reps", flush=True)
            continue
        best = []
        for _ in range(5):
            t = time.perf_counter()
            for _ in range(reps):
                run()
            best.append((time.perf_counter() - t) / reps)
        best.sort()
        print(f"{name:9s} min {best[0] * 1e6:10.1f} us  median {best[2] * 1e6:10.1f} us", flush=True)


if __name__ == "__main__":
    main()
