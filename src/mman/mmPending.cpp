// Object memory: definitions of the state that components not yet built own.
// Owns the scavenger and low-space flags and the provisional primitive failure.
// Prefix: none (failPrimitive).
#include "mman/mmPending.h"

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

// Not built yet: the scheduler resumes a waiting process; until then the signal is kept as
// an excess signal.
void asynchSignal(oop semaphore) {
  asynchSignalCount++;
  if (isImmediate(semaphore) || bodyWordsOf(headerOf(semaphore)) <= semaphoreExcessSignalsSlot) return;
  oop* excess = &bodyOf(headerOf(semaphore))[semaphoreExcessSignalsSlot];
  *excess = smallIntegerFor(isSmallInteger(*excess) ? smallIntegerValue(*excess) + 1 : 1);
}

// Not built yet: commits nothing (no frames exist); serves the requests, answers result.
oop commitPrimitiveAndHandleRequests(oop result) {
  handleRequests();
  return result;
}
// Not built yet: the stack zone scans the frames' slots through copyAndForward.
void scavengeStacks() {}
// Not built yet: native methods and the method cache hold no new-space references so far.
void nmUpdateNewRefs() {}
void purgeDeadClassesFromMCache() {}
// Not built yet: the incremental collector's hooks.
void addToIncWeakListFunc(oop) {}
void incGCObjWeaknessChanged(oop, bool) {}
void incGCObjEphemeronnessChanged(oop, bool) {}
// Not built yet: the primitive commit protocol and the stack zone; nothing to do until then.
int commitPrimitive() { return 1; }
int stabilizeAllStacks() { return 1; }
// Not built yet: generated code that holds eden's warning limit.
void tranNoteEdenWarningThresholdChanged() {}
