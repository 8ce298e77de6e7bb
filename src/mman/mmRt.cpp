// Object memory: the remembered table and the old remembered table, and the store check's
// slow paths. Owns rt and oldRtOop.
// Prefix: none (registerInRt, registerInOldRt, updateRtPtrs, shrinkRt, ...).
#include "mman/mmRt.h"

#include <cinttypes>

#include "ext/exRequest.h"
#include "mman/mmImageHeader.h"
#include "mman/mmImageLoad.h"
#include "mman/mmNewSpace.h"
#include "mman/mmOldSpace.h"
#include "mman/mmOopStack.h"
#include "mman/mmPermSpace.h"
#include "mman/mmScavenge.h"
#include "mman/mmSysOop.h"

RememberedTable rt;
oop oldRtOop;

void reportStoreCheckFailure(const char* file, int line) {
  doReportError(nullptr, storeCheckFailureCode, file, line);
}

// The soft limit sits 10 slots below the end while a tenth of the table is still free
// beyond FFS.
void computeRtWarning() {
  uint64_t n = (rt.end - rt.start) / 8;
  uint64_t margin = rt.end - rtWarningGapSlots * 8;
  rt.wt = rt.end >= rt.start + rtWarningGapSlots * 8 && rt.ffs + (n / 10) * 8 < margin ? margin : rt.end;
}

void updateRtPtrs(int reload) {
  uint64_t ffsOffset = rt.ffs - rt.start, fssOffset = rt.fss - rt.start;
  bool fssInUse = rt.fss != 0;
  if (reload) rt.object = sysOop(sysRt);
  ObjectHeader* h = headerOf(rt.object);
  rt.start = h->dataPtr;
  rt.end = rt.start + (h->dataPtr == 0 ? 0 : bodyBytesOf(h));
  rt.ffs = rt.start + ffsOffset;
  rt.fss = fssInUse ? rt.start + fssOffset : 0;
  computeRtWarning();
}

// Past the soft limit the next scavenge is asked to empty the table; at the hard limit the
// table grows.
int registerInRt(ObjectHeader* h) {
  if (inRt(h)) return 1;
  if (rt.object == 0) return 0;
  if (rt.ffs >= rt.wt) {
    rt.wt = rt.end;
    if ((rt.end - rt.start) / 8 > (pastSpace.end - pastSpace.start) / 8) {
      if (!scavengeInProgress) setRequest(requestScavenge);
      tenureToShrinkRememberedTable = 1;
    }
  }
  if (rt.ffs >= rt.end) {
    growOldObject(headerOf(rt.object), rtGrowSlots, 1);
    updateRtPtrs(0);
    if (rt.ffs >= rt.end) return 0;
  }
  *reinterpret_cast<oop*>(rt.ffs) = oopOf(h);
  rt.ffs += 8;
  setFlag(h, inRtBit);
  return 1;
}

int registerInOldRt(ObjectHeader* h) {
  if (isInOldRt(h)) return 1;
  if (oldRtOop == 0) {
    oldRtOop = createOopStack();
    if (oldRtOop == 0) return 0;
    cacheOldRtOop();
  }
  if (!pushOopStack(&oldRtOop, oopOf(h))) return 0;
  setFlag(h, isInOldRtBit);
  return 1;
}

void canonicalizeRt() {
  for (uint64_t a = rt.ffs; a < rt.end; a += 8) *reinterpret_cast<oop*>(a) = 0;
}

void shrinkRt() {
  if (rt.object == 0) return;
  uint64_t spare = (rt.end - rt.ffs) / 8;
  if (rt.end - rt.start <= rtShrinkMinBytes || spare <= rtShrinkKeepSlots) return;
  shrinkOldObject(headerOf(rt.object), spare - rtShrinkKeepSlots, 0);
  updateRtPtrs(0);
}

// Drops the entries keep refuses, moving the last entry into each hole.
static void compactRt(bool (*keep)(ObjectHeader*)) {
  oop* e = reinterpret_cast<oop*>(rt.start);
  uint64_t n = (rt.ffs - rt.start) / 8;
  for (uint64_t i = 0; i < n;) {
    ObjectHeader* h = headerOf(e[i]);
    if (keep(h)) {
      i++;
      continue;
    }
    clearFlag(h, inRtBit);
    e[i] = e[--n];
  }
  rt.ffs = rt.start + n * 8;
  computeRtWarning();
}

