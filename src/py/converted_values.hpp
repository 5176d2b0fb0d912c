#pragma once
// `ConvertedValues`: the values of a new object, converted one by one before
// the object exists.
//
// They stay on the stack for most rows (`kOnStack` values). If a conversion
// fails, the values converted so far are released with this holder. Once the
// object took them into its own room (which leaves nothing behind to
// release), `moved_out` says so.

#include <cstddef>
#include <memory>
#include <new>
#include <span>

#include "py/value.hpp"

namespace vorlane {

class ConvertedValues {
  public:
    // Wide rows of real tables (a few dozen columns) fit here; wider ones
    // take one allocation.
    static constexpr size_t kOnStack = 24;

    // Room for `count` values.
    explicit ConvertedValues(size_t count)
        : heap_(count > kOnStack ? std::allocator<PyValue>().allocate(count) : nullptr),
          capacity_(count) {}
    ~ConvertedValues() {
        std::destroy_n(data(), size_);
        if (heap_ != nullptr)
            std::allocator<PyValue>().deallocate(heap_, capacity_);
    }
    ConvertedValues(const ConvertedValues&) = delete;
    ConvertedValues& operator=(const ConvertedValues&) = delete;

    // Appends the value `convert()` makes, in place; if it throws, nothing
    // is appended. At most the count given at construction.
    template <typename Convert>
    void append(Convert convert) {
        new (data() + size_) PyValue(convert());
        ++size_;
    }
    size_t size() const { return size_; }
    std::span<PyValue> values() { return {data(), size_}; }
    // The values were taken over (moved out, their places ended): none is
    // released here.
    void moved_out() { size_ = 0; }

  private:
    PyValue* data() { return heap_ != nullptr ? heap_ : reinterpret_cast<PyValue*>(stack_); }

    alignas(PyValue) std::byte stack_[kOnStack * sizeof(PyValue)];
    PyValue* heap_;
    size_t capacity_;
    size_t size_ = 0;
};

}  // namespace vorlane
