// Object memory: large space (movable bodies of big byte objects) and the block-table
// machinery it shares with fixed space. Owns largeSpace and largeSpacePendingWords.
// Prefix: none for large space; bt for the shared block-table helpers.
#include "mman/mmLargeSpace.h"

#include <cinttypes>
#include <cstring>

#include "ext/exError.h"
#include "ext/exRequest.h"
#include "ext/platform.h"
#include "mman/mmAllocate.h"
#include "mman/mmNewSpace.h"
#include "mman/mmOldSpace.h"
#include "mman/mmRt.h"
#include "mman/mmSnapshot.h"

LargeSpaceRecord largeSpace;
uint64_t largeSpacePendingWords;
uint32_t largeTableHasUnused;

// ---- Shared block-table machinery --------------------------------------------------------

void btInitEmpty(BlockTable* t, uint64_t areaStart, uint64_t words) {
  tsAssert(words >= btEntryWords, "block chain");
  BlockTableEntry* e = reinterpret_cast<BlockTableEntry*>(areaStart + words * 8) - 1;
  *e = {nullptr, nullptr, 0, areaStart, words - btEntryWords};
  *t = {e, e, e, e, e, words - btEntryWords};
}

BlockTableEntry* btNextFree(BlockTableEntry* e) {
  while (e != nullptr && !btIsFree(e)) e = e->next;
  return e;
}

void btTake(BlockTable* t, BlockTableEntry* b, uint64_t need, uint64_t owner) {
  tsAssert(btIsFree(b) && b->words >= need, "block chain");
  if (b == t->lastBlock || b->words > need) {
    tsAssert(t->lastBlock->words >= btEntryWords, "block chain");
    t->lastBlock->words -= btEntryWords;  // the new entry comes off the last block
    t->freeWords -= btEntryWords;
    BlockTableEntry* e = --t->lowest;
    *e = {b, b->next, 0, b->block + need * 8, b->words - need};
    if (b->next != nullptr)
      b->next->prev = e;
    else
      t->lastBlock = e;
    b->next = e;
    b->words = need;
  }
  t->freeWords -= need;
  b->owner = owner;
  if (t->firstFree == b) t->firstFree = btNextFree(b->next);
}

void btFree(BlockTable* t, BlockTableEntry* b) {
  tsAssert(!btIsFree(b), "block chain");
  b->owner = 0;
  t->freeWords += b->words;
  if (t->firstFree == nullptr || b->block < t->firstFree->block) t->firstFree = b;
}

BlockTableEntry* btFindOwner(BlockTable* t, uint64_t owner) {
  for (BlockTableEntry* e = t->firstBlock; e != nullptr; e = e->next)
    if (e->owner == owner) return e;
  return nullptr;
}

int btAbsorbFollowing(BlockTable* t, BlockTableEntry* b) {
  int merged = 0;
  while (b->next != nullptr && btIsFree(b->next)) {
    BlockTableEntry* n = b->next;
    b->words += n->words;
    b->next = n->next;
    if (n->next != nullptr)
      n->next->prev = b;
    else
      t->lastBlock = b;
    if (t->firstFree == n) t->firstFree = b;
    *n = {nullptr, nullptr, 0, 0, 0};
    merged = 1;
  }
  return merged;
}

// Moves the entry at from into the unused slot to, relinking its neighbours.
static void moveEntry(BlockTable* t, BlockTableEntry* from, BlockTableEntry* to) {
  *to = *from;
  if (to->prev != nullptr) to->prev->next = to; else t->firstBlock = to;
  if (to->next != nullptr) to->next->prev = to; else t->lastBlock = to;
  if (t->firstFree == from) t->firstFree = to;
  *from = {nullptr, nullptr, 0, 0, 0};
}

// Live entries are packed against highest by moving the lowest live ones up into the
// holes; the table's low end rises and the last block (which ends there) takes the words.
void btCompactTable(BlockTable* t) {
  BlockTableEntry* oldLowest = t->lowest;
  BlockTableEntry* low = t->lowest;
  BlockTableEntry* hole = t->lowest;
  for (;;) {
    while (low <= t->highest && low->block == 0) low++;
    if (hole < low) hole = low;
    while (hole <= t->highest && hole->block != 0) hole++;
    if (hole > t->highest) break;
    moveEntry(t, low, hole);
  }
  t->lowest = low;
  uint64_t freed = uint64_t(low - oldLowest) * btEntryWords;
  t->lastBlock->words += freed;
  t->freeWords += freed;
}

void btInitOwner(ObjectHeader* h, BlockTableEntry* b, uint32_t classTag, uint64_t byteSize,
                 uint64_t bodyBytes, uint64_t headerFlags, uint64_t fill, uint32_t sizeField) {
  h->dataPtr = b->block + 8;
  h->flags = classTag | headerFlags;
  setIndexability(h, uint32_t(bodyBytes - byteSize));
  setSizeField(h, sizeField);
  *sizeWordOf(h) = bodyBytes;
  if (fill != noFill) fillWords(reinterpret_cast<uint64_t*>(h->dataPtr), b->words - 1, fill);
}

ObjectHeader* btCurrentOwner(uint64_t owner) {
  ObjectHeader* h = reinterpret_cast<ObjectHeader*>(owner);
  if (isForwarded(h)) return reinterpret_cast<ObjectHeader*>(h->dataPtr & ~uint64_t(forwardTagMask));
  return h;
}

void btSweep(BlockTable* t, int (*keep)(ObjectHeader*)) {
  for (BlockTableEntry* e = t->firstBlock; e != nullptr; e = e->next)
    if (!btIsFree(e) && !keep(reinterpret_cast<ObjectHeader*>(e->owner))) btFree(t, e);
}

static int btVerifyEntries(const BlockTable* t, uint64_t* freeWords, const BlockTableEntry** firstFree,
                           const char** why) {
  const BlockTableEntry* prev = nullptr;
  for (const BlockTableEntry* e = t->firstBlock; e != nullptr; prev = e, e = e->next) {
    if (e < t->lowest || e > t->highest) return *why = "entry outside the table", 0;
    if (e->block == 0) return *why = "unused entry on the chain", 0;
    if (e->prev != prev) return *why = "broken back link", 0;
    if (prev != nullptr && btEnd(prev) != e->block) return *why = "blocks not contiguous", 0;
    if (e->words == 0 && e->next != nullptr) return *why = "empty block inside the chain", 0;
    if (btIsFree(e)) {
      *freeWords += e->words;
      if (*firstFree == nullptr) *firstFree = e;
    } else {
      const ObjectHeader* h = btCurrentOwner(e->owner);
      if (h->dataPtr != e->block + 8) return *why = "owner's body is not the block", 0;
      if (*sizeWordOf(h) / 8 + 1 > e->words) return *why = "size word exceeds the block", 0;
    }
  }
  if (prev != t->lastBlock) return *why = "chain does not end at the last block", 0;
  return 1;
}

int btVerify(const BlockTable* t, const char** why) {
  uint64_t freeWords = 0;
  const BlockTableEntry* firstFree = nullptr;
  if (!btVerifyEntries(t, &freeWords, &firstFree, why)) return 0;
  if (!btIsFree(t->lastBlock)) return *why = "last block is owned", 0;
  if (btEnd(t->lastBlock) != reinterpret_cast<uint64_t>(t->lowest))
    return *why = "last block does not reach the table", 0;
  if (freeWords != t->freeWords) return *why = "free word count is wrong", 0;
  if (firstFree != t->firstFree) return *why = "hint is not the first free block", 0;
  return 1;
}

// ---- Large space: allocation ---------------------------------------------------------------

void initLargeSpace(uint64_t areaStart, uint64_t words, uint64_t tenureThresholdWords) {
  btInitEmpty(&largeSpace.table, areaStart, words);
  largeSpace.tenureThresholdWords = tenureThresholdWords;
  largeSpacePendingWords = 0;
  largeTableHasUnused = 0;
}

BlockTableEntry* findFreeLsBlock(uint64_t words) {
  for (BlockTableEntry* e = largeSpace.table.firstFree; e != nullptr; e = e->next)
    if (btIsFree(e) && e->words >= words) return e;
  return nullptr;
}

static ObjectHeader* failLargeAllocation(uint64_t w) {
  if (w + 6 > largeSpacePendingWords) largeSpacePendingWords = w + 6;
  setRequest(requestCompactLarge);
  return nullptr;
}

// Whether taking need words from free block b leaves the table room for a split entry.
static bool largeBlockFits(BlockTableEntry* b, uint64_t need) {
  BlockTable* t = &largeSpace.table;
  if (b == t->lastBlock) return need + btEntryWords <= b->words;
  return b->words == need || t->lastBlock->words >= btEntryWords;
}

