// Registration steps of start-up: the default primitive-failure table and the registry
// slots taken for the Semaphores.
#include <gtest/gtest.h>

#include "ext/exError.h"
#include "ext/exInit.h"
#include "mman/mmAllocate.h"
#include "mman/mmSysOop.h"
#include "mman/testHeap.h"

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

}  // namespace
