// Object memory: old space: segments, object-table entries, body allocation and freeing.
// Owns oldSpaceSegs, oldSpace, osReserveSlots, incSweepPoint and the old-space counters.
// Prefix: none (allocInOldSpace, allocOldData, freeOldData, growOldSpace, ...).


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
#include "mman/mmOldSpace.h"
#include "mman/mmOopStack.h"
#include "mman/mmPermSpace.h"
#include "mman/mmPrimUtil.h"
#include "mman/mmRt.h"
#include "mman/mmScavenge.h"
#include "mman/mmSnapshot.h"
#include "mman/mmSysOop.h"
#include <cassert>
#include <cstring>

OldSpaceSegs oldSpaceSegs;
OldSpaceSegment oldSpace;
uint64_t osReserveSlots;
uint64_t incSweepPoint = ~uint64_t(0);
MemoryStatCounters memoryStats;
uint64_t fragFailedSearches;
uint64_t fragSplits;
uint64_t fragExactFits;
uint64_t fragProbes;
uint64_t oldObjectsAllocated;
uint64_t oldBytesAllocated;
uint64_t threadedDataForSnapshot;

static const char* const oldSpaceFile = "src/mman/mmOldSpace";

static inline uint64_t& word(uint64_t address, uint64_t index) {
  return reinterpret_cast<uint64_t*>(address)[index];
}
static inline FreeChunk* chunkAt(uint64_t address) { return reinterpret_cast<FreeChunk*>(address); }
static inline uint64_t chunkSlots(uint64_t address) { return chunkAt(address)->sizeWord >> 3; }

void writeBackOldSpace() {
  if (oldSpaceSegs.current != nullptr) *oldSpaceSegs.current = oldSpace;
}

void setCurrentOldSegment(OldSpaceSegment* segment) {
  writeBackOldSpace();
  oldSpaceSegs.current = segment;
  if (segment != nullptr) oldSpace = *segment;
}

// ---------------------------------------------------------------------------------------
// The size tree: chunks of more than 64 slots, equal sizes chained off one node.

void freeLargeOldDataNoOop(uint64_t chunk, uint64_t slots) {
  FreeChunk* c = chunkAt(chunk);
  c->sizeWord = slots * 8 + freeChunkSizeTag;
  c->next = c->smaller = c->larger = c->parent = 0;
  if (oldSpaceSegs.treeRoot == 0) {
    oldSpaceSegs.treeRoot = chunk;
    return;
  }
  uint64_t node = oldSpaceSegs.treeRoot;
  for (;;) {
    FreeChunk* n = chunkAt(node);
    uint64_t size = n->sizeWord >> 3;
    if (size == slots) {  // hang it on the node's chain
      c->next = n->next;
      n->next = chunk;
      return;
    }
    uint64_t* link = slots < size ? &n->smaller : &n->larger;
    if (*link == 0) {
      *link = chunk;
      c->parent = node;
      return;
    }
    node = *link;
  }
}

// Puts replacement (possibly 0) where node hangs from its parent (or the root).
static void replaceInParent(FreeChunk* node, uint64_t replacement) {
  if (replacement != 0) chunkAt(replacement)->parent = node->parent;
  if (node->parent == 0) {
    oldSpaceSegs.treeRoot = replacement;
    return;
  }
  FreeChunk* p = chunkAt(node->parent);
  if (p->smaller == reinterpret_cast<uint64_t>(node))
    p->smaller = replacement;
  else
    p->larger = replacement;
}

// Takes a node out of the tree; with both subtrees the leftmost node of the larger subtree
// takes its place.
static void removeTreeNode(uint64_t address) {
  FreeChunk* node = chunkAt(address);
  if (node->smaller == 0) {
    replaceInParent(node, node->larger);
  } else if (node->larger == 0) {
    replaceInParent(node, node->smaller);
  } else {
    uint64_t lm = node->larger;
    while (chunkAt(lm)->smaller != 0) lm = chunkAt(lm)->smaller;
    FreeChunk* m = chunkAt(lm);
    if (lm != node->larger) {
      replaceInParent(m, m->larger);
      m->larger = node->larger;
      chunkAt(m->larger)->parent = lm;
    }
    m->smaller = node->smaller;
    chunkAt(m->smaller)->parent = lm;
    replaceInParent(node, lm);
  }
}

// A chunk of at least n slots from the tree, or 0; a node with a chain gives its second
// chunk so that the tree keeps its shape.
static uint64_t takeFromTree(uint64_t n) {
  uint64_t node = oldSpaceSegs.treeRoot, last = 0;
  while (node != 0) {
    fragProbes += 1;
    last = node;
    uint64_t size = chunkSlots(node);
    if (size == n) break;
    node = n < size ? chunkAt(node)->smaller : chunkAt(node)->larger;
  }
  if (last == 0 || chunkSlots(last) < n) return 0;
  FreeChunk* l = chunkAt(last);
  if (l->next != 0) {
    uint64_t second = l->next;
    l->next = chunkAt(second)->next;
    return second;
  }
  removeTreeNode(last);
  return last;
}

// ---------------------------------------------------------------------------------------
// Body chunks.

void freeOldData(uint64_t chunk, uint64_t slots) {
  if (slots <= freeListCount) {
    word(chunk, 0) = oldSpaceSegs.lists[slots - 1];
    oldSpaceSegs.lists[slots - 1] = chunk;
    oldSpaceSegs.listBits |= uint64_t(1) << (slots - 1);
  } else {
    freeLargeOldDataNoOop(chunk, slots);
  }
  oldSpaceSegs.freeSlots += slots;
  oldSpaceSegs.freeChunks += 1;
}

// The head of list m, clearing a bit that promised a chunk the list no longer has.
static uint64_t takeListHead(uint64_t m) {
  fragProbes += 1;
  uint64_t head = oldSpaceSegs.lists[m - 1];
  if (head == 0) {
    oldSpaceSegs.listBits &= ~(uint64_t(1) << (m - 1));
    return 0;
  }
  oldSpaceSegs.lists[m - 1] = word(head, 0);
  return head;
}

static bool listsFrom(uint64_t m) { return m <= freeListCount && (oldSpaceSegs.listBits >> (m - 1)) != 0; }

// Searches the lists (multiples of n, then first fit upward) and the tree; answers a chunk
// and its size, or 0.
static uint64_t searchFreeData(uint64_t n, uint64_t* found) {
  if (n <= freeListCount) {
    for (uint64_t m = n; m <= freeListCount; m += n) {
      if (!listsFrom(m)) break;
      if ((oldSpaceSegs.listBits >> (m - 1)) & 1) {
        uint64_t c = takeListHead(m);
        if (c != 0) return *found = m, c;
      }
    }
    for (uint64_t m = n + 1; m <= freeListCount && listsFrom(m); m++) {
      if ((oldSpaceSegs.listBits >> (m - 1)) & 1) {
        uint64_t c = takeListHead(m);
        if (c != 0) return *found = m, c;
      }
    }
  }
  uint64_t c = takeFromTree(n);
  if (c != 0) *found = chunkSlots(c);
  return c;
}