// The header comes from new space (eden, then past space); with new space full the block
// is given back and the allocation fails.
ObjectHeader* allocInLargeSpace(uint32_t classTag, uint64_t byteSize, uint64_t headerFlags,
                                uint64_t fill) {
  if ((headerFlags & hasPtrsBit) || byteSize >= maxAllocBytes) return nullptr;
  uint64_t w = (byteSize + 7) / 8;
  BlockTableEntry* b = findFreeLsBlock(w + 1);
  if (b == nullptr || !largeBlockFits(b, w + 1)) return failLargeAllocation(w);
  btTake(&largeSpace.table, b, w + 1, 1);  // owner fixed below, once the header exists
  ObjectHeader* h = allocInNewSpace(classTag, 0, 0, 0, noFill);
  if (h == nullptr) {
    btFree(&largeSpace.table, b);
    return nullptr;
  }
  b->owner = oopOf(h);
  btInitOwner(h, b, classTag, byteSize, w * 8, headerFlags, fill, sizeFieldLarge);
  return h;
}

int reRegisterLargeObj(ObjectHeader* oldHeader, ObjectHeader* newHeader) {
  BlockTableEntry* e = btFindOwner(&largeSpace.table, oopOf(oldHeader));
  if (e == nullptr) return 0;
  if (newHeader == nullptr)
    btFree(&largeSpace.table, e);
  else
    e->owner = oopOf(newHeader);
  return 1;
}

uint64_t largeSlotsToTenure() {
  uint64_t threshold = largeSpace.tenureThresholdWords, free = largeSpace.table.freeWords;
  return threshold > free ? threshold - free : 0;
}

uint64_t numLargeSpaceObjects() {
  uint64_t n = 0;
  for (BlockTableEntry* e = largeSpace.table.firstBlock; e != nullptr; e = e->next) n += !btIsFree(e);
  return n;
}

uint64_t occupiedLsDataSlots() {
  uint64_t n = 0;
  for (BlockTableEntry* e = largeSpace.table.firstBlock; e != nullptr; e = e->next)
    if (!btIsFree(e)) n += e->words;
  return n;
}

// ---- Large space: sweeps and compaction ----------------------------------------------------

// After a marking collection: an unmarked old owner is dead; new owners are not judged.
static int keepUnlessUnmarkedOld(ObjectHeader* h) {
  return isNewObject(oopOf(h)) || isMarked(h);
}
static int keepPermOrMarked(ObjectHeader* h) {
  return keepUnlessUnmarkedOld(h) || isPermObject(h);
}

void noPermSweepLt() { btSweep(&largeSpace.table, keepUnlessUnmarkedOld); }
void skipPermSweepLt() { btSweep(&largeSpace.table, keepPermOrMarked); }

ObjectHeader* btOwnerAfterCollection(uint64_t owner) {
  return headerOf(movedEntry(oopOf(btCurrentOwner(owner))));
}

// Owners forwarded by a collector take their new header.
static void followForwardedOwners(BlockTable* t) {
  for (BlockTableEntry* e = t->firstBlock; e != nullptr; e = e->next)
    if (!btIsFree(e)) e->owner = oopOf(btOwnerAfterCollection(e->owner));
}

// Runs after the survivors were copied and before the survivor spaces are exchanged: a new
// owner that was not forwarded, and is not itself in future space, died.
void sweepAndCompactLtAfterScavenge() {
  BlockTable* t = &largeSpace.table;
  for (BlockTableEntry* e = t->firstBlock; e != nullptr; e = e->next) {
    if (btIsFree(e)) continue;
    ObjectHeader* h = reinterpret_cast<ObjectHeader*>(e->owner);
    if (isForwarded(h))
      e->owner = oopOf(btCurrentOwner(e->owner));
    else if (isNewObject(oopOf(h)) && !(oopOf(h) >= futureSpace.start && oopOf(h) < futureSpace.end))
      btFree(t, e);
  }
  for (BlockTableEntry* e = t->firstBlock; e != nullptr; e = e->next)
    if (btIsFree(e) && btAbsorbFollowing(t, e)) largeTableHasUnused = 1;
}

void sweepAndCompactLargeSpace() {
  followForwardedOwners(&largeSpace.table);
  compactLargeSpace();
}

// Slides owned block b down to free block f's address; the two entries exchange roles, so
// the chain keeps its order and the free space moves up past b.
static BlockTableEntry* slideDown(BlockTableEntry* f, BlockTableEntry* b) {
  uint64_t freeWords = f->words;
  memmove(reinterpret_cast<void*>(f->block), reinterpret_cast<void*>(b->block), b->words * 8);
  f->owner = b->owner;
  f->words = b->words;
  btCurrentOwner(f->owner)->dataPtr = f->block + 8;
  b->owner = 0;
  b->block = f->block + f->words * 8;
  b->words = freeWords;
  return b;
}

