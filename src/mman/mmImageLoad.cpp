// Object memory: loading the image body: byte-order repair and relocation of every space.
// Owns imageDeltas, oldSpaceMap, permSpaceMoved and loadedSpaces.
// Prefix: none (relocateImageObjects, updateOopFunc, updatePermDataPtrFunc, swapImageBody, ...).
#include "mman/mmImageLoad.h"

#include <algorithm>
#include <atomic>
#include <vector>

#include "ext/exError.h"
#include "ext/exInit.h"
#include "ext/exOption.h"
#include "ext/platform.h"
#include "mman/mmFixedSpace.h"
#include "mman/mmImageCheck.h"
#include "mman/mmImageHeader.h"
#include "mman/mmLargeSpace.h"
#include "mman/mmNewSpace.h"
#include "mman/mmOldSpace.h"
#include "mman/mmPermSpace.h"
#include "mman/mmRt.h"
#include "mman/mmOopStack.h"
#include "mman/mmSysOop.h"

ImageDeltas imageDeltas;
OldSpaceMap oldSpaceMap;
uint32_t permSpaceMoved;
LoadedSpaces loadedSpaces;

// ---- What references may name ---------------------------------------------------------------

// A loaded reference is an immediate of one of the three tags, 0 (no reference), a live entry
// (one with a class) of the old or perm object table, or an object's header in past space
// ("every reference names an object"). The maps hold one bit per table entry and per
// past-space word; they are kept between loads, so that a bad image reported part way leaves
// nothing unowned.
struct Referents {
  uint64_t oldFirst, oldBytes;    // the old table's first entry and its span in bytes
  uint64_t permFirst, permBytes;  // the perm table's (no bytes without perm space)
  uint64_t pastStart, pastBytes;  // past space
  const uint64_t *oldLive, *permLive, *pastHeads;
};
static Referents referents;
static std::vector<uint64_t> oldLiveBits, permLiveBits, pastHeadBits;

static inline bool testBit(const uint64_t* bits, uint64_t i) { return (bits[i >> 6] >> (i & 63)) & 1; }
static inline void setBit(uint64_t* bits, uint64_t i) { bits[i >> 6] |= uint64_t(1) << (i & 63); }

// Immediates, 0 and table entries, without a branch per reference; past space is rare.
static inline bool isSoundInTables(const Referents& r, uint64_t ref) {
  uint64_t o = ref - r.oldFirst, p = ref - r.permFirst;
  bool inOld = o < r.oldBytes, inPerm = p < r.permBytes;
  bool old = inOld & ((o & 15) == 0) & testBit(r.oldLive, (inOld ? o : 0) >> 4);
  bool perm = inPerm & ((p & 15) == 0) & testBit(r.permLive, (inPerm ? p : 0) >> 4);
  bool immediate = (ref & 1) != 0 && (ref & 7) != 7;
  return immediate | (ref == 0) | old | perm;
}

static bool isSoundPastReference(const Referents& r, uint64_t ref) {
  uint64_t q = ref - r.pastStart;
  return q < r.pastBytes && (q & 7) == 0 && testBit(r.pastHeads, q >> 3);
}

static inline bool isSoundReference(const Referents& r, uint64_t ref) {
  return !loadChecks || isSoundInTables(r, ref) || isSoundPastReference(r, ref);
}

// A map of count bits, cleared; never empty, so that bit 0 may always be read.
static const uint64_t* clearedMap(std::vector<uint64_t>& bits, uint64_t count) {
  bits.assign(count / 64 + 1, 0);
  return bits.data();
}

void reportBadImage(const char* file, int line) {
  doReportError("Bad oop contained in image", errFatal | 2, file, line);
  vmExit(qrxErrorStatus);  // not reached: the report is Fatal
}

static inline uint64_t& wordAt(uint64_t address) { return *reinterpret_cast<uint64_t*>(address); }
static inline uint64_t reversed(uint64_t w) { return __builtin_bswap64(w); }

// ---- Deltas and the segment map ---------------------------------------------------------------

void computeImageDeltas() {
  const ImageLayout& l = imageLayout;
  ImageDeltas& d = imageDeltas;
  d.pastSpace = int64_t(pastSpace.start - l.pastSpaceStart);
  d.largeData = int64_t(loadedSpaces.largeArea - l.largeDataStart);
  uint64_t largeTableLow = loadedSpaces.largeArea + loadedSpaces.largeAreaBytes - l.largeTableBytes;
  d.largeTable = int64_t(largeTableLow - l.largeTableStart);
  d.fixedData = int64_t(loadedSpaces.fixedArea - l.fixedDataStart);
  uint64_t fixedTableLow = loadedSpaces.fixedArea + loadedSpaces.fixedAreaBytes - l.fixedTableBytes;
  d.fixedTable = int64_t(fixedTableLow - l.fixedTableStart);
  d.oldData = int64_t(oldSpace.dataStart - l.oldDataStart);
  d.oldOT = int64_t(oldSpace.otLow + otEntryBytes - l.oldOTStart);
  d.permData = int64_t(permSpace.dataStart - l.permDataStart);
  d.permOT = int64_t(permSpace.otLow + otEntryBytes - l.permOTStart);
}

// Each segment's gap is its saved start less the saved end of the one before it.
void convertSegmentMap() {
  uint64_t dataEnd = 0, otEnd = 0, dataGap = 0, otGap = 0;
  for (uint64_t* e = oldSpaceMap.start; e + segmentMapWords <= oldSpaceMap.end; e += segmentMapWords) {
    bool first = e == oldSpaceMap.start;
    if (!first && (e[0] < dataEnd || e[2] < otEnd)) BAD_IMAGE();  // segments out of order
    dataGap += first ? 0 : e[0] - dataEnd;
    otGap += first ? 0 : e[2] - otEnd;
    dataEnd = e[0] + e[1];
    otEnd = e[2] + e[3];
    e[0] = dataEnd, e[1] = dataGap, e[2] = otEnd, e[3] = otGap;
  }
}

static bool severalSegments() { return oldSpaceMap.end - oldSpaceMap.start > int64_t(segmentMapWords); }

int imageNeedsObjectWalk() {
  const ImageDeltas& d = imageDeltas;
  return d.oldOT != 0 || d.pastSpace != 0 || d.oldData != 0 || d.largeData != 0 || d.permOT != 0 ||
         severalSegments();
}

// The cumulative gap of the saved segment holding address (field 0 data, 2 table); with
// found clear when the address lies beyond the last segment.
static uint64_t segmentGap(uint64_t address, int field, bool* found) {
  *found = true;
  if (oldSpaceMap.start == oldSpaceMap.end) return 0;
  for (uint64_t* e = oldSpaceMap.start; e < oldSpaceMap.end; e += segmentMapWords)
    if (address < e[field]) return e[field + 1];
  *found = false;
  return 0;
}

// ---- References and bodies --------------------------------------------------------------------

// Where a saved reference now points. The layout and deltas are copied into a local record
// for a whole body: stores into the body could alias the globals, which would otherwise be
// read again for every slot.
struct ReferenceMove {
  uint64_t newLimit, oldLo, oldHi, pastDelta, oldDelta, permDelta;
  const uint64_t *mapStart, *mapEnd;
};

static ReferenceMove currentReferenceMove() {
  const ImageLayout& l = imageLayout;
  return {l.newSpaceLimit, l.oldDataStart, l.oldSpaceUpperLimit, uint64_t(imageDeltas.pastSpace),
          uint64_t(imageDeltas.oldOT), uint64_t(imageDeltas.permOT), oldSpaceMap.start, oldSpaceMap.end};
}

static inline uint64_t movedReference(const ReferenceMove& m, uint64_t ref) {
  if (ref == 0 || (ref & 1)) return ref;  // immediates stay; 0 is no reference
  if (ref < m.newLimit) return ref + m.pastDelta;
  if (ref >= m.oldLo && ref < m.oldHi) {
    uint64_t gap = 0;  // beyond the last segment: no gap
    for (const uint64_t* e = m.mapStart; e < m.mapEnd; e += segmentMapWords)
      if (ref < e[2]) {
        gap = e[3];
        break;
      }
    return ref + m.oldDelta - gap;
  }
  return ref + m.permDelta;
}

