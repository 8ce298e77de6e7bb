// Image files written through the platform layer: a snapshot replaces its target only
// when it is whole, a refused one answers its cause's error number, and the next save
// removes what a killed one left.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "ext/platform.h"
#include "support/platformErrors.h"
#include "support/testFiles.h"

namespace {

namespace fs = std::filesystem;

fs::path freshDir(const char* name) {
  fs::path dir = fs::path(testing::TempDir()) / name;
  fs::remove_all(dir);
  fs::create_directories(dir);
  return dir;
}

// A good write, closed and blessed, replaces an old file or makes a new one, and leaves
// nothing else behind.
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
      EXPECT_EQ(fileText(target), "the old image, longer than the new");  // not yet replaced
    }
    EXPECT_EQ(pdCloseImage(fd), 0);
    if (existed) {
      EXPECT_EQ(fileText(target), "the old image, longer than the new");  // not before the blessing
    }
    EXPECT_EQ(pdBlessSnapshot(target.string().c_str(), 9), 1);
    EXPECT_EQ(fileText(target), "new image") << existed;
    EXPECT_EQ(namesIn(dir), std::vector<std::string>{"a.im"}) << existed;
  }
  fs::remove_all(dir);
}

// A closed file whose size is not the expected one, or a close never blessed and then
// written again, leaves the old image and nothing else.
TEST(ImageFile_Snapshot, WrongSizeOrNoBlessingKeepsTheOldImage) {
  fs::path dir = freshDir("snapbless");
  fs::path target = dir / "c.im";
  std::ofstream(target, std::ios::binary) << "old";
  for (uint64_t expected : {8ull, 10ull, 0ull}) {
    int error = -1;
    int64_t fd = pdOpenImage(target.string().c_str(), pdOpenSnapshot, &error);
    ASSERT_GE(fd, 0) << error;
    EXPECT_EQ(pdWrite(fd, "new image", 9, &error), 9);
    EXPECT_EQ(pdCloseImage(fd), 0);
    if (expected != 0) {
      EXPECT_EQ(pdBlessSnapshot(target.string().c_str(), expected), 0) << expected;
    }
    EXPECT_EQ(fileText(target), "old") << expected;
  }
  int error = -1;
  int64_t fd = pdOpenImage(target.string().c_str(), pdOpenSnapshot, &error);  // gives up the unblessed one
  ASSERT_GE(fd, 0) << error;
  pdDiscardSnapshot(fd);
  EXPECT_NE(pdCloseImage(fd), 0);
  EXPECT_EQ(pdBlessSnapshot(target.string().c_str(), 0), 0);
  EXPECT_EQ(fileText(target), "old");
  EXPECT_EQ(namesIn(dir), std::vector<std::string>{"c.im"});
  fs::remove_all(dir);
}

// A save refused at its open answers the platform's error number for its cause and leaves
// the directory as it was.
TEST(ImageFile_Snapshot, RefusalsCarryTheirErrorNumber) {
  fs::path dir = freshDir("snaprefused");
  fs::create_directory(dir / "b.im");
  struct Case {
    std::string path;
    int error;
  } cases[] = {{(dir / "b.im").string(), errorIsDirectory}, {(dir / "missing" / "c.im").string(), errorNoPath},
               {"", errorNoPath}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    int error = 0;
    EXPECT_LT(pdOpenImage(c.path.c_str(), pdOpenSnapshot, &error), 0);
    EXPECT_EQ(error, c.error);
    EXPECT_TRUE(fs::is_directory(dir / "b.im"));
    EXPECT_EQ(namesIn(dir), std::vector<std::string>{"b.im"});
  }
  fs::remove_all(dir);
}

// What a killed save left ("<target>.saving-" and six letters or digits) goes with the next
// save to that target; other names stay.
TEST(ImageFile_Snapshot, NextSaveRemovesWhatAKilledSaveLeft) {
  fs::path dir = freshDir("snapleft");
  std::vector<std::string> kept = {"a.im", "a.im.saving-Ab12", "a.im.savingAb12Cd", "b.im.saving-Ab12Cd"};
  for (const std::string& name : kept) std::ofstream(dir / name) << "x";
  std::ofstream(dir / "a.im.saving-Ab12Cd") << "left by a killed save";
  fs::path target = dir / "a.im";
  int error = 0;
  int64_t fd = pdOpenImage(target.string().c_str(), pdOpenSnapshot, &error);
  ASSERT_GE(fd, 0) << error;
  EXPECT_EQ(pdWrite(fd, "new", 3, &error), 3);
  EXPECT_EQ(pdCloseImage(fd), 0);
  EXPECT_EQ(pdBlessSnapshot(target.string().c_str(), 3), 1);
  EXPECT_EQ(namesIn(dir), kept);
  EXPECT_EQ(fileText(target), "new");
  fs::remove_all(dir);
}

}  // namespace

