// Oop stacks: segments, push and pop across segment boundaries, enumeration with removal,
// emptying, shrinking and the counts.
#include <gtest/gtest.h>

#include <vector>

#include "mman/heapVerifier.h"
#include "mman/mmOldSpace.h"
#include "mman/mmOopStack.h"
#include "mman/testHeap.h"

namespace {

class OopStack : public ::testing::Test {
 protected:
  oop stack = 0;
  void SetUp() override {
    newTestHeap();
    stack = createOopStack();
    ASSERT_NE(stack, 0u);
  }
  void TearDown() override {
    EXPECT_EQ(verifyHeap(), "");
    freeTestHeap();
  }
};

TEST_F(OopStack, FreshStackIsOneSelfLinkedSegment) {
  EXPECT_EQ(totalEntriesInOopStack(&stack), 1021u);
  EXPECT_EQ(liveEntriesInOopStack(&stack), 0u);
  EXPECT_EQ(segmentNext(stack), stack);
  EXPECT_EQ(segmentPrev(stack), stack);
  ObjectHeader* h = headerOf(stack);
  EXPECT_EQ(classTagOf(h), 22u);
  EXPECT_FALSE(hasPtrs(h));
  EXPECT_EQ(bodyBytesOf(h), 8192u);
}

TEST_F(OopStack, OverflowMakesASegmentAndPoppingLeavesItAsASpare) {
  oop first = stack;
  for (uint64_t i = 0; i < 1022; i++) ASSERT_TRUE(pushOopStack(&stack, smallIntegerFor(int64_t(i))));
  oop second = stack;
  EXPECT_NE(second, first);
  EXPECT_EQ(segmentCount(second), 1u);
  EXPECT_EQ(totalEntriesInOopStack(&stack), 2042u);
  for (int64_t i = 1021; i >= 0; i--) ASSERT_EQ(popOopStack(&stack), smallIntegerFor(i));
  EXPECT_EQ(stack, first);
  EXPECT_EQ(segmentCount(second), 0u);
  EXPECT_EQ(segmentNext(first), second);
  uint64_t allocated = oldObjectsAllocated;
  for (uint64_t i = 0; i < 1022; i++) pushOopStack(&stack, smallIntegerFor(1));
  EXPECT_EQ(stack, second);  // the spare, reused
  EXPECT_EQ(oldObjectsAllocated, allocated);
}

TEST_F(OopStack, PushAndPopAcrossManySegmentsInBothDirections) {
  for (int round = 0; round < 2; round++) {
    for (int64_t i = 0; i < 4000; i++) ASSERT_TRUE(pushOopStack(&stack, smallIntegerFor(i)));
    EXPECT_EQ(liveEntriesInOopStack(&stack), 4000u);
    EXPECT_EQ(totalEntriesInOopStack(&stack), 4u * 1021u);
    for (int64_t i = 3999; i >= 2000; i--) ASSERT_EQ(popOopStack(&stack), smallIntegerFor(i));
    for (int64_t i = 2000; i < 3000; i++) ASSERT_TRUE(pushOopStack(&stack, smallIntegerFor(i)));
    for (int64_t i = 2999; i >= 0; i--) ASSERT_EQ(popOopStack(&stack), smallIntegerFor(i));
    EXPECT_EQ(liveEntriesInOopStack(&stack), 0u);
    EXPECT_EQ(segmentCount(stack), 0u);
  }
  EXPECT_EQ(totalEntriesInOopStack(&stack), 4u * 1021u);  // no segment lost or added
}

std::vector<oop> tested;
int dropEven(oop e) {
  tested.push_back(e);
  return smallIntegerValue(e) % 2;
}
std::vector<oop> dropped;
void recordDrop(oop e) { dropped.push_back(e); }

TEST_F(OopStack, EnumerationFillsAHoleFromTheTopAndTestsItThere) {
  for (int64_t i = 1; i <= 5; i++) pushOopStack(&stack, smallIntegerFor(i));
  tested.clear();
  dropped.clear();
  enumOopStack(&stack, dropEven, recordDrop);
  // 1 kept; 2 dropped, 5 moves in and is kept; 3 kept; 4 dropped and is the last entry.
  std::vector<oop> expectTested = {smallIntegerFor(1), smallIntegerFor(2), smallIntegerFor(5),
                                   smallIntegerFor(3), smallIntegerFor(4)};
  EXPECT_EQ(tested, expectTested);
  EXPECT_EQ(dropped.size(), 2u);
  EXPECT_EQ(liveEntriesInOopStack(&stack), 3u);
  EXPECT_EQ(segmentBody(stack)[oopStackFirstEntry + 1], smallIntegerFor(5));
}

TEST_F(OopStack, EnumerationAcrossSegmentsKeepsExactlyTheSurvivors) {
  for (int64_t i = 0; i < 3000; i++) pushOopStack(&stack, smallIntegerFor(i));
  tested.clear();
  dropped.clear();
  enumOopStack(&stack, dropEven, recordDrop);
  EXPECT_EQ(dropped.size(), 1500u);
  EXPECT_EQ(liveEntriesInOopStack(&stack), 1500u);
  int64_t sumOdd = 0;
  while (liveEntriesInOopStack(&stack) != 0) {
    oop e = popOopStack(&stack);
    EXPECT_EQ(smallIntegerValue(e) % 2, 1);
    sumOdd += smallIntegerValue(e);
  }
  EXPECT_EQ(sumOdd, 1500 * 1500);
}

int keepNone(oop) { return 0; }
void dropNothing(oop) {}

TEST_F(OopStack, EmptyShrinkAndReleaseGiveSegmentsBack) {
  for (int64_t i = 0; i < 2500; i++) pushOopStack(&stack, smallIntegerFor(i));
  oop segs[3] = {stack, segmentNext(stack), segmentNext(segmentNext(stack))};
  EXPECT_TRUE(objIsOopStackSeg(&stack, segs[2]));
  EXPECT_TRUE(oopOnOopStack(smallIntegerFor(2400), &stack));
  EXPECT_FALSE(oopOnOopStack(smallIntegerFor(2500), &stack));
  emptyOopStack(&stack, keepNone, dropNothing);
  EXPECT_EQ(totalEntriesInOopStack(&stack), 1021u);
  EXPECT_EQ(liveEntriesInOopStack(&stack), 0u);
  int withBodies = 0;  // the others' bodies went back to the free lists
  for (oop s : segs) withBodies += headerOf(s)->dataPtr != 0;
  EXPECT_EQ(withBodies, 1);
  EXPECT_NE(headerOf(stack)->dataPtr, 0u);
  for (int64_t i = 0; i < 2500; i++) pushOopStack(&stack, smallIntegerFor(i));
  for (int64_t i = 0; i < 2000; i++) popOopStack(&stack);
  shrinkOopStack(&stack);
  EXPECT_EQ(totalEntriesInOopStack(&stack), 1021u);
  EXPECT_EQ(liveEntriesInOopStack(&stack), 500u);
  releaseOopStack(&stack);
  EXPECT_EQ(stack, 0u);
}

}  // namespace

