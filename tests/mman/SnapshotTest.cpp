// Saving a heap to a file: a good save loads back whole with its kind and herald; every
// failure of open, a write, close or the blessing leaves the target byte for byte, no other
// file, a valid heap, and the next save succeeding.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "ext/exInit.h"
#include "ext/platform.h"
#include "mman/heapVerifier.h"
#include "mman/loadImages.h"
#include "mman/mmEnumerate.h"
#include "mman/mmFixedSpace.h"
#include "mman/mmImageHeader.h"
#include "mman/mmLargeSpace.h"
#include "mman/mmNewSpace.h"
#include "mman/mmOldSpace.h"
#include "mman/mmPermSpace.h"
#include "mman/mmScavenge.h"
#include "mman/mmSnapshot.h"
#include "mman/mmSysOop.h"
#include "mman/testHeap.h"
#include "ext/exOption.h"
#include "support/ioKernel.h"
#include "support/platformErrors.h"
#include "support/testFiles.h"
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

// The steps a snapshot takes before it opens its file (eden flushed: it is not written).
void prepareForSave() {
  ASSERT_EQ(flushEden(), 1);
  compactLargeSpace();
  compactFixedSpace();
  writeNewSpaceEndMarkers();
  ASSERT_EQ(prepareThreadedFreeListForSnapshot(), 1);
}

class Snapshot : public ::testing::Test {
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
  SnapshotOutcome save(const std::string& path, uint32_t kind, Fault f, int at = -1) {
    fault = f;
    failAt = at;
    writesSeen = 0;
    prepareForSave();
    longStarts = longEnds = 0;
    SnapshotOutcome out = saveSnapshotFile(path.c_str(), kind);
    int opened = f != Fault::openFails;
    EXPECT_EQ(longStarts, opened);
    EXPECT_EQ(longEnds, opened);
    if (opened) {
      EXPECT_EQ(longExpected, 10000u);
    }
    return out;
  }
};

// Entries flagged perm outside perm space: none once an image is loaded.
int permFlaggedOldEntries() {
  writeBackOldSpace();
  int n = 0;
  for (OldSpaceSegment* s = oldSpaceSegs.first; s != nullptr; s = s->next)
    for (uint64_t a = s->otLow + 16; a <= s->otHigh; a += 16) n += isPermHeader(reinterpret_cast<ObjectHeader*>(a));
  return n;
}

// Each kind, loaded by its own policy and by every override: kinds 1 and 2 hold perm space
// absorbed into old space and restore it in the saving heap; a promoting load makes the
// whole loaded memory perm space, the others leave no perm object behind.
TEST_F(Snapshot, EachKindLoadsWholeUnderEveryPolicy) {
  struct Case {
    uint32_t kind;
    const char* policy;  // the -l override, or null
    bool permAfter;
  } cases[] = {{0, nullptr, true},  {0, "normal", true},   {0, "demote", false}, {1, nullptr, true},
               {1, "normal", false}, {1, "demote", false}, {2, nullptr, false},  {2, "normal", false},
               {2, "promote", true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "kind " << c.kind << " policy " << (c.policy ? c.policy : "default"));
    SpanningHeap heap = buildSpanningHeap();
    // A free chunk in perm space: it lies in the old range of a file with perm space absorbed.
    recyclePermObj(allocInPermSpace(classIndexByteArray, 0, 200, 0, 0));
    ASSERT_NE(permSpaceSegs.freeHead, 0u);
    OldSpaceSegment perm = permSpace;
    uint32_t segments = numOldSpaceSegs();
    snprintf(viHeraldString, sizeof viHeraldString, "herald of kind %u", c.kind);
    std::string target = (dir / "good.im").string();
    SnapshotOutcome out = save(target, c.kind, Fault::none);
    ASSERT_EQ(out.failure, 0) << out.error;
    EXPECT_EQ(permSpaceAbsorbed, 0u);
    EXPECT_EQ(numOldSpaceSegs(), segments);
    EXPECT_EQ(permSpace.dataStart, perm.dataStart);
    EXPECT_EQ(permSpace.otLow, perm.otLow);
    EXPECT_HEAP_VALID();
    std::vector<uint8_t> bytes = readFileBytes(target);
    ASSERT_EQ(bytes.size(), out.total);
    ImageHeader header;
    memcpy(&header, bytes.data(), sizeof header);
    EXPECT_EQ(header.snapshotKind, c.kind);
    EXPECT_EQ(header.fileFormat, imagePlain);
    EXPECT_STREQ(header.heraldString, viHeraldString);
    EXPECT_EQ(header.permDataBytes == 0, c.kind != 0);
    EXPECT_EQ(header.oldSegmentsMinusOne, c.kind == 0 ? segments - 1 : segments);
    EXPECT_EQ(namesIn(dir), std::vector<std::string>{"good.im"});
    iwFreeHeap();
    desiredLoadPolicyName = c.policy;
    bool loaded = loadImageInProcess(target);
    desiredLoadPolicyName = nullptr;
    ASSERT_TRUE(loaded);
    EXPECT_EQ(compareWithModel(loadedRoot(), heap.graph, 0), "");
    EXPECT_EQ(permSpaceExists != 0, c.permAfter);
    bool promoted = c.policy != nullptr ? strcmp(c.policy, "promote") == 0 : c.kind == 1;
    EXPECT_EQ(isPermHeader(headerOf(loadedRoot())), promoted);
    EXPECT_EQ(permFlaggedOldEntries(), 0);
    EXPECT_HEAP_VALID();
    freeLoadedKernel();
  }
}

