// Object memory: definitions of the state that components not yet built own.
// Owns the scavenger and low-space flags and the provisional primitive failure.
// Prefix: none (failPrimitive).
#include "mman/mmPending.h"

uint32_t scavengeInProgress;
uint32_t tenureToShrinkRememberedTable;
uint64_t lowSpaceLimit;
PendingCounters pending;
PrimFailure primFailure;

oop failPrimitive(oop errorOop, uint64_t numArgs) {
  primFailure.failed = 1;
  primFailure.errorOop = errorOop;
  primFailure.numArgs = numArgs;
  return 0;
}
uint64_t stackSpaceSlots;

uint64_t asynchSignalCount;

// Not built yet: the no-waiter half of the scheduler's asynchSignal.
void asynchSignal(oop semaphore) {
  asynchSignalCount++;
  oop* body = bodyOf(headerOf(semaphore));
  body[semaphoreExcessSignalsSlot] = smallIntegerFor(smallIntegerValue(body[semaphoreExcessSignalsSlot]) + 1);
}

// Not built yet: commits nothing (no frames exist); serves the requests, answers result.
oop commitPrimitiveAndHandleRequests(oop result) {
  handleRequests();
  return result;
}
int64_t scavengeSemaphoreX;
