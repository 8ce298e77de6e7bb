// Test helper: reports what a child started by primitive 684 was handed, one "key value"
// line each, on the descriptor named by its argument: the files of descriptors 0-2 and
// whether they are non-blocking, the blocked and ignored signal sets, the interval timers,
// whether it leads its own session, and its controlling terminal's device number.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <initializer_list>
#include <sys/time.h>
#include <unistd.h>

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  FILE* out = fdopen(atoi(argv[1]), "w");
  if (out == nullptr) return 3;
  for (int fd = 0; fd < 3; fd++) {
    char link[64], target[512] = "closed";
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, target, sizeof target - 1);
    if (n >= 0) target[n] = 0;
    int flags = fcntl(fd, F_GETFL);
    fprintf(out, "fd%d %s\nnonblocking%d %d\n", fd, target, fd, flags >= 0 && (flags & O_NONBLOCK) ? 1 : 0);
  }
  FILE* status = fopen("/proc/self/status", "r");
  char line[256];
  while (status != nullptr && fgets(line, sizeof line, status) != nullptr)
    if (strncmp(line, "SigBlk:", 7) == 0 || strncmp(line, "SigIgn:", 7) == 0) fprintf(out, "%.6s %s", line, line + 8);
  long timers = 0;
  for (int which : {ITIMER_REAL, ITIMER_VIRTUAL, ITIMER_PROF}) {
    struct itimerval t;
    getitimer(which, &t);
    timers += t.it_value.tv_sec + t.it_value.tv_usec + t.it_interval.tv_sec + t.it_interval.tv_usec;
  }
  fprintf(out, "timers %ld\nleader %d\n", timers, getsid(0) == getpid() ? 1 : 0);
  FILE* stat = fopen("/proc/self/stat", "r");
  int tty = -1;
  if (stat != nullptr && fgets(line, sizeof line, stat) != nullptr) {
    const char* after = strrchr(line, ')');  // the command name may hold blanks
    if (after != nullptr) sscanf(after + 2, "%*c %*d %*d %*d %d", &tty);
  }
  fprintf(out, "tty %d\n", tty);
  return 0;
}
