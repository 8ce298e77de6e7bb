// Object memory: old space: segments, their object tables, free lists and size tree.
// Owns oldSpaceSegs, oldSpace (working copy of the current segment), osReserveSlots and the
// old-space counters. Prefix: none (allocInOldSpace, allocOldData, growOldSpace, ...).
#pragma once
#include <cstdint>
#include <cstdio>

#include "mman/mmObject.h"

// A segment: one block from moreMemory with this record at its base. Bodies grow up from
// dataStart to dataTop; the object table (16-byte headers) grows down from otHigh, holding
// the entries otLow + 16 .. otHigh inclusive. Free room, in slots: (otLow + 16 - dataTop) / 8.
struct OldSpaceSegment {
  OldSpaceSegment* next;    // next segment by address, 0 at the end
  OldSpaceSegment* prev;    // previous segment by address, 0 at the start
  uint64_t dataStart;       // byte address: base + 72
  uint64_t dataTop;         // byte address: first unused body byte
  uint64_t otLow;           // byte address: the next entry to hand out
  uint64_t otHigh;          // byte address: the highest entry
  uint64_t compactOtLow;    // compaction: the segment's new OT low end
  uint64_t compactLimit;    // compaction: limit for packing bodies into it
  uint32_t segFlags;        // bit 0 mapped (may go back to the platform), bit 1 compaction
  uint32_t segPad;          // unused
};
static_assert(sizeof(OldSpaceSegment) == 72, "a segment record is 9 words");

enum : uint32_t {
  segMapped = 1,
  segCompacting = 2,
  segOverheadBytes = 88,        // record plus the table's end gap asked beyond the slots
  freeListCount = 64,           // segregated lists of 1..64 slots
  freeChunkSizeTag = 7,         // a tree node's word 0 is slots * 8 + 7
};

// The segment list, the free object-table entries and the free body chunks. Invariant
// "free space is counted": freeChunks and freeSlots are the number and total slots of the
// chunks on the 64 lists and in the tree.
struct OldSpaceSegs {
  OldSpaceSegment* first;      // lowest segment
  OldSpaceSegment* last;       // highest segment
  OldSpaceSegment* current;    // the segment allocation bumps in
  uint64_t freeOtHead;         // byte address of the first free entry, 0 = none
  uint64_t freeOtCount;        // entries on that list
  uint64_t freeChunks;         // chunks on the lists and in the tree
  uint64_t freeSlots;          // slots in them
  uint64_t treeRoot;           // byte address of the size tree's root chunk, 0 = empty
  uint64_t lists[freeListCount];  // list n (chunks of exactly n slots) at lists[n - 1]
  uint64_t listBits;           // bit n-1 set when list n may be non-empty
};
static_assert(sizeof(OldSpaceSegs) == 73 * 8, "oldSpaceSegs is 73 words");

// A chunk of the size tree (more than 64 slots).
struct FreeChunk {
  uint64_t sizeWord;   // slots * 8 + 7
  uint64_t next;       // next chunk of the same size, 0 = none
  uint64_t smaller;    // subtree of smaller chunks
  uint64_t larger;     // subtree of larger chunks
  uint64_t parent;     // 0 at the root
};

extern OldSpaceSegs oldSpaceSegs;
extern OldSpaceSegment oldSpace;     // working copy of *oldSpaceSegs.current
extern uint64_t osReserveSlots;      // slots kept back for the memory manager's own needs
extern uint64_t incSweepPoint;       // next entry of a running sweep; all ones when none
extern uint64_t fragFailedSearches;  // searches that probed and found nothing
extern uint64_t fragSplits;          // chunks split
extern uint64_t fragExactFits;       // chunks that fitted exactly
extern uint64_t fragProbes;          // lists and tree nodes examined
extern uint64_t oldObjectsAllocated; // entries handed out
extern uint64_t oldBytesAllocated;   // body bytes handed out
extern uint64_t threadedDataForSnapshot;  // byte address of the chunk holding the saved heads

inline uint64_t segmentRoom(const OldSpaceSegment* s) { return (s->otLow + 16 - s->dataTop) / 8; }

// Writes oldSpace back to the current segment's record; walks of the list start with it.
void writeBackOldSpace();
void setCurrentOldSegment(OldSpaceSegment* segment);

