// Unix layer services: exit statuses, memory, image files, log paths, the executable
// search and binding of the GUI library.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "ext/exError.h"
#include "ext/exMemory.h"
#include "ext/exOption.h"
#include "ext/exPrimTable.h"
#include "ext/platform.h"
#include "plat/unxMain.h"
#include "prim/prInQueue.h"

namespace {

TEST(Unix_Exit, StatusIsTheLowByteOrNine) {
  struct Case {
    uint64_t code;
    int status;
  } cases[] = {{0x1207, 7}, {0x400, 9}, {0, 0}, {256, 9}, {300, 44}, {0x20406, 6}, {1ULL << 40, 9}};
  for (const Case& c : cases) EXPECT_EQ(exitStatusFor(c.code), c.status) << c.code;
}

TEST(Unix_Memory, MapsLowWhenAskedAndRoundsToPages) {
  uint64_t page = pdGetPagesize();
  ASSERT_GT(page, 0u);
  uint64_t granted = 0;
  void* p = pdMapMemory(1, 0x10000000, 0, pdProtRead | pdProtWrite, &granted);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(granted, page);
  EXPECT_GE((uint64_t)p, 0x10000000u);
  EXPECT_LT((uint64_t)p, 0x80000000u);  // below 2 GiB for 32-bit addresses in code
  memset(p, 0xAB, granted);
  EXPECT_EQ(pdUnmapMemory(granted, p), 1);
}

// A wanted address that is already taken gives the nearest free place above it, still low
// (the kernel's own choice would lie far above 2 GiB).
TEST(Unix_Memory, OccupiedHintStillMapsAbove) {
  uint64_t granted = 0;
  char* first = (char*)pdMapMemory(1 << 20, 0x30000000, 0, pdProtRead | pdProtWrite, &granted);
  ASSERT_NE(first, nullptr);
  char* second = (char*)pdMapMemory(1 << 20, (uint64_t)first, 0, pdProtRead | pdProtWrite, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_GE(second, first + granted);
  EXPECT_LT((uint64_t)second, 0x80000000u);
  EXPECT_EQ(pdUnmapMemory(1 << 20, second), 1);
  EXPECT_EQ(pdUnmapMemory(granted, first), 1);
}

TEST(Unix_Memory, MoreMemoryAlignsAndGivesBackOnlyWhatItMay) {
  char* a = (char*)pdMoreMemory(100, 0);
  char* b = (char*)pdMoreMemory(100, 0);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ((uint64_t)a % 8, 0u);
  EXPECT_EQ((uint64_t)b % 8, 0u);
  EXPECT_LT(a, b);
  int mapped = -1;
  uint64_t size = 0;
  void* aligned = moreMemory(5000, 0, 0, 4096, pdProtRead | pdProtWrite, &mapped, &size);
  ASSERT_NE(aligned, nullptr);
  EXPECT_EQ((uint64_t)aligned % 4096, 0u);
  EXPECT_EQ(size, 5000u);
  EXPECT_EQ(lessMemory(aligned, 5000, 0), 1);  // a data-segment block is kept, not freed
  void* low = moreMemory(4096, 1, 0x20000001, 0, pdProtRead | pdProtWrite, &mapped, &size);
  ASSERT_NE(low, nullptr);
  EXPECT_EQ(mapped, 1);
  EXPECT_GE((uint64_t)low, 0x20001000u);
  EXPECT_EQ(lessMemory(low, size, 1), 1);
}

TEST(Unix_Memory, ExternalCopies) {
  char src[4] = {1, 2, 3, 4}, dst[4] = {0};
  EXPECT_EQ(pdCopyToExternalHeap(dst, src, 0), 0u);
  EXPECT_EQ(dst[0], 0);
  EXPECT_EQ(pdCopyToExternalHeap(nullptr, src, 4), 0xFFFFFFFFu);
  EXPECT_EQ(pdCopyFromExternalHeap(dst, src, 4), 4u);
  EXPECT_EQ(memcmp(dst, src, 4), 0);
}

// A failed unmap is an Error, not fatal: the report names the source as reports always have.
TEST(Unix_Memory, FailedUnmapIsReportedAndAnswersZero) {
  initError();
  bannerPending = 0;
  testing::internal::CaptureStdout();
  EXPECT_EQ(pdUnmapMemory(4096, reinterpret_cast<void*>(uintptr_t(1))), 0);  // not page aligned
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("src/plat/unxMem.c:"), std::string::npos) << out;
  EXPECT_NE(out.find("couldn't munmap memory.  (see munmap(2))"), std::string::npos) << out;
}

TEST(Unix_ImageFile, SnapshotOpenKeepsOldPermissions) {
  std::string path = testing::TempDir() + "readonly.im";
  FILE* f = fopen(path.c_str(), "w");
  fputs("old", f);
  fclose(f);
  chmod(path.c_str(), 0444);
  int error = -1;
  int64_t fd = pdOpenImage(path.c_str(), pdOpenSnapshot, &error);
  ASSERT_GE(fd, 0) << error;
  EXPECT_EQ(error, 0);
  EXPECT_EQ(pdWrite(fd, "newer", 5, &error), 5);
  EXPECT_EQ(pdCloseImage(fd), 0);
  EXPECT_EQ(pdBlessSnapshot(path.c_str(), 5), 1);
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0444u);
  EXPECT_EQ(st.st_size, 5);
  fd = pdOpenImage((path + ".missing").c_str(), pdOpenRead, &error);
  EXPECT_EQ(fd, -1);
  EXPECT_EQ(error, ENOENT);
  remove(path.c_str());
}

