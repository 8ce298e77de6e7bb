// Hybrid contexts over hand-built frames: a frame's context and the slots it derives from
// the frame, the bottom frame's copy into the root, and a popped frame's context turning
// dead and stable.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "ext/exError.h"
#include "ext/exPrimTable.h"
#include "ext/exRequest.h"
#include "mman/mmOldSpace.h"
#include "mman/mmSysOop.h"
#include "mman/mmAllocate.h"
#include "mman/testHeap.h"
#include "stack/contexts.h"
#include "stack/nsupport.h"
#include "stack/stackframe.h"
#include "support/primHarness.h"
#include "stack/stackzone.h"

namespace {

alignas(stackSegmentBytes) uint64_t zone[2 * stackSegmentWords];

struct alignas(16) FakeNMethod {
  NMethodHeader h;
  uint8_t code[88];  // the entry sequence's offset word at 49
};
FakeNMethod nmA, nmB;

uint64_t addr(const void* p) { return reinterpret_cast<uint64_t>(p); }

class Context : public ::testing::Test {
 protected:
  uint64_t* s = nullptr;
  uint64_t sp = 0, fpA = 0, fpB = 0;
  oop method = 0, receiverA = 0, receiverB = 0;

  void push(uint64_t v) {
    sp -= 8;
    *reinterpret_cast<uint64_t*>(sp) = v;
  }
  // Bottom frame A (2 arguments, 1 temporary) calls B (no arguments, 2 stack words).
  void SetUp() override {
    newTestHeap();
    initStacks(zone, 2);
    s = stackAlloc(0);
    s[shRootSender] = nilOop();
    method = newOldObject(classIndexArray, 1);
    receiverA = newNewObject(classIndexArray, 1);
    receiverB = smallIntegerFor(42);
    memset(&nmA, 0, sizeof nmA);
    memset(&nmB, 0, sizeof nmB);
    nmA.h.numArgs = 2;
    nmA.h.numTemps = 1;
    nmA.h.frame = 12;
    nmA.h.vmethod = method;
    nmB.h.flags = nmFlagBlock;
    nmB.h.frame = 14;
    nmB.h.vmethod = method;
    sp = s[shSp];
    push(rootFpOf(s));
    fpA = sp;
    push(0);
    push(addr(&nmA));
    push(receiverA);
    push(smallIntegerFor(1));  // r12
    push(smallIntegerFor(2));  // r13
    push(nilOop());           // temporary
    push(addr(&nmA) + 300);   // return pc into A
    push(fpA);
    fpB = sp;
    push(0);
    push(addr(&nmB));
    push(receiverB);
    push(smallIntegerFor(7));
    push(smallIntegerFor(8));
    push(addr(&nmB) + 200);  // B's resume pc
    s[shSp] = sp;
    s[shFp] = fpB;
  }
  void TearDown() override {
    initStackChains();  // no segment outlives the test
    freeTestHeap();
    vToNMethodHook = savedVToNMethod;
    mapVToNPCHook = savedVToN;
    mapNToVPCHook = savedNToV;
    memoryStats.numCompactNMethods = savedCompactions;  // memory statistics tests read it
  }
  // The mapping hooks the primitive cases install, and the count their failures raise.
  decltype(vToNMethodHook) savedVToNMethod = vToNMethodHook;
  decltype(mapVToNPCHook) savedVToN = mapVToNPCHook;
  decltype(mapNToVPCHook) savedNToV = mapNToVPCHook;
  uint64_t savedCompactions = memoryStats.numCompactNMethods;
  static oop slot(oop ctx, uint32_t i) { return bodyOf(headerOf(ctx))[i]; }
};

TEST_F(Context, HybridContextDerivesItsSlotsFromTheFrame) {
  oop b = frameMakeHybrid(fpB, 0);
  ASSERT_NE(b, oop(0));
  EXPECT_EQ(classTagOf(headerOf(b)), uint32_t(classIndexHybridBlockContext));
  EXPECT_EQ(reinterpret_cast<uint64_t*>(fpB)[frContext], b);
  EXPECT_EQ(reinterpret_cast<uint64_t*>(fpB)[frNMethod], addr(&nmB) | frameHybridBit);
  EXPECT_EQ(slot(b, ctxPc), fpA + 1);
  EXPECT_EQ(slot(b, ctxSender), fpB + 1);
  EXPECT_EQ(isLiveHybrid(b), 1);
  EXPECT_EQ(contextInstVarNoReify(b, ctxMethod), method);
  EXPECT_EQ(contextInstVarNoReify(b, ctxPc), smallIntegerFor(-200));
  EXPECT_EQ(contextInstVarNoReify(b, ctxSender), oop(0));  // A has no context: none is made
  EXPECT_EQ(contextInstVarNoReify(b, ctxReceiver), receiverB);
  EXPECT_EQ(contextInstVarNoReify(b, ctxDepth), smallIntegerFor(2));
  EXPECT_EQ(contextInstVarNoReify(b, ctxContents), nilOop());
}

TEST_F(Context, BottomFrameContextGoesToTheRootWithItsArguments) {
  oop a = frameMakeHybrid(fpA, 0);
  EXPECT_EQ(classTagOf(headerOf(a)), uint32_t(classIndexHybridMethodContext));
  EXPECT_EQ(s[shRootContext], a);
  oop contents = slot(a, ctxContents);
  ASSERT_NE(contents, nilOop());
  EXPECT_EQ(bodyWordsOf(headerOf(contents)), 12u);
  EXPECT_EQ(slot(a, ctxDepth), smallIntegerFor(2));
  EXPECT_EQ(slotOf(contents, 0), smallIntegerFor(1));
  EXPECT_EQ(slotOf(contents, 1), smallIntegerFor(2));
  EXPECT_EQ(slotOf(contents, 2), nilOop());
  oop b = frameMakeHybrid(fpB, 0);
  EXPECT_EQ(contextInstVarNoReify(b, ctxSender), a);
  EXPECT_EQ(contextInstVarNoReify(a, ctxSender), nilOop());  // the root's sender
  EXPECT_EQ(contextInstVarNoReify(a, ctxPc), smallIntegerFor(-300));
  EXPECT_EQ(contextInstVarNoReify(a, ctxDepth), smallIntegerFor(3));  // args and the temporary
}

TEST_F(Context, PoppedFrameContextReadsDeadAndStable) {
  oop b = frameMakeHybrid(fpB, 0);
  s[shSp] = fpB + 8;  // B returns
  s[shFp] = fpA;
  EXPECT_EQ(isLiveHybrid(b), 0);
  EXPECT_EQ(classTagOf(headerOf(b)), uint32_t(classIndexBlockContext));
  EXPECT_EQ(slot(b, ctxSender), nilOop());
  EXPECT_EQ(slot(b, ctxPc), smallIntegerFor(-int64_t(nMethodCannotResumeEntry)));
  EXPECT_EQ(contextInstVarNoReify(b, ctxReceiver), receiverB);
  EXPECT_EQ(isLiveHybrid(b), 0);  // stable contexts stay as they are
  EXPECT_EQ(classTagOf(headerOf(b)), uint32_t(classIndexBlockContext));
}

}  // namespace

