"""Benchmarks of removal, ordered top-k, memory per object (1,000,000 objects),
short-lived objects and memory after mass removal.

Run by `make bench`; prints a small table. Figures only, no assertions.
"""
import gc
import os
import random
import sys
import time

from Vorlane import Index, Indexable, PyQueryExpr as Q

N = int(os.environ.get("VORLANE_BENCH_N", "1000000"))


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def best_of(fn, repeat=3):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times)


def short_lived_objects(count=200_000):
    """Objects made and dropped one at a time against the same made in a batch
    kept alive, per object; dict() as the floor of any Python object."""
    def one_at_a_time():
        for i in range(count):
            Indexable(x=i)

    def batch():
        kept = [Indexable(x=i) for i in range(count)]
        return kept

    def dicts():
        kept = [dict(x=i) for i in range(count)]
        return kept

    one = best_of(one_at_a_time) / count
    many = best_of(batch) / count
    floor = best_of(dicts) / count
    print(f"Indexable made and dropped one at a time: {one * 1e9:8.0f} ns; in a batch kept alive: "
          f"{many * 1e9:8.0f} ns ({one / many:.2f}x); dict(): {floor * 1e9:8.0f} ns")


def memory_after_mass_removal(total=300_000, kept=1_000):
    """memory_usage() after removing all but `kept` of `total` objects, against
    a fresh index of the objects kept."""
    objs = [Indexable(kind=f"k{i % 20}", size=i, name=f"n{i}") for i in range(total)]
    index = Index()
    index.add_object_many(objs)
    for o in objs[kept:]:
        index.remove_object(o)
    fresh = Index()
    fresh.add_object_many(objs[:kept])
    after, base = index.memory_usage(), fresh.memory_usage()
    print(f"memory_usage after removing {total - kept:,} of {total:,}: {after['total']:,} bytes; "
          f"fresh index of the {kept:,} left: {base['total']:,} ({after['total'] / base['total']:.2f}x)  "
          f"{after}")


def main():
    short_lived_objects()
    memory_after_mass_removal()
    rng = random.Random(1)
    gc.collect()
    before = rss_bytes()
    objs = [Indexable(kind=f"k{rng.randrange(20)}", owner=f"o{rng.randrange(N // 10)}",
                      size=rng.randrange(1_000_000), price=rng.uniform(0, 1000), flag=rng.randrange(2))
            for _ in range(N)]
    index = Index()
    index.add_object_many(objs)
    gc.collect()
    grown = rss_bytes() - before
    figures = index.memory_usage()
    print(f"objects: {N:,}")
    print(f"RSS growth, objects and index: {grown / N:8.1f} bytes/object")
    print(f"memory_usage total (index only): {figures['total'] / N:8.1f} bytes/object  {figures}")

    sample = rng.sample(objs, 20_000)
    values = [rng.randrange(1_000_000) for _ in sample]
    start = time.perf_counter()
    for o, v in zip(sample, values):
        o.size = v
    assign = (time.perf_counter() - start) / len(sample)
    start = time.perf_counter()
    for o in sample:
        index.remove_object(o)
    remove = (time.perf_counter() - start) / len(sample)
    print(f"assignment of an indexed attribute: {assign * 1e9:8.0f} ns")
    print(f"remove_object:                      {remove * 1e9:8.0f} ns  ({remove / assign:.2f}x an assignment)")

    view = index.reduced_query(Q.eq("flag", 1))
    top = best_of(lambda: view.collect_sorted("price", limit=10))
    naive = best_of(lambda: sorted(view.collect(), key=lambda o: o.price)[:10], repeat=1)
    assert view.collect_sorted("price", limit=10) == sorted(view.collect(), key=lambda o: o.price)[:10]
    print(f"collect_sorted(limit=10) on {len(view):,} selected: {top * 1e6:8.1f} us; "
          f"sorted(collect())[:10]: {naive * 1e3:8.1f} ms  ({naive / top:,.0f}x)")


if __name__ == "__main__":
    sys.exit(main())