// Room at the current segment's data top, moving to another segment when short.
static uint64_t takeFromDataTop(uint64_t n, int useReserve) {
  uint64_t need = n + (useReserve ? 0 : osReserveSlots);
  if (segmentRoom(&oldSpace) < need && !findContiguousSlotsInOldSpaceSlowly(n, useReserve)) return 0;
  if (segmentRoom(&oldSpace) < n) return 0;
  uint64_t chunk = oldSpace.dataTop;
  oldSpace.dataTop += n * 8;
  return chunk;
}

static void checkLowSpace() {
  if (scavengeInProgress || lowSpaceLimit == 0) return;
  uint64_t room = segmentRoom(&oldSpace);
  if (room >= osReserveSlots && room + oldSpaceSegs.freeSlots >= lowSpaceLimit / 8 + osReserveSlots)
    return;
  if (sufficientFreeContiguousSpace(osReserveSlots) &&
      slotsFreeInOldSpaceMinusReserve() >= int64_t(lowSpaceLimit / 8))
    return;
  setRequest(requestLowSpace);
}

uint64_t allocOldData(uint64_t n, int useReserve) {
  if (n == 0) doReportError("allocOldData slots == 0", errFatal | errCauseVMBug, oldSpaceFile, __LINE__);
  uint64_t probesBefore = fragProbes, size = 0;
  uint64_t chunk = searchFreeData(n, &size);
  if (chunk != 0) {
    tsAssert(size >= n && oldSpaceSegs.freeSlots >= size && oldSpaceSegs.freeChunks != 0, "free space is counted");
    oldSpaceSegs.freeSlots -= n;
    if (size == n) {
      oldSpaceSegs.freeChunks -= 1;
      fragExactFits += 1;
    } else {
      fragSplits += 1;
      freeOldData(chunk + n * 8, size - n);
      oldSpaceSegs.freeSlots -= size - n;  // the remainder was already counted in chunk
      oldSpaceSegs.freeChunks -= 1;
    }
  } else {
    if (fragProbes != probesBefore) fragFailedSearches += 1;
    chunk = takeFromDataTop(n, useReserve);
    if (chunk == 0) return 0;
  }
  checkLowSpace();
  oldBytesAllocated += n * 8;
  return chunk;
}

// ---------------------------------------------------------------------------------------
// Object-table entries and objects.

void freeOldOtEntry(ObjectHeader* h) {
  if (h->flags & (inRtBit | isMarkedBit)) {
    h->flags &= inRtBit | isMarkedBit | isInOldRtBit | isPermBit | hashMask;
    h->flags |= classIndexByteArray;
    h->dataPtr = 0;
    if (currentIncGCState == incGCMarking && isMarked(h)) {
      oop cls = classAt(classIndexByteArray);
      if (!isImmediate(cls) && !isNewObject(cls) && !isMarked(headerOf(cls))) incMarkObj(cls);
    }
    return;
  }
  h->flags = 0;
  h->dataPtr = oldSpaceSegs.freeOtHead;
  oldSpaceSegs.freeOtHead = oopOf(h);
  oldSpaceSegs.freeOtCount += 1;
}

static ObjectHeader* takeOtEntry(int useReserve) {
  if (oldSpaceSegs.freeOtHead != 0) {
    ObjectHeader* h = reinterpret_cast<ObjectHeader*>(oldSpaceSegs.freeOtHead);
    oldSpaceSegs.freeOtHead = h->dataPtr;
    oldSpaceSegs.freeOtCount -= 1;
    return h;
  }
  uint64_t need = 2 + (useReserve ? 0 : osReserveSlots);
  if (oldSpaceSegs.current == nullptr) return nullptr;
  if (segmentRoom(&oldSpace) < need && !findContiguousSlotsInOldSpaceSlowly(2, useReserve))
    return nullptr;
  ObjectHeader* h = reinterpret_cast<ObjectHeader*>(oldSpace.otLow);
  oldSpace.otLow -= 16;
  return h;
}

// Size field, size word and odd-byte count for a body of byteSize bytes at body.
static void setBodySize(ObjectHeader* h, uint64_t byteSize) {
  uint64_t rounded = roundedBodyBytes(byteSize);
  if (needsSizeWord(rounded)) {
    setSizeField(h, sizeFieldExtended);
    *sizeWordOf(h) = rounded;
  } else {
    setSizeField(h, uint32_t(rounded / 8));
  }
  if (!hasPtrs(h)) setIndexability(h, uint32_t(rounded - byteSize));
}

ObjectHeader* allocInOldSpace(uint32_t classTag, uint64_t namedSlots, uint64_t byteSize,
                              uint64_t headerFlags, oop fill, int useReserve) {
  ObjectHeader* h = takeOtEntry(useReserve);
  if (h == nullptr) return nullptr;
  h->dataPtr = 0;
  h->flags = classTag | headerFlags;
  setIndexability(h, uint32_t(namedSlots < 255 ? namedSlots : 255));
  if (oopOf(h) >= incSweepPoint) setFlag(h, isMarkedBit);
  oldObjectsAllocated += 1;
  if (byteSize > 0) {
    uint64_t rounded = roundedBodyBytes(byteSize);
    uint64_t extra = needsSizeWord(rounded) ? 1 : 0;
    uint64_t chunk = allocOldData(rounded / 8 + extra, useReserve);
    if (chunk == 0) {
      freeOldOtEntry(h);
      return nullptr;
    }
    h->dataPtr = chunk + extra * 8;
    setBodySize(h, byteSize);
    if (fill != 1) {
      oop* body = bodyOf(h);
      for (uint64_t i = 0; i < rounded / 8; i++) body[i] = fill;
    }
  }
  if (isHeapObject(fill) && fill != 0 && isNewObject(fill) && byteSize > 0 && !registerInRt(h)) {
    recycleOldObj(h);
    return nullptr;
  }
  return h;
}

// The chunk a body in old data takes: the body plus its size word.
static void freeOldBody(ObjectHeader* h) {
  if (h->dataPtr == 0 || sizeFieldOf(h) >= sizeFieldLarge) return;
  uint64_t extra = sizeFieldOf(h) == sizeFieldExtended ? 1 : 0;
  freeOldData(h->dataPtr - extra * 8, bodyWordsOf(h) + extra);
  h->dataPtr = 0;
}

