#include "engine/attr_name.hpp"

#include <gtest/gtest.h>

#include <string>

namespace vorlane {
namespace {

TEST(AttrName, EqualTextsAreOneName) {
    std::string text = "attr_name_test_colour";
    AttrName a = AttrName::intern(text);
    AttrName b = AttrName::intern(std::string(text));
    EXPECT_TRUE(a == b);
    EXPECT_EQ(a.view(), text);
    EXPECT_FALSE(a == AttrName::intern("attr_name_test_size"));
}

TEST(AttrName, FindCreatesNothing) {
    EXPECT_FALSE(AttrName::find("attr_name_test_never_interned").has_value());
    EXPECT_FALSE(AttrName::find("attr_name_test_never_interned").has_value());
    AttrName made = AttrName::intern("attr_name_test_made");
    std::optional<AttrName> found = AttrName::find(std::string("attr_name_test_made"));
    ASSERT_TRUE(found.has_value());
    EXPECT_TRUE(*found == made);
}

TEST(AttrName, AnEmptyViewIsTheEmptyName) {
    AttrName none = AttrName::intern(std::string_view());
    EXPECT_TRUE(none == AttrName::intern(""));
    EXPECT_TRUE(none.view().empty());
    EXPECT_FALSE(none.is_private());
    EXPECT_TRUE(AttrName::intern("_hidden").is_private());
}

TEST(AttrName, UnheldNamesAreNoInternedName) {
    std::string_view text = "attr_name_test_query_only";
    AttrName unheld = AttrName::unheld(&text);
    EXPECT_EQ(unheld.view(), text);
    EXPECT_TRUE(unheld == AttrName::unheld(&text));
    // Neither an unheld name nor the absent one enters the table.
    EXPECT_FALSE(AttrName::find(text).has_value());
    EXPECT_FALSE(AttrName::absent() == AttrName::intern(""));
    EXPECT_TRUE(AttrName::absent() == AttrName::absent());
    EXPECT_FALSE(AttrName::intern(text) == unheld);
}

}  // namespace
}  // namespace vorlane