namespace {

// ---- Overflow moves ------------------------------------------------------------------------

alignas(stackSegmentBytes) uint64_t overflowZone[6 * stackSegmentWords];

class Overflow : public ::testing::Test {
 protected:
  FakeNMethod nm;
  void SetUp() override {
    newTestHeap();
    initStacks(overflowZone, 6);
    memset(&nm, 0, sizeof nm);
    nm.h.frame = 12;
    nm.h.vmethod = nilOop();
    lastOverflowSegment = 0;
  }
  void TearDown() override {
    initStackChains();  // no segment outlives the test
    freeTestHeap();
  }
  // Frames of no arguments from startByte above the base down, each with the given number
  // of stack words; answers their fps, bottom first.
  std::vector<uint64_t> pushFrames(uint64_t* s, uint64_t startByte, const std::vector<int>& stackWords) {
    std::vector<uint64_t> fps;
    uint64_t sp = reinterpret_cast<uint64_t>(s) + startByte, fp = rootFpOf(s);
    auto push = [&sp](uint64_t v) { sp -= 8; *reinterpret_cast<uint64_t*>(sp) = v; };
    for (size_t i = 0; i < stackWords.size(); i++) {
      push(0x9000 + 16 * i);  // return pc
      push(fp);
      fp = sp;
      fps.push_back(fp);
      push(0);
      push(addr(&nm));
      push(smallIntegerFor(int64_t(i)));  // receiver
      for (int w = 0; w < stackWords[i]; w++) push(smallIntegerFor(w));
    }
    push(0x8800);  // resume pc
    s[shSp] = sp;
    s[shFp] = fp;
    s[shRootSender] = nilOop();
    return fps;
  }
  static int frameCount(uint64_t* s) {
    int n = 0;
    for (uint64_t fp = s[shFp]; fp != rootFpOf(s); fp = reinterpret_cast<uint64_t*>(fp)[frCallerFp]) n++;
    return n;
  }
};

TEST_F(Overflow, RepeatedOverflowsMoveOneFrameMoreEachTime) {
  uint64_t* s = stackAlloc(0);
  std::vector<uint64_t> fps = pushFrames(s, 1400, {1, 2, 1, 3});
  handleStackOverflow();
  uint64_t* n1 = currentStack;
  ASSERT_NE(n1, s);
  EXPECT_EQ(frameCount(n1), 1);
  EXPECT_EQ(frameCount(s), 3);
  EXPECT_EQ(s[shFp], fps[2]);
  EXPECT_EQ(*reinterpret_cast<uint64_t*>(s[shSp]), 0x9000u + 16 * 3);  // the moved frame's return pc
  // The moved frame returns into its caller's context through the root.
  oop caller = n1[shRootSender];
  EXPECT_EQ(reinterpret_cast<uint64_t*>(fps[2])[frContext], caller);
  EXPECT_EQ(isLiveHybrid(caller), 1);
  uint64_t moved = n1[shFp];
  EXPECT_EQ(reinterpret_cast<uint64_t*>(moved)[frCallerFp], rootFpOf(n1));
  EXPECT_EQ(reinterpret_cast<uint64_t*>(moved)[frReturnPc], rootReturnPC);
  EXPECT_EQ(reinterpret_cast<uint64_t*>(moved)[frReceiver], smallIntegerFor(3));
  stackAtHead(s);
  handleStackOverflow();
  uint64_t* n2 = currentStack;
  EXPECT_EQ(frameCount(n2), 2);
  EXPECT_EQ(frameCount(s), 1);
  stackAtHead(n1);  // another segment resets the count
  handleStackOverflow();
  EXPECT_EQ(frameCount(currentStack), 1);
}

TEST_F(Overflow, MovesNeverPassACallerAboveTheBound) {
  uint64_t* s = stackAlloc(0);
  pushFrames(s, 6200, {2, 120, 1});  // the first two frames lie above the bound
  handleStackOverflow();
  stackAtHead(s);
  handleStackOverflow();  // a repeat, but the caller above the bound stays
  EXPECT_EQ(frameCount(currentStack), 1);
  EXPECT_EQ(frameCount(s), 1);
}

}  // namespace

