// Object memory: definitions of the state that components not yet built own.
// Owns the scavenger and low-space flags.
// Prefix: none.
#include "mman/mmPending.h"

uint64_t lowSpaceLimit;
PendingCounters pending;
uint64_t stackSpaceSlots;

PendingCalls pendingCalls;