static uint64_t relocatedReference(uint64_t ref) { return movedReference(currentReferenceMove(), ref); }

void updateOopFunc(oop* slot) { *slot = relocatedReference(*slot); }

static bool inOldSavedRange(uint64_t address) {
  return address >= imageLayout.oldDataStart && address < imageLayout.oldSpaceUpperLimit;
}

// A saved old body address, relocated; beyond the last segment the image is bad.
static uint64_t relocatedOldBody(uint64_t address) {
  bool found;
  uint64_t gap = segmentGap(address, 0, &found);
  if (!found || address < imageLayout.oldDataStart) BAD_IMAGE();
  return address + uint64_t(imageDeltas.oldData) - gap;
}

// 1 when h's body (and its size word) lies wholly in [lo, hi).
static bool bodyWithin(const ObjectHeader* h, uint64_t lo, uint64_t hi) {
  uint64_t p = h->dataPtr;
  if ((p & 7) != 0 || p < lo || p > hi) return false;
  uint64_t words = sizeFieldOf(h);
  if (words >= sizeFieldExtended) {
    if (p < lo + 8) return false;
    words = *sizeWordOf(h) >> 3;
  }
  return words <= (hi - p) / 8;
}

static bool bodyInOldData(const ObjectHeader* h) { return bodyWithin(h, oldSpace.dataStart, oldSpace.dataTop); }
static bool bodyInPermData(const ObjectHeader* h) {
  return permSpaceExists && bodyWithin(h, permSpace.dataStart, permSpace.dataTop);
}

int isLoadedHeader(uint64_t h) {
  if ((h & 7) != 0) return 0;
  if (h > oldSpace.otLow && h <= oldSpace.otHigh) return (h - oldSpace.otLow) % otEntryBytes == 0;
  if (permSpaceExists && h > permSpace.otLow && h <= permSpace.otHigh)
    return (h - permSpace.otLow) % otEntryBytes == 0;
  return h >= pastSpace.start && h + objectHeaderBytes <= pastSpace.top;
}

// Every slot of h's pointer body must name an object once moved; with store clear the slots
// are only checked (their references are moved later, or not at all).
static void relocateSlots(ObjectHeader* h, bool store) {
  const ReferenceMove m = currentReferenceMove();
  const Referents r = referents;
  oop* body = bodyOf(h);
  for (uint64_t i = 0, n = bodyWordsOf(h); i < n; i++) {
    uint64_t moved = movedReference(m, body[i]);
    if (!isSoundReference(r, moved)) BAD_IMAGE();
    if (store) body[i] = moved;
  }
}

// A pointer object's header may give its named-slot count: never more than its body.
static bool namedCountFits(const ObjectHeader* h, uint64_t words) {
  return !loadChecks || !hasPtrs(h) || indexabilityOf(h) == indexabilityAskClass || indexabilityOf(h) <= words;
}

// What the passes note of every live header: its class's use, and its named-slot count.
static void noteLiveHeader(const ObjectHeader* h, uint64_t words) {
  if (!namedCountFits(h, words)) BAD_IMAGE();
  noteClassUse(h, words);
}

// Large and fixed bodies are set from their block tables and a size field of 0 has no body:
// true (the pointer settled) for those, false for a body in old or perm data.
static bool bodyOutsideData(ObjectHeader* h) {
  uint32_t s = sizeFieldOf(h);
  if (s == sizeFieldLarge || s == sizeFieldFixed) {
    if (hasPtrs(h)) BAD_IMAGE();  // only byte bodies live in large and fixed space
    return true;
  }
  if (s == 0) h->dataPtr = 0;
  return s == 0;
}

// Body pointers of perm headers by size field: none for 0; large and fixed bodies are set
// from their block tables; when perm space moved, bodies in the saved old range move with
// their segment, the others by the perm-data delta. Then pointer slots, relocated when perm
// space moved, else only checked (those that refer to moved spaces are relocated with the
// old remembered table).
static void loadPermOtEntry(ObjectHeader* h, bool moved) {
  // Perm holders remember their old referents by the flag: unflagged, those could be swept.
  if (loadChecks && !isPermHeader(h)) BAD_IMAGE();
  if (bodyOutsideData(h)) return noteLiveHeader(h, sizeFieldOf(h) == 0 ? 0 : 1);
  if (moved) {
    bool inOld = inOldSavedRange(h->dataPtr);
    h->dataPtr = inOld ? relocatedOldBody(h->dataPtr) : h->dataPtr + uint64_t(imageDeltas.permData);
    if (inOld ? !bodyInOldData(h) : !bodyInPermData(h)) BAD_IMAGE();
  } else if (!bodyInPermData(h) && !bodyInOldData(h)) {
    BAD_IMAGE();
  }
  noteLiveHeader(h, bodyWordsOf(h));
  if (hasPtrs(h)) relocateSlots(h, moved);
}

void updatePermDataPtrFunc(ObjectHeader* h) {
  uint32_t s = sizeFieldOf(h);
  if (s == 0 || s == sizeFieldLarge || s == sizeFieldFixed) return;
  h->dataPtr = inOldSavedRange(h->dataPtr) ? relocatedOldBody(h->dataPtr)
                                           : h->dataPtr + uint64_t(imageDeltas.permData);
  if (!bodyInOldData(h) && !bodyInPermData(h)) BAD_IMAGE();
}

// ---- Old space ----------------------------------------------------------------------------------

// Old space is relocated while it is read: its table and segment map first, then its data
// piece by piece, each piece's pointer slots relocated while the read has left them in
// cache (pieces may be read and relocated on several threads). The table pass sets the body
// pointers and marks one bit per data word that is a slot of a pointer body, and one per
// word of every body (size word included) for the free-chunk check; a body with a size word
// is checked, marked and relocated once the data is in. The two maps share one mapping,
// asked for in large pages (fresh C heap memory would be faulted in 4 KiB at a time). The
// mapping and the vector are kept between loads, so that a bad image reported part way (the
// report may not return) leaves nothing unowned.
struct OldSpaceLoad {
  uint64_t* slotBits;                 // one bit per data word that is a pointer slot
  uint64_t* bodyBits;                 // one bit per data word of a body; null once used
  void* maps;                         // the mapping holding both maps
  uint64_t mapsBytes;
  std::vector<ObjectHeader*> sized;   // bodies with a size word, by ascending body address
};
static OldSpaceLoad oldLoad;

// Pieces of old data may be loaded on several threads at once: a slot that names no object
// is noted here (the lowest such address) and reported by the loading thread once the data
// is in, as it would have been met reading in order.
static std::atomic<uint64_t> firstBadSlot;

static void releaseOldLoadMaps() {
  if (oldLoad.maps != nullptr) pdUnmapMemory(oldLoad.mapsBytes, oldLoad.maps);
  oldLoad.maps = nullptr, oldLoad.slotBits = oldLoad.bodyBits = nullptr;
}

// Both maps, zeroed, for old data of the given words. Maps of a quarter of a large page
// or more are laid out in whole large pages (one fault each instead of one per 4 KiB);
// smaller ones in small pages, so that a small image does not clear a large page for them.
static void takeOldLoadMaps(uint64_t dataWords) {
  releaseOldLoadMaps();
  uint64_t mapWords = dataWords / 64 + 1, bytes = 2 * mapWords * 8;
  uint64_t large = bytes >= largePageBytes / 4 ? uint64_t(largePageBytes) : 0;
  if (large != 0) bytes = (bytes + large - 1) & ~(large - 1);
  oldLoad.maps = pdMapMemory(bytes + large, 0, 0, pdProtRead | pdProtWrite, &oldLoad.mapsBytes);
  if (oldLoad.maps == nullptr) {
    doReportError("Insufficient memory.", errFatal | errNoHeap, SOURCE_NAME, __LINE__);
    vmExit(qrxErrorStatus);  // not reached: the report is Fatal
  }
  uint64_t first = uint64_t(oldLoad.maps);
  if (large != 0) {
    first = (first + large - 1) & ~(large - 1);
    pdPreferLargePages(reinterpret_cast<void*>(first), bytes);
  }
  oldLoad.slotBits = reinterpret_cast<uint64_t*>(first);
  oldLoad.bodyBits = oldLoad.slotBits + mapWords;
}

