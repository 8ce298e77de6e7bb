// Translator: the native-method zone: code-area layout, block allocator, permanent area,
// scratch space, zone walkers and listings.
// Owns nmZone and its counters. Prefix: nMethod, nm, print.
#include "tran/nmalloc.h"
#include "tran/tnmprim.h"

#include <cinttypes>
#include <cstring>

#include "ext/exError.h"
#include "ext/exPrimTable.h"
#include "ext/platform.h"
#include "mman/mmHooks.h"
#include "mman/mmObject.h"
#include "mman/mmOldSpace.h"
#include "mman/mmScavenge.h"
#include "mman/mmSysOop.h"
#include "stack/glue.h"
#include "stack/glueMap.h"
#include "stack/stackzone.h"
#include "tran/cgenx86_64.h"
#include "tran/taux.h"
#include "tran/tloop.h"
#include "tran/tmain.h"
#include "tran/tpcmap.h"
#include "tran/tprim.h"
#include "tran/txmem.h"

NMZone nmZone;
uint64_t nmZoneSize;
uint64_t nmAllocRequest;
uint64_t minNZonePC;
uint64_t maxNZonePC;
uint64_t minNZoneRTPC;
uint64_t runtimeBase;
uint64_t icacheStubAddress;
uint32_t tHasCleanSends;
uint32_t relocatingNMethods;
NMethodZoneHooks nmHooks;

static void flushNothing() {}
extern "C" {
void (*rtFlushICache)() = flushNothing;
}

static const char nmallocFile[] = "src/tran/nmalloc.c";

static inline NMethodHeader* blockAt(uint64_t a) { return reinterpret_cast<NMethodHeader*>(a); }
static inline uint64_t addressOf(const NMethodHeader* b) { return reinterpret_cast<uint64_t>(b); }

// ---- Layout ---------------------------------------------------------------------------------

// The i-cache stub: a short jump to the next instruction, then a return. Calling it
// serialises instruction fetch after code was written.
static int64_t initClearICache(uint64_t area, uint64_t size) {
  if (size < 3) return -1;
  emitRet(emitJmpRel8(reinterpret_cast<uint8_t*>(area), 0));
  icacheStubAddress = area;
  if (pdMustFlushICache() != 0) rtFlushICache = reinterpret_cast<void (*)()>(area);
  return 3;
}

// The method cache: 2048 entries of 16 bytes, cleared (a hook may place another).
static int64_t initMCacheArea(uint64_t address, uint64_t bytes) {
  if (nmHooks.initMCache != nullptr) return nmHooks.initMCache(address, bytes);
  return initMCache(address, bytes);
}

void initNMethodAlloc(uint64_t codeArea, uint64_t size) {
  int64_t stub = initClearICache(codeArea, size);
  if (stub < 0) doPanic(nmallocFile, __LINE__);
  int64_t cache = initMCacheArea(codeArea + uint64_t(stub), size - uint64_t(stub));
  if (cache < 0) doPanic(nmallocFile, __LINE__);
  uint64_t end = codeArea + size;
  uint64_t bottom = (codeArea + uint64_t(stub) + uint64_t(cache) + 15) & ~uint64_t(15);
  uint64_t top = (end - 1) & ~uint64_t(15);
  if (top < bottom || top - bottom < nmZoneReserve) doPanic(nmallocFile, __LINE__);
  nmZone.bottom = bottom;
  nmZoneSize = end - bottom;
  minNZonePC = bottom;
  nmZone.top = top;
  maxNZonePC = minNZoneRTPC = top - 1;
  reInitNMethods();
}

int initNMethods(uint64_t codeArea, uint64_t size) {
  initNMethodAlloc(codeArea, size);
  tHasCleanSends = pdMustFlushICache() == 0;
  initPrimitiveTable();
  initNMethodPrims();
  if (nmHooks.initTranslator != nullptr) nmHooks.initTranslator();
  runtimeBase = nMethodPermAlloc(0);
  // A jump with a zero displacement at the scratch position, not claimed: the translator
  // measures jump encodings against it.
  uint64_t scratch = nMethodAllocScratch(40);
  if (scratch != 0) cgenPutL(0, emitJmpRel8(reinterpret_cast<uint8_t*>(scratch), 0));
  initGlueMap();
  return 1;
}

void reInitNMethods() {
  if (nmHooks.clearMCache != nullptr) nmHooks.clearMCache();
  else clearMCache();
  clearNTable();
  nmZone.holesBytes = 0;
  nmZone.free = nmZone.holesStart = nmZone.bottom;
  nmZone.list = nmZone.top;
}

void scratchNmzBounds(uint64_t* low, uint64_t* high) {
  *low = nmZone.bottom;
  *high = nmZone.top;
}

// ---- Blocks ---------------------------------------------------------------------------------

static NMethodHeader* claim(uint64_t p, uint32_t rounded) {
  NMethodHeader* b = blockAt(p);
  b->usedSize = rounded;
  b->flags = 0;
  b->mark = nmMarkAllocated;
  return b;
}

// First fit from holesStart. Free neighbours are merged while scanning; a hole larger than
// the request by 16 or 32 bytes is passed over, since its remainder could not hold a header.
static NMethodHeader* firstFit(uint32_t rounded) {
  uint64_t p = nmZone.holesStart;
  while (p < nmZone.free) {
    NMethodHeader* b = blockAt(p);
    if (b->usedSize != 0) { p += b->usedSize; continue; }
    uint64_t s = b->vmethod;
    if (s == rounded) {
      nmZone.holesBytes -= s;
      nmZone.holesStart = p;
      return claim(p, rounded);
    }
    if (s > uint64_t(rounded) + nmMinSplitExcess) {
      NMethodHeader* rest = blockAt(p + rounded);
      rest->usedSize = 0;
      rest->vmethod = s - rounded;
      nmZone.holesBytes -= rounded;
      nmZone.holesStart = p + rounded;
      return claim(p, rounded);
    }
    uint64_t q = p + s;
    if (q >= nmZone.free) return nullptr;
    NMethodHeader* next = blockAt(q);
    if (next->usedSize == 0) b->vmethod = s + next->vmethod;  // merge, look at p again
    else p = q;
  }
  return nullptr;
}

