// Primitives: the string primitives (two-byte range copy, collation).
// Owns the decomposition output buffer and the per-call page caches. Prefix: none.
#include "prim/prCollation.h"

#include <cstdlib>
#include <initializer_list>
#include <cstring>

#include "ext/exError.h"
#include "ext/exPrimTable.h"
#include "mman/mmAllocate.h"
#include "mman/mmNewSpace.h"
#include "mman/mmPrimUtil.h"
#include "mman/mmSysOop.h"
#include "prim/prSubscript.h"

static oop fail(uint32_t code, uint64_t numArgs) { return failPrimitive(primErrorAt(code), numArgs); }

// ---- Collation objects and tables ---------------------------------------------------------
// The collation primitives are fast paths over tables held in the image: whatever the tables
// do not settle directly (contractions, codes without entries, equal first-level weights)
// fails, and the image's own code decides.

// Body slots of the collation object (the receiver).
enum : uint32_t {
  slotDecompositions = 0,
  slotProperties = 2,
  slotClassesLow = 3,
  slotPairsLow = 4,
  slotWeightsLow = 5,
  slotClassesHigh = 7,
  slotPairsHigh = 8,
  slotWeightsHigh = 9,
};

enum : uint64_t {
  pageCodes = 256,
  tableMinimumBytes = 34816,  // a page slot for every code up to 0x10FFFF
  maxPages = 0x110000 / pageCodes,
  maxPairs = 1000000,
  workStackCodes = 32,
  pendingCodes = 30,
  hangulFirst = 44032,
};

// What a lookup's pages are: pointer pages of 256 slots (D), 512-byte pages of 16-bit
// entries (T0, T1), 1024-byte pages of weight-and-flag pairs (T2).
enum PageKind { pagePointers, pageUnits, pagePairs };

// One or two tables searched in order, with the page addresses found so far (per call).
struct Lookup {
  ObjectHeader* tables[2];
  uint32_t count;
  PageKind kind;
  uint8_t state[maxPages];     // 0 not looked up, 1 present, 2 absent
  const void* pages[maxPages];
};

static bool isStringClass(uint32_t c) {
  return c == classIndexByteString || c == 21 || c == classIndexTwoByteString || c == classIndexTwoByteSymbol;
}
static bool isString(oop o) { return isHeapObject(o) && !hasPtrs(headerOf(o)) && isStringClass(classTagOf(headerOf(o))); }
static bool isWide(oop s) {
  uint32_t c = classTagOf(headerOf(s));
  return c == classIndexTwoByteString || c == classIndexTwoByteSymbol;
}
static uint64_t lengthOf(oop s) { return isWide(s) ? byteSizeOf(headerOf(s)) / 2 : byteSizeOf(headerOf(s)); }
static uint32_t codeAt(oop s, uint64_t i) {
  const void* b = bodyOf(headerOf(s));
  return isWide(s) ? static_cast<const uint16_t*>(b)[i] : static_cast<const uint8_t*>(b)[i];
}

// The receiver's slot, nil when it has no such slot.
static oop collationSlot(oop rcv, uint32_t slot) {
  ObjectHeader* h = headerOf(rcv);
  return slot < bodyWordsOf(h) ? bodyOf(h)[slot] : nilOop();
}

// A table: a pointer object of at least the minimum size when required.
static bool usableTable(oop t, bool required) {
  if (t == nilOop()) return !required;
  if (!isHeapObject(t) || !hasPtrs(headerOf(t))) return false;
  return !required || bodyBytesOf(headerOf(t)) >= tableMinimumBytes;
}

// Sets up a lookup over the required table in slot low and the optional one in slot high
// (searched first); 0 when the tables are missing or of the wrong kind.
static bool initLookup(Lookup* l, oop rcv, uint32_t low, int64_t high, PageKind kind) {
  oop required = collationSlot(rcv, low);
  oop optional = high >= 0 ? collationSlot(rcv, uint32_t(high)) : nilOop();
  if (required == nilOop() || !usableTable(required, true) || !usableTable(optional, false)) return false;
  l->count = 0;
  if (optional != nilOop()) l->tables[l->count++] = headerOf(optional);
  l->tables[l->count++] = headerOf(required);
  l->kind = kind;
  memset(l->state, 0, sizeof l->state);
  return true;
}

static uint64_t namedOf(const ObjectHeader* h) {
  uint32_t n = indexabilityOf(h);
  return n != indexabilityAskClass ? n : formatNamedSlots(classFormatOf(classOfHeader(h)));
}

