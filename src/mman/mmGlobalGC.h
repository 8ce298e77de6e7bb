// Object memory: the global mark-sweep collector and its primitives (138, 322, 325, 448).
// Owns the global collector's counters and work areas. Prefix: none (collectGarbage, ...).
#pragma once
#include <cstdint>
#include <cstdio>

#include "mman/mmObject.h"

extern uint64_t numGCs;                      // primitive 138's collections
extern uint64_t numGlobalGCs;                // collections that include perm space
extern uint64_t numMarkStackOverflows;       // rescans after the mark stack filled
extern uint64_t numWeakObjectListOverflows;  // weak objects or ephemerons scanned as strong

// Test hooks: caps on the mark area and the weak/ephemeron list area, in bytes (0 = none).
extern uint64_t gcMarkAreaCap;     // caps the mark stack's area
extern uint64_t gcScratchAreaCap;  // caps the weak and ephemeron lists' area
// Benchmark hook: called as marking starts (0) and when it has ended (1); null = none.
extern void (*gcMarkPhaseHook)(int ended);

// Marks everything reachable from the registry (perm objects count as marked), clears weak
// slots to the empty-slot marker, queues ephemerons whose keys died, frees the unmarked
// objects of every space and compacts old space, moving headers as well as bodies (every
// reference follows). Answers 1, or 0 when the stacks could not be stabilized (nothing
// changed). includePerm: perm space is absorbed and collected like old space, its table
// packed within itself, then restored.
int collectGarbage(int includePerm);
// Under the stress switch: a fatal report when the registry or one of its slots names a
// freed or moved entry.
void sysOopRegistryPostGCChecks();

void printGCUsageTo(FILE* stream);

// TESSEL_GC_STRESS=N: every Nth scavenge served for request 6 is followed by a collection
// bracketed by verifyHeap; a fault is a fatal report naming it. 0 = off.
extern uint64_t gcStressInterval;
uint64_t initGCStress();
// Request 6's hook: counts the scavenge and runs the stressed collection when due.
void gcStressAfterScavenge();

// Request 8: the low-space limit is dropped and the registered low-space Semaphore, if any,
// is signalled once.
void lowSpaceResponse();
extern int64_t lowSpaceSemaphoreX;  // registry slot of the low-space Semaphore, -1 = none yet
// Bytes of free old space under which allocation posts the low-space request; 0 = no check.
// Primitive 112 sets it with the Semaphore; the response drops it.
extern uint64_t lowSpaceLimit;

// Registers primitives 112, 116 (the low-space Semaphore), 138, 322, 325, 406 and 448 and
// installs request 8's server.
void initGarbagePrims();
