// Run-time routines that generated code calls, run in process on a hand-laid segment:
// arrays and blocks from stack values, the frame finish after a prologue's stack check, and
// a primitive run from its method's built frame.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "ext/exRequest.h"
#include "mman/testHeap.h"
#include "mman/mmSysOop.h"
#include "stack/nsupport.h"
#include "stack/send.h"
#include "stack/stackzone.h"
#include "tran/nmLayout.h"
#include "tran/tpcmap.h"
#include "tran/tprim.h"

extern "C" {
oop CrtCreateArray(uint64_t n);
oop CrtConsArray(uint64_t n);
oop CrtMakeCopyingBlock1(oop method, oop value);
oop CrtMakeCopyingBlock(oop method, uint64_t n);
void CrtAbortSend();
void CrtAbortPrimFail(oop error);
}

namespace {

alignas(stackSegmentBytes) uint64_t routineZone[4 * stackSegmentWords];
constexpr uint64_t returnPc = 0xC0DE;

class RunTimeRoutine : public ::testing::Test {
 protected:
  void SetUp() override {
    newTestHeap();
    initStacks(routineZone, 4);
    stackAlloc(0);
  }
  void TearDown() override {
    initStackChains();
    freeTestHeap();
  }
  uint64_t* sp() { return reinterpret_cast<uint64_t*>(currentStack[shSp]); }
  // Pushes values (the first deepest) and a return address on the running segment.
  void pushValues(std::initializer_list<oop> values) {
    uint64_t* p = currentStack + shRootReturn;
    for (oop v : values) *--p = v;
    *--p = returnPc;
    currentStack[shSp] = reinterpret_cast<uint64_t>(p);
  }
};

TEST_F(RunTimeRoutine, ArraysTakeStackValuesInPushOrder) {
  for (uint64_t n : {0, 1, 3, 7}) {
    SCOPED_TRACE(n);
    oop values[7];
    for (uint64_t i = 0; i < n; i++) values[i] = i == 1 ? newNewObject(testClasses.object, 0) : smallIntegerFor(int64_t(i) + 10);
    uint64_t* p = currentStack + shRootReturn;
    for (uint64_t i = 0; i < n; i++) *--p = values[i];
    *--p = returnPc;
    currentStack[shSp] = reinterpret_cast<uint64_t>(p);
    uint64_t before = currentStack[shSp];
    oop a = CrtConsArray(n);
    ASSERT_EQ(classTagOf(headerOf(a)), classIndexArray);
    ASSERT_EQ(bodyWordsOf(headerOf(a)), n);
    for (uint64_t i = 0; i < n; i++) EXPECT_EQ(slotOf(a, i), values[i]) << i;
    EXPECT_EQ(currentStack[shSp], before + 8 * n);
    EXPECT_EQ(sp()[0], returnPc);

    oop fresh = CrtCreateArray(n);
    ASSERT_EQ(bodyWordsOf(headerOf(fresh)), n);
    for (uint64_t i = 0; i < n; i++) EXPECT_EQ(slotOf(fresh, i), nilOop());
  }
}

TEST_F(RunTimeRoutine, CopyingBlocksHoldMethodNilOuterAndCopiedValues) {
  oop method = newOldObject(testClasses.pointers, 2);
  oop one = CrtMakeCopyingBlock1(method, smallIntegerFor(5));
  EXPECT_EQ(classTagOf(headerOf(one)), 13u);
  EXPECT_EQ(slotOf(one, 0), method);
  EXPECT_EQ(slotOf(one, 1), nilOop());
  EXPECT_EQ(slotOf(one, 2), smallIntegerFor(5));

  pushValues({smallIntegerFor(1), smallIntegerFor(2)});
  oop two = CrtMakeCopyingBlock(method, 2);
  EXPECT_EQ(slotOf(two, 1), nilOop());
  oop copied = slotOf(two, 2);
  ASSERT_EQ(bodyWordsOf(headerOf(copied)), 2u);
  EXPECT_EQ(slotOf(copied, 0), smallIntegerFor(1));
  EXPECT_EQ(slotOf(copied, 1), smallIntegerFor(2));
  EXPECT_EQ(sp()[0], returnPc);
}

// After the abort stub: temporaries (and a failed primitive's error) go in under the resume
// pc; the stack limit is restored.
TEST_F(RunTimeRoutine, AbortedPrologueFinishesTheFrame) {
  alignas(16) static NMethodHeader nm;
  const oop error = smallIntegerFor(99);
  const struct {
    int primFail;  // 0 send, 1 with error, 2 with error 0
    uint8_t temps;
  } cases[] = {{0, 0}, {0, 3}, {1, 2}, {2, 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.primFail << " " << int(c.temps));
    memset(&nm, 0, sizeof nm);
    nm.numArgs = 1;
    nm.numTemps = c.temps;
    nm.frame = 12;
    uint64_t* fp = currentStack + shRootFp - 6;
    fp[frCallerFp] = rootFpOf(currentStack);
    fp[frContext] = 0;
    fp[frNMethod] = reinterpret_cast<uint64_t>(&nm);
    fp[frReceiver] = smallIntegerFor(7);
    fp[frFirstArg] = smallIntegerFor(8);
    fp[frFirstArg - 1] = returnPc;  // the resume pc on top
    currentStack[shFp] = reinterpret_cast<uint64_t>(fp);
    currentStack[shSp] = reinterpret_cast<uint64_t>(fp + frFirstArg - 1);
    stackLimit = stackLimitForced;
    if (c.primFail == 0) CrtAbortSend();
    else CrtAbortPrimFail(c.primFail == 1 ? error : 0);
    uint64_t words = c.temps + (c.primFail ? 1 : 0);
    EXPECT_EQ(currentStack[shSp], reinterpret_cast<uint64_t>(fp + frFirstArg - 1 - int64_t(words)));
    EXPECT_EQ(sp()[0], returnPc);
    if (c.primFail) {
      EXPECT_EQ(sp()[1], c.primFail == 1 ? error : nilOop());
    }
    for (uint64_t k = 0; k < c.temps; k++) EXPECT_EQ(fp[frFirstArg - 1 - int64_t(k)], nilOop()) << k;
    EXPECT_EQ(fp[frFirstArg], smallIntegerFor(8));
    EXPECT_EQ(stackLimit, int64_t(currentStack[shRealLim]));
  }
}

// ---- The primitive run from its built frame ------------------------------------------------

// A method with a primitive as the run time reads it: the distance from offset 49 to its first
// non-primitive pc, and at its end the primitive map (restart and return offsets, the end byte).
struct alignas(16) PrimMethod {
  NMethodHeader h;
  uint8_t code[88];
};
PrimMethod primMethod;
constexpr uint64_t failureOffset = 79, restartOffset = 90, returnOffset = 60;

void layPrimMethod(uint8_t numArgs, uint8_t numTemps, bool hasReturn) {
  memset(&primMethod, 0, sizeof primMethod);
  primMethod.h.usedSize = sizeof primMethod;
  primMethod.h.flags = nmFlagPrimitive;
  primMethod.h.numArgs = numArgs;
  primMethod.h.numTemps = numTemps;
  primMethod.h.frame = 12;
  uint8_t* b = reinterpret_cast<uint8_t*>(&primMethod);
  uint16_t distance = failureOffset - nMethodAbortOffsetOffset;
  memcpy(b + nMethodAbortOffsetOffset, &distance, 2);
  uint64_t ret = hasReturn ? returnOffset : ~0ull;
  memcpy(b + sizeof primMethod - 32, &restartOffset, 8);
  memcpy(b + sizeof primMethod - 24, &ret, 8);
  b[sizeof primMethod - 1] = mapEnd;
}
uint64_t primMethodAt(uint64_t offset) { return reinterpret_cast<uint64_t>(&primMethod) + offset; }

// What the primitive saw, and how it ends.
struct Seen {
  oop receiver = 0;
  std::vector<oop> args;
  uint64_t top = 0, aboveTop = 0;  // the words at sp and above it, after any commit
  uint64_t saved[6] = {};          // save area words 5-10
};
Seen seen;
enum class Ending { answer, commit, fail, zero } ending;
const oop answer = smallIntegerFor(4242), primError = smallIntegerFor(-3);

oop primEnd() {
  if (ending == Ending::commit) commitPrimitive(answer);
  const uint64_t* sp = reinterpret_cast<const uint64_t*>(currentStack[shSp]);
  seen.top = sp[0];
  seen.aboveTop = sp[1];
  for (int i = 0; i < 6; i++) seen.saved[i] = currentStack[shNumArgs + i];
  if (ending == Ending::fail) return failPrimitive(primError, seen.args.size());
  return ending == Ending::zero ? 0 : answer;
}
template <class... A>
oop fixedPrim(oop receiver, A... args) {
  seen.receiver = receiver;
  seen.args = {args...};
  return primEnd();
}
// Arguments as the primitive glue hands them over: the stacked ones above the return-pc word
// (the one before the last two nearest it), the last two in the save area.
oop varArgPrim(oop receiver, uint64_t n, uint64_t returnPcWord) {
  const uint64_t* p = reinterpret_cast<const uint64_t*>(returnPcWord);
  seen.receiver = receiver;
  seen.args.clear();
  for (uint64_t k = 0; k + 2 < n; k++) seen.args.push_back(p[n - 2 - k]);
  if (n >= 2) seen.args.push_back(currentStack[shArg0]);
  seen.args.push_back(currentStack[n >= 2 ? shArg1 : shArg0]);
  if (n == 0) seen.args.clear();
  return primEnd();
}

void* failJump[5];
oop failError;
uint64_t failArgs;
void catchFrameFailure(oop errorOop, uint64_t numArgs) {
  failError = errorOop;
  failArgs = numArgs;
  __builtin_longjmp(failJump, 1);
}

// The frame the restart point leaves on the running segment: the sender's stacked receiver
// and arguments, its return pc, the frame header, register arguments, temporaries, one value
// and the stub's return address on top. Answers fp.
const oop frameSlotValue = smallIntegerFor(77);
uint64_t* layPrimFrame(oop receiver, const std::vector<oop>& args, int temps) {
  const int n = int(args.size());
  layPrimMethod(uint8_t(n), uint8_t(temps), true);
  uint64_t* p = currentStack + shRootReturn;
  if (n >= 3) {
    *--p = receiver;
    for (int i = 0; i < n - 2; i++) *--p = args[size_t(i)];
  }
  *--p = returnPc;
  *--p = rootFpOf(currentStack);
  uint64_t* fp = p;
  *--p = 0;
  *--p = reinterpret_cast<uint64_t>(&primMethod);
  *--p = receiver;
  if (n >= 1) *--p = args[size_t(n >= 2 ? n - 2 : 0)];
  if (n >= 2) *--p = args[size_t(n - 1)];
  for (int i = 0; i < temps; i++) *--p = nilOop();
  *--p = frameSlotValue;
  *--p = 0xBAD;  // the stub's return address
  currentStack[shFp] = reinterpret_cast<uint64_t>(fp);
  currentStack[shSp] = reinterpret_cast<uint64_t>(p);
  currentStack[shReceiver] = 0;
  return fp;
}

// Each case lays the frame the restart point leaves (sender's stacked receiver and arguments,
// return pc, frame header, register arguments, temporaries, one value, the stub's return
// address) and runs the primitive through its table entry.
TEST_F(RunTimeRoutine, PrimitiveRunFromItsFrameAnswersToTheSenderOrFailsIntoTheFrame) {
  static TranslatedPrimRecord record;
  const void* fixed[] = {reinterpret_cast<const void*>(&fixedPrim<>), reinterpret_cast<const void*>(&fixedPrim<oop>),
                         reinterpret_cast<const void*>(&fixedPrim<oop, oop>),
                         reinterpret_cast<const void*>(&fixedPrim<oop, oop, oop>), nullptr,
                         reinterpret_cast<const void*>(&fixedPrim<oop, oop, oop, oop, oop>)};
  const struct {
    uint8_t kind;
    uint8_t numArgs, temps;
    Ending ending;
    bool hasReturn;
    bool function = true;  // false: the entry names no function (no primitive)
  } cases[] = {
      {primKindC, 0, 0, Ending::answer, true},       {primKindC, 1, 2, Ending::answer, true},
      {primKindC, 2, 0, Ending::commit, true},       {primKindC, 3, 1, Ending::answer, true},
      {primKindC, 5, 3, Ending::answer, false},      {primKindVarArgC, 1, 0, Ending::answer, true},
      {primKindVarArgC, 4, 2, Ending::commit, true}, {primKindTranslated, 2, 1, Ending::answer, true},
      {primKindC, 1, 0, Ending::fail, true},         {primKindC, 3, 2, Ending::fail, true},
      {primKindVarArgC, 4, 0, Ending::zero, true},   {primKindVarArgC, 2, 1, Ending::fail, true},
      {primKindUser, 1, 0, Ending::answer, true},    {primKindUser, 3, 1, Ending::answer, true},
      {primKindUser, 2, 0, Ending::fail, true},
      {primKindVarArgC, 2, 0, Ending::answer, true, false},
  };
  for (size_t c = 0; c < sizeof cases / sizeof cases[0]; c++) {
    const auto& k = cases[c];
    SCOPED_TRACE(testing::Message() << "case " << c);
    const int n = k.numArgs;
    std::vector<oop> args;
    for (int i = 0; i < n; i++) args.push_back(smallIntegerFor(100 + i));
    const oop receiver = newNewObject(testClasses.object, 0);
    uint64_t* fp = layPrimFrame(receiver, args, k.temps);
    layPrimMethod(k.numArgs, k.temps, k.hasReturn);

    PrimEntry entry = {0, k.numArgs, k.kind, 0, {}};
    if (k.kind == primKindC) entry.function = reinterpret_cast<uint64_t>(fixed[n]);
    if (k.kind == primKindVarArgC) entry.function = reinterpret_cast<uint64_t>(&varArgPrim);
    if (k.kind == primKindUser) entry.function = reinterpret_cast<uint64_t>(fixed[n]);
    if (k.kind == primKindTranslated) {
      record = {1, k.numArgs, 0, nullptr, nullptr, fixed[n]};
      entry.function = reinterpret_cast<uint64_t>(&record);
    }
    if (!k.function) entry.function = 0;
    ending = k.ending;
    seen = Seen();
    // Kept in memory: read again after the failure's jump back.
    volatile bool expectFailure = k.ending == Ending::fail || k.ending == Ending::zero || !k.function;
    volatile oop expectedError = k.ending == Ending::fail ? primError : nilOop();

    frameFailureHook = catchFrameFailure;
    if (__builtin_setjmp(failJump) != 0) {
      frameFailureHook = nullptr;
      ASSERT_TRUE(expectFailure);
      EXPECT_EQ(failError, oop(expectedError));
      EXPECT_EQ(failArgs, uint64_t(n));
      // The failure code runs on the same frame with the error on its stack.
      uint64_t* sp = reinterpret_cast<uint64_t*>(currentStack[shSp]);
      EXPECT_EQ(sp, fp - 3 - (n < 2 ? n : 2) - k.temps - 2);
      EXPECT_EQ(sp[0], primMethodAt(failureOffset));
      EXPECT_EQ(sp[1], oop(expectedError));
      EXPECT_EQ(currentStack[shFp], reinterpret_cast<uint64_t>(fp));
      continue;
    }
    oop result = CrtCarefulCallPrim(&entry);
    frameFailureHook = nullptr;
    ASSERT_FALSE(expectFailure);
    EXPECT_EQ(result, answer);
    EXPECT_EQ(seen.receiver, receiver);
    EXPECT_EQ(seen.args, args);
    // While it ran: nothing pending, its count and last two arguments saved, and a resume pc
    // that finishes the frame (or, without a return point, runs the primitive again).
    EXPECT_EQ(seen.saved[shReceiver - shNumArgs], 0u);
    EXPECT_EQ(seen.saved[0], uint64_t(n));
    if (n >= 1) {
      EXPECT_EQ(seen.saved[shArg0 - shNumArgs], args[n >= 2 ? n - 2 : 0]);
    }
    if (n >= 2) {
      EXPECT_EQ(seen.saved[shArg1 - shNumArgs], args[n - 1]);
    }
    EXPECT_EQ(seen.top, primMethodAt(k.hasReturn ? returnOffset : restartOffset));
    if (k.hasReturn) {
      EXPECT_EQ(seen.saved[shFailAddr - shNumArgs], primMethodAt(returnOffset) - nMethodPrimitiveJumpSize);
    }
    EXPECT_EQ(seen.aboveTop, k.ending == Ending::commit ? answer : frameSlotValue);
    // Afterwards the frame is gone: the sender's return pc on top, above any stacked arguments.
    uint64_t* top = n >= 3 ? fp + n : fp + 1;
    EXPECT_EQ(currentStack[shSp], reinterpret_cast<uint64_t>(top));
    EXPECT_EQ(*top, returnPc);
    EXPECT_EQ(currentStack[shFp], rootFpOf(currentStack));
  }
}

// Evaluation primitives run from the built frame fail into it with their error, every word
// of the frame but the failure's two left as it was.
TEST_F(RunTimeRoutine, EvaluationFailuresFromTheFrameLeaveItsWords) {
  initEvaluationPrimitives();
  oop table = newOldObject(testClasses.pointers, 10);
  for (int k = 0; k < 10; k++) bodyOf(headerOf(table))[k] = newOldObject(testClasses.pointers, 1);
  sysOopRegistry[sysPrimErrorTable] = table;
  sysOopRegistry[sysArrayClass] = classAt(classIndexArray);
  const oop selector = newOldObject(testClasses.bytes, 1);
  const struct {
    uint32_t prim;
    std::vector<oop> args;
    uint32_t error;
  } cases[] = {
      {510, {selector, smallIntegerFor(4)}, 3},                     // the arguments are no Array
      {515, {selector, smallIntegerFor(4), nilOop()}, 3},
      {501, {}, 5},                                                  // the receiver is no block
      {504, {smallIntegerFor(1), smallIntegerFor(2), smallIntegerFor(3)}, 5},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.prim);
    const int n = int(c.args.size());
    const oop receiver = smallIntegerFor(41);
    uint64_t* fp = layPrimFrame(receiver, c.args, 1);
    uint64_t* failureWords = fp - 3 - (n < 2 ? n : 2) - 1 - 2;  // [sp], the error above it
    std::vector<uint64_t> before(failureWords + 2, currentStack + shRootReturn);
    frameFailureHook = catchFrameFailure;
    if (__builtin_setjmp(failJump) == 0) {
      CrtCarefulCallPrim(getPrimEntry(c.prim));
      frameFailureHook = nullptr;
      ADD_FAILURE() << "the primitive answered";
      continue;
    }
    frameFailureHook = nullptr;
    EXPECT_EQ(failError, primErrorAt(c.error));
    EXPECT_EQ(currentStack[shSp], reinterpret_cast<uint64_t>(failureWords));
    EXPECT_EQ(failureWords[1], primErrorAt(c.error));
    EXPECT_EQ(std::vector<uint64_t>(failureWords + 2, currentStack + shRootReturn), before);
  }
}

}  // namespace
