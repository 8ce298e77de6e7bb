// Object memory: finalization and ephemeron queue (its start-up; queueing comes later).
// Owns the queue window finalQueueBase..finalQueueEnd. Prefix: none (initFinalQueue).
#pragma once
#include <cstdint>

// Addresses into the body of the FinalQueue (registry slot 34). Invariant "queue window":
// base <= read <= write <= end; the queue is empty when write - read < 8 bytes.
extern uint64_t finalQueueBase;      // first indexed slot
extern uint64_t finalQueueRead;      // next entry to hand out
extern uint64_t finalQueueWrite;     // next free slot
extern uint64_t finalQueueEnd;       // end of the body
extern int64_t finalQueueOverflow;   // entries lost since the last fetch
extern int64_t finalizationSemaphoreX;  // registry index of the Semaphore, -1 = none

enum : uint64_t { finalQueueInitialSlots = 100 };

// Start-up: creates the queue when slot 34 holds nil (fatal when it cannot), then sets the
// window from the object: the write point is the first nil slot from the base.
void initFinalQueue();
