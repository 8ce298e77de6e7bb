// Calls into C through external methods of the real engine beside the same calls from C:
// strlen of 16 bytes and cos (per call), and a qsort of 10^4 ints with a comparator block
// beside one with a C comparator.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "mman/loadImages.h"

namespace {

// The image, made once.
const std::string& callImage() {
  static std::string image;
  if (!image.empty()) return image;
  std::string dir = tempImagePath("callBench");
  std::string make = "mkdir -p " + dir + " && " MKIMAGE_EXE " -o " + dir + "/calls.im " TESSEL_SOURCE_DIR
                     "/tools/mkimage/kernel/*.som " TESSEL_SOURCE_DIR "/bench/CallBench.som --args CallBench > /dev/null";
  if (system(make.c_str()) == 0) image = dir + "/calls.im";
  return image;
}

// Microseconds the program reports for n of what; negative when it did not run.
double engineMicroseconds(const char* what, long n) {
  if (callImage().empty()) return -1;
  std::string run = std::string(TESSEL_EXE) + " -noherald " + callImage() + " CallBench " + what + " " + std::to_string(n);
  FILE* out = popen(run.c_str(), "r");
  if (out == nullptr) return -1;
  double us = -1;
  if (fscanf(out, "%lf", &us) != 1) us = -1;
  return pclose(out) == 0 ? us : -1;
}

template <class F>
double cMicroseconds(F body) {
  auto start = std::chrono::steady_clock::now();
  body();
  return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count();
}

volatile size_t sink;
const char* volatile sixteen = "0123456789abcdef";
volatile double half = 0.5;

void report(benchmark::State& state, double engine, double c, long n) {
  if (engine < 0) return state.SkipWithError("the engine did not run the calls");
  state.counters["engineNsPerCall"] = engine * 1000 / double(n);
  state.counters["cNsPerCall"] = c * 1000 / double(n);
  state.counters["ratio"] = engine / c;
}

void BM_StrlenThroughExternalMethod(benchmark::State& state) {
  const long n = 1000000;
  for (auto _ : state) {
    double c = cMicroseconds([&] { for (long i = 0; i < n; i++) sink = sink + strlen(sixteen); });
    report(state, engineMicroseconds("strlen", n), c, n);
  }
}
BENCHMARK(BM_StrlenThroughExternalMethod)->Unit(benchmark::kMillisecond)->Iterations(1);

void BM_CosThroughExternalMethod(benchmark::State& state) {
  const long n = 1000000;
  for (auto _ : state) {
    double c = cMicroseconds([&] { for (long i = 0; i < n; i++) sink = sink + size_t(cos(half) * 8); });
    report(state, engineMicroseconds("cos", n), c, n);
  }
}
BENCHMARK(BM_CosThroughExternalMethod)->Unit(benchmark::kMillisecond)->Iterations(1);

int compareInts(const void* a, const void* b) {
  int x = *static_cast<const int*>(a), y = *static_cast<const int*>(b);
  return x < y ? -1 : x > y ? 1 : 0;
}

void BM_QsortWithACallbackComparator(benchmark::State& state) {
  const long n = 10000;
  for (auto _ : state) {
    std::vector<int> values(n);
    long seed = 12345;
    for (int& v : values) seed = (seed * 1103515245 + 12345) % 2147483648, v = int(seed);
    double c = cMicroseconds([&] { qsort(values.data(), size_t(n), sizeof(int), compareInts); });
    report(state, engineMicroseconds("qsort", n), c, n);
  }
}
BENCHMARK(BM_QsortWithACallbackComparator)->Unit(benchmark::kMillisecond)->Iterations(1);

// A threaded call of a C function that does next to nothing (labs) beside the same direct
// call: the cost of handing a call to a worker and reaping it.
void BM_ThreadedCallBesideDirect(benchmark::State& state) {
  const long direct = 1000000, threaded = 20000;
  for (auto _ : state) {
    double d = engineMicroseconds("labs", direct), t = engineMicroseconds("tlabs", threaded);
    if (d < 0 || t < 0) return state.SkipWithError("the engine did not run the calls");
    state.counters["directNsPerCall"] = d * 1000 / double(direct);
    state.counters["threadedNsPerCall"] = t * 1000 / double(threaded);
    state.counters["ratio"] = (t / double(threaded)) / (d / double(direct));
  }
}
BENCHMARK(BM_ThreadedCallBesideDirect)->Unit(benchmark::kMillisecond)->Iterations(1);

// Threaded 1 ms sleeps: 8 Processes beside 1, each making the same number; the calls per
// second of both and their ratio (8 when the workers overlap fully).
void BM_ThreadedSleepThroughput(benchmark::State& state) {
  const long n = 200;
  for (auto _ : state) {
    double one = engineMicroseconds("sleeps1", n), eight = engineMicroseconds("sleeps8", n);
    if (one < 0 || eight < 0) return state.SkipWithError("the engine did not run the calls");
    state.counters["oneProcessCallsPerSecond"] = double(n) * 1e6 / one;
    state.counters["eightProcessesCallsPerSecond"] = 8.0 * double(n) * 1e6 / eight;
    state.counters["ratio"] = (8.0 * double(n) / eight) / (double(n) / one);
  }
}
BENCHMARK(BM_ThreadedSleepThroughput)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace
