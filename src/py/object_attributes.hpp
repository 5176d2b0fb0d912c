#pragma once
// The attributes of one object: its layout (the names, see attr_layout.hpp)
// and its values, in layout order.
//
// The first `kInlineValues` values live inside the object; the rest are in
// one heap array. An object with a shared layout owns only its values; a
// private layout is owned by the object too.
//
// Everything that reads an object's attributes (reads, assignment, adding
// to and removing from indexes, pickling, listing) goes through this class.
// It needs no interpreter to be read; it is changed attached only.

#include <Python.h>

#include <cstddef>
#include <cstdint>
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
    static constexpr size_t kInlineValues = 6;

    // One attribute, as iteration yields it.
    struct Entry {
        AttrName name;
        const PyValue& value;
    };

    ObjectAttributes() noexcept : layout_(AttrLayout::empty()) {}
    // The values of the names of `layout`, in its order, taken from `values`
    // (one per name).
    ObjectAttributes(AttrLayout* layout, std::span<PyValue> values);
    ~ObjectAttributes();
    ObjectAttributes(ObjectAttributes&& other) noexcept;
    ObjectAttributes& operator=(ObjectAttributes&& other) noexcept;
    ObjectAttributes(const ObjectAttributes&) = delete;
    ObjectAttributes& operator=(const ObjectAttributes&) = delete;

    size_t size() const { return layout_->size(); }
    const AttrLayout& layout() const { return *layout_; }
    AttrName name(size_t pos) const { return layout_->name(pos); }
    const PyValue& value(size_t pos) const {
        return pos < kInlineValues ? inline_[pos] : spill_[pos - kInlineValues];
    }

    // The value of `name`, or null.
    const PyValue* find(AttrName name) const {
        size_t pos = layout_->find(name);
        return pos == AttrLayout::kNotFound ? nullptr : &value(pos);
    }
    // The value of the name whose kept str is `str` itself, or null (see
    // `AttrLayout::find_str`): the fast path of a read.
    const PyValue* find_str(PyObject* str) const {
        size_t pos = layout_->find_str(str);
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

    // Heap bytes of the values past the inline ones.
    size_t spilled_bytes() const;
    // Heap bytes of a private layout (none for a shared one).
    size_t private_layout_bytes() const { return layout_->is_shared() ? 0 : layout_->bytes(); }
    // Checks the layout and that every value is set; for tests.
    void validate() const;

  private:
    PyValue& slot(size_t pos) {
        return pos < kInlineValues ? inline_[pos] : spill_[pos - kInlineValues];
    }
    // Makes room for a value at position `size()`.
    void reserve_next();
    void destroy() noexcept;

    AttrLayout* layout_;
    // Values from position `kInlineValues` on; null while there are none.
    // The array's capacity sits in a header before it.
    PyValue* spill_ = nullptr;
    // Values at positions below min(size(), kInlineValues) are constructed.
    union {
        PyValue inline_[kInlineValues];
    };
};

}  // namespace vorlane
