// Object memory: the incremental mark-sweep collector: the quantum driver, the mark loop over
// four oop stacks and the big object in hand, weak slots, the abort, the hooks that keep the
// mark right while objects change, and primitives 327 and 449.
// Owns currentIncGCState, the oop stacks, the big object in hand, the flags and counters.
// Prefix: none (incMarkSweep, incMarkObj, undoIncMark, blowAwayIncGC, ...).
#include "mman/mmIncGC.h"

#include <cinttypes>

#include "ext/exError.h"
#include "ext/exPrimTable.h"
#include "ext/exRequest.h"
#include "ext/platform.h"
#include "mman/mmFinal.h"
#include "mman/mmHooks.h"
#include "mman/mmOldSpace.h"
#include "mman/mmOopStack.h"
#include "mman/mmPrimUtil.h"
#include "mman/mmRt.h"
#include "mman/mmSysOop.h"
#include "mman/mmScavenge.h"
#include "mman/mmVerify.h"

uint8_t currentIncGCState = incGCResting;
oop incMarkStackOop, incBigObjStackOop, incWeakListOop, incEphemeronListOop;
oop incBigObjInHand;
uint64_t incBigObjResume;
uint32_t incGCMarkOverflow, incGCOldRtDone, incEphemeronMarkingOn;
uint64_t numIncGCs, incGCAbortedCount, incGCMarkStackOverflows;
uint64_t incGCClassChangeCalls;
uint64_t incGCMarkCount, incGCMarkBytes, incGCWeakCount, incGCWeakBytes, incGCWeakNilCount, incGCWeakNilBytes;

static const char incGCFile[] = "src/mman/mmIncGC";

static void fatal(const char* message, uint32_t code, int line) { doReportError(message, errFatal | code, incGCFile, line); }

// ---- Objects ----------------------------------------------------------------------------------

static uint64_t blockBytes(const ObjectHeader* h) {
  if (h->dataPtr == 0 || sizeFieldOf(h) >= sizeFieldLarge) return 0;
  return bodyBytesOf(h) + (hasSizeWord(h) ? 8 : 0);
}

// What the mark must still reach: an old object, not perm (unless absorbed), not marked.
static inline bool isUnmarkedOld(oop o) {
  if (!isHeapObject(o) || o == 0 || isNewObject(o)) return false;
  const ObjectHeader* h = headerOf(o);
  return !isPermObject(h) && !isMarked(h);
}

static inline void markIfUnmarkedOld(oop o) {
  if (isUnmarkedOld(o)) incMarkObj(o);
}

static bool isWeak(const ObjectHeader* h) { return isGCSpecial(h) && !isEphemeron(h); }

static uint64_t namedSlotsOf(const ObjectHeader* h) {
  uint64_t n = indexabilityOf(h);
  if (n != indexabilityAskClass) return n;
  return formatNamedSlots(classFormatOf(classOfHeader(h)));
}

static inline bool hasScannableBody(const ObjectHeader* h) {
  return hasPtrs(h) && h->dataPtr != 0 && sizeFieldOf(h) != 0;
}

// An ephemeron is deferred while its key is still to be reached.
static bool isDeferredEphemeron(const ObjectHeader* h) {
  return incEphemeronMarkingOn && isEphemeron(h) && bodyWordsOf(h) != 0 && isUnmarkedOld(bodyOf(h)[0]);
}

// The slots to scan by the object's kind: a weak object's named slots, none for a deferred
// ephemeron, else the whole body. The RT Array is marked but never followed: its entries are
// a side table, and stale words past its first free slot would hold freed entries alive.
static uint64_t scanRangeOf(const ObjectHeader* h) {
  if (!hasScannableBody(h) || oopOf(h) == rt.object) return 0;
  if (isWeak(h)) return namedSlotsOf(h);
  if (isDeferredEphemeron(h)) return 0;
  return bodyWordsOf(h);
}

static void scanSlots(const ObjectHeader* h, uint64_t from, uint64_t to) {
  const oop* b = bodyOf(h);
  for (uint64_t i = from; i < to; i++) markIfUnmarkedOld(b[i]);
}

static void push(oop* stack, oop o) {
  if (*stack == 0 || !pushOopStack(stack, o)) incGCMarkOverflow = 1;
}

