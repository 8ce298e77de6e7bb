// Object memory: the heap verifier over every space, and the scavenge stress switch.
// Owns scavengeStressInterval. Prefix: none (verifyHeap, initScavengeStress, ...).
#include "mman/mmVerify.h"

#include <algorithm>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <vector>

#include "ext/exError.h"
#include "mman/mmFinal.h"
#include "mman/mmFixedSpace.h"
#include "mman/mmHooks.h"
#include "mman/mmIncGC.h"
#include "mman/mmLargeSpace.h"
#include "mman/mmNewSpace.h"
#include "mman/mmOldSpace.h"
#include "mman/mmOopStack.h"
#include "mman/mmPermSpace.h"
#include "mman/mmRt.h"
#include "mman/mmScavenge.h"
#include "mman/mmSysOop.h"

namespace {

struct Interval {
  uint64_t start, end;  // bytes [start, end)
  const char* what;
};

// Addresses gathered first and looked up often: a sorted vector is several times quicker to search
// than a tree, which matters for the stress switches and fuzz runs that verify after every step.
struct AddressSet {
  std::vector<uint64_t> items;
  void insert(uint64_t a) { items.push_back(a); }
  // Sorts the set; answers the addresses added more than once (each once).
  std::vector<uint64_t> seal() {
    if (!std::is_sorted(items.begin(), items.end())) std::sort(items.begin(), items.end());
    std::vector<uint64_t> twice;
    for (size_t i = 1; i < items.size(); i++)
      if (items[i] == items[i - 1] && (twice.empty() || twice.back() != items[i])) twice.push_back(items[i]);
    items.erase(std::unique(items.begin(), items.end()), items.end());
    return twice;
  }
  bool count(uint64_t a) const { return std::binary_search(items.begin(), items.end(), a); }
  std::vector<uint64_t>::const_iterator begin() const { return items.begin(); }
  std::vector<uint64_t>::const_iterator end() const { return items.end(); }
};

struct Verifier {
  std::string faults;
  std::vector<Interval> pieces;      // bodies and free chunks
  AddressSet freeEntries;            // the free-OT list
  AddressSet liveEntries;            // old and perm entries in use
  AddressSet newHeaders;             // new-space objects (fillers left out)
  std::vector<Interval> regions;     // old segments' data and perm data, tiled by pieces
  std::set<uint64_t> largeOwners, fixedOwners;  // headers owning a block
  std::vector<Interval> newFillerSpans;  // the words each new-space filler covers
  std::vector<Interval> detachedBodies;  // new bodies away from their header (after a become)
  int count = 0;

