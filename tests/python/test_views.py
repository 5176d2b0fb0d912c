"""Filtered views, rebase, and index union."""
import gc

import pytest

from Vorlane import Index, Indexable, PyQueryExpr as Q
from conftest import index_of, panics


@pytest.fixture
def shop(indexed):
    return indexed(Indexable(colour=c, size=s) for c, s in [("red", 3), ("red", 4), ("blue", 3), ("green", 5)])


class TestViewClass:
    def test_no_constructor_and_not_in_module(self, shop):
        index, _ = shop
        view_type = type(index.reduced())
        assert view_type.__name__ == "FilteredIndex"
        with pytest.raises(TypeError, match="^No constructor defined for FilteredIndex$"):
            view_type()
        assert view_type.__module__ == "builtins"
        assert view_type.__doc__ is None
        with pytest.raises(TypeError):

            class Sub(view_type):
                pass

    def test_signatures(self, shop):
        index, _ = shop
        view_type = type(index.reduced())
        assert view_type.reduced.__text_signature__ == "($self, **kwargs)"
        assert view_type.collect.__text_signature__ == "($self)"
        assert view_type.rebase.__text_signature__ == "($self)"
        assert Index.reduced.__text_signature__ == "($self, **kwargs)"
        assert Index.reduced_query.__text_signature__ == "($self, query)"
        assert Index.union_with.__text_signature__ == "($self, other)"


class TestViews:
    def test_reduced_without_keywords_is_empty(self, shop):
        index, _ = shop
        assert index.reduced().collect() == []

    def test_views_narrow_and_collect_in_id_order(self, shop):
        index, objs = shop
        view = index.reduced(size=3, colour=["blue", "red"])
        assert view.collect() == [objs[0], objs[2]]
        assert view.reduced(colour="blue").collect() == [objs[2]]
        assert view.collect() == [objs[0], objs[2]]

    def test_view_never_gains_later_additions(self, shop):
        index, objs = shop
        view = index.reduced(colour="red")
        index.add_object(Indexable(colour="red"))
        assert view.collect() == objs[:2]
        assert view.reduced(colour="red").collect() == objs[:2]

    def test_view_sees_attribute_changes(self, shop):
        index, objs = shop
        view = index.reduced_query(Q.eq("size", 3))
        objs[0].size = 4
        assert view.reduced(size=3).collect() == [objs[2]]
        assert view.collect() == [objs[0], objs[2]]

    def test_view_outlives_its_index_and_follows_assignments(self, shop):
        index, objs = shop
        view = index.reduced(colour=["red", "blue"])
        del index
        gc.collect()
        objs[1].colour = "blue"
        assert view.reduced(colour="blue").collect() == [objs[1], objs[2]]
        assert view.reduced(colour="red").collect() == [objs[0]]

    def test_reduced_query_argument_error(self, shop):
        index, _ = shop
        with pytest.raises(TypeError, match="^argument 'query': 'int' object cannot be converted to 'PyQueryExpr'$"):
            index.reduced_query(1)
        assert index.reduced_query(query=Q.eq("colour", "red")).collect() != []

    def test_keyword_errors_make_no_view(self, shop):
        index, _ = shop

        def broken():
            yield "red"
            raise RuntimeError

        with panics():
            index.reduced(colour=broken())
        view = index.reduced(colour="red")
        with panics():
            view.reduced(colour=broken())


class TestRebase:
    def test_rebase_keeps_ids_and_registers_memberships(self):
        objs = [Indexable(k=i % 2, _x=i) for i in range(6)]
        index = index_of(objs)
        view = index.reduced_query(Q.in_("_x", [2, 4]))
        assert view.collect() == []  # names beginning with "_" are not indexed by additions
        view = index.reduced(k=0)
        new = view.rebase()
        assert new.collect() == [objs[0], objs[2], objs[4]]
        assert new.get_by_attribute(_x=2) == [objs[2]]
        assert index.get_by_attribute(_x=2) == []
        objs[2].k = 5
        assert new.get_by_attribute(k=5) == [objs[2]]
        assert index.get_by_attribute(k=5) == [objs[2]]
        objs[2]._x = 7
        assert new.get_by_attribute(_x=2) == []
        assert new.get_by_attribute(_x=7) == [objs[2]]

    def test_rebase_of_an_empty_view(self, shop):
        index, _ = shop
        new = index.reduced().rebase()
        assert new.collect() == []
        o = Indexable(a=1)
        new.add_object(o)
        assert new.collect() == [o]

    def test_rebased_index_is_independent(self, shop):
        index, objs = shop
        new = index.reduced(colour="red").rebase()
        extra = Indexable(colour="red")
        new.add_object(extra)
        assert index.get_by_attribute(colour="red") == objs[:2]
        assert new.get_by_attribute(colour="red") == objs[:2] + [extra]