void oldLoadMapsArea(uint64_t* start, uint64_t* bytes) {
  uint64_t words = oldLoad.bodyBits - oldLoad.slotBits;
  *start = uint64_t(oldLoad.slotBits);
  *bytes = oldLoad.slotBits == nullptr ? 0 : 2 * words * 8;
}

// Sets bits first to first + count - 1 of a map; answers the bits among them that were set
// already (non-zero in the body map: two bodies share a word).
static inline uint64_t setBits(uint64_t* bits, uint64_t first, uint64_t count) {
  if (count == 0) return 0;
  uint64_t last = first + count - 1, word = first / 64, lastWord = last / 64;
  uint64_t low = ~uint64_t(0) << (first % 64), high = ~uint64_t(0) >> (63 - last % 64);
  if (word == lastWord) {
    uint64_t clash = bits[word] & low & high;
    bits[word] |= low & high;
    return clash;
  }
  uint64_t clash = bits[word] & low;
  bits[word] |= low;
  while (++word < lastWord) clash |= bits[word], bits[word] = ~uint64_t(0);
  clash |= bits[lastWord] & high;
  bits[lastWord] |= high;
  return clash;
}

// Marks words bits of a map from the word at address (already known to lie in old data).
static void markWords(uint64_t* bits, uint64_t address, uint64_t words) {
  setBits(bits, (address - oldSpace.dataStart) / 8, words);
}

// The same in the body map: no word belongs to two bodies ("bodies apart").
static void markBodyWords(uint64_t address, uint64_t words) {
  if (setBits(oldLoad.bodyBits, (address - oldSpace.dataStart) / 8, words) != 0 && loadChecks) BAD_IMAGE();
}

// Body pointers by size field: none for 0; large and fixed bodies are set from their block
// tables; the others move with their segment.
static void relocateOldBodyPointer(ObjectHeader* h) {
  if (bodyOutsideData(h)) return noteLiveHeader(h, sizeFieldOf(h) == 0 ? 0 : 1);
  uint32_t s = sizeFieldOf(h);
  h->dataPtr = relocatedOldBody(h->dataPtr);
  if (s >= sizeFieldExtended) {  // its size word is not read yet: noted once it is
    uint64_t p = h->dataPtr;
    if ((p & 7) != 0 || p < oldSpace.dataStart + 8 || p > oldSpace.dataTop) BAD_IMAGE();
    oldLoad.sized.push_back(h);
    return;
  }
  if (!bodyInOldData(h)) BAD_IMAGE();
  noteLiveHeader(h, s);
  markBodyWords(h->dataPtr, s);
  if (hasPtrs(h)) markWords(oldLoad.slotBits, h->dataPtr, s);
}

// Free entries are threaded afresh, each put at the head, so that the list runs from the
// highest entry down; one still remembered or marked must not be reused and becomes an
// empty ByteArray instead.
static void relocateOldOtEntry(ObjectHeader* h) {
  if (classTagOf(h) != 0) {
    relocateOldBodyPointer(h);
    setBit(oldLiveBits.data(), (oopOf(h) - referents.oldFirst) >> 4);
    return;
  }
  if (!(h->flags & (inRtBit | isMarkedBit))) {
    h->dataPtr = oldSpaceSegs.freeOtHead;
    oldSpaceSegs.freeOtHead = oopOf(h);
    oldSpaceSegs.freeOtCount += 1;
    return;
  }
  h->flags &= ~(classTagMask | sizeFieldMask | indexabilityMask);
  h->flags |= classIndexByteArray;
  h->dataPtr = 0;
  noteClassUse(h, 0);
  setBit(oldLiveBits.data(), (oopOf(h) - referents.oldFirst) >> 4);
}

static void reverseWords(uint64_t from, uint64_t to);

// The table is walked however little moved: the walk checks every entry and reference, and
// rebuilds the free-entry list (a saved one is not trusted).
void beginOldSpaceLoad() {
  if (imageLayout.swapped) reverseWords(uint64_t(oldSpaceMap.start), uint64_t(oldSpaceMap.end));
  convertSegmentMap();
  oldLoad.sized.clear();
  uint64_t first = oldSpace.otLow + otEntryBytes;
  referents.oldFirst = first;
  referents.oldBytes = oldSpace.otHigh >= first ? oldSpace.otHigh + otEntryBytes - first : 0;
  referents.oldLive = clearedMap(oldLiveBits, referents.oldBytes / otEntryBytes);
  oldSpaceSegs.freeOtHead = 0;
  oldSpaceSegs.freeOtCount = 0;
  takeOldLoadMaps((oldSpace.dataTop - oldSpace.dataStart) / 8);
}

// Most entries of an image saved from one segment have a body of 1 to 251 words in old
// data: those are relocated, checked and marked here with the layout held in locals (stores
// into the maps could alias the globals, which would otherwise be read again for each
// entry), as the general path would. Every other entry takes the general path.
void loadOldTablePiece(uint64_t from, uint64_t to) {
  if (imageLayout.swapped) reverseWords(from, to);
  const bool oneSegment = oldSpaceMap.start == oldSpaceMap.end;
  const uint64_t savedLo = imageLayout.oldDataStart, delta = uint64_t(imageDeltas.oldData);
  const uint64_t lo = oldSpace.dataStart, hi = oldSpace.dataTop, first = referents.oldFirst;
  uint64_t *slots = oldLoad.slotBits, *bodies = oldLoad.bodyBits, *live = oldLiveBits.data();
  for (uint64_t a = from; a < to; a += otEntryBytes) {
    ObjectHeader* h = reinterpret_cast<ObjectHeader*>(a);
    uint32_t s = sizeFieldOf(h);
    if (!oneSegment || classTagOf(h) == 0 || s == 0 || s >= sizeFieldExtended) {
      relocateOldOtEntry(h);
      continue;
    }
    uint64_t saved = h->dataPtr, p = saved + delta;
    if (saved < savedLo || (p & 7) != 0 || p < lo || p > hi || s > (hi - p) / 8) BAD_IMAGE();
    if (!namedCountFits(h, s)) BAD_IMAGE();
    h->dataPtr = p;
    noteClassUse(h, s);
    if (loadChecks) setBit(live, (a - first) >> 4);
    if (setBits(bodies, (p - lo) / 8, s) != 0 && loadChecks) BAD_IMAGE();
    if (hasPtrs(h)) setBits(slots, (p - lo) / 8, s);
  }
}

void beginOldDataLoad() {
  firstBadSlot.store(~uint64_t(0));
  std::sort(oldLoad.sized.begin(), oldLoad.sized.end(),
            [](const ObjectHeader* a, const ObjectHeader* b) { return a->dataPtr < b->dataPtr; });
}

// movedReference for an image saved from one segment (no gaps), without branches on the
// reference: the distance is chosen by the reference's range and then applied.
static inline uint64_t movedInOneSegment(const ReferenceMove& m, uint64_t ref, uint64_t oldSpan) {
  uint64_t delta = ref < m.newLimit ? m.pastDelta : ref - m.oldLo < oldSpan ? m.oldDelta : m.permDelta;
  return (ref & 1) != 0 || ref == 0 ? ref : ref + delta;
}

// The slots of a pointer body are relocated and checked a run of consecutive words at a time;
// each run answers how many of its words it moved: all of them, unless one named no object.
struct SlotMove {
  ReferenceMove m;
  Referents r;
  bool oneSegment;
  uint64_t oldSpan;
};

static SlotMove currentSlotMove() {
  SlotMove s{currentReferenceMove(), referents, false, 0};
  s.oneSegment = s.m.mapStart == s.m.mapEnd;
  s.oldSpan = s.m.oldHi > s.m.oldLo ? s.m.oldHi - s.m.oldLo : 0;
  return s;
}

