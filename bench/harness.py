"""What the benchmark suites share: timing a call, checking every
implementation's answers against the reference's, measuring the memory of a
build in a fresh process, skipping an implementation whose library is
missing, the table peers' loading, the command line, and writing the reports.

Used by bench/peers.py, bench/wide.py and bench/lineitem.py (peers.py
re-exports these names for suites that import them from there).
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import platform
import subprocess
import sys
import time
from pathlib import Path

MIN_TIME = 0.3  # seconds of repeats per measured query, at least
MIN_REPS, MAX_REPS = 3, 200
# A sample of a query of a few microseconds repeats it for about this long,
# so that the timer's own cost and one slow call weigh little in it; queries
# slower than this are timed one round per sample, as before.
SAMPLE_TIME = 0.002
MAX_ROUNDS = 1000
# Peers whose single-row update costs milliseconds are timed on this many
# assignments; the rest are applied in bulk, untimed, so the query after the
# assignments still sees every new value.
SLOW_ASSIGN_SAMPLE = 5000


# ---------------------------------------------------------------------------
# Requirements


# What each peer of the suites needs imported, by its key.
REQUIRES = {
    "hand": ["sortedcontainers"],
    "pandas": ["pandas", "numpy"],
    "polars": ["polars", "numpy"],
    "duckdb": ["duckdb", "pandas", "numpy"],
    "ducks-frozen": ["ducks"],
    "ducks-dex": ["ducks"],
    "vorlane": ["Vorlane"],
}


def missing_requirement(requires: dict, key: str) -> str | None:
    """Why implementation `key` cannot run (a module of `requires[key]` does
    not import), or None."""
    import importlib

    for module in requires.get(key, []):
        try:
            importlib.import_module(module)
        except Exception as exc:  # an import can fail in many ways
            return f"cannot import {module}: {exc.__class__.__name__}: {exc}"
    return None


def runnable(keys, implementations: dict, requires: dict, report: dict):
    """The (key, class) of every implementation of `keys` that can run; the
    others are printed and listed under report["skipped"]."""
    for key in keys:
        cls = implementations[key]
        reason = missing_requirement(requires, key)
        if reason:
            print(f"  skip {cls.name}: {reason}", flush=True)
            report["skipped"][cls.name] = reason
            continue
        yield key, cls


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


def seconds_of(fn, *args) -> float:
    """Seconds one call `fn(*args)` takes."""
    t0 = time.perf_counter()
    fn(*args)
    return time.perf_counter() - t0


def seconds_per_assignment(impl, pairs) -> float:
    """Seconds per `impl.assign(position, value)` over `pairs`; a peer with
    `slow_assign` is timed on the first SLOW_ASSIGN_SAMPLE and takes the rest
    through `assign_bulk`, untimed."""
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
    return per


def positions(objs, result, ordered=False) -> list:
    """The positions of the result's objects in `objs` (matched by
    identity), sorted unless the result's order is part of the answer."""
    where = {id(o): i for i, o in enumerate(objs)}
    found = [where[id(o)] for o in result]
    return found if ordered else sorted(found)


class Checker:
    """Compares every implementation's answers with the reference's."""

    def __init__(self):
        self.expected = {}
        self.mismatches = []

    def check(self, impl_name, is_reference, label, objs, result, ordered=False):
        self.check_value(impl_name, is_reference, label, positions(objs, result, ordered))

    def check_value(self, impl_name, is_reference, label, got):
        if is_reference:
            self.expected[label] = got
            return
        want = self.expected.get(label)
        if want is not None and got != want:
            if isinstance(got, list) and isinstance(want, list):
                detail = f"{len(got)} objects, expected {len(want)}"
                if len(got) == len(want):
                    detail += " (other objects or another order)"
            else:
                detail = f"{got!r:.300}, expected {want!r:.300}"
            self.mismatches.append(f"{impl_name}: {label}: {detail}")


def rss_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


# The memory child builds this many objects first and drops them, so that
# imports and a library's one-off set-up (about 50 MiB for pandas or polars,
# 100 MiB for DuckDB) are not counted as memory per object.
WARM_UP_OBJECTS = 1000


def memory_child(data, warm_up_data, impl_class, n: int) -> None:
    """Prints the RSS growth per object of building `impl_class` over `data`
    (`n` objects), after a warm-up build over `warm_up_data` (about
    WARM_UP_OBJECTS). Runs in the child process."""
    impl_class().build(warm_up_data)
    impl = impl_class()
    gc.collect()
    before = rss_bytes()
    impl.build(data)
    gc.collect()
    after = rss_bytes()
    print(json.dumps({"bytes_per_object": (after - before) / n}))


def measure_memory(script: str, key: str, n: int | None) -> float | None:
    """Bytes per object of implementation `key`, measured by `script` run
    with --memory-child in a fresh process (over its default size when `n`
    is None)."""
    command = [sys.executable, script, "--memory-child", key]
    if n is not None:
        command += ["--n", str(n)]
    proc = subprocess.run(command, capture_output=True, text=True)
    if proc.returncode != 0:
        print(f"  memory of {key} failed: {proc.stderr.strip()[-300:]}", file=sys.stderr)
        return None
    return json.loads(proc.stdout.strip().splitlines()[-1])["bytes_per_object"]


def measure_build(cls, data) -> tuple[object, dict]:
    """Builds `cls` over `data`, timing indexing alone first (on a build of
    its own) where the implementation can tell it apart. Returns the built
    implementation and {"index_only"?, "build"} in seconds."""
    row = {}
    impl = cls()
    if hasattr(impl, "index_only"):
        gc.collect()
        row["index_only"] = impl.index_only(data)
        impl = cls()
    gc.collect()
    t0 = time.perf_counter()
    impl.build(data)
    row["build"] = time.perf_counter() - t0
    return impl, row