NMethodHeader* nMethodAlloc(uint64_t size) {
  nmAllocRequest = size;
  uint32_t rounded = (uint32_t(size) + 15) & ~uint32_t(15);
  if (nmZone.free + rounded + nmZoneReserve < nmZone.list) {
    uint64_t p = nmZone.free;
    nmZone.free += rounded;
    return claim(p, rounded);
  }
  return firstFit(rounded);
}

void nMethodDealloc(NMethodHeader* block) {
  uint64_t p = addressOf(block);
  txForgetBlockEntries();
  // A freed block has no used size; only the empty trial block at free may have none too.
  tsAssert(p >= nmZone.bottom && p + block->usedSize <= nmZone.free && (block->usedSize != 0 || p == nmZone.free),
           "chain ends at free");
  if (p + block->usedSize == nmZone.free) nmZone.free = p;
  else nmZone.holesBytes += block->usedSize;
  if (p < nmZone.holesStart) nmZone.holesStart = p;
  block->vmethod = block->usedSize;
  block->usedSize = 0;
}

void nMethodShorten(NMethodHeader* block, uint64_t newSize) {
  uint32_t rounded = (uint32_t(newSize) + 15) & ~uint32_t(15);
  uint64_t p = addressOf(block);
  if (p + block->usedSize == nmZone.free) {
    block->usedSize = rounded;
    nmZone.free = p + rounded;
    return;
  }
  uint32_t tail = block->usedSize - rounded;
  if (tail < nmMinShortenTail) return;
  NMethodHeader* rest = blockAt(p + rounded);
  rest->usedSize = 0;
  rest->vmethod = tail;
  nmZone.holesBytes += tail;
  // Keep "no free block below holes start", or first fit would never find this tail.
  if (p + rounded < nmZone.holesStart) nmZone.holesStart = p + rounded;
  block->usedSize = rounded;
}

int nMethodAddToList(uint64_t nmethod) {
  if (nmZone.list < nmZone.free + nmZoneReserve) return 0;
  nmZone.list -= 8;
  *reinterpret_cast<uint64_t*>(nmZone.list) = nmethod;
  return 1;
}

// Walks from the entry just below top downwards; kept answers are packed against top in
// the same order.
void nMethodSelectFromList(uint64_t (*fn)(uint64_t entry)) {
  uint64_t* out = reinterpret_cast<uint64_t*>(nmZone.top);
  for (uint64_t* in = out - 1; reinterpret_cast<uint64_t>(in) >= nmZone.list; in--) {
    uint64_t kept = fn(*in);
    if (kept != 0) *--out = kept;
  }
  nmZone.list = reinterpret_cast<uint64_t>(out);
}

int nMethodZoneDo(void (*fn)(NMethodHeader* block, void* data), void* data) {
  for (uint64_t p = nmZone.bottom; p < nmZone.free;) {
    NMethodHeader* b = blockAt(p);
    uint64_t step = nMethodBlockSize(b);
    if (step < nMethodHeaderSize) return 0;
    fn(b, data);
    p += step;
  }
  return 1;
}

uint64_t nMethodForPC(uint64_t pc) {
  if (pc >= nmZone.bottom && pc < nmZone.free) {
    for (uint64_t p = nmZone.bottom; p < nmZone.free;) {
      uint64_t step = nMethodBlockSize(blockAt(p));
      if (step < nMethodHeaderSize) break;
      if (pc < p + step) return p;
      p += step;
    }
  }
  for (uint64_t e = nmZone.list; e < nmZone.top; e += 8) {
    uint64_t b = *reinterpret_cast<uint64_t*>(e);
    if (b >= nmZone.bottom && b + nMethodHeaderSize <= nmZone.free && pc >= b &&
        pc < b + nMethodBlockSize(blockAt(b)))
      return b;
  }
  return 0;
}
uint64_t nMethodForPCVal(uint64_t pc) { return nMethodForPC(pc); }

int isNMethod(uint64_t p) {
  if ((p & 7) != 0 || p < minNZonePC || p >= minNZoneRTPC) return 0;
  if (p < nmZone.bottom || p + nMethodHeaderSize > nmZone.free) return 0;
  const NMethodHeader* b = blockAt(p);
  if (b->usedSize != 0 && p + b->usedSize == nmZone.free) return 1;
  if (relocatingNMethods == 0 && nMethodIsInTables(p)) return 1;
  for (uint64_t q = nmZone.bottom; q < nmZone.free;) {
    const NMethodHeader* c = blockAt(q);
    uint64_t step = nMethodBlockSize(c);
    if (step < nMethodHeaderSize || q > p) return 0;
    if (q == p) return c->usedSize != 0;
    q += step;
  }
  return 0;
}

static int compactAttempt() {
  int64_t zone = int64_t(nmZoneSize);
  int64_t wanted = zone / 4 + int64_t(nmAllocRequest);
  if (zone / 3 > wanted) wanted = zone / 3;
  int64_t target = wanted - int64_t(nmZone.top - nmZone.free) - int64_t(nmZone.holesBytes);
  nmCompact(target > 0 ? target : 0);
  NMethodHeader* trial = nMethodAlloc(nmAllocRequest);
  if (trial == nullptr) return 0;
  nMethodDealloc(trial);
  return 1;
}

int compactNMethods() {
  memoryStats.numCompactNMethods++;
  for (int attempt = 0; attempt < 2; attempt++)
    if (compactAttempt()) return 1;
  return 0;
}

int compactAllNMethods() {
  nmAllocRequest = nmZoneSize;
  return compactNMethods();
}

uint64_t nMethodAllocScratch(uint64_t size) {
  if (nmZone.free + size < nmZone.list) return nmZone.free;
  doReportError("Could not provide scratch space for compilation", errFatal | errCauseVMBug,
                nmallocFile, __LINE__);
  return 0;
}

uint64_t nMethodPermAlloc(uint64_t size) {
  uint64_t rounded = (size + 15) & ~uint64_t(15);
  uint64_t newList = nmZone.list - rounded;
  if (rounded > nmZone.list || newList <= nmZone.free + nmZoneReserve) {
    nmAllocRequest = size;
    return 0;
  }
  memmove(reinterpret_cast<void*>(newList), reinterpret_cast<void*>(nmZone.list), nmZone.top - nmZone.list);
  nmZone.list = newList;
  nmZone.top -= rounded;
  minNZoneRTPC = nmZone.top;
  return nmZone.top;
}

// The primitive table's sub-tables go to the permanent area too.
uint64_t (*const primSubTableAlloc)(uint64_t bytes) = nMethodPermAlloc;

