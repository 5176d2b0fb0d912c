"""Instructions per row of reading the results of a range back:
`columns`, `records` and `to_arrow` over a view of the wide table.

    CALLGRIND_LIB=build/callgrind_ctl.so valgrind --tool=callgrind \\
        --collect-atstart=no --instr-atstart=no .venv/bin/python bench/profile_columns.py

builds bench/wide.py's table (`--n`, 100,000 rows by default), selects
`dep_delay` between 30 and 60 (about a fifth of it), and runs each workload
once into a dump of its own, after one untimed call (its result freed
outside the dump): instructions per row are the dump's total over the rows
printed. Without valgrind it prints the
best time of each instead.
"""

import argparse
import ctypes
import os
import sys
import time

sys.path.insert(0, os.path.dirname(__file__))

import wide  # noqa: E402
from Vorlane import Index, Indexable  # noqa: E402
from Vorlane import PyQueryExpr as Q  # noqa: E402

CG = ctypes.CDLL(os.environ["CALLGRIND_LIB"]) if os.environ.get("CALLGRIND_LIB") else None
LO, HI = 30.0, 60.0
TWO = ("tailnum", "distance")
FIVE = ("tailnum", "distance", "dep_delay", "carrier", "hour")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--n", type=int, default=100_000)
    args = parser.parse_args()
    wc = wide.WideColumns(args.n)
    index = Index()
    index.add_object_many([Indexable(**dict(zip(wide.ATTRS, row))) for row in wc.rows()])
    view = index.reduced_query(Q.bt("dep_delay", LO, HI))
    workloads = {
        "query": lambda: index.reduced_query(Q.bt("dep_delay", LO, HI)),
        "columns": lambda: view.columns(*TWO),
        "records": lambda: view.records(*TWO),
        "to_arrow": lambda: view.to_arrow(*FIVE).__arrow_c_stream__(),
    }
    print(f"rows: {len(view)}")
    if CG is not None:
        CG.cg_instr_on()
    for name, fn in workloads.items():
        fn()
        if CG is not None:
            CG.cg_on()
            result = fn()
            CG.cg_off_dump(name.encode())
            del result  # freed outside the dump
            continue
        best = float("inf")
        for _ in range(20):
            start = time.perf_counter()
            fn()
            best = min(best, time.perf_counter() - start)
        print(f"{name}: {best * 1e3:.3f} ms")


if __name__ == "__main__":
    main()
