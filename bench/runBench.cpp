// Translated methods run natively beside the same algorithms in C++ (-O2): a to:do: sum and
// a recursive fib through linked self-sends.
#include <benchmark/benchmark.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "benchKernel.h"
#include "ext/exPrimTable.h"
#include "ext/exRequest.h"
#include "ext/platform.h"
#include "imageWriter.h"
#include "mkHeap.h"
#include "mkCompiler.h"
#include "mman/mmObject.h"
#include "stack/stackzone.h"
#include "support/testZone.h"
#include "tran/nmalloc.h"
#include "tran/tloop.h"
#include "tran/tmain.h"

extern "C" {
uint64_t tranCall(uint64_t entry, uint64_t receiver, const uint64_t* args, uint64_t numArgs);
void recordSend();
void recordEndLoop();
}
int64_t nativeSumTo(int64_t n);
int64_t nativeFib(int64_t n);

namespace {

alignas(stackSegmentBytes) uint64_t benchSegments[4 * stackSegmentWords];
alignas(4096) uint8_t benchArea[4 << 20];

struct Translated {
  MkProgram program;
  MkBuilt built;
  uint64_t sumTo = 0, fib = 0;
  oop receiver = 0;
  bool ok = false;
};

// Links each literal send of nm to nm itself: the only literal sends are its self-sends.
void linkSelfSends(uint64_t nm, uint32_t classTag) {
  static const uint32_t types[4] = {0, 1, 10, 11};
  const uint8_t* p = reinterpret_cast<const uint8_t*>(nm + reinterpret_cast<NMethodHeader*>(nm)->usedSize) - 1;
  uint64_t position = nm + nMethodHeaderSize;
  for (;; p--) {
    uint8_t b = *p;
    if (b == 0xE0) return;
    uint32_t kind = b >> 5, type = 0;
    if (kind <= 3) {
      position += b & 31;
      type = types[kind];
    } else if (kind == 4) {
      position += b & 31;
      continue;
    } else if (kind == 6) {
      type = b & 31;
    } else {
      continue;
    }
    uint32_t selector;
    memcpy(&selector, reinterpret_cast<void*>(position - 9), 4);
    if (selector < 256) continue;
    memcpy(reinterpret_cast<void*>(position - 9), &classTag, 4);
    int32_t d = int32_t(int64_t(nm + sendTypeTable[type].entryOffset) - int64_t(position));
    memcpy(reinterpret_cast<void*>(position - 4), &d, 4);
  }
}

Translated& translated() {
  static Translated t;
  static bool done = false;
  if (done) return t;
  done = true;
  std::vector<MkSource> sources = benchKernelSources();
  sources.push_back({"B.som", R"(B = ( ----
sumTo: n = ( | s | s := 0. 1 to: n do: [:i | s := s + i]. ^s )
fib: n = ( n < 2 ifTrue: [^n]. ^(self fib: n - 1) + (self fib: n - 2) ) ))"});
  MkError compileError;
  if (!mkCompile(sources, t.program, compileError)) return t;
  std::string err;
  if (!mkNewHeap() || !mkBuildHeap(t.program, {}, t.built, err)) return t;
  installTranslatorHooks();
  pdSetMemExecPerm(benchArea, sizeof benchArea);
  initNMethods(reinterpret_cast<uint64_t>(benchArea), sizeof benchArea);
  for (SendTypeRow& row : sendTypeTable) row.glue = reinterpret_cast<uint64_t>(&recordSend);
  tRt.endLoop = reinterpret_cast<const void*>(&recordEndLoop);
  t.receiver = t.built.classes.at("B");
  uint32_t tag = classTagOf(headerOf(t.receiver));
  t.sumTo = findMethod(t.built.symbols.at("sumTo:"), tag);
  t.fib = findMethod(t.built.symbols.at("fib:"), tag);
  if (t.sumTo < lookupResultLimit || t.fib < lookupResultLimit) return t;
  linkSelfSends(t.fib, tag);
  initStacks(benchSegments, 4);
  stackAlloc(0);
  currentStack[shSp] = reinterpret_cast<uint64_t>(currentStack + shRootReturn);
  currentStack[shFp] = rootFpOf(currentStack);
  restoreStackLimit(int64_t(currentStack[shRealLim]));
  t.ok = true;
  return t;
}

uint64_t benchArgument;  // read by the entry thunk, so n is never folded

oop runTranslated(uint64_t nm, int64_t n) {
  benchmark::DoNotOptimize(n);
  benchArgument = smallIntegerFor(n);
  return tranCall(nm + nMethodEntryNoCheck, translated().receiver, &benchArgument, 1);
}

void TranslatedSumTo(benchmark::State& state) {
  Translated& t = translated();
  if (!t.ok || runTranslated(t.sumTo, 1000000) != smallIntegerFor(500000500000)) {
    state.SkipWithError("translated sumTo: answers wrong");
    return;
  }
  for (auto _ : state) benchmark::DoNotOptimize(runTranslated(t.sumTo, 1000000));
}
BENCHMARK(TranslatedSumTo)->Unit(benchmark::kMicrosecond);

void NativeSumTo(benchmark::State& state) {
  if (nativeSumTo(1000000) != 500000500000) {
    state.SkipWithError("native sum answers wrong");
    return;
  }
  for (auto _ : state) benchmark::DoNotOptimize(nativeSumTo(1000000));
}
BENCHMARK(NativeSumTo)->Unit(benchmark::kMicrosecond);

void TranslatedFib27(benchmark::State& state) {
  Translated& t = translated();
  if (!t.ok || runTranslated(t.fib, 27) != smallIntegerFor(196418)) {
    state.SkipWithError("translated fib: answers wrong");
    return;
  }
  for (auto _ : state) benchmark::DoNotOptimize(runTranslated(t.fib, 27));
}
BENCHMARK(TranslatedFib27)->Unit(benchmark::kMicrosecond);

void NativeFib27(benchmark::State& state) {
  if (nativeFib(27) != 196418) {
    state.SkipWithError("native fib answers wrong");
    return;
  }
  for (auto _ : state) benchmark::DoNotOptimize(nativeFib(27));
}
BENCHMARK(NativeFib27)->Unit(benchmark::kMicrosecond);

}  // namespace
