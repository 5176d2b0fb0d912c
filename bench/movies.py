"""Repeated numbers: Vorlane against its peers on a table shaped like a film catalogue.

58,788 rows x 24 attributes, made with a fixed seed: ten float columns of 12
values each (r1..r10: shares of votes, 4.5, 14.5, 24.5 ...), seven 0/1 int
flags, a rating of 91 values (1.0 to 10.0), a budget that is 91% NaN and
otherwise large and mostly distinct, year (ints 1893-2005), length (ints, a
few hundred values), votes (ints, skewed, many values), a title that is
nearly always distinct and an mpaa rating of 5 values, mostly "". Most of its
numbers repeat, so this is the shape where fixed costs per attribute and per
value weigh most.

Times building (creating and indexing), indexing alone, equality on a flag
and on mpaa, a range on rating and on r1, top-10 lists of budget both ways
and of rating, value_counts of mpaa and a range whose results have two
attributes read back; measures memory per row in a fresh process per
implementation. Every answer is checked against a plain scan.

    .venv/bin/python bench/movies.py                 # 58,788 rows
    .venv/bin/python bench/movies.py --runs 2        # twice, then the spread

The object peers hold one Python object per row and index the queried
attributes; sqlite, pandas and polars hold the table alone (sqlite with
indexes on the queried columns) and answer with row numbers. A NaN is in no
range and in no top-10 list: sqlite stores it as NULL, polars reads it as a
null.

Writes bench/results/movies-<N>[-runK].md and .json.
"""

from __future__ import annotations

import dataclasses
import gc
import random
import sys
from collections import Counter
from heapq import nlargest, nsmallest
from operator import attrgetter

import harness
import peers
import wide
from chunked import ChunkedSorted
from harness import (
    WARM_UP_OBJECTS,
    Checker,
    IndexedObjects,
    fmt,
    left_out_lines,
    measure_build,
    measure_memory,
    memory_child,
    pandas_rows,
    per_call,
    ratio_rows,
    run_suite,
    runnable,
    sqlite_ids,
    sqlite_indexes,
    suite_arguments,
)
from peers import TOP_K, as_counts

RESULTS = peers.RESULTS
ROWS = 58_788
BUDGET_NAN_SHARE = 0.91
# Shares of votes per star, in the catalogue's rounding: 12 values.
SHARES = [0.0, 4.5, 14.5, 24.5, 34.5, 44.5, 54.5, 64.5, 74.5, 84.5, 94.5, 100.0]
SHARE_WEIGHTS = [10, 30, 22, 14, 9, 6, 4, 2, 1, 0.6, 0.3, 1.1]
FLAGS = {"Action": 0.08, "Animation": 0.06, "Comedy": 0.29, "Drama": 0.37,
         "Documentary": 0.06, "Romance": 0.08, "Short": 0.16}
MPAA = ["", "R", "PG-13", "PG", "NC-17"]
MPAA_WEIGHTS = [92.4, 4.6, 1.7, 1.1, 0.2]
R_ATTRS = [f"r{i}" for i in range(1, 11)]
INT_ATTRS = ["year", "length", "votes"] + list(FLAGS)
FLOAT_ATTRS = ["budget", "rating"] + R_ATTRS
STR_ATTRS = ["title", "mpaa"]
ATTRS = ["title", "year", "length", "budget", "rating", "votes"] + R_ATTRS + ["mpaa"] + list(FLAGS)
# What the hand-written indexes index: the attributes the workloads query.
EQ_ATTRS = ("Comedy", "Animation", "mpaa")
ORDERED_ATTRS = ("rating", "r1", "budget")
READ_ATTRS = ("title", "year")


def budget(rnd) -> float:
    """A budget in whole thousands, or a NaN of its own, as a file's reader
    makes them (a NaN hashes by identity: each is a key of its own)."""
    if rnd.random() < BUDGET_NAN_SHARE:
        return float("nan")
    return float(round(rnd.lognormvariate(15.5, 1.5), -3))


