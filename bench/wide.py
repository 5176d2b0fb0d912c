"""Wide objects: Vorlane against its peers on a table of 16 attributes.

300,000 rows shaped like a flights table: eight int columns of cardinalities
from 11 to a few thousand, four float columns with about 5% NaN, two
low-cardinality strings, one high-cardinality string and a 0/1 flag. Times
building (creating and indexing), indexing alone, an equality, a range, a
compound query, and a range whose results are read back as Python values
(two attributes of each), and measures memory per row. Every
implementation's answers are checked against a plain scan.

    .venv/bin/python bench/wide.py                 # 300,000 rows
    .venv/bin/python bench/wide.py --n 20000       # a quick check
    .venv/bin/python bench/wide.py --runs 2        # twice, then the spread

What each implementation holds: Vorlane, the plain scan and the hand-written
indexes hold one Python object per row (the hand-written indexes index only
the attributes queried here; Vorlane indexes every attribute). The table
peers (sqlite, pandas, polars, DuckDB) hold the table alone, with sqlite
indexes on the queried columns; their queries answer with row numbers, and
reading results means converting the two columns of the matching rows to
Python values, as a user who needs Python values does. Each implementation
reads them in its natural form: Vorlane the dict of two lists `columns`
returns, the object peers two list comprehensions, pandas and polars the two
columns' `to_list()`, sqlite and DuckDB the rows `fetchall` returns; the
check turns each into rows before comparing. That read-back is timed last,
with every implementation built again, in turns (see `read2_in_turns`).

Writes bench/results/wide-<N>[-runK].md and .json.
"""

from __future__ import annotations

import dataclasses
import gc
import random
import sys
import time

import harness
import peers
from chunked import ChunkedSorted
from harness import (
    IndexedObjects,
    WARM_UP_OBJECTS,
    Checker,
    fmt,
    measure_build,
    duckdb_ids,
    duckdb_table,
    left_out_lines,
    measure_memory,
    memory_child,
    pandas_rows,
    per_call,
    ratio_rows,
    rounds_per_sample,
    run_suite,
    runnable,
    seconds_of,
    sqlite_ids,
    sqlite_indexes,
    suite_arguments,
)

RESULTS = peers.RESULTS
NAN = float("nan")
NAN_SHARE = 0.05  # of each float column
CARRIERS = [f"C{i:02d}" for i in range(16)]
ORIGINS = ["EWR", "JFK", "LGA", "BOS", "PHL"]
INT_ATTRS = ["year", "month", "day", "hour", "dep_time", "flight", "distance", "seats"]
FLOAT_ATTRS = ["dep_delay", "arr_delay", "air_time", "fare"]
STR_ATTRS = ["carrier", "origin", "tailnum"]
ATTRS = INT_ATTRS + FLOAT_ATTRS + STR_ATTRS + ["cancelled"]
# What the hand-written indexes index: the attributes the workloads query.
EQ_ATTRS = ("carrier", "origin", "cancelled")
ORDERED_ATTRS = ("dep_delay", "distance")
READ_ATTRS = ("tailnum", "distance")


