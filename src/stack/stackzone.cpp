// Execution engine: the stack zone: segment chains, allocation with stealing, the root
// pseudo-frame of every segment.
// Owns stackZone, freeStacks, allocatedStacks, currentStack. Prefix: stack, init.
#include "stack/stackzone.h"

#include <cstring>

#include "ext/exError.h"
#include "ext/exRequest.h"
#include "ext/platform.h"
#include "mman/mmHooks.h"
#include "mman/mmOldSpace.h"
#include "mman/mmScavenge.h"
#include "stack/glue.h"
#include "stack/scheduler.h"
#include "stack/stackframe.h"
#include "tran/tpcmap.h"

extern "C" {
uint64_t* currentStack;
uint64_t rootReturnPC;
}
uint64_t stackZone;
uint64_t startOfStackZone;
uint64_t endOfStackZone;
int32_t NumStacks;
uint64_t* freeStacks;
// An empty ring from the start: the walkers may run before any zone exists.
uint64_t allocatedStacks[2] = {reinterpret_cast<uint64_t>(allocatedStacks), reinterpret_cast<uint64_t>(allocatedStacks)};
uint64_t lastOverflowSegment;
uint32_t overflowRepeatCount;
int (*stackStabilizeHook)(uint64_t* segment) = stackStabilize;
oop (*scavengeCopyHook)(oop object) = scavengeStackReference;

static uint64_t* sentinel() { return allocatedStacks; }
static uint64_t* segmentAt(int32_t i) { return reinterpret_cast<uint64_t*>(stackZone + uint64_t(i) * stackSegmentBytes); }
static uint64_t* link(uint64_t w) { return reinterpret_cast<uint64_t*>(w); }
static uint64_t word(const uint64_t* p) { return reinterpret_cast<uint64_t>(p); }

static void placeZone(uint64_t base, int32_t numStacks) {
  stackZone = startOfStackZone = base;
  NumStacks = numStacks;
  endOfStackZone = base + uint64_t(numStacks) * stackSegmentBytes;
  rootReturnPC = glueAddress(rootReturn);
  initStackChains();
}

void initStackChains() {
  allocatedStacks[0] = allocatedStacks[1] = word(sentinel());
  currentStack = nullptr;
  freeStacks = NumStacks > 0 ? segmentAt(0) : nullptr;
  for (int32_t i = 0; i < NumStacks; i++) {
    uint64_t* s = segmentAt(i);
    uint64_t base = word(s);
    s[shNext] = i + 1 < NumStacks ? word(segmentAt(i + 1)) : 0;
    s[shSp] = base + stackSegmentBytes;
    s[shFp] = base + stackSegmentBytes - 8;
    s[shRealLim] = base + stackRealLimBytes;
    s[shReceiver] = 0;
  }
}

// The zone lies in the caller's C stack: the continuation runs below it and never returns
// while the system runs.
int initStacksOnStack(int32_t numStacks, uint64_t* zoneOut, void (*continuation)()) {
  uint8_t* raw = static_cast<uint8_t*>(__builtin_alloca(uint64_t(numStacks) * stackSegmentBytes + 32));
  uint64_t base = (reinterpret_cast<uint64_t>(raw) + 15) & ~uint64_t(15);
  *zoneOut = base;
  placeZone(base, numStacks);
  continuation();
  return 1;
}

int initStacks(void* zoneOrNull, int32_t numStacks) {
  void* zone = zoneOrNull;
  if (zone == nullptr) zone = pdMoreMemory(uint64_t(numStacks) * stackSegmentBytes, pdProtRead | pdProtWrite);
  if (zone == nullptr) REPORT_ERROR("Can't allocate stacks", errFatal | errCauseLimit);
  placeZone(reinterpret_cast<uint64_t>(zone), numStacks);
  return 1;
}

