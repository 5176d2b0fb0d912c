#include "py/attr_layout.hpp"

#include <absl/container/flat_hash_map.h>

#include <array>
#include <atomic>
#include <cstring>
#include <memory>
#include <string_view>
#include <utility>

#include "engine/panic.hpp"
#include "py/attached_lock.hpp"
#include "py/errors.hpp"
#include "py/identity_slot.hpp"
#include "py/name_cache.hpp"
#include "py/ref.hpp"

namespace vorlane {

namespace {

// The shared tree: each step (layout, appended name) to its child.
struct TransitionKey {
    const AttrLayout* parent;
    AttrName name;

    bool operator==(const TransitionKey&) const = default;
    template <typename H>
    friend H AbslHashValue(H h, const TransitionKey& key) {
        return H::combine(std::move(h), key.parent, key.name);
    }
};

struct LayoutTree {
    py::AttachedMutex mutex;
    absl::flat_hash_map<TransitionKey, AttrLayout*> children;
    size_t count = 1;  // the empty layout
};

LayoutTree& tree() {
    static LayoutTree* instance = new LayoutTree();  // never destroyed: its layouts outlive objects
    return *instance;
}

// A str of exactly the text of `name`, to keep beside it. For a shared
// layout, the interned str of that text, so that it is the very str code
// naming the attribute passes: `key` itself when it is interned already,
// else a str of our own, interned (never the caller's str, which interning
// would make immortal). For a private layout, `key` itself when it is an
// exact str of that text (a key that could not be encoded is the empty
// name and is not), else a new str.
py::Ref kept_str(PyObject* key, AttrName name, bool intern) {
    if (key != nullptr && PyUnicode_CheckExact(key) && (!intern || PyUnicode_CHECK_INTERNED(key))) {
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(key, &size);
        if (text == nullptr)
            PyErr_Clear();
        else if (std::string_view(text, size) == name.view())
            return py::Ref::borrow(key);
    }
    std::string_view text = name.view();
    PyObject* str =
        py::check(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    if (intern)
        PyUnicode_InternInPlace(&str);
    return py::Ref::steal(str);
}

}  // namespace

AttrLayout* AttrLayout::empty() {
    static AttrLayout* root = new AttrLayout(true);  // never destroyed, like every shared layout
    return root;
}

AttrLayout::~AttrLayout() {
    for (PyObject* str : strs_)
        Py_DECREF(str);
}

void AttrLayout::refresh_str_lookup() {
    for (size_t pos = 0; pos < kFirstNames; ++pos)
        first_strs_[pos] = pos < strs_.size() ? strs_[pos] : nullptr;
    str_table_.clear();
    size_t entries = table_entries(strs_.size());
    if (entries == 0)
        return;
    str_table_.assign(entries, 0);
    size_t mask = entries - 1;
    for (size_t pos = 0; pos < strs_.size(); ++pos) {
        size_t at = py::identity_slot_masked(strs_[pos], mask);
        while (str_table_[at] != 0)
            at = (at + 1) & mask;
        str_table_[at] = static_cast<uint8_t>(pos + 1);
    }
}

size_t AttrLayout::find(AttrName name) const {
    for (size_t pos = 0; pos < names_.size(); ++pos) {
        if (names_[pos] == name)
            return pos;
    }
    return kNotFound;
}

AttrLayout* AttrLayout::shared_child(AttrLayout* layout, AttrName name, PyObject* key) {
    LayoutTree& shared = tree();
    TransitionKey step{layout, name};
    {
        py::AttachedLock lock(shared.mutex);
        auto found = shared.children.find(step);
        if (found != shared.children.end())
            return found->second;
        if (layout->size() >= kMaxSharedNames || shared.count >= kMaxSharedLayouts)
            return nullptr;
    }
    // Made outside the lock: making the str calls into the interpreter.
    py::Ref str = kept_str(key, name, true);
    // Owned here until the tree takes it, so that a failed allocation on the
    // way leaks nothing (the destructor drops the strs pushed so far).
    auto drop = [](AttrLayout* layout) { delete layout; };  // the destructor is private
    std::unique_ptr<AttrLayout, decltype(drop)> child(new AttrLayout(true), drop);
    child->names_.reserve(layout->size() + 1);
    child->strs_.reserve(layout->size() + 1);
    child->names_ = layout->names_;
    child->names_.push_back(name);
    for (PyObject* parent_str : layout->strs_)
        child->strs_.push_back(Py_NewRef(parent_str));
    child->strs_.push_back(str.release());
    child->refresh_str_lookup();
    AttrLayout* result = nullptr;
    {
        py::AttachedLock lock(shared.mutex);
        auto [slot, inserted] = shared.children.try_emplace(step, child.get());
        if (inserted) {
            ++shared.count;
            result = child.release();
        } else {
            result = slot->second;  // another thread made it meanwhile
        }
    }
    return result;  // a loser is deleted here, outside the lock
}

AttrLayout* AttrLayout::private_copy(const AttrLayout& layout) {
    auto drop = [](AttrLayout* layout) { delete layout; };  // as in `shared_child`
    std::unique_ptr<AttrLayout, decltype(drop)> copy(new AttrLayout(false), drop);
    copy->names_ = layout.names_;
    copy->strs_.reserve(layout.strs_.size());
    for (PyObject* str : layout.strs_)
        copy->strs_.push_back(Py_NewRef(str));
    copy->refresh_str_lookup();
    return copy.release();
}

void AttrLayout::append(AttrName name, PyObject* key) {
    py::Ref str = kept_str(key, name, false);
    names_.reserve(names_.size() + 1);
    strs_.reserve(strs_.size() + 1);
    // With its room reserved, the table is refilled below with no allocation.
    str_table_.reserve(table_entries(strs_.size() + 1));
    names_.push_back(name);
    strs_.push_back(str.release());
    refresh_str_lookup();
}

py::Ref AttrLayout::key_str(PyObject* key, AttrName name) {
    return kept_str(key, name, true);
}

void AttrLayout::release(AttrLayout* layout) {
    if (layout != nullptr && !layout->shared_)
        delete layout;
}

void AttrLayout::validate() const {
    if (names_.size() != strs_.size())
        panic("attribute layout: names and strs differ in number");
    for (size_t pos = 0; pos < names_.size(); ++pos) {
        if (find(names_[pos]) != pos)
            panic("attribute layout: a name appears twice");
        PyObject* str = strs_[pos];
        Py_ssize_t size = 0;
        const char* text =
            PyUnicode_CheckExact(str) ? PyUnicode_AsUTF8AndSize(str, &size) : nullptr;
        if (text == nullptr || std::string_view(text, size) != names_[pos].view())
            panic("attribute layout: a kept str differs from its name");
        if (shared_ && !PyUnicode_CHECK_INTERNED(str))
            panic("attribute layout: a shared layout keeps a str that is not interned");
    }
    for (size_t pos = 0; pos < kFirstNames; ++pos) {
        if (first_strs_[pos] != (pos < strs_.size() ? strs_[pos] : nullptr))
            panic("attribute layout: the first names' strs differ from the names");
    }
    bool tabled = strs_.size() > kFirstNames && strs_.size() <= kMaxTableNames;
    if (tabled != !str_table_.empty())
        panic("attribute layout: the table of strs is missing or not needed");
    for (size_t pos = 0; pos < strs_.size(); ++pos) {
        if (find_str(strs_[pos]) != pos)
            panic("attribute layout: a kept str is not found at its position");
    }
}

// ---------------------------------------------------------------------------
// Layouts of keyword names, cached by the identity of the names themselves.

namespace {

// Call sites are few in a program; one cycling through more only walks
// the tree again, as without a cache.
constexpr size_t kKeywordSlots = 64;

// A call site passes the same tuple of names each time; `Indexable(**row)`
// passes a new tuple per call, holding the dict's keys, which are usually
// the same str objects from row to row (a list of column names, a reader's
// field names). So a slot is found by the names' identities and confirmed
// by comparing them one by one with the names it remembers. It keeps those
// names alive (a strong reference to their tuple), so equal identities mean
// equal texts: an address freed and reused cannot be mistaken for a name.
struct KeywordSlot {
    PyObject* names = nullptr;  // strong reference, or null while empty
    AttrLayout* layout = nullptr;
};

struct KeywordCache {
    std::array<KeywordSlot, kKeywordSlots> slots;
    py::AttachedMutex mutex;
    // The layout the last walk of the tree found. Rows read one by one
    // (`json.loads`, say) bring the same names as new str objects each time,
    // which the slots never know again; their texts are compared with this
    // layout's names before walking. Shared layouts are immutable and never
    // freed, and the one stored was published by the tree's lock, so it is
    // read with no lock.
    std::atomic<AttrLayout*> last_walked{nullptr};
};

KeywordCache& keyword_cache() {
    static KeywordCache* instance = new KeywordCache();  // never destroyed, like the layouts
    return *instance;
}

// The slot of a non-empty tuple of names: by its count and the identities of
// its first and last names, which tell most tables' rows apart.
size_t keyword_slot(PyObject* kwnames) {
    Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
    size_t bits = py::identity_bits(PyTuple_GET_ITEM(kwnames, 0)) * 31 +
                  py::identity_bits(PyTuple_GET_ITEM(kwnames, count - 1)) +
                  static_cast<size_t>(count);
    return bits % kKeywordSlots;
}

// Whether `a` and `b` hold the same name objects in the same order.
bool same_names(PyObject* a, PyObject* b) {
    if (a == b)
        return true;
    Py_ssize_t count = PyTuple_GET_SIZE(a);
    if (PyTuple_GET_SIZE(b) != count)
        return false;
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (PyTuple_GET_ITEM(a, i) != PyTuple_GET_ITEM(b, i))
            return false;
    }
    return true;
}

// Whether every name of `kwnames` is an exact str. Only such names are kept
// by the cache: a str subclass's instance may carry state and a finalizer of
// its own, whose lifetime a cache should not stretch.
bool all_exact_strs(PyObject* kwnames) {
    Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (!PyUnicode_CheckExact(PyTuple_GET_ITEM(kwnames, i)))
            return false;
    }
    return true;
}

// Whether `key` is a str of the very text of `kept`, a str a layout keeps.
// Texts are compared in place: a str holds its text in the narrowest form
// that fits it, so equal texts have the same kind and length. A key that
// cannot be encoded never equals a kept str, whose text always can.
bool same_text(PyObject* key, PyObject* kept) {
    if (key == kept)
        return true;
    if (!PyUnicode_Check(key))
        return false;
    Py_ssize_t length = PyUnicode_GET_LENGTH(kept);
    int kind = PyUnicode_KIND(kept);
    return PyUnicode_GET_LENGTH(key) == length && PyUnicode_KIND(key) == kind &&
           std::memcmp(PyUnicode_DATA(key), PyUnicode_DATA(kept),
                       static_cast<size_t>(length) * static_cast<size_t>(kind)) == 0;
}

// Whether `kwnames` are the names of `layout`, by text and in order: the
// layout a walk by them would find.
bool same_texts(PyObject* kwnames, const AttrLayout& layout) {
    Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
    if (static_cast<size_t>(count) != layout.size())
        return false;
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (!same_text(PyTuple_GET_ITEM(kwnames, i), layout.str(static_cast<size_t>(i))))
            return false;
    }
    return true;
}

