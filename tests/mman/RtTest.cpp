// Remembered tables and the store check: the decision table, the warning threshold, growth,
// the old remembered table, compaction of the table and the fatal failed registration.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

#include "ext/exRequest.h"
#include "mman/heapVerifier.h"
#include "mman/mmIncGC.h"
#include "mman/mmNewSpace.h"
#include "mman/mmOldSpace.h"
#include "mman/mmOopStack.h"
#include "mman/mmRt.h"
#include "mman/mmScavenge.h"
#include "mman/mmSysOop.h"
#include "mman/testHeap.h"

namespace {

class Rt : public ::testing::Test {
 protected:
  void SetUp() override { newTestHeap(); }
  void TearDown() override {
    EXPECT_EQ(verifyHeap(), "");
    freeTestHeap();
  }
};

enum Space { newSpace, oldSpaceKind, permSpace, immediate };

oop objectIn(Space s, bool withPointers) {
  uint32_t cls = withPointers ? testClasses.pointers : testClasses.bytes;
  if (s == newSpace) return newNewObject(cls, 2);
  oop o = newOldObject(cls, 2);
  if (s == permSpace) makePerm(o);
  return o;
}

uint64_t rtCount() { return (rt.ffs - rt.start) / 8; }

// The table a loaded image brings is read up to its first empty slot: a table with no
// empty slot keeps every entry, its last included.
TEST_F(Rt, LoadedTableWithNoFreeSlotKeepsItsLastEntry) {
  ASSERT_EQ(sysOop(sysRt), rt.object);
  while (rt.ffs < rt.end) {
    oop holder = newOldObject(testClasses.pointers, 1);
    storeSlot(holder, 0, newNewObject(testClasses.object, 0), __FILE__, __LINE__);
  }
  uint64_t start = rt.start, end = rt.end;
  oop last = *reinterpret_cast<oop*>(end - 8);
  ASSERT_NE(last, 0u);
  for (uint64_t emptied : {0, 1}) {
    if (emptied) *reinterpret_cast<oop*>(end - 8) = 0;
    initRt(0);
    EXPECT_EQ(rt.start, start);
    EXPECT_EQ(rt.end, end);
    EXPECT_EQ(rt.ffs, end - 8 * emptied) << emptied;
  }
  *reinterpret_cast<oop*>(end - 8) = last;
  initRt(0);
  EXPECT_EQ(rt.ffs, end);
}

// Every holder and value kind, with incremental marking off and on.
TEST_F(Rt, StoreCheckFollowsItsDecisionTable) {
  struct Case {
    Space holder, value;
    bool marking;
    bool holderInRt, holderInOldRt, valueMarked;
  } cases[] = {
      {newSpace, immediate, false, 0, 0, 0},    {newSpace, newSpace, false, 0, 0, 0},
      {newSpace, oldSpaceKind, false, 0, 0, 0}, {newSpace, permSpace, false, 0, 0, 0},
      {oldSpaceKind, immediate, false, 0, 0, 0}, {oldSpaceKind, newSpace, false, 1, 0, 0},
      {oldSpaceKind, oldSpaceKind, false, 0, 0, 0}, {oldSpaceKind, permSpace, false, 0, 0, 0},
      {permSpace, immediate, false, 0, 0, 0},   {permSpace, newSpace, false, 1, 0, 0},
      {permSpace, oldSpaceKind, false, 0, 1, 0}, {permSpace, permSpace, false, 0, 0, 0},
      {newSpace, oldSpaceKind, true, 0, 0, 0},  {newSpace, permSpace, true, 0, 0, 0},
      {oldSpaceKind, immediate, true, 0, 0, 0}, {oldSpaceKind, newSpace, true, 1, 0, 0},
      {oldSpaceKind, oldSpaceKind, true, 0, 0, 1}, {oldSpaceKind, permSpace, true, 0, 0, 1},
      {permSpace, newSpace, true, 1, 0, 0},     {permSpace, oldSpaceKind, true, 0, 1, 1},
      {permSpace, permSpace, true, 0, 0, 1}};
  incMarkStackOop = createOopStack();
  // Classes marked already, so that marking a value without pointers pushes nothing else.
  setFlag(headerOf(classAt(testClasses.bytes)), isMarkedBit);
  setFlag(headerOf(classAt(testClasses.pointers)), isMarkedBit);
  for (const Case& c : cases) {
    for (bool valuePointers : {false, true}) {
      currentIncGCState = c.marking ? incGCMarking : incGCResting;
      oop holder = objectIn(c.holder, true);
      if (c.marking && c.holder != newSpace) setFlag(headerOf(holder), isMarkedBit);
      oop value = c.value == immediate ? smallIntegerFor(42) : objectIn(c.value, valuePointers);
      uint64_t before = rtCount(), stacked = liveEntriesInOopStack(&incMarkStackOop);
      storeSlot(holder, 1, value, __FILE__, __LINE__);
      ObjectHeader* h = headerOf(holder);
      SCOPED_TRACE(testing::Message() << "holder " << c.holder << " value " << c.value << " marking "
                                      << c.marking << " pointers " << valuePointers);
      EXPECT_EQ(inRt(h), c.holderInRt);
      EXPECT_EQ(rtCount(), before + (c.holderInRt ? 1 : 0));
      EXPECT_EQ(isInOldRt(h), c.holderInOldRt);
      if (c.value != immediate) { EXPECT_EQ(isMarked(headerOf(value)), c.valueMarked); }
      // A marked value with pointers waits on the mark stack; one without is done at once.
      uint64_t pushed = c.valueMarked && valuePointers ? 1 : 0;
      EXPECT_EQ(liveEntriesInOopStack(&incMarkStackOop), stacked + pushed);
      currentIncGCState = incGCResting;
      // Cleared so the verifier's marks and the unmarked state agree across cases.
      if (c.value != immediate && c.value != newSpace) clearFlag(headerOf(value), isMarkedBit);
      clearFlag(h, isMarkedBit);
    }
  }
  EXPECT_EQ(incGCMarkOverflow, 0u);
  while (liveEntriesInOopStack(&incMarkStackOop) != 0) popOopStack(&incMarkStackOop);
  clearOldMarks();
}

TEST_F(Rt, AbsorbedPermSpaceCountsAsOld) {
  permSpaceAbsorbed = 1;
  oop holder = objectIn(permSpace, true);
  storeSlot(holder, 0, objectIn(oldSpaceKind, true), __FILE__, __LINE__);
  EXPECT_FALSE(isInOldRt(headerOf(holder)));
}

TEST_F(Rt, AHolderIsRecordedOnce) {
  oop holder = objectIn(oldSpaceKind, true);
  storeSlot(holder, 0, objectIn(newSpace, true), __FILE__, __LINE__);
  storeSlot(holder, 1, objectIn(newSpace, true), __FILE__, __LINE__);
  EXPECT_EQ(rtCount(), 1u);
  EXPECT_EQ(objReallyInRt(headerOf(holder)), 1u);
}

TEST_F(Rt, WarningThresholdFollowsItsRule) {
  rt.ffs = rt.start;
  computeRtWarning();
  EXPECT_EQ((rt.wt - rt.start) / 8, 90u);
  rt.ffs = rt.start + 85 * 8;
  computeRtWarning();
  EXPECT_EQ(rt.wt, rt.end);
  rt.ffs = rt.start;
  computeRtWarning();
}

TEST_F(Rt, SoftLimitPostsTheScavengeOnlyForATableLargerThanPastSpace) {
  struct Case { uint64_t rtSlots, pastSlots; uint32_t scavenging; bool request, tenure; } cases[] = {
      {100, 8192, 0, false, false}, {1000, 100, 0, true, true}, {1000, 100, 1, false, true}};
  for (const Case& c : cases) {
    newTestHeap(1 << 17, c.rtSlots);
    pastSpace.end = pastSpace.start + c.pastSlots * 8;
    scavengeInProgress = c.scavenging;
    uint64_t wt = (rt.wt - rt.start) / 8;
    EXPECT_EQ(wt, c.rtSlots - 10);
    for (uint64_t i = 0; i < wt; i++) registerInRt(headerOf(objectIn(oldSpaceKind, false)));
    EXPECT_FALSE(isRequested(requestScavenge));
    registerInRt(headerOf(objectIn(oldSpaceKind, false)));
    EXPECT_EQ(isRequested(requestScavenge), c.request) << c.rtSlots;
    EXPECT_EQ(tenureToShrinkRememberedTable, uint32_t(c.tenure)) << c.rtSlots;
    EXPECT_EQ(rt.wt, rt.end);
    scavengeInProgress = 0;
    EXPECT_EQ(verifyHeap(), "");
  }
}

TEST_F(Rt, AFullTableGrows) {
  for (int i = 0; i < 250; i++) ASSERT_EQ(registerInRt(headerOf(objectIn(oldSpaceKind, false))), 1);
  EXPECT_EQ(rtCount(), 250u);
  EXPECT_EQ((rt.end - rt.start) / 8, 5100u);
  EXPECT_EQ(rt.start, headerOf(rt.object)->dataPtr);
}

TEST_F(Rt, CompactionDropsUnmarkedEntriesAndShrinkKeepsSpareSlots) {
  oop kept[3];
  for (int i = 0; i < 6; i++) {
    oop o = objectIn(oldSpaceKind, false);
    registerInRt(headerOf(o));
    if (i % 2 == 0) setFlag(headerOf(kept[i / 2] = o), isMarkedBit);
  }
  noPermCompactRt();
  EXPECT_EQ(rtCount(), 3u);
  for (oop o : kept) {
    EXPECT_NE(objReallyInRt(headerOf(o)), 0u);
    clearFlag(headerOf(o), isMarkedBit);
  }
  growOldObject(headerOf(rt.object), 10000, 10000);
  updateRtPtrs(0);
  shrinkRt();
  EXPECT_EQ((rt.end - rt.ffs) / 8, 5000u);
  canonicalizeRt();
  EXPECT_EQ(*reinterpret_cast<oop*>(rt.ffs), 0u);
  char text[200] = {};
  FILE* f = tmpfile();
  ASSERT_NE(f, nullptr);
  printRtUsageTo(f);
  rewind(f);
  size_t got = fread(text, 1, sizeof text - 1, f);
  fclose(f);
  text[got] = 0;
  char expected[200];
  snprintf(expected, sizeof expected, "\t0 [FSS (unused): 0, FFS: 3, WT: 4993] 5003 @ 0x%x\n",
           unsigned(rt.start & 0xFFFFFFFF));
  EXPECT_STREQ(text, expected);
}

TEST_F(Rt, OldRtTakesItsEntry1022InASecondSegment) {
  uint64_t already = oldRtOop != 0 ? liveEntriesInOopStack(&oldRtOop) : 0;  // the heap's own
  oop first = oldRtOop;
  for (uint64_t i = already; i < 1022; i++) {
    oop holder = objectIn(permSpace, true);
    storeSlot(holder, 0, objectIn(oldSpaceKind, false), __FILE__, __LINE__);
    if (first == 0) first = oldRtOop;
  }
  EXPECT_NE(oldRtOop, first);
  EXPECT_EQ(segmentCount(oldRtOop), 1u);
  EXPECT_EQ(liveEntriesInOopStack(&oldRtOop), 1022u);
  EXPECT_EQ(sysOop(sysOldRt), first);
  cacheOldRtOop();
  EXPECT_EQ(sysOop(sysOldRt), oldRtOop);
  emptyOldRt();
  EXPECT_EQ(liveEntriesInOopStack(&oldRtOop), 0u);
  // The perm holders still refer to old objects; the verifier would say so, so cut them.
  permSpaceAbsorbed = 1;
}

TEST(RtDeathTest, AFailedRegistrationIsFatal) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        newTestHeap(1 << 14, 10);
        for (int i = 0; i < 10; i++) registerInRt(headerOf(objectIn(oldSpaceKind, false)));
        oop holder = objectIn(oldSpaceKind, true);
        // Take all remaining room so that the table cannot grow.
        while (allocOldData(1, 1) != 0) {
        }
        storeSlot(holder, 0, objectIn(newSpace, false), "src/mman/mmTest", 77);
      },
      ::testing::ExitedWithCode(8), "");  // the report goes to standard output
}

}  // namespace
