// Windows layer: the threads of threaded calls over Win32: starting a worker
// (_beginthreadex at the engine thread's priority, its handle closed at once), the records'
// slim locks and condition variables (timed waits in whole milliseconds, rounded up), and the
// cancelling of a worker busy in C. Owns windowsThreadPlatform. Prefix: none.
#include <windows.h>

#include "platpc/ntThreads.h"

#include <process.h>

#include <cstdio>
#include <new>

#include "ext/exError.h"

static_assert(sizeof(SRWLOCK) <= nbapiLockBytes && sizeof(CONDITION_VARIABLE) <= nbapiLockBytes,
              "a record holds a lock and a condition");

static SRWLOCK* lockIn(void* room) { return static_cast<SRWLOCK*>(room); }
static CONDITION_VARIABLE* condIn(void* room) { return static_cast<CONDITION_VARIABLE*>(room); }

static uint64_t self() { return GetCurrentThreadId(); }

static unsigned __stdcall threadStart(void* arg) {
  nbapiThreadMain(static_cast<TInfo*>(arg));
  return 0;
}

// A failing system call, with its last-error number, on the debug log; the caller carries on.
static void report(const char* what, DWORD error, int line) {
  fprintf(stderr, "\a\aTHAPI: %s (%lu) (%s %d)\n", what, static_cast<unsigned long>(error),
          SOURCE_NAME, line);
}

// A worker runs at the priority of the thread that starts it (the engine's); it is made
// suspended so that it runs no code before it has that priority.
static int start(TInfo* t, uint64_t* id) {
  unsigned threadId = 0;
  HANDLE thread =
      reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, threadStart, t, CREATE_SUSPENDED, &threadId));
  if (thread == nullptr) {
    report("_beginthreadex", GetLastError(), __LINE__);
    return 2;
  }
  if (!SetThreadPriority(thread, GetThreadPriority(GetCurrentThread()))) {
    report("SetThreadPriority", GetLastError(), __LINE__);
    TerminateThread(thread, 0);  // it has run nothing
    CloseHandle(thread);
    return 2;
  }
  ResumeThread(thread);
  CloseHandle(thread);
  *id = threadId;
  return 0;
}

// Windows has no safe way to end a thread inside foreign code (TerminateThread leaves the
// locks it held, the C heap's among them, taken for good). The worker's synchronous I/O is
// cancelled instead, so a blocking read or pipe wait returns; the worker finds its state
// Cancelling when its C function returns and gives its record back itself.
static void cancel(uint64_t id) {
  HANDLE thread = OpenThread(THREAD_TERMINATE, FALSE, DWORD(id));
  if (thread == nullptr) return report("OpenThread", GetLastError(), __LINE__);
  CancelSynchronousIo(thread);  // fails when no I/O is in progress: nothing to do then
  CloseHandle(thread);
}

static void yieldThread() { SwitchToThread(); }

static int lockInit(void* mutex, void* cond) {
  InitializeSRWLock(new (mutex) SRWLOCK);
  InitializeConditionVariable(new (cond) CONDITION_VARIABLE);
  return 1;
}

static void lockDestroy(void*, void*) {}  // slim locks and conditions hold no resources
static void lock(void* mutex) { AcquireSRWLockExclusive(lockIn(mutex)); }
static void unlock(void* mutex) { ReleaseSRWLockExclusive(lockIn(mutex)); }
static void signal(void* cond) { WakeConditionVariable(condIn(cond)); }

static int wait(void* cond, void* mutex, uint64_t nanoseconds) {
  DWORD ms = INFINITE;
  if (nanoseconds != 0) {
    uint64_t rounded = (nanoseconds + 999999) / 1000000;
    ms = rounded >= INFINITE ? INFINITE - 1 : DWORD(rounded);
  }
  if (SleepConditionVariableSRW(condIn(cond), lockIn(mutex), ms, 0)) return 0;
  return GetLastError() == ERROR_TIMEOUT;
}

ThreadPlatform windowsThreadPlatform = {self, start,  cancel, yieldThread, lockInit,       lockDestroy,
                                        lock, unlock, signal, wait,        NBAPIInnerCall, 0};

void installWindowsThreads() {
  SYSTEM_INFO system;
  GetSystemInfo(&system);
  windowsThreadPlatform.cpuCount = system.dwNumberOfProcessors;
  threadPlatform = &windowsThreadPlatform;
}
