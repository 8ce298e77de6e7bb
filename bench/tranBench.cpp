// Translator front end: prologues of every kernel-library method, and a straight-line mix of
// pushes, sends, instance-variable stores and returns through the simulated stack. Each
// reports code bytes (and bytecodes) per second beside memcpy of the same bytes in the same
// run, and code bytes per prologue and per bytecode. Then whole kernel methods translated.
#include <benchmark/benchmark.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "benchKernel.h"
#include "ext/exPrimTable.h"
#include "imageWriter.h"
#include "mkCompiler.h"
#include "mkHeap.h"
#include "tran/cgenx86_64.h"
#include "tran/nmalloc.h"
#include "tran/taction.h"
#include "tran/taux.h"
#include "tran/tmain.h"
#include "tran/tstack.h"

namespace {

struct Method {
  std::vector<uint8_t> bytes;  // header then bytecodes
  TVInfo info;
};

// The header decoding the translator applies (short and long forms).
TVInfo infoOf(const std::vector<uint8_t>& b) {
  TVInfo i = {};
  uint8_t h = b[0];
  if (h & 0x80) {
    i.numArgs = b[1];
    i.numTemps = b[2];
    i.frameSize = b[3];
    i.contextReceiver = (h >> 4) & 1;
    i.bytecodes = b.data() + 4;
  } else {
    i.numArgs = (h >> 2) & 3;
    i.numTemps = h & 3;
    i.frameSize = (h & 0x10) ? 12 : 0;
    i.bytecodes = b.data() + 1;
  }
  i.isBlock = (h >> 5) & 1;
  i.bytecodesEnd = b.data() + b.size();
  i.primitive = i.bytecodes < i.bytecodesEnd && i.bytecodes[0] == 254 ? (i.bytecodes[1] << 8 | i.bytecodes[2]) : -1;
  return i;
}

void collect(const MkMethod& m, std::vector<Method>& out) {
  out.push_back({m.bytes, {}});
  for (const MkMethod& b : m.blocks) collect(b, out);
}

std::vector<Method>& kernelMethods() {
  static std::vector<Method> methods;
  if (!methods.empty()) return methods;
  std::vector<MkSource> sources = benchKernelSources();
  MkProgram program;
  MkError err;
  if (!mkCompile(sources, program, err)) return methods;
  for (const MkClass& c : program.classes) {
    for (const MkMethod& m : c.methods) collect(m, methods);
    for (const MkMethod& m : c.classMethods) collect(m, methods);
  }
  for (Method& m : methods) m.info = infoOf(m.bytes);
  return methods;
}

alignas(64) uint8_t code[1 << 16];
alignas(64) uint8_t copy[1 << 16];

void setUp() {
  tStackInit();
  actionInit();
  initPrimitiveTable();
  static uint8_t stubs[4096];
  for (int k = 0; k < 3; k++) AbortSendTable[k] = AbortPrimFailTable[k] = stubs;
  AbortNoFrame = stubs;
  tRt.picAbortSendMiss = stubs;
  for (int k = 0; k < 5; k++) tRt.primGlue[k] = tRt.userPrimGlue[k] = stubs;
  tRt.primGlueVarArgMany = stubs;
}

void flushNothing() {}

// The store stubs, in the permanent area of a zone of the benchmark's own (data memory: its
// i-cache stub cannot be called, and nothing here runs).
void makeStoreStubs() {
  alignas(16) static uint8_t zone[1 << 20];
  initNMethods((uint64_t)(uintptr_t)zone, sizeof zone);
  rtFlushICache = flushNothing;
  resetCodeSymbols();
  initStoreInst();
}

void BM_Prologues(benchmark::State& state) {
  setUp();
  std::vector<Method>& methods = kernelMethods();
  if (methods.empty()) {
    state.SkipWithError("kernel library did not compile");
    return;
  }
  uint64_t bytes = 0, prologueBytes = 0;
  for (auto _ : state) {
    bytes = prologueBytes = 0;
    for (Method& m : methods) {
      TVInfo info = m.info;
      uint8_t* end = initTemps(info.bytecodes, code, &info);
      bytes += (uint64_t)(end - (code + nMethodCannotResumeEntry));  // code only, not the header
      prologueBytes += (uint64_t)(end - (code + nMethodEntryNoCheck));
      benchmark::DoNotOptimize(code[0]);
    }
  }
  state.counters["methods"] = (double)methods.size();
  state.counters["codeBytes/s"] = benchmark::Counter((double)bytes, benchmark::Counter::kIsIterationInvariantRate);
  state.counters["bytes/prologue"] = (double)bytes / (double)methods.size();
  state.counters["bytes/prologue after entry"] = (double)prologueBytes / (double)methods.size();
}
BENCHMARK(BM_Prologues);

// The same number of bytes copied, method by method, for the ratio.
void BM_ProloguesMemcpy(benchmark::State& state) {
  setUp();
  std::vector<Method>& methods = kernelMethods();
  std::vector<uint64_t> sizes;
  for (Method& m : methods) {
    TVInfo info = m.info;
    sizes.push_back((uint64_t)(initTemps(info.bytecodes, code, &info) - (code + nMethodCannotResumeEntry)));
  }
  uint64_t bytes = 0;
  for (auto _ : state) {
    bytes = 0;
    for (uint64_t n : sizes) {
      memcpy(copy, code, n);
      benchmark::DoNotOptimize(copy[0]);
      bytes += n;
    }
  }
  state.counters["codeBytes/s"] = benchmark::Counter((double)bytes, benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_ProloguesMemcpy);

// One straight-line run: per round 4 pushes and a send of 0-3 arguments (emitArgs and the
// send site), an instance-variable store of the result, then the return of the top.
uint8_t* straightLine(uint8_t* at, int rounds, int* bytecodes) {
  static uint8_t target[16];
  *bytecodes = 0;
  int16_t marks[2] = {-1, -1};
  stackEmpty = stackSim - 1;
  for (int r = 0; r < rounds; r++) {
    int n = r & 3;
    StackEntry* top = stackEmpty;
    *++top = seSelfNormal;                                   // push self
    for (int a = 0; a < n; a++) {
      *++top = (a & 1) ? seConst(43) : seSlotEntry(skSlot, rBP, -48 - 8 * a);  // a constant or a temp
    }
    *bytecodes += 1 + n;
    at = emitArgs(n, top, at);
    at = cgenSendSite(at, 0x1234, target);
    tStackClear(stackEmpty + 1);
    top = stackEmpty + 1;
    *top = seRegEntry(rBX);                                  // the result
    at = tStoreInst(&seSelf, r & 7, top, marks, 0, 0, at);   // store into an instance variable
    *bytecodes += 2;                                         // send, store
    stackEmpty = stackSim - 1;
  }
  at = tStackLoad(&seSelfNormal, rBX, at);
  at = tReturn(12, 1, at);
  *bytecodes += 1;
  return at;
}

void BM_StraightLine(benchmark::State& state) {
  setUp();
  makeStoreStubs();
  uint64_t bytes = 0;
  int bytecodes = 0;
  for (auto _ : state) {
    uint8_t* end = straightLine(code, 200, &bytecodes);
    bytes = (uint64_t)(end - code);
    benchmark::DoNotOptimize(code[0]);
  }
  state.counters["bytecodes/s"] = benchmark::Counter((double)bytecodes, benchmark::Counter::kIsIterationInvariantRate);
  state.counters["codeBytes/s"] = benchmark::Counter((double)bytes, benchmark::Counter::kIsIterationInvariantRate);
  state.counters["bytes/bytecode"] = (double)bytes / bytecodes;
}
BENCHMARK(BM_StraightLine);

void BM_StraightLineMemcpy(benchmark::State& state) {
  setUp();
  makeStoreStubs();
  int bytecodes = 0;
  uint64_t n = (uint64_t)(straightLine(code, 200, &bytecodes) - code);
  for (auto _ : state) {
    memcpy(copy, code, n);
    benchmark::DoNotOptimize(copy[0]);
  }
  state.counters["codeBytes/s"] = benchmark::Counter((double)n, benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_StraightLineMemcpy);

}  // namespace

namespace {

// Whole methods: every method and block of the kernel library translated by nmTranslate from
// a heap built in-process, each nmethod freed again at once. Reports bytecodes and code bytes
// per second and code bytes per bytecode.
struct KernelHeap {
  std::vector<std::pair<oop, oop>> methods;  // (method, selector; 0 for a block)
  uint64_t bytecodes = 0;
  bool ok = false;
};

void collectBuilt(const MkMethod& m, const MkBuilt& built, KernelHeap& k) {
  k.methods.push_back({built.methods.at(&m), m.isBlock ? 0 : built.symbols.at(m.selector)});
  for (const MkMethod& b : m.blocks) collectBuilt(b, built, k);
}

KernelHeap& kernelHeap() {
  static KernelHeap k;
  static MkProgram program;
  static MkBuilt built;
  static bool done = false;
  if (done) return k;
  done = true;
  std::vector<MkSource> sources = benchKernelSources();
  MkError error;
  std::string err;
  if (!mkCompile(sources, program, error) || !mkNewHeap() || !mkBuildHeap(program, {}, built, err)) return k;
  for (const MkClass& c : program.classes) {
    for (const MkMethod& m : c.methods) collectBuilt(m, built, k);
    for (const MkMethod& m : c.classMethods) collectBuilt(m, built, k);
  }
  alignas(16) static uint8_t zone[8 << 20];
  installTranslatorHooks();
  initNMethods((uint64_t)(uintptr_t)zone, sizeof zone);
  rtFlushICache = flushNothing;  // nothing translated here runs
  for (const auto& [method, selector] : k.methods) {
    TVInfo info;
    if (!unpackVMethod(method, &info)) return k;
    k.bytecodes += uint64_t(info.bytecodesEnd - info.bytecodes);
  }
  k.ok = true;
  return k;
}

void BM_TranslateKernelMethods(benchmark::State& state) {
  KernelHeap& k = kernelHeap();
  if (!k.ok) {
    state.SkipWithError("kernel library did not build");
    return;
  }
  uint64_t bytes = 0;
  for (auto _ : state) {
    bytes = 0;
    for (const auto& [method, selector] : k.methods) {
      uint64_t nm = nmTranslate(method, selector, nullptr);
      if (nm < lookupResultLimit) {
        state.SkipWithError("a kernel method did not translate");
        return;
      }
      bytes += reinterpret_cast<NMethodHeader*>(nm)->usedSize;
      nMethodDealloc(reinterpret_cast<NMethodHeader*>(nm));
    }
  }
  state.counters["methods"] = double(k.methods.size());
  state.counters["bytecodes/s"] = benchmark::Counter(double(k.bytecodes), benchmark::Counter::kIsIterationInvariantRate);
  state.counters["nmethodBytes/s"] = benchmark::Counter(double(bytes), benchmark::Counter::kIsIterationInvariantRate);
  state.counters["nmethodBytes/bytecode"] = double(bytes) / double(k.bytecodes);
}
BENCHMARK(BM_TranslateKernelMethods)->Unit(benchmark::kMicrosecond);

}  // namespace
