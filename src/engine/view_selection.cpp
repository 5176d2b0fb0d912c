#include "engine/view_selection.hpp"

#include <algorithm>
#include <memory>
#include <utility>

namespace vorlane {

ViewSelection::ViewSelection(Bitmap ids) : bitmap_(new Bitmap(std::move(ids))) {}

ViewSelection::ViewSelection(std::vector<uint32_t> sorted)
    : sorted_(std::move(sorted)), from_list_(true) {}

ViewSelection::~ViewSelection() {
    release();
}

ViewSelection::ViewSelection(ViewSelection&& other) noexcept
    : sorted_(std::move(other.sorted_)),
      from_list_(std::exchange(other.from_list_, false)),
      bitmap_(other.bitmap_.exchange(nullptr, std::memory_order_relaxed)) {}

ViewSelection& ViewSelection::operator=(ViewSelection&& other) noexcept {
    if (this != &other) {
        release();
        sorted_ = std::move(other.sorted_);
        from_list_ = std::exchange(other.from_list_, false);
        bitmap_.store(other.bitmap_.exchange(nullptr, std::memory_order_relaxed),
                      std::memory_order_relaxed);
    }
    return *this;
}

void ViewSelection::release() {
    delete bitmap_.exchange(nullptr, std::memory_order_relaxed);
}

const Bitmap& ViewSelection::bitmap() const {
    if (Bitmap* built = bitmap_.load(std::memory_order_acquire))
        return *built;
    // A moved-from selection holds no ids: its list is empty.
    auto fresh = std::make_unique<Bitmap>(Bitmap::of_sorted(sorted_));
    Bitmap* expected = nullptr;
    if (bitmap_.compare_exchange_strong(expected, fresh.get(), std::memory_order_acq_rel,
                                        std::memory_order_acquire))
        return *fresh.release();
    return *expected;
}

void ViewSelection::write_to(std::span<uint32_t> out) const {
    if (from_list_)
        std::copy(sorted_.begin(), sorted_.end(), out.begin());
    else
        bitmap().write_to(out);
}

}  // namespace vorlane
