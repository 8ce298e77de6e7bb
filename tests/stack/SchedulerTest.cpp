// Tests of the process scheduler: ready lists, Semaphores, the switch, the idle loop, the
// asynchronous signal, the process primitives and the reboot. Switches are recorded by test
// scheduler operations instead of entering native code; primitives run through primHarness.
#include <gtest/gtest.h>

#include <vector>

#include "ext/exOption.h"
#include "ext/exPrimTable.h"
#include "ext/exRequest.h"
#include "ext/platform.h"
#include "mman/mmPrimUtil.h"
#include "mman/mmRt.h"
#include "mman/mmSysOop.h"
#include "mman/testHeap.h"
#include "stack/glue.h"
#include "stack/scheduler.h"
#include "support/ioKernel.h"
#include "support/primHarness.h"
#include "tran/nmLayout.h"

namespace {

const uint32_t levels = 8;

struct Recorder {
  std::vector<oop> suspended;  // contexts handed out as the running process's top context
  std::vector<oop> resumed;
  std::vector<oop> pushed;
  std::vector<void (*)()> entered;
};
Recorder rec;
uint32_t contextClass, processClass, listClass;

oop newContext() {
  oop c = newOldObject(contextClass, 6);
  storeSlot(c, ctxPc, smallIntegerFor(9), "test", 0);
  return c;
}
oop recSuspend() {
  rec.suspended.push_back(newContext());
  return rec.suspended.back();
}
void recResume(oop context) { rec.resumed.push_back(context); }
void recPush(oop value) { rec.pushed.push_back(value); }
void recEnter(void (*entry)()) { rec.entered.push_back(entry); }

// The idle loop's wait: each call runs the event the test planted.
int blockCalls;
oop eventSemaphore;
void testBlock() {
  blockCalls++;
  asynchSignal(eventSemaphore);
}
void signalFromPoll() { asynchSignal(eventSemaphore); }

class Scheduler : public ::testing::Test {
 protected:
  oop sched = 0, active = 0;

  void SetUp() override {
    newIOTestHeap();
    initProcessPrims();
    contextClass = newTestClass(formatPointers | 6);
    processClass = newTestClass(formatPointers | 4);
    listClass = newTestClass(formatPointers | 2);
    oop lists = newOldObject(classIndexArray, levels);
    for (uint32_t i = 0; i < levels; i++) storeSlot(lists, i, newOldObject(listClass, 2), "test", 0);
    sched = newOldObject(testClasses.threeSlots, 3);
    storeSlot(sched, schedulerReadyLists, lists, "test", 0);
    sysOopRegistry[sysProcessor] = sched;
    active = newProcess(4, false);
    storeSlot(sched, schedulerActiveProcess, active, "test", 0);
    highestReadyPriorityHint = 0;
    rec = {};
    schedulerOps = {recSuspend, recResume, recPush, recEnter};
    savedBlock = pdBlockUntilEvent;
    blockCalls = 0;
  }
  void TearDown() override {
    schedulerOps = engineSchedulerOps;
    pdBlockUntilEvent = savedBlock;
    setRequestServer(requestUserPoll, nullptr);
    for (uint32_t k = 0; k < requestKindCount; k++) clearRequest(k);
    qrxOptions &= ~uint64_t(0x2000);
  }

