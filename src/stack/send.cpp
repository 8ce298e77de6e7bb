// Execution engine: send sites and their patching, the unlinked-send routines, relinking
// after a class-check miss, and translation failures.
// Owns findMethodHook. Prefix: none.
#include "stack/send.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "ext/exError.h"
#include "ext/exOption.h"
#include "mman/mmPending.h"
#include "mman/mmScavenge.h"
#include "mman/mmSysOop.h"
#include "prim/prUtil.h"
#include "stack/glue.h"
#include "stack/nsupport.h"
#include "stack/stackframe.h"
#include "stack/vmsupport.h"
#include "stack/stackzone.h"
#include "tran/nmLayout.h"
#include "tran/nmalloc.h"
#include "tran/tmain.h"
#include "tran/tprim.h"
#include "tran/txmem.h"
#include "tran/tpcmap.h"

static inline const NMethodHeader* nmHeader(uint64_t nm) { return reinterpret_cast<const NMethodHeader*>(nm); }
static inline uint64_t* words(uint64_t a) { return reinterpret_cast<uint64_t*>(a); }
static inline uint64_t* savedSp() { return words(currentStack[shSp]); }

uint64_t (*findMethodHook)(oop selector, uint32_t classIndex) = findMethod;

static constexpr uint64_t optionPICsOff = uint64_t(1) << 32;
bool picsDisabled() { return (qrxOptions & optionPICsOff) != 0; }

void pushOnSavedStack(uint64_t word) {
  currentStack[shSp] -= 8;
  *savedSp() = word;
}

// ---- Site patches -------------------------------------------------------------------------

static inline void putU32(uint64_t at, uint32_t v) { memcpy(reinterpret_cast<void*>(at), &v, 4); }
static inline uint32_t getU32(uint64_t at) {
  uint32_t v;
  memcpy(&v, reinterpret_cast<const void*>(at), 4);
  return v;
}
void flushSite() {
  if (rtFlushICache != nullptr) rtFlushICache();
}

void smashInlineCache(uint64_t R, uint32_t classTag, uint64_t target) {
  putU32(R + sendSiteImmediateOffset, classTag);
  putU32(R + sendSiteDisplacementOffset, uint32_t(target - R));
  flushSite();
}

void smashInlineCall(uint64_t R, uint64_t target) {
  putU32(R + sendSiteDisplacementOffset, uint32_t(target - R));
  flushSite();
}

// The site keeps the entry offset it called: only the base moves.
void updateInlineCache(uint64_t R, uint32_t classTag, uint64_t oldBase, uint64_t newBase) {
  putU32(R + sendSiteDisplacementOffset, getU32(R + sendSiteDisplacementOffset) + uint32_t(newBase - oldBase));
  putU32(R + sendSiteImmediateOffset, classTag);
  flushSite();
}

void updateInlineCacheToPIC(uint64_t R, uint64_t oldBase, uint64_t newBase) {
  putU32(R + sendSiteDisplacementOffset, getU32(R + sendSiteDisplacementOffset) + uint32_t(newBase - oldBase));
  flushSite();
}

// ---- Selectors ----------------------------------------------------------------------------

// Below 256 a special selector (pairs of words in registry slot 30); else a literal of the
// sending method, which is the top frame's.
oop selectorForIndex(uint32_t selectorIndex) {
  if (selectorIndex < 256) return bodyOf(headerOf(sysOop(sysSpecialSelectors)))[2 * uint64_t(selectorIndex)];
  uint64_t nm = words(currentStack[shFp])[frNMethod] & frameNMethodMask;
  const ObjectHeader* method = headerOf(nmHeader(nm)->vmethod);
  uint64_t named = indexabilityOf(method);
  if (named == 255) named = formatNamedSlots(classFormatOf(classOfHeader(method)));
  return bodyOf(method)[named + selectorIndex - 256];
}

// ---- Translation failures -----------------------------------------------------------------

uint64_t handleTranFailure(uint32_t classTag, oop selector, uint64_t code) {
  uint64_t r = code;
  if (r == lookupNoSpace) {
    compactNMethods();
    r = findMethodHook(selector, classTag);
    if (r == lookupNoSpace) {
      stabilizeMostStacks();
      compactAllNMethods();
      r = findMethodHook(selector, classTag);
    }
  }
  if (r == lookupNotUnderstood || r >= lookupResultLimit) return r;
  char name[128] = "<unknown>";
  if (isHeapObject(selector) && selector != 0 && !hasPtrs(headerOf(selector))) {
    uint64_t n = byteSizeOf(headerOf(selector));
    if (n > 127) n = 127;
    memcpy(name, bodyOf(headerOf(selector)), n);
    name[n] = 0;
  }
  char text[220];
  snprintf(text, sizeof text, "unexpected translation failure (selector '%s'), code = %d\n", name, int(r));
  doReportError(text, errFatal | errCauseVMBug | 6, "src/stack/send", __LINE__);
  doPanic(__FILE__, __LINE__);
}

// ---- Unlinked sends -----------------------------------------------------------------------

// The lookup found nothing that translates or runs: not understood, or what compaction
// recovered. The site stays unlinked.
static void enterAfterFailure(uint64_t numArgs, uint32_t classTag, oop selector, uint64_t code, oop lookupClass) {
  if (code != lookupNotUnderstood) code = handleTranFailure(classTag, selector, code);
  if (code == lookupNotUnderstood) {
    doesNotUnderstand(numArgs, selector, lookupClass);
    return;
  }
  pushOnSavedStack(code + nMethodGlueEntry);
}