static bool isEmpty(oop stack) { return stack == 0 || segmentCount(stack) == 0; }

void incMarkObj(oop o) {
  ObjectHeader* h = headerOf(o);
  if ((!hasPtrs(h) || h->dataPtr == 0) && !scavengeInProgress) {
    incGCMarkCount += 1;
    incGCMarkBytes += blockBytes(h);
    oop cls = classOfHeader(h);
    if (!isImmediate(cls) && !isNewObject(cls) && !isPermObject(headerOf(cls)) && !isMarked(headerOf(cls)))
      incMarkObj(cls);
    setFlag(h, isMarkedBit);
    return;
  }
  push(&incMarkStackOop, o);
  setFlag(h, isMarkedBit);
}

static void addToWeakList(oop o) {
  push(&incWeakListOop, o);
  incGCWeakCount += 1;
  incGCWeakBytes += blockBytes(headerOf(o));
}

void addToIncWeakListFunc(oop object) {
  if (currentIncGCState == incGCMarking) addToWeakList(object);
}

static oop removedEntry;
static void removeFrom(oop* stack, oop o) {
  if (*stack == 0) return;
  removedEntry = o;
  enumOopStack(stack, [](oop e) { return int(e != removedEntry); }, [](oop) {});
}

// ---- Perm objects -------------------------------------------------------------------------------

int incMarkPermObjRefs(oop permObject) {
  ObjectHeader* h = headerOf(permObject);
  markIfUnmarkedOld(classOfHeader(h));
  if (!hasScannableBody(h)) return 0;
  const oop* b = bodyOf(h);
  uint64_t n = bodyWordsOf(h), range = n;
  if (currentIncGCState == incGCMarking) {
    if (isWeak(h)) {
      range = namedSlotsOf(h);
      addToWeakList(permObject);
    } else if (isDeferredEphemeron(h)) {
      range = 0;
      push(&incEphemeronListOop, permObject);
    }
    scanSlots(h, 0, range);
  }
  for (uint64_t i = 0; i < n; i++)
    if (isHeapObject(b[i]) && b[i] != 0 && isOldNotPerm(b[i])) return 1;
  return 0;
}

// ---- The mark loop ------------------------------------------------------------------------------

namespace {
struct Budget {
  uint64_t work, bytes;
  void spend(uint64_t w, uint64_t b) {
    work = work == incGCUnbounded ? work : (w < work ? work - w : 0);
    bytes = bytes == incGCUnbounded ? bytes : (b < bytes ? bytes - b : 0);
  }
  bool usedUp() const { return work == 0 || bytes == 0; }
};
enum LoopEnd { loopFinished, loopStopped, loopOverflow };
}  // namespace

static void scanPopped(oop o, Budget& budget) {
  ObjectHeader* h = headerOf(o);
  budget.spend(1, blockBytes(h));
  markIfUnmarkedOld(classOfHeader(h));
  if (!hasScannableBody(h) || o == rt.object) return;
  if (isWeak(h)) addToWeakList(o);
  else if (isDeferredEphemeron(h)) return push(&incEphemeronListOop, o);
  uint64_t range = scanRangeOf(h);
  if (range * 8 >= incGCBigRangeBytes) return push(&incBigObjStackOop, o);
  scanSlots(h, 0, range);
}

// One piece of the big object in hand (or the next one); false when there is none. A piece
// is at most incGCBigPieceBytes long and ends early where the quantum's work runs out: each
// object it marks counts one unit (a piece reads a header per slot, as a pop does per object).
static bool scanBigPiece(Budget& budget) {
  if (incBigObjInHand == 0) {
    if (isEmpty(incBigObjStackOop)) return false;
    incBigObjInHand = popOopStack(&incBigObjStackOop);
    incBigObjResume = 0;
  }
  const ObjectHeader* h = headerOf(incBigObjInHand);
  uint64_t range = scanRangeOf(h), end = incBigObjResume + incGCBigPieceBytes / 8;
  if (end > range) end = range;
  const oop* b = bodyOf(h);
  uint64_t i = incBigObjResume, marked = 0;
  for (; i < end && marked < budget.work; i++)
    if (isUnmarkedOld(b[i])) incMarkObj(b[i]), marked++;
  budget.spend(marked != 0 ? marked : 1, (i - incBigObjResume) * 8);
  if (i >= range) {
    incBigObjInHand = 0;
    incBigObjResume = 0;
  } else {
    incBigObjResume = i;
  }
  return true;
}

