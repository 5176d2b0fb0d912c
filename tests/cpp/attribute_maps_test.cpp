#include "engine/attribute_maps.hpp"

#include <gtest/gtest.h>

#include "engine/hash_query.hpp"
#include "engine_values.hpp"

namespace vorlane {
namespace {

using testing::int_key;
using testing::str_key;

const AttrName kSize = AttrName::intern("size");
const AttrName kColour = AttrName::intern("colour");
const AttrName kPrivate = AttrName::intern("_p");

std::vector<uint32_t> eq_ids(const AttributeMaps& maps, AttrName name, const ValueKey& value) {
    HashQuery query{{name, {value}}};
    return filter_index_by_hashes(maps, query).to_vector();
}

std::vector<uint32_t> tree_ids(const AttributeMaps& maps, AttrName name, int64_t lo, int64_t hi) {
    const QueryMap* map = find_query_map(maps, name);
    if (map == nullptr)
        return {};
    Bitmap all;
    roaring_bitmap_add_range(all.raw(), 0, 1000);
    return map->tree().query_range(Bound::included(lo), Bound::included(hi), all).to_vector();
}

// Ten objects: size = id % 3, colour 100 + id % 2 (a string).
AttributeMaps ten_objects() {
    AttributeMaps maps;
    for (uint32_t id = 0; id < 10; ++id) {
        add_object_values(maps, {id, {{kSize, int_key(id % 3)}, {kColour, str_key(100 + id % 2)}}});
    }
    return maps;
}

TEST(AttributeMaps, MoveLeavesOneEntryAndDropsWhatEmpties) {
    AttributeMaps maps = ten_objects();
    update_index(maps, kSize, int_key(1), int_key(7), 4);
    EXPECT_EQ(eq_ids(maps, kSize, int_key(1)), (std::vector<uint32_t>{1, 7}));
    EXPECT_EQ(eq_ids(maps, kSize, int_key(7)), (std::vector<uint32_t>{4}));
    EXPECT_EQ(tree_ids(maps, kSize, 1, 1), (std::vector<uint32_t>{1, 7}));
    validate_maps(maps);

    // The last holder of an attribute leaving drops its map; the next value
    // starts a fresh one. A private name is left out unless mapped already.
    AttributeMaps one;
    add_index_value(one, 3, kSize, int_key(5));
    remove_index_value(one, kSize, int_key(5), 3);
    EXPECT_TRUE(one.empty());
    update_index(one, kPrivate, int_key(1), int_key(2), 3);
    EXPECT_TRUE(one.empty());
    add_index_value(one, 3, kPrivate, int_key(1));
    update_index(one, kPrivate, int_key(1), int_key(2), 3);
    EXPECT_EQ(eq_ids(one, kPrivate, int_key(2)), (std::vector<uint32_t>{3}));
    validate_maps(one);
}

TEST(AttributeMaps, MoveAfterNarrowingKeepsSetsAndTreeApart) {
    AttributeMaps maps = ten_objects();
    HybridSet red = HybridSet::from_bitmap(Bitmap::of(std::vector<uint32_t>{0, 2, 4, 6, 8}));
    narrow_value_sets(maps, red);
    EXPECT_EQ(eq_ids(maps, kSize, int_key(1)), (std::vector<uint32_t>{4}));
    // Ranges still see every object.
    EXPECT_EQ(tree_ids(maps, kSize, 1, 1), (std::vector<uint32_t>{1, 4, 7}));
    // Object 1 was narrowed out of the sets; its move still leaves the tree
    // entry of its old value and lists it under the new one.
    update_index(maps, kSize, int_key(1), int_key(9), 1);
    EXPECT_EQ(tree_ids(maps, kSize, 1, 1), (std::vector<uint32_t>{4, 7}));
    EXPECT_EQ(eq_ids(maps, kSize, int_key(9)), (std::vector<uint32_t>{1}));
    validate_maps(maps);
}

TEST(AttributeMaps, UnionRefusesUnstoredIdsAndMergesOtherwise) {
    AttributeMaps receiver = ten_objects();
    AttributeMaps other;
    add_index_value(other, 3, AttrName::intern("weight"), int_key(40));
    add_index_value(other, 12, kSize, int_key(2));
    Bitmap stored;
    roaring_bitmap_add_range(stored.raw(), 0, 10);
    EXPECT_FALSE(union_maps(receiver, other, stored));
    EXPECT_EQ(find_query_map(receiver, AttrName::intern("weight")), nullptr);

    stored.add(12);
    EXPECT_TRUE(union_maps(receiver, other, stored));
    EXPECT_EQ(eq_ids(receiver, AttrName::intern("weight"), int_key(40)),
              (std::vector<uint32_t>{3}));
    EXPECT_EQ(eq_ids(receiver, kSize, int_key(2)), (std::vector<uint32_t>{2, 5, 8, 12}));
    EXPECT_EQ(tree_ids(receiver, kSize, 2, 2), (std::vector<uint32_t>{2, 5, 8, 12}));
    validate_maps(receiver);
    validate_maps(other);
}

void check_same_maps(const AttributeMaps& bulk_maps, const AttributeMaps& single) {
    for (int64_t v = 0; v < 97; v += 13)
        EXPECT_EQ(eq_ids(bulk_maps, kSize, int_key(v)), eq_ids(single, kSize, int_key(v)));
    for (int64_t v = 0; v < 5; ++v)
        EXPECT_EQ(eq_ids(bulk_maps, kColour, str_key(v)), eq_ids(single, kColour, str_key(v)));
    EXPECT_EQ(tree_ids(bulk_maps, kSize, 10, 40), tree_ids(single, kSize, 10, 40));
    validate_maps(bulk_maps);
}

TEST(AttributeMaps, BulkAdditionMatchesOneByOne) {
    // Small batches finish on this thread, large ones on several.
    for (uint32_t objects : {500u, 80'000u}) {
        AttributeMaps bulk_maps;
        AttributeMaps single;
        // A map that holds some already.
        add_index_value(bulk_maps, objects, kSize, int_key(3));
        add_index_value(single, objects, kSize, int_key(3));
        BulkAddition bulk(bulk_maps);
        bulk.add(objects + 1, kSize, int_key(3));
        add_index_value(single, objects + 1, kSize, int_key(3));
        // Large additions gather on several threads; colours start halfway.
        bulk.add_objects(objects, [&](size_t i, BulkShare& share) {
            auto id = static_cast<uint32_t>(i);
            share.add(id, kSize, int_key((id * 7919) % 97));
            if (id >= objects / 2)
                share.add(id, kColour, str_key(id % 5));
        });
        for (uint32_t id = 0; id < objects; ++id) {
            add_index_value(single, id, kSize, int_key((id * 7919) % 97));
            if (id >= objects / 2)
                add_index_value(single, id, kColour, str_key(id % 5));
        }
        bulk.finish();
        check_same_maps(bulk_maps, single);
    }
}

}  // namespace
}  // namespace vorlane
