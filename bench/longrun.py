"""What a long-running process leaves behind: figures only, no assertions.

    .venv/bin/python bench/longrun.py               # full counts, about two minutes
    .venv/bin/python bench/longrun.py --scale 0.01  # a quick check

1. Item tables: after 20,000,000 `Indexable`s have been created and dropped,
   the `memory_usage()` of a new index holding one new object.
2. Trees under ever-growing values: 1,000 objects whose `ts` is assigned
   2,000,000 times in all, each value larger than the last (a timestamp);
   the index's `memory_usage()["trees"]` after the first round and at the end.
3. Names used only in queries: a million distinct attribute names, each in
   one `PyQueryExpr.eq` evaluated by `reduced_query` on a small index; the
   RSS growth left once the expressions and views are dropped.
4. Id uniqueness after 2^32 creations is a correctness property, not a
   figure: it is noted here and left to the tests.

Each measurement runs in a fresh subprocess: memory freed by one would
otherwise be reused by the next and hide its growth. Writes
bench/results/longrun[-tag].json and .md.
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import subprocess
import sys
import time
from pathlib import Path

from peers import machine
from Vorlane import Index, Indexable, PyQueryExpr as Q

RESULTS = Path(__file__).resolve().parent / "results"
DROPPED_OBJECTS = 20_000_000
TREE_OBJECTS = 1_000
TREE_ASSIGNMENTS = 2_000_000
QUERY_NAMES = 1_000_000
QUERY_INDEX_OBJECTS = 100
ID_NOTE = (
    "Ids are process-wide and handed out in creation order; after 2^32 creations "
    "they must stay unique among live objects. That is a correctness property, "
    "checked by tests, not measured here."
)


def rss_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def dropped_objects(count: int) -> dict:
    """An index of one object made after `count` objects came and went."""
    gc.collect()
    before = rss_bytes()
    t0 = time.perf_counter()
    for _ in range(count):
        Indexable(x=1)
    seconds = time.perf_counter() - t0
    gc.collect()
    index = Index()
    index.add_object(Indexable(x=1))
    usage = index.memory_usage()
    print(f"after {count:,} objects created and dropped ({seconds:.1f} s): "
          f"an index of one object uses {usage['total']:,} B {usage}", flush=True)
    return {"objects": count, "seconds": seconds, "memory_usage": usage,
            "rss_growth": rss_bytes() - before}


def growing_values(objects: int, assignments: int) -> dict:
    """Tree memory while every assignment moves an object to a new maximum."""
    objs = [Indexable(ts=i) for i in range(objects)]
    index = Index()
    index.add_object_many(objs)
    start = index.memory_usage()["trees"]
    rounds = max(1, assignments // objects)
    value = objects
    t0 = time.perf_counter()
    after_first = None
    for r in range(rounds):
        for o in objs:
            o.ts = value
            value += 1
        if r == 0:
            after_first = index.memory_usage()["trees"]
    seconds = time.perf_counter() - t0
    end = index.memory_usage()
    ratio = end["trees"] / after_first
    print(f"{objects:,} objects assigned {rounds * objects:,} times with growing values: trees "
          f"{start:,} B at the start, {after_first:,} B after the first round, {end['trees']:,} B "
          f"at the end ({ratio:.1f}x the first round); {seconds / (rounds * objects) * 1e9:.0f} ns "
          "per assignment", flush=True)
    return {"objects": objects, "assignments": rounds * objects, "trees_start": start,
            "trees_after_first_round": after_first, "trees_end": end["trees"],
            "ratio_end_to_first_round": ratio, "memory_usage_end": end,
            "ns_per_assignment": seconds / (rounds * objects) * 1e9}


def query_only_names(names: int) -> dict:
    """RSS left behind by names that appear only in query expressions."""
    index = Index()
    index.add_object_many([Indexable(x=i, kind="a") for i in range(QUERY_INDEX_OBJECTS)])
    # Warm every path once, so what stays is what the names cost.
    for i in range(1000):
        index.reduced_query(Q.eq("x", i))
    gc.collect()
    before = rss_bytes()
    t0 = time.perf_counter()
    for i in range(names):
        index.reduced_query(Q.eq(f"n{i}", 1))
    seconds = time.perf_counter() - t0
    gc.collect()
    grown = rss_bytes() - before
    print(f"{names:,} distinct names used only in queries ({seconds:.1f} s): RSS grew by "
          f"{grown / 2**20:.1f} MiB ({grown / names:.0f} B per name) after they were dropped",
          flush=True)
    return {"names": names, "seconds": seconds, "rss_growth": grown, "bytes_per_name": grown / names}


def markdown(report: dict) -> str:
    d, t, q = report["dropped"], report["trees"], report["names"]
    return "\n".join([
        "### Long-running process",
        "",
        "| measurement | figure |",
        "|---|---|",
        f"| index of one object after {d['objects']:,} objects were created and dropped "
        f"| {d['memory_usage']['total']:,} B (item table {d['memory_usage']['item_table']:,} B) |",
        f"| RSS growth of creating and dropping them, that index included "
        f"| {d['rss_growth'] / 2**20:.1f} MiB |",
        f"| trees of {t['objects']:,} objects after one round of growing values "
        f"| {t['trees_after_first_round']:,} B |",
        f"| the same after {t['assignments']:,} assignments | {t['trees_end']:,} B "
        f"({t['ratio_end_to_first_round']:.1f}× the first round) |",
        f"| RSS left by {q['names']:,} distinct names used only in queries "
        f"| {q['rss_growth'] / 2**20:.1f} MiB ({q['bytes_per_name']:.0f} B per name) |",
        "",
        ID_NOTE,
        "",
    ])


def run_part(part: str, scale: float) -> dict:
    def scaled(count):
        return max(1, int(count * scale))

    if part == "dropped":
        return dropped_objects(scaled(DROPPED_OBJECTS))
    if part == "trees":
        return growing_values(TREE_OBJECTS, scaled(TREE_ASSIGNMENTS))
    return query_only_names(scaled(QUERY_NAMES))


def in_subprocess(part: str, scale: float) -> dict:
    proc = subprocess.run(
        [sys.executable, __file__, "--part", part, "--scale", str(scale)],
        stdout=subprocess.PIPE, text=True, check=True,
    )
    lines = proc.stdout.strip().splitlines()
    print("\n".join(lines[:-1]), flush=True)
    return json.loads(lines[-1])


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--scale", type=float, default=1.0, help="multiply every count (0.01 for a check)")
    ap.add_argument("--tag", default="", help="suffix of the result files")
    ap.add_argument("--part", choices=["dropped", "trees", "names"], help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.part:
        print(json.dumps(run_part(args.part, args.scale)))
        return 0

    report = {part: in_subprocess(part, args.scale) for part in ("dropped", "trees", "names")}
    report["ids"] = ID_NOTE
    report["machine"] = machine()
    print(ID_NOTE)
    RESULTS.mkdir(parents=True, exist_ok=True)
    stem = RESULTS / f"longrun{args.tag}"
    stem.with_suffix(".json").write_text(json.dumps(report, indent=2) + "\n")
    stem.with_suffix(".md").write_text(markdown(report))
    return 0


if __name__ == "__main__":
    sys.exit(main())
