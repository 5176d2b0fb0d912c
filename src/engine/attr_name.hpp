#pragma once
// Attribute names, interned.
//
// Every attribute name the module sees is interned once for the life of the
// process, so an object's attribute list and an index's attribute table hold
// one pointer per name, and names compare and hash by identity. Interning is
// by the name's UTF-8 bytes.

#include <cstddef>
#include <functional>
#include <optional>
#include <string_view>

namespace vorlane {

class AttrName {
  public:
    static AttrName intern(std::string_view text);
    // The name of `text` if it was ever interned; nothing otherwise (no name
    // is created, so looking up arbitrary texts does not grow the table).
    static std::optional<AttrName> find(std::string_view text);

    std::string_view view() const { return *text_; }
    // Names beginning with "_" are kept on objects but left out of indexes
    // by additions, updates and in-place reduction.
    bool is_private() const { return !text_->empty() && text_->front() == '_'; }

    bool operator==(const AttrName& other) const { return text_ == other.text_; }
    const void* identity() const { return text_; }

    template <typename H>
    friend H AbslHashValue(H h, const AttrName& name) {
        return H::combine(std::move(h), name.text_);
    }

  private:
    explicit AttrName(const std::string_view* text) : text_(text) {}
    const std::string_view* text_;
};

}  // namespace vorlane

template <>
struct std::hash<vorlane::AttrName> {
    size_t operator()(const vorlane::AttrName& name) const {
        return std::hash<const void*>()(name.identity());
    }
};