class MovieColumns:
    """The attribute values of n rows, column by column (made once)."""

    def __init__(self, n: int = ROWS, seed: int = 20261211):
        rnd = random.Random(seed)
        self.n = n
        cols = {a: [] for a in ATTRS}
        for i in range(n):
            short = rnd.random() < FLAGS["Short"]
            if rnd.random() < 0.01:  # a long feature or a serial
                length = rnd.randrange(120, 600)
            else:
                length = max(1, int(rnd.gauss(12, 6) if short else rnd.gauss(95, 25)))
            row = {
                # A few titles are shared by remakes.
                "title": f"Film {rnd.randrange(n) if rnd.random() < 0.02 else i}",
                "year": min(2005, 1893 + int(112 * rnd.betavariate(4, 1.5))),
                "length": length,
                "budget": budget(rnd),
                "rating": min(10.0, max(1.0, round(rnd.gauss(5.9, 1.5), 1))),
                "votes": min(160_000, 4 + int(rnd.paretovariate(0.9))),
                "mpaa": rnd.choices(MPAA, MPAA_WEIGHTS)[0],
            }
            row.update(zip(R_ATTRS, rnd.choices(SHARES, SHARE_WEIGHTS, k=len(R_ATTRS))))
            for flag, share in FLAGS.items():
                row[flag] = int(short) if flag == "Short" else int(rnd.random() < share)
            for a in ATTRS:
                cols[a].append(row[a])
        self.cols = cols
        # Query parameters.
        self.eq_flags = [("Comedy", 1), ("Animation", 1)]
        self.eq_mpaa = ["R", "PG-13"]
        self.rating_ranges = [(7.0, 7.4), (3.0, 3.9)]
        self.r_ranges = [(4.5, 14.5), (44.5, 64.5)]
        self.read_ranges = [(8.0, 8.6)]

    def rows(self):
        return zip(*(self.cols[a] for a in ATTRS))


# The object the object peers hold: plain attributes in slots, compared and
# hashed by identity.
Row = dataclasses.make_dataclass("Row", ATTRS, slots=True, eq=False)


def make_rows(mc) -> list:
    return [Row(*values) for values in mc.rows()]


def is_number(value) -> bool:
    return value == value  # NaN is no number of any order


# ---------------------------------------------------------------------------
# Implementations. Each answers with rows: objects, or row numbers, which
# `positions` turns into row numbers, sorted unless order is the answer.


class ObjectPeer(wide.ObjectPeer):
    def read2(self, lo, hi):
        result = self.range("rating", lo, hi)
        return [o.title for o in result], [o.year for o in result]


class Scan(ObjectPeer):
    name = "list scan"

    def build(self, mc):
        self.objs = make_rows(mc)

    def eq(self, attr, value):
        get = attrgetter(attr)
        return [o for o in self.objs if get(o) == value]

    def range(self, attr, lo, hi):
        get = attrgetter(attr)
        return [o for o in self.objs if lo <= get(o) <= hi]

    def top(self, attr, k, largest):
        # Both are a stable sort cut short: ties come in row order.
        get = attrgetter(attr)
        numbers = (o for o in self.objs if is_number(get(o)))
        return (nlargest if largest else nsmallest)(k, numbers, key=get)

    def value_counts(self):
        return Counter(o.mpaa for o in self.objs)


class HandIndex(peers.SortedListRanges, IndexedObjects, ObjectPeer):
    """Dicts of sets for equality, SortedLists of (value, row) for numbers."""

    name = "dict of sets + SortedList"
    make_objects = staticmethod(make_rows)

    def _index(self, mc):
        from sortedcontainers import SortedList

        self.by = peers.sets_by_value(self.objs, EQ_ATTRS)
        self.ordered = {
            a: SortedList((v, p) for p, v in enumerate(mc.cols[a]) if is_number(v)) for a in ORDERED_ATTRS
        }

    def eq(self, attr, value):
        return list(self.by[attr].get(value, ()))

    def value_counts(self):
        return {mpaa: len(rows) for mpaa, rows in self.by["mpaa"].items()}


