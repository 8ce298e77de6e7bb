// Object memory: the global mark-sweep collector: marking from the registry, weak objects
// and ephemerons, the sweeps of every space, old space's compaction; primitives 138, 322,
// 325 and 448; the collection stress switch; the low-space request.
// Prefix: none (collectGarbage, initGarbagePrims, ...).
#include "mman/mmGlobalGC.h"

#include <cinttypes>
#include <cstdlib>
#include <string>

#include "ext/exError.h"
#include "ext/exPrimTable.h"
#include "ext/exRequest.h"
#include "ext/platform.h"
#include "mman/mmCValue.h"
#include "mman/mmFinal.h"
#include "mman/mmFixedSpace.h"
#include "mman/mmHooks.h"
#include "mman/mmIncGC.h"
#include "mman/mmLargeSpace.h"
#include "mman/mmNewSpace.h"
#include "mman/mmOldSpace.h"
#include "mman/mmOopStack.h"
#include "mman/mmPermSpace.h"
#include "mman/mmImageHeader.h"
#include "mman/mmPrimUtil.h"
#include "mman/mmRt.h"
#include "mman/mmScavenge.h"
#include "mman/mmSysOop.h"
#include "mman/mmVerify.h"
#include "mman/mmInit.h"

uint64_t numGCs, numGlobalGCs, numMarkStackOverflows, numWeakObjectListOverflows;
uint64_t gcMarkAreaCap, gcScratchAreaCap;
void (*gcMarkPhaseHook)(int ended);
uint64_t gcStressInterval;
static uint64_t gcStressCount;
int64_t lowSpaceSemaphoreX = -1;
uint64_t lowSpaceLimit;

static const char* const globalGCFile = SOURCE_NAME;

// ---- Work areas -----------------------------------------------------------------------------
// The mark stack lies in the larger free area of new space (eden past its allocation point,
// or future space), with the big-object stack growing down from the same area's end; the
// two are full when they meet. The weak list grows up from the bottom of the native-method zone, which
// the collection has emptied, and the ephemeron list down from its top.

static oop *stackBase, *stackTop, *stackEnd;
static oop* bigTop;         // big objects occupy [bigTop, stackEnd); the bottom one is in hand
static uint64_t bigResume;  // the next slot of the big object in hand
static oop *weakBase, *weakTop, *ephBottom, *ephTop;  // ephemerons occupy [ephBottom, ephTop)
static uint32_t markOverflow, ephemeronMarkingOn;

static void placeWorkAreas() {
  uint64_t edenFree = eden.end - eden.allocPtr, futureFree = futureSpace.end - futureSpace.top;
  uint64_t start = futureFree >= edenFree ? futureSpace.top : eden.allocPtr;
  uint64_t bytes = futureFree >= edenFree ? futureFree : edenFree;
  if (gcMarkAreaCap != 0 && bytes > gcMarkAreaCap) bytes = gcMarkAreaCap;
  stackBase = stackTop = reinterpret_cast<oop*>(start);
  stackEnd = bigTop = stackBase + bytes / 8;
  bigResume = 0;
  uint64_t low, high;
  codeHooks.scratchNmzBounds(&low, &high);
  if (gcScratchAreaCap != 0 && high - low > gcScratchAreaCap) high = low + gcScratchAreaCap;
  weakBase = weakTop = reinterpret_cast<oop*>(low);
  ephBottom = ephTop = reinterpret_cast<oop*>(high & ~uint64_t(7));
}

// A body pointer with the "marked, not yet scanned" bit cleared.
static inline oop* body(const ObjectHeader* h) { return reinterpret_cast<oop*>(h->dataPtr & ~uint64_t(7)); }
static inline uint64_t words(const ObjectHeader* h) {
  uint32_t s = sizeFieldOf(h);
  return s < sizeFieldExtended ? s : body(h)[-1] >> 3;
}
static uint64_t namedSlots(const ObjectHeader* h) {
  uint64_t n = indexabilityOf(h);
  if (n != indexabilityAskClass) return n;
  oop cls = classOfHeader(h);
  return formatNamedSlots(uint64_t(smallIntegerValue(body(headerOf(cls))[classFormatSlot])));
}

// Live for this collection: immediates, perm objects (perm space stands apart) and marked
// ones. The header bits that say so are fixed for the whole mark: one test per object.
static uint64_t liveBits = isMarkedBit | isPermBit;
static inline bool isLiveHeader(const ObjectHeader* h) { return (h->flags & liveBits) != 0; }
static inline bool survives(oop o) {
  if (!isHeapObject(o) || o == 0) return true;
  return isLiveHeader(headerOf(o));
}