static void unlinkAllocated(uint64_t* s) {
  uint64_t* next = link(s[shNext]);
  uint64_t* prev = link(s[shPrevious]);
  if (prev == sentinel()) allocatedStacks[0] = word(next); else prev[shNext] = word(next);
  if (next == sentinel()) allocatedStacks[1] = word(prev); else next[shPrevious] = word(prev);
}

static void linkAtHead(uint64_t* s) {
  uint64_t* head = link(allocatedStacks[0]);
  s[shNext] = word(head);
  s[shPrevious] = word(sentinel());
  if (head == sentinel()) allocatedStacks[1] = word(s); else head[shPrevious] = word(s);
  allocatedStacks[0] = word(s);
}

// Inserts s just behind the head.
static void linkSecond(uint64_t* s) {
  uint64_t* head = link(allocatedStacks[0]);
  uint64_t* next = link(head[shNext]);
  s[shPrevious] = word(head);
  s[shNext] = word(next);
  head[shNext] = word(s);
  if (next == sentinel()) allocatedStacks[1] = word(s); else next[shPrevious] = word(s);
}

static void makeCurrent(uint64_t* s) {
  currentStack = s;
  restoreStackLimit(int64_t(s[shRealLim]));
}

// The least recently used segment, or a nearly empty one among the NumStacks/4 least
// recently used (never the head), is stabilized to free it.
static void stealSegment() {
  memoryStats.stackCompactCount++;
  uint64_t* candidate = link(allocatedStacks[1]);
  uint64_t* s = candidate;
  for (int32_t n = NumStacks / 4; n > 0 && s != sentinel() && link(s[shPrevious]) != sentinel(); n--) {
    if (segmentBase(s) + stackSegmentBytes - s[shSp] <= stackShallowBytes) {
      candidate = s;
      break;
    }
    s = link(s[shPrevious]);
  }
  if (candidate != sentinel() && stackStabilizeHook != nullptr) stackStabilizeHook(candidate);
}

uint64_t* stackAlloc(int mayFail) {
  if (freeStacks == nullptr) {
    stealSegment();
    if (freeStacks == nullptr) {
      if (mayFail) return nullptr;
      REPORT_ERROR("Can't free stack", errFatal | errCauseLimit);
    }
  }
  uint64_t* s = freeStacks;
  freeStacks = link(s[shNext]);
  linkAtHead(s);
  makeCurrent(s);
  s[shRootFp] = 0;
  s[shRootContext] = 0;
  s[shRootReturn] = rootReturnPC;
  s[shSp] = word(s + shRootReturn);
  s[shFp] = rootFpOf(s);
  return s;
}

void stackDeAlloc(uint64_t* s) {
  tsAssert(uint64_t(s) >= stackZone && uint64_t(s) < endOfStackZone && s[shSp] != segmentBase(s) + stackSegmentBytes,
           "a segment is on exactly one of freeStacks and the allocatedStacks ring");  // not already free
  unlinkAllocated(s);
  if (currentStack == s) currentStack = nullptr;
  s[shNext] = word(freeStacks);
  freeStacks = s;
  s[shFp] = segmentBase(s) + stackSegmentBytes - 8;
  s[shSp] = segmentBase(s) + stackSegmentBytes;
}

void stackAtHead(uint64_t* s) {
  if (link(allocatedStacks[0]) != s) {
    unlinkAllocated(s);
    linkAtHead(s);
  }
  makeCurrent(s);
}

void promoteStack(uint64_t* s) {
  uint64_t* head = link(allocatedStacks[0]);
  if (s == head || link(head[shNext]) == s) return;
  unlinkAllocated(s);
  linkSecond(s);
}

int allocatedStacksDo(int (*fn)(uint64_t* segment)) {
  for (uint64_t* s = link(allocatedStacks[0]); s != sentinel();) {
    uint64_t* next = link(s[shNext]);
    if (!fn(s)) return 0;
    s = next;
  }
  return 1;
}