  void fault(const char* format, ...) {
    if (++count > 20) return;
    char line[256];
    va_list ap;
    va_start(ap, format);
    vsnprintf(line, sizeof line, format, ap);
    va_end(ap);
    faults += line;
    faults += '\n';
  }
};


void checkSegments(Verifier& v) {
  writeBackOldSpace();
  OldSpaceSegment* prev = nullptr;
  bool currentSeen = oldSpaceSegs.current == nullptr;
  for (OldSpaceSegment* s = oldSpaceSegs.first; s != nullptr; prev = s, s = s->next) {
    uint64_t base = reinterpret_cast<uint64_t>(s);
    if (s->prev != prev) v.fault("segment %" PRIx64 ": prev link wrong", base);
    if (prev != nullptr && prev >= s) v.fault("segments out of address order");
    if (s->dataStart != base + 72) v.fault("segment %" PRIx64 ": data start", base);
    if (!(s->dataStart <= s->dataTop && s->dataTop <= s->otLow + 16 && s->otLow <= s->otHigh))
      v.fault("segment %" PRIx64 ": bounds out of order", base);
    if ((s->otHigh - s->otLow) % 16 != 0) v.fault("segment %" PRIx64 ": OT not in 16-byte steps", base);
    if (base < oldNewSpaceBoundary) v.fault("segment %" PRIx64 " below the boundary", base);
    if (s == oldSpaceSegs.current) currentSeen = true;
    if ((s->segFlags & segCompacting) && !permSpaceAbsorbed) v.fault("segment %" PRIx64 ": perm record still linked", base);
    v.regions.push_back({s->dataStart, s->dataTop, "old segment data"});
  }
  if (prev != oldSpaceSegs.last) v.fault("last segment wrong");
  if (!currentSeen) v.fault("current segment not in the list");
}

void collectFreeOt(Verifier& v) {
  uint64_t n = 0;
  for (uint64_t e = oldSpaceSegs.freeOtHead; e != 0 && n <= oldSpaceSegs.freeOtCount;
       e = reinterpret_cast<ObjectHeader*>(e)->dataPtr, n++) {
    if (addressInOldNewOt(e) == nullptr) v.fault("free entry %" PRIx64 " outside every OT", e);
    if (classTagOf(reinterpret_cast<ObjectHeader*>(e)) != 0) v.fault("free entry %" PRIx64 " has a class", e);
    v.freeEntries.insert(e);
  }
  for (uint64_t e : v.freeEntries.seal()) v.fault("free entry %" PRIx64 " listed twice", e);
  if (n != oldSpaceSegs.freeOtCount)
    v.fault("free entries: %" PRIu64 " listed, count says %" PRIu64, n, oldSpaceSegs.freeOtCount);
}

void collectTree(Verifier& v, uint64_t node, uint64_t parent, uint64_t lo, uint64_t hi,
                 uint64_t& chunks, uint64_t& slots) {
  if (node == 0 || chunks > oldSpaceSegs.freeChunks) return;
  FreeChunk* c = reinterpret_cast<FreeChunk*>(node);
  uint64_t size = c->sizeWord >> 3;
  if ((c->sizeWord & 7) != 7 || size <= freeListCount) v.fault("tree node %" PRIx64 ": bad size word", node);
  if (size < lo || size > hi) v.fault("tree node %" PRIx64 ": out of order", node);
  if (c->parent != parent) v.fault("tree node %" PRIx64 ": parent link wrong", node);
  for (uint64_t k = node; k != 0 && chunks <= oldSpaceSegs.freeChunks; k = reinterpret_cast<FreeChunk*>(k)->next) {
    if (k != node && (reinterpret_cast<FreeChunk*>(k)->sizeWord >> 3) != size)
      v.fault("chain of %" PRIx64 ": size differs", node);
    v.pieces.push_back({k, k + size * 8, "tree chunk"});
    chunks++;
    slots += size;
  }
  collectTree(v, c->smaller, node, lo, size - 1, chunks, slots);
  collectTree(v, c->larger, node, size + 1, hi, chunks, slots);
}

void collectFreeChunks(Verifier& v) {
  uint64_t chunks = 0, slots = 0;
  for (uint64_t n = 1; n <= freeListCount; n++) {
    uint64_t head = oldSpaceSegs.lists[n - 1];
    if (head != 0 && !((oldSpaceSegs.listBits >> (n - 1)) & 1)) v.fault("list %" PRIu64 " non-empty, bit clear", n);
    for (uint64_t c = head; c != 0; c = *reinterpret_cast<uint64_t*>(c)) {
      v.pieces.push_back({c, c + n * 8, "list chunk"});
      chunks++;
      slots += n;
      if (chunks > oldSpaceSegs.freeChunks) return v.fault("list %" PRIu64 " runs past the chunk count (cycle?)", n);
    }
  }
  collectTree(v, oldSpaceSegs.treeRoot, 0, freeListCount + 1, ~uint64_t(0), chunks, slots);
  if (chunks != oldSpaceSegs.freeChunks || slots != oldSpaceSegs.freeSlots)
    v.fault("free space: %" PRIu64 " chunks / %" PRIu64 " slots found, counts say %" PRIu64 " / %" PRIu64,
            chunks, slots, oldSpaceSegs.freeChunks, oldSpaceSegs.freeSlots);
}

// Heaps without a class table (the bare space arena) have no class tags to check.
bool hasClassTable() { return sysOopRegistry != nullptr && classTable[0] != nullptr; }

bool validClassTag(uint32_t tag) {
  if (!hasClassTable()) return tag != 0;
  if (classTable[tag >> 10] == nullptr) return false;
  oop cls = classTable[tag >> 10][tag & 1023];
  return cls != sysOop(sysEmptySlotMarker) && isHeapObject(cls) && cls != 0;
}

bool validReference(Verifier& v, oop o) {
  if (isImmediate(o)) return true;
  if (o == 0 || (o & 7) != 0) return false;
  if (isNewObject(o)) return v.newHeaders.count(o) != 0;
  return v.liveEntries.count(o) != 0;
}

bool isClassTablePage(oop o) { return classTagOf(headerOf(o)) == classIndexClassTablePage; }

// A dead entry that the running sweep has yet to reach may refer to entries it freed already.
bool awaitsSweep(const ObjectHeader* h) { return oopOf(h) >= incSweepPoint && !isMarked(h) && !isPermObject(h); }

void checkBody(Verifier& v, ObjectHeader* h) {
  uint64_t a = oopOf(h);
  uint32_t sf = sizeFieldOf(h);
  if (sf >= sizeFieldLarge) return;  // bodies of large and fixed space: checkBlockSpaces
  if (h->dataPtr == 0 || (isPermObject(h) && sf == 0)) {
    if (sf != 0) v.fault("entry %" PRIx64 ": no body but size %u", a, sf);
    return;
  }
  uint64_t words = bodyWordsOf(h);
  if (sf == sizeFieldExtended && (*sizeWordOf(h) <= maxInlineBodyBytes || (*sizeWordOf(h) & 7) != 0))
    v.fault("entry %" PRIx64 ": size word %" PRIu64 " needs no extended form", a, *sizeWordOf(h));
  if (!hasPtrs(h) && indexabilityOf(h) > 7) v.fault("entry %" PRIx64 ": odd bytes %u", a, indexabilityOf(h));
  uint64_t start = h->dataPtr - (sf == sizeFieldExtended ? 8 : 0);
  v.pieces.push_back({start, h->dataPtr + words * 8, "body"});
  bool hasNewRef = false, hasOldRef = false;
  if (!hasPtrs(h) || a == rt.object || awaitsSweep(h)) return;  // the RT's free tail holds zeros; checkRt reads it
  for (uint64_t i = 0; i < words; i++) {
    oop s = bodyOf(h)[i];
    if (!validReference(v, s)) v.fault("entry %" PRIx64 " slot %" PRIu64 ": bad reference %" PRIx64, a, i, s);
    if (isHeapObject(s) && s != 0 && isNewObject(s)) hasNewRef = true;
    if (isHeapObject(s) && s != 0 && !isNewObject(s) && !isPermObject(headerOf(s))) hasOldRef = true;
  }
  if (hasNewRef && !inRt(h) && !isClassTablePage(a))
    v.fault("entry %" PRIx64 ": no old-to-new reference without a remembered entry", a);
  if (hasNewRef && isClassTablePage(a) && !inRt(h)) v.fault("page %" PRIx64 " holds a new class, inRt clear", a);
  if (hasOldRef && isPermObject(h) && !isInOldRt(h))
    v.fault("perm entry %" PRIx64 " refers to old space but is not in the old RT", a);
}

void collectEntries(Verifier& v) {
  uint64_t entries = permSpaceExists ? (permSpace.otHigh - permSpace.otLow) / 16 : 0;
  for (OldSpaceSegment* s = oldSpaceSegs.first; s != nullptr; s = s->next) entries += (s->otHigh - s->otLow) / 16;
  v.liveEntries.items.reserve(entries);
  for (OldSpaceSegment* s = oldSpaceSegs.first; s != nullptr; s = s->next)
    for (uint64_t a = s->otLow + 16; a <= s->otHigh; a += 16)
      if (!v.freeEntries.count(a)) v.liveEntries.insert(a);
  if (!permSpaceExists) return;
  for (uint64_t a = permSpace.otLow + 16; a <= permSpace.otHigh; a += 16) {
    v.liveEntries.insert(a);
    if (!isPermHeader(reinterpret_cast<ObjectHeader*>(a))) v.fault("perm entry %" PRIx64 " without isPerm", a);
  }
}

// Perm data is tiled by perm bodies and the chunks of the perm free list.
void collectPermFreeChunks(Verifier& v) {
  if (!permSpaceExists || permSpaceAbsorbed) return;
  v.regions.push_back({permSpace.dataStart, permSpace.dataTop, "perm data"});
  uint64_t n = 0, words = 0;
  for (uint64_t c = permSpaceSegs.freeHead; c != 0 && n <= permSpaceSegs.freeChunks; n++) {
    uint64_t* chunk = reinterpret_cast<uint64_t*>(c);
    uint64_t w = (chunk[0] & 1) ? 1 : chunk[1];
    v.pieces.push_back({c, c + w * 8, "perm free chunk"});
    words += w;
    c = chunk[0] & ~uint64_t(1);
  }
  if (n != permSpaceSegs.freeChunks || words != permSpaceSegs.freeWords)
    v.fault("perm free list: %" PRIu64 " chunks / %" PRIu64 " words, counts say %" PRIu64 " / %" PRIu64,
            n, words, permSpaceSegs.freeChunks, permSpaceSegs.freeWords);
}

// ---- New space ------------------------------------------------------------------------------

// Every header of [from, top) is a filler or a well-formed object and the walk lands on top.
void walkNewArea(Verifier& v, const char* name, uint64_t from, uint64_t top) {
  uint64_t a = from;
  while (a < top) {
    ObjectHeader* h = reinterpret_cast<ObjectHeader*>(a);
    uint32_t sf = sizeFieldOf(h);
    if (classTagOf(h) == 0) {
      if (h->dataPtr != 0) v.fault("%s: filler at %" PRIx64 " with a body pointer", name, a);
      v.newFillerSpans.push_back({a + 16, a + 16 + 8 * fillerWordsOf(h), "filler"});
    } else if (sf == sizeFieldLarge || sf == sizeFieldFixed) {
      if (hasPtrs(h)) v.fault("%s: pointer object %" PRIx64 " with a large or fixed body", name, a);
      v.newHeaders.insert(a);
    } else if (h->dataPtr != a + 16 + (hasSizeWord(h) ? 8 : 0)) {
      // An exchange leaves a body made for a new header under the filler of its scratch holder.
      v.detachedBodies.push_back({h->dataPtr - (hasSizeWord(h) ? 8 : 0), h->dataPtr + bodyBytesOf(h), "body"});
      v.newHeaders.insert(a);
    } else {
      if (hasSizeWord(h) && *sizeWordOf(h) <= maxInlineBodyBytes)
        v.fault("%s: size word on %" PRIx64 " whose body fits the size field", name, a);
      v.newHeaders.insert(a);
    }
    uint64_t next = oopOf(nextNewSpaceHeader(h));
    if (next <= a) return v.fault("%s: walk stuck at %" PRIx64, name, a);
    a = next;
  }
  if (a != top) v.fault("%s: walk overshoots its top", name);
}

void collectNewSpace(Verifier& v) {
  if (eden.start == 0) return;
  writeNewSpaceEndMarkers();
  if (eden.allocPtr > eden.end || pastSpace.top > pastSpace.end) return v.fault("new space: top past end");
  walkNewArea(v, "eden", eden.start, eden.allocPtr);
  walkNewArea(v, "past space", pastSpace.start, pastSpace.top);
  for (const Interval& b : v.detachedBodies) {
    bool covered = false;
    for (const Interval& f : v.newFillerSpans) covered |= b.start >= f.start && b.end <= f.end;
    if (!covered) v.fault("new space: body at %" PRIx64 " lies neither beside its header nor under a filler", b.start);
  }
}

// Without a registry (the bare space arena) there is no nil: slots hold stand-in values.
void checkNewObjects(Verifier& v) {
  for (uint64_t a : v.newHeaders) {
    ObjectHeader* h = reinterpret_cast<ObjectHeader*>(a);
    if (!validClassTag(classTagOf(h))) v.fault("new %" PRIx64 ": class index %u invalid", a, classTagOf(h));
    if (!hasPtrs(h) || sizeFieldOf(h) >= sizeFieldLarge || !hasClassTable()) continue;
    for (uint64_t i = 0; i < bodyWordsOf(h); i++)
      if (!validReference(v, bodyOf(h)[i]))
        v.fault("new %" PRIx64 " slot %" PRIu64 ": bad reference %" PRIx64, a, i, bodyOf(h)[i]);
  }
}

// ---- Large and fixed space ------------------------------------------------------------------

void collectOwners(Verifier& v, const BlockTable* t, std::set<uint64_t>& owners, const char* name) {
  for (const BlockTableEntry* e = t->firstBlock; e != nullptr; e = e->next) {
    if (btIsFree(e)) continue;
    uint64_t owner = oopOf(btCurrentOwner(e->owner));
    if (!owners.insert(owner).second) v.fault("%s: %" PRIx64 " owns two blocks", name, owner);
    if (!v.newHeaders.count(owner) && !v.liveEntries.count(owner))
      v.fault("%s: block %" PRIx64 " owned by %" PRIx64 ", not a live object", name, e->block, owner);
  }
}

// The block chains hold, and the headers with bodies there are exactly the blocks' owners.
void checkBlockSpaces(Verifier& v) {
  const char* why = "";
  if (largeSpace.table.firstBlock != nullptr) {
    if (!btVerify(&largeSpace.table, &why)) v.fault("large space: %s", why);
    else collectOwners(v, &largeSpace.table, v.largeOwners, "large space");
  }
  if (fixedSpaceSegs.first != nullptr) {
    if (!verifyFixedSpace(&why)) {
      v.fault("fixed space: %s", why);
    } else {
      for (FixedSpaceSegment* s = fixedSpaceSegs.first; s != nullptr; s = s->next)
        collectOwners(v, &s->table, v.fixedOwners, "fixed space");
    }
  }
  auto checkSizeField = [&](uint64_t a) {
    uint32_t sf = sizeFieldOf(reinterpret_cast<ObjectHeader*>(a));
    if (sf == sizeFieldLarge && !v.largeOwners.count(a)) v.fault("%" PRIx64 ": large body without a block", a);
    if (sf == sizeFieldFixed && !v.fixedOwners.count(a)) v.fault("%" PRIx64 ": fixed body without a block", a);
  };
  for (uint64_t a : v.newHeaders) checkSizeField(a);
  for (uint64_t a : v.liveEntries) checkSizeField(a);
}

bool inPermTable(uint64_t a) { return permSpaceExists && a > permSpace.otLow && a <= permSpace.otHigh; }

void checkEntries(Verifier& v) {
  // Between collections (no incremental cycle, no sweep) only perm headers carry marks, and
  // perm space's own headers all do (perm-flagged entries of old tables are test stand-ins the
  // sweeps unmark).
  bool atRest = currentIncGCState == incGCResting && incSweepPoint == ~uint64_t(0);
  for (uint64_t a : v.liveEntries) {
    ObjectHeader* h = reinterpret_cast<ObjectHeader*>(a);
    if (!validClassTag(classTagOf(h))) v.fault("entry %" PRIx64 ": class index %u invalid", a, classTagOf(h));
    if (h->dataPtr & 3) v.fault("entry %" PRIx64 ": forwarded outside a collection", a);
    if (atRest && isMarked(h) && !isPermObject(h)) v.fault("entry %" PRIx64 ": marked while no collector runs", a);
    if (atRest && !isMarked(h) && inPermTable(a) && !permSpaceAbsorbed)
      v.fault("perm entry %" PRIx64 ": unmarked while no collector runs", a);
    checkBody(v, h);
  }
}

void checkCoverage(Verifier& v) {
  auto byStart = [](const Interval& a, const Interval& b) { return a.start < b.start; };
  std::sort(v.pieces.begin(), v.pieces.end(), byStart);
  std::sort(v.regions.begin(), v.regions.end(), byStart);
  size_t i = 0;
  for (const Interval& r : v.regions) {
    uint64_t at = r.start;
    while (i < v.pieces.size() && v.pieces[i].start < r.start) i++;  // reported below
    while (i < v.pieces.size() && v.pieces[i].start < r.end) {
      const Interval& p = v.pieces[i];
      if (p.start != at)
        v.fault("%s at %" PRIx64 ": %s starts at %" PRIx64 " (gap or overlap)", r.what, at, p.what, p.start);
      at = std::max(at, p.end);
      i++;
    }
    if (at != r.end) v.fault("%s ends at %" PRIx64 ", covered to %" PRIx64, r.what, r.end, at);
  }
  uint64_t outside = 0;
  for (const Interval& p : v.pieces) {
    bool in = false;
    for (const Interval& r : v.regions) in = in || (p.start >= r.start && p.end <= r.end);
    outside += !in;
  }
  if (outside != 0) v.fault("%" PRIu64 " bodies or chunks outside every data area", outside);
}

void checkRt(Verifier& v) {
  if (rt.object == 0) return;
  if (!(rt.start <= rt.ffs && rt.ffs <= rt.end && rt.wt <= rt.end)) v.fault("RT bounds out of order");
  std::set<oop> listed;
  for (uint64_t a = rt.start; a < rt.ffs; a += 8) {
    oop e = *reinterpret_cast<oop*>(a);
    if (!listed.insert(e).second) v.fault("RT lists %" PRIx64 " twice", e);
    if (!v.liveEntries.count(e)) v.fault("RT entry %" PRIx64 " is not a live old object", e);
    else if (!inRt(headerOf(e))) v.fault("RT entry %" PRIx64 " has inRt clear", e);
  }
  std::set<oop> oldListed;
  if (oldRtOop != 0) {
    oop top = oldRtOop, s = top;
    do {
      if (segmentCount(s) > oopStackEntries) v.fault("old RT segment count %" PRIu64, segmentCount(s));
      for (uint64_t i = 0; i < segmentCount(s); i++) oldListed.insert(segmentBody(s)[oopStackFirstEntry + i]);
      s = segmentNext(s);
    } while (s != top);
  }
  for (uint64_t a : v.liveEntries) {
    ObjectHeader* h = reinterpret_cast<ObjectHeader*>(a);
    if (inRt(h) && !isClassTablePage(a) && !listed.count(a)) v.fault("%" PRIx64 " has inRt but is not in the RT", a);
    if (isInOldRt(h) != (oldListed.count(a) != 0)) v.fault("%" PRIx64 ": isInOldRt disagrees with the old RT", a);
  }
}

void checkRegistryAndClassTable(Verifier& v) {
  if (sysOopRegistryOop == 0) return;
  ObjectHeader* reg = headerOf(sysOopRegistryOop);
  if (bodyOf(reg) != sysOopRegistry) v.fault("sysOopRegistry does not cache the registry body");
  if (bodyWordsOf(reg) < sysFirstRunTimeSlot || firstFreeSlotX > bodyWordsOf(reg))
    v.fault("registry of %" PRIu64 " slots, high-water mark %" PRIu64, bodyWordsOf(reg), firstFreeSlotX);
  oop pages = sysOop(sysClassTablePages);
  for (uint32_t i = 0; i < classTablePages; i++) {
    oop page = slotOf(pages, i);
    oop* expected = page == nilOop() ? nullptr : bodyOf(headerOf(page));
    if (classTable[i] != expected) v.fault("classTable[%u] disagrees with the page Array", i);
    if (expected != nullptr && i > lastClassTablePageX) v.fault("page %u beyond lastClassTablePageX", i);
  }
}

// Outside a scavenge: future space is empty, the RT has no partition, and the queue's window
// lies in order inside the queue's indexed slots.
void checkScavengerState(Verifier& v) {
  if (scavengeInProgress) return;
  if (eden.start != 0 && futureSpace.top != futureSpace.start) v.fault("future space not empty outside a scavenge");
  if (rt.object != 0 && rt.fss != 0) v.fault("RT partition (FSS) in use outside a scavenge");
  if (sysOopRegistryOop == 0 || finalQueueBase == 0) return;
  oop queue = sysOop(sysFinalQueue);
  if (queue == nilOop() || !isHeapObject(queue)) return;
  ObjectHeader* q = headerOf(queue);
  uint64_t named = indexabilityOf(q);
  if (named == indexabilityAskClass) named = formatNamedSlots(classFormatOf(classOfHeader(q)));
  if (finalQueueBase != q->dataPtr + named * 8 || finalQueueEnd != q->dataPtr + bodyWordsOf(q) * 8)
    v.fault("queue window does not match the queue's body");
  if (!(finalQueueBase <= finalQueueRead && finalQueueRead <= finalQueueWrite && finalQueueWrite <= finalQueueEnd))
    v.fault("queue window out of order");
}

// ---- The incremental collector's states ------------------------------------------------------

bool isLiveRef(Verifier& v, oop o) { return isHeapObject(o) && o != 0 && validReference(v, o); }
bool isOldNonPermRef(Verifier& v, oop o) { return isLiveRef(v, o) && !isNewObject(o) && !isPermObject(headerOf(o)); }

// The slots the marker follows in an object: a weak object's named slots, none of the RT
// Array, else the whole body.
uint64_t markedRangeOf(const ObjectHeader* h) {
  if (!hasPtrs(h) || h->dataPtr == 0 || sizeFieldOf(h) == 0 || sizeFieldOf(h) >= sizeFieldLarge) return 0;
  if (oopOf(h) == rt.object) return 0;
  if (isGCSpecial(h) && !isEphemeron(h)) {
    uint64_t n = indexabilityOf(h);
    if (n == indexabilityAskClass) n = formatNamedSlots(classFormatOf(classOfHeader(h)));
    return std::min(n, bodyWordsOf(h));
  }
  return bodyWordsOf(h);
}

void entriesOfOopStack(oop top, std::vector<oop>& out) {
  if (top == 0) return;
  oop s = top;
  do {
    for (uint64_t i = 0; i < segmentCount(s) && i < oopStackEntries; i++) out.push_back(segmentBody(s)[oopStackFirstEntry + i]);
    s = segmentNext(s);
  } while (s != top);
}

// The old RT's entries from the bottom up, as the marker's positions count them.
std::vector<oop> oldRtFromBottom() {
  std::vector<oop> out;
  if (oldRtOop == 0) return out;
  for (oop s = oopStackBottom(oldRtOop);; s = segmentNext(s)) {
    for (uint64_t i = 0; i < segmentCount(s) && i < oopStackEntries; i++) out.push_back(segmentBody(s)[oopStackFirstEntry + i]);
    if (s == oldRtOop || segmentCount(s) < oopStackEntries) return out;
  }
}

// 'm': what the four stacks and the hand hold is marked; a marked object that is not grey (to
// be scanned) has a marked class and no unmarked old referent in the range the marker follows.
void checkIncMarking(Verifier& v) {
  std::vector<oop> held;
  entriesOfOopStack(incMarkStackOop, held);
  entriesOfOopStack(incBigObjStackOop, held);
  entriesOfOopStack(incEphemeronListOop, held);
  std::set<oop> grey(held.begin(), held.end());
  entriesOfOopStack(incWeakListOop, held);
  if (incBigObjInHand != 0) held.push_back(incBigObjInHand);
  for (oop o : held) {
    if (!isLiveRef(v, o)) v.fault("collector stack holds %" PRIx64 ", not a live object", o);
    else if (!isNewObject(o) && !isPermObject(headerOf(o)) && !isMarked(headerOf(o)))
      v.fault("collector stack holds unmarked %" PRIx64, o);
  }
  if (!incGCOldRtDone) {
    std::vector<oop> entries = oldRtFromBottom();
    for (uint64_t i = oldRtIncPosition; i < entries.size(); i++) grey.insert(entries[i]);
  }
  for (uint64_t a : v.liveEntries) {
    ObjectHeader* h = reinterpret_cast<ObjectHeader*>(a);
    if (!isMarked(h) || grey.count(a)) continue;
    oop cls = classOfHeader(h);  // a perm object's old class is kept through the old RT
    if (!isPermObject(h) && isOldNonPermRef(v, cls) && !isMarked(headerOf(cls)))
      v.fault("marked %" PRIx64 " (class index %u) has unmarked class %" PRIx64, a, classTagOf(h), cls);
    uint64_t end = a == incBigObjInHand ? std::min(incBigObjResume, markedRangeOf(h)) : markedRangeOf(h);
    for (uint64_t i = 0; i < end; i++) {
      oop s = bodyOf(h)[i];
      if (isOldNonPermRef(v, s) && !isMarked(headerOf(s)))
        v.fault("marked %" PRIx64 " slot %" PRIu64 ": unmarked %" PRIx64 " while marking", a, i, s);
    }
  }
}

std::vector<oop>* stackRoots;

// Everything the registry, the stacks, perm space and new space reach through what the marker
// follows is marked, at or above the given entry address.
void checkReachedMarked(Verifier& v, uint64_t from) {
  std::vector<oop> work;
  if (sysOopRegistryOop != 0) work.push_back(sysOopRegistryOop);
  if (stackHooks.stacksAllocated()) {
    stackRoots = &work;
    stackHooks.stackEnumerateOopsForGC([](oop o) { stackRoots->push_back(o); });
    stackRoots = nullptr;
  }
  for (uint64_t a : v.liveEntries)
    if (isPermObject(reinterpret_cast<ObjectHeader*>(a))) work.push_back(a);
  work.insert(work.end(), v.newHeaders.begin(), v.newHeaders.end());
  std::set<oop> met;
  while (!work.empty()) {
    oop o = work.back();
    work.pop_back();
    if (!isLiveRef(v, o) || !met.insert(o).second) continue;
    ObjectHeader* h = headerOf(o);
    if (!isNewObject(o) && !isPermObject(h) && o >= from && !isMarked(h))
      v.fault("reachable %" PRIx64 " is not marked in state '%c'", o, char(currentIncGCState));
    work.push_back(classOfHeader(h));
    for (uint64_t i = 0, n = markedRangeOf(h); i < n; i++) work.push_back(bodyOf(h)[i]);
  }
}

// Marks of old entries below a walk's point (the sweep's or the unmark pass's).
void checkNoMarkBelow(Verifier& v, uint64_t point, const char* what) {
  for (uint64_t a : v.liveEntries) {
    ObjectHeader* h = reinterpret_cast<ObjectHeader*>(a);
    if (a < point && isMarked(h) && !isPermObject(h)) v.fault("%" PRIx64 " marked below the %s point", a, what);
  }
}

void checkIncGC(Verifier& v) {
  for (uint64_t a : v.freeEntries)
    if (isMarked(reinterpret_cast<ObjectHeader*>(a))) v.fault("free entry %" PRIx64 " is marked", a);
  switch (currentIncGCState) {
    case incGCResting: break;  // checkEntries: only perm headers are marked
    case incGCMarking: checkIncMarking(v); break;
    case incGCNilling: checkReachedMarked(v, 0); break;
    case incGCSweeping:
      checkNoMarkBelow(v, incSweepPoint, "sweep");
      checkReachedMarked(v, incSweepPoint);
      break;
    case incGCAborting: checkNoMarkBelow(v, incUnmarkPoint, "unmark"); break;
    default: v.fault("incremental collector in unknown state %u", unsigned(currentIncGCState));
  }
}

}  // namespace

