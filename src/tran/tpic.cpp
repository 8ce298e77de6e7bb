// Translator: polymorphic inline caches: making closed and open PICs and their cases, their
// upkeep for the native-method zone's collection (npicOps) and their listings.
// Owns no global record (PICs are filed in the PIC table of allVToNTables). Prefix: pic, nPIC.
#include "tran/tpic.h"

#include <cinttypes>
#include <cstring>

#include "ext/exError.h"
#include "mman/mmObject.h"
#include "mman/mmScavenge.h"
#include "mman/mmSysOop.h"
#include "stack/glue.h"
#include "tran/cgenx86_64.h"
#include "tran/nmalloc.h"
#include "tran/tmain.h"
#include "tran/txmem.h"

// ---- Generation ------------------------------------------------------------------------------

// lea r14, [pic]; push routine; ret (13 bytes): the path into a run-time routine with the PIC.
static uint8_t* genPICPath(uint8_t* at, uint64_t pic, void (*routine)()) {
  at = emitLeaRipRel(at, rR14, reinterpret_cast<const void*>(pic));
  at = emitPushI32(at, int32_t(glueAddress(routine)));
  return emitRet(at);
}

static uint8_t* fillNops(uint8_t* at, uint8_t* to) {
  while (at < to) at = emitNop(at);
  return at;
}

static inline uint8_t* caseAt(uint64_t pic, uint32_t k) {
  return reinterpret_cast<uint8_t*>(pic) + nPICFirstTargetOffset + (k - 1) * nPICTypeCaseSize;
}

// A PIC case (13 bytes): cmp rax, classTag (always the 32-bit immediate); je target; written
// at `at` for a PIC that will lie shift bytes away.
static uint8_t* genPICCase(uint8_t* at, uint32_t classTag, uint64_t target, int64_t shift) {
  at = emitAluRI32(at, aluCmp, rAX, int32_t(classTag));
  return emitJccRel32(at, ccE, int32_t(target - (uint64_t(at) + 6 + uint64_t(shift))));
}

// Case 0: jmp target, for a PIC that will lie shift bytes away.
static uint8_t* genPICCase0(uint8_t* at, uint64_t target, int64_t shift) {
  return emitJmpRel32(at, reinterpret_cast<const void*>(target - uint64_t(shift)));
}

void setPICCase(uint64_t pic, uint32_t k, uint32_t classTag, uint64_t target) {
  genPICPath(genPICCase(caseAt(pic, k), classTag, target, 0), pic, rtExtendClosedPIC);
}

// PICs are filed in the native-method tables' PIC table, by selector.
static void registerPIC(uint64_t pic, oop selector) {
  NMethodHeader* h = picHeader(pic);
  h->selector = selector;
  if (isHeapObject(selector) && isNewObject(selector)) {
    h->flags |= nmFlagNewRef;
    nMethodAddToList(pic);
  }
  nmTableAdd(h);
}

static inline VToNTable& picTable() { return allVToNTables[nmPICTable]; }

// A fresh PIC block: header cleared but for its size; null when the zone is full.
static uint8_t* newPIC(uint32_t size, uint32_t flags, uint32_t numArgs) {
  NMethodHeader* h = nMethodAlloc(size);
  if (h == nullptr) return nullptr;
  uint32_t used = h->usedSize;
  memset(h, 0, sizeof *h);
  h->usedSize = used;
  h->mark = nmMarkAllocated;
  h->flags = flags;
  h->numArgs = uint8_t(numArgs);
  return reinterpret_cast<uint8_t*>(h);
}

// Both kinds begin alike: the miss path at the cannot-resume entry, then the receiver's
// class tag at the checked entry.
static uint8_t* startPIC(uint8_t* b, void (*missRoutine)()) {
  uint8_t* at = genPICPath(b + nMethodCannotResumeEntry, reinterpret_cast<uint64_t>(b), missRoutine);
  at = fillNops(at, b + nMethodEntry);
  return cgenLoadClassTag(at, rAX);
}

