"""A real table: Vorlane against its peers on TPC-H lineitem.

The lineitem table at scale factor 0.1 (600,572 rows × 16 columns), made by
`tpchgen-cli` (a bench dependency, installed by `make bench`) and cached
outside the clone, under ${XDG_CACHE_HOME:-~/.cache}/vorlane/tpch-<version>-sf<scale>/.
One object per row: the 16 columns, with the dates as `datetime.date`
(equality only), plus `shipday`, the ship date as an int day number for
ranges. Times building and indexing alone, equality on ship mode and on three
keys, ranges on quantity (50 values), discount (11 values) and extended price
(mostly distinct), a compound query shaped like TPC-H query 6, top-10 lists
both ways, assignment of quantity, value_counts of ship mode and a range
whose results are read back as Python values; measures memory per row in a
fresh subprocess per implementation. Every answer is checked against a plain
scan.

    .venv/bin/python bench/lineitem.py               # the whole table
    .venv/bin/python bench/lineitem.py --n 50000     # its first rows, a quick check
    .venv/bin/python bench/lineitem.py --runs 2      # twice, then the spread

The peers are those of bench/wide.py (plus the top-10, assignment and
value_counts workloads of bench/peers.py): the object peers hold one Python
object per row and index the queried attributes; sqlite, pandas, polars and
DuckDB hold the table alone and answer with row numbers.

Writes bench/results/lineitem-<N>[-runK].md and .json.
"""

from __future__ import annotations

import dataclasses
import datetime
import gc
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time
from collections import Counter
from heapq import nlargest, nsmallest
from importlib import metadata
from operator import attrgetter
from pathlib import Path

import peers
import wide
from chunked import ChunkedSorted
import harness
from harness import (
    IndexedObjects,
    SLOW_ASSIGN_SAMPLE,
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
    run_suite,
    runnable,
    seconds_per_assignment,
    sqlite_ids,
    sqlite_indexes,
    suite_arguments,
)
from peers import TOP_K, as_counts

RESULTS = peers.RESULTS
SCALE = "0.1"
# The columns of lineitem in file order (without their "l_" prefix) and how
# each field is read.
COLUMNS = [
    ("orderkey", int), ("partkey", int), ("suppkey", int), ("linenumber", int),
    ("quantity", int), ("extendedprice", float), ("discount", float), ("tax", float),
    ("returnflag", str), ("linestatus", str),
    ("shipdate", datetime.date), ("commitdate", datetime.date), ("receiptdate", datetime.date),
    ("shipinstruct", str), ("shipmode", str), ("comment", str),
]
ATTRS = [name for name, _ in COLUMNS] + ["shipday"]
INT_ATTRS = [name for name, kind in COLUMNS if kind is int] + ["shipday"]
FLOAT_ATTRS = [name for name, kind in COLUMNS if kind is float]
DATE_ATTRS = [name for name, kind in COLUMNS if kind is datetime.date]
LOW_STR_ATTRS = ["returnflag", "linestatus", "shipinstruct", "shipmode"]
EPOCH = datetime.date(1970, 1, 1)
# What the hand-written indexes index: the attributes the workloads query.
EQ_ATTRS = ("shipmode", "returnflag", "linestatus")
ORDERED_ATTRS = ("quantity", "discount", "extendedprice", "shipday")
READ_ATTRS = ("orderkey", "shipmode")
ASSIGN_FRACTION = 10  # one row in ten gets a new quantity


# ---------------------------------------------------------------------------
# Data


def cache_dir(version: str) -> Path:
    base = Path(os.environ.get("XDG_CACHE_HOME") or Path.home() / ".cache")
    return base / "vorlane" / f"tpch-{version}-sf{SCALE}"