// A promoted image goes on through generations of every kind, each saved by the image the
// one before loaded, with the size fractions it was given for the next start-up.
TEST_F(Snapshot, GenerationsOfKindsKeepTheGraph) {
  SpanningHeap heap = buildSpanningHeap();
  std::string target = (dir / "gen.im").string();
  ASSERT_EQ(save(target, 1, Fault::none).failure, 0);
  iwFreeHeap();
  struct Step {
    uint32_t kind;  // saved by the loaded image, loaded by its own policy
    bool permAfter;
  } steps[] = {{0, true}, {1, true}, {2, false}, {0, false}, {1, true}};
  ASSERT_TRUE(loadImageInProcess(target));
  uint32_t fraction = 7000;
  for (const Step& step : steps) {
    SCOPED_TRACE(testing::Message() << "kind " << step.kind);
    fraction += 11;  // as primitive 305 sets them: the next start-up's sizes
    imageLayout.survivorSizeFraction = fraction;
    imageLayout.oldHeadroomFraction = fraction + 1;
    SnapshotOutcome out = save(target, step.kind, Fault::none);
    ASSERT_EQ(out.failure, 0) << out.error;
    EXPECT_HEAP_VALID();
    freeLoadedKernel();
    ASSERT_TRUE(loadImageInProcess(target));
    EXPECT_EQ(compareWithModel(loadedRoot(), heap.graph, 0), "");
    EXPECT_EQ(imageLayout.survivorSizeFraction, fraction);
    EXPECT_EQ(imageLayout.oldHeadroomFraction, fraction + 1);
    EXPECT_EQ(permSpaceExists != 0, step.permAfter);
    EXPECT_EQ(permFlaggedOldEntries(), 0);
    EXPECT_HEAP_VALID();
  }
}

TEST_F(Snapshot, EveryFailureKeepsTheTargetAndTheNextSaveSucceeds) {
  for (uint32_t kind : {0u, 1u}) {
    SCOPED_TRACE(testing::Message() << "kind " << kind);
    SpanningHeap heap = buildSpanningHeap();
    uint64_t segments = numOldSpaceSegs();
    std::string target = (dir / "kept.im").string();
    ASSERT_EQ(save(target, kind, Fault::none).failure, 0);
    int writes = writesSeen;
    ASSERT_GE(writes, 6);  // the header and five spaces at least
    struct Case {
      Fault fault;
      int at;
      int error;  // the error number the failure carries, 0 for none
    };
    std::vector<Case> cases = {{Fault::openFails, -1, EACCES}, {Fault::closeFails, -1, errorIO}, {Fault::blessRefuses, -1, 0}};
    for (int at = 0; at < writes; at++) {
      cases.push_back({Fault::writeShortErrno, at, ENOSPC});
      cases.push_back({Fault::writeShortSilent, at, 0});
      cases.push_back({Fault::writeMinusOne, at, EIO});
    }
    for (const Case& c : cases) {
      SCOPED_TRACE(testing::Message() << "fault " << int(c.fault) << " at write " << c.at);
      std::vector<uint8_t> old = readFileBytes(target);
      SnapshotOutcome out = save(target, kind, c.fault, c.at);
      EXPECT_EQ(out.failure, snapshotFailedIO);
      EXPECT_EQ(out.error, c.error);
      EXPECT_EQ(readFileBytes(target), old);
      EXPECT_EQ(namesIn(dir), std::vector<std::string>{"kept.im"});
      EXPECT_EQ(permSpaceAbsorbed, 0u);
      EXPECT_EQ(numOldSpaceSegs(), segments);
      EXPECT_HEAP_VALID();
      out = save(target, kind, Fault::none);
      ASSERT_EQ(out.failure, 0) << out.error;
      EXPECT_EQ(readFileBytes(target).size(), out.total);
    }
    iwFreeHeap();
    ASSERT_TRUE(loadImageInProcess(target));
    EXPECT_EQ(compareWithModel(loadedRoot(), heap.graph, 0), "");
    EXPECT_HEAP_VALID();
    freeLoadedKernel();
  }
}

