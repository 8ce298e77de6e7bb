// Object memory: fixed space (bodies of byte objects that never move), in segments.
// Owns fixedSpace (working copy of the current segment), fixedSpaceSegs and the table flag.
// Prefix: none (allocInFixedSpace, reRegisterFixedObj, growFixedSpace, ...).
#include "mman/mmFixedSpace.h"

#include <cassert>
#include <cinttypes>
#include <initializer_list>
#include <cstring>

#include "ext/exMemory.h"
#include "ext/exPrimTable.h"
#include "ext/platform.h"
#include "mman/mmAllocate.h"
#include "mman/mmNewSpace.h"
#include "mman/mmPermSpace.h"
#include "mman/mmPrimUtil.h"
#include "mman/mmSnapshot.h"
#include "mman/mmSysOop.h"

FixedSpaceSegment fixedSpace;
FixedSpaceSegs fixedSpaceSegs;
uint32_t fixedTableHasUnused;

enum : uint64_t { fixedRecordBytes = sizeof(FixedSpaceSegment) };

void writeBackFixedSpace() {
  if (fixedSpaceSegs.current != nullptr) *fixedSpaceSegs.current = fixedSpace;
}

void setCurrentFixedSegment(FixedSpaceSegment* segment) {
  writeBackFixedSpace();
  fixedSpaceSegs.current = segment;
  if (segment != nullptr) fixedSpace = *segment;
}

// The live table of a segment: the working copy for the current one.
static BlockTable* tableOf(FixedSpaceSegment* s) {
  return s == fixedSpaceSegs.current ? &fixedSpace.table : &s->table;
}

void initializeEmptyFixedSpaceSegment(FixedSpaceSegment* record, uint64_t words,
                                      uint64_t areaStart, uint64_t tableBytes) {
  assert(tableBytes == sizeof(BlockTableEntry));
  record->next = record->prev = nullptr;
  record->mapped = 0;
  btInitEmpty(&record->table, areaStart, words);
  record->table.freeWords = words - tableBytes / 8;
}

void initFixedSpaceSegs(FixedSpaceSegment* segment) {
  fixedSpaceSegs = {segment, segment, nullptr};
  fixedTableHasUnused = 0;
  setCurrentFixedSegment(segment);
}

// ---- Block search and allocation -----------------------------------------------------------

static BlockTableEntry* exactFitAfter(BlockTable* t, BlockTableEntry* from, uint64_t need) {
  for (BlockTableEntry* e = from; e != nullptr && e != t->lastBlock; e = e->next)
    if (btIsFree(e) && e->words == need) return e;
  return nullptr;
}

// The rules of one segment: the last block must keep more than a table entry's words
// after the split; another block fits exactly, or the last block can still give an entry.
static BlockTableEntry* findInTable(BlockTable* t, uint64_t need) {
  if (t->freeWords < need) return nullptr;
  BlockTableEntry* b = t->firstFree;
  while (b != nullptr && !(btIsFree(b) && b->words >= need)) b = b->next;
  if (b == nullptr) return nullptr;
  if (b == t->lastBlock) return b->words > need + btEntryWords ? b : nullptr;
  if (b->words == need || t->lastBlock->words > btEntryWords) return b;
  return exactFitAfter(t, b->next, need);
}

static BlockTableEntry* findInCurrent(uint64_t need, int mayCompact) {
  if (mayCompact && fixedTableHasUnused) btCompactTable(&fixedSpace.table);
  return findInTable(&fixedSpace.table, need);
}

BlockTableEntry* findFixedBlock(uint64_t need, int mayCompact) {
  FixedSpaceSegment* start = fixedSpaceSegs.current;
  if (start == nullptr) return nullptr;
  BlockTableEntry* b = findInCurrent(need, mayCompact);
  if (b != nullptr) return b;
  for (FixedSpaceSegment* s = fixedSpaceSegs.first; s != nullptr; s = s->next) {
    if (s == start) continue;
    setCurrentFixedSegment(s);
    b = findInCurrent(need, mayCompact);
    if (b != nullptr) return b;
  }
  setCurrentFixedSegment(start);
  return nullptr;
}

