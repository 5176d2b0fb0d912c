#pragma once
// The doc texts of the methods `Index` and `FilteredIndex` share, as help()
// shows them: the stored signature, then what the method does.

namespace vorlane::docs {

inline constexpr const char* kReduced =
    "reduced($self, **kwargs)\n--\n\n"
    "A view of the selected objects whose attributes equal the keywords (each keyword a "
    "value, or a collection of values one of which must match; no keywords select "
    "nothing). The view shares the index's live state; its selection is fixed.";
inline constexpr const char* kCollect =
    "collect($self)\n--\n\n"
    "A list of the selected objects in ascending id (creation) order.";
inline constexpr const char* kCollectSorted =
    "collect_sorted($self, attr, limit=None, reverse=False, offset=0)\n--\n\n"
    "The selected objects whose attribute `attr` is an int or a float, in numeric order of "
    "that attribute (ties by ascending id; descending values when `reverse`), the first "
    "`offset` of them passed over without being listed, at most `limit` of them. Objects "
    "whose value is not a number, or is NaN, are left out.";
inline constexpr const char* kValueCounts =
    "value_counts($self, name, limit=None)\n--\n\n"
    "A dict from each value of attribute `name` held by the selected objects to the number "
    "of them holding it, by descending count (ties: the value whose first selected holder "
    "has the smaller id), at most `limit` entries. Values are keys as lookups compare them "
    "(1, 1.0 and True are one), each shown by the value of the index's first object holding "
    "it.\n\n"
    "Given a tuple of names, counts the tuples of their keys instead: objects lacking one "
    "of the names are not counted, and each tuple is shown by the values of its first "
    "selected holder.";
inline constexpr const char* kMin =
    "min($self, name)\n--\n\n"
    "The smallest int or float value of attribute `name` among the selected objects (NaN "
    "left out), as the object holds it, or None when none has a number there.";
inline constexpr const char* kMax =
    "max($self, name)\n--\n\n"
    "The largest int or float value of attribute `name` among the selected objects (NaN "
    "left out), as the object holds it, or None when none has a number there.";
inline constexpr const char* kCount =
    "count($self, query)\n--\n\n"
    "The number of selected objects that satisfy the query expression: "
    "len(self.reduced_query(query)) without making the view.";
inline constexpr const char* kColumns =
    "columns($self, *names, default=None)\n--\n\n"
    "A dict from each name to the list of the selected objects' values of that attribute, "
    "in the order collect() lists the objects; `default` where an object lacks it. Read in "
    "one pass, with no Python code run while the values are read.";
inline constexpr const char* kRecords =
    "records($self, *names)\n--\n\n"
    "A list of dicts, one per selected object in collect() order: its attributes `names` "
    "(those it holds), or all of its attributes when no name is given.";
inline constexpr const char* kSum =
    "sum($self, name)\n--\n\n"
    "The sum of the int and float values of attribute `name` among the selected objects, "
    "NaN left out: an exact int when all are ints, else a float (compensated summation, "
    "as Python's sum, in an order of the index's choosing). 0 when there is none.";
inline constexpr const char* kMean =
    "mean($self, name)\n--\n\n"
    "The mean of the int and float values of attribute `name` among the selected objects, "
    "NaN left out, as a float; None when there is none.";
inline constexpr const char* kToArrow =
    "to_arrow($self, *names)\n--\n\n"
    "The selected objects' values of `names` as Arrow columns, in collect() order: an "
    "object with __arrow_c_stream__ and __arrow_c_schema__ (the Arrow PyCapsule interface) "
    "that pyarrow.table(), polars.DataFrame() and DuckDB read without a copy through "
    "Python objects. A column of exact ints is int64, of ints and floats float64, of str "
    "utf8, of bool boolean; a missing attribute or None is null. Any other value raises "
    "TypeError naming the attribute and the type.";
inline constexpr const char* kClassGetitem =
    "Index[T] and FilteredIndex[T] name an index or view of objects of type T, for type "
    "checkers; at run time the class itself.";

}  // namespace vorlane::docs
