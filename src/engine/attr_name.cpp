#include "engine/attr_name.hpp"

#include <absl/container/flat_hash_map.h>
#include <absl/container/flat_hash_set.h>

#include <cstring>
#include <mutex>
#include <string>

namespace vorlane {

namespace {

// Interned texts live as long as the process: names are few in practice, and
// every object and index refers to them without counting.
struct Interner {
    std::mutex mutex;
    absl::flat_hash_map<std::string_view, const std::string_view*> names;
    // Names marked held unlisted, by their stored text.
    absl::flat_hash_set<const std::string_view*> unlisted;
};

Interner& interner() {
    static Interner* instance = new Interner();  // never destroyed: names outlive every user
    return *instance;
}

const std::string_view* store(std::string_view text) {
    char* bytes = new char[text.size() + 1];
    // An empty view may have no data at all, and memcpy from null is
    // undefined even for no bytes.
    if (!text.empty())
        std::memcpy(bytes, text.data(), text.size());
    bytes[text.size()] = '\0';
    return new std::string_view(bytes, text.size());
}

}  // namespace

AttrName AttrName::intern(std::string_view text) {
    Interner& table = interner();
    std::lock_guard<std::mutex> lock(table.mutex);
    auto found = table.names.find(text);
    if (found != table.names.end())
        return AttrName(found->second);
    const std::string_view* stored = store(text);
    table.names.emplace(*stored, stored);
    return AttrName(stored);
}

AttrName AttrName::absent() {
    static const std::string_view text;
    return AttrName(&text);
}

bool AttrName::may_be_held_unlisted() const {
    if (is_private())
        return true;
    Interner& table = interner();
    std::lock_guard<std::mutex> lock(table.mutex);
    return table.unlisted.contains(text_);
}

void AttrName::mark_held_unlisted() const {
    Interner& table = interner();
    std::lock_guard<std::mutex> lock(table.mutex);
    table.unlisted.insert(text_);
}

std::optional<AttrName> AttrName::find(std::string_view text) {
    Interner& table = interner();
    std::lock_guard<std::mutex> lock(table.mutex);
    auto found = table.names.find(text);
    if (found == table.names.end())
        return std::nullopt;
    return AttrName(found->second);
}

}  // namespace vorlane