static bool pageFits(oop page, PageKind kind) {
  if (!isHeapObject(page)) return false;
  ObjectHeader* h = headerOf(page);
  if (kind == pagePointers) return hasPtrs(h) && bodyWordsOf(h) >= pageCodes;
  return !hasPtrs(h) && byteSizeOf(h) == (kind == pageUnits ? 512u : 1024u);
}

// The page holding code c: *page is null for an absent page. 0 for a page of the wrong kind
// or size.
static bool pageFor(Lookup* l, uint32_t c, const void** page) {
  uint32_t p = c / pageCodes;
  *page = nullptr;
  if (p >= maxPages) return true;
  if (l->state[p] == 0) {
    l->state[p] = 2;
    for (uint32_t i = 0; i < l->count; i++) {
      ObjectHeader* t = l->tables[i];
      uint64_t slot = namedOf(t) + p;
      if (slot >= bodyWordsOf(t) || bodyOf(t)[slot] == nilOop()) continue;
      oop pg = bodyOf(t)[slot];
      if (!pageFits(pg, l->kind)) return false;
      l->pages[p] = bodyOf(headerOf(pg));
      l->state[p] = 1;
      break;
    }
  }
  if (l->state[p] == 1) *page = l->pages[p];
  return true;
}

// A 16-bit entry (T0, T1): *present clear for a code on an absent page.
static bool unitEntry(Lookup* l, uint32_t c, uint32_t* entry, bool* present) {
  const void* page;
  if (!pageFor(l, c, &page)) return false;
  *present = page != nullptr;
  *entry = page != nullptr ? static_cast<const uint16_t*>(page)[c % pageCodes] : 0;
  return true;
}

// ---- 1710: already in decomposed form ------------------------------------------------------

static Lookup properties, classes, weights, decompositions;

static oop p1710(oop rcv, oop string) {
  if (!isHeapObject(rcv) || !hasPtrs(headerOf(rcv))) return fail(primErrWrongClass, 1);
  if (!isString(string) || !initLookup(&properties, rcv, slotProperties, -1, pageUnits))
    return fail(primErrBadArgument, 1);
  for (uint64_t i = 0, n = lengthOf(string); i < n; i++) {
    uint32_t e;
    bool present;
    if (!unitEntry(&properties, codeAt(string, i), &e, &present)) return fail(primErrBadArgument, 1);
    if (e & 0xC0FF) return falseOop();
  }
  return trueOop();
}

// ---- 1712: first-level comparison --------------------------------------------------------

enum WeightResult { weightOk, weightFails, weightBadTable };

// The pair lists (slot 8, then 4): *value receives the value paired with Character c, or 0.
static bool pairValue(oop rcv, uint32_t c, oop* value) {
  *value = 0;
  for (uint32_t slot : {uint32_t(slotPairsHigh), uint32_t(slotPairsLow)}) {
    oop list = collationSlot(rcv, slot);
    if (list == nilOop()) continue;
    ObjectHeader* h = headerOf(list);
    uint64_t pairs = bodyWordsOf(h) / 2;
    if (pairs > maxPairs) continue;
    for (uint64_t i = 0; i < pairs; i++)
      if (bodyOf(h)[2 * i] == characterFor(c)) {
        *value = bodyOf(h)[2 * i + 1];
        return true;
      }
  }
  return true;
}

static WeightResult weightOf(oop rcv, uint32_t c, int64_t next, uint32_t* weight) {
  uint32_t e, t0;
  bool present;
  if (!unitEntry(&classes, c, &e, &present)) return weightBadTable;
  if (!present || e == 8) return weightFails;
  if (e & 4) {
    if (next >= 0) {
      if (!unitEntry(&properties, uint32_t(next), &t0, &present)) return weightBadTable;
      if (t0 & 0xFF) return weightFails;
      oop value;
      pairValue(rcv, c, &value);
      if (value != 0 && isHeapObject(value)) {
        ObjectHeader* v = headerOf(value);
        uint64_t n = hasPtrs(v) ? bodyWordsOf(v) / 2 : 0;
        for (uint64_t i = 0; i < n; i++) {
          oop s = bodyOf(v)[2 * i];
          if (!isHeapObject(s) || hasPtrs(headerOf(s)) ||
              (classTagOf(headerOf(s)) != classIndexByteString && classTagOf(headerOf(s)) != classIndexTwoByteString))
            return weightFails;
          if (lengthOf(s) >= 2 && codeAt(s, 1) == uint32_t(next)) return weightFails;  // a contraction
        }
      }
    }
    e &= ~uint32_t(4);
  }
  if (e != 1) return weightFails;
  const void* page;
  if (!pageFor(&weights, c, &page)) return weightBadTable;
  *weight = page != nullptr ? static_cast<const uint16_t*>(page)[2 * (c % pageCodes)] : 0;
  return weightOk;
}

