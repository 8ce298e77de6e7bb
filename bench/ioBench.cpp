// Benchmarks of the Unix I/O layer: primitives 661/660 beside write()/read() on a file and on
// a loopback socket pair, the waiting thread's CPU time over a second of idle wait, and
// start-up's descriptor count at a small and a large descriptor limit.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <time.h>
#include <unistd.h>

#include "ext/exInit.h"
#include "ext/exPrimTable.h"
#include "ext/exRequest.h"
#include "ext/platform.h"
#include "mman/mmSysOop.h"
#include "mman/testHeap.h"
#include "plat/unxMain.h"
#include "prim/prTimer.h"
#include "support/ioKernel.h"

namespace {

constexpr int64_t maxTransfer = 1 << 20;

struct IOFixture {
  int fd = -1;
  oop holder = 0, buffer = 0;
  IOFixture() {
    newIOTestHeap(1 << 19);
    initNewIO();
    initTimePrimitives();
    char path[] = "/tmp/tessel-iobench-XXXXXX";
    fd = mkstemp(path);
    unlink(path);
    prepareUfd(fd);  // as primitive 1610 opens it
    holder = newOldObject(testClasses.threeSlots, 3);
    bodyOf(headerOf(holder))[1] = smallIntegerFor(fd);
    buffer = newOldObject(testClasses.bytes, maxTransfer);
  }
};

IOFixture& fixture() {
  static IOFixture f;
  return f;
}

typedef oop (*Transfer)(oop, oop, oop, oop);

// Writes then reads back n bytes through the primitives (primitive) or the system calls.
void BM_FileTransfer(benchmark::State& state, bool primitive) {
  IOFixture& f = fixture();
  int64_t n = state.range(0);
  Transfer write661 = (Transfer)getPrimEntry(661)->function, read660 = (Transfer)getPrimEntry(660)->function;
  uint8_t* bytes = (uint8_t*)bodyOf(headerOf(f.buffer));
  for (auto _ : state) {
    lseek(f.fd, 0, SEEK_SET);
    if (primitive) write661(f.holder, f.buffer, smallIntegerFor(1), smallIntegerFor(n));
    else benchmark::DoNotOptimize(write(f.fd, bytes, (size_t)n));
    lseek(f.fd, 0, SEEK_SET);
    if (primitive) read660(f.holder, f.buffer, smallIntegerFor(1), smallIntegerFor(n));
    else benchmark::DoNotOptimize(read(f.fd, bytes, (size_t)n));
  }
  state.SetBytesProcessed(state.iterations() * n * 2);
}
BENCHMARK_CAPTURE(BM_FileTransfer, primitives, true)->Arg(4 << 10)->Arg(64 << 10)->Arg(1 << 20);
BENCHMARK_CAPTURE(BM_FileTransfer, syscalls, false)->Arg(4 << 10)->Arg(64 << 10)->Arg(1 << 20);

// The pair of 652 (TCP over 127.0.0.1) and a Unix-domain socketpair, with buffers that hold
// a whole transfer, so a write after the reader drained everything never comes up short.
// Readiness signals are off: the primitives, called here without a primitive's frame, must
// find no request to serve.
struct PairFixture {
  int tcp[2], local[2];
  oop writer = 0, reader = 0;
  PairFixture() {
    IOFixture& f = fixture();
    phonypair(AF_INET, SOCK_STREAM, 0, tcp);
    socketpair(AF_UNIX, SOCK_STREAM, 0, local);
    int bytes = 4 << 20;
    for (int fd : {tcp[0], tcp[1], local[0], local[1]}) {
      setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
      setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
      fcntl(fd, F_SETFL, (fcntl(fd, F_GETFL) | O_NONBLOCK) & ~O_ASYNC);
    }
    handleAsyncRequests();
    writer = newOldObject(testClasses.threeSlots, 3);
    reader = newOldObject(testClasses.threeSlots, 3);
    bodyOf(headerOf(writer))[1] = smallIntegerFor(tcp[1]);
    bodyOf(headerOf(reader))[1] = smallIntegerFor(tcp[0]);
    (void)f;
  }
};

void waitReady(int fd, short events) {
  struct pollfd p = {fd, events, 0};
  poll(&p, 1, 1000);
}

// n bytes from one end to the other: mode 0 through 661/660 on the 652 pair, 1 through
// write()/read() on the same pair, 2 through write()/read() on the Unix-domain pair. Each
// write and read waits for readiness first, in every mode alike, so no primitive fails.
void BM_SocketTransfer(benchmark::State& state, int mode) {
  static PairFixture p;
  IOFixture& f = fixture();
  int64_t n = state.range(0);
  Transfer write661 = (Transfer)getPrimEntry(661)->function, read660 = (Transfer)getPrimEntry(660)->function;
  uint8_t* bytes = (uint8_t*)bodyOf(headerOf(f.buffer));
  int out = mode == 2 ? p.local[1] : p.tcp[1], in = mode == 2 ? p.local[0] : p.tcp[0];
  for (auto _ : state) {
    int64_t sent = 0, got = 0;
    while (got < n) {
      if (sent < n) {
        waitReady(out, POLLOUT);
        oop w = mode == 0 ? write661(p.writer, f.buffer, smallIntegerFor(sent + 1), smallIntegerFor(n - sent))
                          : smallIntegerFor(write(out, bytes + sent, (size_t)(n - sent)));
        if (smallIntegerValue(w) > 0) sent += smallIntegerValue(w);
      }
      waitReady(in, POLLIN);
      oop r = mode == 0 ? read660(p.reader, f.buffer, smallIntegerFor(got + 1), smallIntegerFor(n - got))
                        : smallIntegerFor(read(in, bytes + got, (size_t)(n - got)));
      if (smallIntegerValue(r) > 0) got += smallIntegerValue(r);
    }
  }
  state.SetBytesProcessed(state.iterations() * n);
}
BENCHMARK_CAPTURE(BM_SocketTransfer, primitives_loopback, 0)->Arg(4 << 10)->Arg(64 << 10);
BENCHMARK_CAPTURE(BM_SocketTransfer, syscalls_loopback, 1)->Arg(4 << 10)->Arg(64 << 10);
BENCHMARK_CAPTURE(BM_SocketTransfer, syscalls_socketpair, 2)->Arg(4 << 10)->Arg(64 << 10);

double threadCpuSeconds() {
  struct timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

std::atomic<bool> idleDone;
void markIdleDone(uint64_t) { idleDone = true; }
void tick(uint64_t) {}

// One second of idle wait: mode 0 without a timer (woken by another thread at the end),
// 1 with a timer one second ahead, 2 with a 10 ms timer set again at each expiry.
void BM_IdleWaitCpu(benchmark::State& state) {
  fixture();
  recordWakeThread();
  int mode = (int)state.range(0);
  for (auto _ : state) {
    idleDone = false;
    double cpu0 = threadCpuSeconds();
    uint64_t end = pdMicrosecondClock() + 1000000;
    std::thread waker;
    if (mode == 0)
      waker = std::thread([] {
        usleep(1000000);
        idleDone = true;
        asyncSetRequest(requestUserPoll, 0, 0);
      });
    if (mode == 1) setTimer(1000000, markIdleDone);
    while (!idleDone) {
      if (mode == 2 && !isTimerActive()) {
        if (pdMicrosecondClock() >= end) break;
        setTimer(10000, tick);
      }
      waitForIO();
      handleAsyncRequests();
    }
    if (waker.joinable()) waker.join();
    state.counters["cpu_ms"] = (threadCpuSeconds() - cpu0) * 1000;
  }
}
BENCHMARK(BM_IdleWaitCpu)->Arg(0)->Arg(1)->Arg(2)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// setupNewIO in a child whose descriptor limit is the argument; 0 stands for the hard limit
// this process may use (1,048,576 only where the system allows raising it so far).
void BM_SetupAtDescriptorLimit(benchmark::State& state) {
  struct rlimit hard;
  getrlimit(RLIMIT_NOFILE, &hard);
  rlim_t limit = state.range(0) != 0 ? (rlim_t)state.range(0) : hard.rlim_max;
  state.counters["limit"] = (double)limit;
  for (auto _ : state) {
    int p[2];
    if (pipe(p) != 0) return state.SkipWithError("pipe");
    pid_t pid = fork();
    if (pid == 0) {
      struct rlimit r = {limit, limit};
      if (setrlimit(RLIMIT_NOFILE, &r) != 0) _exit(1);
      struct timespec a, b;
      clock_gettime(CLOCK_MONOTONIC, &a);
      setupNewIO();
      clock_gettime(CLOCK_MONOTONIC, &b);
      double ms = (double)(b.tv_sec - a.tv_sec) * 1e3 + (double)(b.tv_nsec - a.tv_nsec) / 1e6;
      (void)!write(p[1], &ms, sizeof ms);
      _exit(0);
    }
    close(p[1]);
    double ms = -1;
    bool got = read(p[0], &ms, sizeof ms) == sizeof ms;
    close(p[0]);
    waitpid(pid, nullptr, 0);
    if (!got) return state.SkipWithError("the limit cannot be set here");
    state.counters["setup_ms"] = ms;
  }
}
BENCHMARK(BM_SetupAtDescriptorLimit)->Arg(1024)->Arg(0)->Arg(1048576)->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace
