// Unix layer: the threads of threaded calls over POSIX threads: starting a worker (detached,
// asynchronous signals blocked, cancellable only inside its C call), cancelling it, the
// records' mutexes and conditions (timed waits on the monotonic clock).
// Owns unixThreadPlatform. Prefix: none.
#include "plat/unxThreads.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

static_assert(sizeof(pthread_mutex_t) <= nbapiLockBytes && sizeof(pthread_cond_t) <= nbapiLockBytes,
              "a record holds a mutex and a condition");

static pthread_mutex_t* mutexIn(void* room) { return static_cast<pthread_mutex_t*>(room); }
static pthread_cond_t* condIn(void* room) { return static_cast<pthread_cond_t*>(room); }

#define REPORT_PTHREAD(what, error) reportAt(what, error, __LINE__)
static void reportAt(const char* what, int error, int line) {
  if (error != 0) nbapiReportOSError(what, __FILE__, line, error);
}

static uint64_t self() { return uint64_t(pthread_self()); }

static void cleanup(void* t) { nbapiThreadCleanup(static_cast<TInfo*>(t)); }

// A worker: asynchronous signals stay with the engine thread (a timer signal would cut a
// C function's sleep short); faults are the worker's own. Cancellation is enabled only
// while its C function runs (NBAPIInnerCall).
static void* threadStart(void* arg) {
  sigset_t all;
  sigfillset(&all);
  for (int s : {SIGSEGV, SIGBUS, SIGILL, SIGFPE}) sigdelset(&all, s);
  pthread_sigmask(SIG_SETMASK, &all, nullptr);
  pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
  pthread_setcanceltype(PTHREAD_CANCEL_DEFERRED, nullptr);
  pthread_cleanup_push(cleanup, arg);
  nbapiThreadMain(static_cast<TInfo*>(arg));
  pthread_cleanup_pop(0);
  return nullptr;
}

static int start(TInfo* t, uint64_t* id) {
  pthread_attr_t a;
  int error = pthread_attr_init(&a);
  if (error != 0) return REPORT_PTHREAD("pthread_attr_init", error), error == ENOMEM ? 1 : 2;
  pthread_attr_setdetachstate(&a, PTHREAD_CREATE_DETACHED);
  error = pthread_attr_setscope(&a, PTHREAD_SCOPE_SYSTEM);
  if (error != 0 && error != ENOTSUP) REPORT_PTHREAD("pthread_attr_setscope", error);
  pthread_t thread;
  error = pthread_create(&thread, &a, threadStart, t);
  pthread_attr_destroy(&a);
  if (error != 0) return error == ENOMEM ? 1 : 2;
  *id = uint64_t(thread);
  return 0;
}

static void cancel(uint64_t id) { REPORT_PTHREAD("pthread_cancel", pthread_cancel(pthread_t(id))); }
static void yieldThread() { sched_yield(); }

static int lockInit(void* mutex, void* cond) {
  if (pthread_mutex_init(new (mutex) pthread_mutex_t, nullptr) != 0) return 0;
  pthread_condattr_t a;
  pthread_condattr_init(&a);
  pthread_condattr_setclock(&a, CLOCK_MONOTONIC);
  int error = pthread_cond_init(new (cond) pthread_cond_t, &a);
  pthread_condattr_destroy(&a);
  if (error != 0) pthread_mutex_destroy(mutexIn(mutex));
  return error == 0;
}

static void lockDestroy(void* mutex, void* cond) {
  REPORT_PTHREAD("pthread_mutex_destroy", pthread_mutex_destroy(mutexIn(mutex)));
  REPORT_PTHREAD("pthread_cond_destroy", pthread_cond_destroy(condIn(cond)));
}

static void lock(void* mutex) { REPORT_PTHREAD("pthread_mutex_lock", pthread_mutex_lock(mutexIn(mutex))); }
static void unlock(void* mutex) { REPORT_PTHREAD("pthread_mutex_unlock", pthread_mutex_unlock(mutexIn(mutex))); }
static void signal(void* cond) { REPORT_PTHREAD("pthread_cond_signal", pthread_cond_signal(condIn(cond))); }

static int wait(void* cond, void* mutex, uint64_t nanoseconds) {
  if (nanoseconds == 0) {
    pthread_cond_wait(condIn(cond), mutexIn(mutex));
    return 0;
  }
  timespec deadline;
  clock_gettime(CLOCK_MONOTONIC, &deadline);
  uint64_t ns = uint64_t(deadline.tv_nsec) + nanoseconds;
  deadline.tv_sec += time_t(ns / 1000000000u);
  deadline.tv_nsec = long(ns % 1000000000u);
  return pthread_cond_timedwait(condIn(cond), mutexIn(mutex), &deadline) == ETIMEDOUT;
}

ThreadPlatform unixThreadPlatform = {self,   start, cancel, yieldThread, lockInit, lockDestroy, lock,
                                     unlock, signal, wait,  NBAPIInnerCall, 0};

void installUnixThreads() {
  long cpus = sysconf(_SC_NPROCESSORS_ONLN);
  if (cpus < 0) nbapiReportOSError("sysconf _SC_NPROCESSORS_ONLN", __FILE__, __LINE__, -1);
  unixThreadPlatform.cpuCount = cpus > 0 ? uint64_t(cpus) : 0;
  threadPlatform = &unixThreadPlatform;
}
