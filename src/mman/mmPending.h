// Object memory: state that components not yet built own (requests, new space, scavenger,
// memory policy), kept here so that old space and the barrier stand alone.
// Prefix: none. Each name is the owner's; the owner's own definition replaces this file's.
#pragma once
#include <cstdint>

#include "mman/mmObject.h"

#include "mman/mmNewSpace.h"

#include "mman/mmScavenge.h"  // scavengeInProgress, tenureToShrinkRememberedTable, numScavenges
extern uint64_t lowSpaceLimit;                  // bytes; 0 = no low-space check

// Counters of the collectors that memory statistics (primitive 326) report; they stay 0
// until their owners exist.
struct PendingCounters {
  uint64_t incSweepEntriesScanned, incSweepObjectsFreed, incSweepBytesFreed;
  uint64_t stackCompactCount, numCompactNMethods;
};
extern PendingCounters pending;

// Primitive failure is the execution engine's protocol.
#include "stack/nsupport.h"

// Words of the stack zone, set by start-up until the stack zone is built.
extern uint64_t stackSpaceSlots;
inline uint64_t realSlotsInStackSpace() { return stackSpaceSlots; }

// Signalling a Semaphore from an asynchronous source is the scheduler's.
enum : uint32_t { semaphoreExcessSignalsSlot = 2 };

// Callees of the collectors whose owners are not built yet.
#include "ext/exRequest.h"
#include "stack/scheduler.h"
#include "tran/nmalloc.h"  // nmUpdateNewRefs
#include "tran/txmem.h"    // purgeDeadClassesFromMCache
#include "tran/tprim.h"    // tranNoteEdenWarningThresholdChanged
// The stack zone's own (scavengeStacks, stabilizeAllStacks) and the commit protocol.
#include "stack/stackzone.h"

// Calls of the incremental collector's class hook (the object primitives' tests read it).
struct PendingCalls {
  uint64_t classChanges;  // incGCObjClassChanged
};
extern PendingCalls pendingCalls;

#include "mman/mmIncGC.h"  // the incremental collector's hooks