void compactLargeSpace() {
  BlockTable* t = &largeSpace.table;
  BlockTableEntry* f = t->firstFree;
  if (f == nullptr) return;
  for (;;) {
    if (btAbsorbFollowing(t, f)) largeTableHasUnused = 1;
    if (f->next == nullptr) break;
    f = slideDown(f, f->next);
  }
  t->firstFree = f;
  btCompactTable(t);
  largeTableHasUnused = 0;
}

// Snapshot: the blocks before the last one (compacted first, so all owned), then the table
// from its low end to the highest entry; the bytes written are added to *bytes.
int writeLargeSpace(int64_t fd, uint64_t* bytes) {
  BlockTable* t = &largeSpace.table;
  int error = writeImageBytes(fd, t->firstBlock->block, t->lastBlock->block - t->firstBlock->block, bytes);
  if (error != 0) return error;
  return writeImageBytes(fd, uint64_t(t->lowest), uint64_t(t->highest + 1) - uint64_t(t->lowest), bytes);
}

void printLargeSpaceSegmentsTo(FILE* stream) {
  BlockTable* t = &largeSpace.table;
  uint64_t start = t->firstBlock->block, end = reinterpret_cast<uint64_t>(t->highest + 1);
  fprintf(stream, "seg 0x%" PRIx64 " @ 0x%" PRIx64 ", bytes: %" PRId64 ", slots: %" PRId64 "\n",
          uint64_t(&largeSpace), start, int64_t(end - start), int64_t((end - start) / 8));
  uint64_t newOwners = 0, oldOwners = 0, entries = 0;
  for (BlockTableEntry* e = t->firstBlock; e != nullptr; e = e->next) {
    entries++;
    if (!btIsFree(e)) (isNewObject(e->owner) ? newOwners : oldOwners)++;
  }
  fprintf(stream, "\tused slots: %" PRIu64 ", free slots: %" PRIu64 "\n", occupiedLsDataSlots(),
          t->freeWords);
  fprintf(stream, "\ttable entries: %" PRIu64 " (n %" PRIu64 ", o %" PRIu64 ")\n", entries,
          newOwners, oldOwners);
}

// ---- Request 7 -------------------------------------------------------------------------------

// Moves the body of old owner h from block b into old data; 0 when old space has no room.
static int moveBodyToOldSpace(BlockTableEntry* b, ObjectHeader* h) {
  uint64_t length = bodyBytesOf(h) - (indexabilityOf(h) & 7);
  uint64_t rounded = roundedBodyBytes(length);
  uint64_t extra = needsSizeWord(rounded) ? 1 : 0;
  uint64_t words = rounded / 8 + extra;
  if (isPermObject(h) && !isInOldRt(h) && !registerInOldRt(h)) return 0;
  uint64_t chunk = words != 0 ? allocOldData(words, 0) : 0;
  if (words != 0 && chunk == 0) return 0;
  uint64_t body = chunk + extra * 8;
  memcpy(reinterpret_cast<void*>(body), reinterpret_cast<void*>(h->dataPtr), rounded);
  h->dataPtr = words != 0 ? body : 0;
  if (extra) {
    setSizeField(h, sizeFieldExtended);
    *sizeWordOf(h) = rounded;
  } else {
    setSizeField(h, uint32_t(rounded / 8));
  }
  setIndexability(h, uint32_t(rounded - length));
  btFree(&largeSpace.table, b);
  return 1;
}

// Served for request 7: compact when that frees enough; give up on a size that could never
// fit; otherwise first move old owners' bodies, from the top down, into old space.
void compactLargeSpaceResponse() {
  BlockTable* t = &largeSpace.table;
  uint64_t pending = largeSpacePendingWords;
  if (t->freeWords >= pending) {
    compactLargeSpace();
  } else if (pending >= (uint64_t(t->lowest) - t->firstBlock->block) / 8) {
    // it could never fit: nothing to do
  } else {
    for (BlockTableEntry* e = t->lastBlock; e != nullptr && t->freeWords < pending; e = e->prev) {
      if (btIsFree(e) || isNewObject(e->owner)) continue;
      if (!moveBodyToOldSpace(e, reinterpret_cast<ObjectHeader*>(e->owner))) break;
    }
    compactLargeSpace();
  }
  largeSpacePendingWords = 0;
}
