"""In-memory indexes of Python objects by the values of their attributes.

Create :class:`Indexable` objects with keyword attributes, add them to an
:class:`Index`, and select them by keyword equality
(:meth:`Index.get_by_attribute`, :meth:`Index.reduced`) or by query
expressions built with :class:`PyQueryExpr` (:meth:`Index.reduced_query`).
A selection lives on as a :class:`FilteredIndex` view that can be narrowed,
collected, or rebased into a new :class:`Index`.

Order: every list this module returns is in ascending object id, and ids are
handed out in creation order across the whole process, so results come back
in the order the objects were created.

Keys: two attribute values are the same key when their Python hashes are
equal (``1``, ``1.0`` and ``True`` are one key; so are ``-1`` and ``-2``, and
every unhashable value is the key ``0``). Only exact ``int`` and ``float``
values take part in ordered comparisons and ranges.

Errors: besides ``TypeError``, ``RuntimeError``, ``AttributeError`` and
``ValueError``, a call can end with ``PanicException``, which derives from
``BaseException`` (not ``Exception``), when a value cannot be converted (an
``int`` outside the signed 64-bit range, a ``str`` holding a lone
surrogate), a keyword value's iterator raises, ``PyQueryExpr.bt`` has a
non-numeric bound, or an index was left poisoned by an earlier such error.
"""

from collections.abc import Iterator, Sequence
from typing import Any, Generic, NoReturn, Self, SupportsIndex, final

from typing_extensions import TypeVar, disjoint_base

__version__: str
"""The package version, for example ``"0.1.0"``."""

def sum_as_string(a: SupportsIndex, b: SupportsIndex) -> str:
    """Formats the sum of two numbers as string.

    Both arguments are converted to unsigned integers of the platform's word
    width and added with wrap-around (no overflow error for the sum).

    Returns the sum in decimal, without sign or separators.

    Raises ``TypeError`` (prefixed "argument 'a': " or "argument 'b': ") for
    an argument that is not an integer, and ``OverflowError`` for a negative
    one or one wider than the platform's word.
    """

class PanicException(BaseException):
    """The module's internal-error exception.

    Derives directly from ``BaseException``, so ``except Exception`` does not
    catch it. It is not an attribute of the module at run time: this name
    exists for type checkers only. To catch it, catch ``BaseException`` and
    test ``type(exc).__name__ == "PanicException"``.

    Raised when a value cannot be converted ("called `Result::unwrap()` on an
    `Err` value": an ``int`` outside the signed 64-bit range, a ``str`` with
    a lone surrogate), when a keyword value's iterator raises, when
    ``PyQueryExpr.bt`` meets a non-numeric bound ("not yet implemented"),
    and on every use of an index whose lock was poisoned by an earlier
    internal error.
    """

@disjoint_base
class Indexable:
    """An object whose attributes are held, and indexed, by the module.

    ``Indexable(*_args, **kwargs)`` stores every keyword as an attribute;
    positional arguments are accepted and ignored. Each new object takes the
    next process-wide id, so ids (and every result list) follow creation
    order. The class may be subclassed; class attributes and methods of a
    subclass are found after the object's own attributes.

    Assigning an attribute the object already had moves the object in every
    index that holds it. A name the object did not have when it was added
    is stored on the object but not indexed until its next assignment (or
    until ``Index.reduce`` selects the object). Names beginning with "_" are
    stored but never indexed, except by ``FilteredIndex.rebase``.

    Raises ``PanicException`` when a value cannot be converted (an ``int``
    outside the signed 64-bit range, a ``str`` with a lone surrogate); no id
    is used then.
    """

    def __new__(cls, *_args: object, **kwargs: object) -> Self: ...
    def __getattr__(self, name: str) -> Any:
        """Returns the object's own attribute ``name``, the very object that
        was assigned.

        Raises ``AttributeError`` whose only argument is ``name`` when the
        object has no such attribute (class attributes are looked up first).
        A read while another thread assigns the object gives the old or the
        new value.
        """

    def __setattr__(self, name: str, value: object, /) -> None:
        """Stores ``value`` under ``name`` and, when the object already had
        that attribute, moves the object to the new value in every index
        that holds it (with the interpreter lock released).

        A new name is not indexed until its next assignment. The value's
        ``__hash__`` runs before anything changes, and the object then moves
        in all its indexes at once: no other call sees it moved in one index
        and not yet in another. An assignment racing another use of the
        object or of its indexes waits for it, briefly, and is never refused.
        Raises ``PanicException`` when the value cannot be converted; the
        object and its indexes are then unchanged.
        """

    def __delattr__(self, name: str, /) -> NoReturn:
        """Always raises ``AttributeError`` "can't delete attribute";
        attributes cannot be removed."""

    def __dir__(self) -> list[str]:
        """Returns the object's own attribute names followed by the default
        listing (neither sorted nor de-duplicated)."""

    def __repr__(self) -> str:
        """Returns "<MyClass with N attributes>", N being the number of the
        object's own attributes."""

