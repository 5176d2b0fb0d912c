#pragma once
// Attribute layouts: the names of an object's attributes, in order.
//
// An object keeps only its values, in the order of its layout; the layout
// says which name each position holds. Objects that got the same names in
// the same order share one layout. Shared layouts form a tree rooted at the
// empty layout: the child of a layout by a name is that layout with the name
// appended, made once and found again by every object that takes the same
// step (the same keyword arguments, the same assignments). A shared layout is
// immutable and lives as long as the process.
//
// The tree is bounded (`kMaxSharedLayouts` layouts of at most
// `kMaxSharedNames` names): past that, an object gets a private layout of its
// own, which grows in place and is freed with the object, so a program that
// makes up names without end does not grow the tree without end.
//
// Beside each name a layout keeps a str of exactly that text (a strong
// reference; interned in shared layouts). Attribute reads in code pass the
// interned str of the name, so most look-ups end at a pointer comparison.
//
// Layouts are made and freed only while attached to the interpreter; their
// names may be read detached by whoever holds the object they belong to.

#include <Python.h>

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "engine/attr_name.hpp"
#include "py/identity_slot.hpp"
#include "py/ref.hpp"

namespace vorlane {

// How many of a layout's first names an attribute read compares with no
// call and no bound to load (see `AttrLayout::find_first_str`). Records
// mostly have a handful of attributes; the others are found by the layout's
// table of strs.
inline constexpr size_t kFirstNames = 6;

class AttrLayout {
  public:
    // Bounds of the shared tree. Real programs use a few layouts (one per
    // kind of record and order of construction); past these, layouts are
    // made per object instead of kept for the process.
    static constexpr size_t kMaxSharedLayouts = 10'000;
    static constexpr size_t kMaxSharedNames = 64;
    static constexpr size_t kNotFound = SIZE_MAX;

    // The layout of no names, shared: where every object starts.
    static AttrLayout* empty();

    size_t size() const { return strs_.size(); }
    bool is_shared() const { return shared_; }
    AttrName name(size_t pos) const { return names_[pos]; }
    // The str kept for the name at `pos` (a borrowed reference).
    PyObject* str(size_t pos) const { return strs_[pos]; }

    // Position of the name whose kept str is `str` itself, or `kNotFound`.
    // By identity only: another str of the same text is not found here.
    // A layout of more than `kFirstNames` names probes its table of strs;
    // a shorter one (or one past `kMaxTableNames`) compares them in turn.
    size_t find_str(PyObject* str) const {
        if (!str_table_.empty())
            return find_tabled_str(str);
        PyObject* const* first = strs_.data();
        PyObject* const* last = first + strs_.size();
        for (PyObject* const* at = first; at != last; ++at) {
            if (*at == str)
                return static_cast<size_t>(at - first);
        }
        return kNotFound;
    }
    // As `find_str`, among the first `kFirstNames` names; `kNotFound` for
    // the others. The read path's look-up: a fixed run of pointer compares,
    // with no bound to load.
    size_t find_first_str(PyObject* str) const {
        return find_first_str(str, std::make_index_sequence<kFirstNames>());
    }
    // As `find_str` by the table alone: `kNotFound` also when the layout
    // has no table. With `find_first_str` first, the read path's look-up of
    // every name but those of very wide layouts, with no call and no loop
    // over the names.
    size_t find_tabled_str(PyObject* str) const {
        if (str_table_.empty())
            return kNotFound;
        size_t mask = str_table_.size() - 1;
        for (size_t at = py::identity_slot_masked(str, mask);; at = (at + 1) & mask) {
            uint8_t entry = str_table_[at];
            if (entry == 0)
                return kNotFound;
            if (strs_[entry - 1] == str)
                return entry - 1u;
        }
    }
    // Position of `name`, or `kNotFound`.
    size_t find(AttrName name) const;

    // The shared layout of `layout`'s names followed by `name` (which
    // `layout`, shared, does not hold), made if needed, or null when the
    // tree has no room for it. `key` is the str that named it.
    static AttrLayout* shared_child(AttrLayout* layout, AttrName name, PyObject* key);
    // A private copy of `layout`, owned by the caller (see `release`).
    static AttrLayout* private_copy(const AttrLayout& layout);
    // Appends `name` to this private layout. Strong guarantee: on failure
    // (a str could not be made) the layout is unchanged.
    void append(AttrName name, PyObject* key);
    // Frees a private layout; a shared one stays.
    static void release(AttrLayout* layout);
    // The str a layout keeps for `name` named by `key`: passed as the key of
    // `shared_child` or `append`, it makes them make no Python object, so an
    // object's lock can be held around them.
    static py::Ref key_str(PyObject* key, AttrName name);

    // Checks the invariants (names distinct, each kept str an exact str of
    // its name's text, shared layouts reachable from their parent); throws
    // the internal error on a broken one. For tests.
    void validate() const;
    // Heap bytes of the layout and its lists (not of the strs).
    size_t bytes() const {
        return sizeof(AttrLayout) + strs_.capacity() * sizeof(PyObject*) +
               names_.capacity() * sizeof(AttrName) + str_table_.capacity();
    }

    AttrLayout(const AttrLayout&) = delete;
    AttrLayout& operator=(const AttrLayout&) = delete;

  private:
    explicit AttrLayout(bool shared) : shared_(shared) {}
    ~AttrLayout();

    // Positions kept in the table are stored plus one in a byte (0 marks an
    // empty entry), which bounds the names a table indexes; a layout with
    // more compares its strs in turn.
    static constexpr size_t kMaxTableNames = UINT8_MAX;
    // The table has at least twice as many entries as names: a probe then
    // meets the str or an empty entry within one or two steps on average,
    // and always ends.
    static constexpr size_t kTableLoadInverse = 2;

    template <size_t... Pos>
    size_t find_first_str(PyObject* str, std::index_sequence<Pos...>) const {
        size_t found = kNotFound;
        (void)((first_strs_[Pos] == str ? (found = Pos, true) : false) || ...);
        return found;
    }
    // Entries of the table of a layout of `count` names; 0 for none.
    static size_t table_entries(size_t count) {
        if (count <= kFirstNames || count > kMaxTableNames)
            return 0;
        return std::bit_ceil(count * kTableLoadInverse);
    }
    // Sets `first_strs_` and `str_table_` from `strs_`; after every change
    // of the names. Allocates only when the table's room is short.
    void refresh_str_lookup();

    // Hot first: reads compare these pointers. The kept strs of the first
    // names, null past the last (no str is null, so those places never
    // match); borrowed from `strs_`.
    std::array<PyObject*, kFirstNames> first_strs_{};
    std::vector<PyObject*> strs_;  // strong references
    // Open addressing by the identity of the kept strs (linear probing):
    // each entry is a position plus one, or 0. Empty for layouts of at most
    // `kFirstNames` names, whose reads end at `first_strs_`, and for those
    // past `kMaxTableNames`. Its size is a power of two.
    std::vector<uint8_t> str_table_;
    std::vector<AttrName> names_;
    bool shared_;
};

// The shared layout of a call's keyword names `kwnames` (a tuple of str),
// in order, when it has one: null when a name repeats (two texts that
// cannot be encoded are both the empty name) or the tree is full. Calls
// mostly pass the same name objects each time (a call site's tuple, or the
// keys of rows built from one list of names), so the answer is cached by the
// names' identities, which the cache keeps alive.
AttrLayout* keyword_layout(PyObject* kwnames);

}  // namespace vorlane
