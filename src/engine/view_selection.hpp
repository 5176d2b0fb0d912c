#pragma once
// `ViewSelection`: the fixed ids of a view, as a bitmap, or as the ascending
// list a range query gave.
//
// A range over the ordered tree gathers its ids in value order; sorting them
// is the cheap part, and a bitmap of them would only be read back into a list
// by `collect`, the usual next call. A view made from such a list keeps it,
// lists its objects from it, and builds the bitmap the other methods read the
// first time one asks. Both forms hold the same ids and never change.

#include <atomic>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "engine/bitmap.hpp"

namespace vorlane {

class ViewSelection {
  public:
    explicit ViewSelection(Bitmap ids);
    // `sorted`: distinct ids, ascending.
    explicit ViewSelection(std::vector<uint32_t> sorted);
    ~ViewSelection();
    ViewSelection(ViewSelection&& other) noexcept;
    ViewSelection& operator=(ViewSelection&& other) noexcept;
    ViewSelection(const ViewSelection&) = delete;
    ViewSelection& operator=(const ViewSelection&) = delete;

    // The ids as a bitmap, built from the list on the first call. Safe from
    // several threads at once: each may build one, the first stored wins and
    // the others are dropped.
    const Bitmap& bitmap() const;
    // The ids ascending, when the view was made from a list.
    std::optional<std::span<const uint32_t>> listed() const {
        if (!from_list_)
            return std::nullopt;
        return std::span<const uint32_t>(sorted_);
    }

  private:
    void release();

    std::vector<uint32_t> sorted_;
    bool from_list_ = false;
    // Owned; null until built from the list.
    mutable std::atomic<Bitmap*> bitmap_{nullptr};
};

}  // namespace vorlane
