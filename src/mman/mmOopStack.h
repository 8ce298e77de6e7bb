// Object memory: oop stacks, growable stacks of oops in 8192-byte old-space segments.
// Owns no global: a stack is named by its reference word (such as oldRtOop).
// Prefix: none (createOopStack, pushOopStack, popOopStack, enumOopStack, ...).
#pragma once
#include <cstdint>

#include "mman/mmObject.h"

// A segment is a ByteArray-class object (class index 22, no hasPtrs) of 1024 words:
//
//   word 0     entry count, 0..1021
//   word 1     next segment (oop)
//   word 2     previous segment (oop)
//   words 3..  entries
//
// The segments form a ring; the reference word holds the top. Segments after the top are
// empty spares or, after wrapping, the bottom: the first non-empty one after the top (or the
// top itself).
enum : uint32_t {
  oopStackSegmentWords = 1024,
  oopStackSegmentBytes = 8192,
  oopStackEntries = 1021,
  oopStackCountWord = 0,
  oopStackNextWord = 1,
  oopStackPrevWord = 2,
  oopStackFirstEntry = 3,
};

inline oop* segmentBody(oop seg) { return bodyOf(headerOf(seg)); }
inline uint64_t segmentCount(oop seg) { return segmentBody(seg)[oopStackCountWord]; }
inline oop segmentNext(oop seg) { return segmentBody(seg)[oopStackNextWord]; }
inline oop segmentPrev(oop seg) { return segmentBody(seg)[oopStackPrevWord]; }

oop createOopStack();
int pushOopStackCallout(oop* ref);
void popOopStackCallout(oop* ref);

// Pushes entry; answers 0 when a segment was needed and could not be had.
inline int pushOopStack(oop* ref, oop entry) {
  oop* body = segmentBody(*ref);
  if (body[oopStackCountWord] >= oopStackEntries) {
    if (!pushOopStackCallout(ref)) return 0;
    body = segmentBody(*ref);
  }
  body[oopStackFirstEntry + body[oopStackCountWord]] = entry;
  body[oopStackCountWord] += 1;
  return 1;
}
// Pops the latest entry; the stack must not be empty.
inline oop popOopStack(oop* ref) {
  oop* body = segmentBody(*ref);
  uint64_t n = body[oopStackCountWord] - 1;
  oop entry = body[oopStackFirstEntry + n];
  body[oopStackCountWord] = n;
  if (n == 0) popOopStackCallout(ref);
  return entry;
}

typedef int (*OopStackTest)(oop entry);
typedef void (*OopStackDrop)(oop entry);
void enumOopStack(oop* ref, OopStackTest test, OopStackDrop drop);
void emptyOopStack(oop* ref, OopStackTest test, OopStackDrop drop);
void shrinkOopStack(oop* ref);
void releaseOopStack(oop* ref);
void recycleOopStack(oop seg);
void sweepOopStack(oop* ref);
void noPermMarkOopStack(oop seg);
void skipPermMarkOopStack(oop seg);
int objIsOopStackSeg(oop* ref, oop o);
uint64_t totalEntriesInOopStack(oop* ref);
uint64_t liveEntriesInOopStack(oop* ref);
int oopOnOopStack(oop o, oop* ref);
oop oopStackBottom(oop top);