// ---- GC walkers -----------------------------------------------------------------------------

static NMethodHeader* frameNMethod(uint64_t fp) {
  return reinterpret_cast<NMethodHeader*>(reinterpret_cast<uint64_t*>(fp)[frNMethod] & frameNMethodMask);
}

static void visitNMethod(NMethodHeader* nm, void (*slotFn)(oop*, void*), void* data) {
  slotFn(reinterpret_cast<oop*>(&nm->vmethod), data);
  if (nm->selector != 0) slotFn(reinterpret_cast<oop*>(&nm->selector), data);
}

// Calls slotFn with the address of every root slot of one segment.
static void segmentSlotsDo(uint64_t* s, void (*slotFn)(oop*, void*), void* data) {
  if (s[shReceiver] != 0 && s[shFailAddr] != 0) {
    NMethodHeader* nm = reinterpret_cast<NMethodHeader*>(nmethFromPrimReturn(s[shFailAddr]));
    slotFn(reinterpret_cast<oop*>(s + shReceiver), data);
    for (uint32_t i = 0; i < nm->numArgs && i < 2; i++) slotFn(reinterpret_cast<oop*>(s + shArg0 + i), data);
    visitNMethod(nm, slotFn, data);
  }
  uint64_t low = s[shSp] + 8;
  for (uint64_t fp = s[shFp];; fp = reinterpret_cast<uint64_t*>(fp)[frCallerFp]) {
    for (uint64_t a = low; a + 24 <= fp; a += 8) slotFn(reinterpret_cast<oop*>(a), data);
    if (fp == rootFpOf(s)) return;
    uint64_t* f = reinterpret_cast<uint64_t*>(fp);
    visitNMethod(frameNMethod(fp), slotFn, data);
    if (f[frNMethod] & frameHybridBit) slotFn(reinterpret_cast<oop*>(f + frContext), data);
    low = fp + 16;
  }
}

static void allSlotsDo(void (*slotFn)(oop*, void*), void* data) {
  uint64_t* end = allocatedStacks;
  for (uint64_t* s = link(allocatedStacks[0]); s != end; s = link(s[shNext])) segmentSlotsDo(s, slotFn, data);
}

void stackEnumerateOopsForGC(void (*fn)(oop object)) {
  allSlotsDo(
      [](oop* slot, void* f) {
        if ((*slot & 1) == 0 && *slot != 0) reinterpret_cast<void (*)(oop)>(f)(*slot);
      },
      reinterpret_cast<void*>(fn));
}

void stackEnumerateRefsForGC(void (*fn)(oop* slot)) {
  allSlotsDo([](oop* slot, void* f) { reinterpret_cast<void (*)(oop*)>(f)(slot); }, reinterpret_cast<void*>(fn));
}

// The frame whose caller is the root pseudo-frame, or 0 for an empty segment.
static uint64_t bottomFrameOf(uint64_t* s) {
  uint64_t fp = s[shFp];
  if (fp == rootFpOf(s)) return 0;
  while (reinterpret_cast<uint64_t*>(fp)[frCallerFp] != rootFpOf(s)) fp = reinterpret_cast<uint64_t*>(fp)[frCallerFp];
  return fp;
}

void scavengeStacks() {
  uint64_t* end = allocatedStacks;
  for (uint64_t* s = link(allocatedStacks[0]); s != end; s = link(s[shNext])) {
    segmentSlotsDo(
        s,
        [](oop* slot, void*) {
          if (*slot != 0 && isHeapObject(*slot) && isNewObject(*slot)) *slot = scavengeCopyHook(*slot);
        },
        nullptr);
    uint64_t bottom = bottomFrameOf(s);
    if (bottom != 0 && (reinterpret_cast<uint64_t*>(bottom)[frNMethod] & frameHybridBit))
      s[shRootContext] = reinterpret_cast<uint64_t*>(bottom)[frContext];
  }
}

