#pragma once
// `ViewSelection`: the fixed ids of a view, as a bitmap, or as the ascending
// list a range query gave.
//
// A range over the ordered tree gathers its ids in value order; sorting them
// is the cheap part, and a bitmap of them would only be read back into a list
// by `collect`, the usual next call. A view made from such a list keeps it,
// lists its objects and reads their values from it, and builds the bitmap the
// other methods read the first time one asks. Both forms hold the same ids
// and never change.

#include <atomic>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
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

    // How many ids: the list's length, with no bitmap built for it.
    uint64_t size() const { return from_list_ ? sorted_.size() : bitmap().cardinality(); }
    // Calls `f(std::span<const uint32_t>)` with consecutive runs of at most
    // `Block` ids, ascending, as `Bitmap::for_each_written_block` does. A listed
    // view gives runs of its list in place and builds no bitmap: reading
    // the objects of a range result costs no detour through one.
    template <uint32_t Block, typename F>
    void for_each_block(F&& f) const {
        if (!from_list_) {
            bitmap().for_each_written_block<Block>(std::forward<F>(f));
            return;
        }
        Bitmap::for_each_run<Block>(std::span<const uint32_t>(sorted_), std::forward<F>(f));
    }
    // Writes the ids, ascending, to `out`, which holds exactly `size()`.
    void write_to(std::span<uint32_t> out) const;

  private:
    void release();

    std::vector<uint32_t> sorted_;
    bool from_list_ = false;
    // Owned; null until built from the list.
    mutable std::atomic<Bitmap*> bitmap_{nullptr};
};

}  // namespace vorlane