std::string verifyHeap() {
  Verifier v;
  checkSegments(v);
  collectFreeOt(v);
  collectFreeChunks(v);
  collectEntries(v);
  v.liveEntries.seal();
  collectPermFreeChunks(v);
  collectNewSpace(v);
  v.newHeaders.seal();
  checkEntries(v);
  checkNewObjects(v);
  checkCoverage(v);
  checkBlockSpaces(v);
  checkRt(v);
  checkRegistryAndClassTable(v);
  checkScavengerState(v);
  checkIncGC(v);
  return v.faults;
}

// ---- Right after a global collection ---------------------------------------------------------

// The old RT lists exactly the perm objects that refer to old ones: the collection's sweep of it
// dropped every other entry. (Between collections a listed holder may have lost its old referents.)
// A body that become or growing moved into old data counts as such a reference.
static bool refersToOldSpace(const ObjectHeader* h) {
  uint32_t sf = sizeFieldOf(h);
  if (h->dataPtr == 0 || sf >= sizeFieldLarge) return false;
  if (sf != 0 && addressInOldSegmentData(h->dataPtr - (sf == sizeFieldExtended ? 8 : 0)) != nullptr) return true;
  if (!hasPtrs(h)) return false;
  for (uint64_t i = 0, n = bodyWordsOf(h); i < n; i++) {
    oop s = bodyOf(h)[i];
    if (isHeapObject(s) && s != 0 && !isNewObject(s) && !isPermObject(headerOf(s))) return true;
  }
  return false;
}

