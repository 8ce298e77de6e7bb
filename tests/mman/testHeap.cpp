// Test support: a small heap built from scratch, and a stand-in new space.
#include "mman/testHeap.h"

#include <cassert>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "ext/exRequest.h"
#include "mman/mmGlobalGC.h"
#include "mman/mmImageHeader.h"
#include "mman/mmIncGC.h"
#include "mman/mmNewSpace.h"
#include "mman/mmOldSpace.h"
#include "mman/mmRt.h"
#include "mman/mmScavenge.h"
#include "mman/mmSysOop.h"
#include "prim/prEnviron.h"

TestClasses testClasses;
static uint32_t classMetaIndex;  // the shared metaclass of every test class

static ObjectHeader* oldHeader(uint32_t tag, uint64_t bytes, uint64_t flags, oop fill) {
  ObjectHeader* h = allocInOldSpace(tag, 0, bytes, flags, fill, 1);
  assert(h != nullptr);
  return h;
}

static oop makeClassObject(uint64_t format, oop superclass) {
  ObjectHeader* h = oldHeader(classMetaIndex, 3 * 8, hasPtrsBit, nilOop());
  setIndexability(h, 3);
  bodyOf(h)[0] = superclass;
  bodyOf(h)[2] = smallIntegerFor(int64_t(format));
  return oopOf(h);
}

static void putClass(uint32_t index, oop cls) {
  classTable[index >> 10][index & 1023] = cls;
  setHash(headerOf(cls), index);
}

static uint32_t enterClass(oop cls) {
  oop error = enterIntoClassTable(cls);
  assert(error == 0);
  (void)error;
  return hashOf(headerOf(cls));
}

void putTestClassAt(uint32_t index, uint64_t format) { putClass(index, makeClassObject(format, classAt(testClasses.object))); }

oop newUnenteredTestClass(uint64_t format) { return makeClassObject(format, classAt(testClasses.object)); }

uint32_t newTestClass(uint64_t format) {
  return enterClass(makeClassObject(format, classAt(testClasses.object)));
}

// The registry, the class-table pages and the objects everything else refers to.
static void makeRoots() {
  oop nil = oopOf(oldHeader(0, 0, 0, 1));
  ObjectHeader* reg = oldHeader(classIndexArray, 64 * 8, hasPtrsBit, nil);
  sysOopRegistryOop = oopOf(reg);
  refreshSysOopRegistry();
  oop marker = oopOf(oldHeader(0, 0, 0, 1));
  sysOopRegistry[sysEmptySlotMarker] = marker;
  sysOopRegistry[sysTrue] = oopOf(oldHeader(0, 0, 0, 1));
  sysOopRegistry[sysFalse] = oopOf(oldHeader(0, 0, 0, 1));
  oop pages = oopOf(oldHeader(classIndexArray, classTablePages * 8, hasPtrsBit, nil));
  sysOopRegistry[sysClassTablePages] = pages;
  oop page0 = oopOf(oldHeader(classIndexClassTablePage, classTablePageSlots * 8,
                              hasPtrsBit | isGCSpecialBit | isImmutableBit, marker));
  bodyOf(headerOf(pages))[0] = page0;
  refreshClassTable();
  classTableAllocationPointer = classIndexFirstFree;
}