// Continues into the lookup result r, or handles its failure.
static void enterAfterFailureOrMethod(uint64_t numArgs, uint32_t classTag, oop selector, uint64_t r) {
  if (r >= lookupResultLimit) pushOnSavedStack(r + nMethodGlueEntry);
  else enterAfterFailure(numArgs, classTag, selector, r, 0);
}

uint64_t bindToMNUPIC(oop receiver, oop selector, uint64_t numArgs);

static void unlinkedSend(oop receiver, uint32_t selectorIndex, uint64_t numArgs, uint32_t classTag,
                         uint32_t entryOffset) {
  oop selector = selectorForIndex(selectorIndex);
  uint64_t r = findMethodHook(selector, classTag);
  if (r == lookupNotUnderstood && !picsDisabled()) r = bindToMNUPIC(receiver, selector, numArgs);
  if (r < lookupResultLimit) {
    enterAfterFailure(numArgs, classTag, selector, r, 0);
    return;
  }
  smashInlineCache(*savedSp(), classTag, r + entryOffset);
  pushOnSavedStack(r + nMethodGlueEntry);
}

extern "C" void CunlinkedSend(oop receiver, uint32_t selectorIndex, uint64_t numArgs) {
  unlinkedSend(receiver, selectorIndex, numArgs, receiverClassTag(receiver), nMethodEntry);
}
extern "C" void CunlinkedSendNoCheck(oop receiver, uint32_t selectorIndex, uint64_t numArgs) {
  unlinkedSend(receiver, selectorIndex, numArgs, receiverClassTag(receiver), nMethodEntryNoCheck);
}
extern "C" void CunlinkedSendNonImmediate(oop receiver, uint32_t selectorIndex, uint64_t numArgs) {
  unlinkedSend(receiver, selectorIndex, numArgs, classTagOf(headerOf(receiver)), nMethodEntryNonImmediate);
}

// The class index of a superclass, entering it into the class table when it has none; 0
// when that fails.
static uint32_t classIndexEntering(oop cls) {
  uint32_t index = hashOf(headerOf(cls));
  if (index != 0) return index;
  if (enterIntoClassTable(cls) != 0) return 0;
  return hashOf(headerOf(cls));
}

extern "C" void CunlinkedSendSuper(oop receiver, uint32_t selectorIndex, oop methodClass, uint64_t numArgs) {
  oop selector = selectorForIndex(selectorIndex);
  oop super = superclassOf(methodClass);
  if (super == nilOop()) {
    doesNotUnderstand(numArgs, selector, methodClass);
    return;
  }
  uint32_t superIndex = classIndexEntering(super);
  uint64_t r = superIndex == 0 ? lookupNotTranslatable : findMethodHook(selector, superIndex);
  if (r < lookupResultLimit) {
    enterAfterFailure(numArgs, superIndex, selector, r, methodClass);
    return;
  }
  uint32_t linkTag = isImmediate(receiver) ? uint32_t(receiver & oopTagMask) : superIndex;
  smashInlineCache(*savedSp(), linkTag, r + nMethodEntryNoCheck);
  pushOnSavedStack(r + nMethodGlueEntry);
}

// ---- Relinking ------------------------------------------------------------------------------

void relinkSend(oop receiver, uint32_t classTag, oop selector, uint64_t old) {
  (void)receiver;
  uint64_t r = findMethodHook(selector, classTag);
  uint64_t* sp = savedSp();
  if (r >= lookupResultLimit) {
    updateInlineCache(sp[1], classTag, old, r);
    sp[0] = r + nMethodGlueEntry;
    return;
  }
  currentStack[shSp] += 8;
  enterAfterFailure(nmHeader(old)->numArgs, classTag, selector, r, 0);
}

// Super sends are the send types 15-19; their site loads the method class into r11 just
// before it (a 64-bit constant ending where the site begins).
static bool isSuperSendType(uint32_t t) { return t >= 15 && t <= 19; }

int relinkSendToUnlinked(oop receiver) {
  uint64_t* sp = savedSp();
  uint64_t old = sp[0] - nMethodAbortSendMissReturnOffset;
  uint64_t R = sp[1];
  uint32_t sendType = 0;
  uint8_t data[16];
  uint64_t sender = nMethodForPC(R);
  if (sender != 0) mapDataForNpc(sender, R, data, sizeof data, &sendType);
  uint32_t classTag;
  if (isSuperSendType(sendType)) {
    oop methodClass;
    memcpy(&methodClass, reinterpret_cast<const void*>(R + superLookupClassLoadOffset - 8), 8);
    classTag = classIndexEntering(superclassOf(methodClass));
  } else {
    classTag = receiverClassTag(receiver);
  }
  relinkSend(receiver, classTag, nmHeader(old)->selector, old);
  return isNMethod(*savedSp() - nMethodGlueEntry);
}

extern "C" void CrtAbortRelinkSendToUnlinked(oop receiver) { relinkSendToUnlinked(receiver); }


// ---- Polymorphic inline caches --------------------------------------------------------------
// A PIC is a zone block with an nmethod header: numArgs, then the MNU-path byte (numTemps's
// place) and numCases (frame's place); the method word holds the doesNotUnderstand: nmethod
// shared by the MNU cases (0: look it up; 1: the selector may be understood now).
//
// Closed PIC:  40 MNU path: lea r14, [pic]; push rtMNUFromPIC; ret
//              64 class check of rax against r15, missing into the case list
//              87 jmp case 0's target
//              92 per case: cmp rax, imm32; je rel32   (13 bytes each)
//              then the miss tail: lea r14, [pic]; push rtExtendClosedPIC; ret
// Open PIC:    40 the same path to rtOpenPICSendMiss; 64 r15 := the receiver's class tag;
//              87 the method-cache probe for the PIC's selector, missing to 40.


static inline NMethodHeader* picHeader(uint64_t pic) { return reinterpret_cast<NMethodHeader*>(pic); }
static inline uint8_t& picHasMNU(uint64_t pic) { return picHeader(pic)->numTemps; }
static inline uint8_t& picNumCases(uint64_t pic) { return picHeader(pic)->frame; }
static inline bool isOpenPIC(uint64_t pic) { return (picHeader(pic)->flags & nmFlagOpenPIC) == nmFlagOpenPIC; }

static uint8_t* putBytes(uint8_t* at, std::initializer_list<uint8_t> bytes) {
  for (uint8_t b : bytes) *at++ = b;
  return at;
}
static uint8_t* putU32At(uint8_t* at, uint32_t v) {
  memcpy(at, &v, 4);
  return at + 4;
}
static uint8_t* putU64At(uint8_t* at, uint64_t v) {
  memcpy(at, &v, 8);
  return at + 8;
}
static uint8_t* fillNops(uint8_t* at, uint8_t* to) {
  while (at < to) *at++ = 0x90;
  return at;
}

// lea r14, [pic]; push routine; ret (13 bytes).
static uint8_t* genPICPath(uint8_t* at, uint64_t pic, void (*routine)()) {
  at = putBytes(at, {0x4C, 0x8D, 0x35});
  at = putU32At(at, uint32_t(pic - uint64_t(at + 4)));
  at = putBytes(at, {0x68});
  at = putU32At(at, uint32_t(glueAddress(routine)));
  return putBytes(at, {0xC3});
}

// rax := the receiver's class tag (immediates: their 3-bit tag).
static uint8_t* genClassTag(uint8_t* at) {
  at = putBytes(at, {0x48, 0x89, 0xD8});              // mov rax, rbx
  at = putBytes(at, {0x48, 0x83, 0xE0, 0x07});        // and rax, 7
  at = putBytes(at, {0x75, 0x09});                    // jnz: an immediate
  at = putBytes(at, {0x48, 0x8B, 0x43, 0x08});        // mov rax, [rbx + 8]
  return putBytes(at, {0x25, 0xFF, 0xFF, 0x0F, 0x00});  // and eax, 0xFFFFF
}

static inline uint8_t* caseAt(uint64_t pic, uint32_t k) {
  return reinterpret_cast<uint8_t*>(pic) + nPICFirstTargetOffset + (k - 1) * nPICTypeCaseSize;
}

// cmp rax, classTag; je target, written at `at` for a PIC that will lie shift bytes away.
static uint8_t* putCase(uint8_t* at, uint32_t classTag, uint64_t target, int64_t shift) {
  at = putBytes(at, {0x48, 0x81, 0xF8});
  at = putU32At(at, classTag);
  at = putBytes(at, {0x0F, 0x84});
  return putU32At(at, uint32_t(target - (uint64_t(at + 4) + uint64_t(shift))));
}

// Case k >= 1 over the miss tail, and the tail after it.
static void writeCase(uint64_t pic, uint32_t k, uint32_t classTag, uint64_t target) {
  genPICPath(putCase(caseAt(pic, k), classTag, target, 0), pic, rtExtendClosedPIC);
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
  return genClassTag(at);
}

// A closed PIC whose case 0 is target0 for the site's own class; 0 when the zone is full.
static uint64_t newClosedPIC(oop selector, uint32_t numArgs, uint64_t target0) {
  uint8_t* b = newPIC(nPICClosedSize, nmFlagPIC, numArgs);
  if (b == nullptr) return 0;
  uint64_t pic = reinterpret_cast<uint64_t>(b);
  NMethodHeader* h = reinterpret_cast<NMethodHeader*>(b);
  uint8_t* at = startPIC(b, rtMNUFromPIC);
  at = putBytes(at, {0x4C, 0x39, 0xF8, 0x75, 0x05});  // cmp rax, r15; jne the case list
  at = putBytes(at, {0xE9});
  at = putU32At(at, uint32_t(target0 - uint64_t(at + 4)));
  at = genPICPath(at, pic, rtExtendClosedPIC);
  fillNops(at, b + h->usedSize);
  picNumCases(pic) = 1;
  registerPIC(pic, selector);
  return pic;
}

// Method-cache probe at [rdx]: the entry's class is r15 and its nmethod has the PIC's
// selector -> its no-check entry.
static uint8_t* genProbe(uint8_t* at, uint64_t pic) {
  at = putBytes(at, {0x45, 0x3B, 0x3C, 0x13});  // cmp r15d, [r11 + rdx]
  uint8_t* miss1 = at;
  at = putBytes(at, {0x75, 0x00});
  at = putBytes(at, {0x49, 0x8B, 0x44, 0x13, 0x08});  // mov rax, [r11 + rdx + 8]
  at = putBytes(at, {0x4C, 0x8B, 0x15});              // mov r10, [pic.selector]
  at = putU32At(at, uint32_t(pic + offsetof(NMethodHeader, selector) - uint64_t(at + 4)));
  at = putBytes(at, {0x4C, 0x39, 0x50, 0x20});  // cmp [rax + 32], r10
  uint8_t* miss2 = at;
  at = putBytes(at, {0x75, 0x00});
  at = putBytes(at, {0x48, 0x83, 0xC0, uint8_t(nMethodEntryNoCheck)});  // add rax, no-check entry
  at = putBytes(at, {0xFF, 0xE0});                                       // jmp rax
  miss1[1] = uint8_t(at - (miss1 + 2));
  miss2[1] = uint8_t(at - (miss2 + 2));
  return at;
}

// The open PIC of a selector: r15 := the class tag, then both probes of the method cache.
static uint64_t newOpenPIC(oop selector, uint32_t numArgs) {
  if (isHeapObject(selector) && hashOf(headerOf(selector)) == 0) getObjHash(headerOf(selector));
  uint8_t* b = newPIC(nPICOpenSize, nmFlagOpenPIC, numArgs);
  if (b == nullptr) return 0;
  uint64_t pic = reinterpret_cast<uint64_t>(b);
  NMethodHeader* h = reinterpret_cast<NMethodHeader*>(b);
  uint8_t* at = startPIC(b, rtOpenPICSendMiss);
  at = putBytes(at, {0x49, 0x89, 0xC7});  // mov r15, rax
  at = fillNops(at, b + nMethodEntryNoCheck);
  at = putBytes(at, {0x49, 0x8D, 0x97});  // lea rdx, [r15 + hash]
  at = putU32At(at, selectorHash(selector));
  at = putBytes(at, {0x81, 0xE2});  // and edx, mask
  at = putU32At(at, mCacheMask);
  at = putBytes(at, {0x48, 0xC1, 0xE2, 0x04});  // shl rdx, 4
  at = putBytes(at, {0x49, 0xBB});              // mov r11, mCache
  at = putU64At(at, reinterpret_cast<uint64_t>(mCache));
  at = genProbe(at, pic);
  at = putBytes(at, {0x48, 0x81, 0xC2});  // add rdx, second probe * 16
  at = putU32At(at, mCacheSecondProbe * 16);
  at = putBytes(at, {0x81, 0xE2});  // and edx, mask * 16
  at = putU32At(at, mCacheMask << 4);
  at = genProbe(at, pic);
  at = putBytes(at, {0xE9});  // the miss path at 40
  at = putU32At(at, uint32_t(pic + nMethodCannotResumeEntry - uint64_t(at + 4)));
  if (uint64_t(at - b) > nPICOpenSize) doPanic(__FILE__, __LINE__);
  fillNops(at, b + h->usedSize);
  registerPIC(pic, selector);
  return pic;
}

static uint64_t findOpenPIC(oop selector) {
  NMethodHeader probe = {};
  probe.flags = nmFlagOpenPIC;
  probe.selector = selector;
  for (NMethodHeader* h = picHeader(picTable().buckets[nmTableKey(&probe) & picTable().mask]); h != nullptr;
       h = picHeader(h->link))
    if (h->selector == selector && (h->flags & nmFlagOpenPIC) == nmFlagOpenPIC) return reinterpret_cast<uint64_t>(h);
  return 0;
}

// The doesNotUnderstand: nmethod for the class, 0 when there is none, 1 when the lookup
// failed otherwise.
static uint64_t dnuMethodFor(uint32_t classTag) {
  uint64_t m = findMethodHook(sysOop(sysDnuSelector), classTag);
  if (m == lookupNotUnderstood) return 0;
  return m < lookupResultLimit ? 1 : m;
}

// Adds the MNU path with its method word for the first MNU case, or merges a later case's
// doesNotUnderstand: method into it.
static void noteMNUCase(uint64_t pic, uint64_t dnu) {
  if (!picHasMNU(pic)) {
    picHasMNU(pic) = 1;
    picHeader(pic)->vmethod = dnu;
  } else if (picHeader(pic)->vmethod != dnu) {
    picHeader(pic)->vmethod = 0;
  }
}

uint64_t bindToMNUPIC(oop receiver, oop selector, uint64_t numArgs) {
  uint64_t dnu = dnuMethodFor(receiverClassTag(receiver));
  if (dnu == 1) return lookupNotUnderstood;
  // Case 0 jumps to the MNU path, written over its own first bytes once the block exists.
  uint64_t pic = newClosedPIC(selector, uint32_t(numArgs), 0);
  if (pic == 0) return lookupNotUnderstood;
  uint8_t* jump = reinterpret_cast<uint8_t*>(pic) + nMethodEntryNoCheck + 1;
  putU32At(jump, uint32_t(pic + nMethodCannotResumeEntry - uint64_t(jump + 4)));
  noteMNUCase(pic, dnu);
  flushSite();
  return pic;
}

extern "C" void CrtPICAbortSendMiss(oop receiver) {
  if (picsDisabled()) {
    relinkSendToUnlinked(receiver);
    return;
  }
  uint64_t* sp = savedSp();
  uint64_t old = sp[0] - nMethodAbortSendMissReturnOffset;
  oop selector = nmHeader(old)->selector;
  uint32_t tag = receiverClassTag(receiver);
  uint64_t r = findMethodHook(selector, tag);
  bool mnu = r == lookupNotUnderstood;
  if (mnu) r = dnuMethodFor(tag);
  if ((!mnu && r < lookupResultLimit) || (mnu && r == 1)) {
    currentStack[shSp] += 8;
    enterAfterFailure(nmHeader(old)->numArgs, tag, selector, mnu ? lookupNotUnderstood : r, 0);
    return;
  }
  uint64_t pic = newClosedPIC(selector, nmHeader(old)->numArgs, old + nMethodEntryNoCheck);
  if (pic == 0) {  // no room: the site stays monomorphic
    relinkSend(receiver, tag, selector, old);
    return;
  }
  if (mnu) noteMNUCase(pic, r);
  writeCase(pic, 1, tag, mnu ? pic + nMethodCannotResumeEntry : r + nMethodEntryNoCheck);
  picNumCases(pic) = 2;
  flushSite();
  updateInlineCacheToPIC(sp[1], old, pic);
  sp[0] = pic + nPICGlueEntry;
}

