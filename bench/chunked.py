"""A sorted index by one number, as a skilled Python user writes it.

Parallel lists of chunks: the keys, the objects and the objects' positions
(their creation order), each chunk sorted by (key, position), plus a list of
each chunk's largest key for bisect. A range is two bisects and a few list
slices; an assignment removes the old entry from its chunk and inserts the
new one, splitting a chunk when it grows past twice the load. Ties are kept
in position order, so results and top-k lists break ties by creation order.

    .venv/bin/python bench/chunked.py    # checks it against a sorted list
"""

from __future__ import annotations

import random
from array import array
from bisect import bisect_left, bisect_right

# Entries per chunk after a build or a split; a chunk splits at twice this.
# The same load factor as sortedcontainers: list inserts stay a short memmove
# and a range of a few thousand objects touches a handful of chunks.
LOAD = 1000


class ChunkedSorted:
    """Objects ordered by (key, position). NaN keys are left out."""

    def __init__(self, keys: list, objs: list, load: int = LOAD):
        self._load = load
        # A stable sort of positions by key: ties stay in position order.
        order = sorted((p for p, k in enumerate(keys) if k == k), key=keys.__getitem__)
        self._keys: list[list] = []
        self._objs: list[list] = []
        self._pos: list[array] = []
        self._maxes: list = []
        for start in range(0, len(order), load):
            part = order[start : start + load]
            self._keys.append([keys[p] for p in part])
            self._objs.append([objs[p] for p in part])
            self._pos.append(array("q", part))
            self._maxes.append(keys[part[-1]])

    def __len__(self) -> int:
        return sum(map(len, self._keys))

    # -- queries

    def between(self, lo, hi) -> list:
        """The objects with lo <= key <= hi, in key order."""
        maxes = self._maxes
        first = bisect_left(maxes, lo)
        if first == len(maxes) or lo > hi:
            return []
        keys, objs = self._keys, self._objs
        start = bisect_left(keys[first], lo)
        # The first chunk whose largest key is above hi holds the end.
        last = bisect_right(maxes, hi, first)
        if last == first:
            return objs[first][start : bisect_right(keys[first], hi, start)]
        out = objs[first][start:]
        for c in range(first + 1, min(last, len(maxes))):
            out += objs[c]
        if last < len(maxes):
            out += objs[last][: bisect_right(keys[last], hi)]
        return out

    def smallest(self, k: int) -> list:
        """The k objects with the smallest keys, ties in position order."""
        out: list = []
        for chunk in self._objs:
            if len(out) >= k:
                break
            out += chunk[: k - len(out)]
        return out

    def largest(self, k: int) -> list:
        """The k objects with the largest keys, largest first, ties in
        position order (as a stable descending sort gives them)."""
        if k <= 0 or not self._keys:
            return []
        tail_keys, tail_objs = self._tail(k)
        out: list = []
        end = len(tail_keys)
        while len(out) < k and end:
            # One run of equal keys, which is in position order already.
            begin = bisect_left(tail_keys, tail_keys[end - 1], 0, end)
            out += tail_objs[begin:end]
            end = begin
        return out[:k]

    def _tail(self, k: int) -> tuple[list, list]:
        """The last k entries and every entry equal to the first of them."""
        keys, objs = self._keys, self._objs
        last = keys[-1]
        if len(last) > k:
            begin = bisect_left(last, last[-k])
            if begin > 0:  # the run of the boundary key starts in this chunk
                return last[begin:], objs[-1][begin:]
        # Rare: gather whole chunks from the end until the boundary run is whole.
        tail_keys: list = []
        tail_objs: list = []
        c = len(keys) - 1
        # Once k are gathered, tail_keys[-k] is the boundary key.
        while c >= 0 and (len(tail_keys) < k or keys[c][-1] == tail_keys[-k]):
            tail_keys = keys[c] + tail_keys
            tail_objs = objs[c] + tail_objs
            c -= 1
        begin = bisect_left(tail_keys, tail_keys[max(0, len(tail_keys) - k)])
        return tail_keys[begin:], tail_objs[begin:]

    # -- changes

    def insert(self, key, pos: int, obj) -> None:
        if key != key:  # NaN: never in an ordered index
            return
        if not self._keys:
            self._keys.append([key])
            self._objs.append([obj])
            self._pos.append(array("q", [pos]))
            self._maxes.append(key)
            return
        c = self._chunk_of(key, pos)
        keys, objs, poss = self._keys[c], self._objs[c], self._pos[c]
        i = self._slot(keys, poss, key, pos)
        keys.insert(i, key)
        objs.insert(i, obj)
        poss.insert(i, pos)
        self._maxes[c] = keys[-1]
        if len(keys) > 2 * self._load:
            self._split(c)

    def remove(self, key, pos: int, obj) -> None:
        if key != key:
            return
        c = self._chunk_of(key, pos)
        keys, objs, poss = self._keys[c], self._objs[c], self._pos[c]
        i = self._slot(keys, poss, key, pos)
        if i == len(keys) or objs[i] is not obj:
            raise KeyError((key, pos))
        del keys[i], objs[i], poss[i]
        if keys:
            self._maxes[c] = keys[-1]
        else:
            del self._keys[c], self._objs[c], self._pos[c], self._maxes[c]

    def _chunk_of(self, key, pos: int) -> int:
        """The chunk where (key, pos) is or belongs."""
        maxes = self._maxes
        last = len(maxes) - 1
        c = bisect_left(maxes, key)
        if c > last:
            return last
        # A run of equal keys may span chunks: move on while this chunk
        # ends before (key, pos).
        while c < last and maxes[c] == key and self._pos[c][-1] < pos:
            c += 1
        return c

    @staticmethod
    def _slot(keys: list, poss: array, key, pos: int) -> int:
        begin = bisect_left(keys, key)
        end = bisect_right(keys, key, begin)
        return bisect_left(poss, pos, begin, end)

    def _split(self, c: int) -> None:
        keys, objs, poss = self._keys[c], self._objs[c], self._pos[c]
        half = len(keys) >> 1
        self._keys.insert(c + 1, keys[half:])
        self._objs.insert(c + 1, objs[half:])
        self._pos.insert(c + 1, poss[half:])
        del keys[half:], objs[half:], poss[half:]
        self._maxes[c] = keys[-1]
        self._maxes.insert(c + 1, self._keys[c + 1][-1])

    def validate(self) -> None:
        """Raises AssertionError unless the chunks are sorted and consistent."""
        entries = []
        assert len(self._keys) == len(self._objs) == len(self._pos) == len(self._maxes)
        for keys, objs, poss, top in zip(self._keys, self._objs, self._pos, self._maxes):
            assert keys and len(keys) == len(objs) == len(poss) and top == keys[-1]
            entries += zip(keys, poss)
        assert entries == sorted(entries)


