// Execution engine: send sites and their patching, the unlinked-send routines, relinking
// after a class-check miss, and translation failures.
// Owns findMethodHook. Prefix: none.
#include "stack/send.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "ext/exError.h"
#include "ext/exOption.h"
#include "mman/mmSysOop.h"
#include "stack/glue.h"
#include "stack/stackzone.h"
#include "tran/nmLayout.h"
#include "tran/nmalloc.h"
#include "tran/tpcmap.h"

static inline const NMethodHeader* nmHeader(uint64_t nm) { return reinterpret_cast<const NMethodHeader*>(nm); }
static inline uint64_t* words(uint64_t a) { return reinterpret_cast<uint64_t*>(a); }
static inline uint64_t* savedSp() { return words(currentStack[shSp]); }

static uint64_t findMethodNotBuilt(oop, uint32_t) {
  REPORT_ERROR("findMethod: not built yet", errFatal | errCauseVMBug);
  doPanic(__FILE__, __LINE__);
}
uint64_t (*findMethodHook)(oop selector, uint32_t classIndex) = findMethodNotBuilt;

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
static inline void flushSite() {
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
  if (r == lookupNotUnderstood || r >= lookupFirstNMethod) return r;
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

static void unlinkedSend(uint32_t selectorIndex, uint64_t numArgs, uint32_t classTag,
                         uint32_t entryOffset) {
  oop selector = selectorForIndex(selectorIndex);
  uint64_t r = findMethodHook(selector, classTag);
  if (r < lookupFirstNMethod) {
    // A site that nobody understands goes straight to doesNotUnderstand: (no MNU PIC here).
    enterAfterFailure(numArgs, classTag, selector, r, 0);
    return;
  }
  smashInlineCache(*savedSp(), classTag, r + entryOffset);
  pushOnSavedStack(r + nMethodGlueEntry);
}

extern "C" void CunlinkedSend(oop receiver, uint32_t selectorIndex, uint64_t numArgs) {
  unlinkedSend(selectorIndex, numArgs, receiverClassTag(receiver), nMethodEntry);
}
extern "C" void CunlinkedSendNoCheck(oop receiver, uint32_t selectorIndex, uint64_t numArgs) {
  unlinkedSend(selectorIndex, numArgs, receiverClassTag(receiver), nMethodEntryNoCheck);
}
extern "C" void CunlinkedSendNonImmediate(oop receiver, uint32_t selectorIndex, uint64_t numArgs) {
  unlinkedSend(selectorIndex, numArgs, classTagOf(headerOf(receiver)), nMethodEntryNonImmediate);
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
  if (r < lookupFirstNMethod) {
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
  if (r >= lookupFirstNMethod) {
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

// A linked nmethod's class check missed. Without closed PICs the site is relinked to the
// receiver's class, as when PICs are switched off.
extern "C" void CrtPICAbortSendMiss(oop receiver) { relinkSendToUnlinked(receiver); }
