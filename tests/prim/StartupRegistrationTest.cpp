// Registration steps of start-up: the default primitive-failure table and the registry
// slots taken for the Semaphores.
#include <gtest/gtest.h>

#include "ext/exError.h"
#include "ext/exInit.h"
#include "ext/exPrimTable.h"
#include "mman/mmAllocate.h"
#include "mman/mmSysOop.h"
#include "mman/testHeap.h"
#include "prim/prStartup.h"

namespace {

oop arrayOf(int64_t slots) { return oopOf(allocVSObj(sysOop(sysArrayClass), (uint64_t)slots)); }

TEST(Startup_PrimErrorTable, DefaultTableAndImageTables) {
  newTestHeap();
  struct Case {
    int64_t imageSlots;  // 0: nil
    bool kept;
  } cases[] = {{0, false}, {26, false}, {27, true}, {40, true}};
  for (const Case& c : cases) {
    oop image = c.imageSlots == 0 ? nilOop() : arrayOf(c.imageSlots);
    sysOopRegistry[sysPrimErrorTable] = image;
    installPrimErrorTable();
    oop table = sysOop(sysPrimErrorTable);
    if (c.kept) {
      EXPECT_EQ(table, image) << c.imageSlots;
      continue;
    }
    ASSERT_NE(table, image) << c.imageSlots;
    EXPECT_EQ(byteSizeOf(headerOf(table)), 37u * 8);
    EXPECT_EQ(primErrorAt(0), smallIntegerFor(-1));
    EXPECT_EQ(primErrorAt(3), smallIntegerFor(-4));
    EXPECT_EQ(primErrorAt(36), smallIntegerFor(-37));
  }
  freeTestHeap();
}

TEST(Startup_Registry, SemaphoreSlotsAreRunTimeSlots) {
  newTestHeap();
  initSuper();
  EXPECT_GE(timerSemaphoreX, (int64_t)sysFirstRunTimeSlot);
  EXPECT_EQ(inputSemaphoreX, timerSemaphoreX + 1);
  freeTestHeap();
}

// initPrimitives and initSuper enter the numeric, hash, byte-order and scan sets as C
// primitives with their argument counts.
TEST(Startup_Registry, NumericHashAndScanSets) {
  newTestHeap();
  initPrimitiveTable();
  initPrimitives();
  initSuper();
  const uint32_t counts[][2] = {{21, 1}, {37, 1}, {39, 1}, {40, 0}, {54, 1}, {590, 0}, {606, 1}, {609, 0},
                                {560, 1}, {575, 0}, {585, 1}, {589, 0}, {849, 0}, {820, 0}, {845, 1}, {848, 0},
                                {1700, 0}, {1701, 1}, {1747, 0}, {1753, 0}, {956, 5}, {972, 6}};
  for (const auto& c : counts) {
    const PrimEntry* e = getPrimEntry(c[0]);
    EXPECT_NE(e->function, 0u) << c[0];
    EXPECT_EQ(e->kind, primKindC) << c[0];
    EXPECT_EQ(e->numArgs, c[1]) << c[0];
  }
  EXPECT_EQ(getPrimEntry(586)->function, 0u);  // 586 and 846 are not numbers of these sets
  EXPECT_EQ(getPrimEntry(846)->function, 0u);
  freeTestHeap();
}

}  // namespace
