"""Attribute reads of Vorlane objects against `__slots__` objects.

    python bench/profile_reads.py [--n 1000000] [--rounds 5]
    python bench/profile_reads.py --wide [--n 336776]

The first form builds the objects `bench/peers.py` builds (5 attributes) and
times `[o.size for o in objs]` over the first 100,000 objects and over the
objects of an equality result, Vorlane and `__slots__` measured alternately
in one process, each figure the best of its rounds.

`--wide` builds a 16-attribute table of mixed ints, floats and strs, selects
about 17% of it with a range, and times a list comprehension against a
generator expression (`list(o.x for o in r)`) over the result, for both
kinds of objects; `--attr` names the attribute read (`size` is the first,
kept inside the object; `s2` the last, kept in its heap array).

Under `valgrind --tool=callgrind --collect-atstart=no --instr-atstart=no`,
with CALLGRIND_LIB naming bench/callgrind_ctl.c built as a shared library,
each workload runs once into a dump of its own: instructions per read are
the dump's total over the objects read.
"""

import argparse
import ctypes
import os
import sys
import time

sys.path.insert(0, os.path.dirname(__file__))

import peers  # noqa: E402
from Vorlane import Index, Indexable  # noqa: E402
from Vorlane import PyQueryExpr as Q  # noqa: E402

CG = ctypes.CDLL(os.environ["CALLGRIND_LIB"]) if os.environ.get("CALLGRIND_LIB") else None


def read_list(objs):
    return [o.size for o in objs]


def read_gen(objs):
    return list(o.size for o in objs)


def timed(fn, objs, rounds):
    fn(objs)
    best = float("inf")
    for _ in range(rounds):
        t0 = time.perf_counter()
        fn(objs)
        best = min(best, time.perf_counter() - t0)
    return best / len(objs) * 1e9


def compare(cases, rounds, repeats):
    """`cases`: name -> (fn, objs). Alternates them `repeats` times, in the
    reverse order every other time (both kinds of objects hold the same value
    objects, which whichever reads second finds in the cache); best ns."""
    if CG is not None:
        CG.cg_instr_on()
        for name, (fn, objs) in cases.items():
            fn(objs)
            CG.cg_on()
            fn(objs)
            CG.cg_off_dump(name.encode())
            print(f"{name}: {len(objs)} objects")
        return None
    best = {name: float("inf") for name in cases}
    for repeat in range(repeats):
        for name, (fn, objs) in list(cases.items())[:: 1 if repeat % 2 == 0 else -1]:
            best[name] = min(best[name], timed(fn, objs, rounds))
    return best


def narrow(n):
    cols = peers.Columns(n)
    mine = [Indexable(kind=k, owner=o, size=s, price=p, flag=f) for k, o, s, p, f in cols.rows()]
    index = Index()
    index.add_object_many(mine)
    plain = peers.make_objs(cols)
    kind = cols.eq_kinds[0]
    mine_result = index.get_by_attribute(kind=kind)
    plain_result = [o for o in plain if o.kind == kind]
    count = min(peers.READ_OBJECTS, n)
    return {
        "list vorlane": (read_list, mine[:count]),
        "list slots": (read_list, plain[:count]),
        "result vorlane": (read_list, mine_result),
        "result slots": (read_list, plain_result),
    }


WIDE_INTS = [f"i{k}" for k in range(7)]
WIDE_FLOATS = [f"f{k}" for k in range(5)]
WIDE_STRS = [f"s{k}" for k in range(3)]
WIDE_ATTRS = ["size"] + WIDE_INTS + WIDE_FLOATS + WIDE_STRS


def readers(attr):
    """A list comprehension and a generator expression reading `attr`."""
    ns = {}
    exec(
        f"def read_list(objs):\n    return [o.{attr} for o in objs]\n"
        f"def read_gen(objs):\n    return list(o.{attr} for o in objs)\n",
        ns,
    )
    return ns["read_list"], ns["read_gen"]


def wide(n, attr):
    import dataclasses
    import random

    rnd = random.Random(29)
    words = [f"w{k:05d}" for k in range(5000)]
    rows = []
    for _ in range(n):
        row = [rnd.randrange(1000)]
        row += [rnd.randrange(10 ** (k + 1)) for k in range(7)]
        row += [round(rnd.uniform(0, 1000), 2) for _ in range(5)]
        row += [words[rnd.randrange(10 ** (k + 1))] for k in range(3)]
        rows.append(row)
    Row = dataclasses.make_dataclass("Row", WIDE_ATTRS, slots=True, eq=False)
    mine = [Indexable(**dict(zip(WIDE_ATTRS, row))) for row in rows]
    plain = [Row(*row) for row in rows]
    index = Index()
    index.add_object_many(mine)
    mine_result = index.reduced_query(Q.lt("size", 174)).collect()
    plain_result = [o for o in plain if o.size < 174]
    by_list, by_gen = readers(attr)
    assert by_list(mine_result) == by_gen(plain_result)
    return {
        "list vorlane": (by_list, mine_result),
        "gen vorlane": (by_gen, mine_result),
        "list slots": (by_list, plain_result),
        "gen slots": (by_gen, plain_result),
    }


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--n", type=int)
    parser.add_argument("--wide", action="store_true")
    parser.add_argument("--attr", default="size", help="with --wide: the attribute read")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--repeats", type=int, default=5)
    args = parser.parse_args()
    n = args.n or (336_776 if args.wide else 1_000_000)
    cases = wide(n, args.attr) if args.wide else narrow(n)
    best = compare(cases, args.rounds, args.repeats)
    if best is None:
        return
    for name, ns in best.items():
        print(f"{name}: {ns:.2f} ns per object ({len(cases[name][1])} objects)")
    pairs = (
        [("gen vorlane", "list vorlane"), ("gen slots", "list slots"), ("list vorlane", "list slots")]
        if args.wide
        else [("list vorlane", "list slots"), ("result vorlane", "result slots")]
    )
    for a, b in pairs:
        print(f"{a} / {b}: {best[a] / best[b]:.2f}")

if __name__ == "__main__":
    main()
