// Benchmarks of object allocation: eden's inline bump for pointer and byte objects, old,
// large and fixed space (allocation with its matching free), beside a raw bump-pointer loop.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>

#include "ext/exMemory.h"
#include "ext/platform.h"
#include "mman/mmAllocate.h"
#include "mman/mmFixedSpace.h"
#include "mman/mmLargeSpace.h"
#include "mman/mmNewSpace.h"
#include "mman/mmOldSpace.h"

namespace {

constexpr uint32_t benchTag = 50;
constexpr uint64_t edenBytes = 8 << 20, survivorBytes = 1 << 20, largeBytes = 4 << 20,
                   fixedBytes = 4 << 20;
constexpr uint64_t fakeNil = 3;  // fill word (SmallInteger 0: needs no remembered table)

void setUpSpaces() {
  static bool done;
  if (done) return;
  done = true;
  uint64_t total = edenBytes + 2 * survivorBytes + largeBytes + fixedBytes + 4096;
  int mapped = 0;  // low in the address space, so that old segments can lie above it
  uint64_t a = uint64_t(moreMemory(total, 1, 0x10000000, 4096, pdProtRead | pdProtWrite, &mapped, nullptr));
  memset(reinterpret_cast<void*>(a), 0, total);
  uint64_t future = a + survivorBytes + 8, eden0 = future + survivorBytes + 8;
  initNewSpaceBounds(eden0, eden0 + edenBytes, 1024, a, a + survivorBytes, future,
                     future + survivorBytes);
  uint64_t large = eden0 + edenBytes + 80;
  initLargeSpace(large, largeBytes / 8, 5000);
  FixedSpaceSegment* seg = reinterpret_cast<FixedSpaceSegment*>(large + largeBytes);
  initializeEmptyFixedSpaceSegment(seg, fixedBytes / 8, uint64_t(seg + 1), sizeof(BlockTableEntry));
  initFixedSpaceSegs(seg);
  osReserveSlots = 0;
  growOldSpace(1 << 20);
  setCurrentOldSegment(oldSpaceSegs.first);
}

// Starts eden afresh when the warning limit is near (the benchmark has no scavenger).
inline void recycleEden() { eden.allocPtr = eden.start; }

// The physical limit: the same header and body stores with nothing but a bump and a check.
void BM_RawBump(benchmark::State& state) {
  setUpSpaces();
  uint64_t p = eden.start, end = eden.warningLimit;
  for (auto _ : state) {
    uint64_t next = p + 48;
    if (next > end) { p = eden.start; next = p + 48; }
    uint64_t* w = reinterpret_cast<uint64_t*>(p);
    w[0] = p + 16;
    w[1] = benchTag | hasPtrsBit | (uint64_t(4) << sizeFieldShift) | (uint64_t(4) << indexabilityShift);
    for (int i = 2; i < 6; i++) w[i] = fakeNil;
    benchmark::DoNotOptimize(p);
    p = next;
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_EdenPointerObject(benchmark::State& state) {
  setUpSpaces();
  for (auto _ : state) {
    ObjectHeader* h = allocInEdenInline(benchTag, 4, 32, hasPtrsBit, fakeNil);
    if (h == nullptr) { recycleEden(); h = allocInEdenInline(benchTag, 4, 32, hasPtrsBit, fakeNil); }
    benchmark::DoNotOptimize(h);
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_EdenByteObject(benchmark::State& state) {
  setUpSpaces();
  for (auto _ : state) {
    ObjectHeader* h = allocInEdenInline(benchTag, 0, 20, 0, 0);
    if (h == nullptr) { recycleEden(); h = allocInEdenInline(benchTag, 0, 20, 0, 0); }
    benchmark::DoNotOptimize(h);
  }
  state.SetItemsProcessed(state.iterations());
}

// Old, large and fixed space: an allocation and the free that keeps the space steady.
void BM_OldObjectAllocFree(benchmark::State& state) {
  setUpSpaces();
  for (auto _ : state) {
    ObjectHeader* h = allocInOldSpace(benchTag, 4, 32, hasPtrsBit, fakeNil, 0);
    benchmark::DoNotOptimize(h);
    recycleOldObj(h);
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_LargeObjectAllocFree(benchmark::State& state) {
  setUpSpaces();
  recycleEden();
  for (auto _ : state) {
    ObjectHeader* h = allocInLargeSpace(benchTag, 4096, 0, noFill);
    benchmark::DoNotOptimize(h);
    reRegisterLargeObj(h, nullptr);
    if (eden.allocPtr > eden.warningLimit - 64) recycleEden();
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_FixedObjectAllocFree(benchmark::State& state) {
  setUpSpaces();
  recycleEden();
  for (auto _ : state) {
    ObjectHeader* h = allocInFixedSpace(benchTag, 100, 0, noFill);
    benchmark::DoNotOptimize(h);
    reRegisterFixedObj(h, nullptr);
    if (eden.allocPtr > eden.warningLimit - 64) recycleEden();
  }
  state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_RawBump);
BENCHMARK(BM_EdenPointerObject);
BENCHMARK(BM_EdenByteObject);
BENCHMARK(BM_OldObjectAllocFree);
BENCHMARK(BM_LargeObjectAllocFree);
BENCHMARK(BM_FixedObjectAllocFree);

}  // namespace
