// Object memory: old space's compaction and sweeps: the quick compaction, the sweep-compact
// of a global collection (tables packed with headers moving, bodies slid and packed from the
// back) and the sweep and unmark quanta of the incremental collector.
// Prefix: none (compact, sweepAndCompactOldSpace, incSweepOldSpace, incUnmarkOldSpace, ...).
#include "mman/mmOldSpace.h"

#include "ext/exError.h"
#include "ext/exMemory.h"
#include "ext/exPrimTable.h"
#include "ext/exRequest.h"
#include "ext/platform.h"
#include "mman/mmAllocate.h"
#include "mman/mmCValue.h"
#include "mman/mmFinal.h"
#include "mman/mmFixedSpace.h"
#include "mman/mmGlobalGC.h"
#include "mman/mmIncGC.h"
#include "mman/mmInit.h"
#include "mman/mmLargeSpace.h"
#include "mman/mmNewSpace.h"
#include "mman/mmOopStack.h"
#include "mman/mmPermSpace.h"
#include "mman/mmPrimUtil.h"
#include "mman/mmRt.h"
#include "mman/mmScavenge.h"
#include "mman/mmSnapshot.h"
#include "mman/mmSysOop.h"
#include <cassert>
#include <cstring>

static inline uint64_t& word(uint64_t address, uint64_t index) {
  return reinterpret_cast<uint64_t*>(address)[index];
}

// ---- Quick compaction ----------------------------------------------------------------------------

uint64_t numOldCompactions;

// The block of a body in old data: the body with its size word.
static uint64_t blockOf(const ObjectHeader* h) { return h->dataPtr - (sizeFieldOf(h) == sizeFieldExtended ? 8 : 0); }

static void threadBlock(ObjectHeader* h) {
  uint64_t* block = reinterpret_cast<uint64_t*>(blockOf(h));
  uint64_t first = *block;
  *block = oopOf(h);
  h->dataPtr = first;
}

void reversePointersInOldSpace() {
  writeBackOldSpace();
  for (OldSpaceSegment* s = oldSpaceSegs.first; s != nullptr; s = s->next)
    for (uint64_t a = s->otLow + 16; a <= s->otHigh; a += 16) {
      ObjectHeader* h = reinterpret_cast<ObjectHeader*>(a);
      uint32_t sf = sizeFieldOf(h);
      if (classTagOf(h) == 0 || sf == 0 || sf > sizeFieldExtended || h->dataPtr == 0) continue;
      if (addressInOldSegmentData(blockOf(h)) != nullptr) threadBlock(h);
    }
}

void prepareThreadedDataForCompaction(int withPerm) {
  for (uint64_t n = 1; n <= freeListCount; n++)
    for (uint64_t c = oldSpaceSegs.lists[n - 1]; c != 0;) {
      uint64_t next = *reinterpret_cast<uint64_t*>(c);
      *reinterpret_cast<uint64_t*>(c) = n * 8 + freeChunkSizeTag;
      c = next;
    }
  if (withPerm) {  // perm space's own list, linked through word 0 (bit 0: a one-word chunk)
    for (uint64_t c = permSpaceSegs.freeHead; c != 0;) {
      uint64_t* chunk = reinterpret_cast<uint64_t*>(c);
      uint64_t words = (chunk[0] & 1) ? 1 : chunk[1];
      c = chunk[0] & ~uint64_t(1);
      chunk[0] = words * 8 + freeChunkSizeTag;
    }
    permSpaceSegs.freeHead = permSpaceSegs.freeChunks = permSpaceSegs.freeWords = 0;
  }
  resetThreadedData();
}

// Restores a threaded block's first word and header at its new place to.
static uint64_t placeBlock(uint64_t from, uint64_t to) {
  ObjectHeader* h = reinterpret_cast<ObjectHeader*>(*reinterpret_cast<uint64_t*>(from));
  uint64_t first = h->dataPtr;
  bool sized = sizeFieldOf(h) == sizeFieldExtended;
  uint64_t bytes = sized ? first + 8 : uint64_t(sizeFieldOf(h)) * 8;
  if (to != from) memmove(reinterpret_cast<void*>(to + 8), reinterpret_cast<void*>(from + 8), bytes - 8);
  *reinterpret_cast<uint64_t*>(to) = first;
  h->dataPtr = to + (sized ? 8 : 0);
  return bytes;
}