static void push(ObjectHeader* h) {
  if (stackTop < bigTop) {
    *stackTop++ = oopOf(h);
    return;
  }
  h->dataPtr |= 1;  // the overflow rescan finds it
  markOverflow = 1;
}

static void markOop(oop o) {
  for (;;) {
    if (!isHeapObject(o) || o == 0) return;
    ObjectHeader* h = headerOf(o);
    if (isLiveHeader(h)) return;
    setFlag(h, isMarkedBit);
    if (hasPtrs(h) && h->dataPtr != 0 && words(h) != 0) {
      push(h);
      return;
    }
    o = classOfHeader(h);  // not scanned: its class is marked in its place
  }
}

// A scanned object's slots are marked a few slots later than they are read: each target's
// entry is fetched on reading and marked from a short ring once it is due, so that the reads
// of scattered entries overlap instead of waiting one by one. The ring is emptied before the
// mark stack is found empty. nil, met in most bodies, skips the ring once it is live.
static constexpr uint32_t ringSlots = 16;
static oop ring[ringSlots];
static uint32_t ringNext, ringFill;
static oop ringSkip;  // nil once it survives, else 0

static inline void markSoon(oop o) {
  if (!isHeapObject(o) || o == 0 || o == ringSkip) return;
  __builtin_prefetch(reinterpret_cast<const void*>(o), 1);
  uint32_t i = ringNext;
  ringNext = (i + 1) & (ringSlots - 1);
  oop due = ring[i];
  ring[i] = o;
  if (ringFill == ringSlots)
    markOop(due);
  else
    ringFill += 1;
}
static void drainRing() {
  while (ringFill != 0) {
    ringFill -= 1;
    markOop(ring[(ringNext - 1 - ringFill) & (ringSlots - 1)]);
  }
  if (ringSkip == 0 && survives(nilOop())) ringSkip = nilOop();
}

// Bodies of this many slots or more are scanned in pieces, so that the mark stack stays
// shallow; bit 0 of an entry says only the named slots are to be scanned (a listed weak object).
static constexpr uint64_t bigRangeSlots = 32776 / 8, bigPieceSlots = 65536 / 8;
static void pushBig(ObjectHeader* h, bool namedOnly) {
  if (bigTop > stackTop) {
    *--bigTop = oopOf(h) | (namedOnly ? 1 : 0);
    return;
  }
  h->dataPtr |= 1;
  markOverflow = 1;
}

static bool addWeak(oop o) {
  if (weakTop >= ephBottom) return false;
  *weakTop++ = o;
  return true;
}
static bool addEphemeron(oop o) {
  if (ephBottom <= weakTop) return false;
  *--ephBottom = o;
  return true;
}

// Neighbours in a scan mostly share a class: the last one marked is not looked at again.
static oop lastClassMarked;

static void scanObject(ObjectHeader* h) {
  oop cls = classOfHeader(h);
  if (cls != lastClassMarked) {
    markOop(cls);
    lastClassMarked = cls;
  }
  // The remembered table's entries hold nobody alive (dead holders leave it when it is
  // compacted), and its slots past the first free one are stale.
  if (!hasPtrs(h) || h->dataPtr == 0 || oopOf(h) == rt.object) return;
  oop* b = body(h);
  uint64_t n = words(h);
  if (isGCSpecial(h)) {
    if (isEphemeron(h)) {
      if (ephemeronMarkingOn && n != 0 && !survives(b[0])) {
        if (addEphemeron(oopOf(h))) return;
        numWeakObjectListOverflows += 1;
      }
    } else if (addWeak(oopOf(h))) {
      n = namedSlots(h);
    } else {
      numWeakObjectListOverflows += 1;
    }
  }
  if (n >= bigRangeSlots && !isPermObject(h)) {
    pushBig(h, n != words(h));
    return;
  }
  for (uint64_t i = 0; i < n; i++) markSoon(b[i]);
}

