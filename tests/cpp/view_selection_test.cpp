#include "engine/view_selection.hpp"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace vorlane {
namespace {

// A listed selection keeps its list and builds one bitmap of it, however
// many threads ask at once; a move takes both along.
TEST(ViewSelection, BuildsOneBitmapOfItsList) {
    const std::vector<uint32_t> ids{3, 70000, 70001, 1u << 31};
    ViewSelection selection{std::vector<uint32_t>(ids)};
    ASSERT_TRUE(selection.listed());
    EXPECT_EQ(std::vector<uint32_t>(selection.listed()->begin(), selection.listed()->end()), ids);
    std::vector<const Bitmap*> seen(4);
    std::vector<std::thread> threads;
    for (size_t t = 0; t < seen.size(); ++t)
        threads.emplace_back([&, t] { seen[t] = &selection.bitmap(); });
    for (std::thread& thread : threads)
        thread.join();
    for (const Bitmap* bitmap : seen)
        EXPECT_EQ(bitmap, seen.front());
    EXPECT_EQ(seen.front()->to_vector(), ids);

    ViewSelection moved = std::move(selection);
    EXPECT_EQ(&moved.bitmap(), seen.front());
    EXPECT_TRUE(selection.bitmap().is_empty());  // NOLINT(bugprone-use-after-move)
    EXPECT_FALSE(ViewSelection(Bitmap::of(ids)).listed());
}

}  // namespace
}  // namespace vorlane