static void compactSegment(OldSpaceSegment* s) {
  uint64_t from = s->dataStart, to = s->dataStart;
  while (from < s->dataTop) {
    uint64_t w = *reinterpret_cast<uint64_t*>(from);
    if ((w & 7) == freeChunkSizeTag) {
      from += w & ~uint64_t(7);
      continue;
    }
    uint64_t bytes = placeBlock(from, to);
    from += bytes;
    to += bytes;
  }
  s->dataTop = to;
}

void compactOldSpace() {
  writeBackOldSpace();
  for (OldSpaceSegment* s = oldSpaceSegs.first; s != nullptr; s = s->next) compactSegment(s);
  if (oldSpaceSegs.current != nullptr) oldSpace = *oldSpaceSegs.current;
  numOldCompactions++;
  updateSysOopRegistryPtrs(0);
  updateRtPtrs(0);
  updateOldRtPtrs(0);
  updateFinalQueuePtrs(0);
  resetFragmentationCounts();
}

void compact() {
  scanOldRtCreatingBackPtrs();
  reversePointersInOldSpace();
  prepareThreadedDataForCompaction(0);
  compactOldSpace();
}

// ---- Sweep and compact after a mark -----------------------------------------------------------
// Live = marked. Both object tables (the old segments', and perm space's record while it is
// absorbed, kept apart) are packed before any body moves: from then on a marked entry is a
// vacated one whose dataPtr names the entry's new place, and every live entry is unmarked.
// The vacated entries lie below each segment's new OT low end and above its packing limit,
// so they stay readable until the other spaces' sweeps have followed them.

// Segment data holding address a. The records are read directly: no write-back of oldSpace
// may overwrite them while the compaction rewrites them.
static OldSpaceSegment* dataSegmentOf(uint64_t a) {
  for (OldSpaceSegment* s = oldSpaceSegs.first; s != nullptr; s = s->next)
    if (a >= s->dataStart && a < s->dataTop) return s;
  return nullptr;
}

static bool hasDataBlock(const ObjectHeader* h) {
  uint32_t sf = sizeFieldOf(h);
  return sf != 0 && sf <= sizeFieldExtended && h->dataPtr != 0 && dataSegmentOf(blockOf(h)) != nullptr;
}

static uint64_t blockBytes(const ObjectHeader* h) {
  return sizeFieldOf(h) == sizeFieldExtended ? *sizeWordOf(h) + 8 : uint64_t(sizeFieldOf(h)) * 8;
}

// Bytes of a threaded block: its header holds the displaced first word (the size word when
// there is one).
static uint64_t threadedBytes(uint64_t block) {
  const ObjectHeader* h = reinterpret_cast<const ObjectHeader*>(word(block, 0));
  return sizeFieldOf(h) == sizeFieldExtended ? h->dataPtr + 8 : uint64_t(sizeFieldOf(h)) * 8;
}

oop movedEntry(oop o) {
  if (!isHeapObject(o) || o == 0 || isNewObject(o)) return o;
  const ObjectHeader* h = headerOf(o);
  return !isPermObject(h) && isMarked(h) ? oop(h->dataPtr) : o;
}

// The remembered table's slots past its first free one are stale; its entries are followed
// by sweepRt.
static ObjectHeader* movedRtHeader;

// A slot follows its entry a few slots after it is read: the entry is fetched on reading and
// the slot rewritten from a short ring once it is due, so that the reads of scattered entries
// overlap. A waiting slot lies in a body that is in its final place (placed, or staying put),
// which nothing moves or reads again before the ring is emptied at the end of the slide.
// nil skips the ring when its entry has not moved.
static constexpr uint32_t forwardRingSlots = 16;
static oop* forwardRing[forwardRingSlots];
static uint32_t forwardRingNext, forwardRingFill;
static oop forwardSkip;

