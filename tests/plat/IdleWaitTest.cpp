// Signals, the real delay timer and the idle wait. The test thread plays the Smalltalk
// thread, looping waitForIO(); handleAsyncRequests(); until what it waits for arrives. The
// engine's signal dispositions are put back as they were after each test.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <pthread.h>
#include <signal.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "prim/prEnviron.h"
#include "ext/exInit.h"
#include "ext/exRequest.h"
#include "ext/platform.h"
#include "mman/mmAllocate.h"
#include "mman/mmSysOop.h"
#include "mman/testHeap.h"
#include "plat/unxMain.h"
#include "prim/prTimer.h"
#include "support/ioKernel.h"

namespace {

struct sigaction savedActions[65];

class SignalTestBase : public testing::Test {
 protected:
  void SetUp() override {
    for (int s = 1; s <= 64; s++) sigaction(s, nullptr, &savedActions[s]);
    newIOTestHeap();
    recordWakeThread();
    initNewIO();
    initTimePrimitives();
    handleRequests();  // nothing left over from earlier tests
    for (uint32_t k = 0; k < requestKindCount; k++) clearRequest(k);
  }
  void TearDown() override {
    pdTerminateTimer();
    for (TimerEntry& e : timerEntries) e = TimerEntry{};
    armedTimer = nullptr, timerActive = 0;
    idlePoll = ppoll;
    for (int s = 1; s <= 64; s++)
      if (s != SIGKILL && s != SIGSTOP) sigaction(s, &savedActions[s], nullptr);
    freeTestHeap();
  }
  PrimOutcome setNamed(const char* name, oop value) {
    return callPrimitive(140, nilOop(), {value, byteString(name)});
  }
};

// ---- Signals ---------------------------------------------------------------------------

class Unix_Signals : public SignalTestBase {};

std::atomic<int> foreignRuns;
void foreignHandler(int) { foreignRuns++; }

TEST_F(Unix_Signals, DeliveriesBetweenServicesSignalOnce) {
  oop s = newSemaphore();
  ASSERT_FALSE(setNamed("SIGUSR1", s).failed);
  for (int i = 0; i < 3; i++) raise(SIGUSR1);
  EXPECT_TRUE(isRequested(requestSignals));
  handleAsyncRequests();
  EXPECT_EQ(excessSignals(s), 1);
  handleAsyncRequests();
  EXPECT_EQ(excessSignals(s), 1);  // nothing new arrived
  raise(SIGUSR1);
  handleAsyncRequests();
  EXPECT_EQ(excessSignals(s), 2);
}

TEST_F(Unix_Signals, ForeignHandlerIsChained) {
  struct sigaction foreign = {};
  foreign.sa_handler = foreignHandler;
  sigaction(SIGUSR2, &foreign, nullptr);
  foreignRuns = 0;
  oop s = newSemaphore();
  ASSERT_FALSE(setNamed("SIGUSR2", s).failed);
  raise(SIGUSR2);
  handleAsyncRequests();
  EXPECT_EQ(foreignRuns.load(), 1);
  EXPECT_EQ(excessSignals(s), 1);
  EXPECT_EQ(failureOf(setNamed("SIGUSR2", smallIntegerFor(4))).code, 5);
  EXPECT_EQ(registerSignal(65), 0);
  EXPECT_EQ(registerSignal(64), 1);
}

// Only the outermost end unblocks; while blocked a signal waits for the end.
TEST_F(Unix_Signals, CriticalSectionsNest) {
  auto blocked = [] {
    sigset_t now;
    pthread_sigmask(SIG_SETMASK, nullptr, &now);
    return sigismember(&now, SIGALRM) == 1;
  };
  pdBeginCritical();
  pdBeginCritical();
  EXPECT_TRUE(blocked());
  raise(SIGALRM);
  EXPECT_FALSE(isRequested(requestTimer));
  pdEndCritical();
  EXPECT_TRUE(blocked());
  pdEndCritical();
  EXPECT_FALSE(blocked());
  EXPECT_TRUE(isRequested(requestTimer));
}

// ---- Real delay timer ---------------------------------------------------------------------

class Unix_Alarm : public SignalTestBase {};

TEST_F(Unix_Alarm, ClockResolutionAndFarTimes) {
  EXPECT_EQ(clockResolutionFor(100), 10u);
  EXPECT_EQ(clockResolutionFor(0), 10u);
  EXPECT_EQ(clockResolutionFor(-1), 10u);
  EXPECT_EQ(clockResolutionFor(1000), 1u);
  uint64_t retry = 0, before = pdMicrosecondClock();
  EXPECT_EQ(pdSignalAtMicroseconds(before + 400ull * 86400 * 1000000, &retry), 0);
  EXPECT_GE(retry, before + farAheadMicroseconds);
  EXPECT_LE(retry, pdMicrosecondClock() + farAheadMicroseconds);
  EXPECT_EQ(pollTimeout(), -1);  // no timer active
}

// A timer 25 ms ahead: the idle wait's poll sleeps one clock tick longer, and the Semaphore
// is signalled no earlier than the deadline.
TEST_F(Unix_Alarm, TimerFiresNeverEarly) {
  oop s = newSemaphore();
  uint64_t deadline = pdMicrosecondClock() + 25000;
  ASSERT_FALSE(callPrimitive(352, nilOop(), {s, smallIntegerFor((int64_t)deadline)}).failed);
  int timeout = pollTimeout();
  EXPECT_GT(timeout, 10);
  EXPECT_LE(timeout, 25 + (int)sysClockResolution);
  while (excessSignals(s) == 0) {
    waitForIO();
    handleAsyncRequests();
  }
  EXPECT_GE(pdMicrosecondClock(), deadline);
  EXPECT_FALSE(isTimerActive());
}

// ---- Idle wait ------------------------------------------------------------------------------

class Unix_IdleWait : public SignalTestBase {};

int polls;
std::function<void()> beforeSleep;
int countingPoll(struct pollfd* fds, nfds_t n, const struct timespec* t, const sigset_t* mask) {
  polls++;
  if (beforeSleep) beforeSleep();
  return ppoll(fds, n, t, mask);
}

// Waits until done() holds, counting the waits; a watchdog wakes a stuck wait after 5 s
// and fails the case.
int waitUntil(const std::function<bool()>& done) {
  std::atomic<bool> finished{false}, rescued{false};
  std::thread watchdog([&] {
    for (int i = 0; i < 500 && !finished; i++) usleep(10000);
    if (!finished) rescued = true, asyncSetRequest(requestUserPoll, 0, 1);
  });
  int waits = 0;
  while (!done() && !rescued) {
    waitForIO();
    handleAsyncRequests();
    waits++;
  }
  finished = true;
  watchdog.join();
  EXPECT_FALSE(rescued) << "the idle wait did not wake";
  return waits;
}

std::atomic<bool> served;
void markServed() { served = true; }

TEST_F(Unix_IdleWait, EachSourceEndsTheWait) {
  idlePoll = countingPoll;
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  oop readable = newSemaphore(), timer = newSemaphore(), usr1 = newSemaphore();
  oop startIO = oopOf(allocVSObj(sysOop(sysArrayClass), 3));
  ASSERT_FALSE(callPrimitive(699, nilOop(), {startIO}).failed);
  ASSERT_FALSE(setNamed("SIGUSR1", usr1).failed);
  setRequestServer(requestChildStatus, markServed);
  setRequestServer(requestThreadedCalls, markServed);
  struct Case {
    const char* source;
    std::function<void()> start;  // runs on another thread after 20 ms
    std::function<bool()> done;
  } cases[] = {
      {"byte on a watched pipe", [&] { (void)!write(p[1], "x", 1); }, [&] { return excessSignals(readable) == 1; }},
      {"timer", nullptr, [&] { return excessSignals(timer) == 1; }},
      {"registered signal", [] { kill(getpid(), SIGUSR1); }, [&] { return excessSignals(usr1) == 1; }},
      {"child status", [] { if (fork() == 0) _exit(0); }, [] { return served.load(); }},
      {"request from a thread", [] { asyncSetRequest(requestThreadedCalls, 0, 0); }, [] { return served.load(); }},
      {"signal on a second thread", [] { raise(SIGUSR1); }, [&] { return excessSignals(usr1) == 2; }},
  };
  ASSERT_EQ(setIOsem(p[0], 0, readable), 0u);
  for (Case& c : cases) {
    SCOPED_TRACE(c.source);
    served = false;
    polls = 0;
    if (c.start == nullptr) {
      oop deadline = smallIntegerFor((int64_t)pdMicrosecondClock() + 20000);
      ASSERT_FALSE(callPrimitive(352, nilOop(), {timer, deadline}).failed);
    }
    std::thread source([&] {
      usleep(20000);
      if (c.start) c.start();
    });
    int waits = waitUntil(c.done);
    source.join();
    EXPECT_LE(polls, waits) << c.source;  // one poll per wake-up
    EXPECT_GE(polls, 1) << c.source;
  }
  EXPECT_EQ(ioSemaphoreAt(p[0], 0), nilOop());  // each registration fires once
  EXPECT_EQ(excessSignals(readable), 1);
  while (waitpid(-1, nullptr, WNOHANG) > 0) {}
  close(p[0]), close(p[1]);
  setRequestServer(requestChildStatus, nullptr);
  setRequestServer(requestThreadedCalls, nullptr);
}

// A request posted between the last check and the sleep ends the sleep at once.
TEST_F(Unix_IdleWait, RequestJustBeforeTheSleepIsSeen) {
  idlePoll = countingPoll;
  polls = 0;
  served = false;
  setRequestServer(requestThreadedCalls, markServed);
  beforeSleep = [] {
    std::thread([] { asyncSetRequest(requestThreadedCalls, 0, 0); }).join();
  };
  int waits = waitUntil([] { return served.load(); });
  beforeSleep = nullptr;
  EXPECT_EQ(waits, 1);
  EXPECT_EQ(polls, 1);
  setRequestServer(requestThreadedCalls, nullptr);
}

// A signal arriving while one descriptor is polled is taken and the poll goes on.
TEST_F(Unix_IdleWait, OneDescriptorPollOutlastsASignal) {
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  ASSERT_EQ(registerSignal(SIGUSR1), 1);
  pthread_t tester = pthread_self();
  std::thread source([&] {
    usleep(20000);
    pthread_kill(tester, SIGUSR1);
    usleep(20000);
    (void)!write(p[1], "x", 1);
  });
  int ready = 0;
  int r = waitForIOWithTimeout(p[0], 1, &ready, 5000);
  source.join();
  EXPECT_EQ(r, 1);
  EXPECT_EQ(ready, 1);
  EXPECT_TRUE(isRequested(requestSignals));  // the signal was taken meanwhile
  EXPECT_EQ(waitForIOWithTimeout(p[1], 2, &ready, 0), 1);
  EXPECT_EQ(ready, 2);
  close(p[0]), close(p[1]);
}

}  // namespace