uint64_t newClosedPIC(oop selector, uint32_t numArgs, uint64_t target0) {
  uint8_t* b = newPIC(nPICClosedSize, nmFlagPIC, numArgs);
  if (b == nullptr) return 0;
  uint64_t pic = reinterpret_cast<uint64_t>(b);
  NMethodHeader* h = reinterpret_cast<NMethodHeader*>(b);
  uint8_t* at = startPIC(b, rtMNUFromPIC);
  at = emitAluRmR(at, aluRRCmp, rAX, rR15);  // the site's own class
  at = emitJccRel8(at, ccNE, 5);             // no: the case list
  at = genPICCase0(at, target0 != 0 ? target0 : picMNUPath(pic), 0);
  at = genPICPath(at, pic, rtExtendClosedPIC);
  fillNops(at, b + h->usedSize);
  picNumCases(pic) = 1;
  registerPIC(pic, selector);
  return pic;
}

// Method-cache probe at [r11 + rdx]: the entry's class is r15 and its nmethod has the PIC's
// selector -> its no-check entry.
static uint8_t* genPICProbe(uint8_t* at, uint64_t pic) {
  at = emitCmpR32MIdx(at, rR15, rR11, rDX);  // the entry's class
  at = emitJccRel8(at, ccNE, 0);
  uint8_t* miss1 = at;
  at = emitMovRMIdxD8(at, rAX, rR11, rDX, 8);  // its nmethod
  at = emitMovRRipRel(at, rR10, reinterpret_cast<const void*>(pic + offsetof(NMethodHeader, selector)));
  at = emitCmpMR(at, rAX, offsetof(NMethodHeader, selector), rR10);
  at = emitJccRel8(at, ccNE, 0);
  uint8_t* miss2 = at;
  at = emitAluRI8(at, aluAdd, rAX, int8_t(nMethodEntryNoCheck));
  at = emitJmpR(at, rAX);
  cgenPatchRel8(miss1, at);
  cgenPatchRel8(miss2, at);
  return at;
}

// The open PIC of a selector: r15 := the class tag, then both probes of the method cache.
uint64_t newOpenPIC(oop selector, uint32_t numArgs) {
  if (isHeapObject(selector) && hashOf(headerOf(selector)) == 0) getObjHash(headerOf(selector));
  uint8_t* b = newPIC(nPICOpenSize, nmFlagOpenPIC, numArgs);
  if (b == nullptr) return 0;
  uint64_t pic = reinterpret_cast<uint64_t>(b);
  NMethodHeader* h = reinterpret_cast<NMethodHeader*>(b);
  uint8_t* at = startPIC(b, rtOpenPICSendMiss);
  at = emitMovRR(at, rR15, rAX);
  at = fillNops(at, b + nMethodEntryNoCheck);
  at = emitLeaRMD32(at, rDX, rR15, int32_t(selectorHash(selector)));
  at = emitAluR32I32(at, aluAnd, rDX, int32_t(mCacheMask));
  at = emitShiftRI(at, shiftShl, rDX, 4);
  at = emitMovRI64(at, rR11, reinterpret_cast<uint64_t>(mCache));
  at = genPICProbe(at, pic);
  at = emitAluRI32(at, aluAdd, rDX, int32_t(mCacheSecondProbe * 16));
  at = emitAluR32I32(at, aluAnd, rDX, int32_t(mCacheMask << 4));
  at = genPICProbe(at, pic);
  at = emitJmpRel32(at, reinterpret_cast<const void*>(picMNUPath(pic)));  // the miss path at 40
  if (uint64_t(at - b) > nPICOpenSize) doPanic(__FILE__, __LINE__);
  fillNops(at, b + h->usedSize);
  registerPIC(pic, selector);
  return pic;
}

uint64_t findOpenPIC(oop selector) {
  NMethodHeader probe = {};
  probe.flags = nmFlagOpenPIC;
  probe.selector = selector;
  for (NMethodHeader* h = picHeader(picTable().buckets[nmTableKey(&probe) & picTable().mask]); h != nullptr;
       h = picHeader(h->link))
    if (h->selector == selector && (h->flags & nmFlagOpenPIC) == nmFlagOpenPIC) return reinterpret_cast<uint64_t>(h);
  return 0;
}


