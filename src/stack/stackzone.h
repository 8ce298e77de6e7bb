// Execution engine: the stack zone: NumStacks segments of 8192 bytes, the free chain and the
// ring of allocated segments, the running segment and the move of frames on overflow.
// Owns stackZone, the chains and currentStack. Prefix: stack (segments), init (start-up).
#pragma once
#include <cstdint>

#include "mman/mmObject.h"
#include "tran/nmLayout.h"

// Invariants: a segment is on exactly one of freeStacks and the allocatedStacks ring;
// currentStack, when non-zero, is allocated; segments never move.
extern "C" {
extern uint64_t* currentStack;   // the running segment, 0 while none (glue reads it)
extern uint64_t rootReturnPC;    // return pc of every bottom frame (glue entry rootReturn)
}
extern uint64_t stackZone;           // base of the zone
extern uint64_t startOfStackZone;    // the same
extern uint64_t endOfStackZone;      // stackZone + NumStacks x 8192
extern int32_t NumStacks;            // segments in the zone
extern uint64_t* freeStacks;         // chain of free segments through word 0; 0 = empty
extern uint64_t allocatedStacks[2];  // ring sentinel: [0] head (most recent), [1] tail
extern uint64_t lastOverflowSegment; // the segment that overflowed last
extern uint32_t overflowRepeatCount; // how often in a row

inline uint64_t* segmentOf(uint64_t address) {
  return reinterpret_cast<uint64_t*>(stackZone + ((address - stackZone) & ~uint64_t(stackSegmentBytes - 1)));
}
inline uint64_t segmentBase(const uint64_t* s) { return reinterpret_cast<uint64_t>(s); }
inline uint64_t rootFpOf(const uint64_t* s) { return segmentBase(s) + shRootFp * 8; }
inline bool isEmptySegment(const uint64_t* s) { return s[shFp] == rootFpOf(s); }

int initStacksOnStack(int32_t numStacks, uint64_t* zoneOut, void (*continuation)());
int initStacks(void* zoneOrNull, int32_t numStacks);
void initStackChains();
uint64_t* stackAlloc(int mayFail);
void stackDeAlloc(uint64_t* segment);
void stackAtHead(uint64_t* segment);
void promoteStack(uint64_t* segment);
// Calls fn on every allocated segment from the head; stops at the first 0 answer.
int allocatedStacksDo(int (*fn)(uint64_t* segment));

// Apply stackReify / stackStabilize to every allocated segment from the head (all, or all
// but the running one); answer 0 at the first that fails.
int reifyAllStacks();
int stabilizeAllStacks();
int stabilizeMostStacks();

// Moves the frame at fp and every frame above it to a fresh segment whose root returns into
// the caller's context; answers 0 only when mayFail and no segment is free. With
// keepPrimitiveState the pending primitive stays with the old segment.
int relocateDownTo(uint64_t fp, int mayFail, int keepPrimitiveState);
// Moves the top frames of the running segment: one frame on a first overflow, one more on
// each repeat, never past a caller frame at or above base + stackOverflowBoundBytes.
void handleStackOverflow();

// GC walkers. For every allocated segment and every frame from the top: the words between
// sp + 8 and fp - 24 (the next frame's range starts above the current fp's return pc), then,
// for a real frame, its nmethod's vmethod and selector and, when hybrid, its context. A
// pending primitive's receiver and register arguments (save-area words 6-8, by the called
// method's argument count) and its method are visited too: the primitive may allocate.
// The oop form skips immediates and null selectors; the reference form passes slot addresses.
void stackEnumerateOopsForGC(void (*fn)(oop object));
void stackEnumerateRefsForGC(void (*fn)(oop* slot));

// Scavenger root scan: every new-space reference the walkers find is replaced by its copy;
// a bottom frame's context is refreshed in the root (word 1022). The copier is the
// scavenger's (copy unless forwarded); until the scavenger installs it (not built yet) the
// hook is null and the scan does nothing.
extern oop (*scavengeCopyHook)(oop object);
void scavengeStacks();
// For nmethod compaction: fn(fp, address of the word holding the frame's pc) for every frame,
// first a pending primitive's call site (a fake frame naming its nmethod, and word 9); the
// root's nmethod word (1021) is refreshed for a hybrid bottom frame.
void enumerateFramesAndReturns(void (*fn)(uint64_t fp, uint64_t* pcSlot));

// How a stolen segment is freed (stackStabilize; tests may watch it).
extern int (*stackStabilizeHook)(uint64_t* segment);