def lineitem_file() -> Path:
    """The generated table, made on first use: generated beside the cache
    folder and moved into place whole, so an interrupted run leaves nothing."""
    version = metadata.version("tpchgen-cli")
    folder = cache_dir(version)
    path = folder / "lineitem.tbl"
    if path.exists():
        return path
    tool = shutil.which("tpchgen-cli", path=str(Path(sys.executable).parent)) or shutil.which("tpchgen-cli")
    if tool is None:
        raise SystemExit("tpchgen-cli not found: pip install tpchgen-cli (make bench installs it)")
    folder.parent.mkdir(parents=True, exist_ok=True)
    print(f"  generating lineitem at scale {SCALE} with tpchgen-cli {version} into {folder}", flush=True)
    with tempfile.TemporaryDirectory(dir=folder.parent) as tmp:
        subprocess.run([tool, "tbl", "-s", SCALE, "-T", "lineitem", "-o", tmp], check=True)
        os.replace(tmp, folder)
        os.mkdir(tmp)  # for the context manager to remove
    return path


class LineitemColumns:
    """The attribute values of the first n rows, column by column. Values
    that repeat (dates, short strings) are one object each, as a reader that
    memoizes them makes them."""

    def __init__(self, n: int | None = None, seed: int = 20261210):
        cols = {a: [] for a in ATTRS}
        parsers = [self._parser(name, kind) for name, kind in COLUMNS]
        names = [name for name, _ in COLUMNS]
        shipday = cols["shipday"]
        with open(lineitem_file()) as f:
            for i, line in enumerate(f):
                if n is not None and i >= n:
                    break
                fields = line.split("|")
                for name, parse, text in zip(names, parsers, fields):
                    cols[name].append(parse(text))
                shipday.append((cols["shipdate"][-1] - EPOCH).days)
        self.cols = cols
        self.n = n = len(shipday)
        rnd = random.Random(seed)
        picks = rnd.sample(range(n), n // ASSIGN_FRACTION)
        self.assignments = [(p, rnd.randint(1, 50)) for p in picks]
        # Query parameters.
        self.eq_modes = ["AIR", "SHIP", "TRUCK"]
        self.three_keys = [
            (cols["returnflag"][p], cols["linestatus"][p], cols["shipmode"][p]) for p in (5, n // 3, n - 7)
        ]
        self.quantity_ranges = [(10, 12), (25, 25), (40, 44)]
        self.discount_ranges = [(0.05, 0.07), (0.0, 0.01)]
        self.price_ranges = [(20_000.0, 20_500.0), (50_000.0, 51_000.0)]
        # Query 6: a year of ship days, discount 0.06 ± 0.01, quantity below 24.
        self.q6 = [(self.day(y, 1, 1), self.day(y, 12, 31), 0.05, 0.07, 24) for y in (1994, 1996)]
        self.read_ranges = [(30_000.0, 30_500.0), (90_000.0, 91_000.0)]
        self.after_range = ("quantity", 20, 21)

    @staticmethod
    def day(year, month, day) -> int:
        return (datetime.date(year, month, day) - EPOCH).days

    @staticmethod
    def _parser(name, kind):
        if kind is datetime.date:
            return _memoized(datetime.date.fromisoformat)
        if name in LOW_STR_ATTRS:
            return _memoized(str)
        return kind

    def rows(self):
        return zip(*(self.cols[a] for a in ATTRS))


def _memoized(make):
    seen = {}

    def parse(text):
        value = seen.get(text)
        if value is None:
            value = seen[text] = make(text)
        return value

    return parse


def first_rows(lc: LineitemColumns, n: int) -> LineitemColumns:
    """The first n rows of `lc` as columns of their own (the memory child's
    warm-up)."""
    part = object.__new__(LineitemColumns)
    part.__dict__.update(lc.__dict__)
    part.cols = {a: values[:n] for a, values in lc.cols.items()}
    part.n = min(n, lc.n)
    return part


# The object the object peers hold: plain attributes in slots, compared and
# hashed by identity.
Row = dataclasses.make_dataclass("Row", ATTRS, slots=True, eq=False)


def make_rows(lc) -> list:
    return [Row(*values) for values in lc.rows()]


# ---------------------------------------------------------------------------
# Implementations. Each answers with rows: objects, or row numbers, which
# `positions` turns into row numbers, sorted unless order is the answer.


class ObjectPeer(wide.ObjectPeer):
    def read2(self, lo, hi):
        return [(o.orderkey, o.shipmode) for o in self.range("extendedprice", lo, hi)]

    def assign(self, pos, value):
        self.objs[pos].quantity = value


class Scan(ObjectPeer):
    name = "list scan"

    def build(self, lc):
        self.objs = make_rows(lc)

    def eq(self, mode):
        return [o for o in self.objs if o.shipmode == mode]

    def three(self, flag, status, mode):
        return [o for o in self.objs if o.shipmode == mode and o.returnflag == flag and o.linestatus == status]

    def range(self, attr, lo, hi):
        get = attrgetter(attr)
        return [o for o in self.objs if lo <= get(o) <= hi]

    def q6(self, day_lo, day_hi, lo, hi, below):
        return [o for o in self.objs if day_lo <= o.shipday <= day_hi and lo <= o.discount <= hi and o.quantity < below]

    def top(self, attr, k, largest):
        # Both are a stable sort cut short: ties come in row order.
        return (nlargest if largest else nsmallest)(k, self.objs, key=attrgetter(attr))

    def value_counts(self):
        return Counter(o.shipmode for o in self.objs)


class HandIndex(peers.SortedListRanges, IndexedObjects, ObjectPeer):
    """Dicts of sets for equality, SortedLists of (value, row) for numbers."""

    name = "dict of sets + SortedList"
    make_objects = staticmethod(make_rows)

    def _index(self, lc):
        from sortedcontainers import SortedList

        self.by = peers.sets_by_value(self.objs, EQ_ATTRS)
        self.ordered = {a: SortedList(zip(lc.cols[a], range(lc.n))) for a in ORDERED_ATTRS}

    def eq(self, mode):
        return list(self.by["shipmode"].get(mode, ()))

    def three(self, flag, status, mode):
        sets = sorted((self.by[a].get(v, set()) for a, v in zip(EQ_ATTRS, (mode, flag, status))), key=len)
        return list(sets[0].intersection(*sets[1:]))

    def q6(self, day_lo, day_hi, lo, hi, below):
        return [o for o in self.range("shipday", day_lo, day_hi) if lo <= o.discount <= hi and o.quantity < below]

    def assign(self, pos, value):
        o = self.objs[pos]
        sl = self.ordered["quantity"]
        sl.remove((o.quantity, pos))
        o.quantity = value
        sl.add((value, pos))

    def value_counts(self):
        return {mode: len(rows) for mode, rows in self.by["shipmode"].items()}


class ChunkedIndex(peers.ChunkedRanges, HandIndex):
    """Dicts of sets for equality, chunked key and object lists (bench/chunked.py)."""

    name = "dict of sets + chunked lists"

    def _index(self, lc):
        self.by = peers.sets_by_value(self.objs, EQ_ATTRS)
        self.ordered = {a: ChunkedSorted(lc.cols[a], self.objs) for a in ORDERED_ATTRS}

    def assign(self, pos, value):
        o = self.objs[pos]
        ix = self.ordered["quantity"]
        ix.remove(o.quantity, pos, o)
        o.quantity = value
        ix.insert(value, pos, o)


class DucksDex(ObjectPeer):
    name = "ducks Dex"

    def build(self, lc):
        from ducks import Dex

        self.objs = make_rows(lc)
        self.dex = Dex(self.objs, list(EQ_ATTRS + ORDERED_ATTRS))

    def eq(self, mode):
        return self.dex[{"shipmode": mode}]

    def three(self, flag, status, mode):
        return self.dex[{"returnflag": flag, "linestatus": status, "shipmode": mode}]

    def range(self, attr, lo, hi):
        return self.dex[{attr: {">=": lo, "<=": hi}}]

    def q6(self, day_lo, day_hi, lo, hi, below):
        return self.dex[{"shipday": {">=": day_lo, "<=": day_hi}, "discount": {">=": lo, "<=": hi},
                         "quantity": {"<": below}}]

    def assign(self, pos, value):
        o = self.objs[pos]
        self.dex.remove(o)
        o.quantity = value
        self.dex.add(o)


class Vorlane(ObjectPeer, wide.Vorlane):
    attrs = ATTRS

    def eq(self, mode):
        return self.index.get_by_attribute(shipmode=mode)

    def three(self, flag, status, mode):
        return self.index.get_by_attribute(returnflag=flag, linestatus=status, shipmode=mode)

    def range(self, attr, lo, hi):
        from Vorlane import PyQueryExpr as Q

        return self.index.reduced_query(Q.bt(attr, lo, hi)).collect()

    def q6(self, day_lo, day_hi, lo, hi, below):
        from Vorlane import PyQueryExpr as Q

        query = Q.and_(Q.bt("shipday", day_lo, day_hi), Q.bt("discount", lo, hi), Q.lt("quantity", below))
        return self.index.reduced_query(query).collect()

    def top(self, attr, k, largest):
        return self.index.collect_sorted(attr, limit=k, reverse=largest)

    def value_counts(self):
        return self.index.value_counts("shipmode")


TablePeer = wide.TablePeer


class Sqlite(TablePeer):
    name = "sqlite3 (memory)"

    def load(self, lc):
        import sqlite3

        db = self.db = sqlite3.connect(":memory:")
        types = {a: "INTEGER" for a in INT_ATTRS}
        types.update({a: "REAL" for a in FLOAT_ATTRS})
        # sqlite has no date type: dates are ISO text, as is usual there.
        types.update({a: "TEXT" for a in ATTRS if a not in types})
        db.execute("CREATE TABLE t (id INTEGER PRIMARY KEY, " + ", ".join(f"{a} {types[a]}" for a in ATTRS) + ")")
        marks = ", ".join("?" * (len(ATTRS) + 1))
        columns = [[d.isoformat() for d in lc.cols[a]] if a in DATE_ATTRS else lc.cols[a] for a in ATTRS]
        db.executemany(f"INSERT INTO t VALUES ({marks})", ((i, *row) for i, row in enumerate(zip(*columns))))
        sqlite_indexes(db, EQ_ATTRS + ORDERED_ATTRS)

    def _ids(self, sql, params):
        return sqlite_ids(self.db, sql, params)

    def eq(self, mode):
        return self._ids("SELECT id FROM t WHERE shipmode = ?", (mode,))

    def three(self, flag, status, mode):
        return self._ids("SELECT id FROM t WHERE returnflag = ? AND linestatus = ? AND shipmode = ?", (flag, status, mode))

    def range(self, attr, lo, hi):
        return self._ids(f"SELECT id FROM t WHERE {attr} BETWEEN ? AND ?", (lo, hi))

    def q6(self, day_lo, day_hi, lo, hi, below):
        return self._ids(
            "SELECT id FROM t WHERE shipday BETWEEN ? AND ? AND discount BETWEEN ? AND ? AND quantity < ?",
            (day_lo, day_hi, lo, hi, below),
        )

    def top(self, attr, k, largest):
        order = "DESC" if largest else "ASC"
        return self._ids(f"SELECT id FROM t ORDER BY {attr} {order}, id LIMIT ?", (k,))

    def assign(self, pos, value):
        self.db.execute("UPDATE t SET quantity = ? WHERE id = ?", (value, pos))

    def value_counts(self):
        return self.db.execute("SELECT shipmode, COUNT(*) FROM t GROUP BY shipmode").fetchall()

    def read2(self, lo, hi):
        return self.db.execute(
            "SELECT orderkey, shipmode FROM t WHERE extendedprice BETWEEN ? AND ?", (lo, hi)
        ).fetchall()


def pandas_frame(lc):
    import numpy as np
    import pandas as pd

    data = {a: np.array(lc.cols[a], dtype=np.int64) for a in INT_ATTRS}
    data.update({a: np.array(lc.cols[a], dtype=np.float64) for a in FLOAT_ATTRS})
    data.update({a: np.array(lc.cols[a], dtype="datetime64[D]") for a in DATE_ATTRS})
    data.update({a: pd.Categorical(lc.cols[a]) for a in LOW_STR_ATTRS})
    data["comment"] = lc.cols["comment"]
    return pd.DataFrame(data, columns=ATTRS)


class FramePeer(TablePeer):
    """The DataFrame peers' equalities, on the rows their masks select (`_rows`)."""

    def eq(self, mode):
        return self._rows(self.df["shipmode"] == mode)

    def three(self, flag, status, mode):
        df = self.df
        return self._rows((df["returnflag"] == flag) & (df["linestatus"] == status) & (df["shipmode"] == mode))


class Pandas(FramePeer):
    name = "pandas (masks)"

    def load(self, lc):
        self.df = pandas_frame(lc)
        self._quantity = self.df.columns.get_loc("quantity")

    _rows = staticmethod(pandas_rows)

    def range(self, attr, lo, hi):
        return self._rows(self.df[attr].between(lo, hi))

    def q6(self, day_lo, day_hi, lo, hi, below):
        df = self.df
        return self._rows(df["shipday"].between(day_lo, day_hi) & df["discount"].between(lo, hi) & (df["quantity"] < below))

    def top(self, attr, k, largest):
        # keep="first": ties in row order, as a stable sort gives them.
        column = self.df[attr]
        return (column.nlargest(k) if largest else column.nsmallest(k)).index.to_numpy()

    def assign(self, pos, value):
        self.df.iat[pos, self._quantity] = value

    def value_counts(self):
        return self.df["shipmode"].value_counts()

    def read2(self, lo, hi):
        sub = self.df.loc[self.df["extendedprice"].between(lo, hi), list(READ_ATTRS)]
        return list(zip(*(sub[a].to_list() for a in READ_ATTRS)))


class Polars(FramePeer):
    name = "polars (masks)"
    slow_assign = True

    def load(self, lc):
        import polars as pl

        self.pl = pl
        data = {a: pl.Series(a, lc.cols[a], dtype=pl.Int64) for a in INT_ATTRS}
        data.update({a: pl.Series(a, lc.cols[a], dtype=pl.Float64) for a in FLOAT_ATTRS})
        data.update({a: pl.Series(a, lc.cols[a], dtype=pl.Date) for a in DATE_ATTRS})
        data.update({a: pl.Series(a, lc.cols[a], dtype=pl.Categorical) for a in LOW_STR_ATTRS})
        data["comment"] = pl.Series("comment", lc.cols["comment"], dtype=pl.String)
        self.df = pl.DataFrame([data[a] for a in ATTRS])

    def _rows(self, mask):
        return mask.arg_true().to_numpy()

    def range(self, attr, lo, hi):
        return self._rows(self.df[attr].is_between(lo, hi))

    def q6(self, day_lo, day_hi, lo, hi, below):
        df = self.df
        return self._rows(
            df["shipday"].is_between(day_lo, day_hi) & df["discount"].is_between(lo, hi) & (df["quantity"] < below)
        )

    def top(self, attr, k, largest):
        # top_k gives values, not rows, and breaks ties arbitrarily: take
        # the rows at or past the k-th value, then order them with ties in
        # row order (as bench/peers.py does).
        column = self.df[attr]
        if largest:
            rows = (column >= column.top_k(k).min()).arg_true()
        else:
            rows = (column <= column.bottom_k(k).max()).arg_true()
        values = column.gather(rows).to_list()
        order = sorted(range(len(values)), key=values.__getitem__, reverse=largest)[:k]
        return rows.to_numpy()[order]

    def assign(self, pos, value):
        self.df[pos, "quantity"] = value

    def assign_bulk(self, pairs):
        quantity = self.df["quantity"].to_numpy().copy()
        for pos, value in pairs:
            quantity[pos] = value
        self.df = self.df.with_columns(self.pl.Series("quantity", quantity))

    def value_counts(self):
        return self.df["shipmode"].value_counts()

    def read2(self, lo, hi):
        sub = self.df.select(READ_ATTRS).filter(self.df["extendedprice"].is_between(lo, hi))
        return list(zip(*(sub[a].to_list() for a in READ_ATTRS)))


class DuckDB(TablePeer):
    name = "DuckDB (SQL)"
    slow_assign = True

    def load(self, lc):
        self.con = duckdb_table(pandas_frame(lc))

    def _ids(self, sql, params):
        return duckdb_ids(self.con, sql, params)

    def eq(self, mode):
        return self._ids("SELECT id FROM t WHERE shipmode = ?", [mode])

    def three(self, flag, status, mode):
        return self._ids("SELECT id FROM t WHERE returnflag = ? AND linestatus = ? AND shipmode = ?", [flag, status, mode])

    def range(self, attr, lo, hi):
        return self._ids(f"SELECT id FROM t WHERE {attr} BETWEEN ? AND ?", [lo, hi])

    def q6(self, day_lo, day_hi, lo, hi, below):
        return self._ids(
            "SELECT id FROM t WHERE shipday BETWEEN ? AND ? AND discount BETWEEN ? AND ? AND quantity < ?",
            [day_lo, day_hi, lo, hi, below],
        )

    def top(self, attr, k, largest):
        order = "DESC" if largest else "ASC"
        return self._ids(f"SELECT id FROM t ORDER BY {attr} {order}, id LIMIT ?", [k])

    def assign(self, pos, value):
        self.con.execute("UPDATE t SET quantity = ? WHERE id = ?", [value, pos])

    def assign_bulk(self, pairs):
        import pandas as pd

        changes = pd.DataFrame({"pid": [p for p, _ in pairs], "v": [v for _, v in pairs]})
        self.con.register("changes", changes)
        self.con.execute("UPDATE t SET quantity = changes.v FROM changes WHERE t.id = changes.pid")
        self.con.unregister("changes")

    def value_counts(self):
        return self.con.execute("SELECT shipmode, COUNT(*) FROM t GROUP BY shipmode").fetchall()

    def read2(self, lo, hi):
        return self.con.execute(
            "SELECT orderkey, shipmode FROM t WHERE extendedprice BETWEEN ? AND ?", [lo, hi]
        ).fetchall()


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
LEFT_OUT = dict(wide.LEFT_OUT)
REFERENCE = "scan"

WORKLOADS = [
    ("build", "build (create + index, or the table)", "s"),
    ("index_only", "indexing alone (existing objects, or the table)", "s"),
    ("eq", "equality on shipmode (~14%)", "s"),
    ("three", "three keys returnflag + linestatus + shipmode", "s"),
    ("range_quantity", "range on quantity (50 values, 2-6%)", "s"),
    ("range_discount", "range on discount (11 values, 18-27%)", "s"),
    ("range_price", "range on extendedprice (mostly distinct, ~1%)", "s"),
    ("q6", "query 6: shipday year, discount 0.05-0.07, quantity < 24", "s"),
    ("top_price", f"top {TOP_K} by extendedprice, largest first", "s"),
    ("bottom_price", f"top {TOP_K} by extendedprice, smallest first", "s"),
    ("top_quantity", f"top {TOP_K} by quantity, largest first", "s"),
    ("bottom_quantity", f"top {TOP_K} by quantity, smallest first", "s"),
    ("assign", "assign quantity, per assignment", "s"),
    ("counts", "value_counts of shipmode", "s"),
    ("read2", "range on extendedprice, then orderkey and shipmode of each result", "s"),
    ("memory", "memory per row (objects + index, or the table)", "B"),
]


def missing_requirement(key: str) -> str | None:
    return harness.missing_requirement(REQUIRES, key)


# ---------------------------------------------------------------------------
# Measuring


def query_workloads(impl, lc) -> list:
    """(key, function, parameter lists, whether order is the answer)."""
    out = [
        ("eq", impl.eq, [(m,) for m in lc.eq_modes], False),
        ("three", impl.three, lc.three_keys, False),
        ("range_quantity", impl.range, [("quantity", *r) for r in lc.quantity_ranges], False),
        ("range_discount", impl.range, [("discount", *r) for r in lc.discount_ranges], False),
        ("range_price", impl.range, [("extendedprice", *r) for r in lc.price_ranges], False),
        ("q6", impl.q6, lc.q6, False),
    ]
    if hasattr(impl, "top"):
        for attr in ("extendedprice", "quantity"):
            short = "price" if attr == "extendedprice" else attr
            out.append((f"top_{short}", impl.top, [(attr, TOP_K, True)], True))
            out.append((f"bottom_{short}", impl.top, [(attr, TOP_K, False)], True))
    return out


def run_queries(impl, lc, checker, is_reference) -> dict:
    out = {}
    gc.collect()
    for key, fn, params, ordered in query_workloads(impl, lc):
        for p in params:
            checker.check_value(impl.name, is_reference, (key, p), impl.positions(fn(*p), ordered))
        out[key] = per_call(fn, params)
    if hasattr(impl, "value_counts"):
        checker.check_value(impl.name, is_reference, ("counts",), as_counts(impl.value_counts()))
        out["counts"] = per_call(impl.value_counts, [()])
    for p in lc.read_ranges:
        checker.check_value(impl.name, is_reference, ("read2", p), sorted(impl.read2(*p)))
    out["read2"] = per_call(impl.read2, lc.read_ranges)
    return out


def run_assignments(impl, lc, checker, is_reference) -> dict:
    """Assigns a new quantity to one row in ten (the slow peers are timed on
    the first few thousand and take the rest in bulk), then checks a range."""
    per = seconds_per_assignment(impl, lc.assignments)
    checker.check_value(impl.name, is_reference, ("after",), impl.positions(impl.range(*lc.after_range)))
    return {"assign": per}


def run(n: int | None, only: list[str]) -> dict:
    t0 = time.perf_counter()
    lc = LineitemColumns(n)
    print(f"== lineitem: {lc.n:,} rows x {len(ATTRS)} attributes, read in {time.perf_counter() - t0:.1f} s", flush=True)
    checker = Checker()
    report = {"n": lc.n, "attributes": len(ATTRS), "scale": SCALE,
              "tpchgen_cli": metadata.version("tpchgen-cli"), "results": {}, "skipped": dict(LEFT_OUT)}
    keys = [REFERENCE] + [k for k in only if k != REFERENCE]
    for key, cls in runnable(keys, IMPLEMENTATIONS, REQUIRES, report):
        impl, row = measure_build(cls, lc)
        is_ref = key == REFERENCE
        row.update(run_queries(impl, lc, checker, is_ref))
        row.update(run_assignments(impl, lc, checker, is_ref))
        del impl
        gc.collect()
        row["memory"] = measure_memory(__file__, key, n)
        report["results"][cls.name] = row
        print(f"  {cls.name}: " + ", ".join(f"{k}={fmt(v, k)}" for k, v in row.items()), flush=True)
    report["mismatches"] = checker.mismatches
    return report


# ---------------------------------------------------------------------------
# Reporting

# The scan keeps no index: no peer for building, indexing or assigning.
NOT_A_PEER_FOR = {key: {Scan.name} for key in ("build", "index_only", "assign")}


def markdown(report: dict) -> str:
    lines = [f"### TPC-H lineitem, scale {report['scale']}: {report['n']:,} rows × {report['attributes']} attributes", ""]
    # Memory's target is a ratio to pandas.
    lines += ratio_rows(report["results"], WORKLOADS, Vorlane.name, Pandas.name, NOT_A_PEER_FOR)
    lines += left_out_lines(report)
    lines.append(
        f"\nGenerated by tpchgen-cli {report['tpchgen_cli']}. Vorlane and the object peers hold one "
        "Python object per row (16 columns, dates as `datetime.date`, plus `shipday`, the ship date "
        "as a day number); the hand-written indexes index only the queried attributes "
        f"({', '.join(EQ_ATTRS + ORDERED_ATTRS)}), Vorlane all 17. sqlite, pandas, polars and "
        "DuckDB hold the table alone (sqlite with indexes on the queried columns) and answer with "
        f"row numbers; reading converts the matching rows' {' and '.join(READ_ATTRS)} to Python "
        "values. For table peers, build and indexing alone are the same work, measured twice. "
        f"One row in {ASSIGN_FRACTION} gets a new quantity; DataFrame and DuckDB assignments are "
        f"timed on the first {SLOW_ASSIGN_SAMPLE:,} and the rest applied in bulk. Top-{TOP_K} "
        "lists break ties by row order. Memory is compared with pandas."
    )
    lines.append("")
    return "\n".join(lines)


def main() -> int:
    args = suite_arguments(__doc__.splitlines()[0], IMPLEMENTATIONS, "the first N rows only (default: all)")
    if args.memory_child:
        lc = LineitemColumns(args.n)
        warm_up = first_rows(lc, WARM_UP_OBJECTS)
        memory_child(lc, warm_up, IMPLEMENTATIONS[args.memory_child], lc.n)
        return 0
    RESULTS.mkdir(parents=True, exist_ok=True)
    lineitem_file()  # generated once, before anything is timed
    return run_suite(
        args.runs,
        lambda: run(args.n, args.only),
        lambda report: RESULTS / f"lineitem-{report['n']}{args.tag}",
        markdown,
    )


if __name__ == "__main__":
    sys.exit(main())
