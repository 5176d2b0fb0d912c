#include "py/object_attributes.hpp"

#include <algorithm>
#include <bit>
#include <memory>
#include <new>
#include <utility>

#include "engine/panic.hpp"

namespace vorlane {

namespace {

// Room of a heap array for `spilled` values, a function of that count alone,
// so that the array keeps no capacity of its own: exactly the count up to
// `kExactSpill` (the array is then no bigger than its values, and an object
// given one more name moves at most that many values), and beyond, the
// count rounded up to a quarter of its power of two (at most a fifth of the
// room unused, and an object given many names one by one moves each value a
// bounded number of times).
constexpr size_t kExactSpill = 16;
constexpr size_t kStepsPerDoubling = 4;

size_t spill_capacity(size_t spilled) {
    if (spilled <= kExactSpill)
        return spilled;
    size_t step = std::bit_floor(spilled) / kStepsPerDoubling;
    return (spilled + step - 1) / step * step;
}

// Heap arrays come from the interpreter's allocator, which keeps no header
// per block and rounds small sizes to 16 bytes. Arrays are made and freed
// attached only.
void* allocate_bytes(size_t bytes) {
    void* block = PyMem_Malloc(bytes);
    if (block == nullptr)
        throw std::bad_alloc();
    return block;
}

// Moves `count` values from `from` to the raw room `to`.
void relocate(PyValue* from, PyValue* to, size_t count) noexcept {
    for (size_t i = 0; i < count; ++i) {
        new (to + i) PyValue(std::move(from[i]));
        from[i].~PyValue();
    }
}

}  // namespace

ObjectAttributes::Spill* ObjectAttributes::new_spill(size_t room, size_t spilled) {
    void* block = allocate_bytes(sizeof(Spill) + spill_capacity(spilled) * sizeof(PyValue));
    return new (block) Spill{room};
}

ObjectAttributes::ObjectAttributes(AttrLayout* layout, std::span<PyValue> converted) noexcept
    : layout_(layout) {
    // A value is one word that owns its object: moving it copies the word;
    // the emptied sources are ended here, for their holder to forget.
    relocate(converted.data(), inline_values(), converted.size());
}

ObjectAttributes::ObjectAttributes(ObjectAttributes&& other, size_t room) noexcept
    : layout_(std::exchange(other.layout_, AttrLayout::empty())) {
    // `other` now holds no values: the ones moved here are not destroyed there.
    size_t count = size();
    if (count == 0)
        return;
    Spill* spill = spill_of(other.slot_word());
    if (spill == nullptr) {
        relocate(other.inline_values(), inline_values(), count);
        return;
    }
    size_t spilled_room = spill->room;
    relocate(other.inline_values() + 1, inline_values() + 1, spilled_room - 1);
    if (count > room) {
        set_spill(spill);  // its room is within this object's
        return;
    }
    relocate(spill->values(), inline_values(), 1);
    relocate(spill->values() + 1, inline_values() + spilled_room, count - spilled_room);
    PyMem_Free(spill);
}

std::unique_ptr<ObjectAttributes> ObjectAttributes::take() {
    auto taken = std::make_unique<ObjectAttributes>();
    size_t count = size();
    if (count <= kInlineValues && spill() == nullptr) {
        relocate(inline_values(), taken->inline_values(), count);
    } else {
        // Into the spilled form of the plain room.
        Spill* fresh =
            new_spill(kInlineValues, count - kInlineValues + 1);  // may throw: nothing moved yet
        Spill* held = spill();
        for (size_t pos = 0; pos < count; ++pos)
            relocate(locate(pos, held), taken->locate(pos, fresh), 1);
        if (held != nullptr)
            PyMem_Free(held);
        taken->set_spill(fresh);
    }
    taken->layout_ = std::exchange(layout_, AttrLayout::empty());
    return taken;
}

ObjectAttributes::~ObjectAttributes() {
    destroy();
}

void ObjectAttributes::destroy() noexcept {
    size_t count = size();
    Spill* held = spill();
    for (size_t pos = 0; pos < count; ++pos)
        locate(pos, held)->~PyValue();
    if (held != nullptr)
        PyMem_Free(held);
    AttrLayout::release(std::exchange(layout_, AttrLayout::empty()));
}

AttrLayout* ObjectAttributes::next_layout(AttrName name, PyObject* key) {
    if (!layout_->is_shared()) {
        layout_->append(name, key);  // in place; unchanged on failure
        return layout_;
    }
    if (AttrLayout* child = AttrLayout::shared_child(layout_, name, key))
        return child;
    std::unique_ptr<AttrLayout, void (*)(AttrLayout*)> copy(AttrLayout::private_copy(*layout_),
                                                            AttrLayout::release);
    copy->append(name, key);
    return copy.release();
}

void ObjectAttributes::place(size_t count, PyValue value, Spill* grown) noexcept {
    Spill* held = spill();
    if (held == nullptr && count < kInlineValues) {
        new (inline_values() + count) PyValue(std::move(value));
        return;
    }
    if (held == nullptr) {
        // A full room: position 0's value goes to the new array with the new
        // one, and the array's handle takes its slot. `set` allocated `grown`.
        // NOLINTNEXTLINE(clang-analyzer-core.CallAndMessage)
        relocate(inline_values(), grown->values(), 1);
        new (grown->values() + 1) PyValue(std::move(value));
        set_spill(grown);
        return;
    }
    size_t spilled = count - held->room + 1;
    if (grown != nullptr) {
        relocate(held->values(), grown->values(), spilled);
        PyMem_Free(held);
        set_spill(grown);
        held = grown;
    }
    new (held->values() + spilled) PyValue(std::move(value));
}

std::optional<PyValue> ObjectAttributes::set(AttrName name, PyObject* key, PyValue value) {
    size_t pos = layout_->find_str(key);
    if (pos == AttrLayout::kNotFound)
        pos = layout_->find(name);
    size_t count = size();
    if (pos != AttrLayout::kNotFound) {
        PyValue* stored = slot(pos);
        std::optional<PyValue> old(std::move(*stored));
        *stored = std::move(value);
        return old;
    }
    // What can fail comes first: room for the value, then the next layout.
    Spill* held = spill();
    Spill* grown = nullptr;
    if (held == nullptr && count >= kInlineValues) {
        grown = new_spill(count, 2);  // the room is full: see the header
    } else if (held != nullptr) {
        size_t spilled = count - held->room + 1;  // with the new one: one more
        if (spill_capacity(spilled + 1) != spill_capacity(spilled))
            grown = new_spill(held->room, spilled + 1);
    }
    std::unique_ptr<Spill, void (*)(Spill*)> room(grown, [](Spill* s) { PyMem_Free(s); });
    AttrLayout* next = next_layout(name, key);
    place(count, std::move(value), room.release());
    layout_ = next;  // a shared layout left behind stays; a private one grew in place
    return std::nullopt;
}

size_t ObjectAttributes::spilled_bytes() const {
    size_t bytes = 0;
    if (const Spill* held = spill())
        bytes = sizeof(Spill) + spill_capacity(size() - held->room + 1) * sizeof(PyValue);
    for (size_t pos = 0; pos < size(); ++pos)
        bytes += value(pos).boxed_bytes();
    return bytes;
}

void ObjectAttributes::validate() const {
    layout_->validate();
    size_t count = size();
    if (const Spill* held = spill()) {
        if (held->room < kInlineValues || held->room >= count)
            panic("object attributes: a spilled array whose room does not match the count");
    }
    for (size_t pos = 0; pos < count; ++pos) {
        if (value(pos).obj() == nullptr)
            panic("object attributes: a value is not set");
    }
}

}  // namespace vorlane