namespace {

// ---- Context primitives --------------------------------------------------------------------

TEST_F(Context, PrimitivesReadSlotsAndSearchTheChain) {
  initContextPrimitives();
  oop b = frameMakeHybrid(fpB, 0);
  PrimOutcome pc = callPrimitive(803, b, {smallIntegerFor(2)});
  ASSERT_FALSE(pc.failed);
  EXPECT_EQ(pc.result, smallIntegerFor(-200));
  // The sender through the primitive makes A's context; the frame contents get B's words.
  oop a = callPrimitive(803, b, {smallIntegerFor(3)}).result;
  EXPECT_EQ(a, reinterpret_cast<uint64_t*>(fpA)[frContext]);
  oop contents = callPrimitive(803, b, {smallIntegerFor(6)}).result;
  ASSERT_NE(contents, nilOop());
  EXPECT_EQ(slotOf(contents, 0), smallIntegerFor(7));
  EXPECT_EQ(slotOf(contents, 1), smallIntegerFor(8));
  EXPECT_EQ(callPrimitive(802, b, {}).result, smallIntegerFor(0));
  EXPECT_EQ(callPrimitive(806, b, {smallIntegerFor(1), a}).result, a);
  EXPECT_EQ(callPrimitive(807, b, {a}).result, trueOop());
  EXPECT_EQ(callPrimitive(807, a, {b}).result, falseOop());
  struct Bad {
    uint32_t prim;
    oop receiver;
    std::vector<oop> args;
    uint32_t code;
  };
  const Bad bad[] = {
      {803, b, {nilOop()}, primErrBadArgument}, {803, b, {smallIntegerFor(0)}, primErrIndex},
      {803, b, {smallIntegerFor(7)}, primErrIndex}, {806, a, {b, smallIntegerFor(3)}, primErrNotFound},
      {802, smallIntegerFor(1), {}, primErrWrongClass},
  };
  for (const Bad& c : bad) {
    uint64_t spBefore = s[shSp];
    PrimOutcome o = c.args.size() == 0   ? callPrimitive(c.prim, c.receiver, {})
                    : c.args.size() == 1 ? callPrimitive(c.prim, c.receiver, {c.args[0]})
                                         : callPrimitive(c.prim, c.receiver, {c.args[0], c.args[1]});
    EXPECT_TRUE(o.failed) << c.prim;
    EXPECT_EQ(o.errorOop, primErrorAt(c.code)) << c.prim;
    EXPECT_EQ(s[shSp], spBefore);  // the caller's stack is untouched
  }
}

}  // namespace