// Walks the tree from the empty layout by the names of `kwnames`.
AttrLayout* walk_keywords(PyObject* kwnames) {
    AttrLayout* layout = AttrLayout::empty();
    Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < count && layout != nullptr; ++i) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, i);
        if (!PyUnicode_Check(key))
            return nullptr;
        AttrName name = py::interned_name(key);
        if (layout->find(name) != AttrLayout::kNotFound)
            return nullptr;
        layout = AttrLayout::shared_child(layout, name, key);
    }
    return layout;
}

}  // namespace

AttrLayout* keyword_layout(PyObject* kwnames) {
    KeywordCache& cache = keyword_cache();
    KeywordSlot& slot = cache.slots[keyword_slot(kwnames)];
    {
        py::AttachedLock lock(cache.mutex);
        if (slot.names != nullptr && same_names(slot.names, kwnames))
            return slot.layout;
    }
    // Names of new objects, as the last walk's: found again with no walk,
    // and not remembered by identity (they will not come again).
    AttrLayout* last = cache.last_walked.load(std::memory_order_acquire);
    if (last != nullptr && same_texts(kwnames, *last))
        return last;
    AttrLayout* layout = walk_keywords(kwnames);
    if (layout == nullptr)
        return layout;
    cache.last_walked.store(layout, std::memory_order_release);
    if (!all_exact_strs(kwnames))
        return layout;
    py::Ref replaced;  // dropped after the lock is given back
    {
        py::AttachedLock lock(cache.mutex);
        replaced = py::Ref::steal(slot.names);
        slot.names = Py_NewRef(kwnames);
        slot.layout = layout;
    }
    return layout;
}

}  // namespace vorlane