static inline uint64_t moveRun(const SlotMove& s, uint64_t* w, uint64_t run) {
  if (s.oneSegment) {
    for (uint64_t j = 0; j < run; j++) {
      uint64_t moved = movedInOneSegment(s.m, w[j], s.oldSpan);
      if (loadChecks && !isSoundInTables(s.r, moved) && !isSoundPastReference(s.r, moved)) return j;
      w[j] = moved;
    }
    return run;
  }
  for (uint64_t j = 0; j < run; j++) {
    uint64_t moved = movedReference(s.m, w[j]);
    if (loadChecks && !isSoundInTables(s.r, moved) && !isSoundPastReference(s.r, moved)) return j;
    w[j] = moved;
  }
  return run;
}

static void noteBadSlot(uint64_t address) {
  uint64_t seen = firstBadSlot.load(std::memory_order_relaxed);
  while (address < seen && !firstBadSlot.compare_exchange_weak(seen, address, std::memory_order_relaxed)) {
  }
}

// The marked words of [from, to), a run of consecutive slots at a time; every reference
// must name an object once moved.
static void relocateMarkedSlots(uint64_t from, uint64_t to) {
  const SlotMove s = currentSlotMove();
  uint64_t* words = reinterpret_cast<uint64_t*>(oldSpace.dataStart);
  const uint64_t* bits = oldLoad.slotBits;
  uint64_t end = (to - oldSpace.dataStart) / 8;
  for (uint64_t i = (from - oldSpace.dataStart) / 8; i < end;) {
    uint64_t base = i & ~uint64_t(63), b = bits[i / 64] & (~uint64_t(0) << (i % 64));
    if (end - base < 64) b &= (uint64_t(1) << (end - base)) - 1;
    while (b != 0) {
      uint64_t k = uint64_t(__builtin_ctzll(b)), rest = ~(b >> k);
      uint64_t run = rest == 0 ? 64 - k : uint64_t(__builtin_ctzll(rest));
      uint64_t* w = words + base + k;
      uint64_t moved = moveRun(s, w, run);
      if (moved != run) return noteBadSlot(uint64_t(w + moved));
      b = k + run >= 64 ? 0 : b & (~uint64_t(0) << (k + run));
    }
    i = base + 64;
  }
}

// Safe to run on several threads at once, for distinct pieces: it reads the maps the table
// pass made, and writes only the piece.
void loadOldSpacePiece(uint64_t from, uint64_t to) {
  if (imageLayout.swapped) reverseWords(from, to);
  relocateMarkedSlots(from, to);
}

// Bodies with a size word, in ascending order, once the data below end is in: each is
// checked and marked, and its slots relocated when the body is in whole (the table pass
// could not mark them: their size was still to come).
void finishOldDataLoad(uint64_t end) {
  if (firstBadSlot.load() < end) BAD_IMAGE();
  const SlotMove s = currentSlotMove();
  for (const ObjectHeader* h : oldLoad.sized) {
    if (h->dataPtr - 8 >= end) break;
    if (!bodyInOldData(h)) BAD_IMAGE();
    uint64_t n = bodyWordsOf(h);
    noteLiveHeader(h, n);
    markBodyWords(h->dataPtr - 8, n + 1);
    if (hasPtrs(h) && h->dataPtr + n * 8 <= end && moveRun(s, bodyOf(h), n) != n) BAD_IMAGE();
  }
}

static uint64_t relocateThreadedLink(uint64_t address) {
  uint64_t a = relocatedOldBody(address);
  if ((a & 7) != 0 || a < oldSpace.dataStart || a + 8 > oldSpace.dataTop) BAD_IMAGE();
  return a;
}

void endOldSpaceLoad() {
  oldLoad.slotBits = nullptr;  // the body map stays for the free-chunk check
  std::vector<ObjectHeader*>().swap(oldLoad.sized);
  if (threadedDataForSnapshot != 0) {
    threadedDataForSnapshot = relocateThreadedLink(threadedDataForSnapshot);
    if (threadedDataForSnapshot + threadedChunkSlots * 8 > oldSpace.dataTop) BAD_IMAGE();
  }
  if (!updateThreadedDataPointers(relocateThreadedLink)) BAD_IMAGE();
  sysOopRegistryOop = relocatedReference(sysOopRegistryOop);
}

// ---- Large space ----------------------------------------------------------------------------------

static BlockTableEntry* relocatedLink(BlockTableEntry* link, int64_t delta, uint64_t lo, uint64_t hi) {
  if (link == nullptr) return nullptr;
  uint64_t a = uint64_t(link) + uint64_t(delta);
  if (a < lo || a > hi || (a - lo) % sizeof(BlockTableEntry) != 0) BAD_IMAGE();
  return reinterpret_cast<BlockTableEntry*>(a);
}

// The owner h of block e (data below dataHi): a loaded header carrying sizeField whose
// body pointer is set after the block's size word, which must fit the block.
static void attachOwner(BlockTableEntry* e, uint64_t h, uint32_t sizeField, uint64_t dataHi) {
  if (!isLoadedHeader(h) || sizeFieldOf(reinterpret_cast<ObjectHeader*>(h)) != sizeField) BAD_IMAGE();
  if (e->words < 1 || e->block >= dataHi || e->words > (dataHi - e->block) / 8) BAD_IMAGE();
  if ((wordAt(e->block) >> 3) + 1 > e->words) BAD_IMAGE();
  e->owner = h;
  reinterpret_cast<ObjectHeader*>(h)->dataPtr = e->block + 8;
}

// Links and block addresses move with the table and the data; the last block (not saved)
// then reaches up to the table's low end.
static void relocateLargeTable(BlockTable* t, uint64_t area, uint64_t dataEnd) {
  uint64_t lo = uint64_t(t->lowest), hi = uint64_t(t->highest);
  for (BlockTableEntry* e = t->highest; e >= t->lowest; e--) {
    if (e->block == 0) {
      largeTableHasUnused = 1;
      continue;
    }
    e->prev = relocatedLink(e->prev, imageDeltas.largeTable, lo, hi);
    e->next = relocatedLink(e->next, imageDeltas.largeTable, lo, hi);
    e->block += uint64_t(imageDeltas.largeData);
    if (e->prev == nullptr) t->firstBlock = e;
  }
  if (t->firstBlock == nullptr || t->firstBlock->block != area) BAD_IMAGE();
  uint64_t expected = area, steps = 0;
  for (BlockTableEntry* e = t->firstBlock; e != nullptr; e = e->next) {
    if (e->block != expected || ++steps > uint64_t(t->highest - t->lowest) + 1) BAD_IMAGE();
    t->lastBlock = e;
    if (e->next == nullptr) break;
    if (e->next->prev != e) BAD_IMAGE();
    if (!btIsFree(e)) attachOwner(e, relocatedReference(e->owner), sizeFieldLarge, dataEnd);
    expected = e->block + e->words * 8;
  }
  BlockTableEntry* last = t->lastBlock;
  if (!btIsFree(last) || last->block != dataEnd) BAD_IMAGE();
  last->words = (lo - last->block) / 8;
}

static void loadLargeSpace() {
  const ImageLayout& l = imageLayout;
  uint64_t area = loadedSpaces.largeArea, words = loadedSpaces.largeAreaBytes / 8;
  uint64_t tenure = largeSpace.tenureThresholdWords;
  if (l.largeDataBytes == 0) {
    initLargeSpace(area, words, tenure);
    return;
  }
  uint64_t top = area + words * 8;
  BlockTable* t = &largeSpace.table;
  *t = BlockTable{};
  t->lowest = reinterpret_cast<BlockTableEntry*>(top - l.largeTableBytes);
  t->highest = reinterpret_cast<BlockTableEntry*>(top) - 1;
  largeTableHasUnused = 0;
  relocateLargeTable(t, area, area + l.largeDataBytes);
  t->freeWords = 0;
  for (BlockTableEntry* e = t->firstBlock; e != nullptr; e = e->next)
    if (btIsFree(e)) t->freeWords += e->words;
  t->firstFree = btNextFree(t->firstBlock);
  largeSpacePendingWords = 0;
}

