// Object memory: perm space, objects expected to live for ever (never collected unless
// absorbed). Owns permSpace, permSpaceExists and permSpaceSegs (its free list).
// Prefix: none (allocInPermSpace, recyclePermObj, markPermSpace, ...).
#include "mman/mmPermSpace.h"

#include <cassert>

#include "mman/mmFixedSpace.h"
#include "mman/mmIncGC.h"
#include "mman/mmLargeSpace.h"
#include "mman/mmNewSpace.h"
#include "mman/mmRt.h"
#include "mman/mmSnapshot.h"
#include "mman/mmSysOop.h"

OldSpaceSegment permSpace;
uint32_t permSpaceExists;
PermSpaceSegs permSpaceSegs;

void initPermSpace(uint64_t start, uint64_t end) {
  permSpace = {};
  nilPermSpacePtrs(start);
  permSpace.otLow = permSpace.otHigh = (end & ~uint64_t(15)) - objectHeaderBytes;
  permSpaceSegs = {};
  permSpaceExists = 1;
}

int addressInPermRange(uint64_t address, uint64_t bytes) {
  if (!permSpaceExists || permSpaceAbsorbed) return 0;
  return address < permSpace.otHigh + objectHeaderBytes && address + bytes > permSpace.dataStart;
}

int addressInPermData(uint64_t address) {
  return address >= permSpace.dataStart && address < permSpace.dataTop;
}

// The fill value is the one value a new perm object holds: it needs the remembered
// tables when it is new, or old and not perm.
static int rememberFill(ObjectHeader* h, uint64_t fill) {
  if (fill == noFill || fill == 0 || isImmediate(fill)) return 1;  // 0: zeroed bytes
  if (isNewObject(fill)) return registerInRt(h);
  if (isOldNotPerm(fill)) return registerInOldRt(h);
  return 1;
}

ObjectHeader* allocInPermSpace(uint32_t classTag, int64_t namedSlots, uint64_t byteSize,
                               uint64_t headerFlags, uint64_t fill) {
  if (!permSpaceExists || byteSize >= maxAllocBytes) return nullptr;
  uint64_t rounded = roundedBodyBytes(byteSize);
  uint64_t words = rounded / 8 + (needsSizeWord(rounded) ? 1 : 0);
  if (segmentRoom(&permSpace) < words + 2) return nullptr;
  ObjectHeader* h = reinterpret_cast<ObjectHeader*>(permSpace.otLow);
  permSpace.otLow -= objectHeaderBytes;
  if (byteSize == 0) {
    h->dataPtr = 0;
    h->flags = classTag | headerFlags;
    if (headerFlags & hasPtrsBit)
      setIndexability(h, namedSlots > indexabilityAskClass ? indexabilityAskClass : uint32_t(namedSlots));
  } else {
    uint64_t body = permSpace.dataTop + (needsSizeWord(rounded) ? 8 : 0);
    permSpace.dataTop += words * 8;
    initNewObjectHeader(h, body, classTag, namedSlots, byteSize, headerFlags, fill);
  }
  h->flags |= isMarkedBit | isPermBit;
  if (!rememberFill(h, fill)) {
    recyclePermObj(h);
    return nullptr;
  }
  return h;
}

// ---- Freeing -------------------------------------------------------------------------------

void recyclePermData(ObjectHeader*, uint64_t body, uint64_t words) {
  if (words == 0) return;
  uint64_t* chunk = reinterpret_cast<uint64_t*>(body);
  chunk[0] = permSpaceSegs.freeHead | (words == 1 ? 1 : 0);
  if (words > 1) chunk[1] = words;
  permSpaceSegs.freeHead = body;
  permSpaceSegs.freeChunks += 1;
  permSpaceSegs.freeWords += words;
}

void recycleNonNewData(ObjectHeader* h, uint64_t body, uint64_t words) {
  if (body == 0 || (!permSpaceAbsorbed && addressInPermData(body))) {
    recyclePermData(h, body, words);
    return;
  }
  if (words > 0) freeOldData(body, words);
}

// A dead perm header is never reused: it stays as an empty ByteArray.
void recyclePermOtEntry(ObjectHeader* h) {
  h->dataPtr = permSpace.dataStart;
  h->flags &= ~(classTagMask | sizeFieldMask | indexabilityMask);
  h->flags |= classIndexByteArray;
  if (currentIncGCState == incGCMarking && isMarked(h)) {
    oop byteArrayClass = classAt(classIndexByteArray);
    if (!isMarked(headerOf(byteArrayClass))) incMarkObj(byteArrayClass);
  }
}

void recyclePermObj(ObjectHeader* h) {
  uint32_t size = sizeFieldOf(h);
  if (size == sizeFieldLarge) {
    reRegisterLargeObj(h, nullptr);
  } else if (size == sizeFieldFixed) {
    reRegisterFixedObj(h, nullptr);
  } else if (h->dataPtr != 0) {
    uint64_t extra = hasSizeWord(h) ? 1 : 0;
    recycleNonNewData(h, h->dataPtr - extra * 8, bodyWordsOf(h) + extra);
  }
  recyclePermOtEntry(h);
}

// ---- Whole-space operations ----------------------------------------------------------------

void markPermSpace(int on) {
  for (uint64_t a = permSpace.otLow + objectHeaderBytes; a <= permSpace.otHigh; a += objectHeaderBytes) {
    ObjectHeader* h = reinterpret_cast<ObjectHeader*>(a);
    if (on) setFlag(h, isMarkedBit); else clearFlag(h, isMarkedBit);
  }
}

void nilPermSpacePtrs(uint64_t address) {
  permSpace.dataStart = permSpace.dataTop = address;
  permSpace.otLow = permSpace.otHigh = address - objectHeaderBytes;
}

// Snapshot: the data, then the headers; the bytes written are added to *written.
int writePermSpace(int64_t fd, uint64_t* written) {
  int error = writeImageBytes(fd, permSpace.dataStart, permSpace.dataTop - permSpace.dataStart, written);
  if (error != 0) return error;
  return writeImageBytes(fd, permSpace.otLow + objectHeaderBytes, permSpace.otHigh - permSpace.otLow, written);
}
