// Object memory: the well-known-object registry and the class table.
// Owns sysOopRegistry, firstFreeSlotX, classTable, firstClassTablePage, lastClassTablePageX.
// Prefix: none (registerSysOop, allocSysOopSlot, enterIntoClassTable, trimClassTable, ...).
#include "mman/mmSysOop.h"

#include "ext/exError.h"
#include "mman/mmIncGC.h"
#include "mman/mmOldSpace.h"
#include "mman/mmRt.h"

oop* sysOopRegistry;
uint64_t firstFreeSlotX;
oop* classTable[classTablePages];
oop* firstClassTablePage;
uint32_t lastClassTablePageX;

static const char* const sysOopFile = "src/mman/mmSysOop";

static uint64_t registrySize() { return bodyWordsOf(headerOf(sysOopRegistryOop)); }

void refreshSysOopRegistry() { sysOopRegistry = bodyOf(headerOf(sysOopRegistryOop)); }

oop activeProcess() {
  oop s = sysOop(sysProcessor);
  bool isScheduler = isHeapObject(s) && s != 0 && hasPtrs(headerOf(s)) && bodyWordsOf(headerOf(s)) >= 2;
  return isScheduler ? slotOf(s, schedulerActiveProcess) : nilOop();
}

void registerSysOop(oop o, uint32_t index) {
  sysOopRegistry[index] = o;
  storeCheck(headerOf(sysOopRegistryOop), o, sysOopFile, __LINE__);
}

// New slots are nil (growOldObject fills pointer bodies with nil).
static uint64_t growSysOopRegistry(uint64_t wanted) {
  uint64_t added = growOldObject(headerOf(sysOopRegistryOop),
                                 wanted > registryGrowSlots ? wanted : uint64_t(registryGrowSlots), wanted);
  refreshSysOopRegistry();
  return added;
}

int64_t allocSysOopSlot() {
  if (firstFreeSlotX >= registrySize() && growSysOopRegistry(1) == 0) return -1;
  return int64_t(firstFreeSlotX++);
}

int64_t registerNewSysOop(oop o) {
  int64_t index = allocSysOopSlot();
  if (index >= 0) registerSysOop(o, uint32_t(index));
  return index;
}

oop freeSysOopSlot(uint64_t index) {
  if (index < sysFirstRunTimeSlot || index >= firstFreeSlotX) return 0;
  oop previous = sysOopRegistry[index];
  registerSysOop(nilOop(), uint32_t(index));
  if (index == firstFreeSlotX - 1) firstFreeSlotX -= 1;
  return previous;
}

int64_t maxValidSysOopX() { return int64_t(firstFreeSlotX) - 1; }

void shrinkSysOopRegistry() {
  uint64_t size = registrySize(), tail = size - firstFreeSlotX;
  if (tail <= size / 4 || tail <= registryGrowSlots) return;
  shrinkOldObject(headerOf(sysOopRegistryOop), tail - registryGrowSlots, 0);
  refreshSysOopRegistry();
}

// After loading: the fixed roles are kept, run-time slots never survive a snapshot (a saved
// high-water mark below 64 is read as 64, so fixed roles are never cleared).
void initSysOopRegistry() {
  uint64_t size = registrySize();
  if (size < sysFirstRunTimeSlot && growSysOopRegistry(sysFirstRunTimeSlot - size) == 0)
    doReportError("Not enough space to initialize the well-known-oop registry",
                  uint32_t(qrxErrorStatus) | errFatal, sysOopFile, __LINE__);
  refreshSysOopRegistry();
  refreshClassTable();
  firstFreeSlotX = sysFirstRunTimeSlot;
  if (prevFirstFreeSlotX < sysFirstRunTimeSlot) prevFirstFreeSlotX = sysFirstRunTimeSlot;
  for (uint64_t i = sysFirstRunTimeSlot, n = registrySize(); i < n; i++)
    registerSysOop(nilOop(), uint32_t(i));
}

void refreshClassTable() {
  oop pages = sysOopRegistry[sysClassTablePages];
  oop* body = bodyOf(headerOf(pages));
  for (uint32_t i = 0; i < classTablePages; i++) {
    oop page = body[i];
    classTable[i] = page == nilOop() ? nullptr : bodyOf(headerOf(page));
    if (classTable[i] != nullptr) lastClassTablePageX = i;
  }
  firstClassTablePage = classTable[0];
}

void updateSysOopRegistryPtrs(int compacting) {
  if (compacting) {
    sysOopRegistryOop = movedEntry(sysOopRegistryOop);
    refreshSysOopRegistry();
    for (uint64_t i = 0, n = registrySize(); i < n; i++) sysOopRegistry[i] = movedEntry(sysOopRegistry[i]);
  }
  refreshSysOopRegistry();
  refreshClassTable();
}

