// Object memory: the finalization and ephemeron queue and the primitives that make objects weak.
// Owns the queue window finalQueueBase..finalQueueEnd. Prefix: none (initFinalQueue, addTo...).
#include "mman/mmFinal.h"

#include "ext/exError.h"
#include "ext/exPrimTable.h"
#include "mman/mmHooks.h"
#include "mman/mmNewSpace.h"
#include "mman/mmOldSpace.h"
#include "mman/mmPrimUtil.h"
#include "mman/mmRt.h"
#include "mman/mmSysOop.h"

uint64_t finalQueueBase, finalQueueRead, finalQueueWrite, finalQueueEnd;
int64_t finalQueueOverflow;
int64_t finalizationSemaphoreX = -1;
uint32_t classPageMourned;

static const char* const whereFinal = "src/mman/mmFinal";

// The queue is weak (isGCSpecial), so entries that die before they are fetched are cleared.
static oop newFinalQueue() {
  oop cls = sysOop(sysWeakArrayClass);
  if (isImmediate(cls) || cls == nilOop()) return 0;  // no class to make it from
  uint64_t named = formatNamedSlots(classFormatOf(cls));
  ObjectHeader* h = allocInOldSpace(hashOf(headerOf(cls)), named, (named + finalQueueInitialSlots) * 8,
                                    hasPtrsBit | isGCSpecialBit, nilOop(), 1);
  return h == nullptr ? 0 : oopOf(h);
}

void initFinalQueue() {
  if (sysOop(sysFinalQueue) == nilOop()) {
    oop queue = newFinalQueue();
    if (queue == 0) doReportError("Unable to create finalization queue.", errFatal | 6, "src/mman/mmFinal", 440);
    registerSysOop(queue, sysFinalQueue);
  }
  ObjectHeader* h = headerOf(sysOop(sysFinalQueue));
  uint64_t body = h->dataPtr, named = indexabilityOf(h);
  if (named == indexabilityAskClass) named = formatNamedSlots(classFormatOf(classOfHeader(h)));
  finalQueueBase = finalQueueRead = body + named * 8;
  finalQueueEnd = body + bodyWordsOf(h) * 8;
  if (finalQueueBase > finalQueueEnd) finalQueueBase = finalQueueRead = finalQueueEnd;
  finalQueueWrite = finalQueueBase;
  while (finalQueueWrite < finalQueueEnd && *reinterpret_cast<oop*>(finalQueueWrite) != nilOop())
    finalQueueWrite += 8;
  finalQueueOverflow = 0;
}

// ---- The queue ----------------------------------------------------------------------------------

static ObjectHeader* queueHeader() { return headerOf(sysOop(sysFinalQueue)); }
static uint64_t freeSlots() { return (finalQueueEnd - finalQueueWrite) / 8; }
static uint64_t queueSlots() { return (finalQueueEnd - finalQueueBase) / 8; }
static bool queueIsEmpty() { return finalQueueWrite - finalQueueRead < 8; }

static oop registeredSemaphore() {
  if (finalizationSemaphoreX < 0) return 0;
  oop s = sysOop(uint32_t(finalizationSemaphoreX));
  return s == nilOop() ? 0 : s;
}

void updateFinalQueuePtrs(int flag) {
  ObjectHeader* h = queueHeader();
  if (flag) {  // the compactor left the class's new place in its dataPtr
    uint32_t tag = classTagOf(h);
    oop cls = classAt(tag);
    if (!isNewObject(cls) && !isPermObject(headerOf(cls)) && isMarked(headerOf(cls)))
      classTable[tag >> 10][tag & 1023] = headerOf(cls)->dataPtr;
  }
  uint64_t read = finalQueueRead - finalQueueBase, write = finalQueueWrite - finalQueueBase;
  uint64_t body = h->dataPtr, named = indexabilityOf(h);
  if (named == indexabilityAskClass) named = formatNamedSlots(classFormatOf(classOfHeader(h)));
  finalQueueBase = body + named * 8;
  finalQueueEnd = body + bodyWordsOf(h) * 8;
  finalQueueRead = finalQueueBase + read;
  finalQueueWrite = finalQueueBase + write;
}

