// Object memory: the well-known-object registry and the class table.
// Owns sysOopRegistry, firstFreeSlotX, classTable, firstClassTablePage, lastClassTablePageX.
// Prefix: none (registerSysOop, allocSysOopSlot, enterIntoClassTable, classOf, ...).
#pragma once
#include <cstdint>

#include "mman/mmImageHeader.h"
#include "mman/mmObject.h"

// Registry slots with fixed roles; slots from sysFirstRunTimeSlot up are handed out at run
// time, in increasing order, never reused below the high-water mark, and reset to nil at
// start-up.
enum SysOopSlot : uint32_t {
  sysNil = 0,
  sysTrue = 1,
  sysFalse = 2,
  sysProcessor = 3,
  sysSmallIntegerClass = 4,
  sysCharacterClass = 6,
  sysUnwindSelector = 7,
  sysDnuSelector = 8,
  sysMustBeBooleanSelector = 9,
  sysCannotReturnSelector = 10,
  sysMethodContextClass = 11,
  sysBlockContextClass = 12,
  sysMessageClass = 14,
  sysArrayClass = 15,
  sysSemaphoreClass = 16,
  sysByteStringClass = 17,
  sysLargePositiveIntegerClass = 18,
  sysLargeNegativeIntegerClass = 19,
  sysCDataClass = 20,
  sysByteArrayClass = 22,
  sysTwoByteStringClass = 23,
  sysTwoByteSymbolClass = 24,
  sysDoubleClass = 25,
  sysWeakArrayClass = 26,
  sysPointClass = 27,
  sysFloatClass = 28,
  sysClassTablePages = 29,
  sysSpecialSelectors = 30,
  sysPrimErrorTable = 31,
  sysRt = 32,
  sysOldRt = 33,
  sysFinalQueue = 34,
  sysEmptySlotMarker = 35,
  sysBadBytecodeSelector = 36,
  sysReadOnlyAssignSelector = 37,
  sysDeadContextSelector = 38,
  sysClassTablePageClass = 42,
  sysFirstRunTimeSlot = 64,
};

// Class indices the engine tests directly; indices below classIndexFirstFree are never
// handed out by the search.
enum ClassIndex : uint32_t {
  classIndexFiller = 0,
  classIndexCharacter = 1,
  classIndexSmallInteger = 3,
  classIndexSmallDouble = 5,
  classIndexHybridMethodContext = 8,
  classIndexHybridBlockContext = 9,
  classIndexMethodContext = 11,
  classIndexBlockContext = 12,
  classIndexArray = 15,
  classIndexSemaphore = 16,
  classIndexByteString = 17,
  classIndexLargePositiveInteger = 18,
  classIndexLargeNegativeInteger = 19,
  classIndexByteArray = 22,
  classIndexTwoByteString = 23,
  classIndexTwoByteSymbol = 24,
  classIndexDouble = 25,
  classIndexFloat = 28,
  classIndexClassTablePage = 42,
  classIndexFirstFree = 43,
  classIndexLimit = 1 << 20,
};

enum : uint32_t {
  classTablePages = 1024,      // pages of the page Array (registry slot 29)
  classTablePageSlots = 1024,  // classes per page
  classSuperclassSlot = 0,
  classFormatSlot = 2,
  registryGrowSlots = 25,      // least growth, and the tail shrinking keeps
};

// ClassFormat: slot 2 of a class, a SmallInteger whose value bits are
//
//   16     15     14     13    12      11 .. 0
//  +-----+------+------+-----+------+-----------+
//  | eph | weak | ptrs |     | var  |  named    |
//  +-----+------+------+-----+------+-----------+
//
// A variable byte class has (value & 0x5000) == 0x1000; the raw oop & 0x7FF8 is the byte
// size of the named part.
enum : uint64_t {
  formatNamedMask = 0xFFF,
  formatIndexable = 1 << 12,
  formatPointers = 1 << 14,
  formatWeak = 1 << 15,
  formatEphemeron = 1 << 16,
};
inline uint64_t formatNamedSlots(uint64_t format) { return format & formatNamedMask; }
// The header flags an instance takes from its class's format value.
inline uint64_t headerFlagsForFormat(uint64_t format) {
  uint64_t flags = 0;
  if (format & formatPointers) flags |= hasPtrsBit;
  if (format & (formatWeak | formatEphemeron)) flags |= isGCSpecialBit;
  uint64_t kind = format & (formatIndexable | formatPointers | formatWeak | formatEphemeron);
  if (kind == (formatPointers | formatEphemeron)) flags |= ephemeronNotWeakBit;
  return flags;
}

