// Windows layer: the microsecond clock, the performance counter steered towards the system
// time. Owns the clock state and clockSource. Prefix: pd (pdInitTime, pdMicrosecondClock),
// none (counterMicroseconds, resyncClock, fileTimesToSeconds).
#include <cmath>

#include "ext/exCounter.h"
#include "ext/exError.h"
#include "ext/platform.h"
#include "platpc/ntMain.h"

static BOOL readCounter(uint64_t* count) {
  LARGE_INTEGER c;
  if (!QueryPerformanceCounter(&c)) return FALSE;
  *count = uint64_t(c.QuadPart);
  return TRUE;
}

static BOOL readFrequency(uint64_t* perSecond) {
  LARGE_INTEGER f;
  if (!QueryPerformanceFrequency(&f) || f.QuadPart <= 0) return FALSE;
  *perSecond = uint64_t(f.QuadPart);
  return TRUE;
}

static void readSystemTime(uint64_t* fileTime) {
  FILETIME t;
  GetSystemTimeAsFileTime(&t);
  *fileTime = (uint64_t(t.dwHighDateTime) << 32) | t.dwLowDateTime;
}

ClockSource clockSource = {readCounter, readFrequency, readSystemTime};
volatile LONG powerEventFlag;

// The clock state. Readers take a consistent copy under the sequence word (odd while a
// writer changes it); writers, the VM and the alarm thread, hold the lock, so that a
// correction is applied once however many readers found it due.
struct ClockState {
  int64_t offset;         // clock microseconds minus counter microseconds at lastSync
  int64_t lastSync;       // counter microseconds of the last synchronisation
  double drift;           // correction rate per counter microsecond, within [-0.25, 0.25]
  double previousError;   // the error rate of the previous correction
};
static ClockState clockState;
static volatile LONG clockSequence;
static CRITICAL_SECTION clockLock;
static INIT_ONCE clockLockOnce = INIT_ONCE_STATIC_INIT;
static uint64_t counterFrequency;  // 0: wall-clock mode, the system time alone
enum : int64_t { correctionWindow = 10000000 };  // counter microseconds between corrections

static BOOL CALLBACK makeClockLock(INIT_ONCE*, void*, void**) {
  InitializeCriticalSection(&clockLock);
  return TRUE;
}

static void lockClock() {
  InitOnceExecuteOnce(&clockLockOnce, makeClockLock, nullptr, nullptr);
  EnterCriticalSection(&clockLock);
}

static ClockState readClockState() {
  for (;;) {
    LONG before = clockSequence;
    MemoryBarrier();
    ClockState s = clockState;
    MemoryBarrier();
    if ((before & 1) == 0 && before == clockSequence) return s;
    YieldProcessor();
  }
}

// Under the lock.
static void writeClockState(const ClockState& s) {
  InterlockedIncrement(&clockSequence);
  clockState = s;
  InterlockedIncrement(&clockSequence);
}

uint64_t counterMicroseconds() {
  uint64_t count;
  if (!clockSource.counter(&count))
    REPORT_ERROR("No hires timer present; can't provide microsecond clock", errContact | errCausePlatform | errFatal);
  return countToMicroseconds(count, counterFrequency);
}

static uint64_t systemMicroseconds() {
  uint64_t t;
  clockSource.systemTime(&t);
  return (t - fileTimeOf1901) / 10;
}

uint64_t resyncClock() {
  lockClock();
  uint64_t now = systemMicroseconds();
  int64_t counter = int64_t(counterMicroseconds());
  InterlockedExchange(&powerEventFlag, 0);
  writeClockState({int64_t(now) - counter, counter, 0.0, 0.0});
  LeaveCriticalSection(&clockLock);
  return now;
}

// A reading at least correctionWindow after the last synchronisation compares the estimate
// with the system time and steers the drift by the error rate; an error of 10 % or more
// resynchronises. Under the lock (which resyncClock takes again: it is re-entrant), and only
// when no other thread made this correction first.
static int64_t correctClock(int64_t a) {
  lockClock();
  ClockState s = clockState;
  int64_t elapsed = a - s.lastSync;
  int64_t c = int64_t(std::floor(double(elapsed) * s.drift));
  int64_t estimate = s.offset + c + a;
  if (elapsed >= correctionWindow) {
    double f = double(int64_t(systemMicroseconds()) - estimate) / double(elapsed);
    if (f >= 0.1 || f <= -0.1) {
      estimate = int64_t(resyncClock());
    } else {
      double drift = s.drift + f - s.previousError * 0.5;
      drift = drift > 0.25 ? 0.25 : drift < -0.25 ? -0.25 : drift;
      writeClockState({s.offset + c, a, drift, f});
    }
  }
  LeaveCriticalSection(&clockLock);
  return estimate;
}

uint64_t pdMicrosecondClock() {
  if (counterFrequency == 0) return systemMicroseconds();
  if (powerEventFlag) return resyncClock();
  int64_t a = int64_t(counterMicroseconds());
  ClockState s = readClockState();
  int64_t elapsed = a - s.lastSync;
  int64_t estimate = s.offset + int64_t(std::floor(double(elapsed) * s.drift)) + a;
  if (elapsed >= correctionWindow) return uint64_t(correctClock(a));
  return uint64_t(estimate);
}

void startClock() {
  uint64_t f = 0;
  counterFrequency = clockSource.frequency(&f) ? f : 0;
  if (counterFrequency != 0) resyncClock();
}

void pdInitTime() {
  startClock();
  initAlarmSubsystem();
}

// Seconds since 1901 as 32 bits: past 2^31 (in 1969) the count keeps its unsigned pattern.
void fileTimesToSeconds(int count, const FILETIME* fileTimes, uint32_t* seconds) {
  for (int i = 0; i < count; i++) {
    uint64_t t = (uint64_t(fileTimes[i].dwHighDateTime) << 32) | fileTimes[i].dwLowDateTime;
    seconds[i] = t == 0 ? 0 : uint32_t((t - fileTimeOf1901) / 10000000);
  }
}
