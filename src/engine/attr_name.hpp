#pragma once
// Attribute names, interned.
//
// Every attribute name an object carries is interned once for the life of
// the process, so an object's layout and an index's attribute table hold one
// pointer per name, and names compare and hash by identity. Interning is by
// the name's UTF-8 bytes.
//
// Names that appear only in queries are not interned: a name no object ever
// carried can match nothing, and a program that queries by made-up names
// would otherwise grow the table without end. Such a query names its
// attribute by an unheld name, equal to no interned one.

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

    // A name outside the table, equal to every copy of itself and to no
    // interned name: no object or index holds it, so a look-up by it finds
    // nothing. `text` (which the caller keeps alive as long as the name is
    // used) is only for printing.
    static AttrName unheld(const std::string_view* text) { return AttrName(text); }
    // The unheld name of no particular text, alive for the process: what a
    // query holds for a name that was never interned once its text is no
    // longer needed.
    static AttrName absent();

    std::string_view view() const { return *text_; }
    // Names beginning with "_" are kept on objects but left out of indexes
    // by additions, updates and in-place reduction.
    bool is_private() const { return !text_->empty() && text_->front() == '_'; }

    // Whether an object may hold this name where an index holding the object
    // does not list it: a private name, or one marked below. Until then,
    // every object of an index that holds it is listed under it, and what
    // the index's map of it gives is what reading the objects would.
    bool may_be_held_unlisted() const;
    // Marks that some object of an index gained this name without the
    // index listing it (an index lists the names an object had when it
    // came). For the life of the process.
    void mark_held_unlisted() const;

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
