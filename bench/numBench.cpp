// Benchmarks of the numeric primitives: LargeInteger multiply and divide at 1,000 and 10,000
// decimal digits beside a schoolbook multiply over uint32 arrays (for division, the
// quotient-by-divisor multiply Algorithm D performs); Double, SmallDouble and Float addition
// beside raw double addition. Eden is reset between batches.
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <vector>

#include "ext/exPrimTable.h"
#include "mman/mmNewSpace.h"
#include "mman/mmSysOop.h"
#include "mman/testHeap.h"
#include "prim/prDouble.h"
#include "prim/prLargeInt.h"

namespace {

typedef oop (*Prim1)(oop, oop);

uint64_t edenMark;
void setUpHeap() {
  static bool done;
  if (done) return;
  done = true;
  newTestHeap(1 << 20, 100);
  initFloatPrims();
  initDoublePrims();
  initLargeIntPrims();
  edenMark = eden.allocPtr;
}
inline void recycleEden() { eden.allocPtr = edenMark; }

uint64_t bytesForDecimalDigits(int64_t digits) { return uint64_t(digits * 3.3219280948873623 / 8) + 1; }

oop randomLarge(uint64_t bytes, uint64_t seed) {
  std::mt19937_64 rng(seed);
  oop o = newOldObject(classIndexLargePositiveInteger, bytes);
  uint8_t* p = reinterpret_cast<uint8_t*>(bodyOf(headerOf(o)));
  for (uint64_t i = 0; i < bytes; i++) p[i] = uint8_t(rng());
  p[bytes - 1] |= 0x80;
  return o;
}

void runLargePrim(benchmark::State& state, uint32_t number, uint64_t receiverBytes, uint64_t argumentBytes) {
  setUpHeap();
  recycleEden();
  oop r = randomLarge(receiverBytes, 1), a = randomLarge(argumentBytes, 2);
  Prim1 f = reinterpret_cast<Prim1>(getPrimEntry(number)->function);
  for (auto _ : state) {
    benchmark::DoNotOptimize(f(r, a));
    recycleEden();
  }
}

void BM_LargeMultiply(benchmark::State& state) {
  uint64_t n = bytesForDecimalDigits(state.range(0));
  runLargePrim(state, 29, n, n);
}
void BM_LargeDivide(benchmark::State& state) {
  uint64_t n = bytesForDecimalDigits(state.range(0));
  runLargePrim(state, 33, 2 * n, n);
}

// The plain reference: n by n 32-bit digits, schoolbook, into a zeroed array.
void BM_SchoolbookMultiply(benchmark::State& state) {
  uint64_t n = (bytesForDecimalDigits(state.range(0)) + 3) / 4;
  std::mt19937 rng(3);
  std::vector<uint32_t> x(n), y(n), z(2 * n);
  for (auto& d : x) d = rng();
  for (auto& d : y) d = rng();
  for (auto _ : state) {
    std::fill(z.begin(), z.end(), 0);
    for (uint64_t i = 0; i < n; i++) {
      uint64_t carry = 0, xi = x[i];
      for (uint64_t j = 0; j < n; j++) {
        uint64_t t = xi * y[j] + z[i + j] + carry;
        z[i + j] = uint32_t(t);
        carry = t >> 32;
      }
      z[i + n] = uint32_t(carry);
    }
    benchmark::DoNotOptimize(z.data());
    benchmark::ClobberMemory();
  }
}

BENCHMARK(BM_LargeMultiply)->Arg(1000)->Arg(10000);
BENCHMARK(BM_LargeDivide)->Arg(1000)->Arg(10000);
BENCHMARK(BM_SchoolbookMultiply)->Arg(1000)->Arg(10000);

void runFloatPrim(benchmark::State& state, uint32_t number, oop r, oop a) {
  Prim1 f = reinterpret_cast<Prim1>(getPrimEntry(number)->function);
  uint64_t k = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(f(r, a));
    if (++k % 4096 == 0) recycleEden();
  }
  recycleEden();
}

void BM_DoubleAddUnboxedAnswer(benchmark::State& state) {
  setUpHeap();
  runFloatPrim(state, 561, newDoubleBox(1.5), newDoubleBox(2.25));  // 3.75 is immediate
}
void BM_DoubleAddBoxedAnswer(benchmark::State& state) {
  setUpHeap();
  runFloatPrim(state, 561, newDoubleBox(1e300), newDoubleBox(1e299));
}
void BM_SmallDoubleAdd(benchmark::State& state) {
  setUpHeap();
  runFloatPrim(state, 821, smallDoubleFor(1.5), smallDoubleFor(2.25));
}
void BM_FloatAdd(benchmark::State& state) {
  setUpHeap();
  runFloatPrim(state, 41, newFloatBox(1.5f), newFloatBox(2.25f));
}
void BM_RawDoubleAdd(benchmark::State& state) {
  double a = 1.5, b = 2.25;
  for (auto _ : state) {
    benchmark::DoNotOptimize(a);
    benchmark::DoNotOptimize(b);
    double c = a + b;
    benchmark::DoNotOptimize(c);
  }
}

BENCHMARK(BM_DoubleAddUnboxedAnswer);
BENCHMARK(BM_DoubleAddBoxedAnswer);
BENCHMARK(BM_SmallDoubleAdd);
BENCHMARK(BM_FloatAdd);
BENCHMARK(BM_RawDoubleAdd);

}  // namespace
