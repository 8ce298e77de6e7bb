// Benchmarks of the scavenger: eden full of 80-byte objects of which 1% or 10% survive, and
// 10,000 remembered old holders of one new object each. Copied bytes per second are set
// beside memcpy of the same bytes measured in the same run (counter vs_memcpy).
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <vector>

#include "mman/mmNewSpace.h"
#include "mman/mmRt.h"
#include "mman/mmScavenge.h"
#include "mman/mmSysOop.h"
#include "mman/testHeap.h"

namespace {

constexpr uint64_t objectSlots = 8, objectBytes = 16 + objectSlots * 8;

double memcpyBytesPerSecond(uint64_t bytes) {
  std::vector<uint8_t> from(bytes, 1), to(bytes);
  auto start = std::chrono::steady_clock::now();
  int rounds = 0;
  do {
    memcpy(to.data(), from.data(), bytes);
    benchmark::DoNotOptimize(to.data());
    rounds++;
  } while (std::chrono::steady_clock::now() - start < std::chrono::milliseconds(50));
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return double(bytes) * rounds / seconds;
}

void report(benchmark::State& state, uint64_t copiedBytes) {
  double total = double(copiedBytes) * double(state.iterations());
  state.counters["copied_bytes_per_second"] = benchmark::Counter(total, benchmark::Counter::kIsRate);
  state.counters["memcpy_bytes_per_second"] = memcpyBytesPerSecond(copiedBytes);
  state.counters["copied_bytes"] = double(copiedBytes);
}

// Eden filled with objects; every (100 / percent)-th is kept in the root Array.
void BM_Scavenge_Survivors(benchmark::State& state) {
  uint64_t percent = uint64_t(state.range(0));
  newTestHeap(1 << 21, 1 << 10);
  initScavenger(1 << 20);  // survivors stay in past space while it has room
  uint64_t perEden = (eden.warningLimit - eden.allocPtr) / objectBytes - 16;
  uint64_t kept = perEden * percent / 100;
  oop root = newOldObject(testClasses.pointers, kept);
  for (auto _ : state) {
    state.PauseTiming();
    for (uint64_t i = 0, k = 0; i < perEden; i++) {
      oop o = newNewObject(testClasses.pointers, objectSlots);
      if (i % (100 / percent) == 0 && k < kept) storeSlot(root, k++, o, __FILE__, __LINE__);
    }
    state.ResumeTiming();
    scavengeNewSpace();
  }
  report(state, kept * objectBytes);
  freeTestHeap();
}
BENCHMARK(BM_Scavenge_Survivors)->Arg(1)->Arg(10)->Unit(benchmark::kMicrosecond)->Iterations(40);

// 10,000 old holders in the remembered table, each holding one fresh new object.
void BM_Scavenge_RememberedHolders(benchmark::State& state) {
  const uint64_t holders = 10000;
  newTestHeap(1 << 22, 1 << 15);
  initScavenger(1 << 20);
  std::vector<oop> old;
  for (uint64_t i = 0; i < holders; i++) old.push_back(newOldObject(testClasses.pointers, 1));
  for (auto _ : state) {
    state.PauseTiming();
    for (oop h : old) storeSlot(h, 0, newNewObject(testClasses.pointers, objectSlots), __FILE__, __LINE__);
    state.ResumeTiming();
    scavengeNewSpace();
  }
  report(state, holders * objectBytes);
  freeTestHeap();
}
BENCHMARK(BM_Scavenge_RememberedHolders)->Unit(benchmark::kMicrosecond)->Iterations(20);

}  // namespace
