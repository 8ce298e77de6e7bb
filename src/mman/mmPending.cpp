// Object memory: definitions of the state that components not yet built own.
// Owns the scavenger and low-space flags and the provisional primitive failure.
// Prefix: none (failPrimitive).
#include "mman/mmPending.h"

#include "mman/mmRt.h"

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

int64_t scavengeSemaphoreX;

// ---- Stand-ins, not built yet (see mmPending.h).
PendingCalls pendingCalls;

void commitPrimitive(oop result) {
  pendingCalls.commits += 1;
  pendingCalls.stackTop = result;
}

oop commitPrimitiveAndHandleRequests(oop result) {
  pendingCalls.resumes += 1;
  pendingCalls.stackTop = result;
  handleRequests();
  return pendingCalls.stackTop;
}

oop topOfStack(oop context) { return context == 0 ? pendingCalls.stackTop : 0; }

oop stabilizeThisContext(oop context, int) {
  pendingCalls.stabilizes += 1;
  if (pendingCalls.refuseStabilize) return 0;
  ObjectHeader* h = headerOf(context);
  if (classTagOf(h) == 8 || classTagOf(h) == 9) setClassTag(h, classTagOf(h) + 3);
  return context;
}

int reifyAllStacks() {
  pendingCalls.reifies += 1;
  return pendingCalls.refuseReify ? 0 : 1;
}

int scavengeTenuringInstancesOf(uint32_t) { return pendingCalls.tenures += 1, 1; }
int scavengeTenuringOwnersOf(oop) { return pendingCalls.tenures += 1, 1; }
int scavengeTenuringEveryone() { return pendingCalls.tenures += 1, 1; }
int flushEden() { return pendingCalls.edenFlushes += 1, 1; }
void incGCObjClassChanged(oop, int, int) { pendingCalls.classChanges += 1; }

oop CLoadContextInstVar(oop context, uint64_t byteOffset) { return slotOf(context, byteOffset / 8); }
oop storeContextInstVar(oop context, oop value, uint64_t index) {
  storeSlot(context, index, value, "src/mman/mmPending", __LINE__);
  return value;
}
oop contextInstVarNoReify(oop context, uint64_t index) { return slotOf(context, index); }
