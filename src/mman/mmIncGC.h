// Object memory: the incremental mark-sweep collector. Old space is marked from the registry,
// the old RT and (at the end of marking) new space and the stacks, weak slots are cleared and
// old space is swept, each in quanta the image asks for while the program runs between them.
// Owns currentIncGCState, the four oop stacks, the big object in hand, the flags and counters.
// Prefix: none (incMarkSweep, incMarkObj, undoIncMark, blowAwayIncGC, ...).
#pragma once
#include <cstdint>
#include <cstdio>

#include "mman/mmObject.h"

enum : uint8_t {
  incGCResting = 'r',
  incGCMarking = 'm',
  incGCNilling = 'n',
  incGCSweeping = 's',
  incGCAborting = 'a',
};

enum : uint64_t {
  incGCUnbounded = ~uint64_t(0),  // a work or byte limit that never runs out
  incGCBigRangeBytes = 32776,     // a slot range this long goes on the big-object stack
  incGCBigPieceBytes = 65536,     // a big object is scanned this much at a time
};

extern uint8_t currentIncGCState;  // one of the letters above
extern oop incMarkStackOop;        // top segment of each stack, 0 when none
extern oop incBigObjStackOop;      //   big objects to scan in pieces
extern oop incWeakListOop;         //   weak objects met while marking
extern oop incEphemeronListOop;    //   ephemerons whose keys were unmarked when met
extern oop incBigObjInHand;        // the big object being scanned, 0 when none
extern uint64_t incBigObjResume;   // its next slot to scan
extern uint32_t incGCMarkOverflow; // 1 when an oop stack could not grow
extern uint32_t incGCOldRtDone;    // the old RT's entries have been marked
extern uint32_t incEphemeronMarkingOn;  // 1 while ephemerons wait for their keys instead of being traced
extern uint64_t numIncGCs, incGCAbortedCount, incGCMarkStackOverflows;  // cycles done, aborted; stack overflows
extern uint64_t incGCClassChangeCalls;  // calls of incGCObjClassChanged (the object primitives' tests read it)
// Per cycle: objects marked directly and their bytes, weak objects listed, weak objects
// processed and the bytes of their weak parts.
extern uint64_t incGCMarkCount, incGCMarkBytes, incGCWeakCount, incGCWeakBytes, incGCWeakNilCount,
    incGCWeakNilBytes;

// One quantum of whatever the state asks: answers 1 when a cycle has just completed (state
// back to 'r'). maxWork counts objects (mark) or entries (sweep, unmark), maxBytes bytes
// scanned or freed; incGCUnbounded for either means no limit. An interruptible quantum
// serves asynchronous requests and ends when a process switch is requested.
int incMarkSweep(int interruptible, uint64_t maxWork, uint64_t maxBytes);
// Marks one old object: one without pointers (or an empty body) is marked at once, with its
// class first; any other is marked and pushed for scanning.
void incMarkObj(oop o);
// From 'm' abandons the mark; in 'a' runs one unmark quantum. Answers 1 once at rest.
int undoIncMark(int interruptible, uint64_t maxWork, uint64_t maxBytes);
// Brings the collector to rest at once: a mark is abandoned, a sweep is finished.
void blowAwayIncGC();

// Hooks: each does nothing unless marking is running and the object is old and marked.
void incGCObjClassChanged(oop object, int wasWeak, int wasEphemeron);
void incGCObjWeaknessChanged(oop object, bool weak);
void incGCObjEphemeronnessChanged(oop object, bool ephemeron);
// After two headers exchanged their contents: each header's kind before the exchange is the
// kind the other header holds now.
void incGCOtEntriesSwapped(oop a, oop b);
// While marking, a weak object goes on the weak list.
void addToIncWeakListFunc(oop object);
// The out-of-line store check for an old value stored into an old or perm holder.
void chStOldObjInNonNew(oop holder, uint64_t index, oop value);
// Marks what a perm object refers to (class, slots; a weak object's named slots only and the
// object listed; an ephemeron with an unmarked old key listed instead); answers 1 while it
// still refers to an old object.
int incMarkPermObjRefs(oop permObject);

void printIGCUsageTo(FILE* stream);
// Registers primitives 327 and 449.
void initIncGCPrims();
