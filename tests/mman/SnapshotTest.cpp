// Saving a heap to a file: a good save loads back whole with its kind and herald; every
// failure of open, a write, close or the blessing leaves the target byte for byte, no other
// file, a valid heap, and the next save succeeding.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "ext/platform.h"
#include "mman/heapVerifier.h"
#include "mman/loadImages.h"
#include "mman/mmFixedSpace.h"
#include "mman/mmImageHeader.h"
#include "mman/mmLargeSpace.h"
#include "mman/mmNewSpace.h"
#include "mman/mmOldSpace.h"
#include "mman/mmPermSpace.h"
#include "mman/mmSnapshot.h"
#include "mman/mmSysOop.h"
#include "mman/testHeap.h"
#include "ext/exOption.h"
#include "support/ioKernel.h"
#include "imageWriter.h"

namespace {

namespace fs = std::filesystem;

// What the injected operations do: the write numbered failAt (0 the header) fails in mode.
enum class Fault { none, openFails, writeShortErrno, writeShortSilent, writeMinusOne, closeFails, blessRefuses };
Fault fault = Fault::none;
int failAt = 0;
int writesSeen = 0;

int64_t faultyOpen(const char* path, int oflag, int* error) {
  if (fault == Fault::openFails) return *error = EACCES, -1;
  return pdOpenImage(path, oflag, error);
}

int64_t faultyWrite(int64_t fd, const void* buffer, uint64_t length, int* error) {
  bool failing = writesSeen++ == failAt;
  if (!failing || fault < Fault::writeShortErrno || fault > Fault::writeMinusOne) return pdWrite(fd, buffer, length, error);
  if (fault == Fault::writeMinusOne) return *error = EIO, -1;
  int64_t written = pdWrite(fd, buffer, length / 2, error);
  *error = fault == Fault::writeShortErrno ? ENOSPC : 0;
  return written;
}

// A close the platform failed: the record is marked failed first, as a failing fsync or
// close marks it, so the close itself gives up the file.
int faultyClose(int64_t fd) {
  if (fault == Fault::closeFails) pdDiscardSnapshot(fd);
  return pdCloseImage(fd);
}

int faultyBless(const char* path, uint64_t size) {
  return fault == Fault::blessRefuses ? pdBlessSnapshot(path, size + 1) : pdBlessSnapshot(path, size);
}

// The long-computation hooks around the write: each save that opened its file calls the
// start (with 10000) and the end once, whatever the write did.
int longStarts = 0, longEnds = 0;
uint64_t longExpected = 0;
void countStart(uint64_t ms) { longStarts++, longExpected = ms; }
void countEnd() { longEnds++; }

// The steps a snapshot takes before it opens its file.
void prepareForSave() {
  compactLargeSpace();
  compactFixedSpace();
  writeNewSpaceEndMarkers();
  ASSERT_EQ(prepareThreadedFreeListForSnapshot(), 1);
}

class SnapshotTest : public ::testing::Test {
 protected:
  fs::path dir;
  void SetUp() override {
    dir = tempImagePath("snapshots");
    fs::remove_all(dir);
    fs::create_directories(dir);
    snapshotFileOps = {faultyOpen, faultyWrite, faultyClose, pdDiscardSnapshot, faultyBless};
    fault = Fault::none;
    savedStart = pdStartLongComp, savedEnd = pdFinishLongComp;
    pdStartLongComp = countStart, pdFinishLongComp = countEnd;
  }
  void (*savedStart)(uint64_t) = nullptr;
  void (*savedEnd)() = nullptr;
  void TearDown() override {
    pdStartLongComp = savedStart, pdFinishLongComp = savedEnd;
    snapshotFileOps = platformSnapshotFileOps;
    freeLoadedKernel();
    fs::remove_all(dir);
  }
  std::vector<std::string> names() {
    std::vector<std::string> n;
    for (const fs::directory_entry& e : fs::directory_iterator(dir)) n.push_back(e.path().filename().string());
    return n;
  }
  SnapshotOutcome save(const std::string& path, uint32_t kind, Fault f, int at = -1) {
    fault = f;
    failAt = at;
    writesSeen = 0;
    prepareForSave();
    longStarts = longEnds = 0;
    SnapshotOutcome out = saveSnapshotFile(path.c_str(), kind);
    int opened = f != Fault::openFails && out.failure != snapshotFailedPrepare;
    EXPECT_EQ(longStarts, opened);
    EXPECT_EQ(longEnds, opened);
    if (opened) {
      EXPECT_EQ(longExpected, 10000u);
    }
    return out;
  }
};

// A promoting snapshot needs perm space absorbed into old space, which it cannot do yet:
// it fails before touching the target.
TEST_F(SnapshotTest, PromotingAHeapWithPermSpaceFailsFirst) {
  SpanningHeap heap = buildSpanningHeap();
  std::string target = (dir / "promote.im").string();
  writeFileBytes(target, {1, 2, 3});
  SnapshotOutcome out = save(target, 1, Fault::none);
  EXPECT_EQ(out.failure, snapshotFailedPrepare);
  EXPECT_EQ(writesSeen, 0);
  EXPECT_EQ(readFileBytes(target), std::vector<uint8_t>({1, 2, 3}));
  EXPECT_EQ(names(), std::vector<std::string>{"promote.im"});
  EXPECT_HEAP_VALID();
  iwFreeHeap();
}

TEST_F(SnapshotTest, SavedHeapLoadsWholeWithItsKindAndHerald) {
  for (uint32_t kind : {0u, 2u}) {
    SCOPED_TRACE(kind);
    SpanningHeap heap = buildSpanningHeap();
    snprintf(viHeraldString, sizeof viHeraldString, "herald of kind %u", kind);
    std::string target = (dir / "good.im").string();
    SnapshotOutcome out = save(target, kind, Fault::none);
    ASSERT_EQ(out.failure, 0) << out.error;
    std::vector<uint8_t> bytes = readFileBytes(target);
    ASSERT_EQ(bytes.size(), out.total);
    ImageHeader header;
    memcpy(&header, bytes.data(), sizeof header);
    EXPECT_EQ(header.snapshotKind, kind);
    EXPECT_EQ(header.fileFormat, imagePlain);
    EXPECT_STREQ(header.heraldString, viHeraldString);
    EXPECT_EQ(names(), std::vector<std::string>{"good.im"});
    iwFreeHeap();
    ASSERT_TRUE(loadImageInProcess(target));
    EXPECT_EQ(compareWithModel(loadedRoot(), heap.graph, 0), "");
    EXPECT_HEAP_VALID();
    freeLoadedKernel();
  }
}

TEST_F(SnapshotTest, EveryFailureKeepsTheTargetAndTheNextSaveSucceeds) {
  SpanningHeap heap = buildSpanningHeap();
  std::string target = (dir / "kept.im").string();
  ASSERT_EQ(save(target, 0, Fault::none).failure, 0);
  int writes = writesSeen;
  ASSERT_GE(writes, 6);  // the header and five spaces at least
  struct Case {
    Fault fault;
    int at;
    int error;  // the error number the failure carries, 0 for none
  };
  std::vector<Case> cases = {{Fault::openFails, -1, EACCES}, {Fault::closeFails, -1, EIO}, {Fault::blessRefuses, -1, 0}};
  for (int at = 0; at < writes; at++) {
    cases.push_back({Fault::writeShortErrno, at, ENOSPC});
    cases.push_back({Fault::writeShortSilent, at, 0});
    cases.push_back({Fault::writeMinusOne, at, EIO});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "fault " << int(c.fault) << " at write " << c.at);
    std::vector<uint8_t> old = readFileBytes(target);
    SnapshotOutcome out = save(target, 0, c.fault, c.at);
    EXPECT_EQ(out.failure, snapshotFailedIO);
    EXPECT_EQ(out.error, c.error);
    EXPECT_EQ(readFileBytes(target), old);
    EXPECT_EQ(names(), std::vector<std::string>{"kept.im"});
    EXPECT_HEAP_VALID();
    out = save(target, 0, Fault::none);
    ASSERT_EQ(out.failure, 0) << out.error;
    EXPECT_EQ(readFileBytes(target).size(), out.total);
  }
  iwFreeHeap();
  ASSERT_TRUE(loadImageInProcess(target));
  EXPECT_EQ(compareWithModel(loadedRoot(), heap.graph, 0), "");
  EXPECT_HEAP_VALID();
}

