// Registry and class table: run-time slots, growth and shrinking, start-up, class indices,
// new pages, wrapping, mourning, trimming, a full table and classType.
#include <gtest/gtest.h>

#include "mman/heapVerifier.h"
#include "mman/mmImageHeader.h"
#include "mman/mmOldSpace.h"
#include "mman/mmRt.h"
#include "mman/mmSysOop.h"
#include "mman/testHeap.h"

namespace {

class SysOop : public ::testing::Test {
 protected:
  void SetUp() override { newTestHeap(1 << 21); }
  void TearDown() override {
    EXPECT_EQ(verifyHeap(), "");
    freeTestHeap();
  }
  uint64_t registrySize() { return bodyWordsOf(headerOf(sysOopRegistryOop)); }
  oop newClass() {
    oop cls = newOldObject(testClasses.threeSlots, 3);
    storeSlot(cls, 2, smallIntegerFor(formatPointers), __FILE__, __LINE__);
    return cls;
  }
  uint32_t enter(oop cls) {
    EXPECT_EQ(enterIntoClassTable(cls), 0u);
    return hashOf(headerOf(cls));
  }
};

TEST_F(SysOop, RunTimeSlotsAreHandedOutGrowAndFree) {
  EXPECT_EQ(registrySize(), 64u);
  oop o = newOldObject(testClasses.object, 0);
  for (int64_t i = 64; i < 80; i++) EXPECT_EQ(registerNewSysOop(o), i);
  EXPECT_GE(registrySize(), 64u + 25u);  // grew by at least 25
  EXPECT_EQ(sysOop(79), o);
  EXPECT_EQ(maxValidSysOopX(), 79);
  EXPECT_EQ(freeSysOopSlot(70), o);
  EXPECT_EQ(sysOop(70), nilOop());
  EXPECT_EQ(firstFreeSlotX, 80u);
  EXPECT_EQ(freeSysOopSlot(79), o);
  EXPECT_EQ(firstFreeSlotX, 79u);
  EXPECT_EQ(freeSysOopSlot(79), 0u);  // now at the high-water mark
  EXPECT_EQ(freeSysOopSlot(3), 0u);
  EXPECT_NE(sysOop(3), 0u + 0);
  EXPECT_EQ(freeSysOopSlot(63), 0u);
  oop n = newNewObject(testClasses.object, 0);
  int64_t x = registerNewSysOop(n);
  EXPECT_EQ(x, 79);
  EXPECT_TRUE(inRt(headerOf(sysOopRegistryOop)));
}

TEST_F(SysOop, ShrinkLeaves25SpareSlotsWhenAQuarterIsUnused) {
  growOldObject(headerOf(sysOopRegistryOop), 136, 136);
  refreshSysOopRegistry();
  ASSERT_EQ(registrySize(), 200u);
  firstFreeSlotX = 160;
  shrinkSysOopRegistry();
  EXPECT_EQ(registrySize(), 200u);
  firstFreeSlotX = 100;
  shrinkSysOopRegistry();
  EXPECT_EQ(registrySize(), 125u);
  EXPECT_EQ(sysOopRegistry, bodyOf(headerOf(sysOopRegistryOop)));
  firstFreeSlotX = 64;
}

TEST_F(SysOop, StartUpClearsRunTimeSlotsButNeverFixedOnes) {
  oop o = newOldObject(testClasses.object, 0);
  registerSysOop(o, 40);
  for (int i = 0; i < 10; i++) registerNewSysOop(o);
  for (uint32_t saved : {10u, 64u, 74u}) {
    prevFirstFreeSlotX = saved;
    registerSysOop(o, 70);
    initSysOopRegistry();
    EXPECT_EQ(sysOop(40), o) << saved;
    EXPECT_NE(sysOop(sysTrue), nilOop());
    EXPECT_EQ(sysOop(70), nilOop());
    EXPECT_EQ(firstFreeSlotX, 64u);
  }
}

TEST_F(SysOop, StartUpGrowsASmallRegistryTo64Slots) {
  shrinkOldObject(headerOf(sysOopRegistryOop), 24, 0);
  ASSERT_EQ(registrySize(), 40u);
  initSysOopRegistry();
  EXPECT_GE(registrySize(), 64u);
  EXPECT_EQ(sysOop(63), nilOop());
}

TEST_F(SysOop, FreeIndexAtThePointerIsTakenWithoutMovingIt) {
  classTableAllocationPointer = 600;
  oop cls = newClass();
  EXPECT_EQ(enter(cls), 600u);
  EXPECT_EQ(classTableAllocationPointer, 600u);
  EXPECT_EQ(classAt(600), cls);
  EXPECT_EQ(enter(newClass()), 601u);
  EXPECT_EQ(classTableAllocationPointer, 601u);
}

TEST_F(SysOop, MoreThan1024ClassesMakePageOne) {
  uint32_t last = 0;
  for (int i = 0; i < 1100; i++) last = enter(newClass());
  EXPECT_EQ(lastClassTablePageX, 1u);
  EXPECT_GT(last, 1023u);
  EXPECT_NE(classTable[1], nullptr);
  oop page1 = slotOf(sysOop(sysClassTablePages), 1);
  ObjectHeader* p = headerOf(page1);
  EXPECT_EQ(classTagOf(p), classIndexClassTablePage);
  EXPECT_TRUE(isImmutable(p) && isGCSpecial(p) && hasPtrs(p));
  for (uint32_t i = 0; i < classIndexFirstFree; i++)
    if (i != 1 && i != 3 && i != 5 && i != 15 && !(i >= 17 && i <= 19) && !(i >= 21 && i <= 28) && i != 42) {
      EXPECT_EQ(classAt(i), sysOop(sysEmptySlotMarker)) << "reserved index " << i;
    }
}

TEST_F(SysOop, PointerAtAPageEndMakesTheNextPageAndTheSearchWrapsTo43) {
  classTableAllocationPointer = 1023;
  enter(newClass());  // page 0 slot 1023 is free: taken
  EXPECT_EQ(enter(newClass()), 1024u);  // page 1 made
  classTableAllocationPointer = (1u << 20) - 1;
  EXPECT_EQ(enter(newClass()), (1u << 20) - 1);  // page 1023 made
  EXPECT_EQ(lastClassTablePageX, 1023u);
  uint32_t wrapped = enter(newClass());
  EXPECT_GE(wrapped, 43u);
  EXPECT_LT(wrapped, 1024u);
  for (uint32_t i = 43; i < wrapped; i++) EXPECT_NE(classAt(i), sysOop(sysEmptySlotMarker));
}

TEST_F(SysOop, ANewClassMarksItsPageForTheScavenger) {
  oop cls = newNewObject(testClasses.threeSlots, 3);
  bodyOf(headerOf(cls))[2] = smallIntegerFor(formatPointers);
  uint32_t index = enter(cls);
  EXPECT_TRUE(inRt(headerOf(slotOf(sysOop(sysClassTablePages), index >> 10))));
  EXPECT_EQ(objReallyInRt(headerOf(slotOf(sysOop(sysClassTablePages), index >> 10))), 0u);
}

TEST_F(SysOop, MourningAndTrimmingMoveThePointerBack) {
  classTableAllocationPointer = 3 * 1024;
  enter(newClass());
  classTableAllocationPointer = 5 * 1024;
  enter(newClass());
  oop page3 = slotOf(sysOop(sysClassTablePages), 3);
  mournClassTablePageEntry(page3);
  EXPECT_EQ(classTableAllocationPointer, 3u * 1024u);
  classTableAllocationPointer = 2 * 1024 + 5;
  mournClassTablePageEntry(slotOf(sysOop(sysClassTablePages), 5));
  EXPECT_EQ(classTableAllocationPointer, 2u * 1024u + 5);  // a higher page leaves it
  mournClassTablePageEntry(slotOf(sysOop(sysClassTablePages), 0));
  EXPECT_EQ(classTableAllocationPointer, 43u);
  // Page 3's class dies: its slot goes back to the marker; trimming drops the page.
  classTable[3][0] = sysOop(sysEmptySlotMarker);
  classTableAllocationPointer = 3 * 1024 + 7;
  trimClassTable();
  EXPECT_EQ(classTable[3], nullptr);
  EXPECT_EQ(slotOf(sysOop(sysClassTablePages), 3), nilOop());
  EXPECT_EQ(classTableAllocationPointer, 43u);  // page 0 is the last kept before it
  EXPECT_EQ(lastClassTablePageX, 5u);
  classTable[5][0] = sysOop(sysEmptySlotMarker);
  trimClassTable();
  EXPECT_EQ(lastClassTablePageX, 0u);
  EXPECT_NE(classTable[0], nullptr);
}

TEST_F(SysOop, AFullTableAnswersError26AndKeepsThePointer) {
  oop filler = newClass();
  for (uint32_t page = 1; page < classTablePages; page++) {
    classTableAllocationPointer = page << 10;
    enter(filler);
  }
  for (uint32_t i = classIndexFirstFree; i < classIndexLimit; i++)
    if (classAt(i) == sysOop(sysEmptySlotMarker)) classTable[i >> 10][i & 1023] = filler;
  classTableAllocationPointer = 5000;
  oop cls = newClass();
  EXPECT_EQ(enterIntoClassTable(cls), primErrorAt(26));
  EXPECT_EQ(classTableAllocationPointer, 5000u);
  EXPECT_EQ(hashOf(headerOf(cls)), 0u);
}

TEST_F(SysOop, ClassTypeTellsClassesFromOtherObjects) {
  EXPECT_EQ(classType(smallIntegerFor(3)), 0);
  EXPECT_EQ(classType(newOldObject(testClasses.object, 0)), 0);
  EXPECT_EQ(classType(classAt(testClasses.object)), 1);
  EXPECT_EQ(classType(classAt(testClasses.pointers)), 2);
}

}  // namespace