void recycleOldObj(ObjectHeader* h) {
  assert(sizeFieldOf(h) < sizeFieldLarge && "large and fixed bodies go back to their spaces");
  freeOldBody(h);
  setSizeField(h, 0);
  freeOldOtEntry(h);
}

// ---------------------------------------------------------------------------------------
// Segments.

static void linkSegment(OldSpaceSegment* s) {
  OldSpaceSegment* after = nullptr;  // the segment s goes after, by address
  for (OldSpaceSegment* t = oldSpaceSegs.first; t != nullptr && t < s; t = t->next) after = t;
  s->prev = after;
  s->next = after != nullptr ? after->next : oldSpaceSegs.first;
  if (s->next != nullptr) s->next->prev = s; else oldSpaceSegs.last = s;
  if (after != nullptr) after->next = s; else oldSpaceSegs.first = s;
}

// A block for a segment of at least bytes, above new space; blocks that land below it go
// back at once.
static void* segmentBlock(uint64_t bytes, int* mapped, uint64_t* granted) {
  for (int attempt = 0; attempt < 4; attempt++) {
    void* block = moreMemory(bytes, 1, oldNewSpaceBoundary, 8, pdProtRead | pdProtWrite, mapped, granted);
    if (block == nullptr) return nullptr;
    if (reinterpret_cast<uint64_t>(block) >= oldNewSpaceBoundary) return block;
    lessMemory(block, *granted, *mapped);
  }
  return nullptr;
}

int growOldSpace(int64_t slots) {
  if (slots < 1) return 1;
  writeBackOldSpace();
  int mapped = 0;
  uint64_t granted = 0;
  void* block = segmentBlock(uint64_t(slots) * 8 + segOverheadBytes, &mapped, &granted);
  if (block == nullptr) return 0;
  // Before anything in it is touched: a big heap marked through small pages pays a TLB
  // miss for nearly every object the collector visits.
  pdPreferLargePages(block, granted);
  OldSpaceSegment* s = static_cast<OldSpaceSegment*>(block);
  uint64_t base = reinterpret_cast<uint64_t>(block);
  memset(s, 0, sizeof *s);
  s->dataStart = s->dataTop = base + sizeof(OldSpaceSegment);
  s->otHigh = s->otLow = base + (granted & ~uint64_t(7)) - 32;
  s->segFlags = mapped ? uint32_t(segMapped) : 0u;
  linkSegment(s);
  if (oldSpaceSegs.current == nullptr) setCurrentOldSegment(s);
  else oldSpace = *oldSpaceSegs.current;  // its links may have changed
  return 1;
}

// The segment with the least room above n (the first on ties), or 0.
static OldSpaceSegment* tightestSegmentFor(uint64_t n) {
  OldSpaceSegment* best = nullptr;
  for (OldSpaceSegment* s = oldSpaceSegs.first; s != nullptr; s = s->next)
    if (segmentRoom(s) > n && (best == nullptr || segmentRoom(s) < segmentRoom(best))) best = s;
  return best;
}

int findContiguousSlotsInOldSpaceSlowly(uint64_t n, int useReserve) {
  uint64_t need = n + (useReserve ? 0 : osReserveSlots);
  if (oldSpaceSegs.current != nullptr && segmentRoom(&oldSpace) >= need) return 1;
  writeBackOldSpace();
  OldSpaceSegment* chosen = tightestSegmentFor(n);
  if (chosen == nullptr) return 0;
  if (!useReserve) {  // the reserve must still lie somewhere
    OldSpaceSegment* s = oldSpaceSegs.first;
    while (s != nullptr && !(s == chosen ? segmentRoom(s) > need : segmentRoom(s) > osReserveSlots))
      s = s->next;
    if (s == nullptr) return 0;
  }
  setCurrentOldSegment(chosen);
  return 1;
}

// Primitive 329: mapped segments without bodies or entries go back to the platform, all
// but one that keeps room for the reserve.
uint64_t releaseEmptyOldSegments(uint64_t bytes) {
  writeBackOldSpace();
  uint64_t keepSlots = osReserveSlots > 100000 ? osReserveSlots : 100000;
  auto candidate = [](OldSpaceSegment* s) {
    return (s->segFlags & segMapped) && s->dataTop - s->dataStart < 8 && s->otHigh - s->otLow < 16;
  };
  OldSpaceSegment *keep = nullptr, *keepAny = nullptr;
  for (OldSpaceSegment* s = oldSpaceSegs.first; s != nullptr; s = s->next) {
    if (segmentRoom(s) < keepSlots) continue;
    if (keepAny == nullptr || segmentRoom(s) < segmentRoom(keepAny)) keepAny = s;
    if (!candidate(s) && (keep == nullptr || segmentRoom(s) < segmentRoom(keep))) keep = s;
  }
  if (keep == nullptr) keep = keepAny;
  if (keep == nullptr) return 0;
  setCurrentOldSegment(oldSpaceSegs.first);
  uint64_t wanted = (bytes + 7) / 8, releasedSlots = 0, released = 0;
  OldSpaceSegment* s = oldSpaceSegs.first->next;
  while (s != nullptr && releasedSlots < wanted) {
    OldSpaceSegment* next = s->next;
    if (candidate(s) && s != keep) {
      s->prev->next = next;
      if (next != nullptr) next->prev = s->prev; else oldSpaceSegs.last = s->prev;
      uint64_t size = s->otHigh + 16 - s->dataStart + sizeof(OldSpaceSegment);
      releasedSlots += segmentRoom(s);
      released += size;
      lessMemory(s, size, 1);
    }
    s = next;
  }
  oldSpace = *oldSpaceSegs.current;
  return released;
}

// ---------------------------------------------------------------------------------------
// Growing and shrinking one object.

static bool bodyInOldOrPermData(ObjectHeader* h) {
  return sizeFieldOf(h) < sizeFieldLarge && (h->dataPtr == 0 || h->dataPtr >= oldNewSpaceBoundary);
}

// A chunk for words body words (plus the size word when needed), stepping extra down.
static uint64_t allocGrownBody(uint64_t oldWords, uint64_t* extra, uint64_t minExtra) {
  for (;;) {
    uint64_t words = oldWords + *extra;
    uint64_t chunk = allocOldData(words + (needsSizeWord(words * 8) ? 1 : 0), 1);
    if (chunk != 0 || *extra <= minExtra) return chunk;
    uint64_t gap = *extra - minExtra;
    uint64_t step = gap > 519 ? gap / 20 : 25;
    *extra = gap > step ? *extra - step : minExtra;
  }
}

uint64_t growOldObject(ObjectHeader* h, uint64_t extra, uint64_t minExtra) {
  if (!bodyInOldOrPermData(h) || extra == 0 || minExtra > extra) return 0;
  if (isPermObject(h) && !registerInOldRt(h)) return 0;
  uint64_t oldWords = h->dataPtr == 0 ? 0 : bodyWordsOf(h);
  uint64_t chunk = allocGrownBody(oldWords, &extra, minExtra);
  if (chunk == 0 || extra == 0) return 0;
  uint64_t words = oldWords + extra;
  uint64_t body = chunk + (needsSizeWord(words * 8) ? 8 : 0);
  if (oldWords != 0) memcpy(reinterpret_cast<void*>(body), bodyOf(h), oldWords * 8);
  oop fill = hasPtrs(h) ? nilOop() : 0;
  for (uint64_t i = oldWords; i < words; i++) reinterpret_cast<oop*>(body)[i] = fill;
  if (oldWords != 0) {  // the old body goes back to its own space's free room, perm data's too
    uint64_t sizeWord = sizeFieldOf(h) == sizeFieldExtended ? 1 : 0;
    recycleNonNewData(h, h->dataPtr - sizeWord * 8, oldWords + sizeWord);
  }
  h->dataPtr = body;
  setBodySize(h, words * 8);
  return extra;
}

uint64_t shrinkOldObject(ObjectHeader* h, uint64_t slots, uint64_t minSlots) {
  if (h->dataPtr == 0 || sizeFieldOf(h) >= sizeFieldLarge || isNewObject(h->dataPtr) ||
      addressInOldSegmentData(h->dataPtr) == nullptr)
    return 0;
  uint64_t words = bodyWordsOf(h);
  if (minSlots > words) return 0;
  uint64_t cut = slots < words ? slots : words;
  if (cut == 0) return 0;
  uint64_t keep = words - cut;
  bool hadSizeWord = sizeFieldOf(h) == sizeFieldExtended;
  freeOldData(h->dataPtr + keep * 8, cut);
  if (hadSizeWord && !needsSizeWord(keep * 8)) freeOldData(h->dataPtr - 8, 1);
  if (keep == 0) {
    h->dataPtr = 0;
    setSizeField(h, 0);
    if (!hasPtrs(h)) setIndexability(h, 0);
    return cut;
  }
  setBodySize(h, keep * 8);
  return cut;
}

// ---------------------------------------------------------------------------------------
// Queries and address tests.

uint64_t slotsLeftInOldSpace() {
  writeBackOldSpace();
  uint64_t sum = 0;
  for (OldSpaceSegment* s = oldSpaceSegs.first; s != nullptr; s = s->next) sum += segmentRoom(s);
  return sum;
}

uint64_t slotsUsedInOldSpace() {
  writeBackOldSpace();
  uint64_t sum = 0;
  for (OldSpaceSegment* s = oldSpaceSegs.first; s != nullptr; s = s->next)
    sum += (s->dataTop - s->dataStart) / 8;
  return sum;
}

uint64_t otEntriesUsedInOldSpace() {
  writeBackOldSpace();
  uint64_t sum = 0;
  for (OldSpaceSegment* s = oldSpaceSegs.first; s != nullptr; s = s->next)
    sum += (s->otHigh - s->otLow) / 16;
  return sum;
}

uint64_t numOldSpaceSegs() {
  uint64_t n = 0;
  for (OldSpaceSegment* s = oldSpaceSegs.first; s != nullptr; s = s->next) n++;
  return n;
}

int sufficientFreeContiguousSpace(uint64_t slots) {
  writeBackOldSpace();
  for (OldSpaceSegment* s = oldSpaceSegs.first; s != nullptr; s = s->next)
    if (segmentRoom(s) >= slots) return 1;
  return 0;
}

// 0 when the free room does not cover the reserve.
int64_t slotsFreeInOldSpaceMinusReserve() {
  uint64_t room = slotsLeftInOldSpace() + oldSpaceSegs.freeSlots;
  return room > osReserveSlots ? int64_t(room - osReserveSlots) : 0;
}

void resetFragmentationCounts() { fragFailedSearches = fragSplits = fragExactFits = fragProbes = 0; }

typedef bool (*SegmentPart)(const OldSpaceSegment* s, uint64_t address);
static OldSpaceSegment* findSegment(uint64_t address, SegmentPart inPart) {
  writeBackOldSpace();
  for (OldSpaceSegment* s = oldSpaceSegs.first; s != nullptr; s = s->next)
    if (inPart(s, address)) return s;
  return nullptr;
}

OldSpaceSegment* addressInOldSegment(uint64_t a) {
  return findSegment(a, [](const OldSpaceSegment* s, uint64_t x) {
    return x >= reinterpret_cast<uint64_t>(s) && x < s->otHigh + 16;
  });
}
OldSpaceSegment* addressInOldSegmentData(uint64_t a) {
  return findSegment(a, [](const OldSpaceSegment* s, uint64_t x) { return x >= s->dataStart && x < s->dataTop; });
}
OldSpaceSegment* addressInOldOt(uint64_t a) {
  return findSegment(a, [](const OldSpaceSegment* s, uint64_t x) { return x > s->dataTop && x < s->otHigh + 16; });
}
OldSpaceSegment* addressInOldNewOt(uint64_t a) {
  return findSegment(a, [](const OldSpaceSegment* s, uint64_t x) { return x > s->otLow && x < s->otHigh + 16; });
}

static bool isOldForPerm(oop o) {
  return isHeapObject(o) && o != 0 && !isNewObject(o) && !isPermObject(headerOf(o));
}

int objPointsToOldSpace(ObjectHeader* h) {
  if (isOldForPerm(classOfHeader(h))) return 1;
  if (sizeFieldOf(h) < sizeFieldLarge && h->dataPtr != 0 && addressInOldSegmentData(h->dataPtr)) return 1;
  if (!hasPtrs(h) || h->dataPtr == 0) return 0;
  oop* body = bodyOf(h);
  for (uint64_t i = 0, n = bodyWordsOf(h); i < n; i++)
    if (isOldForPerm(body[i])) return 1;
  return 0;
}

static bool liveEntry(ObjectHeader* e) {
  return (classTagOf(e) != 0 && oopOf(e) < incSweepPoint) || isMarked(e);
}

// Entries in walk order: perm space's table while it is separate, then the segments by
// address, each table from low to high. after = 0 starts at the beginning; otherwise the
// walk resumes past that entry (an entry in no table finds nothing).
ObjectHeader* searchObjectMemory(ObjectHeader* after, void* arg, OtPredicate predicate) {
  writeBackOldSpace();
  uint64_t from = oopOf(after);
  bool started = from == 0;
  auto scan = [&](uint64_t low, uint64_t high, bool perm) -> ObjectHeader* {
    uint64_t a = low;
    if (!started) {
      if (from < low || from > high) return nullptr;
      a = from + 16;
      started = true;
    }
    for (; a <= high; a += 16) {
      ObjectHeader* e = reinterpret_cast<ObjectHeader*>(a);
      if ((perm ? classTagOf(e) != 0 : liveEntry(e)) && predicate(arg, e)) return e;
    }
    return nullptr;
  };
  if (permSpaceExists && !permSpaceAbsorbed)
    if (ObjectHeader* e = scan(permSpace.otLow + 16, permSpace.otHigh, true)) return e;
  for (OldSpaceSegment* s = oldSpaceSegs.first; s != nullptr; s = s->next)
    if (ObjectHeader* e = scan(s->otLow + 16, s->otHigh, false)) return e;
  return nullptr;
}

// ---------------------------------------------------------------------------------------
// The free lists across a snapshot.

// The first node down the larger side of the tree with room for the heads, or a fresh chunk
// freed into the tree at once.
static uint64_t threadedChunk() {
  for (uint64_t n = oldSpaceSegs.treeRoot; n != 0; n = chunkAt(n)->larger)
    if (chunkAt(n)->sizeWord >= threadedChunkSlots * 8 + freeChunkSizeTag) return n;
  uint64_t chunk = allocOldData(threadedChunkSlots, 1);
  if (chunk != 0) freeOldData(chunk, threadedChunkSlots);
  return chunk;
}

int prepareThreadedFreeListForSnapshot() {
  uint64_t chunk = threadedChunk();
  if (chunk == 0) return 0;
  word(chunk, threadedHeadsWord) = oldSpaceSegs.treeRoot;
  for (uint32_t i = 0; i < freeListCount; i++) word(chunk, threadedHeadsWord + 1 + i) = oldSpaceSegs.lists[i];
  threadedDataForSnapshot = chunk;
  return 1;
}

static uint64_t relocated(RelocateFn relocate, uint64_t address) {
  return address == 0 ? 0 : relocate(address);
}

// The next node of a preorder walk of the size tree: down to a child, else up through the
// parent links to the nearest unvisited larger subtree. No stack, so a degenerate tree of
// any depth is walked in constant space. Each step up costs one of *budget when given; an
// exhausted budget ends the walk with *budget at 0 (a damaged, cyclic tree).
static uint64_t nextTreeNode(uint64_t node, uint64_t* budget = nullptr) {
  FreeChunk* c = chunkAt(node);
  if (c->smaller != 0) return c->smaller;
  if (c->larger != 0) return c->larger;
  for (uint64_t child = node, parent = c->parent; parent != 0; child = parent, parent = chunkAt(parent)->parent) {
    if (budget != nullptr && (*budget)-- == 0) return *budget = 0, 0;
    FreeChunk* p = chunkAt(parent);
    if (p->smaller == child && p->larger != 0) return p->larger;
  }
  return 0;
}

// A tree node's five words lie in one segment's data.
static bool isTreeNodePlace(uint64_t node) {
  OldSpaceSegment* s = addressInOldSegmentData(node);
  return s != nullptr && (node & 7) == 0 && node + sizeof(FreeChunk) <= s->dataTop;
}

// Relocates every link of the tree (each node's chain and subtrees) in preorder. The parent
// links are not relocated but set afresh from the walk before it climbs them, so a damaged
// one cannot lead it astray. Answers 0 when more than budget steps are taken (a damaged,
// cyclic tree) or a node does not lie wholly in the data.
static int relocateTree(RelocateFn relocate, uint64_t budget) {
  uint64_t node = oldSpaceSegs.treeRoot;
  if (node == 0) return 1;
  if (!isTreeNodePlace(node)) return 0;
  chunkAt(node)->parent = 0;
  while (node != 0) {
    FreeChunk* c = chunkAt(node);
    for (uint64_t k = node; chunkAt(k)->next != 0; k = chunkAt(k)->next) {
      if (budget-- == 0) return 0;
      chunkAt(k)->next = relocate(chunkAt(k)->next);
      if (!isTreeNodePlace(chunkAt(k)->next)) return 0;
    }
    if (budget-- == 0) return 0;
    c->smaller = relocated(relocate, c->smaller);
    c->larger = relocated(relocate, c->larger);
    for (uint64_t child : {c->smaller, c->larger}) {
      if (child == 0) continue;
      if (!isTreeNodePlace(child)) return 0;
      chunkAt(child)->parent = node;
    }
    node = nextTreeNode(node, &budget);
    if (budget == 0) return 0;
  }
  return 1;
}

int updateThreadedDataPointers(RelocateFn relocate) {
  uint64_t chunk = threadedDataForSnapshot;
  if (chunk == 0) return 1;
  oldSpaceSegs.treeRoot = word(chunk, threadedHeadsWord);
  oldSpaceSegs.listBits = 0;
  for (uint32_t i = 0; i < freeListCount; i++) {
    oldSpaceSegs.lists[i] = word(chunk, threadedHeadsWord + 1 + i);
    if (oldSpaceSegs.lists[i] != 0) oldSpaceSegs.listBits |= uint64_t(1) << i;
  }
  if (relocate == nullptr) return 1;
  uint64_t budget = slotsUsedInOldSpace() + 1;  // no more chunks than slots
  oldSpaceSegs.treeRoot = relocated(relocate, oldSpaceSegs.treeRoot);
  for (uint64_t& head : oldSpaceSegs.lists) {
    head = relocated(relocate, head);
    for (uint64_t c = head; c != 0; c = word(c, 0)) {
      if (budget-- == 0) return 0;
      word(c, 0) = relocated(relocate, word(c, 0));
    }
  }
  return relocateTree(relocate, budget);
}

// ---------------------------------------------------------------------------------------
// Loading: the bounds of the loaded segment, and free data handed between perm space and
// old space by the load policies.

void initOldSpaceBounds(OldSpaceSegment* segment, uint64_t dataSlots, uint64_t otEntries,
                        uint64_t totalSlots, uint64_t freeOtHead, uint64_t freeOtCount,
                        uint64_t threadedHead, uint64_t freeChunks, uint64_t freeSlots) {
  uint64_t base = reinterpret_cast<uint64_t>(segment);
  memset(segment, 0, sizeof *segment);
  segment->dataStart = base + sizeof(OldSpaceSegment);
  segment->dataTop = segment->dataStart + dataSlots * 8;
  segment->otHigh = base + totalSlots * 8 - 32;
  segment->otLow = segment->otHigh - otEntries * 16;
  memset(&oldSpaceSegs, 0, sizeof oldSpaceSegs);
  oldSpaceSegs.first = oldSpaceSegs.last = segment;
  oldSpaceSegs.current = nullptr;
  setCurrentOldSegment(segment);
  oldSpaceSegs.freeOtHead = freeOtHead;
  oldSpaceSegs.freeOtCount = freeOtCount;
  threadedDataForSnapshot = threadedHead;
  oldSpaceSegs.freeChunks = freeChunks;
  oldSpaceSegs.freeSlots = freeSlots;
  osReserveSlots = (eden.end - eden.start) / 8 + (pastSpace.end - pastSpace.start) / 8 + realSlotsInStackSpace();
  incSweepPoint = ~uint64_t(0);
  incSweepSegment = nullptr;
}

void resetThreadedData() {
  memset(oldSpaceSegs.lists, 0, sizeof oldSpaceSegs.lists);
  oldSpaceSegs.listBits = 0;
  oldSpaceSegs.treeRoot = 0;
  oldSpaceSegs.freeChunks = oldSpaceSegs.freeSlots = 0;
}

void assimilateOldFreeList(uint64_t* head, uint64_t* countOut, uint64_t* slotsOut) {
  uint64_t count = 0, slots = 0;
  for (uint64_t c = *head; c >= 2;) {
    uint64_t first = word(c, 0);
    uint64_t n = (first & 1) ? 1 : word(c, 1);
    freeOldData(c, n);
    count += 1;
    slots += n;
    c = first & ~uint64_t(1);
  }
  *head = 0;
  *countOut = count;
  *slotsOut = slots;
}

void absorbPermFreeList() {
  uint64_t count, slots;
  assimilateOldFreeList(&permSpaceSegs.freeHead, &count, &slots);
  permSpaceSegs.freeChunks = permSpaceSegs.freeWords = 0;
}

// Threads one chunk onto the perm free list in its single-list form.
static void threadPermChunk(uint64_t chunk, uint64_t slots) {
  word(chunk, 0) = permSpaceSegs.freeHead | (slots == 1 ? 1 : 0);
  if (slots > 1) word(chunk, 1) = slots;
  permSpaceSegs.freeHead = chunk;
  permSpaceSegs.freeChunks += 1;
  permSpaceSegs.freeWords += slots;
}

void flattenThreadedDataForPermLoad() {
  for (uint32_t n = 1; n <= freeListCount; n++) {
    for (uint64_t c = oldSpaceSegs.lists[n - 1]; c != 0;) {
      uint64_t next = word(c, 0);
      threadPermChunk(c, n);
      c = next;
    }
  }
  for (uint64_t node = oldSpaceSegs.treeRoot; node != 0;) {
    uint64_t following = nextTreeNode(node);  // read the links before the chunks are rewritten
    uint64_t slots = chunkSlots(node);
    for (uint64_t k = chunkAt(node)->next; k != 0;) {
      uint64_t next = chunkAt(k)->next;
      threadPermChunk(k, slots);
      k = next;
    }
    threadPermChunk(node, slots);
    node = following;
  }
  resetThreadedData();
}

// Perm space becomes one more segment, its record in the gap just below its data.
void absorbPermSpace() {
  if (!permSpaceExists || permSpaceAbsorbed) return;
  writeBackOldSpace();
  OldSpaceSegment* record = reinterpret_cast<OldSpaceSegment*>(permSpace.dataStart - sizeof(OldSpaceSegment));
  memset(record, 0, sizeof *record);
  record->dataStart = permSpace.dataStart;
  record->dataTop = permSpace.dataTop;
  record->otLow = permSpace.otLow;
  record->otHigh = permSpace.otHigh;
  record->segFlags = segCompacting;
  linkSegment(record);
  if (oldSpaceSegs.current != nullptr) oldSpace = *oldSpaceSegs.current;
  permSpaceAbsorbed = 1;
}

// The perm record was linked by address; old segments grown later may lie on both sides of
// perm space, so it is looked for along the whole list. Its bounds, moved by compaction, go
// back to permSpace.
void restorePermSpace() {
  if (!permSpaceExists || !permSpaceAbsorbed) return;
  writeBackOldSpace();
  OldSpaceSegment* record = oldSpaceSegs.first;
  while (record != nullptr && !(record->segFlags & segCompacting)) record = record->next;
  if (record == nullptr) {
    doReportError("perm space not found", 17408, "src/mman/mmOldSpace", __LINE__);
    return;
  }
  permSpace.dataStart = record->dataStart;
  permSpace.dataTop = record->dataTop;
  permSpace.otLow = record->otLow;
  permSpace.otHigh = record->otHigh;
  if (record->prev != nullptr) record->prev->next = record->next; else oldSpaceSegs.first = record->next;
  if (record->next != nullptr) record->next->prev = record->prev; else oldSpaceSegs.last = record->prev;
  if (oldSpaceSegs.current == record) oldSpaceSegs.current = oldSpaceSegs.first;
  if (oldSpaceSegs.current != nullptr) oldSpace = *oldSpaceSegs.current;  // its links changed
  permSpaceAbsorbed = 0;
}

// ---------------------------------------------------------------------------------------
// Writing old space into a snapshot: every segment's data in list order, the segment map
// when there is more than one segment, then every segment's object table.

int writeOldSpace(int64_t fd, uint64_t* bytesWritten) {
  writeBackOldSpace();
  int error = 0;
  for (OldSpaceSegment* s = oldSpaceSegs.first; s != nullptr && error == 0; s = s->next)
    error = writeImageBytes(fd, s->dataStart, s->dataTop - s->dataStart, bytesWritten);
  if (oldSpaceSegs.first != oldSpaceSegs.last) {
    for (OldSpaceSegment* s = oldSpaceSegs.first; s != nullptr && error == 0; s = s->next) {
      uint64_t map[4] = {s->dataStart, (s->dataTop - s->dataStart) & ~uint64_t(7), s->otLow + 16,
                         (s->otHigh - s->otLow) & ~uint64_t(15)};
      error = writeImageBytes(fd, uint64_t(map), sizeof map, bytesWritten);
    }
  }
  for (OldSpaceSegment* s = oldSpaceSegs.first; s != nullptr && error == 0; s = s->next)
    error = writeImageBytes(fd, s->otLow + 16, s->otHigh - s->otLow, bytesWritten);
  return error;
}

// ---------------------------------------------------------------------------------------
// Primitives. Integer arguments are SmallIntegers or LargePositiveIntegers of up to 8 bytes.

static int argumentBytes(oop arg, uint64_t limit, uint64_t* out) {
  if (isSmallInteger(arg)) {
    if (smallIntegerValue(arg) < 0) return 0;
    *out = uint64_t(smallIntegerValue(arg));
    return 1;
  }
  if (!isHeapObject(arg) || classTagOf(headerOf(arg)) != classIndexLargePositiveInteger) return 0;
  ObjectHeader* h = headerOf(arg);
  uint64_t bytes = byteSizeOf(h);
  if (bytes == 0 || bytes > 8 || h->dataPtr == 0) return 0;
  uint64_t v = 0;
  memcpy(&v, bodyOf(h), bytes);  // little-endian digits
  if (v > limit) return 0;
  *out = v;
  return 1;
}

static oop primGrowOldSpace(oop receiver, oop bytes) {
  uint64_t n;
  if (!argumentBytes(bytes, ~uint64_t(0) >> 1, &n)) return failPrimitive(primErrorAt(3), 1);
  (void)receiver;
  return booleanOop(growOldSpace(int64_t((n + 7) / 8)));
}

// Carves a chunk from the current segment's data top straight into the free lists.
static oop primCarveOldFreeChunk(oop receiver, oop bytes) {
  (void)receiver;
  if (!isSmallInteger(bytes) || smallIntegerValue(bytes) < 0) return failPrimitive(primErrorAt(3), 1);
  uint64_t slots = uint64_t(smallIntegerValue(bytes)) / 8;
  if (slots != 0) {  // a 0-slot chunk would corrupt the size tree
    if (segmentRoom(&oldSpace) < slots + osReserveSlots && !findContiguousSlotsInOldSpaceSlowly(slots, 0))
      return falseOop();
    uint64_t chunk = oldSpace.dataTop;
    oldSpace.dataTop += slots * 8;
    freeOldData(chunk, slots);
  }
  resetFragmentationCounts();
  return trueOop();
}

static oop primReleaseOldSegments(oop receiver, oop bytes) {
  (void)receiver;
  uint64_t n;
  if (!argumentBytes(bytes, ~uint64_t(0), &n)) return failPrimitive(primErrorAt(3), 1);
  return smallIntegerFor(int64_t(releaseEmptyOldSegments(n)));
}

static oop primSetOldSpaceReserve(oop receiver, oop bytes) {
  if (!isSmallInteger(bytes) || smallIntegerValue(bytes) < 0) return failPrimitive(primErrorAt(3), 1);
  osReserveSlots = uint64_t(smallIntegerValue(bytes)) / 8;
  return receiver;
}

// Primitives 1042 and 1043: fixed space grows or shrinks by whole segments.
static oop primGrowFixedSpace(oop receiver, oop bytes) {
  (void)receiver;
  uint64_t n;
  if (!argumentBytes(bytes, ~uint64_t(0) >> 1, &n)) return failPrimitive(primErrorAt(3), 1);
  return booleanOop(growFixedSpace((n + 7) / 8));
}

static oop primShrinkFixedSpace(oop receiver, oop bytes) {
  (void)receiver;
  uint64_t n;
  if (!argumentBytes(bytes, ~uint64_t(0), &n)) return failPrimitive(primErrorAt(3), 1);
  return smallIntegerFor(int64_t(shrinkFixedSpace(n / 8 + (n % 8 != 0)) * 8));
}


// ---------------------------------------------------------------------------------------
// Memory statistics (primitive 326): one instance of the receiver, a pointer class with
// indexable pointer instances and at least 62 named slots, whose slots hold the figures of
// every space. Named slots the table gives no value stay nil.

enum : uint64_t { statsNamedSlots = 62, statsTableEntryBytes = 40 };

static uint64_t oldSegmentBytes(const OldSpaceSegment* s) { return s->otHigh + 16 - s->dataStart; }
static uint64_t oldSegmentEntries(const OldSpaceSegment* s) { return (s->otHigh - s->otLow) / 16; }
static uint64_t fixedSegmentEntries(const FixedSpaceSegment* s) {
  return uint64_t(s->table.highest - s->table.lowest + 1);
}
static uint64_t fixedSegmentBytes(const FixedSpaceSegment* s) {
  return uint64_t(s->table.highest + 1) - uint64_t(s);
}

// The largest room allocation could use without growing: a segment's gap or a free chunk
// (the tree's largest node, else the largest non-empty list).
static uint64_t largestFreeOldBytes() {
  uint64_t most = 0;
  for (OldSpaceSegment* s = oldSpaceSegs.first; s != nullptr; s = s->next)
    if (segmentRoom(s) > most) most = segmentRoom(s);
  uint64_t chunk = 0;
  if (oldSpaceSegs.treeRoot != 0) {
    uint64_t node = oldSpaceSegs.treeRoot;
    while (chunkAt(node)->larger != 0) node = chunkAt(node)->larger;
    chunk = chunkSlots(node);
  } else {
    for (uint32_t n = freeListCount; n > 0 && chunk == 0; n--)
      if (oldSpaceSegs.lists[n - 1] != 0) chunk = n;
  }
  return (chunk > most ? chunk : most) * 8;
}

static void oldRtCounts(uint64_t* total, uint64_t* live) {
  *total = *live = 0;
  if (oldRtOop == 0) return;
  oop seg = oldRtOop;
  do {
    *total += oopStackEntries;
    *live += segmentCount(seg);
    seg = segmentNext(seg);
  } while (seg != oldRtOop && seg != 0);
}

