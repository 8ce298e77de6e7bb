// Object memory: the generation scavenger (copying collector of new space).
// Owns the scavenger state: tenureThreshold, numScavenges, scavengeInProgress, the weak lists.
// Prefix: none (runScavenge, scavengeNewSpace, flushEden, copyAndForward, initScavenger, ...).
#include "mman/mmScavenge.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <cmath>

#include "ext/exError.h"
#include "ext/exOption.h"
#include "ext/exPrimTable.h"
#include "ext/exRequest.h"
#include "ext/platform.h"
#include "mman/mmAllocate.h"
#include "mman/mmHooks.h"
#include "mman/mmImageHeader.h"
#include "mman/mmFinal.h"
#include "mman/mmGlobalGC.h"
#include "mman/mmFixedSpace.h"
#include "mman/mmIncGC.h"
#include "mman/mmLargeSpace.h"
#include "mman/mmNewSpace.h"
#include "mman/mmOldSpace.h"
#include "mman/mmPrimUtil.h"
#include "mman/mmRt.h"
#include "mman/mmSysOop.h"
#include "mman/mmVerify.h"

int64_t tenureThreshold;
uint64_t scavengeWarningThreshold = 1024;
uint64_t numScavenges;
uint32_t scavengeInProgress;
uint32_t tenureToShrinkRememberedTable;
uint64_t tenureBoundary;

static uint64_t savedTenureBoundary;  // the boundary the shrinking predicate compares with
static uint64_t shrinkLevel;          // encoding of the count that tenures in shrinking mode
static TenurePredicate tenurePredicate;
static int64_t largeTenureBudget, largeTenured;  // slots of large-space bodies
// Weak objects and ephemerons copied to future space, threaded through the second word of
// their forwarded old headers: weakList pushed at the front, ephemeronList appended.
static uint64_t weakList, ephemeronList, ephemeronTail, ephemeronCursor;
static uint32_t weakAsStrong, deferEphemerons;
static uint64_t ephemeronBoundary;  // future top when the fixpoint ended; 0 before
static int64_t deadKeyCount;
static uint64_t copiesMade;          // objects copied or tenured so far (fixpoint progress)
static uint64_t savedObjA, savedObjB;  // arguments of the explicit tenuring variants
static uint32_t savedClassIndex;
static uint64_t deadPartitionEnd;    // final pass: counted dead-key entries lie below it (index)

static const char* const whereScavenge = SOURCE_NAME;

static void resolveForwardedSlots(ObjectHeader* h) {
  if (!hasPtrs(h) || h->dataPtr == 0 || sizeFieldOf(h) >= sizeFieldLarge || isForwarded(h)) return;
  for (uint64_t i = 0, n = bodyWordsOf(h); i < n; i++) {
    oop v = bodyOf(h)[i];
    if (isHeapObject(v) && v != 0 && isNewObject(v) && isForwarded(headerOf(v))) bodyOf(h)[i] = forwardeeOf(headerOf(v));
  }
}

static void resolveForwardedIn(uint64_t from, uint64_t top) {
  for (ObjectHeader* h = reinterpret_cast<ObjectHeader*>(from); oopOf(h) < top; h = nextNewSpaceHeader(h))
    if (classTagOf(h) != 0 || isForwarded(h)) resolveForwardedSlots(h);
}

// A dump written on the way out walks new space: the walk ends at each top, and references
// to copied objects lead to the copies (the stack's slots are the stack zone's to resolve).
static void makeNewSpaceWalkable() {
  writeNewSpaceEndMarkers();
  resolveForwardedIn(eden.start, eden.allocPtr);
  resolveForwardedIn(pastSpace.start, pastSpace.top);
  resolveForwardedIn(futureSpace.start, futureSpace.top);
  for (uint64_t a = rt.start; a < rt.ffs; a += 8) resolveForwardedSlots(headerOf(*reinterpret_cast<oop*>(a)));
}

[[noreturn]] static void scavengeFatal(const char* message, int line) {
  if (dumpStackOnExit) makeNewSpaceWalkable();
  doReportError(message, errFatal | 5, whereScavenge, line);
  abort();
}

// ---- Small helpers ----------------------------------------------------------------------

static inline bool inFuture(uint64_t a) { return a >= futureSpace.start && a < futureSpace.end; }
static inline bool isNewRef(oop o) { return isHeapObject(o) && o != 0 && isNewObject(o); }
static inline bool isWeakObject(const ObjectHeader* h) {
  return (h->flags & (isGCSpecialBit | ephemeronNotWeakBit)) == isGCSpecialBit;
}
// The key is reachable so far: immediate, old, forwarded or already a copy.
static inline bool keyIsLive(oop key) {
  if (!isNewRef(key)) return true;
  return isForwarded(headerOf(key)) || inFuture(key);
}
// The final pass marks an object tenured after the fixpoint in its forwarded old header's
// second word (free once forwarded, and a list link only for future-space copies); a copy in
// future space tells by lying at or above the boundary. A list ephemeron whose key died carries
// deadKeyBit (free in new objects) until it is queued.
enum : uint64_t { lateTenureStamp = ~uint64_t(0), deadKeyBit = isInOldRtBit };