class ChunkedIndex(peers.ChunkedRanges, HandIndex):
    """Dicts of sets for equality, chunked key and object lists (bench/chunked.py)."""

    name = "dict of sets + chunked lists"

    def _index(self, mc):
        self.by = peers.sets_by_value(self.objs, EQ_ATTRS)
        self.ordered = {a: ChunkedSorted(mc.cols[a], self.objs) for a in ORDERED_ATTRS}


class Vorlane(ObjectPeer, wide.Vorlane):
    attrs = ATTRS

    def eq(self, attr, value):
        return self.index.get_by_attribute(**{attr: value})

    def range(self, attr, lo, hi):
        from Vorlane import PyQueryExpr as Q

        return self.index.reduced_query(Q.bt(attr, lo, hi)).collect()

    def top(self, attr, k, largest):
        return self.index.collect_sorted(attr, limit=k, reverse=largest)

    def value_counts(self):
        return self.index.value_counts("mpaa")

    def read2(self, lo, hi):
        from Vorlane import PyQueryExpr as Q

        return self.index.reduced_query(Q.bt("rating", lo, hi)).columns(*READ_ATTRS)


TablePeer = wide.TablePeer


class Sqlite(TablePeer):
    name = "sqlite3 (memory)"

    def load(self, mc):
        import sqlite3

        db = self.db = sqlite3.connect(":memory:")
        types = {a: "INTEGER" for a in INT_ATTRS}
        types.update({a: "REAL" for a in FLOAT_ATTRS})
        types.update({a: "TEXT" for a in STR_ATTRS})
        db.execute("CREATE TABLE t (id INTEGER PRIMARY KEY, " + ", ".join(f'"{a}" {types[a]}' for a in ATTRS) + ")")
        marks = ", ".join("?" * (len(ATTRS) + 1))
        # sqlite stores a NaN as NULL, which no comparison selects.
        db.executemany(f"INSERT INTO t VALUES ({marks})", ((i, *row) for i, row in enumerate(mc.rows())))
        sqlite_indexes(db, EQ_ATTRS + ORDERED_ATTRS)

    def _ids(self, sql, params):
        return sqlite_ids(self.db, sql, params)

    def eq(self, attr, value):
        return self._ids(f'SELECT id FROM t WHERE "{attr}" = ?', (value,))

    def range(self, attr, lo, hi):
        return self._ids(f"SELECT id FROM t WHERE {attr} BETWEEN ? AND ?", (lo, hi))

    def top(self, attr, k, largest):
        order = "DESC" if largest else "ASC"
        return self._ids(f"SELECT id FROM t WHERE {attr} IS NOT NULL ORDER BY {attr} {order}, id LIMIT ?", (k,))

    def value_counts(self):
        return self.db.execute("SELECT mpaa, COUNT(*) FROM t GROUP BY mpaa").fetchall()

    def read2(self, lo, hi):
        return self.db.execute("SELECT title, year FROM t WHERE rating BETWEEN ? AND ?", (lo, hi)).fetchall()

    read2_rows = staticmethod(list)


class Pandas(TablePeer):
    name = "pandas (masks)"

    def load(self, mc):
        import numpy as np
        import pandas as pd

        data = {a: np.array(mc.cols[a], dtype=np.int64) for a in ("year", "length", "votes")}
        data.update({a: np.array(mc.cols[a], dtype=np.int8) for a in FLAGS})
        data.update({a: np.array(mc.cols[a], dtype=np.float64) for a in FLOAT_ATTRS})
        data["title"] = mc.cols["title"]
        data["mpaa"] = pd.Categorical(mc.cols["mpaa"])
        self.df = pd.DataFrame(data, columns=ATTRS)

    _rows = staticmethod(pandas_rows)

    def eq(self, attr, value):
        return self._rows(self.df[attr] == value)

    def range(self, attr, lo, hi):
        return self._rows(self.df[attr].between(lo, hi))

    def top(self, attr, k, largest):
        # keep="first": ties in row order, as a stable sort gives them; NaN is left out.
        column = self.df[attr]
        return (column.nlargest(k) if largest else column.nsmallest(k)).index.to_numpy()

    def value_counts(self):
        return self.df["mpaa"].value_counts()

    def read2(self, lo, hi):
        sub = self.df.loc[self.df["rating"].between(lo, hi), list(READ_ATTRS)]
        return [sub[a].to_list() for a in READ_ATTRS]