void shiftFinalQueueEntries() {
  if (finalQueueRead <= finalQueueBase) return;
  uint64_t gap = finalQueueRead - finalQueueBase;
  oop* q = reinterpret_cast<oop*>(finalQueueBase);
  for (uint64_t a = finalQueueRead; a < finalQueueWrite; a += 8) *q++ = *reinterpret_cast<oop*>(a);
  for (uint64_t a = finalQueueWrite - gap; a < finalQueueWrite; a += 8) *reinterpret_cast<oop*>(a) = nilOop();
  finalQueueWrite -= gap;
  finalQueueRead = finalQueueBase;
}

// Room at the front is enough; otherwise the queue grows only for a registered Semaphore.
static void growFinalQueue(uint64_t min) {
  if (finalQueueRead > finalQueueBase) return shiftFinalQueueEntries();
  if (registeredSemaphore() == 0) return;
  uint64_t half = (queueSlots() + 1) / 2;
  if (growOldObject(queueHeader(), half > min ? half : min, min) != 0) updateFinalQueuePtrs(0);
}

void shrinkFinalQueue() {
  shiftFinalQueueEntries();
  uint64_t slots = queueSlots(), free = freeSlots();
  if (slots > 256 && free > slots / 4 && shrinkOldObject(queueHeader(), free - 250, 0) != 0)
    updateFinalQueuePtrs(0);
}

static void pushEntry(oop object, int line) {
  *reinterpret_cast<oop*>(finalQueueWrite) = object;
  finalQueueWrite += 8;
  storeCheck(queueHeader(), object, whereFinal, line);
}

void addToFinalQueue(oop object) {
  if (classTagOf(headerOf(object)) == classIndexClassTablePage) {
    mournClassTablePageEntry(object);
    classPageMourned = 1;
    return;
  }
  if (finalQueueOverflow != 0) {
    finalQueueOverflow++;
    return;
  }
  if (finalQueueWrite == finalQueueEnd) growFinalQueue(1);
  if (finalQueueWrite == finalQueueEnd) {
    finalQueueOverflow++;
    return;
  }
  pushEntry(object, 293);
}

int reserveOnEphemeronQueue(uint64_t n) {
  shiftFinalQueueEntries();
  if (freeSlots() < n) growFinalQueue(n);
  if (freeSlots() >= n) return 1;
  finalQueueOverflow += int64_t(n - freeSlots());
  return 0;
}

void addToEphemeronQueue(oop ephemeron) {
  pushEntry(ephemeron, 250);
  clearFlag(headerOf(ephemeron), isGCSpecialBit | ephemeronNotWeakBit);
}

void signalFinalizationSemaphoreIfRequired() {
  if (classPageMourned) {
    codeHooks.purgeDeadClassesFromMCache();
    classPageMourned = 0;
  }
  oop s = registeredSemaphore();
  if (s != 0 && (!queueIsEmpty() || finalQueueOverflow != 0)) stackHooks.asynchSignal(s);
}

// ---- Primitives ---------------------------------------------------------------------------------

static oop primRegisterFinalizationSemaphore(oop receiver, oop semaphore) {
  if (semaphore != nilOop() && (isImmediate(semaphore) || !isKindOf(semaphore, sysOop(sysSemaphoreClass))))
    return failPrimitive(primErrorAt(3), 1);
  if (finalizationSemaphoreX < 0) {
    int64_t x = allocSysOopSlot();
    if (x < 0) return failPrimitive(primErrorAt(1), 1);
    finalizationSemaphoreX = x;
  }
  registerSysOop(semaphore, uint32_t(finalizationSemaphoreX));
  if (semaphore != nilOop() && (!queueIsEmpty() || finalQueueOverflow != 0)) stackHooks.asynchSignal(semaphore);
  return receiver;
}

// After losses only the queued ephemerons (told by their cleared isGCSpecial) are kept.
static oop keepQueuedEphemeronsAndFail() {
  oop lost = smallIntegerFor(int64_t(queueSlots()) + finalQueueOverflow);
  finalQueueOverflow = 0;
  oop queue = sysOop(sysFinalQueue), marker = sysOop(sysEmptySlotMarker);
  uint64_t to = finalQueueBase;
  for (uint64_t a = finalQueueRead; a < finalQueueWrite; a += 8) {
    oop e = *reinterpret_cast<oop*>(a);
    if (e == nilOop() || e == marker || e == queue || !isHeapObject(e) || isGCSpecial(headerOf(e))) continue;
    *reinterpret_cast<oop*>(to) = e;
    to += 8;
  }
  for (uint64_t a = to; a < finalQueueWrite; a += 8) *reinterpret_cast<oop*>(a) = nilOop();
  finalQueueRead = finalQueueBase;
  finalQueueWrite = to;
  return failPrimitive(cloneErrorWith(primErrorAt(26), lost), 0);
}