// A new header in old space with the given class index, named-slot count, body bytes and
// header flags (hasPtrs, isGCSpecial, ...); fill 1 leaves the body unfilled. 0 when refused.
ObjectHeader* allocInOldSpace(uint32_t classTag, uint64_t namedSlots, uint64_t byteSize,
                              uint64_t headerFlags, oop fill, int useReserve);
// A free chunk of exactly slots slots, or 0.
uint64_t allocOldData(uint64_t slots, int useReserve);
// Gives a chunk back to the lists (1..64 slots) or the tree.
void freeOldData(uint64_t chunk, uint64_t slots);
void freeLargeOldDataNoOop(uint64_t chunk, uint64_t slots);
// Gives an entry back to the free list, or makes it an empty ByteArray while the remembered
// table or a running mark still refers to it.
void freeOldOtEntry(ObjectHeader* h);
// Frees an old object whose body lies in old data (or that has none) at once.
void recycleOldObj(ObjectHeader* h);

int growOldSpace(int64_t slots);
int findContiguousSlotsInOldSpaceSlowly(uint64_t slots, int useReserve);
uint64_t growOldObject(ObjectHeader* h, uint64_t extraSlots, uint64_t minExtraSlots);
uint64_t shrinkOldObject(ObjectHeader* h, uint64_t slots, uint64_t minSlots);
// Primitive 329's work: gives empty mapped segments back; answers the bytes released.
uint64_t releaseEmptyOldSegments(uint64_t bytes);

uint64_t slotsLeftInOldSpace();
uint64_t slotsUsedInOldSpace();
uint64_t otEntriesUsedInOldSpace();
uint64_t numOldSpaceSegs();
int sufficientFreeContiguousSpace(uint64_t slots);
int64_t slotsFreeInOldSpaceMinusReserve();
void resetFragmentationCounts();

OldSpaceSegment* addressInOldSegment(uint64_t address);
OldSpaceSegment* addressInOldSegmentData(uint64_t address);
OldSpaceSegment* addressInOldOt(uint64_t address);
OldSpaceSegment* addressInOldNewOt(uint64_t address);

int objPointsToOldSpace(ObjectHeader* h);
typedef int (*OtPredicate)(void* arg, ObjectHeader* entry);
// The first live entry after `after` (0: from the beginning; perm space first while it is
// separate) for which predicate answers non-zero, or 0.
ObjectHeader* searchObjectMemory(ObjectHeader* after, void* arg, OtPredicate predicate);

// Image support: before a snapshot the tree root and the 64 list heads are copied into words
// 5..69 of a free chunk of at least 70 slots (answers 0 when none can be had); after loading
// they are copied back and, given a relocation function, every link is relocated.
enum : uint32_t { threadedChunkSlots = 70, threadedHeadsWord = 5, threadedHeads = 65 };
int prepareThreadedFreeListForSnapshot();
typedef uint64_t (*RelocateFn)(uint64_t address);
// Answers 0 when the lists or the tree hold more chunks than old space has slots (a damaged
// image whose links run in a circle).
int updateThreadedDataPointers(RelocateFn relocate);

// Start-up: the loaded first segment becomes the only and current one, with the free-entry
// list, threaded free data and free counts saved in the image; sets osReserveSlots and ends
// any incremental sweep.
void initOldSpaceBounds(OldSpaceSegment* segment, uint64_t dataSlots, uint64_t otEntries,
                        uint64_t totalSlots, uint64_t freeOtHead, uint64_t freeOtCount,
                        uint64_t threadedHead, uint64_t freeChunks, uint64_t freeSlots);
// Empties the 64 lists and the tree and zeroes the free counts.
void resetThreadedData();
// A free list in the single-list form (word 0 the next chunk, bit 0 set for a one-slot
// chunk; word 1 the size) goes into the lists and the tree; *head becomes 0.
void assimilateOldFreeList(uint64_t* head, uint64_t* countOut, uint64_t* slotsOut);
void absorbPermFreeList();  // the perm free list into old space's lists
// Every old free chunk onto the perm free list (promote), then resetThreadedData.
void flattenThreadedDataForPermLoad();
// Perm space counts as one more old segment from now on (permSpaceAbsorbed).
void absorbPermSpace();
// Unlinks the perm record again; "perm space not found" (fatal) when it is not in the list.
void restorePermSpace();

