"""What a program does after the query, Vorlane against its peers.

    .venv/bin/python bench/after_query.py            # 1,000,000 objects, twice
    .venv/bin/python bench/after_query.py --runs 1 --n 100000

Workloads (the selection is made once, outside the timing, as each peer's
mask is):
  - two attributes of every object of a 10% range: `columns`, against two
    list comprehensions over the same `collect()` and pandas/polars reading
    the two columns of the masked rows as lists;
  - 5 attributes of every object into a polars DataFrame: through `to_arrow`,
    against the frame built from the 5 lists `columns` returns (with and
    without the `columns` call);
  - the sum of a float attribute over a 50% view, against pandas' and
    polars' masked sums;
  - counts of the pairs of two attributes over a 50% view, against pandas'
    `groupby(...).size()` and polars' `group_by(...).len()` on the same mask;
  - a page of 10 objects after 100,000 in numeric order, against the first
    page (it must not list what it skips).

Every answer is checked against the peers' (a mismatch fails the run). The
figures of each run and their spread go to bench/results/after-query-<N>.md
and .json.
"""

from __future__ import annotations

import argparse
import gc
import json
import math
import random
import statistics
import sys
import time
from pathlib import Path

import pandas as pd
import polars as pl

from Vorlane import Index, Indexable, PyQueryExpr as Q

RESULTS = Path(__file__).resolve().parent / "results"
KINDS = [f"k{i}" for i in range(20)]
SIZE_MAX = 1_000_000
FIVE = ("kind", "size", "price", "flag", "side")
REPEATS = 5
# Calls of each DataFrame workload (tens of ms each): enough turns that each
# side meets a quiet spell of the shared machine.
FRAME_REPEATS = 7


def best(fn, repeats=REPEATS):
    times = []
    for _ in range(repeats):
        gc.collect()
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times)


def best_alternating(fns, repeats):
    """The best time of each of `fns` (a dict of name to call), called in
    turns: one call of each per round. A slow spell of the shared machine
    then falls on every workload alike, not on the one timed through it.
    Each round starts one further along, so that no workload always runs
    right after the same other one (with its memory freed just before)."""
    times = {name: [] for name in fns}
    names = list(fns)
    for round_ in range(repeats):
        first = round_ % len(names)
        for name in names[first:] + names[:first]:
            fn = fns[name]
            gc.collect()
            start = time.perf_counter()
            fn()
            times[name].append(time.perf_counter() - start)
    return {name: min(t) for name, t in times.items()}


def make_data(n, seed=20261210):
    rnd = random.Random(seed)
    cols = {
        "kind": [KINDS[rnd.randrange(len(KINDS))] for _ in range(n)],
        "size": [rnd.randrange(SIZE_MAX) for _ in range(n)],
        "price": [round(rnd.uniform(0, 1000), 2) for _ in range(n)],
        "flag": [rnd.randrange(2) for _ in range(n)],
        "side": [rnd.choice(("buy", "sell")) for _ in range(n)],
    }
    objs = [Indexable(**dict(zip(cols, row))) for row in zip(*cols.values())]
    index = Index()
    index.add_object_many(objs)
    return cols, objs, index


