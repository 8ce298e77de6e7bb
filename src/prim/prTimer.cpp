// Start-up: the two logical timers over the platform's one delay timer, and primitives
// 351 and 352. Owns the TimerEntry slots, the armed entry and isTimerActive.
// Prefix: none (setTimer, setTimerEntry, armEarliestTimer, timeExpired, initTime).
#include "prim/prTimer.h"

#include "ext/exError.h"
#include "ext/exInit.h"
#include "ext/exPrimTable.h"
#include "ext/exRequest.h"
#include "ext/platform.h"
#include "mman/mmCValue.h"
#include "mman/mmPrimUtil.h"
#include "mman/mmSysOop.h"
#include "prim/prStartup.h"
#include "stack/scheduler.h"

TimerEntry timerEntries[timerEntryCount];
TimerEntry* armedTimer;
uint32_t timerActive;
TimerPlatform timerPlatform = {pdMicrosecondClock, pdSignalAtMicroseconds, pdTerminateTimer};

void initTime() { pdInitTime(); }

static void stopPlatformTimer() {
  if (!timerActive) return;
  timerActive = 0;
  timerPlatform.terminate();
}

// The earliest non-zero deadline is the one armed; a tie keeps A. A timer request not yet
// served belongs to the entry being replaced, so it is dropped.
void armEarliestTimer() {
  TimerEntry* candidate = timerEntries[0].deadline != 0 ? &timerEntries[0] : nullptr;
  TimerEntry* b = &timerEntries[1];
  if (b->deadline != 0 && (candidate == nullptr || b->deadline < candidate->deadline)) candidate = b;
  if (candidate == nullptr) {
    armedTimer = nullptr;
    stopPlatformTimer();
    return;
  }
  if (candidate == armedTimer) return;
  stopPlatformTimer();
  clearRequest(requestTimer);
  armedTimer = candidate;
  timerActive = 1;
  uint64_t retry = 0;
  if (timerPlatform.signalAt(candidate->deadline, &retry)) return;
  if (!timerPlatform.signalAt(retry, nullptr))
    doReportError("Unable to set feasible timer!", errCausePlatform, "src/ext/exTimer.c", __LINE__);
}

int setTimerEntry(uint64_t deadline, TimerCallback callback) {
  if (armedTimer != nullptr && armedTimer->callback == callback) armedTimer = nullptr;
  TimerEntry* slot = nullptr;
  for (TimerEntry& e : timerEntries)
    if (slot == nullptr && e.callback == callback) slot = &e;
  for (TimerEntry& e : timerEntries)
    if (slot == nullptr && e.callback == nullptr) slot = &e;
  if (slot == nullptr) return -1;
  slot->callback = callback;
  slot->deadline = deadline;
  armEarliestTimer();
  return (int)(slot - timerEntries);
}

// A deadline is never 0, which means "not set".
int setTimer(uint64_t delta, TimerCallback callback) {
  uint64_t deadline = 0;
  if (delta != 0) {
    deadline = timerPlatform.clock() + delta;
    if (deadline == 0) deadline = 1;
  }
  return setTimerEntry(deadline, callback);
}

// Request kind 1, and pdSignalAtMicroseconds for a deadline already due. An entry woken
// before its deadline (early, or armed at the far-ahead limit) is armed again.
void timeExpired() {
  if (armedTimer != nullptr) {
    TimerEntry* e = armedTimer;
    uint64_t now = timerPlatform.clock(), d = e->deadline;
    e->deadline = 0;
    if (now < d) {
      setTimerEntry(d, e->callback);
      armEarliestTimer();
      return;
    }
    armedTimer = nullptr;
    e->callback(d);
  }
  armEarliestTimer();
}

int isTimerActive() { return timerActive != 0; }

int isTimerSemaphoreTimerActive() {
  if (!timerActive) return 0;
  for (const TimerEntry& e : timerEntries)
    if (e.callback == signalTimerSemaphore) return 1;
  return 0;
}

// Each registration of the timer Semaphore fires once.
void signalTimerSemaphore(uint64_t) {
  if (timerSemaphoreX < 0) return;
  oop semaphore = sysOop((uint32_t)timerSemaphoreX);
  if (semaphore == nilOop()) return;
  registerSysOop(nilOop(), (uint32_t)timerSemaphoreX);
  asynchSignal(semaphore);
}

// Primitive 351: the microsecond clock.
static oop primMicrosecondClock(oop) {
  oop t = cUnsignedToOop(timerPlatform.clock());
  return t != 0 ? t : failPrimitive(primErrorAt(primErrNoSpace), 0);
}

// Primitive 352: signal a Semaphore at an absolute time (0 cancels); nil forgets the
// Semaphore and leaves the deadline.
static oop primSignalAtMicroseconds(oop, oop semaphore, oop deadline) {
  if (semaphore == nilOop()) {
    if (timerSemaphoreX >= 0) registerSysOop(nilOop(), (uint32_t)timerSemaphoreX);
    return nilOop();
  }
  uint64_t when;
  if (isImmediate(semaphore) || classTagOf(headerOf(semaphore)) != classIndexSemaphore ||
      !oopToQ64(deadline, &when) || timerSemaphoreX < 0)
    return failPrimitive(primErrorAt(primErrBadArgument), 2);
  registerSysOop(semaphore, (uint32_t)timerSemaphoreX);
  setTimerEntry(when, signalTimerSemaphore);
  return semaphore;
}

void initTimePrimitives() {
  setRequestServer(requestTimer, timeExpired);
  addCPrimitive(351, (const void*)primMicrosecondClock, 0);
  addCPrimitive(352, (const void*)primSignalAtMicroseconds, 2);
}
