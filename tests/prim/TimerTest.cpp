// The two logical timers over the one platform timer, on a fake clock: the earliest deadline
// is armed, expiry runs the armed entry's callback, far deadlines are armed in steps; and
// primitives 351 and 352.
#include <gtest/gtest.h>

#include <vector>

#include "ext/exInit.h"
#include "ext/exRequest.h"
#include "mman/mmSysOop.h"
#include "mman/testHeap.h"
#include "prim/prStartup.h"
#include "prim/prTimer.h"
#include "support/ioKernel.h"

namespace {

// The fake platform: a settable clock and the one timer it would arm.
uint64_t fakeNow;
uint64_t fakeArmedAt;  // 0: not armed
int fakeTerminations;

uint64_t fakeClock() { return fakeNow; }
int fakeSignalAt(uint64_t when, uint64_t* retry) {
  if (fakeNow >= when) {
    timeExpired();
    return 1;
  }
  if (when - fakeNow > farAheadMicroseconds) {
    if (retry != nullptr) *retry = fakeNow + farAheadMicroseconds;
    return 0;
  }
  fakeArmedAt = when;
  return 1;
}
void fakeTerminate() { fakeArmedAt = 0, fakeTerminations++; }

std::vector<std::pair<char, uint64_t>> fired;  // callback name, the deadline it was given
void callbackA(uint64_t d) { fired.push_back({'a', d}); }
void callbackB(uint64_t d) { fired.push_back({'b', d}); }
void callbackC(uint64_t d) { fired.push_back({'c', d}); }

// Runs the fake clock to the armed time and serves the expiry as the request handler would.
void runToAlarm() {
  ASSERT_NE(fakeArmedAt, 0u);
  fakeNow = fakeArmedAt;
  fakeArmedAt = 0;
  timeExpired();
}

class Timers : public testing::Test {
 protected:
  TimerPlatform saved = timerPlatform;
  void SetUp() override {
    newIOTestHeap();
    initTimePrimitives();
    timerPlatform = {fakeClock, fakeSignalAt, fakeTerminate};
    for (TimerEntry& e : timerEntries) e = TimerEntry{};
    armedTimer = nullptr, timerActive = 0;
    fakeNow = 1000000, fakeArmedAt = 0, fakeTerminations = 0;
    fired.clear();
  }
  void TearDown() override {
    timerPlatform = saved;
    for (TimerEntry& e : timerEntries) e = TimerEntry{};
    armedTimer = nullptr, timerActive = 0;
    freeTestHeap();
  }
};

TEST_F(Timers, EarliestIsArmedAndTheOtherFollows) {
  EXPECT_EQ(setTimer(50000, callbackA), 0);
  EXPECT_EQ(setTimer(20000, callbackB), 1);
  EXPECT_EQ(fakeArmedAt, 1020000u);
  EXPECT_EQ(setTimer(10000, callbackC), -1);  // both slots are bound
  EXPECT_EQ(fakeArmedAt, 1020000u);
  runToAlarm();
  ASSERT_EQ(fired.size(), 1u);
  EXPECT_EQ(fired[0], std::make_pair('b', (uint64_t)1020000));
  EXPECT_EQ(fakeArmedAt, 1050000u);  // A at once
  runToAlarm();
  EXPECT_EQ(fired.back(), std::make_pair('a', (uint64_t)1050000));
  EXPECT_FALSE(isTimerActive());
  EXPECT_EQ(fakeArmedAt, 0u);
}

TEST_F(Timers, ClearingTiesAndDroppedRequests) {
  setTimer(30000, callbackA);
  setTimer(30000, callbackB);
  EXPECT_EQ(armedTimer, &timerEntries[0]);  // a tie keeps A
  setRequest(requestTimer);                 // A's expiry, not yet served
  setTimer(0, callbackA);                   // clears A: B is armed, A's request dropped
  EXPECT_EQ(armedTimer, &timerEntries[1]);
  EXPECT_FALSE(isRequested(requestTimer));
  EXPECT_EQ(timerEntries[0].callback, callbackA);  // the slot stays bound
  setTimer(0, callbackB);
  EXPECT_EQ(armedTimer, nullptr);
  EXPECT_FALSE(isTimerActive());
  EXPECT_GE(fakeTerminations, 2);
}

// Woken early (or at the far-ahead limit), an entry is armed again and fires only at its
// deadline.
TEST_F(Timers, FarAndEarlyWakeUpsReArm) {
  uint64_t deadline = fakeNow + 400ull * 86400 * 1000000;
  setTimerEntry(deadline, callbackA);
  EXPECT_EQ(fakeArmedAt, 1000000 + farAheadMicroseconds);
  runToAlarm();
  EXPECT_TRUE(fired.empty());
  EXPECT_EQ(fakeArmedAt, deadline);
  fakeNow = deadline - 5;  // a signal a little early
  timeExpired();
  EXPECT_TRUE(fired.empty());
  runToAlarm();
  ASSERT_EQ(fired.size(), 1u);
  EXPECT_EQ(fired[0].second, deadline);
}

TEST_F(Timers, SemaphorePrimitive) {
  PrimOutcome clock = callPrimitive(351, nilOop(), {});
  ASSERT_FALSE(clock.failed);
  EXPECT_EQ(clock.result, smallIntegerFor(1000000));
  oop s = newSemaphore();
  struct Bad {
    oop semaphore, deadline;
  } bad[] = {{smallIntegerFor(1), smallIntegerFor(5)}, {s, smallIntegerFor(-1)}, {s, nilOop()},
             {sysOop(sysArrayClass), smallIntegerFor(5)}};
  for (const Bad& b : bad) EXPECT_EQ(failureOf(callPrimitive(352, nilOop(), {b.semaphore, b.deadline})).code, 3);
  // A deadline already past signals before the primitive answers.
  PrimOutcome past = callPrimitive(352, nilOop(), {s, smallIntegerFor(999999)});
  ASSERT_FALSE(past.failed);
  EXPECT_EQ(past.result, s);
  EXPECT_EQ(excessSignals(s), 1);
  EXPECT_EQ(sysOop((uint32_t)timerSemaphoreX), nilOop());  // fires once per registration
  // nil forgets the Semaphore; the deadline still fires, signalling nothing.
  ASSERT_FALSE(callPrimitive(352, nilOop(), {s, smallIntegerFor(1010000)}).failed);
  EXPECT_TRUE(isTimerSemaphoreTimerActive());
  EXPECT_EQ(callPrimitive(352, nilOop(), {nilOop(), smallIntegerFor(0)}).result, nilOop());
  EXPECT_EQ(fakeArmedAt, 1010000u);
  runToAlarm();
  EXPECT_EQ(excessSignals(s), 1);
  // A deadline of 0 cancels.
  ASSERT_FALSE(callPrimitive(352, nilOop(), {s, smallIntegerFor(1020000)}).failed);
  ASSERT_FALSE(callPrimitive(352, nilOop(), {s, smallIntegerFor(0)}).failed);
  EXPECT_FALSE(isTimerActive());
}

}  // namespace
