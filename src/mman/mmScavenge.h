// Object memory: the generation scavenger (copying collector of new space).
// Owns the scavenger state: tenureThreshold, numScavenges, scavengeInProgress, the weak lists.
// Prefix: none (runScavenge, scavengeNewSpace, flushEden, copyAndForward, initScavenger, ...).
#pragma once
#include <cstdint>
#include <cstdio>

#include "mman/mmObject.h"

extern int64_t tenureThreshold;  // slots: survivors beyond this many past-space slots are tenured
enum : uint64_t { platformTenureThreshold = 61440 };  // bytes: the default threshold

extern uint64_t numScavenges;                   // scavenges started
extern uint32_t scavengeInProgress;             // 1 while a scavenge runs
extern uint32_t tenureToShrinkRememberedTable;  // 1: the next scavenge tenures to empty the RT
extern uint64_t tenureBoundary;                 // past-space objects below it are tenured first; 0 none

// Forwarding mark: once copied, an object's old dataPtr is the new header ORed with 2 when the
// old body lay directly after the old header (with its size word), else with 1.
inline oop forwardeeOf(const ObjectHeader* h) { return h->dataPtr & ~uint64_t(forwardTagMask); }

// Shrinking mode counts remembered-table references to a new object in bits 20, 21 and 33 of
// its flags (free in new objects; isInOldRt, inRt and isMarked in old ones):
//
//     33        21    20
//   +----+ ... +----+----+
//   | w4 |     | w2 | w1 |    a 3-bit count, saturating at 7
//   +----+ ... +----+----+
enum : uint64_t { rtCountBits = isInOldRtBit | inRtBit | isMarkedBit };

typedef int (*TenurePredicate)(ObjectHeader* h);

// The scavenge proper: answers 1, or 0 (nothing changed) when skipRoomCheck is 0 and old
// space lacks room for the worst case. mode 1 treats weak objects and ephemerons as strong.
int runScavenge(TenurePredicate predicate, int skipRoomCheck, int mode);
int scavengeNewSpace();  // request 6; signals the scavenge semaphore
int flushNewSpace();     // tenures everyone; 1 when past space is empty afterwards
int flushEden();
int scavengeTenuringEveryone();
int scavengeTenuringTheseObjs(oop a, oop b);
int scavengeTenuringOwnersOf(oop x);
int scavengeTenuringInstancesOf(uint32_t classIndex);
// Request 6's server, installed by initScavenger.
void serveScavengeRequest();

// Copies or tenures one unforwarded new object and forwards it (the scans and scavengeStacks
// call it); tenureNow asks for old space first.
void copyAndForward(ObjectHeader* h, uint32_t incMark, uint32_t tenureNow);
// After a scavenge: 1 when the slot refers to a future-space copy or a forwarded object (the
// slot takes the copy), 0 when the referent was not copied.
int updateNewObjRef(oop* slot);
int scavengeClassTablePage(oop page, uint32_t incMark);
void scavengeClassTableInRt(uint32_t incMark);
int tenureToShrinkRtPredicate(ObjectHeader* h);

// Start-up, once the spaces are placed: the threshold becomes bytes / 8 slots, but never more
// than past space's slots less 250; answers the threshold in bytes. Installs request 6.
int64_t initScavenger(uint64_t bytes);
int64_t getTenureThreshold();
void printScavengerUsageTo(FILE* stream);
extern int64_t scavengeSemaphoreX;         // registry index of the scavenge Semaphore, -1 = none
extern uint64_t scavengeWarningThreshold;  // slots between eden's warning limit and its end, by default
// Registers primitives 308 (set the scavenge fractions) and 309 (their defaults).
void initScavengePrims();