namespace {

// ---- Stabilizing and rebuilding ------------------------------------------------------------

FakeNMethod nmC;
oop methods[3];
uint64_t nmethodOfMethod(oop m) {
  FakeNMethod* nms[3] = {&nmA, &nmB, &nmC};
  for (int i = 0; i < 3; i++)
    if (methods[i] == m) return addr(nms[i]);
  return 0;
}

// A (2 arguments, bottom) calls B (a block) which sends C 5 arguments: three stacked above
// C's return pc. The chain is stabilized, then rebuilt context by context on another segment.
TEST_F(Context, StabilizedChainIsRebuiltWordForWord) {
  for (int i = 0; i < 3; i++) methods[i] = newOldObject(classIndexArray, 1);
  nmA.h.vmethod = methods[0];
  nmB.h.vmethod = methods[1];
  memset(&nmC, 0, sizeof nmC);
  nmC.h.numArgs = 5;
  nmC.h.numTemps = 1;
  nmC.h.frame = 12;
  nmC.h.vmethod = methods[2];
  sp = s[shSp] + 8;  // B's resume pc word becomes its call's return pc
  push(smallIntegerFor(50));  // C's receiver, then arguments 1-3
  push(smallIntegerFor(51));
  push(smallIntegerFor(52));
  push(smallIntegerFor(53));
  push(addr(&nmB) + 210);  // return pc into B
  push(fpB);
  uint64_t fpC = sp;
  push(0);
  push(addr(&nmC));
  push(smallIntegerFor(50));
  push(smallIntegerFor(54));  // r12
  push(smallIntegerFor(55));  // r13
  push(nilOop());            // temporary
  push(smallIntegerFor(56));
  push(addr(&nmC) + 150);  // resume pc
  s[shSp] = sp;
  s[shFp] = fpC;
  ASSERT_EQ(stackReify(s), 1);
  const uint64_t spBefore = s[shSp];
  std::vector<uint64_t> before(reinterpret_cast<uint64_t*>(spBefore), s + shRootReturn + 1);
  const uint64_t fps[3] = {fpA, fpB, fpC};
  oop ctx[3];
  for (int i = 0; i < 3; i++) ctx[i] = reinterpret_cast<uint64_t*>(fps[i])[frContext];
  ASSERT_EQ(stackStabilize(s), 1);
  EXPECT_EQ(classTagOf(headerOf(ctx[0])), uint32_t(classIndexMethodContext));
  EXPECT_EQ(classTagOf(headerOf(ctx[1])), uint32_t(classIndexBlockContext));
  EXPECT_EQ(slot(ctx[2], ctxSender), ctx[1]);
  EXPECT_EQ(slot(ctx[1], ctxSender), ctx[0]);
  EXPECT_EQ(slot(ctx[0], ctxSender), nilOop());
  EXPECT_EQ(slot(ctx[2], ctxPc), smallIntegerFor(-150));
  EXPECT_EQ(slot(ctx[1], ctxPc), smallIntegerFor(-210));
  EXPECT_EQ(slot(ctx[2], ctxDepth), smallIntegerFor(7));  // 3 stacked, 2 register, temp, 1 stack
  uint64_t* hold = stackAlloc(0);  // keep the old segment so that the rebuild lands elsewhere
  vToNMethodHook = nmethodOfMethod;
  uint64_t* n = stableToHybrid(ctx[0]);
  EXPECT_NE(n, s);
  EXPECT_EQ(stableToHybrid(ctx[1]), n);
  EXPECT_EQ(stableToHybrid(ctx[2]), n);
  vToNMethodHook = nullptr;
  std::vector<uint64_t> after(reinterpret_cast<uint64_t*>(n[shSp]), n + shRootReturn + 1);
  ASSERT_EQ(after.size(), before.size());
  uint64_t delta = addr(n) - addr(s);
  for (size_t i = 0; i < before.size(); i++) {
    uint64_t oldAddress = spBefore + 8 * i;
    bool savedFp = oldAddress == fpA || oldAddress == fpB || oldAddress == fpC;  // saved caller fps
    EXPECT_EQ(after[i], savedFp ? before[i] + delta : before[i]) << i;
  }
  for (int i = 0; i < 3; i++) EXPECT_EQ(isLiveHybrid(ctx[i]), 1) << i;
  EXPECT_EQ(n[shRootContext], ctx[0]);
  (void)hold;
}

}  // namespace

namespace {

// ---- Stores into live contexts ---------------------------------------------------------------

TEST_F(Context, StoresKeepFrameAndContextConsistent) {
  oop a = frameMakeHybrid(fpA, 0);
  oop b = frameMakeHybrid(fpB, 0);
  // The receiver goes to the frame too; the context stays live.
  storeContextInstVar(b, smallIntegerFor(99), ctxReceiver);
  EXPECT_EQ(reinterpret_cast<uint64_t*>(fpB)[frReceiver], smallIntegerFor(99));
  EXPECT_EQ(isLiveHybrid(b), 1);
  // A new sender: B's frame becomes the bottom of a fresh segment whose root names it.
  oop other = newNewObject(classIndexArray, 1);
  storeContextInstVar(b, other, ctxSender);
  ASSERT_EQ(isLiveHybrid(b), 1);
  uint64_t newFp = bodyOf(headerOf(b))[ctxSender] - 1;
  uint64_t* n = segmentOf(newFp);
  EXPECT_NE(n, s);
  EXPECT_EQ(n[shRootSender], other);
  EXPECT_EQ(contextInstVarNoReify(b, ctxSender), other);
  EXPECT_EQ(reinterpret_cast<uint64_t*>(newFp)[frReceiver], smallIntegerFor(99));
  // Any other slot stabilizes the context first: A is now its segment's only frame.
  storeContextInstVar(a, smallIntegerFor(5), ctxPc);
  EXPECT_EQ(classTagOf(headerOf(a)), uint32_t(classIndexMethodContext));
  EXPECT_EQ(slot(a, ctxPc), smallIntegerFor(5));
  EXPECT_EQ(slot(a, ctxSender), nilOop());  // the root's sender
  EXPECT_EQ(slot(a, ctxDepth), smallIntegerFor(3));
  EXPECT_EQ(isLiveHybrid(b), 1);  // the other segment is untouched
}

TEST_F(Context, StackValuesOfLiveStableAndDeadContexts) {
  initContextPrimitives();
  oop b = frameMakeHybrid(fpB, 0);
  struct Read {
    int64_t index;
    bool fails;
    oop value;
  };
  const Read live[] = {{1, false, smallIntegerFor(7)}, {2, false, smallIntegerFor(8)}, {3, false, nilOop()},
                       {14, false, nilOop()},         {15, true, 0},                  {0, true, 0}};
  for (const Read& r : live) {
    PrimOutcome o = callPrimitive(527, b, {smallIntegerFor(r.index)});
    EXPECT_EQ(o.failed, r.fails) << r.index;
    if (!r.fails) {
      EXPECT_EQ(o.result, r.value) << r.index;
    }
  }
  oop a = frameMakeHybrid(fpA, 0);
  EXPECT_EQ(callPrimitive(527, a, {smallIntegerFor(3)}).result, nilOop());  // A's temporary
  EXPECT_EQ(callPrimitive(804, a, {smallIntegerFor(4), smallIntegerFor(77)}).result, smallIntegerFor(77));
  EXPECT_EQ(reinterpret_cast<uint64_t*>(fpA)[frReceiver], smallIntegerFor(77));
  stabilizeTopFrame(s, 0);  // B becomes stable
  EXPECT_EQ(callPrimitive(527, b, {smallIntegerFor(2)}).result, smallIntegerFor(8));
  EXPECT_EQ(callPrimitive(527, b, {smallIntegerFor(15)}).errorOop, primErrorAt(primErrIndex));  // 14 slots
  oop deadOne = frameMakeHybrid(fpA, 0);
  s[shSp] = fpA + 8;
  s[shFp] = rootFpOf(s);
  EXPECT_EQ(callPrimitive(527, deadOne, {smallIntegerFor(1)}).result, nilOop());
}

}  // namespace

