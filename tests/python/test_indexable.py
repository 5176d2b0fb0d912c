"""Indexable objects: creation, attribute access, listing and class properties."""
import gc
import sys
import weakref

import pytest

from Vorlane import Index, Indexable
from conftest import panics


class TestCreation:
    def test_positional_arguments_are_ignored(self):
        o = Indexable(5, a=1)
        assert repr(o) == "<MyClass with 1 attributes>"
        assert repr(Indexable()) == "<MyClass with 0 attributes>"

    def test_ids_are_consecutive_in_creation_order(self):
        objs = [Indexable(k=i) for i in range(3)]
        index = Index()
        index.add_object_many(list(reversed(objs)))
        assert index.collect() == objs

    def test_repr_names_the_base_class_for_subclasses(self):
        class Ship(Indexable):
            pass

        assert repr(Ship(a=1, b=2)) == "<MyClass with 2 attributes>"

    def test_every_way_of_calling_gives_the_same_object(self):
        # Direct calls, unpacked dicts, calls through the type's __call__ and
        # subclasses (with their own __init__) all keep keyword order and values.
        class Ship(Indexable):
            def __init__(self, *args, **kwargs):
                self.built = True

        made = [
            Indexable(a=1, b="x"),
            Indexable(**{"a": 1, "b": "x"}),
            type(Indexable).__call__(Indexable, a=1, b="x"),
            Indexable.__new__(Indexable, a=1, b="x"),
            Indexable(9, 8, a=1, b="x"),
        ]
        for o in made:
            assert o.__dir__()[:2] == ["a", "b"] and (o.a, o.b) == (1, "x")
        ship = Ship(a=1, b="x")
        assert ship.built and ship.__dir__()[:3] == ["a", "b", "built"]

    def test_failed_conversion_during_a_call_leaks_nothing(self):
        value = object()
        # Also past the values an object keeps inline, where the rest were
        # converted into their own array when one failed.
        # And past the values a call converts on the stack.
        wide = {f"k{i}": value for i in range(12)}
        wider = {f"k{i}": value for i in range(30)}
        before = sys.getrefcount(value)
        for _ in range(3):
            with panics("called `Result::unwrap()` on an `Err` value"):
                Indexable(a=value, b=2**64)
            for row in (wide, wider):
                with panics("called `Result::unwrap()` on an `Err` value"):
                    Indexable(**row, z=2**64)
        assert sys.getrefcount(value) == before


class TestAttributeAccess:
    def test_read_returns_the_identical_object(self):
        value = object()
        o = Indexable(a=value)
        assert o.a is value

    def test_missing_name_raises_attribute_error_with_the_name_only(self):
        o = Indexable(a=1)
        with pytest.raises(AttributeError) as info:
            o.missing
        assert info.value.args == ("missing",)

    def test_class_attributes_are_found_by_the_generic_lookup(self):
        class Ship(Indexable):
            speed = 12

            def describe(self):
                return f"ship {self.name}"

        s = Ship(name="x")
        assert s.speed == 12
        assert s.describe() == "ship x"
        assert s.__class__ is Ship

    def test_deletion_is_refused_and_keeps_the_value(self):
        o = Indexable(a=1)
        with pytest.raises(AttributeError, match="can't delete attribute"):
            del o.a
        assert o.a == 1

    def test_assignment_adds_and_replaces(self):
        o = Indexable(a=1)
        o.b = "x"
        o.a = 2
        assert (o.a, o.b) == (2, "x")
        assert repr(o) == "<MyClass with 2 attributes>"

    def test_failed_assignment_keeps_the_old_value(self):
        o = Indexable(a=1)
        index = Index()
        index.add_object(o)
        with panics():
            o.a = 2**70
        assert o.a == 1
        assert index.get_by_attribute(a=1) == [o]

    def test_descriptor_attribute_error_becomes_name_error(self):
        class Odd(Indexable):
            @property
            def broken(self):
                raise AttributeError("something inside")

        with pytest.raises(AttributeError) as info:
            Odd().broken
        assert info.value.args == ("broken",)

    def test_property_that_assigns_an_indexed_attribute_does_not_hang(self):
        class Counter(Indexable):
            @property
            def bump(self):
                self.count = self.count + 1
                return self.count

        c = Counter(count=0)
        index = Index()
        index.add_object(c)
        assert c.bump == 1
        assert index.get_by_attribute(count=1) == [c]
        assert index.get_by_attribute(count=0) == []

    def test_setattr_on_a_subclass_stores_in_the_object(self):
        class Ship(Indexable):
            pass

        s = Ship()
        s.size = 3
        assert s.size == 3
        assert "size" not in s.__dict__


class TestListing:
    def test_dir_lists_own_names_first_then_defaults(self):
        o = Indexable(b=1, a=2)
        names = o.__dir__()
        assert names[:2] == ["b", "a"]
        assert "__class__" in names[2:]
        assert "__dir__" in names
        assert set(dir(o)) >= {"a", "b", "__repr__"}

    def test_dir_signature(self):
        assert Indexable.__dir__.__text_signature__ == "($self)"


class TestClassProperties:
    def test_signature_module_and_slots(self):
        assert Indexable.__text_signature__ == "(*_args, **kwargs)"
        assert Indexable.__module__ == "builtins"
        o = Indexable()
        assert not hasattr(o, "__dict__")
        with pytest.raises(TypeError):
            weakref.ref(o)

    def test_subclassable(self):
        class Sub(Indexable):
            pass

        assert isinstance(Sub(a=1), Indexable)


class TestReferences:
    def test_loop_of_creation_reads_and_assignments_keeps_counts(self):
        value = object()
        other = object()
        before = (sys.getrefcount(value), sys.getrefcount(other))
        index = Index()
        for i in range(100_000):
            o = Indexable(a=value, n=i)
            if i % 100 == 0:
                index.add_object(o)
            assert o.a is value
            o.a = other
            o.a = value
        del o, index
        gc.collect()
        assert (sys.getrefcount(value), sys.getrefcount(other)) == before
