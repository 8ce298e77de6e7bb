// Object memory: definitions of the state that components not yet built own.
// Owns the scavenger and low-space flags.
// Prefix: none.
#include "mman/mmPending.h"

uint32_t scavengeInProgress;
uint32_t tenureToShrinkRememberedTable;
uint64_t lowSpaceLimit;
PendingCounters pending;
uint64_t stackSpaceSlots;

uint64_t asynchSignalCount;

// Not built yet: the no-waiter half of the scheduler's asynchSignal.
void asynchSignal(oop semaphore) {
  asynchSignalCount++;
  oop* body = bodyOf(headerOf(semaphore));
  body[semaphoreExcessSignalsSlot] = smallIntegerFor(smallIntegerValue(body[semaphoreExcessSignalsSlot]) + 1);
}

int64_t scavengeSemaphoreX;
