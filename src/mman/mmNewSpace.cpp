// Object memory: new space (eden and the two survivor spaces), bump allocation and fillers.
// Owns eden, pastSpace, futureSpace and newSpaceLowerBound.
// Prefix: none (allocInNewSpace, allocInPastSpace, recycleNewObj, shrinkOrCopyNewObj, ...).
#include "mman/mmNewSpace.h"

#include <cassert>
#include <cinttypes>
#include <cstring>

#include "ext/exRequest.h"
#include "ext/platform.h"
#include "mman/mmAllocate.h"
#include "mman/mmFixedSpace.h"
#include "mman/mmLargeSpace.h"
#include "mman/mmOldSpace.h"
#include "mman/mmSysOop.h"
#include "mman/mmVerify.h"

EdenRecord eden;
SurvivorSpace pastSpace;
SurvivorSpace futureSpace;
uint64_t newSpaceLowerBound;

void initNewSpaceBounds(uint64_t edenStart, uint64_t edenEnd, uint64_t warningWords,
                        uint64_t pastStart, uint64_t pastEnd, uint64_t futureStart,
                        uint64_t futureEnd) {
  eden = {edenStart, edenStart, edenEnd - warningWords * 8, edenEnd};
  pastSpace = {pastStart, pastStart, pastEnd};
  futureSpace = {futureStart, futureStart, futureEnd};
  newSpaceLowerBound = pastStart < futureStart ? pastStart : futureStart;
  oldNewSpaceBoundary = edenEnd;
}

// Header (and size word) then body, bumped from *top; 0 when it would pass limit. On
// success *passed says whether the new top lies beyond warning.
static ObjectHeader* bumpObject(uint64_t* top, uint64_t warning, uint64_t limit,
                                uint32_t classTag, int64_t namedSlots, uint64_t byteSize,
                                uint64_t headerFlags, uint64_t fill, bool* passed) {
  if (byteSize >= maxAllocBytes) return nullptr;
  uint64_t rounded = roundedBodyBytes(byteSize);
  uint64_t body = *top + objectHeaderBytes + (needsSizeWord(rounded) ? 8 : 0);
  uint64_t newTop = body + rounded;
  *passed = newTop > warning;
  if (newTop > limit) return nullptr;
  ObjectHeader* h = reinterpret_cast<ObjectHeader*>(*top);
  *top = newTop;
  initNewObjectHeader(h, body, classTag, namedSlots, byteSize, headerFlags, fill);
  return h;
}

ObjectHeader* allocInNewSpace(uint32_t classTag, int64_t namedSlots, uint64_t byteSize,
                              uint64_t headerFlags, uint64_t fill) {
  bool passed = false;
  uint64_t warning = eden.warningLimit;
  if (scavengeStressInterval != 0) {  // the limit sits at eden's start: count instead
    warning = eden.end;
    if (++scavengeStressCount >= scavengeStressInterval) scavengeStressCount = 0, passed = true;
  }
  bool stressPost = passed;
  ObjectHeader* h = bumpObject(&eden.allocPtr, warning, eden.end, classTag,
                               namedSlots, byteSize, headerFlags, fill, &passed);
  if (passed || stressPost) setRequest(requestScavenge);
  if (h != nullptr) return h;
  return allocInPastSpace(classTag, namedSlots, byteSize, headerFlags, fill);
}

ObjectHeader* allocInPastSpace(uint32_t classTag, int64_t namedSlots, uint64_t byteSize,
                               uint64_t headerFlags, uint64_t fill) {
  bool passed = false;
  return bumpObject(&pastSpace.top, pastSpace.end, pastSpace.end, classTag, namedSlots,
                    byteSize, headerFlags, fill, &passed);
}

// ---- Walking -----------------------------------------------------------------------------

ObjectHeader* getNextNewSpaceObj(ObjectHeader* h) { return nextNewSpaceHeader(h); }
ObjectHeader* getNextNewSpaceObjDuringScavenge(ObjectHeader* h) { return nextNewSpaceHeader(h); }

void writeNewSpaceEndMarkers() {
  *reinterpret_cast<uint64_t*>(eden.allocPtr) = newSpaceEndMarker;
  *reinterpret_cast<uint64_t*>(pastSpace.top) = newSpaceEndMarker;
  *reinterpret_cast<uint64_t*>(futureSpace.top) = newSpaceEndMarker;
}

ObjectHeader* searchNewSpace(uint64_t from, uint64_t to, uint32_t classTag) {
  writeNewSpaceEndMarkers();
  for (ObjectHeader* h = reinterpret_cast<ObjectHeader*>(from); oopOf(h) < to;
       h = nextNewSpaceHeader(h))
    if (classTagOf(h) == classTag && classTag != 0) return h;
  return nullptr;
}

// ---- Freeing and shrinking ---------------------------------------------------------------

void recycleNewOtEntry(ObjectHeader* h, uint64_t words) { writeFiller(h, words); }

