#include "support/text.h"

#include <gtest/gtest.h>

namespace pedscan {
namespace {

TEST(FileStem, DropsDirectoryAndOnlyTheLastExtension) {
  EXPECT_EQ(FileStem("d/sub/img.01.png"), "img.01");
  EXPECT_EQ(FileStem("imgs\\crowd.day.png"), "crowd.day");
  EXPECT_EQ(FileStem("a\\b/c.jpg"), "c");
  EXPECT_EQ(FileStem("plain.png"), "plain");
}

TEST(FileStem, NameWithoutDotIsTheWholeLastComponent) {
  EXPECT_EQ(FileStem("dir/frames"), "frames");
  EXPECT_EQ(FileStem("frames"), "frames");
  // A dot inside a directory name is not an extension.
  EXPECT_EQ(FileStem("run.v2/frames"), "frames");
}

TEST(Split, KeepsEmptyPieces) {
  EXPECT_EQ(Split("*.png,*.jpg", ','), (std::vector<std::string>{"*.png", "*.jpg"}));
  EXPECT_EQ(Split("a,,b,", ','), (std::vector<std::string>{"a", "", "b", ""}));
  EXPECT_EQ(Split("", ','), (std::vector<std::string>{""}));
}

}  // namespace
}  // namespace pedscan

namespace pedscan {
namespace {

TEST(Text, DirectoryOfAndFileNameSplitAtTheLastSlash) {
  EXPECT_EQ(DirectoryOf("out/run/0440.txt"), "out/run");
  EXPECT_EQ(DirectoryOf("/0440.txt"), "/");
  EXPECT_EQ(DirectoryOf("0440.txt"), ".");
  EXPECT_EQ(FileName("out/run/0440.txt"), "0440.txt");
  EXPECT_EQ(FileName("0440.txt"), "0440.txt");
}

}  // namespace
}  // namespace pedscan
