#include "support/directory.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "run_command.h"

namespace pedscan {
namespace {

using testutil::TempDir;

TEST(ListFiles, RegularFilesMatchingTheMaskInByteOrderWhateverTheirCase) {
  TempDir dir;
  for (const char* name : {"b.png", "A.PNG", "c.jpg", "a.png.txt"}) dir.WriteFile(name, "x");
  dir.MakeDir("d.png");  // a directory is never listed
  const std::string d = dir.path();
  EXPECT_EQ(ListFiles(d, "*.png"), (std::vector<std::string>{d + "/A.PNG", d + "/b.png"}));
  EXPECT_EQ(ListFiles(d, "?.jpg"), (std::vector<std::string>{d + "/c.jpg"}));
  EXPECT_EQ(ListFiles(d, "*").size(), 4u);
  EXPECT_TRUE(ListFiles(dir.File("missing"), "*").empty());
}

}  // namespace
}  // namespace pedscan
