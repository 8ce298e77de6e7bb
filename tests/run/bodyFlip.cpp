// Test tooling: body_flip tessel image seed count limit folder damages the body of an image
// (every byte after the 1024-byte header) one variant at a time, a single bit flipped or a
// single byte replaced, chosen by a seeded generator, and runs each variant through tessel
// under a time limit in seconds. A variant that kills tessel with a signal, or that outlives
// the limit stuck in the engine's own code, is a failure: it is kept in folder as
// flip-OFFSET-HOW.im and named on standard error. (A damaged program may loop or wait for
// ever: one seen running translated code, waiting in a system call, reading and writing or
// taking fresh memory runs on, and is only stopped.) Exits 1 when any variant failed, 2 on a usage or set-up
// error, else 0.
#include <fcntl.h>
#include <signal.h>
#include <sys/ptrace.h>
#include <sys/user.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

const size_t headerBytes = 1024;

uint64_t nextRandom(uint64_t* state) {  // splitmix64
  uint64_t z = (*state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

bool readFile(const char* path, std::vector<uint8_t>* bytes) {
  FILE* f = fopen(path, "rb");
  if (f == nullptr) return false;
  uint8_t buffer[65536];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, f)) > 0) bytes->insert(bytes->end(), buffer, buffer + n);
  fclose(f);
  return true;
}

bool writeFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  FILE* f = fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  bool whole = fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return fclose(f) == 0 && whole;
}

// A sanitized engine reports its faults by aborting, and leaves the fault signals to kill.
void sanitizerOptions() {
  const char* extra = "abort_on_error=1:handle_segv=0:handle_sigbus=0:handle_sigill=0:detect_leaks=0";
  for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS"}) {
    const char* old = getenv(name);
    std::string value = old != nullptr && *old != 0 ? std::string(old) + ":" + extra : extra;
    setenv(name, value.c_str(), 1);
  }
}

// The executable mappings no file backs: the native-method zone, where translated code runs.
std::vector<std::pair<uint64_t, uint64_t>> codeZonesOf(pid_t pid) {
  std::vector<std::pair<uint64_t, uint64_t>> zones;
  FILE* f = fopen(("/proc/" + std::to_string(pid) + "/maps").c_str(), "r");
  if (f == nullptr) return zones;
  char line[512];
  while (fgets(line, sizeof line, f) != nullptr) {
    unsigned long long lo, hi, offset, inode;
    char perms[8], device[16];
    if (sscanf(line, "%llx-%llx %7s %llx %15s %llu", &lo, &hi, perms, &offset, device, &inode) == 6 &&
        perms[2] == 'x' && inode == 0 && strchr(line, '[') == nullptr)
      zones.push_back({lo, hi});
  }
  fclose(f);
  return zones;
}

// The process's state letter and its minor page faults so far.
char stateOf(pid_t pid, unsigned long* faults) {
  FILE* f = fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r");
  char state = '?';
  if (f != nullptr && fscanf(f, "%*d (%*[^)]) %c %*d %*d %*d %*d %*d %*u %lu", &state, faults) != 2) state = '?';
  if (f != nullptr) fclose(f);
  return state;
}

// What shows a process getting on: its read and write calls and its minor page faults.
std::string progressOf(pid_t pid) {
  unsigned long faults = 0;
  stateOf(pid, &faults);
  std::string calls = std::to_string(faults);
  FILE* f = fopen(("/proc/" + std::to_string(pid) + "/io").c_str(), "r");
  char line[128];
  while (f != nullptr && fgets(line, sizeof line, f) != nullptr)
    if (strncmp(line, "sysc", 4) == 0) calls += line;
  if (f != nullptr) fclose(f);
  return calls;
}