// In the final pass, before the ephemeron's slots are scanned: its key was not reached by the
// fixpoint, wherever the final pass has put it since.
static bool keyIsDead(oop key) {
  if (!isNewRef(key)) return false;
  if (inFuture(key)) return key >= ephemeronBoundary;
  ObjectHeader* h = headerOf(key);
  if (!isForwarded(h)) return true;
  oop copy = forwardeeOf(h);
  return isNewObject(copy) ? copy >= ephemeronBoundary : h->flags == lateTenureStamp;
}
static inline bool deferEphemeron(const ObjectHeader* h) {
  if (weakAsStrong || !isEphemeron(h) || bodyWordsOf(h) == 0) return false;
  oop key = bodyOf(h)[0];
  return deferEphemerons ? !keyIsLive(key) : (ephemeronBoundary != 0 && keyIsDead(key));
}

static uint64_t namedSlotsOf(const ObjectHeader* h) {
  uint64_t n = indexabilityOf(h);
  if (n == indexabilityAskClass) n = formatNamedSlots(classFormatOf(classOfHeader(h)));
  uint64_t words = bodyWordsOf(h);
  return n < words ? n : words;
}
// Slots of a pointer body (0 for objects without pointers or body).
static uint64_t pointerSlotsOf(const ObjectHeader* h) {
  if (!hasPtrs(h) || h->dataPtr == 0 || sizeFieldOf(h) >= sizeFieldLarge) return 0;
  return bodyWordsOf(h);
}

// The remembered table by index: its body may move whenever it grows.
static inline oop* rtEntries() { return reinterpret_cast<oop*>(rt.start); }
static inline uint64_t rtSize() { return (rt.ffs - rt.start) / 8; }
static inline uint64_t fssIndex() { return (rt.fss - rt.start) / 8; }
static inline void setFss(uint64_t i) { rt.fss = rt.start + i * 8; }
static inline void swapEntries(uint64_t i, uint64_t j) {
  oop* e = rtEntries();
  oop t = e[i];
  e[i] = e[j];
  e[j] = t;
}
// Drops entry i: its inRt is cleared and the last entry takes its place.
static void dropRtEntry(uint64_t i) {
  oop* e = rtEntries();
  clearFlag(headerOf(e[i]), inRtBit);
  e[i] = e[rtSize() - 1];
  rt.ffs -= 8;
}

// ---- Copying --------------------------------------------------------------------------------

static ObjectHeader* copyToFutureSpace(ObjectHeader* h) {
  uint32_t sf = sizeFieldOf(h);
  uint64_t words = sf < sizeFieldExtended ? sf : sf == sizeFieldExtended ? bodyWordsOf(h) : 0;
  uint64_t extra = sf == sizeFieldExtended ? 8 : 0;
  uint64_t need = objectHeaderBytes + extra + words * 8;
  if (futureSpace.top + need > futureSpace.end) return nullptr;
  ObjectHeader* n = reinterpret_cast<ObjectHeader*>(futureSpace.top);
  uint64_t body = futureSpace.top + objectHeaderBytes + extra;
  if (sf >= sizeFieldLarge) {
    n->dataPtr = h->dataPtr;  // the body stays in large or fixed space
  } else {
    if (extra) *reinterpret_cast<uint64_t*>(body - 8) = *sizeWordOf(h);
    memcpy(reinterpret_cast<void*>(body), bodyOf(h), words * 8);
    n->dataPtr = body;
  }
  n->flags = h->flags;
  futureSpace.top += need;
  return n;
}

// Identity hash, class and the GC-special bits go with the object; the count bits and the
// size fields are the new home's.
static uint64_t flagsToCarry(const ObjectHeader* h) {
  return h->flags & ~(uint64_t(classTagMask) | sizeFieldMask | indexabilityMask | rtCountBits);
}

static void releaseTenured(ObjectHeader* n) {
  if (sizeFieldOf(n) >= sizeFieldLarge) n->dataPtr = 0, setSizeField(n, 0);
  recycleOldObj(n);
}

static ObjectHeader* tenureToOldSpace(ObjectHeader* h, uint32_t incMark) {
  uint32_t sf = sizeFieldOf(h);
  ObjectHeader* n;
  if (sf >= sizeFieldLarge || h->dataPtr == 0) {
    n = allocInOldSpace(classTagOf(h), 0, 0, flagsToCarry(h), 1, 1);
    if (n == nullptr) return nullptr;
    n->dataPtr = h->dataPtr;
    setSizeField(n, sf);
    setIndexability(n, indexabilityOf(h));
  } else {
    uint64_t bytes = bodyBytesOf(h) - (hasPtrs(h) ? 0 : (indexabilityOf(h) & 7));
    uint64_t index = hasPtrs(h) ? indexabilityOf(h) : 0;
    n = allocInOldSpace(classTagOf(h), index, bytes, flagsToCarry(h), 1, 1);
    if (n == nullptr) return nullptr;
    if (bytes != 0) memcpy(bodyOf(n), bodyOf(h), bodyBytesOf(h));
    if (!hasPtrs(h)) setIndexability(n, indexabilityOf(h));
    if (hasPtrs(n) && bodyWordsOf(n) != 0 && !inRt(n) && !registerInRt(n)) {
      releaseTenured(n);
      return nullptr;
    }
  }
  if (incMark) incMarkObj(oopOf(n));
  return n;
}