static inline void forwardSoon(oop* slot) {
  oop v = *slot;
  if (!isHeapObject(v) || v == 0 || isNewObject(v) || v == forwardSkip) return;
  __builtin_prefetch(reinterpret_cast<const void*>(v));
  uint32_t i = forwardRingNext;
  forwardRingNext = (i + 1) & (forwardRingSlots - 1);
  oop* due = forwardRing[i];
  forwardRing[i] = slot;
  if (forwardRingFill == forwardRingSlots)
    *due = movedEntry(*due);
  else
    forwardRingFill += 1;
}
static void drainForwardRing() {
  for (; forwardRingFill != 0; forwardRingFill--) {
    oop* slot = forwardRing[(forwardRingNext - forwardRingFill) & (forwardRingSlots - 1)];
    *slot = movedEntry(*slot);
  }
}

static void forwardSlots(ObjectHeader* h) {
  if (!hasPtrs(h) || h->dataPtr == 0 || sizeFieldOf(h) >= sizeFieldLarge || h == movedRtHeader) return;
  oop* b = bodyOf(h);
  for (uint64_t i = 0, n = bodyWordsOf(h); i < n; i++) forwardSoon(&b[i]);
}

// A dead entry: its block becomes a free run and the entry a free one.
static void freeDeadEntry(ObjectHeader* h) {
  if (classTagOf(h) != 0 && hasDataBlock(h)) word(blockOf(h), 0) = blockBytes(h) | freeChunkSizeTag;
  h->flags = 0;
  h->dataPtr = 0;
}

// Entries that cannot move: perm-flagged headers in old tables while perm space stands
// apart (perm objects never forward then). They keep their places, and a segment's table
// reaches down to its lowest one; vacated entries above it are freed once every sweep ran.
static bool pinnedEntry(const ObjectHeader* h) { return isPermObject(h); }
static bool vacatedInTables;

// A finger over the entries of one kind of segment, in filling order: each segment's table
// from its highest entry down, segments in list order. segPad holds each segment's ordinal.
struct OtFinger {
  OldSpaceSegment* s;
  uint64_t a;
};
static bool ofKind(const OldSpaceSegment* s, bool perm) { return ((s->segFlags & segCompacting) != 0) == perm; }
static OldSpaceSegment* nextWithEntries(OldSpaceSegment* s, bool perm) {
  while (s != nullptr && !(ofKind(s, perm) && s->otLow < s->otHigh)) s = s->next;
  return s;
}
static OldSpaceSegment* prevWithEntries(OldSpaceSegment* s, bool perm) {
  while (s != nullptr && !(ofKind(s, perm) && s->otLow < s->otHigh)) s = s->prev;
  return s;
}
static void stepFill(OtFinger* f, bool perm) {
  f->a -= 16;
  if (f->a > f->s->otLow) return;
  f->s = nextWithEntries(f->s->next, perm);
  f->a = f->s != nullptr ? f->s->otHigh : 0;
}
static void stepTake(OtFinger* t, bool perm) {
  t->a += 16;
  if (t->a <= t->s->otHigh) return;
  t->s = prevWithEntries(t->s->prev, perm);
  t->a = t->s != nullptr ? t->s->otLow + 16 : 0;
}
// x comes before y in filling order; a finger past the end comes after everything.
static bool precedes(const OtFinger& x, const OtFinger& y) {
  if (x.s == nullptr) return false;
  if (y.s == nullptr) return true;
  if (x.s != y.s) return x.s->segPad < y.s->segPad;
  return x.a > y.a;
}
static ObjectHeader* entryAt(const OtFinger& f) { return reinterpret_cast<ObjectHeader*>(f.a); }