  oop newProcess(int64_t priority, bool withContext = true) {
    oop p = newOldObject(processClass, 4);
    storeSlot(p, processPriority, smallIntegerFor(priority), "test", 0);
    if (withContext) storeSlot(p, processSuspendedContext, newContext(), "test", 0);
    return p;
  }
  oop list(uint32_t priority) { return slotOf(slotOf(sched, schedulerReadyLists), priority - 1); }
  static std::vector<oop> members(oop l) {
    std::vector<oop> out;
    for (oop p = slotOf(l, listFirstLink); p != nilOop(); p = slotOf(p, processNextLink)) out.push_back(p);
    if (!out.empty()) EXPECT_EQ(slotOf(l, listLastLink), out.back());
    else EXPECT_EQ(slotOf(l, listLastLink), nilOop());
    return out;
  }
  oop ready(int64_t priority) {
    oop p = newProcess(priority);
    makeProcessReady(p);
    return p;
  }
  oop waiting(oop semaphore, int64_t priority) {
    oop p = newProcess(priority);
    oop last = slotOf(semaphore, listLastLink);
    if (last == nilOop()) storeSlot(semaphore, listFirstLink, p, "test", 0);
    else storeSlot(last, processNextLink, p, "test", 0);
    storeSlot(semaphore, listLastLink, p, "test", 0);
    storeSlot(p, processMyList, semaphore, "test", 0);
    return p;
  }
  oop ctx(oop process) { return slotOf(process, processSuspendedContext); }
  void expectSwitchTo(oop process, oop itsContext) {
    EXPECT_EQ(activeProcess(), process);
    ASSERT_EQ(rec.resumed.size(), 1u);
    EXPECT_EQ(rec.resumed[0], itsContext);
    EXPECT_EQ(ctx(process), nilOop());
    EXPECT_EQ(slotOf(process, processMyList), nilOop());
    ASSERT_EQ(rec.entered.size(), 1u);
    EXPECT_EQ(rec.entered[0], backToNcode);
  }
  void (*savedBlock)() = nullptr;
};

TEST_F(Scheduler, ListsKeepOrderAndTheHighestWaiterIsTheEarliestAmongEquals) {
  oop s = newSemaphore();
  oop a = waiting(s, 3), b = waiting(s, 5), c = waiting(s, 5), d = waiting(s, 2);
  EXPECT_EQ(removeHighestPriorityProcess(s), b);
  EXPECT_EQ(slotOf(b, processMyList), nilOop());
  EXPECT_EQ(slotOf(b, processNextLink), nilOop());
  EXPECT_EQ(members(s), (std::vector<oop>{a, c, d}));
  removeProcessFromList(s, d);  // the last
  EXPECT_EQ(members(s), (std::vector<oop>{a, c}));
  removeProcessFromList(s, active);  // not there: nothing changes
  EXPECT_EQ(members(s), (std::vector<oop>{a, c}));
  removeProcessFromList(s, a);
  removeProcessFromList(s, c);
  EXPECT_EQ(members(s), std::vector<oop>{});
  EXPECT_EQ(removeHighestPriorityProcess(s), nilOop());
}

TEST_F(Scheduler, NextReadyTakesTheFirstOfTheHighestListAndDropsTerminated) {
  oop low = ready(2);
  oop dead = newProcess(6, false);
  makeProcessReady(dead);
  oop high = ready(6), later = ready(6);
  EXPECT_EQ(highestReadyPriorityHint, 6u);
  EXPECT_EQ(nextReadyProcess(), high);
  EXPECT_EQ(members(list(6)), std::vector<oop>{later});
  EXPECT_EQ(slotOf(high, processMyList), nilOop());
  EXPECT_EQ(nextReadyProcess(), later);
  EXPECT_EQ(nextReadyProcess(), low);
  EXPECT_EQ(highestReadyPriorityHint, 2u);
  EXPECT_EQ(nextReadyProcess(), oop(0));
  EXPECT_EQ(highestReadyPriorityHint, 0u);
  EXPECT_EQ(highestProcessPriority(), smallIntegerFor(levels));
}

TEST_F(Scheduler, WaitTakesAnExcessSignalOrGivesWay) {
  oop s = newSemaphore();
  storeSlot(s, semaphoreExcessSignals, smallIntegerFor(3), "test", 0);
  PrimOutcome r = callPrimitive(86, s, {});
  EXPECT_FALSE(r.failed);
  EXPECT_EQ(r.result, s);
  EXPECT_EQ(excessSignals(s), 2);
  EXPECT_TRUE(rec.resumed.empty());

  storeSlot(s, semaphoreExcessSignals, smallIntegerFor(0), "test", 0);
  oop other = ready(2);
  oop otherContext = ctx(other);
  r = callPrimitive(86, s, {});
  EXPECT_FALSE(r.failed);
  EXPECT_EQ(members(s), std::vector<oop>{active});
  EXPECT_EQ(slotOf(active, processMyList), s);
  ASSERT_EQ(rec.suspended.size(), 1u);
  EXPECT_EQ(ctx(active), rec.suspended[0]);
  expectSwitchTo(other, otherContext);
}

TEST_F(Scheduler, SignalWakesTheWaiterAndSwitchesOnlyForAHigherOne) {
  struct Case {
    int64_t waiterPriority;
    bool switches;
  } cases[] = {{4, false}, {3, false}, {5, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.waiterPriority);
    TearDown();
    SetUp();
    oop s = newSemaphore();
    oop w = waiting(s, c.waiterPriority);
    oop wContext = ctx(w);
    oop sameLevel = ready(4);
    PrimOutcome r = callPrimitive(85, s, {});
    EXPECT_FALSE(r.failed);
    EXPECT_EQ(excessSignals(s), 0);
    EXPECT_EQ(members(s), std::vector<oop>{});
    if (!c.switches) {
      EXPECT_EQ(activeProcess(), active);
      EXPECT_TRUE(rec.resumed.empty());
      std::vector<oop> expected = c.waiterPriority == 4 ? std::vector<oop>{sameLevel, w} : std::vector<oop>{sameLevel};
      EXPECT_EQ(members(list(4)), expected);
      EXPECT_EQ(slotOf(w, processMyList), list(uint32_t(c.waiterPriority)));
      continue;
    }
    expectSwitchTo(w, wContext);
    // The preempted process runs again before the others of its priority.
    EXPECT_EQ(members(list(4)), (std::vector<oop>{active, sameLevel}));
    EXPECT_EQ(ctx(active), rec.suspended.at(0));
  }
  TearDown();
  SetUp();
  oop s = newSemaphore();
  EXPECT_FALSE(callPrimitive(85, s, {}).failed);
  EXPECT_EQ(excessSignals(s), 1);
}

TEST_F(Scheduler, AsynchSignalMakesReadyAndPostsTheSwitch) {
  struct Case {
    int64_t waiterPriority;
    bool idle;
    bool posts;
  } cases[] = {{4, false, false}, {5, false, true}, {1, true, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.waiterPriority);
    clearRequest(requestProcessSwitch);
    if (c.idle) storeSlot(sched, schedulerActiveProcess, nilOop(), "test", 0);
    oop s = newSemaphore();
    oop w = waiting(s, c.waiterPriority);
    uint64_t calls = asynchSignalCount;
    asynchSignal(s);
    EXPECT_EQ(asynchSignalCount, calls + 1);
    EXPECT_EQ(members(list(uint32_t(c.waiterPriority))).back(), w);
    EXPECT_EQ(isRequested(requestProcessSwitch) != 0, c.posts);
    EXPECT_TRUE(rec.resumed.empty());  // the switch waits for the request's service
  }
}

// A wait committed to run again answers instead once a signal woke it.
TEST_F(Scheduler, ASignalTurnsTheWaitsRestartIntoAReturn) {
  oop s = newSemaphore();
  oop w = waiting(s, 2);
  oop bytes = newOldObject(testClasses.bytes, 8);
  uint8_t* b = reinterpret_cast<uint8_t*>(bodyOf(headerOf(bytes)));
  b[0] = 0x80, b[4] = 254, b[5] = 0, b[6] = 86;
  oop method = newOldObject(testClasses.threeSlots, 3);
  storeSlot(method, 0, bytes, "test", 0);
  storeSlot(ctx(w), ctxMethod, method, "test", 0);
  asynchSignal(s);
  EXPECT_EQ(slotOf(ctx(w), ctxPc), smallIntegerFor(4));
}

TEST_F(Scheduler, ResumeMakesReadyOrFails) {
  oop s = newSemaphore();
  oop inList = waiting(s, 2);
  for (oop refused : {inList, active}) {
    PrimOutcome r = callPrimitive(87, refused, {});
    EXPECT_TRUE(r.failed);
    EXPECT_EQ(failureOf(r).code, 5);
  }
  oop lower = newProcess(3);
  EXPECT_FALSE(callPrimitive(87, lower, {}).failed);
  EXPECT_EQ(members(list(3)), std::vector<oop>{lower});
  EXPECT_TRUE(rec.resumed.empty());
  oop higher = newProcess(7);
  oop higherContext = ctx(higher);
  EXPECT_FALSE(callPrimitive(87, higher, {}).failed);
  expectSwitchTo(higher, higherContext);
  EXPECT_EQ(members(list(4)), std::vector<oop>{active});
}

TEST_F(Scheduler, SuspendAndTerminate) {
  oop s = newSemaphore();
  oop w = waiting(s, 2);
  for (uint32_t prim : {88u, 312u}) {
    oop p = waiting(s, 3);
    oop context = ctx(p);
    EXPECT_FALSE(callPrimitive(prim, p, {}).failed);
    EXPECT_EQ(slotOf(p, processMyList), nilOop());
    EXPECT_EQ(ctx(p), context);  // a suspended or terminated waiter keeps its context
  }
  EXPECT_EQ(members(s), std::vector<oop>{w});
  oop loose = newProcess(2);
  PrimOutcome r = callPrimitive(88, loose, {});
  EXPECT_TRUE(r.failed);
  EXPECT_EQ(failureOf(r).code, 5);
  oop looseContext = ctx(loose);
  EXPECT_FALSE(callPrimitive(312, loose, {}).failed);  // in no list: answered as it is
  EXPECT_EQ(ctx(loose), looseContext);

  // The active process: suspending saves its context, terminating drops it.
  oop next = ready(3), last = ready(1);
  oop nextContext = ctx(next);
  EXPECT_FALSE(callPrimitive(88, active, {}).failed);
  expectSwitchTo(next, nextContext);
  EXPECT_EQ(ctx(active), rec.suspended.at(0));
  EXPECT_EQ(slotOf(active, processMyList), nilOop());
  rec = {};
  oop lastContext = ctx(last);
  EXPECT_FALSE(callPrimitive(312, next, {}).failed);
  EXPECT_TRUE(rec.suspended.empty());
  EXPECT_EQ(ctx(next), nilOop());
  expectSwitchTo(last, lastContext);
}

TEST_F(Scheduler, YieldGoesBehindTheOthersOfItsPriority) {
  EXPECT_EQ(failureOf(callPrimitive(313, newProcess(4), {})).code, 5);
  EXPECT_FALSE(callPrimitive(313, active, {}).failed);  // alone at its priority
  EXPECT_TRUE(rec.resumed.empty());
  EXPECT_EQ(activeProcess(), active);
  oop b = ready(4), c = ready(4);
  oop bContext = ctx(b);
  EXPECT_FALSE(callPrimitive(313, active, {}).failed);
  expectSwitchTo(b, bContext);
  EXPECT_EQ(members(list(4)), (std::vector<oop>{c, active}));
  EXPECT_EQ(slotOf(active, processMyList), list(4));
  // Once yielded, resuming it is refused: it is in a list.
  EXPECT_EQ(failureOf(callPrimitive(87, active, {})).code, 5);
}

TEST_F(Scheduler, PriorityChanges) {
  struct Bad {
    oop argument;
    int code;
  } bad[] = {{nilOop(), 3}, {smallIntegerFor(0), 6}, {smallIntegerFor(levels + 1), 6}};
  for (const Bad& c : bad) EXPECT_EQ(failureOf(callPrimitive(311, active, {c.argument})).code, c.code);
  EXPECT_EQ(slotOf(active, processPriority), smallIntegerFor(4));

  // A waiter's priority only changes; a ready process moves to its new list.
  oop s = newSemaphore();
  oop w = waiting(s, 2);
  PrimOutcome r = callPrimitive(311, w, {smallIntegerFor(6)});
  EXPECT_EQ(r.result, smallIntegerFor(4));  // the active process's priority
  EXPECT_EQ(members(s), std::vector<oop>{w});
  EXPECT_EQ(slotOf(w, processPriority), smallIntegerFor(6));
  oop r2 = ready(2);
  EXPECT_FALSE(callPrimitive(311, r2, {smallIntegerFor(3)}).failed);
  EXPECT_EQ(members(list(2)), std::vector<oop>{});
  EXPECT_EQ(members(list(3)), std::vector<oop>{r2});
  EXPECT_TRUE(rec.resumed.empty());

  // Lowering the active priority below a ready process of the old one switches to it.
  oop peer = ready(4);
  oop peerContext = ctx(peer);
  r = callPrimitive(311, active, {smallIntegerFor(2)});
  EXPECT_EQ(r.result, smallIntegerFor(4));
  expectSwitchTo(peer, peerContext);
  EXPECT_EQ(members(list(2)), std::vector<oop>{active});

  // Raising a ready process above the active one switches to it.
  rec = {};
  oop r2Context = ctx(r2);
  EXPECT_FALSE(callPrimitive(311, r2, {smallIntegerFor(5)}).failed);
  expectSwitchTo(r2, r2Context);
}

// A C-call primitive's wait: committed with restart, it takes an excess signal or waits.
oop calloutSemaphore;
int calloutAnswer;
oop calloutPrimitive(oop receiver) {
  commitPrimitiveWithRestart(receiver);
  calloutAnswer = waitOnCalloutSemaphore(calloutSemaphore, smallIntegerFor(5));
  return receiver;
}

TEST_F(Scheduler, CalloutWaitTakesAnExcessSignalOrWaits) {
  const uint32_t testPrimitive = 65000;
  addCPrimitive(testPrimitive, reinterpret_cast<const void*>(calloutPrimitive), 0);
  calloutSemaphore = newSemaphore();
  storeSlot(calloutSemaphore, semaphoreExcessSignals, smallIntegerFor(1), "test", 0);
  EXPECT_FALSE(callPrimitive(testPrimitive, active, {}).failed);
  EXPECT_EQ(calloutAnswer, 0);
  EXPECT_EQ(excessSignals(calloutSemaphore), 0);
  EXPECT_TRUE(rec.resumed.empty());
  oop other = ready(1);
  oop otherContext = ctx(other);
  PrimOutcome r = callPrimitive(testPrimitive, active, {});
  EXPECT_EQ(calloutAnswer, 1);
  EXPECT_EQ(r.result, smallIntegerFor(5));  // the given top of stack
  EXPECT_EQ(members(calloutSemaphore), std::vector<oop>{active});
  expectSwitchTo(other, otherContext);
}

TEST_F(Scheduler, RequestedPriorityPostsTheSwitchWhenLowered) {
  EXPECT_EQ(requestActiveProcessPriority(smallIntegerFor(6)), smallIntegerFor(4));
  EXPECT_FALSE(isRequested(requestProcessSwitch));
  EXPECT_EQ(requestActiveProcessPriority(smallIntegerFor(3)), smallIntegerFor(6));
  EXPECT_TRUE(isRequested(requestProcessSwitch));
  // Serving the request puts the active process first in its new list and runs a process of
  // the old priority.
  oop peer = ready(6);
  oop peerContext = ctx(peer);
  handleRequests();
  expectSwitchTo(peer, peerContext);
  EXPECT_EQ(members(list(3)), std::vector<oop>{active});
  EXPECT_FALSE(isRequested(requestProcessSwitch));
}

// With nothing ready the loop waits for an outside event unless told not to block; the
// event's signal ends it.
TEST_F(Scheduler, TheIdleLoopWaitsForAnEvent) {
  struct Case {
    bool noBlockOption;
    bool threadedCallPending;
    int blockCalls;
  } cases[] = {{false, false, 1}, {true, false, 0}, {false, true, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.blockCalls);
    TearDown();
    SetUp();
    eventSemaphore = newSemaphore();
    oop w = waiting(eventSemaphore, 2);
    oop wContext = ctx(w);
    pdBlockUntilEvent = testBlock;
    if (c.noBlockOption) qrxOptions |= 0x2000;
    // Without the blocking wait, the event arrives as a served request.
    setRequestServer(requestUserPoll, signalFromPoll);
    if (c.blockCalls == 0) setRequest(requestUserPoll);
    if (c.threadedCallPending) setRequest(requestThreadedCalls);
    oop s = newSemaphore();
    EXPECT_FALSE(callPrimitive(86, s, {}).failed);
    EXPECT_EQ(blockCalls, c.blockCalls);
    expectSwitchTo(w, wContext);
    EXPECT_FALSE(isRequested(requestProcessSwitch));
  }
}

TEST_F(Scheduler, RebootResumesTheActiveOrFirstReadyProcess) {
  oop k = ctx(newProcess(1));
  storeSlot(active, processSuspendedContext, k, "test", 0);
  rebootSystem();
  EXPECT_EQ(rec.resumed, std::vector<oop>{k});
  EXPECT_EQ(rec.entered, std::vector<void (*)()>{inToNcode});
  EXPECT_EQ(ctx(active), nilOop());

  rec = {};
  storeSlot(sched, schedulerActiveProcess, nilOop(), "test", 0);
  oop p = newProcess(3);
  oop pContext = ctx(p);
  oop lists = slotOf(sched, schedulerReadyLists);
  storeSlot(slotOf(lists, 2), listFirstLink, p, "test", 0);  // as a saved image holds it
  storeSlot(slotOf(lists, 2), listLastLink, p, "test", 0);
  storeSlot(p, processMyList, slotOf(lists, 2), "test", 0);
  rebootSystem();
  EXPECT_EQ(activeProcess(), p);
  EXPECT_EQ(rec.resumed, std::vector<oop>{pContext});
}

// A process saved inside a primitive that already answered (pc 4) resumes in the sender,
// which receives the answer; the context itself can no longer resume.
TEST_F(Scheduler, RebootAtPc4AnswersIntoTheSender) {
  for (bool longHeader : {false, true}) {
    SCOPED_TRACE(longHeader);
    rec = {};
    oop bytes = newOldObject(testClasses.bytes, 8);
    uint8_t* b = reinterpret_cast<uint8_t*>(bodyOf(headerOf(bytes)));
    b[0] = longHeader ? 0x80 : 0x04;
    b[longHeader ? 4 : 1] = 254;
    oop method = newOldObject(testClasses.threeSlots, 3);
    storeSlot(method, 0, bytes, "test", 0);
    oop sender = newContext();
    oop k = newContext();
    oop contents = newOldObject(classIndexArray, 4);
    storeSlot(contents, 1, smallIntegerFor(77), "test", 0);
    storeSlot(k, ctxMethod, method, "test", 0);
    storeSlot(k, ctxPc, smallIntegerFor(4), "test", 0);
    storeSlot(k, ctxSender, sender, "test", 0);
    storeSlot(k, ctxDepth, smallIntegerFor(2), "test", 0);
    storeSlot(k, ctxContents, contents, "test", 0);
    storeSlot(active, processSuspendedContext, k, "test", 0);
    rebootSystem();
    EXPECT_EQ(rec.resumed, std::vector<oop>{sender});
    EXPECT_EQ(rec.pushed, std::vector<oop>{smallIntegerFor(77)});
    EXPECT_EQ(rec.entered, std::vector<void (*)()>{inToNcodePopResult});
    EXPECT_EQ(slotOf(k, ctxSender), nilOop());
    EXPECT_EQ(slotOf(k, ctxPc), smallIntegerFor(-int64_t(nMethodCannotResumeEntry)));
  }
}

TEST(SchedulerDeathTest, RebootWithoutAProcessIsFatal) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  for (bool withScheduler : {false, true}) {
    EXPECT_EXIT(
        {
          newIOTestHeap();
          if (withScheduler) {
            oop sched = newOldObject(testClasses.threeSlots, 3);
            oop lists = newOldObject(classIndexArray, 2);
            for (int i = 0; i < 2; i++) storeSlot(lists, i, newOldObject(testClasses.threeSlots, 3), "test", 0);
            storeSlot(sched, schedulerReadyLists, lists, "test", 0);
            sysOopRegistry[sysProcessor] = sched;
          } else {
            sysOopRegistry[sysProcessor] = nilOop();
          }
          rebootSystem();
        },
        ::testing::ExitedWithCode(9), "");  // the report goes to standard output
  }
}

}  // namespace