// Samples where a process that outlived the limit is: true when it was never seen waiting
// in a system call nor running translated code, and made no progress meanwhile.
bool isStuckInEngine(pid_t pid) {
  std::vector<std::pair<uint64_t, uint64_t>> zones = codeZonesOf(pid);
  std::string progress = progressOf(pid);
  if (ptrace(PTRACE_SEIZE, pid, nullptr, nullptr) != 0) return true;
  bool stuck = true;
  struct timespec pause = {0, 1000000};
  for (int i = 0; i < 100 && stuck; i++) {
    unsigned long faults;
    if (stateOf(pid, &faults) == 'S') stuck = false;
    int status = 0;
    struct user_regs_struct regs;
    if (ptrace(PTRACE_INTERRUPT, pid, nullptr, nullptr) != 0 || waitpid(pid, &status, __WALL) != pid) break;
    if (ptrace(PTRACE_GETREGS, pid, nullptr, &regs) == 0)
      for (const auto& z : zones)
        if (regs.rip >= z.first && regs.rip < z.second) stuck = false;
    ptrace(PTRACE_CONT, pid, nullptr, nullptr);
    nanosleep(&pause, nullptr);
  }
  return stuck && progressOf(pid) == progress;
}

// Runs tessel on the file: "" when it ended by itself within the limit or runs its program
// on past it, else how it ended.
std::string runOnce(const char* tessel, const std::string& image, double limitSeconds) {
  pid_t child = fork();
  if (child < 0) return "fork failed";
  if (child == 0) {
    int null = open("/dev/null", O_RDWR);
    dup2(null, 0), dup2(null, 1), dup2(null, 2);
    execl(tessel, tessel, "-noherald", image.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  struct timespec start, now, pause = {0, 1000000};
  clock_gettime(CLOCK_MONOTONIC, &start);
  for (;;) {
    int status = 0;
    pid_t done = waitpid(child, &status, WNOHANG);
    if (done == child) {
      if (WIFSIGNALED(status)) return "killed by signal " + std::to_string(WTERMSIG(status));
      return WEXITSTATUS(status) == 127 ? "tessel could not be run" : "";
    }
    clock_gettime(CLOCK_MONOTONIC, &now);
    if (double(now.tv_sec - start.tv_sec) + double(now.tv_nsec - start.tv_nsec) / 1e9 > limitSeconds) {
      bool stuck = isStuckInEngine(child);
      kill(child, SIGKILL);
      while (waitpid(child, &status, __WALL) == child && !WIFEXITED(status) && !WIFSIGNALED(status)) {
      }
      return stuck ? "stuck in the engine after the time limit" : "";
    }
    nanosleep(&pause, nullptr);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 7) {
    fputs("usage: body_flip tessel image seed count limit-seconds folder\n", stderr);
    return 2;
  }
  const char* tessel = argv[1];
  std::vector<uint8_t> image;
  if (!readFile(argv[2], &image) || image.size() <= headerBytes) {
    fprintf(stderr, "body_flip: cannot read an image body from %s\n", argv[2]);
    return 2;
  }
  uint64_t state = strtoull(argv[3], nullptr, 0);
  long count = strtol(argv[4], nullptr, 0);
  double limit = strtod(argv[5], nullptr);
  std::string folder = argv[6], variant = folder + "/variant.im";
  sanitizerOptions();
  int failures = 0;
  for (long i = 0; i < count; i++) {
    size_t offset = headerBytes + nextRandom(&state) % (image.size() - headerBytes);
    uint64_t r = nextRandom(&state);
    uint8_t old = image[offset];
    // Even variants flip one bit; odd ones replace the byte by another value.
    uint8_t damaged = i % 2 == 0 ? uint8_t(old ^ (1u << (r % 8))) : uint8_t(old + 1 + r % 255);
    std::string how = i % 2 == 0 ? "bit" + std::to_string(r % 8) : "byte" + std::to_string(damaged);
    image[offset] = damaged;
    bool written = writeFile(variant, image);
    image[offset] = old;
    if (!written) {
      fprintf(stderr, "body_flip: cannot write %s\n", variant.c_str());
      return 2;
    }
    std::string outcome = runOnce(tessel, variant, limit);
    if (outcome.empty()) continue;
    failures++;
    std::string kept = folder + "/flip-" + std::to_string(offset) + "-" + how + ".im";
    rename(variant.c_str(), kept.c_str());
    fprintf(stderr, "offset %zu %s: %s (%s)\n", offset, how.c_str(), outcome.c_str(), kept.c_str());
  }
  remove(variant.c_str());
  fprintf(stderr, "%d of %ld damaged images ended tessel abnormally\n", failures, count);
  return failures == 0 ? 0 : 1;
}