// ---- New space ------------------------------------------------------------------------------------

// The header after h in loaded past space, found from h and the words after it alone (its
// body pointer is not trusted yet): a filler's words; after a header whose body lies in large
// or fixed space, the next header or a skip marker (a word with its low 3 bits set); else
// past the adjacent body and its size word. Every step must advance within past space.
static ObjectHeader* nextPastObject(ObjectHeader* h) {
  uint64_t a = oopOf(h), next = a + objectHeaderBytes, top = pastSpace.top, words = 0;
  uint32_t s = sizeFieldOf(h);
  if (next > top) BAD_IMAGE();
  if (classTagOf(h) == 0) {
    words = fillerWordsOf(h);
  } else if (s == sizeFieldLarge || s == sizeFieldFixed) {
    uint64_t w = next + 8 <= top ? wordAt(next) : 0;
    words = (w & 7) == 7 ? w >> 3 : 0;
  } else if (s == sizeFieldExtended) {
    if (next + 8 > top) BAD_IMAGE();
    words = (wordAt(next) >> 3) + 1;
  } else {
    words = s;
  }
  if (words > (top - next) / 8) BAD_IMAGE();
  return reinterpret_cast<ObjectHeader*>(next + words * 8);
}

// Bodies beside their headers move with them; large and fixed bodies are set from their
// tables. The walk stops at the end marker stored at the top.
static void relocatePastSpace() {
  writeNewSpaceEndMarkers();
  uint64_t a = pastSpace.start;
  while (a < pastSpace.top) {
    ObjectHeader* h = reinterpret_cast<ObjectHeader*>(a);
    if (a + objectHeaderBytes > pastSpace.top) BAD_IMAGE();
    uint32_t s = sizeFieldOf(h);
    // Stores of a perm-flagged value skip the remembered table: a new object so flagged would
    // be left stale in its old holders once a scavenge moved it.
    if (loadChecks && classTagOf(h) != 0 && isPermHeader(h)) BAD_IMAGE();
    if (classTagOf(h) != 0 && s != sizeFieldLarge && s != sizeFieldFixed) {
      uint64_t body = a + objectHeaderBytes + (s == sizeFieldExtended ? 8 : 0);
      if (h->dataPtr + uint64_t(imageDeltas.pastSpace) != body || body > pastSpace.top) BAD_IMAGE();
      h->dataPtr = body;
      if (!bodyWithin(h, pastSpace.start, pastSpace.top)) BAD_IMAGE();
      noteLiveHeader(h, bodyWordsOf(h));
      if (hasPtrs(h)) relocateSlots(h, true);
    } else if (classTagOf(h) != 0) {
      if (hasPtrs(h)) BAD_IMAGE();
      noteLiveHeader(h, 1);
    }
    a = oopOf(nextPastObject(h));
  }
}

// ---- Perm space -----------------------------------------------------------------------------------

// The head is a plain address; each chunk's first word is the next chunk or-ed with 1 when
// the chunk itself is one word long, and the list ends at a value below 2. Chunks in the
// saved old range move with old space, the others with perm data.
static void relocatePermFreeList() {
  uint64_t* link = &permSpaceSegs.freeHead;
  uint64_t budget = (permSpace.dataTop - permSpace.dataStart + oldSpace.dataTop - oldSpace.dataStart) / 8;
  permSpaceSegs.freeChunks = permSpaceSegs.freeWords = 0;
  while (*link >= 2) {
    uint64_t tag = *link & 1, saved = *link & ~uint64_t(1);
    uint64_t chunk = inOldSavedRange(saved) ? relocatedOldBody(saved) : saved + uint64_t(imageDeltas.permData);
    *link = chunk | tag;
    bool inPerm = permSpaceExists && chunk >= permSpace.dataStart && chunk < permSpace.dataTop;
    uint64_t top = inPerm ? permSpace.dataTop : oldSpace.dataTop;
    if (!inPerm && (chunk < oldSpace.dataStart || chunk >= oldSpace.dataTop)) BAD_IMAGE();
    if ((chunk & 7) != 0 || budget-- == 0) BAD_IMAGE();
    uint64_t* c = reinterpret_cast<uint64_t*>(chunk);
    uint64_t words = 1;
    if (!(c[0] & 1)) {
      if (chunk + 16 > top) BAD_IMAGE();
      words = c[1];
      if (words < 2 || words > (top - chunk) / 8) BAD_IMAGE();
    }
    permSpaceSegs.freeChunks += 1;
    permSpaceSegs.freeWords += words;
    link = &c[0];
  }
}

static void loadPermSpace(bool moved) {
  for (uint64_t a = permSpace.otLow + otEntryBytes; a <= permSpace.otHigh; a += otEntryBytes) {
    ObjectHeader* h = reinterpret_cast<ObjectHeader*>(a);
    if (classTagOf(h) != 0) loadPermOtEntry(h, moved);
  }
}

// ---- Fixed space ---------------------------------------------------------------------------------

// The header whose saved body pointer is savedBody (fixed bodies keep their saved pointers
// until the fixed pass sets them), or 0.
static uint64_t findSavedFixedOwner(uint64_t savedBody) {
  auto matches = [savedBody](uint64_t a) {
    const ObjectHeader* h = reinterpret_cast<const ObjectHeader*>(a);
    return classTagOf(h) != 0 && sizeFieldOf(h) == sizeFieldFixed && h->dataPtr == savedBody;
  };
  if (permSpaceExists)
    for (uint64_t a = permSpace.otLow + otEntryBytes; a <= permSpace.otHigh; a += otEntryBytes)
      if (matches(a)) return a;
  for (uint64_t a = oldSpace.otLow + otEntryBytes; a <= oldSpace.otHigh; a += otEntryBytes)
    if (matches(a)) return a;
  writeNewSpaceEndMarkers();
  for (uint64_t a = pastSpace.start; a < pastSpace.top; a = oopOf(nextPastObject(reinterpret_cast<ObjectHeader*>(a))))
    if (matches(a)) return a;
  return 0;
}

// One saved segment's table, entries [first, marker]: links from saved addresses (its
// table started at savedStart) to loaded ones. The marker (the segment's last entry) held
// the entry count, the next segment's table start and a distance to it while it was
// written; its own successor, size and owner are found again from the other entries' back
// links and from the header whose body lay in its block.
static void relocateFixedSegmentTable(BlockTableEntry* first, BlockTableEntry* marker, uint64_t savedStart) {
  uint64_t n = uint64_t(marker - first) + 1;
  auto link = [&](BlockTableEntry* saved) -> BlockTableEntry* {
    if (saved == nullptr) return nullptr;
    uint64_t offset = uint64_t(saved) - savedStart;
    if (offset % sizeof(BlockTableEntry) != 0 || offset / sizeof(BlockTableEntry) >= n) BAD_IMAGE();
    return first + offset / sizeof(BlockTableEntry);
  };
  BlockTableEntry* successor = nullptr;
  for (BlockTableEntry* e = first; e <= marker; e++) {
    e->prev = link(e->prev);
    if (e != marker) e->next = link(e->next);
    if (e->prev == marker) successor = e;
    if (e != marker && e->owner != 0) e->owner = relocatedReference(e->owner);
  }
  marker->next = successor;
  marker->owner = 0;
  if (successor != nullptr) {  // not the last block: it may have an owner
    if (successor->block <= marker->block) BAD_IMAGE();
    marker->words = (successor->block - marker->block) / 8;
    marker->owner = findSavedFixedOwner(marker->block + 8);
  }
}

// The first block of a segment's chain (no back link) and its last block (no forward link).
static BlockTableEntry* chainEnds(BlockTableEntry* first, BlockTableEntry* marker, BlockTableEntry** last) {
  BlockTableEntry* head = nullptr;
  for (BlockTableEntry* e = first; e <= marker; e++)
    if (e->prev == nullptr && e->block != 0) head = e;
  if (head == nullptr) BAD_IMAGE();
  uint64_t steps = 0;
  BlockTableEntry* e = head;
  while (e->next != nullptr) {
    if (++steps > uint64_t(marker - first)) BAD_IMAGE();
    e = e->next;
  }
  *last = e;
  return head;
}