class Polars(TablePeer):
    name = "polars (masks)"

    def load(self, mc):
        import polars as pl

        data = {a: pl.Series(a, mc.cols[a], dtype=pl.Int64) for a in ("year", "length", "votes")}
        data.update({a: pl.Series(a, mc.cols[a], dtype=pl.Int8) for a in FLAGS})
        # A NaN is a null here, which no comparison selects and top_k leaves out.
        data.update({a: pl.Series(a, mc.cols[a], dtype=pl.Float64).fill_nan(None) for a in FLOAT_ATTRS})
        data["title"] = pl.Series("title", mc.cols["title"], dtype=pl.String)
        data["mpaa"] = pl.Series("mpaa", mc.cols["mpaa"], dtype=pl.Categorical)
        self.df = pl.DataFrame([data[a] for a in ATTRS])

    def eq(self, attr, value):
        return (self.df[attr] == value).arg_true().to_numpy()

    def range(self, attr, lo, hi):
        return self.df[attr].is_between(lo, hi).arg_true().to_numpy()

    def top(self, attr, k, largest):
        # top_k gives values, not rows, and breaks ties arbitrarily: take
        # the rows at or past the k-th value, then order them with ties in
        # row order (as bench/lineitem.py does).
        column = self.df[attr]
        if largest:
            rows = (column >= column.top_k(k).min()).arg_true()
        else:
            rows = (column <= column.bottom_k(k).max()).arg_true()
        values = column.gather(rows).to_list()
        order = sorted(range(len(values)), key=values.__getitem__, reverse=largest)[:k]
        return rows.to_numpy()[order]

    def value_counts(self):
        return self.df["mpaa"].value_counts()

    def read2(self, lo, hi):
        sub = self.df.select(READ_ATTRS).filter(self.df["rating"].is_between(lo, hi))
        return [sub[a].to_list() for a in READ_ATTRS]


IMPLEMENTATIONS = {
    "scan": Scan,
    "hand": HandIndex,
    "chunked": ChunkedIndex,
    "sqlite": Sqlite,
    "pandas": Pandas,
    "polars": Polars,
    "vorlane": Vorlane,
}
REQUIRES = harness.REQUIRES
REFERENCE = "scan"

WORKLOADS = [
    ("build", "build (create + index, or the table)", "s"),
    ("index_only", "indexing alone (existing objects, or the table)", "s"),
    ("eq_flag", "equality on a 0/1 flag (Comedy, Animation: 6-29%)", "s"),
    ("eq_mpaa", "equality on mpaa (R, PG-13: 2-5%)", "s"),
    ("range_rating", "range on rating (91 values, 3-9%)", "s"),
    ("range_r", "range on r1 (12 values, 36-52%)", "s"),
    ("top_budget", f"top {TOP_K} by budget (91% NaN), largest first", "s"),
    ("bottom_budget", f"top {TOP_K} by budget (91% NaN), smallest first", "s"),
    ("top_rating", f"top {TOP_K} by rating, largest first", "s"),
    ("counts", "value_counts of mpaa", "s"),
    ("read2", "range on rating, then title and year of each result", "s"),
    ("memory", "memory per row (objects + index, or the table)", "B"),
]


def query_workloads(impl, mc) -> list:
    """(key, function, parameter lists, whether order is the answer)."""
    return [
        ("eq_flag", impl.eq, mc.eq_flags, False),
        ("eq_mpaa", impl.eq, [("mpaa", m) for m in mc.eq_mpaa], False),
        ("range_rating", impl.range, [("rating", *r) for r in mc.rating_ranges], False),
        ("range_r", impl.range, [("r1", *r) for r in mc.r_ranges], False),
        ("top_budget", impl.top, [("budget", TOP_K, True)], True),
        ("bottom_budget", impl.top, [("budget", TOP_K, False)], True),
        ("top_rating", impl.top, [("rating", TOP_K, True)], True),
    ]


def run_queries(impl, mc, checker, is_reference) -> dict:
    out = {}
    gc.collect()
    for key, fn, params, ordered in query_workloads(impl, mc):
        for p in params:
            checker.check_value(impl.name, is_reference, (key, p), impl.positions(fn(*p), ordered))
        out[key] = per_call(fn, params)
    checker.check_value(impl.name, is_reference, ("counts",), as_counts(impl.value_counts()))
    out["counts"] = per_call(impl.value_counts, [()])
    for p in mc.read_ranges:
        checker.check_value(impl.name, is_reference, ("read2", p), sorted(impl.read2_rows(impl.read2(*p))))
    out["read2"] = per_call(impl.read2, mc.read_ranges)
    return out


def run(n: int, only: list[str]) -> dict:
    mc = MovieColumns(n)
    print(f"== movies: {mc.n:,} rows x {len(ATTRS)} attributes", flush=True)
    checker = Checker()
    report = {"n": mc.n, "attributes": len(ATTRS), "results": {}, "skipped": {}}
    keys = [REFERENCE] + [k for k in only if k != REFERENCE]
    for key, cls in runnable(keys, IMPLEMENTATIONS, REQUIRES, report):
        impl, row = measure_build(cls, mc)
        row.update(run_queries(impl, mc, checker, key == REFERENCE))
        del impl
        gc.collect()
        row["memory"] = measure_memory(__file__, key, n)
        report["results"][cls.name] = row
        print(f"  {cls.name}: " + ", ".join(f"{k}={fmt(v, k)}" for k, v in row.items()), flush=True)
    report["mismatches"] = checker.mismatches
    return report


# ---------------------------------------------------------------------------
# Reporting

# The scan keeps no index: no peer for building or indexing.
NOT_A_PEER_FOR = {key: {Scan.name} for key in ("build", "index_only")}


def markdown(report: dict) -> str:
    shape = f"{report['n']:,} rows × {report['attributes']} attributes"
    lines = [f"### Repeated numbers, a film catalogue's shape: {shape}", ""]
    # Memory is compared with sqlite, the smallest peer that answers every workload from an index.
    lines += ratio_rows(report["results"], WORKLOADS, Vorlane.name, Sqlite.name, NOT_A_PEER_FOR)
    lines += left_out_lines(report)
    lines.append(
        "\nSynthetic, with a fixed seed: ten share columns of 12 values, seven 0/1 flags, a rating "
        "of 91 values, a budget that is 91% NaN, three int columns, a nearly distinct title and an "
        "mpaa rating of 5 values, mostly empty. Vorlane and the object peers hold one Python object "
        "per row; the hand-written indexes index only the queried attributes "
        f"({', '.join(EQ_ATTRS + ORDERED_ATTRS)}), Vorlane all {report['attributes']}. sqlite, pandas "
        "and polars hold the table alone (sqlite with indexes on the queried columns) and answer with "
        f"row numbers; reading converts the matching rows' {' and '.join(READ_ATTRS)} to Python values. "
        "For table peers, build and indexing alone are the same work, measured twice. NaN is in no "
        f"range and no top-{TOP_K} list; ties come in row order. Memory is compared with sqlite."
    )
    lines.append("")
    return "\n".join(lines)


def main() -> int:
    args = suite_arguments(__doc__.splitlines()[0], IMPLEMENTATIONS, f"rows (default {ROWS:,})", ROWS)
    if args.memory_child:
        memory_child(MovieColumns(args.n), MovieColumns(WARM_UP_OBJECTS), IMPLEMENTATIONS[args.memory_child], args.n)
        return 0
    RESULTS.mkdir(parents=True, exist_ok=True)
    return run_suite(
        args.runs, lambda: run(args.n, args.only), lambda report: RESULTS / f"movies-{args.n}{args.tag}", markdown
    )


if __name__ == "__main__":
    sys.exit(main())
