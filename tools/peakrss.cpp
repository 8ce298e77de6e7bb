// Test tooling: peakrss command [args...] runs the command, passes its standard streams
// through, and prints "peak RSS: N KB" and "CPU time: N ms" (user and system) on standard
// error from wait4's resource usage, and "wall time: N ms", then exits with the command's
// status (128 + signal when it was killed; 127 when it cannot run).
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>

int main(int argc, char** argv) {
  if (argc < 2) {
    fputs("usage: peakrss command [args...]\n", stderr);
    return 2;
  }
  struct timespec start, end;
  clock_gettime(CLOCK_MONOTONIC, &start);
  pid_t child = fork();
  if (child < 0) return 127;
  if (child == 0) {
    execvp(argv[1], argv + 1);
    _exit(127);
  }
  int status = 0;
  struct rusage usage = {};
  if (wait4(child, &status, 0, &usage) != child) return 127;
  clock_gettime(CLOCK_MONOTONIC, &end);
  fprintf(stderr, "peak RSS: %ld KB\n", usage.ru_maxrss);
  long long cpuUs = (long long)(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000000 +
                    usage.ru_utime.tv_usec + usage.ru_stime.tv_usec;
  fprintf(stderr, "CPU time: %lld ms\n", cpuUs / 1000);
  long long wallMs = (long long)(end.tv_sec - start.tv_sec) * 1000 + (end.tv_nsec - start.tv_nsec) / 1000000;
  fprintf(stderr, "wall time: %lld ms\n", wallMs);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return WEXITSTATUS(status);
}