// Pointer objects are refused; failure posts no request (growing is the caller's choice).
ObjectHeader* allocInFixedSpace(uint32_t classTag, uint64_t byteSize, uint64_t headerFlags,
                                uint64_t fill) {
  if ((headerFlags & hasPtrsBit) || byteSize >= maxAllocBytes) return nullptr;
  uint64_t need = fixedBlockWords(byteSize);
  BlockTableEntry* b = findFixedBlock(need, 1);
  if (b == nullptr) return nullptr;
  btTake(&fixedSpace.table, b, need, 1);  // owner fixed below, once the header exists
  ObjectHeader* h = allocInNewSpace(classTag, 0, 0, 0, noFill);
  if (h == nullptr) {
    btFree(&fixedSpace.table, b);
    return nullptr;
  }
  b->owner = oopOf(h);
  btInitOwner(h, b, classTag, byteSize, roundedBodyBytes(byteSize), headerFlags, fill,
              sizeFieldFixed);
  // C code reads the bytes as a string: two NULs follow the data, filled or not.
  uint8_t* data = reinterpret_cast<uint8_t*>(h->dataPtr);
  data[byteSize] = 0;
  data[byteSize + 1] = 0;
  return h;
}

// ---- Growing and shrinking -----------------------------------------------------------------

static void linkFixedSegment(FixedSpaceSegment* s) {
  writeBackFixedSpace();
  FixedSpaceSegment* after = nullptr;  // the last segment whose blocks lie below s's
  for (FixedSpaceSegment* p = fixedSpaceSegs.first; p != nullptr; p = p->next)
    if (p->table.firstBlock->block < s->table.firstBlock->block) after = p;
  s->prev = after;
  s->next = after != nullptr ? after->next : fixedSpaceSegs.first;
  if (s->next != nullptr) s->next->prev = s; else fixedSpaceSegs.last = s;
  if (after != nullptr) after->next = s; else fixedSpaceSegs.first = s;
  if (fixedSpaceSegs.current != nullptr) fixedSpace = *fixedSpaceSegs.current;
}

static bool unsuitableForFixed(uint64_t block, uint64_t bytes) {
  return block < oldNewSpaceBoundary || addressInPermRange(block, bytes);
}

// Blocks below the old/new boundary or inside perm space are set aside while another is
// asked for, and given back afterwards.
int growFixedSpace(uint64_t words) {
  if (words == 0) return 1;
  enum { maxAside = 8 };
  void* aside[maxAside];
  int asideMapped[maxAside], nAside = 0;
  uint64_t bytes = words * 8 + fixedRecordBytes;
  void* block = nullptr;
  int mapped = 0;
  for (;;) {
    uint64_t granted = 0;
    block = moreMemory(bytes, 1, oldNewSpaceBoundary, 8, pdProtRead | pdProtWrite, &mapped, &granted);
    if (block == nullptr || !unsuitableForFixed(uint64_t(block), bytes)) break;
    if (nAside == maxAside) { lessMemory(block, bytes, mapped); block = nullptr; break; }
    aside[nAside] = block;
    asideMapped[nAside++] = mapped;
  }
  for (int i = 0; i < nAside; i++) lessMemory(aside[i], bytes, asideMapped[i]);
  if (block == nullptr) return 0;
  FixedSpaceSegment* s = static_cast<FixedSpaceSegment*>(block);
  initializeEmptyFixedSpaceSegment(s, words, uint64_t(block) + fixedRecordBytes, sizeof(BlockTableEntry));
  s->mapped = uint64_t(mapped);
  linkFixedSegment(s);
  setCurrentFixedSegment(s);
  return 1;
}

static uint64_t areaWordsOf(FixedSpaceSegment* s) {
  return (uint64_t(s->table.highest + 1) - s->table.firstBlock->block) / 8;
}

static void unlinkFixedSegment(FixedSpaceSegment* s) {
  if (s->prev != nullptr) s->prev->next = s->next; else fixedSpaceSegs.first = s->next;
  if (s->next != nullptr) s->next->prev = s->prev; else fixedSpaceSegs.last = s->prev;
}

// Only mapped segments whose table holds one free block go back; the first segment is
// current afterwards.
uint64_t shrinkFixedSpace(uint64_t words) {
  if (fixedSpaceSegs.first == nullptr) return 0;
  setCurrentFixedSegment(fixedSpaceSegs.first);
  writeBackFixedSpace();
  uint64_t released = 0;
  FixedSpaceSegment* s = fixedSpaceSegs.first;
  while (s != nullptr && released < words) {
    FixedSpaceSegment* next = s->next;
    BlockTable* t = &s->table;
    if (s->mapped && t->lowest == t->highest && btIsFree(t->firstBlock)) {
      unlinkFixedSegment(s);
      if (fixedSpaceSegs.current == s) fixedSpaceSegs.current = next;
      uint64_t area = areaWordsOf(s);
      lessMemory(s, area * 8 + fixedRecordBytes, 1);
      released += area;
    }
    s = next;
  }
  if (fixedSpaceSegs.current == nullptr) fixedSpaceSegs.current = fixedSpaceSegs.first;
  if (fixedSpaceSegs.current != nullptr) fixedSpace = *fixedSpaceSegs.current;
  return released;
}

// ---- Owners --------------------------------------------------------------------------------

FixedSpaceSegment* fixedSegmentFor(uint64_t address) {
  for (FixedSpaceSegment* s = fixedSpaceSegs.first; s != nullptr; s = s->next) {
    BlockTable* t = tableOf(s);
    if (address >= t->firstBlock->block && address < uint64_t(t->lowest)) return s;
  }
  return nullptr;
}

int existsFixedSpaceSegmentFor(uint64_t address) { return fixedSegmentFor(address) != nullptr; }

int reRegisterFixedObj(ObjectHeader* oldHeader, ObjectHeader* newHeader) {
  FixedSpaceSegment* s = fixedSegmentFor(btCurrentOwner(oopOf(oldHeader))->dataPtr - 8);
  if (s == nullptr) return 0;
  BlockTable* t = tableOf(s);
  BlockTableEntry* e = btFindOwner(t, oopOf(oldHeader));
  if (e == nullptr) return 0;
  if (newHeader == nullptr)
    btFree(t, e);
  else
    e->owner = oopOf(newHeader);
  return 1;
}

// ---- Sweeps and table compaction -----------------------------------------------------------

static void sweepEverySegment(int (*keep)(ObjectHeader*), ObjectHeader* (*follow)(uint64_t)) {
  writeBackFixedSpace();
  for (FixedSpaceSegment* s = fixedSpaceSegs.first; s != nullptr; s = s->next) {
    BlockTable* t = &s->table;
    if (follow != nullptr)
      for (BlockTableEntry* e = t->firstBlock; e != nullptr; e = e->next)
        if (!btIsFree(e)) e->owner = oopOf(follow(e->owner));
    if (keep != nullptr) btSweep(t, keep);
    for (BlockTableEntry* e = t->firstBlock; e != nullptr; e = e->next)
      if (btIsFree(e) && btAbsorbFollowing(t, e)) fixedTableHasUnused = 1;
  }
  if (fixedSpaceSegs.current != nullptr) fixedSpace = *fixedSpaceSegs.current;
  compactFixedSpace();
}

static int keepUnlessUnmarkedOld(ObjectHeader* h) { return isNewObject(oopOf(h)) || isMarked(h); }
static int keepPermOrMarked(ObjectHeader* h) { return keepUnlessUnmarkedOld(h) || isPermObject(h); }
// Before the survivor spaces are exchanged: survivors are forwarded, the rest of new
// space died, copies in future space are alive.
static int keepScavengeSurvivor(ObjectHeader* h) {
  if (isForwarded(h) || !isNewObject(oopOf(h))) return 1;
  return oopOf(h) >= futureSpace.start && oopOf(h) < futureSpace.end;
}

void noPermSweepFt() { sweepEverySegment(keepUnlessUnmarkedOld, nullptr); }
void skipPermSweepFt() { sweepEverySegment(keepPermOrMarked, nullptr); }
void sweepAndCompactFtAfterScavenge() {
  writeBackFixedSpace();
  for (FixedSpaceSegment* s = fixedSpaceSegs.first; s != nullptr; s = s->next)
    btSweep(&s->table, keepScavengeSurvivor);
  if (fixedSpaceSegs.current != nullptr) fixedSpace = *fixedSpaceSegs.current;
  sweepEverySegment(nullptr, btCurrentOwner);
}
void sweepAndCompactFixedSpace() { sweepEverySegment(nullptr, btOwnerAfterCollection); }

// Bodies never move: only the tables are packed, their words going to each last block.
void compactFixedSpace() {
  if (!fixedTableHasUnused) return;
  writeBackFixedSpace();
  for (FixedSpaceSegment* s = fixedSpaceSegs.first; s != nullptr; s = s->next)
    btCompactTable(&s->table);
  if (fixedSpaceSegs.current != nullptr) fixedSpace = *fixedSpaceSegs.current;
  fixedTableHasUnused = 0;
}

