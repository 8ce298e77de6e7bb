// Windows layer: the wake-up semaphore on which the VM thread sleeps when idle.
// Owns the semaphore and the idle flag. Prefix: pd (pdWakeup).
// The alarm and poll threads that also use it come with the timers.
#include <windows.h>

#include "ext/exError.h"
#include "ext/platform.h"

static HANDLE wakeupSemaphore;   // initial 0, maximum 1
volatile LONG vmThreadIdle;      // 1 while the VM thread waits for an event

static HANDLE wakeup() {
  if (wakeupSemaphore == nullptr) {
    HANDLE h = CreateSemaphoreW(nullptr, 0, 1, nullptr);
    if (h != nullptr && InterlockedCompareExchangePointer(&wakeupSemaphore, h, nullptr) != nullptr)
      CloseHandle(h);  // another thread made it first
  }
  return wakeupSemaphore;
}

// Wakes the VM thread when it is idle or when force's low byte asks for it; a semaphore
// that is already released stays so.
void pdWakeup(int, int force) {
  if (!vmThreadIdle && (force & 0xFF) == 0) return;
  HANDLE h = wakeup();
  if (h != nullptr && ReleaseSemaphore(h, 1, nullptr)) return;
  if (h != nullptr && GetLastError() == ERROR_TOO_MANY_POSTS) return;
  REPORT_ERROR("couldn't signal wakeup semaphore", 9216);
}

// The alarm thread is not built yet: the delay timer cannot be armed, and a time already
// due runs its expiry at once as on every platform.
void timeExpired();
void pdInitTime() {}
int pdSignalAtMicroseconds(uint64_t when, uint64_t*) {
  if (pdMicrosecondClock() >= when) {
    timeExpired();
    return 1;
  }
  REPORT_ERROR("Unable to set timer (alarm thread not built yet)", 0x2000);
  return 1;
}
void pdTerminateTimer() {}
// This layer has no profiling timer: a profiler started here collects no samples.
void pdStartProfileTimer() {}
int pdStopProfileTimer(int) { return 0; }