#ifdef TESSEL_EXE  // the program and mkimage run only in the native build
// Contexts in the heap holding a native pc (a negative SmallInteger): none in a saved image.
int contextWithNativePc(void*, ObjectHeader* h) {
  uint32_t tag = classTagOf(h);
  if ((tag != classIndexMethodContext && tag != classIndexBlockContext) || bodyWordsOf(h) < 2) return 0;
  oop pc = bodyOf(h)[1];
  return isSmallInteger(pc) && smallIntegerValue(pc) < 0;
}

// An image saved by the real program loads whole in process for each kind: the verifier
// finds nothing, every context holds a bytecode pc, and the header carries the kind, the
// herald and the size fractions the built image started with.
TEST_F(Snapshot, ImageSavedByTheProgramLoadsInProcess) {
  std::string kernel = std::string(TESSEL_SOURCE_DIR) + "/tools/mkimage/kernel";
  std::string made = (dir / "State.im").string();
  std::string sources;
  for (const fs::directory_entry& e : fs::directory_iterator(kernel)) sources += " " + e.path().string();
  for (uint32_t kind : {0u, 1u, 2u}) {
    SCOPED_TRACE(testing::Message() << "kind " << kind);
    std::string saved = (dir / ("saved" + std::to_string(kind) + ".im")).string();
    std::string command = std::string(TESSEL_BINARY_DIR) + "/tools/mkimage/mkimage -o " + made + sources + " " +
                          TESSEL_SOURCE_DIR + "/tests/run/programs/SnapshotState.som --args SnapshotState " + saved +
                          " " + std::to_string(kind) + " > /dev/null && " + TESSEL_EXE + " -noherald " + made +
                          " > /dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    ImageHeader built, header;
    std::vector<uint8_t> builtBytes = readFileBytes(made), bytes = readFileBytes(saved);
    ASSERT_GE(bytes.size(), sizeof header);
    memcpy(&built, builtBytes.data(), sizeof built);
    memcpy(&header, bytes.data(), sizeof header);
    EXPECT_EQ(header.snapshotKind, kind);
    EXPECT_STREQ(header.heraldString, built.heraldString);
    ASSERT_TRUE(loadImageInProcess(saved));
    EXPECT_HEAP_VALID();
    oop none[1];
    uint32_t methodContext = classIndexMethodContext;
    EXPECT_NE(scanObjectMemory(&methodContext, instanceOfContextClassIndex, none, none), 0) << "the saved Process's";
    EXPECT_EQ(scanObjectMemory(nullptr, contextWithNativePc, none, none), 0);
    const uint32_t ImageLayout::*fractions[] = {&ImageLayout::edenSizeFraction, &ImageLayout::survivorSizeFraction,
                                                &ImageLayout::largeSizeFraction, &ImageLayout::stackSizeFraction,
                                                &ImageLayout::oldHeadroomFraction};
    const uint32_t ImageHeader::*written[] = {&ImageHeader::edenSizeFraction, &ImageHeader::survivorSizeFraction,
                                              &ImageHeader::largeSizeFraction, &ImageHeader::stackSizeFraction,
                                              &ImageHeader::oldHeadroomFraction};
    for (size_t i = 0; i < std::size(fractions); i++) {
      EXPECT_EQ(header.*written[i], built.*written[i]) << i;
      EXPECT_EQ(imageLayout.*fractions[i], built.*written[i]) << i;
    }
    freeLoadedKernel();
  }
}
#endif

// 304 stores a string of up to 100 bytes and answers its receiver; 303 answers it, or the
// version banner when the herald is empty.
TEST(Snapshot_Herald, SetAndAnswer) {
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