void notePICMNUCase(uint64_t pic, uint64_t dnu) {
  if (!picHasMNU(pic)) {
    picHasMNU(pic) = 1;
    picHeader(pic)->vmethod = dnu;
  } else if (picHeader(pic)->vmethod != dnu) {
    picHeader(pic)->vmethod = 0;
  }
}


// ---- Upkeep for the native-method zone's collection ------------------------------------------

static inline bool inNMethodZone(uint64_t block) { return block >= nmZone.bottom && block < nmZone.free; }
static inline int32_t relAt(const uint8_t* at) {
  int32_t v;
  memcpy(&v, at, 4);
  return v;
}
static inline uint64_t case0Target(uint64_t pic) {
  const uint8_t* at = reinterpret_cast<const uint8_t*>(pic) + nMethodEntryNoCheck + 1;
  return uint64_t(at + 4) + uint64_t(int64_t(relAt(at)));
}
static inline uint32_t caseTag(uint64_t pic, uint32_t k) {
  return uint32_t(relAt(caseAt(pic, k) + 3));
}
static inline uint64_t caseTarget(uint64_t pic, uint32_t k) {
  const uint8_t* at = caseAt(pic, k) + 9;
  return uint64_t(at + 4) + uint64_t(int64_t(relAt(at)));
}
// The nmethod a case target enters (its no-check entry), or 0 outside the zone.
static inline NMethodHeader* targetBlock(uint64_t target) {
  uint64_t b = target - nMethodEntryNoCheck;
  return inNMethodZone(b) ? picHeader(b) : nullptr;
}
static inline bool hasDnuNMethod(uint64_t pic) { return picHasMNU(pic) && picHeader(pic)->vmethod > 1; }

// A target that can no longer be entered: a freed nmethod, or the MNU path while the
// selector may have become understood.
static bool isStaleTarget(uint64_t pic, uint64_t target) {
  if (target == picMNUPath(pic)) return picHeader(pic)->vmethod == 1;
  NMethodHeader* b = targetBlock(target);
  return b != nullptr && b->usedSize == 0;
}

static int shouldFreePIC(uint64_t pic, int allCases) {
  if (isOpenPIC(pic)) return 0;
  if (isStaleTarget(pic, case0Target(pic))) return 1;
  if (allCases)
    for (uint32_t k = 1; k < picNumCases(pic); k++)
      if (isStaleTarget(pic, caseTarget(pic, k))) return 1;
  return 0;
}

// During a compaction the first code word of a block in use holds its displacement.
static inline int64_t displacementOfBlock(uint64_t block) {
  int64_t d;
  memcpy(&d, reinterpret_cast<const void*>(block + nMethodHeaderSize), 8);
  return d;
}
// Where a target will be after the move; 0 when it is dropped.
static uint64_t futureTarget(uint64_t pic, uint64_t target) {
  if (target == picMNUPath(pic)) return target + uint64_t(displacementOfBlock(pic));
  NMethodHeader* b = targetBlock(target);
  if (b == nullptr) return target;
  if (b->usedSize == 0) return 0;
  return target + uint64_t(displacementOfBlock(reinterpret_cast<uint64_t>(b)));
}

// Before the zone slides: the cases are rewritten for the targets' new places, those of freed
// nmethods dropped. A freed doesNotUnderstand: nmethod leaves the MNU path to look it up
// again, so MNU cases stay. Case 0 is never freed here: a PIC whose case 0 was freed is
// freed before the compaction.
static void relocatePICLinks(uint64_t pic) {
  if (isOpenPIC(pic)) return;
  NMethodHeader* h = picHeader(pic);
  if (hasDnuNMethod(pic) && inNMethodZone(h->vmethod)) {
    if (picHeader(h->vmethod)->usedSize == 0) h->vmethod = 0;
    else h->vmethod += uint64_t(displacementOfBlock(h->vmethod));
  }
  int64_t shift = displacementOfBlock(pic);
  uint32_t n = picNumCases(pic);
  uint64_t first = futureTarget(pic, case0Target(pic));
  if (first == 0) doPanic(__FILE__, __LINE__);
  uint32_t tags[nPICMaxCases];
  uint64_t targets[nPICMaxCases];
  uint32_t kept = 0;
  for (uint32_t k = 1; k < n; k++) {
    uint64_t t = futureTarget(pic, caseTarget(pic, k));
    if (t == 0) continue;
    tags[kept] = caseTag(pic, k);
    targets[kept++] = t;
  }
  uint8_t* at = genPICCase0(reinterpret_cast<uint8_t*>(pic) + nMethodEntryNoCheck, first, shift);
  for (uint32_t k = 0; k < kept; k++) at = genPICCase(at, tags[k], targets[k], shift);
  at = genPICPath(at, pic, rtExtendClosedPIC);
  fillNops(at, caseAt(pic, n) + nPICTypeCaseSize);
  picNumCases(pic) = uint8_t(kept + 1);
}

