// Translator: the native-method zone: code-area layout, block allocator, permanent area,
// scratch space, zone walkers and listings.
// Owns nmZone and its counters. Prefix: nMethod, nm, print.
#include "tran/nmalloc.h"

#include <cinttypes>
#include <cstring>

#include "ext/exError.h"
#include "ext/platform.h"
#include "mman/mmObject.h"
#include "mman/mmPending.h"
#include "tran/tprim.h"

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
  static const uint8_t stub[3] = {0xEB, 0x00, 0xC3};
  memcpy(reinterpret_cast<void*>(area), stub, 3);
  icacheStubAddress = area;
  if (pdMustFlushICache() != 0) rtFlushICache = reinterpret_cast<void (*)()>(area);
  return 3;
}

// The method cache: 2048 entries of 16 bytes, cleared. Its lookups belong to the send path.
static int64_t initMCacheArea(uint64_t address, uint64_t bytes) {
  if (nmHooks.initMCache != nullptr) return nmHooks.initMCache(address, bytes);
  const uint64_t need = 2048 * 16;  // method cache not built yet: its area is only reserved
  if (bytes < need) return -1;
  memset(reinterpret_cast<void*>(address), 0, need);
  return int64_t(need);
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
  if (nmHooks.initTranslator != nullptr) nmHooks.initTranslator();
  runtimeBase = nMethodPermAlloc(0);
  // A jump with a zero displacement at the scratch position, not claimed: the translator
  // measures jump encodings against it.
  static const uint8_t jump[6] = {0xEB, 0, 0, 0, 0, 0};
  uint64_t scratch = nMethodAllocScratch(40);
  if (scratch != 0) memcpy(reinterpret_cast<void*>(scratch), jump, sizeof jump);
  return 1;
}

void reInitNMethods() {
  if (nmHooks.clearMCache != nullptr) nmHooks.clearMCache();
  if (nmHooks.clearNTable != nullptr) nmHooks.clearNTable();
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
  if (relocatingNMethods == 0 && nmHooks.nMethodIsInTables != nullptr && nmHooks.nMethodIsInTables(p))
    return 1;
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
  if (nmHooks.nmCompact != nullptr) nmHooks.nmCompact(target > 0 ? target : 0);
  NMethodHeader* trial = nMethodAlloc(nmAllocRequest);
  if (trial == nullptr) return 0;
  nMethodDealloc(trial);
  return 1;
}

int compactNMethods() {
  pending.numCompactNMethods++;
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
    printf("0x%" PRIx64 " is not an nmethod\n", block);
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