// Snapshot: every segment's data, the segment map (four words per segment: data start,
// data bytes, first entry, table bytes) when there are several, then every object table.
// Answers 0 or the platform error number (-1 when none was given); adds to *bytesWritten.
int writeOldSpace(int64_t fd, uint64_t* bytesWritten);

// ---- Quick compaction ----------------------------------------------------------------------------
// Slides the bodies of every segment down over its free chunks; headers stay where they are,
// so no reference changes. While it runs each body block's first word is a back pointer to
// its header (low 3 bits 0; the header's dataPtr holds the displaced word) or, for a free
// run, its byte length | 7. Afterwards the free lists and tree are empty and every freed
// slot is its segment's free room. Used when tenuring fails during a scavenge.
extern uint64_t numOldCompactions;  // quick compactions run
void compact();
void reversePointersInOldSpace();
void prepareThreadedDataForCompaction(int withPerm);
void compactOldSpace();

// ---- Sweep and compact after a global mark ---------------------------------------------------------
// Frees unmarked entries and packs the object tables (old segments towards the first, and
// absorbed perm space's table within itself), then slides and packs the bodies, following
// moved entries in every slot it passes. A moved entry's vacated place keeps its mark and
// holds the new address in dataPtr until the other spaces' sweeps have run; nothing may
// allocate in old space meanwhile. Ends with the registry, remembered tables and
// finalization queue refreshed.
void sweepAndCompactOldSpace(int withPerm);
// Between sweepAndCompactOldSpace and the end of the collection's sweeps: the new place of
// a moved old (or absorbed perm) object, else o itself.
oop movedEntry(oop o);
// After the last sweep: vacated entries a pinned (perm-flagged) entry kept inside a table
// go onto the free-entry list.
void releaseVacatedOtEntries();

// ---- Sweeping after a mark -----------------------------------------------------------------
// A sweep walks the object tables upward from incSweepPoint in runs of sweepRunEntries: a
// marked entry loses its mark, an unmarked live one is freed (perm entries, while perm space
// stands apart, are left). New entries handed out at or above the point are born marked.
enum : uint32_t { sweepRunEntries = 8192 };
extern OldSpaceSegment* incSweepSegment;  // segment being swept, 0 when none
void resetIncSweepCounts();
// Starts a sweep at the lowest entry of the first segment that has entries.
void saveOtBaseAfterIncMark();
// One quantum: answers 1 when the sweep is complete, 0 when it stopped at maxEntries
// examined, maxBytes freed, or (interruptible) a process switch requested meanwhile. A run
// ends early where either budget runs out, but takes at least one entry.
int incSweepOldSpace(int interruptible, uint64_t maxEntries, uint64_t maxBytes);

// The unmark pass of an abandoned incremental mark: the same walk clears the mark of every
// entry (live, dead or free). incUnmarkPoint is all ones when no pass runs.
extern OldSpaceSegment* incUnmarkSegment;  // segment being unmarked, 0 when none
extern uint64_t incUnmarkPoint;            // next entry to unmark (bytes)
extern uint64_t incUnmarkCount;            // entries unmarked since the last reset (a memory statistic)
void resetIncUnmarkCounts();
void prepareToUnmarkOldSpace();
// One quantum: stops (answering 0) once this quantum's count reaches maxWork or, when
// interruptible, a process switch was requested; a run is always finished first, so maxWork 0
// does one run. maxBytes plays no part. 1 when the last segment is done.
int incUnmarkOldSpace(int interruptible, uint64_t maxWork, uint64_t maxBytes);

// Counters that memory statistics (primitive 326) report beside old space's own: the
// incremental sweep's (kept here) and the stack zone's and native-method zone's compactions
// (which those zones count).
struct MemoryStatCounters {
  uint64_t incSweepEntriesScanned;  // entries the sweep quanta looked at
  uint64_t incSweepObjectsFreed;    // objects they freed
  uint64_t incSweepBytesFreed;      // body bytes they freed
  uint64_t stackCompactCount;       // stack-zone compactions
  uint64_t numCompactNMethods;      // native-method zone compactions
};
extern MemoryStatCounters memoryStats;

// Registers 323, 326, 328, 329, 409 and the fixed-space sizing primitives 1042 and 1043.
void initOldSpacePrims();