_T = TypeVar("_T", bound=Indexable, default=Indexable)

@final
class ArrowExport:
    """The values of a selection as Arrow columns, made by ``to_arrow``.

    It implements the Arrow PyCapsule interface, so ``pyarrow.table(e)``,
    ``polars.DataFrame(e)`` and DuckDB read it without a copy through Python
    objects. It cannot be constructed and is not an attribute of the module
    at run time. It holds the values as Arrow buffers (a snapshot taken by
    ``to_arrow``); each stream it hands out points into them without a copy
    and keeps them alive, so it can be read many times.
    """

    def __arrow_c_schema__(self) -> object:
        """Returns a PyCapsule "arrow_schema": a struct of one field per
        attribute name."""

    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object:
        """Returns a PyCapsule "arrow_array_stream" holding struct arrays
        of the values: one per part of a large selection that ``to_arrow``
        read on a thread of its own, in row order. ``requested_schema`` is
        not followed."""

    def num_rows(self) -> int:
        """Returns the number of rows: the objects selected."""

@final
class Index(Generic[_T]):
    """An in-memory index of ``Indexable`` objects by their attribute values.

    ``Index[Order]`` names an index of ``Order`` objects for type checkers,
    so that ``collect()`` and the other lists are ``list[Order]``; at run
    time it is ``Index`` itself.

    ``Index()`` takes no arguments and starts empty. For every attribute
    name it keeps a map from value to ids and, for ``int`` and ``float``
    values, an ordered tree for comparisons and ranges. Every list returned
    is in ascending id order, which is the objects' creation order.

    An instance may be used from several threads, but a conflicting use
    (a change while another call uses it) fails at once with
    ``RuntimeError`` "Already borrowed" or "Already mutably borrowed"
    instead of waiting. Uses of the objects never conflict: assignments,
    reads, additions and removals of one object wait for each other
    briefly. Objects stay in an index until ``remove_object``.
    ``len(index)``, ``obj in index`` and ``iter(index)`` see the objects
    held, iteration in ascending id order. An index can be pickled with its
    objects.
    """

    def __new__(cls) -> Self: ...
    def __class_getitem__(cls, item: Any, /) -> Any:
        """``Index[T]``: the class, generic for type checkers only."""

    def add_object(self, py_ref: _T) -> None:
        """Adds one object: stores it and indexes each attribute whose name
        does not begin with "_". Adding an object again changes nothing but
        its stored reference. Runs with the interpreter lock released.

        Raises ``TypeError`` ("argument 'py_ref': '<type>' object cannot be
        converted to 'Indexable'") for anything else, and ``RuntimeError``
        "Already borrowed" when the index is in use by another call.
        """

    def add_object_many(self, objs: Sequence[_T]) -> None:
        """Adds every object of the sequence, as ``add_object`` does; an
        object listed twice is added once. Runs with the interpreter lock
        released.

        Raises ``TypeError`` (prefixed "argument 'objs': ") when ``objs`` is
        a ``str`` ("Can't extract `str` to `Vec`"), is not a sequence (a set
        or generator is refused) or holds something that is not an
        ``Indexable``; nothing is added then. Raises ``RuntimeError``
        "Already borrowed" when the index is in use by another call.
        """

    def remove_object(self, py_ref: _T) -> None:
        """Removes the object from this index: from every value set, every
        ordered tree and its item slot. Other indexes and views made
        earlier keep their own selections.

        Raises ``KeyError`` when this index does not hold the object,
        ``TypeError`` ("argument 'py_ref': ...") for anything but an
        ``Indexable``, and ``RuntimeError`` "Already borrowed" when the index
        is in use by another call.
        """

    def remove_many(self, objs: Sequence[_T]) -> None:
        """Removes every object of the sequence, as ``remove_object`` does
        (an object listed twice is removed once), under one hold of the
        index's locks.

        Raises ``KeyError`` with the first object this index does not hold,
        and then removes none: the index is left as it was before the call.
        Raises ``TypeError`` ("argument 'objs': ...") as ``add_object_many``
        does, and ``RuntimeError`` "Already borrowed" when the index is in
        use by another call.
        """

    def remove_where(self, query: PyQueryExpr) -> int:
        """Removes the objects that satisfy the query expression (as
        ``reduced_query`` selects them) and returns how many. Runs with the
        interpreter lock released.

        Raises ``TypeError`` ("argument 'query': ...") when ``query`` is not
        a ``PyQueryExpr``, and ``PanicException`` "not yet implemented", as
        ``reduced_query`` does, for a ``bt`` with a non-numeric bound on an
        attribute this index holds; nothing is removed then.
        """

    def collect(self) -> list[_T]:
        """Returns every stored object, in ascending id (creation) order."""

    def collect_sorted(
        self, attr: str, limit: int | None = None, reverse: bool = False, offset: int = 0
    ) -> list[_T]:
        """Returns the objects whose attribute ``attr`` is an ``int`` or a
        ``float``, in numeric order of it (descending when ``reverse``; ties
        by ascending id), the first ``offset`` of them passed over, at most
        ``limit`` of them: ``collect_sorted(a, 10, offset=100)`` is the
        eleventh page of ten. The objects passed over are not listed: whole
        parts of the ordered tree are counted from their cached id sets.
        Objects whose value is not a number, or is NaN, are left out.

        Raises ``ValueError`` for a negative ``limit`` or ``offset`` and
        ``TypeError`` when ``attr`` is not a ``str``.
        """

    def columns(self, *names: str, default: object = None) -> dict[str, list[Any]]:
        """Returns a dict from each name to the list of the objects' values
        of that attribute, in the order ``collect`` lists the objects;
        ``default`` where an object lacks the attribute. The values are read
        in one pass in the module, under the same lock as ``collect``, with
        no Python code run while they are read.

        Raises ``TypeError`` for a name that is not a ``str`` or another
        keyword than ``default``.
        """

    def records(self, *names: str) -> list[dict[str, Any]]:
        """Returns one dict per object, in ``collect`` order: its attributes
        ``names`` (those it holds), or all of its own attributes when no
        name is given (``vars()`` of an ``Indexable``, which has no
        ``__dict__``)."""

    def sum(self, name: str) -> int | float:
        """Returns the sum of the ``int`` and ``float`` values of attribute
        ``name`` (NaN left out, as ``min`` and ``max`` leave it out; other
        values and objects lacking it are skipped): an exact ``int`` when
        all are ints, else a ``float`` (compensated summation, as Python's
        ``sum``, in an order of the index's choosing: a numeric attribute's
        values are added from its ordered index, each distinct value once).
        An empty selection, or one with no number there, gives ``0``."""

    def mean(self, name: str) -> float | None:
        """Returns the mean of the numbers ``sum`` adds up, as a ``float``;
        ``None`` when there is none (an empty selection)."""

    def to_arrow(self, *names: str) -> ArrowExport:
        """Returns the values of the attributes ``names`` as Arrow columns,
        one row per object in ``collect`` order, for ``pyarrow.table()``,
        ``polars.DataFrame()`` or DuckDB (through the Arrow PyCapsule
        interface; none of them is needed to import this module).

        A column's type follows its values: exact ints give ``int64``, ints
        and floats ``float64`` (NaN stays NaN), ``str`` gives ``utf8`` and
        ``bool`` ``boolean``; a missing attribute or ``None`` is a null, and
        a column of nulls only has the null type. Any other value, or a mix
        no one type holds, raises ``TypeError`` naming the attribute and
        the type. The stream holds one batch per part of the selection read
        in parallel; texts of one attribute taking more than 2**31 - 1 bytes
        in one batch raise ``OverflowError`` (Arrow's utf8 offsets are
        32-bit).
        """

    def value_counts(self, name: str | tuple[str, ...], limit: int | None = None) -> dict[Any, int]:
        """Returns, for each value of attribute ``name`` held by objects of
        this index, the number of objects holding it, without listing them:
        ordered by descending count, ties by the smallest id holding each
        value, at most ``limit`` entries. Values are keys as lookups compare
        them (``1``, ``1.0`` and ``True`` are one), each shown by the value of
        the first object (smallest id) of the index holding it, a hashable
        one when there is one. After ``reduce`` it counts what the equality
        sets list. An attribute the index does not hold gives ``{}``. Counts
        with the interpreter lock released.

        Given a tuple of names (``value_counts(("side", "status"))``), it
        counts the tuples of their keys instead, read from the objects
        themselves (so after ``reduce`` it still counts every object):
        objects lacking one of the names are not counted, and each tuple is
        shown by the values of its first holder (smallest id).

        Raises ``ValueError`` for a negative ``limit`` or an empty tuple,
        ``TypeError`` (prefixed "argument 'name': " or "argument 'limit': ")
        for a ``name`` that is not a ``str`` or a ``limit`` that is not an
        ``int``, and the dict's own ``TypeError`` when a counted key has only
        unhashable values.
        """

    def min(self, name: str) -> int | float | None:
        """Returns the smallest ``int`` or ``float`` value of attribute
        ``name`` among the objects of this index (NaN left out), the very
        object an object holds (the smallest id's on a tie, so ``5`` and
        ``5.0`` keep their type), or ``None`` when no object has a number
        there. Answered from the ordered tree, with the interpreter lock
        released; after ``reduce``, like ranges, it still sees every object.

        Raises ``TypeError`` ("argument 'name': ...") for a ``name`` that is
        not a ``str``.
        """

    def max(self, name: str) -> int | float | None:
        """Returns the largest ``int`` or ``float`` value of attribute
        ``name``, as ``min`` returns the smallest."""

    def count(self, query: PyQueryExpr) -> int:
        """Returns ``len(self.reduced_query(query))`` without making the
        view. Runs with the interpreter lock released.

        Raises as ``reduced_query`` does.
        """

    def memory_usage(self) -> dict[str, int]:
        """Returns the bytes held by the index, under the keys
        ``"item_table"``, ``"value_maps"``, ``"id_sets"``, ``"trees"`` and
        ``"total"``. The objects themselves are not counted."""

    def __len__(self) -> int:
        """Returns the number of objects this index holds."""

    def __contains__(self, obj: object, /) -> bool:
        """Returns whether this index holds ``obj`` (false for anything
        that is not an ``Indexable``)."""

    def __iter__(self) -> Iterator[_T]:
        """Iterates over the objects held, in ascending id order. The next
        step after an object was added or removed raises ``RuntimeError``
        "the index changed during iteration"."""

    def get_by_attribute(self, **kwargs: object) -> list[_T]:
        """Returns the objects whose attributes equal the keywords, in
        ascending id order.

        Each keyword's value is one value when it is a ``str`` or not
        iterable, and otherwise the set of its items (a list, tuple, set,
        range, generator, a dict's keys, a bytes object's integers): the
        attribute must equal one of them. All keywords must match. Keys are
        equal when their Python hashes are equal. No keywords, an unknown
        attribute or an empty collection match nothing.

        Raises ``PanicException`` when a keyword value's iterator raises or
        a value cannot be converted, and ``RuntimeError`` "Already mutably
        borrowed" when the index is being changed by another call.
        """

    def reduce(self, **kwargs: object) -> None:
        """Narrows this index in place to the objects matching the keywords
        (as ``get_by_attribute``), for equality only: lookups by equality,
        ``eq``, ``ne`` and ``in_`` then see only the matching objects, while
        ordered comparisons and ranges still see every object, and
        ``collect`` still lists every object. ``reduce()`` with no keywords
        empties every equality set. Attributes a matching object gained
        after it was added are indexed by this call.

        Raises ``RuntimeError`` "Already borrowed" when the index is in use
        by another call, and ``PanicException`` as ``get_by_attribute``
        does; a failure part-way leaves the index poisoned.
        """

    def reduced(self, **kwargs: object) -> FilteredIndex[_T]:
        """Returns a view of the objects matching the keywords (as
        ``get_by_attribute``; no keywords select nothing). The view shares
        this index's live state, so later attribute changes are seen, but its
        selection of ids is fixed. Runs with the interpreter lock released.

        Raises as ``get_by_attribute`` does.
        """

    def reduced_query(self, query: PyQueryExpr) -> FilteredIndex[_T]:
        """Returns a view of the objects of this index that satisfy the
        query expression; ``ne`` and ``not_`` complement within the objects
        added to this index. Runs with the interpreter lock released.

        Raises ``TypeError`` ("argument 'query': ...") when ``query`` is not
        a ``PyQueryExpr``, and ``PanicException`` "not yet implemented" when
        a ``bt`` on an attribute this index holds has a non-numeric bound.
        """

    def union_with(self, other: Index[Any]) -> None:
        """Merges the attribute maps of ``other`` into this index, so that
        lookups here also find what ``other`` indexes, for example an index
        rebased from a view of this one (which also indexes names beginning
        with "_"). This index's stored objects are unchanged. Runs with the
        interpreter lock released.

        Raises ``ValueError`` (nothing merged) when ``other`` holds objects
        this index does not, ``TypeError`` ("argument 'other': ...") when
        ``other`` is not an ``Index``, and ``RuntimeError`` "Already
        mutably borrowed" when ``other`` is this index or is being changed,
        "Already borrowed" when this index is in use by another call.
        """

