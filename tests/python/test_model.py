"""Seeded random operations checked against a pure-Python model."""
import random

from Vorlane import Index, Indexable, PyQueryExpr as Q

VALUES = [0, 1, 2, -1, -2, 1.0, 2.5, True, False, None, "a", "b", (1, 2), [3], 2**63 - 1, -(2**63)]
ATTRS = ["size", "colour", "_hidden"]


class Model:
    """What each index should answer: the indexed value of each object, by
    attribute, following the rules the module documents."""

    def __init__(self):
        self.members = {}  # index number -> {object id: obj}
        self.indexed = {}  # (index number, obj id) -> set of indexed attribute names

    def add(self, k, obj, attrs):
        self.members.setdefault(k, {})[id(obj)] = obj
        names = self.indexed.setdefault((k, id(obj)), set())
        names.update(a for a in attrs if not a.startswith("_"))

    def lookup(self, k, attr, value, values_of):
        hits = []
        for oid, obj in self.members.get(k, {}).items():
            if attr in self.indexed[(k, oid)] and attr in values_of[oid]:
                if hash_key(values_of[oid][attr]) == hash_key(value):
                    hits.append(obj)
        return hits


def hash_key(v):
    try:
        return hash(v)
    except TypeError:
        return 0


def test_random_operations_match_the_model():
    rng = random.Random(42)
    indexes = [Index() for _ in range(3)]
    model = Model()
    objects = []
    values_of = {}
    order = {}
    for step in range(4000):
        op = rng.random()
        if op < 0.2 or not objects:
            attrs = {a: rng.choice(VALUES) for a in ATTRS if rng.random() < 0.7}
            obj = Indexable(**attrs)
            objects.append(obj)
            values_of[id(obj)] = dict(attrs)
            order[id(obj)] = len(order)
        elif op < 0.4:
            k = rng.randrange(3)
            batch = rng.sample(objects, min(len(objects), rng.randint(1, 4)))
            if rng.random() < 0.5:
                for obj in batch:
                    indexes[k].add_object(obj)
            else:
                indexes[k].add_object_many(batch)
            for obj in batch:
                model.add(k, obj, values_of[id(obj)])
        elif op < 0.45:
            k = rng.randrange(3)
            members = model.members.get(k, {})
            if members:
                oid = rng.choice(sorted(members))
                indexes[k].remove_object(members.pop(oid))
                del model.indexed[(k, oid)]
        elif op < 0.75:
            obj = rng.choice(objects)
            attr = rng.choice(ATTRS + ["late"])
            value = rng.choice(VALUES)
            if attr in values_of[id(obj)] and not attr.startswith("_"):
                # an update of an existing name: every member index indexes it
                for k in range(3):
                    if (k, id(obj)) in model.indexed:
                        model.indexed[(k, id(obj))].add(attr)
            setattr(obj, attr, value)
            values_of[id(obj)][attr] = value
        else:
            k = rng.randrange(3)
            attr = rng.choice(ATTRS)
            value = rng.choice(VALUES)
            got = indexes[k].get_by_attribute(**{attr: [value]})
            want = sorted(model.lookup(k, attr, value, values_of), key=lambda o: order[id(o)])
            assert got == want, (step, attr, value)
            if type(value) in (int, float):
                got = indexes[k].reduced_query(Q.le(attr, value)).collect()
                want = [
                    o for o in sorted(model.members.get(k, {}).values(), key=lambda o: order[id(o)])
                    if attr in model.indexed[(k, id(o))]
                    and type(values_of[id(o)].get(attr)) in (int, float)
                    and values_of[id(o)][attr] <= value
                ]
                assert got == want, (step, "le", attr, value)