// The big object in hand is scanned piece by piece from its resume slot, back to the
// ordinary stack once that holds a piece's worth. A finished object's slot takes the top
// entry. An ephemeron got here only to be scanned whole (its key was marked, or the list
// was full), so it is scanned whole whatever its key has become.
static void scanBigObject() {
  oop* bottom = stackEnd - 1;
  ObjectHeader* h = headerOf(*bottom & ~uint64_t(1));
  uint64_t n = (*bottom & 1) != 0 ? namedSlots(h) : words(h);
  oop* b = body(h);
  oop* stintStart = stackTop;
  while (bigResume < n) {
    uint64_t end = n - bigResume > bigPieceSlots ? bigResume + bigPieceSlots : n;
    for (uint64_t i = bigResume; i < end; i++) markSoon(b[i]);
    bigResume = end;
    if (bigResume < n && uint64_t(stackTop - stintStart) >= bigPieceSlots) return;
  }
  bigResume = 0;
  *bottom = *bigTop++;
}

// Objects left with bit 0 of dataPtr set by a full stack are scanned now.
static void rescanArea(uint64_t from, uint64_t to) {
  for (ObjectHeader* h = reinterpret_cast<ObjectHeader*>(from); oopOf(h) < to;) {
    bool flagged = classTagOf(h) != 0 && (h->dataPtr & 1) != 0;
    if (flagged) h->dataPtr &= ~uint64_t(1);
    ObjectHeader* next = nextNewSpaceHeader(h);
    if (flagged) scanObject(h);
    h = next;
  }
}
static void rescanOverflowed() {
  rescanArea(pastSpace.start, pastSpace.top);
  rescanArea(eden.start, eden.allocPtr);
  writeBackOldSpace();
  for (OldSpaceSegment* s = oldSpaceSegs.first; s != nullptr; s = s->next)
    for (uint64_t a = s->otLow + 16; a <= s->otHigh; a += 16) {
      ObjectHeader* h = reinterpret_cast<ObjectHeader*>(a);
      if (classTagOf(h) == 0 || (h->dataPtr & 1) == 0) continue;
      h->dataPtr &= ~uint64_t(1);
      scanObject(h);
    }
}

// A popped object waits in a short queue while its body is fetched, and is scanned once it
// leaves the queue: an object pushed is mostly popped at once (the stack's top), so a fetch
// ahead on the stack alone would miss it. While the stack is deep, the entry of an object
// some pops away is fetched too. The queue is emptied before the stack is found empty.
static constexpr int64_t entryAhead = 16;
static constexpr uint32_t queueSlots = 8;
static ObjectHeader* scanQueue[queueSlots];
static uint32_t queueNext, queueFill;

// The whole body is fetched, up to a few lines (the hardware follows longer ones): read
// slot by slot, each of its lines would otherwise wait in turn.
static constexpr uint64_t fetchedBodyBytes = 512;
static inline void fetchBody(const ObjectHeader* h) {
  uint64_t from = uint64_t(body(h)), size = sizeFieldOf(h);
  uint64_t to = from + (size < sizeFieldExtended && size * 8 < fetchedBodyBytes ? size * 8 : fetchedBodyBytes);
  for (uint64_t line = from & ~uint64_t(63); line < to; line += 64) __builtin_prefetch(reinterpret_cast<const void*>(line));
}

static inline void scanSoon(ObjectHeader* h) {
  fetchBody(h);
  uint32_t i = queueNext;
  queueNext = (i + 1) & (queueSlots - 1);
  ObjectHeader* due = scanQueue[i];
  scanQueue[i] = h;
  if (queueFill == queueSlots)
    scanObject(due);
  else
    queueFill += 1;
}
static void drainQueue() {
  while (queueFill != 0) {
    queueFill -= 1;
    scanObject(scanQueue[(queueNext - 1 - queueFill) & (queueSlots - 1)]);
  }
}

static void markLoop() {
  for (;;) {
    while (stackTop > stackBase) {
      if (stackTop - stackBase > entryAhead) __builtin_prefetch(reinterpret_cast<const void*>(stackTop[-entryAhead]));
      scanSoon(headerOf(*--stackTop));
    }
    if (queueFill != 0) {
      drainQueue();
      continue;
    }
    if (ringFill != 0) {
      drainRing();
      continue;
    }
    if (bigTop < stackEnd) {
      scanBigObject();
      continue;
    }
    if (ephemeronMarkingOn)  // ephemerons whose keys are now marked are traced
      for (oop* e = ephBottom; e < ephTop;) {
        if (!survives(body(headerOf(*e))[0])) {
          e++;
          continue;
        }
        ObjectHeader* h = headerOf(*e);
        *e = *ephBottom++;  // the list's open end fills the place
        if (e < ephBottom) e = ephBottom;
        ephemeronMarkingOn = 0;  // its key is live: scanned whole
        scanObject(h);
        ephemeronMarkingOn = 1;
      }
    if (stackTop > stackBase || queueFill != 0 || ringFill != 0 || bigTop < stackEnd) continue;
    if (!markOverflow) return;
    markOverflow = 0;
    numMarkStackOverflows += 1;
    rescanOverflowed();
  }
}