namespace {

TEST_F(Context, HandlerSearchFindsMarkedFramesAndStableMethods) {
  initContextPrimitives();
  oop b = frameMakeHybrid(fpB, 0);
  EXPECT_EQ(callPrimitive(808, b, {nilOop()}).result, nilOop());  // nothing marked below
  nmA.h.flags = nmFlagHandler;
  oop found = callPrimitive(808, b, {nilOop()}).result;  // A has no context yet: one is made
  EXPECT_EQ(found, reinterpret_cast<uint64_t*>(fpA)[frContext]);
  EXPECT_EQ(callPrimitive(808, b, {found}).result, nilOop());  // stopping at A
  EXPECT_EQ(callPrimitive(808, b, {smallIntegerFor(1)}).errorOop, primErrorAt(primErrBadArgument));
  // A stable chain: the marker is in the first bytecode of the method.
  nmA.h.flags = 0;
  stabilizeTopFrame(s, 0);
  oop a = stabilizeTopFrame(s, 0);
  oop bytecodes = newOldObject(classIndexByteArray, 4);
  *reinterpret_cast<uint8_t*>(bodyOf(headerOf(bytecodes))) = 0x8C;
  oop m = newOldObject(classIndexArray, 1);
  bodyOf(headerOf(m))[0] = bytecodes;
  bodyOf(headerOf(a))[ctxMethod] = m;
  EXPECT_EQ(callPrimitive(808, b, {nilOop()}).result, a);
  *reinterpret_cast<uint8_t*>(bodyOf(headerOf(bytecodes))) = 0x83;  // 0x83 & 0x8C = 0x80: not marked
  EXPECT_EQ(callPrimitive(808, b, {nilOop()}).result, nilOop());
}

}  // namespace

namespace {

// ---- Mapping pcs ------------------------------------------------------------------------------

struct alignas(16) MappedNMethod {
  NMethodHeader h;
  uint8_t rest[216];
};
MappedNMethod mapped;
oop mappedMethod;
int64_t mapAnswer;
uint64_t mappedNMethodOf(oop m) { return m == mappedMethod ? addr(&mapped) : 0; }
int64_t mapVToN(oop, int64_t vpc, uint64_t) { return mapAnswer > 0 ? mapAnswer + vpc : mapAnswer; }
int64_t mapNToV(uint64_t, int64_t offset) { return mapAnswer > 0 ? offset / 10 : mapAnswer; }

TEST_F(Context, PrimitivesMapBytecodeAndNativePcs) {
  initContextPrimitives();
  mappedMethod = newOldObject(classIndexArray, 1);
  memset(&mapped, 0, sizeof mapped);
  mapped.h.usedSize = sizeof mapped;
  uint8_t* block = reinterpret_cast<uint8_t*>(&mapped);
  block[sizeof mapped - 1] = 0xE0;  // an empty map; the primitive map's words below it
  const uint64_t primWords[2] = {0x90, 0xA0};
  memcpy(block + sizeof mapped - 32, primWords, 16);
  uint16_t distance = 51;
  memcpy(block + 49, &distance, 2);
  ObjectHeader* ctx = allocSmallObj(classIndexMethodContext, contextNamedSlots, 8 * contextNamedSlots, hasPtrsBit, nilOop());
  bodyOf(ctx)[ctxMethod] = mappedMethod;
  uint64_t compactions = memoryStats.numCompactNMethods;  // failed mappings compact the zone
  vToNMethodHook = mappedNMethodOf;
  mapVToNPCHook = mapVToN;
  mapNToVPCHook = mapNToV;
  struct Case {
    uint32_t prim;
    uint8_t flags;
    oop pc;
    int64_t mapping;
    bool fails;
    uint32_t code;
    oop answer;
  } cases[] = {
      {524, nmFlagPrimitive, smallIntegerFor(1), 0, false, 0, smallIntegerFor(-0x90)},
      {524, nmFlagPrimitive, smallIntegerFor(4), 0, false, 0, smallIntegerFor(-0xA0)},
      {524, nmFlagPrimitive, smallIntegerFor(5), 0, false, 0, smallIntegerFor(-100)},
      {524, 0, smallIntegerFor(1), 0, false, 0, smallIntegerFor(-100)},
      {524, 0, smallIntegerFor(7), 100, false, 0, smallIntegerFor(-107)},
      {524, 0, smallIntegerFor(7), 0, true, primErrGeneral, 0},
      {524, 0, smallIntegerFor(0), 100, true, primErrBadArgument, 0},
      {524, 0, nilOop(), 100, true, primErrBadArgument, 0},
      {525, 0, smallIntegerFor(-100), 1, false, 0, smallIntegerFor(10)},
      {525, 0, smallIntegerFor(100), 1, true, primErrBadArgument, 0},
      {525, 0, smallIntegerFor(-100), -1, true, primErrNoSpace, 0},
      {525, 0, smallIntegerFor(-100), 0, true, primErrGeneral, 0},
  };
  for (const Case& c : cases) {
    mapped.h.flags = c.flags;
    mapAnswer = c.mapping;
    PrimOutcome o = callPrimitive(c.prim, oopOf(ctx), {c.pc});
    EXPECT_EQ(o.failed, c.fails) << c.prim << " " << c.pc;
    if (c.fails) {
      EXPECT_EQ(o.errorOop, primErrorAt(c.code)) << c.prim << " " << c.pc;
    } else {
      EXPECT_EQ(o.result, c.answer) << c.prim << " " << c.pc;
    }
  }
  EXPECT_GT(memoryStats.numCompactNMethods, compactions);
}

}  // namespace