// The next non-zero weight of s from *i on (0 at the end).
static WeightResult nextWeight(oop rcv, oop s, uint64_t* i, uint32_t* weight) {
  uint64_t n = lengthOf(s);
  while (*i < n) {
    int64_t next = *i + 1 < n ? int64_t(codeAt(s, *i + 1)) : -1;
    WeightResult r = weightOf(rcv, codeAt(s, *i), next, weight);
    *i += 1;
    if (r != weightOk) return r;
    if (*weight != 0) return weightOk;
  }
  *weight = 0;
  return weightOk;
}

static oop failCarrying(int64_t value) {
  return failPrimitive(cloneErrorWith(primErrorAt(primErrBadArgument), smallIntegerFor(value)), 3);
}

static bool sameContents(oop a, oop b) {
  if (headerOf(a)->dataPtr == headerOf(b)->dataPtr) return true;
  if (isWide(a) != isWide(b) || byteSizeOf(headerOf(a)) != byteSizeOf(headerOf(b))) return false;
  uint64_t n = byteSizeOf(headerOf(a));
  return n == 0 || memcmp(bodyOf(headerOf(a)), bodyOf(headerOf(b)), n) == 0;
}

static bool isNonIgnorable(oop option) {
  if (!isHeapObject(option) || hasPtrs(headerOf(option)) || classOf(option) != sysOop(21)) return false;
  return byteSizeOf(headerOf(option)) >= 12 && memcmp(bodyOf(headerOf(option)), "nonIgnorable", 12) == 0;
}

static bool isPairList(oop o, bool* present) {
  if (o == nilOop()) return true;
  *present = true;
  return isHeapObject(o) && hasPtrs(headerOf(o));
}

static oop p1712(oop rcv, oop a, oop b, oop option) {
  if (!isHeapObject(rcv) || !hasPtrs(headerOf(rcv))) return fail(primErrWrongClass, 3);
  if (!isString(a)) return failCarrying(1);
  if (!isString(b)) return failCarrying(2);
  if (sameContents(a, b)) return smallIntegerFor(0);
  if (!isNonIgnorable(option)) return failCarrying(3);
  bool anyPairs = false;
  if (!initLookup(&properties, rcv, slotProperties, -1, pageUnits) ||
      !initLookup(&classes, rcv, slotClassesLow, slotClassesHigh, pageUnits) ||
      !initLookup(&weights, rcv, slotWeightsLow, slotWeightsHigh, pagePairs) ||
      !isPairList(collationSlot(rcv, slotPairsLow), &anyPairs) ||
      !isPairList(collationSlot(rcv, slotPairsHigh), &anyPairs) || !anyPairs)
    return fail(primErrBadArgument, 3);
  uint64_t i = 0, j = 0;
  for (;;) {
    uint32_t wa, wb;
    WeightResult ra = nextWeight(rcv, a, &i, &wa);
    WeightResult rb = ra == weightOk ? nextWeight(rcv, b, &j, &wb) : ra;
    if (ra == weightBadTable || rb == weightBadTable) return fail(primErrBadArgument, 3);
    if (ra != weightOk || rb != weightOk) return fail(primErrGeneral, 3);
    if (wb > wa) return smallIntegerFor(-1);
    if (wb < wa) return smallIntegerFor(1);
    if (wa == 0) return fail(primErrGeneral, 3);
  }
}

// ---- 1711: decomposition -------------------------------------------------------------------

// The output buffer, kept between calls and emptied at the start of each.
struct OutputBuffer {
  uint16_t* codes;
  uint64_t used;
  uint64_t capacity;
};
static OutputBuffer output;

// Room for n more codes: the capacity grows to max(2c, used + n + 10).
static bool reserveOutput(uint64_t n) {
  if (output.used + n <= output.capacity) return true;
  uint64_t capacity = output.capacity == 0 ? 10 : output.capacity;
  if (output.used + n > capacity) {
    capacity = output.capacity * 2;
    if (capacity < output.used + n + 10) capacity = output.used + n + 10;
  }
  uint16_t* codes = static_cast<uint16_t*>(malloc(capacity * 2));
  if (codes == nullptr) return false;
  if (output.used != 0) memcpy(codes, output.codes, output.used * 2);
  free(output.codes);
  output.codes = codes;
  output.capacity = capacity;
  return true;
}

struct PendingSequence {
  uint32_t codes[pendingCodes];
  uint32_t classes[pendingCodes];
  uint32_t count;
};