// ---- Listings -------------------------------------------------------------------------------

static void stateText(const NMethodHeader* b, char* out, size_t cap) {
  if (b->usedSize == 0) {
    snprintf(out, cap, "free");
    return;
  }
  int n = b->mark != 0 ? snprintf(out, cap, "in-use, mark=%d", b->mark) : snprintf(out, cap, "in-use, unmarked");
  static const struct { uint8_t flag; const char* text; } names[] = {
      {nmFlagBlock, ", block"},   {nmFlagNewRef, ", has new ref"}, {nmFlagPrimitive, ", has prim"},
      {nmFlagUnwind, ", is unwind"}, {nmFlagHandler, ", is handle"}, {nmFlagUnlinked, ", UNLINKED"}};
  for (const auto& f : names)
    if ((b->flags & f.flag) != 0 && size_t(n) < cap) n += snprintf(out + n, cap - size_t(n), "%s", f.text);
}

// A selector is printed only when it is a heap object holding bytes.
static int selectorText(uint64_t selector, const char** chars) {
  if (selector == 0 || !isHeapObject(selector)) return 0;
  const ObjectHeader* h = headerOf(selector);
  if (hasPtrs(h)) return 0;
  *chars = reinterpret_cast<const char*>(bodyOf(h));
  return int(byteSizeOf(h));
}

void printNMethod(uint64_t block, FILE* stream) {
  if (!isNMethod(block)) {
    fprintf(stream, "0x%" PRIx64 " is not an nmethod\n", block);
    return;
  }
  const NMethodHeader* b = blockAt(block);
  if ((b->flags & nmFlagPIC) != 0 && nmHooks.printNPIC != nullptr) {
    nmHooks.printNPIC(block, stream);
    return;
  }
  const char* chars = "";
  int length = (b->flags & nmFlagBlock) != 0 ? 0 : selectorText(b->selector, &chars);
  char state[160];
  stateText(b, state, sizeof state);
  fprintf(stream,
          "nMethod 0x%" PRIx64 ": %s (entry: 0x%" PRIx64 ")\n  %susedSize=0x%x link=0x%" PRIx64
          "\n  numArgs=%d numTemps=%d frame=%d\n  vmethod=0x%" PRIx64 " selector=0x%" PRIx64 " (%.*s)\n",
          block, state, block + nMethodEntry, "", b->usedSize, b->link, b->numArgs, b->numTemps, b->frame,
          b->vmethod, b->selector, length, chars);
}

void printNM(uint64_t block) { printNMethod(block, pdDebugLog(1)); }
void dbPrintNMethod(uint64_t block) { printNMethod(block, pdDebugLog(1)); }
void printNMAtPC(uint64_t pc) {
  uint64_t b = nMethodForPC(pc);
  if (b != 0) printNM(b);
}

static void printBlock(NMethodHeader* b, void* stream) { printNMethod(addressOf(b), static_cast<FILE*>(stream)); }

void printNMZone() {
  FILE* out = pdDebugLog(1);
  fprintf(out, "nMethodZone\n\tbottom=%" PRIx64 " free=%" PRIx64 "\n\tlist=%" PRIx64 " top=%" PRIx64
          " holes=%" PRIx64 "\n", nmZone.bottom, nmZone.free, nmZone.list, nmZone.top, nmZone.holesBytes);
  nMethodZoneDo(printBlock, out);
  fprintf(out, "nMethod list:\n");
  int column = 0;
  for (uint64_t e = nmZone.top - 8; e >= nmZone.list && e < nmZone.top; e -= 8) {
    fprintf(out, "%10" PRIx64, *reinterpret_cast<uint64_t*>(e));
    if (++column % 4 == 0) fprintf(out, "\n");
  }
  if (column % 4 != 0) fprintf(out, "\n");
}

static void printIfUnlinked(NMethodHeader* b, void*) {
  if (b->usedSize == 0 || (b->flags & nmFlagUnlinked) == 0) return;
  const char* chars = "";
  int length = selectorText(b->selector, &chars);
  printf("0x%" PRIx64 ": %.*s\n", addressOf(b), length, chars);
}
void printUnlinkedNMethods() { nMethodZoneDo(printIfUnlinked, nullptr); }

static void printIfMethod(NMethodHeader* b, void* method) {
  if (b->usedSize != 0 && b->vmethod == *static_cast<uint64_t*>(method)) printf("0x%" PRIx64 "\n", addressOf(b));
}
void printNMethodsForVMethod(uint64_t method) { nMethodZoneDo(printIfMethod, &method); }

// ---- Method-to-nmethod tables ---------------------------------------------------------------

uint32_t notInTableReason;
uint32_t nmFreeBucketCursor;
int32_t nmFreeTableCursor = nmPICTable;
NPICMaintenance npicOps;

static inline uint64_t* linkWord(uint64_t nmethod) { return &blockAt(nmethod)->link; }
static inline bool isPIC(const NMethodHeader* b) { return (b->flags & nmFlagPIC) != 0; }
static inline bool inZone(uint64_t p) { return p >= nmZone.bottom && p < nmZone.free; }

VToNTable* tableOfNMethod(const NMethodHeader* nmethod) {
  if (isPIC(nmethod)) return &allVToNTables[nmPICTable];
  return tableForNMethod(addressOf(nmethod));
}

uint32_t nmTableKey(const NMethodHeader* nmethod) {
  oop key = isPIC(nmethod) ? nmethod->selector : nmethod->vmethod;
  if (isImmediate(key)) return uint32_t(key >> 3);
  if (key == 0) return 0;
  uint32_t h = hashOf(headerOf(key));
  return h != 0 ? h : getObjHash(headerOf(key));
}

void nmTableAdd(NMethodHeader* nmethod) {
  VToNTable* t = tableOfNMethod(nmethod);
  uint64_t* bucket = &t->buckets[nmTableKey(nmethod) & t->mask];
  nmethod->link = *bucket;
  *bucket = addressOf(nmethod);
}

// The chain an nmethod would be in, or null when its key object has no hash (never filed).
static uint64_t* bucketOf(const NMethodHeader* nmethod) {
  oop key = isPIC(nmethod) ? nmethod->selector : nmethod->vmethod;
  if (!isImmediate(key) && (key == 0 || !isHeapObject(key) || hashOf(headerOf(key)) == 0)) return nullptr;
  VToNTable* t = tableOfNMethod(nmethod);
  return &t->buckets[nmTableKey(nmethod) & t->mask];
}

