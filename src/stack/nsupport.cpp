// Execution engine: the primitive failure and commit protocol and the run-time routines
// behind the glue (stand-ins where their components are not built yet).
// Owns CStack, CFrame, contextOnTop. Prefix: none.
#include "stack/nsupport.h"

#include "ext/exError.h"
#include "mman/mmSysOop.h"
#include "mman/mmNewSpace.h"
#include "mman/mmOldSpace.h"
#include "mman/mmRt.h"
#include "stack/glue.h"
#include "stack/stackframe.h"
#include "stack/stackzone.h"
#include "stack/vmsupport.h"
#include "tran/nmLayout.h"
#include "tran/tpcmap.h"

extern "C" {
uint64_t CStack;
uint64_t CFrame;
uint64_t contextOnTop;
}

static inline const NMethodHeader* nmHeader(uint64_t nm) { return reinterpret_cast<const NMethodHeader*>(nm); }
static inline uint64_t* words(uint64_t a) { return reinterpret_cast<uint64_t*>(a); }
static inline uint64_t minArgs2(uint64_t n) { return n < 2 ? n : 2; }

// ---- Failure ----------------------------------------------------------------------------

// The frame exists (a committed primitive, or one run from its frame): lay the failure on the
// top frame of the running segment and resume at its first non-primitive pc with the error
// as the top of its stack.
[[noreturn]] static void failFromFrame(oop errorOop, uint64_t numArgs) {
  uint64_t* s = currentStack;
  uint64_t fp = s[shFp];
  uint64_t nm = words(fp)[frNMethod] & frameNMethodMask;
  uint64_t sp = fp - 8 * (3 + minArgs2(numArgs) + nmHeader(nm)->numTemps) - 16;
  words(sp)[1] = errorOop;
  words(sp)[0] = nPCofFirstNonPrimitiveVPC(nm);
  s[shSp] = sp;
  if (frameFailureHook != nullptr) frameFailureHook(errorOop, numArgs);
  backToNcode();
  doPanic(__FILE__, __LINE__);  // backToNcode does not return
}

void (*frameFailureHook)(oop errorOop, uint64_t numArgs);

oop failPrimitive(oop errorOop, uint64_t numArgs) {
  uint64_t* s = currentStack;
  if (s[shReceiver] == 0) failFromFrame(errorOop, numArgs);
  s[shPrimErr] = errorOop;
  s[shNumArgs] = numArgs;
  if (numArgs > 2) return 0;
  s[shSp] -= 8;
  words(s[shSp])[0] = primFailGlueShort;
  return s[shReceiver];
}

oop primFailureAnswer() {
  const uint64_t* s = currentStack;
  return s[shNumArgs] > 2 ? 0 : s[shReceiver];
}

// ---- Commit -----------------------------------------------------------------------------

// Builds the frame that the prologue would have built, below the saved sp, ending in the
// result and the resume pc: caller fp, context slot (unset), nmethod, receiver, register
// arguments, nil temporaries, result, resume pc.
void commitPrimitiveFrame(oop result, uint64_t nmethod, uint64_t resumePc) {
  const NMethodHeader* h = nmHeader(nmethod);
  uint64_t need = 8 * uint64_t(h->frame);
  if (need < 96) need = 96;
  if (currentStack[shSp] - need < currentStack[shRealLim]) handleStackOverflow();
  uint64_t* s = currentStack;
  uint64_t* sp = words(s[shSp]);
  *--sp = s[shFp];
  uint64_t fp = reinterpret_cast<uint64_t>(sp);
  --sp;  // the context slot
  *--sp = nmethod;
  *--sp = s[shReceiver];
  uint64_t n = minArgs2(h->numArgs);  // the glue of 0-2 arguments leaves word 5 alone
  for (uint64_t i = 0; i < n; i++) *--sp = s[shArg0 + i];
  for (uint32_t i = 0; i < h->numTemps; i++) *--sp = nilOop();
  *--sp = result;
  *--sp = resumePc;
  s[shSp] = reinterpret_cast<uint64_t>(sp);
  s[shFp] = fp;
  s[shReceiver] = 0;
}