// 304 stores a string of up to 100 bytes and answers its receiver; 303 answers it, or the
// version banner when the herald is empty.
TEST(SnapshotHerald, SetAndAnswer) {
  newIOTestHeap();
  initSnapshotPrims();
  viHeraldString[0] = 0;
  PrimOutcome answer = callPrimitive(303, nilOop(), {});
  ASSERT_FALSE(answer.failed);
  EXPECT_EQ(textOf(answer.result), versionString);
  struct Case {
    oop argument;
    int failure;  // 0: stored
  } cases[] = {{byteString(std::string(100, 'h')), 0}, {byteString(""), 0}, {byteString("a herald"), 0},
               {byteString(std::string(101, 'x')), 3}, {smallIntegerFor(4), 3}, {nilOop(), 3}};
  for (const Case& c : cases) {
    std::string before = viHeraldString;
    oop receiver = byteString("receiver");
    PrimOutcome set = callPrimitive(304, receiver, {c.argument});
    EXPECT_EQ(set.failed ? failureOf(set).code : 0, c.failure);
    std::string expected = c.failure == 0 ? textOf(c.argument) : before;
    EXPECT_EQ(std::string(viHeraldString), expected);
    if (!set.failed) {
      EXPECT_EQ(set.result, receiver);
    }
    answer = callPrimitive(303, nilOop(), {});
    ASSERT_FALSE(answer.failed);
    EXPECT_EQ(textOf(answer.result), expected.empty() ? std::string(versionString) : expected);
  }
  viHeraldString[0] = 0;
  freeTestHeap();
}

}  // namespace
