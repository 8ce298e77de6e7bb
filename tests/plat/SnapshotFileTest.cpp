// Snapshot files on Unix: the new file is unnamed while it is written where the file system
// allows, else named so that the next save can remove what a killed one left; the
// terminating signals remove it before their default action; devices are written in place.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "ext/platform.h"
#include "plat/unxMain.h"
#include "support/testFiles.h"

namespace {

namespace fs = std::filesystem;

class Unix_SnapshotFile : public ::testing::TestWithParam<int> {
 protected:
  fs::path dir, target;
  void SetUp() override {
    snapshotUnnamedFiles = GetParam();
    dir = fs::path(testing::TempDir()) / ("snapfiles" + std::to_string(GetParam()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    target = dir / "t.im";
    std::ofstream(target, std::ios::binary) << "old image";
  }
  void TearDown() override {
    snapshotUnnamedFiles = 1;
    fs::remove_all(dir);
  }
  int64_t open(int* error) { return pdOpenImage(target.c_str(), pdOpenSnapshot, error); }
};

// While it is written the new file has no name (unnamed files, where the file system has
// them) or "t.im.saving-" and six letters or digits; either way the target alone remains
// after the blessing.
TEST_P(Unix_SnapshotFile, NewFileNamedOnlyWhereItMustBe) {
  int probe = ::open(dir.c_str(), O_TMPFILE | O_WRONLY, 0600);
  if (probe >= 0) close(probe);
  int error = 0;
  int64_t fd = open(&error);
  ASSERT_GE(fd, 0) << error;
  EXPECT_EQ(pdWrite(fd, "new image", 9, &error), 9);
  std::vector<std::string> during = namesIn(dir);
  if (GetParam() && probe >= 0) {
    EXPECT_EQ(during, std::vector<std::string>{"t.im"});
  } else {
    ASSERT_EQ(during.size(), 2u);
    EXPECT_TRUE(during[1].rfind("t.im.saving-", 0) == 0 && during[1].size() == 18) << during[1];
  }
  EXPECT_EQ(pdCloseImage(fd), 0);
  EXPECT_EQ(pdBlessSnapshot(target.c_str(), 9), 1);
  EXPECT_EQ(fileText(target), "new image");
  EXPECT_EQ(namesIn(dir), std::vector<std::string>{"t.im"});
}

// A killed save's file (no lock on it) goes with the next save to the same target; a file a
// live writer locks stays, and so do names of another form or of another target.
TEST_P(Unix_SnapshotFile, NextSaveRemovesOnlyWhatNoWriterHolds) {
  const char* kept[] = {"t.im.saving-live01", "t.im.saving-Ab12", "t.im.savingAb12Cd", "u.im.saving-Ab12Cd"};
  for (const char* name : kept) std::ofstream(dir / name) << "x";
  std::ofstream(dir / "t.im.saving-Ab12Cd") << "left by a killed save";
  int live = ::open((dir / "t.im.saving-live01").c_str(), O_RDONLY);
  ASSERT_GE(live, 0);
  ASSERT_EQ(flock(live, LOCK_EX), 0);
  int error = 0;
  int64_t fd = open(&error);
  ASSERT_GE(fd, 0) << error;
  EXPECT_EQ(pdWrite(fd, "new", 3, &error), 3);
  EXPECT_EQ(pdCloseImage(fd), 0);
  EXPECT_EQ(pdBlessSnapshot(target.c_str(), 3), 1);
  close(live);
  std::vector<std::string> want(std::begin(kept), std::end(kept));
  want.push_back("t.im");
  std::sort(want.begin(), want.end());
  EXPECT_EQ(namesIn(dir), want);
}

// Each terminating signal that arrives while the file is written, or after its close and
// before its blessing, ends the process by its default action with the old target alone in
// the directory; an ignored one stays ignored, and after the save the default is back.
TEST_P(Unix_SnapshotFile, TerminatingSignalsRemoveTheFileFirst) {
  for (int signal : {SIGTERM, SIGINT, SIGQUIT, SIGUSR1, SIGUSR2}) {
    for (bool closed : {false, true}) {
      SCOPED_TRACE(testing::Message() << "signal " << signal << (closed ? " after the close" : " while writing"));
      pid_t pid = fork();
      if (pid == 0) {
        struct rlimit none = {0, 0};
        setrlimit(RLIMIT_CORE, &none);  // SIGQUIT's default action would write one
        std::signal(signal, SIG_DFL);
        int error = 0;
        int64_t fd = open(&error);
        if (fd < 0 || pdWrite(fd, "new image", 9, &error) != 9) _exit(3);
        if (closed && pdCloseImage(fd) != 0) _exit(4);
        raise(signal);
        _exit(5);
      }
      int status = 0;
      ASSERT_EQ(waitpid(pid, &status, 0), pid);
      EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << status;
      EXPECT_EQ(namesIn(dir), std::vector<std::string>{"t.im"});
      EXPECT_EQ(fileText(target), "old image");
    }
  }
  pid_t pid = fork();
  if (pid == 0) {
    std::signal(SIGTERM, SIG_IGN);
    int error = 0;
    int64_t fd = open(&error);
    if (fd < 0 || pdWrite(fd, "new image", 9, &error) != 9) _exit(3);
    raise(SIGTERM);
    if (pdCloseImage(fd) != 0 || pdBlessSnapshot(target.c_str(), 9) != 1) _exit(4);
    std::signal(SIGTERM, SIG_DFL);
    fd = open(&error);
    struct sigaction during, after;
    sigaction(SIGTERM, nullptr, &during);
    pdDiscardSnapshot(fd);
    pdCloseImage(fd);
    sigaction(SIGTERM, nullptr, &after);
    _exit(during.sa_handler != SIG_DFL && after.sa_handler == SIG_DFL ? 0 : 5);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(fileText(target), "new image");
  EXPECT_EQ(namesIn(dir), std::vector<std::string>{"t.im"});
}

INSTANTIATE_TEST_SUITE_P(UnnamedAndNamed, Unix_SnapshotFile, ::testing::Values(1, 0));

// A device is written where it is: a full one answers ENOSPC at the write and again at the
// close, a sink takes the image and stays a device.
TEST(Unix_SnapshotDevice, WrittenInPlace) {
  struct Case {
    const char* path;
    int writeError;
  } cases[] = {{"/dev/full", ENOSPC}, {"/dev/null", 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    int error = -1;
    int64_t fd = pdOpenImage(c.path, pdOpenSnapshot, &error);
    ASSERT_GE(fd, 0) << error;
    EXPECT_EQ(pdWrite(fd, "image", 5, &error), c.writeError != 0 ? -1 : 5);
    EXPECT_EQ(error, c.writeError);
    EXPECT_EQ(pdCloseImage(fd), c.writeError);
    EXPECT_EQ(pdBlessSnapshot(c.path, 5), c.writeError == 0 ? 1 : 0);
    struct stat st;
    ASSERT_EQ(stat(c.path, &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));
  }
}

}  // namespace