static void noteCopiedSpecial(ObjectHeader* old, ObjectHeader* copy) {
  if (weakAsStrong || !isGCSpecial(copy) || !isNewObject(oopOf(copy))) return;
  if (isWeakObject(copy)) {
    old->flags = weakList;
    weakList = oopOf(old);
  } else if (bodyWordsOf(copy) != 0 && deferEphemeron(copy)) {
    old->flags = 0;
    if (ephemeronTail == 0) ephemeronList = oopOf(old);
    else headerOf(ephemeronTail)->flags = oopOf(old);
    ephemeronTail = oopOf(old);
  }
}

void copyAndForward(ObjectHeader* h, uint32_t incMark, uint32_t tenureNow) {
  bool young = oopOf(h) >= tenureBoundary || sizeFieldOf(h) == sizeFieldLarge;
  bool tenureFirst = !young || tenureNow;
  if (young && tenurePredicate != nullptr && tenurePredicate(h)) tenureFirst = true;
  h->flags &= ~rtCountBits;  // free in new objects; they must not reach an old header
  ObjectHeader* n = tenureFirst ? tenureToOldSpace(h, incMark) : copyToFutureSpace(h);
  if (n == nullptr) n = tenureFirst ? copyToFutureSpace(h) : tenureToOldSpace(h, incMark);
  if (n == nullptr) {  // old bodies slide, headers stay: callers re-read bodies after each copy
    compact();
    n = tenureToOldSpace(h, incMark);
  }
  if (n == nullptr) scavengeFatal("Cannot tenure object.", __LINE__);
  copiesMade++;
  uint64_t adjacent = h->dataPtr - (sizeFieldOf(h) == sizeFieldExtended ? 8 : 0) == oopOf(h) + objectHeaderBytes;
  noteCopiedSpecial(h, n);  // before forwarding: reads the flags word it then reuses
  if (ephemeronBoundary != 0 && !isNewObject(oopOf(n))) h->flags = lateTenureStamp;
  h->dataPtr = oopOf(n) | (adjacent ? forwardedWithBody : forwardedOther);
}

// The reference a slot must hold once its new referent has been copied.
static oop scavengeRef(oop ref, uint32_t incMark, uint32_t tenureNow) {
  ObjectHeader* h = headerOf(ref);
  if (isForwarded(h)) return forwardeeOf(h);
  if (inFuture(ref)) return ref;
  copyAndForward(h, incMark, tenureNow);
  return forwardeeOf(h);
}

oop scavengeStackReference(oop ref) { return scavengeRef(ref, 0, 0); }

// ---- Scanning ---------------------------------------------------------------------------------

// Slots [from, to) of an old holder; answers 1 when one refers to new space afterwards. The
// body is re-read after every copy: allocation may move it.
static int scanOldSlots(ObjectHeader* holder, uint64_t from, uint64_t to, uint32_t incMark,
                        uint32_t tenureNow, const char* permFault) {
  int hasNew = 0;
  // While marking, a copy tenured into a marked holder is marked in every step, the weak and
  // ephemeron steps included, also one tenured earlier under an unmarked holder: else a
  // scanned ephemeron's key or value is swept under it.
  if (currentIncGCState == incGCMarking && isMarked(holder)) incMark = 1;
  for (uint64_t i = from; i < to; i++) {
    oop v = bodyOf(holder)[i];
    if (!isNewRef(v)) continue;
    oop n = scavengeRef(v, incMark, tenureNow);
    bodyOf(holder)[i] = n;
    if (isNewObject(n)) {
      hasNew = 1;
      continue;
    }
    if (incMark && !isMarked(headerOf(n))) incMarkObj(n);
    if (isPermObject(holder) && !isInOldRt(holder) && !registerInOldRt(holder)) scavengeFatal(permFault, __LINE__);
  }
  return hasNew;
}

static int scanOldObject(ObjectHeader* h, uint32_t incMark) {
  return scanOldSlots(h, 0, pointerSlotsOf(h), incMark, 0, "Cannot grow oldRt while scavenging referents.");
}

static void scanNewSlots(ObjectHeader* h, uint64_t from, uint64_t to, uint32_t incMark) {
  for (uint64_t i = from; i < to; i++) {
    oop v = bodyOf(h)[i];
    if (isNewRef(v)) bodyOf(h)[i] = scavengeRef(v, incMark, 0);
  }
}

static void scanFutureObject(ObjectHeader* h, uint32_t incMark) {
  uint64_t n = pointerSlotsOf(h);
  if (n == 0) return;
  if (deferEphemeron(h)) return;  // the ephemeron list holds it
  if (!weakAsStrong && isWeakObject(h)) n = namedSlotsOf(h);
  scanNewSlots(h, 0, n, incMark);
}

// Walks future space from s to its top, which moves while objects are copied; answers the
// top reached.
static uint64_t scanFutureSpaceFrom(uint64_t s, uint32_t incMark) {
  while (s < futureSpace.top) {
    ObjectHeader* h = reinterpret_cast<ObjectHeader*>(s);
    scanFutureObject(h, incMark);
    uint32_t sf = sizeFieldOf(h);
    s += objectHeaderBytes + (sf >= sizeFieldLarge ? 0 : sf == sizeFieldExtended ? 8 + bodyBytesOf(h) : sf * 8);
  }
  return s;
}

