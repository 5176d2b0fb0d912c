"""Product catalogue: faceted search over several attributes at once.

Products carry a category, brand, colour, size, price and stock flag. A
faceted search is a keyword lookup with one or several values per facet;
`value_counts` tells how many of the remaining products carry each value of
the other facets, `min`/`max` and `count` sum them up without listing them,
a view narrows the search step by step, and `rebase` turns one department
into an index of its own. Every answer is checked against a plain scan of the list.
"""

import random
from collections import Counter

from Vorlane import Index, Indexable, PyQueryExpr as Q

PRODUCT_COUNT = 20_000
CATEGORIES = ("shoes", "shirts", "jackets", "hats")
BRANDS = ("Alder", "Birch", "Cedar", "Dogwood", "Elm")
COLOURS = ("red", "black", "white", "blue", "green")
SIZES = (38, 39, 40, 41, 42, 43, 44, 45)


def make_products(rng: random.Random) -> list[Indexable]:
    return [
        Indexable(
            sku=f"SKU{i:05d}",
            category=rng.choice(CATEGORIES),
            brand=rng.choice(BRANDS),
            colour=rng.choice(COLOURS),
            size=rng.choice(SIZES),
            price=round(rng.uniform(5, 250), 2),
            # A stock count, not a bool: True would be the same key as 1.
            stock=rng.randrange(0, 20),
        )
        for i in range(PRODUCT_COUNT)
    ]


def main() -> None:
    rng = random.Random(5)
    products = make_products(rng)
    catalogue = Index()
    catalogue.add_object_many(products)

    # Red or black shoes in size 42 or 43: several values per facet.
    hits = catalogue.get_by_attribute(category="shoes", colour=["red", "black"], size=[42, 43])
    expected = [
        p for p in products if p.category == "shoes" and p.colour in ("red", "black") and p.size in (42, 43)
    ]
    assert hits == expected
    print(f"{len(hits)} red or black shoes in size 42 or 43, for example:")
    for p in hits[:3]:
        print(f"  {p.sku} {p.brand:<8} {p.colour:<6} size {p.size} at {p.price:7.2f}")

    # Facets: for the shoes, how many carry each brand, colour and size, and
    # their price range, counted from the index without listing the shoes.
    shoes = catalogue.reduced(category="shoes")
    all_shoes = [p for p in products if p.category == "shoes"]
    for facet in ("brand", "colour", "size"):
        counts = shoes.value_counts(facet)
        # Counter keeps first appearance among equal counts, as value_counts does.
        assert list(counts.items()) == Counter(getattr(p, facet) for p in all_shoes).most_common()
        print(f"  {facet}: " + ", ".join(f"{value} {count}" for value, count in counts.items()))
    prices = [p.price for p in all_shoes]
    assert (shoes.min("price"), shoes.max("price")) == (min(prices), max(prices))
    in_stock = shoes.count(Q.gt("stock", 0))
    assert in_stock == sum(p.stock > 0 for p in all_shoes)
    print(f"  price {shoes.min('price')} to {shoes.max('price')}, {in_stock} in stock")

    # The same search as a view, narrowed one facet at a time.
    by_brand = shoes.reduced(colour=["red", "black"], size=[42, 43]).reduced(brand="Cedar")
    assert by_brand.collect() == [p for p in expected if p.brand == "Cedar"]
    print(f"{len(by_brand.collect())} of them are by Cedar")

    # Shoes as a department index of their own, with a price filter on top.
    department = shoes.rebase()
    affordable = department.reduced_query(Q.and_(Q.lt("price", 50), Q.gt("stock", 0))).collect()
    assert affordable == [p for p in products if p.category == "shoes" and p.price < 50 and p.stock > 0]
    print(f"{len(affordable)} shoes under 50 in stock")

    # A price change reaches both the catalogue and the department.
    item = affordable[0]
    item.price = 300.0
    assert item not in department.reduced_query(Q.lt("price", 50)).collect()
    assert item in catalogue.reduced_query(Q.ge("price", 300)).collect()
    print(f"{item.sku} repriced to {item.price}: both indexes follow")


if __name__ == "__main__":
    main()
