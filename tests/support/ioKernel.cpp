// Test support: the I/O test heap.
#include "support/ioKernel.h"

#include <cassert>

#include "ext/exInit.h"
#include "mman/mmAllocate.h"
#include "mman/mmCString.h"
#include "mman/mmSysOop.h"
#include "mman/testHeap.h"
#include "prim/prEnviron.h"
#include "prim/prStartup.h"

static uint32_t errorClasses[37];

static void putClassAt(uint32_t index, uint64_t format) {
  oop cls = newUnenteredTestClass(format);
  classTable[index >> 10][index & 1023] = cls;
  setHash(headerOf(cls), index);
  sysOopRegistry[index] = cls;
}

void newIOTestHeap(uint64_t oldSlots) {
  newTestHeap(oldSlots);
  putClassAt(classIndexSemaphore, formatPointers | 3);
  sysOopRegistry[sysByteStringClass] = classAt(classIndexByteString);
  ObjectHeader* table = allocVSObj(sysOop(sysArrayClass), 37);
  for (int k = 0; k < 37; k++) {
    errorClasses[k] = newTestClass(formatPointers | 1);
    bodyOf(table)[k] = newOldObject(errorClasses[k], 1);
  }
  initEnvironmentPrimitives();
  PrimOutcome installed = callPrimitive(401, nilOop(), {oopOf(table)});
  assert(!installed.failed);
  (void)installed;
  timerSemaphoreX = allocSysOopSlot();
  inputSemaphoreX = allocSysOopSlot();
}

oop newSemaphore() {
  oop s = newOldObject(classIndexSemaphore, 3);
  bodyOf(headerOf(s))[semaphoreExcessSignals] = smallIntegerFor(0);
  return s;
}

int64_t excessSignals(oop semaphore) { return smallIntegerValue(slotOf(semaphore, semaphoreExcessSignals)); }

oop byteString(const std::string& text) { return STStringWithSize(text.data(), text.size()); }

std::string textOf(oop s) { return std::string((const char*)bodyOf(headerOf(s)), byteSizeOf(headerOf(s))); }

FailureInfo failureOf(const PrimOutcome& outcome) {
  if (!outcome.failed || isImmediate(outcome.errorOop)) return {-1, -1};
  uint32_t tag = classTagOf(headerOf(outcome.errorOop));
  for (int k = 0; k < 37; k++) {
    if (errorClasses[k] != tag) continue;
    oop value = slotOf(outcome.errorOop, 0);
    return {k, outcome.errorOop == primErrorAt((uint32_t)k) ? -1 : smallIntegerValue(value)};
  }
  return {-1, -1};
}

oop descriptorHolder(int fd) {
  oop h = newOldObject(testClasses.threeSlots, 3);
  bodyOf(headerOf(h))[1] = smallIntegerFor(fd);
  return h;
}

static oop arrayOf(std::initializer_list<oop> slots) {
  ObjectHeader* a = allocVSObj(sysOop(sysArrayClass), slots.size());
  uint64_t i = 0;
  for (oop o : slots) bodyOf(a)[i++] = o;
  return oopOf(a);
}

void startImageIO() {
  PrimOutcome r = callPrimitive(699, nilOop(), {arrayOf({nilOop(), nilOop(), classAt(testClasses.threeSlots)})});
  assert(!r.failed);
  (void)r;
}

void registerSocketAddressClass() {
  PrimOutcome r = callPrimitive(698, nilOop(), {arrayOf({classAt(testClasses.bytes)})});
  assert(!r.failed);
  (void)r;
}
