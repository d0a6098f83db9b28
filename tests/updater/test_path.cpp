#include "path.h"

#include <gtest/gtest.h>

TEST(BuildPath, JoinsEveryPartWithOneSeparator) {
    EXPECT_EQ(BuildPath("/base", "0000ABCD", ".settings", nullptr), "/base/0000ABCD/.settings");
    EXPECT_EQ(BuildPath("a/", "b", nullptr), "a//b");
    EXPECT_EQ(BuildPath("a", "/b", nullptr), "a//b");
    EXPECT_EQ(BuildPath("only", nullptr), "only");
    EXPECT_EQ(BuildPath("", "x", nullptr), "/x");
    EXPECT_EQ(BuildPath("a", "", "b", nullptr), "a//b");
    EXPECT_EQ(BuildPath(nullptr, nullptr), "");
    EXPECT_EQ(BuildPath("1", "2", "3", "4", "5", "6", "7", "8", "9", "10", "11", "12", nullptr),
              "1/2/3/4/5/6/7/8/9/10/11/12");
    const std::string longPart(5000, 'p');
    EXPECT_EQ(BuildPath("/h", longPart.c_str(), nullptr), "/h/" + longPart);
}
