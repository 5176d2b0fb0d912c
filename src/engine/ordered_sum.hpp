#pragma once
// The sum of the numbers an ordered structure (`OrderedNumbers`) holds for
// the ids of a selection, read from its entries instead of from the objects.
//
// The entries know each number exactly but not whether it was an int or a
// float (5 and 5.0 share a code): whole numbers are added as ints, the rest
// as floats, each distinct value once with its count of selected ids. So
// the total is exact for ints and compensated for floats, as an object by
// object sum is, though summed in value order instead of id order; and
// whether the total should be an int is known only once some number could
// only have been a float (`has_fraction`). NaN is left out.

#include "engine/bitmap.hpp"
#include "engine/numeric_sum.hpp"
#include "engine/ordered_numbers.hpp"

namespace vorlane {

struct OrderedTotal {
    NumericSum sum;
    // Whether a number was added that no int64 holds (a fraction, a whole
    // number beyond int64, an infinity): it was a float, so the total is.
    bool has_fraction = false;
};

// The numbers of `numbers` held by ids of `selection`. With
// `UniverseCover::All` the caller vouches that the selection holds every id
// there, and it is not consulted.
OrderedTotal sum_selected(const OrderedNumbers& numbers, const Bitmap& selection,
                          UniverseCover cover);

// Whether a sample of the values (the bounds of the top nodes of a tree,
// every value of a set form) has a fraction: a guess, made without a walk,
// at whether `sum_selected` will find one, for callers that need one.
bool samples_fraction(const OrderedNumbers& numbers);

}  // namespace vorlane