// ---- Reading in pieces ---------------------------------------------------------------------

namespace {

struct HandedPiece {
  uint64_t from, to;
  std::thread::id thread;
  bool whole;  // the buffer held the file's bytes when the piece was handed over
};
std::vector<HandedPiece> handed;
std::mutex handedLock;  // pieces of a large read come from several threads
const uint8_t* expectedAt = nullptr;  // the file's bytes for the buffer's start
uint64_t bufferStart = 0;

void recordPiece(uint64_t from, uint64_t to) {
  bool whole = memcmp(reinterpret_cast<const void*>(from), expectedAt + (from - bufferStart), to - from) == 0;
  std::lock_guard<std::mutex> hold(handedLock);
  handed.push_back({from, to, std::this_thread::get_id(), whole});
}

uint8_t patternByte(uint64_t i) { return uint8_t((i * 2654435761u) >> 13); }

// A body read after a header, shorter and longer than what the platform shares among
// threads, into a buffer off the large-page grid: each piece is handed over once, none longer
// than asked, each holding the file's bytes when it is handed over, and together they cover
// the buffer from its start without a gap up to the bytes answered (a read below the shared
// size hands them over in order on the calling thread); the position then stands after them.
// A file that ends early answers fewer bytes and hands over no piece it did not hold whole.
TEST(ImageFile_ReadInPieces, HandsEveryPieceOverOnce) {
  struct Case {
    uint64_t asked, held, piece;
  } cases[] = {
      {300000, 300000, 65536},
      {pdSharedReadBytes + 3 * 1000003, pdSharedReadBytes + 3 * 1000003, 131072},
      {300000, 200000, 65536},
      {pdSharedReadBytes + (5 << 20), pdSharedReadBytes + (1 << 20) + 17, 131072},
  };
  const uint64_t headerBytes = 1000, huge = uint64_t(2) << 20;
  fs::path dir = freshDir("pieces");
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "asked " << c.asked << " held " << c.held);
    std::vector<uint8_t> file(headerBytes + c.held + 8);
    for (uint64_t i = 0; i < file.size(); i++) file[i] = patternByte(i);
    fs::path path = dir / "p.im";
    {
      std::ofstream out(path, std::ios::binary);
      out.write(reinterpret_cast<const char*>(file.data()), std::streamsize(file.size()));
    }
    std::vector<uint8_t> memory(c.asked + 2 * huge);
    uint64_t aligned = (reinterpret_cast<uint64_t>(memory.data()) + huge - 1) & ~(huge - 1);
    uint8_t* buffer = reinterpret_cast<uint8_t*>(aligned + 4096 + 8);
    memset(buffer, 0xEE, c.asked);
    int error = 0;
    int64_t fd = pdOpenImage(path.string().c_str(), pdOpenRead, &error);
    ASSERT_GE(fd, 0);
    uint8_t header[headerBytes];
    ASSERT_EQ(pdRead(fd, header, headerBytes, &error), int64_t(headerBytes));
    handed.clear();
    expectedAt = file.data() + headerBytes;
    bufferStart = reinterpret_cast<uint64_t>(buffer);
    int64_t n = pdReadInPieces(fd, buffer, c.asked, c.piece, recordPiece, &error);
    EXPECT_EQ(error, 0);
    if (c.held >= c.asked) {
      EXPECT_EQ(n, int64_t(c.asked));
    } else {
      EXPECT_LT(n, int64_t(c.held));
      EXPECT_GE(n, 0);
    }
    bool inOrder = c.asked < pdSharedReadBytes;
    if (!inOrder)
      std::sort(handed.begin(), handed.end(), [](const HandedPiece& a, const HandedPiece& b) { return a.from < b.from; });
    uint64_t at = bufferStart;
    for (const HandedPiece& p : handed) {
      if (p.from - bufferStart >= uint64_t(n)) {  // beyond a short piece: apart, and held whole
        EXPECT_LT(n, int64_t(c.asked));
        EXPECT_GE(p.from, at);
      } else {
        EXPECT_EQ(p.from, at);
      }
      EXPECT_GT(p.to, p.from);
      EXPECT_LE(p.to - p.from, c.piece);
      EXPECT_LE(p.to - bufferStart, c.held);
      if (inOrder) {
        EXPECT_EQ(p.thread, std::this_thread::get_id());
      }
      EXPECT_TRUE(p.whole) << "piece at " << p.from - bufferStart;
      at = p.to;
    }
    uint64_t covered = 0;
    for (const HandedPiece& p : handed)
      if (p.from - bufferStart < uint64_t(n)) covered += p.to - p.from;
    EXPECT_EQ(int64_t(covered), n);
    uint8_t next[8];
    uint64_t nextAt = headerBytes + uint64_t(n);
    EXPECT_EQ(pdRead(fd, next, 8, &error), 8);
    EXPECT_EQ(memcmp(next, file.data() + nextAt, 8), 0) << "the position is not after the pieces";
    pdCloseImage(fd);
  }
  fs::remove_all(dir);
}

