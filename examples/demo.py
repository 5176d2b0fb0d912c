"""A fleet of game entities indexed by Vorlane, against a plain Python scan.

Builds a few hundred thousand entities, selects them by kind, owner and
position with keyword lookups and query expressions, moves some of them by
assignment, and shows that the selections follow. Every selection is checked
against the same selection done by scanning a list, and both are timed.
"""
import random
import time

from Vorlane import Index, Indexable, PyQueryExpr as Q

N = 300_000
KINDS = ["ship", "station", "asteroid", "drone", "probe", "wreck", "mine", "beacon"]


class Entity(Indexable):
    pass


def timed(label, fn):
    start = time.perf_counter()
    result = fn()
    elapsed = time.perf_counter() - start
    return result, elapsed


def report(label, vorlane, scan):
    (ours, t_ours), (theirs, t_theirs) = vorlane, scan
    assert ours == theirs, f"{label}: Vorlane and the scan disagree"
    speedup = t_theirs / t_ours if t_ours > 0 else float("inf")
    print(f"  {label:<44} {len(ours):>7} found   vorlane {t_ours * 1e3:8.2f} ms   "
          f"scan {t_theirs * 1e3:8.2f} ms   x{speedup:,.0f}")


def main():
    rng = random.Random(7)
    print(f"Creating {N:,} entities ...")
    start = time.perf_counter()
    entities = [
        Entity(kind=rng.choice(KINDS), owner=f"player{rng.randrange(1000)}",
               x=rng.uniform(0, 10_000), y=rng.uniform(0, 10_000),
               hp=rng.randrange(0, 101), level=rng.randrange(1, 51))
        for _ in range(N)
    ]
    print(f"  created in {time.perf_counter() - start:.2f} s")

    world = Index()
    _, t = timed("index", lambda: world.add_object_many(entities))
    print(f"  indexed in {t:.2f} s")

    print("Selections (Vorlane result checked against a list scan):")
    report("kind == 'drone'",
           timed("", lambda: world.get_by_attribute(kind="drone")),
           timed("", lambda: [e for e in entities if e.kind == "drone"]))
    report("kind in {ship, station} and owner == player42",
           timed("", lambda: world.get_by_attribute(kind=["ship", "station"], owner="player42")),
           timed("", lambda: [e for e in entities if e.kind in ("ship", "station") and e.owner == "player42"]))
    region = Q.and_(Q.bt("x", 1000, 1500), Q.bt("y", 2000, 2600))
    report("entities in a 500 x 600 region",
           timed("", lambda: world.reduced_query(region).collect()),
           timed("", lambda: [e for e in entities if 1000 <= e.x <= 1500 and 2000 <= e.y <= 2600]))
    hostile = Q.and_(Q.in_("kind", ["ship", "drone"]), Q.lt("hp", 20), Q.not_(Q.eq("owner", "player1")))
    report("damaged ships and drones not of player1",
           timed("", lambda: world.reduced_query(hostile).collect()),
           timed("", lambda: [e for e in entities
                               if e.kind in ("ship", "drone") and e.hp < 20 and e.owner != "player1"]))

    print("Moving 10% of the entities by assignment ...")
    movers = rng.sample(entities, N // 10)

    def move():
        for e in movers:
            e.x = rng.uniform(0, 10_000)
            e.hp = max(0, e.hp - 10)

    _, t = timed("move", move)
    print(f"  {len(movers) * 2:,} assignments in {t:.2f} s ({t / (len(movers) * 2) * 1e9:.0f} ns each, "
          "every index updated)")

    print("The same selections after the moves:")
    report("entities in a 500 x 600 region",
           timed("", lambda: world.reduced_query(region).collect()),
           timed("", lambda: [e for e in entities if 1000 <= e.x <= 1500 and 2000 <= e.y <= 2600]))
    report("damaged ships and drones not of player1",
           timed("", lambda: world.reduced_query(hostile).collect()),
           timed("", lambda: [e for e in entities
                               if e.kind in ("ship", "drone") and e.hp < 20 and e.owner != "player1"]))

    print("A view, narrowed and rebased into its own index:")
    drones = world.reduced(kind="drone")
    report("drones of level 50 (view narrowed)",
           timed("", lambda: drones.reduced(level=50).collect()),
           timed("", lambda: [e for e in entities if e.kind == "drone" and e.level == 50]))
    squad, t = timed("rebase", lambda: drones.reduced(owner=["player1", "player2"]).rebase())
    print(f"  rebased {len(squad.collect())} drones into a new index in {t * 1e3:.2f} ms")
    leader = squad.collect()[0]
    leader.level = 99
    print(f"  after leader.level = 99: squad finds {len(squad.get_by_attribute(level=99))}, "
          f"world finds {len(world.get_by_attribute(level=99))}")


if __name__ == "__main__":
    main()
