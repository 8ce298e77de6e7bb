// Object memory: definitions of the state that components not yet built own.
// Owns the scavenger and low-space flags.
// Prefix: none.
#include "mman/mmPending.h"

uint64_t lowSpaceLimit;
PendingCounters pending;
uint64_t stackSpaceSlots;

uint64_t asynchSignalCount;

// Not built yet: the scheduler resumes a waiting process; until then the signal is kept as
// an excess signal.
void asynchSignal(oop semaphore) {
  asynchSignalCount++;
  if (isImmediate(semaphore) || bodyWordsOf(headerOf(semaphore)) <= semaphoreExcessSignalsSlot) return;
  oop* excess = &bodyOf(headerOf(semaphore))[semaphoreExcessSignalsSlot];
  *excess = smallIntegerFor(isSmallInteger(*excess) ? smallIntegerValue(*excess) + 1 : 1);
}

// Not built yet: native methods and the method cache hold no new-space references so far.
void nmUpdateNewRefs() {}
void purgeDeadClassesFromMCache() {}
// Not built yet: generated code that holds eden's warning limit.
void tranNoteEdenWarningThresholdChanged() {}

PendingCalls pendingCalls;