static void scanPermRoot(oop o) {
  if (isHeapObject(o) && o != 0 && isPermObject(headerOf(o))) scanObject(headerOf(o));
}

// The old RT's segments are marked as objects (their classes with them).
static void markOldRtSegments() {
  if (oldRtOop == 0) return;
  oop s = oldRtOop;
  do {
    markOop(s);
    s = segmentNext(s);
  } while (s != oldRtOop);
}

static void markRoots() {
  oop registry = sysOopRegistryOop;
  if (isPermObject(headerOf(registry)))
    scanObject(headerOf(registry));
  else
    markOop(registry);
  markOldRtSegments();
  if (oldRtOop != 0) {
    oop top = oldRtOop;
    oop s = top;
    do {  // perm holders of old objects
      for (uint64_t i = 0, n = segmentCount(s); i < n; i++) scanPermRoot(segmentBody(s)[oopStackFirstEntry + i]);
      s = segmentNext(s);
    } while (s != top);
  }
  for (uint64_t a = rt.start; a < rt.ffs; a += 8) scanPermRoot(*reinterpret_cast<oop*>(a));
}

// Deferred ephemerons: their keys died. Each is traced whole and, when the queue had room
// for all of them, queued.
static void queueDeadKeyEphemerons() {
  uint64_t count = uint64_t(ephTop - ephBottom);
  ephemeronMarkingOn = 0;
  if (count == 0) return;
  int reserved = reserveOnEphemeronQueue(count);
  for (oop* e = ephBottom; e < ephTop; e++) {
    scanObject(headerOf(*e));
    if (reserved) addToEphemeronQueue(*e);
  }
  ephBottom = ephTop;
}

static void clearWeakSlots() {
  oop marker = sysOop(sysEmptySlotMarker);
  while (weakTop > weakBase) {
    ObjectHeader* h = headerOf(*--weakTop);
    oop* b = bodyOf(h);
    bool cleared = false;
    for (uint64_t i = namedSlots(h), n = bodyWordsOf(h); i < n; i++)
      if (!survives(b[i])) {
        b[i] = marker;
        storeCheck(h, marker, globalGCFile, __LINE__);
        cleared = true;
      }
    if (cleared) addToFinalQueue(oopOf(h));
  }
}

static void skipPermCompactOldRtEntries() {
  if (oldRtOop != 0) noPermCompactOldRt();
}

// Under the stress switch: no registry slot (nor the registry itself) may name a freed
// entry or one the sweep-compact moved away from: each lies in a table in use, unmarked
// unless it is perm space's while perm stands apart.
static bool inTableInUse(uint64_t a) {
  if (permSpaceExists && !permSpaceAbsorbed && a > permSpace.otLow && a <= permSpace.otHigh) return true;
  writeBackOldSpace();
  for (OldSpaceSegment* s = oldSpaceSegs.first; s != nullptr; s = s->next)
    if (a > s->otLow && a <= s->otHigh) return (a - s->otLow) % 16 == 0;
  return false;
}
static void checkRegistryRef(oop o, int64_t index) {
  if (!isHeapObject(o) || o == 0 || isNewObject(o)) return;
  const ObjectHeader* h = headerOf(o);
  if (inTableInUse(o) && classTagOf(h) != 0 && (isPermObject(h) || !isMarked(h))) return;
  char message[120];
  snprintf(message, sizeof message, "Registry slot %" PRId64 " refers to a free or moved entry", index);
  doReportError(message, errFatal | 5, globalGCFile, __LINE__);
}
void sysOopRegistryPostGCChecks() {
  if (gcStressInterval == 0) return;
  checkRegistryRef(sysOopRegistryOop, -1);
  for (int64_t i = 0, n = maxValidSysOopX(); i <= n; i++) checkRegistryRef(sysOop(uint32_t(i)), i);
}