// Two fingers: the filling finger keeps marked entries and stops at holes; the taking finger
// frees dead entries from the far end and moves each marked one into the hole.
static void compactTables(bool perm) {
  OtFinger f{nextWithEntries(oldSpaceSegs.first, perm), 0}, t{prevWithEntries(oldSpaceSegs.last, perm), 0};
  if (f.s == nullptr) return;
  f.a = f.s->otHigh;
  t.a = t.s->otLow + 16;
  for (;;) {
    while (!precedes(t, f) && (isMarked(entryAt(f)) || pinnedEntry(entryAt(f)))) {
      if (!pinnedEntry(entryAt(f))) clearFlag(entryAt(f), isMarkedBit);
      stepFill(&f, perm);
    }
    if (precedes(t, f)) break;
    ObjectHeader* hole = entryAt(f);
    freeDeadEntry(hole);
    while (precedes(f, t) && !(isMarked(entryAt(t)) && !pinnedEntry(entryAt(t)))) {
      if (!pinnedEntry(entryAt(t))) freeDeadEntry(entryAt(t));
      stepTake(&t, perm);
    }
    if (!precedes(f, t)) break;
    ObjectHeader* from = entryAt(t);
    *hole = *from;
    from->dataPtr = oopOf(hole);  // the vacated entry keeps its mark: it forwards
    stepTake(&t, perm);
    clearFlag(hole, isMarkedBit);
    stepFill(&f, perm);
  }
  // f is the first entry no longer in use, but for pinned ones.
  for (OldSpaceSegment* s = oldSpaceSegs.first; s != nullptr; s = s->next) {
    if (!ofKind(s, perm) || s->otLow >= s->otHigh) continue;
    if (f.s == nullptr || s->segPad < f.s->segPad) continue;
    s->compactOtLow = s == f.s ? f.a : s->otHigh;
    for (uint64_t a = s->otLow + 16; a <= s->compactOtLow; a += 16)
      if (pinnedEntry(reinterpret_cast<ObjectHeader*>(a))) {
        s->compactOtLow = a - 16;
        vacatedInTables = true;
        break;
      }
  }
}

// Vacated and dead entries left inside a table (above a pinned one) become free entries.
void releaseVacatedOtEntries() {
  if (!vacatedInTables) return;
  vacatedInTables = false;
  writeBackOldSpace();
  for (OldSpaceSegment* s = oldSpaceSegs.first; s != nullptr; s = s->next)
    for (uint64_t a = s->otLow + 16; a <= s->otHigh; a += 16) {
      ObjectHeader* h = reinterpret_cast<ObjectHeader*>(a);
      if (classTagOf(h) != 0 && !(isMarked(h) && !pinnedEntry(h))) continue;
      h->flags = 0;
      h->dataPtr = oldSpaceSegs.freeOtHead;
      oldSpaceSegs.freeOtHead = a;
      oldSpaceSegs.freeOtCount += 1;
    }
}

// Slides a segment's bodies down over its free runs, following moved entries in every slot.
static void slideSegment(OldSpaceSegment* s) {
  uint64_t from = s->dataStart, to = s->dataStart;
  while (from < s->dataTop) {
    uint64_t w = word(from, 0);
    if ((w & 7) == freeChunkSizeTag) {
      from += w & ~uint64_t(7);
      continue;
    }
    ObjectHeader* h = reinterpret_cast<ObjectHeader*>(w);
    uint64_t bytes = placeBlock(from, to);
    forwardSlots(h);
    from += bytes;
    to += bytes;
  }
  s->dataTop = to;
}

enum : uint64_t { packMinSlots = 256 };

// Fills the room below s's packing limit with blocks of the later old segments, last segment
// first, each in address order; a block that does not fit stays threaded where it is.
static void packInto(OldSpaceSegment* s) {
  uint64_t limit = s->compactLimit;
  for (OldSpaceSegment* src = oldSpaceSegs.last; src != s && src != nullptr; src = src->prev) {
    if (!ofKind(src, false)) continue;
    for (uint64_t from = src->dataStart; from < src->dataTop;) {
      if ((limit - s->dataTop) / 8 < packMinSlots) return;
      uint64_t w = word(from, 0);
      if ((w & 7) == freeChunkSizeTag) {
        from += w & ~uint64_t(7);
        continue;
      }
      uint64_t bytes = threadedBytes(from);
      if (bytes <= limit - s->dataTop) {
        placeBlock(from, s->dataTop);
        forwardSlots(reinterpret_cast<ObjectHeader*>(w));
        word(from, 0) = bytes | freeChunkSizeTag;
        s->dataTop += bytes;
      }
      from += bytes;
    }
  }
}