// Fresh memory faulted in ahead while the caller fills its top (as the loader reads a table
// there) and a first range apart (as the loader's maps) keeps every byte written; the next
// read in pieces takes the helpers on and fills the rest, and without a read pdEndFillAhead
// lets them go. A read after either works.
TEST(ImageFile_ReadInPieces, FillAheadKeepsWhatTheRangeHolds) {
  const uint64_t readBytes = pdSharedReadBytes + (3 << 20) + 4096, topBytes = (3 << 20) + 40;
  fs::path dir = freshDir("fillahead");
  std::vector<uint8_t> file(readBytes);
  for (uint64_t i = 0; i < file.size(); i++) file[i] = patternByte(i);
  fs::path path = dir / "f.im";
  {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(file.data()), std::streamsize(file.size()));
  }
  for (bool withRead : {true, false, true}) {
    SCOPED_TRACE(withRead ? "read" : "no read");
    uint64_t mapped = 0;
    uint8_t* buffer = static_cast<uint8_t*>(pdMapMemory(readBytes + topBytes, 0, 0, pdProtRead | pdProtWrite, &mapped));
    ASSERT_NE(buffer, nullptr);
    uint64_t firstMapped = 0;
    uint8_t* first = static_cast<uint8_t*>(pdMapMemory(topBytes, 0, 0, pdProtRead | pdProtWrite, &firstMapped));
    ASSERT_NE(first, nullptr);
    uint8_t* top = buffer + readBytes;
    pdFillAhead(buffer, readBytes + topBytes, first, topBytes);
    for (uint64_t i = 0; i < topBytes; i++) top[i] = first[i] = uint8_t(i * 7 + 1);
    int error = 0;
    int64_t fd = pdOpenImage(path.string().c_str(), pdOpenRead, &error);
    ASSERT_GE(fd, 0);
    if (withRead) {
      handed.clear();
      expectedAt = file.data();
      bufferStart = reinterpret_cast<uint64_t>(buffer);
      EXPECT_EQ(pdReadInPieces(fd, buffer, readBytes, 131072, recordPiece, &error), int64_t(readBytes));
      EXPECT_EQ(error, 0);
      EXPECT_EQ(memcmp(buffer, file.data(), readBytes), 0);
      for (const HandedPiece& p : handed) EXPECT_TRUE(p.whole) << "piece at " << p.from - bufferStart;
    } else {
      pdEndFillAhead();
      for (uint64_t i = 0; i < readBytes; i += 4096) ASSERT_EQ(buffer[i], 0) << "at " << i;
    }
    uint64_t wrong = 0;
    for (uint64_t i = 0; i < topBytes; i++) wrong += (top[i] != uint8_t(i * 7 + 1)) + (first[i] != uint8_t(i * 7 + 1));
    EXPECT_EQ(wrong, 0u);
    pdCloseImage(fd);
    pdUnmapMemory(mapped, buffer);
    pdUnmapMemory(firstMapped, first);
  }
  fs::remove_all(dir);
}

}  // namespace