// ---- Counts, printing and checking ---------------------------------------------------------

uint64_t occupiedFsDataSlotsInSeg(const FixedSpaceSegment* segment) {
  uint64_t n = 0;
  for (BlockTableEntry* e = segment->table.firstBlock; e != nullptr; e = e->next)
    if (!btIsFree(e)) n += e->words;
  return n;
}

uint64_t occupiedFsDataSlots() {
  writeBackFixedSpace();
  uint64_t n = 0;
  for (FixedSpaceSegment* s = fixedSpaceSegs.first; s != nullptr; s = s->next) n += occupiedFsDataSlotsInSeg(s);
  return n;
}

uint64_t occupiedFtSlots() {
  writeBackFixedSpace();
  uint64_t n = 0;
  for (FixedSpaceSegment* s = fixedSpaceSegs.first; s != nullptr; s = s->next)
    n += uint64_t(s->table.highest - s->table.lowest + 1) * btEntryWords;
  return n;
}

uint64_t numFixedSpaceSegs() {
  uint64_t n = 0;
  for (FixedSpaceSegment* s = fixedSpaceSegs.first; s != nullptr; s = s->next) n++;
  return n;
}

uint64_t maximalFreeSlotsInFixedSpaceSeg(FixedSpaceSegment* segment) {
  uint64_t most = 0;
  for (BlockTableEntry* e = tableOf(segment)->firstBlock; e != nullptr; e = e->next)
    if (btIsFree(e) && e->words > most) most = e->words;
  return most;
}

void printFixedSpaceSegmentsTo(FILE* stream) {
  writeBackFixedSpace();
  fprintf(stream, "current 0x%" PRIx64 " first 0x%" PRIx64 " last 0x%" PRIx64 "\n",
          uint64_t(fixedSpaceSegs.current), uint64_t(fixedSpaceSegs.first), uint64_t(fixedSpaceSegs.last));
  for (FixedSpaceSegment* s = fixedSpaceSegs.first; s != nullptr; s = s->next) {
    uint64_t used = 0, newOwners = 0, oldOwners = 0;
    for (BlockTableEntry* e = s->table.firstBlock; e != nullptr; e = e->next)
      if (!btIsFree(e)) {
        used += e->words;
        (isNewObject(e->owner) ? newOwners : oldOwners)++;
      }
    uint64_t start = s->table.firstBlock->block, end = uint64_t(s->table.highest + 1);
    fprintf(stream, "seg 0x%" PRIx64 " [0x%" PRIx64 ", 0x%" PRIx64 "), bytes: %" PRIu64
            ", used slots: %" PRIu64 ", free slots: %" PRIu64 ", entries n %" PRIu64 " o %" PRIu64 "\n",
            uint64_t(s), start, end, end - start, used, s->table.freeWords, newOwners, oldOwners);
  }
}

// Besides each chain: the segments are in address order and every owned block keeps two
// NUL bytes after its data.
int verifyFixedSpace(const char** why) {
  writeBackFixedSpace();
  FixedSpaceSegment* prev = nullptr;
  for (FixedSpaceSegment* s = fixedSpaceSegs.first; s != nullptr; prev = s, s = s->next) {
    if (s->prev != prev) return *why = "broken segment back link", 0;
    if (prev != nullptr && prev->table.firstBlock->block >= s->table.firstBlock->block)
      return *why = "segments out of address order", 0;
    if (!btVerify(&s->table, why)) return 0;
    for (BlockTableEntry* e = s->table.firstBlock; e != nullptr; e = e->next) {
      if (btIsFree(e)) continue;
      const ObjectHeader* h = btCurrentOwner(e->owner);
      if (sizeFieldOf(h) != sizeFieldFixed) return *why = "fixed owner without size field 254", 0;
      uint64_t bytes = byteSizeOf(h);
      if (fixedBlockWords(bytes) != e->words) return *why = "fixed block of the wrong size", 0;
      const uint8_t* data = reinterpret_cast<const uint8_t*>(h->dataPtr);
      if (data[bytes] != 0 || data[bytes + 1] != 0) return *why = "fixed body not NUL-terminated", 0;
    }
  }
  if (prev != fixedSpaceSegs.last) return *why = "segment list does not end at last", 0;
  return 1;
}

// ---- Writing a snapshot --------------------------------------------------------------------

