// Test support: the heap verifier.
#include "mman/heapVerifier.h"

#include <algorithm>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <set>
#include <vector>

#include "mman/mmOldSpace.h"
#include "mman/mmOopStack.h"
#include "mman/mmRt.h"
#include "mman/mmSysOop.h"
#include "mman/testHeap.h"

namespace {

struct Interval {
  uint64_t start, end;  // bytes [start, end)
  const char* what;
};

struct Verifier {
  std::string faults;
  std::vector<Interval> pieces;      // bodies and free chunks
  std::set<uint64_t> freeEntries;    // the free-OT list
  std::set<uint64_t> liveEntries;    // old entries in use
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

bool inNewSpace(uint64_t a) { return a >= testNewSpaceStart && a < testNewSpaceTop; }

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
    if (!v.freeEntries.insert(e).second) v.fault("free entry %" PRIx64 " listed twice", e);
  }
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

bool validClassTag(uint32_t tag) {
  if (classTable[tag >> 10] == nullptr) return false;
  oop cls = classTable[tag >> 10][tag & 1023];
  return cls != sysOop(sysEmptySlotMarker) && isHeapObject(cls) && cls != 0;
}

bool validReference(Verifier& v, oop o) {
  if (isImmediate(o)) return true;
  if (o == 0 || (o & 7) != 0) return false;
  if (inNewSpace(o)) return true;
  return v.liveEntries.count(o) != 0;
}

bool isClassTablePage(oop o) { return classTagOf(headerOf(o)) == classIndexClassTablePage; }

void checkBody(Verifier& v, ObjectHeader* h) {
  uint64_t a = oopOf(h);
  uint32_t sf = sizeFieldOf(h);
  if (sf >= sizeFieldLarge) return;  // bodies of other spaces: their verifiers
  if (h->dataPtr == 0) {
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
  if (!hasPtrs(h) || a == rt.object) return;  // the RT's free tail holds zeros; checkRt reads it
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
  for (OldSpaceSegment* s = oldSpaceSegs.first; s != nullptr; s = s->next)
    for (uint64_t a = s->otLow + 16; a <= s->otHigh; a += 16)
      if (!v.freeEntries.count(a)) v.liveEntries.insert(a);
}

void checkEntries(Verifier& v) {
  for (uint64_t a : v.liveEntries) {
    ObjectHeader* h = reinterpret_cast<ObjectHeader*>(a);
    if (!validClassTag(classTagOf(h))) v.fault("entry %" PRIx64 ": class index %u invalid", a, classTagOf(h));
    if (h->dataPtr & 3) v.fault("entry %" PRIx64 ": forwarded outside a collection", a);
    checkBody(v, h);
  }
}

void checkCoverage(Verifier& v) {
  std::sort(v.pieces.begin(), v.pieces.end(), [](const Interval& a, const Interval& b) { return a.start < b.start; });
  size_t i = 0;
  for (OldSpaceSegment* s = oldSpaceSegs.first; s != nullptr; s = s->next) {
    uint64_t at = s->dataStart;
    while (i < v.pieces.size() && v.pieces[i].start < s->dataTop) {
      const Interval& p = v.pieces[i];
      if (p.start != at)
        v.fault("data at %" PRIx64 ": %s starts at %" PRIx64 " (gap or overlap)", at, p.what, p.start);
      at = std::max(at, p.end);
      i++;
    }
    if (at != s->dataTop) v.fault("segment data ends at %" PRIx64 ", covered to %" PRIx64, s->dataTop, at);
  }
  if (i != v.pieces.size()) v.fault("%zu bodies or chunks outside every segment's data", v.pieces.size() - i);
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

}  // namespace

std::string verifyHeap() {
  Verifier v;
  checkSegments(v);
  collectFreeOt(v);
  collectFreeChunks(v);
  collectEntries(v);
  checkEntries(v);
  checkCoverage(v);
  checkRt(v);
  checkRegistryAndClassTable(v);
  return v.faults;
}
