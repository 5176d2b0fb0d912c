import importlib
import sys

import pytest

import Vorlane
from Vorlane import sum_as_string


class TestRegistration:
    def test_public_names_in_registration_order(self):
        names = [n for n in vars(Vorlane) if not n.startswith("__")]
        assert names[:4] == ["sum_as_string", "Index", "Indexable", "PyQueryExpr"]
        assert not hasattr(Vorlane, "FilteredIndex")

    def test_second_import_returns_the_same_module(self):
        first = sys.modules.pop("Vorlane")
        try:
            again = importlib.import_module("Vorlane")
            assert again is first
        finally:
            sys.modules["Vorlane"] = first

    def test_classes_report_builtins(self):
        for cls in (Vorlane.Index, Vorlane.Indexable, Vorlane.PyQueryExpr):
            assert cls.__module__ == "builtins"
        assert type(Vorlane.Index().reduced()).__module__ == "builtins"


class Three:
    def __index__(self):
        return 3


class TestSumAsString:
    @pytest.mark.parametrize(
        "args,kwargs,total",
        [
            ((2, 3), {}, "5"),
            ((0, 0), {}, "0"),
            ((2**63, 2**63 - 1), {}, str(2**64 - 1)),
            ((2**64 - 1, 1), {}, "0"),  # wraps around the word
            ((), {"a": 1, "b": 2}, "3"),  # keywords
            ((1,), {"b": 2}, "3"),
            ((Three(), 1), {}, "4"),  # the index protocol is accepted
        ],
    )
    def test_sums(self, args, kwargs, total):
        assert sum_as_string(*args, **kwargs) == total

    def test_bound_to_the_module(self):
        assert sum_as_string.__module__ == "Vorlane"
        assert sum_as_string.__self__ is Vorlane

    def test_doc_and_signature(self):
        assert sum_as_string.__doc__ == "Formats the sum of two numbers as string."
        assert sum_as_string.__text_signature__ == "(a, b)"

    def test_negative_and_too_large_raise_overflow_unprefixed(self):
        with pytest.raises(OverflowError) as info:
            sum_as_string(-1, 1)
        assert not str(info.value).startswith("argument")
        with pytest.raises(OverflowError):
            sum_as_string(1, 2**64)

    def test_type_errors_are_prefixed_with_the_argument(self):
        with pytest.raises(TypeError) as info:
            sum_as_string("1", 2)
        assert str(info.value).startswith("argument 'a': ")
        assert isinstance(info.value.__cause__, TypeError)
        with pytest.raises(TypeError, match="^argument 'b': "):
            sum_as_string(1, 2.5)

    @pytest.mark.parametrize(
        "call,message",
        [
            (lambda: sum_as_string(1), "sum_as_string() missing 1 required positional argument: 'b'"),
            (lambda: sum_as_string(), "sum_as_string() missing 2 required positional arguments: 'a' and 'b'"),
            (lambda: sum_as_string(1, 2, 3), "sum_as_string() takes 2 positional arguments but 3 were given"),
            (lambda: sum_as_string(1, 2, c=3), "sum_as_string() got an unexpected keyword argument 'c'"),
            (lambda: sum_as_string(1, 2, a=3), "sum_as_string() got multiple values for argument 'a'"),
        ],
    )
    def test_argument_errors_in_the_interpreters_wording(self, call, message):
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == message
