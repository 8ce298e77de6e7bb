// Windows layer: the alarm thread behind the delay timer, the poll thread that makes the VM
// look at its input every 50 ms, the wake-up semaphore and the VM thread's idle wait.
// Owns the three semaphores and the thread states. Prefix: pd (pdSignalAtMicroseconds,
// pdTerminateTimer, pdWakeup, pdBeginCritical, ...); initAlarmSubsystem, idleWait, pumpMessages.
#include <process.h>

#include "ext/exError.h"
#include "prim/prTimer.h"
#include "ext/platform.h"
#include "mman/mmSysOop.h"
#include "platpc/ntCanvas.h"
#include "platpc/ntMain.h"
#include "platpc/ntSock.h"
#include "stack/nsupport.h"
#include "ext/exRequest.h"
#include "ext/exPrimTable.h"

// Every failure here is an Error of the platform, code 0x2400 with no number: fatal, so the
// process ends with status 9 rather than hang at its first Delay.
static const char alarmSource[] = __FILE__;
static void alarmFailure(const char* message, int line) { doReportError(message, errCausePlatform | errFatal, alarmSource, line); }

static HANDLE delaySemaphore, pollSemaphore, wakeupSemaphore;
static HANDLE alarmThreadHandle, pollThreadHandle;

// Each state is a request written by the VM thread and an echo written by the service thread
// once it acts on it: alarm 0 armed, 1 disarmed, 2 stop; poll 0 polling, 1 paused, 2 stop.
static volatile LONG alarmRequest = 1, alarmEcho = 2;
static volatile LONG pollRequest = 0, pollEcho = 2;
static volatile uint64_t wakeTime;  // pdMicrosecondClock time of the armed alarm
static int32_t pollNesting;         // depth of pdBeginCritical
volatile LONG vmThreadIdle;
volatile LONG sessionEnding;

// The longest finite wait: 2^32 - 2 milliseconds.
enum : uint64_t { longestAlarmMicroseconds = 4294967294000ULL };

// Milliseconds from now to when, rounded up so that a wait never ends early; at least 1.
static DWORD millisecondsUntil(uint64_t when, uint64_t now) {
  if (now >= when) return 1;
  uint64_t ms = (when - now + 999) / 1000;
  return ms >= INFINITE ? INFINITE - 1 : ms == 0 ? 1 : DWORD(ms);
}

static unsigned __stdcall alarmThread(void*) {
  for (;;) {
    LONG state = alarmRequest;
    alarmEcho = state;
    if (state == 2) return 0;
    DWORD timeout = state == 0 ? millisecondsUntil(wakeTime, pdMicrosecondClock()) : INFINITE;
    DWORD w = WaitForSingleObject(delaySemaphore, timeout);
    if (w == WAIT_FAILED) alarmFailure("delay semaphore WaitForSingleObject failed", __LINE__);
    if (w == WAIT_TIMEOUT) asyncSetRequest(requestTimer, 2, 0);
  }
}

static unsigned __stdcall pollThread(void*) {
  pollEcho = pollRequest;
  while (pollEcho != 2) {
    DWORD w = WaitForSingleObject(pollSemaphore, pollEcho == 0 ? 50 : INFINITE);
    if (w == WAIT_TIMEOUT && pollRequest == 0 && !vmThreadIdle) asyncSetRequest(requestInput, 2, 0);
    pollEcho = pollRequest;
  }
  return 0;
}

// The handshake: the state is in force once the thread echoes it.
static void handOver(volatile LONG* request, volatile LONG* echo, HANDLE semaphore, LONG state,
                     const char* failure, int line) {
  *request = state;
  if (!ReleaseSemaphore(semaphore, 1, nullptr)) alarmFailure(failure, line);
  while (*echo != state) Sleep(0);
}

static void setPollState(LONG state) {
  handOver(&pollRequest, &pollEcho, pollSemaphore, state, "couldn't signal poll semaphore", __LINE__);
}

static void setAlarmState(LONG state) {
  handOver(&alarmRequest, &alarmEcho, delaySemaphore, state, "couldn't signal delay semaphore", __LINE__);
}

void initAlarmSubsystem() {
  delaySemaphore = CreateSemaphoreW(nullptr, 0, 0xFFFF, nullptr);
  pollSemaphore = CreateSemaphoreW(nullptr, 0, 0xFFFF, nullptr);
  wakeupSemaphore = CreateSemaphoreW(nullptr, 0, 1, nullptr);
  if (delaySemaphore == nullptr || pollSemaphore == nullptr || wakeupSemaphore == nullptr)
    alarmFailure("couldn't create alarm subsystem semaphores", __LINE__);
  alarmThreadHandle = HANDLE(_beginthreadex(nullptr, 0, alarmThread, nullptr, 0, nullptr));
  pollThreadHandle = HANDLE(_beginthreadex(nullptr, 0, pollThread, nullptr, 0, nullptr));
  if (alarmThreadHandle == nullptr || pollThreadHandle == nullptr)
    alarmFailure("couldn't create alarm subsystem threads", __LINE__);
  if (!SetThreadPriority(alarmThreadHandle, THREAD_PRIORITY_TIME_CRITICAL) ||
      !SetThreadPriority(pollThreadHandle, THREAD_PRIORITY_ABOVE_NORMAL))
    alarmFailure("couldn't set alarm subsystem thread priorities", __LINE__);
  while (alarmEcho != 1) Sleep(0);
  if (pollEcho != 0) setPollState(0);
}

