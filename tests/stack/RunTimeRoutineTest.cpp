// Run-time routines that generated code calls, run in process on a hand-laid segment:
// arrays and blocks from stack values, and the frame finish after a prologue's stack check.
#include <gtest/gtest.h>

#include <cstring>

#include "mman/testHeap.h"
#include "mman/mmSysOop.h"
#include "stack/nsupport.h"
#include "stack/stackzone.h"
#include "stack/vmsupport.h"
#include "tran/nmLayout.h"

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

class RunTimeRoutineTest : public ::testing::Test {
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

TEST_F(RunTimeRoutineTest, ArraysTakeStackValuesInPushOrder) {
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

TEST_F(RunTimeRoutineTest, CopyingBlocksHoldMethodNilOuterAndCopiedValues) {
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
TEST_F(RunTimeRoutineTest, AbortedPrologueFinishesTheFrame) {
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

}  // namespace
