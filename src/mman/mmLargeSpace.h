// Object memory: large space (movable bodies of big byte objects) and the block-table
// machinery it shares with fixed space. Owns largeSpace and largeSpacePendingWords.
// Prefix: none for large space (allocInLargeSpace, reRegisterLargeObj, ...); bt for the
// shared block-table helpers.
#pragma once
#include <cstdint>
#include <cstdio>

#include "mman/mmObject.h"

// One block of a block table, stored as it is in image files (five u64 words):
//
//  +0 prev   +8 next   +16 owner header (0 = free)   +24 block address   +32 size (words)
//
// A block is a size word (the body's byte size) followed by the body; the owner's dataPtr
// is block address + 8. An entry with block address 0 is unused (awaits table compaction).
struct BlockTableEntry {
  BlockTableEntry* prev;  // previous block in address order, 0 for the first
  BlockTableEntry* next;  // next block in address order, 0 for the last
  uint64_t owner;         // header address whose body lies here; 0 = free
  uint64_t block;         // block address (bytes); 0 = unused entry
  uint64_t words;         // block size in words, size word included
};
static_assert(sizeof(BlockTableEntry) == 40, "block table entries are 40 bytes");
enum : uint64_t { btEntryWords = 5 };

// The part of a large-space record or fixed-space segment that describes its blocks.
// Invariants ("block chain"): blocks are chained in address order from firstBlock, each
// starting where the previous ends; the last block is free and runs up to lowest, the
// table's low end; the table holds the entries lowest..highest; freeWords is the sum of
// the free blocks' sizes; firstFree is the first free block of the chain.
struct BlockTable {
  BlockTableEntry* highest;     // highest table entry
  BlockTableEntry* lowest;      // lowest table entry (the table's low end)
  BlockTableEntry* firstBlock;  // first block of the chain
  BlockTableEntry* firstFree;   // allocation hint: the first free block, 0 when none
  BlockTableEntry* lastBlock;   // last block (free), ends at lowest
  uint64_t freeWords;           // words in free blocks
};

// Large space: one area; bodies from its start upward, the table down from its end.
struct LargeSpaceRecord {
  BlockTable table;              // blocks and table
  uint64_t tenureThresholdWords; // scavenges tenure large owners while free words are below
};
extern LargeSpaceRecord largeSpace;
extern uint64_t largeSpacePendingWords;  // largest word count failed since request 7 served
extern uint32_t largeTableHasUnused;     // the table holds unused entries

// ---- Shared block-table machinery --------------------------------------------------------

// An empty table over [areaStart, areaStart + words*8): one free block, one entry on top.
void btInitEmpty(BlockTable* t, uint64_t areaStart, uint64_t words);
inline bool btIsFree(const BlockTableEntry* e) { return e->owner == 0; }
inline uint64_t btEnd(const BlockTableEntry* e) { return e->block + e->words * 8; }
// Takes need words from the front of free block b; when b is larger (or is the last
// block) the rest becomes a new free entry taken from the table's low end (5 words off the
// last block). The caller has checked that the split fits.
void btTake(BlockTable* t, BlockTableEntry* b, uint64_t need, uint64_t owner);
// Frees b: free words grow, b becomes the hint when it precedes it.
void btFree(BlockTable* t, BlockTableEntry* b);
BlockTableEntry* btFindOwner(BlockTable* t, uint64_t owner);
BlockTableEntry* btNextFree(BlockTableEntry* e);  // e or the first free block after it
// Merges the free blocks directly after free block b into it (their entries unused).
// Answers 1 when an entry became unused.
int btAbsorbFollowing(BlockTable* t, BlockTableEntry* b);
// Packs the live entries up to highest and gives the freed words to the last block.
void btCompactTable(BlockTable* t);
// Writes a body of byteSize bytes into owned block b for header h: dataPtr, size word
// (bodyBytes), class tag and flags, odd bytes, sizeField; fills unless fill is 1.
void btInitOwner(ObjectHeader* h, BlockTableEntry* b, uint32_t classTag, uint64_t byteSize,
                 uint64_t bodyBytes, uint64_t headerFlags, uint64_t fill, uint32_t sizeField);
// The header a collector left for owner: its forwarded copy when its dataPtr carries
// forwarding bits, else the owner itself.
ObjectHeader* btCurrentOwner(uint64_t owner);
// After a global collection's old-space sweep: also follows an entry the sweep-compact moved
// (a vacated entry keeps its mark and names the new one in dataPtr).
ObjectHeader* btOwnerAfterCollection(uint64_t owner);
// Calls keep(owner) for every owned block; a block whose owner keep answers 0 for is
// freed. Used by the sweeps after collections.
void btSweep(BlockTable* t, int (*keep)(ObjectHeader*));
// Walks the chain checking the invariants above; answers 0 and describes the first
// broken one in why (for the heap verifier).
int btVerify(const BlockTable* t, const char** why);

// ---- Large space -------------------------------------------------------------------------

void initLargeSpace(uint64_t areaStart, uint64_t words, uint64_t tenureThresholdWords);
ObjectHeader* allocInLargeSpace(uint32_t classTag, uint64_t byteSize, uint64_t headerFlags,
                                uint64_t fill);
BlockTableEntry* findFreeLsBlock(uint64_t words);
int reRegisterLargeObj(ObjectHeader* oldHeader, ObjectHeader* newHeader);
uint64_t largeSlotsToTenure();
uint64_t numLargeSpaceObjects();
uint64_t occupiedLsDataSlots();
void noPermSweepLt();
void skipPermSweepLt();
void sweepAndCompactLtAfterScavenge();
void sweepAndCompactLargeSpace();
void compactLargeSpace();
void compactLargeSpaceResponse();
int writeLargeSpace(int64_t fd, uint64_t* bytes);
void printLargeSpaceSegmentsTo(FILE* stream);