// Kernel classes at their reserved indices; a shared metaclass whose class is Metaclass.
static void makeKernelClasses() {
  oop nil = nilOop();
  classMetaIndex = 43;  // entered first, below
  oop meta = makeClassObject(formatPointers, nil);
  oop metaclass = makeClassObject(formatPointers, nil);
  putClass(classIndexFirstFree, meta);
  classTableAllocationPointer = classIndexFirstFree + 1;
  setClassTag(headerOf(meta), enterClass(metaclass));
  setClassTag(headerOf(metaclass), classMetaIndex);
  oop object = makeClassObject(formatPointers, nil);
  testClasses.object = enterClass(object);
  struct { uint32_t index; uint64_t format; } kernel[] = {
      {classIndexArray, formatPointers | formatIndexable},
      {classIndexByteArray, formatIndexable},
      {classIndexByteString, formatIndexable},
      {classIndexLargePositiveInteger, formatIndexable},
      {classIndexClassTablePage, formatPointers | formatIndexable | formatWeak},
      {classIndexCharacter, formatPointers}, {classIndexSmallInteger, formatPointers},
      {classIndexSmallDouble, formatPointers}};
  for (auto& k : kernel) putClass(k.index, makeClassObject(k.format, object));
  // Subclasses of kernel classes, and the registry's kernel-class slots.
  struct { uint32_t index; uint64_t format; uint32_t superclass; } derived[] = {
      {classIndexLargeNegativeInteger, formatIndexable, 0},
      {21, formatIndexable, classIndexByteString},  // ByteSymbol
      {classIndexTwoByteString, formatIndexable, 0},
      {classIndexTwoByteSymbol, formatIndexable, classIndexTwoByteString},
      {classIndexDouble, formatIndexable, 0},
      {26, formatPointers | formatIndexable | formatWeak, 0},  // WeakArray
      {27, formatPointers | 2, 0},                             // Point
      {classIndexFloat, formatIndexable, 0}};
  for (auto& d : derived)
    putClass(d.index, makeClassObject(d.format, d.superclass != 0 ? classAt(d.superclass) : object));
  for (uint32_t slot : {15u, 17u, 18u, 19u, 21u, 22u, 23u, 24u, 25u, 26u, 27u, 28u})
    sysOopRegistry[slot] = classAt(slot);
  sysOopRegistry[sysClassTablePageClass] = classAt(classIndexClassTablePage);
  uint32_t undefined = newTestClass(formatPointers);
  setClassTag(headerOf(nil), undefined);
  setClassTag(headerOf(sysOop(sysTrue)), undefined);
  setClassTag(headerOf(sysOop(sysFalse)), undefined);
  setClassTag(headerOf(sysOop(sysEmptySlotMarker)), testClasses.object);
  // The kernel's constants live in perm space in a real image; their classes are old here,
  // so the old remembered table lists them (a global collection marks old classes through it).
  for (uint32_t slot : {uint32_t(sysNil), uint32_t(sysTrue), uint32_t(sysFalse), uint32_t(sysEmptySlotMarker)})
    makePerm(sysOop(slot));
}

static void rememberPermConstants() {
  for (uint32_t slot : {uint32_t(sysNil), uint32_t(sysTrue), uint32_t(sysFalse), uint32_t(sysEmptySlotMarker)})
    registerInOldRt(headerOf(sysOop(slot)));
}

static void makeTestClassesAndTables(uint64_t rtSlots) {
  testClasses.pointers = newTestClass(formatPointers | formatIndexable);
  testClasses.bytes = newTestClass(formatIndexable);
  testClasses.weak = newTestClass(formatPointers | formatIndexable | formatWeak);
  testClasses.threeSlots = newTestClass(formatPointers | 3);
  ObjectHeader* errors = oldHeader(classIndexArray, 37 * 8, hasPtrsBit, 1);
  for (int64_t k = 0; k < 37; k++) bodyOf(errors)[k] = smallIntegerFor(-(k + 1));
  sysOopRegistry[sysPrimErrorTable] = oopOf(errors);
  sysOopRegistry[sysRt] = oopOf(oldHeader(classIndexArray, rtSlots * 8, hasPtrsBit, 0));
  memset(&rt, 0, sizeof rt);
  updateRtPtrs(1);
  firstFreeSlotX = sysFirstRunTimeSlot;
  // A named entry (a signal's Semaphore, the scavenge Semaphore's index variable) keeps the
  // registry slot an earlier heap gave it; here that slot will be handed out again, so the
  // entry starts without one.
  for (int32_t i = 0; i <= maxRegNameIndex; i++) {
    if (regNames[i]->kind == namedRegistrySlot) regNames[i]->value = 0;
    if (regNames[i]->kind == namedRegistryVar) *reinterpret_cast<int64_t*>(regNames[i]->value) = -1;
  }
}