// ---------------------------------------------------------------------------------------
// The class table.

static oop emptySlotMarker() { return sysOopRegistry[sysEmptySlotMarker]; }

// Makes class-table page number pageNo; answers 0 or the error object of code 1.
static oop makeClassTablePage(uint32_t pageNo) {
  ObjectHeader* h = allocInOldSpace(classIndexClassTablePage, 0, classTablePageSlots * 8,
                                    hasPtrsBit | isGCSpecialBit | isImmutableBit, emptySlotMarker(), 0);
  if (h == nullptr) return primErrorAt(1);
  storeSlot(sysOopRegistry[sysClassTablePages], pageNo, oopOf(h), sysOopFile, __LINE__);
  if (currentIncGCState == incGCMarking) incMarkObj(oopOf(h));
  classTable[pageNo] = bodyOf(h);
  if (pageNo > lastClassTablePageX) lastClassTablePageX = pageNo;
  return 0;
}

static bool isFreeClassIndex(uint32_t i) {
  return classTable[i >> 10] != nullptr && classTable[i >> 10][i & 1023] == emptySlotMarker();
}

// The index for the next class: the pointer's own slot when free, else the next free slot
// after it (wrapping to 43), or the first index of a missing page. 0 when the table is full.
static int findClassIndex(uint32_t* found) {
  uint32_t p = classTableAllocationPointer;
  if (classTable[p >> 10] == nullptr || isFreeClassIndex(p)) return *found = p, 1;
  for (uint32_t i = p + 1;; i++) {
    if (i >= classIndexLimit) i = classIndexFirstFree;
    if (i == p) return 0;
    if (classTable[i >> 10] == nullptr || isFreeClassIndex(i)) return *found = i, 1;
  }
}

oop enterIntoClassTable(oop cls) {
  uint32_t index;
  if (!findClassIndex(&index)) return primErrorAt(26);
  classTableAllocationPointer = index;
  uint32_t pageNo = index >> 10;
  if (classTable[pageNo] == nullptr) {
    oop error = makeClassTablePage(pageNo);
    if (error != 0) return error;
  }
  classTable[pageNo][index & 1023] = cls;
  ObjectHeader* page = headerOf(slotOf(sysOopRegistry[sysClassTablePages], pageNo));
  if (isHeapObject(cls) && isNewObject(cls) && !inRt(page)) setFlag(page, inRtBit);
  setHash(headerOf(cls), index);
  return 0;
}

static bool pageIsEmpty(const oop* body) {
  for (uint32_t s = 0; s < classTablePageSlots; s++)
    if (body[s] != emptySlotMarker()) return false;
  return true;
}

void trimClassTable() {
  if (lastClassTablePageX == 0) return;
  oop pages = sysOopRegistry[sysClassTablePages];
  uint32_t lastKept = 0;
  for (uint32_t i = 1; i <= lastClassTablePageX; i++) {
    oop page = slotOf(pages, i);
    if (page == nilOop()) continue;
    if (isPermObject(headerOf(page)) || !pageIsEmpty(classTable[i])) {
      lastKept = i;
      continue;
    }
    storeSlot(pages, i, nilOop(), sysOopFile, __LINE__);
    classTable[i] = nullptr;
    if (classTableAllocationPointer >> 10 == i)
      classTableAllocationPointer = lastKept == 0 ? classIndexFirstFree : lastKept << 10;
  }
  lastClassTablePageX = lastKept;
}

void mournClassTablePageEntry(oop page) {
  oop* body = bodyOf(headerOf(page));
  uint32_t i = 0;
  while (i < classTablePages && classTable[i] != body) i++;
  if (i == classTablePages) {
    classTableAllocationPointer = classIndexFirstFree;
    return;
  }
  if (i <= classTableAllocationPointer >> 10)
    classTableAllocationPointer = i == 0 ? classIndexFirstFree : i << 10;
}

// An object is a class when its class is a metaclass: an instance of Metaclass (the class of
// the class of Array) or of a subclass of it.
int classType(oop o) {
  if (isImmediate(o)) return 0;
  oop metaclass = classOf(classOf(sysOopRegistry[sysArrayClass]));
  oop meta = classOf(o);
  if (isImmediate(meta)) return 0;
  for (oop c = classOf(meta); c != nilOop(); c = superclassOf(c)) {
    if (c == metaclass) return (classFormatOf(o) & formatIndexable) ? 2 : 1;
  }
  return 0;
}
