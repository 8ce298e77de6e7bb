// Benchmarks of the collectors. The global one: an old space of the given size in MB, half of
// it live (objects of 2 to 32 slots, each referring to another live one), collected once.
// Beside the pause: ms per live MB, memcpy of the live bytes, and the mark alone beside a plain
// depth-first walk of the same live graph (vector stack, side bitmap; through each object's
// class as well as its slots, as the mark goes), the floor a mark could reach. Both start with
// their work areas in touched memory, so neither is timed making them. Then the
// incremental collector's quantum pauses on the same heap, and the store check's cost while it
// rests and while it marks.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <ctime>
#include <vector>

#include "mman/mmFinal.h"
#include "mman/mmGlobalGC.h"
#include "mman/mmIncGC.h"
#include "mman/mmNewSpace.h"
#include "mman/mmOldSpace.h"
#include "mman/mmRt.h"
#include "mman/mmScavenge.h"
#include "mman/mmSysOop.h"
#include "mman/testHeap.h"

namespace {

double seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// The live graph: root Array -> every live object; each live object's slot 0 -> another.
struct GcHeap {
  oop root = 0;
  uint64_t liveBytes = 0;
};

GcHeap buildHeap(uint64_t megabytes) {
  uint64_t bytes = megabytes << 20;
  newTestHeap(bytes / 8 + (bytes / 8) / 2, 1 << 12);
  initScavenger(platformTenureThreshold);
  initFinalQueue();
  finalizationSemaphoreX = -1;
  sysOopRegistry[sysWeakArrayClass] = classAt(testClasses.weak);
  GcHeap heap;
  std::vector<oop> live;
  uint64_t used = 0;
  for (uint64_t i = 0; used < bytes; i++) {
    uint64_t slots = uint64_t(2) << (i % 5);
    oop o = newOldObject(testClasses.pointers, slots);
    used += 16 + slots * 8;
    if (i % 2 == 0) {
      live.push_back(o);
      heap.liveBytes += 16 + slots * 8;
    }
  }
  for (uint64_t i = 0; i < live.size(); i++) bodyOf(headerOf(live[i]))[0] = live[(i * 7919 + 1) % live.size()];
  heap.root = newOldObject(testClasses.pointers, live.size());
  for (uint64_t i = 0; i < live.size(); i++) bodyOf(headerOf(heap.root))[i] = live[i];
  registerSysOop(heap.root, uint32_t(allocSysOopSlot()));
  // Classes are held strongly by the image; here by an Array in the registry.
  oop classes = newOldObject(testClasses.pointers, 1024);
  for (uint64_t i = 0; i < 1024; i++) {
    oop c = classTable[0][i];
    bodyOf(headerOf(classes))[i] = isHeapObject(c) && c != 0 ? c : nilOop();
  }
  registerSysOop(classes, uint32_t(allocSysOopSlot()));
  return heap;
}

// The walk's work areas over the old entries' range: a side bitmap by entry address, and a
// stack with room for every entry (none is pushed twice).
struct DfsAreas {
  uint64_t low = ~uint64_t(0), high = 0;
  std::vector<bool> seen;
  std::vector<oop> stack;
};
void prepareDfs(DfsAreas& a) {
  writeBackOldSpace();
  for (OldSpaceSegment* s = oldSpaceSegs.first; s != nullptr; s = s->next) {
    if (s->otLow < a.low) a.low = s->otLow;
    if (s->otHigh > a.high) a.high = s->otHigh;
  }
  uint64_t entries = (a.high - a.low) / 16 + 1;
  a.seen.assign(entries, false);
  a.stack.assign(entries + 1, 0);
  a.stack.clear();
}

// The mark's stack lies in new space's free room: touched, as in a running system.
void touchMarkArea() {
  memset(reinterpret_cast<void*>(eden.allocPtr), 0, eden.end - eden.allocPtr);
  memset(reinterpret_cast<void*>(futureSpace.top), 0, futureSpace.end - futureSpace.top);
}

// Depth-first over old objects from the root, through each object's class and every slot.
uint64_t plainDfs(oop root, DfsAreas& a) {
  uint64_t low = a.low, high = a.high;
  std::vector<bool>& seen = a.seen;
  std::vector<oop>& stack = a.stack;
  stack.push_back(root);
  uint64_t visited = 0;
  auto visit = [&](oop v) {
    if (!isHeapObject(v) || v < low || v > high) return;
    uint64_t k = (v - low) / 16;
    if (seen[k]) return;
    seen[k] = true;
    stack.push_back(v);
  };
  while (!stack.empty()) {
    oop o = stack.back();
    stack.pop_back();
    ObjectHeader* h = headerOf(o);
    visited++;
    visit(classOfHeader(h));  // a mark keeps every object's class too
    oop* b = bodyOf(h);
    for (uint64_t i = 0, n = bodyWordsOf(h); i < n; i++) visit(b[i]);
  }
  return visited;
}

double memcpySeconds(uint64_t bytes) {
  std::vector<uint8_t> from(bytes, 1), to(bytes);
  auto start = std::chrono::steady_clock::now();
  memcpy(to.data(), from.data(), bytes);
  benchmark::DoNotOptimize(to.data());
  return seconds(start);
}

// The mark's bounds, through the collector's hook, in wall and process CPU time (a loaded
// machine takes wall time away; CPU time it inflates far less).
std::chrono::steady_clock::time_point markStarted, markEnded;
std::clock_t markCpuStarted, markCpuEnded;
void noteMarkPhase(int ended) {
  (ended ? markEnded : markStarted) = std::chrono::steady_clock::now();
  (ended ? markCpuEnded : markCpuStarted) = std::clock();
}
double cpuSeconds(std::clock_t from, std::clock_t to) { return double(to - from) / CLOCKS_PER_SEC; }

void BM_GlobalGC_HalfLive(benchmark::State& state) {
  GcHeap heap = buildHeap(uint64_t(state.range(0)));
  double dfs = 0, pause = 0, mark = 0, dfsCpu = 0, pauseCpu = 0;
  gcMarkPhaseHook = noteMarkPhase;
  for (auto _ : state) {
    DfsAreas areas;
    prepareDfs(areas);
    touchMarkArea();
    auto start = std::chrono::steady_clock::now();
    std::clock_t cpuStart = std::clock();
    benchmark::DoNotOptimize(plainDfs(heap.root, areas));
    dfs = seconds(start);
    dfsCpu = cpuSeconds(cpuStart, std::clock());
    start = std::chrono::steady_clock::now();
    cpuStart = std::clock();
    collectGarbage(0);
    pause = seconds(start);
    pauseCpu = cpuSeconds(cpuStart, std::clock());
    mark = std::chrono::duration<double>(markEnded - markStarted).count();
    state.SetIterationTime(pause);
  }
  gcMarkPhaseHook = nullptr;
  double liveMB = double(heap.liveBytes) / (1 << 20);
  double copy = memcpySeconds(heap.liveBytes);
  state.counters["pause_ms"] = pause * 1e3;
  state.counters["ms_per_live_MB"] = pause * 1e3 / liveMB;
  state.counters["memcpy_live_ms"] = copy * 1e3;
  state.counters["pause_per_memcpy"] = pause / copy;
  state.counters["mark_ms"] = mark * 1e3;
  state.counters["plain_dfs_ms"] = dfs * 1e3;
  state.counters["mark_per_dfs"] = mark / dfs;
  double markCpu = cpuSeconds(markCpuStarted, markCpuEnded);
  state.counters["pause_cpu_ms"] = pauseCpu * 1e3;
  state.counters["mark_cpu_ms"] = markCpu * 1e3;
  state.counters["plain_dfs_cpu_ms"] = dfsCpu * 1e3;
  state.counters["mark_per_dfs_cpu"] = markCpu / dfsCpu;
  state.counters["mark_stack_overflows"] = double(numMarkStackOverflows);
  freeTestHeap();
}
BENCHMARK(BM_GlobalGC_HalfLive)->Arg(64)->Arg(256)->Arg(1024)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

// The incremental collector over the heap above: one whole cycle in quanta of 1000 objects
// or entries and the given KB scanned or freed (0: no byte limit), then a global collection
// of a heap built the same way. The pauses are ratios to that global pause; the quantum that
// ends marking (flush, stacks, the final loop, weak slots) is reported apart from the others.
// Wall time counts what a loaded machine takes away; the cpu_ms figures (process CPU time)
// do not.
void BM_IncGC_QuantumPauses(benchmark::State& state) {
  std::vector<double> pauses, cpuPauses;
  double endOfMark = 0, total = 0, global = 0, longestMark = 0, longestSweep = 0;
  for (auto _ : state) {
    buildHeap(uint64_t(state.range(0)));
    auto start = std::chrono::steady_clock::now();
    collectGarbage(0);
    global = seconds(start);
    freeTestHeap();
    buildHeap(uint64_t(state.range(0)));
    pauses.clear();
    cpuPauses.clear();
    total = 0;
    for (int done = 0; !done;) {
      uint8_t before = currentIncGCState;
      start = std::chrono::steady_clock::now();
      std::clock_t cpuStart = std::clock();
      done = incMarkSweep(1, 1000, state.range(1) == 0 ? incGCUnbounded : uint64_t(state.range(1)) << 10);
      double cpu = double(std::clock() - cpuStart) / CLOCKS_PER_SEC;
      double t = seconds(start);
      total += t;
      if ((before == incGCMarking || before == incGCResting) && currentIncGCState == incGCSweeping) {
        endOfMark = t;
      } else {
        pauses.push_back(t);
        cpuPauses.push_back(cpu);
      }
      double& longest = before == incGCSweeping ? longestSweep : longestMark;
      longest = std::max(longest, t);
    }
    state.SetIterationTime(total);
    freeTestHeap();
  }
  std::sort(pauses.begin(), pauses.end());
  std::sort(cpuPauses.begin(), cpuPauses.end());
  auto at = [](const std::vector<double>& v, double q) { return v[size_t(q * double(v.size() - 1))]; };
  state.counters["quanta"] = double(pauses.size() + 1);
  state.counters["global_ms"] = global * 1e3;
  state.counters["longest_ratio"] = pauses.back() / global;
  state.counters["p99_ratio"] = at(pauses, 0.99) / global;
  state.counters["median_ratio"] = at(pauses, 0.5) / global;
  state.counters["end_of_mark_ratio"] = endOfMark / global;
  state.counters["total_ratio"] = total / global;
  state.counters["p99_ms"] = at(pauses, 0.99) * 1e3;
  state.counters["p99_cpu_ms"] = at(cpuPauses, 0.99) * 1e3;
  state.counters["longest_cpu_ms"] = cpuPauses.back() * 1e3;
  state.counters["longest_mark_ms"] = longestMark * 1e3;
  state.counters["longest_sweep_ms"] = longestSweep * 1e3;
}
BENCHMARK(BM_IncGC_QuantumPauses)->Args({256, 0})->Args({256, 256})->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

// The C barrier for an old value stored into an old holder: resting against marking, with the
// holder and the value marked or not. Values are leaves, so a marking store marks at once;
// every case clears the values' marks after each round of 64 stores.
void BM_StoreCheck_OldIntoOld(benchmark::State& state) {
  bool marking = state.range(0) != 0, holderMarked = state.range(1) != 0, valueMarked = state.range(2) != 0;
  newTestHeap(1 << 18, 1 << 10);
  initScavenger(platformTenureThreshold);
  initFinalQueue();
  finalizationSemaphoreX = -1;
  sysOopRegistry[sysWeakArrayClass] = classAt(testClasses.weak);
  oop holder = newOldObject(testClasses.pointers, 64);
  oop values[64];
  for (oop& v : values) v = newOldObject(testClasses.bytes, 8);
  oop chain = nilOop();  // work that keeps the cycle marking
  for (int i = 0; i < 100; i++) {
    oop link = newOldObject(testClasses.pointers, 1);
    bodyOf(headerOf(link))[0] = chain;
    chain = link;
  }
  registerSysOop(chain, uint32_t(allocSysOopSlot()));
  if (marking) incMarkSweep(1, 2, incGCUnbounded);
  if (marking && currentIncGCState != incGCMarking) state.SkipWithError("no marking state");
  if (holderMarked) setFlag(headerOf(holder), isMarkedBit);
  ObjectHeader* h = headerOf(holder);
  for (auto _ : state) {
    for (int i = 0; i < 64; i++) {
      bodyOf(h)[i] = values[i];
      storeCheck(h, values[i], __FILE__, __LINE__);
    }
    for (oop v : values)
      if (valueMarked) setFlag(headerOf(v), isMarkedBit);
      else clearFlag(headerOf(v), isMarkedBit);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * 64);
  blowAwayIncGC();
  clearFlag(headerOf(holder), isMarkedBit);
  freeTestHeap();
}
BENCHMARK(BM_StoreCheck_OldIntoOld)
    ->ArgNames({"marking", "holderMarked", "valueMarked"})
    ->Args({0, 0, 0})
    ->Args({1, 0, 0})
    ->Args({1, 1, 1})
    ->Args({1, 1, 0});

}  // namespace