class TestUnion:
    def test_union_adds_attributes_the_receiver_lacks(self):
        objs = [Indexable(colour="red"), Indexable(colour="blue")]
        index = index_of(objs)
        new = index.reduced(colour="red").rebase()
        objs[0].weight = 3  # not indexed by `index`: assigned after indexing
        other = index.reduced(colour="red").rebase()
        assert index.get_by_attribute(weight=3) == []
        assert index.union_with(other) is None
        assert index.get_by_attribute(weight=3) == [objs[0]]
        before = index.collect()
        index.union_with(new)
        assert index.collect() == before
        assert index.get_by_attribute(colour="red") == [objs[0]]

    def test_union_with_empty_and_self(self, shop):
        index, objs = shop
        index.union_with(Index())
        assert index.get_by_attribute(colour="red") == objs[:2]
        with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
            index.union_with(index)
        assert index.get_by_attribute(colour="red") == objs[:2]

    def test_union_argument_error(self, shop):
        index, _ = shop
        with pytest.raises(TypeError, match="^argument 'other': 'int' object cannot be converted to 'Index'$"):
            index.union_with(1)

    def test_union_with_foreign_objects_is_refused(self, shop):
        index, objs = shop
        stranger = Index()
        stranger.add_object(Indexable(colour="red"))
        with pytest.raises(ValueError):
            index.union_with(stranger)
        assert index.get_by_attribute(colour="red") == objs[:2]

    def test_union_carries_ranges(self):
        objs = [Indexable(size=i) for i in range(10)]
        index = index_of(objs)
        small = index.reduced_query(Q.lt("size", 5)).rebase()
        for o in objs[:5]:
            o.weight = o.size
        small2 = index.reduced_query(Q.lt("size", 5)).rebase()
        index.union_with(small2)
        assert index.reduced_query(Q.ge("weight", 3)).collect() == objs[3:5]
        del small

    def test_union_keeps_numbers_whose_hashes_collide(self):
        # -1 and -2 hash alike, so they share one value set; the ranges must
        # still tell them apart after a merge.
        objs = [Indexable(colour="red"), Indexable(colour="red")]
        index = index_of(objs)
        objs[0].weight = -2  # assigned after indexing: not indexed by `index`
        objs[1].weight = -1
        index.union_with(index.reduced(colour="red").rebase())
        assert index.reduced_query(Q.eq("weight", -1)).collect() == objs
        assert index.reduced_query(Q.lt("weight", -1.5)).collect() == [objs[0]]
        assert index.reduced_query(Q.gt("weight", -1.5)).collect() == [objs[1]]


def test_large_results_across_id_blocks_skip_removed_objects():
    # More than 2^16 objects, so that the ids cross blocks of the bitmaps,
    # and results large enough to be listed from ids read out in bulk.
    objs = [Indexable(k=i % 3, n=i % 1000) for i in range(70_000)]
    index = Index()
    index.add_object_many(objs)
    view = index.reduced_query(Q.lt("n", 500))
    gone = objs[::7]
    index.remove_many(gone)
    removed = set(map(id, gone))
    kept = [o for o in objs if id(o) not in removed]

    def ids(objects):
        return [id(o) for o in objects]

    assert ids(index.get_by_attribute(k=1)) == ids(o for o in kept if o.k == 1)
    assert ids(index.get_by_attribute(k=[0, 1, 2])) == ids(kept)
    assert ids(view.collect()) == ids(o for o in kept if o.n < 500)
    assert ids(index.reduced_query(Q.ge("n", 10)).collect()) == ids(o for o in kept if o.n >= 10)
    assert index.get_by_attribute(k=3) == [] and index.reduced_query(Q.gt("n", 999)).collect() == []
