"""Assignments to indexed attributes while the index lock is held elsewhere:
they wait for it and land, whichever way the lock was taken."""
import threading

from Vorlane import Index, Indexable


class TestContendedIndexLock:
    def test_assignments_wait_for_a_bulk_addition_and_land(self):
        index = Index()
        mover = Indexable(size=0)
        index.add_object(mover)
        batch = [Indexable(size=i, kind="bulk") for i in range(200000)]
        adding = threading.Thread(target=index.add_object_many, args=(batch,))
        adding.start()
        # At least one assignment, even when the addition is over before this
        # thread gets a core again: -0 would be the size of the first bulk object.
        last = 0
        while True:
            last += 1
            mover.size = -last
            if not adding.is_alive():
                break
        adding.join()
        assert index.get_by_attribute(size=-last) == [mover]
        assert len(index.get_by_attribute(kind="bulk")) == len(batch)
        assert len(index) == len(batch) + 1