// With perm space absorbed the perm-skipping forms treat perm objects as old ones. From the
// old-space sweep-compact on, moved entries forward until the last sweep has followed them,
// so nothing allocates in old space before then.
static void sweepSpaces(int withPerm) {
  skipPermCompactRt();
  skipPermCompactOldRtEntries();
  skipPermSweepLt();
  skipPermSweepFt();
  sweepAndCompactOldSpace(withPerm);
  sweepOldRt();  // tells perm by the header bit: runs while perm space is still absorbed
  sweepRt();
  sweepNewSpace();
  sweepAndCompactLargeSpace();
  sweepAndCompactFixedSpace();
  releaseVacatedOtEntries();
  sysOopRegistryPostGCChecks();
  if (withPerm) {
    restorePermSpace();
    markPermSpace(1);
  }
}

// The finalization queue in perm space must be listed in the old remembered table before
// perm space is collected with old space (its slots are rewritten as entries come and go).
static bool listPermFinalQueue() {
  oop q = sysOop(sysFinalQueue);
  if (!isHeapObject(q) || q == 0 || !isPermObject(headerOf(q)) || isInOldRt(headerOf(q))) return true;
  return registerInOldRt(headerOf(q)) != 0;
}

static void resumeRegisteredContext(bool running) {
  if (!running) return;
  oop k = sysOop(uint32_t(temp1RegisteredOopX));
  registerSysOop(nilOop(), uint32_t(temp1RegisteredOopX));
  stackHooks.resumeContext(k);
}

int collectGarbage(int includePerm) {
  int withPerm = includePerm && permSpaceExists && !permSpaceAbsorbed;
  if (withPerm && !listPermFinalQueue()) return 0;
  pdStartLongComp(2000);
  blowAwayIncGC();
  cacheOldRtOop();
  // The running context leaves its frame for the heap (it moves with everyone else) and is
  // resumed from the registry afterwards; native code holds oops of objects that may move,
  // so all of it is dropped and translated again on demand.
  bool running = stackHooks.stackRunning() && temp1RegisteredOopX >= 0;
  if (running) registerSysOop(stackHooks.suspendTopContext(), uint32_t(temp1RegisteredOopX));
  if (!stackHooks.stabilizeAllStacks()) {
    resumeRegisteredContext(running);
    pdFinishLongComp();
    return 0;
  }
  codeHooks.reInitNMethods();  // the zone is scratch memory from here on
  flushEden();
  if (withPerm) {
    markPermSpace(0);
    absorbPermSpace();
  }
  trimClassTable();
  if (gcMarkPhaseHook != nullptr) gcMarkPhaseHook(0);
  placeWorkAreas();
  liveBits = isMarkedBit | (permSpaceAbsorbed ? uint64_t(0) : uint64_t(isPermBit));
  ringSkip = lastClassMarked = 0;
  markRoots();
  ephemeronMarkingOn = 1;
  markLoop();
  queueDeadKeyEphemerons();
  markLoop();
  clearWeakSlots();
  // Queueing may have grown the queue, and clearing a perm holder's slot the old RT: the
  // objects made meanwhile are marked now.
  markOop(sysOop(sysFinalQueue));
  markOldRtSegments();
  markLoop();
  if (gcMarkPhaseHook != nullptr) gcMarkPhaseHook(1);
  sweepSpaces(withPerm);
  signalFinalizationSemaphoreIfRequired();
  shrinkRt();
  shrinkOldRt();
  shrinkSysOopRegistry();
  shrinkFinalQueue();
  resumeRegisteredContext(running);
  pdFinishLongComp();
  return 1;
}

void printGCUsageTo(FILE* stream) {
  fprintf(stream, "GGCs: %" PRId64 ", GCs: %" PRId64 "\n", int64_t(numGlobalGCs), int64_t(numGCs));
  fprintf(stream, "Mark stack overflows: %" PRId64 ", weak object list overflows: %" PRId64 "\n",
          int64_t(numMarkStackOverflows), int64_t(numWeakObjectListOverflows));
}

// ---- Stress switch and requests -------------------------------------------------------------

static void verifyOrDie(const char* when, bool afterCollection) {
  std::string faults = verifyHeap();
  if (afterCollection) faults += verifyOldRtAfterCollection();
  if (faults.empty()) return;
  std::string first = faults.substr(0, faults.find('\n'));
  char message[400];
  snprintf(message, sizeof message, "Heap verification failed %s collection: %s", when, first.c_str());
  doReportError(message, errFatal | 5, globalGCFile, __LINE__);
}

uint64_t initGCStress() {
  const char* v = getenv("TESSEL_GC_STRESS");
  gcStressInterval = v != nullptr ? strtoull(v, nullptr, 10) : 0;
  gcStressCount = 0;
  return gcStressInterval;
}