int pdSignalAtMicroseconds(uint64_t when, uint64_t* retryAt) {
  uint64_t now = pdMicrosecondClock();
  if (now >= when) {
    timeExpired();
    return 1;
  }
  if (when - now > longestAlarmMicroseconds) {
    if (retryAt != nullptr) *retryAt = now + longestAlarmMicroseconds;
    return 0;
  }
  if (alarmRequest != 1) setAlarmState(1);
  wakeTime = when;
  alarmRequest = 0;
  if (!ReleaseSemaphore(delaySemaphore, 1, nullptr)) alarmFailure("couldn't signal delay semaphore", __LINE__);
  return 1;
}

void pdTerminateTimer() {
  alarmRequest = 1;
  if (delaySemaphore == nullptr || alarmEcho == 1) return;
  setAlarmState(1);
}

uint64_t alarmWakeTime() { return alarmRequest == 0 ? wakeTime : 0; }

// Called by pdExit: the threads end before the process does.
void stopAlarmAndPollThreads() {
  if (pollThreadHandle != nullptr && pollEcho != 2) setPollState(2);
  if (alarmThreadHandle != nullptr && alarmEcho != 2) setAlarmState(2);
}

void pausePollThread(int stop) {
  if (pollThreadHandle != nullptr && pollEcho == 0) setPollState(stop ? 2 : 1);
}

void resumePollThread() {
  if (pollThreadHandle != nullptr && pollEcho != 0 && pollEcho != 2) setPollState(0);
}

void pdBeginCritical() {
  if (pollNesting++ == 0) pausePollThread(0);
}

void pdEndCritical() {
  if (pollNesting-- >= 2) return;
  pollNesting = 0;
  resumePollThread();
}

void pdResetCritical() { pollNesting = 0; }

// Wakes the VM thread when it is idle or when force's low byte asks for it; a semaphore
// that is already released stays so.
void pdWakeup(int, int force) {
  if (!vmThreadIdle && (force & 0xFF) == 0) return;
  if (wakeupSemaphore != nullptr && ReleaseSemaphore(wakeupSemaphore, 1, nullptr)) return;
  if (wakeupSemaphore != nullptr && GetLastError() == ERROR_TOO_MANY_POSTS) return;
  alarmFailure("couldn't signal wakeup semaphore", __LINE__);
}

// ---- The VM thread's side ------------------------------------------------------------------

void pumpMessages() {
  MSG m;
  while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE | PM_NOYIELD)) {
    TranslateMessage(&m);
    DispatchMessageW(&m);
  }
}

// Sleeps until the alarm is due, a request is posted or a window message arrives; the poll
// thread rests meanwhile. The input is looked at next.
void idleWait() {
  DWORD ms = INFINITE;
  if (alarmRequest == 0) {
    uint64_t now = pdMicrosecondClock(), due = wakeTime;
    if (now >= due) return;
    ms = millisecondsUntil(due, now);
  }
  // Cached window DCs are given back before a wait that may be long.
  if (releaseCachedDCsHook != nullptr) releaseCachedDCsHook();
  pausePollThread(0);
  vmThreadIdle = 1;
  MSG m;
  if (!PeekMessageW(&m, nullptr, 0, 0, PM_NOREMOVE) && !anyRequestsPending())
    MsgWaitForMultipleObjects(1, &wakeupSemaphore, FALSE, ms, QS_ALLINPUT);
  vmThreadIdle = 0;
  resumePollThread();
  setRequest(requestInput);
}

static void blockUntilEvent() {
  if (InterlockedExchange(&sessionEnding, 0)) resumePollThread();
  idleWait();
  pumpMessages();
}

// The input request: the sockets' events, the VM thread's window messages, then the events
// the window procedures queued on the command-window thread.
static void synchronizeInput() {
  if (sessionEnding) return;
  signalSocketEvents();
  pumpMessages();
  drainHostEvents(deliverHostEvent);
}

void (*pdBlockUntilEvent)() = blockUntilEvent;
void (*pdSynchronizeInput)() = synchronizeInput;

// Primitive 387: the pending requests served, the message queue pumped.
static oop primPumpMessages(oop) {
  pumpMessages();
  return anyRequestsPending() ? commitPrimitiveAndHandleRequests(nilOop()) : nilOop();
}

void initAlarmPrims() { addCPrimitive(387, (const void*)primPumpMessages, 0); }

// This layer has no profiling timer: a profiler started here collects no samples.
void pdStartProfileTimer() {}
int pdStopProfileTimer(int) { return 0; }
