// Object memory: definitions of the state that components not yet built own.
// Owns the scavenger and low-space flags and the provisional primitive failure.
// Prefix: none (failPrimitive).
#include "mman/mmPending.h"

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