extern "C" void CrtOpenPICSendMiss(oop receiver, uint64_t pic) {
  oop selector = picHeader(pic)->selector;
  uint32_t tag = receiverClassTag(receiver);
  uint64_t r = findMethodHook == findMethod ? findMethodForOpenPIC(selector, tag, 1) : findMethodHook(selector, tag);
  enterAfterFailureOrMethod(picHeader(pic)->numArgs, tag, selector, r);
}

extern "C" void CrtExtendClosedPIC(oop receiver, uint64_t pic) {
  uint64_t R = *savedSp();
  oop selector = picHeader(pic)->selector;
  uint32_t numArgs = picHeader(pic)->numArgs;
  uint32_t tag = receiverClassTag(receiver);
  if (picNumCases(pic) >= nPICMaxCases) {
    uint64_t open = findOpenPIC(selector);
    if (open == 0) open = newOpenPIC(selector, numArgs);
    if (open == 0) {
      CrtOpenPICSendMiss(receiver, pic);
      return;
    }
    updateInlineCacheToPIC(R, pic, open);
    pushOnSavedStack(open + nPICGlueEntry);
    return;
  }
  uint64_t r = findMethodHook(selector, tag);
  if (r >= lookupResultLimit) {
    writeCase(pic, picNumCases(pic)++, tag, r + nMethodEntryNoCheck);
    flushSite();
    pushOnSavedStack(r + nMethodGlueEntry);
    return;
  }
  if (r != lookupNotUnderstood) {
    enterAfterFailureOrMethod(numArgs, tag, selector, r);
    return;
  }
  uint64_t dnu = picHasMNU(pic) && picHeader(pic)->vmethod == 0 ? 0 : dnuMethodFor(tag);
  if (dnu == 1) {
    CrtOpenPICSendMiss(receiver, pic);
    return;
  }
  noteMNUCase(pic, dnu);
  writeCase(pic, picNumCases(pic)++, tag, pic + nMethodCannotResumeEntry);
  flushSite();
  pushOnSavedStack(pic + nMethodCannotResumeEntry);
}

// ---- PIC upkeep for the native-method zone's collection -----------------------------------

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
static inline uint64_t mnuPath(uint64_t pic) { return pic + nMethodCannotResumeEntry; }
// The nmethod a case target enters (its no-check entry), or 0 outside the zone.
static inline NMethodHeader* targetBlock(uint64_t target) {
  uint64_t b = target - nMethodEntryNoCheck;
  return inNMethodZone(b) ? picHeader(b) : nullptr;
}
static inline bool hasDnuNMethod(uint64_t pic) { return picHasMNU(pic) && picHeader(pic)->vmethod > 1; }

// A target that can no longer be entered: a freed nmethod, or the MNU path while the
// selector may have become understood.
static bool isStaleTarget(uint64_t pic, uint64_t target) {
  if (target == mnuPath(pic)) return picHeader(pic)->vmethod == 1;
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
  if (target == mnuPath(pic)) return target + uint64_t(displacementOfBlock(pic));
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
  uint8_t* at = reinterpret_cast<uint8_t*>(pic) + nMethodEntryNoCheck;
  at = putBytes(at, {0xE9});
  at = putU32At(at, uint32_t(first - (uint64_t(at + 4) + uint64_t(shift))));
  for (uint32_t k = 0; k < kept; k++) at = putCase(at, tags[k], targets[k], shift);
  at = genPICPath(at, pic, rtExtendClosedPIC);
  fillNops(at, caseAt(pic, n) + nPICTypeCaseSize);
  picNumCases(pic) = uint8_t(kept + 1);
}