class WideColumns:
    """The attribute values of n rows, column by column (made once)."""

    def __init__(self, n: int, seed: int = 20261217):
        rnd = random.Random(seed)
        tailnums = [f"N{i:05d}" for i in range(max(1, n // 20))]
        self.n = n

        def maybe_nan(value):
            return NAN if rnd.random() < NAN_SHARE else value

        cols = {a: [] for a in ATTRS}
        for _ in range(n):
            distance = rnd.randrange(80, 5000)
            delay = round(rnd.gauss(10, 40), 1)
            hour = rnd.randrange(5, 24)
            row = {
                "year": rnd.randrange(2013, 2024),
                "month": rnd.randrange(1, 13),
                "day": rnd.randrange(1, 32),
                "hour": hour,
                "dep_time": hour * 100 + rnd.randrange(60),
                "flight": rnd.randrange(1, 8000),
                "distance": distance,
                "seats": rnd.randrange(50, 400),
                "dep_delay": maybe_nan(delay),
                "arr_delay": maybe_nan(round(delay + rnd.gauss(-5, 15), 1)),
                "air_time": maybe_nan(round(distance / 8 + rnd.gauss(0, 10), 1)),
                "fare": maybe_nan(round(rnd.uniform(40, 900), 2)),
                "carrier": CARRIERS[min(len(CARRIERS) - 1, int(rnd.expovariate(0.25)))],
                "origin": ORIGINS[rnd.randrange(len(ORIGINS))],
                "tailnum": tailnums[rnd.randrange(len(tailnums))],
                "cancelled": 1 if rnd.random() < 0.02 else 0,
            }
            for a, v in row.items():
                cols[a].append(v)
        self.cols = cols
        # Query parameters.
        self.eq_carriers = ["C00", "C03", "C07"]
        self.ranges = [(-20.0, -10.0), (0.0, 10.0), (60.0, 70.0)]
        self.compound = [(("EWR", "JFK"), 500, 1500), (("LGA", "BOS"), 2000, 2600)]
        self.read_ranges = [(30.0, 60.0), (0.0, 10.0)]

    def rows(self):
        return zip(*(self.cols[a] for a in ATTRS))


# The object the object peers hold: plain attributes in slots, with the
# __init__ a dataclass writes; compared and hashed by identity.
Row = dataclasses.make_dataclass("Row", ATTRS, slots=True, eq=False)


def make_rows(wc: WideColumns) -> list:
    return [Row(*values) for values in wc.rows()]


# ---------------------------------------------------------------------------
# Implementations. Each answers eq, range, compound with rows (objects or
# row numbers, which `positions` turns into sorted row numbers) and read2
# with the tailnums and distances of the results in the implementation's
# natural form, which `read2_rows` turns into (tailnum, distance) rows.


def columns_as_rows(columns) -> list:
    """The rows of two columns: a dict of lists or a sequence of lists."""
    if isinstance(columns, dict):
        columns = columns.values()
    return list(zip(*columns))


class ObjectPeer:
    """Common ground of the implementations that hold Python objects."""

    def positions(self, result, ordered=False) -> list:
        """Row numbers of `result`: sorted, or as listed when its order is
        the answer."""
        where = self.__dict__.get("_where")
        if where is None:
            where = self._where = {id(o): i for i, o in enumerate(self.objs)}
        found = [where[id(o)] for o in result]
        return found if ordered else sorted(found)

    def read2(self, lo, hi):
        result = self.range(lo, hi)
        return [o.tailnum for o in result], [o.distance for o in result]

    read2_rows = staticmethod(columns_as_rows)


class Scan(ObjectPeer):
    name = "list scan"

    def build(self, wc):
        self.objs = make_rows(wc)

    def eq(self, carrier):
        return [o for o in self.objs if o.carrier == carrier]

    def range(self, lo, hi):
        return [o for o in self.objs if lo <= o.dep_delay <= hi]

    def compound(self, origins, lo, hi):
        ks = set(origins)
        return [o for o in self.objs if o.origin in ks and lo <= o.distance <= hi and not o.cancelled]


class HandIndex(IndexedObjects, ObjectPeer):
    """Dicts of sets for equality, SortedLists of (value, position)."""

    name = "dict of sets + SortedList"
    make_objects = staticmethod(make_rows)

    def _index(self, wc):
        from sortedcontainers import SortedList

        self.by = peers.sets_by_value(self.objs, EQ_ATTRS)
        # NaN has no place in an order: left out, as Vorlane leaves it out.
        self.ordered = {
            a: SortedList((v, p) for p, v in enumerate(wc.cols[a]) if v == v) for a in ORDERED_ATTRS
        }

    def _between(self, attr, lo, hi):
        sl, objs = self.ordered[attr], self.objs
        return [objs[p] for _, p in sl.irange((lo, -1), (hi, sys.maxsize))]

    def eq(self, carrier):
        return list(self.by["carrier"].get(carrier, ()))

    def range(self, lo, hi):
        return self._between("dep_delay", lo, hi)

    def compound(self, origins, lo, hi):
        ks = set(origins)
        return [o for o in self._between("distance", lo, hi) if o.origin in ks and not o.cancelled]


class ChunkedIndex(HandIndex):
    """Dicts of sets for equality, chunked key and object lists (bench/chunked.py)."""

    name = "dict of sets + chunked lists"

    def _index(self, wc):
        self.by = peers.sets_by_value(self.objs, EQ_ATTRS)
        self.ordered = {a: ChunkedSorted(wc.cols[a], self.objs) for a in ORDERED_ATTRS}

    def _between(self, attr, lo, hi):
        return self.ordered[attr].between(lo, hi)


class _DucksBase(ObjectPeer):
    def build(self, wc):
        self.objs = make_rows(wc)
        self.dex = self.cls(self.objs, list(EQ_ATTRS + ORDERED_ATTRS))

    def eq(self, carrier):
        return self.dex[{"carrier": carrier}]

    def range(self, lo, hi):
        return self.dex[{"dep_delay": {">=": lo, "<=": hi}}]

    def compound(self, origins, lo, hi):
        return self.dex[{"origin": {"in": list(origins)}, "distance": {">=": lo, "<=": hi}, "cancelled": 0}]


class DucksDex(_DucksBase):
    name = "ducks Dex"

    @property
    def cls(self):
        from ducks import Dex

        return Dex


class Vorlane(ObjectPeer):
    name = "Vorlane"
    attrs = ATTRS  # the names of a row's values, in order

    def build(self, wc):
        from Vorlane import Index

        self.objs = self._create(wc)
        self.index = Index()
        self.index.add_object_many(self.objs)

    @classmethod
    def _create(cls, wc):
        from Vorlane import Indexable

        return [Indexable(**dict(zip(cls.attrs, values))) for values in wc.rows()]

    def index_only(self, wc):
        from Vorlane import Index

        objs = self._create(wc)
        gc.collect()
        t0 = time.perf_counter()
        Index().add_object_many(objs)
        return time.perf_counter() - t0

    def eq(self, carrier):
        return self.index.get_by_attribute(carrier=carrier)

    def range(self, lo, hi):
        from Vorlane import PyQueryExpr as Q

        return self.index.reduced_query(Q.bt("dep_delay", lo, hi)).collect()

    def compound(self, origins, lo, hi):
        from Vorlane import PyQueryExpr as Q

        query = Q.and_(Q.in_("origin", list(origins)), Q.bt("distance", lo, hi), Q.eq("cancelled", 0))
        return self.index.reduced_query(query).collect()

    def read2(self, lo, hi):
        from Vorlane import PyQueryExpr as Q

        # Both attributes read in the module, in one pass over the selection.
        return self.index.reduced_query(Q.bt("dep_delay", lo, hi)).columns(*READ_ATTRS)


class TablePeer:
    """Common ground of the implementations that hold a table and no objects."""

    def build(self, wc):
        self.load(wc)

    def index_only(self, wc):
        return seconds_of(self.load, wc)

    def positions(self, result, ordered=False) -> list:
        found = list(map(int, result))
        return found if ordered else sorted(found)

    read2_rows = staticmethod(columns_as_rows)


class Sqlite(TablePeer):
    name = "sqlite3 (memory)"

    def load(self, wc):
        import sqlite3

        db = self.db = sqlite3.connect(":memory:")
        types = {a: "INTEGER" for a in INT_ATTRS + ["cancelled"]}
        types.update({a: "REAL" for a in FLOAT_ATTRS})
        types.update({a: "TEXT" for a in STR_ATTRS})
        db.execute("CREATE TABLE t (id INTEGER PRIMARY KEY, " + ", ".join(f"{a} {types[a]}" for a in ATTRS) + ")")
        marks = ", ".join("?" * (len(ATTRS) + 1))
        # sqlite stores a NaN as NULL, which no comparison selects.
        db.executemany(f"INSERT INTO t VALUES ({marks})", ((i, *row) for i, row in enumerate(wc.rows())))
        sqlite_indexes(db, EQ_ATTRS + ORDERED_ATTRS)

    def _ids(self, sql, params):
        return sqlite_ids(self.db, sql, params)

    def eq(self, carrier):
        return self._ids("SELECT id FROM t WHERE carrier = ?", (carrier,))

    def range(self, lo, hi):
        return self._ids("SELECT id FROM t WHERE dep_delay BETWEEN ? AND ?", (lo, hi))

    def compound(self, origins, lo, hi):
        return self._ids(
            "SELECT id FROM t WHERE origin IN (?, ?) AND distance BETWEEN ? AND ? AND cancelled = 0",
            (*origins, lo, hi),
        )

    def read2(self, lo, hi):
        return self.db.execute(
            "SELECT tailnum, distance FROM t WHERE dep_delay BETWEEN ? AND ?", (lo, hi)
        ).fetchall()

    read2_rows = staticmethod(list)


def pandas_frame(wc):
    import numpy as np
    import pandas as pd

    data = {a: np.array(wc.cols[a], dtype=np.int64) for a in INT_ATTRS}
    data.update({a: np.array(wc.cols[a], dtype=np.float64) for a in FLOAT_ATTRS})
    data["carrier"] = pd.Categorical(wc.cols["carrier"])
    data["origin"] = pd.Categorical(wc.cols["origin"])
    data["tailnum"] = wc.cols["tailnum"]
    data["cancelled"] = np.array(wc.cols["cancelled"], dtype=np.int8)
    return pd.DataFrame(data, columns=ATTRS)


class Pandas(TablePeer):
    name = "pandas (masks)"

    def load(self, wc):
        self.df = pandas_frame(wc)

    _rows = staticmethod(pandas_rows)

    def _range_mask(self, lo, hi):
        return self.df["dep_delay"].between(lo, hi)

    def eq(self, carrier):
        return self._rows(self.df["carrier"] == carrier)

    def range(self, lo, hi):
        return self._rows(self._range_mask(lo, hi))

    def compound(self, origins, lo, hi):
        df = self.df
        return self._rows(df["origin"].isin(origins) & df["distance"].between(lo, hi) & (df["cancelled"] == 0))

    def read2(self, lo, hi):
        sub = self.df.loc[self._range_mask(lo, hi), list(READ_ATTRS)]
        return [sub[a].to_list() for a in READ_ATTRS]


class Polars(TablePeer):
    name = "polars (masks)"

    def load(self, wc):
        import polars as pl

        data = {a: pl.Series(a, wc.cols[a], dtype=pl.Int64) for a in INT_ATTRS}
        data.update({a: pl.Series(a, wc.cols[a], dtype=pl.Float64) for a in FLOAT_ATTRS})
        data["carrier"] = pl.Series("carrier", wc.cols["carrier"], dtype=pl.Categorical)
        data["origin"] = pl.Series("origin", wc.cols["origin"], dtype=pl.Categorical)
        data["tailnum"] = pl.Series("tailnum", wc.cols["tailnum"], dtype=pl.String)
        data["cancelled"] = pl.Series("cancelled", wc.cols["cancelled"], dtype=pl.Int8)
        self.df = pl.DataFrame([data[a] for a in ATTRS])

    def _range_mask(self, lo, hi):
        # A NaN is above every number in polars, so it fails "<= hi".
        return self.df["dep_delay"].is_between(lo, hi)

    def eq(self, carrier):
        return (self.df["carrier"] == carrier).arg_true().to_numpy()

    def range(self, lo, hi):
        return self._range_mask(lo, hi).arg_true().to_numpy()

    def compound(self, origins, lo, hi):
        df = self.df
        mask = df["origin"].is_in(list(origins)) & df["distance"].is_between(lo, hi) & (df["cancelled"] == 0)
        return mask.arg_true().to_numpy()

    def read2(self, lo, hi):
        sub = self.df.select(READ_ATTRS).filter(self._range_mask(lo, hi))
        return [sub[a].to_list() for a in READ_ATTRS]


class DuckDB(TablePeer):
    name = "DuckDB (SQL)"

    def load(self, wc):
        self.con = duckdb_table(pandas_frame(wc))

    def _ids(self, sql, params):
        return duckdb_ids(self.con, sql, params)

    def eq(self, carrier):
        return self._ids("SELECT id FROM t WHERE carrier = ?", [carrier])

    def range(self, lo, hi):
        return self._ids("SELECT id FROM t WHERE dep_delay BETWEEN ? AND ?", [lo, hi])

    def compound(self, origins, lo, hi):
        return self._ids(
            "SELECT id FROM t WHERE origin IN (?, ?) AND distance BETWEEN ? AND ? AND cancelled = 0",
            [*origins, lo, hi],
        )

    def read2(self, lo, hi):
        return self.con.execute(
            "SELECT tailnum, distance FROM t WHERE dep_delay BETWEEN ? AND ?", [lo, hi]
        ).fetchall()

    read2_rows = staticmethod(list)


IMPLEMENTATIONS = {
    "scan": Scan,
    "hand": HandIndex,
    "chunked": ChunkedIndex,
    "sqlite": Sqlite,
    "pandas": Pandas,
    "polars": Polars,
    "duckdb": DuckDB,
    "ducks-dex": DucksDex,
    "vorlane": Vorlane,
}
REQUIRES = harness.REQUIRES
# Peers of bench/peers.py left out here, and why.
LEFT_OUT = {
    "ducks FrozenDex": "its range queries also return objects whose value is NaN",
}
REFERENCE = "scan"

WORKLOADS = [
    ("build", "build (create + index, or the table)", "s"),
    ("index_only", "indexing alone (existing objects, or the table)", "s"),
    ("eq", "equality on carrier (~4-22%)", "s"),
    ("range", "range on dep_delay (float with NaN, ~4-10%)", "s"),
    ("compound", "origin in {A,B}, distance range, not cancelled", "s"),
    ("read2", "range on dep_delay, then the 2 attributes of the results as Python values, "
     "in each one's natural form (lists, or rows)", "s"),
    ("memory", "memory per row (objects + index, or the table)", "B"),
]


def run_queries(impl, wc, checker, is_reference) -> dict:
    out = {}
    gc.collect()
    for key, fn, params in [
        ("eq", impl.eq, [(c,) for c in wc.eq_carriers]),
        ("range", impl.range, wc.ranges),
        ("compound", impl.compound, wc.compound),
    ]:
        for p in params:
            checker.check_value(impl.name, is_reference, (key, p), impl.positions(fn(*p)))
        out[key] = per_call(fn, params)
    for p in wc.read_ranges:
        checker.check_value(impl.name, is_reference, ("read2", p), sorted(impl.read2_rows(impl.read2(*p))))
    return out


# Turns of the read-back workload (see `read2_in_turns`).
READ2_TURNS = 15


def read2_in_turns(impls: dict, wc) -> dict:
    """Seconds per read2 call of each implementation of `impls` (name to
    built implementation): the best sample of each, timed in turns, one sample
    of every implementation per turn, each turn starting one further along.

    Timed one implementation after the other, a busy spell of the shared
    machine fell on whichever ran through it: polars' figure varied from 2.4
    to 8.3 ms between runs. In turns, such a spell meets them all alike, and
    none always runs right after the same other one. Each sample follows one
    untimed round of its own, as the samples `per_call` takes back to back
    do: the figure is a call's time with its own data in the cache, not
    after another implementation's reads took the cache."""
    names = list(impls)
    rounds = {name: rounds_per_sample(impls[name].read2, wc.read_ranges) for name in names}
    best = dict.fromkeys(names, float("inf"))
    gc.collect()
    for turn in range(READ2_TURNS):
        start = turn % len(names)
        for name in names[start:] + names[:start]:
            fn = impls[name].read2
            for p in wc.read_ranges:
                fn(*p)
            t0 = time.perf_counter()
            for _ in range(rounds[name]):
                for p in wc.read_ranges:
                    fn(*p)
            seconds = (time.perf_counter() - t0) / (rounds[name] * len(wc.read_ranges))
            best[name] = min(best[name], seconds)
    return best


def run(n: int, only: list[str]) -> dict:
    print(f"== wide: {n:,} rows x {len(ATTRS)} attributes", flush=True)
    t0 = time.perf_counter()
    wc = WideColumns(n)
    print(f"  columns made in {time.perf_counter() - t0:.1f} s", flush=True)
    checker = Checker()
    report = {"n": n, "attributes": len(ATTRS), "results": {}, "skipped": dict(LEFT_OUT)}
    keys = [REFERENCE] + [k for k in only if k != REFERENCE]
    classes = []
    for key, cls in runnable(keys, IMPLEMENTATIONS, REQUIRES, report):
        impl, row = measure_build(cls, wc)
        row.update(run_queries(impl, wc, checker, key == REFERENCE))
        del impl
        gc.collect()
        row["memory"] = measure_memory(__file__, key, n)
        report["results"][cls.name] = row
        classes.append(cls)
        print(f"  {cls.name}: " + ", ".join(f"{k}={fmt(v, k)}" for k, v in row.items()), flush=True)
    # The read-back turns need every implementation built at once: built
    # again here, once the figures above were taken as before, each with
    # nothing else built beside it. Their objects are frozen out of the
    # collector's reach meanwhile, as they are done with until the turns.
    kept = {}
    for cls in classes:
        kept[cls.name] = cls()
        kept[cls.name].build(wc)
        gc.collect()
        gc.freeze()
    for name, seconds in read2_in_turns(kept, wc).items():
        report["results"][name]["read2"] = seconds
        print(f"  {name}: read2={fmt(seconds, 'read2')}", flush=True)
    kept.clear()
    gc.unfreeze()
    gc.collect()
    report["mismatches"] = checker.mismatches
    return report


# ---------------------------------------------------------------------------
# Reporting

# The scan keeps no index: no peer for building or indexing.
NOT_A_PEER_FOR = {"build": {Scan.name}, "index_only": {Scan.name}}


def markdown(report: dict) -> str:
    lines = [f"### Wide objects: {report['n']:,} rows × {report['attributes']} attributes", ""]
    # Memory's target is a ratio to pandas.
    lines += ratio_rows(report["results"], WORKLOADS, Vorlane.name, Pandas.name, NOT_A_PEER_FOR)
    lines += left_out_lines(report)
    lines.append(
        "\nVorlane and the object peers hold one Python object per row; the hand-written "
        f"indexes index only the queried attributes ({', '.join(EQ_ATTRS + ORDERED_ATTRS)}), "
        "Vorlane every attribute. sqlite, pandas, polars and DuckDB hold the table alone "
        "(sqlite with indexes on the queried columns) and answer queries with row numbers; "
        f"reading converts the matching rows' {' and '.join(READ_ATTRS)} to Python values, "
        "as two lists (sqlite and DuckDB: the rows they fetch). "
        "For table peers, build and indexing alone are the same work, measured twice. "
        "Memory is compared with pandas."
    )
    lines.append("")
    return "\n".join(lines)


def main() -> int:
    args = suite_arguments(__doc__.splitlines()[0], IMPLEMENTATIONS, "rows (default 300,000)", 300_000)
    if args.memory_child:
        memory_child(WideColumns(args.n), WideColumns(WARM_UP_OBJECTS), IMPLEMENTATIONS[args.memory_child], args.n)
        return 0
    RESULTS.mkdir(parents=True, exist_ok=True)
    return run_suite(
        args.runs, lambda: run(args.n, args.only), lambda report: RESULTS / f"wide-{args.n}{args.tag}", markdown
    )


if __name__ == "__main__":
    sys.exit(main())
