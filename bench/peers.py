"""Vorlane against what users would pick instead.

Times the same workloads on several implementations in one run, checks that
every implementation returns the same objects (a mismatch fails the run), and
writes bench/results/peers-<N>.md, .json and .png.

    .venv/bin/python bench/peers.py            # 100,000 and 1,000,000 objects
    .venv/bin/python bench/peers.py --quick    # 100,000 only
    .venv/bin/python bench/peers.py --runs 2   # every size twice, then the spread

Memory is measured in a fresh subprocess per implementation (RSS growth of
creating the objects and building the index, after a warm-up build of 1,000
objects so that imports are not counted), so one implementation's freed
memory never flatters the next.
"""

from __future__ import annotations

import argparse
import gc
import random
import sys
import threading
import time
from collections import Counter
from heapq import nlargest, nsmallest
from operator import attrgetter
from pathlib import Path

import harness
import spread
from chunked import ChunkedSorted
from harness import (  # noqa: F401  (machine and write_report are imported from here too)
    SLOW_ASSIGN_SAMPLE,
    Checker,
    fmt,
    machine,
    WARM_UP_OBJECTS,
    measure_build,
    measure_memory,
    memory_child,
    missing_requirement,
    per_call,
    runnable,
    seconds_of,
    seconds_per_assignment,
    write_report,
)

RESULTS = Path(__file__).resolve().parent / "results"

KINDS = [f"k{i}" for i in range(20)]
SIZE_MAX = 10**6
ASSIGN_FRACTION = 10  # one object in ten gets a new size
TOP_K = 10  # the top-k workloads ask for this many objects
# The attribute-read workload reads one attribute of this many objects.
READ_OBJECTS = 100_000


# ---------------------------------------------------------------------------
# Data