namespace {

int testCalls;
int dropTopOnly(oop e) {
  testCalls++;
  return smallIntegerValue(e) != 1021;
}

TEST_F(OopStack, DroppingTheTopSegmentsLastEntryEndsTheEnumeration) {
  for (int64_t i = 0; i < 1022; i++) pushOopStack(&stack, smallIntegerFor(i));
  testCalls = 0;
  dropped.clear();
  enumOopStack(&stack, dropTopOnly, recordDrop);
  EXPECT_EQ(testCalls, 1022);  // every entry tested once
  EXPECT_EQ(liveEntriesInOopStack(&stack), 1021u);
}

int stepCalls;
int stopAtFive(oop e, int* stop) {
  stepCalls++;
  if (smallIntegerValue(e) == 5) *stop = 1;
  return smallIntegerValue(e) % 3 != 0;  // drops multiples of 3
}

TEST_F(OopStack, SteppedEnumerationResumesWhereItStopped) {
  for (int64_t i = 0; i < 2500; i++) pushOopStack(&stack, smallIntegerFor(i));
  int done = 0;
  stepCalls = 0;
  dropped.clear();
  // 0 dropped: 2499 moves in and is dropped, 2498 moves in and is kept; 1, 2 kept; 3 dropped,
  // 2497 moves in and is kept; 4 kept; 5 stops the step.
  uint64_t at = incEnumOopStack(&stack, stopAtFive, recordDrop, 0, 100, &done);
  EXPECT_FALSE(done);
  EXPECT_EQ(at, 6u);
  EXPECT_EQ(stepCalls, 9);
  at = incEnumOopStack(&stack, stopAtFive, recordDrop, at, 1000, &done);
  EXPECT_FALSE(done);
  EXPECT_EQ(stepCalls, 1009);  // the limit counts visits
  at = incEnumOopStackNBL(&stack, stopAtFive, recordDrop, at, &done);
  EXPECT_TRUE(done);
  EXPECT_EQ(at, liveEntriesInOopStack(&stack));
  for (uint64_t n = liveEntriesInOopStack(&stack); n > 0; n--) EXPECT_NE(smallIntegerValue(popOopStack(&stack)) % 3, 0);
  EXPECT_EQ(dropped.size(), 834u);  // the multiples of 3 below 2500
}

}  // namespace