// Splits the loaded tables at their markers and joins the segments' chains into one.
static BlockTableEntry* joinFixedSegments(BlockTableEntry* low, uint64_t n) {
  uint64_t savedStart = imageLayout.fixedTableStart;
  BlockTableEntry *head = nullptr, *tail = nullptr;
  for (uint64_t i = 0; i < n;) {
    uint64_t j = i;
    while (j < n && !isSmallInteger(low[j].owner)) j++;
    if (j == n || smallIntegerValue(low[j].owner) != int64_t(j - i + 1)) BAD_IMAGE();
    BlockTableEntry* marker = low + j;
    uint64_t nextStart = uint64_t(marker->next);
    relocateFixedSegmentTable(low + i, marker, savedStart);
    BlockTableEntry* last;
    BlockTableEntry* first = chainEnds(low + i, marker, &last);
    if (tail != nullptr) tail->next = first, first->prev = tail;
    if (head == nullptr) head = first;
    tail = last;
    savedStart = nextStart;
    i = j + 1;
  }
  return head;
}

// Owned blocks were saved back to back (free blocks left out): each takes its place at the
// cursor; free entries are left unused, one of them becoming the last block.
static void packFixedBlocks(BlockTable* t, BlockTableEntry* head, uint64_t n) {
  uint64_t cursor = loadedSpaces.fixedArea, dataEnd = cursor + imageLayout.fixedDataBytes, steps = 0;
  BlockTableEntry *prevOwned = nullptr, *spare = nullptr;
  t->firstBlock = nullptr;
  for (BlockTableEntry* e = head; e != nullptr;) {
    if (++steps > n) BAD_IMAGE();
    BlockTableEntry* next = e->next;
    if (e->owner == 0) {
      *e = BlockTableEntry{nullptr, nullptr, 0, 0, 0};
      spare = e;
    } else {
      e->block = cursor;
      attachOwner(e, e->owner, sizeFieldFixed, dataEnd);
      e->prev = prevOwned;
      if (prevOwned != nullptr) prevOwned->next = e; else t->firstBlock = e;
      prevOwned = e;
      cursor += e->words * 8;
    }
    e = next;
  }
  if (cursor != dataEnd || spare == nullptr) BAD_IMAGE();
  *spare = BlockTableEntry{prevOwned, nullptr, 0, cursor, (uint64_t(t->lowest) - cursor) / 8};
  if (prevOwned != nullptr) prevOwned->next = spare; else t->firstBlock = spare;
  t->lastBlock = t->firstFree = spare;
  t->freeWords = spare->words;
  btCompactTable(t);
}

static void loadFixedSpace() {
  const ImageLayout& l = imageLayout;
  FixedSpaceSegment* record = reinterpret_cast<FixedSpaceSegment*>(loadedSpaces.fixedArea - sizeof(FixedSpaceSegment));
  uint64_t words = loadedSpaces.fixedAreaBytes / 8;
  if (l.fixedDataBytes == 0 || l.fixedTableBytes == 0) {
    initializeEmptyFixedSpaceSegment(record, words, loadedSpaces.fixedArea, sizeof(BlockTableEntry));
  } else {
    uint64_t top = loadedSpaces.fixedArea + words * 8, n = l.fixedTableBytes / sizeof(BlockTableEntry);
    record->next = record->prev = nullptr;
    record->mapped = 0;
    BlockTable* t = &record->table;
    *t = BlockTable{};
    t->lowest = reinterpret_cast<BlockTableEntry*>(top - l.fixedTableBytes);
    t->highest = reinterpret_cast<BlockTableEntry*>(top) - 1;
    packFixedBlocks(t, joinFixedSegments(t->lowest, n), n);
  }
  initFixedSpaceSegs(record);
}

// ---- The whole image ------------------------------------------------------------------------------

// Old space was relocated as it was read. Order: large table, new space, perm space, then
// the fixed tables, whose owners are found by their saved body pointers before any fixed
// body pointer is set. New and perm space are walked however little moved, as old space is.
void relocateImageObjects() {
  loadLargeSpace();
  relocatePastSpace();
  relocatePermFreeList();
  permSpaceMoved = permSpaceExists && (imageDeltas.permOT != 0 || imageDeltas.permData != 0);
  if (permSpaceExists) loadPermSpace(permSpaceMoved);
  if (permSpaceExists && !permSpaceMoved && !isNewObject(sysOopRegistryOop) && isLoadedHeader(sysOopRegistryOop) &&
      isPermObject(headerOf(sysOopRegistryOop))) {
    initPermObj(headerOf(sysOopRegistryOop));
  }
  loadFixedSpace();
  checkFreeChunksApart();
  if (imageLayout.loadPolicy == loadPromote || imageLayout.loadPolicy == loadDemote) {
    permSpaceMoved = 1;
    absorbPermFreeList();
  }
}

// ---- Byte order -----------------------------------------------------------------------------------

static void reverseWords(uint64_t from, uint64_t to) {
  for (uint64_t a = from; a + 8 <= to; a += 8) wordAt(a) = reversed(wordAt(a));
}

static void swapImageBody() {
  const ImageLayout& l = imageLayout;
  reverseWords(permSpace.otLow + otEntryBytes, permSpace.otHigh + otEntryBytes);
  reverseWords(permSpace.dataStart, permSpace.dataTop);
  uint64_t largeTop = loadedSpaces.largeArea + loadedSpaces.largeAreaBytes;
  reverseWords(largeTop - l.largeTableBytes, largeTop);
  reverseWords(loadedSpaces.largeArea, loadedSpaces.largeArea + l.largeDataBytes);
  uint64_t fixedTop = loadedSpaces.fixedArea + loadedSpaces.fixedAreaBytes;
  reverseWords(fixedTop - l.fixedTableBytes, fixedTop);
  reverseWords(loadedSpaces.fixedArea, loadedSpaces.fixedArea + l.fixedDataBytes);
  reverseWords(pastSpace.start, pastSpace.top);
}

void prepareLoadedReferents() {
  if (imageLayout.swapped) swapImageBody();
  Referents& r = referents;
  r.permFirst = permSpace.otLow + otEntryBytes;
  r.permBytes = permSpaceExists && permSpace.otHigh >= r.permFirst ? permSpace.otHigh + otEntryBytes - r.permFirst : 0;
  r.permLive = clearedMap(permLiveBits, r.permBytes / otEntryBytes);
  for (uint64_t i = 0; i < r.permBytes / otEntryBytes; i++)
    if (classTagOf(reinterpret_cast<const ObjectHeader*>(r.permFirst + i * otEntryBytes)) != 0)
      setBit(permLiveBits.data(), i);
  r.pastStart = pastSpace.start;
  r.pastBytes = pastSpace.top - pastSpace.start;
  r.pastHeads = clearedMap(pastHeadBits, r.pastBytes / 8);
  for (uint64_t a = pastSpace.start; a < pastSpace.top; a = oopOf(nextPastObject(reinterpret_cast<ObjectHeader*>(a)))) {
    if (a + objectHeaderBytes > pastSpace.top) BAD_IMAGE();
    if (classTagOf(reinterpret_cast<const ObjectHeader*>(a)) != 0) setBit(pastHeadBits.data(), (a - r.pastStart) / 8);
  }
  beginClassUse();
}

