// Snapshot time: the tessel program saving 64 MB of live objects five times (timed by the
// program itself), beside writing the same bytes with write(2) to a temporary file in the
// same directory, fsync and rename; and compressing the saved image with imagezip -1 beside
// gzip -1 of its body. One run: the figures are counters of a single iteration.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "mman/loadImages.h"
#include "imageZip.h"

namespace {

double secondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Writes bytes as a snapshot does: a temporary file beside the target, fsync, rename.
bool writeAndRename(const std::string& target, const std::vector<uint8_t>& bytes) {
  std::string temp = target + ".tmp";
  int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return false;
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0) break;
    done += size_t(n);
  }
  bool ok = done == bytes.size() && fsync(fd) == 0;
  ok = close(fd) == 0 && ok;
  return ok && rename(temp.c_str(), target.c_str()) == 0;
}

void BM_SnapshotBesideWriteAndRename(benchmark::State& state) {
  std::string dir = tempImagePath("snapshotBench");
  std::string image = dir + "/bench.im", saved = dir + "/saved.im";
  std::string make = "mkdir -p " + dir + " && " MKIMAGE_EXE " -o " + image + " " TESSEL_SOURCE_DIR
                     "/tools/mkimage/kernel/*.som " TESSEL_SOURCE_DIR "/bench/SnapshotBench.som --args SnapshotBench " +
                     saved + " > /dev/null";
  if (system(make.c_str()) != 0) return state.SkipWithError("mkimage failed");
  for (auto _ : state) {
    std::string run = std::string(TESSEL_EXE) + " -noherald -m6 200000000 " + image;
    FILE* out = popen(run.c_str(), "r");
    if (out == nullptr) return state.SkipWithError("tessel did not start");
    double saveMs = 0;  // the program prints ticks, which are microseconds
    int saves = 0;
    for (double ticks; fscanf(out, "%lf", &ticks) == 1; saves++) saveMs += ticks / 1000;
    if (pclose(out) != 0 || saves != 5) return state.SkipWithError("the program did not save five times");
    std::vector<uint8_t> bytes = readFileBytes(saved);
    double writeSeconds = 0;
    for (int i = 0; i < 5; i++) {
      auto start = std::chrono::steady_clock::now();
      if (!writeAndRename(dir + "/written.im", bytes)) return state.SkipWithError("write failed");
      writeSeconds += secondsSince(start);
    }
    auto start = std::chrono::steady_clock::now();
    if (!zipImageFile(saved, dir + "/zipped.im", 1).empty()) return state.SkipWithError("imagezip failed");
    double zipSeconds = secondsSince(start);
    start = std::chrono::steady_clock::now();
    if (system(("tail -c +1025 " + saved + " | gzip -1 > " + dir + "/body.gz").c_str()) != 0)
      return state.SkipWithError("gzip failed");
    double gzipSeconds = secondsSince(start);
    state.counters["imageMB"] = double(bytes.size()) / (1 << 20);
    state.counters["saveMs"] = saveMs / saves;
    state.counters["writeMs"] = writeSeconds / 5 * 1000;
    state.counters["ratio"] = saveMs / saves / (writeSeconds / 5 * 1000);
    state.counters["zipMs"] = zipSeconds * 1000;
    state.counters["gzipMs"] = gzipSeconds * 1000;
    state.counters["zipRatio"] = zipSeconds / gzipSeconds;
  }
  system(("rm -rf " + dir).c_str());
}
BENCHMARK(BM_SnapshotBesideWriteAndRename)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace
