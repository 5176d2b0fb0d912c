#include "py/object_attributes.hpp"

#include <algorithm>
#include <memory>
#include <new>
#include <utility>

#include "engine/panic.hpp"

namespace vorlane {

namespace {

// The heap array of spilled values starts with its capacity, padded to a
// value's alignment.
struct alignas(PyValue) SpillHeader {
    size_t capacity;
};

PyValue* allocate_spill(size_t capacity) {
    void* memory = ::operator new(sizeof(SpillHeader) + capacity * sizeof(PyValue));
    new (memory) SpillHeader{capacity};
    return reinterpret_cast<PyValue*>(static_cast<char*>(memory) + sizeof(SpillHeader));
}

SpillHeader* header_of(PyValue* spill) {
    return reinterpret_cast<SpillHeader*>(reinterpret_cast<char*>(spill) - sizeof(SpillHeader));
}

void free_spill(PyValue* spill) {
    if (spill != nullptr)
        ::operator delete(header_of(spill));
}

size_t spilled(size_t count) {
    return count > ObjectAttributes::kInlineValues ? count - ObjectAttributes::kInlineValues : 0;
}

}  // namespace

ObjectAttributes::ObjectAttributes(AttrLayout* layout, std::span<PyValue> values)
    : layout_(AttrLayout::empty()) {
    if (values.size() != layout->size())
        panic("object attributes: one value per name expected");
    if (size_t rest = spilled(values.size()))
        spill_ = allocate_spill(rest);
    // Nothing below throws: the layout is taken last, with every value.
    for (size_t pos = 0; pos < values.size(); ++pos)
        new (&slot(pos)) PyValue(std::move(values[pos]));
    layout_ = layout;
}

ObjectAttributes::~ObjectAttributes() {
    destroy();
}

void ObjectAttributes::destroy() noexcept {
    size_t count = size();
    for (size_t pos = 0; pos < count; ++pos)
        slot(pos).~PyValue();
    free_spill(std::exchange(spill_, nullptr));
    AttrLayout::release(std::exchange(layout_, AttrLayout::empty()));
}

ObjectAttributes::ObjectAttributes(ObjectAttributes&& other) noexcept
    : layout_(std::exchange(other.layout_, AttrLayout::empty())),
      spill_(std::exchange(other.spill_, nullptr)) {
    // Moved values are left empty (no reference) and need no destruction.
    size_t inline_count = std::min(size(), kInlineValues);
    for (size_t pos = 0; pos < inline_count; ++pos) {
        new (&inline_[pos]) PyValue(std::move(other.inline_[pos]));
        other.inline_[pos].~PyValue();
    }
}

ObjectAttributes& ObjectAttributes::operator=(ObjectAttributes&& other) noexcept {
    if (this != &other) {
        destroy();
        new (this) ObjectAttributes(std::move(other));
    }
    return *this;
}

void ObjectAttributes::reserve_next() {
    size_t rest = spilled(size() + 1);
    if (rest == 0)
        return;
    size_t capacity = spill_ ? header_of(spill_)->capacity : 0;
    if (rest <= capacity)
        return;
    // Doubling: an object given many names one by one moves each value a
    // bounded number of times.
    PyValue* grown = allocate_spill(std::max<size_t>(2 * capacity, 2));
    size_t moved = rest - 1;
    for (size_t i = 0; i < moved; ++i) {
        new (&grown[i]) PyValue(std::move(spill_[i]));
        spill_[i].~PyValue();
    }
    free_spill(std::exchange(spill_, grown));
}

std::optional<PyValue> ObjectAttributes::set(AttrName name, PyObject* key, PyValue value) {
    size_t pos = layout_->find_str(key);
    if (pos == AttrLayout::kNotFound)
        pos = layout_->find(name);
    if (pos != AttrLayout::kNotFound) {
        std::optional<PyValue> old(std::move(slot(pos)));
        slot(pos) = std::move(value);
        return old;
    }
    size_t count = size();
    reserve_next();
    // The next layout, before the value is stored: making it may fail.
    AttrLayout* next = nullptr;
    if (layout_->is_shared()) {
        next = AttrLayout::shared_child(layout_, name, key);
        if (next == nullptr) {
            std::unique_ptr<AttrLayout, void (*)(AttrLayout*)> copy(
                AttrLayout::private_copy(*layout_), AttrLayout::release);
            copy->append(name, key);
            next = copy.release();
        }
    } else {
        layout_->append(name, key);
        next = layout_;
    }
    new (&slot(count)) PyValue(std::move(value));
    layout_ = next;  // a shared layout left behind stays; a private one grew in place
    return std::nullopt;
}

size_t ObjectAttributes::spilled_bytes() const {
    return spill_ ? sizeof(SpillHeader) + header_of(spill_)->capacity * sizeof(PyValue) : 0;
}

void ObjectAttributes::validate() const {
    layout_->validate();
    if (spilled(size()) > 0 && (spill_ == nullptr || header_of(spill_)->capacity < spilled(size())))
        panic("object attributes: spilled values past the array");
    for (size_t pos = 0; pos < size(); ++pos) {
        if (value(pos).obj() == nullptr)
            panic("object attributes: a value is not set");
    }
}

}  // namespace vorlane