// After the whole-word reversal: each 64-bit word's two 32-bit halves change places; each
// 32-bit unit's two 16-bit halves change places; each word's eight bytes are reversed.
void objSwapTwoQ32s(uint64_t* body, uint64_t bytes) {
  for (uint64_t i = 0; i < bytes / 8; i++) body[i] = (body[i] << 32) | (body[i] >> 32);
}
void objReverseTwoQ16s(uint64_t* body, uint64_t bytes) {
  for (uint64_t i = 0; i < bytes / 8; i++)
    body[i] = ((body[i] & 0x0000FFFF0000FFFFull) << 16) | ((body[i] >> 16) & 0x0000FFFF0000FFFFull);
}
void objReverseEightQ8s(uint64_t* body, uint64_t bytes) {
  for (uint64_t i = 0; i < bytes / 8; i++) body[i] = reversed(body[i]);
}
// Each 32-bit unit byte-reversed: the word reversed, then its halves back in place.
void objReverseFourQ8s(uint64_t* body, uint64_t bytes) {
  for (uint64_t i = 0; i < bytes / 8; i++) {
    uint64_t w = reversed(body[i]);
    body[i] = (w << 32) | (w >> 32);
  }
  if (bytes % 8 >= 4) {
    uint32_t* unit = reinterpret_cast<uint32_t*>(body + bytes / 8);
    *unit = __builtin_bswap32(*unit);
  }
}

static bool bodyInLoadedArea(const ObjectHeader* h) {
  return bodyInOldData(h) || bodyInPermData(h) || bodyWithin(h, pastSpace.start, pastSpace.top) ||
         bodyWithin(h, loadedSpaces.largeArea, loadedSpaces.largeArea + loadedSpaces.largeAreaBytes) ||
         bodyWithin(h, loadedSpaces.fixedArea, loadedSpaces.fixedArea + loadedSpaces.fixedAreaBytes);
}

int isSoundLoadedObject(oop o) {
  if (!isLoadedHeader(o)) return 0;
  const ObjectHeader* h = headerOf(o);
  return h->dataPtr != 0 ? bodyInLoadedArea(h) : sizeFieldOf(h) == 0;
}

// The bytes of a byte object by its class: 4-byte floats, two-byte strings and symbols are
// units of their own size; 8-byte floats were right after the word reversal; every other
// byte object is reversed again, which gives its bytes back in order.
static void repairByteObject(ObjectHeader* h) {
  uint32_t tag = classTagOf(h);
  if (tag == 0 || hasPtrs(h) || tag == classIndexDouble || h->dataPtr == 0) return;
  if (!bodyInLoadedArea(h)) BAD_IMAGE();
  uint64_t* body = reinterpret_cast<uint64_t*>(h->dataPtr);
  uint64_t bytes = bodyBytesOf(h);
  if (tag == classIndexFloat) {
    objSwapTwoQ32s(body, bytes);
  } else if (tag == classIndexTwoByteString || tag == classIndexTwoByteSymbol) {
    objSwapTwoQ32s(body, bytes);
    objReverseTwoQ16s(body, bytes);
  } else {
    objReverseEightQ8s(body, bytes);
  }
}

void repairImageByteObjects() {
  if (permSpaceExists)
    for (uint64_t a = permSpace.otHigh; a > permSpace.otLow; a -= otEntryBytes)
      repairByteObject(reinterpret_cast<ObjectHeader*>(a));
  for (uint64_t a = oldSpace.otHigh; a > oldSpace.otLow; a -= otEntryBytes)
    repairByteObject(reinterpret_cast<ObjectHeader*>(a));
  writeNewSpaceEndMarkers();
  for (uint64_t a = pastSpace.start; a < pastSpace.top; a = oopOf(nextPastObject(reinterpret_cast<ObjectHeader*>(a))))
    repairByteObject(reinterpret_cast<ObjectHeader*>(a));
}

// ---- Roots ----------------------------------------------------------------------------------------

// A loaded object with pointers and at least words body words.
static bool isPointerObject(oop o, uint64_t words) {
  if (!isSoundLoadedObject(o)) return false;
  const ObjectHeader* h = reinterpret_cast<const ObjectHeader*>(o);
  return classTagOf(h) != 0 && hasPtrs(h) && h->dataPtr != 0 && bodyWordsOf(h) >= words;
}

// A class the engine instantiates at start-up: its format slot must be a SmallInteger.
static bool isUsableClass(oop o) {
  return isPointerObject(o, classFormatSlot + 1) && isSmallInteger(bodyOf(headerOf(o))[classFormatSlot]);
}

// The class of a loaded object by way of the loaded class-table pages (the class table is
// attached only after these checks), or 0 when its entry is no usable class.
static oop loadedClassAt(uint64_t tag, const oop* pages, oop nil) {
  if (tag >> 10 >= classTablePages || pages[tag >> 10] == nil) return 0;
  oop cls = bodyOf(headerOf(pages[tag >> 10]))[tag & 1023];
  return isUsableClass(cls) ? cls : 0;
}

// A class start-up instantiates: usable, and found in the class table under its own index,
// which its instances will carry.
static bool isInstantiableClass(oop cls, const oop* pages, oop nil) {
  return isUsableClass(cls) && loadedClassAt(hashOf(headerOf(cls)), pages, nil) == cls;
}

void checkLoadedRoots() {
  if (!isPointerObject(sysOopRegistryOop, sysClassTablePageClass + 1)) BAD_IMAGE();
  const oop* registry = bodyOf(headerOf(sysOopRegistryOop));
  oop nil = registry[sysNil];
  if (!isLoadedHeader(nil) || !isPointerObject(registry[sysClassTablePages], classTablePages)) BAD_IMAGE();
  const oop* pages = bodyOf(headerOf(registry[sysClassTablePages]));
  for (uint32_t i = 0; i < classTablePages; i++)
    if (pages[i] != nil && !isPointerObject(pages[i], classTablePageSlots)) BAD_IMAGE();
  if (!isInstantiableClass(registry[sysArrayClass], pages, nil)) BAD_IMAGE();
  if (oop queue = registry[sysFinalQueue]; queue != nil) {
    if (!isPointerObject(queue, 0)) BAD_IMAGE();
    const ObjectHeader* q = headerOf(queue);  // its named slots may be the class's to say
    if (indexabilityOf(q) == indexabilityAskClass && loadedClassAt(classTagOf(q), pages, nil) == 0) BAD_IMAGE();
  }
  if (registry[sysWeakArrayClass] != nil && !isInstantiableClass(registry[sysWeakArrayClass], pages, nil))
    BAD_IMAGE();
  if (registry[sysOldRt] != nil && !isLoadedHeader(registry[sysOldRt])) BAD_IMAGE();
  oop errors = registry[sysPrimErrorTable];  // replaced at start-up when unusable, but read first
  if (!isImmediate(errors) && errors != nil && !isSoundLoadedObject(errors)) BAD_IMAGE();
  if (!isPointerObject(registry[sysRt], 0)) BAD_IMAGE();
  const ObjectHeader* rtHeader = headerOf(registry[sysRt]);
  const oop* entries = bodyOf(rtHeader);
  for (uint64_t i = 0, n = bodyWordsOf(rtHeader); i < n && entries[i] != 0; i++)
    if (!isLoadedHeader(entries[i])) BAD_IMAGE();
}

// Perm objects that refer to old, non-perm objects go into the old remembered table (after
// promote, the objects that stayed old are the ones start-up made in the headroom).
void rememberPermToOldReferences() {
  for (uint64_t a = permSpace.otLow + otEntryBytes; permSpaceExists && a <= permSpace.otHigh; a += otEntryBytes) {
    ObjectHeader* h = reinterpret_cast<ObjectHeader*>(a);
    if (classTagOf(h) != 0 && !isInOldRt(h) && objPointsToOldSpace(h) && !registerInOldRt(h))
      doReportError("Can't allocate OldRt", errFatal | errNoHeap, SOURCE_NAME, __LINE__);
  }
}