void commitPrimitive(oop result) {
  uint64_t* s = currentStack;
  if (s[shReceiver] == 0) {
    words(s[shSp])[1] = result;
    return;
  }
  uint64_t failAddr = s[shFailAddr];
  commitPrimitiveFrame(result, nmethFromPrimReturn(failAddr), failAddr + nMethodPrimitiveJumpSize);
}

void commitPrimitiveWithRestart(oop result) {
  uint64_t* s = currentStack;
  if (s[shReceiver] == 0) {
    uint64_t nm = words(s[shFp])[frNMethod] & frameNMethodMask;
    words(s[shSp])[0] = mapPrimitiveRestart(nm);
    words(s[shSp])[1] = result;
    return;
  }
  uint64_t nm = nmethFromPrimReturn(s[shFailAddr]);
  commitPrimitiveFrame(result, nm, mapPrimitiveRestart(nm));
}

oop commitPrimitiveAndHandleRequests(oop result) {
  commitPrimitive(result);
  handleRequests();
  return words(currentStack[shSp])[1];
}

// ---- Late results -----------------------------------------------------------------------

// The word holding a live frame's resume pc: at sp for its segment's top frame, else the
// return-pc word of the frame above it.
static uint64_t* resumePcWord(uint64_t fp) {
  uint64_t* s = segmentOf(fp);
  uint64_t above = 0;
  for (uint64_t f = s[shFp]; f != fp; f = words(f)[frCallerFp]) above = f;
  return above == 0 ? words(s[shSp]) : words(above) + frReturnPc;
}

// The word that topOfStack names for a live hybrid context.
static uint64_t* liveStackTop(uint64_t fp) {
  uint64_t* s = segmentOf(fp);
  uint64_t above = 0;
  for (uint64_t f = s[shFp]; f != fp; f = words(f)[frCallerFp]) above = f;
  if (above == 0) return words(s[shSp] + 8);
  uint32_t n = nmHeader(words(above)[frNMethod] & frameNMethodMask)->numArgs;
  return n < 3 ? words(above + 16) : words(above + 8 * (uint64_t(n) + 1));
}

oop topOfStack(oop context) {
  if (context == 0) return words(currentStack[shSp])[1];
  if (!isLiveHybrid(context)) {
    ObjectHeader* h = headerOf(context);
    int64_t depth = smallIntegerValue(bodyOf(h)[ctxDepth]);
    return bodyOf(headerOf(bodyOf(h)[ctxContents]))[depth - 1];
  }
  return *liveStackTop(liveFrameOf(context));
}

void asynchReCommitOrFailPrimitive(oop context, oop result, int restartFlag) {
  if (!isLiveHybrid(context)) {
    ObjectHeader* h = headerOf(context);
    int64_t depth = smallIntegerValue(bodyOf(h)[ctxDepth]);
    ObjectHeader* contents = headerOf(bodyOf(h)[ctxContents]);
    bodyOf(contents)[depth - 1] = result;
    storeCheck(contents, result, "src/stack/nsupport", __LINE__);
    if (restartFlag) bodyOf(h)[ctxPc] = smallIntegerFor(5);
    return;
  }
  uint64_t fp = liveFrameOf(context);
  *liveStackTop(fp) = result;
  if (restartFlag) *resumePcWord(fp) = nPCofFirstNonPrimitiveVPC(words(fp)[frNMethod] & frameNMethodMask);
}