// After the move: the path at 40 held the displacement.
static void restorePICPostRelocation(uint64_t pic) {
  genPICPath(reinterpret_cast<uint8_t*>(mnuPath(pic)), pic, isOpenPIC(pic) ? rtOpenPICSendMiss : rtMNUFromPIC);
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
  if (t0 != mnuPath(pic) && isUnmarkedNMethod(t0)) return 1;
  for (uint32_t k = 1; k < picNumCases(pic); k++) {
    if (!namesAClass(caseTag(pic, k))) return 1;
    uint64_t t = caseTarget(pic, k);
    if (t != mnuPath(pic) && isUnmarkedNMethod(t)) return 1;
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

// ---- PIC listings ------------------------------------------------------------------------

// The header: kind, mark and the MNU path the MNU cases enter, then the header's fields.
void printNPIC(uint64_t pic, FILE* stream) {
  const NMethodHeader* h = picHeader(pic);
  char state[80];
  int n = snprintf(state, sizeof state, "%s, mark=%d", isOpenPIC(pic) ? "open" : "closed", h->mark);
  if (picHasMNU(pic)) snprintf(state + n, sizeof state - size_t(n), " with MNU Case(s)=0x%" PRIx64, mnuPath(pic));
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
  if (t0 == mnuPath(pic)) fprintf(stream, "case 0 is MNU\n");
  else fprintf(stream, "case 0: 0x%" PRIx64 "\n", t0 - nMethodEntryNoCheck);
  for (uint32_t k = 1; k < picNumCases(pic); k++) {
    uint64_t t = caseTarget(pic, k);
    uint64_t tag = caseTag(pic, k);
    if (t == mnuPath(pic)) fprintf(stream, "case %u is MNU, class 0x%" PRIx64 "\n", k, tag);
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

// ---- Evaluation primitives ------------------------------------------------------------------
// Each replaces its own pending call by a send: the callee returns straight to the
// primitive's caller. Failure codes are PrimErrorTable indices.

enum : uint32_t { evalBadArgument = 3, evalBadReceiver = 5, evalWrongArgCount = 7, evalTranslation = 8 };
constexpr uint64_t maxEvalArgs = 255;

static oop evalFail(uint32_t code, uint64_t primArgs) { return failPrimitive(primErrorAt(code), primArgs); }
static oop translationFail(uint64_t code, uint64_t primArgs) {
  return failPrimitive(cloneErrorWith(primErrorAt(evalTranslation), smallIntegerFor(int64_t(code))), primArgs);
}

// The lookup with the zone compacted when it was full; other failures are answered.
static uint64_t lookupForEval(oop selector, uint32_t classTag) {
  uint64_t m = findMethodHook(selector, classTag);
  if (m != lookupNoSpace) return m;
  compactNMethods();
  m = findMethodHook(selector, classTag);
  if (m != lookupNoSpace) return m;
  stabilizeMostStacks();
  compactAllNMethods();
  return findMethodHook(selector, classTag);
}

// Drops the running primitive's state (pending: its receiver word; committed: its frame)
// and, unless keepStacked, the words its caller stacked for it (receiver and the first
// primArgs-2 arguments), so that the caller's return address is on top.
static void dropPrimitiveState(uint64_t primArgs, bool keepStacked = false) {
  uint64_t* s = currentStack;
  if (s[shReceiver] != 0) {
    s[shReceiver] = 0;
  } else {
    uint64_t fp = s[shFp];
    s[shSp] = fp + 8;
    s[shFp] = words(fp)[frCallerFp];
  }
  if (primArgs >= 3 && !keepStacked) {
    uint64_t returnAddress = savedSp()[0];
    s[shSp] += 8 * (primArgs - 1);
    savedSp()[0] = returnAddress;
  }
}

// Enters entry with receiver and 0-2 register arguments.
[[noreturn]] static void enterWithRegisters(uint64_t entry, oop receiver, const oop* args, uint64_t n) {
  pushOnSavedStack(entry);
  for (uint64_t i = n; i-- > 0;) pushOnSavedStack(args[i]);
  pushOnSavedStack(receiver);
  if (n == 0) backToNcodePop0();
  else if (n == 1) backToNcodePop1();
  else backToNcodePop2();
  doPanic(__FILE__, __LINE__);
}

// The general layout: for more than two arguments the receiver and the first n-2 go above
// the caller's return address; then the entry, the last two (zero words for missing ones)
// and the receiver.
static void pushSendWithArguments(uint64_t entry, oop receiver, const oop* args, uint64_t n) {
  if (n > 2) {
    uint64_t returnAddress = savedSp()[0];
    currentStack[shSp] += 8;
    pushOnSavedStack(receiver);
    for (uint64_t i = 0; i + 2 < n; i++) pushOnSavedStack(args[i]);
    pushOnSavedStack(returnAddress);
  }
  pushOnSavedStack(entry);
  pushOnSavedStack(n >= 2 ? args[n - 1] : 0);
  pushOnSavedStack(n >= 2 ? args[n - 2] : n == 1 ? args[0] : 0);
  pushOnSavedStack(receiver);
}
[[noreturn]] static void enterWithArguments(uint64_t entry, oop receiver, const oop* args, uint64_t n) {
  pushSendWithArguments(entry, receiver, args, n);
  backToNcodePopping();
  doPanic(__FILE__, __LINE__);
}

// The stack room a method's frame needs below the saved sp.
static void ensureFrameRoom(uint64_t nm) {
  const NMethodHeader* h = reinterpret_cast<const NMethodHeader*>(nm);
  uint64_t need = 8 * uint64_t(h->frame) > 96 ? 8 * uint64_t(h->frame) : 96;
  if (currentStack[shRealLim] > currentStack[shSp] - need) handleStackOverflow();
}

// perform:, perform:with:, perform:with:with:.
static oop perform(oop receiver, oop selector, const oop* args, uint64_t n, uint64_t primArgs) {
  uint64_t m = lookupForEval(selector, receiverClassTag(receiver));
  if (m == lookupNotUnderstood) {
    oop copy[2] = {n > 0 ? args[0] : 0, n > 1 ? args[1] : 0};
    dropPrimitiveState(primArgs);
    doesNotUnderstandWA(n, receiver, selector, 0, copy);
  }
  if (m < lookupResultLimit) return translationFail(m, primArgs);
  if (reinterpret_cast<const NMethodHeader*>(m)->numArgs != n) return evalFail(evalWrongArgCount, primArgs);
  oop copy[2] = {n > 0 ? args[0] : 0, n > 1 ? args[1] : 0};
  dropPrimitiveState(primArgs);
  enterWithRegisters(m + nMethodGlueEntry, receiver, copy, n);
}

static oop primPerform(oop receiver, oop selector) { return perform(receiver, selector, nullptr, 0, 1); }
static oop primPerformWith(oop receiver, oop selector, oop a1) {
  const oop args[1] = {a1};
  return perform(receiver, selector, args, 1, 2);
}
static oop primPerformWithWith(oop receiver, oop selector, oop a1, oop a2) {
  const oop args[2] = {a1, a2};
  return perform(receiver, selector, args, 2, 3);
}

static bool isArray(oop o) { return isHeapObject(o) && classOf(o) == sysOop(sysArrayClass); }

// perform:withArguments: with an optional lookup class (0: the receiver's class).
static oop performWithArguments(oop receiver, oop selector, oop arguments, oop lookupClass, uint64_t primArgs) {
  if (!isArray(arguments)) return evalFail(evalBadArgument, primArgs);
  uint64_t n = bodyWordsOf(headerOf(arguments));
  oop args[maxEvalArgs];
  if (n > maxEvalArgs) return evalFail(evalWrongArgCount, primArgs);
  if (n > 0) memcpy(args, bodyOf(headerOf(arguments)), 8 * n);
  uint64_t m;
  if (lookupClass != 0) {
    if (!inheritsFrom1(classOf(receiver), lookupClass)) return evalFail(evalBadArgument, primArgs);
    oop super = superclassOf(lookupClass);
    if (super == nilOop()) {
      m = lookupNotUnderstood;
    } else {
      uint32_t index = classIndexEntering(super);
      m = index == 0 ? lookupNotTranslatable : lookupForEval(selector, index);
    }
  } else {
    m = lookupForEval(selector, receiverClassTag(receiver));
  }
  if (m == lookupNotUnderstood) {
    dropPrimitiveState(primArgs);
    doesNotUnderstandWA(n, receiver, selector, lookupClass, args);
  }
  if (m < lookupResultLimit) return translationFail(m, primArgs);
  const NMethodHeader* h = reinterpret_cast<const NMethodHeader*>(m);
  if (h->numArgs != n) return evalFail(evalWrongArgCount, primArgs);
  // A method that performs itself serves pending requests on each round.
  uint64_t* s = currentStack;
  if ((h->flags & nmFlagPrimitive) && s[shReceiver] != 0 && m == nmethFromPrimReturn(s[shFailAddr]) &&
      anyRequestsPending()) {
    commitPrimitiveWithRestart(nilOop());
    handleRequests();
    return nilOop();
  }
  dropPrimitiveState(primArgs);
  ensureFrameRoom(m);
  enterWithArguments(m + nMethodGlueEntry, receiver, args, n);
}

// ---- Sends for the C interface ---------------------------------------------------------------

oop sendInsteadOfPrimitive(oop receiver, oop selector, const oop* args, uint64_t n, uint64_t primArgs) {
  uint64_t m = lookupForEval(selector, receiverClassTag(receiver));
  if (m == lookupNotUnderstood) {
    oop copy[maxEvalArgs];
    if (n > 0) memcpy(copy, args, 8 * n);
    dropPrimitiveState(primArgs);
    doesNotUnderstandWA(n, receiver, selector, 0, copy);
  }
  if (m < lookupResultLimit) return translationFail(m, primArgs);
  if (reinterpret_cast<const NMethodHeader*>(m)->numArgs != n) return evalFail(evalWrongArgCount, primArgs);
  oop copy[maxEvalArgs];
  if (n > 0) memcpy(copy, args, 8 * n);
  dropPrimitiveState(primArgs);
  ensureFrameRoom(m);
  enterWithArguments(m + nMethodGlueEntry, receiver, copy, n);
}

int buildSendWithArgs(oop receiver, oop selector, const oop* args, uint64_t n) {
  uint64_t m = lookupForEval(selector, receiverClassTag(receiver));
  if (m < lookupResultLimit || reinterpret_cast<const NMethodHeader*>(m)->numArgs != n) return 0;
  ensureFrameRoom(m);
  pushSendWithArguments(m + nMethodGlueEntry, receiver, args, n);
  return 1;
}

static oop primPerformWithArgs(oop receiver, oop selector, oop arguments) {
  return performWithArguments(receiver, selector, arguments, 0, 2);
}
static oop primPerformWithArgsInSuperclass(oop receiver, oop selector, oop arguments, oop cls) {
  return performWithArguments(receiver, selector, arguments, cls, 3);
}
static oop primObjectPerform(oop, oop object, oop selector, oop arguments) {
  return performWithArguments(object, selector, arguments, 0, 3);
}
static oop primObjectPerformInSuperclass(oop, oop object, oop selector, oop arguments, oop cls) {
  return performWithArguments(object, selector, arguments, cls, 4);
}

// The nmethod of a block's method for n arguments, or a failure code: 7 for another
// argument count, 0x100 | code for a translation failure.
static uint64_t blockNMethod(oop block, uint64_t n, uint32_t* error) {
  if (!isHeapObject(block) || !hasPtrs(headerOf(block)) || bodyWordsOf(headerOf(block)) < 1) {
    *error = evalBadReceiver;
    return 0;
  }
  oop method = slotOf(block, 0);
  uint64_t nm = vToNMethodHook != nullptr ? vToNMethodHook(method) : 0;
  if (nm == 0) {
    TVInfo info;
    if (!unpackVMethod(method, &info)) {
      *error = 0x100 | lookupNotTranslatable;
      return 0;
    }
    if (info.numArgs != n) {
      *error = evalWrongArgCount;
      return 0;
    }
    nm = mustAddNMethod(method);
    if (nm == 0) {
      *error = 0x100 | lookupNotTranslatable;
      return 0;
    }
  }
  if (reinterpret_cast<const NMethodHeader*>(nm)->numArgs != n) {
    *error = evalWrongArgCount;
    return 0;
  }
  return nm;
}

static oop blockFail(uint32_t error, uint64_t primArgs) {
  return error & 0x100 ? translationFail(error & 0xFF, primArgs) : evalFail(error, primArgs);
}

static oop blockValue(oop block, const oop* args, uint64_t n) {
  uint32_t error = 0;
  uint64_t nm = blockNMethod(block, n, &error);
  if (nm == 0) return blockFail(error, n);
  dropPrimitiveState(n, true);  // with three arguments the first stays where a send expects it
  enterWithRegisters(nm + nMethodBlockGlueEntry, block, n == 3 ? args + 1 : args, n < 2 ? n : 2);
}

static oop primValue(oop block) { return blockValue(block, nullptr, 0); }
static oop primValue1(oop block, oop a1) {
  const oop args[1] = {a1};
  return blockValue(block, args, 1);
}
static oop primValue2(oop block, oop a1, oop a2) {
  const oop args[2] = {a1, a2};
  return blockValue(block, args, 2);
}
static oop primValue3(oop block, oop a1, oop a2, oop a3) {
  const oop args[3] = {a1, a2, a3};
  return blockValue(block, args, 3);
}

static oop primValueWithArguments(oop block, oop arguments) {
  if (!isArray(arguments)) return evalFail(evalBadArgument, 1);
  uint64_t n = bodyWordsOf(headerOf(arguments));
  if (n > maxEvalArgs) return evalFail(evalWrongArgCount, 1);
  oop args[maxEvalArgs];
  if (n > 0) memcpy(args, bodyOf(headerOf(arguments)), 8 * n);
  uint32_t error = 0;
  uint64_t nm = blockNMethod(block, n, &error);
  if (nm == 0) return blockFail(error, 1);
  dropPrimitiveState(1);
  if (n <= 2) enterWithRegisters(nm + nMethodBlockGlueEntry, block, args, n);
  enterWithArguments(nm + nMethodBlockGlueEntry, block, args, n);
}

// A compiled method (the receiver) run on an object of its class or a subclass.
static oop primExecuteMethod(oop method, oop object, oop arguments) {
  if (!isArray(arguments)) return evalFail(evalBadArgument, 2);
  uint64_t n = bodyWordsOf(headerOf(arguments));
  if (n > maxEvalArgs) return evalFail(evalWrongArgCount, 2);
  if (!isHeapObject(method) || !hasPtrs(headerOf(method)) || bodyWordsOf(headerOf(method)) < 2)
    return evalFail(evalBadReceiver, 2);
  uint64_t nm = vToNMethodHook != nullptr ? vToNMethodHook(method) : 0;
  if (nm == 0) {
    TVInfo info;
    if (!unpackVMethod(method, &info)) return translationFail(lookupNotTranslatable, 2);
    if (info.numArgs != n) return evalFail(evalWrongArgCount, 2);
    nm = mustAddNMethod(method);
    if (nm == 0) return translationFail(lookupNotTranslatable, 2);
  }
  if (reinterpret_cast<const NMethodHeader*>(nm)->numArgs != n) return evalFail(evalWrongArgCount, 2);
  oop methodClass = slotOf(method, 1);
  oop nil = nilOop();
  bool found = false;
  for (oop c = classOf(object); c != nil; c = superclassOf(c)) {
    if (!isHeapObject(c) || !hasPtrs(headerOf(c)) || bodyWordsOf(headerOf(c)) < 3) return evalFail(evalBadReceiver, 2);
    if (c == methodClass) {
      found = true;
      break;
    }
  }
  if (!found) return evalFail(evalBadReceiver, 2);
  oop args[maxEvalArgs];
  if (n > 0) memcpy(args, bodyOf(headerOf(arguments)), 8 * n);
  dropPrimitiveState(2);
  enterWithArguments(nm + nMethodGlueEntry, object, args, n);
}

void initEvaluationPrimitives() {
  addCPrimitive(184, reinterpret_cast<const void*>(primObjectPerform), 3);
  addCPrimitive(185, reinterpret_cast<const void*>(primObjectPerformInSuperclass), 4);
  addCPrimitive(500, reinterpret_cast<const void*>(primValueWithArguments), 1);
  addCPrimitive(501, reinterpret_cast<const void*>(primValue), 0);
  addCPrimitive(502, reinterpret_cast<const void*>(primValue1), 1);
  addCPrimitive(503, reinterpret_cast<const void*>(primValue2), 2);
  addCPrimitive(504, reinterpret_cast<const void*>(primValue3), 3);
  addCPrimitive(510, reinterpret_cast<const void*>(primPerformWithArgs), 2);
  addCPrimitive(511, reinterpret_cast<const void*>(primPerform), 1);
  addCPrimitive(512, reinterpret_cast<const void*>(primPerformWith), 2);
  addCPrimitive(513, reinterpret_cast<const void*>(primPerformWithWith), 3);
  addCPrimitive(515, reinterpret_cast<const void*>(primPerformWithArgsInSuperclass), 3);
  addCPrimitive(523, reinterpret_cast<const void*>(primExecuteMethod), 2);
}