// One remembered-table entry at index i (at or beyond the partition). Answers the next index
// to look at: i itself when the entry was dropped and the last one moved in.
static uint64_t scanRtEntry(uint64_t i, uint32_t incMark) {
  ObjectHeader* h = headerOf(rtEntries()[i]);
  if (!weakAsStrong && isWeakObject(h)) {
    scanOldSlots(h, 0, namedSlotsOf(h), incMark, 0, "Cannot grow oldRt while scavenging referents.");
    uint64_t p = fssIndex();
    swapEntries(p, i);
    setFss(p + 1);
    return i + 1;
  }
  if (deferEphemeron(h)) {
    uint64_t p = fssIndex();
    swapEntries(p, i);
    setFss(p + 1);
    return i + 1;
  }
  if (scanOldObject(h, incMark)) return i + 1;
  // the scan may have grown the table: find the entry again by value
  oop* e = rtEntries();
  if (e[i] != oopOf(h)) return i + 1;
  dropRtEntry(i);
  return i;
}

// Entries from the scan index to the end, which moves as tenured objects are registered.
// marked: 1 only marked entries, -1 all but marked ones, 0 all. Answers 1 when any was met.
static int scanRtEntries(uint32_t incMark, int marked) {
  int any = 0;
  while (rt.scan < rtSize()) {
    any = 1;
    ObjectHeader* h = headerOf(rtEntries()[rt.scan]);
    if ((marked == 1 && !isMarked(h)) || (marked == -1 && isMarked(h))) {
      rt.scan++;
      continue;
    }
    rt.scan = scanRtEntry(rt.scan, incMark);
  }
  return any;
}

int scavengeClassTablePage(oop page, uint32_t incMark) {
  ObjectHeader* h = headerOf(page);
  int hasNew = scanOldSlots(h, 0, pointerSlotsOf(h), incMark, 1,
                            "Cannot grow oldRt while scavenging referents (alt).");
  if (!hasNew) clearFlag(h, inRtBit);
  return hasNew;
}

void scavengeClassTableInRt(uint32_t incMark) {
  oop pages = sysOop(sysClassTablePages);
  for (uint32_t i = 0; i <= lastClassTablePageX; i++) {
    oop page = slotOf(pages, i);
    if (page != nilOop() && inRt(headerOf(page))) scavengeClassTablePage(page, incMark);
  }
}

// ---- Tenuring predicates ----------------------------------------------------------------------

static int tenureEveryonePredicate(ObjectHeader*) { return 1; }
static int isOneOfTheseObjects(ObjectHeader* h) { return oopOf(h) == savedObjA || oopOf(h) == savedObjB; }
static int isOwnerOf(ObjectHeader* h) {
  for (uint64_t i = 0, n = pointerSlotsOf(h); i < n; i++)
    if (bodyOf(h)[i] == savedObjA) return 1;
  return 0;
}
static int isInstanceOf(ObjectHeader* h) { return classTagOf(h) == savedClassIndex; }

static int tenureLargeObjectPredicate(ObjectHeader* h) {
  if (sizeFieldOf(h) != sizeFieldLarge || largeTenured >= largeTenureBudget) return 0;
  largeTenured += int64_t(*sizeWordOf(h) / 8);
  return 1;
}

int tenureToShrinkRtPredicate(ObjectHeader* h) {
  uint64_t count = h->flags & rtCountBits;
  h->flags &= ~rtCountBits;
  if (count >= shrinkLevel) return 1;
  if (oopOf(h) >= savedTenureBoundary) return 0;
  return sizeFieldOf(h) != sizeFieldLarge;
}

// ---- Shrinking mode -----------------------------------------------------------------------------

static uint64_t countValue(uint64_t bits) {
  return ((bits >> 20) & 1) | (((bits >> 21) & 1) << 1) | (((bits >> 33) & 1) << 2);
}
static uint64_t countBits(uint64_t c) {
  return ((c & 1) << 20) | (((c >> 1) & 1) << 21) | (((c >> 2) & 1) << 33);
}

static void countRtReferences() {
  for (uint64_t i = 0, n = rtSize(); i < n; i++) {
    ObjectHeader* h = headerOf(rtEntries()[i]);
    for (uint64_t k = 0, m = pointerSlotsOf(h); k < m; k++) {
      oop v = bodyOf(h)[k];
      if (!isNewRef(v)) continue;
      ObjectHeader* r = headerOf(v);
      uint64_t c = countValue(r->flags);
      if (c < 7) r->flags = (r->flags & ~rtCountBits) | countBits(c + 1);
    }
  }
}

// The least count among an entry's new referents (7 when there is none).
static uint64_t leastCount(ObjectHeader* h) {
  uint64_t m = 7;
  for (uint64_t k = 0, n = pointerSlotsOf(h); k < n && m > 1; k++) {
    oop v = bodyOf(h)[k];
    if (isNewRef(v)) {
      uint64_t c = countValue(headerOf(v)->flags);
      if (c < m) m = c;
    }
  }
  return m;
}

