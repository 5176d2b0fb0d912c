"""Attribute names: the same text always names the same attribute, whichever
str object carries it, however many names a program uses, and the module
keeps no str alive that could run code when released."""
import sys

import pytest

from Vorlane import Index, Indexable


def fresh(text):
    """An equal str that is a different object from any literal."""
    return "".join(list(text))


class Name(str):
    """A str subclass whose instances count their release."""

    released = 0

    def __del__(self):
        type(self).released += 1


class TestSameTextSameAttribute:
    def test_equal_strs_of_different_identity_name_one_attribute(self):
        o = Indexable(size=1)
        index = Index()
        index.add_object(o)
        setattr(o, fresh("size"), 2)
        assert o.size == 2
        assert getattr(o, fresh("size")) == 2
        assert index.get_by_attribute(size=2) == [o]
        assert index.get_by_attribute(size=1) == []

    def test_many_names_in_turn_stay_distinct(self):
        names = [f"attr{i}" for i in range(300)]
        objs = [Indexable(**{name: 0}) for name in names[:3]]
        index = Index()
        index.add_object_many(objs)
        for rounds in range(3):
            for i, name in enumerate(names):
                setattr(objs[i % 3], name, rounds * 1000 + i)
        for i, name in enumerate(names):
            assert getattr(objs[i % 3], fresh(name)) == 2000 + i
            assert index.get_by_attribute(**{name: 2000 + i}) == [objs[i % 3]]

    def test_subclass_names_are_the_same_attribute(self):
        o = Indexable(**{Name("colour"): "red"})
        setattr(o, Name("size"), 3)
        assert o.colour == "red"
        assert getattr(o, Name("colour")) == "red"
        assert o.size == 3

    def test_a_name_never_used_is_missing_without_being_created(self):
        o = Indexable(a=1)
        name = fresh("never_set_anywhere_name")
        with pytest.raises(AttributeError) as info:
            getattr(o, name)
        assert info.value.args == (name,)
        setattr(o, name, 5)
        assert getattr(o, name) == 5


class TestReferences:
    def test_subclass_names_are_released(self):
        Name.released = 0
        o = Indexable()
        index = Index()
        index.add_object(o)
        for i in range(50):
            setattr(o, Name(f"n{i % 5}"), i)
            getattr(o, Name(f"n{i % 5}"))
            Indexable(**{Name("k"): i})
        assert Name.released == 150

    def test_a_name_used_often_is_held_a_bounded_number_of_times(self):
        name = fresh("often_used_name")
        start = sys.getrefcount(name)
        o = Indexable()
        for i in range(100):
            setattr(o, name, i)
            getattr(o, name)
            Indexable(**{name: i})
        # By its layout, and by the cache of keyword names.
        assert sys.getrefcount(name) - start <= 2


class TestUnencodableNames:
    def test_assignment_stores_under_the_empty_name_and_reads_fail(self):
        o = Indexable()
        for _ in range(3):  # the same each time
            setattr(o, "\ud800", 1)
            with pytest.raises(AttributeError) as info:
                getattr(o, "\ud800")
            assert info.value.args == ("\ud800",)
        assert getattr(o, "") == 1
        assert repr(o) == "<MyClass with 1 attributes>"


    def test_lookup_keywords_raise_the_encoding_error_every_time(self):
        index = Index()
        index.add_object(Indexable(**{"": 1}))
        name = "\ud800"
        for _ in range(3):  # a failed name is never cached
            with pytest.raises(UnicodeEncodeError):
                index.get_by_attribute(**{name: 1})
        assert len(index.get_by_attribute(**{"": 1})) == 1