// Exchanges the table slots of entries a and b (the chain's order is unchanged).
static void exchangeEntries(BlockTable* t, BlockTableEntry* a, BlockTableEntry* b) {
  auto other = [a, b](BlockTableEntry* e) { return e == a ? b : e == b ? a : e; };
  BlockTableEntry ea = *a, eb = *b;
  *a = {other(eb.prev), other(eb.next), eb.owner, eb.block, eb.words};
  *b = {other(ea.prev), other(ea.next), ea.owner, ea.block, ea.words};
  t->firstBlock = other(t->firstBlock);
  t->lastBlock = other(t->lastBlock);
  t->firstFree = other(t->firstFree);
  for (BlockTableEntry* e : {a, b}) {
    if (e->prev != nullptr) e->prev->next = e;
    if (e->next != nullptr) e->next->prev = e;
  }
}

// The owned blocks of a segment in chain order; neighbouring owned blocks form one run.
static int writeFixedRuns(int64_t fd, const BlockTable* t, uint64_t* bytes) {
  const BlockTableEntry* e = t->firstBlock;
  while (e != nullptr) {
    if (btIsFree(e)) {
      e = e->next;
      continue;
    }
    uint64_t start = e->block;
    while (e != nullptr && !btIsFree(e)) e = e->next;
    uint64_t end = e != nullptr ? e->block : btEnd(t->lastBlock);
    int error = writeImageBytes(fd, start, end - start, bytes);
    if (error != 0) return error;
  }
  return 0;
}

// A segment's whole table, its topmost entry carrying the end marker while it is written:
// owner = the entry count as a SmallInteger, next = the next segment's table low end (0 for
// the last), size = the words from its block to the next segment's first block.
static int writeFixedTable(int64_t fd, FixedSpaceSegment* s, uint64_t* bytes) {
  BlockTable* t = &s->table;
  BlockTableEntry* top = t->highest;
  BlockTableEntry saved = *top;
  top->owner = smallIntegerFor(int64_t(t->highest - t->lowest + 1));
  top->next = s->next != nullptr ? s->next->table.lowest : nullptr;
  if (s->next != nullptr) top->words = (s->next->table.firstBlock->block - top->block) / 8;
  int error = writeImageBytes(fd, uint64_t(t->lowest), uint64_t(t->highest + 1) - uint64_t(t->lowest), bytes);
  *top = saved;
  return error;
}

// The end marker overwrites the owner, link and size of each table's topmost entry, and a
// loader clears that owner and drops the block's data. The topmost entry is the segment's
// first block, owned as soon as anything was allocated there; so before writing, the last
// block (always free, and ending at the table) is moved into the topmost slot. The file
// keeps its layout and a loader reads it unchanged: the marker entry of each saved segment
// is its free last block, and its size spans the rest of the segment up to the next
// segment's first block, so that the later data moves down by exactly the gap.
int writeFixedSpace(int64_t fd, uint64_t* bytes) {
  writeBackFixedSpace();
  for (FixedSpaceSegment* s = fixedSpaceSegs.first; s != nullptr; s = s->next)
    if (s->table.lastBlock != s->table.highest) exchangeEntries(&s->table, s->table.lastBlock, s->table.highest);
  if (fixedSpaceSegs.current != nullptr) fixedSpace = *fixedSpaceSegs.current;
  for (FixedSpaceSegment* s = fixedSpaceSegs.first; s != nullptr; s = s->next) {
    int error = writeFixedRuns(fd, &s->table, bytes);
    if (error != 0) return error;
  }
  for (FixedSpaceSegment* s = fixedSpaceSegs.first; s != nullptr; s = s->next) {
    int error = writeFixedTable(fd, s, bytes);
    if (error != 0) return error;
  }
  return 0;
}

// ---- Primitives ----------------------------------------------------------------------------

// Primitive 1047: whether a body of that many bytes could be placed now (the allocation
// search, table compaction allowed); a count beyond any body answers false.
static oop primCanAllocateFixedObject(oop receiver, oop byteCount) {
  (void)receiver;
  uint64_t bytes;
  if (!oopToQ64(byteCount, &bytes)) return failPrimitive(primErrorAt(3), 1);
  if (bytes >= maxAllocBytes) return falseOop();
  return booleanOop(findFixedBlock(fixedBlockWords(bytes), 1) != nullptr);
}

void initFixedSpacePrims() {
  addCPrimitive(1047, reinterpret_cast<const void*>(primCanAllocateFixedObject), 1);
}