// Picks the count level at which new referents are tenured so that about half the entries
// lose their last new referent.
static void prepareShrinkingMode() {
  countRtReferences();
  uint64_t h[8] = {0}, n = rtSize();
  for (uint64_t i = 0; i < n; i++) h[leastCount(headerOf(rtEntries()[i]))]++;
  uint64_t level = 7, sum = 0;
  if (n / 2 != 0) {
    while (level > 0) {
      sum += h[level];
      level--;
      if (sum >= n / 2) break;
    }
  }
  tenureToShrinkRememberedTable = 0;
  shrinkLevel = countBits(level);
  savedTenureBoundary = tenureBoundary;
  tenureBoundary = 0;
}

// ---- Weak objects and ephemerons --------------------------------------------------------------

// The queue joins the partition for the weak phase, so that its dead entries are cleared.
static void putFinalQueueInPartition() {
  oop queue = sysOop(sysFinalQueue);
  if (!isHeapObject(queue) || queue == nilOop() || isNewObject(queue)) return;
  ObjectHeader* q = headerOf(queue);
  if (isPermObject(q) && !isInOldRt(q) && !registerInOldRt(q))
    scavengeFatal("Cannot add final queue to oldRt.", __LINE__);
  if (inRt(q)) return;  // a weak entry: already in the partition
  if (!registerInRt(q)) scavengeFatal("Cannot add final queue to rt.", __LINE__);
  uint64_t p = fssIndex();
  swapEntries(p, rtSize() - 1);
  setFss(p + 1);
  rt.scan++;
}

static void scanAllSlotsOfCopy(ObjectHeader* copy) {
  if (isNewObject(oopOf(copy))) scanNewSlots(copy, 0, pointerSlotsOf(copy), 0);
  else scanOldObject(copy, 0);
}

// Fixpoint step a): list ephemerons whose key is now reachable are scanned and unlinked.
static int unlinkLiveKeyEphemerons() {
  int unlinked = 0;
  uint64_t prev = 0;
  for (uint64_t e = ephemeronList; e != 0;) {
    uint64_t next = headerOf(e)->flags;
    ObjectHeader* copy = headerOf(forwardeeOf(headerOf(e)));
    if (keyIsLive(bodyOf(copy)[0])) {
      scanAllSlotsOfCopy(copy);
      if (prev == 0) ephemeronList = next;
      else headerOf(prev)->flags = next;
      if (ephemeronTail == e) ephemeronTail = prev;
      unlinked = 1;
    } else {
      prev = e;
    }
    e = next;
  }
  return unlinked;
}

// Fixpoint step b): partition ephemerons whose key is now reachable are scanned; they leave
// the partition, or the table when nothing new is left in them.
static int scanLiveKeyPartitionEntries() {
  int changed = 0;
  for (uint64_t p = 0; p < fssIndex();) {
    ObjectHeader* h = headerOf(rtEntries()[p]);
    if (!isEphemeron(h) || !keyIsLive(bodyOf(h)[0])) {
      p++;
      continue;
    }
    changed = 1;
    int hasNew = scanOldObject(h, 0);
    uint64_t last = fssIndex() - 1;
    swapEntries(p, last);
    setFss(last);
    if (!hasNew) {  // out of the table: through the scanned part and the unscanned one
      swapEntries(last, rt.scan - 1);
      rt.scan--;
      swapEntries(rt.scan, rtSize() - 1);
      clearFlag(headerOf(rtEntries()[rtSize() - 1]), inRtBit);
      rt.ffs -= 8;
    }
  }
  return changed;
}

static uint64_t scanTableAndFuture(uint64_t* s, int* any) {
  uint64_t before = copiesMade;
  for (;;) {
    int met = scanRtEntries(0, 0);
    uint64_t top = scanFutureSpaceFrom(*s, 0);
    met |= top != *s;
    *s = top;
    if (!met) break;
    *any = 1;
  }
  return copiesMade - before;
}

static void ephemeronFixpoint(uint64_t* s) {
  for (;;) {
    uint64_t before = copiesMade;
    int any = unlinkLiveKeyEphemerons();
    any |= scanLiveKeyPartitionEntries();
    scanTableAndFuture(s, &any);
    if (!any && copiesMade == before) return;
  }
}

// Final pass a): list ephemerons after the cursor; a dead key is counted, then key and value
// are kept for this scavenge.
static void keepListEphemerons() {
  uint64_t e = ephemeronCursor == 0 ? ephemeronList : headerOf(ephemeronCursor)->flags;
  for (; e != 0; e = headerOf(e)->flags) {
    ObjectHeader* copy = headerOf(forwardeeOf(headerOf(e)));
    if (keyIsDead(bodyOf(copy)[0])) {
      setFlag(copy, deadKeyBit);
      deadKeyCount++;
    }
    scanAllSlotsOfCopy(copy);
    ephemeronCursor = e;
  }
}

// Final pass b): partition ephemerons; counted dead-key ones gather below deadPartitionEnd,
// also when their keys were tenured: they are queued all the same.
static int keepPartitionEphemerons() {
  int changed = 0;
  for (uint64_t p = deadPartitionEnd; p < fssIndex();) {
    ObjectHeader* h = headerOf(rtEntries()[p]);
    if (!isEphemeron(h)) {
      p++;
      continue;
    }
    changed = 1;
    bool dead = keyIsDead(bodyOf(h)[0]);
    scanOldObject(h, 0);
    if (dead) {
      swapEntries(p, deadPartitionEnd++);
      deadKeyCount++;
      p++;
      continue;
    }
    uint64_t last = fssIndex() - 1;
    swapEntries(p, last);
    setFss(last);
  }
  return changed;
}

static void ephemeronFinalPass(uint64_t* s) {
  ephemeronBoundary = *s;
  deferEphemerons = 0;
  deadKeyCount = 0;
  deadPartitionEnd = 0;
  for (;;) {
    uint64_t tail = ephemeronTail;
    int any = 0;
    keepListEphemerons();
    do {
      any |= scanRtEntries(0, 0);
      any |= keepPartitionEphemerons();
    } while (rt.scan < rtSize());
    uint64_t top = scanFutureSpaceFrom(*s, 0);
    any |= top != *s;
    *s = top;
    if (tail == ephemeronTail && !any) return;
  }
}

// Without room none is queued: they were kept alive and are found again next time.
static void queueDeadKeyEphemerons() {
  bool room = deadKeyCount > 0 && reserveOnEphemeronQueue(uint64_t(deadKeyCount));
  for (uint64_t e = ephemeronList; e != 0; e = headerOf(e)->flags) {
    ObjectHeader* copy = headerOf(forwardeeOf(headerOf(e)));
    if (!hasFlag(copy, deadKeyBit)) continue;
    clearFlag(copy, deadKeyBit);
    if (room) addToEphemeronQueue(oopOf(copy));
  }
  for (uint64_t p = 0; room && p < deadPartitionEnd; p++) addToEphemeronQueue(rtEntries()[p]);
}

// Clears the indexed slots of a weak object whose referents died; answers 1 when it still
// refers to new space.
static int processWeakObject(ObjectHeader* h) {
  int r = 0, cleared = 0, tenured = 0;
  uint64_t named = namedSlotsOf(h), n = pointerSlotsOf(h);
  for (uint64_t i = 0; i < named; i++) r |= isNewRef(bodyOf(h)[i]);
  for (uint64_t i = named; i < n; i++) {
    oop v = bodyOf(h)[i];
    if (!isNewRef(v)) continue;
    ObjectHeader* ref = headerOf(v);
    if (isForwarded(ref)) {
      bodyOf(h)[i] = forwardeeOf(ref);
      if (isNewObject(forwardeeOf(ref))) r = 1;
      else tenured = 1;
    } else if (inFuture(v)) {
      r = 1;
      break;
    } else {
      bodyOf(h)[i] = sysOop(sysEmptySlotMarker);
      cleared = 1;
    }
  }
  if (cleared) addToFinalQueue(oopOf(h));
  if (tenured && !isNewObject(oopOf(h)) && isPermObject(h)) {
    if (!isInOldRt(h) && !registerInOldRt(h)) scavengeFatal("Cannot grow oldRt while updating weak objects.", __LINE__);
    addToIncWeakListFunc(oopOf(h));
  }
  return r;
}

static void processWeakObjects() {
  rt.scan = 0;
  for (uint64_t p = 0; p < fssIndex();) {
    ObjectHeader* h = headerOf(rtEntries()[p]);
    if (!isWeakObject(h) || processWeakObject(h)) {
      p++;
      continue;
    }
    dropRtEntry(p);
    if (fssIndex() > rtSize()) setFss(rtSize());
  }
  setFss(0);
  for (uint64_t e = weakList; e != 0; e = headerOf(e)->flags) processWeakObject(headerOf(forwardeeOf(headerOf(e))));
}

// ---- The scavenge -------------------------------------------------------------------------------

static void scanRoots(uint64_t* s) {
  if (currentIncGCState == incGCMarking) {
    rt.scan = 0;
    scavengeClassTableInRt(1);
    // Copies tenured meanwhile are marked and appended: they are scanned here, since the
    // pass over unmarked entries below skips them.
    for (;;) {
      int met = scanRtEntries(1, 1);
      uint64_t top = scanFutureSpaceFrom(*s, 1);
      met |= top != *s;
      *s = top;
      if (!met) break;
    }
  } else {
    scavengeClassTableInRt(0);
  }
  stackHooks.scavengeStacks();
  rt.scan = fssIndex();
  int marked = currentIncGCState == incGCMarking ? -1 : 0;
  for (;;) {
    int met = scanRtEntries(0, marked);
    uint64_t top = scanFutureSpaceFrom(*s, 0);
    met |= top != *s;
    *s = top;
    if (!met) return;
  }
}

static void weakPhases(uint64_t* s) {
  putFinalQueueInPartition();
  ephemeronFixpoint(s);
  ephemeronFinalPass(s);
  queueDeadKeyEphemerons();
  processWeakObjects();
}

static void exchangeSurvivorSpaces(uint64_t s) {
  eden.allocPtr = eden.start;
  SurvivorSpace past = pastSpace;
  pastSpace = {futureSpace.start, s, futureSpace.end};
  futureSpace = {past.start, past.start, past.end};
}

