// Start-up: the two logical timers over the platform's one delay timer, and primitives
// 351 and 352. Owns the TimerEntry slots, the armed entry and isTimerActive.
// Prefix: none (setTimer, setTimerEntry, armEarliestTimer, timeExpired, initTime).
#pragma once
#include <cstdint>

typedef void (*TimerCallback)(uint64_t deadline);

// The farthest a platform timer is armed ahead (about 365.2 days), in microseconds.
enum : uint64_t { farAheadMicroseconds = 0x1CB300000000 };

// One logical timer: bound to the first callback that uses it, for the life of the process.
struct TimerEntry {
  uint64_t deadline;       // pdMicrosecondClock time; 0 = not set
  TimerCallback callback;  // null until bound
};
enum { timerEntryCount = 2 };
extern TimerEntry timerEntries[timerEntryCount];  // A, B
extern TimerEntry* armedTimer;                    // the entry given to the platform, or null
extern uint32_t timerActive;                      // the platform timer is armed by this layer

// The platform services the timers use; the pd functions unless a test puts a fake clock here.
struct TimerPlatform {
  uint64_t (*clock)();
  int (*signalAt)(uint64_t when, uint64_t* retryOut);  // 1 armed or ran, 0 too far ahead
  void (*terminate)();
};
extern TimerPlatform timerPlatform;

void initTime();
void initTimePrimitives();
int setTimer(uint64_t delta, TimerCallback callback);
int setTimerEntry(uint64_t deadline, TimerCallback callback);
void armEarliestTimer();
void timeExpired();
int isTimerActive();
int isTimerSemaphoreTimerActive();
void signalTimerSemaphore(uint64_t deadline);
