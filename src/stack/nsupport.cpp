// Execution engine: the primitive failure and commit protocol and the run-time routines
// behind the glue.
// Owns CStack, CFrame, contextOnTop. Prefix: none.
#include "stack/nsupport.h"

#include <array>
#include <cinttypes>
#include <cstdio>
#include <utility>

#include "ext/exError.h"
#include "ext/exRequest.h"
#include "mman/mmSysOop.h"
#include "mman/mmNewSpace.h"
#include "mman/mmOldSpace.h"
#include "mman/mmRt.h"
#include "stack/glue.h"
#include "stack/send.h"
#include "stack/stackprint.h"
#include "stack/stackframe.h"
#include "stack/stackzone.h"
#include "tran/nmLayout.h"
#include "tran/tpcmap.h"
#include "tran/tprim.h"

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
    storeCheck(contents, result, SOURCE_NAME, __LINE__);
    if (restartFlag) bodyOf(h)[ctxPc] = smallIntegerFor(5);
    return;
  }
  uint64_t fp = liveFrameOf(context);
  *liveStackTop(fp) = result;
  if (restartFlag) *resumePcWord(fp) = nPCofFirstNonPrimitiveVPC(words(fp)[frNMethod] & frameNMethodMask);
}

// The primitive marker byte 254 begins a method's bytecodes: after the 1-byte header, or the
// 4-byte one when the first byte has bit 7 set; in the immediate form it is (word >> 24) & 0xFF.
bool methodBeginsWithPrimitiveMarker(oop method) {
  if (!isHeapObject(method) || method == 0 || !hasPtrs(headerOf(method)) || bodyWordsOf(headerOf(method)) == 0)
    return false;
  oop bytecodes = slotOf(method, 0);
  if (isSmallInteger(bytecodes)) return ((uint64_t(bytecodes) >> 24) & 0xFF) == 254;
  if (!isHeapObject(bytecodes) || bytecodes == 0 || hasPtrs(headerOf(bytecodes))) return false;
  const uint8_t* b = reinterpret_cast<const uint8_t*>(bodyOf(headerOf(bytecodes)));
  uint64_t size = byteSizeOf(headerOf(bytecodes));
  uint64_t at = size > 0 && (b[0] & 0x80) ? 4 : 1;
  return at < size && b[at] == 254;
}