void noPermCompactRt() {
  compactRt([](ObjectHeader* h) { return isMarked(h); });
}
void skipPermCompactRt() {
  compactRt([](ObjectHeader* h) { return isMarked(h) || isPermObject(h); });
}

void sweepRt() {
  for (uint64_t a = rt.start; a < rt.ffs; a += 8) {
    oop* e = reinterpret_cast<oop*>(a);
    ObjectHeader* h = headerOf(*e);
    if (!isNewObject(*e) && !isPermObject(h) && isMarked(h)) *e = h->dataPtr;
  }
}

uint64_t objReallyInRt(ObjectHeader* h) {
  for (uint64_t a = rt.start; a < rt.ffs; a += 8)
    if (*reinterpret_cast<oop*>(a) == oopOf(h)) return (a - rt.start) / 8 + 1;
  return 0;
}

void printRtUsageTo(FILE* stream) {
  fprintf(stream, "\t0 [FSS (%s): %" PRIu64 ", FFS: %" PRIu64 ", WT: %" PRIu64 "] %" PRIu64 " @ 0x%x\n",
          rt.fss != 0 ? "in use" : "unused", rt.fss == 0 ? 0 : (rt.fss - rt.start) / 8,
          (rt.ffs - rt.start) / 8, (rt.wt - rt.start) / 8, (rt.end - rt.start) / 8,
          unsigned(rt.start & 0xFFFFFFFF));
}

// ---------------------------------------------------------------------------------------
// The old remembered table.

static void dropFromOldRt(oop entry) { clearFlag(headerOf(entry), isInOldRtBit); }

void scanOldRtCreatingBackPtrs() {
  if (oldRtOop == 0) return;
  oop top = oldRtOop, seg = top;
  do {
    for (uint64_t i = 0, n = segmentCount(seg); i < n; i++) {
      ObjectHeader* h = headerOf(segmentBody(seg)[oopStackFirstEntry + i]);
      uint32_t sf = sizeFieldOf(h);
      if (!isPermObject(h) || sf == 0 || sf > sizeFieldExtended || h->dataPtr == 0) continue;
      uint64_t block = h->dataPtr - (sf == sizeFieldExtended ? 8 : 0);
      if (addressInOldSegmentData(block) == nullptr) continue;
      uint64_t first = *reinterpret_cast<uint64_t*>(block);
      *reinterpret_cast<uint64_t*>(block) = oopOf(h);
      h->dataPtr = first;
    }
    seg = segmentNext(seg);
  } while (seg != top);
}

// A quick compaction keeps headers in place: only the registry slot is refreshed. After a
// sweep-compact the segments and their entries (perm objects, moved while perm space was
// absorbed) follow their forwarding entries; the segments are ByteArrays, so no body slide
// touched their words.
void updateOldRtPtrs(int compacting) {
  if (compacting && oldRtOop != 0) {
    oldRtOop = movedEntry(oldRtOop);
    oop seg = oldRtOop;
    do {
      oop* body = segmentBody(seg);
      body[oopStackNextWord] = movedEntry(body[oopStackNextWord]);
      body[oopStackPrevWord] = movedEntry(body[oopStackPrevWord]);
      for (uint64_t i = 0, n = body[oopStackCountWord]; i < n; i++)
        body[oopStackFirstEntry + i] = movedEntry(body[oopStackFirstEntry + i]);
      seg = body[oopStackNextWord];
    } while (seg != oldRtOop);
  }
  cacheOldRtOop();
}

void noPermCompactOldRt() {
  if (oldRtOop == 0) return;
  enumOopStack(&oldRtOop, [](oop e) { return int(isMarked(headerOf(e))); }, dropFromOldRt);
}

// A perm header whose body lies in old-space data (become gave it one) stays listed whatever
// it refers to: the compactor finds such bodies' owners only through this table, and a body
// it cannot thread back to its header is lost. Perm space's own data, linked as a segment
// while a collection has it absorbed, is no old data.
static bool permBodyInOldData(const ObjectHeader* h) {
  uint32_t sf = sizeFieldOf(h);
  if (sf == 0 || sf > sizeFieldExtended || h->dataPtr == 0) return false;
  const OldSpaceSegment* s = addressInOldSegmentData(h->dataPtr - (sf == sizeFieldExtended ? 8 : 0));
  return s != nullptr && !(s->segFlags & segCompacting);
}