static oop primFetchFinalQueueEntry(oop receiver) {
  (void)receiver;
  if (registeredSemaphore() == 0) return nilOop();
  if (finalQueueOverflow > 0) return keepQueuedEphemeronsAndFail();
  oop queue = sysOop(sysFinalQueue), marker = sysOop(sysEmptySlotMarker);
  while (finalQueueWrite - finalQueueRead >= 8) {
    oop e = *reinterpret_cast<oop*>(finalQueueRead);
    *reinterpret_cast<oop*>(finalQueueRead) = nilOop();
    finalQueueRead += 8;
    if (e != marker && e != queue && e != nilOop()) return e;
  }
  finalQueueRead = finalQueueWrite = finalQueueBase;
  return nilOop();
}

static oop primIsWeak(oop receiver) {
  return booleanOop(!isImmediate(receiver) && (headerOf(receiver)->flags & (isGCSpecialBit | ephemeronNotWeakBit)) == isGCSpecialBit);
}
static oop primIsEphemeron(oop receiver) { return booleanOop(!isImmediate(receiver) && isEphemeron(headerOf(receiver))); }

// Primitives 467 and 468: the class's format must allow the state (requiredBits set, and for
// ephemerons no indexable part and a key slot).
static oop setGCSpecialState(oop receiver, oop state, uint64_t newBits, bool ephemeron) {
  if (isImmediate(receiver) || !hasPtrs(headerOf(receiver))) return failPrimitive(primErrorAt(4), 1);
  uint64_t format = classFormatOf(classOf(receiver));
  bool suitable = ephemeron ? !(format & formatIndexable) && formatNamedSlots(format) >= 1 && (format & formatEphemeron)
                            : (format & formatIndexable) && (format & formatWeak);
  if (!suitable) return failPrimitive(primErrorAt(4), 1);
  if (state != trueOop() && state != falseOop()) return failPrimitive(primErrorAt(3), 1);
  ObjectHeader* h = headerOf(receiver);
  uint64_t mask = isGCSpecialBit | ephemeronNotWeakBit;
  bool was = (h->flags & mask) == newBits;
  bool want = state == trueOop();
  if (was == want) return booleanOop(was);
  if (isImmutable(h)) return failPrimitive(primErrorAt(23), 1);
  h->flags = (h->flags & ~mask) | (want ? newBits : 0);
  if (ephemeron) incGCObjEphemeronnessChanged(receiver, want);
  else incGCObjWeaknessChanged(receiver, want);
  return booleanOop(was);
}
static oop primMakeWeak(oop receiver, oop state) { return setGCSpecialState(receiver, state, isGCSpecialBit, false); }
static oop primMakeEphemeron(oop receiver, oop state) {
  return setGCSpecialState(receiver, state, isGCSpecialBit | ephemeronNotWeakBit, true);
}

static oop primGrowFinalQueue(oop receiver, oop size) {
  if (!isSmallInteger(size)) return failPrimitive(primErrorAt(3), 1);
  int64_t n = smallIntegerValue(size), slots = int64_t(queueSlots());
  if (n <= slots) return receiver;
  uint64_t extra = uint64_t(n - slots);
  if (extra >= maxAllocBytes / 8 || growOldObject(queueHeader(), extra, extra) == 0)
    return failPrimitive(cloneErrorWith(primErrorAt(1), size), 1);
  updateFinalQueuePtrs(0);
  return receiver;
}

void initFinalizationPrims() {
  addCPrimitive(300, reinterpret_cast<const void*>(primRegisterFinalizationSemaphore), 1);
  addCPrimitive(301, reinterpret_cast<const void*>(primFetchFinalQueueEntry), 0);
  addCPrimitive(465, reinterpret_cast<const void*>(primIsWeak), 0);
  addCPrimitive(466, reinterpret_cast<const void*>(primIsEphemeron), 0);
  addCPrimitive(467, reinterpret_cast<const void*>(primMakeWeak), 1);
  addCPrimitive(468, reinterpret_cast<const void*>(primMakeEphemeron), 1);
  addCPrimitive(469, reinterpret_cast<const void*>(primGrowFinalQueue), 1);
}