@final
class FilteredIndex(Generic[_T]):
    """A view of a fixed selection of an index's objects.

    Returned by ``Index.reduced``, ``Index.reduced_query`` and
    ``FilteredIndex.reduced``; it cannot be constructed and is not an
    attribute of the module at run time, so write it in quotes or under
    ``typing.TYPE_CHECKING`` in annotations that are evaluated.

    A view shares the live state of its index: attribute changes are seen
    by ``reduced`` and ``collect``. Its selection never changes: objects
    added to the index later are not part of it, and an object whose
    attributes changed stays selected.
    """

    def reduced(self, **kwargs: object) -> FilteredIndex[_T]:
        """Returns a new view of the selected objects that match the
        keywords (as ``Index.get_by_attribute``, with the objects' current
        values). This view is unchanged. Runs with the interpreter lock
        released.

        Raises as ``Index.get_by_attribute`` does.
        """

    def reduced_query(self, query: PyQueryExpr) -> FilteredIndex[_T]:
        """Returns a new view of the selected objects that satisfy the query
        expression; ``ne`` and ``not_`` complement within this view's
        selection. Raises as ``Index.reduced_query`` does."""

    def collect(self) -> list[_T]:
        """Returns the selected objects in ascending id (creation) order."""

    def collect_sorted(
        self, attr: str, limit: int | None = None, reverse: bool = False, offset: int = 0
    ) -> list[_T]:
        """Returns the selected objects ordered by a numeric attribute, as
        ``Index.collect_sorted`` does."""

    def columns(self, *names: str, default: object = None) -> dict[str, list[Any]]:
        """Returns the selected objects' values of each attribute, as
        ``Index.columns`` does."""

    def records(self, *names: str) -> list[dict[str, Any]]:
        """Returns one dict per selected object, as ``Index.records``
        does."""

    def sum(self, name: str) -> int | float:
        """Returns the sum of the selected objects' numbers, as
        ``Index.sum`` does."""

    def mean(self, name: str) -> float | None:
        """Returns the mean of the selected objects' numbers, as
        ``Index.mean`` does."""

    def to_arrow(self, *names: str) -> ArrowExport:
        """Returns the selected objects' values as Arrow columns, as
        ``Index.to_arrow`` does."""

    def value_counts(self, name: str | tuple[str, ...], limit: int | None = None) -> dict[Any, int]:
        """Returns, for each value of attribute ``name`` held by the selected
        objects, the number of them holding it, as ``Index.value_counts``
        does. A value is shown by the first object of the index holding it,
        so one key reads the same in every view."""

    def min(self, name: str) -> int | float | None:
        """Returns the smallest number of attribute ``name`` among the
        selected objects, as ``Index.min`` does."""

    def max(self, name: str) -> int | float | None:
        """Returns the largest number of attribute ``name`` among the
        selected objects, as ``Index.max`` does."""

    def count(self, query: PyQueryExpr) -> int:
        """Returns ``len(self.reduced_query(query))`` without making the
        view: objects removed from the index since this view was made do
        not count."""

    def __len__(self) -> int:
        """Returns the number of selected objects."""

    def __contains__(self, obj: object, /) -> bool:
        """Returns whether ``obj`` is one of the selected objects."""

    def __iter__(self) -> Iterator[_T]:
        """Iterates over the selected objects, in ascending id order. The
        selection is fixed, so the loop may change the index: objects removed
        before they are reached are skipped."""

    def rebase(self) -> Index[_T]:
        """Returns a new, independent ``Index`` of exactly the selected
        objects, indexed by their current values, including names that
        begin with "_". Later additions to either index do not reach the
        other; attribute changes of shared objects update both.
        """