class Columns:
    """The attribute values of N objects, column by column (made once)."""

    def __init__(self, n: int, seed: int = 20261209):
        rnd = random.Random(seed)
        owners = [f"o{i}" for i in range(max(1, n // 10))]
        self.n = n
        self.kind = [KINDS[rnd.randrange(len(KINDS))] for _ in range(n)]
        self.owner = [owners[rnd.randrange(len(owners))] for _ in range(n)]
        self.size = [rnd.randint(0, SIZE_MAX) for _ in range(n)]
        self.price = [round(rnd.uniform(0, 1000), 2) for _ in range(n)]
        self.flag = [rnd.randrange(2) for _ in range(n)]
        picks = rnd.sample(range(n), n // ASSIGN_FRACTION)
        self.assignments = [(i, rnd.randint(0, SIZE_MAX)) for i in picks]
        # Query parameters.
        self.eq_kinds = ["k3", "k7", "k11"]
        self.two_keys = [(self.kind[i], self.owner[i]) for i in (5, n // 3, n - 7)]
        self.ranges_1 = [(lo, lo + SIZE_MAX // 100) for lo in (12_345, 400_000, 870_000)]
        self.ranges_50 = [(lo, lo + SIZE_MAX // 2) for lo in (0, 250_000, 499_999)]
        self.compound = [(("k1", "k2"), 200_000, 600_000), (("k5", "k9"), 0, 300_000)]
        self.after_range = (300_000, 310_000)
        # Facet views: flag == 0 holds half of the objects, price < 1% of
        # the price range about 1% of them.
        self.half_flag = 0
        self.percent_price = 10.0

    def rows(self):
        return zip(self.kind, self.owner, self.size, self.price, self.flag)


class Obj:
    """The object the peers hold: plain attributes in slots."""

    __slots__ = ("kind", "owner", "size", "price", "flag")

    def __init__(self, kind, owner, size, price, flag):
        self.kind = kind
        self.owner = owner
        self.size = size
        self.price = price
        self.flag = flag


def make_objs(cols: Columns) -> list:
    return [Obj(*row) for row in cols.rows()]


# ---------------------------------------------------------------------------
# Implementations. Each builds from the columns, keeps `objs` (position ->
# object) and answers the workloads with lists of objects.


class Scan:
    name = "list scan"

    def build(self, cols):
        self.objs = make_objs(cols)

    def eq(self, kind):
        return [o for o in self.objs if o.kind == kind]

    def two(self, kind, owner):
        return [o for o in self.objs if o.kind == kind and o.owner == owner]

    def range(self, lo, hi):
        return [o for o in self.objs if lo <= o.size <= hi]

    def compound(self, kinds, lo, hi):
        ks = set(kinds)
        return [o for o in self.objs if o.kind in ks and lo <= o.size <= hi and not o.flag]

    def top(self, k, largest):
        # Both are a stable sort cut short: ties come in position order.
        pick = nlargest if largest else nsmallest
        return pick(k, self.objs, key=attrgetter("size"))

    def assign(self, pos, value):
        self.objs[pos].size = value

    # Facets: the Python recomputation every other answer is checked against.
    def facet_setup(self, cols):
        self.half = [o for o in self.objs if o.flag == cols.half_flag]
        self.percent = [o for o in self.objs if o.price < cols.percent_price]

    def value_counts(self):
        # most_common orders ties by first occurrence, that is by position.
        return dict(Counter(o.kind for o in self.half).most_common())

    def min_size(self):
        return min((o.size for o in self.percent), default=None)

    def max_size(self):
        return max((o.size for o in self.percent), default=None)


def sets_by_value(objs, attrs) -> dict:
    """{attribute: {value: set of objects}}: the equality index by hand."""
    by = {a: {} for a in attrs}
    for a, table in by.items():
        for o in objs:
            v = getattr(o, a)
            s = table.get(v)
            if s is None:
                table[v] = {o}
            else:
                s.add(o)
    return by


def top_of_sorted_list(sl, objs, k, largest) -> list:
    """The objects of the k first (or last) entries of a SortedList of
    (value, position), ties in position order."""
    if not largest:  # (value, position) order is the wanted order
        return [objs[p] for _, p in sl.islice(0, k)]
    # The last k entries and any entry tied with the first of them,
    # then largest first with ties kept in position order.
    begin = sl.bisect_left((sl[-k][0], -1)) if len(sl) >= k else 0
    tail = list(sl.islice(begin))
    tail.sort(key=lambda e: -e[0])
    return [objs[p] for _, p in tail[:k]]


class SortedListRanges:
    """Ranges and top-k of a hand-written index whose `ordered[attr]` are
    SortedLists of (value, position) into `objs`."""

    def range(self, attr, lo, hi):
        objs = self.objs
        return [objs[p] for _, p in self.ordered[attr].irange((lo, -1), (hi, sys.maxsize))]

    def top(self, attr, k, largest):
        return top_of_sorted_list(self.ordered[attr], self.objs, k, largest)


class ChunkedRanges:
    """Ranges and top-k of a hand-written index whose `ordered[attr]` are
    chunked key and object lists (bench/chunked.py)."""

    def range(self, attr, lo, hi):
        return self.ordered[attr].between(lo, hi)

    def top(self, attr, k, largest):
        ix = self.ordered[attr]
        return ix.largest(k) if largest else ix.smallest(k)


class HandIndex:
    """Dicts of sets for equality, sorted lists of (value, position) for numbers."""

    name = "dict of sets + SortedList"

    def build(self, cols):
        from sortedcontainers import SortedList

        self.objs = make_objs(cols)
        self.by = sets_by_value(self.objs, ("kind", "owner", "flag"))
        self.size_sl = SortedList(zip(cols.size, range(cols.n)))
        self.price_sl = SortedList(zip(cols.price, range(cols.n)))

    def _between(self, lo, hi):
        sl = self.size_sl
        return sl.islice(sl.bisect_left((lo, -1)), sl.bisect_right((hi, sys.maxsize)))

    def eq(self, kind):
        return list(self.by["kind"].get(kind, ()))

    def two(self, kind, owner):
        a = self.by["kind"].get(kind, set())
        b = self.by["owner"].get(owner, set())
        return list(a & b if len(a) < len(b) else b & a)

    def range(self, lo, hi):
        objs = self.objs
        return [objs[p] for _, p in self._between(lo, hi)]

    def compound(self, kinds, lo, hi):
        out = []
        for k in kinds:
            out.extend(o for o in self.by["kind"].get(k, ()) if lo <= o.size <= hi and not o.flag)
        return out

    def top(self, k, largest):
        return top_of_sorted_list(self.size_sl, self.objs, k, largest)

    def assign(self, pos, value):
        o = self.objs[pos]
        self.size_sl.remove((o.size, pos))
        o.size = value
        self.size_sl.add((value, pos))


class ChunkedIndex(HandIndex):
    """Dicts of sets for equality; for numbers, parallel chunked lists of
    keys and objects with bisect (bench/chunked.py), so a range is a few
    list slices."""

    name = "dict of sets + chunked lists"

    def build(self, cols):
        self.objs = make_objs(cols)
        self.by = sets_by_value(self.objs, ("kind", "owner", "flag"))
        self.size_ix = ChunkedSorted(cols.size, self.objs)
        self.price_ix = ChunkedSorted(cols.price, self.objs)

    def range(self, lo, hi):
        return self.size_ix.between(lo, hi)

    def top(self, k, largest):
        return self.size_ix.largest(k) if largest else self.size_ix.smallest(k)

    def assign(self, pos, value):
        o = self.objs[pos]
        self.size_ix.remove(o.size, pos, o)
        o.size = value
        self.size_ix.insert(value, pos, o)


class Sqlite:
    name = "sqlite3 (memory)"

    def build(self, cols):
        import sqlite3

        self.objs = make_objs(cols)
        db = self.db = sqlite3.connect(":memory:", check_same_thread=False)
        db.execute(
            "CREATE TABLE t (id INTEGER PRIMARY KEY, kind TEXT, owner TEXT,"
            " size INTEGER, price REAL, flag INTEGER)"
        )
        db.executemany(
            "INSERT INTO t VALUES (?, ?, ?, ?, ?, ?)",
            ((i, *row) for i, row in enumerate(cols.rows())),
        )
        for c in ("kind", "owner", "size", "price", "flag"):
            db.execute(f"CREATE INDEX t_{c} ON t ({c})")
        db.execute("ANALYZE")
        db.commit()

    def _ids(self, sql, params):
        objs = self.objs
        return [objs[i] for (i,) in self.db.execute(sql, params)]

    def eq(self, kind):
        return self._ids("SELECT id FROM t WHERE kind = ?", (kind,))

    def two(self, kind, owner):
        return self._ids("SELECT id FROM t WHERE kind = ? AND owner = ?", (kind, owner))

    def range(self, lo, hi):
        return self._ids("SELECT id FROM t WHERE size BETWEEN ? AND ?", (lo, hi))

    def compound(self, kinds, lo, hi):
        return self._ids(
            "SELECT id FROM t WHERE kind IN (?, ?) AND size BETWEEN ? AND ? AND NOT flag",
            (*kinds, lo, hi),
        )

    def top(self, k, largest):
        # The index on size holds (size, id): the ascending order is a scan
        # of it; the descending one sorts only the ties.
        order = "DESC" if largest else "ASC"
        return self._ids(f"SELECT id FROM t ORDER BY size {order}, id LIMIT ?", (k,))

    def assign(self, pos, value):
        self.objs[pos].size = value
        self.db.execute("UPDATE t SET size = ? WHERE id = ?", (value, pos))

    def facet_setup(self, cols):
        self.facet_params = cols.half_flag, cols.percent_price

    def value_counts(self):
        return self.db.execute(
            "SELECT kind, COUNT(*) AS c FROM t WHERE flag = ? GROUP BY kind", self.facet_params[:1]
        ).fetchall()

    def min_size(self):
        return self.db.execute("SELECT MIN(size) FROM t WHERE price < ?", self.facet_params[1:]).fetchone()[0]

    def max_size(self):
        return self.db.execute("SELECT MAX(size) FROM t WHERE price < ?", self.facet_params[1:]).fetchone()[0]


class FramePeer:
    """Common ground of the DataFrame peers: the objects, an array of them by
    row, and a frame of their values (`_frame`) whose masks select rows."""

    def build(self, cols):
        import numpy as np

        self.objs = make_objs(cols)
        self.rows = np.array(self.objs, dtype=object)
        self.df = self._frame(cols)

    def index_only(self, cols):
        """The frame alone, from the columns' Python lists."""
        return seconds_of(self._frame, cols)

    def _of(self, mask):
        return self.rows[mask.to_numpy()].tolist()

    def eq(self, kind):
        return self._of(self.df["kind"] == kind)

    def two(self, kind, owner):
        df = self.df
        return self._of((df["kind"] == kind) & (df["owner"] == owner))

    def facet_setup(self, cols):
        df = self.df
        self.half_mask = df["flag"] == cols.half_flag
        self.percent_mask = df["price"] < cols.percent_price


class Pandas(FramePeer):
    name = "pandas (masks)"
    slow_assign = False

    def build(self, cols):
        super().build(cols)
        self._size_col = self.df.columns.get_loc("size")

    @staticmethod
    def _frame(cols):
        import numpy as np
        import pandas as pd

        return pd.DataFrame(
            {
                "kind": pd.Categorical(cols.kind),
                "owner": pd.Categorical(cols.owner),
                "size": np.array(cols.size, dtype=np.int64),
                "price": np.array(cols.price),
                "flag": np.array(cols.flag, dtype=np.int8),
            }
        )

    def range(self, lo, hi):
        return self._of(self.df["size"].between(lo, hi))

    def compound(self, kinds, lo, hi):
        df = self.df
        return self._of(df["kind"].isin(kinds) & df["size"].between(lo, hi) & (df["flag"] == 0))

    def top(self, k, largest):
        # keep="first": ties in row order, as a stable sort gives them.
        size = self.df["size"]
        picked = size.nlargest(k) if largest else size.nsmallest(k)
        return self.rows[picked.index.to_numpy()].tolist()

    def assign(self, pos, value):
        self.objs[pos].size = value
        self.df.iat[pos, self._size_col] = value

    def value_counts(self):
        return self.df.loc[self.half_mask, "kind"].value_counts()

    def min_size(self):
        return self.df.loc[self.percent_mask, "size"].min()

    def max_size(self):
        return self.df.loc[self.percent_mask, "size"].max()


class Polars(FramePeer):
    name = "polars (masks)"
    slow_assign = True

    def build(self, cols):
        import polars as pl

        self.pl = pl
        super().build(cols)

    @staticmethod
    def _frame(cols):
        import numpy as np
        import polars as pl

        return pl.DataFrame(
            {
                "kind": pl.Series(cols.kind, dtype=pl.Categorical),
                "owner": pl.Series(cols.owner, dtype=pl.Categorical),
                "size": np.array(cols.size, dtype=np.int64),
                "price": np.array(cols.price),
                "flag": np.array(cols.flag, dtype=np.int8),
            }
        )

    def range(self, lo, hi):
        return self._of(self.df["size"].is_between(lo, hi))

    def compound(self, kinds, lo, hi):
        df = self.df
        return self._of(
            df["kind"].is_in(list(kinds)) & df["size"].is_between(lo, hi) & (df["flag"] == 0)
        )

    def top(self, k, largest):
        # top_k gives values, not rows, and breaks ties arbitrarily: take
        # the rows at or past the k-th value, then order them largest first
        # with ties in row order.
        size = self.df["size"]
        if largest:
            rows = (size >= size.top_k(k).min()).arg_true()
        else:
            rows = (size <= size.bottom_k(k).max()).arg_true()
        values = size.gather(rows).to_list()
        order = sorted(range(len(values)), key=values.__getitem__, reverse=largest)[:k]
        return self.rows[rows.to_numpy()[order]].tolist()

    def assign(self, pos, value):
        self.objs[pos].size = value
        self.df[pos, "size"] = value

    def value_counts(self):
        return self.df["kind"].filter(self.half_mask).value_counts()

    def min_size(self):
        return self.df["size"].filter(self.percent_mask).min()

    def max_size(self):
        return self.df["size"].filter(self.percent_mask).max()

    def assign_bulk(self, pairs):
        import numpy as np

        sizes = self.df["size"].to_numpy().copy()
        for pos, value in pairs:
            self.objs[pos].size = value
            sizes[pos] = value
        self.df = self.df.with_columns(self.pl.Series("size", sizes))


class DuckDB:
    name = "DuckDB (SQL)"
    slow_assign = True

    def build(self, cols):
        import duckdb
        import numpy as np

        self.objs = make_objs(cols)
        self.rows = np.array(self.objs, dtype=object)
        self.con = self._load(cols)

    @staticmethod
    def _load(cols):
        import duckdb
        import numpy as np
        import pandas as pd

        con = duckdb.connect(":memory:")
        con.execute("SET threads TO 1")
        frame = pd.DataFrame(
            {
                "id": np.arange(cols.n, dtype=np.int64),
                "kind": cols.kind,
                "owner": cols.owner,
                "size": np.array(cols.size, dtype=np.int64),
                "price": np.array(cols.price),
                "flag": np.array(cols.flag, dtype=np.int8),
            }
        )
        con.register("frame", frame)
        con.execute("CREATE TABLE t AS SELECT * FROM frame")
        con.unregister("frame")
        return con

    def index_only(self, cols):
        """The table alone, from the columns' Python lists."""
        t0 = time.perf_counter()
        self._load(cols).close()
        return time.perf_counter() - t0

    def _of(self, sql, params):
        ids = self.con.execute(sql, params).fetchnumpy()["id"]
        return self.rows[ids].tolist()

    def eq(self, kind):
        return self._of("SELECT id FROM t WHERE kind = ?", [kind])

    def two(self, kind, owner):
        return self._of("SELECT id FROM t WHERE kind = ? AND owner = ?", [kind, owner])

    def range(self, lo, hi):
        return self._of("SELECT id FROM t WHERE size BETWEEN ? AND ?", [lo, hi])

    def compound(self, kinds, lo, hi):
        return self._of(
            "SELECT id FROM t WHERE kind IN (?, ?) AND size BETWEEN ? AND ? AND flag = 0",
            [*kinds, lo, hi],
        )

    def top(self, k, largest):
        order = "DESC" if largest else "ASC"
        ids = self.con.execute(f"SELECT id FROM t ORDER BY size {order}, id LIMIT ?", [k]).fetchnumpy()["id"]
        return self.rows[ids].tolist()

    def assign(self, pos, value):
        self.objs[pos].size = value
        self.con.execute("UPDATE t SET size = ? WHERE id = ?", [value, pos])

    def facet_setup(self, cols):
        self.facet_params = cols.half_flag, cols.percent_price

    def value_counts(self):
        return self.con.execute(
            "SELECT kind, COUNT(*) AS c FROM t WHERE flag = ? GROUP BY kind", [self.facet_params[0]]
        ).fetchall()

    def min_size(self):
        return self.con.execute("SELECT MIN(size) FROM t WHERE price < ?", [self.facet_params[1]]).fetchone()[0]

    def max_size(self):
        return self.con.execute("SELECT MAX(size) FROM t WHERE price < ?", [self.facet_params[1]]).fetchone()[0]

    def assign_bulk(self, pairs):
        import pandas as pd

        for pos, value in pairs:
            self.objs[pos].size = value
        changes = pd.DataFrame({"pid": [p for p, _ in pairs], "v": [v for _, v in pairs]})
        self.con.register("changes", changes)
        self.con.execute("UPDATE t SET size = changes.v FROM changes WHERE t.id = changes.pid")
        self.con.unregister("changes")


class _DucksBase:
    def _index(self, cols, cls):
        self.objs = make_objs(cols)
        self.dex = cls(self.objs, ["kind", "owner", "size", "price", "flag"])

    def eq(self, kind):
        return self.dex[{"kind": kind}]

    def two(self, kind, owner):
        return self.dex[{"kind": kind, "owner": owner}]

    def range(self, lo, hi):
        return self.dex[{"size": {">=": lo, "<=": hi}}]

    def compound(self, kinds, lo, hi):
        return self.dex[{"kind": {"in": list(kinds)}, "size": {">=": lo, "<=": hi}, "flag": 0}]


class DucksFrozen(_DucksBase):
    name = "ducks FrozenDex"
    # A FrozenDex cannot change: the assignment workload does not apply.
    frozen = True

    def build(self, cols):
        from ducks import FrozenDex

        self._index(cols, FrozenDex)


class DucksDex(_DucksBase):
    name = "ducks Dex"

    def build(self, cols):
        from ducks import Dex

        self._index(cols, Dex)

    def assign(self, pos, value):
        o = self.objs[pos]
        self.dex.remove(o)
        o.size = value
        self.dex.add(o)


class Vorlane:
    name = "Vorlane"

    def build(self, cols):
        from Vorlane import Index

        self.objs = self._create(cols)
        self.index = Index()
        self.index.add_object_many(self.objs)

    @staticmethod
    def _create(cols):
        from Vorlane import Indexable

        return [Indexable(kind=k, owner=o, size=s, price=p, flag=f) for k, o, s, p, f in cols.rows()]

    def index_only(self, cols):
        """add_object_many of objects that exist already (and are in no index)."""
        from Vorlane import Index

        objs = self._create(cols)
        gc.collect()
        t0 = time.perf_counter()
        Index().add_object_many(objs)
        return time.perf_counter() - t0

    def eq(self, kind):
        return self.index.get_by_attribute(kind=kind)

    def two(self, kind, owner):
        return self.index.get_by_attribute(kind=kind, owner=owner)

    def range(self, lo, hi):
        from Vorlane import PyQueryExpr as Q

        return self.index.reduced_query(Q.bt("size", lo, hi)).collect()

    def compound_query(self, kinds, lo, hi):
        from Vorlane import PyQueryExpr as Q

        return Q.and_(Q.in_("kind", list(kinds)), Q.bt("size", lo, hi), Q.not_(Q.eq("flag", 1)))

    def compound(self, kinds, lo, hi):
        return self.index.reduced_query(self.compound_query(kinds, lo, hi)).collect()

    def top(self, k, largest):
        return self.index.collect_sorted("size", limit=k, reverse=largest)

    def assign(self, pos, value):
        self.objs[pos].size = value

    # Facets: counts and bounds over views, answered by the views' own
    # methods where this build of the module has them.
    FACET_METHODS = {"value_counts": "value_counts", "min_size": "min", "max_size": "max"}

    def facet_setup(self, cols):
        from Vorlane import PyQueryExpr as Q

        self.half = self.index.reduced_query(Q.eq("flag", cols.half_flag))
        self.percent = self.index.reduced_query(Q.lt("price", cols.percent_price))

    def facet_missing(self, method):
        name = self.FACET_METHODS[method]
        if not hasattr(self.half, name):
            return f"FilteredIndex.{name} does not exist in this build"
        return None

    def value_counts(self):
        return self.half.value_counts("kind")

    def min_size(self):
        return self.percent.min("size")

    def max_size(self):
        return self.percent.max("size")


IMPLEMENTATIONS = {
    "scan": Scan,
    "hand": HandIndex,
    "chunked": ChunkedIndex,
    "sqlite": Sqlite,
    "pandas": Pandas,
    "polars": Polars,
    "duckdb": DuckDB,
    "ducks-frozen": DucksFrozen,
    "ducks-dex": DucksDex,
    "vorlane": Vorlane,
}
REQUIRES = harness.REQUIRES
REFERENCE = "scan"  # every other implementation must return what this one does

WORKLOADS = [
    ("build", "build (create + index)", "s"),
    ("index_only", "indexing alone (existing objects, or a frame from lists)", "s"),
    ("eq", "equality on kind (~5%)", "s"),
    ("two", "two keys kind+owner", "s"),
    ("range1", "range on size, 1%", "s"),
    ("range50", "range on size, 50%", "s"),
    ("compound", "kind in {A,B}, size range, not flag", "s"),
    ("top10", f"top {TOP_K} by size, largest first", "s"),
    ("bottom10", f"top {TOP_K} by size, smallest first", "s"),
    ("counts", "value_counts of kind over a 50% view", "s"),
    ("min1", "min of size over a 1% view", "s"),
    ("max1", "max of size over a 1% view", "s"),
    ("assign", "assign size, per assignment", "s"),
    ("after", "range query after assignments", "s"),
    ("memory", "memory per object (objects + index)", "B"),
]


# ---------------------------------------------------------------------------
# Measuring


def run_queries(impl, cols, checker, is_reference) -> dict:
    out = {}
    gc.collect()
    workloads = [
        ("eq", impl.eq, [(k,) for k in cols.eq_kinds]),
        ("two", impl.two, cols.two_keys),
        ("range1", impl.range, cols.ranges_1),
        ("range50", impl.range, cols.ranges_50),
        ("compound", impl.compound, cols.compound),
    ]
    if hasattr(impl, "top"):
        workloads += [("top10", impl.top, [(TOP_K, True)]), ("bottom10", impl.top, [(TOP_K, False)])]
    for key, fn, params in workloads:
        ordered = key in ("top10", "bottom10")
        for p in params:
            checker.check(impl.name, is_reference, (key, p), impl.objs, fn(*p), ordered)
        out[key] = per_call(fn, params)
    return out


def as_counts(result) -> dict:
    """A value_counts answer of any implementation as {value: count}."""
    if hasattr(result, "to_dict") and hasattr(result, "columns"):  # a polars frame
        values, counts = result.columns[0], result.columns[-1]
        result = zip(result[values].to_list(), result[counts].to_list())
    elif hasattr(result, "to_dict"):  # a pandas series
        result = result.to_dict().items()
    elif isinstance(result, dict):
        result = result.items()
    # A categorical column counts its absent categories as 0.
    return {value: int(count) for value, count in result if count}


FACETS = [("counts", "value_counts"), ("min1", "min_size"), ("max1", "max_size")]


def run_facets(impl, cols, checker, is_reference, notes) -> dict:
    """value_counts over a 50% view and min/max over a 1% view, where the
    implementation answers them; the views (or masks) are made untimed."""
    if not hasattr(impl, "facet_setup"):
        return {}
    impl.facet_setup(cols)
    out = {}
    for key, method in FACETS:
        missing = impl.facet_missing(method) if hasattr(impl, "facet_missing") else None
        if missing:
            note = f"{impl.name}: {key} skipped: {missing}"
            print(f"  {note}", flush=True)
            notes.append(note)
            continue
        fn = getattr(impl, method)
        result = fn()
        if key == "counts":
            counts = as_counts(result)
            checker.check_value(impl.name, is_reference, (key,), counts)
            if impl.name == Vorlane.name:
                check_counts_order(impl.name, result, checker)
        else:
            checker.check_value(impl.name, is_reference, (key,), None if result is None else int(result))
        out[key] = per_call(fn, [()])
    return out


def check_counts_order(impl_name, result, checker) -> None:
    """Vorlane's value_counts is a dict ordered by descending count."""
    counts = list(result.values())
    if counts != sorted(counts, reverse=True):
        checker.mismatches.append(f"{impl_name}: counts: not in descending order of count: {result!r:.300}")


def run_assignments(impl, cols, checker, is_reference) -> dict:
    if getattr(impl, "frozen", False):
        return {}
    per = seconds_per_assignment(impl, cols.assignments)
    lo, hi = cols.after_range
    checker.check(impl.name, is_reference, ("after", lo, hi), impl.objs, impl.range(lo, hi))
    return {"assign": per, "after": per_call(impl.range, [cols.after_range])}


def run_threads(impl, cols) -> dict:
    """Throughput of reduced_query evaluations: two threads against one."""
    from Vorlane import PyQueryExpr as Q

    queries = [impl.compound_query(*c) for c in cols.compound]
    queries += [Q.bt("size", lo, hi) for lo, hi in cols.ranges_50]
    index = impl.index

    def loop(count):
        for i in range(count):
            index.reduced_query(queries[i % len(queries)])

    # Calibrate so one thread runs about a second.
    t0 = time.perf_counter()
    loop(20)
    per = (time.perf_counter() - t0) / 20
    count = max(20, int(1.0 / per))
    best_one = best_two = 0.0
    for _ in range(3):
        t0 = time.perf_counter()
        loop(count)
        best_one = max(best_one, count / (time.perf_counter() - t0))
        threads = [threading.Thread(target=loop, args=(count,)) for _ in range(2)]
        t0 = time.perf_counter()
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        best_two = max(best_two, 2 * count / (time.perf_counter() - t0))
    return {"one_thread_qps": best_one, "two_threads_qps": best_two, "ratio": best_two / best_one}


# Turns of the attribute reads: each turn reads every list once, and each
# figure is the best of its turns.
READ_TURNS = 30


def run_reads(impl, plain, cols) -> dict:
    """Nanoseconds per object to read one attribute: of indexed Vorlane
    objects and of `__slots__` objects (`plain`) with the same attributes,
    first over a list of READ_OBJECTS objects in creation order, then over
    every object of an equality result (about 5% of the objects, spread over
    all of them).

    The two kinds of objects are made one list after the other, before the
    index (see run_size), so that both lie in memory of the same age: made
    after the index and a thread test instead, the `__slots__` objects of the
    result read 1.3-2.0 times as fast as the Vorlane ones in one process and
    1.2-1.4 times made so. The four readings are timed in turns, so that a
    change in the machine's load meets them all alike, in the reverse order
    every other turn: both kinds of objects hold the same value objects, and
    whichever reads second finds them in the cache the first one filled."""
    count = min(READ_OBJECTS, cols.n)

    def read(objs):
        return [o.size for o in objs]

    kind = cols.eq_kinds[0]
    mine_result = impl.eq(kind)
    plain_result = [o for o in plain if o.kind == kind]
    assert read(mine_result) == read(plain_result)
    cases = {
        "list_vorlane_ns": impl.objs[:count],
        "list_slots_ns": plain[:count],
        "result_vorlane_ns": mine_result,
        "result_slots_ns": plain_result,
    }
    best = dict.fromkeys(cases, float("inf"))
    for turn in range(READ_TURNS):
        for key, objs in list(cases.items())[:: 1 if turn % 2 == 0 else -1]:
            t0 = time.perf_counter()
            read(objs)
            best[key] = min(best[key], (time.perf_counter() - t0) / len(objs) * 1e9)
    figures = {**best, "list_objects": count, "result_objects": len(mine_result)}
    figures["list_ratio"] = figures["list_vorlane_ns"] / figures["list_slots_ns"]
    figures["result_ratio"] = figures["result_vorlane_ns"] / figures["result_slots_ns"]
    return figures


def run_size(n: int, only: list[str]) -> dict:
    print(f"== {n:,} objects", flush=True)
    cols = Columns(n)
    checker = Checker()
    report = {"n": n, "results": {}, "skipped": {}, "notes": []}
    keys = [REFERENCE] + [k for k in only if k != REFERENCE]
    for key, cls in runnable(keys, IMPLEMENTATIONS, REQUIRES, report):
        impl, row = measure_build(cls, cols)
        is_ref = key == REFERENCE
        row.update(run_queries(impl, cols, checker, is_ref))
        row.update(run_facets(impl, cols, checker, is_ref, report["notes"]))
        row.update(run_assignments(impl, cols, checker, is_ref))
        del impl
        gc.collect()
        row["memory"] = measure_memory(__file__, key, n)
        report["results"][cls.name] = row
        print(f"  {cls.name}: " + ", ".join(f"{k}={fmt(v, k)}" for k, v in row.items()), flush=True)
    if "vorlane" in keys and not missing_requirement(REQUIRES, "vorlane"):
        plain = make_objs(cols)  # for the reads, made with the Vorlane objects
        impl = Vorlane()
        impl.build(cols)
        report["threads"] = run_threads(impl, cols)
        print(f"  threads: {report['threads']}", flush=True)
        report["reads"] = run_reads(impl, plain, cols)
        print(f"  reads: {report['reads']}", flush=True)
        del impl
    report["mismatches"] = checker.mismatches
    return report


# ---------------------------------------------------------------------------
# Reporting


# The plain scan keeps no index: building it is only creating the objects, and
# assigning to it moves nothing, so it is no peer for those two workloads.
NOT_A_PEER_FOR = {"build": {Scan.name}, "assign": {Scan.name}}


def best_peer(results: dict, key: str):
    excluded = NOT_A_PEER_FOR.get(key, set()) | {Vorlane.name}
    peers = [(row[key], name) for name, row in results.items()
             if name not in excluded and row.get(key) is not None]
    return min(peers) if peers else (None, None)


def markdown(report: dict) -> str:
    results = report["results"]
    names = list(results)
    lines = [f"### {report['n']:,} objects", ""]
    lines.append("| workload | " + " | ".join(names) + " | Vorlane / best peer |")
    lines.append("|---" * (len(names) + 2) + "|")
    for key, label, _ in WORKLOADS:
        cells = [fmt(results[n].get(key), key) for n in names]
        mine = results.get(Vorlane.name, {}).get(key)
        best, who = best_peer(results, key)
        if key == "memory":
            best, who = results.get(HandIndex.name, {}).get(key), HandIndex.name
        ratio = f"{mine / best:.2f}× ({who})" if mine is not None and best else "n/a"
        lines.append(f"| {label} | " + " | ".join(cells) + f" | {ratio} |")
    if "threads" in report:
        t = report["threads"]
        lines += [
            "",
            f"Two threads running `reduced_query` at once: {t['two_threads_qps']:,.0f} queries/s "
            f"against {t['one_thread_qps']:,.0f} for one thread ({t['ratio']:.2f}×).",
        ]
    if "reads" in report:
        r = report["reads"]
        lines += [
            "",
            f"Reading `size` of each of {r['list_objects']:,} indexed objects: "
            f"{r['list_vorlane_ns']:.0f} ns per object, against {r['list_slots_ns']:.0f} ns "
            f"for a `__slots__` object ({r['list_ratio']:.2f}×); of each of the "
            f"{r['result_objects']:,} objects of an equality result: {r['result_vorlane_ns']:.0f} ns "
            f"against {r['result_slots_ns']:.0f} ns ({r['result_ratio']:.2f}×).",
        ]
    for name, reason in report["skipped"].items():
        lines.append(f"\nSkipped {name}: {reason}")
    for note in report.get("notes", []):
        lines.append(f"\nNot measured: {note}")
    lines.append(
        "\nRatios are Vorlane's time (or bytes) over the best peer's; memory is compared with "
        "the dict-of-sets index, and build and assignment leave out the plain scan, which "
        f"keeps no index. DataFrame and DuckDB assignments are timed on the first "
        f"{SLOW_ASSIGN_SAMPLE:,} and the rest applied in bulk. Indexing alone is Vorlane's "
        "`add_object_many` of objects created beforehand, against the peers' build of a "
        "frame or table from the columns' Python lists. Facet views and masks are made "
        f"before timing; the top-{TOP_K} lists break ties by creation order, as Vorlane does."
    )
    lines.append("")
    return "\n".join(lines)


def plot(report: dict, path: Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    results = report["results"]
    names = list(results)
    keys = [(k, label) for k, label, unit in WORKLOADS if unit == "s"]
    fig, ax = plt.subplots(figsize=(14, 6))
    width = 0.8 / len(names)
    for j, name in enumerate(names):
        xs, ys = [], []
        for i, (k, _) in enumerate(keys):
            v = results[name].get(k)
            if v:
                xs.append(i + j * width)
                ys.append(v)
        ax.bar(xs, ys, width, label=name)
    ax.set_yscale("log")
    ax.set_ylabel("seconds (log scale, lower is better)")
    ax.set_xticks([i + 0.4 - width / 2 for i in range(len(keys))])
    ax.set_xticklabels([label for _, label in keys], rotation=20, ha="right", fontsize=8)
    ax.set_title(f"Vorlane and its peers, {report['n']:,} objects")
    ax.legend(fontsize=8, ncol=3)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="100,000 objects only")
    ap.add_argument("--sizes", type=int, nargs="*", help="object counts (default 100k and 1M)")
    ap.add_argument("--only", nargs="*", default=list(IMPLEMENTATIONS), choices=list(IMPLEMENTATIONS))
    ap.add_argument("--tag", default="", help="suffix of the result files")
    ap.add_argument(
        "--runs", type=int, default=1,
        help="run every size this many times (files tagged -run1, -run2, ...) and write the spread",
    )
    ap.add_argument("--memory-child", help=argparse.SUPPRESS)
    ap.add_argument("--n", type=int, help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.memory_child:
        memory_child(Columns(args.n), Columns(WARM_UP_OBJECTS), IMPLEMENTATIONS[args.memory_child], args.n)
        return 0
    sizes = args.sizes or ([100_000] if args.quick else [100_000, 1_000_000])
    RESULTS.mkdir(parents=True, exist_ok=True)
    failed = False
    stems = {n: [] for n in sizes}
    for run in range(1, args.runs + 1):
        tag = args.tag + (f"-run{run}" if args.runs > 1 else "")
        for n in sizes:
            report = run_size(n, args.only)
            report["machine"] = machine()
            stem = RESULTS / f"peers-{n}{tag}"
            write_report(report, stem, markdown(report), plot)
            stems[n].append(stem)
            failed |= bool(report["mismatches"])
    if args.runs > 1:
        for n, runs in stems.items():
            spread.write(runs, RESULTS / f"peers-{n}{args.tag}-spread.md")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
