// The two tables of threaded calls on a heap: both in consecutive registry slots, the
// Process table of the weak class; growth keeps every entry at its index and the registry
// slots where they were.
#include <gtest/gtest.h>

#include <vector>

#include "ext/exThreads.h"
#include "mman/heapVerifier.h"
#include "mman/mmRt.h"
#include "mman/mmSysOop.h"
#include "mman/testHeap.h"
#include "plat/unxThreads.h"
#include "prim/prThreads.h"

namespace {

// The thread interface over a test heap, shut down and its platform put back after each case.
class ThreadTables : public ::testing::Test {
 protected:
  ThreadPlatform* savedPlatform = threadPlatform;
  void SetUp() override { newTestHeap(); }
  void TearDown() override {
    NBAPIShutdownForTests();
    NBAPITableIndex = -1;
    threadObjects = nullptr;
    threadPlatform = savedPlatform;
    freeTestHeap();
  }
};

TEST_F(ThreadTables, GrowthKeepsEveryEntryAndTheRegistrySlots) {
  sysOopRegistry[sysWeakArrayClass] = classAt(testClasses.weak);
  sysOopRegistry[sysSemaphoreClass] = classAt(newTestClass(formatPointers | 3));
  NBAPIShutdownForTests();
  NBAPITableIndex = -1;
  threadPlatform = &unixThreadPlatform;
  NBAPISetTableSlackForTests(0);
  ASSERT_EQ(NBAPISetThreadLevels(3, 3), 1);
  initThreadInterface();
  ASSERT_TRUE(NBAPIInitialised());

  int64_t index = NBAPITableIndex;
  ASSERT_GE(index, int64_t(sysFirstRunTimeSlot));
  uint64_t size = bodyWordsOf(headerOf(sysOop(uint32_t(index))));
  ASSERT_GE(size, 3u);
  EXPECT_EQ(classTagOf(headerOf(sysOop(uint32_t(index + 1)))), testClasses.weak);
  std::vector<oop> processes, semaphores;
  for (uint64_t i = 0; i < size; i++) {
    processes.push_back(newOldObject(testClasses.threeSlots, 3));
    threadObjects->setProcessAt(int32_t(i), processes.back());
    ASSERT_EQ(threadObjects->readySemaphore(int32_t(i)), 0);
    semaphores.push_back(nbapiSemaphoreAt(int32_t(i)));
  }
  oop oldSemaphores = sysOop(uint32_t(index));

  uint64_t grown = threadObjects->growTables(2 * size + 3);
  EXPECT_EQ(grown, 2 * size + 3);
  EXPECT_EQ(NBAPITableIndex, index) << "growth keeps the registry slots";
  EXPECT_NE(sysOop(uint32_t(index)), oldSemaphores);
  EXPECT_EQ(bodyWordsOf(headerOf(sysOop(uint32_t(index)))), grown);
  EXPECT_EQ(classTagOf(headerOf(sysOop(uint32_t(index + 1)))), testClasses.weak);
  for (uint64_t i = 0; i < grown; i++) {
    SCOPED_TRACE(i);
    EXPECT_EQ(threadObjects->processAt(int32_t(i)), i < size ? processes[i] : 0);
    EXPECT_EQ(nbapiSemaphoreAt(int32_t(i)), i < size ? semaphores[i] : smallIntegerFor(0));
  }
  EXPECT_HEAP_VALID();
}

}  // namespace
