// Object memory: definitions of the state that components not yet built own.
// Owns the scavenger and low-space flags and the provisional primitive failure.
// Prefix: none (failPrimitive).
#include "mman/mmPending.h"

#include "mman/mmRt.h"

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

void incGCObjClassChanged(oop, int, int) { pendingCalls.classChanges += 1; }

oop CLoadContextInstVar(oop context, uint64_t byteOffset) { return slotOf(context, byteOffset / 8); }
oop storeContextInstVar(oop context, oop value, uint64_t index) {
  storeSlot(context, index, value, "src/mman/mmPending", __LINE__);
  return value;
}
oop contextInstVarNoReify(oop context, uint64_t index) { return slotOf(context, index); }