@final
class PyQueryExpr:
    """An immutable query expression, built with the static methods below
    and evaluated by ``Index.reduced_query``. It cannot be constructed
    directly. Expressions are copied into the expressions built from them,
    so one expression can be reused freely.

    Equality (``eq``, ``ne``, ``in_``) compares Python hashes, as keyword
    lookups do. Ordered comparisons (``gt``, ``ge``, ``lt``, ``le``, ``bt``)
    see only attribute values that are exactly ``int`` or ``float``
    (compared by numeric value, so ``gt("x", 1)`` finds ``1.5``, but never a
    ``bool``); a non-numeric operand selects nothing (``bt`` raises
    instead), and a NaN never satisfies a comparison.

    Every builder raises ``TypeError`` when ``attr`` is not a ``str`` or an
    expression argument is not a ``PyQueryExpr``, and ``PanicException``
    when a value cannot be converted.
    """

    @staticmethod
    def eq(attr: str, value: object) -> PyQueryExpr:
        """Returns the condition "attribute ``attr`` equals ``value``"."""

    @staticmethod
    def ne(attr: str, value: object) -> PyQueryExpr:
        """Returns ``not_(eq(attr, value))``: it also selects objects that
        have no attribute ``attr``."""

    @staticmethod
    def gt(attr: str, value: object) -> PyQueryExpr:
        """Returns the condition "attribute ``attr`` > ``value``" over
        ``int`` and ``float`` values."""

    @staticmethod
    def ge(attr: str, value: object) -> PyQueryExpr:
        """Returns the condition "attribute ``attr`` >= ``value``" over
        ``int`` and ``float`` values."""

    @staticmethod
    def le(attr: str, value: object) -> PyQueryExpr:
        """Returns the condition "attribute ``attr`` <= ``value``" over
        ``int`` and ``float`` values."""

    @staticmethod
    def bt(attr: str, lower: object, upper: object) -> PyQueryExpr:
        """Returns the closed range "``lower`` <= attribute ``attr`` <=
        ``upper``" over ``int`` and ``float`` values. The bounds are not
        reordered: ``lower`` above ``upper`` selects nothing.

        Evaluating it on an index that holds ``attr`` raises
        ``PanicException`` "not yet implemented" when a bound is not an
        ``int`` or ``float``.
        """

    @staticmethod
    def lt(attr: str, value: object) -> PyQueryExpr:
        """Returns the condition "attribute ``attr`` < ``value``" over
        ``int`` and ``float`` values."""

    @staticmethod
    def in_(attr: str, values: Sequence[object]) -> PyQueryExpr:
        """Returns the condition "attribute ``attr`` equals one of
        ``values``". ``values`` must be a sequence other than ``str`` (a
        list, tuple or range); a ``str``, set or generator raises
        ``TypeError``."""

    @staticmethod
    def and_(*exprs: PyQueryExpr) -> PyQueryExpr:
        """Returns the conjunction of the expressions, evaluated in order;
        each later expression (a ``not_`` included) only sees what the
        earlier ones kept. ``and_()`` selects every object."""

    @staticmethod
    def or_(*exprs: PyQueryExpr) -> PyQueryExpr:
        """Returns the disjunction of the expressions. ``or_()`` selects
        nothing."""

    @staticmethod
    def not_(exprs: PyQueryExpr) -> PyQueryExpr:
        """Returns the complement of the expression within the objects of
        the index (or within what an enclosing ``and_`` kept so far)."""

    def __and__(self, other: PyQueryExpr, /) -> PyQueryExpr:
        """Returns ``and_(self, other)``."""

    def __or__(self, other: PyQueryExpr, /) -> PyQueryExpr:
        """Returns ``or_(self, other)``."""

    def __rand__(self, other: PyQueryExpr, /) -> PyQueryExpr:
        """Returns ``and_(other, self)``."""

    def __ror__(self, other: PyQueryExpr, /) -> PyQueryExpr:
        """Returns ``or_(other, self)``."""

    def __invert__(self) -> PyQueryExpr:
        """Returns ``not_(self)``."""

    def __repr__(self) -> str:
        """Returns "<QueryExpr: " followed by the expression's debug form
        and ">"."""
