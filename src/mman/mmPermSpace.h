// Object memory: perm space, objects expected to live for ever (never collected unless
// absorbed). Owns permSpace, permSpaceExists and permSpaceSegs (its free list).
// Prefix: none (allocInPermSpace, recyclePermObj, markPermSpace, ...).
#pragma once
#include <cstdint>

#include "mman/mmOldSpace.h"

// One contiguous area laid out like an old segment: bodies grow up from dataStart to
// dataTop, headers grow down from otHigh; the headers are otLow + 16 .. otHigh, 16 bytes
// apart, and the free room is the gap between dataTop and otLow + 16. Every perm header
// carries isPerm and is born marked.
extern OldSpaceSegment permSpace;  // words used: dataStart, dataTop, otLow, otHigh
extern uint32_t permSpaceExists;   // 0: every perm allocation answers 0

// Freed perm body chunks: a chunk's first word is the next chunk, or-ed with 1 when the
// chunk is one word long; otherwise its second word is its length in words.
struct PermSpaceSegs {
  uint64_t freeHead;    // first free chunk (byte address), 0 = none
  uint64_t freeChunks;  // chunks on the list
  uint64_t freeWords;   // words in them
};
extern PermSpaceSegs permSpaceSegs;

// An empty perm space over [start, end) (start-up and tests); sets permSpaceExists.
void initPermSpace(uint64_t start, uint64_t end);
ObjectHeader* allocInPermSpace(uint32_t classTag, int64_t namedSlots, uint64_t byteSize,
                               uint64_t headerFlags, uint64_t fill);
void markPermSpace(int on);
void nilPermSpacePtrs(uint64_t address);
int writePermSpace(int64_t fd, uint64_t* written);
void recyclePermObj(ObjectHeader* h);
void recyclePermOtEntry(ObjectHeader* h);
void recyclePermData(ObjectHeader* h, uint64_t body, uint64_t words);
void recycleNonNewData(ObjectHeader* h, uint64_t body, uint64_t words);
// 1 when [address, address + bytes) overlaps perm space while it exists and is separate.
int addressInPermRange(uint64_t address, uint64_t bytes);
int addressInPermData(uint64_t address);