def run_suite(runs: int, run_once, base_of, markdown) -> int:
    """Runs a suite `runs` times: `run_once()` gives a report, written with
    its `markdown` to the stem `base_of(report)` (a Path), tagged -runK when
    there are several runs; several runs also get their spread, in
    <base>-spread.md. Returns the exit status: 1 when any answer mismatched
    the reference's."""
    import spread

    failed = False
    stems = []
    for r in range(1, runs + 1):
        report = run_once()
        report["machine"] = machine()
        base = base_of(report)
        stem = base if runs == 1 else base.with_name(f"{base.name}-run{r}")
        write_report(report, stem, markdown(report))
        stems.append(stem)
        failed |= bool(report["mismatches"])
    if runs > 1:
        spread.write(stems, base.with_name(f"{base.name}-spread.md"))
    return 1 if failed else 0


# ---------------------------------------------------------------------------
# Peers


class IndexedObjects:
    """A peer that makes its objects (`make_objects(data)`), then indexes
    them (`_index(data)`); `index_only` times the indexing alone."""

    def build(self, data):
        self.objs = self.make_objects(data)
        self._index(data)

    def index_only(self, data):
        self.objs = self.make_objects(data)
        gc.collect()
        return seconds_of(self._index, data)




def sqlite_indexes(db, attrs) -> None:
    """Indexes the columns `attrs` of sqlite's table t, then has the planner
    read them."""
    for a in attrs:
        db.execute(f"CREATE INDEX t_{a} ON t ({a})")
    db.execute("ANALYZE")
    db.commit()


def sqlite_ids(db, sql, params) -> list:
    """The ids of the rows an sqlite query `SELECT id ...` gives."""
    return [i for (i,) in db.execute(sql, params)]


def pandas_rows(mask):
    """The row numbers that a pandas mask selects, as an array."""
    import numpy as np

    return np.flatnonzero(mask.to_numpy())


def duckdb_table(frame):
    """A single-threaded DuckDB in memory whose table t is the pandas `frame`
    with an "id" column of row numbers first."""
    import duckdb
    import numpy as np

    frame.insert(0, "id", np.arange(len(frame), dtype=np.int64))
    con = duckdb.connect(":memory:")
    con.execute("SET threads TO 1")
    con.register("frame", frame)
    con.execute("CREATE TABLE t AS SELECT * FROM frame")
    con.unregister("frame")
    return con


def duckdb_ids(con, sql, params):
    """The ids of the rows a DuckDB query `SELECT id ...` gives, as an array."""
    return con.execute(sql, params).fetchnumpy()["id"]


# ---------------------------------------------------------------------------
# Command line


def suite_arguments(description: str, implementations: dict, n_help: str, n_default=None):
    """The arguments of a suite run over one table: --n, --only, --tag,
    --runs, and the memory child's own --memory-child."""
    ap = argparse.ArgumentParser(description=description)
    ap.add_argument("--n", type=int, default=n_default, help=n_help)
    ap.add_argument("--only", nargs="*", default=list(implementations), choices=list(implementations))
    ap.add_argument("--tag", default="", help="suffix of the result files")
    ap.add_argument("--runs", type=int, default=1, help="run this many times, then write the spread")
    ap.add_argument("--memory-child", help=argparse.SUPPRESS)
    return ap.parse_args()


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


def ratio_rows(results: dict, workloads, mine: str, memory_peer: str, not_a_peer_for: dict) -> list[str]:
    """The table rows of `workloads` ((key, label, unit) each): every
    implementation's figure, then `mine` over the best peer's (over
    `memory_peer`'s for memory). `not_a_peer_for[key]` names the
    implementations that are no peer for that workload."""
    names = list(results)
    lines = ["| workload | " + " | ".join(names) + f" | {mine} / best peer |", "|---" * (len(names) + 2) + "|"]
    for key, label, _ in workloads:
        cells = [fmt(results[n].get(key), key) for n in names]
        value = results.get(mine, {}).get(key)
        if key == "memory":
            best, who = results.get(memory_peer, {}).get(key), memory_peer
        else:
            excluded = not_a_peer_for.get(key, set()) | {mine}
            candidates = [(row[key], name) for name, row in results.items()
                          if name not in excluded and row.get(key) is not None]
            best, who = min(candidates) if candidates else (None, None)
        ratio = f"{value / best:.2f}× ({who})" if value is not None and best else "n/a"
        lines.append(f"| {label} | " + " | ".join(cells) + f" | {ratio} |")
    return lines


def left_out_lines(report: dict) -> list[str]:
    """A report's lines naming each implementation left out, and why."""
    return [f"\nLeft out {name}: {reason}." for name, reason in report["skipped"].items()]


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


def write_report(report: dict, stem: Path, text: str, plotter=None) -> None:
    """Writes <stem>.json, .md (and .png), prints the table and any mismatch."""
    stem.with_suffix(".json").write_text(json.dumps(report, indent=2) + "\n")
    stem.with_suffix(".md").write_text(text)
    if plotter is not None:
        try:
            plotter(report, stem.with_suffix(".png"))
        except ImportError as exc:
            print(f"  no plot: {exc}", file=sys.stderr)
    print(text)
    for m in report["mismatches"]:
        print(f"MISMATCH {m}", file=sys.stderr)
