#pragma once
// Keyword equality: a query of attribute names, each with a set of values,
// selecting the ids that hold, for every name, one of its values.
//
// `HashQuery` is built per call (from a call's keyword arguments) and
// evaluated against an index's attribute maps by `match_hashes`; attributes
// are intersected from the most selective to the least, and evaluation stops
// as soon as nothing is left. Equality uses the value sets only, never the
// ordered trees.

#include <absl/container/flat_hash_set.h>
#include <absl/container/inlined_vector.h>

#include <cstdint>
#include <optional>
#include <span>
#include <variant>

#include "engine/attr_name.hpp"
#include "engine/attribute_maps.hpp"
#include "engine/bitmap.hpp"
#include "engine/value_key.hpp"

namespace vorlane {

// Values and attributes that keyword queries commonly hold, kept inline:
// building a query then allocates nothing.
inline constexpr size_t kInlineQueryValues = 1;
inline constexpr size_t kInlineQueryEntries = 4;

using QueryValues = absl::InlinedVector<ValueKey, kInlineQueryValues>;

struct HashQueryEntry {
    AttrName name;
    // Distinct keys (equal stored hashes collapse), in the order first seen.
    QueryValues values;
};
using HashQuery = absl::InlinedVector<HashQueryEntry, kInlineQueryEntries>;

// Keeps the keys added to one entry's values distinct, in the order first seen.
class DistinctKeys {
  public:
    explicit DistinctKeys(QueryValues& keys) : keys_(keys) {}
    void add(const ValueKey& key);

  private:
    // Up to this many values, a duplicate is found by scanning them; beyond
    // it a hash set of the keys seen takes over.
    static constexpr size_t kLinearDistinct = 16;

    QueryValues& keys_;
    std::optional<absl::flat_hash_set<ValueKey, ValueKeyHash>> seen_;
};

// The ids a keyword query selects, in ascending order. When one value set
// of the maps answers the query alone it is borrowed, not copied: a match
// is valid only while the maps' read lock that produced it is held.
class HashMatch {
  public:
    // Ids of a small result, kept inline: as many as are ever probed.
    static constexpr size_t kInlineIds = 64;
    using FewIds = absl::InlinedVector<uint32_t, kInlineIds>;

    static HashMatch borrowed(const Bitmap& ids) { return HashMatch(&ids); }
    static HashMatch owned(Bitmap ids) { return HashMatch(std::move(ids)); }
    // `ids` ascending and distinct.
    static HashMatch few(FewIds ids) { return HashMatch(std::move(ids)); }
    static HashMatch none() { return HashMatch(Ids(std::in_place_type<FewIds>)); }

    uint64_t cardinality() const;
    // Calls `f(std::span<const uint32_t>)` with consecutive runs of the ids,
    // of at most `Block` ids where they come from a bitmap.
    template <uint32_t Block = Bitmap::kReadBlock, typename F>
    void for_each_block(F&& f) const {
        if (const FewIds* few = std::get_if<FewIds>(&ids_)) {
            if (!few->empty())
                f(std::span<const uint32_t>(few->data(), few->size()));
        } else {
            bitmap().for_each_block<Block>(f);
        }
    }
    // The ids in a bitmap of the caller's own.
    Bitmap to_bitmap() &&;
    // Writes the ids, ascending, to `out`, which holds exactly `cardinality()`.
    void write_to(std::span<uint32_t> out) const;

  private:
    using Ids = std::variant<const Bitmap*, Bitmap, FewIds>;
    explicit HashMatch(Ids ids) : ids_(std::move(ids)) {}
    const Bitmap& bitmap() const;

    Ids ids_;
};

// Ids holding, for every attribute of the query, one of its values. An
// attribute or value the maps do not hold matches nothing; no keywords match
// nothing.
HashMatch match_hashes(const AttributeMaps& maps, const HashQuery& query);
// The same ids, as a bitmap of the caller's own.
Bitmap filter_index_by_hashes(const AttributeMaps& maps, const HashQuery& query);

}  // namespace vorlane
