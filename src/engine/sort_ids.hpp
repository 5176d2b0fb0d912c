#pragma once
// Sorting id lists in bulk, before they go into a bitmap: the library adds
// unsorted ids one by one, searching and shifting its sorted arrays for
// each, and a comparison sort of thousands of random ids costs more than the
// rest of a small range query.

#include <cstdint>
#include <vector>

namespace vorlane {

// Sorts `ids` ascending: a least-significant-digit radix sort in passes of
// 11 bits, as many as the largest id needs (two below 2^22), each a stable
// scatter; a short list takes a comparison sort.
void sort_ids(std::vector<uint32_t>& ids);

}  // namespace vorlane