std::string verifyOldRtAfterCollection() {
  std::string faults;
  char line[160];
  if (oldRtOop == 0) return faults;
  oop top = oldRtOop, seg = top;
  do {
    for (uint64_t i = 0; i < segmentCount(seg); i++) {
      oop e = segmentBody(seg)[oopStackFirstEntry + i];
      const ObjectHeader* h = headerOf(e);
      const char* why = nullptr;
      if (!isHeapObject(e) || e == 0 || isNewObject(e) || classTagOf(h) == 0) why = "is no live object";
      else if (!isPermObject(h)) why = "is not a perm object";
      else if (!refersToOldSpace(h)) why = "refers to no old object";
      if (why == nullptr) continue;
      snprintf(line, sizeof line, "old RT entry %" PRIx64 " %s\n", e, why);
      faults += line;
    }
    seg = segmentNext(seg);
  } while (seg != top);
  return faults;
}

// ---- The stress switch ------------------------------------------------------------------------

uint64_t scavengeStressInterval;
uint64_t scavengeStressCount;

uint64_t initScavengeStress() {
  const char* text = getenv("TESSEL_SCAVENGE_STRESS");
  scavengeStressInterval = 0;
  if (text != nullptr) {
    char* end = nullptr;
    unsigned long long n = strtoull(text, &end, 10);
    if (end != text && *end == 0) scavengeStressInterval = n;
  }
  scavengeStressCount = 0;
  if (scavengeStressInterval != 0) eden.warningLimit = eden.start;
  return scavengeStressInterval;
}

static void verifyOrDie(const char* when) {
  std::string faults = verifyHeap();
  if (faults.empty()) return;
  std::string first = faults.substr(0, faults.find('\n'));
  char message[400];
  snprintf(message, sizeof message, "Heap verification failed %s: %s", when, first.c_str());
  doReportError(message, errFatal | 5, SOURCE_NAME, __LINE__);
}

void verifyBeforeScavenge() { verifyOrDie("before scavenge"); }
void verifyAfterScavenge() { verifyOrDie("after scavenge"); }
void verifyAfterIncQuantum() { verifyOrDie("after incremental quantum"); }
void verifyAtEndOfIncMark() { verifyOrDie("at the end of incremental marking"); }