static oop primMemoryStatistics(oop receiver, oop reset) {
  if (isImmediate(receiver) || !hasPtrs(headerOf(receiver)) ||
      byteSizeOf(headerOf(receiver)) <= classFormatSlot * 8 ||
      !isSmallInteger(slotOf(receiver, classFormatSlot)))
    return failPrimitive(primErrorAt(5), 1);
  uint64_t format = classFormatOf(receiver);
  uint64_t named = formatNamedSlots(format);
  if ((format & (formatIndexable | formatPointers)) != (formatIndexable | formatPointers) ||
      named < statsNamedSlots)
    return failPrimitive(primErrorAt(5), 1);
  if (reset != trueOop() && reset != falseOop()) return failPrimitive(primErrorAt(3), 1);
  writeBackOldSpace();
  writeBackFixedSpace();
  uint64_t oldSegs = numOldSpaceSegs(), fixedSegs = numFixedSpaceSegs();
  bool exact = named == statsNamedSlots;
  uint64_t perFixed = exact ? 3 : 4;
  uint64_t indexed = 3 * oldSegs + perFixed * fixedSegs;

  // The figures are read before the instance is allocated, which changes them.
  uint64_t oldBytes = 0, fixedBytes = 0;
  for (OldSpaceSegment* s = oldSpaceSegs.first; s != nullptr; s = s->next) oldBytes += oldSegmentBytes(s);
  for (FixedSpaceSegment* s = fixedSpaceSegs.first; s != nullptr; s = s->next) fixedBytes += fixedSegmentBytes(s);
  uint64_t oldEntries = otEntriesUsedInOldSpace(), oldBody = slotsUsedInOldSpace() * 8;
  uint64_t fixedEntries = occupiedFtSlots() / btEntryWords, fixedUsed = occupiedFsDataSlots() * 8;
  uint64_t oldRtTotal, oldRtLive;
  oldRtCounts(&oldRtTotal, &oldRtLive);
  const BlockTable& lt = largeSpace.table;
  uint64_t largeArea = lt.firstBlock != nullptr ? uint64_t(lt.highest + 1) - lt.firstBlock->block : 0;
  uint64_t largeCount = numLargeSpaceObjects();
  uint64_t permBytes = permSpaceExists ? permSpace.otHigh + 16 - permSpace.dataStart : 0;
  uint64_t permEntries = permSpaceExists ? (permSpace.otHigh - permSpace.otLow) / 16 : 0;
  uint64_t permBody = permSpaceExists ? permSpace.dataTop - permSpace.dataStart - permSpaceSegs.freeWords * 8 : 0;
  int64_t freeMinusReserve = slotsFreeInOldSpaceMinusReserve();

  struct Figure {
    uint32_t slot;
    uint64_t value;
  };
  const Figure figures[] = {
      {0, 16}, {1, 8}, {2, 8},
      {3, (rt.end - rt.start) / 8}, {4, (rt.ffs - rt.start) / 8},
      {5, eden.end - eden.start}, {6, eden.allocPtr - eden.start}, {7, eden.warningLimit - eden.start},
      {8, pastSpace.end - pastSpace.start}, {9, pastSpace.top - pastSpace.start},
      {10, uint64_t(tenureThreshold > 0 ? tenureThreshold : 0) * 8},
      {11, largeArea}, {12, (occupiedLsDataSlots() + btEntryWords * largeCount + btEntryWords) * 8},
      {13, largeSpace.tenureThresholdWords * 8}, {14, largeCount}, {15, statsTableEntryBytes},
      {16, oldSpaceSegs.freeOtCount}, {17, oldSpaceSegs.freeChunks}, {18, oldSpaceSegs.freeSlots * 8},
      {19, fragFailedSearches}, {20, fragSplits}, {21, fragExactFits}, {22, fragProbes},
      {24, incGCMarkCount}, {25, incGCMarkBytes}, {26, incGCWeakCount},
      {27, incGCWeakBytes}, {28, incUnmarkCount}, {29, incGCWeakNilCount},
      {30, incGCWeakNilBytes}, {31, oldObjectsAllocated}, {32, oldBytesAllocated},
      {33, memoryStats.incSweepEntriesScanned}, {34, memoryStats.incSweepObjectsFreed},
      {35, memoryStats.incSweepBytesFreed}, {36, slotsLeftInOldSpace() * 8}, {37, osReserveSlots * 8},
      {39, lowSpaceLimit}, {40, oldBytes}, {41, oldEntries}, {42, oldBody}, {43, oldSegs},
      {44, numScavenges}, {45, numIncGCs}, {46, numGCs},
      {47, numOldCompactions}, {48, realSlotsInStackSpace() * 8}, {49, kernelSlots[slotsCode] * 8},
      {50, permBytes}, {51, permEntries}, {52, permBody}, {53, oldRtTotal}, {54, oldRtLive},
      {55, numGlobalGCs}, {56, fixedSegs}, {57, fixedBytes},
      {58, statsTableEntryBytes * fixedEntries + statsTableEntryBytes + fixedUsed}, {59, fixedEntries},
      {60, statsTableEntryBytes},
  };
  // Slots beyond 61 only a class that declares them receives.
  struct Declared {
    uint32_t slot;
    uint64_t moreThan;  // given when the class declares more named slots than this
    uint64_t value;
  };
  const Declared declared[] = {
      {62, 62, largestFreeOldBytes()},
      {63, 65, memoryStats.stackCompactCount}, {64, 65, numMarkStackOverflows},
      {65, 65, numWeakObjectListOverflows}, {66, 66, memoryStats.numCompactNMethods},
      {67, 68, incGCAbortedCount}, {68, 68, incGCMarkStackOverflows},
  };
  if (reset == trueOop()) resetFragmentationCounts();

  ObjectHeader* h = allocVSObj(receiver, indexed);  // nil-filled: every slot is set below
  if (h == nullptr) return failPrimitive(primErrorAt(1), 1);
  oop stats = oopOf(h);
  auto put = [&](uint64_t slot, oop value) { storeSlot(stats, slot, value, __FILE__, __LINE__); };
  for (const Figure& f : figures) put(f.slot, cUnsignedToOop(f.value));
  put(23, characterFor(currentIncGCState));
  put(38, cSignedToOop(freeMinusReserve));
  for (const Declared& d : declared)
    if (named > d.moreThan) put(d.slot, cUnsignedToOop(d.value));
  uint64_t i = named;  // per segment, in list order
  for (OldSpaceSegment* s = oldSpaceSegs.first; s != nullptr; s = s->next) {
    put(i++, cUnsignedToOop(oldSegmentBytes(s)));
    put(i++, cUnsignedToOop(oldSegmentEntries(s)));
    put(i++, cUnsignedToOop(s->dataTop - s->dataStart));
  }
  for (FixedSpaceSegment* s = fixedSpaceSegs.first; s != nullptr; s = s->next) {
    put(i++, cUnsignedToOop(fixedSegmentBytes(s)));
    put(i++, cUnsignedToOop(fixedSegmentEntries(s)));
    put(i++, cUnsignedToOop(occupiedFsDataSlotsInSeg(s) * 8));
    if (!exact) put(i++, cUnsignedToOop(maximalFreeSlotsInFixedSpaceSeg(s) * 8));
  }
  return stats;
}

void initOldSpacePrims() {
  addCPrimitive(323, reinterpret_cast<const void*>(primGrowOldSpace), 1);
  addCPrimitive(326, reinterpret_cast<const void*>(primMemoryStatistics), 1);
  addCPrimitive(328, reinterpret_cast<const void*>(primCarveOldFreeChunk), 1);
  addCPrimitive(329, reinterpret_cast<const void*>(primReleaseOldSegments), 1);
  addCPrimitive(409, reinterpret_cast<const void*>(primSetOldSpaceReserve), 1);
  addCPrimitive(1042, reinterpret_cast<const void*>(primGrowFixedSpace), 1);
  addCPrimitive(1043, reinterpret_cast<const void*>(primShrinkFixedSpace), 1);
}