// After the move: the path at 40 held the displacement.
static void restorePICPostRelocation(uint64_t pic) {
  genPICPath(reinterpret_cast<uint8_t*>(picMNUPath(pic)), pic, isOpenPIC(pic) ? rtOpenPICSendMiss : rtMNUFromPIC);
}

static bool isUnmarkedNMethod(uint64_t target) {
  NMethodHeader* b = targetBlock(target);
  return b != nullptr && (b->usedSize == 0 || b->mark == 0 || (b->flags & nmFlagUnlinked) != 0);
}
static bool namesAClass(uint32_t tag) {
  if (tag < 8) return true;  // immediates
  if (classTable[tag >> 10] == nullptr) return false;
  oop c = classAt(tag);
  return c != 0 && c != nilOop();
}

static int picHasLinksToUnmarked(uint64_t pic) {
  if (isOpenPIC(pic)) return 0;
  NMethodHeader* h = picHeader(pic);
  if (isHeapObject(h->selector) && h->selector != 0 && !isMarked(headerOf(h->selector))) return 1;
  if (picHasMNU(pic)) {
    if (h->vmethod == 1) return 1;
    if (h->vmethod > 1 && isUnmarkedNMethod(h->vmethod + nMethodEntryNoCheck)) return 1;
  }
  uint64_t t0 = case0Target(pic);
  if (t0 != picMNUPath(pic) && isUnmarkedNMethod(t0)) return 1;
  for (uint32_t k = 1; k < picNumCases(pic); k++) {
    if (!namesAClass(caseTag(pic, k))) return 1;
    uint64_t t = caseTarget(pic, k);
    if (t != picMNUPath(pic) && isUnmarkedNMethod(t)) return 1;
  }
  return 0;
}

static void unfilePIC(uint64_t pic) {
  for (uint32_t i = 0; i <= picTable().mask; i++)
    for (uint64_t* pp = &picTable().buckets[i]; *pp != 0; pp = &picHeader(*pp)->link)
      if (*pp == pic) {
        *pp = picHeader(pic)->link;
        return;
      }
}

// After a scavenge: the selector's reference follows its object. An open PIC whose selector
// moved, or a PIC whose selector died, is freed.
static uint64_t updatePICNewLits(uint64_t pic, int* freed) {
  NMethodHeader* h = picHeader(pic);
  oop before = h->selector;
  if (!isHeapObject(before) || before == 0 || !isNewObject(before)) {
    h->flags &= uint8_t(~nmFlagNewRef);
    return 0;
  }
  bool alive = updateNewObjRef(&h->selector);
  if (alive && (!isOpenPIC(pic) || h->selector == before)) {
    if (isNewObject(h->selector)) return pic;
    h->flags &= uint8_t(~nmFlagNewRef);
    return 0;
  }
  unfilePIC(pic);
  nMethodDealloc(h);
  *freed = 1;
  return 0;
}

template <typename F>
static void closedPICsDo(F f) {
  for (uint32_t i = 0; i <= picTable().mask; i++)
    for (uint64_t e = picTable().buckets[i]; e != 0; e = picHeader(e)->link)
      if (picHeader(e)->usedSize != 0 && !isOpenPIC(e)) f(e);
}