void sweepAndCompactOldSpace(int withPerm) {
  prepareThreadedDataForCompaction(withPerm);
  writeBackOldSpace();
  oldSpaceSegs.freeOtHead = oldSpaceSegs.freeOtCount = 0;
  incSweepSegment = nullptr;
  incSweepPoint = ~uint64_t(0);
  vacatedInTables = false;
  uint32_t ordinal = 0;
  for (OldSpaceSegment* s = oldSpaceSegs.first; s != nullptr; s = s->next) {
    s->segPad = ordinal++;
    s->compactOtLow = s->otLow;
    s->compactLimit = s->otLow + 16;  // below the lowest entry before compaction
  }
  compactTables(false);
  compactTables(true);
  movedRtHeader = rt.object != 0 ? headerOf(movedEntry(rt.object)) : nullptr;
  forwardSkip = movedEntry(nilOop()) == nilOop() ? nilOop() : 0;  // read before bodies thread
  // Thread every kept block (perm space's too while it stands apart: its bodies may lie in
  // old data); bodies that stay put (perm data, new space) follow moved entries now.
  auto threadTable = [](uint64_t low, uint64_t high) {
    for (uint64_t a = low + 16; a <= high; a += 16) {
      ObjectHeader* h = reinterpret_cast<ObjectHeader*>(a);
      if (classTagOf(h) == 0 || (isMarked(h) && !pinnedEntry(h))) continue;  // freed or vacated
      if (hasDataBlock(h))
        threadBlock(h);
      else if (!isPermObject(h))
        forwardSlots(h);
    }
  };
  for (OldSpaceSegment* s = oldSpaceSegs.first; s != nullptr; s = s->next) threadTable(s->compactOtLow, s->otHigh);
  if (permSpaceExists && !permSpaceAbsorbed) threadTable(permSpace.otLow, permSpace.otHigh);
  for (OldSpaceSegment* s = oldSpaceSegs.first; s != nullptr; s = s->next) {
    slideSegment(s);
    if (ofKind(s, false)) packInto(s);
  }
  drainForwardRing();
  for (OldSpaceSegment* s = oldSpaceSegs.first; s != nullptr; s = s->next) {
    s->otLow = s->compactOtLow;
    s->segPad = 0;
  }
  if (oldSpaceSegs.current != nullptr) oldSpace = *oldSpaceSegs.current;
  movedRtHeader = nullptr;
  updateSysOopRegistryPtrs(1);
  updateRtPtrs(1);
  updateOldRtPtrs(1);
  updateFinalQueuePtrs(1);
  resetFragmentationCounts();
}

// ---- Sweeping after a mark ------------------------------------------------------------------

OldSpaceSegment* incSweepSegment;

static OldSpaceSegment* firstSegmentWithEntries(OldSpaceSegment* s) {
  while (s != nullptr && s->otLow >= s->otHigh) s = s->next;
  return s;
}

void resetIncSweepCounts() {
  memoryStats.incSweepEntriesScanned = memoryStats.incSweepObjectsFreed = memoryStats.incSweepBytesFreed = 0;
  oldObjectsAllocated = oldBytesAllocated = 0;
}

void saveOtBaseAfterIncMark() {
  writeBackOldSpace();
  incSweepSegment = firstSegmentWithEntries(oldSpaceSegs.first);
  incSweepPoint = incSweepSegment != nullptr ? incSweepSegment->otLow + 16 : ~uint64_t(0);
  resetIncSweepCounts();
}

// Frees an unmarked live entry; answers the body bytes released. Bodies outside old data
// (perm data while perm space stands apart) stay; large and fixed bodies go back to their
// tables unless a table sweep freed them already.
static uint64_t sweepDeadEntry(ObjectHeader* h) {
  uint64_t bytes = 0;
  uint32_t sf = sizeFieldOf(h);
  if (h->dataPtr != 0 && sf != 0) {
    if (sf == sizeFieldLarge) {
      bytes = bodyBytesOf(h) + 8;
      reRegisterLargeObj(h, nullptr);
    } else if (sf == sizeFieldFixed) {
      bytes = bodyBytesOf(h) + 8;
      reRegisterFixedObj(h, nullptr);
    } else if (addressInOldSegmentData(blockOf(h)) != nullptr) {
      uint64_t extra = sf == sizeFieldExtended ? 1 : 0;
      bytes = (bodyWordsOf(h) + extra) * 8;
      freeOldData(blockOf(h), bytes / 8);
    }
  }
  h->dataPtr = 0;
  setSizeField(h, 0);
  memoryStats.incSweepObjectsFreed += 1;
  memoryStats.incSweepBytesFreed += bytes;
  if (isPermHeader(h)) recyclePermOtEntry(h);  // absorbed perm space: its headers are never reused
  else freeOldOtEntry(h);  // an entry the remembered table lists stays as an empty ByteArray
  return bytes;
}

// Sweeps the entries [from, end) of one segment; answers where it stopped: end, or just past
// the entry whose body brought *freed to maxBytes.
static uint64_t sweepEntries(uint64_t from, uint64_t end, uint64_t* freed, uint64_t maxBytes) {
  for (uint64_t a = from; a < end; a += 16) {
    ObjectHeader* h = reinterpret_cast<ObjectHeader*>(a);
    if (classTagOf(h) == 0 || isPermObject(h)) continue;
    if (isMarked(h)) {
      clearFlag(h, isMarkedBit);
    } else {
      *freed += sweepDeadEntry(h);
      if (*freed >= maxBytes) return a + 16;
    }
  }
  return end;
}

// A run is cut short where the quantum's entries or bytes run out (at least one entry is
// taken), so that a quantum costs what its budget says; the point resumes there next time.
int incSweepOldSpace(int interruptible, uint64_t maxEntries, uint64_t maxBytes) {
  uint64_t examined = 0, freed = 0;
  writeBackOldSpace();
  while (incSweepSegment != nullptr) {
    OldSpaceSegment* s = incSweepSegment;
    uint64_t left = maxEntries > examined ? maxEntries - examined : 1;
    uint64_t run = left < sweepRunEntries ? left : uint64_t(sweepRunEntries);
    uint64_t end = incSweepPoint + run * 16;
    if (end > s->otHigh + 16) end = s->otHigh + 16;
    end = sweepEntries(incSweepPoint, end, &freed, maxBytes);
    memoryStats.incSweepEntriesScanned += (end - incSweepPoint) / 16 + 1;
    examined += (end - incSweepPoint) / 16;
    incSweepPoint = end;
    if (end > s->otHigh) {
      incSweepSegment = firstSegmentWithEntries(s->next);
      incSweepPoint = incSweepSegment != nullptr ? incSweepSegment->otLow + 16 : ~uint64_t(0);
      if (incSweepSegment == nullptr) break;
    }
    if (interruptible) {
      if (anyAsyncRequests()) handleAsyncRequests();
      if (isRequested(requestProcessSwitch)) return 0;
    }
    if (examined >= maxEntries || freed >= maxBytes) return 0;
  }
  incSweepPoint = ~uint64_t(0);
  return 1;
}

OldSpaceSegment* incUnmarkSegment;
uint64_t incUnmarkPoint = ~uint64_t(0);
uint64_t incUnmarkCount;

void resetIncUnmarkCounts() { incUnmarkCount = 0; }

void prepareToUnmarkOldSpace() {
  writeBackOldSpace();
  incUnmarkSegment = firstSegmentWithEntries(oldSpaceSegs.first);
  incUnmarkPoint = incUnmarkSegment != nullptr ? incUnmarkSegment->otLow + 16 : ~uint64_t(0);
  resetIncUnmarkCounts();
}

int incUnmarkOldSpace(int interruptible, uint64_t maxWork, uint64_t) {
  uint64_t work = 0;
  writeBackOldSpace();
  while (incUnmarkSegment != nullptr) {
    OldSpaceSegment* s = incUnmarkSegment;
    uint64_t end = incUnmarkPoint + uint64_t(sweepRunEntries) * 16;
    if (end > s->otHigh + 16) end = s->otHigh + 16;
    for (uint64_t a = incUnmarkPoint; a < end; a += 16) clearFlag(reinterpret_cast<ObjectHeader*>(a), isMarkedBit);
    uint64_t run = (end - incUnmarkPoint) / 16 + 1;
    incUnmarkCount += run;
    work += run;
    incUnmarkPoint = end;
    if (end > s->otHigh) {
      incUnmarkSegment = firstSegmentWithEntries(s->next);
      incUnmarkPoint = incUnmarkSegment != nullptr ? incUnmarkSegment->otLow + 16 : ~uint64_t(0);
      if (incUnmarkSegment == nullptr) break;
    }
    if (interruptible) {
      if (anyAsyncRequests()) handleAsyncRequests();
      if (isRequested(requestProcessSwitch)) return 0;
    }
    if (work >= maxWork) return 0;
  }
  incUnmarkPoint = ~uint64_t(0);
  return 1;
}
