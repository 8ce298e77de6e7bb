// Benchmarks of BitBlt: primitive 933 with rule 3 over a whole 1024 x 1024 bitmap, with source
// and destination aligned and 5 pixels apart, beside the per-pixel reference of the tests and
// beside memmove of the same rows.
#include <benchmark/benchmark.h>

#include <cstring>

#include "ext/exPrimTable.h"
#include "mman/testHeap.h"
#include "prim/bitbltModel.h"
#include "prim/prBitBlt.h"
#include "support/ioKernel.h"

namespace {

constexpr int64_t side = 1024, raster = side / 32, bytes = 4 * raster * side;

struct BltFixture {
  oop source = 0, dest = 0;
  BltFixture() {
    newIOTestHeap(1 << 19);
    initBitBltPrimitives();
    source = newOldObject(testClasses.bytes, bytes);
    dest = newOldObject(testClasses.bytes, bytes);
    uint8_t* s = reinterpret_cast<uint8_t*>(bodyOf(headerOf(source)));
    for (int64_t i = 0; i < bytes; i++) s[i] = uint8_t(i * 2654435761u >> 13);
  }
  uint8_t* bits(oop o) { return reinterpret_cast<uint8_t*>(bodyOf(headerOf(o))); }
};

BltFixture& fixture() {
  static BltFixture f;
  return f;
}

typedef oop (*Blt)(oop, oop, oop, oop, oop, oop, oop, oop, oop, oop, oop, oop, oop);

// The whole bitmap, or all but 5 columns moved 5 pixels right.
void BM_BitBlt933(benchmark::State& state) {
  BltFixture& f = fixture();
  int64_t dx = state.range(0), w = side - dx;
  Blt blt = reinterpret_cast<Blt>(getPrimEntry(933)->function);
  auto i = [](int64_t v) { return smallIntegerFor(v); };
  for (auto _ : state)
    benchmark::DoNotOptimize(blt(f.dest, i(raster), i(side), i(dx), i(0), f.source, i(raster), i(side), i(0), i(0),
                                 i(w), i(side), i(3)));
  state.SetBytesProcessed(state.iterations() * bytes);
}
BENCHMARK(BM_BitBlt933)->Arg(0)->Arg(5)->Unit(benchmark::kMicrosecond);

void BM_BitBltPerPixel(benchmark::State& state) {
  BltFixture& f = fixture();
  int64_t dx = state.range(0);
  for (auto _ : state) {
    modelBlt(f.bits(f.dest), raster, f.bits(f.source), raster, bytes, dx, 0, 0, 0, side - dx, side, 3, false);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * bytes);
}
BENCHMARK(BM_BitBltPerPixel)->Arg(0)->Arg(5)->Unit(benchmark::kMicrosecond);

void BM_BitBltRowMemmove(benchmark::State& state) {
  BltFixture& f = fixture();
  for (auto _ : state) {
    for (int64_t y = 0; y < side; y++)
      memmove(f.bits(f.dest) + 4 * raster * y, f.bits(f.source) + 4 * raster * y, size_t(4 * raster));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * bytes);
}
BENCHMARK(BM_BitBltRowMemmove)->Unit(benchmark::kMicrosecond);

}  // namespace
