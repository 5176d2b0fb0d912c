#pragma once
// The attributes of one object: its layout (the names, see attr_layout.hpp)
// and its values, in layout order.
//
// Up to `kInlineValues` values live inside the object. A wider object keeps
// the first `kInlineValues - 1` inside and the rest in one heap array, whose
// pointer takes the place of the last inline value (the array's room
// follows from the object's count of values). An object
// with a shared layout owns only its values; a private layout is owned by
// the object too.
//
// Everything that reads an object's attributes (reads, assignment, adding
// to and removing from indexes, pickling, listing) goes through this class.
// It needs no interpreter to be read; it is changed attached only.

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <new>
#include <optional>
#include <span>

#include "engine/attr_name.hpp"
#include "py/attr_layout.hpp"
#include "py/value.hpp"

namespace vorlane {

class ObjectAttributes {
  public:
    // Values inside the object. Most records carry a handful of attributes;
    // wider ones keep the rest in a heap array.
    static constexpr size_t kInlineValues = kInlineAttributeValues;

    // One attribute, as iteration yields it.
    struct Entry {
        AttrName name;
        const PyValue& value;
    };

    ObjectAttributes() noexcept : layout_(AttrLayout::empty()) {}
    // The values of the names of `layout`, converted in place from the
    // borrowed `objects` (one per name; see `PyValue::from_borrowed`). On a
    // failed conversion nothing is kept.
    ObjectAttributes(AttrLayout* layout, std::span<PyObject* const> objects);
    ~ObjectAttributes();
    ObjectAttributes(ObjectAttributes&& other) noexcept;
    ObjectAttributes& operator=(ObjectAttributes&& other) noexcept;
    ObjectAttributes(const ObjectAttributes&) = delete;
    ObjectAttributes& operator=(const ObjectAttributes&) = delete;

    size_t size() const { return layout_->size(); }
    const AttrLayout& layout() const { return *layout_; }
    AttrName name(size_t pos) const { return layout_->name(pos); }
    const PyValue& value(size_t pos) const {
        if (pos < kSpillFrom || size() <= kInlineValues)
            return inline_values()[pos];
        return spill().values[pos - kSpillFrom];
    }

    // The value named by the very str the layout keeps for its name, or null
    // (see `AttrLayout::find_str`): among the values kept inside, with no
    // call (the attribute read's look-up), or among the others.
    const PyValue* find_inline_by_str(PyObject* str) const {
        size_t pos = layout_->find_inline_str(str);
        return pos == AttrLayout::kNotFound ? nullptr : inline_values() + pos;
    }
    const PyValue* find_spilled_by_str(PyObject* str) const;

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

    // Heap bytes of the values past the inline ones and of the boxed
    // records of values whose hash is kept (see `PyValue`).
    size_t spilled_bytes() const;
    // Heap bytes of a private layout (none for a shared one).
    size_t private_layout_bytes() const { return layout_->is_shared() ? 0 : layout_->bytes(); }
    // Checks the layout and that every value is set; for tests.
    void validate() const;

  private:
    // Where the heap array begins, once there is one: the position whose
    // inline room it takes.
    static constexpr size_t kSpillFrom = kInlineValues - 1;
    // The heap array of values from `kSpillFrom` on.
    struct Spill {
        PyValue* values;
    };
    static_assert(sizeof(Spill) <= sizeof(PyValue), "the array's handle takes one value's room");

    const PyValue* inline_values() const {
        return std::launder(reinterpret_cast<const PyValue*>(storage_));
    }
    PyValue* inline_values() { return std::launder(reinterpret_cast<PyValue*>(storage_)); }
    const Spill& spill() const {
        return *std::launder(
            reinterpret_cast<const Spill*>(storage_ + kSpillFrom * sizeof(PyValue)));
    }
    Spill& spill() {
        return *std::launder(reinterpret_cast<Spill*>(storage_ + kSpillFrom * sizeof(PyValue)));
    }
    // Where the value at `pos` lives while the object holds `count` values.
    PyValue* slot(size_t pos, size_t count) {
        if (pos < kSpillFrom || count <= kInlineValues)
            return inline_values() + pos;
        return spill().values + (pos - kSpillFrom);
    }
    // The layout after `name` is appended. May fail; the object is then
    // unchanged.
    AttrLayout* next_layout(AttrName name, PyObject* key);
    // Stores `value` at position `count` (the object holding `count` values
    // so far), moving the spilled values into `room` when it is given (the
    // caller allocated it beforehand); cannot fail.
    void place(size_t count, PyValue value, Spill room) noexcept;
    void destroy() noexcept;

    AttrLayout* layout_;
    // Values at positions below `size()` are constructed (see `slot`).
    alignas(PyValue) unsigned char storage_[kInlineValues * sizeof(PyValue)];
};

}  // namespace vorlane
