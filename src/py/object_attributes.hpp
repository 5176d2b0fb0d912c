#pragma once
// The attributes of one object: its layout (the names, see attr_layout.hpp)
// and its values, in layout order.
//
// The values live inside the object, in its room: `kInlineValues` slots in
// every object, and as many as it was made with in an `Indexable` made with
// more names (the object is allocated with room for all of them, see
// `room_for`). A name added past the room moves the object to the spilled
// form: one heap array holds the value of position 0 and those past the
// room, and its handle, tagged, takes slot 0. The array records the room it
// was made for; positions 1 to room - 1 stay inside.
//
// The room itself is not stored. An object whose values are all inside and
// that holds `kInlineValues` values or more is taken to be full: its room
// is at least its count (every value is inside), and counting it as exactly
// that only spills a little early an object whose values were cleared and
// set again. So reading a value needs only the tag of slot 0.
//
// An object with a shared layout owns only its values; a private layout is
// owned by the object too.
//
// Everything that reads an object's attributes (reads, assignment, adding
// to and removing from indexes, pickling, listing) goes through this class.
// It needs no interpreter to be read; it is changed attached only.

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <span>

#include "engine/attr_name.hpp"
#include "py/attr_layout.hpp"
#include "py/value.hpp"

namespace vorlane {

class ObjectAttributes {
  public:
    // Values inside every object, whatever it was made with: objects given
    // their names one by one, and subclass instances, whose own fields follow
    // the record.
    static constexpr size_t kInlineValues = 5;

    // One attribute, as iteration yields it.
    struct Entry {
        AttrName name;
        const PyValue& value;
    };

    ObjectAttributes() noexcept : layout_(AttrLayout::empty()) {}
    // The values `converted` (one per name of `layout`) moved into an object
    // whose room holds them all. Their places in `converted` are ended, and
    // must be neither destroyed nor read again (see
    // `ConvertedValues::moved_out`).
    ObjectAttributes(AttrLayout* layout, std::span<PyValue> converted) noexcept;
    // Takes over `other`'s values, into this object's room of `room` values
    // when they fit it (a spilled `other` is gathered inside then), else in
    // `other`'s form, whose room must not exceed `room`.
    ObjectAttributes(ObjectAttributes&& other, size_t room) noexcept;
    ~ObjectAttributes();
    ObjectAttributes(ObjectAttributes&&) = delete;
    ObjectAttributes& operator=(ObjectAttributes&&) = delete;
    ObjectAttributes(const ObjectAttributes&) = delete;
    ObjectAttributes& operator=(const ObjectAttributes&) = delete;

    // The room of an object made with `count` values: all of them, at least
    // `kInlineValues`.
    static size_t room_for(size_t count) { return count > kInlineValues ? count : kInlineValues; }
    // Moves every value into a new holder of the plain room (`kInlineValues`)
    // and leaves this one empty, on the empty layout: for dropping values
    // once a lock is given back.
    std::unique_ptr<ObjectAttributes> take();

    size_t size() const { return layout_->size(); }
    const AttrLayout& layout() const { return *layout_; }
    AttrName name(size_t pos) const { return layout_->name(pos); }
    // `pos` below `size()`.
    const PyValue& value(size_t pos) const { return *locate(pos, spill_of(slot_word())); }
    // The values in layout order when every one is inside the object (it
    // has not spilled), else null: for readers of many objects, which then
    // find a value by its position alone.
    const PyValue* values_inside() const {
        return size() == 0 || spill_of(slot_word()) == nullptr ? inline_values() : nullptr;
    }

    // The value named by the very str the layout keeps for its name (see
    // `AttrLayout::find_str`), in an object that keeps every value inside,
    // among the first names or by the layout's table; else null. The
    // attribute read's look-up, with no call. Slot 0 is read only once a
    // name is found, so a value is held.
    const PyValue* find_inside_by_str(PyObject* str) const {
        size_t pos = layout_->find_first_str(str);
        if (pos == AttrLayout::kNotFound)
            pos = layout_->find_tabled_str(str);
        if (pos == AttrLayout::kNotFound || spill_of(slot_word()) != nullptr)
            return nullptr;
        return inline_values() + pos;
    }
    // As `find_inside_by_str`, among every name and in either form.
    const PyValue* find_by_str(PyObject* str) const {
        size_t pos = layout_->find_str(str);
        return pos == AttrLayout::kNotFound ? nullptr : &value(pos);
    }

    // The value of `name`, or null.
    const PyValue* find(AttrName name) const {
        size_t pos = layout_->find(name);
        return pos == AttrLayout::kNotFound ? nullptr : &value(pos);
    }

    // Stores `value` under `name`, named by the str `key`. Returns the value
    // it replaced, if any, so that the caller can drop it where Python code
    // may run. A new name moves the object to the next layout.
    std::optional<PyValue> set(AttrName name, PyObject* key, PyValue value);

    class Iterator {
      public:
        Iterator(const ObjectAttributes& attrs, size_t pos) : attrs_(&attrs), pos_(pos) {}
        Entry operator*() const { return {attrs_->name(pos_), attrs_->value(pos_)}; }
        Iterator& operator++() {
            ++pos_;
            return *this;
        }
        bool operator==(const Iterator& other) const { return pos_ == other.pos_; }

      private:
        const ObjectAttributes* attrs_;
        size_t pos_;
    };
    Iterator begin() const { return Iterator(*this, 0); }
    Iterator end() const { return Iterator(*this, size()); }

    // Heap bytes of the spilled array and of the boxed records of values
    // whose hash is kept (see `PyValue`).
    size_t spilled_bytes() const;
    // Slots inside the object, as far as it can tell (see above): what a
    // spilled array records, else its count and at least `kInlineValues`.
    size_t room() const {
        const Spill* held = spill();
        return held != nullptr ? held->room : room_for(size());
    }
    // Heap bytes of a private layout (none for a shared one).
    size_t private_layout_bytes() const { return layout_->is_shared() ? 0 : layout_->bytes(); }
    // Checks the layout and that every value is set; for tests.
    void validate() const;

  private:
    // The heap array of the spilled form: position 0's value, then those
    // from `room` on.
    struct Spill {
        size_t room;
        // As many as its capacity (see `spill_capacity`), after the header.
        PyValue* values() { return std::launder(reinterpret_cast<PyValue*>(this + 1)); }
        const PyValue* values() const {
            return std::launder(reinterpret_cast<const PyValue*>(this + 1));
        }
    };
    // Tags slot 0's word when it holds the array: a value's word, an object
    // or a boxed record (8-byte aligned, tagged in bit 0), never has bit 1.
    static constexpr uintptr_t kSpillTag = 2;

    const PyValue* inline_values() const {
        return std::launder(reinterpret_cast<const PyValue*>(storage_));
    }
    PyValue* inline_values() { return std::launder(reinterpret_cast<PyValue*>(storage_)); }
    // Slot 0's word; meaningful only while the object holds a value.
    uintptr_t slot_word() const {
        uintptr_t word;
        std::memcpy(&word, storage_, sizeof(word));
        return word;
    }
    static Spill* spill_of(uintptr_t word) {
        return (word & kSpillTag) == 0 ? nullptr : reinterpret_cast<Spill*>(word & ~kSpillTag);
    }
    // The array while spilled (the object holds a value), else null.
    Spill* spill() const { return size() == 0 ? nullptr : spill_of(slot_word()); }
    // Where the value at `pos` lives, `held` being the array or null.
    PyValue* locate(size_t pos, Spill* held) const {
        if (held == nullptr || (pos != 0 && pos < held->room))
            return const_cast<PyValue*>(inline_values()) + pos;
        return held->values() + (pos == 0 ? 0 : pos - held->room + 1);
    }
    // An array for `spilled` values, made for a room of `room`.
    static Spill* new_spill(size_t room, size_t spilled);
    void set_spill(Spill* spill) {
        uintptr_t word = reinterpret_cast<uintptr_t>(spill) | kSpillTag;
        std::memcpy(storage_, &word, sizeof(word));
    }
    PyValue* slot(size_t pos) { return locate(pos, spill()); }
    // The layout after `name` is appended. May fail; the object is then
    // unchanged.
    AttrLayout* next_layout(AttrName name, PyObject* key);
    // Appends `value` after the `count` values held, into `grown` when it is
    // given (the array the append needs, allocated beforehand); cannot fail.
    void place(size_t count, PyValue value, Spill* grown) noexcept;
    void destroy() noexcept;

    AttrLayout* layout_;
    // Values at positions below `size()` are constructed (see `value`). An
    // object allocated with more room has it right after this array.
    alignas(PyValue) unsigned char storage_[kInlineValues * sizeof(PyValue)];
};

}  // namespace vorlane