// A doesNotUnderstand: nmethod of the method (any when 0), or a freed one, is forgotten: the
// MNU path looks it up again.
static void flushCachedMNUMethodEntriesForMethod(oop method) {
  closedPICsDo([method](uint64_t pic) {
    if (!hasDnuNMethod(pic)) return;
    const NMethodHeader* dnu = picHeader(picHeader(pic)->vmethod);
    if (method == 0 || dnu->usedSize == 0 || dnu->vmethod == method) picHeader(pic)->vmethod = 0;
  });
}

// A method for the selector came or went: its MNU cases may be understood now.
static void flushPICEntriesForSelector(oop selector) {
  if (selector == sysOop(sysDnuSelector)) flushCachedMNUMethodEntriesForMethod(0);
  closedPICsDo([selector](uint64_t pic) {
    if (!picHasMNU(pic) || picHeader(pic)->selector != selector) return;
    picHeader(pic)->vmethod = 1;
    picHeader(pic)->mark = 0;
  });
}

// ---- Listings ----------------------------------------------------------------------------------

// The header: kind, mark and the MNU path the MNU cases enter, then the header's fields.
void printNPIC(uint64_t pic, FILE* stream) {
  const NMethodHeader* h = picHeader(pic);
  char state[80];
  int n = snprintf(state, sizeof state, "%s, mark=%d", isOpenPIC(pic) ? "open" : "closed", h->mark);
  if (picHasMNU(pic)) snprintf(state + n, sizeof state - size_t(n), " with MNU Case(s)=0x%" PRIx64, picMNUPath(pic));
  const char* chars = "";
  int length = 0;
  if (isHeapObject(h->selector) && h->selector != 0 && !hasPtrs(headerOf(h->selector))) {
    chars = reinterpret_cast<const char*>(bodyOf(headerOf(h->selector)));
    length = int(byteSizeOf(headerOf(h->selector)));
  }
  fprintf(stream,
          "nPIC 0x%" PRIx64 ": %s (entry: 0x%" PRIx64 ")\n  usedSize=0x%x link=0x%" PRIx64
          "\n  numArgs=0x%x numCases=%d \n  selector=0x%" PRIx64 " (%.*s)\n",
          pic, state, pic + nPICGlueEntry, h->usedSize, h->link, h->numArgs, picNumCases(pic), h->selector, length,
          chars);
}

// The header and, for a closed PIC, each case's nmethod (or the MNU path) and class, then the
// doesNotUnderstand: nmethod the MNU path holds.
void printEntireNPIC(uint64_t pic, FILE* stream) {
  printNPIC(pic, stream);
  if (isOpenPIC(pic)) return;
  uint64_t t0 = case0Target(pic);
  if (t0 == picMNUPath(pic)) fprintf(stream, "case 0 is MNU\n");
  else fprintf(stream, "case 0: 0x%" PRIx64 "\n", t0 - nMethodEntryNoCheck);
  for (uint32_t k = 1; k < picNumCases(pic); k++) {
    uint64_t t = caseTarget(pic, k);
    uint64_t tag = caseTag(pic, k);
    if (t == picMNUPath(pic)) fprintf(stream, "case %u is MNU, class 0x%" PRIx64 "\n", k, tag);
    else fprintf(stream, "case %u: 0x%" PRIx64 ", class 0x%" PRIx64 "\n", k, t - nMethodEntryNoCheck, tag);
  }
  if (picHasMNU(pic)) fprintf(stream, "mnuNMethod: 0x%" PRIx64 "\n", picHeader(pic)->vmethod);
}

// Every PIC filed, bucket by bucket.
void printPICSelectors(FILE* stream) {
  for (uint32_t i = 0; i <= picTable().mask; i++)
    for (uint64_t e = picTable().buckets[i]; e != 0; e = picHeader(e)->link) printNPIC(e, stream);
}

void initPICs() {
  npicOps = {shouldFreePIC,        relocatePICLinks,       restorePICPostRelocation,
             picHasLinksToUnmarked, updatePICNewLits,      flushCachedMNUMethodEntriesForMethod,
             flushPICEntriesForSelector};
  nmHooks.printNPIC = printNPIC;
}