static bool pushedEphemeron;
// Listed ephemerons whose keys have been reached go back on the mark stack; in the final pass
// (deferral off) all of them are queued, when the queue has room for all, and traced.
static bool serviceEphemerons() {
  if (isEmpty(incEphemeronListOop)) return false;
  pushedEphemeron = false;
  if (incEphemeronMarkingOn) {
    enumOopStack(&incEphemeronListOop, [](oop e) { return int(isDeferredEphemeron(headerOf(e))); },
                 [](oop e) {
                   push(&incMarkStackOop, e);
                   pushedEphemeron = true;
                 });
    return pushedEphemeron;
  }
  int reserved = reserveOnEphemeronQueue(liveEntriesInOopStack(&incEphemeronListOop));
  while (!isEmpty(incEphemeronListOop)) {
    oop e = popOopStack(&incEphemeronListOop);
    if (reserved) addToEphemeronQueue(e);
    push(&incMarkStackOop, e);
  }
  return true;
}

static LoopEnd markLoop(int interruptible, Budget& budget) {
  for (;;) {
    if (incGCMarkOverflow) return loopOverflow;
    if (budget.usedUp()) return loopStopped;
    // A switch may also be posted directly (a semaphore signalled during the flush), not only
    // by a served request: the quantum yields to it either way.
    if (interruptible) {
      if (anyAsyncRequests()) handleAsyncRequests();
      if (isRequested(requestProcessSwitch)) return loopStopped;
    }
    if (!isEmpty(incMarkStackOop)) {
      scanPopped(popOopStack(&incMarkStackOop), budget);
      continue;
    }
    if (scanBigPiece(budget) || serviceEphemerons()) continue;
    // A push that overflowed on the last object would otherwise go unseen.
    return incGCMarkOverflow ? loopOverflow : loopFinished;
  }
}

// ---- Cycle start, abort ---------------------------------------------------------------------------

static void resetCycleCounts() {
  incGCMarkCount = incGCMarkBytes = incGCWeakCount = incGCWeakBytes = incGCWeakNilCount = incGCWeakNilBytes = 0;
}

static void releaseStacks() {
  releaseOopStack(&incMarkStackOop);
  releaseOopStack(&incBigObjStackOop);
  releaseOopStack(&incWeakListOop);
  releaseOopStack(&incEphemeronListOop);
  incBigObjInHand = 0;
  incBigObjResume = 0;
}

static void beginUnmarking() {
  releaseStacks();
  prepareToUnmarkOldSpace();
  incGCOldRtDone = 1;
  currentIncGCState = incGCAborting;
}

int undoIncMark(int interruptible, uint64_t maxWork, uint64_t maxBytes) {
  if (currentIncGCState == incGCMarking)
    beginUnmarking();
  else if (currentIncGCState != incGCAborting)
    fatal("undoIncMark: incremental GC in wrong state", 0x4000, __LINE__);
  if (!incUnmarkOldSpace(interruptible, maxWork, maxBytes)) return 0;
  currentIncGCState = incGCResting;
  return 1;
}

// The four stacks are made while resting, so they are unmarked: they are released before the
// sweep. Answers 0 when one could not be made (the cycle then unmarks).
static int startCycle() {
  incGCMarkOverflow = 0;
  resetCycleCounts();
  incMarkStackOop = createOopStack();
  incBigObjStackOop = createOopStack();
  incWeakListOop = createOopStack();
  incEphemeronListOop = createOopStack();
  if (incMarkStackOop == 0 || incBigObjStackOop == 0 || incWeakListOop == 0 || incEphemeronListOop == 0) {
    incGCMarkOverflow = 1;  // a stack that cannot be made is one that could not grow
    beginUnmarking();
    return 0;
  }
  incBigObjInHand = 0;
  incBigObjResume = 0;
  incEphemeronMarkingOn = 1;
  prepareOldRtForIncMark();
  incGCOldRtDone = 0;
  currentIncGCState = incGCMarking;
  oop registry = sysOopRegistryOop;
  if (isPermObject(headerOf(registry)))
    incMarkPermObjRefs(registry);
  else
    markIfUnmarkedOld(registry);
  markIfUnmarkedOld(classOfHeader(headerOf(incMarkStackOop)));
  return 1;
}

// ---- States 'm', 'n', 's' -----------------------------------------------------------------------

static void markStackOop(oop o) { markIfUnmarkedOld(o); }

// Answers 1 when marking is over (state 'n'), 0 when the quantum ends in 'm' or the cycle
// was abandoned ('a').
static int markQuantum(int interruptible, uint64_t maxWork, uint64_t maxBytes) {
  Budget budget{maxWork, maxBytes};
  if (!incGCOldRtDone) {
    uint64_t visited = 0;
    int done = !interruptible && maxWork == incGCUnbounded ? incMarkOldRtEntriesNBL(&visited)
                                                           : incMarkOldRtEntries(budget.work, &visited);
    budget.spend(visited, 0);
    if (incGCMarkOverflow) return beginUnmarking(), 0;
    if (!done) return 0;
    incGCOldRtDone = 1;
    oop queue = sysOop(sysFinalQueue);
    if (queue != nilOop() && isHeapObject(queue) && isPermObject(headerOf(queue))) addToWeakList(queue);
  }
  LoopEnd end = markLoop(interruptible, budget);
  if (end == loopOverflow) return beginUnmarking(), 0;
  if (end == loopStopped) return 0;
  uint64_t used = maxWork == incGCUnbounded ? 0 : maxWork - budget.work;
  if (interruptible && used * 3 >= maxWork) return 0;
  if (!flushNewSpace()) return beginUnmarking(), 0;
  stackHooks.stackEnumerateOopsForGC(markStackOop);
  end = markLoop(interruptible, budget);
  if (end == loopOverflow) return beginUnmarking(), 0;
  if (end == loopStopped) return 0;
  // The final loop serves no requests: ending early would release a non-empty mark stack.
  incEphemeronMarkingOn = 0;
  Budget all{incGCUnbounded, incGCUnbounded};
  if (markLoop(0, all) != loopFinished) return beginUnmarking(), 0;
  releaseOopStack(&incMarkStackOop);
  releaseOopStack(&incBigObjStackOop);
  releaseOopStack(&incEphemeronListOop);
  // Native methods of methods (or selectors) nothing reaches go with the links to them.
  codeHooks.unlinkAndFreeUnmarkedNMethods(uint32_t(codeHooks.markNMethodsWithMarkedObjs()));
  skipPermCompactRt();
  saveOtBaseAfterIncMark();
  currentIncGCState = incGCNilling;
  if (scavengeStressInterval != 0) verifyAtEndOfIncMark();
  return 1;
}

static void clearWeakSlots() {
  oop marker = sysOop(sysEmptySlotMarker);
  while (!isEmpty(incWeakListOop)) {
    oop o = popOopStack(&incWeakListOop);
    ObjectHeader* h = headerOf(o);
    if (!isWeak(h) || !hasScannableBody(h)) continue;
    oop* b = bodyOf(h);
    uint64_t named = namedSlotsOf(h), n = bodyWordsOf(h);
    bool cleared = false;
    for (uint64_t i = named; i < n; i++)
      if (isUnmarkedOld(b[i])) {
        b[i] = marker;
        storeCheck(h, marker, incGCFile, __LINE__);
        cleared = true;
      }
    if (cleared) addToFinalQueue(o);
    incGCWeakNilCount += 1;
    incGCWeakNilBytes += n > named ? (n - named) * 8 : 0;
  }
  releaseOopStack(&incWeakListOop);
  signalFinalizationSemaphoreIfRequired();
  currentIncGCState = incGCSweeping;
}

static int sweepQuantum(int interruptible, uint64_t maxWork, uint64_t maxBytes) {
  if (!incSweepOldSpace(interruptible, maxWork, maxBytes)) return 0;
  numIncGCs += 1;
  shrinkRt();
  shrinkOldRt();
  shrinkSysOopRegistry();
  currentIncGCState = incGCResting;
  return 1;
}

