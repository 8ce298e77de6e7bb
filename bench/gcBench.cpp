// Benchmark of the global collector: an old space of the given size in MB, half of it live
// (objects of 2 to 32 slots, each referring to another live one), collected once. Beside the
// pause: ms per live MB, memcpy of the live bytes, and a plain depth-first walk of the same
// live graph (vector stack, side bitmap) as the floor a mark could reach.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <vector>

#include "mman/mmFinal.h"
#include "mman/mmGlobalGC.h"
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

// Depth-first over old objects from the root, a side bitmap by entry address.
uint64_t plainDfs(oop root) {
  uint64_t low = ~uint64_t(0), high = 0;
  writeBackOldSpace();
  for (OldSpaceSegment* s = oldSpaceSegs.first; s != nullptr; s = s->next) {
    if (s->otLow < low) low = s->otLow;
    if (s->otHigh > high) high = s->otHigh;
  }
  std::vector<bool> seen((high - low) / 16 + 1);
  std::vector<oop> stack{root};
  uint64_t visited = 0;
  while (!stack.empty()) {
    oop o = stack.back();
    stack.pop_back();
    ObjectHeader* h = headerOf(o);
    visited++;
    oop* b = bodyOf(h);
    for (uint64_t i = 0, n = bodyWordsOf(h); i < n; i++) {
      oop v = b[i];
      if (!isHeapObject(v) || v < low || v > high) continue;
      uint64_t k = (v - low) / 16;
      if (seen[k]) continue;
      seen[k] = true;
      stack.push_back(v);
    }
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

void BM_GlobalGC_HalfLive(benchmark::State& state) {
  GcHeap heap = buildHeap(uint64_t(state.range(0)));
  double dfs = 0, pause = 0;
  for (auto _ : state) {
    auto start = std::chrono::steady_clock::now();
    benchmark::DoNotOptimize(plainDfs(heap.root));
    dfs = seconds(start);
    start = std::chrono::steady_clock::now();
    collectGarbage(0);
    pause = seconds(start);
    state.SetIterationTime(pause);
  }
  double liveMB = double(heap.liveBytes) / (1 << 20);
  state.counters["pause_ms"] = pause * 1e3;
  state.counters["ms_per_live_MB"] = pause * 1e3 / liveMB;
  state.counters["memcpy_live_ms"] = memcpySeconds(heap.liveBytes) * 1e3;
  state.counters["plain_dfs_ms"] = dfs * 1e3;
  freeTestHeap();
}
BENCHMARK(BM_GlobalGC_HalfLive)->Arg(64)->Arg(256)->Arg(1024)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
