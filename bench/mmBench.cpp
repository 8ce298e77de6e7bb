// Benchmarks of object memory: the store check's cases and old-space allocation and freeing.
#include <benchmark/benchmark.h>

#include <vector>

#include "mman/mmOldSpace.h"
#include "mman/mmRt.h"
#include "mman/mmSysOop.h"
#include "mman/testHeap.h"

namespace {

// Stores and checks one value into slot 0 of holder, as a runtime store does.
void storeLoop(benchmark::State& state, oop holder, oop value) {
  for (auto _ : state) {
    benchmark::DoNotOptimize(holder);
    storeSlot(holder, 0, value, __FILE__, __LINE__);
    benchmark::ClobberMemory();
  }
}

void BM_StoreCheck_ImmediateValue(benchmark::State& state) {
  newTestHeap();
  storeLoop(state, newOldObject(testClasses.pointers, 4), smallIntegerFor(42));
  freeTestHeap();
}
BENCHMARK(BM_StoreCheck_ImmediateValue);

void BM_StoreCheck_NewValueIntoNewHolder(benchmark::State& state) {
  newTestHeap();
  storeLoop(state, newNewObject(testClasses.pointers, 4), newNewObject(testClasses.object, 0));
  freeTestHeap();
}
BENCHMARK(BM_StoreCheck_NewValueIntoNewHolder);

void BM_StoreCheck_NewValueIntoRememberedOldHolder(benchmark::State& state) {
  newTestHeap();
  oop holder = newOldObject(testClasses.pointers, 4);
  oop value = newNewObject(testClasses.object, 0);
  storeSlot(holder, 0, value, __FILE__, __LINE__);  // registered once, up front
  storeLoop(state, holder, value);
  freeTestHeap();
}
BENCHMARK(BM_StoreCheck_NewValueIntoRememberedOldHolder);

void BM_StoreCheck_OldValueIntoOldHolder(benchmark::State& state) {
  newTestHeap();
  storeLoop(state, newOldObject(testClasses.pointers, 4), newOldObject(testClasses.object, 0));
  freeTestHeap();
}
BENCHMARK(BM_StoreCheck_OldValueIntoOldHolder);

// The first store of a new value into each of many old holders: registration itself.
void BM_StoreCheck_NewValueIntoFreshOldHolder(benchmark::State& state) {
  newTestHeap(1 << 20, 1 << 16);
  std::vector<oop> holders;
  for (int i = 0; i < 60000; i++) holders.push_back(newOldObject(testClasses.pointers, 1));
  oop value = newNewObject(testClasses.object, 0);
  size_t i = 0;
  for (auto _ : state) {
    if (i == holders.size()) {
      state.PauseTiming();
      for (oop h : holders) clearFlag(headerOf(h), inRtBit);
      rt.ffs = rt.start;
      i = 0;
      state.ResumeTiming();
    }
    storeSlot(holders[i++], 0, value, __FILE__, __LINE__);
  }
  freeTestHeap();
}
BENCHMARK(BM_StoreCheck_NewValueIntoFreshOldHolder);

// Allocate and free an old object of n slots: from the free lists (n <= 64) or the tree.
void BM_OldSpace_AllocateAndFree(benchmark::State& state) {
  newTestHeap(1 << 20);
  uint64_t slots = uint64_t(state.range(0));
  std::vector<ObjectHeader*> batch(64);
  for (auto _ : state) {
    for (ObjectHeader*& h : batch) h = allocInOldSpace(testClasses.pointers, 0, slots * 8, hasPtrsBit, 1, 0);
    for (ObjectHeader* h : batch) recycleOldObj(h);
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(batch.size()));
  freeTestHeap();
}
BENCHMARK(BM_OldSpace_AllocateAndFree)->Arg(4)->Arg(40)->Arg(300);

}  // namespace