static int runQuantum(int interruptible, uint64_t maxWork, uint64_t maxBytes) {
  switch (currentIncGCState) {
    case incGCResting:
      if (!startCycle()) return 0;
      [[fallthrough]];
    case incGCMarking:
      if (!markQuantum(interruptible, maxWork, maxBytes)) return 0;
      [[fallthrough]];
    case incGCNilling:
      clearWeakSlots();
      return 0;
    case incGCSweeping:
      return sweepQuantum(interruptible, maxWork, maxBytes);
    case incGCAborting:
      return undoIncMark(interruptible, maxWork, maxBytes);
    default:
      fatal("incMarkSweep: incremental GC in unknown state", 0x4000, __LINE__);
      return undoIncMark(interruptible, maxWork, maxBytes);
  }
}

int incMarkSweep(int interruptible, uint64_t maxWork, uint64_t maxBytes) {
  int done = runQuantum(interruptible, maxWork, maxBytes);
  if (scavengeStressInterval != 0) verifyAfterIncQuantum();
  return done;
}

void blowAwayIncGC() {
  uint8_t state = currentIncGCState;
  if (state == incGCResting) return;
  incGCAbortedCount += 1;
  if (state == incGCMarking || state == incGCAborting) {
    if (!undoIncMark(0, incGCUnbounded, incGCUnbounded)) fatal("blowAwayIncGC: undoIncMark failed", 0x4000, __LINE__);
  } else if (state == incGCNilling || state == incGCSweeping) {
    while (!incMarkSweep(0, incGCUnbounded, incGCUnbounded))
      if (currentIncGCState == state) fatal("blowAwayIncGC: incMarkSweep failed", 0x4000, __LINE__);
      else state = currentIncGCState;
  } else {
    fatal("blowAwayIncGC: incremental GC in unknown state", 0x4000, __LINE__);
  }
  resetCycleCounts();
  resetIncSweepCounts();
  resetIncUnmarkCounts();
}

// ---- Hooks --------------------------------------------------------------------------------------

static bool onStack(oop stack, oop o) { return stack != 0 && oopOnOopStack(o, &stack); }

// A marked old object whose kind may have changed (it was weak, an ephemeron, before) is
// scanned again by its kind now.
static void rescanMarked(oop o, bool wasWeak, bool wasEphemeron) {
  ObjectHeader* h = headerOf(o);
  if (isPermObject(h)) {
    if (wasEphemeron) removeFrom(&incEphemeronListOop, o);
    incMarkPermObjRefs(o);
    return;
  }
  markIfUnmarkedOld(classOfHeader(h));
  if (!hasScannableBody(h)) {
    if (wasEphemeron) removeFrom(&incEphemeronListOop, o);
    if (incBigObjInHand == o) incBigObjInHand = 0, incBigObjResume = 0;
    return;
  }
  bool weak = isWeak(h), ephemeron = isEphemeron(h);
  uint64_t range = scanRangeOf(h);
  if (range * 8 >= incGCBigRangeBytes) {
    if (incBigObjInHand == o) incBigObjResume = 0;
    else if (!onStack(incBigObjStackOop, o)) push(&incBigObjStackOop, o);
  } else {
    if (incBigObjInHand == o) incBigObjInHand = 0, incBigObjResume = 0;
    scanSlots(h, 0, range);
  }
  if (weak && !wasWeak) addToWeakList(o);
  if (!ephemeron && wasEphemeron) removeFrom(&incEphemeronListOop, o);
  if (ephemeron && !wasEphemeron && !onStack(incMarkStackOop, o)) push(&incEphemeronListOop, o);
  // An ephemeron before and after that was traced whole, and now holds an unmarked key (an
  // exchange gave it another ephemeron's contents): nothing above scanned it, so it waits on
  // the list like any deferred ephemeron, or its key and value would be swept while it holds them.
  else if (ephemeron && wasEphemeron && range == 0 && !onStack(incMarkStackOop, o) &&
           !onStack(incEphemeronListOop, o))
    push(&incEphemeronListOop, o);
}

static bool hookApplies(oop o) {
  return currentIncGCState == incGCMarking && isHeapObject(o) && o != 0 && !isNewObject(o) && isMarked(headerOf(o));
}

void incGCObjClassChanged(oop object, int wasWeak, int wasEphemeron) {
  incGCClassChangeCalls += 1;
  if (hookApplies(object)) rescanMarked(object, wasWeak != 0, wasEphemeron != 0);
}