def run(n):
    cols, objs, index = make_data(n)
    pdf = pd.DataFrame(cols)
    pldf = pl.DataFrame(cols)
    out = {}

    # Two columns of a 10% range.
    lo, hi = 400_000, 400_000 + SIZE_MAX // 10
    view = index.reduced_query(Q.bt("size", lo, hi))
    pmask = pdf["size"].between(lo, hi).to_numpy()
    lmask = pldf["size"].is_between(lo, hi)
    got = view.columns("price", "kind")

    def comprehensions():
        selected = view.collect()
        return [o.price for o in selected], [o.kind for o in selected]

    assert list(got.values()) == list(comprehensions())
    assert got["price"] == pdf.loc[pmask, "price"].to_list()
    out["columns_2_of_10pct_vorlane"] = best(lambda: view.columns("price", "kind"))
    out["columns_2_of_10pct_comprehensions"] = best(comprehensions)
    out["columns_2_of_10pct_pandas"] = best(
        lambda: [pdf.loc[pmask, a].to_list() for a in ("price", "kind")])
    out["columns_2_of_10pct_polars"] = best(
        lambda: [pldf.filter(lmask)[a].to_list() for a in ("price", "kind")])

    # 5 attributes of every object into polars.
    lists = index.columns(*FIVE)
    frame = pl.DataFrame(index.to_arrow(*FIVE))
    assert frame.equals(pl.DataFrame(lists)), "to_arrow and columns disagree"
    out.update(best_alternating({
        "polars_frame_to_arrow": lambda: pl.DataFrame(index.to_arrow(*FIVE)),
        "polars_frame_from_lists": lambda: pl.DataFrame(lists),
        "polars_frame_columns_then_lists": lambda: pl.DataFrame(index.columns(*FIVE)),
    }, FRAME_REPEATS))

    # Sum over a 50% view.
    half = index.reduced_query(Q.eq("flag", 1))
    hmask = (pdf["flag"] == 1).to_numpy()
    hlmask = pldf["flag"] == 1
    total = half.sum("price")
    assert math.isclose(total, pdf["price"][hmask].sum(), rel_tol=1e-9)
    out["sum_50pct_vorlane"] = best(lambda: half.sum("price"))
    out["sum_50pct_pandas"] = best(lambda: pdf["price"][hmask].sum())
    out["sum_50pct_polars"] = best(lambda: pldf["price"].filter(hlmask).sum())

    # Counts of pairs over a 50% view.
    counts = half.value_counts(("kind", "side"))
    want = pdf[hmask].groupby(["kind", "side"]).size()
    assert counts == {k: int(v) for k, v in want.items()}
    out["pairs_50pct_vorlane"] = best(lambda: half.value_counts(("kind", "side")))
    out["pairs_50pct_pandas"] = best(lambda: pdf[hmask].groupby(["kind", "side"]).size())
    out["pairs_50pct_polars"] = best(lambda: pldf.filter(hlmask).group_by(["kind", "side"]).len())

    # A page far into the order against the first one.
    skip = min(100_000, n // 2)
    page = index.collect_sorted("size", limit=10, offset=skip)
    assert [o.size for o in page] == sorted(cols["size"])[skip:skip + 10]
    out["page_offset_0"] = best(lambda: index.collect_sorted("size", limit=10, offset=0), 50)
    out["page_offset_100k"] = best(lambda: index.collect_sorted("size", limit=10, offset=skip), 50)
    return out


RATIOS = [
    ("columns, 2 of a 10% range / the 2 comprehensions over collect()", "columns_2_of_10pct_vorlane",
     "columns_2_of_10pct_comprehensions", 0.25),
    ("columns, 2 of a 10% range / pandas", "columns_2_of_10pct_vorlane", "columns_2_of_10pct_pandas", None),
    ("columns, 2 of a 10% range / polars", "columns_2_of_10pct_vorlane", "columns_2_of_10pct_polars", None),
    ("polars frame of 5: to_arrow / from the 5 lists", "polars_frame_to_arrow", "polars_frame_from_lists", 0.5),
    ("polars frame of 5: to_arrow / columns, then the lists", "polars_frame_to_arrow",
     "polars_frame_columns_then_lists", None),
    ("sum over a 50% view / pandas", "sum_50pct_vorlane", "sum_50pct_pandas", 0.5),
    ("sum over a 50% view / polars", "sum_50pct_vorlane", "sum_50pct_polars", None),
    ("value_counts of 2 names, 50% view / pandas groupby size", "pairs_50pct_vorlane", "pairs_50pct_pandas", 0.5),
    ("value_counts of 2 names, 50% view / polars group_by len", "pairs_50pct_vorlane", "pairs_50pct_polars", None),
    ("collect_sorted(limit=10): offset 100,000 / offset 0", "page_offset_100k", "page_offset_0", 2.0),
]


def report(n, runs):
    lines = [f"# After the query: {n:,} objects, {len(runs)} run(s)", "",
             "Times are the best of several calls, in ms (the DataFrame workloads in turns,"
             " one call of each per round).", "",
             "| workload | " + " | ".join(f"run {i + 1}" for i in range(len(runs))) + " |",
             "|---|" + "---|" * len(runs)]
    for key in runs[0]:
        lines.append(f"| {key} | " + " | ".join(f"{r[key] * 1e3:.3f}" for r in runs) + " |")
    lines += ["", "| ratio | " + " | ".join(f"run {i + 1}" for i in range(len(runs)))
              + " | spread | target |", "|---|" + "---|" * (len(runs) + 2)]
    for label, mine, peer, target in RATIOS:
        values = [r[mine] / r[peer] for r in runs]
        spread = (max(values) - min(values)) / min(values) * 100
        lines.append(f"| {label} | " + " | ".join(f"{v:.3f}" for v in values)
                     + f" | {spread:.0f}% | {'at most ' + str(target) if target else ''} |")
    return "\n".join(lines) + "\n"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=1_000_000)
    parser.add_argument("--runs", type=int, default=2)
    args = parser.parse_args()
    runs = [run(args.n) for _ in range(args.runs)]
    text = report(args.n, runs)
    print(text)
    RESULTS.mkdir(exist_ok=True)
    (RESULTS / f"after-query-{args.n}.md").write_text(text)
    (RESULTS / f"after-query-{args.n}.json").write_text(json.dumps(runs, indent=1))


if __name__ == "__main__":
    sys.exit(main())