uint64_t* findNMethodLinkBefore(const NMethodHeader* nmethod) {
  uint64_t* pp = bucketOf(nmethod);
  if (pp == nullptr) return nullptr;
  for (; *pp != 0; pp = linkWord(*pp))
    if (*pp == addressOf(nmethod)) return pp;
  return nullptr;
}

// The block's table is searched chain by chain, so that nothing it names is read before it is
// known to be a filed nmethod (a stale or damaged block may name anything).
int nMethodIsInTables(uint64_t block) {
  if ((block & 7) != 0 || block < nmZone.bottom || block + nMethodHeaderSize > nmZone.free) {
    notInTableReason = 1;
    return 0;
  }
  const NMethodHeader* b = blockAt(block);
  if (isPIC(b) ? b->selector == 0 : (b->vmethod == 0 || !isHeapObject(b->vmethod))) {
    notInTableReason = isPIC(b) ? 2 : 4;
    return 0;
  }
  const VToNTable* t = tableOfNMethod(b);
  for (uint32_t i = 0; i <= t->mask; i++)
    for (uint64_t e = t->buckets[i]; e != 0; e = *linkWord(e))
      if (e == block) return 1;
  notInTableReason = 5;
  return 0;
}

// ---- Freeing --------------------------------------------------------------------------------

// Chains are kept most recently found first; reversed, a walk meets the oldest first.
static void nmReverseChains() {
  for (VToNTable& t : allVToNTables)
    for (uint32_t i = 0; i <= t.mask; i++) {
      uint64_t reversed = 0;
      for (uint64_t e = t.buckets[i]; e != 0;) {
        uint64_t next = *linkWord(e);
        *linkWord(e) = reversed;
        reversed = e;
        e = next;
      }
      t.buckets[i] = reversed;
    }
}

uint64_t nmFreeUntil(uint64_t bytesWanted, uint32_t mask, int stopIfNothingWanted) {
  if (bytesWanted == 0 && stopIfNothingWanted) return 0;
  nmReverseChains();
  const uint32_t stepsPerPass = nmTableCount * (allVToNTables[nmMethodTable].mask + 1);
  uint64_t freed = 0;
  uint32_t bucket = nmFreeBucketCursor;
  int32_t table = nmFreeTableCursor;
  bool done = false;
  for (uint32_t passMask = mask; !done;) {
    for (uint32_t step = 0; step < stepsPerPass && !done; step++) {
      VToNTable& t = allVToNTables[table];
      uint64_t* pp = &t.buckets[bucket & t.mask];
      while (*pp != 0) {
        NMethodHeader* e = blockAt(*pp);
        if ((e->mark & passMask) != 0) {
          pp = &e->link;
          continue;
        }
        *pp = e->link;
        freed += e->usedSize;
        nMethodDealloc(e);
        if (freed >= bytesWanted) {
          done = true;
          break;
        }
      }
      if (done) break;
      if (table == 0) {
        table = nmPICTable;
        bucket++;
      } else {
        table--;
      }
    }
    if (done || passMask == 0x1FF || passMask == 0x80 || passMask == 0) break;
    passMask = (passMask * 2) & 0xFF;
  }
  nmFreeBucketCursor = bucket;
  nmFreeTableCursor = table;
  nmReverseChains();
  nmSweepPICs(0);
  return freed;
}

int nmSweepPICs(int allCases) {
  int newRefs = 0;
  for (uint32_t bucket = 0; bucket <= allVToNTables[nmPICTable].mask; bucket++) {
    uint64_t& head = allVToNTables[nmPICTable].buckets[bucket];
    uint64_t* pp = &head;
    while (*pp != 0) {
      NMethodHeader* pic = blockAt(*pp);
      bool gone = pic->usedSize == 0;
      bool drop = gone || (npicOps.shouldFreePIC != nullptr && npicOps.shouldFreePIC(*pp, allCases));
      if (!drop) {
        pp = &pic->link;
        continue;
      }
      *pp = pic->link;
      if ((pic->flags & nmFlagNewRef) != 0) newRefs = 1;
      if (!gone) nMethodDealloc(pic);
    }
  }
  return newRefs;
}

uint64_t listNMethod(uint64_t nmethod) { return blockAt(nmethod)->usedSize != 0 ? nmethod : 0; }

// Calls fn on every entry of the six tables (fn may not unlink it).
static void nmTablesDo(void (*fn)(NMethodHeader* e, void* data), void* data) {
  for (VToNTable& t : allVToNTables)
    for (uint32_t i = 0; i <= t.mask; i++)
      for (uint64_t e = t.buckets[i]; e != 0; e = *linkWord(e)) fn(blockAt(e), data);
}

void invalidateNMethods() {
  for (uint32_t bucket = 0; bucket <= allVToNTables[nmPICTable].mask; bucket++) {
    uint64_t& head = allVToNTables[nmPICTable].buckets[bucket];
    for (uint64_t e = head; e != 0;) {
      uint64_t next = *linkWord(e);
      if (blockAt(e)->usedSize != 0) nMethodDealloc(blockAt(e));
      e = next;
    }
    head = 0;
  }
  nmTablesDo([](NMethodHeader* e, void*) { nmInvalidateLinks(e); }, nullptr);
  nMethodSelectFromList(listNMethod);
}

void invalidatePostFreeNMethods() {
  nmSweepPICs(1);
  nmTablesDo(
      [](NMethodHeader* e, void*) {
        if (!isPIC(e)) nmInvalidateLinksToFree(e);
      },
      nullptr);
  nMethodSelectFromList(listNMethod);
}

void nmUpdateNewRefs() {
  if (nmUpdateNewLiterals() != 0) invalidatePostFreeNMethods();
  nmUpdateNewRefsFromMCache();
}

static bool isMarkedObject(oop o) { return isHeapObject(o) && o != 0 && isMarked(headerOf(o)); }

int markNMethodsWithMarkedObjs() {
  int anyDead = 0;
  nMethodZoneDo(
      [](NMethodHeader* b, void* any) {
        if (b->usedSize == 0) return;
        bool live;
        if (isPIC(b)) live = isImmediate(b->selector) || isMarkedObject(b->selector);
        else if (b->selector != 0 && isHeapObject(b->selector) && !isMarked(headerOf(b->selector))) live = false;
        else live = isMarkedObject(b->vmethod);
        if (!live) {
          b->mark = 0;
          *static_cast<int*>(any) = 1;
        } else if (b->mark == 0) {
          b->mark = 1;
        }
      },
      &anyDead);
  return anyDead;
}