void convertRestartToReturn(oop context) {
  if (!isLiveHybrid(context)) {
    ObjectHeader* h = headerOf(context);
    if (methodBeginsWithPrimitiveMarker(bodyOf(h)[ctxMethod])) bodyOf(h)[ctxPc] = smallIntegerFor(4);
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

// ---- Objects for the running method -------------------------------------------------------

static const char* const nsupportFile = SOURCE_NAME;
enum : uint32_t { classIndexBlockClosure = 13, blockNamedSlots = 3 };

// Takes the top n values off the saved native stack (the first pushed is the deepest),
// keeping the return address on top, into a new Array.
static ObjectHeader* arrayFromStack(uint64_t n, const char* what) {
  ObjectHeader* a = newRunTimeObject(classIndexArray, 0, n, what);
  uint64_t* sp = words(currentStack[shSp]);
  for (uint64_t i = 0; i < n; i++) {
    oop v = sp[n - i];
    bodyOf(a)[i] = v;
    storeCheck(a, v, nsupportFile, __LINE__);
  }
  uint64_t returnAddress = sp[0];
  currentStack[shSp] += 8 * n;
  words(currentStack[shSp])[0] = returnAddress;
  return a;
}

static oop newBlock(oop method, oop outer, oop copied, const char* what) {
  ObjectHeader* b = newRunTimeObject(classIndexBlockClosure, blockNamedSlots, 0, what);
  const oop slots[blockNamedSlots] = {method, outer, copied};
  for (uint32_t i = 0; i < blockNamedSlots; i++) {
    bodyOf(b)[i] = slots[i];
    storeCheck(b, slots[i], nsupportFile, __LINE__);
  }
  return oopOf(b);
}

extern "C" oop CrtCreateArray(uint64_t n) { return oopOf(newRunTimeObject(classIndexArray, 0, n, "create array")); }
extern "C" oop CrtConsArray(uint64_t n) { return oopOf(arrayFromStack(n, "cons array")); }
extern "C" oop CrtMakeCopyingBlock1(oop method, oop value) {
  return newBlock(method, nilOop(), value, "copying block(1)");
}
extern "C" oop CrtMakeCopyingBlock(oop method, uint64_t n) {
  oop copied = oopOf(arrayFromStack(n, "block copied values"));
  return newBlock(method, nilOop(), copied, "copying block");
}
extern "C" oop CrtMakeFullBlock(oop method) {
  oop outer = frameContextOf(currentStack[shFp]);
  return newBlock(method, outer, nilOop(), "full block");
}
extern "C" oop CrtMakeFullCopyingBlock(oop method, uint64_t n) {
  oop copied = oopOf(arrayFromStack(n, "block copied values"));
  // A single copied value is held as itself: the block's copy-values code reads it so.
  if (n == 1) copied = slotOf(copied, 0);
  oop outer = frameContextOf(currentStack[shFp]);
  return newBlock(method, outer, copied, "full copying block");
}

extern "C" void CrtCheckStore(oop holder, oop value) { storeCheck(headerOf(holder), value, nsupportFile, __LINE__); }

// ---- Sends made by the run time ------------------------------------------------------------

// Pushes the entry of the method that selector runs on receiver; a selector nobody
// understands goes to doesNotUnderstand: with the arguments instead (and does not return).
static void pushEntryFor(oop receiver, oop selector, uint64_t numArgs, const oop* args) {
  uint32_t tag = receiverClassTag(receiver);
  uint64_t m = findMethodHook(selector, tag);
  if (m > lookupNotUnderstood && m < lookupResultLimit) m = handleTranFailure(tag, selector, m);
  if (m == lookupNotUnderstood) doesNotUnderstandWA(numArgs, receiver, selector, 0, args);
  pushOnSavedStack(m + nMethodGlueEntry);
}

// A conditional branch met a non-Boolean: mustBeBoolean is sent to it and the branch runs
// again on the answer (its resume pc moved back by backUp bytes).
static void notBoolean(oop value, uint64_t backUp) {
  words(currentStack[shSp])[0] -= backUp;
  pushEntryFor(value, sysOop(sysMustBeBooleanSelector), 0, nullptr);
  pushOnSavedStack(value);
  backToNcodePop0();
  doPanic(__FILE__, __LINE__);
}
extern "C" void CrtNotBoolean(oop value, uint64_t backUp) { notBoolean(value, backUp); }
extern "C" void CrtNotBooleanTrue(oop value, uint64_t backUp) { notBoolean(value + trueOop(), backUp); }
extern "C" void CrtNotBooleanFalse(oop value, uint64_t backUp) { notBoolean(value + falseOop(), backUp); }

// A store into an immutable object: the object is sent the registry's selector with the
// value and the 1-based slot index.
extern "C" void CrtAttemptToAssign(oop object, oop value, uint64_t index) {
  const oop args[2] = {value, smallIntegerFor(int64_t(index) + 1)};
  pushEntryFor(object, sysOop(sysReadOnlyAssignSelector), 2, args);
  pushOnSavedStack(args[1]);
  pushOnSavedStack(args[0]);
  pushOnSavedStack(object);
  backToNcodePop2();
  doPanic(__FILE__, __LINE__);
}

// Translated code met a bytecode it cannot run: the top frame's method is told its index
// through the registry's selector, whose answer the method's stub returns.
extern "C" void CrtBadBytecode(uint64_t index) {
  oop selector = sysOop(sysBadBytecodeSelector);
  if (selector == nilOop() || selector == 0) {
    char heading[48];
    snprintf(heading, sizeof heading, "badBytecodeAt: %" PRId64 "\n", int64_t(index));
    dumpAllToFileWithChars(heading);
    REPORT_ERROR("Bad bytecode (no badBytecodeAt: selector)", errCauseUser | errFatal);
    doPanic(__FILE__, __LINE__);
  }
  oop method = nmHeader(words(currentStack[shFp])[frNMethod] & frameNMethodMask)->vmethod;
  oop arg = smallIntegerFor(int64_t(index));
  uint32_t tag = receiverClassTag(method);
  uint64_t m = findMethodHook(selector, tag);
  if (m > lookupNotUnderstood && m < lookupResultLimit) m = handleTranFailure(tag, selector, m);
  if (m == lookupNotUnderstood) {
    REPORT_ERROR("No method found for badBytecodeAt:", errCauseUser | errFatal);
    doPanic(__FILE__, __LINE__);
  }
  pushOnSavedStack(m + nMethodGlueEntry);
  pushOnSavedStack(arg);
  pushOnSavedStack(method);
  backToNcodePop1();
  doPanic(__FILE__, __LINE__);
}

// ---- Prologue stack checks -----------------------------------------------------------------

// The abort stub left the frame without its temporaries: [resume pc][register arguments]
// [receiver][nmethod][context slot][caller fp]. Room first, then the temporaries (and the
// primitive's error) go in under the resume pc, then the requests.
static void finishAbortedFrame(bool withError, oop error) {
  uint64_t nm = words(currentStack[shFp])[frNMethod] & frameNMethodMask;
  const NMethodHeader* h = nmHeader(nm);
  uint64_t needed = h->frame > 12 ? 8 * uint64_t(h->frame) - 96 : 0;
  if (currentStack[shSp] - needed < currentStack[shRealLim]) handleStackOverflow();
  uint64_t resume = words(currentStack[shSp])[0];
  currentStack[shSp] += 8;
  for (uint32_t i = 0; i < h->numTemps; i++) pushOnSavedStack(nilOop());
  if (withError) pushOnSavedStack(error == 0 ? nilOop() : error);
  pushOnSavedStack(resume);
  restoreStackLimit(int64_t(currentStack[shRealLim]));
  if (anyRequestsPending()) handleRequests();
}
extern "C" void CrtAbortSend() { finishAbortedFrame(false, 0); }
extern "C" void CrtAbortPrimFail(oop error) { finishAbortedFrame(true, error); }

// ---- Non-local return ------------------------------------------------------------------------

static inline bool isNilOrZero(oop o) { return o == 0 || o == nilOop(); }

// A stable context counts as unwind-marked when its method's bytecodes begin with a byte
// carrying both 0x80 and 0x08.
static bool stableIsUnwindMarked(oop context) {
  oop method = slotOf(context, ctxMethod);
  if (!isHeapObject(method) || !hasPtrs(headerOf(method)) || bodyWordsOf(headerOf(method)) == 0) return false;
  oop bytecodes = slotOf(method, 0);
  if (!isHeapObject(bytecodes) || hasPtrs(headerOf(bytecodes)) || byteSizeOf(headerOf(bytecodes)) == 0)
    return false;
  uint8_t first = *reinterpret_cast<const uint8_t*>(bodyOf(headerOf(bytecodes)));
  return (first & 0x88) == 0x88;
}

// Searches from the top frame towards home: answers 1 when home is reached, with *unwind set
// to the first unwind-marked context met (the home included), else 0. Until an unwind
// context is found every frame is tested, so none is skipped; after that, reaching the
// home's segment is enough.
static int findHome(oop home, uint64_t* homeSegment, oop* unwind) {
  oop u = 0;
  uint64_t* seg = currentStack;
  uint64_t fp = seg[shFp];
  for (;;) {
    for (; fp != rootFpOf(seg); fp = words(fp)[frCallerFp]) {
      uint64_t nm = words(fp)[frNMethod] & frameNMethodMask;
      if (u == 0 && (nmHeader(nm)->flags & nmFlagUnwind)) u = frameContextOf(fp);
      if (u != 0 && homeSegment == seg) break;
      if ((words(fp)[frNMethod] & frameHybridBit) && words(fp)[frContext] == home) break;
    }
    if (fp != rootFpOf(seg)) {
      *unwind = u;
      return 1;
    }
    oop sender = seg[shRootSender];
    for (;;) {
      if (isNilOrZero(sender)) return 0;
      if (isLiveHybrid(sender)) break;
      if (u == 0 && stableIsUnwindMarked(sender)) u = sender;
      if (sender == home) {
        *unwind = u;
        return 1;
      }
      sender = slotOf(sender, ctxSender);
    }
    fp = liveFrameOf(sender);
    seg = segmentOf(fp);
  }
}

// The return cannot be made: the cannot-return path gets the context and the result.
static oop cannotReturn(oop context, oop result) {
  contextOnTop = context;
  pushOnSavedStack(cantReturnPC);
  return result;
}

extern "C" oop CrtMethodReturn(oop result, uint64_t depth) {
  uint64_t topFp = currentStack[shFp];
  oop home = slotOf(words(topFp)[frReceiver], 1);
  for (uint64_t i = 1; i < depth; i++) home = slotOf(contextInstVarNoReify(home, ctxReceiver), 1);

  bool live = isLiveHybrid(home) != 0;  // a dead hybrid home becomes stable here
  uint64_t homeFp = live ? liveFrameOf(home) : 0;
  uint64_t* homeSegment = live ? segmentOf(homeFp) : nullptr;
  if (!live && isNilOrZero(slotOf(home, ctxSender))) return cannotReturn(home, result);
  if (live && words(homeFp)[frCallerFp] == rootFpOf(homeSegment) && isNilOrZero(homeSegment[shRootSender]))
    return cannotReturn(home, result);

  oop unwind = 0;
  if (!findHome(home, homeSegment, &unwind)) return cannotReturn(frameContextOf(topFp), result);

  if (unwind != 0) {
    oop context = frameContextOf(currentStack[shFp]);
    const oop args[2] = {result, unwind};
    pushEntryFor(context, sysOop(sysUnwindSelector), 2, args);
    pushOnSavedStack(unwind);
    pushOnSavedStack(result);
    pushOnSavedStack(context);
    backToNcodePop2();
    doPanic(__FILE__, __LINE__);
  }

  // Drop the frames above the first one with a context, then kill every context down to
  // the home.
  uint64_t* seg = currentStack;
  oop start = 0;
  for (uint64_t fp = seg[shFp]; fp != rootFpOf(seg); fp = words(fp)[frCallerFp])
    if (words(fp)[frNMethod] & frameHybridBit) {
      start = words(fp)[frContext];
      break;
    }
  if (start == 0) popToHybridFrame(seg, 0, &start);
  else popToHybridFrame(seg, start, &start);
  nilContexts(start, home);

  if (!live) {
    // A stable home dies with the return, as a hybrid one does when its frame goes.
    oop sender = slotOf(home, ctxSender);
    nilContexts(home, sender);
    resumeContext(sender);
  } else {
    homeFp = liveFrameOf(home);
    uint64_t* s = segmentOf(homeFp);
    if (currentStack != s || reinterpret_cast<uint64_t*>(allocatedStacks[0]) != s) stackAtHead(s);
    uint32_t n = nmHeader(words(homeFp)[frNMethod] & frameNMethodMask)->numArgs;
    uint64_t word = n >= 3 ? homeFp + 8 * uint64_t(n) : homeFp + 8;
    words(word)[0] = words(homeFp)[frReturnPc];
    s[shSp] = word;
    s[shFp] = words(homeFp)[frCallerFp];
    s[shReceiver] = 0;
  }
  pushOnSavedStack(result);
  backToNcodePopResult();
  doPanic(__FILE__, __LINE__);
}

// User primitives: the glue hands over (function, receiver, r12, r13), the many-argument one
// (function, r12, r13, count) with the rest of the arguments above the saved sp. The function
// takes the receiver and its arguments as a C primitive does; it ends through UPReturn or a
// failure, or returns its answer (0: failed without saying why).
uint64_t userPrimitiveArgCount, userPrimitiveSp;

// Notes the user primitive about to run: its argument count and the saved sp it answers over.
static void noteUserPrimitive(uint64_t n) {
  userPrimitiveArgCount = n;
  userPrimitiveSp = currentStack[shSp];
}

static oop userPrimitiveAnswer(oop result, uint64_t n) { return result != 0 ? result : failPrimitive(nilOop(), n); }

extern "C" {
uint64_t CrtUPrimGlue0(uint64_t function, oop receiver, oop, oop) {
  noteUserPrimitive(0);
  return userPrimitiveAnswer(reinterpret_cast<oop (*)(oop)>(function)(receiver), 0);
}
uint64_t CrtUPrimGlue1(uint64_t function, oop receiver, oop a1, oop) {
  noteUserPrimitive(1);
  return userPrimitiveAnswer(reinterpret_cast<oop (*)(oop, oop)>(function)(receiver, a1), 1);
}
uint64_t CrtUPrimGlue2(uint64_t function, oop receiver, oop a1, oop a2) {
  noteUserPrimitive(2);
  return userPrimitiveAnswer(reinterpret_cast<oop (*)(oop, oop, oop)>(function)(receiver, a1, a2), 2);
}
uint64_t CrtUPrimGlue3(uint64_t function, oop, oop a2, oop a3) { return CrtUPrimGlueMany(function, a2, a3, 3); }
uint64_t CrtUPrimGlueMany(uint64_t function, oop last2, oop last, uint64_t n) {
  const uint64_t* s = currentStack;
  oop args[32];
  if (n >= 32) return failPrimitive(nilOop(), n);
  for (uint64_t k = 1; k + 2 <= n; k++) args[k - 1] = words(s[shSp])[n - k - 1];
  args[n - 2] = last2;
  args[n - 1] = last;
  noteUserPrimitive(n);
  return userPrimitiveAnswer(callWithReceiverAndArgs(function, s[shReceiver], args, n), n);
}
}

// ---- A primitive run from its built frame -----------------------------------------------

// Calls a fixed-argument C function with the receiver and n arguments as separate parameters.
template <size_t... I>
static oop callWithArgs(uint64_t function, oop receiver, const oop* args, std::index_sequence<I...>) {
  using Fn = oop (*)(oop, decltype(I, oop())...);
  return reinterpret_cast<Fn>(function)(receiver, args[I]...);
}
template <size_t... N>
static constexpr auto makeCallTable(std::index_sequence<N...>) {
  return std::array<oop (*)(uint64_t, oop, const oop*), sizeof...(N)>{
      [](uint64_t f, oop r, const oop* a) { return callWithArgs(f, r, a, std::make_index_sequence<N>()); }...};
}
static constexpr auto fixedCalls = makeCallTable(std::make_index_sequence<32>());

oop callWithReceiverAndArgs(uint64_t function, oop receiver, const oop* args, uint64_t n) {
  return n < fixedCalls.size() ? fixedCalls[n](function, receiver, args) : 0;
}

// The save area as the primitive glue prepares it, but with nothing pending (word 6 stays
// 0), so that a failure lays itself on the frame and a commit writes the value above sp. The
// word at sp becomes the primitive return point, so that a process switch inside the
// primitive leaves the frame resumable; a method that records no return point keeps its
// restart point there (resuming runs the primitive again).
static void prepareFrameCall(uint64_t* s, uint64_t fp, uint64_t nm, uint64_t n) {
  uint64_t primReturn = mapPrimitiveReturn(nm);
  bool hasReturn = primReturn != nm - 1;  // the trailer's word is all ones without one
  s[shFailAddr] = hasReturn ? primReturn - nMethodPrimitiveJumpSize : 0;
  words(s[shSp])[0] = hasReturn ? primReturn : mapPrimitiveRestart(nm);
  s[shNumArgs] = n;
  s[shReceiver] = 0;
  s[shArg0] = n >= 1 ? words(fp)[frFirstArg] : 0;
  s[shArg1] = n >= 2 ? words(fp)[frFirstArg - 1] : 0;
  s[shPrimErr] = 0;
}

// Calls the entry's function as its kind is called from a prologue, with the frame's
// receiver and n arguments: those above the return pc (argument n-2 nearest it), then the two
// register arguments the prologue pushed. Answers 0 where the kind fails without a word.
static oop callFromFrame(const PrimEntry* entry, uint64_t fp, uint64_t n) {
  uint64_t function = entry->function;
  uint8_t kind = entry->kind;
  if (kind == primKindTranslated && function != 0) {  // its fallback is a fixed-argument C function
    function = reinterpret_cast<uint64_t>(reinterpret_cast<const TranslatedPrimRecord*>(function)->cFunction);
    kind = primKindC;
  }
  if (function == 0 || n >= fixedCalls.size()) return 0;  // no primitive, or more arguments than a method takes
  oop receiver = words(fp)[frReceiver];
  switch (kind) {
    case primKindUser:
      noteUserPrimitive(n);
      [[fallthrough]];
    case primKindC: {
      oop args[fixedCalls.size()];
      for (uint64_t k = 0; k + 2 < n; k++) args[k] = words(fp)[n - k - 1];
      for (uint64_t k = n >= 2 ? n - 2 : 0, slot = 0; k < n; k++, slot++) args[k] = words(fp)[frFirstArg - int64_t(slot)];
      return fixedCalls[n](function, receiver, args);
    }
    default:  // the variable-argument kinds
      return reinterpret_cast<oop (*)(oop, uint64_t, uint64_t)>(function)(receiver, n, fp + 8 * frReturnPc);
  }
}

// The restart point of a method with a primitive calls here (the trailer's stub: entry in
// rbx) with the method's frame built and the frame's one value above the call's return
// address. May allocate: the primitive may.
extern "C" oop CrtCarefulCallPrim(const PrimEntry* entry) {
  uint64_t* s = currentStack;
  uint64_t fp = s[shFp], sp = s[shSp];
  uint64_t n = nmHeader(words(fp)[frNMethod] & frameNMethodMask)->numArgs;
  prepareFrameCall(s, fp, words(fp)[frNMethod] & frameNMethodMask, n);
  oop result = callFromFrame(entry, fp, n);
  if (result == 0) failPrimitive(nilOop(), n);  // 0 is no object: failed without saying why

  // The primitive may have switched processes after a commit: the answer is then the other
  // process's, already in place on its stack.
  s = currentStack;
  if (s[shFp] != fp || s[shSp] != sp) return result;
  // Pop the frame: the return pc goes to the receiver's word when arguments lie above it.
  uint64_t word = n >= 3 ? fp + 8 * n : fp + 8;
  words(word)[0] = words(fp)[frReturnPc];
  s[shSp] = word;
  s[shFp] = words(fp)[frCallerFp];
  return result;
}
