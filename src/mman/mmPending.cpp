// Object memory: definitions of the state that components not yet built own.
// Owns requested/handled/anyReq/stackLimit, pastSpace, the scavenger and low-space flags.
// Prefix: none (setRequest, isRequested, failPrimitive).
#include "mman/mmPending.h"

uint32_t requested[requestKindCount];
uint32_t handled[requestKindCount];
uint32_t anyReq;
int64_t stackLimit;
SurvivorSpace pastSpace;
uint32_t scavengeInProgress;
uint32_t tenureToShrinkRememberedTable;
uint64_t lowSpaceLimit;
PrimFailure primFailure;

uint32_t setRequest(uint32_t kind) {
  requested[kind] += 1;
  anyReq += 1;
  stackLimit = -1;
  return anyReq;
}

int isRequested(uint32_t kind) { return requested[kind] != handled[kind]; }

oop failPrimitive(oop errorOop, uint64_t numArgs) {
  primFailure.failed = 1;
  primFailure.errorOop = errorOop;
  primFailure.numArgs = numArgs;
  return 0;
}
