// Test support: the test heap made ready for scavenges: the tenure threshold, a finalization
// queue, a weak class with one named slot and an old root Array that holds everything the
// tests keep (stack roots do not exist here).
#pragma once
#include <gtest/gtest.h>

#include "mman/heapVerifier.h"
#include "mman/mmFinal.h"
#include "mman/mmGlobalGC.h"
#include "mman/mmNewSpace.h"
#include "mman/mmOldSpace.h"
#include "mman/mmRt.h"
#include "mman/mmScavenge.h"
#include "mman/mmSysOop.h"
#include "mman/testHeap.h"

class ScavengeHeapTest : public ::testing::Test {
 protected:
  oop root = 0;            // old Array of rootSlots slots
  uint32_t weakClass = 0;  // weak, indexable, one named slot
  uint32_t ephemeronClass = 0;  // ephemeron: key, value
  static constexpr uint64_t rootSlots = 64;

  void SetUp() override { makeHeap(1 << 18, 100); }
  void TearDown() override {
    EXPECT_HEAP_VALID();
    scavengeStressInterval = 0;
    gcStressInterval = gcMarkAreaCap = gcScratchAreaCap = 0;
    freeTestHeap();
  }

  void makeHeap(uint64_t oldSlots, uint64_t rtSlots, ArenaSizes sizes = testHeapSizes()) {
    newTestHeap(oldSlots, rtSlots, sizes);
    initScavenger(platformTenureThreshold);
    numScavenges = 0;
    weakClass = newTestClass(formatPointers | formatIndexable | formatWeak | 1);
    ephemeronClass = newTestClass(formatPointers | formatEphemeron | 2);
    sysOopRegistry[sysWeakArrayClass] = classAt(testClasses.weak);
    sysOopRegistry[sysSemaphoreClass] = classAt(newTestClass(formatPointers | 3));
    initFinalQueue();
    finalizationSemaphoreX = -1;
    classPageMourned = 0;
    root = newOldObject(testClasses.pointers, rootSlots);
    rootX = uint32_t(allocSysOopSlot());
    registerSysOop(root, rootX);  // what the image reaches
    classesX = -1;
    keepClasses();
    compact();  // the registry grew: no free chunk is left behind
  }

  // The image holds its classes strongly (the class table alone holds them weakly): an Array
  // in a registry slot keeps every class of the first class-table page.
  void keepClasses() {
    if (classesX < 0) classesX = allocSysOopSlot();
    auto isClass = [](oop c) { return isHeapObject(c) && c != 0 && c != nilOop(); };
    uint64_t n = 1024;
    while (n > 0 && !isClass(classTable[0][n - 1])) n--;
    ObjectHeader* h = allocInOldSpace(testClasses.pointers, 0, n * 8, hasPtrsBit, nilOop(), 0);
    if (h == nullptr) return;  // a heap too small to collect
    oop all = oopOf(h);
    for (uint64_t i = 0; i < n; i++)
      if (isClass(classTable[0][i])) store(all, i, classTable[0][i]);
    registerSysOop(all, uint32_t(classesX));
  }
  int64_t classesX = -1;

  // A global collection moves old headers: the root is read again from its registry slot.
  uint32_t rootX = 0;
  oop rootAt(uint64_t i) {
    root = sysOop(rootX);
    return slotOf(root, i);
  }
  void setRoot(uint64_t i, oop v) {
    root = sysOop(rootX);
    storeSlot(root, i, v, __FILE__, __LINE__);
  }
  static void store(oop holder, uint64_t i, oop v) { storeSlot(holder, i, v, __FILE__, __LINE__); }

  oop newWeak(uint64_t indexed) {
    ObjectHeader* h = allocInNewSpace(weakClass, 1, (1 + indexed) * 8, hasPtrsBit | isGCSpecialBit, nilOop());
    return oopOf(h);
  }
  oop newEphemeron(oop key, oop value, bool old = false) {
    uint64_t flags = hasPtrsBit | isGCSpecialBit | ephemeronNotWeakBit;
    oop e = old ? oopOf(allocInOldSpace(ephemeronClass, 2, 16, flags, nilOop(), 1))
                : oopOf(allocInNewSpace(ephemeronClass, 2, 16, flags, nilOop()));
    store(e, 0, key);
    store(e, 1, value);
    return e;
  }
  // The object a reference leads to after a scavenge (it must have survived).
  static bool isOld(oop o) { return !isNewObject(o); }
  // The queued entries, in order.
  static std::vector<oop> queued() {
    std::vector<oop> out;
    for (uint64_t a = finalQueueRead; a < finalQueueWrite; a += 8) out.push_back(*reinterpret_cast<oop*>(a));
    return out;
  }
};
