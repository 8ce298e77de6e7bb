// SOM benchmark programs (bench/som) run through the real tessel beside the same algorithms in
// C++ -O2 and, when node is on the machine, in JavaScript (bench/som/js/<name>.js), in the same
// run: each program's image is made with mkimage, then run with n rounds and with none (start-up
// and set-up alone), by default and with translated primitives off (-o 0x10). A program's time
// is the child's CPU time for n rounds less that for none, the least of three runs each; node's
// is taken the same way over ten times the rounds, divided by ten; the C++ time is this
// process's CPU time for n rounds, also the least of three. Every run's output must equal the
// C++ answer. Prints the ratios (tessel/C++ and tessel/node) and their geometric means. Then
// StoreHeavy (old objects into old holders) with an incremental cycle held in its mark against
// none.
#include <dirent.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "somNative.h"

extern char** environ;

namespace {

struct Program {
  const char* name;
  int64_t rounds;
  int64_t (*native)(int64_t);
  const char* what;  // the measure it stands for
};
const Program programs[] = {
    {"Richards", 400, nativeRichards, "scheduler"},   {"Recursion", 400, nativeRecursion, "recursion"},
    {"ClosedPics", 400, nativeClosedPics, "sends"},   {"OpenPics", 300, nativeOpenPics, "sends"},
    {"Blocks", 60, nativeBlocks, "blocks"},           {"Sieve", 400, nativeSieve, "at:put:"},
    {"Doubles", 20, nativeDoubles, "Double"},         {"NewArrays", 50, nativeNewArrays, "new:"},
    {"Values", 40, nativeValues, "value"},            {"Performs", 40, nativePerforms, "perform:"},
    {"Hanoi", 600, nativeHanoi, "copied"},   {"TempVectors", 100, nativeTempVectors, "temp Array"},
    {"NBody", 300, nativeNBody, "Double"},            {"Mandelbrot", 20, nativeMandelbrot, "Double"},
    {"MatrixNorm", 100, nativeMatrixNorm, "Double"},
};

// node runs nodeScale times the rounds (its time divided by it): its start-up, which the run
// with no rounds takes off, varies by more than the work of the rounds alone.
const int64_t nodeScale = 10;
#ifdef NODE_EXE
const char* const nodeExe = NODE_EXE;
#else
const char* const nodeExe = nullptr;
#endif

// Runs argv, answers its exit status and its standard output; cpu gets its user + system time.
int runChild(const std::vector<std::string>& args, std::string& out, double* cpu) {
  int fds[2];
  if (pipe(fds) != 0) return -1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  posix_spawn_file_actions_addclose(&actions, fds[0]);
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid;
  int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  if (rc != 0) {
    close(fds[0]);
    return -1;
  }
  out.clear();
  char buf[4096];
  ssize_t n;
  while ((n = read(fds[0], buf, sizeof buf)) > 0) out.append(buf, size_t(n));
  close(fds[0]);
  int status = 0;
  struct rusage usage = {};
  if (wait4(pid, &status, 0, &usage) != pid) return -1;
  if (cpu != nullptr)
    *cpu = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

double processCpu() {
  timespec t;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

// Least CPU seconds of three runs of the program with rounds; false when a run fails or,
// with check, prints other than expected.
bool timeTessel(const std::string& image, const Program& p, const char* option, int64_t rounds,
                const std::string& expected, bool check, double* best) {
  *best = 1e30;
  for (int k = 0; k < 3; k++) {
    std::vector<std::string> args = {TESSEL_EXE, "-noherald"};
    if (option != nullptr) {
      args.push_back("-o");
      args.push_back(option);
    }
    args.insert(args.end(), {image, p.name, std::to_string(rounds)});
    std::string out;
    double cpu = 0;
    int status = runChild(args, out, &cpu);
    if (status != 0 || (check && out != expected)) {
      fprintf(stderr, "%s%s%s: status %d, printed \"%s\", expected \"%s\"\n", p.name, option ? " -o " : "",
              option ? option : "", status, out.c_str(), expected.c_str());
      return false;
    }
    *best = std::min(*best, cpu);
  }
  return true;
}

// Least CPU seconds of three runs of the program's JavaScript version by node with rounds; false
// when a run fails or, with check, prints other than expected.
bool timeNode(const Program& p, int64_t rounds, const std::string& expected, bool check, double* best) {
  *best = 1e30;
  for (int k = 0; k < 3; k++) {
    std::string out;
    double cpu = 0;
    int status = runChild({nodeExe, std::string(SOM_DIR) + "/js/" + p.name + ".js", std::to_string(rounds)}, out, &cpu);
    if (status != 0 || (check && out != expected)) {
      fprintf(stderr, "%s.js: status %d, printed \"%s\", expected \"%s\"\n", p.name, status, out.c_str(),
              expected.c_str());
      return false;
    }
    *best = std::min(*best, cpu);
  }
  return true;
}

// The store check's cost while marking: StoreHeavy's CPU time with rounds less that with none,
// the least of three runs each, with an incremental cycle held in its mark against the
// collector at rest. Every run must print the state it was asked for, and a held run with
// rounds that its first round's store checks marked every value.
bool timeStoreHeavy(const std::string& image, int64_t rounds) {
  double times[2];
  for (int hold = 0; hold < 2; hold++) {
    double least[2] = {1e30, 1e30};
    for (int run = 0; run < 2; run++)
      for (int k = 0; k < 3; k++) {
        const std::string expected = std::string(hold && run ? "1000\n" : "0\n") + (hold ? "109\n" : "114\n");
        std::string out;
        double cpu = 0;
        int status = runChild({TESSEL_EXE, "-noherald", image, "StoreHeavy", std::to_string(run ? rounds : 0),
                               std::to_string(hold)},
                              out, &cpu);
        if (status != 0 || out != expected) {
          fprintf(stderr, "StoreHeavy hold %d: status %d, printed \"%s\", expected \"%s\"\n", hold, status,
                  out.c_str(), expected.c_str());
          return false;
        }
        least[run] = std::min(least[run], cpu);
      }
    times[hold] = std::max(least[1] - least[0], 1e-6);
  }
  printf("StoreHeavy, %" PRId64 " rounds of 8000 stores of old objects into old holders: %.4f s at rest, "
         "%.4f s with a cycle held in its mark, ratio %.3f\n",
         rounds, times[0], times[1], times[1] / times[0]);
  return true;
}

}  // namespace

// Arguments, when given, name the programs to run (StoreHeavy among them).
int main(int argc, char** argv) {
  auto wanted = [&](const char* name) {
    if (argc < 2) return true;
    for (int i = 1; i < argc; i++)
      if (strcmp(argv[i], name) == 0) return true;
    return false;
  };
  std::string dir = SOMBENCH_WORK_DIR;
  if (system(("mkdir -p '" + dir + "'").c_str()) != 0) return 1;
  printf("CPU seconds, the least of three runs; tessel's less its run with no rounds.\n");
  printf("%-12s %-10s %6s %9s %9s %9s %9s %8s %8s %8s\n", "program", "measures", "rounds", "tessel", "-o 0x10",
         "C++ -O2", "node", "/C++", "-o 0x10", "/node");
  std::vector<std::string> kernel;  // every class file of the kernel library
  if (DIR* d = opendir(KERNEL_DIR)) {
    while (dirent* e = readdir(d)) {
      std::string f = e->d_name;
      if (f.size() > 4 && f.compare(f.size() - 4, 4, ".som") == 0) kernel.push_back(std::string(KERNEL_DIR) + "/" + f);
    }
    closedir(d);
  }
  std::sort(kernel.begin(), kernel.end());
  double logSum[2] = {0, 0}, logNode = 0;
  int counted = 0, nodeCounted = 0;
  bool ok = true;
  for (const Program& p : programs) {
    if (!wanted(p.name)) continue;
    std::string image = dir + "/" + p.name + ".im";
    std::vector<std::string> make = {MKIMAGE_EXE, "-o", image};
    make.insert(make.end(), kernel.begin(), kernel.end());
    make.push_back(std::string(SOM_DIR) + "/" + p.name + ".som");
    make.insert(make.end(), {"--args", p.name, "1"});
    std::string out;
    if (runChild(make, out, nullptr) != 0) {
      fprintf(stderr, "%s: mkimage failed\n", p.name);
      ok = false;
      continue;
    }
    double native = 1e30;
    int64_t answer = 0;
    for (int k = 0; k < 3; k++) {
      double t0 = processCpu();
      answer = p.native(p.rounds);
      native = std::min(native, processCpu() - t0);
    }
    std::string expected = std::to_string(answer) + "\n";
    double times[2];
    bool good = true;
    for (int mode = 0; mode < 2 && good; mode++) {
      const char* option = mode == 0 ? nullptr : "0x10";
      double full = 0, empty = 0;
      good = timeTessel(image, p, option, p.rounds, expected, true, &full) &&
             timeTessel(image, p, option, 0, expected, false, &empty);
      times[mode] = std::max(full - empty, 1e-6);
    }
    if (!good) {
      ok = false;
      continue;
    }
    double node = 0;
    if (nodeExe != nullptr) {
      double full = 0, empty = 0;
      std::string scaled = std::to_string(p.native(p.rounds * nodeScale)) + "\n";
      if (timeNode(p, p.rounds * nodeScale, scaled, true, &full) && timeNode(p, 0, scaled, false, &empty)) {
        node = std::max(full - empty, 1e-6) / double(nodeScale);
      } else {
        ok = false;
      }
    }
    double ratio[2] = {times[0] / native, times[1] / native};
    char nodeTime[16] = "-", nodeRatio[16] = "-";
    if (node > 0) {
      snprintf(nodeTime, sizeof nodeTime, "%.4f", node);
      snprintf(nodeRatio, sizeof nodeRatio, "%.2f", times[0] / node);
      logNode += std::log(times[0] / node);
      nodeCounted++;
    }
    printf("%-12s %-10s %6" PRId64 " %9.4f %9.4f %9.4f %9s %8.2f %8.2f %8s\n", p.name, p.what, p.rounds, times[0],
           times[1], native, nodeTime, ratio[0], ratio[1], nodeRatio);
    logSum[0] += std::log(ratio[0]);
    logSum[1] += std::log(ratio[1]);
    counted++;
  }
  if (counted > 0)
    printf("geometric mean of the ratios to C++ over %d programs: %.2f (default), %.2f (-o 0x10)\n", counted,
           std::exp(logSum[0] / counted), std::exp(logSum[1] / counted));
  if (nodeCounted > 0)
    printf("geometric mean of the ratios to node over %d programs: %.2f\n", nodeCounted, std::exp(logNode / nodeCounted));
  else if (counted > 0)
    printf("node: not found when the benchmark was configured; no JavaScript column\n");
  if (wanted("StoreHeavy")) {
    std::string image = dir + "/StoreHeavy.im", out;
    std::vector<std::string> make = {MKIMAGE_EXE, "-o", image};
    make.insert(make.end(), kernel.begin(), kernel.end());
    make.insert(make.end(), {std::string(SOM_DIR) + "/StoreHeavy.som", "--args", "StoreHeavy", "1", "0"});
    if (runChild(make, out, nullptr) != 0 || !timeStoreHeavy(image, 5000)) ok = false;
  }
  return ok ? 0 : 1;
}
