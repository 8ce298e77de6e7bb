// Object memory: the incremental collector's state as the write barrier and the allocators
// see it. Owns currentIncGCState, incMarkStackOop and the mark counters.
// Prefix: none (incMarkObj).
#pragma once
#include <cstdint>

#include "mman/mmObject.h"

enum : uint8_t {
  incGCResting = 'r',
  incGCMarking = 'm',
  incGCNilling = 'n',
  incGCSweeping = 's',
  incGCAborting = 'a',
};

extern uint8_t currentIncGCState;  // one of the letters above
extern oop incMarkStackOop;        // top segment of the mark stack, 0 when none
extern uint32_t incGCMarkOverflow; // 1 when the mark stack could not grow
extern uint64_t incGCMarkCount;    // objects marked directly this cycle
extern uint64_t incGCMarkBytes;    // their block bytes

// Marks one old object: one without pointers (or an empty body) is marked at once, with its
// class first; any other is marked and pushed for scanning.
void incMarkObj(oop o);