namespace {

// ---- Late primitive results ------------------------------------------------------------------

TEST_F(Context, LateResultsReachLiveAndStableContexts) {
  oop b = frameMakeHybrid(fpB, 0);
  uint16_t distance = 30;
  memcpy(reinterpret_cast<uint8_t*>(&nmB) + 49, &distance, 2);
  asynchReCommitOrFailPrimitive(b, smallIntegerFor(70), 0);
  EXPECT_EQ(reinterpret_cast<uint64_t*>(s[shSp])[1], smallIntegerFor(70));  // the stack top
  EXPECT_EQ(reinterpret_cast<uint64_t*>(s[shSp])[0], addr(&nmB) + 200);
  asynchReCommitOrFailPrimitive(b, smallIntegerFor(71), 1);
  EXPECT_EQ(reinterpret_cast<uint64_t*>(s[shSp])[0], addr(&nmB) + 49 + 30);  // the failure code
  stabilizeTopFrame(s, 0);
  asynchReCommitOrFailPrimitive(b, smallIntegerFor(72), 1);
  EXPECT_EQ(slotOf(slot(b, ctxContents), 1), smallIntegerFor(72));  // depth 2
  EXPECT_EQ(slot(b, ctxPc), smallIntegerFor(5));
}

TEST_F(Context, RestartBecomesReturnForMethodsBeginningWithThePrimitiveMarker) {
  oop b = frameMakeHybrid(fpB, 0);
  stabilizeTopFrame(s, 0);
  struct Case {
    std::vector<uint8_t> bytes;
    bool converted;
  } cases[] = {{{0xFE, 1, 0, 0}, false}, {{0x80, 0, 0, 0, 254, 1}, true}, {{0x10, 254, 0, 9}, true},
               {{0x10, 254}, true}, {{254, 0x10}, false}, {{0x10, 7, 254}, false}, {{0x80, 254, 0, 0, 7}, false},
               {{0x10}, false}};
  for (const Case& c : cases) {
    oop bytecodes = newOldObject(classIndexByteArray, c.bytes.size());
    memcpy(bodyOf(headerOf(bytecodes)), c.bytes.data(), c.bytes.size());
    oop m = newOldObject(classIndexArray, 1);
    bodyOf(headerOf(m))[0] = bytecodes;
    bodyOf(headerOf(b))[ctxMethod] = m;
    bodyOf(headerOf(b))[ctxPc] = smallIntegerFor(1);
    convertRestartToReturn(b);
    EXPECT_EQ(slot(b, ctxPc), smallIntegerFor(c.converted ? 4 : 1)) << int(c.bytes[0]);
  }
  oop m = newOldObject(classIndexArray, 1);
  bodyOf(headerOf(m))[0] = smallIntegerFor(int64_t(254) << 21);  // the immediate form: oop bits 24-31
  bodyOf(headerOf(b))[ctxMethod] = m;
  convertRestartToReturn(b);
  EXPECT_EQ(slot(b, ctxPc), smallIntegerFor(4));
}

}  // namespace

namespace {

using ContextDeathTest = Context;

// A live hybrid context has six slots; asking for a seventh is an engine fault.
TEST_F(ContextDeathTest, SlotPastTheNamedOnesOfALiveHybridIsFatal) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        oop b = frameMakeHybrid(fpB, 0);
        contextInstVarNoReify(b, 6);
      },
      [](int status) { return status != 0; }, "");
}

}  // namespace

namespace {

TEST_F(Context, IndexedSlotsBeyondTheNamedOnes) {
  initContextPrimitives();
  ObjectHeader* h = allocSmallObj(classIndexMethodContext, contextNamedSlots, 8 * (contextNamedSlots + 2), hasPtrsBit, nilOop());
  oop c = oopOf(h);
  EXPECT_EQ(callPrimitive(802, c, {}).result, smallIntegerFor(2));
  EXPECT_EQ(callPrimitive(801, c, {smallIntegerFor(2), smallIntegerFor(9)}).result, smallIntegerFor(9));
  EXPECT_EQ(bodyOf(h)[contextNamedSlots + 1], smallIntegerFor(9));
  EXPECT_EQ(callPrimitive(800, c, {smallIntegerFor(2)}).result, smallIntegerFor(9));
  EXPECT_EQ(callPrimitive(800, c, {smallIntegerFor(3)}).errorOop, primErrorAt(primErrIndex));
  EXPECT_EQ(callPrimitive(800, c, {smallIntegerFor(0)}).errorOop, primErrorAt(primErrIndex));
  EXPECT_EQ(callPrimitive(801, c, {nilOop(), smallIntegerFor(1)}).errorOop, primErrorAt(primErrBadArgument));
  EXPECT_EQ(bodyOf(h)[contextNamedSlots], nilOop());
}

}  // namespace

namespace {

oop stableContext(oop sender) {
  ObjectHeader* h = allocSmallObj(classIndexMethodContext, contextNamedSlots, 8 * contextNamedSlots, hasPtrsBit, nilOop());
  bodyOf(h)[ctxSender] = sender;
  bodyOf(h)[ctxPc] = smallIntegerFor(-100);
  return oopOf(h);
}

// The primitive run from the fixture's own segment, as the running one (moving frames brings
// the running segment back to the head, which the harness's segment is not part of).
oop terminateTo(oop receiver, oop stop) {
  return reinterpret_cast<oop (*)(oop, oop)>(getPrimEntry(809)->function)(receiver, stop);
}

// B (live, top) sits on A (live, bottom), whose root sender is the stable X, whose sender is Y.
TEST_F(Context, TerminateToKillsTheContextsInBetween) {
  initContextPrimitives();
  oop y = stableContext(nilOop());
  oop x = stableContext(y);
  s[shRootSender] = x;
  oop a = frameMakeHybrid(fpA, 0);
  oop b = frameMakeHybrid(fpB, 0);
  oop unrelated = stableContext(nilOop());
  EXPECT_EQ(terminateTo(b, unrelated), b);  // not in the chain: only the sender changes
  EXPECT_EQ(contextInstVarNoReify(b, ctxSender), unrelated);
  EXPECT_EQ(isLiveHybrid(a), 1);
  EXPECT_EQ(slot(x, ctxSender), y);
  storeContextInstVar(b, a, ctxSender);  // back onto A, as before
  EXPECT_EQ(terminateTo(b, y), b);
  EXPECT_EQ(isLiveHybrid(b), 1);
  EXPECT_EQ(contextInstVarNoReify(b, ctxSender), y);
  EXPECT_EQ(isLiveHybrid(a), 0);  // its frame was dropped
  EXPECT_EQ(slot(x, ctxSender), nilOop());
  EXPECT_EQ(slot(x, ctxPc), smallIntegerFor(-int64_t(nMethodCannotResumeEntry)));
  EXPECT_EQ(slot(y, ctxPc), smallIntegerFor(-100));  // the argument lives on
  EXPECT_EQ(callPrimitive(809, b, {smallIntegerFor(1)}).errorOop, primErrorAt(primErrBadArgument));
  setFlag(headerOf(y), isImmutableBit);
  EXPECT_EQ(callPrimitive(809, y, {nilOop()}).errorOop, primErrorAt(primErrImmutable));
}

}  // namespace

