// Object memory: new space (eden and the two survivor spaces), bump allocation and fillers.
// Owns eden, pastSpace, futureSpace and newSpaceLowerBound.
// Prefix: none (allocInNewSpace, allocInPastSpace, recycleNewObj, shrinkOrCopyNewObj, ...).
#pragma once
#include <cstdint>
#include <cstdio>

#include "mman/mmObject.h"

// Eden: start <= allocPtr <= end, warningLimit below end. Survivor spaces: start <= top <=
// end. All three lie below oldNewSpaceBoundary; objects in them keep header, optional size
// word and body side by side, and the next header follows the body ("new space is
// walkable": every word from start to allocPtr/top belongs to a header, a body or a filler).
// The word at each space's top must be writable: walkers store the end marker there, so
// the space's owner leaves at least one word after each end.
struct EdenRecord {
  uint64_t start;         // first byte
  uint64_t allocPtr;      // next header goes here (bytes)
  uint64_t warningLimit;  // passing it posts the scavenge request (bytes)
  uint64_t end;           // first byte past eden
};
struct SurvivorSpace {
  uint64_t start;  // first byte
  uint64_t top;    // next header goes here (bytes)
  uint64_t end;    // first byte past the space
};
extern EdenRecord eden;
extern SurvivorSpace pastSpace;    // objects that survived the last scavenge
extern SurvivorSpace futureSpace;  // empty target of the next scavenge
extern uint64_t newSpaceLowerBound; // lowest address of new space (bytes)

enum : uint64_t {
  newSpaceEndMarker = ~uint64_t(7),  // -8: stored at each space's top before a walk
  maxAllocBytes = uint64_t(1) << 60, // no body is larger; guards the size arithmetic
};

// Places the three areas (start-up and tests). The warning limit lies warningWords below
// eden's end; the old/new boundary becomes eden's end.
void initNewSpaceBounds(uint64_t edenStart, uint64_t edenEnd, uint64_t warningWords,
                        uint64_t pastStart, uint64_t pastEnd, uint64_t futureStart,
                        uint64_t futureEnd);

// Writes the header fields every new object gets: flags := classTag | headerFlags, the
// size field (and size word above 2008 bytes) for a body of byteSize bytes at body, and
// indexability (named slots, capped) or the odd-byte count; fills the body unless fill is 1.
enum : uint64_t { noFill = 1 };  // the fill value that leaves a body for the caller to write
inline void fillWords(uint64_t* p, uint64_t words, uint64_t fill) {
  for (uint64_t i = 0; i < words; i++) p[i] = fill;
}
inline void initNewObjectHeader(ObjectHeader* h, uint64_t body, uint32_t classTag,
                                int64_t namedSlots, uint64_t byteSize, uint64_t headerFlags,
                                uint64_t fill) {
  uint64_t rounded = roundedBodyBytes(byteSize);
  h->dataPtr = body;
  uint64_t flags = classTag | headerFlags;
  if (needsSizeWord(rounded)) {
    flags |= uint64_t(sizeFieldExtended) << sizeFieldShift;
    *reinterpret_cast<uint64_t*>(body - 8) = rounded;
  } else {
    flags |= (rounded / 8) << sizeFieldShift;
  }
  uint64_t index = (headerFlags & hasPtrsBit)
                       ? (namedSlots > int64_t(indexabilityAskClass) ? uint64_t(indexabilityAskClass) : uint64_t(namedSlots))
                       : rounded - byteSize;
  h->flags = flags | (index << indexabilityShift);
  if (fill != noFill) fillWords(reinterpret_cast<uint64_t*>(body), rounded / 8, fill);
}

// Eden's fast path, inline at the instantiation sites: the object of allocInNewSpace, or
// 0 (nothing changed) when it would pass the warning limit.
inline ObjectHeader* allocInEdenInline(uint32_t classTag, int64_t namedSlots, uint64_t byteSize,
                                       uint64_t headerFlags, uint64_t fill) {
  uint64_t rounded = roundedBodyBytes(byteSize);
  uint64_t body = eden.allocPtr + objectHeaderBytes + (needsSizeWord(rounded) ? 8 : 0);
  if (byteSize >= maxAllocBytes || body + rounded > eden.warningLimit) return nullptr;
  ObjectHeader* h = reinterpret_cast<ObjectHeader*>(eden.allocPtr);
  eden.allocPtr = body + rounded;
  initNewObjectHeader(h, body, classTag, namedSlots, byteSize, headerFlags, fill);
  return h;
}

// Allocation answers the header, or 0. Eden posts the scavenge request when the warning
// limit is passed and falls back to past space past its end; past space posts nothing.
ObjectHeader* allocInNewSpace(uint32_t classTag, int64_t namedSlots, uint64_t byteSize,
                              uint64_t headerFlags, uint64_t fill);
ObjectHeader* allocInPastSpace(uint32_t classTag, int64_t namedSlots, uint64_t byteSize,
                               uint64_t headerFlags, uint64_t fill);

ObjectHeader* getNextNewSpaceObj(ObjectHeader* h);
ObjectHeader* getNextNewSpaceObjDuringScavenge(ObjectHeader* h);
void writeNewSpaceEndMarkers();
// First header in [from, to) whose class tag is classTag, or 0.
ObjectHeader* searchNewSpace(uint64_t from, uint64_t to, uint32_t classTag);
inline bool isInEden(uint64_t a) { return a >= eden.start && a < eden.end; }
inline bool isInNewSpace(uint64_t a) { return a >= newSpaceLowerBound && a < oldNewSpaceBoundary; }

void recycleNewOtEntry(ObjectHeader* h, uint64_t words);
void recycleNewObj(ObjectHeader* h);
ObjectHeader* shrinkOrCopyNewObj(ObjectHeader* h, uint64_t words);
// After a global collection that marked new space and compacted old space: unmarked eden
// and past-space objects become fillers; marked ones lose the mark, and references to old
// objects that compaction moved (still marked, new address in dataPtr), in their slots and
// in their class's class-table slot, take the new address.
void sweepNewSpace();

// Counts the live (non-filler) objects of a space, optionally listing them; a null stream
// is the debug log.
uint64_t printNewSpace(int verbose, FILE* stream);