// Each listed perm object's slots first follow entries the sweep-compact moved (its body
// may lie in perm data, which no slide visits).
static int refersToOldNotPerm(oop e) {
  ObjectHeader* h = headerOf(e);
  if (!isPermHeader(h) || classTagOf(h) == 0 || h->dataPtr == 0) return 0;
  if (sizeFieldOf(h) >= sizeFieldLarge) return 0;
  int refers = permBodyInOldData(h);
  if (!hasPtrs(h)) return refers;
  oop* body = bodyOf(h);
  for (uint64_t i = 0, n = bodyWordsOf(h); i < n; i++) {
    oop v = body[i] = movedEntry(body[i]);
    if (isHeapObject(v) && v != 0 && !isNewObject(v) && !isPermHeader(headerOf(v))) refers = 1;
  }
  return refers;
}

void sweepOldRt() {
  if (oldRtOop == 0) return;
  enumOopStack(&oldRtOop, refersToOldNotPerm, dropFromOldRt);
}

void emptyOldRt() {
  if (oldRtOop == 0) return;
  emptyOopStack(&oldRtOop, [](oop) { return 0; }, dropFromOldRt);
}

void shrinkOldRt() {
  if (oldRtOop != 0) shrinkOopStack(&oldRtOop);
}

// ---- The incremental collector's walk over the old RT -----------------------------------------

uint64_t oldRtIncPosition;
static uint64_t oldRtIncVisited;

void prepareOldRtForIncMark() {
  oldRtIncPosition = 0;
  cacheOldRtOop();
  if (oldRtOop == 0) return;
  oop s = oldRtOop;
  do {
    setFlag(headerOf(s), isMarkedBit);
    s = segmentNext(s);
  } while (s != oldRtOop);
}

// Each entry's referents are marked; one that no longer refers to an old object leaves.
static int incMarkOldRtEntry(oop entry, int* stop) {
  (void)stop;
  oldRtIncVisited += 1;
  int refers = incMarkPermObjRefs(entry);
  return refers || permBodyInOldData(headerOf(entry));
}

int incMarkOldRtEntries(uint64_t limit, uint64_t* visited) {
  int done = 1;
  oldRtIncVisited = 0;
  if (oldRtOop != 0) oldRtIncPosition = incEnumOopStack(&oldRtOop, incMarkOldRtEntry, dropFromOldRt, oldRtIncPosition, limit, &done);
  *visited = oldRtIncVisited;
  return done;
}

int incMarkOldRtEntriesNBL(uint64_t* visited) {
  int done = 1;
  oldRtIncVisited = 0;
  if (oldRtOop != 0) oldRtIncPosition = incEnumOopStackNBL(&oldRtOop, incMarkOldRtEntry, dropFromOldRt, oldRtIncPosition, &done);
  *visited = oldRtIncVisited;
  return done;
}

void cacheOldRtOop() { registerSysOop(oldRtOop != 0 ? oldRtOop : nilOop(), sysOldRt); }

int objReallyInOldRt(ObjectHeader* h) { return oldRtOop == 0 || oopOnOopStack(oopOf(h), &oldRtOop); }

void printOldRtUsageTo(FILE* stream) {
  if (oldRtOop == 0) {
    fprintf(stream, "no oldRt");
    return;
  }
  fprintf(stream, "\t%" PRIu64 " total slots, %" PRIu64 " used slots\n", totalEntriesInOopStack(&oldRtOop),
          liveEntriesInOopStack(&oldRtOop));
}

// ---------------------------------------------------------------------------------------
// After loading an image.

int initPermObj(ObjectHeader* h) {
  updatePermDataPtrFunc(h);
  if (hasPtrs(h) && h->dataPtr != 0) {
    oop* body = bodyOf(h);
    for (uint64_t i = 0, n = bodyWordsOf(h); i < n; i++) updateOopFunc(&body[i]);
  }
  return 1;
}

