// Object memory: the finalization and ephemeron queue and the primitives that make objects weak.
// Owns the queue window finalQueueBase..finalQueueEnd. Prefix: none (initFinalQueue, addTo...).
#pragma once
#include <cstdint>

#include "mman/mmObject.h"

// Addresses into the body of the FinalQueue (registry slot 34). Invariant "queue window":
// base <= read <= write <= end; the queue is empty when write - read < 8 bytes.
extern uint64_t finalQueueBase;      // first indexed slot
extern uint64_t finalQueueRead;      // next entry to hand out
extern uint64_t finalQueueWrite;     // next free slot
extern uint64_t finalQueueEnd;       // end of the body
extern int64_t finalQueueOverflow;   // entries lost since the last fetch
extern int64_t finalizationSemaphoreX;  // registry index of the Semaphore, -1 = none
extern uint32_t classPageMourned;       // a class-table page entry died: purge the method cache

enum : uint64_t { finalQueueInitialSlots = 100 };

// Start-up: creates the queue when slot 34 holds nil (fatal when it cannot), then sets the
// window from the object: the write point is the first nil slot from the base.
void initFinalQueue();

// A weak object whose slot a collector cleared; a class-table page is mourned instead. Past a
// loss nothing more is stored until the next fetch, so that order is kept.
void addToFinalQueue(oop object);
// Room for n ephemerons before they are queued: 1, or 0 with the shortfall added to the
// overflow count.
int reserveOnEphemeronQueue(uint64_t n);
// Stores a reserved entry; the ephemeron becomes an ordinary object, never queued twice.
void addToEphemeronQueue(oop ephemeron);
// End of every collection: purges the method cache after a mourned page, and signals the
// registered Semaphore when the queue holds entries or lost some.
void signalFinalizationSemaphoreIfRequired();
void shiftFinalQueueEntries();
void shrinkFinalQueue();
// After the queue's body moved: the window keeps its distances from the body's start.
void updateFinalQueuePtrs(int flag);
// Registers primitives 300, 301 and 465-469.
void initFinalizationPrims();