static void testLowSpace() {
  if (lowSpaceLimit == 0) return;
  writeBackOldSpace();
  uint64_t r = osReserveSlots;
  uint64_t g = (oldSpace.otLow - oldSpace.dataTop + 16) / 8;
  if (g >= r && g + oldSpaceSegs.freeSlots >= lowSpaceLimit / 8 + r) return;
  if (!sufficientFreeContiguousSpace(r) || slotsFreeInOldSpaceMinusReserve() < int64_t(lowSpaceLimit / 8))
    setRequest(requestLowSpace);
}

static void startScavenge(TenurePredicate predicate, int mode) {
  weakList = ephemeronList = ephemeronTail = ephemeronCursor = 0;
  ephemeronBoundary = 0;
  weakAsStrong = mode == 1;
  deferEphemerons = mode != 1;
  uint64_t u = (pastSpace.top - pastSpace.start) / 8;
  tenureBoundary = int64_t(u) > tenureThreshold ? pastSpace.start + (u - uint64_t(tenureThreshold)) * 8 : 0;
  largeTenureBudget = int64_t(largeSlotsToTenure());
  largeTenured = 0;
  numScavenges++;
  tenurePredicate = predicate != nullptr ? predicate : largeTenureBudget >= 1 ? tenureLargeObjectPredicate : nullptr;
  scavengeInProgress = 1;
  if (predicate == tenureToShrinkRtPredicate) prepareShrinkingMode();
  setFss(0);
}

int runScavenge(TenurePredicate predicate, int skipRoomCheck, int mode) {
  uint64_t worst = (pastSpace.top - pastSpace.start + eden.allocPtr - eden.start) / 8;
  if (!skipRoomCheck && !sufficientFreeContiguousSpace(worst)) return 0;
  if (scavengeStressInterval != 0) verifyBeforeScavenge();
  startScavenge(predicate, mode);
  uint64_t s = futureSpace.start;
  scanRoots(&s);
  if (!weakAsStrong) weakPhases(&s);
  rt.fss = 0;
  codeHooks.nmUpdateNewRefs();
  computeRtWarning();
  sweepAndCompactLtAfterScavenge();
  sweepAndCompactFtAfterScavenge();
  exchangeSurvivorSpaces(s);
  shrinkRt();
  signalFinalizationSemaphoreIfRequired();
  if (tenureToShrinkRememberedTable) setRequest(requestScavenge);
  else clearRequest(requestScavenge);
  scavengeInProgress = 0;
  tenurePredicate = nullptr;
  testLowSpace();
  if (scavengeStressInterval != 0) verifyAfterScavenge();
  return 1;
}

// ---- Entry points -------------------------------------------------------------------------------

int64_t scavengeSemaphoreX = -1;

static void signalScavengeSemaphore() {
  if (scavengeSemaphoreX >= 1 && sysOop(uint32_t(scavengeSemaphoreX)) != nilOop())
    stackHooks.asynchSignal(sysOop(uint32_t(scavengeSemaphoreX)));
}

static int signalled(int ran) {
  if (ran) signalScavengeSemaphore();
  return ran;
}

int scavengeNewSpace() {
  return signalled(runScavenge(tenureToShrinkRememberedTable ? tenureToShrinkRtPredicate : nullptr, 1, 0));
}
void serveScavengeRequest() {
  scavengeNewSpace();
  gcStressAfterScavenge();
}
// Without room for the survivors nothing moves, and eden may still hold objects even when past
// space is empty: that is a failure, never a flushed new space.
int flushNewSpace() {
  if (!signalled(runScavenge(tenureEveryonePredicate, 0, 0))) return 0;
  return pastSpace.top == pastSpace.start;
}
int flushEden() { return signalled(runScavenge(nullptr, 0, 1)); }
int scavengeTenuringEveryone() { return signalled(runScavenge(tenureEveryonePredicate, 0, 1)); }
int scavengeTenuringTheseObjs(oop a, oop b) {
  savedObjA = a, savedObjB = b;
  return runScavenge(isOneOfTheseObjects, 0, 1);
}
int scavengeTenuringOwnersOf(oop x) {
  savedObjA = x;
  return runScavenge(isOwnerOf, 0, 1);
}
int scavengeTenuringInstancesOf(uint32_t classIndex) {
  savedClassIndex = classIndex;
  return runScavenge(isInstanceOf, 0, 1);
}

int updateNewObjRef(oop* slot) {
  oop v = *slot;
  if (!isNewRef(v)) return 0;
  if (isForwarded(headerOf(v))) {
    *slot = forwardeeOf(headerOf(v));
    return 1;
  }
  return inFuture(v) ? 1 : 0;
}

// A threshold that filled past space would leave no room for the survivors of one scavenge;
// 250 slots are kept back.
int64_t initScavenger(uint64_t bytes) {
  int64_t pastSlots = int64_t((pastSpace.end - pastSpace.start) / 8);
  int64_t wanted = int64_t(bytes / 8), limit = pastSlots - 250;
  tenureThreshold = wanted < limit ? wanted : limit;
  setRequestServer(requestScavenge, serveScavengeRequest);
  return tenureThreshold * 8;
}

int64_t getTenureThreshold() { return tenureThreshold; }

void printScavengerUsageTo(FILE* stream) {
  fprintf(stream, "Scavenges: %" PRIi64 ", low space limit: %" PRIi64 ", reserve slots: %" PRIi64 "\n",
          int64_t(numScavenges), int64_t(lowSpaceLimit), int64_t(osReserveSlots));
}

