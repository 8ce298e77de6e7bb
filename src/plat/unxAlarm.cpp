// Unix layer: the one-shot delay timer (ITIMER_REAL, whose SIGALRM posts request 1), the
// help the idle wait needs from it, and the profiling timer.
// Owns sysClockResolution. Prefix: pd (pdInitTime, pdSignalAtMicroseconds, ...), pollTimeout.
#include <cerrno>
#include <climits>
#include <sys/time.h>
#include <unistd.h>

#include "ext/exError.h"
#include "ext/exRequest.h"
#include "ext/platform.h"
#include "plat/unxMain.h"
#include "prim/prTimer.h"

static const char alarmSource[] = "src/plat/unxAlarm.c";

uint32_t sysClockResolution = 10;  // milliseconds of one clock tick

// A tick rate that cannot be read, or reads 0, counts as 100 per second.
uint32_t clockResolutionFor(long ticksPerSecond) {
  if (ticksPerSecond <= 0) return 10;
  return (uint32_t)((4000 / ticksPerSecond + 3) >> 2);
}

void pdInitTime() { sysClockResolution = clockResolutionFor(sysconf(_SC_CLK_TCK)); }

int pdSignalAtMicroseconds(uint64_t when, uint64_t* retryOut) {
  uint64_t now = pdMicrosecondClock();
  if (now >= when) {
    timeExpired();
    return 1;
  }
  uint64_t delta = when - now;
  if (delta > farAheadMicroseconds) {
    if (retryOut != nullptr) *retryOut = now + farAheadMicroseconds;
    return 0;
  }
  struct itimerval t = {};
  t.it_value.tv_sec = (time_t)(delta / 1000000);
  t.it_value.tv_usec = (suseconds_t)(delta % 1000000);
  if (setitimer(ITIMER_REAL, &t, nullptr) != 0)
    doReportError("Unable to set timer", errCausePlatform, alarmSource, __LINE__);
  return 1;
}

void pdTerminateTimer() {
  struct itimerval zero = {};
  if (setitimer(ITIMER_REAL, &zero, nullptr) != 0)
    doReportError("Unable to clear delay timer", errCausePlatform, alarmSource, __LINE__);
}

// Milliseconds left on ITIMER_REAL, or -1 when it cannot be read.
static int64_t remainingMilliseconds() {
  struct itimerval t;
  if (getitimer(ITIMER_REAL, &t) != 0) return -1;
  return (int64_t)t.it_value.tv_usec / 1000 + (int64_t)t.it_value.tv_sec * 1000;
}

// Posts the timer request for an expiry whose signal was not seen: with force, when at
// most a clock tick remains.
int pdCheckTimer(int force) {
  if (isRequested(requestTimer) || !isTimerSemaphoreTimerActive()) return 0;
  int64_t remaining = remainingMilliseconds();
  if (remaining < 0) {
    doReportError("Unable to get timer", errCausePlatform, alarmSource, __LINE__);
    return 0;
  }
  if (force ? remaining > (int64_t)sysClockResolution : remaining != 0) return 0;
  setRequest(requestTimer);
  return 1;
}

// How long the idle poll may sleep: one clock tick beyond the timer, clamped to poll's range.
int pollTimeout() {
  if (!isTimerActive()) return -1;
  int64_t remaining = remainingMilliseconds();
  int64_t ms = remaining < 0 ? 2 * (int64_t)sysClockResolution : remaining + sysClockResolution;
  return ms > INT_MAX ? INT_MAX : (int)ms;
}

// Samples every millisecond of the process's CPU time (SIGPROF; its handler is installed by
// registerSignal).
void pdStartProfileTimer() {
  registerSignal(SIGPROF);
  struct itimerval t = {};
  t.it_value.tv_usec = 1000;
  t.it_interval.tv_usec = 1000;
  if (setitimer(ITIMER_PROF, &t, nullptr) != 0)
    doReportError("Unable to set profile timer", errCausePlatform, alarmSource, __LINE__);
}

int pdStopProfileTimer(int quiet) {
  struct itimerval zero = {};
  int r = setitimer(ITIMER_PROF, &zero, nullptr);
  if (r != 0 && !quiet) doReportError("Unable to clear profile timer", errCausePlatform, alarmSource, __LINE__);
  return r;
}