void incGCObjWeaknessChanged(oop object, bool weak) {
  if (hookApplies(object)) rescanMarked(object, !weak, false);
}

void incGCObjEphemeronnessChanged(oop object, bool ephemeron) {
  if (hookApplies(object)) rescanMarked(object, false, !ephemeron);
}

void incGCOtEntriesSwapped(oop a, oop b) {
  if (currentIncGCState != incGCMarking) return;
  bool aWeak = isWeak(headerOf(b)), aEph = isEphemeron(headerOf(b));  // a's kind before the exchange
  bool bWeak = isWeak(headerOf(a)), bEph = isEphemeron(headerOf(a));
  if (hookApplies(a)) rescanMarked(a, aWeak, aEph);
  if (hookApplies(b)) rescanMarked(b, bWeak, bEph);
}

void chStOldObjInNonNew(oop holder, uint64_t index, oop value) {
  (void)index;
  ObjectHeader *h = headerOf(holder), *v = headerOf(value);
  if (isMarked(h) && !isMarked(v) && currentIncGCState == incGCMarking) incMarkObj(value);
  if (isPermHeader(h) && !isInOldRt(h) && !permSpaceAbsorbed && !isPermHeader(v) && !registerInOldRt(h))
    reportStoreCheckFailure(incGCFile, __LINE__);
}

void printIGCUsageTo(FILE* stream) {
  fprintf(stream, "IGCs: %" PRIu64 ", mark stack overflows: %" PRIu64 ", aborts: %" PRIu64 "\n", numIncGCs,
          incGCMarkStackOverflows, incGCAbortedCount);
}

// ---- Primitives ---------------------------------------------------------------------------------

// Primitive 327: abandons a running mark.
static oop primAbortIncGC(oop receiver) {
  if (currentIncGCState != incGCMarking) return failPrimitive(primErrorAt(0), 0);
  undoIncMark(0, 0, 0);
  incGCAbortedCount += 1;
  return receiver;
}

// nil, or a non-negative integer of at most 64 bits.
static bool limitOf(oop arg, uint64_t* out) {
  if (arg == nilOop()) return *out = incGCUnbounded, true;
  if (isSmallInteger(arg)) return smallIntegerValue(arg) >= 0 && (*out = uint64_t(smallIntegerValue(arg)), true);
  if (!isHeapObject(arg) || classTagOf(headerOf(arg)) != classIndexLargePositiveInteger) return false;
  const ObjectHeader* h = headerOf(arg);
  uint64_t bytes = byteSizeOf(h), v = 0;
  if (h->dataPtr == 0 || bytes == 0 || bytes > 8) return false;
  const uint8_t* digits = reinterpret_cast<const uint8_t*>(bodyOf(h));
  for (uint64_t i = bytes; i-- > 0;) v = v << 8 | digits[i];
  *out = v;
  return true;
}

// Primitive 449: one quantum; answers the microseconds it took.
static oop primIncMarkSweep(oop receiver, oop interruptible, oop work, oop bytes) {
  (void)receiver;
  uint64_t maxWork, maxBytes;
  if ((interruptible != trueOop() && interruptible != falseOop()) || !limitOf(work, &maxWork) ||
      !limitOf(bytes, &maxBytes))
    return failPrimitive(primErrorAt(3), 3);
  commitPrimitive(receiver);
  uint64_t start = pdMicrosecondClock();
  uint8_t before = currentIncGCState;
  if (interruptible == trueOop()) {
    incMarkSweep(1, maxWork, maxBytes);
  } else {
    pdStartLongComp(10000);
    incMarkSweep(0, maxWork, maxBytes);
    pdFinishLongComp();
  }
  // Only a stack that could not grow counts: an abort for want of room to flush new space
  // leaves the figure alone, so the image can tell that growing old space is the remedy.
  if (currentIncGCState == incGCAborting && before != incGCAborting && incGCMarkOverflow)
    incGCMarkStackOverflows += 1;
  uint64_t elapsed = pdMicrosecondClock() - start;
  return commitPrimitiveAndHandleRequests(smallIntegerFor(int64_t(elapsed)));
}

void initIncGCPrims() {
  addCPrimitive(327, reinterpret_cast<const void*>(primAbortIncGC), 0);
  addCPrimitive(449, reinterpret_cast<const void*>(primIncMarkSweep), 3);
}