// The primitive marker byte 254 begins a method's bytecodes: after a 4-byte header when the
// first byte has bit 7 set; in the immediate form it is (word >> 24) & 0xFF.
static bool beginsWithPrimitive(oop method) {
  if (!isHeapObject(method) || !hasPtrs(headerOf(method)) || bodyWordsOf(headerOf(method)) == 0) return false;
  oop bytecodes = slotOf(method, 0);
  if (isSmallInteger(bytecodes)) return ((uint64_t(bytecodes) >> 24) & 0xFF) == 254;
  if (!isHeapObject(bytecodes) || hasPtrs(headerOf(bytecodes))) return false;
  const uint8_t* b = reinterpret_cast<const uint8_t*>(bodyOf(headerOf(bytecodes)));
  uint64_t size = byteSizeOf(headerOf(bytecodes));
  uint64_t at = size > 0 && (b[0] & 0x80) ? 4 : 0;
  return at < size && b[at] == 254;
}

void convertRestartToReturn(oop context) {
  if (!isLiveHybrid(context)) {
    ObjectHeader* h = headerOf(context);
    if (beginsWithPrimitive(bodyOf(h)[ctxMethod])) bodyOf(h)[ctxPc] = smallIntegerFor(4);
    return;
  }
  uint64_t fp = liveFrameOf(context);
  uint64_t nm = words(fp)[frNMethod] & frameNMethodMask;
  if (nmHeader(nm)->flags & nmFlagPrimitive) words(segmentOf(fp)[shSp])[0] = mapPrimitiveReturn(nm);
}

// ---- Objects made by the run time --------------------------------------------------------

ObjectHeader* newRunTimeObject(uint32_t classTag, uint64_t namedSlots, uint64_t indexedSlots, const char* what) {
  uint64_t bytes = 8 * (namedSlots + indexedSlots);
  oop nil = nilOop();
  ObjectHeader* h = allocInEdenInline(classTag, int64_t(namedSlots), bytes, hasPtrsBit, nil);
  if (h == nullptr) h = allocInNewSpace(classTag, int64_t(namedSlots), bytes, hasPtrsBit, nil);
  if (h == nullptr) h = allocInOldSpace(classTag, namedSlots, bytes, hasPtrsBit, nil, 0);
  if (h == nullptr) reportAllocFailure(what, __FILE__, __LINE__);
  return h;
}

// ---- Run-time routines --------------------------------------------------------------------

// A loop's stack check failed: serve what is pending. The limit is restored first (so that a
// post during service forces it again) and once more after, so that served requests do not
// cost the next check another trip.
extern "C" void CrtEndLoop() {
  restoreStackLimit(int64_t(currentStack[shRealLim]));
  if (!anyRequestsPending()) return;
  handleRequests();
  restoreStackLimit(int64_t(currentStack[shRealLim]));
}

// Routines of components not built yet: reaching one stops the system.
[[noreturn]] static void notBuilt(const char* name) {
  static char text[120];
  snprintf(text, sizeof text, "%s: not built yet", name);
  REPORT_ERROR(text, errFatal | errCauseVMBug);
  doPanic(__FILE__, __LINE__);
}
#define STAND_INS(X)                                                                         \
  X(CrtBadBytecode) X(CrtExtendClosedPIC) X(CrtOpenPICSendMiss) X(CrtMNUFromPIC)              \
  X(CrtCarefulCallPrim) X(CrtAbortSend) X(CrtAbortPrimFail) X(CrtNotBoolean)                 \
  X(CrtNotBooleanTrue) X(CrtNotBooleanFalse) X(CrtMakeFullBlock) X(CrtConsArray)             \
  X(CrtMakeFullCopyingBlock) X(CrtMakeCopyingBlock) X(CrtMakeCopyingBlock1) X(CrtCreateArray) \
  X(CrtMethodReturn) X(CrtCheckStore) X(CrtAttemptToAssign)
#define STAND_IN(name) \
  extern "C" void name() { notBuilt(#name); }
STAND_INS(STAND_IN)

// User primitives: the dispatch services are empty in this build; every call fails.
extern "C" {
uint64_t CrtUPrimGlue0() { return 0; }
uint64_t CrtUPrimGlue1() { return 0; }
uint64_t CrtUPrimGlue2() { return 0; }
uint64_t CrtUPrimGlue3() { return 0; }
uint64_t CrtUPrimGlueMany() { return 0; }
}