// The filler reaches exactly to the next header, so the space stays walkable; a body in
// large or fixed space goes back to its space first.
void recycleNewObj(ObjectHeader* h) {
  writeNewSpaceEndMarkers();
  uint64_t next = oopOf(nextNewSpaceHeader(h));
  if (classTagOf(h) != 0) {
    if (sizeFieldOf(h) == sizeFieldLarge) reRegisterLargeObj(h, nullptr);
    if (sizeFieldOf(h) == sizeFieldFixed) reRegisterFixedObj(h, nullptr);
  }
  recycleNewOtEntry(h, (next - oopOf(h) - objectHeaderBytes) / 8);
}

// ---- Sweeping after a global collection ------------------------------------------------------
// Survivors' slots and class-table entries follow the old objects compaction moved.

static void sweepArea(uint64_t from, uint64_t to) {
  for (ObjectHeader* h = reinterpret_cast<ObjectHeader*>(from); oopOf(h) < to; h = nextNewSpaceHeader(h)) {
    if (classTagOf(h) == 0) continue;
    if (!isMarked(h)) {
      recycleNewObj(h);
      continue;
    }
    clearFlag(h, isMarkedBit);
    uint32_t tag = classTagOf(h);
    if (classTable[tag >> 10] != nullptr) {
      oop* slot = &classTable[tag >> 10][tag & 1023];
      *slot = movedEntry(*slot);
    }
    if (!hasPtrs(h) || sizeFieldOf(h) >= sizeFieldLarge) continue;
    oop* body = bodyOf(h);
    for (uint64_t i = 0, n = bodyWordsOf(h); i < n; i++) body[i] = movedEntry(body[i]);
  }
}

void sweepNewSpace() {
  writeNewSpaceEndMarkers();
  sweepArea(eden.start, eden.allocPtr);
  sweepArea(pastSpace.start, pastSpace.top);
}

// Cuts an adjacent new-space body to words (n - words >= 2). A body that loses its size
// word moves down one word over it; the freed tail becomes a filler up to the next header.
static ObjectHeader* shrinkNewInPlace(ObjectHeader* h, uint64_t n, uint64_t words) {
  bool wasExtended = hasSizeWord(h);
  uint64_t fillerWords;
  if (wasExtended && !needsSizeWord(words * 8)) {
    uint64_t* body = bodyOf(h);
    memmove(body - 1, body, words * 8);
    h->dataPtr -= 8;
    setSizeField(h, uint32_t(words));
    fillerWords = n - words - 1;
  } else {
    if (wasExtended)
      *sizeWordOf(h) = words * 8;
    else
      setSizeField(h, uint32_t(words));
    fillerWords = n - words - 2;
  }
  recycleNewOtEntry(reinterpret_cast<ObjectHeader*>(h->dataPtr + words * 8), fillerWords);
  return h;
}

// The copy path: the length fields say words for the duration of the copy only.
static ObjectHeader* copyShortened(ObjectHeader* h, uint64_t words) {
  uint64_t savedFlags = h->flags;
  bool extended = hasSizeWord(h);
  uint64_t savedSizeWord = extended ? *sizeWordOf(h) : 0;
  if (extended && needsSizeWord(words * 8))
    *sizeWordOf(h) = words * 8;
  else
    setSizeField(h, uint32_t(words));
  ObjectHeader* copy = createShallowCopyOf(h);
  h->flags = savedFlags;
  if (extended) *sizeWordOf(h) = savedSizeWord;
  return copy;
}

ObjectHeader* shrinkOrCopyNewObj(ObjectHeader* h, uint64_t words) {
  if (!hasPtrs(h) || sizeFieldOf(h) >= sizeFieldLarge) return nullptr;
  uint64_t n = bodyWordsOf(h);
  if (words > n) return nullptr;
  uint64_t adjacent = oopOf(h) + objectHeaderBytes + (hasSizeWord(h) ? 8 : 0);
  if (n - words > 1 && isNewObject(oopOf(h)) && h->dataPtr == adjacent)
    return shrinkNewInPlace(h, n, words);
  return copyShortened(h, words);
}

// ---- Printing ----------------------------------------------------------------------------

static uint64_t printSpace(const char* name, uint64_t from, uint64_t to, int verbose,
                           FILE* stream) {
  uint64_t count = 0;
  fprintf(stream, "%s\n", name);
  for (ObjectHeader* h = reinterpret_cast<ObjectHeader*>(from); oopOf(h) < to;
       h = nextNewSpaceHeader(h)) {
    if (classTagOf(h) == 0) continue;
    count++;
    if (verbose) fprintf(stream, "0x%" PRIx64 ":\tclass %u\n", oopOf(h), classTagOf(h));
  }
  fprintf(stream, "%" PRIu64 " objects\n", count);
  return count;
}

uint64_t printNewSpace(int verbose, FILE* stream) {
  if (stream == nullptr) stream = pdDebugLog(0);
  writeNewSpaceEndMarkers();
  uint64_t total = printSpace("eden:", eden.start, eden.allocPtr, verbose, stream);
  total += printSpace("futureSpace:", futureSpace.start, futureSpace.top, verbose, stream);
  total += printSpace("pastSpace:", pastSpace.start, pastSpace.top, verbose, stream);
  return total;
}
