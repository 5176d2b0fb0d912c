#pragma once
// The C API's tables (methods, slots) as runs of entries joined in order and
// ended by the entry that ends such a table: classes that share a run of
// entries list it once.

#include <algorithm>
#include <array>
#include <cstddef>

namespace vorlane::py {

template <typename Entry, std::size_t... Sizes>
std::array<Entry, (Sizes + ... + 1)> joined_table(const Entry& end,
                                                  const std::array<Entry, Sizes>&... runs) {
    std::array<Entry, (Sizes + ... + 1)> table{};
    auto at = table.begin();
    ((at = std::copy(runs.begin(), runs.end(), at)), ...);
    *at = end;
    return table;
}

}  // namespace vorlane::py
