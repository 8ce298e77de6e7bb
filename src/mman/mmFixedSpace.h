// Object memory: fixed space (bodies of byte objects that never move), in segments.
// Owns fixedSpace (working copy of the current segment), fixedSpaceSegs and the table flag.
// Prefix: none (allocInFixedSpace, reRegisterFixedObj, growFixedSpace, ...).
#pragma once
#include <cstdint>
#include <cstdio>

#include "mman/mmLargeSpace.h"

// A segment: this 72-byte record, then its area: blocks from the area's start upward and
// the block table down from the area's end (invariants of BlockTable). Every body is
// followed by at least two NUL bytes inside its block.
struct FixedSpaceSegment {
  FixedSpaceSegment* next;  // next segment by first-block address, 0 at the end
  FixedSpaceSegment* prev;  // previous segment, 0 at the start
  BlockTable table;         // blocks and table of this segment
  uint64_t mapped;          // 1: mapped memory that may be given back
};
static_assert(sizeof(FixedSpaceSegment) == 72, "a fixed segment record is 9 words");

// The current segment's record is worked on in fixedSpace; it is written back into the
// segment before any walk over segments (writeBackFixedSpace) and read again afterwards.
extern FixedSpaceSegment fixedSpace;
struct FixedSpaceSegs {
  FixedSpaceSegment* first;    // lowest segment
  FixedSpaceSegment* last;     // highest segment
  FixedSpaceSegment* current;  // the segment fixedSpace copies
};
extern FixedSpaceSegs fixedSpaceSegs;
extern uint32_t fixedTableHasUnused;  // some table holds unused entries

void writeBackFixedSpace();
void setCurrentFixedSegment(FixedSpaceSegment* segment);
// Words a body of byteSize bytes takes: size word, data and at least two NUL bytes.
inline uint64_t fixedBlockWords(uint64_t byteSize) { return (byteSize + 9) / 8 + 1; }

void initializeEmptyFixedSpaceSegment(FixedSpaceSegment* record, uint64_t words,
                                      uint64_t areaStart, uint64_t tableBytes);
// Makes segment (already initialised) the only fixed segment (start-up and tests).
void initFixedSpaceSegs(FixedSpaceSegment* segment);
ObjectHeader* allocInFixedSpace(uint32_t classTag, uint64_t byteSize, uint64_t headerFlags,
                                uint64_t fill);
// A block of need words made current in its segment, or 0 (the search of allocation and
// primitive 1047; compaction of the tables allowed when mayCompact).
BlockTableEntry* findFixedBlock(uint64_t need, int mayCompact);
int growFixedSpace(uint64_t words);
uint64_t shrinkFixedSpace(uint64_t words);
int reRegisterFixedObj(ObjectHeader* oldHeader, ObjectHeader* newHeader);
int existsFixedSpaceSegmentFor(uint64_t address);
FixedSpaceSegment* fixedSegmentFor(uint64_t address);

void noPermSweepFt();
void skipPermSweepFt();
void sweepAndCompactFtAfterScavenge();
void sweepAndCompactFixedSpace();
void compactFixedSpace();
// Snapshot: the owned blocks of every segment (runs of neighbours, free blocks left out),
// then every segment's table with the end marker in its topmost entry, which is first made
// the segment's free last block so that no live body sits under the marker. Answers 0 or
// the platform error number; adds the bytes written to *bytes.
int writeFixedSpace(int64_t fd, uint64_t* bytes);

uint64_t occupiedFsDataSlots();
uint64_t occupiedFsDataSlotsInSeg(const FixedSpaceSegment* segment);  // after writeBackFixedSpace
uint64_t occupiedFtSlots();
uint64_t numFixedSpaceSegs();
uint64_t maximalFreeSlotsInFixedSpaceSeg(FixedSpaceSegment* segment);
void printFixedSpaceSegmentsTo(FILE* stream);
// Registers primitive 1047 (can a fixed body of n bytes be placed now).
void initFixedSpacePrims();
// Checks every segment's block chain; 0 and the reason when broken (heap verifier).
int verifyFixedSpace(const char** why);
