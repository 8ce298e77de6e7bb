// Image files written through the platform layer: a snapshot replaces its target only
// when it is whole, and never replaces anything but a regular file.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "ext/platform.h"

namespace {

namespace fs = std::filesystem;

std::string contentsOf(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<std::string> namesIn(const fs::path& dir) {
  std::vector<std::string> names;
  for (const fs::directory_entry& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
  return names;
}

fs::path freshDir(const char* name) {
  fs::path dir = fs::path(testing::TempDir()) / name;
  fs::remove_all(dir);
  fs::create_directories(dir);
  return dir;
}

// A good write replaces an old file or makes a new one, and leaves nothing else behind.
TEST(ImageFile_Snapshot, ReplacesWholeAndLeavesNoTemporaryFile) {
  fs::path dir = freshDir("snapok");
  for (bool existed : {true, false}) {
    fs::path target = dir / "a.im";
    fs::remove(target);
    if (existed) std::ofstream(target, std::ios::binary) << "the old image, longer than the new";
    int error = -1;
    int64_t fd = pdOpenImage(target.string().c_str(), pdOpenSnapshot, &error);
    ASSERT_GE(fd, 0) << error;
    EXPECT_EQ(pdWrite(fd, "new ", 4, &error), 4);
    EXPECT_EQ(pdWrite(fd, "image", 5, &error), 5);
    if (existed) {
      EXPECT_EQ(contentsOf(target), "the old image, longer than the new");  // not yet replaced
    }
    EXPECT_EQ(pdCloseImage(fd), 0);
    EXPECT_EQ(contentsOf(target), "new image") << existed;
    EXPECT_EQ(namesIn(dir), std::vector<std::string>{"a.im"}) << existed;
  }
  fs::remove_all(dir);
}

// A directory in the target's place is refused before anything is written.
TEST(ImageFile_Snapshot, RefusesANonRegularTarget) {
  fs::path dir = freshDir("snapdir");
  fs::path target = dir / "b.im";
  fs::create_directory(target);
  int error = 0;
  EXPECT_LT(pdOpenImage(target.string().c_str(), pdOpenSnapshot, &error), 0);
  EXPECT_NE(error, 0);
  EXPECT_TRUE(fs::is_directory(target));
  EXPECT_EQ(namesIn(dir), std::vector<std::string>{"b.im"});
  fs::remove_all(dir);
}

}  // namespace
