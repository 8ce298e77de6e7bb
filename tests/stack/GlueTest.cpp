// Native/C glue with hand-built machine code: primitives of 0-8 and variable arguments
// called from a method prologue, their answers, failures, commits and restarts.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <pthread.h>
#include <string>
#include <thread>
#include <vector>

#include "ext/exRequest.h"
#include "mman/testHeap.h"
#include "stack/glue.h"
#include "mman/mmAllocate.h"
#include "mman/mmSysOop.h"
#include "stack/nsupport.h"
#include "stack/stackframe.h"
#include "stack/stackzone.h"
#include "tran/nmLayout.h"

extern "C" {
uint64_t testFn, testReceiver, testArgs[8], rspBefore, rspAfter, seenFp, seenSp, testSavedRsp;
uint64_t testEnter(void (*entry)());
void testLoop();
void otherResume();
void nmOuter_code();
void nmThisContext_code();
uint64_t firstContext;
uint64_t loopTimes;
extern uint8_t nmOuter[], nmInner[], nmExit[], nmExit_code[], nmPrim1[], nmThisContext[];
std::atomic<uint64_t> loopCount;
uint64_t loopStop;
void callPrim0(), callPrim1(), callPrim2(), callPrim3(), callPrim4(), callPrim5(), callPrim6(),
    callPrim7(), callPrim8(), callVarArg1(), callVarArg5();
}