int markNMethodsAsNotReferringTo(oop object) {
  struct Query {
    oop object;
    int mustScan;
    int any;
  } q = {object, nMethodRefersToMustScanNMethod(object), 0};
  nMethodZoneDo(
      [](NMethodHeader* b, void* data) {
        Query* q = static_cast<Query*>(data);
        if (b->usedSize == 0) return;
        bool refers;
        if (isHeapObject(q->object) && isNewObject(q->object) && (b->flags & nmFlagNewRef) == 0) refers = false;
        else refers = nMethodRefersTo(b, q->object, q->mustScan) != 0;
        if (refers) {
          b->mark = 0;
          q->any = 1;
        } else if (b->mark == 0) {
          b->mark = 1;
        }
      },
      &q);
  return q.any;
}

void unlinkAndFreeUnmarkedNMethods(uint32_t anyUnmarked) {
  for (int i = int(allVToNTables[nmPICTable].mask); i >= 0; i--)
    for (uint64_t e = allVToNTables[nmPICTable].buckets[i]; e != 0; e = *linkWord(e)) {
      NMethodHeader* pic = blockAt(e);
      if (pic->mark == 0) anyUnmarked = 1;
      else if (npicOps.hasLinksToUnmarked != nullptr && npicOps.hasLinksToUnmarked(e)) {
        pic->mark = 0;
        anyUnmarked = 1;
      }
    }
  struct Sweep {
    uint32_t anyUnmarked;
    int needFlush;
  } s = {anyUnmarked, 0};
  nmTablesDo(
      [](NMethodHeader* e, void* data) {
        Sweep* s = static_cast<Sweep*>(data);
        if (e->mark == 0) s->anyUnmarked = 1;
        else if (!isPIC(e) && nmInvalidateLinksToUnmarked(e)) s->needFlush = 1;
      },
      &s);
  if (s.anyUnmarked) {
    nmFreeUntil(nmZone.top - nmZone.bottom, 0x1FF, 0);
    // The method cache must not answer a block that was just freed.
    nmUpdateNewRefsFromMCache();
  }
  nMethodSelectFromList(listNMethod);
  if (s.needFlush) rtFlushICache();
}

// ---- Compaction -----------------------------------------------------------------------------

// During a compaction the first code word of every block in use holds its displacement.
static inline int64_t& displacementOf(uint64_t block) { return *reinterpret_cast<int64_t*>(block + nMethodHeaderSize); }

static void nmMarkActive(uint64_t fp, uint64_t*) {
  uint64_t n = reinterpret_cast<uint64_t*>(fp)[frNMethod] & frameNMethodMask;
  if (inZone(n)) blockAt(n)->mark |= 0x80;
}

static void nmRelocateFrame(uint64_t fp, uint64_t* pcSlot) {
  uint64_t* slot = &reinterpret_cast<uint64_t*>(fp)[frNMethod];
  uint64_t n = *slot & frameNMethodMask;
  if (!inZone(n) || blockAt(n)->usedSize == 0) return;
  int64_t d = displacementOf(n);
  if (*pcSlot >= n && *pcSlot < n + blockAt(n)->usedSize) *pcSlot += uint64_t(d);
  *slot += uint64_t(d);
  if ((blockAt(n)->flags & nmFlagUnlinked) != 0) blockAt(n)->mark = 0;
}

static uint64_t nmRelocatedAddress(uint64_t n) {
  return blockAt(n)->usedSize != 0 ? n + uint64_t(displacementOf(n)) : 0;
}

static void restoreAfterMove(NMethodHeader* b) {
  if (!isPIC(b)) restoreNMethodPostRelocation(reinterpret_cast<uint8_t*>(b));
  else if (npicOps.restorePostRelocation != nullptr) npicOps.restorePostRelocation(addressOf(b));
}

void nmCompact(int64_t bytesWanted) {
  txForgetBlockEntries();
  enumerateFramesAndReturns(nmMarkActive);
  nmFreeUntil(bytesWanted > 0 ? uint64_t(bytesWanted) : 0, 255, 1);
  // A PIC cannot keep its unchecked case once that target is gone; its sites are unlinked
  // with those of the other freed blocks below.
  nmSweepPICs(0);

  relocatingNMethods = 1;
  int64_t d = 0;
  for (uint64_t p = nmZone.bottom; p < nmZone.free;) {
    NMethodHeader* b = blockAt(p);
    uint64_t step = nMethodBlockSize(b);
    if (step < nMethodHeaderSize) break;
    if (b->usedSize == 0) {
      d -= int64_t(step);
    } else {
      b->mark >>= 1;
      displacementOf(p) = d;
    }
    p += step;
  }

  enumerateFramesAndReturns(nmRelocateFrame);
  if (mCache != nullptr)
    for (uint32_t i = 0; i < mCacheEntries; i++) {
      MethodCacheEntry& e = mCache[i];
      if (e.classIndex == 0) continue;
      if (blockAt(e.nmethod)->usedSize != 0) e.nmethod += uint64_t(displacementOf(e.nmethod));
      else e.classIndex = 0;
    }
  nMethodSelectFromList(nmRelocatedAddress);
  for (VToNTable& t : allVToNTables)
    for (uint32_t i = 0; i <= t.mask; i++)
      for (uint64_t* pp = &t.buckets[i]; *pp != 0;) {
        uint64_t e = *pp;
        *pp = e + uint64_t(displacementOf(e));
        pp = linkWord(e);
      }
  // Every block in use, filed or not, has its sites moved with it.
  nMethodZoneDo(
      [](NMethodHeader* b, void*) {
        if (b->usedSize == 0) return;
        if (!isPIC(b)) nMethodRelocateLinks(b);
        else if (npicOps.relocateLinks != nullptr) npicOps.relocateLinks(addressOf(b));
      },
      nullptr);

  // Slide: an empty sentinel ends the chain; each run of blocks in use between free blocks is
  // restored and moved down as one.
  uint64_t end = nmZone.free;
  blockAt(end)->usedSize = 0;
  blockAt(end)->vmethod = 0;
  uint64_t dest = nmZone.bottom;
  for (uint64_t p = nmZone.bottom;;) {
    NMethodHeader* b = blockAt(p);
    if (b->usedSize == 0) {
      if (p >= end || b->vmethod < nMethodHeaderSize) break;
      p += b->vmethod;
      continue;
    }
    uint64_t run = p;
    while (p < end && blockAt(p)->usedSize != 0) {
      restoreAfterMove(blockAt(p));
      p += blockAt(p)->usedSize;
    }
    if (dest != run && collectingProfileData) moveProfiledCode(dest, run, p - run);  // counters move too
    else if (dest != run) memmove(reinterpret_cast<void*>(dest), reinterpret_cast<void*>(run), p - run);
    dest += p - run;
  }
  if (collectingProfileData) finishProfiledMove(dest, end);
  nmZone.free = dest;
  nmZone.holesStart = nmZone.bottom;
  nmZone.holesBytes = 0;
  relocatingNMethods = 0;
  rtFlushICache();
}

