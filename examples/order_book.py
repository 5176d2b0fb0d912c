"""Order book: which open orders lie in a price range?

Orders carry a side, a price in ticks, a quantity and a status. A range
query finds the open sell orders a buyer could take; filling an order is an
assignment, and the next query no longer sees it. Then what a book does
with its answers: a trader's orders page by page, the quantity at each
price level, counts by side and status, and filled orders removed by a
query. Every answer is checked against a plain scan of the list.
"""

import random

from Vorlane import Index, Indexable, PyQueryExpr as Q

ORDER_COUNT = 10_000
TRADERS = tuple(f"trader{i}" for i in range(50))


def make_orders(rng: random.Random) -> list[Indexable]:
    orders = []
    for i in range(ORDER_COUNT):
        side = rng.choice(("buy", "sell"))
        # Buyers bid below 10_000 ticks, sellers ask above it, with some overlap.
        centre = 9_900 if side == "buy" else 10_100
        orders.append(
            Indexable(
                order_id=i,
                side=side,
                price=int(rng.gauss(centre, 80)),
                qty=rng.randrange(1, 500),
                trader=rng.choice(TRADERS),
                status="open",
            )
        )
    return orders


def open_asks(low: int, high: int) -> Q:
    """Open sell orders priced from `low` to `high` ticks, both included."""
    return Q.and_(Q.eq("side", "sell"), Q.eq("status", "open"), Q.bt("price", low, high))


def scan_asks(orders: list[Indexable], low: int, high: int) -> list[Indexable]:
    return [o for o in orders if o.side == "sell" and o.status == "open" and low <= o.price <= high]


def main() -> None:
    rng = random.Random(11)
    orders = make_orders(rng)
    book: Index[Indexable] = Index()
    book.add_object_many(orders)

    # A buyer willing to pay up to 10_000 ticks: the asks at or below it.
    asks = book.reduced_query(open_asks(9_900, 10_000)).collect()
    assert asks == scan_asks(orders, 9_900, 10_000)
    best = sorted(asks, key=lambda o: (o.price, o.order_id))
    print(f"{len(asks)} open asks between 9900 and 10000 ticks; the cheapest:")
    for order in best[:3]:
        print(f"  #{order.order_id:<5} {order.qty:>4} @ {order.price} by {order.trader}")

    # The buyer takes the five cheapest: filling is an assignment the index follows.
    for order in best[:5]:
        order.status = "filled"
    remaining = book.reduced_query(open_asks(9_900, 10_000)).collect()
    assert remaining == scan_asks(orders, 9_900, 10_000)
    assert len(remaining) == len(asks) - 5
    print(f"after filling five: {len(remaining)} asks left in the range")

    # One trader's open bids above 9_950, as a view narrowed by equality.
    bids = book.reduced_query(Q.and_(Q.eq("side", "buy"), Q.gt("price", 9_950)))
    mine = bids.reduced(trader="trader7", status="open").collect()
    expected = [o for o in orders if o.side == "buy" and o.price > 9_950 and o.trader == "trader7" and o.status == "open"]
    assert mine == expected
    print(f"trader7 has {len(mine)} open bids above 9950 ticks")

    # The crossed part of the book: bids at or above the best open ask.
    best_ask = min(o.price for o in book.reduced(side="sell", status="open").collect())
    assert best_ask == min(o.price for o in orders if o.side == "sell" and o.status == "open")
    crossed = book.reduced_query(Q.and_(Q.eq("side", "buy"), Q.ge("price", best_ask))).collect()
    assert crossed == [o for o in orders if o.side == "buy" and o.price >= best_ask]
    print(f"{len(crossed)} bids at or above the best ask of {best_ask} ticks")

    page_through_trader(book, orders, "trader7")
    depth_by_level(book, orders)

    # Counts by two attributes, and the filled orders removed by a query.
    counts = book.value_counts(("side", "status"))
    for (side, status), n in counts.items():
        assert n == sum(1 for o in orders if o.side == side and o.status == status)
    filled = book.remove_where(Q.eq("status", "filled"))
    assert filled == counts[("sell", "filled")] == 5
    assert len(book) == ORDER_COUNT - 5 and book.count(Q.eq("status", "filled")) == 0
    print(f"orders by side and status: {counts}; {filled} filled orders removed")


def page_through_trader(book: Index[Indexable], orders: list[Indexable], trader: str) -> None:
    """One trader's orders by price, ten to a page: each page passes over
    the earlier ones without listing them."""
    theirs = book.reduced(trader=trader)
    expected = sorted((o for o in orders if o.trader == trader), key=lambda o: (o.price, o.order_id))
    pages: list[list[Indexable]] = []
    while page := theirs.collect_sorted("price", limit=10, offset=10 * len(pages)):
        pages.append(page)
    assert [o for page in pages for o in page] == expected
    rows = theirs.records("order_id", "side", "price", "qty")
    assert rows == [{"order_id": o.order_id, "side": o.side, "price": o.price, "qty": o.qty} for o in theirs.collect()]
    print(f"{trader}: {len(rows)} orders in {len(pages)} pages; first page from {pages[0][0].price} ticks")


def depth_by_level(book: Index[Indexable], orders: list[Indexable]) -> None:
    """The open quantity at the five lowest ask price levels: a sum per
    level, without listing the orders."""
    asks = book.reduced(side="sell", status="open")
    for level in sorted(asks.value_counts("price"))[:5]:
        quantity = asks.reduced(price=level).sum("qty")
        assert quantity == sum(o.qty for o in orders if o.side == "sell" and o.status == "open" and o.price == level)
        print(f"  ask {level}: {quantity} open")
    columns = asks.columns("price", "qty")
    assert sum(columns["qty"]) == asks.sum("qty")


if __name__ == "__main__":
    main()