namespace {

enum class Mode { answer, fail, commit, commitThenFail, restart, commitAndServe, stabilize };

const oop answerOop = 0x7770, errorOop = 0x5550, receiverOop = 0x1110;
Mode mode;
uint64_t currentArgs;
int calls;
bool aligned;
uint64_t* commitSegment;
std::vector<oop> seenArgs;  // receiver, then the arguments in order

oop behave() {
  calls++;
  switch (mode) {
    case Mode::answer: return answerOop;
    case Mode::fail: return failPrimitive(errorOop, currentArgs);
    case Mode::commit:
      commitPrimitive(answerOop);
      commitSegment = currentStack;
      return answerOop;
    case Mode::commitThenFail: commitPrimitive(answerOop); return failPrimitive(errorOop, currentArgs);
    case Mode::restart:
      if (calls == 1) commitPrimitiveWithRestart(answerOop);
      return answerOop + 16 * uint64_t(calls);
    case Mode::commitAndServe: return commitPrimitiveAndHandleRequests(answerOop);
    case Mode::stabilize: {
      // The frames so far become stable contexts; the primitive's own frame resumes first and
      // every caller is rebuilt when its callee returns through the root.
      commitPrimitive(answerOop);
      uint64_t* seg = currentStack;
      uint64_t fp = seg[shFp];
      stackReify(seg);
      oop top = reinterpret_cast<uint64_t*>(fp)[frContext];
      stackStabilize(seg);
      resumeContext(top);
      return answerOop;
    }
  }
  return 0;
}

// C entry alignment: the glue must call with rsp % 16 == 8, so the frame address is aligned.
extern "C" oop fixedPrim(oop r, oop a1, oop a2, oop a3, oop a4, oop a5, oop a6, oop a7, oop a8) {
  aligned = (reinterpret_cast<uint64_t>(__builtin_frame_address(0)) & 15) == 0;
  const oop all[9] = {r, a1, a2, a3, a4, a5, a6, a7, a8};
  seenArgs.assign(all, all + currentArgs + 1);
  return behave();
}

// Variable arguments: the first n-2 above the return address at sp, the last two saved.
extern "C" oop varArgPrim(oop r, uint64_t n, const uint64_t* sp) {
  aligned = (reinterpret_cast<uint64_t>(__builtin_frame_address(0)) & 15) == 0;
  seenArgs = {r};
  for (uint64_t k = 1; k + 2 <= n; k++) seenArgs.push_back(sp[1 + (n - 2 - k)]);
  if (n >= 2) seenArgs.push_back(currentStack[shArg0]);
  seenArgs.push_back(currentStack[n >= 2 ? shArg1 : shArg0]);
  return behave();
}

alignas(stackSegmentBytes) uint64_t zone[4 * stackSegmentWords];

struct Arity {
  uint64_t n;
  void (*caller)();
  bool varArg;
};
const Arity arities[] = {
    {0, callPrim0, false}, {1, callPrim1, false}, {2, callPrim2, false}, {3, callPrim3, false},
    {4, callPrim4, false}, {5, callPrim5, false}, {6, callPrim6, false}, {7, callPrim7, false},
    {8, callPrim8, false}, {1, callVarArg1, true}, {5, callVarArg5, true},
};

class Glue : public ::testing::Test {
 protected:
  void SetUp() override {
    initStacks(zone, 4);
    stackAlloc(0);
  }
  void TearDown() override { initStackChains(); }  // no segment outlives the test
  // Runs the caller of arity a with the primitive behaving as m; answers rbx at the end.
  oop run(const Arity& a, Mode m) {
    mode = m;
    calls = 0;
    currentArgs = a.n;
    seenArgs.clear();
    aligned = false;
    seenFp = 0;
    testFn = a.varArg ? reinterpret_cast<uint64_t>(&varArgPrim) : reinterpret_cast<uint64_t>(&fixedPrim);
    testReceiver = receiverOop;
    for (uint64_t i = 0; i < 8; i++) testArgs[i] = 0x100 * (i + 2);
    currentStack[shSp] = reinterpret_cast<uint64_t>(currentStack + shRootReturn);
    currentStack[shFp] = rootFpOf(currentStack);
    return testEnter(a.caller);
  }
  std::vector<oop> expectedArgs(uint64_t n) {
    std::vector<oop> v{receiverOop};
    for (uint64_t i = 0; i < n; i++) v.push_back(testArgs[i]);
    return v;
  }
  // The caller's rsp after the call: the callee popped the receiver and stacked arguments.
  void expectCallerStackRestored(uint64_t n) {
    EXPECT_EQ(rspAfter, rspBefore + (n >= 3 ? 8 * (n - 1) : 0)) << n;
  }
  // The failure code ran with the receiver and register arguments in its frame.
  void expectFailureFrame(uint64_t n) {
    ASSERT_NE(seenFp, 0u);
    const uint64_t* fp = reinterpret_cast<const uint64_t*>(seenFp);
    EXPECT_EQ(fp[frReceiver], receiverOop);
    if (n == 1) {
      EXPECT_EQ(fp[frFirstArg], testArgs[0]);
    }
    if (n >= 2) {
      EXPECT_EQ(fp[frFirstArg], testArgs[n - 2]);
      EXPECT_EQ(fp[frFirstArg - 1], testArgs[n - 1]);
    }
    for (uint64_t k = 2; k <= n && n >= 3; k++) {  // stacked receiver and arguments
      EXPECT_EQ(fp[k], k == n ? receiverOop : testArgs[n - 1 - k]) << k;
    }
  }
};

TEST_F(Glue, PrimitiveAnswersWithArgumentsInOrderAndAlignedCStack) {
  for (const Arity& a : arities) {
    SCOPED_TRACE(testing::Message() << a.n << (a.varArg ? " var-arg" : ""));
    EXPECT_EQ(run(a, Mode::answer), answerOop);
    EXPECT_TRUE(aligned);
    EXPECT_EQ(seenArgs, expectedArgs(a.n));
    expectCallerStackRestored(a.n);
    EXPECT_EQ(currentStack[shReceiver], 0u);
  }
}

TEST_F(Glue, FailureRunsTheMethodWithTheErrorAndIntactArguments) {
  for (const Arity& a : arities) {
    SCOPED_TRACE(testing::Message() << a.n << (a.varArg ? " var-arg" : ""));
    EXPECT_EQ(run(a, Mode::fail), errorOop);  // the body answers its top: the error
    expectFailureFrame(a.n);
    expectCallerStackRestored(a.n);
  }
}

TEST_F(Glue, CommitAnswersThroughThePrimitiveReturnPoint) {
  for (const Arity& a : arities) {
    SCOPED_TRACE(testing::Message() << a.n << (a.varArg ? " var-arg" : ""));
    EXPECT_EQ(run(a, Mode::commit), answerOop);
    EXPECT_EQ(seenFp, 0u);  // the failure code did not run
    EXPECT_EQ(currentStack[shNumArgs], 0u);
    expectCallerStackRestored(a.n);
  }
}

TEST_F(Glue, CommitThenFailResumesAtTheFirstNonPrimitivePc) {
  for (const Arity& a : arities) {
    SCOPED_TRACE(testing::Message() << a.n << (a.varArg ? " var-arg" : ""));
    EXPECT_EQ(run(a, Mode::commitThenFail), errorOop);
    expectFailureFrame(a.n);
    expectCallerStackRestored(a.n);
  }
}

TEST_F(Glue, RestartRunsThePrimitiveAgain) {
  for (const Arity& a : arities) {
    SCOPED_TRACE(testing::Message() << a.n << (a.varArg ? " var-arg" : ""));
    EXPECT_EQ(run(a, Mode::restart), answerOop + 32);
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(seenArgs, expectedArgs(a.n));
    expectCallerStackRestored(a.n);
  }
}

// ---- A commit without room moves frames ----------------------------------------------------

// Outer and inner run just above the segment's limit; the primitive's commit has no room, so
// inner moves to a fresh segment whose root returns into outer's context.
TEST_F(Glue, CommitOnAFullSegmentMovesFramesThatReturnThroughTheRoot) {
  newTestHeap();  // outer's context is made when inner moves
  uint64_t* s = currentStack;
  mode = Mode::commit;
  calls = 0;
  currentArgs = 1;
  commitSegment = nullptr;
  seenFp = 0;
  testFn = reinterpret_cast<uint64_t>(&fixedPrim);
  testReceiver = receiverOop;
  testArgs[0] = 0x200;
  s[shRootSender] = 0x3330;
  s[shSp] = s[shRealLim] + 64;
  s[shFp] = rootFpOf(s);
  lastOverflowSegment = 0;
  uint64_t freeBefore = 0;
  for (uint64_t* f = freeStacks; f != nullptr; f = reinterpret_cast<uint64_t*>(f[shNext])) freeBefore++;
  EXPECT_EQ(testEnter(nmOuter_code), answerOop);
  EXPECT_NE(commitSegment, s);
  EXPECT_EQ(currentStack, s);
  EXPECT_EQ(seenFp, 0u);
  uint64_t freeAfter = 0;
  for (uint64_t* f = freeStacks; f != nullptr; f = reinterpret_cast<uint64_t*>(f[shNext])) freeAfter++;
  EXPECT_EQ(freeAfter, freeBefore);  // the moved frames' segment was given back by the root return
  freeTestHeap();
}

// ---- A chain stabilized in the middle --------------------------------------------------------

oop methodFor[5];
uint8_t* nmFor[5];
uint64_t nmethodOfMethod(oop m) {
  for (int i = 0; i < 5; i++)
    if (methodFor[i] == m) return reinterpret_cast<uint64_t>(nmFor[i]);
  return 0;
}

TEST_F(Glue, ChainStabilizedMidwayAnswersAsWithout) {
  newTestHeap();
  uint8_t* nms[4] = {nmOuter, nmInner, nmExit, nmPrim1};
  for (int i = 0; i < 4; i++) {
    methodFor[i] = newOldObject(classIndexArray, 1);
    nmFor[i] = nms[i];
    reinterpret_cast<NMethodHeader*>(nms[i])->vmethod = methodFor[i];
  }
  vToNMethodHook = nmethodOfMethod;
  ObjectHeader* exit = allocSmallObj(classIndexMethodContext, contextNamedSlots, 8 * contextNamedSlots, hasPtrsBit, nilOop());
  bodyOf(exit)[ctxMethod] = methodFor[2];
  bodyOf(exit)[ctxPc] = smallIntegerFor(int64_t(nmExit) - int64_t(reinterpret_cast<uint64_t>(nmExit_code)));
  bodyOf(exit)[ctxDepth] = smallIntegerFor(0);
  for (Mode m : {Mode::commit, Mode::stabilize}) {
    initStacks(zone, 4);
    uint64_t* s = stackAlloc(0);
    s[shRootSender] = oopOf(exit);
    mode = m;
    calls = 0;
    currentArgs = 1;
    testFn = reinterpret_cast<uint64_t>(&fixedPrim);
    testReceiver = receiverOop;
    testArgs[0] = 0x200;
    uint64_t answer = testEnter(nmOuter_code);
    EXPECT_EQ(answer, answerOop) << int(m);
    EXPECT_EQ(calls, 1);
  }
  // Without stabilizing the outer frame returns to the test directly; with it, the rebuilt
  // outer frame returned through the root into the exit context's rebuilt frame.
  EXPECT_EQ(classTagOf(exit), uint32_t(classIndexHybridMethodContext));
  vToNMethodHook = nullptr;
  for (uint8_t* nm : nms) reinterpret_cast<NMethodHeader*>(nm)->vmethod = 0;
  freeTestHeap();
}

TEST_F(Glue, ThisContextIsMadeOnceForItsFrame) {
  newTestHeap();
  reinterpret_cast<NMethodHeader*>(nmThisContext)->vmethod = nilOop();
  firstContext = 0;
  currentStack[shSp] = reinterpret_cast<uint64_t>(currentStack + shRootReturn);
  currentStack[shFp] = rootFpOf(currentStack);
  oop ctx = testEnter(nmThisContext_code);
  EXPECT_NE(firstContext, 0u);
  EXPECT_EQ(ctx, firstContext);
  EXPECT_EQ(classTagOf(headerOf(ctx)), uint32_t(classIndexHybridMethodContext));
  EXPECT_EQ(currentStack[shRootContext], ctx);  // the frame was its segment's bottom
  reinterpret_cast<NMethodHeader*>(nmThisContext)->vmethod = 0;
  freeTestHeap();
}

// ---- A process switch served inside a commit -------------------------------------------

uint64_t* otherSegment;
const uint64_t otherValue = 0x9990;
void switchToOther() { stackAtHead(otherSegment); }

// Another process waits on its own segment: resume pc on top, its value above, a frame
// pointer of its own. Served as a process switch, the commit's glue continues it exactly.
TEST_F(Glue, ProcessSwitchInACommitContinuesTheOtherSegment) {
  for (uint64_t n : {1, 5}) {
    SCOPED_TRACE(n);
    initStacks(zone, 4);
    uint64_t* mine = stackAlloc(0);
    otherSegment = stackAlloc(0);
    uint64_t* o = otherSegment;
    o[shRootReturn - 1] = otherValue;
    o[shRootReturn - 2] = glueAddress(otherResume);
    o[shSp] = reinterpret_cast<uint64_t>(o + shRootReturn - 2);
    o[shFp] = reinterpret_cast<uint64_t>(o + 700);
    stackAtHead(mine);
    anyReq = 0;
    anyAck = 0;
    for (uint32_t k = 0; k < requestKindCount; k++) requested[k] = handled[k] = 0;
    setRequestServer(requestProcessSwitch, switchToOther);
    setRequest(requestProcessSwitch);
    const Arity& a = *std::find_if(std::begin(arities), std::end(arities),
                                   [n](const Arity& x) { return x.n == n && !x.varArg; });
    EXPECT_EQ(run(a, Mode::commitAndServe), otherValue);
    EXPECT_EQ(currentStack, o);
    EXPECT_EQ(seenSp, reinterpret_cast<uint64_t>(o + shRootReturn - 1));
    EXPECT_EQ(seenFp, reinterpret_cast<uint64_t>(o + 700));
    EXPECT_EQ(mine[shReceiver], 0u);  // the committed frame is real
    setRequestServer(requestProcessSwitch, nullptr);
  }
}

// ---- Requests break a running native loop ----------------------------------------------

std::string served;
void serveSignals() { served += '5'; }
void serveTimer() {
  served += '1';
  loopStop = 1;
}
void postFromHandler(int) { setRequest(requestSignals); }

void waitForLoop(uint64_t passes) {
  uint64_t target = loopCount.load() + passes;
  while (loopCount.load() < target) std::this_thread::yield();
}

TEST_F(Glue, RequestsFromASignalHandlerAndAThreadBreakANativeLoop) {
  anyReq = 0;
  anyAck = 0;
  for (uint32_t k = 0; k < requestKindCount; k++) {
    requested[k] = 0;
    handled[k] = 0;
    setRequestServer(k, nullptr);
  }
  setRequestServer(requestSignals, serveSignals);
  setRequestServer(requestTimer, serveTimer);
  served.clear();
  loopStop = 0;
  loopCount = 0;
  restoreStackLimit(int64_t(currentStack[shRealLim]));
  struct sigaction action = {}, old = {};
  action.sa_handler = postFromHandler;
  sigaction(SIGUSR2, &action, &old);
  pthread_t vmThread = pthread_self();
  std::thread poster([vmThread] {
    waitForLoop(10000);
    pthread_kill(vmThread, SIGUSR2);
    while (handled[requestSignals].load() == 0) std::this_thread::yield();
    waitForLoop(10000);
    setRequest(requestTimer);
  });
  currentStack[shSp] = reinterpret_cast<uint64_t>(currentStack + shRootReturn);
  currentStack[shFp] = rootFpOf(currentStack);
  testEnter(testLoop);
  poster.join();
  sigaction(SIGUSR2, &old, nullptr);
  EXPECT_EQ(served, "51");
  EXPECT_EQ(anyReq.load(), anyAck.load());
  EXPECT_EQ(stackLimit, int64_t(currentStack[shRealLim]));
  for (uint32_t k = 0; k < requestKindCount; k++) setRequestServer(k, nullptr);
}

}  // namespace
