"""Game world: which entities of a kind stand inside a region of the map?

Entities carry a kind and a position. A region query combines an equality
with two closed ranges; when an entity moves, the index follows the
assignment. Every answer is checked against a plain scan of the list.
"""

import random

from Vorlane import Index, Indexable, PyQueryExpr as Q

KINDS = ("orc", "elf", "tree", "chest", "wolf")
WORLD_SIZE = 1_000.0
ENTITY_COUNT = 20_000


def make_entities(rng: random.Random) -> list[Indexable]:
    return [
        Indexable(
            name=f"{kind}-{i}",
            kind=kind,
            x=rng.uniform(0, WORLD_SIZE),
            y=rng.uniform(0, WORLD_SIZE),
            hp=rng.randrange(1, 101),
        )
        for i, kind in enumerate(rng.choice(KINDS) for _ in range(ENTITY_COUNT))
    ]


def region(kind: str, x0: float, x1: float, y0: float, y1: float) -> Q:
    """Entities of `kind` with x0 <= x <= x1 and y0 <= y <= y1."""
    return Q.and_(Q.eq("kind", kind), Q.bt("x", x0, x1), Q.bt("y", y0, y1))


def scan(entities: list[Indexable], kind: str, x0: float, x1: float, y0: float, y1: float) -> list[Indexable]:
    return [e for e in entities if e.kind == kind and x0 <= e.x <= x1 and y0 <= e.y <= y1]


def main() -> None:
    rng = random.Random(2024)
    entities = make_entities(rng)
    world = Index()
    world.add_object_many(entities)

    # Orcs in the north-west corner; results come in creation order.
    box = (100.0, 300.0, 100.0, 250.0)
    orcs = world.reduced_query(region("orc", *box)).collect()
    assert orcs == scan(entities, "orc", *box)
    print(f"{len(orcs)} orcs in the region, for example:")
    for orc in orcs[:3]:
        print(f"  {orc.name:<10} at ({orc.x:6.1f}, {orc.y:6.1f}) hp {orc.hp}")

    # The wounded ones among them: one more condition in the same query.
    view = world.reduced_query(Q.and_(region("orc", *box), Q.lt("hp", 20)))
    wounded = view.collect()
    assert wounded == [e for e in orcs if e.hp < 20]
    print(f"{len(wounded)} of them have fewer than 20 hit points")

    # An orc from elsewhere walks into the region: assignment moves it in the index.
    walker = next(e for e in entities if e.kind == "orc" and e not in orcs)
    walker.x, walker.y = 200.0, 200.0
    after = world.reduced_query(region("orc", *box)).collect()
    assert walker in after
    assert after == scan(entities, "orc", *box)
    print(f"{walker.name} walked in: now {len(after)} orcs in the region")

    # Everything within reach of a point, of any kind but trees.
    near = Q.and_(Q.bt("x", 480, 520), Q.bt("y", 480, 520), Q.ne("kind", "tree"))
    found = world.reduced_query(near).collect()
    assert found == [e for e in entities if 480 <= e.x <= 520 and 480 <= e.y <= 520 and e.kind != "tree"]
    print(f"{len(found)} non-tree entities near the centre")


if __name__ == "__main__":
    main()
