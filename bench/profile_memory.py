"""Where an index's bytes go: `memory_usage()` of the whole index of the
lineitem, wide or movies table, then attribute by attribute (an index of
objects that hold that attribute alone), per row.

    .venv/bin/python bench/profile_memory.py lineitem [--n 600572]
    .venv/bin/python bench/profile_memory.py wide [--n 300000]
    .venv/bin/python bench/profile_memory.py movies [--n 58788]
"""

from __future__ import annotations

import argparse
import gc

from Vorlane import Index, Indexable

PARTS = ("value_maps", "id_sets", "trees")


def columns(suite: str, n: int | None):
    if suite == "lineitem":
        import lineitem

        return lineitem.LineitemColumns(n), lineitem.ATTRS
    if suite == "movies":
        import movies

        return movies.MovieColumns(n or movies.ROWS), movies.ATTRS
    import wide

    return wide.WideColumns(n or 300_000), wide.ATTRS


def per_row(figures: dict, n: int) -> str:
    return "  ".join(f"{k} {figures[k] / n:7.1f}" for k in PARTS + ("total",))


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("suite", choices=["lineitem", "wide", "movies"])
    ap.add_argument("--n", type=int)
    args = ap.parse_args()
    data, attrs = columns(args.suite, args.n)
    n = data.n
    objs = [Indexable(**dict(zip(attrs, values))) for values in data.rows()]
    index = Index()
    index.add_object_many(objs)
    print(f"{args.suite}, {n} rows: bytes per row")
    print(f"  {'all':14} {per_row(index.memory_usage(), n)}")
    del index, objs
    gc.collect()
    for name in attrs:
        values = data.cols[name]
        objs = [Indexable(**{name: v}) for v in values]
        index = Index()
        index.add_object_many(objs)
        distinct = len(set(values))
        print(f"  {name:14} {per_row(index.memory_usage(), n)}  distinct {distinct}")
        del index, objs
        gc.collect()


if __name__ == "__main__":
    main()