// ---- Send sites -----------------------------------------------------------------------------

static inline uint32_t readU32(uint64_t a) {
  uint32_t v;
  memcpy(&v, reinterpret_cast<const void*>(a), 4);
  return v;
}
static inline void writeU32(uint64_t a, uint32_t v) { memcpy(reinterpret_cast<void*>(a), &v, 4); }

void nMethodMapDo(const NMethodHeader* nmethod,
                  void (*fn)(NMapPlace kind, uint64_t position, uint32_t sendType, void* data), void* data) {
  static const uint32_t typeOfKind[4] = {0, 1, 10, 11};
  uint64_t start = addressOf(nmethod);
  uint64_t position = start + nMethodHeaderSize;
  for (const uint8_t* p = reinterpret_cast<const uint8_t*>(start + nmethod->usedSize) - 1;
       p >= reinterpret_cast<const uint8_t*>(start + nMethodHeaderSize); p--) {
    uint8_t b = *p;
    uint32_t operand = b & 31;
    switch (b >> 5) {
      case mapKindSend0: case mapKindSend1: case mapKindNonImmSend0: case mapKindNonImmSend1:
        position += operand;
        fn(nmPlaceSite, position, typeOfKind[b >> 5], data);
        break;
      case mapKindDelta: position += operand; break;
      case mapKindSend: fn(nmPlaceSite, position, operand, data); break;
      case mapKindMarker:
        if (b == mapEnd) return;
        if (b == mapNewLit) fn(nmPlaceNewLiteral, position, 0, data);
        else if (b == mapRelCall) fn(nmPlaceRelCall, position, 0, data);
        else if (b == mapLocProg) fn(nmPlaceProgram, position, 0, data);
        break;
      default: break;
    }
  }
}

uint64_t nmSiteTarget(uint64_t returnAddress, uint32_t sendType) {
  if (sendType >= 20) return 0;
  uint64_t target = returnAddress + uint64_t(int64_t(int32_t(readU32(returnAddress + sendSiteDisplacementOffset))));
  if (target < minNZonePC || target >= minNZoneRTPC) return 0;
  return target - sendTypeTable[sendType].entryOffset;
}

// The literals of a compiled method: its indexable slots, behind the named ones.
static const oop* methodLiterals(oop method, uint64_t* count) {
  *count = 0;
  if (method == 0 || !isHeapObject(method) || !hasPtrs(headerOf(method))) return nullptr;
  oop cls = classOfHeader(headerOf(method));
  if (cls == 0 || isImmediate(cls)) return nullptr;
  uint64_t named = formatNamedSlots(classFormatOf(cls));
  uint64_t words = bodyWordsOf(headerOf(method));
  if (words < named) return nullptr;
  *count = words - named;
  return bodyOf(headerOf(method)) + named;
}

uint32_t indexForSelectorInNMethod(oop selector, const NMethodHeader* nmethod) {
  uint64_t n;
  const oop* literals = methodLiterals(nmethod->vmethod, &n);
  bool small = literals != nullptr && bodyWordsOf(headerOf(nmethod->vmethod)) <= 256;
  if (small)
    for (uint64_t k = 0; k < n; k++)
      if (literals[k] == selector) return uint32_t(256 + k);
  oop specials = sysOopRegistry != nullptr ? sysOop(sysSpecialSelectors) : 0;
  if (specials != 0 && isHeapObject(specials) && hasPtrs(headerOf(specials))) {
    uint64_t pairs = bodyWordsOf(headerOf(specials)) / 2;
    for (uint64_t i = 0; i < pairs && i < 256; i++)
      if (slotOf(specials, 2 * i) == selector) return uint32_t(i);
  }
  if (!small && literals != nullptr)
    for (uint64_t k = 0; k < n; k++)
      if (literals[k] == selector) return uint32_t(256 + k);
  return 0xFFFFFFFF;
}

// Unlinked, a site loads its selector index and calls its send type's glue.
static void unlinkSiteAt(const NMethodHeader* nmethod, uint64_t r, uint32_t sendType, oop selector, int64_t moveBy) {
  writeU32(r + sendSiteImmediateOffset, indexForSelectorInNMethod(selector, nmethod));
  writeU32(r + sendSiteDisplacementOffset, uint32_t(int32_t(int64_t(sendTypeTable[sendType].glue) - int64_t(r) - moveBy)));
}

void nmUnlinkSite(const NMethodHeader* nmethod, uint64_t returnAddress, uint32_t sendType) {
  uint64_t target = nmSiteTarget(returnAddress, sendType);
  if (target == 0) return;
  unlinkSiteAt(nmethod, returnAddress, sendType, blockAt(target)->selector, 0);
}

// Unlinks the linked sites whose target the predicate picks; answers 1 when one changed.
struct SiteFilter {
  const NMethodHeader* nmethod;
  bool (*picks)(const NMethodHeader* target, uint64_t returnAddress, const void* arg);
  const void* arg;
  int changed;
};
static int unlinkSitesWhere(const NMethodHeader* nmethod,
                            bool (*picks)(const NMethodHeader*, uint64_t, const void*), const void* arg) {
  if (isPIC(nmethod) || nmethod->usedSize == 0) return 0;
  SiteFilter f = {nmethod, picks, arg, 0};
  nMethodMapDo(
      nmethod,
      [](NMapPlace kind, uint64_t r, uint32_t type, void* data) {
        SiteFilter* f = static_cast<SiteFilter*>(data);
        if (kind != nmPlaceSite) return;
        uint64_t target = nmSiteTarget(r, type);
        if (target == 0 || !f->picks(blockAt(target), r, f->arg)) return;
        unlinkSiteAt(f->nmethod, r, type, blockAt(target)->selector, 0);
        f->changed = 1;
      },
      &f);
  if (f.changed) rtFlushICache();
  return f.changed;
}