static bool flushPending(PendingSequence* p) {
  if (p->count > 1)
    for (uint32_t pass = 0; pass + 1 < p->count; pass++)
      for (uint32_t k = 0; k + 1 < p->count - pass; k++)
        if (p->classes[k + 1] < p->classes[k]) {
          uint32_t c = p->codes[k], cc = p->classes[k];
          p->codes[k] = p->codes[k + 1], p->classes[k] = p->classes[k + 1];
          p->codes[k + 1] = c, p->classes[k + 1] = cc;
        }
  if (!reserveOutput(p->count)) return false;
  for (uint32_t k = 0; k < p->count; k++) output.codes[output.used++] = uint16_t(p->codes[k]);
  p->count = 0;
  return true;
}

// Decomposes one input code through the work stack into the output and the pending
// sequence; answers 0 or the failure code plus one.
static uint32_t decomposeCode(uint32_t code, uint64_t wanted, PendingSequence* sequence) {
  uint32_t stack[workStackCodes], depth = 0;
  stack[depth++] = code;
  while (depth > 0) {
    uint32_t x = stack[--depth], e;
    bool present;
    if (!unitEntry(&properties, x, &e, &present)) return primErrBadArgument + 1;
    uint32_t kind = e >> 14, combining = e & 0xFF;
    if (kind == 2) {  // a Hangul syllable, decomposed by rule
      if (x < hangulFirst) return primErrGeneral + 1;
      uint32_t s = x - hangulFirst;
      if (!flushPending(sequence) || !reserveOutput(3)) return primErrNoSpace + 1;
      output.codes[output.used++] = uint16_t(4352 + s / 588);
      output.codes[output.used++] = uint16_t(4449 + (s % 588) / 28);
      if (s % 28 != 0) output.codes[output.used++] = uint16_t(4519 + s % 28);
    } else if ((kind == 1 || kind == 3) && ((e >> 8) & 0xF) <= wanted) {
      const void* page;
      if (!pageFor(&decompositions, x, &page)) return primErrBadArgument + 1;
      oop mapping = page != nullptr ? static_cast<const oop*>(page)[x % pageCodes] : nilOop();
      if (!isHeapObject(mapping) || hasPtrs(headerOf(mapping)) ||
          (classOf(mapping) != sysOop(sysByteStringClass) && classOf(mapping) != sysOop(sysTwoByteStringClass)))
        return primErrNotHere + 1;
      uint64_t m = lengthOf(mapping);
      if (depth + m > workStackCodes) return primErrGeneral + 1;
      for (uint64_t k = m; k > 0; k--) stack[depth++] = codeAt(mapping, k - 1);  // popped first to last
    } else {
      if (combining == 0 && !flushPending(sequence)) return primErrNoSpace + 1;
      if (sequence->count == pendingCodes) return primErrGeneral + 1;
      sequence->codes[sequence->count] = x;
      sequence->classes[sequence->count++] = combining;
    }
  }
  return 0;
}

static oop p1711(oop rcv, oop string, oop level) {
  if (!isHeapObject(rcv) || !hasPtrs(headerOf(rcv))) return fail(primErrWrongClass, 2);
  if (!initLookup(&properties, rcv, slotProperties, -1, pageUnits) ||
      !initLookup(&decompositions, rcv, slotDecompositions, -1, pagePointers) || !isString(string) ||
      !isImmediate(level))
    return fail(primErrBadArgument, 2);
  output.used = 0;
  if (!reserveOutput(0)) return fail(primErrNoSpace, 2);
  PendingSequence sequence{};
  for (uint64_t i = 0, n = lengthOf(string); i < n; i++)
    if (uint32_t failure = decomposeCode(codeAt(string, i), level >> 3, &sequence)) return fail(failure - 1, 2);
  if (!flushPending(&sequence)) return fail(primErrNoSpace, 2);
  uint64_t bytes = output.used * 2;
  ObjectHeader* h = allocInEdenInline(classIndexTwoByteString, 0, bytes, 0, noFill);
  if (h == nullptr) h = allocSmallObj(classIndexTwoByteString, 0, bytes, 0, noFill);
  if (h == nullptr) return fail(primErrNoSpace, 2);
  if (bytes != 0) {
    bodyOf(h)[bodyWordsOf(h) - 1] = 0;  // the unused tail of the last word reads 0
    memcpy(bodyOf(h), output.codes, bytes);
  }
  return oopOf(h);
}

void releaseDecompositionBuffer() {
  free(output.codes);
  output = OutputBuffer{};
}

void initStringPrims() {
  addCPrimitive(414, reinterpret_cast<const void*>(primTwoByteReplace), 4);
  addCPrimitive(1710, reinterpret_cast<const void*>(p1710), 1);
  addCPrimitive(1711, reinterpret_cast<const void*>(p1711), 2);
  addCPrimitive(1712, reinterpret_cast<const void*>(p1712), 3);
}
