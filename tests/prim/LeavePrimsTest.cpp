// Engine control primitives: leaving with a status, the reference check and the
// child-status Semaphore.
#include <gtest/gtest.h>

#include <csignal>

#include "prim/prLeave.h"
#include "ext/exRequest.h"
#include "mman/mmNewSpace.h"
#include "mman/mmSysOop.h"
#include "mman/testHeap.h"
#include "support/ioKernel.h"

namespace {

class LeavePrims : public testing::Test {
 protected:
  void SetUp() override {
    newIOTestHeap();
    childStatusSemaphoreX = -1;
    initLeavePrimitives();
    initSignalPrimitives();
  }
  void TearDown() override {
    setRequestServer(requestChildStatus, nullptr);
    freeTestHeap();
  }
};

// The exit status is the status's low byte, and a status whose low byte is 0 is not taken
// for success.
TEST_F(LeavePrims, QuitWithStatus) {
  struct Case { uint32_t prim; int64_t status; int expected; } cases[] = {
      {113, 0, 0}, {117, 0, 0}, {117, 3, 3}, {117, 256, 9}, {117, 300, 44}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "primitive " << c.prim << " status " << c.status);
    if (c.prim == 113) {
      EXPECT_EXIT(callPrimitive(113, nilOop(), {}), testing::ExitedWithCode(c.expected), "");
    } else {
      EXPECT_EXIT(callPrimitive(117, nilOop(), {smallIntegerFor(c.status)}), testing::ExitedWithCode(c.expected), "");
    }
  }
  PrimOutcome o = callPrimitive(117, nilOop(), {nilOop()});
  ASSERT_TRUE(o.failed);
  EXPECT_EQ(failureOf(o).code, 3);
}

// Valid references of every kind answer the receiver; the rest stop the process.
TEST_F(LeavePrims, CheckReference) {
  oop fresh = newNewObject(testClasses.pointers, 2);
  oop old = newOldObject(testClasses.pointers, 2);
  for (oop o : {smallIntegerFor(5), characterFor('x'), nilOop(), fresh, old}) {
    PrimOutcome r = callPrimitive(118, smallIntegerFor(1), {o});
    ASSERT_FALSE(r.failed);
    EXPECT_EQ(r.result, smallIntegerFor(1));
  }
#ifndef _WIN32
  oop beyondEden = eden.allocPtr + 64;
  oop badTag = old + 2;
  oop body = oop(bodyOf(headerOf(old)));  // a body word, not a header
  for (oop o : {beyondEden, badTag, body}) EXPECT_EXIT(callPrimitive(118, nilOop(), {o}), testing::KilledBySignal(SIGILL), "");
#endif
}

// The Semaphore takes one registry slot, kept when it is replaced; the request's server
// signals whichever is registered.
TEST_F(LeavePrims, ChildStatusSemaphore) {
  signalChildStatusSemaphore();  // none registered: nothing to do
  PrimOutcome bad = callPrimitive(310, nilOop(), {smallIntegerFor(3)});
  ASSERT_TRUE(bad.failed);
  EXPECT_EQ(failureOf(bad).code, 3);
  EXPECT_EQ(childStatusSemaphoreX, -1);
  oop first = newSemaphore(), second = newSemaphore();
  ASSERT_FALSE(callPrimitive(310, nilOop(), {first}).failed);
  int64_t slot = childStatusSemaphoreX;
  ASSERT_GE(slot, int64_t(sysFirstRunTimeSlot));
  ASSERT_FALSE(callPrimitive(310, nilOop(), {second}).failed);
  EXPECT_EQ(childStatusSemaphoreX, slot);
  EXPECT_EQ(sysOop(uint32_t(slot)), second);
  setRequest(requestChildStatus);
  handleRequests();
  EXPECT_EQ(excessSignals(first), 0);
  EXPECT_EQ(excessSignals(second), 1);
}

}  // namespace