def self_check(rounds: int = 20_000, seed: int = 7) -> None:
    """Random inserts, removals and queries against a sorted list of pairs."""
    rnd = random.Random(seed)
    n = 3000
    values = [rnd.choice([rnd.randrange(50), float("nan"), rnd.random() * 50]) for _ in range(n)]
    objs = [object() for _ in range(n)]
    ix = ChunkedSorted(values, objs, load=16)

    def expected():
        return sorted((v, p) for p, v in enumerate(values) if v == v)

    for r in range(rounds):
        p = rnd.randrange(n)
        new = rnd.choice([rnd.randrange(50), float("nan")])
        ix.remove(values[p], p, objs[p])
        values[p] = new
        ix.insert(new, p, objs[p])
        if r % 500 == 0:
            ix.validate()
            pairs = expected()
            lo, hi = sorted(rnd.uniform(-5, 55) for _ in range(2))
            want = [objs[p] for v, p in pairs if lo <= v <= hi]
            assert ix.between(lo, hi) == want
            k = rnd.choice([1, 10, 100, 5000])
            assert ix.smallest(k) == [objs[p] for _, p in pairs[:k]]
            by_value = sorted(pairs, key=lambda e: e[0], reverse=True)
            assert ix.largest(k) == [objs[p] for _, p in by_value[:k]], k
    print(f"chunked index: {rounds} changes checked, {len(ix._keys)} chunks")


if __name__ == "__main__":
    self_check()
