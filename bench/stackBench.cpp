// Execution engine benchmarks, each against a baseline in the same run: primitives through the
// glue against direct C calls, zone allocation against a plain bump, stabilizing and
// resuming a frame, and serving requests when none is pending.
#include <benchmark/benchmark.h>

#include <vector>

#include "ext/exRequest.h"
#include "mman/mmSysOop.h"
#include "mman/testHeap.h"
#include "stack/glue.h"
#include "stack/stackframe.h"
#include "stack/stackzone.h"
#include "support/testZone.h"
#include "tran/nmalloc.h"

extern "C" {
uint64_t testFn, testReceiver, testArgs[8], rspBefore, rspAfter, seenFp, seenSp, testSavedRsp;
uint64_t loopCount, loopStop, firstContext, loopTimes;
uint64_t testEnter(void (*entry)());
void primLoop0(), primLoop5();
}

namespace {

alignas(stackSegmentBytes) uint64_t zone[4 * stackSegmentWords];

extern "C" oop benchPrim(oop r, oop a1, oop a2, oop a3, oop a4, oop a5) { return r + a1 + a2 + a3 + a4 + a5; }

void runPrimLoop(benchmark::State& state, void (*loop)()) {
  initStacks(zone, 4);
  stackAlloc(0);
  testFn = reinterpret_cast<uint64_t>(&benchPrim);
  testReceiver = 16;
  loopTimes = 1000;
  for (auto _ : state) {
    currentStack[shSp] = reinterpret_cast<uint64_t>(currentStack + shRootReturn);
    currentStack[shFp] = rootFpOf(currentStack);
    benchmark::DoNotOptimize(testEnter(loop));
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * 1000);
}
void BM_GluePrimitive0(benchmark::State& state) { runPrimLoop(state, primLoop0); }
void BM_GluePrimitive5(benchmark::State& state) { runPrimLoop(state, primLoop5); }
void BM_DirectCall(benchmark::State& state) {
  oop (*volatile fn)(oop, oop, oop, oop, oop, oop) = benchPrim;
  for (auto _ : state) {
    oop sum = 0;
    for (int i = 0; i < 1000; i++) sum += fn(16, 1, 2, 3, 4, 5);
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * 1000);
}

// 1000 blocks of 96 bytes, then the zone is emptied.
void BM_ZoneAlloc(benchmark::State& state) {
  SavedNMethodZone saved;
  std::vector<uint8_t> area(2048 * 16 + 3 + 200000);
  initNMethodAlloc((reinterpret_cast<uint64_t>(area.data()) + 15) & ~uint64_t(15), area.size() - 16);
  for (auto _ : state) {
    for (int i = 0; i < 1000; i++) benchmark::DoNotOptimize(nMethodAlloc(96));
    reInitNMethods();
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * 1000);
}
void BM_PlainBump(benchmark::State& state) {
  std::vector<uint8_t> area(200000);
  for (auto _ : state) {
    uint8_t* volatile p = area.data();
    for (int i = 0; i < 1000; i++) {
      benchmark::DoNotOptimize(p);
      p = p + 96;
    }
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * 1000);
}

// One frame of two arguments and a temporary: stabilized, then rebuilt.
struct alignas(16) BenchNMethod {
  NMethodHeader h;
};
BenchNMethod benchNM;
oop benchMethod;
uint64_t benchNMethodOf(oop) { return reinterpret_cast<uint64_t>(&benchNM); }
void BM_StabilizeAndResumeFrame(benchmark::State& state) {
  newTestHeap();
  benchMethod = newOldObject(classIndexArray, 1);
  benchNM.h = NMethodHeader{};
  benchNM.h.numArgs = 2;
  benchNM.h.numTemps = 1;
  benchNM.h.frame = 12;
  benchNM.h.vmethod = benchMethod;
  vToNMethodHook = benchNMethodOf;
  initStacks(zone, 4);
  for (auto _ : state) {
    uint64_t* s = stackAlloc(0);
    s[shRootSender] = nilOop();
    uint64_t* sp = reinterpret_cast<uint64_t*>(s[shSp]);
    *--sp = rootFpOf(s);
    uint64_t fp = reinterpret_cast<uint64_t>(sp);
    *--sp = 0;
    *--sp = reinterpret_cast<uint64_t>(&benchNM);
    *--sp = smallIntegerFor(1);
    *--sp = smallIntegerFor(2);
    *--sp = smallIntegerFor(3);
    *--sp = nilOop();
    *--sp = reinterpret_cast<uint64_t>(&benchNM) + 100;
    s[shSp] = reinterpret_cast<uint64_t>(sp);
    s[shFp] = fp;
    stackReify(s);
    oop ctx = reinterpret_cast<uint64_t*>(fp)[frContext];
    stackStabilize(s);
    uint64_t* n = stableToHybrid(ctx);
    stackDeAlloc(n);
  }
  vToNMethodHook = nullptr;
  freeTestHeap();
}

void BM_HandleRequestsNothingPending(benchmark::State& state) {
  anyAck.store(anyReq.load());
  for (auto _ : state) handleRequests();
}
void BM_PendingTest(benchmark::State& state) {
  anyAck.store(anyReq.load());
  for (auto _ : state) benchmark::DoNotOptimize(anyRequestsPending());
}

BENCHMARK(BM_GluePrimitive0);
BENCHMARK(BM_GluePrimitive5);
BENCHMARK(BM_DirectCall);
BENCHMARK(BM_ZoneAlloc);
BENCHMARK(BM_PlainBump);
BENCHMARK(BM_StabilizeAndResumeFrame)->Iterations(2000);  // no collector yet: eden must not fill
BENCHMARK(BM_HandleRequestsNothingPending);
BENCHMARK(BM_PendingTest);

}  // namespace
