// Object memory: definitions of the state that components not yet built own.
// Owns the scavenger and low-space flags.
// Prefix: none.
#include "mman/mmPending.h"

uint64_t lowSpaceLimit;
PendingCounters pending;
uint64_t stackSpaceSlots;

// Not built yet: generated code that holds eden's warning limit.
void tranNoteEdenWarningThresholdChanged() {}

PendingCalls pendingCalls;

