// Object memory: state that components not yet built own (requests, new space, scavenger,
// memory policy, primitive failure), kept here so that old space and the barrier stand alone.
// Prefix: none. Each name is the owner's; the owner's own definition replaces this file's.
#pragma once
#include <cstdint>

#include "mman/mmObject.h"

#include "mman/mmNewSpace.h"
#include "stack/vmsupport.h"

#include "mman/mmScavenge.h"  // scavengeInProgress, tenureToShrinkRememberedTable, numScavenges
extern uint64_t lowSpaceLimit;                  // bytes; 0 = no low-space check

// Counters of the collectors that memory statistics (primitive 326) report; they stay 0
// until their owners exist.
struct PendingCounters {
  uint64_t numIncGCs, numGCs, numGlobalGCs;
  uint64_t numMarkStackOverflows, numWeakObjectListOverflows;
  uint64_t incGCAbortedCount, incGCMarkStackOverflows;
  uint64_t incGCWeakCount, incGCWeakBytes, incGCWeakNilCount, incGCWeakNilBytes, incUnmarkCount;
  uint64_t incSweepEntriesScanned, incSweepObjectsFreed, incSweepBytesFreed;
  uint64_t stackCompactCount, numCompactNMethods;
};
extern PendingCounters pending;

// Primitive failure: the provisional form records the error and answers 0; the execution
// engine's protocol takes over the name.
struct PrimFailure {
  uint64_t failed;   // 1 after failPrimitive
  oop errorOop;      // the error object handed over
  uint64_t numArgs;  // argument count handed over
};
extern PrimFailure primFailure;
oop failPrimitive(oop errorOop, uint64_t numArgs);

// Words of the stack zone, set by start-up until the stack zone is built.
extern uint64_t stackSpaceSlots;
inline uint64_t realSlotsInStackSpace() { return stackSpaceSlots; }

// Signalling a Semaphore from an asynchronous source (timer, descriptor, signal). Not built
// yet: the scheduler's own asynchSignal (waking a waiting Process) replaces this; here only
// the no-waiter half runs: excessSignals (slot 2) + 1. asynchSignalCount counts the calls.
extern uint64_t asynchSignalCount;
void asynchSignal(oop semaphore);
enum : uint32_t { semaphoreExcessSignalsSlot = 2 };

// Callees of the collectors whose owners are not built yet.
void scavengeStacks();            // stack roots: not built yet, scans nothing
void nmUpdateNewRefs();           // native-method new references: not built yet, nothing to do
void purgeDeadClassesFromMCache();  // method cache: not built yet, nothing to purge
void addToIncWeakListFunc(oop object);  // incremental collector hooks: not built yet, no-ops
void incGCObjWeaknessChanged(oop object, bool weak);
void incGCObjEphemeronnessChanged(oop object, bool ephemeron);
int commitPrimitive();             // primitive protocol not built yet: succeeds
int stabilizeAllStacks();          // stack zone not built yet: succeeds
void tranNoteEdenWarningThresholdChanged();  // translator not built yet: nothing holds the limit

// ---- Stand-ins, not built yet: the commit protocol with a result, the stack zone's
// reification, the context accessors and the incremental collector's class hook. Each
// records its calls; the owners' definitions replace them.
struct PendingCalls {
  uint64_t commits;          // commitPrimitive
  uint64_t resumes;          // commitPrimitiveAndHandleRequests
  uint64_t stabilizes;       // stabilizeThisContext
  uint64_t reifies;          // reifyAllStacks
  uint64_t classChanges;     // incGCObjClassChanged
  oop stackTop;              // the word topOfStack(0) answers: the last committed result
  uint32_t refuseStabilize;  // 1: stabilizeThisContext answers 0
  uint32_t refuseReify;      // 1: reifyAllStacks answers 0
};
extern PendingCalls pendingCalls;

// Commit with a result: it becomes the top of the current stack.
void commitPrimitive(oop result);
// Commits the result, serves pending requests and answers the stack top.
oop commitPrimitiveAndHandleRequests(oop result);
// The top of a context's stack; 0 means the current stack.
oop topOfStack(oop context);
// A hybrid context (class index 8, 9) becomes stable (11, 12); 0 when refused.
oop stabilizeThisContext(oop context, int mayFail);
int reifyAllStacks();
void incGCObjClassChanged(oop object, int wasWeak, int wasEphemeron);
// Context slots read and written as stored (frames are not built yet).
oop CLoadContextInstVar(oop context, uint64_t byteOffset);
oop storeContextInstVar(oop context, oop value, uint64_t index);
oop contextInstVarNoReify(oop context, uint64_t index);
