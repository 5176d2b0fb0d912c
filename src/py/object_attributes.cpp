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
// per block and rounds small sizes to 16 bytes: an array of twelve values
// takes 96 bytes. Arrays are made and freed attached only.
PyValue* allocate_values(size_t capacity) {
    void* block = PyMem_Malloc(capacity * sizeof(PyValue));
    if (block == nullptr)
        throw std::bad_alloc();
    return static_cast<PyValue*>(block);
}

void free_values(PyValue* values) {
    PyMem_Free(values);
}

// Raw room for values, freed unless handed on.
struct RawValues {
    PyValue* values = nullptr;

    // No room at all for a count of 0.
    explicit RawValues(size_t count) : values(count > 0 ? allocate_values(count) : nullptr) {}
    ~RawValues() { free_values(values); }
    RawValues(const RawValues&) = delete;
    RawValues& operator=(const RawValues&) = delete;
    PyValue* release() { return std::exchange(values, nullptr); }
};

// Moves `count` values from `from` to the raw room `to`.
void relocate(PyValue* from, PyValue* to, size_t count) noexcept {
    for (size_t i = 0; i < count; ++i) {
        new (to + i) PyValue(std::move(from[i]));
        from[i].~PyValue();
    }
}

}  // namespace

ObjectAttributes::ObjectAttributes(AttrLayout* layout, std::span<PyObject* const> objects)
    : layout_(AttrLayout::empty()) {
    size_t count = objects.size();
    if (count != layout->size())
        panic("object attributes: one value per name expected");
    RawValues room(count > kInlineValues ? spill_capacity(count - kSpillFrom) : 0);
    if (count > kInlineValues)
        new (&spill()) Spill{room.values};  // handed on once every value is in
    size_t converted = 0;
    try {
        for (; converted < count; ++converted)
            new (slot(converted, count)) PyValue(PyValue::from_borrowed(objects[converted]));
    } catch (...) {
        for (size_t pos = 0; pos < converted; ++pos)
            slot(pos, count)->~PyValue();
        throw;  // the room is freed with `room`; the layout stays the empty one
    }
    room.release();
    layout_ = layout;
}

ObjectAttributes::~ObjectAttributes() {
    destroy();
}

void ObjectAttributes::destroy() noexcept {
    size_t count = size();
    for (size_t pos = 0; pos < count; ++pos)
        slot(pos, count)->~PyValue();
    if (count > kInlineValues)
        free_values(spill().values);
    AttrLayout::release(std::exchange(layout_, AttrLayout::empty()));
}

ObjectAttributes::ObjectAttributes(ObjectAttributes&& other) noexcept
    : layout_(std::exchange(other.layout_, AttrLayout::empty())) {
    // `other` now holds no values: the ones moved here are not destroyed there.
    size_t count = size();
    size_t inline_count = std::min(count, count > kInlineValues ? kSpillFrom : kInlineValues);
    relocate(other.inline_values(), inline_values(), inline_count);
    if (count > kInlineValues)
        new (&spill()) Spill(other.spill());
}

ObjectAttributes& ObjectAttributes::operator=(ObjectAttributes&& other) noexcept {
    if (this != &other) {
        destroy();
        new (this) ObjectAttributes(std::move(other));
    }
    return *this;
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

void ObjectAttributes::place(size_t count, PyValue value, Spill room) noexcept {
    if (count < kInlineValues) {
        new (inline_values() + count) PyValue(std::move(value));
        return;
    }
    if (count == kInlineValues) {
        // The last inline value moves to the new array, whose handle takes
        // its place.
        relocate(inline_values() + kSpillFrom, room.values, 1);
        new (room.values + 1) PyValue(std::move(value));
        new (&spill()) Spill(room);
        return;
    }
    Spill& current = spill();
    size_t spilled = count - kSpillFrom;
    if (room.values != nullptr) {
        relocate(current.values, room.values, spilled);
        free_values(current.values);
        current = room;
    }
    new (current.values + spilled) PyValue(std::move(value));
}

std::optional<PyValue> ObjectAttributes::set(AttrName name, PyObject* key, PyValue value) {
    size_t pos = layout_->find_str(key);
    if (pos == AttrLayout::kNotFound)
        pos = layout_->find(name);
    size_t count = size();
    if (pos != AttrLayout::kNotFound) {
        PyValue* stored = slot(pos, count);
        std::optional<PyValue> old(std::move(*stored));
        *stored = std::move(value);
        return old;
    }
    // What can fail comes first: room for the value, then the next layout.
    size_t needed = 0;
    if (count >= kInlineValues) {
        // The values past the inline ones, with the new one.
        size_t spilled = count + 1 - kSpillFrom;
        if (count == kInlineValues || spill_capacity(spilled) != spill_capacity(spilled - 1))
            needed = spill_capacity(spilled);
    }
    RawValues room(needed);
    AttrLayout* next = next_layout(name, key);
    Spill handle{room.values};
    room.release();
    place(count, std::move(value), handle);
    layout_ = next;  // a shared layout left behind stays; a private one grew in place
    return std::nullopt;
}

const PyValue* ObjectAttributes::find_spilled_by_str(PyObject* str) const {
    if (size() <= kInlineValues)
        return nullptr;
    for (size_t pos = kSpillFrom; pos < size(); ++pos) {
        if (layout_->str(pos) == str)
            return spill().values + (pos - kSpillFrom);
    }
    return nullptr;
}

size_t ObjectAttributes::spilled_bytes() const {
    size_t bytes =
        size() > kInlineValues ? spill_capacity(size() - kSpillFrom) * sizeof(PyValue) : 0;
    for (size_t pos = 0; pos < size(); ++pos)
        bytes += value(pos).boxed_bytes();
    return bytes;
}

void ObjectAttributes::validate() const {
    layout_->validate();
    size_t count = size();
    if (count > kInlineValues && spill().values == nullptr)
        panic("object attributes: spilled values without an array");
    for (size_t pos = 0; pos < count; ++pos) {
        if (value(pos).obj() == nullptr)
            panic("object attributes: a value is not set");
    }
}

}  // namespace vorlane
