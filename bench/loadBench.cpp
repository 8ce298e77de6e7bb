// Start-up time: the tessel program loading a 64 MB image (plain and gzip) to the point where
// it would reboot the image, beside reading the same file with cat (and the compressed body
// with zcat), and beside the program built without the loader's checks of what running
// relies on, in the same run.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <sys/resource.h>

#include "mman/loadImages.h"
#include "mman/mmOldSpace.h"
#include "mman/mmRt.h"
#include "mman/mmSysOop.h"
#include "mman/testHeap.h"
#include "imageWriter.h"

namespace {

constexpr uint64_t imageBytes = 64 << 20;

// Chains of pointer objects and text-like byte objects filling one old segment: every slot
// is relocated on load, and the bytes compress about as a real image does.
std::string writeLargeImages() {
  IwHeapSizes sizes;
  sizes.oldSlots = imageBytes / 8 + (1 << 16);
  if (!iwNewHeap(sizes)) return "";
  uint64_t seed = 12345;
  oop previous = nilOop();
  while (slotsUsedInOldSpace() * 8 + otEntriesUsedInOldSpace() * 16 < imageBytes - (1 << 20)) {
    oop holder = newOldObject(classIndexArray, 8);
    oop bytes = newOldObject(classIndexByteArray, 300);
    if (holder == 0 || bytes == 0) {
      fprintf(stderr, "old space full at %llu slots\n", (unsigned long long)slotsUsedInOldSpace());
      return "";
    }
    uint8_t* body = reinterpret_cast<uint8_t*>(bodyOf(headerOf(bytes)));
    for (int i = 0; i < 300; i++) {
      seed = seed * 6364136223846793005ull + 1442695040888963407ull;
      body[i] = uint8_t('a' + (seed >> 59));
    }
    storeSlot(holder, 0, previous, __FILE__, __LINE__);
    storeSlot(holder, 1, bytes, __FILE__, __LINE__);
    storeSlot(holder, 2, smallIntegerFor(int64_t(seed >> 40)), __FILE__, __LINE__);
    previous = holder;
  }
  sysOopRegistry[sysProcessor] = previous;
  addWeakArrayClass();  // so that start-up runs to its usual end
  std::string plain = tempImagePath("bench64.im");
  bool written = writeHeapImage(plain, 0).empty() && writeHeapImage(plain + ".gz", 0, gzipForm).empty();
  iwFreeHeap();
  return written ? plain : "";
}

void removeImages();

const std::string& plainImage() {
  static std::string path = writeLargeImages();
  static bool registered = atexit(removeImages) == 0;
  (void)registered;
  return path;
}

void removeImages() {
  remove(plainImage().c_str());
  remove((plainImage() + ".gz").c_str());
}

double childCpuSeconds() {
  struct rusage u;
  if (getrusage(RUSAGE_CHILDREN, &u) != 0) return 0;
  return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// The wall time of the command, and the CPU time of every thread of it in *cpu (less
// noisy on a shared machine: it counts no waiting for a core).
double secondsOf(const std::string& command, double* cpu) {
  double cpuBefore = childCpuSeconds();
  auto start = std::chrono::steady_clock::now();
  int status = system(command.c_str());
  benchmark::DoNotOptimize(status);
  double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  *cpu = childCpuSeconds() - cpuBefore;
  return wall;
}

double medianOf(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  size_t n = v.size();
  return n == 0 ? 0 : n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// Each iteration runs the reference command and then the load, so both see the same machine;
// the time reported is the load's, with the medians of both and their ratio beside it (a
// loaded machine gives outliers a mean would carry), the medians of their CPU times, and the
// load average at the end.
void loadBeside(benchmark::State& state, const std::string& reference, const std::string& load) {
  if (plainImage().empty()) {
    state.SkipWithError("could not write the image");
    return;
  }
  std::vector<double> referenceSeconds, loadSeconds, referenceCpu, loadCpu;
  for (auto _ : state) {
    double cpu = 0;
    referenceSeconds.push_back(secondsOf(reference, &cpu));
    referenceCpu.push_back(cpu);
    loadSeconds.push_back(secondsOf(load, &cpu));
    loadCpu.push_back(cpu);
    state.SetIterationTime(loadSeconds.back());
  }
  double referenceMedian = medianOf(referenceSeconds), loadMedian = medianOf(loadSeconds);
  state.counters["refMedianMs"] = referenceMedian * 1000;
  state.counters["loadMedianMs"] = loadMedian * 1000;
  state.counters["ratio"] = referenceMedian > 0 ? loadMedian / referenceMedian : 0;
  state.counters["refCpuMs"] = medianOf(referenceCpu) * 1000;
  state.counters["loadCpuMs"] = medianOf(loadCpu) * 1000;
  double average = 0;
  if (FILE* f = fopen("/proc/loadavg", "r")) {
    if (fscanf(f, "%lf", &average) != 1) average = 0;
    fclose(f);
  }
  state.counters["loadAverage"] = average;
}

const std::string tessel = std::string(TESSEL_EXE) + " -noherald ";

void BM_LoadPlainImageBesideCat(benchmark::State& state) {
  loadBeside(state, "cat " + plainImage() + " > /dev/null", tessel + plainImage() + " > /dev/null 2>&1");
}
// zcat reads the compressed body alone (after the 1024-byte plain header).
void BM_LoadGzipImageBesideZcat(benchmark::State& state) {
  loadBeside(state, "tail -c +1025 " + plainImage() + ".gz | zcat > /dev/null",
             tessel + plainImage() + ".gz > /dev/null 2>&1");
}
#ifdef TESSEL_UNCHECKED_EXE
// The ratio is what the checks cost: the load with them against the load without.
void BM_LoadPlainImageBesideUnchecked(benchmark::State& state) {
  loadBeside(state, std::string(TESSEL_UNCHECKED_EXE) + " -noherald " + plainImage() + " > /dev/null 2>&1",
             tessel + plainImage() + " > /dev/null 2>&1");
}
#endif
BENCHMARK(BM_LoadPlainImageBesideCat)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(15);
#ifdef TESSEL_UNCHECKED_EXE
BENCHMARK(BM_LoadPlainImageBesideUnchecked)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(15);
#endif
BENCHMARK(BM_LoadGzipImageBesideZcat)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(15);

}  // namespace