void enumerateFramesAndReturns(void (*fn)(uint64_t fp, uint64_t* pcSlot)) {
  uint64_t* cur = currentStack;
  if (cur != nullptr && cur[shReceiver] != 0 && cur[shFailAddr] != 0) {
    uint64_t fake[3] = {nmethFromPrimReturn(cur[shFailAddr]), 0, 0};  // fake[0] is fp[-2]
    fn(reinterpret_cast<uint64_t>(fake + 2), cur + shFailAddr);
  }
  uint64_t* end = allocatedStacks;
  for (uint64_t* s = link(allocatedStacks[0]); s != end; s = link(s[shNext])) {
    uint64_t* pcSlot = reinterpret_cast<uint64_t*>(s[shSp]);
    for (uint64_t fp = s[shFp]; fp != rootFpOf(s); fp = reinterpret_cast<uint64_t*>(fp)[frCallerFp]) {
      fn(fp, pcSlot);
      pcSlot = reinterpret_cast<uint64_t*>(fp) + frReturnPc;
    }
    uint64_t bottom = bottomFrameOf(s);
    if (bottom != 0 && (reinterpret_cast<uint64_t*>(bottom)[frNMethod] & frameHybridBit))
      s[shRootNMethod] = reinterpret_cast<uint64_t*>(bottom)[frNMethod] & frameNMethodMask;
  }
}

// ---- Moving frames --------------------------------------------------------------------------

static uint64_t* words(uint64_t a) { return reinterpret_cast<uint64_t*>(a); }
static uint32_t argsOf(uint64_t fp) {
  return reinterpret_cast<const NMethodHeader*>(words(fp)[frNMethod] & frameNMethodMask)->numArgs;
}
// The word that holds fp's return pc after its stacked arguments are popped.
static uint64_t returnWordAfterPop(uint64_t fp) {
  uint32_t n = argsOf(fp);
  return n >= 3 ? fp + 8 * uint64_t(n) : fp + 8;
}

// The context the moved chain returns into: the caller frame's (made when it has none), or
// for a segment's only frame the segment's own sender.
static oop callerContext(uint64_t* s, uint64_t fp) {
  uint64_t caller = words(fp)[frCallerFp];
  if (caller == rootFpOf(s)) return s[shRootSender];
  uint64_t* c = words(caller);
  return (c[frNMethod] & frameHybridBit) ? c[frContext] : frameMakeHybrid(caller, 0);
}

int relocateDownTo(uint64_t fp, int mayFail, int keepPrimitiveState) {
  uint64_t* s = segmentOf(fp);
  uint64_t* previous = currentStack;
  promoteStack(s);
  uint64_t* n = stackAlloc(mayFail);
  if (n == nullptr) return 0;
  if (!keepPrimitiveState && s[shReceiver] != 0) {
    for (uint32_t w = shNumArgs; w <= shPrimErr; w++) n[w] = s[w];
    s[shReceiver] = 0;
  }
  bool onlyFrame = words(fp)[frCallerFp] == rootFpOf(s);
  n[shRootSender] = callerContext(s, fp);
  // Stacked receiver and arguments go above the root return pc, which moves below them.
  uint32_t args = argsOf(fp);
  uint64_t* top = n + shRootReturn;
  if (args >= 3) {
    for (uint32_t k = args; k >= 2; k--) *top-- = words(fp)[k];
    *top = rootReturnPC;
  }
  uint64_t newFp = reinterpret_cast<uint64_t>(top) - 8;
  int64_t delta = int64_t(newFp) - int64_t(fp);
  uint64_t low = s[shSp];
  memmove(reinterpret_cast<void*>(low + uint64_t(delta)), reinterpret_cast<void*>(low), fp + 8 - low);
  for (uint64_t f = s[shFp] + uint64_t(delta);; f = words(f)[frCallerFp]) {
    uint64_t* w = words(f);
    if (f == newFp) w[frCallerFp] = rootFpOf(n); else w[frCallerFp] += uint64_t(delta);
    if (w[frNMethod] & frameHybridBit) {
      ObjectHeader* ctx = headerOf(w[frContext]);
      bodyOf(ctx)[ctxPc] = w[frCallerFp] + 1;
      bodyOf(ctx)[ctxSender] = f + 1;
      if (f == newFp) {
        n[shRootContext] = w[frContext];
        uint32_t reg = args < 2 ? args : 2;
        if (!frameEnsureStack(f, f + 8 * uint64_t(int64_t(frReceiver) - int64_t(reg))))
          reportAllocFailure("relocating frame", SOURCE_NAME, __LINE__);
      }
    }
    if (f == newFp) break;
  }
  n[shSp] = low + uint64_t(delta);
  n[shFp] = s[shFp] + uint64_t(delta);
  // The old segment resumes its caller where the moved chain would have returned.
  uint64_t resumeWord = returnWordAfterPop(fp);
  words(resumeWord)[0] = words(fp)[frReturnPc];
  s[shSp] = resumeWord;
  s[shFp] = words(fp)[frCallerFp];
  if (onlyFrame) stackDeAlloc(s);
  if (keepPrimitiveState && previous != nullptr && previous != s) stackAtHead(previous);
  return 1;
}

void handleStackOverflow() {
  uint64_t* s = currentStack;
  uint64_t f = s[shFp];
  if (reinterpret_cast<uint64_t>(s) != lastOverflowSegment) {
    lastOverflowSegment = reinterpret_cast<uint64_t>(s);
    overflowRepeatCount = 0;
    relocateDownTo(f, 0, 0);
    return;
  }
  uint32_t count = ++overflowRepeatCount;
  uint64_t p = f, c = words(f)[frCallerFp];
  uint64_t bound = segmentBase(s) + stackOverflowBoundBytes;
  for (uint32_t i = 0; i < count; i++) {
    c = words(f)[frCallerFp];
    if (c >= bound || c == rootFpOf(s)) break;
    p = f;
    f = c;
  }
  relocateDownTo(c == rootFpOf(s) ? p : f, 0, 0);
}

// ---- Whole-zone conversions -----------------------------------------------------------------

static int eachAllocated(int (*fn)(uint64_t*), uint64_t* skip) {
  for (uint64_t* s = link(allocatedStacks[0]); s != sentinel();) {
    uint64_t* next = link(s[shNext]);  // stabilizing frees s
    if (s != skip && !fn(s)) return 0;
    s = next;
  }
  return 1;
}
int reifyAllStacks() { return eachAllocated(stackReify, nullptr); }
int stabilizeAllStacks() {
  currentStack = nullptr;
  return eachAllocated(stackStabilize, nullptr);
}
int stabilizeMostStacks() { return eachAllocated(stackStabilize, currentStack); }

// ---- Object memory's hooks ----------------------------------------------------------------

static int stacksAllocated() { return allocatedStacks[0] != 0; }
static int stackRunning() { return currentStack != nullptr; }
static void reenterRunningProcess() { schedulerOps.enter(backToNcode); }

const StackHooks stackHooks = {
    .scavengeStacks = scavengeStacks,
    .stabilizeAllStacks = stabilizeAllStacks,
    .stacksAllocated = stacksAllocated,
    .stackEnumerateOopsForGC = stackEnumerateOopsForGC,
    .stackEnumerateRefsForGC = stackEnumerateRefsForGC,
    .stackRunning = stackRunning,
    .suspendTopContext = suspendTopContext,
    .resumeContext = resumeContext,
    .contextInstVarNoReify = contextInstVarNoReify,
    .loadContextInstVar = CLoadContextInstVar,
    .storeContextInstVar = storeContextInstVar,
    .asynchSignal = asynchSignal,
    .reenterRunningProcess = reenterRunningProcess,
};