ArenaSizes testHeapSizes() {
  ArenaSizes s;
  s.edenWords = (1 << 20) / 8;
  s.survivorWords = (1 << 16) / 8;
  return s;
}

void newTestHeap(uint64_t oldSlots, uint64_t rtSlots) { newTestHeap(oldSlots, rtSlots, testHeapSizes()); }

void newTestHeap(uint64_t oldSlots, uint64_t rtSlots, const ArenaSizes& sizes) {
  freeTestHeap();
  newSpaceArena(sizes);
  bool grown = growOldSpace(int64_t(oldSlots));
  assert(grown);
  (void)grown;
  makeRoots();
  makeKernelClasses();
  makeTestClassesAndTables(rtSlots);
  rememberPermConstants();
}

void freeTestHeap() {
  freeSpaceArena();
  memset(&rt, 0, sizeof rt);
  memset(classTable, 0, sizeof classTable);
  for (auto& r : requested) r.store(0);
  for (auto& h : handled) h.store(0);
  oldRtOop = incMarkStackOop = 0;
  currentIncGCState = incGCResting;
  incGCMarkOverflow = 0;
  incGCMarkCount = incGCMarkBytes = 0;
  osReserveSlots = 0;
  incSweepPoint = ~uint64_t(0);
  permSpaceAbsorbed = 0;
  scavengeInProgress = tenureToShrinkRememberedTable = 0;
  lowSpaceLimit = 0;
  anyReq = 0;
  incGCClassChangeCalls = 0;
  resetFragmentationCounts();
  oldObjectsAllocated = oldBytesAllocated = 0;
  lastClassTablePageX = 0;
  sysOopRegistry = nullptr;
  firstClassTablePage = nullptr;
  sysOopRegistryOop = 0;
}

static bool isPointerFormat(uint64_t format) { return (format & formatPointers) != 0; }

oop newOldObject(uint32_t classIndex, uint64_t n) {
  uint64_t format = classFormatOf(classAt(classIndex));
  if (isPointerFormat(format))
    return oopOf(oldHeader(classIndex, n * 8, headerFlagsForFormat(format), nilOop()));
  ObjectHeader* h = oldHeader(classIndex, n, 0, 0);
  return oopOf(h);
}

oop newNewObject(uint32_t classIndex, uint64_t n) {
  uint64_t format = classFormatOf(classAt(classIndex));
  bool ptrs = isPointerFormat(format);
  ObjectHeader* h = allocInNewSpace(classIndex, ptrs ? int64_t(formatNamedSlots(format)) : 0,
                                    ptrs ? n * 8 : n, headerFlagsForFormat(format), ptrs ? nilOop() : 0);
  assert(h != nullptr && isNewObject(oopOf(h)));
  return oopOf(h);
}

void clearOldMarks() {
  writeBackOldSpace();
  for (OldSpaceSegment* s = oldSpaceSegs.first; s != nullptr; s = s->next)
    for (uint64_t a = s->otLow + 16; a <= s->otHigh; a += 16) {
      ObjectHeader* h = reinterpret_cast<ObjectHeader*>(a);
      if (!isPermObject(h)) clearFlag(h, isMarkedBit);
    }
}

void makePerm(oop o) { setFlag(headerOf(o), isPermBit); }

void setStoreCheckCase(ObjectHeader* holder, oop value, int bits) {
  auto put = [](ObjectHeader* o, uint64_t bit, bool on) { on ? setFlag(o, bit) : clearFlag(o, bit); };
  put(holder, isMarkedBit, bits & 2);
  put(holder, inRtBit, bits & 8);
  put(holder, isInOldRtBit, bits & 16);
  if (!isImmediate(value)) put(headerOf(value), isMarkedBit, bits & 4);
  currentIncGCState = (bits & 1) ? (uint8_t)incGCMarking : (uint8_t)incGCResting;
}