// ---- Primitives 308 and 309 ---------------------------------------------------------------------

enum : uint64_t { defaultLargeTenureSlots = 5000 };

static uint64_t largeSpaceSlots() {
  const BlockTable& t = largeSpace.table;
  if (t.firstBlock == nullptr) return 0;
  return (reinterpret_cast<uint64_t>(t.highest) + btEntryWords * 8 - t.firstBlock->block) / 8;
}

// A fraction slot: nil (unchanged), or a Float, boxed or immediate. 0 when it is neither.
static int readFraction(oop v, bool* given, double* f) {
  *given = v != nilOop();
  if (!*given) return 1;
  if (isSmallDouble(v)) {
    *f = loadSmallDoubleFromOop(v);
  } else if (isHeapObject(v) && classOf(v) == sysOop(sysFloatClass) && !hasPtrs(headerOf(v)) &&
             sizeFieldOf(headerOf(v)) < sizeFieldLarge && byteSizeOf(headerOf(v)) == 8) {
    memcpy(f, bodyOf(headerOf(v)), 8);
  } else {
    return 0;
  }
  return !std::isnan(*f) && *f <= 1.0;  // NaN fits no rule of the table
}

static uint32_t savedFraction(double f) { return f < 0 ? 0 : uint32_t(f * 10000 + 0.5); }

// The eden limit moves only while every stack is stable: generated code holds it.
static int moveEdenWarningLimit(uint64_t limit) {
  pdStartLongComp(100);
  int ok = stackHooks.stabilizeAllStacks();
  if (ok && scavengeStressInterval == 0) {  // the stress switch holds the limit at eden's start
    eden.warningLimit = limit;
    codeHooks.tranNoteEdenWarningThresholdChanged();
  }
  pdFinishLongComp();
  return ok;
}

static oop primSetScavengeParameters(oop receiver, oop params) {
  if (isImmediate(params) || classOf(params) != sysOop(sysArrayClass) || pointerSlotsOf(headerOf(params)) < 3)
    return failPrimitive(primErrorAt(3), 1);
  bool given[3];
  double f[3] = {0, 0, 0};
  for (int i = 0; i < 3; i++)
    if (!readFraction(slotOf(params, uint64_t(i)), &given[i], &f[i])) return failPrimitive(primErrorAt(3), 1);
  uint64_t edenSlots = (eden.end - eden.start) / 8, pastSlots = (pastSpace.end - pastSpace.start) / 8;
  uint64_t limit = eden.warningLimit;
  if (given[0]) {
    limit = f[0] < 0 ? eden.end - scavengeWarningThreshold * 8 : eden.start + uint64_t(double(edenSlots) * f[0]) * 8;
    imageLayout.edenWarningFraction = savedFraction(f[0]);
  }
  if (given[1]) {
    tenureThreshold = f[1] < 0 ? int64_t(platformTenureThreshold / 8) : int64_t(double(pastSlots) * f[1]);
    imageLayout.tenureFraction = savedFraction(f[1]);
  }
  if (given[2]) {
    largeSpace.tenureThresholdWords =
        f[2] < 0 ? defaultLargeTenureSlots : uint64_t((1.0 - f[2]) * double(largeSpaceSlots()));
    imageLayout.largeTenureFraction = savedFraction(f[2]);
  }
  commitPrimitive(receiver);
  if (limit != eden.warningLimit && !moveEdenWarningLimit(limit)) return failPrimitive(primErrorAt(1), 1);
  handleRequests();
  return receiver;
}

static oop newFloat(double d) {
  oop cls = sysOop(sysFloatClass);
  ObjectHeader* h = allocSmallObj(hashOf(headerOf(cls)), 0, 8, 0, noFill);
  if (h == nullptr) return 0;
  memcpy(bodyOf(h), &d, 8);
  return oopOf(h);
}

static oop primGetScavengeParameters(oop receiver) {
  (void)receiver;
  double edenSlots = double((eden.end - eden.start) / 8), pastSlots = double((pastSpace.end - pastSpace.start) / 8);
  double largeSlots = double(largeSpaceSlots());
  double d[3] = {(edenSlots - double(scavengeWarningThreshold)) / edenSlots,
                 double(platformTenureThreshold / 8) / pastSlots,
                 largeSlots == 0 ? 0.0 : (largeSlots - double(defaultLargeTenureSlots)) / largeSlots};
  ObjectHeader* array = allocVSObj(sysOop(sysArrayClass), 3);
  if (array == nullptr) return failPrimitive(primErrorAt(1), 0);
  oop result = oopOf(array);
  for (uint64_t i = 0; i < 3; i++) {
    oop f = newFloat(d[i]);  // may scavenge: the Array is found again through its slot
    if (f == 0) return failPrimitive(primErrorAt(1), 0);
    storeSlot(result, i, f, whereScavenge, 1032);
  }
  return result;
}

void initScavengePrims() {
  addCPrimitive(308, reinterpret_cast<const void*>(primSetScavengeParameters), 1);
  addCPrimitive(309, reinterpret_cast<const void*>(primGetScavengeParameters), 0);
}
