// Start-up time: the tessel program loading a 64 MB image (plain and gzip) to the point where
// it would reboot the image, beside reading the same file with cat (and the compressed body
// with zcat) in the same run.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>

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

void runCommand(benchmark::State& state, const std::string& command) {
  if (plainImage().empty()) {
    state.SkipWithError("could not write the image");
    return;
  }
  for (auto _ : state) {
    int status = system(command.c_str());
    benchmark::DoNotOptimize(status);
  }
}

void BM_CatImage(benchmark::State& state) { runCommand(state, "cat " + plainImage() + " > /dev/null"); }
// The compressed body alone (after the 1024-byte plain header) through zcat.
void BM_ZcatImage(benchmark::State& state) {
  runCommand(state, "tail -c +1025 " + plainImage() + ".gz | zcat > /dev/null");
}
void BM_LoadPlainImage(benchmark::State& state) {
  runCommand(state, std::string(TESSEL_EXE) + " -noherald " + plainImage() + " > /dev/null");
}
void BM_LoadGzipImage(benchmark::State& state) {
  runCommand(state, std::string(TESSEL_EXE) + " -noherald " + plainImage() + ".gz > /dev/null");
}
BENCHMARK(BM_CatImage)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(10);
BENCHMARK(BM_ZcatImage)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(10);
BENCHMARK(BM_LoadPlainImage)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(10);
BENCHMARK(BM_LoadGzipImage)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(10);

}  // namespace
