"""`Index.add_object_many` of existing objects: wall time against a polars
frame built from the same objects' values, or instructions under callgrind.

    python bench/profile_add_many.py [--n 1000000] [--runs 2]

Creates N objects with the five attributes of `bench/peers.py` (kind, owner,
size, price, flag), then per run times `Index().add_object_many(objs)` on
fresh objects and a polars frame of the same values, extraction from the
objects included (one list per attribute, then the frame).

Under callgrind (see bench/callgrind_ctl.c for CALLGRIND_LIB), only the
`add_object_many` call is collected, into a dump of its own; instructions
per object are its total over N.
"""

import argparse
import ctypes
import gc
import os
import time

from peers import Columns

from Vorlane import Index, Indexable

ATTRS = ("kind", "owner", "size", "price", "flag")


def create(cols):
    return [Indexable(kind=k, owner=o, size=s, price=p, flag=f) for k, o, s, p, f in cols.rows()]


def polars_frame(objs):
    import polars as pl

    return pl.DataFrame(
        {
            "kind": pl.Series([o.kind for o in objs], dtype=pl.Categorical),
            "owner": pl.Series([o.owner for o in objs], dtype=pl.Categorical),
            "size": pl.Series([o.size for o in objs], dtype=pl.Int64),
            "price": pl.Series([o.price for o in objs], dtype=pl.Float64),
            "flag": pl.Series([o.flag for o in objs], dtype=pl.Int8),
        }
    )


def timed(fn, *args):
    gc.collect()
    t0 = time.perf_counter()
    fn(*args)
    return time.perf_counter() - t0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--n", type=int, default=1_000_000)
    parser.add_argument("--runs", type=int, default=2)
    args = parser.parse_args()
    cols = Columns(args.n)
    lib = os.environ.get("CALLGRIND_LIB")
    if lib:
        cg = ctypes.CDLL(lib)
        objs = create(cols)
        Index().add_object_many(create(Columns(1000)))  # warm: first allocations
        index = Index()  # kept: its release is not part of the call
        cg.cg_instr_on()
        cg.cg_on()
        index.add_object_many(objs)
        cg.cg_off_dump(b"add_object_many")
        print(f"add_object_many of {args.n:,} objects collected")
        return
    for run in range(1, args.runs + 1):
        objs = create(cols)
        index = Index()
        mine = timed(index.add_object_many, objs)
        frame = timed(polars_frame, objs)
        print(
            f"run {run}: add_object_many {mine * 1e3:.0f} ms, polars frame from the objects' values "
            f"{frame * 1e3:.0f} ms, ratio {mine / frame:.2f}",
            flush=True,
        )
        del objs, index


if __name__ == "__main__":
    main()