int nmInvalidateLinks(const NMethodHeader* nmethod) {
  return unlinkSitesWhere(nmethod, [](const NMethodHeader*, uint64_t, const void*) { return true; }, nullptr);
}

int nmInvalidateLinksTo(const NMethodHeader* nmethod, oop selector) {
  return unlinkSitesWhere(
      nmethod, [](const NMethodHeader* t, uint64_t, const void* sel) { return t->selector == *static_cast<const oop*>(sel); },
      &selector);
}

int nmInvalidateLinksToFree(const NMethodHeader* nmethod) {
  return unlinkSitesWhere(nmethod, [](const NMethodHeader* t, uint64_t, const void*) { return t->usedSize == 0; },
                          nullptr);
}

// A link survives a collection only to a marked, enterable target, for a class tag that still
// names a live class (the context classes 8-10 always do).
static bool linkDiesAfterCollection(const NMethodHeader* target, uint64_t r, const void*) {
  if (target->usedSize == 0 || target->mark == 0 || (target->flags & nmFlagUnlinked) != 0) return true;
  uint32_t tag = readU32(r + sendSiteImmediateOffset);
  if (tag >= 8 && tag <= 10) return false;
  if (tag >= uint64_t(classTablePages) * classTablePageSlots || classTable[tag >> 10] == nullptr) return true;
  oop cls = classAt(tag);
  return !isMarkedObject(cls) || hashOf(headerOf(cls)) != tag;
}

int nmInvalidateLinksToUnmarked(const NMethodHeader* nmethod) {
  return unlinkSitesWhere(nmethod, linkDiesAfterCollection, nullptr);
}

// During a compaction: every code displacement of the nmethod is corrected by how far it and
// its target move. A site whose target was freed is unlinked, since nothing will be there.
void nMethodRelocateLinks(const NMethodHeader* nmethod) {
  nMethodMapDo(
      nmethod,
      [](NMapPlace kind, uint64_t position, uint32_t type, void* data) {
        const NMethodHeader* self = static_cast<const NMethodHeader*>(data);
        int64_t moveBy = displacementOf(addressOf(self));
        if (kind == nmPlaceSite) {
          uint64_t target = nmSiteTarget(position, type);
          uint64_t at = position + sendSiteDisplacementOffset;
          if (target == 0) {
            writeU32(at, readU32(at) - uint32_t(moveBy));
          } else if (blockAt(target)->usedSize == 0) {
            unlinkSiteAt(self, position, type, blockAt(target)->selector, moveBy);
          } else {
            writeU32(at, readU32(at) + uint32_t(displacementOf(target) - moveBy));
          }
        } else if (kind == nmPlaceRelCall) {
          uint64_t target = position + 4 + uint64_t(int64_t(int32_t(readU32(position))));
          int64_t targetMoves = 0;
          if (inZone(target)) {
            uint64_t block = nMethodForPC(target);
            if (block != 0 && blockAt(block)->usedSize != 0) targetMoves = displacementOf(block);
          }
          writeU32(position, readU32(position) + uint32_t(targetMoves - moveBy));
        }
      },
      const_cast<NMethodHeader*>(nmethod));
}

// Only new-space objects are named by the code's map; old ones are reached through the method.
int nMethodRefersToMustScanNMethod(oop object) { return isHeapObject(object) && object != 0 && isNewObject(object); }

int nMethodRefersTo(const NMethodHeader* nmethod, oop object, int mustScan) {
  if (nmethod->selector == object) return 1;
  if (isPIC(nmethod)) return 0;
  if (nmethod->vmethod == object) return 1;
  // A literal of the method may be compiled into the code without a map entry.
  uint64_t n;
  const oop* literals = methodLiterals(nmethod->vmethod, &n);
  for (uint64_t k = 0; k < n; k++)
    if (literals[k] == object) return 1;
  if (!mustScan || (nmethod->flags & nmFlagNewRef) == 0) return 0;
  struct Probe {
    oop object;
    int found;
  } probe = {object, 0};
  nMethodMapDo(
      nmethod,
      [](NMapPlace kind, uint64_t position, uint32_t, void* data) {
        Probe* p = static_cast<Probe*>(data);
        oop v;
        if (kind != nmPlaceNewLiteral) return;
        memcpy(&v, reinterpret_cast<const void*>(position), 8);
        if (v == p->object) p->found = 1;
      },
      &probe);
  return probe.found;
}

// One new-space reference after a scavenge: moved to its copy; answers 0 when it still lies in
// new space, 1 when it left it, -1 when its object died.
static int updateOneNewRef(oop* slot) {
  oop v = *slot;
  if (v == 0 || !isHeapObject(v) || !isNewObject(v)) return 1;
  if (!updateNewObjRef(slot)) return -1;
  return isNewObject(*slot) ? 0 : 1;
}

static int newLiteralsFreedPIC;
static int newLiteralsRewritten;

static uint64_t updateListedNMethod(uint64_t entry) {
  NMethodHeader* b = blockAt(entry);
  if (b->usedSize == 0) return 0;
  if (isPIC(b)) return npicOps.updateNewLits != nullptr ? npicOps.updateNewLits(entry, &newLiteralsFreedPIC) : entry;
  struct State {
    int stillNew, dead;
  } st = {0, 0};
  auto account = [](State* st, int r) {
    if (r == 0) st->stillNew = 1;
    else if (r < 0) st->dead = 1;
  };
  account(&st, updateOneNewRef(&b->vmethod));
  account(&st, updateOneNewRef(&b->selector));
  nMethodMapDo(
      b,
      [](NMapPlace kind, uint64_t position, uint32_t, void* data) {
        if (kind != nmPlaceNewLiteral) return;
        State* st = static_cast<State*>(data);
        oop v;
        memcpy(&v, reinterpret_cast<const void*>(position), 8);
        int r = updateOneNewRef(&v);
        memcpy(reinterpret_cast<void*>(position), &v, 8);
        newLiteralsRewritten = 1;
        if (r == 0) st->stillNew = 1;
        else if (r < 0) st->dead = 1;
      },
      &st);
  if (st.dead) {
    // Its code names an object that is gone: nothing may enter it again, and the next sweep
    // frees it.
    if ((b->flags & nmFlagUnlinked) == 0) nMethodUnlink(b);
    b->mark = 0;
    st.stillNew = 0;
  }
  if (st.stillNew) return entry;
  b->flags &= uint8_t(~nmFlagNewRef);
  return 0;
}

