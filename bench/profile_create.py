"""`Indexable(**row)` per row, as tables are loaded: instructions per object
under callgrind, or wall time.

    python bench/profile_create.py [--shape lineitem|movies|json] [--n 20000]

Shapes: `lineitem`, 17 names (ints, floats, short strs, dates) given by one
list of interned names; `movies`, 24 names (a title, ints, floats, 0/1
flags); `json`, the lineitem row read by `json.loads` per row, so that its
names are new str objects on every row (dates as text).

Under callgrind (see bench/callgrind_ctl.c for CALLGRIND_LIB), only the
creation loop is collected, into a dump of its own; instructions per object
are its total over N (the interpreter's `**` unpacking included).
"""

import argparse
import ctypes
import datetime
import json
import os
import random
import time

from Vorlane import Indexable

LINEITEM = [
    "orderkey", "partkey", "suppkey", "linenumber", "quantity", "extendedprice", "discount",
    "tax", "returnflag", "linestatus", "shipdate", "commitdate", "receiptdate", "shipinstruct",
    "shipmode", "comment", "shipday",
]  # fmt: skip
MOVIES = (
    ["title", "year", "length", "budget", "rating", "votes"]
    + [f"r{i}" for i in range(1, 11)]
    + ["mpaa", "Action", "Animation", "Comedy", "Drama", "Documentary", "Romance", "Short"]
)


def lineitem_values(rng, i, dates):
    modes = ("AIR", "MAIL", "SHIP", "TRUCK", "RAIL", "FOB", "REG AIR")
    day = dates[i % len(dates)]
    return [
        i, rng.randrange(200_000), rng.randrange(10_000), i % 7 + 1, rng.randrange(1, 51),
        rng.uniform(900, 100_000), rng.randrange(11) / 100, rng.randrange(9) / 100,
        rng.choice("ANR"), rng.choice("FO"), day, dates[(i + 30) % len(dates)],
        dates[(i + 40) % len(dates)], rng.choice(("NONE", "COLLECT COD", "DELIVER IN PERSON")),
        rng.choice(modes), f"comment {i}", (day - datetime.date(1970, 1, 1)).days,
    ]  # fmt: skip


def rows(shape, n):
    rng = random.Random(20261211)
    dates = [datetime.date(1992, 1, 1) + datetime.timedelta(days=d) for d in range(2500)]
    if shape == "lineitem":
        return [dict(zip(LINEITEM, lineitem_values(rng, i, dates))) for i in range(n)]
    if shape == "movies":
        return [
            dict(
                zip(
                    MOVIES,
                    [f"film {i}", 1900 + i % 100, rng.randrange(200), float(rng.randrange(10**7)),
                     rng.uniform(1, 10), rng.randrange(10**5)]
                    + [rng.uniform(0, 50) for _ in range(10)]
                    + [rng.choice(("PG", "R", ""))]
                    + [rng.randrange(2) for _ in range(7)],
                )
            )
            for i in range(n)
        ]  # fmt: skip
    texts = [
        json.dumps(dict(zip(LINEITEM, lineitem_values(rng, i, dates))), default=str)
        for i in range(n)
    ]
    return [json.loads(text) for text in texts]


def create(table):
    return [Indexable(**row) for row in table]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--shape", choices=("lineitem", "movies", "json"), default="lineitem")
    parser.add_argument("--n", type=int, default=20_000)
    parser.add_argument("--runs", type=int, default=3)
    args = parser.parse_args()
    table = rows(args.shape, args.n)
    lib = os.environ.get("CALLGRIND_LIB")
    if lib:
        cg = ctypes.CDLL(lib)
        create(table[:1000])  # warm: the layout, first allocations
        cg.cg_instr_on()
        cg.cg_on()
        objs = create(table)
        cg.cg_off_dump(b"create")
        print(f"{len(objs):,} objects of shape {args.shape} collected")
        return
    for run in range(1, args.runs + 1):
        t0 = time.perf_counter()
        objs = create(table)
        took = time.perf_counter() - t0
        print(f"run {run}: {took / len(objs) * 1e9:.0f} ns per object ({args.shape})", flush=True)
        del objs


if __name__ == "__main__":
    main()