// Start-up writes into these bodies (registry slots, remembered entries, queue window, class
// lookups); in a damaged image two of them could share memory and one write corrupt another.
// The vector is gone before a bad image is reported (the report may not return here).
static bool rootBodiesApart() {
  std::vector<std::pair<uint64_t, uint64_t>> bodies;
  auto add = [&bodies](oop o) {
    const ObjectHeader* h = headerOf(o);
    if (h->dataPtr != 0) bodies.push_back({h->dataPtr, h->dataPtr + bodyBytesOf(h)});
  };
  const oop* registry = bodyOf(headerOf(sysOopRegistryOop));
  oop nil = registry[sysNil];
  add(sysOopRegistryOop);
  add(registry[sysClassTablePages]);
  const oop* pages = bodyOf(headerOf(registry[sysClassTablePages]));
  for (uint32_t i = 0; i < classTablePages; i++)
    if (pages[i] != nil) add(pages[i]);
  add(registry[sysRt]);
  if (registry[sysFinalQueue] != nil) add(registry[sysFinalQueue]);
  if (oldRtOop != 0) {
    oop seg = oldRtOop;
    do add(seg), seg = segmentNext(seg);
    while (seg != oldRtOop);
  }
  std::sort(bodies.begin(), bodies.end());
  for (size_t i = 1; i < bodies.size(); i++)
    if (bodies[i].first < bodies[i - 1].second) return false;
  return true;
}

void checkRootBodiesApart() {
  if (!rootBodiesApart()) BAD_IMAGE();
}

// ---- Free chunks ----------------------------------------------------------------------------------

// Start-up allocates from the free lists and the size tree the image brought. In a damaged
// image a free chunk could lie over a live body (the remembered tables, the registry) or
// run past the data, and the first allocation would overwrite what the loader has checked.
// A map of one bit per word of old and perm data holds the live bodies; every chunk must
// lie inside the data, on no marked word, and is marked in turn (a chunk met twice, as in a
// cyclic list, fails too).
struct DataMap {
  uint64_t start, end;  // byte addresses of the data
  uint64_t* bits;       // own's, or the old body map the table pass made
  std::vector<uint64_t> own;
};

static DataMap* mapFor(DataMap* maps, uint64_t address, uint64_t words) {
  for (int i = 0; i < 2; i++) {
    DataMap& m = maps[i];
    if ((address & 7) == 0 && address >= m.start && address < m.end && words <= (m.end - address) / 8)
      return &m;
  }
  return nullptr;
}

// Applies visit to the map words that hold the bits of [address, address + words * 8), each
// with the mask of those bits; answers false as soon as visit does.
template <typename Visit>
static bool forEachMaskWord(DataMap& m, uint64_t address, uint64_t words, Visit visit) {
  uint64_t first = (address - m.start) / 8, end = first + words;
  while (first < end) {
    uint64_t bit = first % 64, count = end - first < 64 - bit ? end - first : 64 - bit;
    uint64_t mask = (count == 64 ? ~uint64_t(0) : ((uint64_t(1) << count) - 1)) << bit;
    if (!visit(m.bits[first / 64], mask)) return false;
    first += count;
  }
  return true;
}

// Marks the words; false when any was marked before.
static bool mark(DataMap& m, uint64_t address, uint64_t words) {
  uint64_t clash = 0;
  forEachMaskWord(m, address, words, [&clash](uint64_t& w, uint64_t mask) { return clash |= w & mask, (w |= mask), true; });
  return clash == 0;
}

static bool claimChunk(DataMap* maps, uint64_t address, uint64_t words) {
  DataMap* m = mapFor(maps, address, words);
  return m != nullptr && words != 0 && mark(*m, address, words);
}

// Bodies and free chunks tile the data: every word is one's or the other's, and a collection
// that slides the bodies walks it so, one after another.
static bool isWhollyMarked(const DataMap& m) {
  uint64_t words = (m.end - m.start) / 8;
  for (uint64_t i = 0; i < words / 64; i++)
    if (m.bits[i] != ~uint64_t(0)) return false;
  uint64_t rest = words % 64;
  return rest == 0 || m.bits[words / 64] == (uint64_t(1) << rest) - 1;
}

// Marks the bodies of the entries from first to last; a body in neither data area is bad.
static bool markBodies(DataMap* maps, uint64_t first, uint64_t last) {
  for (uint64_t a = first; a <= last; a += otEntryBytes) {
    const ObjectHeader* h = reinterpret_cast<const ObjectHeader*>(a);
    uint32_t size = sizeFieldOf(h);
    if (classTagOf(h) == 0 || size >= sizeFieldLarge || h->dataPtr == 0) continue;
    if (!bodyInOldData(h) && !bodyInPermData(h)) return false;
    uint64_t extra = size == sizeFieldExtended ? 1 : 0;
    uint64_t start = h->dataPtr - extra * 8, words = bodyWordsOf(h) + extra;
    if (words != 0 && !mark(*mapFor(maps, start, words), start, words)) return false;
  }
  return true;
}

// Old bodies were marked by the table pass when it walked the table (their pointers do not
// change after it); otherwise here.
static bool freeChunksApart() {
  DataMap maps[2];
  maps[0].start = oldSpace.dataStart, maps[0].end = oldSpace.dataTop;
  maps[1].start = permSpaceExists ? permSpace.dataStart : 0;
  maps[1].end = permSpaceExists ? permSpace.dataTop : 0;
  bool oldMarked = oldLoad.bodyBits != nullptr;
  for (DataMap& m : maps) {
    if (&m == maps && oldMarked) {
      m.bits = oldLoad.bodyBits;
      continue;
    }
    m.own.assign((m.end - m.start) / 8 / 64 + 1, 0);
    m.bits = m.own.data();
  }
  oldLoad.bodyBits = nullptr;  // used once: a later load makes its own
  if (!oldMarked && !markBodies(maps, oldSpace.otLow + otEntryBytes, oldSpace.otHigh)) return false;
  if (permSpaceExists && !markBodies(maps, permSpace.otLow + otEntryBytes, permSpace.otHigh)) return false;
  for (uint32_t n = 1; n <= freeListCount; n++)
    for (uint64_t c = oldSpaceSegs.lists[n - 1]; c != 0; c = wordAt(c))
      if (!claimChunk(maps, c, n)) return false;
  // The size tree, each node with its chain of equal chunks; a node is read only once its
  // five words are known to lie in the data, and its parent link must lead back.
  std::vector<uint64_t> nodes;
  auto reach = [&](uint64_t node, uint64_t parent) {
    if (node == 0) return true;
    if (mapFor(maps, node, sizeof(FreeChunk) / 8) == nullptr ||
        reinterpret_cast<const FreeChunk*>(node)->parent != parent)
      return false;
    nodes.push_back(node);
    return true;
  };
  if (!reach(oldSpaceSegs.treeRoot, 0)) return false;
  while (!nodes.empty()) {
    uint64_t node = nodes.back();
    nodes.pop_back();
    const FreeChunk* f = reinterpret_cast<const FreeChunk*>(node);
    uint64_t sizeWord = f->sizeWord;
    if ((sizeWord & 7) != freeChunkSizeTag || (sizeWord >> 3) <= freeListCount) return false;
    for (uint64_t c = node; c != 0; c = reinterpret_cast<const FreeChunk*>(c)->next) {
      if (!claimChunk(maps, c, sizeWord >> 3) || reinterpret_cast<const FreeChunk*>(c)->sizeWord != sizeWord) return false;
    }
    if (!reach(f->smaller, node) || !reach(f->larger, node)) return false;
  }
  if (permSpaceSegs.freeHead & 1) return false;  // the tag belongs in a chunk's first word only
  for (uint64_t c = permSpaceSegs.freeHead; c >= 2;) {
    uint64_t a = c & ~uint64_t(1);
    if (mapFor(maps, a, 1) == nullptr) return false;
    const uint64_t* chunk = reinterpret_cast<const uint64_t*>(a);
    bool oneWord = (chunk[0] & 1) != 0;
    if (!oneWord && mapFor(maps, a, 2) == nullptr) return false;
    uint64_t words = oneWord ? 1 : chunk[1];
    if (!claimChunk(maps, a, words)) return false;
    c = chunk[0] & ~uint64_t(1);
  }
  return !loadChecks || (isWhollyMarked(maps[0]) && isWhollyMarked(maps[1]));
}

void checkFreeChunksApart() {
  bool apart = freeChunksApart();
  releaseOldLoadMaps();
  if (!apart) BAD_IMAGE();
}