int nmUpdateNewLiterals() {
  newLiteralsFreedPIC = 0;
  newLiteralsRewritten = 0;
  nMethodSelectFromList(updateListedNMethod);
  if (newLiteralsRewritten) rtFlushICache();
  return newLiteralsFreedPIC;
}

// Both entries lead to the relink routine: the class check's miss path becomes a call of it,
// and the unchecked entry jumps there. The nmethod goes to the end of its chain so that lookups
// meet its successors first.
static void unlinkEntries(NMethodHeader* nmethod) {
  uint64_t block = addressOf(nmethod);
  if ((nmethod->flags & nmFlagBlock) == 0) {
    uint8_t* code = reinterpret_cast<uint8_t*>(block);
    emitCallRel(code + nMethodAbortSendMissOffset, reinterpret_cast<const void*>(&rtAbortRelinkSendToUnlinked));
    emitJmpRel8(code + nMethodEntryNoCheck,
                int8_t(int32_t(nMethodAbortSendMissOffset) - int32_t(nMethodEntryNoCheck + 2)));
  }
  nmethod->flags |= nmFlagUnlinked;
  nmethod->mark = 0;
}

uint64_t nMethodUnlink(NMethodHeader* nmethod) {
  uint64_t successor = nmethod->link;
  uint64_t block = addressOf(nmethod);
  unlinkEntries(nmethod);
  txForgetBlockEntries();
  uint64_t* pp = findNMethodLinkBefore(nmethod);
  if (pp != nullptr) {
    *pp = nmethod->link;
    while (*pp != 0) pp = linkWord(*pp);
    *pp = block;
    nmethod->link = 0;
  }
  rtFlushICache();
  return successor;
}

// ---- Flushes when methods change ----------------------------------------------------------

static void forgetInMCache(uint64_t nmethod) {
  if (mCache == nullptr) return;
  for (uint32_t i = 0; i < mCacheEntries; i++)
    if (mCache[i].classIndex != 0 && mCache[i].nmethod == nmethod) mCache[i].classIndex = 0;
}

static uint64_t frameSearchFor;
static int frameSearchFound;
static void findFrameOf(uint64_t fp, uint64_t*) {
  if ((reinterpret_cast<uint64_t*>(fp)[frNMethod] & frameNMethodMask) == frameSearchFor) frameSearchFound = 1;
}
static bool hasActivation(uint64_t nmethod) {
  frameSearchFor = nmethod;
  frameSearchFound = 0;
  enumerateFramesAndReturns(findFrameOf);
  return frameSearchFound != 0;
}

void nmFlushCachedCodeForMethod(oop method) {
  if (!isHeapObject(method) || method == 0 || hashOf(headerOf(method)) == 0) return;  // never filed
  bool freedAny = false, changed = false;
  // A method's nmethods are filed by its hash, in the methods table or, for a block method, in
  // the block table of its argument count: each of those buckets is searched.
  for (uint32_t table = 0; table <= nmMethodTable; table++) {
    VToNTable* t = &allVToNTables[table];
    bool methods = table == nmMethodTable;
    for (uint64_t* pp = &t->buckets[hashOf(headerOf(method)) & t->mask]; *pp != 0;) {
      NMethodHeader* e = blockAt(*pp);
      if (e->vmethod != method) {
        pp = &e->link;
        continue;
      }
      if (methods && (e->flags & nmFlagUnlinked) == 0) unlinkEntries(e);
      changed = true;
      if (hasActivation(*pp)) {
        // Unlinked but still running: freed by a sweep once its frames are gone.
        e->flags |= nmFlagUnlinked;
        e->mark = 0;
        pp = &e->link;
        continue;
      }
      *pp = e->link;
      forgetInMCache(addressOf(e));
      nMethodDealloc(e);
      freedAny = true;
    }
  }
  if (!changed) return;
  if (npicOps.flushCachedMNUMethodEntriesForMethod != nullptr) npicOps.flushCachedMNUMethodEntriesForMethod(method);
  // Sites linked to a freed block would enter whatever is allocated there next.
  if (freedAny) invalidatePostFreeNMethods();
  rtFlushICache();
}

void nmFlushLookupEntriesForSelector(oop selector) {
  if (selector == 0 || (isHeapObject(selector) && hashOf(headerOf(selector)) == 0)) return;  // never looked up
  if (npicOps.flushPICEntriesForSelector != nullptr) npicOps.flushPICEntriesForSelector(selector);
  VToNTable& t = allVToNTables[nmMethodTable];
  // An unlinked nmethod moves to the end of its chain, where the walk meets it again, flagged.
  for (uint32_t i = 0; i <= t.mask; i++)
    for (uint64_t e = t.buckets[i]; e != 0;) {
      uint64_t next = *linkWord(e);
      if (blockAt(e)->selector == selector && (blockAt(e)->flags & nmFlagUnlinked) == 0) nMethodUnlink(blockAt(e));
      e = next;
    }
  if (mCache != nullptr)
    for (uint32_t i = 0; i < mCacheEntries; i++)
      if (mCache[i].classIndex != 0 && blockAt(mCache[i].nmethod)->selector == selector) mCache[i].classIndex = 0;
}

void nmFlushLookupCache() {
  invalidateNMethods();
  clearMCache();
  invalidateNMethods();
}

// ---- Object memory's hooks ----------------------------------------------------------------

const CodeHooks codeHooks = {
    .nmUpdateNewRefs = nmUpdateNewRefs,
    .markNMethodsWithMarkedObjs = markNMethodsWithMarkedObjs,
    .markNMethodsAsNotReferringTo = markNMethodsAsNotReferringTo,
    .unlinkAndFreeUnmarkedNMethods = unlinkAndFreeUnmarkedNMethods,
    .reInitNMethods = reInitNMethods,
    .scratchNmzBounds = scratchNmzBounds,
    .mapAllNPCs = mapAllNPCs,
    .purgeDeadClassesFromMCache = purgeDeadClassesFromMCache,
    .tranNoteEdenWarningThresholdChanged = tranNoteEdenWarningThresholdChanged,
};
