// Object memory: definitions of the state that components not yet built own.
// Owns the scavenger and low-space flags.
// Prefix: none.
#include "mman/mmPending.h"

uint64_t lowSpaceLimit;
PendingCounters pending;
uint64_t stackSpaceSlots;

// Not built yet: the incremental collector's hooks.
void addToIncWeakListFunc(oop) {}
void incGCObjWeaknessChanged(oop, bool) {}
void incGCObjEphemeronnessChanged(oop, bool) {}
// Not built yet: generated code that holds eden's warning limit.
void tranNoteEdenWarningThresholdChanged() {}

// Not built yet: the incremental collector's class hook (see mmPending.h).
PendingCalls pendingCalls;
void incGCObjClassChanged(oop, int, int) { pendingCalls.classChanges += 1; }

// Not built yet: the native-method tables' own definition replaces it.
uint64_t nPICtable[128];
void incGCOtEntriesSwapped(oop, oop) {}
void blowAwayIncGC() {}
