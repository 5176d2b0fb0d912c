"""The index store: adding, collecting, and following assignments."""
import pytest

from Vorlane import Index, Indexable
from conftest import panics


class TestIndexClass:
    def test_empty_index(self):
        assert Index().collect() == []

    @pytest.mark.parametrize("call", [lambda: Index(1), lambda: Index(x=2)])
    def test_constructor_takes_no_arguments(self, call):
        with pytest.raises(TypeError):
            call()

    def test_class_properties(self):
        assert Index.__text_signature__ == "()"
        assert Index.__module__ == "builtins"
        with pytest.raises(TypeError):

            class Sub(Index):
                pass

        assert not hasattr(Index(), "__dict__")

    def test_method_signatures(self):
        assert Index.add_object.__text_signature__ == "($self, py_ref)"
        assert Index.add_object_many.__text_signature__ == "($self, objs)"
        assert Index.collect.__text_signature__ == "($self)"
        assert Index.get_by_attribute.__text_signature__ == "($self, **kwargs)"
        assert Index.reduce.__text_signature__ == "($self, **kwargs)"


class TestAdding:
    def test_collect_is_in_ascending_id_order(self):
        first, second = Indexable(n=1), Indexable(n=2)
        index = Index()
        index.add_object(second)
        index.add_object(first)
        assert index.collect() == [first, second]

    def test_sparse_table(self):
        objs = [Indexable(n=i) for i in range(6)]
        index = Index()
        index.add_object_many([objs[5], objs[0]])
        assert index.collect() == [objs[0], objs[5]]

    def test_adding_twice_keeps_one_entry(self):
        o = Indexable(size=3)
        index = Index()
        index.add_object(o)
        index.add_object(o)
        index.add_object_many([o, o])
        assert index.collect() == [o]
        assert index.get_by_attribute(size=3) == [o]
        o.size = 4
        assert index.get_by_attribute(size=3) == []
        assert index.get_by_attribute(size=4) == [o]

    def test_private_names_are_not_indexed(self):
        o = Indexable(_x=1, y=2)
        index = Index()
        index.add_object(o)
        assert index.get_by_attribute(_x=1) == []
        assert o._x == 1
        o._x = 5
        assert index.get_by_attribute(_x=5) == []
        assert index.get_by_attribute(y=2) == [o]

    def test_argument_errors_change_nothing(self):
        index = Index()
        good = Indexable(a=1)
        with pytest.raises(TypeError, match="^argument 'py_ref': 'int' object cannot be converted to 'Indexable'$"):
            index.add_object(1)
        # The module's own classes are named without the module they report.
        with pytest.raises(TypeError, match="^argument 'py_ref': 'Index' object cannot be converted to 'Indexable'$"):
            index.add_object(Index())
        with pytest.raises(TypeError, match="^argument 'py_ref': 'FilteredIndex' object cannot be converted to 'Indexable'$"):
            index.add_object(index.reduced())
        with pytest.raises(TypeError, match="Can't extract `str` to `Vec`"):
            index.add_object_many("abc")
        with pytest.raises(TypeError, match="argument 'objs': 'int' object cannot be converted to 'Indexable'"):
            index.add_object_many([good, 1])
        with pytest.raises(TypeError, match="argument 'objs': 'set' object cannot be converted to 'Sequence'"):
            index.add_object_many({good})
        with pytest.raises(TypeError, match="missing 1 required positional argument: 'py_ref'"):
            index.add_object()
        assert index.collect() == []
        assert index.get_by_attribute(a=1) == []

    def test_add_many_accepts_any_sequence(self):
        objs = tuple(Indexable(k="v") for _ in range(3))
        index = Index()
        index.add_object_many(objs)
        index.add_object_many(range(0))
        assert index.get_by_attribute(k="v") == list(objs)


class TestAssignment:
    def test_one_object_in_two_indexes_follows_assignment(self):
        o = Indexable(size=3)
        a, b = Index(), Index()
        a.add_object(o)
        b.add_object_many([o])
        o.size = 4
        for index in (a, b):
            assert index.get_by_attribute(size=3) == []
            assert index.get_by_attribute(size=4) == [o]

    def test_only_value_of_an_attribute_moves(self):
        o = Indexable(size=3)
        index = Index()
        index.add_object(o)
        o.size = 4
        assert index.get_by_attribute(size=4) == [o]
        o.size = 3
        assert index.get_by_attribute(size=3) == [o]
        assert index.get_by_attribute(size=4) == []

    def test_new_name_after_indexing_is_indexed_from_its_next_assignment(self):
        o = Indexable(a=1)
        index = Index()
        index.add_object(o)
        o.b = 2
        assert index.get_by_attribute(b=2) == []
        # the name now exists on the object, so the next assignment is an
        # update, which every member index applies
        o.b = 3
        assert index.get_by_attribute(b=3) == [o]

    def test_assignment_between_equal_keys(self):
        o = Indexable(size=1)
        index = Index()
        index.add_object(o)
        o.size = True
        assert index.get_by_attribute(size=1) == [o]
        o.size = 2
        assert index.get_by_attribute(size=1) == []

    def test_index_dropped_before_assignment(self):
        o = Indexable(size=1)
        index = Index()
        index.add_object(o)
        del index
        o.size = 2
        assert o.size == 2

    def test_memberships_follow_indexes_added_dropped_and_removed(self):
        o, other = Indexable(size=1), Indexable(size=1)
        indexes = [Index() for _ in range(4)]
        for index in indexes + indexes[:2]:  # added twice: listed once
            index.add_object(o)
        indexes[0].add_object(other)
        del indexes[3]  # gone: skipped, then dropped on the next addition
        indexes[2].remove_object(o)
        o.size = 2
        assert [i.get_by_attribute(size=2) for i in indexes] == [[o], [o], []]
        indexes.append(Index())
        indexes[3].add_object(o)
        indexes[1].remove_object(o)
        o.size = 3
        assert [i.get_by_attribute(size=3) for i in indexes] == [[o], [], [], [o]]
        assert indexes[0].get_by_attribute(size=1) == [other]

    def test_bulk_memberships_outlive_their_indexes(self):
        # First memberships and further ones, an object listed twice, one
        # removed: each index may then die first.
        fresh = [Indexable(size=1) for _ in range(3)]
        held = Indexable(size=1)
        first = Index()
        first.add_object(held)
        bulk = Index()
        bulk.add_object_many(fresh + [held, fresh[0]])
        bulk.remove_object(fresh[1])
        del first
        for o in fresh + [held]:
            o.size = 2
        assert bulk.get_by_attribute(size=2) == [fresh[0], fresh[2], held]
        del bulk
        for o in fresh + [held]:
            o.size = 3
        assert [o.size for o in fresh + [held]] == [3] * 4


class TestFailuresInReadPaths:
    def test_failed_lookup_leaves_the_index_usable(self):
        o = Indexable(k=1)
        index = Index()
        index.add_object(o)
        with panics():
            index.get_by_attribute(k=iter_raising())
        assert index.get_by_attribute(k=1) == [o]
        o.k = 2
        assert index.get_by_attribute(k=2) == [o]


def iter_raising():
    yield 1
    raise ValueError("boom")