// The registry, the RT object and the old RT's own segments are relocated by their owners.
static void initPermObjIfNotSystemObj(oop o) {
  if (isImmediate(o) || isNewObject(o) || !isPermObject(headerOf(o))) return;
  if (o == sysOopRegistryOop || o == sysOop(sysRt) || objIsOopStackSeg(&oldRtOop, o)) return;
  initPermObj(headerOf(o));
}

void initRt(int initPerm) {
  rt.object = sysOop(sysRt);
  ObjectHeader* h = headerOf(rt.object);
  if (initPerm && isPermObject(h)) initPermObj(h);
  rt.start = h->dataPtr;
  rt.end = rt.start + (h->dataPtr == 0 ? 0 : bodyBytesOf(h));
  rt.fss = 0;
  rt.ffs = rt.start;
  while (rt.ffs < rt.end && *reinterpret_cast<oop*>(rt.ffs) != 0) {
    oop entry = *reinterpret_cast<oop*>(rt.ffs);
    if (initPerm && !isInOldRt(headerOf(entry))) initPermObjIfNotSystemObj(entry);
    rt.ffs += 8;
  }
  computeRtWarning();
}

// Links and entries of one segment; the count word is checked so that a damaged image
// cannot make the walk leave the segment.
static void initOopStackSegment(oop seg, int swapped, int initPerm) {
  ObjectHeader* h = headerOf(seg);
  if (initPerm && isPermObject(h)) updatePermDataPtrFunc(h);
  if (!isSoundLoadedObject(seg) || h->dataPtr == 0 || bodyWordsOf(h) < oopStackSegmentWords) BAD_IMAGE();
  uint64_t* body = reinterpret_cast<uint64_t*>(h->dataPtr);
  if (swapped) body[oopStackCountWord] = __builtin_bswap64(body[oopStackCountWord]);
  uint64_t count = body[oopStackCountWord];
  if (count > oopStackEntries) BAD_IMAGE();
  for (uint64_t i = 1; i < oopStackFirstEntry + count; i++) {
    if (swapped) body[i] = __builtin_bswap64(body[i]);
    updateOopFunc(reinterpret_cast<oop*>(&body[i]));
    if (!isLoadedHeader(body[i])) BAD_IMAGE();  // links and entries are objects of the image
  }
}

void initOopStack(int swapped, int initPerm, oop top) {
  uint64_t steps = 0, limit = (oldSpace.otHigh - oldSpace.otLow) / 16 + 1;
  oop seg = top;
  do {
    if (!isLoadedHeader(seg) || ++steps > limit) BAD_IMAGE();
    initOopStackSegment(seg, swapped, initPerm);
    seg = segmentNext(seg);
  } while (seg != top);
  do {  // every link now leads to a prepared segment: the ring must agree both ways
    if (segmentPrev(segmentNext(seg)) != seg) BAD_IMAGE();
    seg = segmentNext(seg);
  } while (seg != top);
}

void initOldRt(int swapped, int initPerm) {
  oop top = sysOop(sysOldRt);
  oldRtOop = 0;
  if (top == nilOop()) return;
  initOopStack(swapped, initPerm, top);
  oldRtOop = top;
  if (!initPerm) return;
  oop seg = top;
  do {
    for (uint64_t i = 0, n = segmentCount(seg); i < n; i++)
      initPermObjIfNotSystemObj(segmentBody(seg)[oopStackFirstEntry + i]);
    seg = segmentNext(seg);
  } while (seg != top);
}

int createOldRt() {
  oop stack = createOopStack();
  if (stack == 0) return 0;
  for (uint64_t a = permSpace.otLow + 16; permSpaceExists && a <= permSpace.otHigh; a += 16) {
    ObjectHeader* h = reinterpret_cast<ObjectHeader*>(a);
    if (classTagOf(h) == 0 || isInOldRt(h) || !objPointsToOldSpace(h)) continue;
    if (!pushOopStack(&stack, oopOf(h))) {
      emptyOopStack(&stack, [](oop) { return 0; }, [](oop e) { clearFlag(headerOf(e), isInOldRtBit); });
      releaseOopStack(&stack);
      return 0;
    }
    setFlag(h, isInOldRtBit);
  }
  oldRtOop = stack;
  cacheOldRtOop();
  return 1;
}