extern oop* sysOopRegistry;             // body of the registry Array
extern uint64_t firstFreeSlotX;         // lowest registry index not handed out
extern oop* classTable[classTablePages];  // body of each page, 0 for a missing page
extern oop* firstClassTablePage;        // classTable[0]
extern uint32_t lastClassTablePageX;    // highest page number in use

inline oop sysOop(uint32_t index) { return sysOopRegistry[index]; }
inline oop nilOop() { return sysOopRegistry[sysNil]; }
inline oop trueOop() { return sysOopRegistry[sysTrue]; }
inline oop falseOop() { return sysOopRegistry[sysFalse]; }
inline oop booleanOop(bool b) { return b ? trueOop() : falseOop(); }
// The PrimErrorTable entry for a primitive failure code.
inline oop primErrorAt(uint32_t code) { return slotOf(sysOopRegistry[sysPrimErrorTable], code); }

inline oop classAt(uint32_t tag) { return classTable[tag >> 10][tag & 1023]; }
inline oop classOfHeader(const ObjectHeader* h) { return classAt(classTagOf(h)); }
inline oop classOf(oop o) {
  return isImmediate(o) ? firstClassTablePage[o & oopTagMask] : classOfHeader(headerOf(o));
}
inline uint64_t classFormatOf(oop cls) { return uint64_t(smallIntegerValue(slotOf(cls, classFormatSlot))); }
inline oop superclassOf(oop cls) { return slotOf(cls, classSuperclassSlot); }

// Slots of the image objects the scheduler works on (all oops; priorities are
// SmallIntegers, 1 the lowest): Process, LinkedList, Semaphore, ProcessorScheduler (the
// registry's sysProcessor).
enum : uint32_t {
  processNextLink = 0,
  processSuspendedContext = 1,
  processPriority = 2,
  processMyList = 3,
  listFirstLink = 0,
  listLastLink = 1,
  semaphoreExcessSignals = 2,
  schedulerReadyLists = 0,  // Array: entry p-1 holds the ready Processes of priority p
  schedulerActiveProcess = 1,
};
// The ProcessorScheduler's active Process; nil when the registry holds no scheduler.
oop activeProcess();

// Context objects: six named slots. Hybrid contexts stand for a live frame; adding
// contextStableDelta to the class index gives the stable form. Hybrid slots 1 and 2 hold
// caller fp + 1 and own fp + 1.
enum : uint32_t {
  ctxMethod = 0,
  ctxPc = 1,        // stable: SmallInteger pc; hybrid: caller fp + 1
  ctxSender = 2,    // stable: sender or nil; hybrid: own fp + 1
  ctxReceiver = 3,
  ctxDepth = 4,     // SmallInteger: used words of the frame contents
  ctxContents = 5,  // Array of max(contextMinContents, frame size) slots, or nil
  contextNamedSlots = 6,
  contextMinContents = 12,
  contextStableDelta = 3,
};
static_assert(classIndexHybridMethodContext == 8 && classIndexHybridBlockContext == 9 &&
                  uint32_t(classIndexHybridMethodContext) + contextStableDelta == classIndexMethodContext &&
                  uint32_t(classIndexHybridBlockContext) + contextStableDelta == classIndexBlockContext,
              "hybrid contexts are classes 8 and 9; their stable forms 11 and 12");
static_assert(classIndexArray == 15, "frame contents are Arrays");

void registerSysOop(oop o, uint32_t index);
int64_t allocSysOopSlot();
int64_t registerNewSysOop(oop o);
oop freeSysOopSlot(uint64_t index);
int64_t maxValidSysOopX();
void shrinkSysOopRegistry();
void initSysOopRegistry();
void refreshSysOopRegistry();
void refreshClassTable();
void updateSysOopRegistryPtrs(int compacting);

oop enterIntoClassTable(oop cls);
void trimClassTable();
void mournClassTablePageEntry(oop page);
int classType(oop o);
