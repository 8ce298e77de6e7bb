// Tests of the quick compaction of old space: bodies slide over free chunks with their
// headers in place, alone and when tenuring runs out of room in the middle of a scavenge.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "ext/exOption.h"

#include "mman/mmOldSpace.h"
#include "mman/scavengeHeap.h"

namespace {

class Compaction : public ScavengeHeapTest {
 protected:
  // Old byte objects of 3 slots (their first byte their number) until old space is full.
  std::vector<oop> fillOldSpace() {
    std::vector<oop> fillers;
    for (;;) {
      ObjectHeader* h = allocInOldSpace(testClasses.bytes, 0, 24, 0, 0, 1);
      if (h == nullptr) return fillers;
      *reinterpret_cast<uint8_t*>(h->dataPtr) = uint8_t(fillers.size());
      fillers.push_back(oopOf(h));
    }
  }
  // Frees every other filler: free chunks too small for anything larger than 3 slots.
  static uint64_t freeEveryOther(std::vector<oop>& fillers) {
    uint64_t freed = 0;
    for (size_t i = 0; i < fillers.size(); i += 2, freed += 3) recycleOldObj(headerOf(fillers[i]));
    return freed;
  }
  static void expectFillersKept(const std::vector<oop>& fillers) {
    for (size_t i = 1; i < fillers.size(); i += 2)
      EXPECT_EQ(*reinterpret_cast<uint8_t*>(headerOf(fillers[i])->dataPtr), uint8_t(i));
  }
};

TEST_F(Compaction, Compaction_SlidesBodiesOverFreeChunks) {
  oop sized = newOldObject(testClasses.pointers, 300);  // a body with a size word
  store(sized, 299, smallIntegerFor(299));
  std::vector<oop> fillers = fillOldSpace();
  ASSERT_GT(fillers.size(), 100u);
  uint64_t freed = freeEveryOther(fillers);
  recycleOldObj(headerOf(sized));
  freed += 301;
  writeBackOldSpace();
  uint64_t room = slotsLeftInOldSpace(), compactions = numOldCompactions;
  oop queue = sysOop(sysFinalQueue);
  uint64_t queueBody = headerOf(queue)->dataPtr;
  compact();
  EXPECT_EQ(numOldCompactions, compactions + 1);
  EXPECT_EQ(oldSpaceSegs.freeChunks, 0u);
  EXPECT_EQ(oldSpaceSegs.treeRoot, 0u);
  EXPECT_EQ(slotsLeftInOldSpace(), room + freed);
  expectFillersKept(fillers);
  EXPECT_EQ(headerOf(queue)->dataPtr, queueBody) << "nothing below the queue was freed";
  EXPECT_HEAP_VALID();
  // a second compaction finds no free run and moves nothing
  std::vector<uint64_t> bodies;
  for (size_t i = 1; i < fillers.size(); i += 2) bodies.push_back(headerOf(fillers[i])->dataPtr);
  compact();
  for (size_t i = 1, k = 0; i < fillers.size(); i += 2, k++) EXPECT_EQ(headerOf(fillers[i])->dataPtr, bodies[k]);
}

// Future space holds one survivor; the others must be tenured into an old space whose only
// room is in small free chunks, so tenuring fails part-way through the root Array's slots.
// The compaction that follows moves the RT, the queue and the root Array's own body.
TEST_F(Compaction, Compaction_TenuringFailsMidScanAndCompactionMakesRoom) {
  ArenaSizes sizes = testHeapSizes();
  sizes.survivorWords = 30;
  makeHeap(1 << 13, 100, sizes);
  tenureThreshold = 1000;
  ObjectHeader* hole = allocInOldSpace(testClasses.bytes, 0, 24, 0, 0, 1);
  sysOopRegistry[sysFinalQueue] = nilOop();
  initFinalQueue();  // a queue whose body lies above a hole
  growOldObject(headerOf(rt.object), 50, 50);  // the RT's body moves up, over the fillers' holes
  updateRtPtrs(0);
  ObjectHeader* holder = allocInOldSpace(testClasses.pointers, 0, 6 * 8, hasPtrsBit, nilOop(), 1);
  setRoot(0, oopOf(holder));
  std::vector<oop> fillers = fillOldSpace();
  for (uint64_t i = 0; i < 6; i++) {
    oop o = newNewObject(testClasses.pointers, 20);
    bodyOf(headerOf(o))[0] = smallIntegerFor(int64_t(i));
    store(oopOf(holder), i, o);
  }
  addToFinalQueue(fillers[1]);
  freeEveryOther(fillers);
  recycleOldObj(hole);
  uint64_t rtBody = rt.start, queueBody = finalQueueBase, compactions = numOldCompactions;
  ASSERT_EQ(scavengeNewSpace(), 1);
  EXPECT_EQ(numOldCompactions, compactions + 1);
  EXPECT_NE(rt.start, rtBody);
  EXPECT_NE(finalQueueBase, queueBody);
  EXPECT_EQ(queued(), std::vector<oop>{fillers[1]}) << "the window follows the queue";
  uint64_t tenured = 0;
  for (uint64_t i = 0; i < 6; i++) {
    oop o = slotOf(oopOf(holder), i);
    EXPECT_EQ(slotOf(o, 0), smallIntegerFor(int64_t(i))) << "every later slot updated";
    tenured += isOld(o);
  }
  EXPECT_EQ(tenured, 5u);
  expectFillersKept(fillers);
  EXPECT_HEAP_VALID();
}

// With -xq the scavenger first makes new space walkable for the dump (its forwarded
// references resolved); the report and status are the same.
TEST(CompactionDeathTest, Compaction_NoRoomEvenAfterCompactionIsFatal) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  for (uint32_t dump : {0u, 1u}) {
    EXPECT_EXIT(
        {
          static char logDir[600];
          const char* tmp = getenv("TMPDIR") != nullptr ? getenv("TMPDIR") : getenv("TEMP") != nullptr ? getenv("TEMP") : "/tmp";
          snprintf(logDir, sizeof logDir, "QZ_LOG_DIR=%s", tmp);
          putenv(logDir);
          ArenaSizes sizes = testHeapSizes();
          sizes.survivorWords = 30;
          newTestHeap(1 << 13, 100, sizes);
          initScavenger(1000 * 8);
          oop root = newOldObject(testClasses.pointers, 4);
          while (allocInOldSpace(testClasses.bytes, 0, 8, 0, 0, 1) != nullptr) {
          }
          for (uint64_t i = 0; i < 4; i++) {
            oop o = newNewObject(testClasses.pointers, 20);
            storeSlot(o, 1, root, __FILE__, __LINE__);
            storeSlot(root, i, o, __FILE__, __LINE__);
          }
          dumpStackOnExit = dump;
          scavengeNewSpace();
        },
        ::testing::ExitedWithCode(5), "");
  }
  const char* tmp = getenv("TMPDIR") != nullptr ? getenv("TMPDIR") : getenv("TEMP") != nullptr ? getenv("TEMP") : "/tmp";
  remove((std::string(tmp) + "/stack.txt").c_str());  // the dump's file
}

}  // namespace
