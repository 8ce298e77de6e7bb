// The translated benchmarks' algorithms in C++, compiled with -O2 for comparison: SmallInteger
// adds checked for overflow as the translated code checks them.
#include <benchmark/benchmark.h>

#include <cstdint>

int64_t nativeSumTo(int64_t n) {
  benchmark::DoNotOptimize(n);
  int64_t s = 0;
  for (int64_t i = 1; i <= n; i++) {
    if (__builtin_add_overflow(s, i, &s)) return -1;
  }
  return s;
}

int64_t nativeFib(int64_t n) {
  benchmark::DoNotOptimize(n);
  if (n < 2) return n;
  int64_t r;
  if (__builtin_add_overflow(nativeFib(n - 1), nativeFib(n - 2), &r)) return -1;
  return r;
}
