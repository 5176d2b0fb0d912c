"""Vorlane against what users would pick instead.

Times the same workloads on several implementations in one run, checks that
every implementation returns the same objects (a mismatch fails the run), and
writes bench/results/peers-<N>.md, .json and .png.

    .venv/bin/python bench/peers.py            # 100,000 and 1,000,000 objects
    .venv/bin/python bench/peers.py --quick    # 100,000 only

Memory is measured in a fresh subprocess per implementation (RSS growth of
creating the objects and building the index), so one implementation's freed
memory never flatters the next.
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import platform
import random
import statistics
import subprocess
import sys
import threading
import time
from bisect import bisect_left, bisect_right
from pathlib import Path

RESULTS = Path(__file__).resolve().parent / "results"

KINDS = [f"k{i}" for i in range(20)]
SIZE_MAX = 10**6
ASSIGN_FRACTION = 10  # one object in ten gets a new size
# Peers whose single-row update costs milliseconds are timed on this many
# assignments; the rest are applied in bulk, untimed, so the query after the
# assignments still sees every new value.
SLOW_ASSIGN_SAMPLE = 5000
MIN_TIME = 0.3  # seconds of repeats per measured query, at least
MIN_REPS, MAX_REPS = 3, 200
# A sample of a query of a few microseconds repeats it for about this long,
# so that the timer's own cost and one slow call weigh little in it; queries
# slower than this are timed one round per sample, as before.
SAMPLE_TIME = 0.002
MAX_ROUNDS = 1000


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

    def assign(self, pos, value):
        self.objs[pos].size = value


class HandIndex:
    """Dicts of sets for equality, sorted lists of (value, position) for numbers."""

    name = "dict of sets + SortedList"

    def build(self, cols):
        from sortedcontainers import SortedList

        self.objs = objs = make_objs(cols)
        self.by = {a: {} for a in ("kind", "owner", "flag")}
        for a, table in self.by.items():
            for o in objs:
                v = getattr(o, a)
                s = table.get(v)
                if s is None:
                    table[v] = {o}
                else:
                    s.add(o)
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

    def assign(self, pos, value):
        o = self.objs[pos]
        self.size_sl.remove((o.size, pos))
        o.size = value
        self.size_sl.add((value, pos))


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

    def assign(self, pos, value):
        self.objs[pos].size = value
        self.db.execute("UPDATE t SET size = ? WHERE id = ?", (value, pos))


class Pandas:
    name = "pandas (masks)"
    slow_assign = False

    def build(self, cols):
        import numpy as np
        import pandas as pd

        self.objs = make_objs(cols)
        self.rows = np.array(self.objs, dtype=object)
        self.df = pd.DataFrame(
            {
                "kind": pd.Categorical(cols.kind),
                "owner": pd.Categorical(cols.owner),
                "size": np.array(cols.size, dtype=np.int64),
                "price": np.array(cols.price),
                "flag": np.array(cols.flag, dtype=np.int8),
            }
        )
        self._size_col = self.df.columns.get_loc("size")

    def _of(self, mask):
        return self.rows[mask.to_numpy()].tolist()

    def eq(self, kind):
        return self._of(self.df["kind"] == kind)

    def two(self, kind, owner):
        df = self.df
        return self._of((df["kind"] == kind) & (df["owner"] == owner))

    def range(self, lo, hi):
        return self._of(self.df["size"].between(lo, hi))

    def compound(self, kinds, lo, hi):
        df = self.df
        return self._of(df["kind"].isin(kinds) & df["size"].between(lo, hi) & (df["flag"] == 0))

    def assign(self, pos, value):
        self.objs[pos].size = value
        self.df.iat[pos, self._size_col] = value


class Polars:
    name = "polars (masks)"
    slow_assign = True

    def build(self, cols):
        import numpy as np
        import polars as pl

        self.pl = pl
        self.objs = make_objs(cols)
        self.rows = np.array(self.objs, dtype=object)
        self.df = pl.DataFrame(
            {
                "kind": pl.Series(cols.kind, dtype=pl.Categorical),
                "owner": pl.Series(cols.owner, dtype=pl.Categorical),
                "size": np.array(cols.size, dtype=np.int64),
                "price": np.array(cols.price),
                "flag": np.array(cols.flag, dtype=np.int8),
            }
        )

    def _of(self, mask):
        return self.rows[mask.to_numpy()].tolist()

    def eq(self, kind):
        return self._of(self.df["kind"] == kind)

    def two(self, kind, owner):
        df = self.df
        return self._of((df["kind"] == kind) & (df["owner"] == owner))

    def range(self, lo, hi):
        return self._of(self.df["size"].is_between(lo, hi))

    def compound(self, kinds, lo, hi):
        df = self.df
        return self._of(
            df["kind"].is_in(list(kinds)) & df["size"].is_between(lo, hi) & (df["flag"] == 0)
        )

    def assign(self, pos, value):
        self.objs[pos].size = value
        self.df[pos, "size"] = value

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
        con = self.con = duckdb.connect(":memory:")
        con.execute("SET threads TO 1")
        import pandas as pd

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

    def assign(self, pos, value):
        self.objs[pos].size = value
        self.con.execute("UPDATE t SET size = ? WHERE id = ?", [value, pos])

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
        from Vorlane import Index, Indexable

        self.objs = [
            Indexable(kind=k, owner=o, size=s, price=p, flag=f) for k, o, s, p, f in cols.rows()
        ]
        self.index = Index()
        self.index.add_object_many(self.objs)

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

    def assign(self, pos, value):
        self.objs[pos].size = value


IMPLEMENTATIONS = {
    "scan": Scan,
    "hand": HandIndex,
    "sqlite": Sqlite,
    "pandas": Pandas,
    "polars": Polars,
    "duckdb": DuckDB,
    "ducks-frozen": DucksFrozen,
    "ducks-dex": DucksDex,
    "vorlane": Vorlane,
}
REQUIRES = {
    "hand": ["sortedcontainers"],
    "pandas": ["pandas", "numpy"],
    "polars": ["polars", "numpy"],
    "duckdb": ["duckdb", "pandas", "numpy"],
    "ducks-frozen": ["ducks"],
    "ducks-dex": ["ducks"],
    "vorlane": ["Vorlane"],
}
REFERENCE = "scan"  # every other implementation must return what this one does

WORKLOADS = [
    ("build", "build (create + index)", "s"),
    ("eq", "equality on kind (~5%)", "s"),
    ("two", "two keys kind+owner", "s"),
    ("range1", "range on size, 1%", "s"),
    ("range50", "range on size, 50%", "s"),
    ("compound", "kind in {A,B}, size range, not flag", "s"),
    ("assign", "assign size, per assignment", "s"),
    ("after", "range query after assignments", "s"),
    ("memory", "memory per object (objects + index)", "B"),
]


def missing_requirement(key: str) -> str | None:
    import importlib

    for module in REQUIRES.get(key, []):
        try:
            importlib.import_module(module)
        except Exception as exc:  # an import can fail in many ways
            return f"cannot import {module}: {exc.__class__.__name__}: {exc}"
    return None


# ---------------------------------------------------------------------------
# Measuring


def rounds_per_sample(fn, params) -> int:
    """Rounds over `params` that one sample times: enough for SAMPLE_TIME."""
    t0 = time.perf_counter()
    for p in params:
        fn(*p)
    once = time.perf_counter() - t0
    return max(1, min(MAX_ROUNDS, int(SAMPLE_TIME / max(once, 1e-9))))


def per_call(fn, params) -> float:
    """Seconds per call: the best over repeats of the mean over `params`."""
    fn(*params[0])  # warm
    rounds = rounds_per_sample(fn, params)
    samples = []
    spent = 0.0
    while len(samples) < MIN_REPS or (spent < MIN_TIME and len(samples) < MAX_REPS):
        t0 = time.perf_counter()
        for _ in range(rounds):
            for p in params:
                fn(*p)
        dt = time.perf_counter() - t0
        spent += dt
        samples.append(dt / (rounds * len(params)))
    # The minimum: other load on the machine only ever adds time.
    return min(samples)


def positions(objs, result) -> list:
    where = {id(o): i for i, o in enumerate(objs)}
    return sorted(where[id(o)] for o in result)


class Checker:
    """Compares every implementation's answers with the reference's."""

    def __init__(self):
        self.expected = {}
        self.mismatches = []

    def check(self, impl_name, is_reference, label, objs, result):
        got = positions(objs, result)
        if is_reference:
            self.expected[label] = got
            return
        want = self.expected.get(label)
        if want is not None and got != want:
            self.mismatches.append(
                f"{impl_name}: {label}: {len(got)} objects, expected {len(want)}"
            )


def run_queries(impl, cols, checker, is_reference) -> dict:
    out = {}
    gc.collect()
    for key, fn, params in [
        ("eq", impl.eq, [(k,) for k in cols.eq_kinds]),
        ("two", impl.two, cols.two_keys),
        ("range1", impl.range, cols.ranges_1),
        ("range50", impl.range, cols.ranges_50),
        ("compound", impl.compound, cols.compound),
    ]:
        for p in params:
            checker.check(impl.name, is_reference, (key, p), impl.objs, fn(*p))
        out[key] = per_call(fn, params)
    return out


def run_assignments(impl, cols, checker, is_reference) -> dict:
    if getattr(impl, "frozen", False):
        return {}
    pairs = cols.assignments
    timed = pairs
    if getattr(impl, "slow_assign", False) and len(pairs) > SLOW_ASSIGN_SAMPLE:
        timed = pairs[:SLOW_ASSIGN_SAMPLE]
    assign = impl.assign
    gc.collect()
    t0 = time.perf_counter()
    for pos, value in timed:
        assign(pos, value)
    per = (time.perf_counter() - t0) / len(timed)
    if len(timed) < len(pairs):
        impl.assign_bulk(pairs[len(timed):])
    lo, hi = cols.after_range
    checker.check(impl.name, is_reference, ("after", lo, hi), impl.objs, impl.range(lo, hi))
    return {"assign": per, "after": per_call(impl.range, [cols.after_range])}


def run_threads(cols) -> dict:
    """Throughput of reduced_query evaluations: two threads against one."""
    from Vorlane import PyQueryExpr as Q

    impl = Vorlane()
    impl.build(cols)
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


def rss_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def memory_child(key: str, n: int) -> None:
    cols = Columns(n)
    impl = IMPLEMENTATIONS[key]()
    gc.collect()
    before = rss_bytes()
    impl.build(cols)
    gc.collect()
    after = rss_bytes()
    print(json.dumps({"bytes_per_object": (after - before) / n}))


def measure_memory(key: str, n: int) -> float | None:
    proc = subprocess.run(
        [sys.executable, __file__, "--memory-child", key, "--n", str(n)],
        capture_output=True,
        text=True,
    )
    if proc.returncode != 0:
        print(f"  memory of {key} failed: {proc.stderr.strip()[-300:]}", file=sys.stderr)
        return None
    return json.loads(proc.stdout.strip().splitlines()[-1])["bytes_per_object"]


def run_size(n: int, only: list[str]) -> dict:
    print(f"== {n:,} objects", flush=True)
    cols = Columns(n)
    checker = Checker()
    report = {"n": n, "results": {}, "skipped": {}}
    keys = [REFERENCE] + [k for k in only if k != REFERENCE]
    for key in keys:
        cls = IMPLEMENTATIONS[key]
        reason = missing_requirement(key)
        if reason:
            print(f"  skip {cls.name}: {reason}", flush=True)
            report["skipped"][cls.name] = reason
            continue
        impl = cls()
        gc.collect()
        t0 = time.perf_counter()
        impl.build(cols)
        row = {"build": time.perf_counter() - t0}
        is_ref = key == REFERENCE
        row.update(run_queries(impl, cols, checker, is_ref))
        row.update(run_assignments(impl, cols, checker, is_ref))
        del impl
        gc.collect()
        row["memory"] = measure_memory(key, n)
        report["results"][cls.name] = row
        print(f"  {cls.name}: " + ", ".join(f"{k}={fmt(v, k)}" for k, v in row.items()), flush=True)
    if "vorlane" in keys and not missing_requirement("vorlane"):
        report["threads"] = run_threads(cols)
        print(f"  threads: {report['threads']}", flush=True)
    report["mismatches"] = checker.mismatches
    return report


# ---------------------------------------------------------------------------
# Reporting


def fmt(value, key="") -> str:
    if value is None:
        return "n/a"
    if key == "memory":
        return f"{value:,.0f} B"
    if value >= 1:
        return f"{value:.2f} s"
    if value >= 1e-3:
        return f"{value * 1e3:.2f} ms"
    return f"{value * 1e6:.2f} µs"


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
    for name, reason in report["skipped"].items():
        lines.append(f"\nSkipped {name}: {reason}")
    lines.append(
        "\nRatios are Vorlane's time (or bytes) over the best peer's; memory is compared with "
        "the dict-of-sets index, and build and assignment leave out the plain scan, which "
        f"keeps no index. DataFrame and DuckDB assignments are timed on the first "
        f"{SLOW_ASSIGN_SAMPLE:,} and the rest applied in bulk."
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


def machine() -> dict:
    cpu = platform.processor()
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return {
        "python": sys.version.split()[0],
        "platform": platform.platform(),
        "cpu": cpu,
        "cores": os.cpu_count(),
    }


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="100,000 objects only")
    ap.add_argument("--sizes", type=int, nargs="*", help="object counts (default 100k and 1M)")
    ap.add_argument("--only", nargs="*", default=list(IMPLEMENTATIONS), choices=list(IMPLEMENTATIONS))
    ap.add_argument("--tag", default="", help="suffix of the result files")
    ap.add_argument("--memory-child", help=argparse.SUPPRESS)
    ap.add_argument("--n", type=int, help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.memory_child:
        memory_child(args.memory_child, args.n)
        return 0
    sizes = args.sizes or ([100_000] if args.quick else [100_000, 1_000_000])
    RESULTS.mkdir(parents=True, exist_ok=True)
    failed = False
    for n in sizes:
        report = run_size(n, args.only)
        report["machine"] = machine()
        stem = RESULTS / f"peers-{n}{args.tag}"
        stem.with_suffix(".json").write_text(json.dumps(report, indent=2) + "\n")
        stem.with_suffix(".md").write_text(markdown(report))
        try:
            plot(report, stem.with_suffix(".png"))
        except ImportError as exc:
            print(f"  no plot: {exc}", file=sys.stderr)
        print(markdown(report))
        for m in report["mismatches"]:
            print(f"MISMATCH {m}", file=sys.stderr)
        failed |= bool(report["mismatches"])
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