namespace {

// ---- Stack stores and method-wide stabilizing -----------------------------------------------

FakeNMethod nmP;  // the method whose prologue calls the primitive (failure jump at 100)

TEST_F(Context, StackAtPutStoresIntoStableAndLiveContexts) {
  initContextPrimitives();
  oop a = frameMakeHybrid(fpA, 0);
  oop b = frameMakeHybrid(fpB, 0);
  // Failures leave the live context and its frame alone (A's frame holds 12 slots).
  struct Bad {
    oop receiver, index;
    int code;
  };
  const Bad bad[] = {{a, smallIntegerFor(0), primErrIndex},
                     {a, smallIntegerFor(13), primErrIndex},
                     {a, nilOop(), primErrBadArgument},
                     {smallIntegerFor(3), smallIntegerFor(1), primErrBadReceiver}};
  for (const Bad& c : bad) {
    PrimOutcome o = callPrimitive(528, c.receiver, {c.index, smallIntegerFor(5)});
    EXPECT_TRUE(o.failed);
    EXPECT_EQ(o.errorOop, primErrorAt(c.code)) << c.code;
  }
  EXPECT_EQ(isLiveHybrid(a), 1);
  EXPECT_EQ(isLiveHybrid(b), 1);

  // Live A below the running B: the primitive, called from B, commits its own frame on top;
  // A becomes stable with the store in its contents and the committed frame runs on.
  memset(&nmP, 0, sizeof nmP);
  nmP.h.usedSize = sizeof nmP;
  nmP.h.numArgs = 2;
  nmP.h.frame = 12;
  nmP.h.vmethod = method;
  uint8_t* code = reinterpret_cast<uint8_t*>(&nmP);
  code[100] = 0xEB;
  uint32_t word = 102;
  memcpy(code + 102, &word, 4);
  oop value = newNewObject(classIndexArray, 1);
  s[shNumArgs] = 2;
  s[shReceiver] = a;
  s[shArg0] = smallIntegerFor(3);
  s[shArg1] = value;
  s[shFailAddr] = addr(&nmP) + 100;
  auto prim = reinterpret_cast<oop (*)(oop, oop, oop)>(getPrimEntry(528)->function);
  EXPECT_EQ(prim(a, smallIntegerFor(3), value), value);
  ASSERT_EQ(classTagOf(headerOf(a)), uint32_t(classIndexMethodContext));
  oop contents = slot(a, ctxContents);
  EXPECT_EQ(slotOf(contents, 0), smallIntegerFor(1));  // A's arguments are kept
  EXPECT_EQ(slotOf(contents, 1), smallIntegerFor(2));
  EXPECT_EQ(slotOf(contents, 2), value);  // the temporary was nil
  uint64_t* running = currentStack;
  ASSERT_NE(running, nullptr);
  EXPECT_EQ(uint64_t(stackLimit), running[shRealLim]);  // it is the head, limit and all
  EXPECT_EQ(reinterpret_cast<uint64_t*>(running[shFp])[frNMethod] & frameNMethodMask, addr(&nmP));
  EXPECT_EQ(reinterpret_cast<uint64_t*>(running[shSp])[1], value);  // the answer on its stack
  EXPECT_EQ(isLiveHybrid(b), 1);  // B moved with it
  EXPECT_EQ(segmentOf(liveFrameOf(b)), running);
  EXPECT_EQ(contextInstVarNoReify(b, ctxSender), a);

  // Stable A: a plain store, bounded by the contents' size.
  EXPECT_EQ(callPrimitive(528, a, {smallIntegerFor(12), smallIntegerFor(9)}).result, smallIntegerFor(9));
  EXPECT_EQ(slotOf(contents, 11), smallIntegerFor(9));
  EXPECT_EQ(callPrimitive(528, a, {smallIntegerFor(13), smallIntegerFor(9)}).errorOop, primErrorAt(primErrIndex));
  bodyOf(headerOf(a))[ctxContents] = nilOop();
  EXPECT_EQ(callPrimitive(528, a, {smallIntegerFor(1), smallIntegerFor(9)}).errorOop,
            primErrorAt(primErrBadReceiver));
}

}  // namespace

namespace {

TEST_F(Context, TranslatedCodeStoresKeepFrameAndContextConsistent) {
  oop b = frameMakeHybrid(fpB, 0);
  EXPECT_EQ(CrtStoreContextInstVar(b, smallIntegerFor(99), ctxReceiver), smallIntegerFor(99));
  EXPECT_EQ(reinterpret_cast<uint64_t*>(fpB)[frReceiver], smallIntegerFor(99));
  EXPECT_EQ(isLiveHybrid(b), 1);
  // The method slot of A, below B: A stabilizes (B moves away and keeps running) first.
  oop a = frameMakeHybrid(fpA, 0);
  oop other = newOldObject(classIndexArray, 1);
  EXPECT_EQ(CrtStoreContextInstVar(a, other, ctxMethod), other);
  ASSERT_EQ(classTagOf(headerOf(a)), uint32_t(classIndexMethodContext));
  EXPECT_EQ(slot(a, ctxMethod), other);
  EXPECT_EQ(slot(a, ctxReceiver), receiverA);
  ASSERT_EQ(isLiveHybrid(b), 1);
  EXPECT_EQ(contextInstVarNoReify(b, ctxSender), a);
  EXPECT_EQ(reinterpret_cast<uint64_t*>(liveFrameOf(b))[frReceiver], smallIntegerFor(99));
  // A stable context takes the store as it is.
  EXPECT_EQ(CrtStoreContextInstVar(a, smallIntegerFor(4), ctxReceiver), smallIntegerFor(4));
  EXPECT_EQ(slot(a, ctxReceiver), smallIntegerFor(4));
}

TEST_F(Context, StabilizingAMethodsContextsLeavesOtherFramesRunning) {
  oop other = newOldObject(classIndexArray, 1);
  nmB.h.vmethod = other;  // A runs method, B runs other
  oop b = frameMakeHybrid(fpB, 0);
  EXPECT_EQ(stabilizeContextsWithMethod(newOldObject(classIndexArray, 1)), 1);  // none runs it
  EXPECT_EQ(s[shFp], fpB);
  EXPECT_EQ(stabilizeContextsWithMethod(method), 1);
  // A (no context before) is stable with a copy of its frame; B runs on, A as its sender.
  ASSERT_EQ(isLiveHybrid(b), 1);
  oop a = contextInstVarNoReify(b, ctxSender);
  ASSERT_TRUE(isHeapObject(a));
  EXPECT_EQ(classTagOf(headerOf(a)), uint32_t(classIndexMethodContext));
  EXPECT_EQ(slot(a, ctxMethod), method);
  EXPECT_EQ(slotOf(slot(a, ctxContents), 1), smallIntegerFor(2));
  EXPECT_EQ(stabilizeContextsWithMethod(method), 1);  // nothing left to do
  EXPECT_EQ(isLiveHybrid(b), 1);
  EXPECT_EQ(stabilizeContextsWithMethod(other), 1);
  EXPECT_EQ(classTagOf(headerOf(b)), uint32_t(classIndexBlockContext));
  EXPECT_EQ(slot(b, ctxSender), a);
}

}  // namespace
