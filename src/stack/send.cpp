// Execution engine: send sites and their patching, the unlinked-send routines, relinking
// after a class-check miss, translation failures, the PICs' run-time routines.
// Owns findMethodHook. Prefix: none.
#include "stack/send.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "ext/exError.h"
#include "ext/exOption.h"
#include "ext/exPrimTable.h"
#include "ext/exRequest.h"
#include "mman/mmAllocate.h"
#include "mman/mmPrimUtil.h"
#include "mman/mmRt.h"
#include "mman/mmScavenge.h"
#include "mman/mmSysOop.h"
#include "stack/glue.h"
#include "stack/nsupport.h"
#include "stack/stackframe.h"
#include "stack/stackzone.h"
#include "tran/nmLayout.h"
#include "tran/nmalloc.h"
#include "tran/tmain.h"
#include "tran/txmem.h"
#include "tran/tpcmap.h"
#include "tran/tpic.h"

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
  doReportError(text, errFatal | errCauseVMBug | 6, SOURCE_NAME, __LINE__);
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

// ---- PIC run-time routines ------------------------------------------------------------------
// The misses of sites and PICs (their code is the translator's, src/tran/tpic): a second
// class turns a site into a closed PIC, a ninth a closed PIC into the selector's open one.

// The doesNotUnderstand: nmethod for the class, 0 when there is none, 1 when the lookup
// failed otherwise.
static uint64_t dnuMethodFor(uint32_t classTag) {
  uint64_t m = findMethodHook(sysOop(sysDnuSelector), classTag);
  if (m == lookupNotUnderstood) return 0;
  return m < lookupResultLimit ? 1 : m;
}

uint64_t bindToMNUPIC(oop receiver, oop selector, uint64_t numArgs) {
  uint64_t dnu = dnuMethodFor(receiverClassTag(receiver));
  if (dnu == 1) return lookupNotUnderstood;
  uint64_t pic = newClosedPIC(selector, uint32_t(numArgs), 0);  // case 0: the MNU path
  if (pic == 0) return lookupNotUnderstood;
  notePICMNUCase(pic, dnu);
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
  if (mnu) notePICMNUCase(pic, r);
  setPICCase(pic, 1, tag, mnu ? picMNUPath(pic) : r + nMethodEntryNoCheck);
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
    setPICCase(pic, picNumCases(pic)++, tag, r + nMethodEntryNoCheck);
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
  notePICMNUCase(pic, dnu);
  setPICCase(pic, picNumCases(pic)++, tag, picMNUPath(pic));
  flushSite();
  pushOnSavedStack(picMNUPath(pic));
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

oop buildActivationOfSendWithArgs(oop receiver, oop selector, const oop* args, uint64_t n, oop sender) {
  uint64_t m = lookupForEval(selector, receiverClassTag(receiver));
  if (m < lookupResultLimit) return 0;
  const NMethodHeader* nm = reinterpret_cast<const NMethodHeader*>(m);
  if (nm->numArgs != n || nm->frame == 0 || (nm->flags & nmFlagBlock)) return 0;  // a frameless one cannot resume
  uint64_t depth = n + nm->numTemps, size = nm->frame;
  if (size < contextMinContents) size = contextMinContents;
  if (size < depth) size = depth;
  oop nil = nilOop();
  ObjectHeader* contents = allocSmallObj(classIndexArray, 0, 8 * size, hasPtrsBit, nil);
  ObjectHeader* h = contents == nullptr ? nullptr
                                        : allocSmallObj(classIndexMethodContext, contextNamedSlots,
                                                        8 * contextNamedSlots, hasPtrsBit, nil);
  if (h == nullptr) return 0;
  // Stable, resuming after the primitive (its temporaries nil): the frame is rebuilt when the
  // Process runs it, and its return goes to the sender.
  const oop named[contextNamedSlots] = {
      nm->vmethod, smallIntegerFor(-int64_t(nPCofFirstNonPrimitiveVPC(m) - m)), sender, receiver,
      smallIntegerFor(int64_t(depth)), oopOf(contents)};
  for (uint32_t i = 0; i < contextNamedSlots; i++) {
    bodyOf(h)[i] = named[i];
    storeCheck(h, named[i], SOURCE_NAME, __LINE__);
  }
  for (uint64_t i = 0; i < n; i++) {
    bodyOf(contents)[i] = args[i];
    storeCheck(contents, args[i], SOURCE_NAME, __LINE__);
  }
  return oopOf(h);
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