class Unix_LogPath : public ::testing::Test {
 protected:
  void TearDown() override { unsetenv("QZ_LOG_DIR"); }
};

TEST_F(Unix_LogPath, FollowsQZ_LOG_DIR) {
  unsetenv("QZ_LOG_DIR");
  EXPECT_STREQ(adjustOEReportFileName("stack.txt"), "stack.txt");
  setenv("QZ_LOG_DIR", "/tmp/logs", 1);
  EXPECT_STREQ(adjustOEReportFileName("stack.txt"), "/tmp/logs/stack.txt");
}

TEST(Unix_LogPathDeathTest, OverlongDirectoryIsFatal) {
  std::string dir(4090, 'd');
  EXPECT_EXIT(
      {
        setenv("QZ_LOG_DIR", dir.c_str(), 1);
        adjustOEReportFileName("stack.txt");
      },
      testing::ExitedWithCode(9), "");
}

// The search path the cases set, as the test found it.
class Unix_FindInPath : public ::testing::Test {
 protected:
  const char* savedPath = getenv("PATH");
  std::string saved = savedPath != nullptr ? savedPath : "";
  void TearDown() override { setenv("PATH", saved.c_str(), 1); }
};

TEST_F(Unix_FindInPath, SearchesEntriesInOrder) {
  std::string dir = testing::TempDir() + "pathtest";
  mkdir(dir.c_str(), 0777);
  std::string exe = dir + "/tessel-probe";
  FILE* f = fopen(exe.c_str(), "w");
  fclose(f);
  chmod(exe.c_str(), 0755);
  setenv("PATH", ("/nonexistent::" + dir).c_str(), 1);
  const char* found = findInPath("tessel-probe");
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(std::string(found), exe);
  EXPECT_EQ(findInPath("no-such-program-anywhere"), nullptr);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_STREQ(findInPath(exe.c_str()), exe.c_str());
  std::string overlong(5000, 'x');
  EXPECT_EQ(findInPath(overlong.c_str()), nullptr);  // refused, not overflowed
  remove(exe.c_str());
}

// The binding's state, library name and program path the cases set, as the test found them.
class Unix_GUIBinding : public ::testing::Test {
 protected:
  uint32_t savedState = guiBindingState;
  std::string savedLibrary = guiLibraryFilename;
  char* savedProgram = programPath;
  void TearDown() override {
    guiBindingState = savedState;
    memcpy(guiLibraryFilename, savedLibrary.c_str(), savedLibrary.size() + 1);
    programPath = savedProgram;
    unsetenv("TESSEL_TEST_GUI");
  }
};

// The test GUI library records the table it was given and answers what TESSEL_TEST_GUI
// says.
TEST_F(Unix_GUIBinding, BindsOnceAndRetriesAfterAMissingLibrary) {
  guiBindingState = guiUnbound;
  snprintf(guiLibraryFilename, sizeof guiLibraryFilename, "%s", "/nonexistent/gui.so");
  testing::internal::CaptureStderr();
  EXPECT_EQ(loadGUILibrary(), 9u);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("couldn't open /nonexistent/gui.so; "), std::string::npos);
  EXPECT_EQ(guiBindingState, (uint32_t)guiUnbound);
  snprintf(guiLibraryFilename, sizeof guiLibraryFilename, "%s", TESSEL_TEST_GUI_LIBRARY);
  setenv("TESSEL_TEST_GUI", "accept", 1);
  addCPrimitive(915, nullptr, 0);
  EXPECT_EQ(loadGUILibrary(), 0u);
  EXPECT_EQ(guiBindingState, (uint32_t)guiBound);
  EXPECT_STREQ(graphicsPlatformName, "test-gui");
  EXPECT_NE(getPrimEntry(915)->function, 0u) << "the library reached initInput by name";
  EXPECT_EQ(inputQueue.eventSize, 192u);
  EXPECT_EQ(loadGUILibrary(), 0u);  // bound once
  guiBindingState = guiUnbound;
  setenv("TESSEL_TEST_GUI", "refuse", 1);
  EXPECT_EQ(loadGUILibrary(), 19u);
  EXPECT_EQ(guiBindingState, (uint32_t)guiRefused);
  EXPECT_EQ(loadGUILibrary(), 19u);  // final
}

TEST_F(Unix_GUIBinding, DefaultLibraryIsBesideTheProgram) {
  programPath = (char*)"/opt/e/bin/engine";
  EXPECT_STREQ(guiLibraryPath(), "enginegui.so");  // nothing found: the bare name
}

}  // namespace