void gcStressAfterScavenge() {
  if (gcStressInterval == 0 || ++gcStressCount < gcStressInterval) return;
  gcStressCount = 0;
  bool running = stackHooks.stackRunning();
  verifyOrDie("before", false);
  collectGarbage(int(numGCs & 1));
  numGCs += 1;
  verifyOrDie("after", true);
  // The running frame went through a context onto a new segment: it is entered again as a
  // process switch enters it, once what else is pending has been served.
  if (running) {
    handleRequests();
    stackHooks.reenterRunningProcess();
  }
}

void lowSpaceResponse() {
  lowSpaceLimit = 0;
  if (lowSpaceSemaphoreX < 0 || lowSpaceSemaphoreX > maxValidSysOopX()) return;
  oop s = sysOop(uint32_t(lowSpaceSemaphoreX));
  if (s != nilOop()) stackHooks.asynchSignal(s);
}

// ---- Primitives -----------------------------------------------------------------------------

// Committed first: the collection turns every frame into a context.
static oop primCollectGarbage(oop receiver) {
  numGCs += 1;
  commitPrimitive(receiver);
  if (!collectGarbage(0)) return failPrimitive(primErrorAt(0), 0);
  return commitPrimitiveAndHandleRequests(receiver);
}
// Primitive 406: perm space is collected too.
static oop primGlobalCollectGarbage(oop receiver) {
  numGlobalGCs += 1;
  commitPrimitive(receiver);
  if (!collectGarbage(1)) return failPrimitive(primErrorAt(0), 0);
  return commitPrimitiveAndHandleRequests(receiver);
}
static oop primFlushNewSpace(oop receiver) {
  (void)receiver;
  return commitPrimitiveAndHandleRequests(booleanOop(flushNewSpace()));
}
static oop primCompact(oop receiver) {
  pdStartLongComp(2000);
  compact();
  pdFinishLongComp();
  return commitPrimitiveAndHandleRequests(receiver);
}
static oop primScavenge(oop receiver) {
  (void)receiver;
  return commitPrimitiveAndHandleRequests(booleanOop(scavengeNewSpace()));
}

// Primitive 112: the bytes free in old space beyond the reserve.
static oop primOldSpaceFreeBytes(oop receiver) {
  (void)receiver;
  oop bytes = cUnsignedToOop(8 * uint64_t(slotsFreeInOldSpaceMinusReserve()));
  return bytes != 0 ? bytes : failPrimitive(primErrorAt(1), 0);
}

// Primitive 116: the low-space Semaphore (or nil) and the limit in bytes (the third
// argument; the second is only checked). nil drops the limit.
static oop primSetLowSpaceSemaphore(oop receiver, oop semaphore, oop check, oop limit) {
  if (!isSmallInteger(check) || !isSmallInteger(limit) || smallIntegerValue(limit) < 0)
    return failPrimitive(primErrorAt(3), 3);
  if (semaphore != nilOop() && (isImmediate(semaphore) || !isKindOf(semaphore, sysOop(sysSemaphoreClass))))
    return failPrimitive(primErrorAt(3), 3);
  if (lowSpaceSemaphoreX < 0 || lowSpaceSemaphoreX > maxValidSysOopX()) {
    lowSpaceSemaphoreX = allocSysOopSlot();
    if (lowSpaceSemaphoreX < 0) return failPrimitive(primErrorAt(1), 3);
  }
  registerSysOop(semaphore, uint32_t(lowSpaceSemaphoreX));
  lowSpaceLimit = semaphore == nilOop() ? 0 : uint64_t(smallIntegerValue(limit));
  return receiver;
}

void initGarbagePrims() {
  addCPrimitive(112, reinterpret_cast<const void*>(primOldSpaceFreeBytes), 0);
  addCPrimitive(116, reinterpret_cast<const void*>(primSetLowSpaceSemaphore), 3);
  addCPrimitive(138, reinterpret_cast<const void*>(primCollectGarbage), 0);
  addCPrimitive(322, reinterpret_cast<const void*>(primFlushNewSpace), 0);
  addCPrimitive(325, reinterpret_cast<const void*>(primCompact), 0);
  addCPrimitive(406, reinterpret_cast<const void*>(primGlobalCollectGarbage), 0);
  addCPrimitive(448, reinterpret_cast<const void*>(primScavenge), 0);
  setRequestServer(requestLowSpace, lowSpaceResponse);
  initGCStress();
}
