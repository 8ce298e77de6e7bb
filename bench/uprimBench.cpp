// User primitives and sends from C through the real engine: a user primitive adding two
// SmallIntegers beside primitive 1 (both called through perform:, and the user primitive sent
// directly), and oeSendMessage1 of + from C beside the same send in Smalltalk. Nanoseconds per
// call, and the ratios.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "mman/loadImages.h"

namespace {

const std::string& uprimImage() {
  static std::string image;
  if (!image.empty()) return image;
  std::string dir = tempImagePath("uprimBench");
  std::string make = "mkdir -p " + dir + " && " MKIMAGE_EXE " -o " + dir + "/uprim.im " TESSEL_SOURCE_DIR
                     "/tools/mkimage/kernel/*.som " TESSEL_SOURCE_DIR "/bench/UserPrimBench.som --args UserPrimBench > /dev/null";
  if (system(make.c_str()) == 0) image = dir + "/uprim.im";
  return image;
}

// Microseconds the program reports for n of what; negative when it did not run.
double engineMicroseconds(const char* what, long n) {
  if (uprimImage().empty()) return -1;
  std::string run = "LD_LIBRARY_PATH=" UPRIMTEST_DIR " " + std::string(TESSEL_EXE) + " -noherald " + uprimImage() +
                    " UserPrimBench " + what + " " + std::to_string(n);
  FILE* out = popen(run.c_str(), "r");
  if (out == nullptr) return -1;
  double us = -1;
  if (fscanf(out, "%lf", &us) != 1) us = -1;
  return pclose(out) == 0 ? us : -1;
}

void compare(benchmark::State& state, const char* what, const char* beside, long n) {
  for (auto _ : state) {
    double a = engineMicroseconds(what, n), b = engineMicroseconds(beside, n);
    if (a < 0 || b < 0) return state.SkipWithError("the engine did not run the program");
    state.counters["nsPerCall"] = a * 1000 / double(n);
    state.counters["besideNsPerCall"] = b * 1000 / double(n);
    state.counters["ratio"] = a / b;
  }
}

void BM_UserPrimitiveAddBesidePrimitive1(benchmark::State& state) { compare(state, "uprim", "prim1", 2000000); }
BENCHMARK(BM_UserPrimitiveAddBesidePrimitive1)->Unit(benchmark::kMillisecond)->Iterations(1);

void BM_UserPrimitiveAddSentDirectly(benchmark::State& state) { compare(state, "uprimDirect", "prim1", 2000000); }
BENCHMARK(BM_UserPrimitiveAddSentDirectly)->Unit(benchmark::kMillisecond)->Iterations(1);

void BM_SendFromCBesideSmalltalk(benchmark::State& state) { compare(state, "sendFromC", "sendInSmalltalk", 200000); }
BENCHMARK(BM_SendFromCBesideSmalltalk)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace
